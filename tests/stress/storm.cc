// Problem: SIGINT, SIGALRM or SIGTERM may reach tapfuzz at any moment of a
// night's run: in its start-up, in a log line, in a swipe, in a pause.
// Solution: run it a few hundred times, each time signalled once or in a
// burst at a random moment once its handlers are in place, and judge each
// end: its status, its logs, its children, its node and a dump it was given.
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "harness.h"
#include "stress.h"

namespace {

struct Config {
    const char* name;
    std::vector<std::string> args;
};

// Every config runs until it is signalled; -v-v so that each event has its
// line to match against the node.
const Config kConfigs[] = {
    {"mix", {"-v-v", "1000000"}},
    {"mix, 20 ms pause", {"-v-v", "--throttle", "20", "1000000"}},
    {"mix, 1 min pause", {"-v-v", "--throttle", "60000", "1000000"}},
    {"timed", {"-v-v", "--hour", "1"}},
    {"no swipes", {"-v-v", "--pct-motion", "0", "1000000"}},
    // Nothing sleeps inside a gesture: the signal meets writes to the node
    // and the log.
    {"clicks only", {"-v-v", "--pct-touch", "100", "1000000"}},
    {"swipes only", {"-v-v", "--pct-motion", "100", "1000000"}},
    {"keys only", {"-v-v", "--pct-presskey", "100", "1000000"}},
};

const int kSignals[] = {SIGINT, SIGALRM, SIGTERM};

const char* SignalName(int sig)
{
    return sig == SIGINT ? "SIGINT" : sig == SIGALRM ? "SIGALRM" : "SIGTERM";
}

struct Row {
    int runs = 0;
    int passed = 0;
    std::map<std::string, int> moments;
};

struct DumpTally {
    int moved = 0, kept = 0, both = 0, lost = 0, partial = 0;
};

int CountPartialCopies(const std::string& folder)
{
    int n = 0;
    if (DIR* d = opendir(folder.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strncmp(e->d_name, ".tapfuzz-part-", 14) == 0)
                ++n;
        closedir(d);
    }
    return n;
}

}  // namespace

