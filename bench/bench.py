#!/usr/bin/env python3
"""Problem: a stress tester must not perturb the device it tests: an action
should cost little more than the writes it is made of, a pause should be the
pause asked for, and the program should stay small.
Solution: run the shipped tapfuzz and the bare floor loop (floor.cc) side by
side on the same node, let the field's tools measure them (timed runs for
whole-process time, Google Benchmark per call, strace -c for system calls,
callgrind for instructions, /proc for the threads' CPU) and print one table
of the figures with their ratios.

usage: bench.py --build DIR --out DIR [--quick] [--only SECTION]... [--rows FILE]
Runs inside scripts/sandbox (private /dev, /tmp and core pattern): scripts/bench
starts it. SECTION: percall, cost, syscalls, callgrind, pace, footprint, replay,
checks, report, report-folders, signature, explore, shrink, freeze, size (nothing of its own: the rows of --rows). --rows adds ready-made rows ("figure|tapfuzz|floor or target|note",
"## title") to the table.
"""
import argparse
import glob
import json
import os
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

NODE = "/dev/input/event0"
KEYS = "HWKEY_ENABLE=1\nHWKEY_POWER=116\n"
# The shortest hold the profile allows (1 ms): the default 1200 ms would make
# the long-click rows a test of sleep.
HOLD = "LONGCLICK_DURATION=1\n"
# Clicks down and up at once in every section, as before clicks were held:
# the click rows compare the same writes with the floor's click, and the
# pace, replay and check sections time the same work as their earlier figures.
INSTANT = "CLICK_DURATION=0\n"


class Kind:
    """One row group of the cost table: how tapfuzz draws only this action,
    the floor's counterpart, and the two counts whose difference is taken."""

    def __init__(self, name, args, floor, lo, hi, profile="", designed_us=0, target=False,
                 threaded=False):
        self.name, self.args, self.floor, self.lo, self.hi = name, args, floor, lo, hi
        self.profile, self.designed_us, self.target, self.threaded = profile, designed_us, target, threaded


# A new row of the cost, system-call and callgrind sections is one more entry.
# Every run keeps its record (one line per gesture), so every row pays for it.
KINDS = [
    Kind("click (record on)", ["--pct-touch", "100"], ["click"], 2000, 202000, target=True, threaded=True),
    Kind("long click", ["--pct-longclick", "100"], ["longclick"], 200, 1200, profile=HOLD, designed_us=1000,
         target=True),
    Kind("swipe", ["--pct-motion", "100"], ["swipe"], 3, 33, designed_us=150000),
    Kind("key press", ["--pct-presskey", "100"], ["key"], 2000, 202000, profile=KEYS),
    Kind("pinch", ["--pct-pinch", "100"], ["pinch"], 3, 43, designed_us=300000),
]

# Where a click's instructions go: the first group one of whose needles is
# in callgrind_annotate's "file:function" gets its own cost.
GROUPS = [
    ("time stamp of each line: localtime_r, strftime, time",
     ["localtime", "tz_", "tzfile", "offtime", "strftime", ":time", "time.c:"]),
    ("rand() draws", ["random", ":rand", "rand_r"]),
    ("heap: malloc/free, new/delete", ["malloc", ":free", "operator new", "operator delete", "_int_", "tcache"]),
    ("locks and cancel state", ["pthread", "lll_", "futex", "cancel", "mutex"]),
    ("system call stubs (write, open, close, ioctl)",
     ["linux/write.c", "linux/open", "linux/close", "linux/ioctl", "syscall", "fbshim"]),
    ("iostream and stdio formatting", ["/c++/", "std::", "__gnu_cxx", "_IO_", "fwrite", "fflush", "libio",
                                       "printf", "itoa"]),
    ("Logger's own code", ["Logger"]),
    ("driver library's own code", ["touchevent.cc", "hwkeyevent.cc"]),
    ("event source and bridge code", ["GeneratorEvent", "InjectorEvent", "Utils.cc", "RandomEventSource"]),
    ("main loop and pacing (floor: its whole loop)", ["main.cc", "pacing.cc", "floor.cc"]),
]

ROWS = []


def section(title):
    ROWS.append(("## " + title,))


def row(figure, tapfuzz, floor, note=""):
    ROWS.append((figure, tapfuzz, floor, note))
    print(f"  {figure:<46} {tapfuzz:>14} {floor:>14}  {note}", file=sys.stderr, flush=True)


def ratio(a, b):
    return f"{a / b:.2f}x" if b and a == a else "-"


def print_table():
    rows = [r for r in ROWS if len(r) == 4]
    w = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(["figure", "tapfuzz", "floor / target"])]
    line = lambda a, b, c, d: print(f"| {a:<{w[0]}} | {b:>{w[1]}} | {c:>{w[2]}} | {d}".rstrip())
    line("figure", "tapfuzz", "floor / target", "note")
    print("|" + "|".join("-" * (x + 2) for x in w) + "|------")
    for r in ROWS:
        if len(r) == 1:
            print(f"| **{r[0][3:]}**")
        else:
            line(*r)


