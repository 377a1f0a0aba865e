// Problem: a stress tester must not perturb the device it tests: an action
// should cost little more than the writes it is made of, a pause should be
// the pause asked for, and the program should be small.
// Solution: run the shipped tapfuzz and a bare floor loop side by side, on
// the same node in the test sandbox, interleaved so that a noisy machine
// still gives a fair ratio, and print one table of the figures.
//
// usage: tapfuzz_bench [--quick] [--only SECTION]... [--outdir DIR]
//                      [--rows FILE] [--tapfuzz PATH]
// SECTION: cost, syscalls, callgrind, pace, footprint. --rows adds ready-made
// rows ("figure|tapfuzz|floor or target|note" per line) to the table, for
// figures measured outside this program (armhf sizes, the emulated board).
// --tapfuzz measures another build of the program (a trial change) instead.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "figures.h"
#include "runner.h"
#include "sandbox.h"

namespace {

// --- The table ---------------------------------------------------------------

struct Row {
    std::string figure, tapfuzz, floor, note;
};
std::vector<Row> gRows;

void section(const std::string& title)
{
    gRows.push_back({"## " + title, "", "", ""});
}

void row(const std::string& figure, const std::string& tapfuzz, const std::string& floor,
         const std::string& note)
{
    gRows.push_back({figure, tapfuzz, floor, note});
    fprintf(stderr, "  %-44s %14s %14s  %s\n", figure.c_str(), tapfuzz.c_str(), floor.c_str(),
            note.c_str());
}

// v with `decimals` digits after the point.
std::string fmt(int decimals, double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string ratio(double a, double b)
{
    if (b <= 0 || !std::isfinite(a / b))
        return "-";
    return fmt(2, a / b) + "x";
}

void printTable()
{
    size_t w[3] = {6, 7, 15};
    for (const Row& r : gRows) {
        if (r.figure.rfind("## ", 0) == 0)
            continue;
        w[0] = std::max(w[0], r.figure.size());
        w[1] = std::max(w[1], r.tapfuzz.size());
        w[2] = std::max(w[2], r.floor.size());
    }
    auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                    const std::string& d) {
        printf("| %-*s | %*s | %*s | %s\n", static_cast<int>(w[0]), a.c_str(),
               static_cast<int>(w[1]), b.c_str(), static_cast<int>(w[2]), c.c_str(), d.c_str());
    };
    line("figure", "tapfuzz", "floor / target", "note");
    printf("|%s|%s|%s|------\n", std::string(w[0] + 2, '-').c_str(),
           std::string(w[1] + 2, '-').c_str(), std::string(w[2] + 2, '-').c_str());
    for (const Row& r : gRows) {
        if (r.figure.rfind("## ", 0) == 0)
            printf("| **%s**\n", r.figure.substr(3).c_str());
        else
            line(r.figure, r.tapfuzz, r.floor, r.note);
    }
}

// --- Setting up runs --------------------------------------------------------

bool gQuick = false;
std::string gOutdir;
// The program measured: the shipped build unless --tapfuzz names a trial one.
std::string gTapfuzz = TAPFUZZ_BIN;

std::string LibraryFolder()
{
    std::string lib = FEEDINPUT_LIB;
    return lib.substr(0, lib.rfind('/') + 1);
}

struct Bench {
    Sandbox sb;

    Bench()
    {
        Sandbox::WriteFile(sb.path("/dev/fb0"), "");
        mkdir(sb.path("saved").c_str(), 0755);
    }

    void profile(const std::string& extra)
    {
        Sandbox::WriteFile(sb.path("device.conf"), "LIBLARAY_PATH=" + LibraryFolder() +
                                                        "\nCOREFILE_PATH=./saved/\n" + extra);
    }

    static std::vector<std::string> env()
    {
        return {"LD_PRELOAD=" FBSHIM_LIB, "TAPFUZZ_TEST_FB=800x480"};
    }

