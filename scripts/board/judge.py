#!/usr/bin/env python3
# Judges the emulated board's results on the host.
#
# Every gesture tapfuzz logged is turned into the frames the driver writes,
# passed through the input core's filtering (an unchanged ABS_X, ABS_Y or key
# state is not passed on, nor a multi-touch value unchanged in its slot; a
# slot is announced only before a value of another slot than the last one
# announced; a frame left empty is not delivered) and matched
# frame by frame against what evemu-record read from /dev/input/event0. Also
# checked: the exit statuses, that nothing of tapfuzz outlives it, the
# summary lines, that clicks are held their 80 ms and long clicks their
# 1200 ms, that points go out in the panel's own range, and swipes lift at
# their end point, that every contact the recorder saw open was closed, that
# the replay injects run 1's gestures in order, that
# the saved core dump is the kernel's file byte for byte, its crash bundle
# (a PNG of the frame buffer, the text naming seed, command line and last
# gesture) and that run 1's junit.xml has the crash case. Run 5, whose
# application crashes again and again at two sites: each real dump's
# signature, logged, recorded and bundled alike, counted new and seen per
# key, proved against gdb on the dump and the board's touchapp, and the
# report's table of distinct crashes and junit cases with the counts the log
# gives. Prints the measured holds and travels per kind, the distance
# between a pinch's fingers at its start and end, the replay's gap error,
# and run 6's --explore figures beside the screens the maze logged.
#
# usage: judge.py RESULTS_DIR COUNT [--selftest]
# --selftest damages copies of the results and requires each to fail.
import copy
import glob
import math
import os
import re
import statistics
import struct
import subprocess
import sys
import time
import zlib

EV_SYN, EV_KEY, EV_ABS = 0, 1, 3
ABS_X, ABS_Y, MT_SLOT, MT_X, MT_Y, MT_ID, BTN_TOUCH = 0x00, 0x01, 0x2f, 0x35, 0x36, 0x39, 330
PANEL_MAX = (809, 489)  # the panel's ranges (from 0), which the driver maps the screen's pixels to
SCREEN = (800, 480)
PANEL = "tapfuzz board panel"
CORES = "/data/cores/"
LONG_HOLD = 1.2  # LONGCLICK_DURATION's default, which the board's profile keeps
CLICK_HOLD = 0.08  # CLICK_DURATION's
# The runs of init.sh and how each ends: "count" runs its COUNT events,
# "replay" replays run 1's record, "explore" runs COUNT with --explore,
# "count, pinches" runs its COUNT events with --pct-pinch 20.
RUNS = {"run1": "count", "run2": "SIGINT", "run3": "SIGALRM", "run4": "replay", "run6": "explore",
        "run7": "count, pinches"}
GESTURE = re.compile(r"\]\[INFO\]Sending (\w+) \(ACTION_\w+\):\(([-\d,]+)\)$")
SIGNATURE = re.compile(r"\]\[INFO\]crash signature:(\S+) (\S+)(?: (\S+))?(?: from \S+)? (new|seen:(\d+))$")


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def text(path):
    return read(path).decode(errors="replace")


def blobs(pattern):
    return {os.path.basename(path): read(path) for path in glob.glob(pattern)}


def load(results):
    # Everything the judge reads, as plain data the self-check can damage.
    out = os.path.join(results, "out")
    r = {"fb": text(f"{out}/fb.txt").strip(), "event0": text(f"{out}/event0-name.txt").strip(),
         "victim": text(f"{out}/victim.status").strip(), "runs": {},
         "cores": blobs(f"{results}/cores/*"), "witness": blobs(f"{out}/coredump-*"),
         "junit": "".join(text(p) for p in glob.glob(f"{results}/run1/results/tapfuzz*/junit.xml")),
         "maze": text(f"{out}/maze-screens.txt")}
    for name in RUNS:
        logs = sorted(glob.glob(f"{results}/{name}/results/tapfuzz*/"))
        rec = text(f"{out}/{name}.evemu")
        frames, cur = [], []
        for m in re.finditer(r"^E: (\d+\.\d+) (\w{4}) (\w{4}) (-?\d+)", rec, re.M):
            ev = (int(m[2], 16), int(m[3], 16), int(m[4]))
            if ev[:2] == (EV_SYN, 0):
                frames.append((float(m[1]), cur))
                cur = []
            else:
                cur.append(ev)  # a SYN_DROPPED too: such a frame cannot match
        r["runs"][name] = {
            "log": "".join(text(d + "tapfuzz.log") for d in logs).splitlines(),
            "crash": "".join(text(d + "crash.log") for d in logs).splitlines(),
            "record": "".join(text(p) for d in logs for p in sorted(glob.glob(d + "run-*.events"))),
            "device": (re.findall(r"^N: (.*)$", rec, re.M) or [""])[0],
            "frames": frames, "open": cur, "status": text(f"{out}/{name}.status").strip(),
            "recorder": text(f"{out}/{name}.record-status").strip(),
            "leftovers": text(f"{out}/{name}.leftovers").splitlines(),
            "tmp": text(f"{out}/{name}.tmp").split(), "during": text(f"{out}/{name}.ps-during")}
    r["bugs"] = load_bugs(results)
    r["shrink"] = {n: {"log": "".join(text(d + "tapfuzz.log") for d in sorted(glob.glob(f"{results}/{n}/results/tapfuzz*/")))
                       .splitlines(), "status": text(f"{out}/{n}.status").strip()} for n in ("run8", "run9")}
    r["shrink"]["min"] = text(f"{out}/run1-min.events")
    return r