class Bench:
    def __init__(self, build, out, quick):
        self.build, self.out, self.quick = build, out, quick
        self.tapfuzz = os.path.join(build, "tapfuzz")
        self.floor = os.path.join(build, "bench", "bench_floor")
        self.env = dict(os.environ, LD_PRELOAD=os.path.join(build, "tests", "fbshim.so"),
                        TAPFUZZ_TEST_FB="800x480")
        os.makedirs("saved", exist_ok=True)

    def profile(self, extra=""):
        with open("device.conf", "w") as f:
            f.write(f"LIBLARAY_PATH={self.build}/\nCOREFILE_PATH=./saved/\n{extra}{INSTANT}")

    def node(self, fifo=False):
        if os.path.lexists(NODE):
            os.unlink(NODE)
        if fifo:
            os.mkfifo(NODE)
        else:
            open(NODE, "w").close()

    def tapfuzz_cmd(self, kind, n):
        return [self.tapfuzz] + kind.args + [str(n)]

    def floor_cmd(self, kind, n, threads=0):
        return [self.floor] + (["--threads", str(threads)] if threads else []) + kind.floor + [str(n)]

    def run(self, cmd, **kw):
        return subprocess.run(cmd, env=self.env, stdout=subprocess.DEVNULL, check=True, **kw)

    def prepare(self, kind):
        self.profile(kind.profile)
        self.node()
        if self.quick:
            return max(1, kind.lo // 10), max(kind.lo // 10 + 2, kind.hi // 10)
        return kind.lo, kind.hi


def timed(b, cmd, span=False):
    """Runs cmd once: its wall time and user+system CPU (all threads), in s,
    and with span the time from its record's first gesture to its last in
    us, with the number of gestures between them."""
    if span:
        shutil.rmtree("results", ignore_errors=True)
    start = time.monotonic()
    p = subprocess.Popen(cmd, env=b.env, stdout=subprocess.DEVNULL)
    _, status, use = os.wait4(p.pid, 0)
    wall = time.monotonic() - start
    if status != 0:
        raise RuntimeError(f"{' '.join(cmd)}: exit status {status}")
    gaps = None
    if span:
        t = [int(line.split()[1]) for line in open(glob.glob("results/*/run-*.events")[0])
             if not line.startswith("#")]
        gaps = (t[-1] - t[0], len(t) - 1)
    return wall, use.ru_utime + use.ru_stime, gaps


def cost(b):
    section("Cost per action at no pause (standard output to /dev/null; node: a regular file on tmpfs). "
            "CPU: (long run - short run) / difference in actions. Wall: the floor likewise; tapfuzz from "
            "its record, the span from the first gesture to the last over the gestures between, since "
            "its end waits for the dump watcher's next pass (up to 2 s, whatever the count). Median of "
            "the pairs of runs, [min..max] of them beside it")
    runs = 2 if b.quick else 5
    for k in KINDS:
        lo, hi = b.prepare(k)
        who = [("tapfuzz", b.tapfuzz_cmd(k, lo), b.tapfuzz_cmd(k, hi)),
               ("floor", b.floor_cmd(k, lo), b.floor_cmd(k, hi))]
        if k.threaded:
            who.append(("floor2", b.floor_cmd(k, lo, 2), b.floor_cmd(k, hi, 2)))
        # One figure per pair of runs (a short and a long one, back to
        # back), so the spread of the pairs shows how far a figure holds.
        # A first pair warms the caches and is not counted.
        fig = {w: ([], []) for w, _, _ in who}
        for i in range(runs + 1):
            for w, short, long_ in who:
                sa, sz = timed(b, short), timed(b, long_, span=w == "tapfuzz")
                if i == 0:
                    continue
                walls, cpus = fig[w]
                walls.append(sz[2][0] / sz[2][1] if w == "tapfuzz" else (sz[0] - sa[0]) / (hi - lo) * 1e6)
                cpus.append((sz[1] - sa[1]) / (hi - lo) * 1e6)
        med = statistics.median
        spread = lambda v, f: f"[{min(v):{f}}..{max(v):{f}}]"
        (tws, tcs), (fws, fcs) = fig["tapfuzz"], fig["floor"]
        tw, tc, fw, fc = med(tws), med(tcs), med(fws), med(fcs)
        target = "; target <= 1.50x" if k.target else ""
        if k.designed_us:
            d = k.designed_us
            row(f"{k.name}: wall per action, us", f"{tw:.1f}", f"{fw:.1f}",
                f"{ratio(tw, fw)}; includes {d} us of designed sleep; pairs: tapfuzz {spread(tws, '.1f')}, "
                f"floor {spread(fws, '.1f')}")
            row(f"{k.name}: wall beyond the designed sleep, us", f"{tw - d:.1f}", f"{fw - d:.1f}",
                ratio(tw - d, fw - d) + target)
        else:
            row(f"{k.name}: wall per action, us", f"{tw:.2f}", f"{fw:.2f}", ratio(tw, fw) + target +
                f"; pairs: tapfuzz {spread(tws, '.2f')}, floor {spread(fws, '.2f')}")
        row(f"{k.name}: user+system CPU per action, us", f"{tc:.2f}", f"{fc:.2f}", ratio(tc, fc) + target +
            f"; pairs: tapfuzz {spread(tcs, '.2f')}, floor {spread(fcs, '.2f')}")
        if k.threaded:
            hw, hc = (med(v) for v in fig["floor2"])
            row(f"{k.name}: against a floor with 2 idle threads: wall / CPU, us", f"{tw:.2f} / {tc:.2f}",
                f"{hw:.2f} / {hc:.2f}", f"{ratio(tw, hw)} / {ratio(tc, hc)}; threads make every system call "
                "a cancellation point")
            within = lambda a, f: f"{ratio(a, f)} ({'within' if a <= 1.10 * f else 'NOT within'})"
            row(f"{k.name}: CPU per action / the floor's", within(tc, fc), "<= 1.10x",
                within(tc, hc) + " against the floor with 2 idle threads")


def strace_counts(b, cmd, tag):
    out = os.path.join(b.out, f"strace-{tag}.txt")
    b.run(["strace", "-f", "-c", "-o", out] + cmd)
    counts = {}
    for line in open(out):
        m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)\s*$", line)
        if m and m.group(2) != "total":
            counts[m.group(2)] = int(m.group(1))
    return counts