    RunResult run(RunSpec job)
    {
        if (job.env.empty())
            job.env = env();
        RunResult r = RunInSandbox(sb, job);
        if (r.ok && !(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0)) {
            fprintf(stderr, "bench: %s ended with status 0x%x: %s\n", job.argv[0].c_str(), r.status,
                    Sandbox::ReadFile(sb.root() + "/err.txt").substr(0, 400).c_str());
            r.ok = false;
        }
        return r;
    }
};

// One kind of action: how tapfuzz is told to draw only it, and its floor.
struct Kind {
    const char* name;
    std::vector<std::string> pct;  // tapfuzz options for a mix of this kind only
    const char* floorKind;
    const char* profileExtra;
    bool fifo;          // key presses are never counted, so their run is
                        // ended by SIGINT once the fifo has seen enough
    int records;        // records per action
    long lo, hi;        // action counts of the two runs whose difference is taken
    double designedUs;  // sleeps the gesture makes by design
    bool targeted;      // held to 1.5x the floor
};

std::vector<Kind> Kinds()
{
    std::vector<Kind> k = {
        {"click", {"--pct-touch", "100"}, "click", "", false, 10, 2000, 22000, 0, true},
        {"long click", {"--pct-longclick", "100"}, "longclick", "", false, 10, 200, 1200, 800, true},
        {"swipe", {"--pct-motion", "100"}, "swipe", "", false, 25, 3, 13, 150000, false},
        {"key press", {"--pct-presskey", "100"}, "key", "HWKEY_ENABLE=1\nHWKEY_POWER=116\n", true, 4,
         2000, 12000, 0, false},
    };
    if (gQuick)
        for (Kind& x : k) {
            x.lo = std::max(1L, x.lo / 10);
            x.hi = std::max(x.lo + 2, x.hi / 10);
        }
    return k;
}

RunSpec tapfuzzSpec(const Kind& k, long n)
{
    RunSpec s;
    s.argv = {gTapfuzz};
    s.argv.insert(s.argv.end(), k.pct.begin(), k.pct.end());
    // Key presses are not counted: the run goes on until the runner stops it.
    s.argv.push_back(k.fifo ? "100000000" : std::to_string(n));
    s.fifo = k.fifo;
    if (k.fifo)
        s.stopAfterRecords = n * k.records;
    return s;
}

RunSpec floorSpec(const Kind& k, long n, int threads = 0)
{
    RunSpec s;
    s.argv = {FLOOR_BIN};
    if (threads > 0)
        s.argv.insert(s.argv.end(), {"--threads", std::to_string(threads)});
    s.argv.insert(s.argv.end(), {k.floorKind, std::to_string(n)});
    s.fifo = k.fifo;
    return s;
}

// Actions a run made: its count, or for a fifo run what arrived.
double actions(const Kind& k, long n, const RunResult& r)
{
    return k.fifo ? static_cast<double>(r.records) / k.records : static_cast<double>(n);
}


// --- Cost per event -----------------------------------------------------------

struct Cost {
    double wallUs = NAN, cpuUs = NAN;
};

// Per-action wall and CPU time of one program: the difference of a long and
// a short run, so start-up, the one-second wait at the end and the echo's
// set-up cancel out.
struct CostSamples {
    std::vector<double> wall, cpu;
    void add(const Kind& k, const RunResult& lo, const RunResult& hi)
    {
        double n = actions(k, k.hi, hi) - actions(k, k.lo, lo);
        wall.push_back((hi.wallSec - lo.wallSec) / n * 1e6);
        cpu.push_back((hi.userSec + hi.sysSec - lo.userSec - lo.sysSec) / n * 1e6);
    }
};

// The programs alternate run by run, so a busy moment of the machine falls
// on both; the median of the pairs is taken.
void costSection(Bench& b)
{
    section("Cost per action at no pause, default verbosity (standard output to /dev/null); "
            "per action = (long run - short run) / difference in actions; median of interleaved pairs");
    const int reps = gQuick ? 1 : 5;
    for (const Kind& k : Kinds()) {
        b.profile(k.profileExtra);
        // Clicks also against a floor with two idle threads: what being a
        // threaded process costs by itself.
        const bool threaded = k.name == std::string("click");
        CostSamples t, f, ft;
        for (int rep = 0; rep < reps; ++rep) {
            RunResult tlo = b.run(tapfuzzSpec(k, k.lo));
            RunResult flo = b.run(floorSpec(k, k.lo));
            RunResult ftlo = threaded ? b.run(floorSpec(k, k.lo, 2)) : RunResult{};
            RunResult thi = b.run(tapfuzzSpec(k, k.hi));
            RunResult fhi = b.run(floorSpec(k, k.hi));
            RunResult fthi = threaded ? b.run(floorSpec(k, k.hi, 2)) : RunResult{};
            if (!(tlo.ok && thi.ok && flo.ok && fhi.ok))
                continue;
            t.add(k, tlo, thi);
            f.add(k, flo, fhi);
            if (ftlo.ok && fthi.ok)
                ft.add(k, ftlo, fthi);
        }
        const double tw = Median(t.wall), tc = Median(t.cpu), fw = Median(f.wall), fc = Median(f.cpu);
        const std::string name = k.name;
        const std::string node = k.fifo ? "fifo drained by a reader" : "regular file on tmpfs";
        const std::string target = k.targeted ? "; target <= 1.50x" : "";
        if (k.designedUs > 0) {
            // What is not the designed sleep is what the program adds.
            row(name + ": wall per action, us", fmt(1, tw), fmt(1, fw),
                ratio(tw, fw) + "; node: " + node + "; includes " + fmt(0, k.designedUs) +
                    " us of designed sleep");
            row(name + ": wall beyond the designed sleep, us", fmt(1, tw - k.designedUs),
                fmt(1, fw - k.designedUs), ratio(tw - k.designedUs, fw - k.designedUs) + target);
        } else {
            row(name + ": wall per action, us", fmt(2, tw), fmt(2, fw), ratio(tw, fw) + "; node: " + node + target);
        }
        row(name + ": user+system CPU per action, us", fmt(2, tc), fmt(2, fc), ratio(tc, fc) + target);
        if (!ft.cpu.empty()) {
            double fw2 = Median(ft.wall), fc2 = Median(ft.cpu);
            row(name + ": against a floor with 2 idle threads: wall / CPU, us", fmt(2, tw) + " / " + fmt(2, tc),
                fmt(2, fw2) + " / " + fmt(2, fc2),
                ratio(tw, fw2) + " / " + ratio(tc, fc2) + "; threads make every system call a cancellation point");
        }
    }
}

// --- System calls per event ---------------------------------------------------

std::map<std::string, double> straced(Bench& b, RunSpec job, const std::string& tag)
{
    const std::string out = b.sb.root() + "/strace-" + tag + ".txt";
    std::vector<std::string> argv = {"/usr/bin/strace", "-f", "-c", "-o", out};
    argv.insert(argv.end(), job.argv.begin(), job.argv.end());
    job.argv = argv;
    RunResult r = b.run(job);
    std::map<std::string, double> calls = ParseStraceCounts(Sandbox::ReadFile(out));
    if (!gOutdir.empty())
        Sandbox::WriteFile(gOutdir + "/strace-" + tag + ".txt", Sandbox::ReadFile(out));
    calls["#records"] = static_cast<double>(r.records);
    calls["#ok"] = r.ok ? 1 : 0;
    return calls;
}

std::string breakdown(const std::map<std::string, double>& perAction)
{
    std::vector<std::pair<double, std::string>> v;
    for (const auto& e : perAction)
        if (e.first[0] != '#' && std::fabs(e.second) >= 0.005)
            v.push_back({-e.second, e.first});
    std::sort(v.begin(), v.end());
    std::string s;
    for (const auto& e : v)
        s += (s.empty() ? "" : ", ") + e.second + " " + fmt(2, -e.first);
    return s;
}

void syscallSection(Bench& b)
{
    if (access("/usr/bin/strace", X_OK) != 0) {
        row("system calls per action", "-", "-", "strace is not installed; section left out");
        return;
    }
    section("System calls per action (strace -f -c over all threads and the echo, difference of a "
            "long and a short run). On the device each action makes one more: the version query, "
            "which the test's preloaded shim answers here without a system call, for both programs. "
            "Calls that come with time, not with actions (the watcher's scan of /tmp each second, the "
            "echo's polling: read, newfstatat, poll, futex), show as fractions in the slow swipe");
    for (Kind k : Kinds()) {
        // strace multiplies the cost of every call; smaller runs suffice.
        k.lo = std::max(2L, k.lo / 5);
        k.hi = std::max(k.lo + 4, k.hi / 5);
        b.profile(k.profileExtra);
        std::string tag = k.floorKind;
        auto tlo = straced(b, tapfuzzSpec(k, k.lo), "tapfuzz-" + tag + "-lo");
        auto thi = straced(b, tapfuzzSpec(k, k.hi), "tapfuzz-" + tag + "-hi");
        auto flo = straced(b, floorSpec(k, k.lo), "floor-" + tag + "-lo");
        auto fhi = straced(b, floorSpec(k, k.hi), "floor-" + tag + "-hi");
        double tn = k.fifo ? (thi["#records"] - tlo["#records"]) / k.records : k.hi - k.lo;
        double fn = k.fifo ? (fhi["#records"] - flo["#records"]) / k.records : k.hi - k.lo;
        std::map<std::string, double> tper, fper;
        std::set<std::string> names;
        for (auto* m : {&tlo, &thi})
            for (auto& e : *m)
                names.insert(e.first);
        double tt = 0, ft = 0;
        for (const std::string& n : names) {
            if (n[0] == '#')
                continue;
            tper[n] = (thi[n] - tlo[n]) / tn;
            tt += tper[n];
        }
        names.clear();
        for (auto* m : {&flo, &fhi})
            for (auto& e : *m)
                names.insert(e.first);
        for (const std::string& n : names) {
            if (n[0] == '#')
                continue;
            fper[n] = (fhi[n] - flo[n]) / fn;
            ft += fper[n];
        }
        row(std::string(k.name) + ": system calls per action", fmt(2, tt), fmt(2, ft),
            ratio(tt, ft) + "; tapfuzz: " + breakdown(tper) + " | floor: " + breakdown(fper));
    }
}

// --- Instructions per event (callgrind) --------------------------------------

Annotated annotate(const std::string& file)
{
    std::string cmd = "callgrind_annotate --auto=no --threshold=100 " + file + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return Annotated();
    char buf[4096];
    std::string text;
    while (fgets(buf, sizeof buf, p) != nullptr)
        text += buf;
    pclose(p);
    if (!gOutdir.empty())
        Sandbox::WriteFile(gOutdir + "/" + file.substr(file.rfind('/') + 1) + ".annotate.txt", text);
    return ParseAnnotate(text);
}

std::map<std::string, double> groups(const Annotated& a)
{
    std::map<std::string, double> g;
    for (const auto& e : a.self)
        g[GroupOf(e.first)] += e.second;
    return g;
}

Annotated callgrinded(Bench& b, RunSpec job, const std::string& tag)
{
    const std::string out = b.sb.root() + "/callgrind." + tag;
    std::vector<std::string> argv = {"/usr/bin/valgrind", "--tool=callgrind", "-q",
                                     "--callgrind-out-file=" + out};
    argv.insert(argv.end(), job.argv.begin(), job.argv.end());
    job.argv = argv;
    b.run(job);
    if (!gOutdir.empty())
        Sandbox::WriteFile(gOutdir + "/callgrind." + tag, Sandbox::ReadFile(out));
    return annotate(out);
}

void callgrindSection(Bench& b)
{
    if (access("/usr/bin/valgrind", X_OK) != 0) {
        row("instructions per click", "-", "-", "valgrind is not installed; section left out");
        return;
    }
    section("Instructions per action in user space (callgrind, all threads; difference of a long "
            "and a short run), and where a click's go (own cost of each function, grouped)");
    for (Kind k : Kinds()) {
        if (k.fifo || k.designedUs >= 100000)
            continue;  // keys are never counted; a swipe is a click with moves
        k.lo = gQuick ? 100 : 500;
        k.hi = gQuick ? 600 : 3000;
        b.profile(k.profileExtra);
        std::string tag = k.floorKind;
        Annotated tlo = callgrinded(b, tapfuzzSpec(k, k.lo), "tapfuzz-" + tag + "-lo");
        Annotated thi = callgrinded(b, tapfuzzSpec(k, k.hi), "tapfuzz-" + tag + "-hi");
        Annotated flo = callgrinded(b, floorSpec(k, k.lo), "floor-" + tag + "-lo");
        Annotated fhi = callgrinded(b, floorSpec(k, k.hi), "floor-" + tag + "-hi");
        double n = static_cast<double>(k.hi - k.lo);
        double t = (thi.total - tlo.total) / n, f = (fhi.total - flo.total) / n;
        row(std::string(k.name) + ": instructions per action", fmt(0, t), fmt(0, f), ratio(t, f));
        if (k.designedUs != 0)
            continue;
        auto tl = groups(tlo), th = groups(thi), fl = groups(flo), fh = groups(fhi);
        std::set<std::string> names;
        for (auto* m : {&tl, &th, &fl, &fh})
            for (auto& e : *m)
                names.insert(e.first);
        std::vector<std::pair<double, std::string>> order;
        for (const std::string& name : names)
            order.push_back({-(th[name] - tl[name]), name});
        std::sort(order.begin(), order.end());
        for (const auto& o : order) {
            double tv = -o.first / n, fv = (fh[o.second] - fl[o.second]) / n;
            if (std::fabs(tv) < 5 && std::fabs(fv) < 5)
                continue;
            row("  click: " + o.second, fmt(0, tv), fmt(0, fv), "");
        }
    }
}

// --- Pace accuracy -------------------------------------------------------------

long long wallMs()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

// The (x, y) of every click in tapfuzz's debug lines.
std::vector<std::pair<int, int>> clicksOf(const std::string& out)
{
    std::vector<std::pair<int, int>> v;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find("touch:x:");
        int x, y;
        if (at != std::string::npos && sscanf(line.c_str() + at, "touch:x:%d y:%d", &x, &y) == 2)
            v.push_back({x, y});
    }
    return v;
}

