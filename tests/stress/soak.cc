// Problem: a run left alone overnight must not slowly eat memory or
// descriptors, and its summary must count exactly what reached the device.
// Solution: one long run at no pause into a fifo node drained by a reader
// that decodes every record; resident memory and open descriptors sampled
// from outside at fixed gesture counts; core dumps dropped now and then.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "stress.h"

namespace {

struct Sample {
    uint64_t gestures;
    long rssKiB;
    int fds;
    int nodeFds;
    double seconds;
};

double Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The growth allowed between the sample at 10,000 events and the last:
// the allocator may keep a little more as it goes, a leak of even a few
// bytes per event would exceed this long before a million.
const long kRssSlackKiB = 1024;

}  // namespace

int Soak(long events)
{
    printf("\n== Soak: %ld events, no pause, mix --pct-motion 0 (clicks, long clicks, keys; swipes take 150 ms "
           "each by design)\n",
           events);
    fflush(stdout);
    Verdict verdict("soak");
    Stage st;
    st.Profile("HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\nHWKEY_BACK=158\n");
    if (!verdict.Expect(st.MakeNode(false), "no node fifo")) {
        verdict.PrintFailures();
        return verdict.failures();
    }

    std::vector<uint64_t> marks;
    for (long m : {10000L, 100000L, events / 4, events / 2, events * 3 / 4, events})
        if (m > 0 && m <= events)
            marks.push_back(static_cast<uint64_t>(m));
    std::sort(marks.begin(), marks.end());
    marks.erase(std::unique(marks.begin(), marks.end()), marks.end());

    Run run(st, {"--pct-motion", "0", std::to_string(events)});
    const pid_t pid = run.Pid();
    if (!verdict.Expect(pid != 0, "tapfuzz did not start")) {
        verdict.PrintFailures();
        return verdict.failures();
    }
    std::string sanitizer;
    const double start = Now();
    std::vector<Sample> samples;
    std::vector<std::pair<std::string, std::string>> dumps;  // name in /tmp, contents
    double lastDump = start, lastProgress = start;
    uint64_t lastWhole = 0;
    size_t next = 0;
    bool stalled = false;
    while (next < marks.size() && run.Alive()) {
        const uint64_t whole = st.capture->whole();
        while (next < marks.size() && whole >= marks[next]) {
            Sample s;
            s.gestures = whole;
            s.rssKiB = RssKiB(pid);
            s.fds = FdCount(pid, &s.nodeFds);
            s.seconds = Now() - start;
            // Looked at once the program runs: right after exec the loader
            // has not mapped its libraries yet.
            if (samples.empty())
                sanitizer = SanitizerOf(pid);
            samples.push_back(s);
            ++next;
        }
        const double now = Now();
        if (whole != lastWhole) {
            lastWhole = whole;
            lastProgress = now;
        } else if (now - lastProgress > 60) {
            stalled = true;
            break;
        }
        // A dump every two seconds until the last stretch, so that each
        // has time to settle and move before the run ends.
        if (now - lastDump >= 2 && whole < static_cast<uint64_t>(events) * 9 / 10 && dumps.size() < 200) {
            lastDump = now;
            const std::string name = "coredump-soak-" + std::to_string(dumps.size()) + "-" +
                                     std::to_string(1700000000 + dumps.size());
            dumps.emplace_back(name, Pattern(65536, static_cast<unsigned>(dumps.size()) + 99));
            DropDump(st, name, dumps.back().second);
        }
        usleep(5000);
    }
    verdict.Expect(!stalled, "no gesture for a minute: the run is stuck");
    if (stalled)
        run.Signal(SIGKILL);
    const int status = run.Wait();
    const double seconds = Now() - start;
    const EventStream& node = st.capture->Finish();

    verdict.Expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, "ended with " + DescribeStatus(status));
    const std::string log = st.Log();
    std::string summary;
    for (const std::string& m : InfoMessages(log))
        if (m.compare(0, 16, "Events injected:") == 0)
            summary = m.substr(16);
    verdict.Expect(summary == std::to_string(events), "summary says " + summary + " events");
    verdict.Expect(node.whole() == static_cast<uint64_t>(events),
                   "the node holds " + std::to_string(node.whole()) + " whole gestures");
    verdict.Expect(node.clean(), "node: " + node.firstProblem());
    verdict.Expect(node.swipes() == 0, "a swipe in a mix without swipes");
    for (const char* file : {"tapfuzz.log", "crash.log"}) {
        LineReport lines = CheckLines(st.Log(file));
        verdict.Expect(lines.bad == 0 && !lines.tornTail, std::string(file) + " has a broken line: " + lines.firstBad);
    }
    verdict.Expect(st.sb.Leftovers().empty(), "left running: " + st.sb.Leftovers());

    verdict.Expect(samples.size() == marks.size(), "not every sample was taken");
    if (samples.size() >= 2) {
        const Sample& first = samples.front();
        const Sample& last = samples.back();
        // A sanitizer keeps freed memory aside on purpose; a leak then shows
        // as the leak checker's report and a failed exit status instead.
        if (sanitizer.empty())
            verdict.Expect(last.rssKiB - first.rssKiB <= kRssSlackKiB,
                           "resident memory grew from " + std::to_string(first.rssKiB) + " KiB to " +
                               std::to_string(last.rssKiB) + " KiB");
        verdict.Expect(last.fds == first.fds, "open descriptors went from " + std::to_string(first.fds) + " to " +
                                                  std::to_string(last.fds));
        for (const Sample& s : samples)
            verdict.Expect(s.nodeFds <= 2, "more than two descriptors on the node");
    }

    int moved = 0, kept = 0;
    for (const auto& d : dumps) {
        const std::string stamp = d.first.substr(d.first.rfind('-') + 1);
        char readable[64];
        time_t t = static_cast<time_t>(atol(stamp.c_str()));
        struct tm tm;
        gmtime_r(&t, &tm);
        strftime(readable, sizeof readable, "%Y-%m-%d_%H:%M:%S", &tm);
        const std::string newName = d.first.substr(0, d.first.rfind('-') + 1) + readable;
        const bool inSaved = Sandbox::ReadFile(st.sb.path("saved/" + newName)) == d.second;
        const bool inTmp = Sandbox::ReadFile(st.sb.path("/tmp/" + d.first)) == d.second;
        verdict.Expect(inSaved != inTmp, d.first + (inSaved ? " is in two places" : " is lost"));
        moved += inSaved;
        kept += inTmp;
        if (inSaved)
            verdict.Expect(CountLines(log, "[CRASH][Coredump]./saved/" + newName) == 1 &&
                               CountLines(st.Log("crash.log"), "[CRASH][Coredump]./saved/" + newName) == 1,
                           newName + " is not recorded once in each log");
    }

    printf("%-14s %10s %10s %8s %10s %10s\n", "at", "gestures", "RSS KiB", "fds", "node fds", "seconds");
    for (size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        std::string at = i + 1 == samples.size() ? "end" : std::to_string(marks[i]);
        printf("%-14s %10llu %10ld %8d %10d %10.1f\n", at.c_str(), static_cast<unsigned long long>(s.gestures),
               s.rssKiB, s.fds, s.nodeFds, s.seconds);
    }
    printf("events %ld in %.1f s (%.0f events/s, including the final one-second wait); on the node: %llu clicks "
           "and long clicks, %llu key presses, %llu swipes\n",
           events, seconds, static_cast<double>(events) / seconds, static_cast<unsigned long long>(node.taps()),
           static_cast<unsigned long long>(node.keys()), static_cast<unsigned long long>(node.swipes()));
    printf("summary line: Events injected:%s; node: %llu whole gestures, %llu cut off, %llu stray records\n",
           summary.c_str(), static_cast<unsigned long long>(node.whole()),
           static_cast<unsigned long long>(node.broken()), static_cast<unsigned long long>(node.stray()));
    printf("dumps dropped during the run: %zu, moved %d, still in /tmp %d\n", dumps.size(), moved, kept);
    if (!sanitizer.empty())
        printf("tapfuzz runs under %s: resident memory is printed, not judged; leaks fail its exit status\n",
               sanitizer.c_str());
    verdict.PrintFailures();
    printf("soak: %s\n", verdict.failures() == 0 ? "PASS" : "FAIL");
    return verdict.failures();
}
