#!/bin/sh
# The emulated board's /init: brings up the devices tapfuzz needs, runs the
# scenario (by count with an application that crashes, ended by SIGINT,
# ended by SIGALRM, a replay of the first, its report, the first's crash
# shrunk and the result replayed, a run whose
# application crashes again and again at two sites and its report,
# tapfuzz's peak memory with the application and screen checks on,
# --explore on a maze, a run with pinches) while
# evemu-record records /dev/input/event0, and writes everything onto the raw
# results disk. Progress lines start with "BOARD:"; the host judges only the
# disk, since a guest that panics still lets QEMU exit with status 0.

export PATH=/usr/bin:/bin:/sbin:/usr/sbin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /data/out /data/cores
. /etc/board.conf
OUT=/data/out
say() { echo "BOARD: $*"; echo "$*" >> $OUT/scenario.log; }
say "init started at uptime $(cut -d' ' -f1 /proc/uptime) s, kernel $(uname -r)"

# Drivers in dependency order (the host resolved it with modprobe).
while read mod; do
    insmod /lib/modules/$mod.ko || say "insmod $mod failed"
done < /lib/modules/load-order

# Whether process $1 runs (neither reaped nor a zombie).
alive() { grep -qs '^State:.[^Z]' /proc/$1/status; }

# Waits up to $2 tenths of a second for the test in $1 to hold.
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
    if tar -cf /dev/vda out cores cores5 run*/results 2>> $OUT/scenario.log; then
        sync
        echo "BOARD: results written to the results disk"
    else
        echo "BOARD: writing the results disk failed"
    fi
    poweroff -f
}

wait_for '[ -e /dev/fb0 ]' 100 || finish "no /dev/fb0 appeared"
fb=/sys/class/graphics/fb0
echo "$(cat $fb/virtual_size) $(cat $fb/bits_per_pixel)" > $OUT/fb.txt
say "frame buffer: $(cat $OUT/fb.txt)"
evemu-device /etc/panel.evemu > $OUT/panel.txt 2>&1 &
panel_pid=$!
wait_for '[ -e /dev/input/event0 ]' 100 || finish "the panel did not become /dev/input/event0"
cat /sys/class/input/event0/device/name > $OUT/event0-name.txt
say "event0 is \"$(cat $OUT/event0-name.txt)\""

# The crash of run 1: the application under test reads the panel, paints
# /dev/fb0 anew at each touch and dies of SIGSEGV at its CRASH_TOUCHth, with
# an unlimited core size. The kernel has written the whole dump when the
# application is reaped; tapfuzz moves a dump only after it has stayed
# unchanged for a whole one-second scan, so the copy taken here is the
# kernel's file as it wrote it.
touchapp segv $CRASH_TOUCH 0 0 800 480 > $OUT/touchapp.txt 2>&1 &
app_pid=$!
crash() {
    # Should it not crash before tapfuzz ends, it is killed (status 137).
    wait_for "! alive $app_pid || ! alive $tf_pid" $((RUN_LIMIT_SECONDS * 10))
    kill -9 $app_pid 2>/dev/null
    wait $app_pid
    echo $? > $OUT/victim.status
    cp /tmp/coredump-touchapp-$app_pid-* $OUT/ || say "no dump of touchapp in /tmp"
    # While tapfuzz runs its echo must be visible; after it, nothing of it.
    ps -o pid,ppid,stat,args > $OUT/run1.ps-during
    say "crash: touchapp (pid $app_pid) ended with status $(cat $OUT/victim.status)"
}

