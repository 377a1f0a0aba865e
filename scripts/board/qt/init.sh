#!/bin/sh
# The Qt board's /init: real Qt 5 applications from Debian's armhf packages
# (a Qt Quick probe that logs what its items recognise, Qt's touchinteraction
# and pinchzoom examples) on the linuxfb platform, reading the panel through
# Qt's own evdev touch handler, each under tapfuzz with FREEZE_SECONDS=5.
# Qt's input log and the probe's lines go to OUT/NAME.qt.log; the host's
# judge (qt_judge.py) holds them against tapfuzz's logs. Progress lines start
# with "BOARD:"; everything lands on the raw results disk.

export PATH=/usr/bin:/bin:/sbin:/usr/sbin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /data/out
. /etc/board.conf
OUT=/data/out
say() { echo "BOARD: $*"; echo "$*" >> $OUT/scenario.log; }
say "qt board started at uptime $(cut -d' ' -f1 /proc/uptime) s, kernel $(uname -r)"
while read mod; do
    insmod /lib/modules/$mod.ko || say "insmod $mod failed"
done < /lib/modules/load-order

alive() { grep -qs '^State:.[^Z]' /proc/$1/status; }
wait_for() {
    n=0
    while ! eval "$1"; do
        n=$((n + 1))
        [ $n -ge $2 ] && return 1
        usleep 100000
    done
}
finish() {
    say "$1"
    cd /data
    if tar -cf /dev/vda out q*/results 2>> $OUT/scenario.log; then
        sync
        echo "BOARD: results written to the results disk"
    else
        echo "BOARD: writing the results disk failed"
    fi
    poweroff -f
}
wait_for '[ -e /dev/fb0 ]' 100 || finish "no /dev/fb0 appeared"

export LD_LIBRARY_PATH=/usr/lib/arm-linux-gnueabihf:/lib/arm-linux-gnueabihf
export QT_QPA_PLATFORM=linuxfb QT_QPA_FB_NO_LIBINPUT=1 QT_QPA_EVDEV_TOUCHSCREEN_PARAMETERS=/dev/input/event0
export QT_QUICK_BACKEND=software QT_LOGGING_RULES="qt.qpa.input=true;qt.qpa.input.events=true"
export XDG_RUNTIME_DIR=/tmp/xdg HOME=/tmp
mkdir -p -m 700 /tmp/xdg
EXAMPLES=/usr/lib/arm-linux-gnueabihf/qt5/examples

# qtrun NAME PANEL APP-COMMAND -- TAPFUZZ-ARGS...: a fresh panel of the given
# description as /dev/input/event0, the application started on it with its
# log in OUT/NAME.qt.log, then tapfuzz in /data/NAME once the application
# has opened the panel; the application is ended after tapfuzz.
qtrun() {
    name=$1 panel=$2 app=$3
    shift 4
    evemu-device $panel > $OUT/$name.panel.txt 2>&1 &
    panel_pid=$!
    wait_for '[ -e /dev/input/event0 ]' 100 || say "$name: the panel did not become event0"
    cat /sys/class/input/event0/device/name > $OUT/$name.event0-name.txt
    sh -c "exec $app" > $OUT/$name.qt.log 2>&1 &
    app_pid=$!
    # Qt's touch handler names the device once it has opened it; the
    # window is drawn soon after.
    wait_for "grep -q 'evdevtouch: .*device name' $OUT/$name.qt.log" $((QT_START_SECONDS * 10)) \
        || say "$name: Qt did not open the panel in ${QT_START_SECONDS}s"
    sleep 3
    mkdir -p /data/$name
    cp /etc/device.conf /data/$name/device.conf
    cd /data/$name
    say "$name: tapfuzz $*"
    tapfuzz "$@" > $OUT/$name.stdout 2>&1 &
    tf_pid=$!
    cd /
    ( sleep $RUN_LIMIT_SECONDS; kill -9 $tf_pid 2>/dev/null && say "$name: tapfuzz hung, killed" ) &
    watchdog=$!
    wait $tf_pid
    echo $? > $OUT/$name.status
    kill $watchdog 2>/dev/null
    sleep 1
    # The screen as the run left it, for a look on the host (800x480x32).
    cat /dev/fb0 > $OUT/$name.fb 2>/dev/null
    alive $app_pid && echo alive > $OUT/$name.app-after || echo gone > $OUT/$name.app-after
    kill $app_pid 2>/dev/null
    wait $app_pid
    kill $panel_pid
    wait $panel_pid
    wait_for '[ ! -e /dev/input/event0 ]' 50
    say "$name: tapfuzz exited with status $(cat $OUT/$name.status), the application was $(cat $OUT/$name.app-after) after it"
}

MIX="--pct-touch 35 --pct-longclick 30 --pct-motion 15 --pct-pinch 20"
# The probe on the board's panel (0..809 x 0..489) and on a 12-bit one.
qtrun q1 /etc/panel.evemu "/usr/lib/arm-linux-gnueabihf/qt5/bin/qmlscene /etc/probe.qml" -- -v-v -a qmlscene --seed 11 $MIX --throttle 400 $QT_COUNT
qtrun q2 /etc/panel-4095.evemu "/usr/lib/arm-linux-gnueabihf/qt5/bin/qmlscene /etc/probe.qml" -- -v-v -a qmlscene --seed 12 $MIX --throttle 400 $QT_COUNT
# A Qt Widgets application on the 12-bit panel, judged from Qt's input log.
qtrun q3 /etc/panel-4095.evemu "$EXAMPLES/widgets/touch/fingerpaint/fingerpaint" -- -v-v -a fingerpaint --seed 13 $MIX --throttle 400 $QT_COUNT
# Qt Quick's touchinteraction, uniform and explored, same seed and count.
qtrun q4 /etc/panel.evemu "$EXAMPLES/quick/touchinteraction/touchinteraction" -- -v-v -a touchinteraction --seed 1 --throttle 500 $EXPLORE_COUNT
qtrun q5 /etc/panel.evemu "$EXAMPLES/quick/touchinteraction/touchinteraction" -- -v-v -a touchinteraction --seed 1 --explore --throttle 500 $EXPLORE_COUNT
finish "qt scenario complete"
