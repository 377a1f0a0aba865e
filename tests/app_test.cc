// The shipped tapfuzz watching a small application under test in a sandbox:
// the application reads the touches tapfuzz injects and draws into the
// frame buffer, and crashes, exits, hangs or goes idle at its Kth touch. Checked: the
// log lines, the exit status, and the bundle and screenshots, decoded by
// netpbm's pngtopnm; the screens the application logged it showed.
#include <glob.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sandboxed_case.h"
#include "watch/app_watch.h"

namespace {

std::vector<std::string> Glob(const std::string& pattern)
{
    std::vector<std::string> found;
    glob_t g{};
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
        found.assign(g.gl_pathv, g.gl_pathv + g.gl_pathc);
    globfree(&g);
    return found;
}

// The PNG as pngtopnm decodes it: "WxH" and the colour its pixels share as
// "R,G,B" ("mixed" when they differ); a message when it does not decode.
std::string Decode(const std::string& png)
{
    std::string ppm = png + ".ppm";
    if (std::system(("pngtopnm '" + png + "' > '" + ppm + "' 2>/dev/null").c_str()) != 0)
        return "pngtopnm refused " + png;
    std::string data = Sandbox::ReadFile(ppm);
    unsigned w = 0, h = 0, max = 0;
    int at = 0;
    if (sscanf(data.c_str(), "P6 %u %u %u%n", &w, &h, &max, &at) != 3 || data.size() != at + 1 + size_t(w) * h * 3)
        return "not a colour image: " + png;
    const std::string pixels = data.substr(at + 1), first = pixels.substr(0, 3);
    for (size_t i = 3; i < pixels.size(); i += 3)
        if (pixels.compare(i, 3, first) != 0)
            return std::to_string(w) + "x" + std::to_string(h) + " mixed";
    auto p = reinterpret_cast<const unsigned char*>(first.data());
    return std::to_string(w) + "x" + std::to_string(h) + " " + std::to_string(p[0]) + "," + std::to_string(p[1]) + "," +
           std::to_string(p[2]);
}

// The number after `key` in the first line of `text` holding it; -1 if none.
long NumberAfter(const std::string& text, const std::string& key)
{
    size_t at = text.find(key);
    return at == std::string::npos ? -1 : atol(text.c_str() + at + key.size());
}

struct Case {
    const char* name;
    const char* fb;       // TAPFUZZ_TEST_FB: 32 bits without fields, RGB565, red in the low byte, long lines
    const char* app;      // touchapp's mode and K, in the region of the left half
    std::string profile;  // before the fixture's APP_RESTART: the first line of a key wins
    std::vector<std::string> args;
    int status;
    // Regexes, each matching a line of the main log, in order; "!regex":
    // no line matches between the lines matched before and after it.
    std::vector<std::string> lines;
    // "SIZE R,G,B" of the dump's screenshot; nullptr: no dump. A crash of
    // the application ends these runs with status 3.
    const char* bundle;
    const char* freeze;  // of the freeze screenshot; nullptr: none
    std::string before = "";  // shell run in the sandbox before tapfuzz replaces it
    // Regex the application's screen log (/mnt/screens.txt) must hold; nullptr: not read.
    const char* screens = nullptr;
    // Regex over the signature keys the log counted, sorted, "KEY xN" joined
    // by "; "; the run's dumps are then the signature lines' (no bundle
    // checked in detail). nullptr: not looked at.
    const char* signatures = nullptr;
    // Regex searched in "pid args" of the processes left two seconds after
    // tapfuzz ended; nullptr: not looked at.
    const char* leftovers = nullptr;
};
// Cases are named in test output, not dumped as bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class AppWatchRun : public ::testing::TestWithParam<Case> {};

TEST_P(AppWatchRun, LogsAndBundles)
{
    if (!Sandbox::Available())
        GTEST_SKIP() << "needs root for private namespaces";
    const Case& c = GetParam();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    if (c.before.find("ulimit -v") != std::string::npos)
        GTEST_SKIP() << "a sanitizer's shadow memory needs more address space than the limit";
#endif
    const bool gcore = c.profile.find("gcore-run") != std::string::npos;
    if (gcore && std::system("gdb --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "gcore-run needs gdb";
    Sandbox sb;
    AllowPreloadBeforeSanitizer();
    unsigned w = 0, h = 0, bpp = 32, stride = 0;
    int n = sscanf(c.fb, "%ux%ux%u:%u", &w, &h, &bpp, &stride);
    stride = n == 4 ? stride : w * bpp / 8 + (n == 3 ? 32 : 0);
    ASSERT_EQ(mkfifo(sb.path("/dev/input/event0").c_str(), 0666), 0);
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/dev/fb0"), ""));
    ASSERT_EQ(truncate(sb.path("/dev/fb0").c_str(), off_t(stride) * h), 0);
    ASSERT_EQ(mkdir(sb.path("saved").c_str(), 0755), 0);
    std::string lib = FEEDINPUT_LIB;
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("device.conf"),
                                   c.profile + "LIBLARAY_PATH=" + lib.substr(0, lib.rfind('/') + 1) +
                                       "\nCOREFILE_PATH=./saved/\nAPP_RESTART=" TOUCHAPP_BIN " " + c.app +
                                       // Long clicks held 1 ms: touches reach the application at a
                                       // steady pace, so only its own freeze stops the screen.
                                       " 0 0 160 240\nLONGCLICK_DURATION=1\n"));

    std::vector<std::string> args = {"/bin/sh", "-c", c.before + "exec \"$0\" \"$@\"", TAPFUZZ_BIN, "-a", "touchapp"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    int status = sb.Exec(args, {"LD_PRELOAD=" FBSHIM_LIB, "TZ=UTC", std::string("TAPFUZZ_TEST_FB=") + c.fb, "TOUCHAPP_FDS=/mnt/fds.txt",
                                 "TOUCHAPP_SCREENS=/mnt/screens.txt"});
    std::vector<std::string> logs = Glob(sb.path("results/tapfuzz*/tapfuzz.log"));
    ASSERT_EQ(logs.size(), 1u);
    std::string log = Sandbox::ReadFile(logs[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status << "\n" << log;
    // The application started holds no descriptor of tapfuzz's (touchapp tells).
    if (std::find(c.args.begin(), c.args.end(), "-a") == c.args.end()) {
        EXPECT_TRUE(std::regex_match(Sandbox::ReadFile(sb.path("fds.txt")), std::regex("0 -> /dev/null\n1 -> .*\n2 -> .*\n")))
            << Sandbox::ReadFile(sb.path("fds.txt"));
    }
    if (c.screens) {
        EXPECT_TRUE(std::regex_search(Sandbox::ReadFile(sb.path("screens.txt")), std::regex(c.screens)))
            << Sandbox::ReadFile(sb.path("screens.txt"));
    }

    std::istringstream in(log);
    std::string line;
    std::vector<std::string> unwanted;  // "!" lines not to be met before the next one wanted
    for (size_t i = 0; i <= c.lines.size(); ++i) {
        // Past the last: a regex no line matches, so "!" lines at the end hold to the log's end.
        const std::string expected = i < c.lines.size() ? c.lines[i] : "$^";
        auto is = [&line](const std::string& re) { return std::regex_search(line, std::regex(R"(^\[[-\d: ]+\]\[INFO\])" + re)); };
        if (expected[0] == '!') {
            unwanted.push_back(expected.substr(1));
            continue;
        }
        bool found = false;
        while (!found && std::getline(in, line)) {
            found = is(expected);
            for (const std::string& u : unwanted)
                EXPECT_FALSE(is(u)) << line << " before " << expected << " in\n" << log;
        }
        EXPECT_TRUE(found || i == c.lines.size()) << "no line " << expected << " (in this order) in\n" << log;
        unwanted.clear();
    }

    // Each signature line counts its key's dumps (an unknown one its
    // program's); the record's crash lines, in the same order, and each
    // dump's bundle and app crash line carry the same.
    std::map<std::string, int> keys;
    std::vector<std::string> texts, logged, recorded;
    std::smatch f;
    const std::regex counted(R"(\]crash signature:((\S+) (\S+)( \S+)*|unknown) (new|seen:(\d+))$)");
    for (std::istringstream lines(log); std::getline(lines, line);) {
        if (line.find("]crash signature:") == std::string::npos)
            continue;
        ASSERT_TRUE(std::regex_search(line, f, counted)) << line;
        texts.push_back(f[1]);
        logged.push_back(f[2].matched ? f[2].str() + "," + f[3].str() : "unknown");
        int seen = f[2].matched ? ++keys[logged.back()] : 0;
        EXPECT_TRUE(!f[2].matched || f[5] == (seen == 1 ? "new" : "seen:" + std::to_string(seen))) << line;
    }
    for (const std::string& r : Glob(sb.path("results/tapfuzz*/run-*.events")))
        for (std::istringstream lines(Sandbox::ReadFile(r)); std::getline(lines, line);)
            if (line.rfind("# crash:", 0) == 0)
                // The record's key names its first frame's module by its path, the log's text by its name.
                recorded.push_back(std::regex_search(line, f, std::regex(" signature:(\\S+)$"))
                                       ? std::regex_replace(f[1].str(), std::regex("^([^,]*),(?:[^,]*/)?([^,]*).*$"), "$1,$2")
                                       : line);
    // A shrink's result: the header, where it came from, the cause in order, renumbered, each after its old gap;
    // stopped early, the best list so far. Its gestures are in the log too.
    if (c.status == 0 && std::find(c.args.begin(), c.args.end(), "--shrink") != c.args.end()) {
        const std::string min = Sandbox::ReadFile(sb.path("r-min.events"));
        std::string kept;
        for (const std::string& m : ::Messages(log, "[INFO]shrink: kept: "))
            kept += m + "\n";
        EXPECT_EQ(min.substr(min.find('\n', min.find("# shrunk from:")) + 1), kept) << log;
        EXPECT_TRUE(log.find("]stopped by ") != std::string::npos ||
                    std::regex_match(min, std::regex(R"(# tapfuzz run record\n# seed:1\n# shrunk )"
                        R"(from:r\.events crash after:\d+ signature:unknown\n1 1000 [^]*click 50 60 0\n\d \d000 longclick 160 60 60000 0\n)"
                        R"([^]*swipe 270 60 200 100 4 20000 7 0\n[^]*)"))) << min;
    }
    EXPECT_TRUE(!c.leftovers || std::regex_search(sb.Leftovers(), std::regex(c.leftovers))) << sb.Leftovers();
    // A shrink keeps no run record of its own.
    EXPECT_TRUE(recorded == logged || std::find(c.args.begin(), c.args.end(), "--shrink") != c.args.end())
        << ::testing::PrintToString(recorded) << " | " << ::testing::PrintToString(logged);
    std::string summary;
    for (const auto& k : keys)
        summary += (summary.empty() ? "" : "; ") + k.first + " x" + std::to_string(k.second);
    EXPECT_TRUE(!c.signatures || std::regex_match(summary, std::regex(c.signatures))) << summary << "\n" << log;
    std::vector<std::string> dumps = Glob(sb.path("saved/coredump-touchapp-*[0-9]"));
    ASSERT_EQ(dumps.size(), c.signatures ? texts.size() : c.bundle ? 1u : 0u) << log;
    for (const std::string& d : dumps) {
        const std::string text = Sandbox::ReadFile(d + ".txt");
        size_t at = text.find("\nsignature: ");
        const std::string signature = at == std::string::npos ? "none" : text.substr(at + 12, text.find('\n', at + 1) - at - 12);
        EXPECT_NE(std::find(texts.begin(), texts.end(), signature), texts.end()) << text;
        at = log.find("]app crash: touchapp dump:./" + d.substr(sb.path("").size()) + " ");
        EXPECT_TRUE(at != std::string::npos || c.status != 3) << log;
        EXPECT_TRUE(at == std::string::npos || log.compare(log.find('\n', at) - signature.size() - 11, signature.size() + 11, " signature:" + signature) == 0) << log;
    }
    if (c.bundle) {
        EXPECT_EQ(Decode(dumps[0] + ".png"), c.bundle);
        // gdb's core is an ELF file; touchapp's own stand-in is not.
        EXPECT_EQ(Sandbox::ReadFile(dumps[0]).compare(0, 4, "\x7f" "ELF") == 0, gcore);
        std::string text = Sandbox::ReadFile(dumps[0] + ".txt");
        long event = NumberAfter(text, "last gesture: event:");
        EXPECT_LE(event, NumberAfter(log, "Events injected:")) << text;
        EXPECT_EQ(event, NumberAfter(log, "crash after event:")) << log;
        for (const char* part : {"seed: ", " -a touchapp ", "last 50 lines of the main log"})
            EXPECT_NE(text.find(part), std::string::npos) << part << " not in\n" << text;
        EXPECT_EQ(text.find("app crash: touchapp\n") != std::string::npos, c.status == 3) << text;
        if (c.status == 3) {
            // The application saw its K touches; the Kth may still be under
            // way, not yet recorded, when the dump is seen.
            EXPECT_GE(event, 9) << text;
            EXPECT_EQ(event, NumberAfter(log, "app crash: touchapp dump:./" + dumps[0].substr(sb.path("").size()) +
                                                  " after event:"))
                << log;
            EXPECT_NE(text.find("[INFO]app crash: touchapp dump:"), std::string::npos) << text;
        }
    }
    std::vector<std::string> shots = Glob(sb.path("results/tapfuzz*/freeze-*.png"));
    ASSERT_EQ(shots.size(), c.freeze ? 1u : 0u) << log;
    if (c.freeze) {
        EXPECT_EQ(Decode(shots[0]), c.freeze);
    }
}

// A record of `n` gestures for touchapp seq on a 320x240 screen: clicks and
// long clicks in the bottom half, and the three its crash needs, in order,
// at a quarter, a half and three quarters of the way; a shell line that
// writes it to r.events, before its crash after gesture `after` (0: the last).
std::string ShrinkRecord(int n, int after = 0)
{
    std::string r = "cat > r.events <<'E'\n# tapfuzz run record\n# seed:1\n";
    for (int i = 1; i <= n; ++i) {
        const std::string at = std::to_string(130 + i % 100), x = std::to_string(i * 37 % 320);
        r += std::to_string(i) + " " + std::to_string(i * 1000) + " " +
             (i == n / 4 ? "click 50 60" : i == n / 2 ? "longclick 160 60 60000" : i == 3 * n / 4 ? "swipe 270 60 200 100 4 20000 7"
              : i % 10 ? "click " + x + " " + at : "longclick " + x + " " + at + " 1000") + " 0\n";
    }
    return r + "# crash:./saved/coredump-touchapp-9-2026-01-01_00:00:00 after:" + std::to_string(after ? after : n) +
           " signature:unknown\nE\n";
}

const std::string kNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
const std::string kApp = "app:touchapp pid:\\d+ uid:0 exe:\\S+/touchapp$";

// A hang: FREEZE_SECONDS=2, aborted, the run stopped by its dump. Its touches
// wait in the sandbox's FIFO: clicks only, so that they do not fill it
// before the freeze is called.
const std::string kFreeze = "APP_RESTART_DELAY=0\nFREEZE_SECONDS=2\nFREEZE_ABORT=1\n";
const std::vector<std::string> kFreezeArgs = {"--stop-on-crash", "--pct-motion", "0", "--throttle", "50", "100000"};
std::vector<std::string> Frozen(const std::string& evidence)
{
    return {"app:touchapp pid:(\\d+)", "freeze: screen unchanged for 2 s after event:\\d+",
            "freeze: app:touchapp pid:\\d+ main thread " + evidence + " in 2 s$", "freeze: screenshot ",
            "freeze: SIGABRT to app:touchapp pid:", "app:touchapp exited after event:\\d+ signal:6", "app crash: touchapp", "Events injected:"};
}

// The application lives for at least K pauses, so the one-second check sees
// it. Palette: its Kth touch leaves the colour of touch K-1 on the screen
// (9: red, 4: blue).
const Case kCases[] = {
    {"CrashStopsTheRunWithABundle", "320x240x16", "crash 10", "APP_RESTART_DELAY=0\n",
     {"-v-v", "--stop-on-crash", "--throttle", "150", "100000"}, 3,
     {"app:touchapp not running", "app:touchapp restart: .*touchapp crash 10", kApp,
      "app:touchapp exited after event:\\d+ signal:6", "crash signature:unknown new$",
      "app crash: touchapp dump:\\./saved/coredump-touchapp-\\S+ after event:\\d+ signature:unknown$", "stop on crash: ", "Events injected:\\d+", "// tapfuzz finish"},
     "320x240 255,0,0", nullptr},
    // Real hangs at the 5th touch, each told by the main thread's state;
    // touches that hit the idle application's inert screen are no freeze,
    // over many FREEZE_SECONDS, nor is a screen with no application named.
    {"SpinIsFrozen", "320x240x32", "spin 5", kFreeze, kFreezeArgs, 3, Frozen("running, no wait"), "320x240 0,0,255", "320x240 0,0,255"},
    {"LockIsFrozen", "320x240x32", "lock 5", kFreeze, kFreezeArgs, 3, Frozen("asleep \\(S\\), not woken"), "320x240 0,0,255", "320x240 0,0,255"},
    {"StallIsFrozen", "320x240x32", "stall 5", kFreeze, kFreezeArgs, 3, Frozen("asleep \\(S\\), not woken"), "320x240 0,0,255", "320x240 0,0,255"},
    {"IdleIsNeverFrozen", "320x240x32", "idle 5", "APP_RESTART_DELAY=0\nFREEZE_SECONDS=1\nFREEZE_ABORT=1\n", {"--throttle", "50", "100"}, 0,
     {kApp, "!freeze", "Events injected:100"}, nullptr, nullptr},
    {"NoAppNoFreeze", "320x240x32", "idle 5", "FREEZE_SECONDS=1\nFREEZE_ABORT=1\n", {"-a", "", "--pct-motion", "0", "--throttle", "50", "80"}, 0,
     {"freeze check: no application named \\(-a\\): an unchanged screen alone is not called a freeze$", "!freeze", "Events injected:80"},
     nullptr, nullptr},
    {"ExitIsLoggedAndRestarted", "320x240", "exit 10", "APP_RESTART_DELAY=1\n", {"--throttle", "100", "90"}, 0,
     {"app:touchapp not running", kApp, "app:touchapp exited after event:\\d+ status:7",
      "app:touchapp restart: ", "app:touchapp pid:", "Events injected:90"},
     nullptr, nullptr},
    // A dump of the application's name and pid that nobody planted is saved
    // but is no crash of it.
    {"PlantedDumpIsNotTheApps", "320x240x32", "", "APP_RESTART_DELAY=0\nAPP_RESTART=(sleep 2; " + kNobody +
     "touch /tmp/coredump-touchapp-$$-1700000000) & exec " TOUCHAPP_BIN " idle 2 0 0 160 240\n",
     {"--stop-on-crash", "--throttle", "100", "60"}, 0,
     {kApp, "crash signature:unknown new$", "mv /tmp/coredump-touchapp-", "!app crash", "!stop on crash", "Events injected:60"}, "320x240 255,0,0", nullptr},
    // A command slow to start the application runs once; the impostor
    // nobody started meanwhile is watched only until it appears.
    {"ImpostorGivesWayToTheStartedApp", "320x240x32", "crash 10",
     "APP_RESTART_DELAY=0\nAPP_RESTART=: > /tmp/go; sleep 3; exec " TOUCHAPP_BIN " crash 10 0 0 160 240\n",
     {"--stop-on-crash", "--throttle", "150", "100000"}, 3,
     {"app:touchapp not running", "app:touchapp restart: : > /tmp/go; sleep 3", "!app:touchapp restart: ",
      "app:touchapp pid:\\d+ uid:65534 exe:\\S+/sleep$", "!app:touchapp exited after event:\\d+$", kApp, "app:touchapp exited after event:\\d+ signal:6", "app crash: touchapp"},
     "320x240 255,0,0", nullptr,
     "(until [ -e /tmp/go ]; do sleep 0.1; done; sleep 1; exec " + kNobody + "bash -c 'exec -a touchapp sleep 60') & "},
    // Lines far longer than a row are honoured; a frame buffer whose pixels
    // or size cannot be trusted is not read.
    {"LongLinesAreHonoured", "100x50x16:4096", "crash 10", "APP_RESTART_DELAY=0\n",
     {"--stop-on-crash", "--throttle", "150", "100000"}, 3, {"app crash: touchapp"}, "100x50 255,0,0", nullptr},
    {"WrappingBitFieldIsRefused", "320x240x32:1312:4294967288", "exit 1000", "APP_RESTART_DELAY=0\nFREEZE_SECONDS=1\n", {"--throttle", "50", "30"}, 0,
     {"freeze check off: /dev/fb0: pixel bit fields out of range", "screens:unknown no-op:unknown$", "Events injected:30"}, nullptr, nullptr},
    // A frame the memory left cannot hold is still checked, a few lines at a
    // time; it costs the freeze's screenshot, not the check or the run.
    {"OutOfMemoryCostsTheShotOnly", "320x240x32:262144", "stall 3", "APP_RESTART_DELAY=0\nFREEZE_SECONDS=1\n", {"--pct-motion", "0", "--throttle", "50", "100"}, 0,
     {"!freeze check", "freeze: screen unchanged for 1 s after event:\\d+", "freeze: app:touchapp pid:\\d+ main thread asleep \\(S\\), not woken in 1 s$",
      "freeze: no screenshot: out of memory for the screen",
      "Events injected:100"}, nullptr, nullptr, "ulimit -v 70000; "},
    // A real dump of touchapp, by gdb under the core pattern's name: its
    // SIGSEGV at the 10th touch of the left third, the only part touched.
    // The profile makes write_wild part of the abort machinery: the
    // signature starts at its caller.
    {"GdbDumpIsSavedAndBundled", "320x240x32", "", "APP_RESTART_DELAY=0\nEXCLUDE_RECTS=107,0,213,240\nAPP_RESTART=exec " TESTS_DIR
     "/app/gcore-run " TOUCHAPP_BIN " bugs 10\nCRASH_SKIP_FUNCTIONS=my_fatal*, write_wild\n", {"--stop-on-crash", "--throttle", "150", "200"}, 3,
     {kApp, "app:touchapp exited after event:\\d+ signal:11",
      "crash signature:SIGSEGV touchapp\\+0x[0-9a-f]+ (?!write_wild)\\w+\\+0x[0-9a-f]+ from \\S+\\+0x[0-9a-f]+ new$",
      "app crash: touchapp dump:\\./saved/coredump-touchapp-"},
     "320x240 255,0,0", nullptr, "", "^screen 0 depth 0\n(screen [0-7] depth 0\n){9}"},
    // Real dumps again and again, from two sites (the right third, which
    // crashes at every touch, is not touched): one signature per site, its
    // dumps counted; a run of over a minute says how far it got.
    {"SignaturesTellSitesApart", "320x240x32", "", "APP_RESTART_DELAY=0\nEXCLUDE_RECTS=213,0,107,240\nAPP_RESTART=exec " TESTS_DIR
     "/app/gcore-run " TOUCHAPP_BIN " bugs 8\n", {"--seed", "5", "--throttle", "150", "400"}, 0,
     {kApp, "crash signature:SIGSEGV touchapp\\+0x[0-9a-f]+ write_wild\\+0x[0-9a-f]+ from touchapp\\+0x[0-9a-f]+ (new|seen:\\d+)$",
      R"(progress: \d+/400 events, [1-9]\d* crashes \([2-9] distinct\), [1-9]\d* app exits, 0 freezes, 00:01:\d\d elapsed, about \d\d:\d\d:\d\d left screens:\d+ no-op:\d+%$)",
      "Events injected:400"},
     nullptr, nullptr, "", nullptr, R"((?=.* x([2-9]|\d\d))SIGABRT,\S+\+0x[0-9a-f]+ x\d+; SIGSEGV,touchapp\+0x[0-9a-f]+ x\d+)"},
    // --max-crashes 2 on the same: the run ends with its summary and status
    // 3 at the pass that counts the second distinct crash, however many
    // gestures were asked for.
    {"MaxCrashesEndsTheRun", "320x240x32", "", "APP_RESTART_DELAY=0\nEXCLUDE_RECTS=213,0,107,240\nAPP_RESTART=exec " TESTS_DIR
     "/app/gcore-run " TOUCHAPP_BIN " bugs 8\n", {"--seed", "5", "--throttle", "150", "--max-crashes", "2", "4000"}, 3,
     {kApp, "max crashes: 2 distinct crashes seen, the run ends$", "Events injected:\\d{1,3}$", "// tapfuzz finish$"},
     nullptr, nullptr, "", nullptr, R"(^SIGABRT,\S+ x\d+; SIGSEGV,touchapp\+0x[0-9a-f]+ x\d+$)"},
    // A restart command that never brings the application back ends the
    // run after ten vain starts, not at the end of the night.
    {"AppDyingAtStartEndsTheRun", "320x240x32", "", "APP_RESTART_DELAY=0\nAPP_RESTART=exit 3\n",
     {"-a", "touchapp", "--throttle", "100", "2000"}, 1,
     {"app:touchapp not running$", "app:touchapp restart: ", "!app:touchapp pid:",
      "app:touchapp not seen running after 10 starts in a row: no more restarts$",
      "app:touchapp dies as soon as it starts \\(10 restarts in a row not seen running\\): the run ends$"},
     nullptr, nullptr},
    // The maze shows its root, then a screen below it (no swipes: they are
    // slow), then stays in that branch; --explore, same seed and budget, comes
    // back and opens another.
    {"MazeIsWalked", "320x240x16", "", "APP_RESTART_DELAY=0\nAPP_RESTART=ulimit -c 0; exec " MAZE_BIN " /mnt/screens.txt\n",
     {"-a", "maze", "--seed", "1", "--pct-motion", "0", "--throttle", "20", "200"}, 0, {"app:maze pid:\\d+ uid:0 exe:\\S+/maze$", "screens:\\d+ no-op:\\d+%$", "Events injected:200"},
     nullptr, nullptr, "", R"(^(?![\s\S]*screen [13] depth)screen 0 depth 0\n[\s\S]*screen \d+ depth 1\n)"},
    {"MazeIsExplored", "320x240x16", "", "APP_RESTART_DELAY=0\nAPP_RESTART=ulimit -c 0; exec " MAZE_BIN " /mnt/screens.txt\n",
     {"-a", "maze", "--seed", "1", "--pct-motion", "0", "--throttle", "20", "--explore", "200"}, 0, {"screens:\\d+ no-op:\\d+%$", "Events injected:200"},
     nullptr, nullptr, "", R"(screen [13] depth 1\n)"},
    // The three gestures a crash needs, out of hundreds, in a few restarts
    // each; again when the application crashes only every other time and
    // the dump was seen while the last of them was under way; an
    // application that no longer crashes is given up after three tries.
    {"ShrinkKeepsTheCause", "320x240x32", "", "APP_RESTART_DELAY=0\nAPP_RESTART=exec " TOUCHAPP_BIN " seq 1\n",
     {"--shrink", "r.events", "--speed", "0", "--wait", "1"}, 0,
     {"shrink: try 1: 200 gestures, reproduced$", "shrink: [34] gestures from 200 in (\\d|\\d\\d|1\\d\\d|200) tries: r-min\\.events$"},
     nullptr, nullptr, ShrinkRecord(200), nullptr, ""},
    {"ShrinkCopesWithAFlakyCrash", "320x240x32", "", "APP_RESTART_DELAY=0\nAPP_RESTART=exec " TOUCHAPP_BIN " seq 2\n",
     {"--shrink", "r.events", "--speed", "0", "--wait", "1"}, 0,
     {"shrink: [34] gestures from 18 in \\d+ tries: r-min\\.events$"}, nullptr, nullptr, ShrinkRecord(24, 17), nullptr, ""},
    {"ShrinkGivesUpOnACrashGone", "320x240x32", "exit 1000", "APP_RESTART_DELAY=0\n", {"--shrink", "r.events", "--wait", "1"}, 1,
     {"shrink: try 3: 40 gestures, not reproduced$", "shrink: the crash did not reproduce in 3 tries$"},
     nullptr, nullptr, ShrinkRecord(40), nullptr, ""},
    // Dumps nobody planted under the name, some naming the pids of the
    // shrink's own processes, reproduce nothing; a try's shell and what it
    // started end before the next try and with the shrink (no "sleep 1000"
    // is met by a new shell or left), and an impostor of the name is spared.
    {"ShrinkIsNotFakedAndEndsItsOwnOnly", "320x240x32", "", "APP_RESTART_DELAY=0\nAPP_RESTART=for f in /proc/[0-9]*/cmdline; do "
     "[ \"$(tr '\\0' ' ' < $f)\" != 'sleep 1000 ' ] || echo sleeping >> /mnt/screens.txt; done 2>/dev/null; " TOUCHAPP_BIN
     " exit 2 0 0 320 240; sleep 1000\n", {"--shrink", "r.events", "--speed", "0", "--wait", "1"}, 1,
     {"mv /tmp/coredump-touchapp-", "shrink: try 3: 40 gestures, not reproduced$", "shrink: the crash did not reproduce in 3 tries$"},
     nullptr, nullptr, kNobody + "sh -c 'while :; do for d in /proc/[0-9]*; do case $(cat $d/comm) in touchapp|sleep) "
     ": > /tmp/coredump-touchapp-${d#/proc/}-$(date +%s);; esac; done; sleep 0.3; done' 2>/dev/null & (" + kNobody +
     "bash -c 'exec -a touchapp sleep 60' &); " + ShrinkRecord(40), "^(?![\\s\\S]*sleeping)", "",
     "^(?![\\s\\S]*(sleep 1000|touchapp exit))[\\s\\S]*\\d+ touchapp 60 \n"},
    // One running already under tapfuzz's uid is left as it is, and so no shrink.
    {"ShrinkLeavesARunningAppAlone", "320x240x32", "exit 1000", "APP_RESTART_DELAY=0\n", {"-a", "touchapp", "--shrink", "r.events"}, 1,
     {"shrink: touchapp already runs as pid \\d+, not started by the shrink: end it first$"}, nullptr, nullptr,
     "(bash -c ': > /tmp/up; exec -a touchapp sleep 60' &); until [ -e /tmp/up ]; do sleep 0.1; done; " + ShrinkRecord(40),
     nullptr, nullptr, "\\d+ touchapp 60 \n"},
    // Stopped, the best list so far is written and logged; when every name
    // of a result is taken, logged all the same.
    {"ShrinkStoppedKeepsItsBestList", "320x240x32", "", "APP_RESTART_DELAY=0\nAPP_RESTART=exec " TOUCHAPP_BIN " seq 1\n",
     {"--shrink", "r.events", "--speed", "0", "--wait", "1"}, 0,
     {"shrink: try 1: 200 gestures, reproduced$", "stopped by SIGINT$", "shrink: kept: 1 1000 ", "shrink: \\d+ gestures from 200 in \\d+ tries: r-min\\.events$"},
     nullptr, nullptr, "(sleep 8; kill -INT $$) & " + ShrinkRecord(200), nullptr, ""},
    {"ShrinkResultStaysInTheLog", "320x240x32", "", "APP_RESTART_DELAY=0\nAPP_RESTART=exec " TOUCHAPP_BIN " seq 1\n",
     {"--shrink", "r.events", "--speed", "0", "--wait", "1", "--tries", "1"}, 1,
     {"shrink: kept: 1 1000 ", "shrink: kept: 40 40000 ", "shrink: not written: r-min\\.events to r-min-99\\.events are all taken; "
      "the 40 gestures kept are the \"shrink: kept:\" lines of the log$"},
     nullptr, nullptr, "for n in '' $(seq 2 99); do : > r-min${n:+-$n}.events; done; " + ShrinkRecord(40), nullptr, ""},
    // A replay whose last gesture crashes the application ends only once
    // that dump is saved, recorded and credited, not leaving it to the next run.
    {"LastGestureCrashIsSaved", "320x240x32", "", "APP_RESTART_DELAY=0\nAPP_RESTART=exec " TOUCHAPP_BIN " seq 1\n",
     {"--replay", "r.events"}, 0,
     {kApp, "Events injected:4$", "crash signature:unknown new$", "app crash: touchapp dump:\\./saved/coredump-touchapp-\\S+ after event:4 signature:unknown$"},
     nullptr, nullptr, "printf '# tapfuzz run record\\n1 0 click 50 200 0\\n2 2000000 click 50 60 0\\n"
     "3 2500000 longclick 160 60 60000 0\\n4 3000000 swipe 270 60 200 100 4 20000 7 0\\n' > r.events; ", nullptr, ""},
    {"HugeFrameIsRefused", "320x240x32:300000", "exit 1000", "APP_RESTART_DELAY=0\nFREEZE_SECONDS=1\n", {"--throttle", "50", "30"}, 0,
     {"freeze check off: /dev/fb0: the screen takes 68 MB to read, more than 64 MB", "Events injected:30"}, nullptr, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, AppWatchRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

// A process held and then gone, reaped and its pid free for another, is sent
// nothing; a pid that no longer runs the process seen is not taken hold of.
TEST(ProcessHandle, SignalsOnlyTheProcessSeen)
{
    pid_t child = fork();
    if (child == 0)
        pause(), _exit(0);
    ASSERT_GT(child, 0);
    ProcessHandle held, stale;
    EXPECT_TRUE(held.hold(child, processStartTime(child)));
    EXPECT_FALSE(stale.hold(child, processStartTime(child) + 1));
    EXPECT_EQ(held.signal(0), 0);
    Fd dir;
    EXPECT_TRUE(held.openProcDir(&dir));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    errno = 0;
    EXPECT_EQ(held.signal(SIGKILL), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_FALSE(held.openProcDir(&dir));
}

}  // namespace
