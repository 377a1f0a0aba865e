#!/bin/sh
# The benchmark board's /init: on a real kernel with a uinput touch panel at
# /dev/input/event0, runs tapfuzz (clicks only, no pause, debug lines to
# /dev/null) and the floor loop in turn, each with a recorder reading what the
# kernel delivers, then one more tapfuzz run whose peak memory is sampled.
# Everything goes onto the raw results disk for the host.

export PATH=/usr/bin:/bin:/sbin:/usr/sbin
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /data/out /data/run /data/cores
. /etc/bench.conf
OUT=/data/out
say() { echo "BENCH: $*"; echo "$*" >> $OUT/log.txt; }

finish() {
    say "$1"
    cd /data
    tar -cf /dev/vda out && sync
    poweroff -f
}

wait_for() {
    n=0
    while ! eval "$1"; do
        n=$((n + 1))
        [ $n -ge $2 ] && return 1
        usleep 100000
    done
    return 0
}

while read mod; do
    insmod /lib/modules/$mod.ko || say "insmod $mod failed"
done < /lib/modules/load-order
wait_for '[ -e /dev/fb0 ]' 100 || finish "no /dev/fb0 appeared"
panel 116 > $OUT/panel.txt 2>&1 &
panel_pid=$!
wait_for '[ -e /dev/input/event0 ]' 100 || finish "the panel did not become /dev/input/event0"

cat > /data/run/device.conf <<EOF
LIBLARAY_PATH=/usr/lib/tapfuzz/
COREFILE_PATH=/data/cores/
SCREEN_BASIC_SIZE=20
EOF

# record NAME COMMAND...: runs the command with a recorder on the node.
record() {
    name=$1
    shift
    rm -f $OUT/$name.ready
    evrecord /dev/input/event0 $OUT/$name.capture $OUT/$name.ready > $OUT/$name.evrecord.txt 2>&1 &
    rec=$!
    wait_for "[ -e $OUT/$name.ready ]" 100 || say "recorder of $name did not start"
    cd /data/run
    "$@" > /dev/null 2> $OUT/$name.stderr
    echo $? > $OUT/$name.status
    cd /
    evsync /dev/input/event0
    kill -TERM $rec
    wait $rec
    say "$name: status $(cat $OUT/$name.status), $(cat $OUT/$name.evrecord.txt)"
}

# Alternating, so a slow moment of the emulator hurts all alike. The
# threaded floor shows what being a threaded process costs by itself.
for i in 1 2; do
    record tapfuzz$i tapfuzz --pct-touch 100 $COUNT
    record floor$i bench_floor click $COUNT
    record threaded$i bench_floor --threads 2 click $COUNT
done

# Peak memory, threads and children of a run, sampled while it runs. The
# sampler shares the one CPU, so this run is not one of the timed ones.
cd /data/run
tapfuzz --pct-touch 100 $MEM_COUNT > /dev/null 2>&1 &
tf=$!
cd /
hwm=0 threads=0 children=0
while kill -0 $tf 2>/dev/null; do
    h=$(awk '/^VmHWM/ {print $2}' /proc/$tf/status 2>/dev/null)
    t=$(awk '/^Threads/ {print $2}' /proc/$tf/status 2>/dev/null)
    [ -n "$h" ] && [ "$h" -gt "$hwm" ] && hwm=$h
    [ -n "$t" ] && [ "$t" -gt "$threads" ] && threads=$t
    c=0
    for s in /proc/[0-9]*/stat; do
        set -- $(cat $s 2>/dev/null)
        if [ "$4" = "$tf" ]; then
            c=$((c + 1))
        fi
    done
    [ $c -gt $children ] && children=$c
    # Kept only when whole: the run may end while it is read.
    cat /proc/$tf/smaps > $OUT/smaps.new 2>/dev/null && [ -s $OUT/smaps.new ] && mv $OUT/smaps.new $OUT/smaps.txt
    usleep 200000
done
echo "hwm $hwm threads $threads children $children" > $OUT/memory.txt
say "memory: $(cat $OUT/memory.txt)"

kill -TERM $panel_pid
finish "bench complete"
