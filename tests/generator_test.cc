// Problem: the event source must split draws exactly as its single-precision
// mix says, draw in a fixed order, stay on the screen's grid and survive a
// bad profile or frame buffer.
// Solution: each case builds the source inside a sandbox whose /dev/fb0 is a
// plain file (answered by the test's ioctl), with rand() scripted, and
// checks the events, the log and the exit status.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "GeneratorEvent.h"
#include "Logger.h"
#include "Pointer.h"
#include "generator_shims.h"
#include "echo_text.h"
#include "sandbox.h"

static bool operator==(const Pointer& a, const Pointer& b)
{
    return a.x == b.x && a.y == b.y && a.x1 == b.x1 && a.y1 == b.y1 && a.step == b.step &&
           a.duration == b.duration && a.eventTye == b.eventTye && a.code == b.code;
}

static void PrintTo(const Pointer& p, std::ostream* os)
{
    *os << "{x " << p.x << ", y " << p.y << ", x1 " << p.x1 << ", y1 " << p.y1 << ", step " << p.step
        << ", duration " << p.duration << ", kind " << p.eventTye << ", code " << p.code << "}";
}

namespace {

// Scripted first draws (rand() % 1000) that land in each kind's band of the
// mix with hardware keys (cumulative 0.35, 0.65, 0.95, 1.0).
const int kDrawTouch = 100;
const int kDrawSwipe = 500;
const int kDrawLong = 900;
const int kDrawKey = 970;

const char kKeysProfile[] = "HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\nHWKEY_POWER=116\n";

// Lines of `text` that carry `tag`, each cut to what follows its prefix.
std::vector<std::string> Messages(const std::string& text, const std::string& tag)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find(tag);
        if (at == std::string::npos)
            continue;
        std::string rest = line.substr(at + tag.size());
        size_t end = rest.find("]:");
        if (rest.compare(0, 6, "[Line ") == 0 && end != std::string::npos)
            rest = rest.substr(end + 2);
        found.push_back(rest);
    }
    return found;
}

class SourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs mount and PID namespaces (run as root)";
        sb_.reset(new Sandbox);
        ScreenFile();
        FbAnswer(800, 480);
        RandScript({});
    }

    void TearDown() override
    {
        FbForward();
        RandScript({});
    }

    void ScreenFile() { ASSERT_TRUE(Sandbox::WriteFile(sb_->path("/dev/fb0"), "")); }
    void Profile(const std::string& text) { ASSERT_TRUE(Sandbox::WriteFile(sb_->path("device.conf"), text)); }

    // Runs body inside the sandbox with its standard output and error in
    // out.txt and err.txt; returns the wait status.
    int InSandbox(const std::function<int()>& body)
    {
        return sb_->Run([&body]() {
            int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
                return 90;
            int code = body();
            Logger::stopEcho();
            fflush(nullptr);
            return code;
        });
    }

    // Runs body in the sandbox and expects a clean end: the expectations
    // checked in there decide it, and their messages are in out.txt.
    void Check(const std::function<void()>& body)
    {
        int st = InSandbox([&body]() {
            body();
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0)
            << "status " << st << "\n--- out.txt\n" << Out() << "\n--- err.txt\n" << Err();
    }

    std::string Out() const { return Sandbox::ReadFile(sb_->path("out.txt")); }
    std::string Err() const { return Sandbox::ReadFile(sb_->path("err.txt")); }
    bool HasResults() const
    {
        struct stat st;
        return stat(sb_->path("results").c_str(), &st) == 0;
    }
    // The main log, whatever the date of the folder it went to.
    std::string MainLog() const
    {
        std::string text;
        DIR* d = opendir(sb_->path("results").c_str());
        if (d == nullptr)
            return text;
        while (dirent* e = readdir(d)) {
            if (strncmp(e->d_name, "tapfuzz", 7) == 0)
                text += Sandbox::ReadFile(sb_->path("results/") + e->d_name + "/tapfuzz.log");
        }
        closedir(d);
        return text;
    }

    std::unique_ptr<Sandbox> sb_;
};