# What gdb's backtrace says of each dump saved in `folder`, with the board's
# touchapp: its first 8 frames as "SYMBOL + OFFSET in section ..." (decimal
# offset, none for 0), a caller's looked up at its call, the byte before its
# return address, and counted from there, as the watcher names it.
BACKTRACE_PY = '''
f, i = gdb.newest_frame(), 0
while f is not None and i < 8:
    said = gdb.execute("info symbol %d" % (f.pc() - (1 if i else 0)), to_string=True).strip()
    print("frame %d %d: %s" % (i, 1 if i else 0, said))
    f, i = f.older(), i + 1
'''


def oracle(folder, program):
    said = {}
    script = os.path.join(folder, "..", "backtrace.py")
    with open(script, "w") as f:
        f.write(BACKTRACE_PY)
    for core in sorted(glob.glob(f"{folder}/coredump-*[0-9]")):
        try:
            out = subprocess.run(["gdb-multiarch", "-batch", "-nx", "-iex", "set auto-load off",
                                  "-iex", "set debuginfod enabled off", "-x", script, program, core],
                                 capture_output=True, text=True, timeout=120).stdout
        except (OSError, subprocess.TimeoutExpired) as e:
            out = f"gdb-multiarch: {e}"
        # "?" where gdb found no symbol: a frame it could not unwind to.
        frames = [f"{s[1]} + {int(s[2] or 0) + int(m[1])} in section {s[3]}"
                  if (s := re.match(r"(\S+)(?: \+ (\d+))? in section (\S+)", m[2])) else "?"
                  for m in re.finditer(r"^frame \d+ (\d): (.*)$", out, re.M)]
        said[os.path.basename(core)] = frames or [out[-200:]]
    return said


def load_bugs(results):
    logs = sorted(glob.glob(f"{results}/run5/results/tapfuzz*/"))
    first = lambda name: "".join(text(d + name) for d in logs[:1])  # noqa: E731
    program = os.path.join(os.path.dirname(os.path.abspath(results)), "touchapp")
    return {"log": first("tapfuzz.log").splitlines(), "record": "".join(text(p) for p in glob.glob(f"{logs[0]}run-*.events")) if logs else "",
            "page": first("report.html"), "junit": first("junit.xml"), "status": text(f"{results}/out/run5.status").strip(),
            "cores": blobs(f"{results}/cores5/*"), "oracle": {**oracle(f"{results}/cores5", program),
                                                              **oracle(f"{results}/cores", program)}}


# The logged symbol "NAME+0xHEX" against gdb's "NAME + DEC in section" or
# "NAME in section".
def agrees(symbol, said):
    m = re.match(r"(\S+?)(?: \+ (\d+))? in section ", said)
    return bool(m) and symbol == f"{m[1]}+{int(m[2] or 0):#x}"


# The attributes of each <NAME ...> tag of class `cls`, however quoted.
def tags(page, name, cls):
    found = []
    for tag in re.findall(rf"<{name}\s([^>]*)>", page):
        attrs = {m[1]: next(v for v in m.groups()[1:] if v is not None) for m in
                 re.finditer(r"([\w-]+)=(?:'([^']*)'|\"([^\"]*)\"|([^\s'\">]+))", tag)}
        if cls in attrs.get("class", "").split():
            found.append(attrs)
    return found