# run NAME DURING ARG...: runs "tapfuzz ARG..." in /data/NAME with the
# board's profile, after the lines of $PROFILE (the first line of a key
# wins), while evemu-record records the panel into OUT/NAME.evemu,
# evaluates DURING meanwhile ($tf_pid is tapfuzz), and keeps the exit
# status, the processes left behind and /tmp.
run() {
    name=$1 during=$2
    shift 2
    mkdir -p /data/$name
    { [ -z "$PROFILE" ] || printf '%s\n' "$PROFILE"; cat /etc/device.conf; } > /data/$name/device.conf
    evemu-record /dev/input/event0 $OUT/$name.evemu 2> $OUT/$name.record-err &
    rec_pid=$!
    # It describes the device once it holds the node; events from then on
    # are kept for it.
    wait_for "[ -s $OUT/$name.evemu ]" 100 || say "$name: evemu-record did not start"
    cd /data/$name
    say "$name: tapfuzz $*"
    tapfuzz "$@" > $OUT/$name.stdout 2>&1 &
    tf_pid=$!
    cd /
    eval "$during"
    # A hung run is killed so that it still leaves results (status 137).
    ( sleep $RUN_LIMIT_SECONDS; kill -9 $tf_pid 2>/dev/null && say "$name: tapfuzz hung, killed" ) &
    watchdog=$!
    wait $tf_pid
    echo $? > $OUT/$name.status
    kill $watchdog 2>/dev/null
    say "$name: tapfuzz exited with status $(cat $OUT/$name.status)"
    # tapfuzz ends only between events; should a frame be left open, this
    # report delivers it to the run it belongs to (an empty one is dropped).
    evemu-event /dev/input/event0 --type EV_SYN --code SYN_REPORT --value 0
    sleep 1
    kill -INT $rec_pid
    wait $rec_pid
    echo $? > $OUT/$name.record-status
    # Zombies are not running; the scenario's own processes are not tapfuzz's.
    ps -o pid,ppid,stat,args > $OUT/$name.ps
    grep -E 'tapfuzz|tail' $OUT/$name.ps | grep -v ' Z ' > $OUT/$name.leftovers
    say "$name: $(wc -l < $OUT/$name.leftovers) tapfuzz processes left after exit"
    ls /tmp > $OUT/$name.tmp
}

run run1 crash -v-v -a touchapp --throttle $RUN_THROTTLE $RUN_COUNT
run run2 "sleep $SIGNAL_RUN_SECONDS; kill -INT \$tf_pid" -v-v 1000000
# The smallest timed run is an hour; the alarm is sent by hand instead.
run run3 "sleep $SIGNAL_RUN_SECONDS; kill -ALRM \$tf_pid" -v-v --hour 1 1000000
# Run 1 again from its record, at its recorded pace.
run run4 : -v-v --replay $(ls /data/run1/results/tapfuzz*/run-*.events)
# The report of run 1's results folder, made from the runs' working folder.
cd /data/run1
tapfuzz --report $(ls -d results/tapfuzz*) > $OUT/report.stdout 2>&1
say "report: status $?, $(cat $OUT/report.stdout)"
cd /

# Run 1's crash shrunk to the gestures it needs (run 8), each try starting
# touchapp as run 1 had it, the tries and time bounded for the board's; then
# the shrunk record replayed to a fresh touchapp (run 9), whose crash must
# carry run 1's signature. Their dumps are kept apart from run 1's.
mkdir -p /data/run8 /data/cores8 /data/cores9
cp $(ls /data/run1/results/tapfuzz*/run-*.events) /data/run8/run1.events
PROFILE="APP_RESTART=exec touchapp segv $CRASH_TOUCH 0 0 800 480
APP_RESTART_DELAY=1
COREFILE_PATH=/data/cores8/"
# A try takes seconds here (restart, holds, the dump's settling): the
# gestures go without their gaps, and SIGINT ends the search in time, which
# keeps the best list found so far.
run run8 "( sleep 120; kill -INT \$tf_pid ) & stopper=\$!" -v -a touchapp --shrink run1.events --tries 24 --wait 1 --speed 0
kill $stopper 2>/dev/null
cp /data/run8/run1-min.events $OUT/ || say "run8: no shrunk record"
for p in $(pidof touchapp); do kill $p; done
touchapp segv $CRASH_TOUCH 0 0 800 480 > $OUT/touchapp9.txt 2>&1 &
app9=$!
sleep 1
PROFILE="COREFILE_PATH=/data/cores9/"
run run9 : -v-v -a touchapp --replay /data/run8/run1-min.events
kill $app9 2>/dev/null
wait $app9
PROFILE=

