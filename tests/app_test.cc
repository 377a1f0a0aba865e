// The shipped tapfuzz watching a small application under test in a sandbox:
// the application reads the touches tapfuzz injects and draws into the
// frame buffer, and crashes, exits or freezes at its Kth touch. Checked: the
// log lines, the exit status, and the bundle and screenshots, decoded by
// netpbm's pngtopnm.
#include <glob.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sandboxed_case.h"

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

// The PNG as pngtopnm decodes it: "WxH" and the colour of its first pixel as
// "R,G,B"; a message when it does not decode.
std::string Decode(const std::string& png)
{
    std::string ppm = png + ".ppm";
    if (std::system(("pngtopnm '" + png + "' > '" + ppm + "' 2>/dev/null").c_str()) != 0)
        return "pngtopnm refused " + png;
    std::string data = Sandbox::ReadFile(ppm);
    unsigned w = 0, h = 0, max = 0;
    int at = 0;
    if (sscanf(data.c_str(), "P6 %u %u %u%n", &w, &h, &max, &at) != 3 || data.size() < static_cast<size_t>(at) + 4)
        return "not a colour image: " + png;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data()) + at + 1;
    return std::to_string(w) + "x" + std::to_string(h) + " " + std::to_string(p[0]) + "," + std::to_string(p[1]) +
           "," + std::to_string(p[2]);
}

// The number after `key` in the first line of `text` holding it; -1 if none.
long NumberAfter(const std::string& text, const std::string& key)
{
    size_t at = text.find(key);
    return at == std::string::npos ? -1 : atol(text.c_str() + at + key.size());
}

struct Case {
    const char* name;
    const char* fb;       // TAPFUZZ_TEST_FB: 32 bits without fields, RGB565, red in the low byte
    const char* app;      // touchapp's mode and K, in the region of the left half
    const char* profile;  // beyond APP_RESTART
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;  // regexes, each matching a line of the main log, in order
    const char* bundleColour;        // of the dump's screenshot; nullptr: no dump
    const char* freezeColour;        // of the freeze screenshot; nullptr: none
};
// Cases are named in test output, not dumped as bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class AppWatchRun : public ::testing::TestWithParam<Case> {};

TEST_P(AppWatchRun, LogsAndBundles)
{
    if (!Sandbox::Available())
        GTEST_SKIP() << "needs root for private namespaces";
    const Case& c = GetParam();
    Sandbox sb;
    AllowPreloadBeforeSanitizer();
    unsigned bpp = 32, pad = 0;
    if (sscanf(c.fb, "320x240x%u", &bpp) == 1)
        pad = 32;
    ASSERT_EQ(mkfifo(sb.path("/dev/input/event0").c_str(), 0666), 0);
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/dev/fb0"), std::string((320 * bpp / 8 + pad) * 240, '\0')));
    ASSERT_EQ(mkdir(sb.path("saved").c_str(), 0755), 0);
    std::string lib = FEEDINPUT_LIB;
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("device.conf"),
                                   "LIBLARAY_PATH=" + lib.substr(0, lib.rfind('/') + 1) +
                                       "\nCOREFILE_PATH=./saved/\nAPP_RESTART=" TOUCHAPP_BIN " " + c.app +
                                       // Long clicks held 1 ms: touches reach the application at a
                                       // steady pace, so only its own freeze stops the screen.
                                       " 0 0 160 240\nLONGCLICK_DURATION=1\n" + c.profile));

    std::vector<std::string> args = {TAPFUZZ_BIN, "-a", "touchapp"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    int status = sb.Exec(args, {"LD_PRELOAD=" FBSHIM_LIB, "TZ=UTC", std::string("TAPFUZZ_TEST_FB=") + c.fb});
    std::vector<std::string> logs = Glob(sb.path("results/tapfuzz*/tapfuzz.log"));
    ASSERT_EQ(logs.size(), 1u);
    std::string log = Sandbox::ReadFile(logs[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status << "\n" << log;

    std::istringstream in(log);
    std::string line;
    for (const std::string& expected : c.lines) {
        bool found = false;
        while (!found && std::getline(in, line))
            found = std::regex_search(line, std::regex(R"(^\[[-\d: ]+\]\[INFO\])" + expected));
        EXPECT_TRUE(found) << "no line " << expected << " (in this order) in\n" << log;
    }

    std::vector<std::string> dumps = Glob(sb.path("saved/coredump-touchapp-*[0-9]"));
    ASSERT_EQ(dumps.size(), c.bundleColour ? 1u : 0u) << log;
    if (c.bundleColour) {
        EXPECT_EQ(Decode(dumps[0] + ".png"), std::string("320x240 ") + c.bundleColour);
        std::string text = Sandbox::ReadFile(dumps[0] + ".txt");
        long event = NumberAfter(text, "last gesture: event:");
        EXPECT_GE(event, 10) << text;  // the application saw at least its K touches
        EXPECT_LE(event, NumberAfter(log, "Events injected:")) << text;
        EXPECT_EQ(event, NumberAfter(log, "crash after event:")) << log;
        EXPECT_EQ(event, NumberAfter(log, "app crash: touchapp dump:./" + dumps[0].substr(sb.path("").size()) +
                                              " after event:"))
            << log;
        for (const char* part : {"app crash: touchapp\n", "seed: ", " -a touchapp ",
                                 "last 50 lines of the main log", "[INFO]app crash: touchapp dump:"})
            EXPECT_NE(text.find(part), std::string::npos) << part << " not in\n" << text;
    }
    std::vector<std::string> shots = Glob(sb.path("results/tapfuzz*/freeze-*.png"));
    ASSERT_EQ(shots.size(), c.freezeColour ? 1u : 0u);
    if (c.freezeColour) {
        EXPECT_EQ(Decode(shots[0]), std::string("320x240 ") + c.freezeColour);
    }
}

// The application lives for at least K pauses, so the one-second check sees
// it. Palette: its Kth touch leaves the colour of touch K-1 on the screen
// (9: red, 4: blue).
const Case kCases[] = {
    {"CrashStopsTheRunWithABundle", "320x240x16", "crash 10", "APP_RESTART_DELAY=0\n",
     {"-v-v", "--stop-on-crash", "--throttle", "150", "100000"}, 3,
     {"app:touchapp not running", "app:touchapp restart: .*touchapp crash 10", "app:touchapp pid:\\d+",
      "app:touchapp exited after event:\\d+ signal:6", "app crash: touchapp dump:\\./saved/coredump-touchapp-",
      "stop on crash: ", "Events injected:\\d+", "// tapfuzz finish"},
     "255,0,0", nullptr},
    {"FreezeIsShotAndAborted", "320x240x32", "freeze 5", "APP_RESTART_DELAY=0\nFREEZE_SECONDS=2\nFREEZE_ABORT=1\n",
     {"--stop-on-crash", "--throttle", "50", "100000"}, 3,
     {"app:touchapp pid:(\\d+)", "freeze: screen unchanged for 2 s after event:\\d+", "freeze: screenshot ",
      "freeze: SIGABRT to app:touchapp pid:", "app:touchapp exited after event:\\d+ signal:6", "app crash: touchapp",
      "Events injected:"},
     "0,0,255", "0,0,255"},
    {"ExitIsLoggedAndRestarted", "320x240", "exit 10", "APP_RESTART_DELAY=1\n", {"--throttle", "100", "90"}, 0,
     {"app:touchapp not running", "app:touchapp pid:", "app:touchapp exited after event:\\d+ status:7",
      "app:touchapp restart: ", "app:touchapp pid:", "Events injected:90"},
     nullptr, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, AppWatchRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

}  // namespace
