// Problem: the event source must split draws exactly as its single-precision
// mix says, draw in a fixed order, stay on the screen's grid and survive a
// bad profile or frame buffer.
// Solution: this executable brings its own rand() (a script of draws, then
// the C library's) and ioctl() (a frame buffer of the test's size); each case
// builds the source in a sandbox whose /dev/fb0 is a plain file.
#include <dlfcn.h>
#include <errno.h>
#include <linux/fb.h>
#include <math.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <array>
#include <deque>

#include "GeneratorEvent.h"
#include "sandboxed_case.h"

// Set before the sandbox forks; the child draws on its own copy.
static std::deque<int> gScript;  // rand() hands these out first
static int gCalls;               // rand() calls since the last Script()
static int gFbX, gFbY;           // the screen /dev/fb0 reports; gFbX < 0: it answers ENOTTY

extern "C" int rand(void) noexcept
{
    ++gCalls;
    if (gScript.empty()) {
        static auto next = reinterpret_cast<int (*)(void)>(dlsym(RTLD_NEXT, "rand"));
        return next();
    }
    int v = gScript.front();
    gScript.pop_front();
    return v;
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == FBIOGET_VSCREENINFO) {
        if (gFbX < 0)
            return errno = ENOTTY, -1;
        auto* info = static_cast<fb_var_screeninfo*>(arg);
        memset(info, 0, sizeof *info);
        info->xres = info->xres_virtual = static_cast<unsigned>(gFbX);
        info->yres = info->yres_virtual = static_cast<unsigned>(gFbY);
        return 0;
    }
    static auto next = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, arg);
}