# Crash after crash, each a real dump by the kernel: touchapp in its bugs
# mode dies of SIGSEGV at the BUGS_TOUCHth touch of the screen's left third
# and of SIGABRT at that of the middle third; the right third, which would
# die at every touch, is left out. Each crash restarts it at once, with an
# unlimited core size, and its dumps are saved apart from run 1's.
PROFILE="APP_RESTART=ulimit -c unlimited; exec touchapp bugs $BUGS_TOUCH
APP_RESTART_DELAY=0
COREFILE_PATH=/data/cores5/
EXCLUDE_RECTS=533,0,267,480"
mkdir -p /data/cores5
run run5 : -v-v -a touchapp --throttle $RUN_THROTTLE $BUGS_COUNT
PROFILE=
cd /data/run5
tapfuzz --report $(ls -d results/tapfuzz*) > $OUT/report5.stdout 2>&1
say "report of run5: status $?, $(cat $OUT/report5.stdout)"
cd /
# run5's last restart of touchapp outlives tapfuzz: it would crash under the
# next run's clicks and leave a dump among run 1's.
for c in /proc/[0-9]*/comm; do
    [ "$(cat $c 2>/dev/null)" = touchapp ] || continue
    p=${c%/comm}
    kill -9 ${p#/proc/} 2>/dev/null
done

# Peak memory of tapfuzz as a device runs it: watching an application (-a)
# that repaints at each touch and hashing the screen once a second
# (FREEZE_SECONDS). VmHWM only grows, so its last reading before tapfuzz is
# reaped is the peak; a zombie no longer shows it.
mkdir -p /data/rss
{ cat /etc/device.conf; echo FREEZE_SECONDS=5; } > /data/rss/device.conf
touchapp exit 1000000 0 0 800 480 > $OUT/rss.touchapp.txt 2>&1 &
rss_app=$!
cd /data/rss
tapfuzz -a touchapp --pct-touch 100 --throttle $RUN_THROTTLE 500 > $OUT/rss.stdout 2>&1 &
tf_pid=$!
cd /
hwm=
n=0
while alive $tf_pid; do
    v=$(sed -n 's/^VmHWM:[^0-9]*\([0-9]*\) kB$/\1/p' /proc/$tf_pid/status 2>/dev/null)
    [ -n "$v" ] && hwm=$v
    n=$((n + 1))
    # A hung run is killed so that the scenario still ends (status 137).
    [ $n -ge $((RUN_LIMIT_SECONDS * 5)) ] && kill -9 $tf_pid 2>/dev/null && say "rss: tapfuzz hung, killed"
    usleep 200000
done
wait $tf_pid
rss_status=$?
kill $rss_app 2>/dev/null
wait $rss_app
echo "${hwm:-unknown} $rss_status" > $OUT/rss.txt
say "rss: tapfuzz -a touchapp with FREEZE_SECONDS=5: VmHWM ${hwm:-unknown} kB, status $rss_status"

# Run 6, --explore: the maze (tests/app/maze.c, cursor still) reads the panel
# and draws its screens into /dev/fb0, where tapfuzz looks before each
# gesture; the pause leaves the maze time to draw. It logs each screen shown.
( ulimit -c 0; exec maze -n $OUT/maze-screens.txt > $OUT/maze.txt 2>&1 ) &
maze_pid=$!
wait_for "[ -s $OUT/maze-screens.txt ]" 100 || say "run6: the maze showed no screen"
run run6 : -v-v --explore --seed 1 --throttle 100 $RUN_COUNT
kill $maze_pid 2>/dev/null
say "run6: $(grep -o 'INFO\]screens:.*' $OUT/../run6/results/tapfuzz*/tapfuzz.log | cut -d] -f2), the maze showed $(sort -u $OUT/maze-screens.txt | wc -l) distinct screens"
# What a look and its placement cost here, on the panel's 800x480x32 screen
# (median and slowest of 9 rounds of 100 gestures, in microseconds).
say "explore cost on the board: $(explore_bench /dev/fb0 100 2>&1)"

# Two fingers, last: a fifth of the gestures are pinches in the panel's
# slots (the runs before write no slot, so the input core's slot stays 0).
run run7 : -v-v --pct-pinch 20 --throttle $RUN_THROTTLE $RUN_COUNT

kill $panel_pid
finish "scenario complete"
