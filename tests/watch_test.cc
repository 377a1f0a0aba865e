// The watcher's parts in process, each case in a sandboxed child (they log,
// and the bundle looks for /dev/fb0): passes of the dump scan over a folder
// of the test's own, and the bundle a saved dump gets.
#include "sandboxed_case.h"
#include "watch/app_watch.h"
#include "watch/core_signature.h"
#include "watch/crash_bundle.h"
#include "watch/crash_tally.h"
#include "watch/dump_scan.h"
#include "watch/freeze_check.h"
#include "watch/progress_line.h"

namespace {

using WatchParts = SandboxedCase;

std::string Listing(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code none;
    for (const auto& e : std::filesystem::directory_iterator(folder, none))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& n : names)
        text += " " + n;
    return text;
}

// Two passes over in/ saving into out/ (three when the dump grows between
// the first two): what the scan reported, what the folders hold, and the
// main log's lines.
TEST_F(WatchParts, DumpScanMovesSettledDumpsOnceAndNothingElse)
{
    const std::string kDump = "coredump-app-12-1700000000", kSaved = "coredump-app-12-2023-11-14_22:13:20";
    const struct { const char* name; std::function<void(const Sandbox&)> plant; bool grows; std::string expected; } cases[] = {
        {"a dump", [&](const Sandbox& sb) { Sandbox::WriteFile(sb.path("in/" + kDump), "core"); }, false,
         "found:" + kDump + "@0 saved:./out/" + kSaved + "(unknown) in: out: " + kSaved + " info=crash after event:0 info=crash signature:unknown new info=mv in/" + kDump + " ./out/" + kSaved},
        // Without a signature dumps are told apart by program.
        {"two programs' dumps without a signature", [&](const Sandbox& sb) { for (const char* p : {"app-12", "app-13", "bee-12"}) Sandbox::WriteFile(sb.path("in/coredump-" + std::string(p) + "-1700000000"), "core"); }, false,
         "found:coredump-app-12-1700000000@0 found:coredump-app-13-1700000000@0 found:coredump-bee-12-1700000000@0 saved:./out/" + kSaved + "(unknown) saved:./out/coredump-app-13-2023-11-14_22:13:20(unknown) saved:./out/coredump-bee-12-2023-11-14_22:13:20(unknown) in: out: " + kSaved + " coredump-app-13-2023-11-14_22:13:20 coredump-bee-12-2023-11-14_22:13:20"
         " info=crash after event:0 info=crash signature:unknown new info=mv in/" + kDump + " ./out/" + kSaved + " info=crash after event:0 info=crash signature:unknown seen:2 info=mv in/coredump-app-13-1700000000 ./out/coredump-app-13-2023-11-14_22:13:20"
         " info=crash after event:0 info=crash signature:unknown new info=mv in/coredump-bee-12-1700000000 ./out/coredump-bee-12-2023-11-14_22:13:20"},
        {"still growing", [&](const Sandbox& sb) { Sandbox::WriteFile(sb.path("in/" + kDump), "co"); }, true,
         "found:" + kDump + "@0 in: " + kDump + " out:"},
        {"a name the watcher gave, and no dump name", [&](const Sandbox& sb) { Sandbox::WriteFile(sb.path("in/" + kSaved), "x"), Sandbox::WriteFile(sb.path("in/core.12"), "x"); }, false,
         "in: core.12 " + kSaved + " out:"},
        {"a link to a private file", [&](const Sandbox& sb) { Sandbox::WriteFile(sb.path("private"), "secret"), symlink("../private", sb.path("in/coredump-s-5-1700000000").c_str()); }, false,
         "in: coredump-s-5-1700000000 out:"},
        {"a second name of a private file", [&](const Sandbox& sb) { Sandbox::WriteFile(sb.path("private"), "secret"), link(sb.path("private").c_str(), sb.path("in/coredump-h-4-1700000000").c_str()); }, false,
         "in: coredump-h-4-1700000000 out: info=not moved: in/coredump-h-4-1700000000 has 2 names (hard links): not a dump the kernel wrote"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetLogs();
        std::filesystem::remove_all(sb_.path("in")), std::filesystem::remove_all(sb_.path("out"));
        ASSERT_TRUE(mkdir(sb_.path("in").c_str(), 0755) == 0 && mkdir(sb_.path("out").c_str(), 0755) == 0);
        c.plant(sb_);
        Check([&] {
            setenv("TZ", "UTC", 1), tzset();
            std::string text;
            DumpScan scan("./out/", 1 << 20);
            scan.mOnFound = [&text](const std::string& name, int after) { text += "found:" + name + "@" + std::to_string(after) + " "; };
            scan.mOnSaved = [&text](const std::string& saved, const std::string&, uid_t, const std::string&,
                                    const std::string& signature, const std::string&) {
                text += "saved:" + saved + "(" + signature + ") ";
            };
            for (int pass = 0; pass < 2; ++pass) {
                EXPECT_EQ(0, scan.scan("in/"));
                if (c.grows && pass == 0)
                    Sandbox::WriteFile("in/coredump-app-12-1700000000", "core");
            }
            text += "in:" + Listing("in") + " out:" + Listing("out");
            for (const std::string& m : Messages("[INFO]"))
                text += " info=" + m;
            EXPECT_EQ(c.expected, text);
        });
    }
}

// The bundle's text beside a saved dump, and the stop a --stop-on-crash
// run asks for: once, and only for the application's dump when one is
// named.
TEST_F(WatchParts, CrashBundleTextAndStop)
{
    const std::string kSaved = "./out/coredump-app-12-2023-11-14_22:13:20";
    const struct { const char* name; bool stopOnCrash; const char* app; std::string dump; std::string expected; } cases[] = {
        {"no application named", true, nullptr, "coredump-app-12-1700000000", "stops:3 info=stop on crash: " + kSaved},
        {"another program's dump", true, "touchapp", "coredump-app-12-1700000000", "stops:"},
        {"no stop asked for", false, nullptr, "coredump-app-12-1700000000", "stops:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetLogs();
        std::filesystem::remove_all(sb_.path("out"));
        ASSERT_EQ(mkdir(sb_.path("out").c_str(), 0755), 0);
        Check([&] {
            std::string stops = "stops:";
            AppWatch app(c.app ? c.app : "", "", 3);
            CrashBundle bundle(4294967295LL, "tapfuzz -a\napp 5 ", c.stopOnCrash, c.app ? &app : nullptr,
                               [&stops](int status) { stops += std::to_string(status); });
            bundle.dumpFound(c.dump, 7);
            bundle.dumpSaved(kSaved, c.dump, 0, "SIGSEGV app+0x10a2c");
            bundle.dumpSaved(kSaved + ".1", c.dump, 0, "unknown");  // a second dump asks for no second stop
            std::string text = stops;
            for (const std::string& m : Messages("[INFO]"))
                if (m.rfind("crash bundle: no screenshot: ", 0) != 0)
                    text += " info=" + m;
            EXPECT_EQ(c.expected, text);
            EXPECT_EQ(2u, Messages("[INFO]crash bundle: no screenshot: cannot open /dev/fb0").size());
            const std::string bundleText = Sandbox::ReadFile(kSaved + ".txt");
            EXPECT_EQ(0u, bundleText.find("dump: " + kSaved + "\nseed: 4294967295\ncommand line: tapfuzz -a\\napp 5 \n"
                                          "last gesture: event:7\nsignature: SIGSEGV app+0x10a2c\n\nlast 50 gestures (no run record):\n\n"
                                          "last 50 lines of the main log (" + info_log_filename + "):\n"))
                << bundleText;
            EXPECT_NE(std::string::npos, bundleText.find("]crash bundle: no screenshot: cannot open /dev/fb0")) << bundleText;
        });
    }
}

// Past its cap the tally remembers no new key: memory stays bounded, and
// every such dump is a distinct crash, said once.
TEST_F(WatchParts, CrashTallyStopsGrowingAtItsCap)
{
    Check([this] {
        const size_t cap = CrashTally::kMaxSignatures;
        CrashTally tally;
        CoreSignature s;
        s.known = true, s.signal = "SIGSEGV", s.module = "app";
        for (s.offset = 0; s.offset <= cap + 1; ++s.offset)
            tally.count(s, "app");
        s.offset = 0, tally.count(s, "app");
        s.offset = cap, tally.count(s, "app");
        EXPECT_EQ(static_cast<long>(cap) + 4, tally.crashes());
        EXPECT_EQ(static_cast<long>(cap) + 3, tally.distinct());
        std::vector<std::string> lines = Messages("[INFO]");
        ASSERT_EQ(cap + 5, lines.size());
        EXPECT_EQ("crash tally full: 1000 signatures held; a new one from now on counts as a distinct crash each time", lines[cap]);
        EXPECT_EQ("crash signature:SIGSEGV app+0x0 seen:2", lines[cap + 3]);
        EXPECT_EQ("crash signature:SIGSEGV app+0x3e8 new", lines[cap + 4]);
    });
}

// The eta from the rate so far; hours past 99 and long runs on a 32-bit long.
TEST(ProgressLine, TextByCountAndByTime)
{
    const struct { ProgressCounts counts; long elapsed; int count, hours; const char* expected; } cases[] = {
        {{250, 3, 2, 1, 0, ""}, 60, 1000, 0, "250/1000 events, 3 crashes (2 distinct), 1 app exits, 0 freezes, 00:01:00 elapsed, about 00:03:00 left"},
        {{0, 0, 0, 0, 0, ""}, 61, 100, 0, "0/100 events, 0 crashes (0 distinct), 0 app exits, 0 freezes, 00:01:01 elapsed, about --:--:-- left"},
        {{1000000, 0, 0, 0, 1, ""}, 360000, 4000000, 0, "1000000/4000000 events, 0 crashes (0 distinct), 0 app exits, 1 freezes, 100:00:00 elapsed, about 300:00:00 left"},
        {{9, 0, 0, 0, 0, "screens:4 no-op:50%"}, 3599, 100, 700, "9 events, 0 crashes (0 distinct), 0 app exits, 0 freezes, 00:59:59 of 700:00:00 screens:4 no-op:50%"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::string("progress: ") + c.expected, progressText(c.counts, c.elapsed, c.count, c.hours));
}

// The main thread is still only while the same process's count of waits
// stands, whatever its state; the state then says how it hangs.
TEST(FreezeEvidence, StillOnlyWithoutAWait)
{
    const ThreadLook none, spin{7, 100, 'R', 40}, asleep{7, 100, 'S', 40}, stopped{7, 100, 'T', 40};
    const struct { ThreadLook before, now; const char* expected; } cases[] = {
        {spin, spin, "running, no wait in 5 s"},
        {asleep, asleep, "asleep (S), not woken in 5 s"},
        {stopped, stopped, "stopped (T), not woken in 5 s"},
        {asleep, {7, 100, 'S', 41}, nullptr},             // woken by input, asleep again
        {asleep, {7, 101, 'S', 40}, nullptr},             // another process under the pid
        {{8, 100, 'S', 40}, asleep, nullptr},
        {none, asleep, nullptr},                          // the first look, or the application back
        {asleep, none, nullptr},                          // gone
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected != nullptr, threadStill(c.before, c.now)) << c.now.waits << c.now.start;
        EXPECT_TRUE(!c.expected || stillText(c.now, 5) == c.expected) << stillText(c.now, 5);
    }
}

}  // namespace