def syscalls(b):
    section("System calls per action (strace -f -c over all threads and the echo; difference of a long and a "
            "short run). Calls that come with time, not actions (the watcher's scan of /tmp each second, the "
            "echo's polling), show as fractions in the slow swipe")
    for k in KINDS:
        lo, hi = b.prepare(k)
        lo, hi = max(2, lo // 5), max(lo // 5 + 4, hi // 5)
        per = {}
        for who, cmd in (("tapfuzz", b.tapfuzz_cmd), ("floor", b.floor_cmd)):
            a, z = (strace_counts(b, cmd(k, n), f"{who}-{k.floor[0]}-{n}") for n in (lo, hi))
            per[who] = {s: (z.get(s, 0) - a.get(s, 0)) / (hi - lo) for s in set(a) | set(z)}
        t, f = (sum(per[w].values()) for w in ("tapfuzz", "floor"))
        top = lambda d: ", ".join(f"{s} {v:.2f}" for s, v in sorted(d.items(), key=lambda e: -e[1]) if abs(v) >= 0.01)
        row(f"{k.name}: system calls per action", f"{t:.2f}", f"{f:.2f}",
            f"{ratio(t, f)}; tapfuzz: {top(per['tapfuzz'])} | floor: {top(per['floor'])}")


def callgrind(b, cmd, tag):
    out = os.path.join(b.out, f"callgrind.{tag}")
    b.run(["valgrind", "--tool=callgrind", "-q", f"--callgrind-out-file={out}"] + cmd)
    annotate = lambda *opt: subprocess.run(["callgrind_annotate", "--auto=no", "--threshold=100", *opt, out],
                                           capture_output=True, text=True, check=True).stdout
    # The run record's line per gesture, formatting and buffered writes included.
    m = re.search(r"^\s*([\d,]+) .*recordEvent", annotate("--inclusive=yes"), re.M)
    record = int(m.group(1).replace(",", "")) if m else 0
    total, groups = 0, {"[inclusive] the run record: recordEvent and its callees": record}
    for line in annotate().splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(.+?)(?:\s+\[.*\])?$", line)
        if not m:
            continue
        ir, where = int(m.group(1).replace(",", "")), m.group(2)
        if where.startswith("PROGRAM TOTALS"):
            total = ir
        elif ":" in where:
            g = next((g for g, needles in GROUPS if any(n in where for n in needles)), "other (memcpy, strlen, ...)")
            groups[g] = groups.get(g, 0) + ir
    return total, groups


def instructions(b):
    section("Instructions per action in user space (callgrind, all threads; difference of a long and a short "
            "run), and where a click's go (own cost of each function, grouped)")
    for k in KINDS:
        if k.designed_us >= 100000:
            continue  # a swipe is a click with moves and long sleeps
        b.prepare(k)
        lo, hi = (100, 600) if b.quick else (500, 3000)
        r = {(w, n): callgrind(b, cmd(k, n), f"{w}-{k.floor[0]}-{n}")
             for w, cmd in (("tapfuzz", b.tapfuzz_cmd), ("floor", b.floor_cmd)) for n in (lo, hi)}
        per = lambda w: (r[w, hi][0] - r[w, lo][0]) / (hi - lo)
        row(f"{k.name}: instructions per action", f"{per('tapfuzz'):.0f}", f"{per('floor'):.0f}",
            ratio(per("tapfuzz"), per("floor")))
        if k is not KINDS[0]:
            continue
        g = lambda w, name: (r[w, hi][1].get(name, 0) - r[w, lo][1].get(name, 0)) / (hi - lo)
        names = {n for v in r.values() for n in v[1]}
        for name in sorted(names, key=lambda n: -g("tapfuzz", n)):
            if abs(g("tapfuzz", name)) >= 5 or abs(g("floor", name)) >= 5:
                row(f"  click: {name}", f"{g('tapfuzz', name):.0f}", f"{g('floor', name):.0f}")


def gesture_times(fd, starts, ends, stop):
    """Arrival times (ns) at the fifo of each gesture's first record and of
    the report that ends its lift."""
    size = struct.calcsize("llHHi")
    buf, lifting = b"", False
    while True:
        if not select.select([fd], [], [], 0.05)[0]:
            if stop.is_set():
                return
            continue
        data = os.read(fd, 4096)
        now = time.monotonic_ns()
        buf += data
        while len(buf) >= size:
            _, _, typ, code, value = struct.unpack_from("llHHi", buf)
            buf = buf[size:]
            if typ == 3 and code == 0x39:
                lifting = value == -1
                if not lifting:
                    starts.append(now)
            elif typ == 0 and lifting:
                ends.append(now)
                lifting = False


def paced(b, cmd):
    b.node(fifo=True)
    fd = os.open(NODE, os.O_RDWR | os.O_NONBLOCK)
    starts, ends, stop = [], [], threading.Event()
    reader = threading.Thread(target=gesture_times, args=(fd, starts, ends, stop))
    reader.start()
    b.run(cmd)
    stop.set()
    reader.join()
    os.close(fd)
    period = [(z - a) / 1e3 for a, z in zip(starts, starts[1:])]
    injection = [(z - a) / 1e3 for a, z in zip(starts, ends)]
    return period, injection


def p99(v):
    return sorted(v)[min(len(v) - 1, int(len(v) * 0.99))]


def pace(b):
    section("Pace: period between clicks at a reader of a fifo node, against the pause asked for; the pause "
            "follows the injection, so period = injection + pause")
    n = 60 if b.quick else 300
    click = KINDS[0]
    b.profile()
    period, inj = paced(b, [b.tapfuzz, "--pct-touch", "100", "--throttle", "10", str(n)])
    fperiod, _ = paced(b, [b.floor, "--pause", "10000"] + click.floor + [str(n)])
    err = [p - 10000 for p in period]
    ferr = [p - 10000 for p in fperiod]
    row("pace --throttle 10: period - pause, mean / p99, us", f"{statistics.mean(err):.0f} / {p99(err):.0f}",
        f"{statistics.mean(ferr):.0f} / {p99(ferr):.0f}", f"{len(err)} periods")
    row("pace --throttle 10: injection, mean / p99, us", f"{statistics.mean(inj):.0f} / {p99(inj):.0f}", "",
        "first to last record, as seen by the reader")
    over = [p - i - 10000 for p, i in zip(period, inj)]
    row("pace --throttle 10: period - injection - pause, mean, us", f"{statistics.mean(over):.0f}", "",
        "the pause's own overshoot")
    b.profile("EVENT_INTERVALS_RANGE=10,30\n")
    period, inj = paced(b, [b.tapfuzz, "--pct-touch", "100", str(n)])
    pause = [(p - i) / 1000 for p, i in zip(period, inj)]
    row("pace range 10,30: period - injection, min / mean / max, ms",
        f"{min(pause):.1f} / {statistics.mean(pause):.1f} / {max(pause):.1f}", "10 / 24.5 / 39",
        f"pauses drawn from 10..39 ms; {len(pause)} periods")


def watch(cmd, env):
    """Peak memory, threads and children of a run, sampled from /proc every
    10 ms, and where its resident memory sat (by mapping) at the peak."""
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL)
    hwm, threads, kids, names, by_map = 0, 0, 0, set(), {}
    while p.poll() is None:
        try:
            status = open(f"/proc/{p.pid}/status").read()
            h = int(re.search(r"VmHWM:\s+(\d+)", status).group(1))
            threads = max(threads, int(re.search(r"Threads:\s+(\d+)", status).group(1)))
            if h > hwm:
                hwm, by_map, name = h, {}, "[anonymous]"
                for line in open(f"/proc/{p.pid}/smaps"):
                    if re.match(r"[0-9a-f]+-[0-9a-f]+ ", line):
                        f = line.split(None, 5)
                        name = os.path.basename(f[5].strip()) if len(f) > 5 else "[anonymous]"
                    elif line.startswith("Rss:"):
                        by_map[name] = by_map.get(name, 0) + int(line.split()[1])
            seen = 0
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    stat = open(f"/proc/{pid}/stat").read()
                except OSError:
                    continue
                comm, rest = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:].split()
                if rest[1] == str(p.pid) and rest[0] != "Z":
                    seen += 1
                    names.add(comm)
            kids = max(kids, seen)
        except (OSError, AttributeError, ValueError):
            pass
        time.sleep(0.01)
    return hwm, threads, kids, names, by_map


def footprint(b):
    section("Footprint of a run (sampled from /proc every 10 ms)")
    n = 10000 if b.quick else 100000
    b.prepare(KINDS[0])
    t = watch(b.tapfuzz_cmd(KINDS[0], n), b.env)
    f = watch(b.floor_cmd(KINDS[0], n), b.env)
    row("peak resident memory (VmHWM), kB", str(t[0]), str(f[0]), f"{n} clicks; host build; target < 4096 kB")
    for name, kb in sorted(t[4].items(), key=lambda e: -e[1])[:8]:
        row(f"  resident in {name}, kB", str(kb), "", "at the peak")
    row("threads (most seen)", str(t[1]), str(f[1]), "main, console echo, core dump watcher")
    row("child processes (most seen)", str(t[2]), str(f[2]), "names: " + ",".join(sorted(t[3])))