// One scripted generateEvent(): the kind it queued, or -1 when it queued
// nothing (only the kind draw was taken).
int DrawKind(MonkeySourceRandom& src, int draw)
{
    RandScript({draw, 0, 0, 0, 0, 0, 0, 0, 0});
    src.generateEvent();
    if (RandCalls() == 1)
        return -1;
    return src.getNextEvent().eventTye;
}

// ---------------------------------------------------------------- event mix

const float kUnset = NAN;

struct MixCase {
    const char* name;
    const char* plate;               // profile line for HWKEY_ENABLE, or ""
    std::array<float, 4> given;      // user percentages, kUnset when not given
    const char* printout;            // the four percentage lines
    std::array<int, 5> split;        // touch, swipe, long click, key, none
    friend void PrintTo(const MixCase& c, std::ostream* os) { *os << c.name; }
};

class MixTest : public SourceTest, public ::testing::WithParamInterface<MixCase> {};

TEST_P(MixTest, SplitsTheThousandDrawsAndPrintsThePercentages)
{
    const MixCase& c = GetParam();
    // One key in every profile, so that the key band is drawable whenever
    // the mix gives it room.
    Profile(std::string(c.plate) + "HWKEY_POWER=116\n");
    Check([&c]() {
        MonkeySourceRandom src;
        src.setVerbose(1);
        for (int i = 0; i < FACTORZ_COUNT; ++i) {
            if (!isnan(c.given[i]))
                src.setFactors(i, -c.given[i]);
        }
        EXPECT_TRUE(src.adjustEventFactors());
        std::array<int, 5> split = {0, 0, 0, 0, 0};
        for (int draw = 0; draw < 1000; ++draw) {
            int kind = DrawKind(src, draw);
            ++split[kind < 0 ? 4 : kind];
        }
        EXPECT_EQ(c.split, split);
        for (int kind = 0; kind < FACTORZ_COUNT; ++kind)
            EXPECT_EQ(c.split[kind] > 0, src.canDraw(kind)) << "kind " << kind;
    });
    EXPECT_NE(std::string::npos,
              MainLog().find(std::string("[INFO]\n//  Event percentages\n") + c.printout))
        << MainLog();
}

INSTANTIATE_TEST_SUITE_P(
    Mix, MixTest,
    ::testing::Values(
        // 0.4 + 0.3 in single precision lies just above the draw 0.700.
        MixCase{"DefaultsWithoutKeySetting", "", {kUnset, kUnset, kUnset, kUnset},
                "//  TOUCH:40.0%\n//  MOTION:30.0%\n//  LONGCLICK:30.0%\n//  PRESSKEY:0.0%\n",
                {400, 301, 299, 0, 0}},
        MixCase{"DefaultsWithKeys", "HWKEY_ENABLE=1\n", {kUnset, kUnset, kUnset, kUnset},
                "//  TOUCH:35.0%\n//  MOTION:30.0%\n//  LONGCLICK:30.0%\n//  PRESSKEY:5.0%\n",
                {350, 300, 300, 50, 0}},
        MixCase{"TouchFiftyScalesTheRest", "HWKEY_ENABLE=1\n", {50, kUnset, kUnset, kUnset},
                "//  TOUCH:50.0%\n//  MOTION:23.1%\n//  LONGCLICK:23.1%\n//  PRESSKEY:3.8%\n",
                {500, 231, 231, 38, 0}},
        MixCase{"TouchZeroIsAnUnsetKindOfWeightZero", "HWKEY_ENABLE=1\n", {0, kUnset, kUnset, kUnset},
                "//  TOUCH:0.0%\n//  MOTION:46.2%\n//  LONGCLICK:46.2%\n//  PRESSKEY:7.7%\n",
                {0, 462, 462, 76, 0}},
        MixCase{"AllFourGivenAsQuarters", "HWKEY_ENABLE=0\n", {25, 25, 25, 25},
                "//  TOUCH:25.0%\n//  MOTION:25.0%\n//  LONGCLICK:25.0%\n//  PRESSKEY:25.0%\n",
                {250, 250, 250, 250, 0}},
        MixCase{"AllFourGivenTotallingHundred", "HWKEY_ENABLE=0\n", {10, 20, 30, 40},
                "//  TOUCH:10.0%\n//  MOTION:20.0%\n//  LONGCLICK:30.0%\n//  PRESSKEY:40.0%\n",
                {100, 200, 300, 400, 0}},
        MixCase{"GivenHundredLeavesUnsetKindsAtZero", "HWKEY_ENABLE=1\n", {60, 40, kUnset, kUnset},
                "//  TOUCH:60.0%\n//  MOTION:40.0%\n//  LONGCLICK:0.0%\n//  PRESSKEY:0.0%\n",
                {600, 400, 0, 0, 0}},
        MixCase{"UnderHundredLeavesDrawsInNoBand", "HWKEY_ENABLE=0\n", {50, 20, 10, kUnset},
                "//  TOUCH:50.0%\n//  MOTION:20.0%\n//  LONGCLICK:10.0%\n//  PRESSKEY:0.0%\n",
                {500, 200, 100, 0, 200}}),
    [](const ::testing::TestParamInfo<MixCase>& p) { return std::string(p.param.name); });