# Run 5: its signatures, their counts, the report's table and junit cases.
def judge_bugs(r, run1_dump, check, say):
    b, w = r["bugs"], "run5: "
    check(b["status"] == "0", w + f'tapfuzz exited with status {b["status"]}')
    lines = [m for m in map(SIGNATURE.search, b["log"]) if m]
    check(lines and len(lines) == sum("]crash signature:" in l for l in b["log"]),
          w + "crash signature lines missing or not of a known signature")
    counts, texts = {}, []
    for m in lines:
        key = f"{m[1]},{m[2]}"
        counts[key] = counts.get(key, 0) + 1
        texts.append(m[0][len("][INFO]crash signature:"):m[0].rindex(" ")])
        check(m[4] == ("new" if counts[key] == 1 else f"seen:{counts[key]}"), w + f'"{m[0]}" after {counts[key] - 1} of its key')
        check(m[2].startswith("touchapp+0x") and m[3], w + f'"{m[0]}": not a symbol in touchapp')
    check(len(counts) >= 2 and max(counts.values(), default=0) >= 2,
          w + f"signatures {counts}: not two distinct, one of them twice")
    crashes = re.findall(r"^# crash:(\S+) after:(\d+) signature:(\S+)$", b["record"], re.M)
    # The record's key names its first frame's module by its path, the log's text by its name.
    check([re.sub(r"^([^,]*),(?:[^,]*/)?([^,]*).*$", r"\1,\2", c[2]) for c in crashes] == [f"{m[1]},{m[2]}" for m in lines],
          w + "the record's crash lines carry other signatures than the log's")
    names = [os.path.basename(c[0]) for c in crashes]
    check(sorted(names) == sorted(k for k in b["cores"] if not k.endswith((".png", ".txt"))),
          w + f'/data/cores5/ holds {sorted(b["cores"])}, the record {names}')
    log = "\n".join(b["log"]) + "\n"
    for name, sig in zip(names, texts):
        check(core_problem(b["cores"].get(name, b"")) is None, w + f"{name}: {core_problem(b['cores'].get(name, b''))}")
        check(f"\nsignature: {sig}\n" in b["cores"].get(name + ".txt", b"").decode(errors="replace"),
              w + f'{name}.txt lacks "signature: {sig}"')
        check(f"]app crash: touchapp dump:/data/cores5/{name} after event:" in log and
              re.search(rf"dump:/data/cores5/{re.escape(name)} after event:\d+ signature:{re.escape(sig)}\n", log),
              w + f'no "app crash:" line for {name} with its signature')
    # The oracle: gdb's backtrace holds the function and offset the watcher
    # names (the first frame past the abort machinery), and its first three
    # frames are the bundle's.
    symbols = {n: t.split(" ")[2] for n, t in zip(names, texts) if len(t.split(" ")) > 2}
    if run1_dump:
        ones = [m for m in map(SIGNATURE.search, r["runs"]["run1"]["log"]) if m]
        symbols[run1_dump] = ones[-1][3] if ones else "none logged"
    for name, symbol in sorted(symbols.items()):
        said = b["oracle"].get(name, ["no dump"])
        check(any(agrees(symbol, s) for s in said), f'{name}: logged {symbol}, gdb-multiarch\'s frames say {said}')
    for name in names:
        bundle = b["cores"].get(name + ".txt", b"").decode(errors="replace")
        walked = [m[1] or "(none)" for m in re.finditer(r"^#\d+ \S+(?: (\S+))? \(\w+\)$", bundle, re.M)][:3]
        # Up to the first frame gdb could not name (it cannot unwind Arm C
        # code built without unwind tables past its link register).
        said = b["oracle"].get(name, ["no dump"])[:3]
        said = said[:said.index("?")] if "?" in said else said
        check(said and len(walked) >= len(said) and all(agrees(a, s) for a, s in zip(walked, said)),
              w + f"{name}: the bundle's top frames {walked}, gdb-multiarch's {said}")
        say.append(f"   {name}: top frames walked {' '.join(walked)}; gdb-multiarch: {'; '.join(said)}")
    # The report: a row per signature with its dumps and first and last
    # gesture, the distinct count on the run's section, a junit case each.
    # The log's keys (module by name) as the record and the report give them (by path).
    full = {f"{m[1]},{m[2]}": c[2] for m, c in zip(lines, crashes)}
    afters = {k: [int(c[1]) for c in crashes if c[2] == full.get(k)] for k in counts}
    want = {full.get(k, k): (str(n), min(afters[k], default=-1), max(afters[k], default=-1)) for k, n in counts.items()}
    # The run's own rows (a section of all runs above it may list them too).
    at = re.search(r"<section\s[^>]*class=[\"']?run\b", b["page"])
    rows = [(a.get("data-signature"), a.get("data-program"), a.get("data-count"), a.get("data-first"), a.get("data-last"))
            for a in tags(b["page"][at.start():] if at else "", "tr", "distinct")]
    got = {k: (n, int(f or -1), int(l or -1)) for k, p, n, f, l in rows if p == "touchapp"}
    check(got == want and len(rows) == len(want), w + f"report.html's distinct crashes {rows}, the log's {want}")
    runs = [a.get("data-distinct-crashes") for a in tags(b["page"], "section", "run")]
    check(runs == [str(len(counts))], w + f"report.html's run section has data-distinct-crashes {runs}, not {len(counts)}")
    for k, (n, f, _) in want.items():
        case = re.search(rf'name="crash touchapp {re.escape(k.replace(",", " "))}"[^>]*>\s*<failure message="([^"]*)"',
                         b["junit"])
        check(case and f"{n} dumps" in case[1] and f"first after gesture {f}" in case[1],
              w + f"junit.xml: no failing case for {k} with {n} dumps, first after gesture {f}")
    say.append(f"run5: status {b['status']}, {len(lines)} dumps, {len(counts)} distinct signatures, "
               f"report rows {len(rows)}")
    for k, (n, f, l) in sorted(want.items()):
        name = next((nm for nm, c in zip(names, crashes) if c[2] == k), "")
        say.append(f"   {k} x{n}, gestures {f}..{l}: logged {symbols.get(name)}, gdb \"{b['oracle'].get(name)}\"")