def per_call(b):
    exe = os.path.join(b.build, "bench", "click_bench")
    if not os.path.exists(exe):
        return row("click: one call, ns", "-", "-", "click_bench not built (needs libbenchmark-dev)")
    section("Per call, in one process (Google Benchmark): the driver library's touchClick against the floor's "
            "open, version query, writes and close of a click; node: a regular file on tmpfs")
    b.node()
    js = os.path.join(b.out, "click_bench.json")
    subprocess.run([exe, "--benchmark_repetitions=" + ("3" if b.quick else "10"), "--benchmark_report_aggregates_only",
                    "--benchmark_format=json", "--benchmark_out=" + js], stdout=subprocess.DEVNULL, check=True,
                   env=dict(b.env, TAPFUZZ_TEST_RANGE="0,4095,0,4095"))
    med = {r["run_name"]: r["real_time"] for r in json.load(open(js))["benchmarks"] if r["aggregate_name"] == "median"}
    t, m, f = med["BM_touchClick"], med.get("BM_touchClickMapped", float("nan")), med["BM_floorClick"]
    row("click: touchClick per call, ns", f"{t:.0f}", f"{f:.0f}", ratio(t, f) + "; median of the repetitions")
    row("click: touchClick per call on a 12-bit panel turned 90, swapped, inverted, ns", f"{m:.0f}", f"{f:.0f}",
        ratio(m, f) + "; every point mapped onto the panel's axes")


def recorded_times(b, cmd, keep):
    """Runs cmd in an empty results folder and returns the gesture times of
    its run record, kept as keep in the output folder."""
    shutil.rmtree("results", ignore_errors=True)
    b.run(cmd)
    path = os.path.join(b.out, keep)
    shutil.copy(glob.glob("results/*/run-*.events")[0], path)
    return path, [int(line.split()[1]) for line in open(path) if not line.startswith("#")]


def replay(b):
    section("Replay: gaps between gestures replayed (tapfuzz --replay) against the gaps recorded (a run of "
            "clicks with pauses drawn from EVENT_INTERVALS_RANGE=10,30); |replayed - recorded / speed|")
    n = 60 if b.quick else 300
    b.profile("EVENT_INTERVALS_RANGE=10,30\n")
    b.node()
    path, rec = recorded_times(b, [b.tapfuzz, "--pct-touch", "100", str(n)], "recorded.events")
    gaps = [z - a for a, z in zip(rec, rec[1:])]
    for speed in (1, 2):
        _, rep = recorded_times(b, [b.tapfuzz, "--replay", path, "--speed", str(speed)], f"replayed-{speed}.events")
        err = [abs(z - a - g / speed) for a, z, g in zip(rep, rep[1:], gaps)]
        row(f"replay --speed {speed}: gap error, mean / p99, us", f"{statistics.mean(err):.0f} / {p99(err):.0f}",
            "", f"{len(err)} gaps of {min(gaps) / 1000:.1f}..{max(gaps) / 1000:.1f} ms recorded"
            + ("" if len(rep) == len(rec) else f"; {len(rep)} of {len(rec)} gestures replayed"))


def task_ns(pid, tid):
    """CPU time of one thread in ns: the scheduler's own count when the
    kernel keeps it, else utime + stime in clock ticks."""
    try:
        return int(open(f"/proc/{pid}/task/{tid}/schedstat").read().split()[0])
    except FileNotFoundError:
        stat = open(f"/proc/{pid}/task/{tid}/stat").read()
        rest = stat[stat.rindex(")") + 2:].split()
        return (int(rest[11]) + int(rest[12])) * 10**9 // os.sysconf("SC_CLK_TCK")


def thread_cpu(cmd, env, seconds):
    """CPU ms per second of run of the watcher thread (neither the main
    thread nor the echo, which is the parent of tail) and of the process."""
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL)
    time.sleep(1.5)
    task = f"/proc/{p.pid}/task"
    tids = os.listdir(task)
    # Without the kernel's children files both other threads are counted.
    kids = lambda t: os.path.exists(f"{task}/{t}/children") and open(f"{task}/{t}/children").read().strip()
    watcher = [t for t in tids if t != str(p.pid) and not kids(t)]
    take = lambda: (time.monotonic(), {t: task_ns(p.pid, t) for t in tids})
    t0, a = take()
    time.sleep(seconds)
    t1, z = take()
    p.send_signal(signal.SIGINT)
    p.wait()
    per_s = lambda ts: sum(z[t] - a[t] for t in ts) / 1e6 / (t1 - t0)
    return per_s(watcher), per_s(tids), len(watcher)


def checks(b):
    section("Per-second checks: CPU of the watcher thread (dump scan of /tmp, record flush; with -a also the "
            "application check and with FREEZE_SECONDS the screen hash of an 800x480x32 frame buffer that "
            "changes every 0.5 s), per second of a run of clicks at --throttle 100; host")
    seconds = 5 if b.quick else 20
    env = dict(b.env, TAPFUZZ_TEST_FB="800x480x32")
    fb = os.open("/dev/fb0", os.O_RDWR)
    os.ftruncate(fb, 0)
    os.write(fb, b"\x55" * ((800 * 4 + 32) * 480))
    stop = threading.Event()

    def repaint():
        while not stop.wait(0.5):
            os.pwrite(fb, os.urandom(4), 0)

    painter = threading.Thread(target=repaint)
    painter.start()
    app = subprocess.Popen(["sleep", "3600"])
    b.node()
    cmd = [b.tapfuzz, "--throttle", "100", "--pct-touch", "100", "1000000"]
    res = {}
    for tag, args, extra in (("plain", [], ""), ("checks", ["-a", "sleep"], "FREEZE_SECONDS=5\n")):
        b.profile(extra)
        res[tag] = thread_cpu(cmd[:1] + args + cmd[1:], env, seconds)
    stop.set()
    painter.join()
    app.kill()
    app.wait()
    os.close(fb)
    share = lambda ms: f"{ms / 10:.3f} % of a core"
    for tag, what in (("plain", "no -a, FREEZE_SECONDS=0"), ("checks", "-a sleep (running), FREEZE_SECONDS=5")):
        w, proc, found = res[tag]
        row(f"watcher thread, {what}: CPU, ms per s", f"{w:.3f}", "",
            share(w) + ("" if found == 1 else f"; {found} threads taken as the watcher"))
        row(f"whole process, {what}: CPU, ms per s", f"{proc:.3f}", "", share(proc))
    d = res["checks"][0] - res["plain"][0]
    row("app check + screen hash (the difference), ms per s", f"{d:.3f}", "", share(d))