int SignalStorm(int runs, unsigned seed)
{
    printf("\n== Signal storm: %d runs (seed %u)\n", runs, seed);
    fflush(stdout);
    Verdict verdict("storm");
    std::map<int, Row> rows;
    DumpTally dumps;
    int tornTerm = 0, fingerTerm = 0, keyTerm = 0;

    for (int i = 0; i < runs; ++i) {
        std::mt19937 rng(seed + static_cast<unsigned>(i));
        const int sig = kSignals[rng() % 3];
        const Config& cfg = kConfigs[rng() % (sizeof kConfigs / sizeof kConfigs[0])];
        // A quarter of the signals land in the first 3 ms after the handlers
        // are in place (the start-up), the rest log-uniformly up to three
        // seconds (the loop, its lines, its gestures and pauses).
        double delayMs = rng() % 4 == 0
                             ? std::uniform_real_distribution<double>(0, 3)(rng)
                             : std::exp(std::uniform_real_distribution<double>(std::log(3.0), std::log(3000.0))(rng));
        const int burst = rng() % 5 == 0 ? 2 + static_cast<int>(rng() % 4) : 1;
        char ctx[160];
        snprintf(ctx, sizeof ctx, "run %d (%s x%d, %s, after %.1f ms)", i, SignalName(sig), burst, cfg.name, delayMs);

        Stage st;
        st.Profile("HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\nHWKEY_BACK=158\n");
        // Saved dumps on another file system: a move is a copy that a
        // signal can cut short.
        TmpfsMount saved(st.sb.path("saved"), 16384);
        if (!verdict.Expect(saved.ok(), saved.error()) || !verdict.Expect(st.MakeNode(true), "no node fifo"))
            break;
        const std::string dumpName = "coredump-storm-" + std::to_string(i) + "-1700000000";
        const std::string savedName = "coredump-storm-" + std::to_string(i) + "-2023-11-14_22:13:20";
        const std::string dump = Pattern(1 << 20, static_cast<unsigned>(i));
        DropDump(st, dumpName, dump);

        Run run(st, cfg.args);
        if (!verdict.Expect(run.WaitHandlers(), std::string(ctx) + ": no signal handlers seen")) {
            run.Signal(SIGKILL);
            run.Wait();
            continue;
        }
        usleep(static_cast<useconds_t>(delayMs * 1000));
        // The loop has begun once the mix was adjusted; before that the
        // signal meets the start-up.
        std::string moment = Activity(run.Pid());
        if (st.Out().find("]:adjustEventFactors") == std::string::npos)
            moment = "start-up";
        for (int b = 0; b < burst; ++b)
            run.Signal(sig);
        const int status = run.Wait();
        const EventStream& node = st.capture->Finish();

        Row& row = rows[sig];
        ++row.runs;
        ++row.moments[moment];
        const int before = verdict.failures();
        const std::string where = std::string(ctx) + " at " + moment + ": ";
        const bool term = sig == SIGTERM;

        if (term)
            verdict.Expect(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM,
                           where + "ended with " + DescribeStatus(status) + ", not by SIGTERM");
        else
            verdict.Expect(WIFEXITED(status) && WEXITSTATUS(status) == 0,
                           where + "ended with " + DescribeStatus(status) + ", not exit 0\n" + st.Err());
        verdict.Expect(st.sb.Leftovers().empty(), where + "left running: " + st.sb.Leftovers());

        const std::string log = st.Log();
        for (const char* file : {"tapfuzz.log", "crash.log"}) {
            LineReport lines = CheckLines(st.Log(file));
            verdict.Expect(lines.bad == 0, where + file + " has a broken line: " + lines.firstBad);
            if (term)
                tornTerm += lines.tornTail;
            else
                verdict.Expect(!lines.tornTail, where + file + " ends inside a line");
        }
        verdict.Expect(log.find("Events injected:") == std::string::npos, where + "wrote the summary");

        if (term) {
            fingerTerm += node.fingerDown();
            keyTerm += node.keyDown();
            verdict.Expect(node.stray() == 0 && node.stamped() == 0 && node.partialBytes() == 0 && node.broken() <= 1,
                           where + "node: " + node.firstProblem());
        } else {
            verdict.Expect(node.clean(), where + "node: " + node.firstProblem());
        }
        std::string why;
        verdict.Expect(MatchLog(InfoMessages(log), node.gestures(), term ? 1 : 0, &why), where + why);

        // The dump is in exactly one place, whole: still in /tmp or moved.
        const std::string tmpCopy = Sandbox::ReadFile(st.sb.path("/tmp/" + dumpName));
        const std::string savedCopy = Sandbox::ReadFile(st.sb.path("saved/" + savedName));
        const bool inTmp = tmpCopy == dump, inSaved = savedCopy == dump;
        verdict.Expect(tmpCopy.empty() || inTmp, where + "the dump in /tmp changed");
        verdict.Expect(savedCopy.empty() || inSaved, where + "the saved dump is not whole");
        verdict.Expect(inTmp || inSaved, where + "the dump is lost");
        if (inSaved) {
            verdict.Expect(CountLines(log, "[CRASH][Coredump]./saved/" + savedName) == 1 &&
                               CountLines(st.Log("crash.log"), "[CRASH][Coredump]./saved/" + savedName) == 1,
                           where + "a moved dump without its two records");
        }
        dumps.moved += inSaved && !inTmp;
        dumps.kept += inTmp && !inSaved;
        dumps.both += inTmp && inSaved;
        dumps.lost += !inTmp && !inSaved;
        dumps.partial += CountPartialCopies(st.sb.path("saved"));

        if (verdict.failures() == before)
            ++row.passed;
        if ((i + 1) % 50 == 0) {
            printf("  %d runs done\n", i + 1);
            fflush(stdout);
        }
    }

    std::vector<std::string> moments;
    for (const auto& r : rows)
        for (const auto& m : r.second.moments)
            if (std::find(moments.begin(), moments.end(), m.first) == moments.end())
                moments.push_back(m.first);
    printf("%-8s %5s %7s", "signal", "runs", "passed");
    for (const std::string& m : moments)
        printf(" %14s", m.c_str());
    printf("\n");
    for (const auto& r : rows) {
        printf("%-8s %5d %7d", SignalName(r.first), r.second.runs, r.second.passed);
        for (const std::string& m : moments) {
            auto it = r.second.moments.find(m);
            printf(" %14d", it == r.second.moments.end() ? 0 : it->second);
        }
        printf("\n");
    }
    printf("(columns after 'passed': what the main thread was doing when the signal was sent)\n");
    printf("dumps: moved %d, still in /tmp %d, in both places %d, lost %d; partial copies left in the save "
           "folder %d\n",
           dumps.moved, dumps.kept, dumps.both, dumps.lost, dumps.partial);
    printf("SIGTERM (default action, by design): log ending inside a line %d, finger left down %d, key left "
           "pressed %d\n",
           tornTerm, fingerTerm, keyTerm);
    verdict.PrintFailures();
    printf("signal storm: %s\n", verdict.failures() == 0 ? "PASS" : "FAIL");
    return verdict.failures();
}
