#!/bin/sh
# One tapfuzz run under LAVA's test shell, reported through lava-test-case.
# Parameters come from the environment (lava/tapfuzz.yaml). The run gets a
# fresh working folder beside device.conf, so the report holds this run
# only; "tapfuzz --report" turns it into junit.xml, whose cases become LAVA
# test cases. Should the report fail, a failing "report" case says so and
# the run's exit status and crash log give the run and crash cases.
# Always exits 0: the verdict is in the cases.

here=$(cd "$(dirname "$0")" && pwd)
dir=${TAPFUZZ_DIR:-/opt/tapfuzz}
bin=$dir/tapfuzz
[ -x "$bin" ] || bin=tapfuzz

# --hour first: COUNT must follow the value of the last other option.
set --
if [ -n "$HOURS" ]; then set -- --hour "$HOURS"; fi
[ -z "$PCT_TOUCH" ] || set -- "$@" --pct-touch "$PCT_TOUCH"
[ -z "$PCT_MOTION" ] || set -- "$@" --pct-motion "$PCT_MOTION"
[ -z "$PCT_LONGCLICK" ] || set -- "$@" --pct-longclick "$PCT_LONGCLICK"
[ -z "$PCT_PRESSKEY" ] || set -- "$@" --pct-presskey "$PCT_PRESSKEY"
[ -z "$THROTTLE" ] || set -- "$@" --throttle "$THROTTLE"
[ -z "$APP" ] || set -- "$@" -a "$APP"
[ -z "$SEED" ] || set -- "$@" --seed "$SEED"
if [ -n "$HOURS" ]; then set -- "$@" 999999999; else set -- "$@" "${COUNT:-1000}"; fi

work=$(mktemp -d "$dir/run.XXXXXX") || { lava-test-case run --result fail; exit 0; }
cp "$dir/device.conf" "$work/" 2>/dev/null || echo "tapfuzz-lava: no $dir/device.conf, the defaults apply"
cd "$work" || exit 0
echo "tapfuzz-lava: in $work: $bin $*"
"$bin" "$@"
status=$?
echo "tapfuzz-lava: tapfuzz exited with status $status"
# LAVA keeps no files from the device, but it keeps the job log: the text
# of each crash bundle goes there.
sed -n 's/.*\[CRASH\]\[Coredump\]//p' results/tapfuzz*/crash.log 2>/dev/null |
while read -r dump; do
    [ ! -f "$dump.txt" ] || { echo "== $dump.txt"; cat "$dump.txt"; }
done

# The report reads the results folder of the day that this run wrote.
day=$(ls -d results/tapfuzz*/ 2>/dev/null | tail -n 1)
if [ -n "$day" ] && "$bin" --report "$day" && [ -s "$day/junit.xml" ]; then
    cat "$day/junit.xml"
    lava-test-case report --result pass
    awk -f "$here/junit-cases.awk" "$day/junit.xml" > cases.txt
    while read -r name result seed; do
        if [ -n "$seed" ]; then
            lava-test-case "$name" --result "$result" --measurement "$seed" --units seed
        else
            lava-test-case "$name" --result "$result"
        fi
    done < cases.txt
else
    lava-test-case report --result fail
    name=run
    [ -z "$SEED" ] || name=run-seed-$SEED
    [ $status = 0 ] && result=pass || result=fail
    lava-test-case "$name" --result $result
    # Crash records end in coredump-<program>-<pid>-<YYYY-MM-DD>_<time>[.N].
    sed -n 's/.*\[CRASH\]\[Coredump\].*coredump-\(.*\)-\([0-9]*\)-[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]_[0-9:.]*$/crash-\1-pid-\2/p' \
        results/tapfuzz*/crash.log 2>/dev/null | tr -c 'A-Za-z0-9_.\n-' '-' |
    while read -r name; do
        lava-test-case "$name" --result fail
    done
fi
exit 0