def report_folder(folder, record_mb, log_mb, marks, freezes, shots):
    """One run's results folder: a record of record_mb MB of gestures and
    `marks` crash lines, a main log of log_mb MB of lines the report skips
    with `freezes` freezes and as many application exits among them, and
    `shots` 4 MB screenshots beside the dumps. Returns the input's bytes."""
    name, saved = "run-120000-1", os.path.join(folder, "saved")
    os.makedirs(saved)
    lines = ["{i} {at} click {x} {y} 0\n", "{i} {at} swipe {x} {y} {y} {x} 5 75000 937099927 0\n",
             "{i} {at} longclick {x} {y} 800000 0\n", "{i} {at} key 115 0\n"]
    with open(os.path.join(folder, name + ".events"), "w") as f:
        f.write("# tapfuzz run record\n# seed:1\n# command:./tapfuzz -a app 99999999\n# screen:800x480\n# grid:20\n"
                "# library:/usr/lib/libfeedinput.so V0.1\n# mix:40.0,30.0,30.0,0.0\n# start:2024-05-01 12:00:00\n")
        n = 0
        while f.tell() < record_mb << 20:
            f.write("".join(lines[i % 4].format(i=i, at=i * 1000, x=i * 7 % 800, y=i * 13 % 480)
                            for i in range(n + 1, n + 10001)))
            n += 10000
        # Each after the gestures it follows, as the watcher writes them;
        # every second one at a site of its own, the rest at 10 sites.
        for k in range(marks):
            site = k if k % 2 else k % 20
            f.write(f"# crash:{saved}/coredump-app-{k}-2024-05-01_12:00:00 after:{(k + 1) * n // (marks + 1)}"
                    f" signature:SIGSEGV,app+0x{site * 4 + 0x10000:x}\n")
    png = b"\x89PNG\r\n\x1a\n" + bytes((4 << 20) - 8)
    for k in range(shots):
        with open(f"{saved}/coredump-app-{k}-2024-05-01_12:00:00.png", "wb") as f:
            f.write(png)
    skipped = "[2024-05-01 12:00:01][INFO]Sending event #{e}: tap {x},{y} (a line the report skips)\n"
    with open(os.path.join(folder, "tapfuzz.log"), "w") as f:
        f.write(f"[2024-05-01 12:00:00][INFO]seed:1\n[2024-05-01 12:00:00][INFO]record:./{name}.events\n")
        block = "".join(skipped.format(e=e, x=e % 800, y=e % 480) for e in range(10000))
        blocks = max(freezes, (log_mb << 20) // len(block))
        for b in range(blocks):
            f.write(block)
            if b % (blocks // freezes) == 0 and b // (blocks // freezes) < freezes:
                e = b * n // blocks
                f.write(f"[2024-05-01 12:00:02][INFO]freeze: screen unchanged for 5 s after event:{e}\n"
                        f"[2024-05-01 12:00:02][INFO]app:app exited after event:{e} signal:6\n")
        f.write(f"[2024-05-01 13:00:00][INFO]Events injected:{n}\n")
    return sum(os.path.getsize(os.path.join(r, x)) for r, _, fs in os.walk(folder) for x in fs)


def report(b):
    section("--report of a big results folder (generated on disk in the output folder, removed after): peak "
            "resident memory (GNU time), wall time; half the input first, to show the time grows linearly")
    scale = 10 if b.quick else 1
    times = []
    for record_mb, log_mb in ((100, 150), (200, 300)):
        record_mb, log_mb = record_mb // scale, log_mb // scale
        folder = os.path.join(b.out, "report-folder")
        shutil.rmtree(folder, ignore_errors=True)
        size = report_folder(folder, record_mb, log_mb, 1000, 100, 12)
        os.sync()  # the writing back of the folder is no part of the report's time
        # GNU time's own wait4: a child of this process would also count the
        # interpreter's memory from before its exec.
        # The faster of two runs: other work on the machine only adds time.
        figures, seconds = os.path.join(b.out, "report-time.txt"), []
        for _ in range(2):
            start = time.monotonic()
            done = subprocess.run(["/usr/bin/time", "-o", figures, "-f", "%M", b.tapfuzz, "--report", folder],
                                  stdout=subprocess.DEVNULL)
            seconds.append(time.monotonic() - start)
        seconds = min(seconds)
        times.append(seconds)
        page = os.path.getsize(os.path.join(folder, "report.html")) if done.returncode == 0 else 0
        what = f"{record_mb} MB record, {log_mb} MB log"
        row(f"report, {what}: peak resident memory, MB", f"{int(open(figures).read().split()[-1]) / 1024:.1f}",
            "<= 64", f"exit {done.returncode}; 1000 crashes at 510 sites, 100 freezes, 100 exits; {size >> 20} MB read")
        row(f"report, {what}: wall time (the faster of 2), s", f"{seconds:.1f}", "",
            f"{size / seconds / 1e6:.0f} MB/s; page {page >> 20} MB with 12 screenshots of 4 MB, at most 32 MB inlined")
        shutil.rmtree(folder)
    row("report: time of the full input / time of the half", f"{times[1] / times[0]:.2f}", "about 2", "linear")


def report_folders(b):
    section("--report of many folders: 200 folders of 1,000 one-gesture runs each (generated in a temp dir, "
            "removed after), each gesture at day 69, every folder with the same run names; peak resident memory "
            "(GNU time) and the page's size")
    top = tempfile.mkdtemp(dir=b.out, prefix="report-folders.")
    folders, runs = (20, 100) if b.quick else (200, 1000)
    day69 = 69 * 86400 * 1000000
    for f in range(folders):
        folder = os.path.join(top, f"night{f:03}")
        os.makedirs(folder)
        log = []
        for r in range(runs):
            name = f"run-{r:06}-1"
            with open(os.path.join(folder, name + ".events"), "w") as out:
                out.write(f"# seed:{r}\n# screen:800x480\n# grid:20\n# start:2024-05-01 12:00:00\n"
                          f"1 {day69} click 10 10 0\n")
            log.append(f"[2024-05-01 12:00:00][INFO]seed:{r}\n[2024-05-01 12:00:00][INFO]record:./{name}.events\n")
        with open(os.path.join(folder, "tapfuzz.log"), "w") as out:
            out.write("".join(log))
    figures = os.path.join(b.out, "report-folders-time.txt")
    paths = [os.path.join(top, x) for x in sorted(os.listdir(top))]
    done = subprocess.run(["/usr/bin/time", "-o", figures, "-f", "%M", b.tapfuzz, "--report"] + paths,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    page = os.path.getsize(os.path.join(paths[0], "report.html")) if done.returncode == 0 else 0
    row(f"report, {folders} folders of {runs} runs: peak resident memory, MB",
        f"{int(open(figures).read().split()[-1]) / 1024:.1f}", "<= 10",
        f"exit {done.returncode} {done.stderr.strip()[:80]}; page {page / 1e6:.0f} MB")
    shutil.rmtree(top)


def signature(b):
    section("Dump signature of a 100 MB dump (gdb's dump of the crasher holding 100 MB; notes at its end): "
            "headers and notes of the dump, the crashing thread's stack walked with the modules' unwind tables, "
            "then the modules' symbol tables; host")
    crasher = os.path.join(b.build, "tests", "crasher")
    exe = os.path.join(b.build, "bench", "signature_bench")
    if not (shutil.which("gdb") and os.path.exists(crasher) and os.path.exists(exe)):
        return row("signature of a 100 MB dump, ms", "-", "-", "needs gdb, tests/crasher and bench/signature_bench")
    core, trace = os.path.join(b.out, "core.big"), os.path.join(b.out, "strace-signature.txt")
    subprocess.run(["gdb", "-batch", "-nx", "-ex", "run", "-ex", f"gcore {core}", "--args", crasher, "big"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    size = os.path.getsize(core) / 2**20
    out = subprocess.run([exe, core, crasher, "50" if b.quick else "300"], capture_output=True, text=True,
                         check=True).stdout.splitlines()
    subprocess.run(["strace", "-o", trace, exe, core, crasher, "0"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    os.unlink(core)
    for line in out[1:]:
        kind, median, most = line.split()
        what = "page cache warm" if kind == "warm_us" else "dump and module dropped from the page cache"
        row(f"signature, {what}: median / max, ms", f"{float(median) / 1000:.3f} / {float(most) / 1000:.3f}",
            "<= 20", f"{size:.0f} MB dump; {out[0]}")
    lines = open(trace).read().split('write(2, "begin')[1].split('write(2, "end')[0].splitlines()[1:]
    calls = {}
    for line in lines:
        name = line.split("(", 1)[0]
        calls[name] = calls.get(name, 0) + 1
    read = sum(int(line.rsplit("=", 1)[1]) for line in lines if line.startswith("pread64"))
    row("signature: system calls / bytes read", f"{len(lines)} / {read}", "",
        ", ".join(f"{n} {c}" for n, c in sorted(calls.items(), key=lambda e: -e[1])) + "; dump and module")


def planted_core(module):
    """A 64-bit x86 core of headers and notes only (about 600 bytes): SIGSEGV
    with the pc 0x1000 into `module`, as anyone may plant in /tmp."""
    start = 0x555555554000
    prstatus = bytearray(336)
    struct.pack_into("<h", prstatus, 12, 11)            # pr_cursig
    struct.pack_into("<Q", prstatus, 112 + 16 * 8, start + 0x1000)  # rip
    files = struct.pack("<QQQQQ", 1, 4096, start, start + 0x100000, 0) + module.encode() + b"\0"

    def note(kind, desc):
        desc += b"\0" * (-len(desc) % 4)
        return struct.pack("<III", 5, len(desc), kind) + b"CORE\0\0\0\0" + desc

    notes = note(1, bytes(prstatus)) + note(0x46494c45, files)
    ehdr = b"\x7fELF\x02\x01\x01" + bytes(9) + struct.pack("<HHIQQQIHHHHHH", 4, 62, 1, 0, 64, 0, 0, 64, 56, 1, 0,
                                                              0, 0)
    return ehdr + struct.pack("<IIQQQQQQ", 4, 0, 120, 0, 0, len(notes), 0, 4) + notes


def big_module(path):
    """A shared object whose symbol table is just under the 16 MB the
    signature reads: every planted dump naming it costs a full table read."""
    count = (16 << 20) // 24
    syms = bytes(24) + struct.pack("<IBBHQQ", 1, 0x12, 0, 1, 0, 16) * (count - 1)
    strtab = b"\0f\0"
    shoff = 64 + 56 + len(syms) + len(strtab)
    shdrs = bytes(64) + struct.pack("<IIQQQQIIQQ", 0, 2, 0, 0, 120, len(syms), 2, 0, 8, 24) + \
        struct.pack("<IIQQQQIIQQ", 0, 3, 0, 0, 120 + len(syms), len(strtab), 0, 0, 1, 0)
    ehdr = b"\x7fELF\x02\x01\x01" + bytes(9) + struct.pack("<HHIQQQIHHHHHH", 3, 62, 1, 0, 64, shoff, 0, 64, 56, 1,
                                                              64, 3, 0)
    phdr = struct.pack("<IIQQQQQQ", 1, 5, 0, 0, 0, 120, 120, 4096)
    with open(path, "wb") as f:
        f.write(ehdr + phdr + syms + strtab + shdrs)


def ending_run(b, dumps, core, sigint_after):
    """Seconds from `// tapfuzz finish` to the exit of a run by count with
    `dumps` cores planted in /tmp by uid 65534; SIGINT `sigint_after` s
    after the finish when not None. Also the dumps saved and left."""
    for i in range(dumps):
        path = f"/tmp/coredump-plant-{i}-1700000000"
        with open(path, "wb") as f:
            f.write(core)
        os.chown(path, 65534, 65534)
    b.profile()
    b.node()
    shutil.rmtree("results", ignore_errors=True)
    shutil.rmtree("saved", ignore_errors=True)
    os.makedirs("saved")
    p = subprocess.Popen([b.tapfuzz, "--throttle", "100", "--pct-touch", "100", "10"], env=b.env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    finished = None
    while p.poll() is None:
        logs = glob.glob("results/tapfuzz*/tapfuzz.log")
        if finished is None and logs and "// tapfuzz finish" in open(logs[0]).read():
            finished = time.monotonic()
        if finished is not None and sigint_after is not None and time.monotonic() - finished >= sigint_after:
            p.send_signal(signal.SIGINT)
            sigint_after = None
        time.sleep(0.01)
    took = time.monotonic() - finished if finished is not None else float("nan")
    log = open(glob.glob("results/tapfuzz*/tapfuzz.log")[0]).read()
    left = len([f for f in os.listdir("/tmp") if f.startswith("coredump-plant-")])
    saved = len([f for f in os.listdir("saved") if f.endswith("-2023-11-14_22:13:20")])
    for f in os.listdir("/tmp"):
        if f.startswith("coredump-plant-"):
            os.unlink("/tmp/" + f)
    told = re.search(r"dumps left in /tmp/: (\d+) not saved", log)
    signature = re.search(r"crash signature:(\S+ \S+)", log)
    return took, saved, left, told.group(1) if told else "0", signature.group(1) if signature else "none"


def ending(b):
    section("The run's end with dumps planted in /tmp by uid 65534 (600-byte cores naming a module with a "
            "16 MB symbol table): seconds from `// tapfuzz finish` to the exit of a 10-click run; host")
    module = os.path.join(b.out, "bigmodule.so")
    big_module(module)
    core = planted_core(module)
    for dumps, sigint in ((3000, None), (3000, 2), (10000, None)):
        took, saved, left, told, signature = ending_run(b, dumps, core, sigint)
        what = f"{dumps} planted" + (", SIGINT 2 s after the finish" if sigint is not None else "")
        row(f"end, {what}: finish to exit, s", f"{took:.1f}", "<= 9 + one dump" if sigint is None else "<= 2 + one dump",
            f"{saved} saved, {left} left in /tmp ({told} in the log line, the one under way cut with its own); "
            f"{len(core)}-byte cores, signature {signature}")
    os.unlink(module)


def maze_run(b, seed, gestures, explore, animated=False):
    """One run of tapfuzz against the maze (which it starts and restarts),
    with its animated status bar (-b) or not: the maze's own log of the
    screens it showed, tapfuzz's figures and the maze's crashes."""
    maze = os.path.join(b.build, "tests", "maze") + (" -b" if animated else "")
    screens = f"/mnt/work/maze-{seed}-{int(explore)}{'b' if animated else ''}.txt"
    b.profile(f"APP_RESTART=ulimit -c 0; exec {maze} {screens}\nAPP_RESTART_DELAY=0\nLONGCLICK_DURATION=600\n")
    b.node(fifo=True)
    shutil.rmtree("results", ignore_errors=True)
    with open("/dev/fb0", "wb") as f:
        f.truncate((800 * 4 + 32) * 480)
    env = dict(b.env, TAPFUZZ_TEST_FB="800x480x32")
    # Swipes at their default share (30 %), long clicks cut to 5 % (each is
    # held 600 ms), clicks the rest.
    cmd = [b.tapfuzz, "-a", "maze", "--seed", str(seed), "--pct-motion", "30", "--pct-longclick", "5", "--throttle", "20"]
    subprocess.run(cmd + (["--explore"] if explore else []) + [str(gestures)], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    log = open(glob.glob("results/tapfuzz*/tapfuzz.log")[0]).read()
    # The mazes this run started, and only they, end with it.
    for pid in set(re.findall(r"app:maze pid:(\d+)", log)):
        try:
            os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass
    shown = open(screens).read()
    figures = re.search(r"\[INFO\](screens:\S+) (no-op:\S+)", log)
    return {"screens": len(set(re.findall(r"screen (\d+) depth", shown))),
            "deep": "screen 25 depth" in shown, "crashes": len(re.findall(r"app:maze exited after event:\d+ signal:11", log)),
            "noop": figures.group(2)[6:-1] if figures else "-", "told": figures.group(1)[8:] if figures else "-"}


def explore(b):
    gestures = 400 if b.quick else 2000
    seeds = [1, 2, 3, 4, 5]
    start = time.monotonic()
    for animated in (False, True):
        section(f"--explore against uniform placement: the maze (tests/app/maze.c, blinking cursor"
                f"{', status bar animated by itself (-b): clock, progress bar, sliding block' if animated else ''}, "
                f"800x480x32), {gestures} gestures a seed, --throttle 20, --pct-motion 30, --pct-longclick 5 held "
                "600 ms, the same for both; screens: distinct screens in the maze's own log (tapfuzz's count in "
                "brackets); deep: screen 25 shown / the maze's SIGSEGVs there")
        arms = {False: [], True: []}
        for seed in seeds:
            for explore_arm in (False, True):
                arms[explore_arm].append(maze_run(b, seed, gestures, explore_arm, animated))
            u, e = arms[False][-1], arms[True][-1]
            show = lambda r: f"{r['screens']} ({r['told']}), {'yes' if r['deep'] else 'no'}/{r['crashes']}, {r['noop']}%"
            row(f"seed {seed}: screens, deep/crashes, no-op", show(e), show(u), "tapfuzz --explore | uniform")
        med = lambda arm, k: statistics.median(float(r[k]) for r in arms[arm] if r[k] != "-")
        tag = "animated: " if animated else ""
        row(f"{tag}median distinct screens", f"{med(True, 'screens'):.0f}", f"{med(False, 'screens'):.0f}",
            f"{ratio(med(True, 'screens'), med(False, 'screens'))}; target >= 3x")
        row(f"{tag}median screens tapfuzz counted", f"{med(True, 'told'):.0f}", f"{med(False, 'told'):.0f}",
            "against the maze's own count: animation must not inflate it")
        row(f"{tag}seeds reaching the deep crash (screen 25)", f"{sum(r['deep'] for r in arms[True])} of {len(seeds)}",
            f"{sum(r['deep'] for r in arms[False])} of {len(seeds)}", "target >= 4 of 5 with --explore")
        row(f"{tag}median no-op share, %", f"{med(True, 'noop'):.0f}", f"{med(False, 'noop'):.0f}",
            f"{ratio(med(True, 'noop'), med(False, 'noop'))}; target <= 0.50x")
    row("section's wall time, s", f"{time.monotonic() - start:.0f}", "", "all arms, one after the other")
    exe = os.path.join(b.build, "bench", "explore_bench")
    with open("/dev/fb0", "wb") as f:
        f.truncate((800 * 4 + 32) * 480)
    out = subprocess.run([exe, "/dev/fb0", "500" if b.quick else "3000"], env=dict(b.env, TAPFUZZ_TEST_FB="800x480x32"),
                         capture_output=True, text=True, check=True).stdout.split()
    row("look and placement per gesture (800x480x32, grid 20), median / max us", f"{out[1]} / {out[2]}", "",
        f"host; 96 sampled rows read, 15360 samples, 960 cells; second looks per gesture {out[3]} (their "
        "40 ms waits not timed)")


def shrink_memory(b, size):
    """Peak resident memory (GNU time) of a whole shrink of a record of
    `size` bytes whose crash needs its first 3 gestures and whose crash line
    comes last, after gestures that follow the crash."""
    path = os.path.join(b.out, "shrink-memory.events")
    with open(path, "w") as f:
        f.write("# tapfuzz run record\n# seed:1\n1 1000 click 100 60 0\n2 2000 longclick 400 60 60000 0\n"
                "3 3000 swipe 700 60 600 100 4 20000 7 0\n")
        i, lines = 4, 10000 if size > 2**20 else 1
        while f.tell() < size - 90:
            f.write("".join(f"{j} {j * 1000} click {j * 37 % 800} {300 + j % 150} 0\n" for j in range(i, i + lines)))
            i += lines
        f.write("# crash:./saved/coredump-touchapp-9-2026-01-01_00:00:00 after:3 signature:unknown\n")
    size = os.path.getsize(path)
    shutil.rmtree("results", ignore_errors=True)
    for old in glob.glob(os.path.join(b.out, "shrink-memory-min*.events")):
        os.unlink(old)
    figures = os.path.join(b.out, "shrink-time.txt")
    done = subprocess.run(["/usr/bin/time", "-o", figures, "-f", "%M", b.tapfuzz, "-a", "touchapp", "--shrink", path,
                           "--speed", "0", "--wait", "1"], env=b.env, stdout=subprocess.DEVNULL)
    log = open(glob.glob("results/*/tapfuzz.log")[0]).read()
    m = re.search(r"shrink: (\d+) gestures from (\d+) in (\d+) tries", log)
    what = f"{size / 2**20:.0f} MB" if size >= 2**20 else f"{size / 1024:.1f} KB"
    row(f"shrink of a {what} record: peak resident memory, kB", open(figures).read().split()[-1], "flat",
        f"exit {done.returncode}; " + (f"{m.group(1)} of {m.group(2)} gestures kept in {m.group(3)} tries" if m else "no result")
        + "; crash line last")
    os.unlink(path)


def shrink(b):
    app = os.path.join(b.build, "tests", "touchapp")
    if os.path.exists(app):
        b.profile(f"APP_RESTART=exec {app} seq 1\nAPP_RESTART_DELAY=0\n")
        b.node(fifo=True)
        section("Shrink's memory: the record streamed, the gestures up to the crash kept (touchapp seq, "
                "--speed 0 --wait 1)")
        for size in (1024, 100 << 20):
            shrink_memory(b, size)
    n = 100 if b.quick else 500
    section(f"Shrink: tries and time for a record of {n} gestures whose crash needs 3 of them in order (touchapp seq: "
            "a click, a long click, a swipe), --speed 0 --wait 1; each candidate up to 3 tries")
    app = os.path.join(b.build, "tests", "touchapp")
    if not os.path.exists(app):
        return row("shrink: tries / gestures kept", "-", "-", "needs tests/touchapp")
    b.profile(f"APP_RESTART=exec {app} seq 1\nAPP_RESTART_DELAY=0\n")
    b.node(fifo=True)
    path = os.path.join(b.out, "shrink.events")
    with open(path, "w") as f:
        f.write("# tapfuzz run record\n# seed:1\n")
        for i in range(1, n + 1):
            g = ("click 100 60" if i == n // 4 else "longclick 400 60 60000" if i == n // 2 else
                 "swipe 700 60 600 100 4 20000 7" if i == 3 * n // 4 else f"click {i * 37 % 800} {300 + i % 150}")
            f.write(f"{i} {i * 1000} {g} 0\n")
        f.write(f"# crash:./saved/coredump-touchapp-9-2026-01-01_00:00:00 after:{n} signature:unknown\n")
    shutil.rmtree("results", ignore_errors=True)
    start = time.monotonic()
    b.run([b.tapfuzz, "-a", "touchapp", "--shrink", path, "--speed", "0", "--wait", "1"])
    took = time.monotonic() - start
    m = re.search(r"shrink: (\d+) gestures from \d+ in (\d+) tries", open(glob.glob("results/*/tapfuzz.log")[0]).read())
    kept, tries = int(m.group(1)), int(m.group(2))
    row("shrink: tries / gestures kept", f"{tries} / {kept}", "<= 200 / 3")
    row("shrink: time, s / per try, s", f"{took:.0f} / {took / tries:.2f}", "", "a crash is known once the watcher "
        "has seen its dump unchanged for a second; a try without one waits --wait")


def main_thread_waits(pid):
    """The voluntary switches of process `pid`'s main thread; None when gone."""
    try:
        status = open(f"/proc/{pid}/task/{pid}/status").read()
    except OSError:
        return None
    m = re.search(r"\nvoluntary_ctxt_switches:\s*(\d+)", status)
    return int(m.group(1)) if m else None


def freeze_run(b, mode, seconds, limit):
    """One run against touchapp hanging (or going idle) at its 40th touch,
    some 2 s in (after the watcher found it), watched from outside every 10
    ms: the seconds from the main thread's last wait to the freeze line
    (None: no freeze within `limit` s), and the evidence line."""
    app = os.path.join(b.build, "tests", "touchapp")
    b.profile(f"APP_RESTART=exec {app} {mode} 40 0 0 800 480\nAPP_RESTART_DELAY=0\nLONGCLICK_DURATION=1\n"
              f"FREEZE_SECONDS={seconds}\nFREEZE_ABORT=1\n")
    b.node(fifo=True)
    shutil.rmtree("results", ignore_errors=True)
    with open("/dev/fb0", "wb") as f:
        f.truncate((800 * 4 + 32) * 480)
    # Clicks only: a hung application reads no more, and its touches wait in
    # the fifo node, which would fill with swipes before the freeze is called.
    p = subprocess.Popen([b.tapfuzz, "-a", "touchapp", "--stop-on-crash", "--pct-motion", "0", "--throttle", "50",
                          "1000000"], env=dict(b.env, TAPFUZZ_TEST_FB="800x480x32"), stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    start, pid, waits, woke, called, evidence, log = time.monotonic(), None, None, None, None, "-", ""
    while called is None and time.monotonic() - start < limit:
        time.sleep(0.01)
        logs = glob.glob("results/tapfuzz*/tapfuzz.log")
        log = open(logs[0]).read() if logs else ""
        if pid is None:
            m = re.search(r"app:touchapp pid:(\d+)", log)
            pid = int(m.group(1)) if m else None
        now = main_thread_waits(pid) if pid else None
        if now is not None and now != waits:
            waits, woke = now, time.monotonic()
        if "]freeze: screen unchanged" in log:
            called = time.monotonic()
            m = re.search(r"\]freeze: app:touchapp pid:\d+ main thread (.*)", log)
            evidence = m.group(1) if m else "-"
    p.send_signal(signal.SIGINT)
    p.wait()
    for found in set(re.findall(r"app:touchapp pid:(\d+)", log)):
        try:
            os.kill(int(found), signal.SIGKILL)
        except OSError:
            pass
    return (called - woke if called and woke else None), evidence


def freeze(b):
    seconds = 2
    section(f"Freeze check: FREEZE_SECONDS={seconds}, touchapp hanging at its 40th touch (800x480x32, clicks at "
            "--throttle 50, FREEZE_ABORT=1): seconds from the main thread's last wait (sampled every 10 ms) to "
            "the freeze line; idle reads on and draws no more, as a working application whose touches hit inert "
            "parts; host")
    if not os.path.exists(os.path.join(b.build, "tests", "touchapp")):
        return row("freeze check", "-", "-", "needs tests/touchapp")
    for mode in ("spin", "lock", "stall"):
        took, evidence = freeze_run(b, mode, seconds, 6 * seconds)
        row(f"{mode}: freeze called after, s", f"{took:.2f}" if took is not None else "none",
            f"{seconds} .. {seconds + 1}", evidence + "; the check is once a second")
    took, _ = freeze_run(b, "idle", seconds, 6 * seconds)
    row(f"idle: freezes called in {6 * seconds} s", "0" if took is None else "1", "0", "")


def extra_rows(path):
    for line in open(path):
        line = line.rstrip("\n")
        if line.startswith("## "):
            section(line[3:])
        elif line:
            row(*(line.split("|") + ["", "", ""])[:4])


SECTIONS = {"percall": per_call, "cost": cost, "syscalls": syscalls, "callgrind": instructions, "pace": pace,
            "footprint": footprint, "replay": replay, "checks": checks, "report": report,
            "report-folders": report_folders,
            "signature": signature, "ending": ending, "explore": explore, "shrink": shrink, "freeze": freeze}


def main():
    ap = argparse.ArgumentParser(description="tapfuzz against the floor loop, in one table")
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--quick", action="store_true")
    # size: the rows scripts/bench measures on the armhf build (--rows).
    ap.add_argument("--only", action="append", choices=sorted(list(SECTIONS) + ["size"]))
    ap.add_argument("--rows")
    a = ap.parse_args()
    b = Bench(os.path.abspath(a.build), os.path.abspath(a.out), a.quick)
    for name, fn in SECTIONS.items():
        if not a.only or name in a.only:
            print(f"== {name}", file=sys.stderr, flush=True)
            fn(b)
    if a.rows:
        extra_rows(a.rows)
    print_table()


if __name__ == "__main__":
    main()