struct RefusalCase {
    const char* name;
    std::array<float, 4> given;
    friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class MixRefusalTest : public SourceTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(MixRefusalTest, EndsWithStatusOneAndWritesNothing)
{
    Profile("HWKEY_ENABLE=1\nHWKEY_POWER=116\n");
    const RefusalCase& c = GetParam();
    int st = InSandbox([&c]() {
        MonkeySourceRandom src;
        src.setVerbose(1);
        for (int i = 0; i < FACTORZ_COUNT; ++i) {
            if (!isnan(c.given[i]))
                src.setFactors(i, -c.given[i]);
        }
        src.adjustEventFactors();
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << "status " << st << "\n" << Out();
    EXPECT_EQ("", Out());
    EXPECT_EQ("", Err());
    EXPECT_FALSE(HasResults()) << MainLog();
}

INSTANTIATE_TEST_SUITE_P(
    Mix, MixRefusalTest,
    ::testing::Values(RefusalCase{"TouchAboveHundred", {101, kUnset, kUnset, kUnset}},
                      RefusalCase{"TwoGivenAboveHundred", {60, kUnset, 50, kUnset}},
                      RefusalCase{"AllFourTotallingNinetyNine", {25, 25, 25, 24}}),
    [](const ::testing::TestParamInfo<RefusalCase>& p) { return std::string(p.param.name); });

TEST_F(SourceTest, QuietRunPrintsNoPercentages)
{
    Profile(kKeysProfile);
    Check([]() {
        MonkeySourceRandom src;
        src.setVerbose(0);
        EXPECT_TRUE(src.adjustEventFactors());
    });
    EXPECT_EQ(std::string::npos, MainLog().find("Event percentages")) << MainLog();
}

// ------------------------------------------------------- draws and events

struct DrawCase {
    const char* name;
    std::vector<int> script;
    int calls;          // rand() calls the event takes
    Pointer expected;   // every field, unset ones 0
    const char* debug;  // its DEBUG message, "" for none
    friend void PrintTo(const DrawCase& c, std::ostream* os) { *os << c.name; }
};

class DrawTest : public SourceTest, public ::testing::WithParamInterface<DrawCase> {};

TEST_P(DrawTest, TakesItsDrawsInOrderAndLogsTheEvent)
{
    const DrawCase& c = GetParam();
    Profile(kKeysProfile);
    Check([&c]() {
        MonkeySourceRandom src;
        src.adjustEventFactors();
        // A tail the event must not reach: it would show as a changed field
        // or call count if the source took a draw too many.
        std::vector<int> script = c.script;
        script.insert(script.end(), {kDrawTouch, 7, 7, 7, 7});
        RandScript(script);
        Pointer got = src.getNextEvent();
        EXPECT_EQ(c.expected, got);
        EXPECT_EQ(c.calls, RandCalls());
    });
    std::vector<std::string> lines = Messages(WithoutEcho(Out(), MainLog()), "[DEBUG][generatePointerEvent]");
    if (c.debug[0] == '\0') {
        EXPECT_TRUE(lines.empty()) << Out();
    } else {
        ASSERT_EQ(1u, lines.size()) << Out();
        EXPECT_EQ(c.debug, lines[0]);
    }
}

// 800 x 480, grid 20: column 3, row 2, offsets 5 and 7 make the point (65, 47).
INSTANTIATE_TEST_SUITE_P(
    Source, DrawTest,
    ::testing::Values(
        DrawCase{"TouchClick", {kDrawTouch, 3, 2, 5, 7}, 5, {65, 47, 0, 0, 0, 0, 0, 0}, "touch:x:65 y:47"},
        DrawCase{"LongClick", {kDrawLong, 3, 2, 5, 7}, 5, {65, 47, 0, 0, 0, 800, 2, 0},
                 "longclick: x:65 y:47 duration:800"},
        // The grid point is drawn and ignored; the four ends follow it.
        DrawCase{"Swipe", {kDrawSwipe, 3, 2, 5, 7, 10, 20, 30, 40}, 9, {10, 20, 30, 40, 5, 75000, 1, 0},
                 "swipe:x:10 y:20 x1:30 y1:40 step:5 duration:75000"},
        // Draws reduce modulo the range: 800 * 3 + 799 is column 799.
        DrawCase{"SwipeEndsReduceModuloTheScreen", {kDrawSwipe, 0, 0, 0, 0, 3199, 480 + 1, 800, 479},
                 9, {799, 1, 0, 479, 5, 75000, 1, 0}, "swipe:x:799 y:1 x1:0 y1:479 step:5 duration:75000"},
        DrawCase{"SwipeOfLengthZeroMovesItsEnd", {kDrawSwipe, 0, 0, 0, 0, 799, 479, 799, 479}, 9,
                 {799, 479, 809, 489, 5, 75000, 1, 0},
                 "swipe:x:799 y:479 x1:809 y1:489 step:5 duration:75000"},
        DrawCase{"SwipeEndOffByOnePixelStays", {kDrawSwipe, 0, 0, 0, 0, 799, 479, 799, 478}, 9,
                 {799, 479, 799, 478, 5, 75000, 1, 0},
                 "swipe:x:799 y:479 x1:799 y1:478 step:5 duration:75000"},
        // The key index is the sixth draw, after the four grid draws.
        DrawCase{"KeyPressAfterTheGridDraws", {kDrawKey, 3, 2, 5, 7, 1}, 6, {0, 0, 0, 0, 0, 0, 3, 116}, ""},
        DrawCase{"KeyIndexReducesModuloTheTable", {kDrawKey, 3, 2, 5, 7, 4}, 6, {0, 0, 0, 0, 0, 0, 3, 115},
                 ""}),
    [](const ::testing::TestParamInfo<DrawCase>& p) { return std::string(p.param.name); });

TEST_F(SourceTest, EachCallHandsOutAFreshEventAndEmptiesTheQueue)
{
    Profile(kKeysProfile);
    Check([]() {
        MonkeySourceRandom src;
        src.adjustEventFactors();
        RandScript({kDrawTouch, 1, 1, 0, 0, kDrawLong, 2, 2, 0, 0});
        Pointer first = src.getNextEvent();
        EXPECT_EQ(5, RandCalls());
        Pointer second = src.getNextEvent();
        EXPECT_EQ(10, RandCalls());
        EXPECT_EQ((Pointer{20, 20, 0, 0, 0, 0, 0, 0}), first);
        EXPECT_EQ((Pointer{40, 40, 0, 0, 0, 800, 2, 0}), second);
    });
}

// ------------------------------------------------------------ grid bounds

struct GridCase {
    unsigned width, height;
    const char* grid;  // SCREEN_BASIC_SIZE value, nullptr for none
    int maxX, maxY;    // the last pixel of the last whole cell
};

void PrintTo(const GridCase& c, std::ostream* os)
{
    *os << c.width << "x" << c.height << " grid " << (c.grid ? c.grid : "(none)");
}

class GridTest : public SourceTest, public ::testing::WithParamInterface<GridCase> {};

TEST_P(GridTest, PointsStayInWholeCells)
{
    const GridCase& c = GetParam();
    FbAnswer(c.width, c.height);
    Profile(std::string(kKeysProfile) + (c.grid ? std::string("SCREEN_BASIC_SIZE=") + c.grid + "\n" : ""));
    Check([&c]() {
        MonkeySourceRandom src;
        EXPECT_TRUE(src.checkConfig());
        EXPECT_EQ(static_cast<int>(c.width), src.getWidth());
        EXPECT_EQ(static_cast<int>(c.height), src.getHigth());
        src.adjustEventFactors();
        int grid = c.grid ? atoi(c.grid) : 20;
        int cols = static_cast<int>(c.width) / grid;
        int rows = static_cast<int>(c.height) / grid;
        // The largest draws reach the last pixel of the last whole cell, for
        // clicks and long clicks alike; a multiple of the range is added so
        // that a missing reduction shows.
        for (int kindDraw : {kDrawTouch, kDrawLong}) {
            RandScript({kindDraw, 1000 * cols + cols - 1, 1000 * rows + rows - 1, 1000 * grid + grid - 1,
                        grid - 1});
            Pointer far = src.getNextEvent();
            EXPECT_EQ(c.maxX, far.x);
            EXPECT_EQ(c.maxY, far.y);
            RandScript({kindDraw, 0, 0, 0, 0});
            Pointer near = src.getNextEvent();
            EXPECT_EQ(0, near.x);
            EXPECT_EQ(0, near.y);
        }
        // And over a long run of ordinary draws nothing leaves the screen.
        RandScript({});
        srand(12345);
        for (int i = 0; i < 3000; ++i) {
            Pointer e = src.getNextEvent();
            if (e.eventTye == FACTOR_TOUCH || e.eventTye == FACTOR_LONGCLICK) {
                ASSERT_TRUE(e.x >= 0 && e.x <= c.maxX && e.y >= 0 && e.y <= c.maxY)
                    << "event " << i << ": (" << e.x << "," << e.y << ")";
            } else if (e.eventTye == FACTOR_MOTION) {
                ASSERT_TRUE(e.x >= 0 && e.x < static_cast<int>(c.width) && e.y >= 0 &&
                            e.y < static_cast<int>(c.height) && e.x1 >= 0 &&
                            e.x1 < static_cast<int>(c.width) + 10 && e.y1 >= 0 &&
                            e.y1 < static_cast<int>(c.height) + 10)
                    << "event " << i;
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Source, GridTest,
                         ::testing::Values(GridCase{800, 480, "20", 799, 479},
                                           GridCase{800, 480, "30", 779, 479},
                                           GridCase{810, 490, nullptr, 799, 479},
                                           GridCase{810, 490, "1", 809, 489},
                                           GridCase{1024, 600, "7", 1021, 594},
                                           GridCase{480, 800, "480", 479, 479}));

// -------------------------------------------------------------- key table

struct KeyTableCase {
    const char* name;
    const char* keys;          // profile lines
    std::vector<int> codes;    // the table, in order
    friend void PrintTo(const KeyTableCase& c, std::ostream* os) { *os << c.name; }
};

class KeyTableTest : public SourceTest, public ::testing::WithParamInterface<KeyTableCase> {};

TEST_P(KeyTableTest, HoldsTheNonZeroKeysInTableOrder)
{
    const KeyTableCase& c = GetParam();
    Profile(std::string("HWKEY_ENABLE=1\n") + c.keys);
    Check([&c]() {
        MonkeySourceRandom src;
        src.adjustEventFactors();
        EXPECT_EQ(!c.codes.empty(), src.canDraw(FACTOR_PRESSKEY));
        if (c.codes.empty())
            return;
        // Index i and i + size pick the same entry.
        int n = static_cast<int>(c.codes.size());
        std::vector<int> got;
        for (int i = 0; i < 2 * n; ++i) {
            RandScript({kDrawKey, 0, 0, 0, 0, i});
            Pointer e = src.getNextEvent();
            EXPECT_EQ(FACTOR_PRESSKEY, e.eventTye);
            got.push_back(e.code);
        }
        std::vector<int> want = c.codes;
        want.insert(want.end(), c.codes.begin(), c.codes.end());
        EXPECT_EQ(want, got);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Source, KeyTableTest,
    ::testing::Values(
        KeyTableCase{"ZeroCodeIsDropped", "HWKEY_POWER=116\nHWKEY_HOME=0\n", {116}},
        KeyTableCase{"NegativeCodeStays", "HWKEY_BACK=-3\n", {-3}},
        KeyTableCase{"TextReadsAsZeroAndIsDropped", "HWKEY_VOL_UP=abc\nHWKEY_MUTE=113\n", {113}},
        KeyTableCase{"AllNineInTableOrderWhateverTheFileOrder",
                     "HWKEY_BACK=9\nHWKEY_MEDIA=8\nHWKEY_MUTE=7\nHWKEY_NVI=6\nHWKEY_RADIO=5\n"
                     "HWKEY_HOME=4\nHWKEY_POWER=3\nHWKEY_VOL_DOWN=2\nHWKEY_VOL_UP=1\n",
                     {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        KeyTableCase{"NoKeysAtAll", "", {}}),
    [](const ::testing::TestParamInfo<KeyTableCase>& p) { return std::string(p.param.name); });

// --------------------------------------------------------- empty draws

TEST_F(SourceTest, DrawPastTheMixIsDrawnAgain)
{
    Profile("HWKEY_ENABLE=0\n");
    Check([]() {
        MonkeySourceRandom src;
        src.setFactors(FACTOR_TOUCH, -50);
        src.setFactors(FACTOR_MOTION, -20);
        src.setFactors(FACTOR_LONGCLICK, -10);
        src.adjustEventFactors();
        // 0.900 lies beyond the last threshold (0.8): one draw, no event.
        RandScript({900, kDrawTouch, 1, 1, 0, 0});
        EXPECT_EQ((Pointer{20, 20, 0, 0, 0, 0, 0, 0}), src.getNextEvent());
        EXPECT_EQ(6, RandCalls());
    });
}

TEST_F(SourceTest, KeyPressWithoutKeysIsDrawnAgain)
{
    Profile("HWKEY_ENABLE=1\n");
    Check([]() {
        MonkeySourceRandom src;
        src.adjustEventFactors();
        // The key kind still takes its four grid draws, but no key draw.
        RandScript({kDrawKey, 9, 9, 9, 9, kDrawTouch, 1, 1, 0, 0});
        EXPECT_EQ((Pointer{20, 20, 0, 0, 0, 0, 0, 0}), src.getNextEvent());
        EXPECT_EQ(10, RandCalls());
    });
}

TEST_F(SourceTest, NothingDrawableGivesAnEventOfKindMinusOne)
{
    // Only key presses, and no key in the profile.
    Profile("HWKEY_ENABLE=1\n");
    Check([]() {
        MonkeySourceRandom src;
        src.setFactors(FACTOR_PRESSKEY, -100);
        src.adjustEventFactors();
        for (int kind = 0; kind < FACTORZ_COUNT; ++kind)
            EXPECT_FALSE(src.canDraw(kind)) << "kind " << kind;
        srand(7);
        EXPECT_EQ((Pointer{0, 0, 0, 0, 0, 0, -1, 0}), src.getNextEvent());
        EXPECT_EQ((Pointer{0, 0, 0, 0, 0, 0, -1, 0}), src.getNextEvent());
    });
}

// ------------------------------------------------------- configuration

enum class Fb { Missing, NotAFrameBuffer, Answers };

struct ConfigCase {
    const char* name;
    Fb fb;
    unsigned width, height;
    const char* grid;     // SCREEN_BASIC_SIZE value, nullptr for none
    const char* message;  // "" when the configuration is usable
    friend void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }
};

class ConfigTest : public SourceTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigTest, RefusesWhatWouldBreakTheDrawsAndNeverTraps)
{
    const ConfigCase& c = GetParam();
    if (c.fb == Fb::Missing) {
        ASSERT_EQ(0, unlink(sb_->path("/dev/fb0").c_str()));
    }
    if (c.fb == Fb::NotAFrameBuffer)
        FbForward();
    else
        FbAnswer(c.width, c.height);
    Profile(std::string(kKeysProfile) + (c.grid ? std::string("SCREEN_BASIC_SIZE=") + c.grid + "\n" : ""));
    const bool usable = c.message[0] == '\0';
    Check([usable]() {
        MonkeySourceRandom src;
        EXPECT_EQ(usable, src.checkConfig());
        src.adjustEventFactors();
        // Whatever the configuration, drawing must not divide by zero or
        // read outside the key table.
        srand(99);
        for (int kind = -1; kind <= FACTORZ_COUNT; ++kind)
            src.generatePointerEvent(kind);
        for (int i = 0; i < 200; ++i)
            src.getNextEvent();
    });
    if (usable) {
        EXPECT_EQ("", Err());
        EXPECT_EQ(std::string::npos, MainLog().find("tapfuzz:")) << MainLog();
    } else {
        EXPECT_EQ(std::string(c.message) + "\n", Err());
        std::vector<std::string> info = Messages(MainLog(), "[INFO]");
        ASSERT_EQ(1u, info.size()) << MainLog();
        EXPECT_EQ(c.message, info[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Source, ConfigTest,
    ::testing::Values(
        ConfigCase{"NoFrameBuffer", Fb::Missing, 0, 0, nullptr,
                   "tapfuzz: cannot read the screen size from /dev/fb0: No such file or directory"},
        ConfigCase{"FrameBufferIsNoFrameBuffer", Fb::NotAFrameBuffer, 0, 0, nullptr,
                   "tapfuzz: cannot read the screen size from /dev/fb0: Inappropriate ioctl for device"},
        ConfigCase{"ZeroWidth", Fb::Answers, 0, 480, nullptr,
                   "tapfuzz: cannot read the screen size from /dev/fb0: it reports 0 x 480"},
        ConfigCase{"ZeroHeight", Fb::Answers, 800, 0, "20",
                   "tapfuzz: cannot read the screen size from /dev/fb0: it reports 800 x 0"},
        ConfigCase{"GridZero", Fb::Answers, 800, 480, "0", "tapfuzz: SCREEN_BASIC_SIZE 0 is outside 1..480"},
        ConfigCase{"GridNotANumber", Fb::Answers, 800, 480, "abc",
                   "tapfuzz: SCREEN_BASIC_SIZE 0 is outside 1..480"},
        ConfigCase{"GridNegative", Fb::Answers, 800, 480, "-20",
                   "tapfuzz: SCREEN_BASIC_SIZE -20 is outside 1..480"},
        ConfigCase{"GridOneBeyondTheShorterSide", Fb::Answers, 800, 480, "481",
                   "tapfuzz: SCREEN_BASIC_SIZE 481 is outside 1..480"},
        ConfigCase{"GridOfTheShorterSide", Fb::Answers, 800, 480, "480", ""},
        ConfigCase{"GridOne", Fb::Answers, 800, 480, "1", ""},
        ConfigCase{"GridDefault", Fb::Answers, 800, 480, nullptr, ""}),
    [](const ::testing::TestParamInfo<ConfigCase>& p) { return std::string(p.param.name); });

}  // namespace