// The pauses a clicks-only run with the range `start`,`end` drew, found by
// replaying the process's rand() sequence from the seed that reproduces the
// clicks it logged (the seed is the wall-clock milliseconds at start-up).
// Empty when no seed in the window reproduces them.
std::vector<double> replayPauses(const std::vector<std::pair<int, int>>& clicks, long long fromMs,
                                 long long toMs, int start, int end, int screenW, int screenH,
                                 int grid)
{
    std::vector<double> pauses;
    if (clicks.size() < 3)
        return pauses;
    for (long long ms = fromMs; ms <= toMs; ++ms) {
        uint32_t seed = static_cast<uint32_t>(ms);
        srand(seed);
        bool match = true;
        std::vector<double> p;
        for (size_t i = 0; i < clicks.size() && match; ++i) {
            (void)rand();  // the kind
            int col = rand() % (screenW / grid);
            int rowN = rand() % (screenH / grid);
            int x = col * grid + rand() % grid;
            int y = rowN * grid + rand() % grid;
            if (x != clicks[i].first || y != clicks[i].second) {
                match = false;
                break;
            }
            int r = rand() % end;
            if (r < start)
                r += end;
            p.push_back(r * 1000.0);
        }
        if (match)
            return p;
    }
    return pauses;
}



void paceSection(Bench& b)
{
    section("Pace: period between clicks at a reader of the fifo node, against the pause asked "
            "for; the pause follows the injection, so period = injection + pause");
    const long count = gQuick ? 60 : 300;
    struct Case {
        const char* label;
        std::vector<std::string> args;
        const char* profile;
        int start, end;  // range, or fixed pause in ms as start with end 0
    } cases[] = {
        {"--throttle 10", {"--throttle", "10"}, "", 10, 0},
        {"range 10,30 (pauses 10..39 ms)", {}, "EVENT_INTERVALS_RANGE=10,30\n", 10, 30},
    };
    for (const Case& c : cases) {
        b.profile(c.profile);
        RunSpec s;
        s.argv = {gTapfuzz, "--pct-touch", "100"};
        s.argv.insert(s.argv.end(), c.args.begin(), c.args.end());
        s.argv.push_back(std::to_string(count));
        s.fifo = true;
        s.stdoutPath = b.sb.root() + "/pace-out.txt";
        long long t0 = wallMs();
        RunResult r = b.run(s);
        long long t1 = wallMs();
        if (!gOutdir.empty())
            Sandbox::WriteFile(gOutdir + "/pace-" + std::to_string(&c - cases) + "-stdout.txt",
                               Sandbox::ReadFile(s.stdoutPath));
        if (!r.ok || r.gestureStart.size() < 3 || r.gestureEnd.size() != r.gestureStart.size()) {
            row(std::string("pace ") + c.label, "-", "-", "run failed or gestures not whole");
            continue;
        }
        size_t n = r.gestureStart.size();
        std::vector<double> pause;
        if (c.end == 0) {
            pause.assign(n, c.start * 1000.0);
        } else {
            pause = replayPauses(clicksOf(Sandbox::ReadFile(s.stdoutPath)), t0 - 10, t1, c.start, c.end,
                                 800, 480, 20);
            if (pause.size() != n) {
                row(std::string("pace ") + c.label, "-", "-", "could not replay the pauses drawn");
                continue;
            }
        }
        std::vector<double> err, errAfter, inj;
        for (size_t i = 0; i + 1 < n; ++i) {
            double period = static_cast<double>(r.gestureStart[i + 1] - r.gestureStart[i]) / 1000.0;
            double injection = static_cast<double>(r.gestureEnd[i] - r.gestureStart[i]) / 1000.0;
            err.push_back(period - pause[i]);
            errAfter.push_back(period - injection - pause[i]);
            inj.push_back(injection);
        }
        std::string what = std::string("pace ") + c.label + ": ";
        std::string floorErr;
        if (c.end == 0) {
            // The same pause taken by a bare usleep() after each click.
            RunSpec f;
            f.argv = {FLOOR_BIN, "--pause", std::to_string(c.start * 1000), "click", std::to_string(count)};
            f.fifo = true;
            RunResult fr = b.run(f);
            std::vector<double> fe;
            for (size_t i = 0; i + 1 < fr.gestureStart.size(); ++i)
                fe.push_back(static_cast<double>(fr.gestureStart[i + 1] - fr.gestureStart[i]) / 1000.0 -
                             c.start * 1000.0);
            if (fr.ok && !fe.empty())
                floorErr = fmt(0, Mean(fe)) + " / " + fmt(0, Percentile(fe, 0.99));
        }
        row(what + "period - pause, mean / p99, us",
            fmt(0, Mean(err)) + " / " + fmt(0, Percentile(err, 0.99)), floorErr.empty() ? "-" : floorErr,
            std::to_string(err.size()) + " periods" + "; mean pause asked " + fmt(1, Mean(pause) / 1000) + " ms");
        row(what + "injection (first to last record), mean / p99, us",
            fmt(0, Mean(inj)) + " / " + fmt(0, Percentile(inj, 0.99)), "",
            "as seen by the reader, which wakes once the click is mostly written");
        row(what + "period - injection - pause, mean / p99, us",
            fmt(0, Mean(errAfter)) + " / " + fmt(0, Percentile(errAfter, 0.99)), "",
            "the pause's own overshoot");
    }
}