# Runs 8 and 9: run 1's crash shrunk, and the shrunk record replayed to a
# fresh touchapp, which must crash with run 1's signature.
def judge_shrink(r, signature, check, say):
    s8, s9, kept = r["shrink"]["run8"], r["shrink"]["run9"], r["shrink"]["min"]
    done = (re.findall(r"\]shrink: (\d+) gestures from (\d+) in (\d+) tries: ", "\n".join(s8["log"])) or [None])[-1]
    check(s8["status"] == "0" and done, f"run8: status {s8['status']}, no \"shrink: K gestures from M in T tries\" line")
    lines = re.findall(r"^\d+ \d+ \w+ ", kept, re.M)
    check(done and "\n# shrunk from:" in kept and len(lines) == int(done[0]) <= int(done[1]),
          f"run8: the shrunk record holds {len(lines)} gestures, not the {done and done[0]} logged")
    got = [m[1] for m in map(re.compile(r"\]crash signature:(.*) (?:new|seen:\d+)$").search, s9["log"]) if m]
    key = lambda t: " ".join(t.split(" ")[:2])  # noqa: E731
    check(got and key(got[0]) == key(signature), f"run9: the shrunk record's crash is {got[:1]}, not run1's {signature}")
    tries = sum("]shrink: try " in line for line in s8["log"])
    say.append(f"run8 shrinks run1's crash: {done and done[0]} gestures from {done and done[1]} in {tries} tries; "
               f"run9 replays them: crash signature {got[:1]} (run1: {signature}), status {s9['status']}")


# A screen pixel's value on the panel's axis (0 or 1), as the driver writes
# it: held on the screen, then scaled to the axis's range. A swipe's drawn
# coordinate (a range) keeps its order.
def panel(v, axis):
    if isinstance(v, tuple):
        return tuple(panel(u, axis) for u in v)
    return lround(min(max(v, 0), SCREEN[axis] - 1) / (SCREEN[axis] - 1) * PANEL_MAX[axis])


# The frames of the driver's touch records, for a point on the screen.
def move(x, y):
    x, y = panel(x, 0), panel(y, 1)
    return [(EV_ABS, MT_X, x), (EV_ABS, MT_Y, y), (EV_ABS, ABS_X, x), (EV_ABS, ABS_Y, y)]


def down(x, y):
    return [(EV_ABS, MT_ID, 1)] + move(x, y)[:2] + [(EV_KEY, BTN_TOUCH, 1)] + move(x, y)[2:]


LIFT = [(EV_ABS, MT_ID, -1), (EV_KEY, BTN_TOUCH, 0)]


def lround(v):  # C's llround: halves away from zero
    return int(math.floor(v + 0.5)) if v >= 0 else -int(math.floor(-v + 0.5))


# Both fingers of a pinch in frame i of 10, as the driver computes them.
def pinch_points(x, y, r0, r1, angle, i, step=10):
    t = i / step
    r, a = r0 + (r1 - r0) * t, angle * t * math.pi / 180.0
    dx, dy = r * math.cos(a), r * math.sin(a)
    clamp = lambda v, hi: min(max(lround(v), 0), hi)  # noqa: E731
    return [(clamp(x + s * dx, SCREEN[0] - 1), clamp(y + s * dy, SCREEN[1] - 1)) for s in (1, -1)]


def pinch_frame(first, p):
    f = []
    for slot, (x, y) in enumerate(p):
        f += [(EV_ABS, MT_SLOT, slot)] + ([(EV_ABS, MT_ID, slot + 1)] if first else []) + move(x, y)[:2]
    return f + ([(EV_KEY, BTN_TOUCH, 1)] if first else []) + move(*p[0])[2:]


PINCH_LIFT = [(EV_ABS, MT_SLOT, 0), (EV_ABS, MT_ID, -1), (EV_ABS, MT_SLOT, 1), (EV_ABS, MT_ID, -1),
              (EV_KEY, BTN_TOUCH, 0)]