namespace {

void Script(const std::vector<int>& draws)
{
    gScript.assign(draws.begin(), draws.end());
    gCalls = 0;
}

// First draws (rand() % 1000) inside each kind's band of the default mix with
// keys (cumulative 0.35, 0.65, 0.95, 1.0).
const int kTouch = 100, kSwipe = 500, kLong = 900, kKey = 970;
const char kOn[] = "HWKEY_ENABLE=1\n", kOff[] = "HWKEY_ENABLE=0\n";
const char kKeysProfile[] = "HWKEY_ENABLE=1\nHWKEY_VOL_UP=115\nHWKEY_POWER=116\n";
const float U = NAN;  // a kind the user left unset

using Given = std::array<float, 4>;
using Fields = std::array<int, 8>;  // x, y, x1, y1, step, duration, kind, code

Fields F(const Pointer& p)
{
    return {p.x, p.y, p.x1, p.y1, p.step, p.duration, p.eventTye, p.code};
}

// The run's order: the user's percentages, negated, then one adjustment.
void SetMix(RandomEventSource& src, const Given& given)
{
    for (int i = 0; i < FACTORZ_COUNT; ++i)
        if (!isnan(given[i]))
            src.setFactors(i, -given[i]);
    EXPECT_TRUE(src.adjustEventFactors());
}

class SourceTest : public SandboxedCase {
protected:
    void SetUp() override
    {
        SandboxedCase::SetUp();
        gFbX = 800, gFbY = 480;
        ASSERT_TRUE(IsSkipped() || Sandbox::WriteFile(sb_.path("/dev/fb0"), ""));
    }
};

struct MixCase {
    const char* name;
    const char* plate;          // HWKEY_ENABLE line, or ""
    Given given;
    const char* printout;       // TOUCH, MOTION, LONGCLICK, PRESSKEY; nullptr: refused
    std::array<int, 5> split;   // of the 1000 draws: the four kinds, then none
    friend void PrintTo(const MixCase& c, std::ostream* os) { *os << c.name; }
};

class MixTest : public SourceTest, public ::testing::WithParamInterface<MixCase> {};

TEST_P(MixTest, SplitsTheThousandDrawsAndPrintsThePercentagesOrRefuses)
{
    const MixCase& c = GetParam();
    const bool refused = c.printout == nullptr;
    // A key in every profile, so the key band is drawable whenever it has room.
    Profile(std::string(c.plate) + "HWKEY_POWER=116\n");
    Check([&c, refused]() {
        RandomEventSource src;
        src.setVerbose(1);
        SetMix(src, c.given);
        if (refused)
            return;  // with status 0, not the 1 of a refusal
        std::array<int, 5> split = {0, 0, 0, 0, 0};
        for (int draw = 0; draw < 1000; ++draw) {
            Script({draw, 0, 0, 0, 0, 0, 0, 0, 0});
            src.generateEvent();
            ++split[gCalls == 1 ? 4 : src.getNextEvent().eventTye];
        }
        EXPECT_EQ(c.split, split);
        for (int kind = 0; kind < FACTORZ_COUNT; ++kind)
            EXPECT_EQ(c.split[kind] > 0, src.canDraw(kind)) << "kind " << kind;
    }, refused ? 1 : 0);
    if (refused) {
        EXPECT_EQ("", Out() + Err());
        EXPECT_NE(0, access(sb_.path("results").c_str(), F_OK)) << MainLog();
        return;
    }
    std::istringstream pct(c.printout);
    std::string want = "[INFO]\n//  Event percentages\n", p;
    for (const char* kind : {"TOUCH", "MOTION", "LONGCLICK", "PRESSKEY"}) {
        pct >> p;
        want += std::string("//  ") + kind + ":" + p + "%\n";
    }
    EXPECT_NE(std::string::npos, MainLog().find(want)) << want << "---\n" << MainLog();
}

INSTANTIATE_TEST_SUITE_P(
    Mix, MixTest,
    ::testing::Values(
        // 0.4 + 0.3 in single precision lies just above the draw 0.700.
        MixCase{"DefaultsWithoutKeySetting", "", {U, U, U, U}, "40.0 30.0 30.0 0.0", {400, 301, 299, 0, 0}},
        MixCase{"DefaultsWithKeys", kOn, {U, U, U, U}, "35.0 30.0 30.0 5.0", {350, 300, 300, 50, 0}},
        MixCase{"TouchFiftyScalesTheRest", kOn, {50, U, U, U}, "50.0 23.1 23.1 3.8", {500, 231, 231, 38, 0}},
        MixCase{"TouchZeroIsUnsetWithWeightZero", kOn, {0, U, U, U}, "0.0 46.2 46.2 7.7", {0, 462, 462, 76, 0}},
        MixCase{"AllFourTotallingHundred", kOff, {10, 20, 30, 40}, "10.0 20.0 30.0 40.0", {100, 200, 300, 400, 0}},
        MixCase{"GivenHundredLeavesUnsetAtZero", kOn, {60, 40, U, U}, "60.0 40.0 0.0 0.0", {600, 400, 0, 0, 0}},
        MixCase{"UnderHundredLeavesNoBand", kOff, {50, 20, 10, U}, "50.0 20.0 10.0 0.0", {500, 200, 100, 0, 200}},
        MixCase{"TouchAboveHundred", kOn, {101, U, U, U}, nullptr, {}},
        MixCase{"TwoGivenAboveHundred", kOn, {60, U, 50, U}, nullptr, {}},
        MixCase{"AllFourTotallingNinetyNine", kOn, {25, 25, 25, 24}, nullptr, {}}),
    [](const ::testing::TestParamInfo<MixCase>& p) { return std::string(p.param.name); });

struct DrawCase {
    const char* name;
    std::vector<int> script;  // every draw the event takes
    Fields event;
    const char* debug;        // its DEBUG message, "" for none
    friend void PrintTo(const DrawCase& c, std::ostream* os) { *os << c.name; }
};

class DrawTest : public SourceTest, public ::testing::WithParamInterface<DrawCase> {};

TEST_P(DrawTest, TakesItsDrawsInOrderAndLogsTheEvent)
{
    const DrawCase& c = GetParam();
    Profile(kKeysProfile);
    Check([&c]() {
        RandomEventSource src;
        src.adjustEventFactors();
        // A touch click scripted behind the event shows a draw too many or too
        // few, and an event left in the queue.
        Script(c.script);
        gScript.insert(gScript.end(), {kTouch, 7, 7, 7, 7});
        EXPECT_EQ(c.event, F(src.getNextEvent()));
        EXPECT_EQ((Fields{147, 147, 0, 0, 0, 0, 0, 0}), F(src.getNextEvent()));
        EXPECT_EQ(static_cast<int>(c.script.size()) + 5, gCalls);
    });
    std::vector<std::string> want = {"touch:x:147 y:147"};
    if (c.debug[0] != '\0')
        want.insert(want.begin(), c.debug);
    EXPECT_EQ(want, Messages("[DEBUG][generatePointerEvent]")) << Out();
    // The mix is printed only for a verbose run.
    EXPECT_EQ(std::string::npos, MainLog().find("Event percentages")) << MainLog();
}

// 800 x 480, grid 20: column 3, row 2, offsets 5 and 7 make the point (65, 47).
INSTANTIATE_TEST_SUITE_P(
    Source, DrawTest,
    ::testing::Values(
        DrawCase{"TouchClick", {kTouch, 3, 2, 5, 7}, {65, 47, 0, 0, 0, 0, 0, 0}, "touch:x:65 y:47"},
        DrawCase{"LongClick", {kLong, 3, 2, 5, 7}, {65, 47, 0, 0, 0, 800, 2, 0}, "longclick: x:65 y:47 duration:800"},
        // The grid point is drawn and ignored; the four ends follow it.
        DrawCase{"Swipe", {kSwipe, 3, 2, 5, 7, 10, 20, 30, 40}, {10, 20, 30, 40, 5, 75000, 1, 0},
                 "swipe:x:10 y:20 x1:30 y1:40 step:5 duration:75000"},
        // Draws reduce modulo the range: 800 * 3 + 799 is column 799.
        DrawCase{"SwipeEndsReduceModuloTheScreen", {kSwipe, 0, 0, 0, 0, 3199, 481, 800, 479},
                 {799, 1, 0, 479, 5, 75000, 1, 0}, "swipe:x:799 y:1 x1:0 y1:479 step:5 duration:75000"},
        DrawCase{"SwipeOfLengthZeroMovesItsEnd", {kSwipe, 0, 0, 0, 0, 799, 479, 799, 479},
                 {799, 479, 809, 489, 5, 75000, 1, 0}, "swipe:x:799 y:479 x1:809 y1:489 step:5 duration:75000"},
        DrawCase{"SwipeEndOffByOnePixelStays", {kSwipe, 0, 0, 0, 0, 799, 479, 799, 478},
                 {799, 479, 799, 478, 5, 75000, 1, 0}, "swipe:x:799 y:479 x1:799 y1:478 step:5 duration:75000"},
        // The key index is the sixth draw, after the four grid draws.
        DrawCase{"KeyPressAfterTheGridDraws", {kKey, 3, 2, 5, 7, 1}, {0, 0, 0, 0, 0, 0, 3, 116}, ""}),
    [](const ::testing::TestParamInfo<DrawCase>& p) { return std::string(p.param.name); });

const int kNoNode = -2, kNoAnswer = -1;  // frame buffer width: no /dev/fb0, or no answer to the query
const std::string kFb = "tapfuzz: cannot read the screen size from /dev/fb0: ";

struct ScreenCase {
    const char* name;
    int width, height;
    const char* grid;     // SCREEN_BASIC_SIZE, nullptr for none
    int maxX, maxY;       // the last pixel of the last whole cell
    std::string refusal;  // checkConfig's message, "" when usable
    friend void PrintTo(const ScreenCase& c, std::ostream* os) { *os << c.name; }
};

class ScreenTest : public SourceTest, public ::testing::WithParamInterface<ScreenCase> {};

TEST_P(ScreenTest, KeepsPointsInWholeCellsOrRefusesTheScreen)
{
    const ScreenCase& c = GetParam();
    ASSERT_TRUE(c.width != kNoNode || unlink(sb_.path("/dev/fb0").c_str()) == 0);
    gFbX = c.width, gFbY = c.height;
    Profile(std::string(kKeysProfile) + (c.grid ? std::string("SCREEN_BASIC_SIZE=") + c.grid + "\n" : ""));
    const bool usable = c.refusal.empty();
    Check([&c, usable]() {
        RandomEventSource src;
        EXPECT_EQ(usable, src.checkConfig());
        src.adjustEventFactors();
        if (usable) {
            EXPECT_EQ(c.width, src.getWidth());
            EXPECT_EQ(c.height, src.getHigth());
            int grid = c.grid ? atoi(c.grid) : 20, cols = c.width / grid, rows = c.height / grid;
            // The largest draws (plus a multiple of their range, so that a
            // missing reduction shows) reach the far corner, the smallest 0.
            for (int kind : {kTouch, kLong}) {
                Script({kind, 1000 * cols + cols - 1, 1000 * rows + rows - 1, 1000 * grid + grid - 1, grid - 1,
                        kind, 0, 0, 0, 0});
                Pointer far = src.getNextEvent(), near = src.getNextEvent();
                EXPECT_EQ((std::array<int, 4>{c.maxX, c.maxY, 0, 0}),
                          (std::array<int, 4>{far.x, far.y, near.x, near.y}));
            }
        }
        // Whatever the screen, drawing must not divide by zero or read outside
        // the key table.
        srand(99);
        for (int kind = -1; kind <= FACTORZ_COUNT; ++kind)
            src.generatePointerEvent(kind);
        for (int i = 0; i < 200; ++i)
            src.getNextEvent();
    });
    EXPECT_EQ(usable ? "" : c.refusal + "\n", Err());
    EXPECT_EQ(usable ? std::vector<std::string>{} : std::vector<std::string>{c.refusal}, Messages("[INFO]"))
        << MainLog();
}

INSTANTIATE_TEST_SUITE_P(
    Source, ScreenTest,
    ::testing::Values(
        ScreenCase{"NoFrameBuffer", kNoNode, 0, nullptr, 0, 0, kFb + "No such file or directory"},
        ScreenCase{"NotAFrameBuffer", kNoAnswer, 0, nullptr, 0, 0, kFb + "Inappropriate ioctl for device"},
        ScreenCase{"ZeroWidth", 0, 480, nullptr, 0, 0, kFb + "it reports 0 x 480"},
        ScreenCase{"ZeroHeight", 800, 0, "20", 0, 0, kFb + "it reports 800 x 0"},
        ScreenCase{"GridZero", 800, 480, "0", 0, 0, "tapfuzz: SCREEN_BASIC_SIZE 0 is outside 1..480"},
        ScreenCase{"GridNegative", 480, 800, "-20", 0, 0, "tapfuzz: SCREEN_BASIC_SIZE -20 is outside 1..480"},
        ScreenCase{"GridPastTheShorterSide", 800, 480, "481", 0, 0, "tapfuzz: SCREEN_BASIC_SIZE 481 is outside 1..480"},
        ScreenCase{"Grid20", 800, 480, "20", 799, 479, ""},
        ScreenCase{"Grid30LeavesAStrip", 800, 480, "30", 779, 479, ""},
        ScreenCase{"DefaultGridIs20", 810, 490, nullptr, 799, 479, ""},
        ScreenCase{"GridOneReachesEveryPixel", 810, 490, "1", 809, 489, ""},
        ScreenCase{"Grid7", 1024, 600, "7", 1021, 594, ""},
        ScreenCase{"GridOfTheShorterSide", 480, 800, "480", 479, 479, ""}),
    [](const ::testing::TestParamInfo<ScreenCase>& p) { return std::string(p.param.name); });

struct KeyTableCase {
    const char* name;
    const char* keys;        // profile lines
    std::vector<int> codes;  // the table, in order
    friend void PrintTo(const KeyTableCase& c, std::ostream* os) { *os << c.name; }
};

class KeyTableTest : public SourceTest, public ::testing::WithParamInterface<KeyTableCase> {};

TEST_P(KeyTableTest, HoldsTheNonZeroKeysInTableOrder)
{
    const KeyTableCase& c = GetParam();
    Profile(std::string(kOn) + c.keys);
    Check([&c]() {
        RandomEventSource src;
        src.adjustEventFactors();
        EXPECT_EQ(!c.codes.empty(), src.canDraw(FACTOR_PRESSKEY));
        // Key draws i and i + size pick the same entry.
        std::vector<int> want = c.codes, got;
        want.insert(want.end(), c.codes.begin(), c.codes.end());
        for (size_t i = 0; i < want.size(); ++i) {
            Script({kKey, 0, 0, 0, 0, static_cast<int>(i)});
            got.push_back(src.getNextEvent().code);
        }
        EXPECT_EQ(want, got);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Source, KeyTableTest,
    ::testing::Values(KeyTableCase{"ZeroCodeIsDropped", "HWKEY_POWER=116\nHWKEY_HOME=0\n", {116}},
                      KeyTableCase{"NegativeCodeStays", "HWKEY_BACK=-3\n", {-3}},
                      KeyTableCase{"TextReadsAsZeroAndIsDropped", "HWKEY_VOL_UP=abc\nHWKEY_MUTE=113\n", {113}},
                      KeyTableCase{"AllNineInTableOrderWhateverTheFileOrder",
                                   "HWKEY_BACK=9\nHWKEY_MEDIA=8\nHWKEY_MUTE=7\nHWKEY_NVI=6\nHWKEY_RADIO=5\n"
                                   "HWKEY_HOME=4\nHWKEY_POWER=3\nHWKEY_VOL_DOWN=2\nHWKEY_VOL_UP=1\n",
                                   {1, 2, 3, 4, 5, 6, 7, 8, 9}},
                      KeyTableCase{"NoKeysAtAll", "", {}}),
    [](const ::testing::TestParamInfo<KeyTableCase>& p) { return std::string(p.param.name); });

TEST_F(SourceTest, EmptyDrawsAreDrawnAgainUntilNothingCanBeDrawn)
{
    Profile(kOn);
    Check([]() {
        RandomEventSource src;
        src.adjustEventFactors();
        // A key press without keys takes its four grid draws, but no key draw.
        Script({kKey, 9, 9, 9, 9, kTouch, 1, 1, 0, 0});
        EXPECT_EQ((Fields{20, 20, 0, 0, 0, 0, 0, 0}), F(src.getNextEvent()));
        EXPECT_EQ(10, gCalls);
        // Only key presses and no key: 1000 empty draws of five calls, then kind -1.
        RandomEventSource keysOnly;
        SetMix(keysOnly, {U, U, U, 100});
        Script({});
        EXPECT_EQ((Fields{0, 0, 0, 0, 0, 0, -1, 0}), F(keysOnly.getNextEvent()));
        EXPECT_EQ(5000, gCalls);
    });
}

}  // namespace