// --- Footprint --------------------------------------------------------------------

void footprintSection(Bench& b)
{
    section("Footprint of a run (sampled from /proc every 10 ms)");
    const long n = gQuick ? 10000 : 100000;
    Kind k = Kinds()[0];
    b.profile("");
    RunSpec t = tapfuzzSpec(k, n);
    t.watch = true;
    RunResult tr = b.run(t);
    const std::string smaps = Sandbox::ReadFile(b.sb.root() + "/smaps.txt");
    RunSpec f = floorSpec(k, n);
    f.watch = true;
    RunResult fr = b.run(f);
    std::string count = std::to_string(n) + " clicks";
    row("peak resident memory (VmHWM), kB", std::to_string(tr.hwmKb), std::to_string(fr.hwmKb),
        count + "; host x86_64 build; target < 4096 kB");
    row("peak resident memory of the echo (tail), kB", std::to_string(tr.childHwmKb), "-",
        "counted separately");
    // Where the resident memory sits, by mapping, at the peak.
    std::map<std::string, long> byMap;
    {
        std::istringstream in(smaps);
        std::string line, name;
        while (std::getline(in, line)) {
            long kb;
            if (!line.empty() && isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 17) {
                std::istringstream ls(line);
                std::string range, perms, off, dev, inode;
                ls >> range >> perms >> off >> dev >> inode;
                std::getline(ls, name);
                size_t s0 = name.find_first_not_of(' ');
                name = s0 == std::string::npos ? "[anonymous]" : name.substr(s0);
                name = name.substr(name.rfind('/') + 1);
            } else if (sscanf(line.c_str(), "Rss: %ld kB", &kb) == 1) {
                byMap[name] += kb;
            }
        }
    }
    std::vector<std::pair<long, std::string>> top;
    for (const auto& e : byMap)
        top.push_back({-e.second, e.first});
    std::sort(top.begin(), top.end());
    for (size_t i = 0; i < top.size() && i < 8; ++i)
        row("  resident in " + top[i].second + ", kB", std::to_string(-top[i].first), "", "at the peak");
    row("threads (most seen)", std::to_string(tr.maxThreads), std::to_string(fr.maxThreads),
        "main, console echo, core dump watcher");
    row("child processes (most seen)", std::to_string(tr.maxChildren), std::to_string(fr.maxChildren),
        tr.children.empty() ? "" : "names: " + tr.children);
}

