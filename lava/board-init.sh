#!/bin/sh
# /init of the emulated board as a device farm boots it: the devices tapfuzz
# needs (frame buffer, the evemu touch panel at /dev/input/event0), the
# application under test (tests/app/touchapp.c), then a root shell
# on the serial console for LAVA's test shell. tapfuzz itself is not here:
# the LAVA job adds it to the initramfs at /opt/tapfuzz.

export PATH=/usr/bin:/bin:/sbin:/usr/sbin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /data/cores
hostname board

while read mod; do
    insmod /lib/modules/$mod.ko || echo "board: insmod $mod failed"
done < /lib/modules/load-order

# Waits up to 10 s for the path in $1 to appear.
wait_for() {
    n=0
    while [ ! -e "$1" ] && [ $n -lt 100 ]; do usleep 100000; n=$((n + 1)); done
    [ -e "$1" ] || echo "board: $1 did not appear"
}
wait_for /dev/fb0
evemu-device /etc/panel.evemu > /tmp/panel.txt 2>&1 &
wait_for /dev/input/event0
# The application under test dies of SIGSEGV at its 20th touch, with a core
# size of its own choosing: unlimited.
touchapp segv 20 0 0 800 480 &

export PS1='board# ' HOME=/root
mkdir -p $HOME
exec setsid cttyhack sh