# The frames the driver writes for a logged gesture. A swipe's points between
# its ends draw one coordinate between the ends' (a range here).
def written(kind, a):
    if kind in ("Click", "LongClick"):
        return [down(*a), LIFT]
    if kind == "PressKey":
        return [[(EV_KEY, a[0], 1)], [(EV_KEY, a[0], 0)]]
    if kind == "Pinch":
        return [pinch_frame(i == 0, pinch_points(*a, i)) for i in range(11)] + [PINCH_LIFT]
    x, y, x1, y1, step = a
    if (x, y) == (x1, y1) or step == 0:
        return []
    sx, sy = (1 if x1 > x else -1), (1 if y1 > y else -1)
    xs, ys = (min(x, x1), max(x, x1)), (min(y, y1), max(y, y1))
    frames = [down(x, y)]
    # The walk goes forward from the start over step - 3 points (none below
    # 4 segments), then to the end point, where the finger lifts.
    for i in range(1, step - 2):
        if abs(x1 - x) > step:
            frames.append(move(x + i * sx * (abs(x1 - x) // step), ys))
        else:
            frames.append(move(xs, y + i * sy * (abs(y1 - y) // step)))
    return frames + [move(x1, y1), LIFT]


# What the input core passes on of one written frame, given its state (updated
# in place). A swipe's drawn coordinate (a range) takes the value given by
# pick: the value seen, when it lies in the range, or the one already held.
def passed(frame, state, mt, pick):
    want, drawn = [], {}
    for t, c, v in frame:
        axis = MT_Y if c in (ABS_Y, MT_Y) else MT_X
        if isinstance(v, tuple):
            slot = state.get("slot", 0)
            seen = (mt.get(axis), mt.get(axis - MT_X))
            held = (state.get(("mt", slot, axis), 0), state.get((EV_ABS, axis - MT_X), 0))  # 0 until first set
            known = seen + held if pick == "seen" else held + seen
            v = drawn.setdefault(axis, next((u for u in known if u is not None and v[0] <= u <= v[1]), v))
        if c == MT_SLOT:
            state["slot"] = v
            continue
        if c in (MT_X, MT_Y, MT_ID):
            slot, old = state.get("slot", 0), state.get(("mt", state.get("slot", 0), c), -1 if c == MT_ID else 0)
            if old == v:
                continue
            state[("mt", slot, c)] = v
            if slot != state.get("emitted", 0):
                want.append((EV_ABS, MT_SLOT, slot))
                state["emitted"] = slot
        if t == EV_KEY or c in (ABS_X, ABS_Y):
            if state.get((t, c), 0) == (int(v != 0) if t == EV_KEY else v):
                continue
            state[(t, c)] = int(v != 0) if t == EV_KEY else v
        want.append((t, c, v))
    return want


# Matches the run's logged gestures with its frames, updating the input core's
# state; returns the first mismatch (or None) and the matched gestures as
# (kind, logged numbers, their frames).
def match(run, state):
    frames, i, got = run["frames"], 0, []
    after_pinch = False  # the driver's slot, per process: a finger after a pinch reselects slot 0
    for line in run["log"]:
        m = GESTURE.search(line)
        if not m:
            continue
        mine, args = [], [int(v) for v in m[2].split(",")]
        frames_written = written(m[1], args)
        if m[1] in ("Click", "LongClick", "Swipe") and frames_written:
            frames_written[0] = ([(EV_ABS, MT_SLOT, 0)] if after_pinch else []) + frames_written[0]
            after_pinch = False
        after_pinch = after_pinch or m[1] == "Pinch"
        for frame in frames_written:
            seen = frames[i][1] if i < len(frames) else []
            mt = {c: v for t, c, v in seen if t == EV_ABS}
            # A drawn coordinate that repeats the one held leaves the frame
            # empty, and the recorder never sees it: the frame seen is then
            # the next one. Either reading is tried; the one that explains
            # what was seen wins.
            readings = [(passed(frame, after, mt, pick), after) for pick, after in
                        (("seen", dict(state)), ("held", dict(state)))]
            want, after = next((r for r in readings if not r[0] or r[0] == seen), readings[0])
            state.clear()
            state.update(after)
            if not want:
                continue
            if want != seen:
                return f'"{m[0][7:]}": expected {want}, evemu-record read {seen}', got
            mine.append(frames[i])
            i += 1
        got.append((m[1], args, mine))
    if i < len(frames):
        return f"{len(frames) - i} frames match no logged gesture, the first {frames[i][1]}", got
    return None, got


# Why b is not a whole 32-bit Arm ELF core, or None.
def core_problem(b):
    try:
        if b[:6] != b"\x7fELF\x01\x01" or struct.unpack_from("<HH", b, 16) != (4, 40):
            return "not a 32-bit little-endian Arm ELF core"
        phoff, = struct.unpack_from("<I", b, 28)
        size, count = struct.unpack_from("<HH", b, 42)
        end = max(o + n for o, n in (struct.unpack_from("<4xI8xI", b, phoff + k * size)
                                      for k in range(count)))
    except (struct.error, ValueError):
        return "its headers are cut off"
    return None if end == len(b) else f"{len(b)} bytes, its segments end at {end}"


def spread(seconds):
    ms = sorted(s * 1000 for s in seconds)
    return "/".join(f"{v:.1f}" for v in (ms[0], statistics.median(ms), ms[-1])) if ms else "-"


# The finger's point after frames[k]: a value the input core held back,
# unchanged in its slot, is the one an earlier frame carried.
def position(frames, k):
    values = {}
    for _, recs in frames[:k + 1]:
        values.update({c: v for t, c, v in recs if t == EV_ABS})
    return values.get(MT_X), values.get(MT_Y)


# (width, height, colours) of an 8-bit RGB PNG with sound chunks whose pixel
# data inflates whole, colours read from unfiltered rows; else a complaint.
def png(b):
    chunks, at = {}, 8
    while b[:8] == b"\x89PNG\r\n\x1a\n" and at + 12 <= len(b):
        n, kind = struct.unpack_from(">I4s", b, at)
        if b[at + 8 + n:at + 12 + n] != struct.pack(">I", zlib.crc32(b[at + 4:at + 8 + n])):
            return f"a bad {kind} chunk at {at}"
        chunks[kind] = chunks.get(kind, b"") + b[at + 8:at + 8 + n]
        at += 12 + n
    try:
        w, h, depth, kind = struct.unpack(">IIBB3x", chunks[b"IHDR"])
        data = zlib.decompress(chunks[b"IDAT"])
    except (KeyError, struct.error, zlib.error) as e:
        return f"not a whole PNG ({e!r})"
    if (depth, kind) != (8, 2) or len(data) != h * (1 + 3 * w):
        return f"{w}x{h}, depth {depth}, colour type {kind}: {len(data)} bytes of pixel data"
    rows = [data[y * (1 + 3 * w):(y + 1) * (1 + 3 * w)] for y in range(h)]
    return w, h, {row[x:x + 3] for row in rows if row[0] == 0 for x in range(1, 3 * w, 3)}


# |gap between two gestures' first records on the node - their gap in the
# record| in ms, over consecutive gestures that wrote a frame.
def gap_errors(record, got):
    at = [int(m[1]) / 1e6 for m in re.finditer(r"^\d+ (\d+) ", record, re.M)]
    first = [(t, f[0][0]) for t, (_, _, f) in zip(at, got) if f]
    return sorted(abs((b[1] - a[1]) - (b[0] - a[0])) * 1000 for a, b in zip(first, first[1:]))


# Returns the failures and the report.
def judge(r, count):
    fails, say = [], []
    check = lambda ok, what: ok or fails.append(what)  # noqa: E731

    check(r["fb"].startswith("800,480 "), f'/dev/fb0 is "{r["fb"]}", not 800x480')
    check(r["event0"] == PANEL, f'/dev/input/event0 is "{r["event0"]}", not the panel')
    say.append(f'board: /dev/fb0 {r["fb"]} (size, bits per pixel), event0 "{r["event0"]}"')
    state, logs, gots = {}, {}, {}
    for name, ending in RUNS.items():
        run, w = r["runs"][name], name + ": "
        logged = [m[0] for m in map(GESTURE.search, run["log"]) if m]
        check(run["log"], w + "no main log in results/tapfuzz<date>/")
        check(run["device"] == PANEL, w + f'evemu-record read "{run["device"]}"')
        check(run["recorder"] == "0", w + f'evemu-record ended with status {run["recorder"]}')
        check(not run["open"], w + f'records after the last report: {run["open"]}')
        check(run["status"] == "0", w + f'tapfuzz exited with status {run["status"]}')
        check(not run["leftovers"], w + f'left running after exit: {run["leftovers"]}')
        before = dict(state)
        why, got = match(run, state)
        check(why is None, w + str(why))
        logs[name], gots[name] = logged, got
        # Whatever matched, the next run starts from what the kernel passed on.
        state = before
        for _, recs in run["frames"]:
            for t, c, v in recs:
                if t == EV_KEY or c in (ABS_X, ABS_Y):
                    state[(t, c)] = int(v != 0) if t == EV_KEY else v
                elif c == MT_SLOT:
                    state["slot"] = state["emitted"] = v
                elif c in (MT_X, MT_Y, MT_ID):
                    state[("mt", state.get("emitted", 0), c)] = v
        check(not any(v for k, v in state.items() if len(k) == 2 and k[0] == EV_KEY), w + "a finger or key left down")
        check(all(v == -1 for k, v in state.items() if k[0] == "mt" and k[2] == MT_ID),
              w + "a contact the recorder saw open was not closed")
        finishes = sum(l.endswith("][INFO]// tapfuzz finish") for l in run["log"])
        if ending in ("count", "replay", "explore", "count, pinches"):
            check(len(logged) == count, w + f"{len(logged)} gestures logged, not {count}")
            for line in (f"Events injected:{count}", f"cycleCounter:{count}"):
                check(any(l.endswith("][INFO]" + line) for l in run["log"]), w + f'no "{line}"')
            check(finishes == 1, w + 'no single "// tapfuzz finish"')
            check(ending != "count" or "tail -F ./results/tapfuzz" in run["during"],
                  w + "no echo seen while it ran")
        else:
            check(logged, w + f"no gesture logged before {ending}")
            check(finishes == 0 and not any("][INFO]Events injected:" in l for l in run["log"]),
                  w + f"the summary written after {ending}")
        say.append(f'{name} (ended by {ending}): status {run["status"]}, {len(logged)} gestures '
                   f'logged, {len(set(logged))} distinct, {len(got)} matched, '
                   f'{len(run["frames"])} frames read')
        for kind in ("Click", "LongClick", "PressKey", "Swipe"):
            gs = [(a, f) for k, a, f in got if k == kind and len(f) >= 2]
            held = [f[-1][0] - f[0][0] for _, f in gs]
            line = f"   {kind:9} {len(gs):3}, down to lift min/median/max {spread(held)} ms"
            if kind == "Swipe" and gs:
                ends = sum(position(f, len(f) - 2) == (panel(a[2], 0), panel(a[3], 1)) for a, f in gs)
                line += (f"; the first from {position(gs[0][1], 0)} to {position(gs[0][1], len(gs[0][1]) - 2)}, "
                         f"{ends} of {len(gs)} lift at their (x1,y1)")
                check(ends == len(gs), w + f"{len(gs) - ends} swipes lift away from their (x1,y1)")
            # The signal that ends a run lets the long click under way finish.
            if kind in ("Click", "LongClick") and held:
                least = LONG_HOLD if kind == "LongClick" else CLICK_HOLD
                check(min(held) >= least, w + f"a {kind} held {min(held) * 1e3:.1f} ms")
            say.append(line)
        pinches = [(a, f) for k, a, f in got if k == "Pinch"]
        check(ending != "count, pinches" or pinches, w + "no pinch logged")
        for a, f in pinches:
            # Each finger's last point as the frames carry it; a value the input
            # core held back because it did not change is the one before.
            model, slot, d = [pinch_points(*a, 0)], 0, []
            at = [[panel(p[0], 0), panel(p[1], 1)] for p in model[0]]
            for n, (_, recs) in enumerate(f[:-1]):
                for t, c, v in recs:
                    slot = v if c == MT_SLOT else slot
                    if c in (MT_X, MT_Y):
                        at[slot][c - MT_X] = v
                if n == 0 or n == len(f) - 2:
                    d.append(math.dist(*at))
            if d:
                say.append(f"   pinch at ({a[0]},{a[1]}) radius {a[2]} to {a[3]}, turn {a[4]}: fingers "
                           f"{d[0]:.1f} apart at the start (drawn {2 * a[2]}), {d[-1]:.1f} at the end (drawn {2 * a[3]})")
    # --explore: its figures, and the screens the maze itself logged.
    figures = [l.split("][INFO]")[1] for l in r["runs"]["run6"]["log"] if "][INFO]screens:" in l]
    check(figures and "unknown" not in figures[0], f"run6: no screens: line, or unknown: {figures}")
    shown = set(re.findall(r"screen (\d+) depth", r["maze"]))
    say.append(f"run6 --explore on the maze: {figures[0] if figures else 'no figures'}; the maze showed "
               f"{len(shown)} distinct screens")
    # The replay: run 1's gestures in order, each writing what it wrote in
    # run 1 (ABS_X, ABS_Y and the multi-touch points and slots aside: the
    # input core passes them on or not by what the runs before left on the
    # panel, and each run's own frames matched them above), at run 1's pace.
    check(logs["run4"] == logs["run1"], "run4: the replayed gestures are not run 1's in order")
    wrote = {n: [[e for _, recs in f for e in recs if e[0] != EV_ABS or e[1] not in (ABS_X, ABS_Y, MT_SLOT, MT_X, MT_Y)]
                 for _, _, f in gots[n]] for n in ("run1", "run4")}
    check(wrote["run4"] == wrote["run1"], "run4: the replayed gestures wrote other records than run 1's")
    errs = gap_errors(r["runs"]["run1"]["record"], gots["run4"]) or [float("nan")]
    say.append(f"run4 replays run1's record: {len(logs['run1'])} gestures, "
               f"{len(set(logs['run1']))} distinct, same in order: {logs['run4'] == logs['run1']}; "
               f"gap error mean {statistics.mean(errs):.2f} ms, p99 {errs[int(0.99 * (len(errs) - 1))]:.2f} ms")
    # The crash: the dump as the kernel wrote it, and where tapfuzz saved it.
    check(r["victim"] == "139", f'touchapp ended with status {r["victim"]}, not 139 (SIGSEGV)')
    dump, kernel = next(iter(r["witness"].items()), ("", b""))
    m = re.fullmatch(r"coredump-touchapp-\d+-(\d+)", dump)
    check(len(r["witness"]) == 1 and m, f'copies of the kernel\'s dump: {list(r["witness"])}')
    # Saved under its time stamp as the guest's local time, which is UTC.
    name = m and dump[:-len(m[1])] + time.strftime("%Y-%m-%d_%H:%M:%S", time.gmtime(int(m[1])))
    check(sorted(r["cores"]) == [name, f"{name}.png", f"{name}.txt"],
          f'{CORES} holds {sorted(r["cores"])}, not {name} and its bundle')
    saved = r["cores"].get(name, b"")
    check(saved == kernel, f"the saved dump ({len(saved)} bytes) differs from the kernel's "
                           f"({len(kernel)} bytes)")
    check(core_problem(kernel) is None, f"the kernel's dump: {core_problem(kernel)}")
    run1, record = r["runs"]["run1"], f"[CRASH][Coredump]{CORES}{name}"
    for lines, entry in ((run1["log"], record), (run1["crash"], record),
                         (run1["log"], f"[INFO]mv /tmp/{dump} {CORES}{name}")):
        check(any(l.startswith("[") and l.endswith(entry) for l in lines), f'no log line "{entry}"')
    check(not any(f.startswith("coredump") for f in run1["tmp"]), f'left in /tmp: {run1["tmp"]}')
    say.append(f"crash: /tmp/{dump} ({len(kernel)} bytes) saved as {CORES}{name}, "
               f"{'byte for byte equal' if saved == kernel else 'NOT EQUAL'}")
    # Its bundle: the screen as a PNG, and a text naming the run and the
    # gesture the crash came after.
    last = lambda pattern, t: (re.findall(pattern, t, re.M) or ["?"])[-1]  # noqa: E731
    log = "\n".join(run1["log"])
    after, seed = last(r"\]crash after event:(\d+)$", log), last(r"\]seed:(\d+)$", log)
    shot, screen = png(r["cores"].get(name + ".png", b"")), tuple(map(int, re.findall(r"\d+", r["fb"])[:2]))
    check(not isinstance(shot, str) and shot[:2] == screen, f"{name}.png: {shot}, not a PNG of {screen}")
    note = r["cores"].get(name + ".txt", b"").decode(errors="replace")
    command = last(r"^# command:(.*)$", run1["record"])
    signature = last(r"\]crash signature:(.*) (?:new|seen:\d+)$", log)
    for part in ("app crash: touchapp\n", f"seed: {seed}\n", f"command line: {command}",
                 f"last gesture: event:{after}\nsignature: {signature}\n"):
        check(f"\n{part}" in note, f'{name}.txt lacks "{part.strip()}"')
    check(re.search(rf"\]app crash: touchapp dump:{CORES}{name} after event:\d+ signature:{re.escape(signature)}$", log, re.M),
          'no "app crash: touchapp" line with its signature')
    sig = " ".join(signature.split(" ")[:2])
    # The case is named by the key, whose first frame's module is the mapped
    # file's path, the key's other frames after it.
    signal, module = (signature.split(" ") + [""])[:2]
    check(re.search(rf'name="crash touchapp {re.escape(signal)} (?:\S*/)?{re.escape(module)}(?: \S+)*"[^>]*>\s*<failure message="[^"]*first after gesture {after}\b',
                    r["junit"]), f"junit.xml: no crash case for {sig} first after gesture {after}")
    colours = ", ".join(sorted("#" + c.hex() for c in shot[2])) if not isinstance(shot, str) else "?"
    say.append(f"bundle: {name}.png {shot[:2] if colours != '?' else shot}, colours {colours}; "
               f"crash after event:{after}")
    judge_bugs(r, name, check, say)
    judge_shrink(r, signature, check, say)
    return fails, say


def touch(r):  # the records of run 1's first touch down
    return next(recs for _, recs in r["runs"]["run1"]["frames"] if recs[0] == (EV_ABS, MT_ID, 1))


def drop_last_lift(frames):
    recs = next(recs for _, recs in reversed(frames) if (EV_ABS, MT_ID, -1) in recs)
    del recs[len(recs) - 1 - recs[::-1].index((EV_ABS, MT_ID, -1))]


# Representative damages: each must make the judge fail.
DAMAGES = [
    ("a frame lost", lambda r: r["runs"]["run1"]["frames"].pop(5)),
    ("a position off by one", lambda r: touch(r).__setitem__(1, (EV_ABS, MT_X, touch(r)[1][2] + 1))),
    ("an unchanged ABS_X passed on", lambda r: touch(r).append(touch(r)[4])),
    ("an unlogged key press after SIGINT", lambda r: r["runs"]["run2"]["frames"].extend(
        [(99.0, [(EV_KEY, 115, 1)]), (99.1, [(EV_KEY, 115, 0)])])),
    ("status 1 after SIGALRM", lambda r: r["runs"]["run3"].update(status="1")),
    ("the echo left running", lambda r: r["runs"]["run2"]["leftovers"].append("tail -F x")),
    ("the saved dump one byte changed", lambda r: r["cores"].update(
        {k: v[:-1] + bytes([v[-1] ^ 1]) for k, v in r["cores"].items()})),
    ("run1's clock twice as fast", lambda r: r["runs"]["run1"].update(
        frames=[(t / 2, recs) for t, recs in r["runs"]["run1"]["frames"]])),
    ("the screenshot cut short", lambda r: r["cores"].update(
        {k: v[:len(v) // 2] for k, v in r["cores"].items() if k.endswith(".png")})),
    ("junit.xml without the crash case", lambda r: r.update(junit=r["junit"].replace("crash", "crush"))),
    ("one signature changed", lambda r: r["bugs"].update(log=[re.sub(r"(crash signature:\S+ touchapp\+0x)", r"\g<1>1", l, 1)
                                                              if "seen:2" in l else l for l in r["bugs"]["log"]])),
    ("the shrunk record crashes elsewhere", lambda r: r["shrink"]["run9"].update(
        log=[l.replace("crash signature:SIGSEGV", "crash signature:SIGBUS") for l in r["shrink"]["run9"]["log"]])),
    ("gdb names another function", lambda r: r["bugs"]["oracle"].update(
        {k: ["main + 4 in section .text"] * 8 for k in r["bugs"]["oracle"]})),
    ("the report counts a dump less", lambda r: r["bugs"].update(page=re.sub(
        r"data-count=([\"'])(\d+)", lambda m: f"data-count={m[1]}{int(m[2]) - 1}", r["bugs"]["page"]))),
    ("the last contact never lifted", lambda r: drop_last_lift(r["runs"]["run7"]["frames"])),
]


def main(argv):
    if len(argv) not in (3, 4) or argv[3:] not in ([], ["--selftest"]) \
            or not argv[2].isdigit() or not os.path.isdir(os.path.join(argv[1], "out")):
        print("usage: judge.py RESULTS_DIR COUNT [--selftest]", file=sys.stderr)
        return 2
    r, count = load(argv[1]), int(argv[2])
    fails, report = judge(r, count)
    if len(argv) == 3:
        print("\n".join(report + [f"   FAIL {f}" for f in fails]))
        print(f"verdict: {'FAIL' if fails else 'PASS'}")
        return 1 if fails else 0
    if fails:
        print("selftest: the results do not pass as they are; nothing to damage")
        return 1
    missed = 0
    for what, damage in DAMAGES:
        bad = copy.deepcopy(r)
        damage(bad)
        caught = judge(bad, count)[0]
        missed += not caught
        print(f"   selftest: {what}: " + (f"caught ({caught[0][:90]})" if caught else "MISSED"))
    print(f"selftest: {len(DAMAGES) - missed} of {len(DAMAGES)} damaged copies caught")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
