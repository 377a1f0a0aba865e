#!/bin/sh
# The emulated board's /init: brings up the devices tapfuzz needs, runs the
# three scenario runs (by count with a crash, ended by SIGINT, ended by
# SIGALRM), and writes everything onto the raw results disk for the host.
# Progress lines start with "BOARD:"; the host reads only the disk for its
# verdict, since a guest that panics still lets QEMU exit with status 0.

export PATH=/usr/bin:/bin:/sbin:/usr/sbin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /data/out /data/cores

. /etc/board.conf
OUT=/data/out
say() { echo "BOARD: $*"; echo "$*" >> $OUT/scenario.log; }

read boot_up _ < /proc/uptime
say "init started at uptime $boot_up s, kernel $(uname -r)"
echo "$boot_up" > $OUT/boot-uptime

# Drivers in dependency order (the host resolved it with modprobe).
while read mod; do
    insmod /lib/modules/$mod.ko || say "insmod $mod failed"
done < /lib/modules/load-order

# Waits up to $2 tenths of a second for the test in $1 to hold.
wait_for() {
    n=0
    while ! eval "$1"; do
        n=$((n + 1))
        [ $n -ge $2 ] && return 1
        usleep 100000
    done
    return 0
}

finish() {
    say "$1"
    dmesg > $OUT/dmesg.txt
    ps -o pid,ppid,stat,args > $OUT/ps-final.txt
    cd /data
    if tar -cf /dev/vda out cores run1/results run2/results run3/results 2>> $OUT/scenario.log; then
        sync
        echo "BOARD: results written to the results disk"
    else
        echo "BOARD: writing the results disk failed"
    fi
    poweroff -f
}

wait_for '[ -e /dev/fb0 ]' 100 || finish "no /dev/fb0 appeared"
fbquery > $OUT/fb.txt 2>&1 || say "fbquery failed: $(cat $OUT/fb.txt)"
say "frame buffer answers: $(cat $OUT/fb.txt)"

panel $PANEL_KEYS > $OUT/panel.txt 2>&1 &
panel_pid=$!
wait_for '[ -e /dev/input/event0 ]' 100 || finish "the panel did not become /dev/input/event0"
cat /sys/class/input/event0/device/name > $OUT/event0-name.txt
say "event0 is \"$(cat $OUT/event0-name.txt)\""
echo "$(cat /proc/sys/kernel/core_pattern)" > $OUT/core_pattern-before.txt

for run in run1 run2 run3; do
    mkdir -p /data/$run
    cat > /data/$run/device.conf <<EOF
# Device profile of the emulated board (800x480 panel, three keys)
LIBLARAY_PATH=$LIB_DIR
HWKEY_ENABLE=1
HWKEY_VOL_UP=115
HWKEY_VOL_DOWN=114
HWKEY_BACK=158
SCREEN_BASIC_SIZE=20
COREFILE_PATH=/data/cores/
EVENT_INTERVALS_RANGE=10,30
EOF
done

# Waits for tapfuzz ($1) at most $2 seconds, then kills it: a hung run must
# still leave results behind (its status is then 137).
wait_tapfuzz() {
    ( sleep $2; kill -9 $1 2>/dev/null && echo "BOARD: tapfuzz hung, killed after $2 s" ) &
    watchdog=$!
    wait $1
    tf_status=$?
    kill $watchdog 2>/dev/null
    return $tf_status
}

# Starts the event recorder for run $1 and waits until it holds the node.
start_recorder() {
    rm -f $OUT/$1.ready
    evrecord /dev/input/event0 $OUT/$1.capture $OUT/$1.ready > $OUT/$1.evrecord.txt 2>&1 &
    rec_pid=$!
    wait_for "[ -e $OUT/$1.ready ]" 100 || say "recorder of $1 did not start"
}

stop_recorder() {
    evsync /dev/input/event0 || say "evsync failed"
    kill -TERM $rec_pid
    wait $rec_pid
    echo $? > $OUT/$1.evrecord.status
}

# What is left of tapfuzz once it has ended: its echo (tail -F) and any shell
# it started. Zombies are not running; the scenario's own processes are not
# tapfuzz's.
leftovers() {
    sleep 1
    ps -o pid,ppid,stat,args > $OUT/$1.ps
    grep -E 'tapfuzz|tail' $OUT/$1.ps | grep -v ' Z ' > $OUT/$1.leftovers
    say "$1: $(wc -l < $OUT/$1.leftovers) tapfuzz processes left after exit"
}

# Run 1: by count, with a real crash in the middle.
start_recorder run1
cd /data/run1
say "run1: tapfuzz -v-v --throttle $RUN_THROTTLE $RUN_COUNT"
tapfuzz -v-v --throttle $RUN_THROTTLE $RUN_COUNT > $OUT/run1.stdout 2>&1 &
tf_pid=$!
cd /
if wait_for 'grep -q "^/tmp/coredump-%e-%p-%t" /proc/sys/kernel/core_pattern' 300; then
    cat /proc/sys/kernel/core_pattern > $OUT/core_pattern-run1.txt
    cd $OUT && crasher $OUT /data/cores/ > $OUT/crasher.stdout 2>&1
    say "crasher: $(cat $OUT/crasher.stdout)"
    cd /
    # While tapfuzz runs, its echo must be visible here; the same listing
    # after it ends must show nothing of it.
    ps -o pid,ppid,stat,args > $OUT/run1.ps-during
else
    say "tapfuzz did not set the core pattern; no crash was staged"
fi
wait_tapfuzz $tf_pid $RUN_LIMIT_SECONDS
echo $? > $OUT/run1.status
say "run1: tapfuzz exited with status $(cat $OUT/run1.status)"
stop_recorder run1
leftovers run1
ls -l /tmp > $OUT/tmp-after-run1.txt
ls -l /data/cores > $OUT/cores.txt

# Runs 2 and 3: endless by count, ended from outside after a while.
signal_run() {
    run=$1 sig=$2 extra=$3
    start_recorder $run
    cd /data/$run
    say "$run: tapfuzz -v-v $extra 1000000, then kill -$sig after $SIGNAL_RUN_SECONDS s"
    tapfuzz -v-v $extra 1000000 > $OUT/$run.stdout 2>&1 &
    tf_pid=$!
    cd /
    sleep $SIGNAL_RUN_SECONDS
    kill -$sig $tf_pid
    wait_tapfuzz $tf_pid 30
    echo $? > $OUT/$run.status
    say "$run: tapfuzz exited with status $(cat $OUT/$run.status) after SIG$sig"
    stop_recorder $run
    leftovers $run
}
signal_run run2 INT ""
# The smallest timed run is an hour; the alarm is sent by hand instead.
signal_run run3 ALRM "--hour 1"

kill -TERM $panel_pid
wait $panel_pid
finish "scenario complete"