void extraRows(const std::string& file)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        if (line.rfind("## ", 0) == 0) {
            section(line.substr(3));
            continue;
        }
        std::vector<std::string> f;
        std::istringstream ls(line);
        std::string part;
        while (std::getline(ls, part, '|'))
            f.push_back(part);
        f.resize(4);
        row(f[0], f[1], f[2], f[3]);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::set<std::string> only;
    std::string rows;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") {
            gQuick = true;
        } else if (a == "--only" && i + 1 < argc) {
            only.insert(argv[++i]);
        } else if (a == "--outdir" && i + 1 < argc) {
            gOutdir = argv[++i];
        } else if (a == "--tapfuzz" && i + 1 < argc) {
            gTapfuzz = argv[++i];
        } else if (a == "--rows" && i + 1 < argc) {
            rows = argv[++i];
        } else {
            fprintf(stderr,
                    "usage: tapfuzz_bench [--quick] [--only cost|syscalls|callgrind|pace|footprint]... "
                    "[--outdir DIR] [--rows FILE] [--tapfuzz PATH]\n");
            return 2;
        }
    }
    if (!Sandbox::Available()) {
        fprintf(stderr, "tapfuzz_bench: needs root for the sandbox's private namespaces\n");
        return 77;
    }
    if (!gOutdir.empty())
        mkdir(gOutdir.c_str(), 0755);
    auto want = [&](const char* s) { return only.empty() || only.count(s) != 0; };

    struct utsname u;
    uname(&u);
    fprintf(stderr, "tapfuzz_bench on %s %s, %ld CPUs%s\n", u.sysname, u.release, sysconf(_SC_NPROCESSORS_ONLN),
            gQuick ? ", quick" : "");
    Bench b;
    if (want("cost"))
        costSection(b);
    if (want("syscalls"))
        syscallSection(b);
    if (want("callgrind"))
        callgrindSection(b);
    if (want("pace"))
        paceSection(b);
    if (want("footprint"))
        footprintSection(b);
    if (!rows.empty())
        extraRows(rows);
    printTable();
    return 0;
}
