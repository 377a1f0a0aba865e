// The readers of the command line and of the pause range: one table of
// command lines and profile ranges against what they mean. Each row writes
// the option and pacing globals, so it runs in a sandboxed child. Then the
// drawn pinches, the screen explorer's count on animated frames and the
// shrink's search.
#include "gesture/pinch_path.h"
#include "gesture/random_event_source.h"
#include "gesture/screen_explorer.h"
#include "run/options.h"
#include "run/pacing.h"
#include "run/shrink.h"
#include "sandboxed_case.h"

namespace {

using Options = SandboxedCase;

// The outcome, every global off its initial value, the pauses drawn
// (lowest..highest in microseconds, how many distinct milliseconds) and the INFO lines. A factor
// prints with %g: a percentage of 0 is stored as -0 to mark it as set.
TEST_F(Options, CommandLinesAndPauseRanges)
{
    const std::string k64(64, 'y'), k31 = "100            ,            500", kIgnored = " info=EVENT_INTERVALS_RANGE ",
                      kUnknown = " info=tapfuzz: ignoring unknown argument ";
    const struct { std::vector<std::string> args; std::string expected, range = ""; } cases[] = {
        {{"-v", "-v-v", "1000"}, "accepted count=1000 argc=3 v=3"}, {{"-vv", "1000"}, "refused argc=1" + kUnknown + "'-vv'"},
        {{"1000", "--throttle", "100"}, "refused argc=4 throttle=100000" + kUnknown + "'1000'"},
        {{"-v", "--throttle", "100", "1000"}, "accepted count=1000 argc=4 v=1 throttle=100000"},
        {{"--pct-longclick", "20", "--pct-presskey", "-10", "--pct-touch", "0", "--pct-pinch", "3", "7"}, "accepted count=7 argc=9 touch=-0 longclick=-20 presskey=10 pinch=-3"},
        {{"--hour", "2", "abc"}, "accepted hours=2 seconds=7200 info=process run hour:2" + kUnknown + "'abc'"}, {{"--hour", "0", "1000"}, "refused info=--hour 0 refused: it takes 1 to 596523 hours"},
        {{"--hour", "596523", "x"}, "accepted hours=596523 seconds=2147482800 info=process run hour:596523" + kUnknown + "'x'"},
        {{"--hour", "596524", "x"}, "refused info=--hour 596524 refused: it takes 1 to 596523 hours" + kUnknown + "'x'"},
        {{"0"}, "refused argc=1"}, {{"12abc"}, "accepted count=12 argc=1"},
        {{"16777217"}, "accepted count=16777216 argc=1"}, {{"99999999999"}, "accepted count=2147483647 argc=1"},  // through a float, saturated
        {{"--pct-motion"}, "refused info=Please input motion percentage"}, {{"--throttle"}, "refused"}, {{"-h", "100"}, "refused"},
        {{"-a", "--help", "100"}, "refused argc=3 name=--help"}, {{"foo", "--throttle", "10", "100"}, "accepted argc=4 throttle=10000" + kUnknown + "'foo'"},
        // Skipped words are named (escaped, a near long option suggested); the known ones are not.
        {{"--pct-touh", "1\t00", "--throttle", "10", "500"}, "accepted count=500 argc=5 throttle=10000" + kUnknown +
            "'--pct-touh' (did you mean --pct-touch?)" + kUnknown + "'1\\t00'"},
        {{"--throttle", "-5", "1000"}, "accepted count=1000 argc=3 info=negative --throttle -5 ignored: the profile's pause range applies"},
        {{"--throttle", "2147484", "1"}, "accepted count=1 argc=3 throttle=2147483000 info=--throttle 2147484 too large: clamped to 2147483 ms"},
        {{"-a", k64, "5"}, "accepted count=5 argc=3 name=" + k64.substr(0, 63) + " info=application name truncated to 63 characters"},
        {{"1000", "--pct-motion", "--version"}, "version"}, {{"-v", "--version", "-v"}, "version argc=2 v=1"}, {{"--versions", "5"}, "refused argc=1" + kUnknown + "'--versions' (did you mean --version?)"},
        // A range gives every pause from low to high ms; one it cannot take is dropped whole, with the reason logged.
        {{"5"}, "accepted count=5 argc=1 pauses=100000..599000us/500", "100,500"}, {{"5"}, "accepted count=5 argc=1 pauses=100000..199000us/100", "500,100"},
        {{"5"}, "accepted count=5 argc=1 pauses=0..199000us/200", " -50 , 200 "}, {{"5"}, "accepted count=5 argc=1 pauses=0..0us/1", "10,-20"},
        {{"--throttle", "50", "5"}, "accepted count=5 argc=3 throttle=50000 pauses=50000..50000us/1", "100,500"},
        {{"5"}, "accepted count=5 argc=1 pauses=0..0us/1" + kIgnored + "1073742,1073743 ignored: its longest pause of 2147484 ms exceeds 2147483 ms", "1073742,1073743"},
        {{"5"}, "accepted count=5 argc=1 pauses=0..0us/1" + kIgnored + "100500 ignored: no comma between the two figures", "100500"},
        {{"5"}, "accepted count=5 argc=1 pauses=0..0us/1" + kIgnored + "12345678,5 ignored: a figure is longer than 7 characters", "12345678,5"},
        {{"5"}, "accepted count=5 argc=1 pauses=0..0us/1" + kIgnored + k31 + "0 ignored: longer than 31 characters", k31 + "0"},
        // A shrink needs -a and takes --speed; no COUNT, no --replay, its own options only with it.
        {{"-a", "x", "--shrink", "r", "--speed", "0", "--crash", "4", "--hour", "1"}, "accepted argc=3 hours=1 seconds=3600 name=x"},
        {{"-a", "x", "--shrink", "r", "5"}, "refused argc=3 name=x info=--shrink RECORD takes no COUNT" + kUnknown + "'5'"},
        {{"--shrink", "r", "--wait", "2"}, "refused info=--shrink RECORD needs -a appname"},
        {{"-a", "x", "--shrink", "r", "--replay", "r"}, "refused argc=3 name=x info=--shrink RECORD takes no --replay"},
        {{"-a", "x", "--shrink", "r", "--explore"}, "refused argc=6 name=x info=--shrink RECORD takes no --explore"},
        {{"-a", "x", "--shrink", "r", "--tries", "0"}, "refused argc=3 name=x info=--tries takes a number from 1 to 1000000"},
        {{"--crash", "3", "5"}, "refused info=--crash, --tries and --wait go with --shrink RECORD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args) + c.range);
        ForgetLogs();
        Profile(c.range.empty() ? "" : "EVENT_INTERVALS_RANGE=" + c.range + "\n");
        Check([&] {
            CommandLine line(c.args);
            std::string text = preScanOptions(line.argc(), line.argv()) ? "version" : processOptions(line.argc(), line.argv()) ? "accepted" : "refused";
            if (text != "version")
                noteUnknownArguments(line.argc(), line.argv());
            const struct { const char* name; long long value, initial; } fields[] = {{"count", mCount, 100}, {"argc", currentargc, 0},
                {"v", mVerbose, 0}, {"throttle", mThrottle, 0}, {"hours", getRunHours(), 0}, {"seconds", mSeconds, 0}};
            for (const auto& f : fields)
                text += f.value != f.initial ? std::string(" ") + f.name + "=" + std::to_string(f.value) : "";
            const char* kinds[] = {"touch", "motion", "longclick", "presskey", "pinch"};
            for (int i = 0; i < FACTORZ_COUNT; ++i) {
                char factor[32];
                snprintf(factor, sizeof factor, "%g", getOptionFactor(i));
                text += strcmp(factor, "1") != 0 ? std::string(" ") + kinds[i] + "=" + factor : "";
            }
            text += processname[0] != '\0' ? std::string(" name=") + processname : "";
            if (!c.range.empty() && mThrottle == 0)
                parse_event_interval();
            static bool seen[4096];
            long lo = LONG_MAX, hi = LONG_MIN, distinct = 0;
            for (int i = 0; !c.range.empty() && i < 100000; ++i) {
                long pause = get_interval();
                lo = std::min(lo, pause), hi = std::max(hi, pause);
                distinct += pause >= 0 && pause < 4096000 && !seen[pause / 1000] && (seen[pause / 1000] = true);
            }
            text += c.range.empty() ? "" : " pauses=" + std::to_string(lo) + ".." + std::to_string(hi) + "us/" + std::to_string(distinct);
            for (const std::string& m : Messages("[INFO]"))
                text += " info=" + m;
            EXPECT_EQ(c.expected, text);
            setOptionFactor(FACTORZ_COUNT, 5.0f);  // outside the kinds: neither read nor written
            EXPECT_EQ(1.0f, getOptionFactor(-1) * getOptionFactor(FACTORZ_COUNT));
            // Figures stored without the reader's checks still give a pause usleep can take.
            start_time_interval = INT_MIN, end_time_interval = INT_MAX, mThrottle = 0;
            for (int i = 0; i < 1000; ++i)
                EXPECT_TRUE(get_interval() >= 0 && get_interval() <= 2147483000L);
        });
    }
}

// Thousands of drawn pinches (the frame buffer answered by the test's
// shim): both fingers stay on the screen and out of the zones on every
// point of their way, with radii from 20 to a third of the smaller side.
TEST_F(Options, DrawnPinchesStayOnTheScreenAndOutOfTheZones)
{
    ASSERT_TRUE(Sandbox::WriteFile(sb_.path("/dev/fb0"), ""));
    Profile("EXCLUDE_RECTS=100,100,200,150;500,0,120,480\n");
    Check([] {
        setenv("TAPFUZZ_TEST_FB", "800x480", 1);
        RandomEventSource source;
        source.setFactors(FACTOR_PINCH, -100.0f);
        ASSERT_TRUE(source.checkConfig() && source.adjustEventFactors() && source.checkDrawable());
        auto off = [](double x, double y) {
            return x < 0 || x >= 800 || y < 0 || y >= 480 || (x >= 100 && x < 300 && y >= 100 && y < 250) || (x >= 500 && x < 620);
        };
        int radius[2] = {INT_MAX, INT_MIN}, angle[2] = {INT_MAX, INT_MIN};
        for (int n = 0; n < 5000; ++n) {
            const Pointer e = source.getNextEvent();
            // A change of distance that a pinch handler takes for a pinch.
            ASSERT_TRUE(e.eventTye == FACTOR_PINCH && e.step == 10 && e.duration == 300000 && std::abs(e.x1 - e.y1) >= 40);
            for (int f = 0; f < 2; ++f)
                for (int i = 0; i < 10; ++i) {
                    const PinchPoint a = pinchPoint(e, i, f), b = pinchPoint(e, i + 1, f);
                    for (int k = 0; k <= 16; ++k)
                        ASSERT_FALSE(off(a.x + (b.x - a.x) * k / 16.0, a.y + (b.y - a.y) * k / 16.0)) << e.x << "," << e.y << " " << e.x1 << " " << e.y1 << " " << e.code;
                }
            radius[0] = std::min({radius[0], e.x1, e.y1}), radius[1] = std::max({radius[1], e.x1, e.y1});
            angle[0] = std::min(angle[0], e.code), angle[1] = std::max(angle[1], e.code);
        }
        EXPECT_TRUE(radius[0] == 20 && radius[1] > 120 && radius[1] <= 160 && angle[0] == -90 && angle[1] == 90)
            << radius[0] << ".." << radius[1] << " " << angle[0] << ".." << angle[1];
    });
}

// Screens with parts that change by themselves, looked at as a run does
// (a look every 60 ms, a second look's wait 40 ms): a status bar (a clock
// ticking every 500 ms, a bar growing every 100 ms, a block sliding every
// 50 ms) or content moving over the whole screen. The count stays that of
// the screens shown, and a real change (the buttons laid out anew at look
// `changeAt`) is still seen, once.
TEST_F(Options, AnimationMakesNoNewScreens)
{
    ASSERT_TRUE(Sandbox::WriteFile(sb_.path("/dev/fb0"), ""));
    const struct { bool status, moving; int changeAt, screens, noops[2]; } cases[] = {
        {true, false, -1, 1, {97, 100}}, {true, false, 150, 2, {96, 99}}, {false, false, 150, 2, {99, 100}},
        {false, true, -1, 1, {98, 100}}, {true, true, 150, 2, {97, 99}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status * 100 + c.moving * 10 + (c.changeAt > 0));
        Check([&c] {
            setenv("TAPFUZZ_TEST_FB", "320x192x32:1280", 1);
            const int fb = open("/dev/fb0", O_WRONLY | O_CLOEXEC);
            int ms = 0, layout = 0;
            std::vector<uint32_t> px(320 * 192);
            auto paint = [&] {
                auto fill = [&px](int x, int y, int w, int h, uint32_t rgb) {
                    for (int j = y; j < y + h; ++j)
                        std::fill_n(&px[static_cast<size_t>(j * 320 + x)], w, rgb);
                };
                for (int y = 0; y < 192; ++y)  // diagonal stripes, moving 3 px every 20 ms
                    for (int x = 0; x < 320; ++x)
                        px[static_cast<size_t>(y * 320 + x)] = c.moving && (x + y + ms / 20 * 3) % 40 < 12 ? 0x806040 : 0x203040;
                for (int b = 0; b < 3; ++b)
                    fill(20 + 100 * b, 40 + 50 * ((b + layout) % 3), 60, 30, 0x40b040 + 0x200000 * b);
                if (c.status) {
                    for (int d = 0; d < 4; ++d)
                        fill(10 + 16 * d, 4, 12, 14, (ms / 500 + d) % 3 == 0 ? 0xe0e0e0 : 0x0000f0);
                    fill(90, 8, 100, 8, 0x404040), fill(90, 8, ms / 100 % 10 * 10, 8, 0x40e040);
                    fill(200, 4, 110, 14, 0x203040), fill(200 + ms / 50 % 10 * 9, 4, 20, 14, 0xffffff);
                }
                ASSERT_EQ(pwrite(fb, px.data(), px.size() * 4, 0), static_cast<ssize_t>(px.size() * 4));
            };
            ScreenExplorer explorer(8, {}, false, [&] { ms += 40, paint(); });
            std::string why;
            ASSERT_TRUE(explorer.open("/dev/fb0", &why)) << why;
            for (int look = 0; look < 300; ++look, ms += 60) {
                layout = look >= c.changeAt && c.changeAt >= 0;
                paint();
                explorer.look();
            }
            const ScreenFigures f = screenFigures();
            printf("%d cells change by themselves, %lld second looks: %s\n", explorer.volatileCells(),
                   explorer.stillLooks(), screenFiguresText(f).c_str());
            EXPECT_EQ(f.screens, c.screens);
            EXPECT_TRUE(f.noopPercent >= c.noops[0] && f.noopPercent <= c.noops[1]) << f.noopPercent;
            close(fb);
        });
    }
}

// A page whose only way on is a small arrow in a toolbar (a stroke that
// two of a cell's sixteen samples see, leaving the cell's mean the bar's):
// --explore tries the arrow itself within a few touches, where counting the
// arrow as part of the bar left it one touch in hundreds.
TEST_F(Options, SmallControlInABarIsTried)
{
    ASSERT_TRUE(Sandbox::WriteFile(sb_.path("/dev/fb0"), ""));
    Check([] {
        setenv("TAPFUZZ_TEST_FB", "320x200x32:1280", 1);
        const int fb = open("/dev/fb0", O_WRONLY | O_CLOEXEC);
        std::vector<uint32_t> px(320 * 200);
        bool left = false;
        auto paint = [&] {
            std::fill(px.begin(), px.end(), left ? 0x2040a0 : 0xffffff);
            std::fill(px.begin() + 160 * 320, px.end(), 0xdddddd);
            for (int y = 165; y < 175; ++y)
                std::fill_n(&px[static_cast<size_t>(y * 320 + 6)], 3, 0x404040);
            ASSERT_EQ(pwrite(fb, px.data(), px.size() * 4, 0), static_cast<ssize_t>(px.size() * 4));
        };
        ScreenExplorer explorer(20, {}, true, paint);
        explorer.seed(7);
        std::string why;
        ASSERT_TRUE(explorer.open("/dev/fb0", &why)) << why;
        int touches = 0;
        for (; touches < 40 && !left; ++touches) {
            paint();
            explorer.look();
            Pointer e{};
            e.eventTye = FACTOR_TOUCH;
            explorer.place(&e);
            // The arrow answers touches within a few pixels of it.
            left = e.x >= 2 && e.x <= 12 && e.y >= 161 && e.y <= 178;
        }
        printf("the arrow was touched at touch %d\n", touches);
        EXPECT_TRUE(left && touches <= 6) << touches;
        close(fb);
    });
}

// The search against an oracle over index lists: the crash needs every
// gesture of `cause`, and comes only at every `flaky`th try that has them.
// `stopAt`: the try that answers kStop.
TEST(ShrinkSearch, KeepsTheCauseWithinTheTries)
{
    const struct { size_t n; std::vector<size_t> cause; int flaky, maxTries, stopAt; size_t kept; bool minimal; } cases[] = {
        {500, {17, 240, 488}, 1, 200, 0, 3, true}, {300, {5, 6, 7}, 1, 200, 0, 3, true}, {1, {0}, 1, 200, 0, 1, true},
        {300, {100, 200, 299}, 2, 200, 0, 3, true}, {300, {0, 150, 299}, 3, 400, 0, 3, true},
        {300, {1, 2, 3}, 1, 10, 0, 4, false}, {300, {1, 2, 3}, 1, 200, 6, 150, false}, {40, {41}, 1, 200, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n * 1000 + c.flaky);
        int calls = 0, lastSize = -1;
        ShrinkSearch s = shrinkSearch(c.n, c.maxTries, [&](const std::vector<size_t>& list) {
            EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
            ++calls;
            lastSize = static_cast<int>(list.size());
            if (calls == c.stopAt)
                return TryResult::kStop;
            bool all = std::includes(list.begin(), list.end(), c.cause.begin(), c.cause.end());
            return all && calls % c.flaky == 0 ? TryResult::kReproduced : TryResult::kNotReproduced;
        });
        printf("shrink of %zu with a cause of %zu, flaky %d: %zu kept in %d tries\n", c.n, c.cause.size(), c.flaky,
               s.kept.size(), s.tries);
        EXPECT_EQ(s.tries, calls - (c.stopAt != 0 && calls >= c.stopAt));  // the stopped try is not counted
        EXPECT_LE(s.tries, c.maxTries);
        EXPECT_EQ(s.kept.size(), c.kept);
        EXPECT_EQ(s.minimal, c.minimal);
        EXPECT_EQ(s.reproduced, c.kept != 0);
        EXPECT_TRUE(std::includes(s.kept.begin(), s.kept.end(), c.cause.begin(), c.cause.end()) || c.kept == 0);
        EXPECT_TRUE(c.kept != 0 || calls == kShrinkRepeats) << lastSize;
    }
}

// A crash line past the first 256 MB of a record is found, and only the
// gestures up to it and the one under way are taken; the peak memory of
// the reading is printed (the test's own included).
TEST(ShrinkInput, StreamsARecordPast256MB)
{
    const char* path = "shrink-big.events";
    FILE* f = fopen(path, "w");
    ASSERT_NE(f, nullptr);
    fputs("# tapfuzz run record\n# seed:1\n1 0 click 1 1 0\n2 5 key 115 0\n3 9 click 2 2 0\n4 12 click 3 3 0\n#", f);
    const std::string chunk(1 << 20, 'x');
    for (int i = 0; i < 257; ++i)
        fwrite(chunk.data(), 1, chunk.size(), f);
    fputs("\n# crash:./saved/coredump-touchapp-9-2026-01-01_00:00:00 after:2 signature:SIGSEGV,touchapp+0x1c\n"
          "5 20 click 4 4 0\n", f);
    ASSERT_EQ(fclose(f), 0);
    ShrinkInput in;
    std::string why;
    const bool ok = loadShrinkInput(path, "touchapp", 0, {10, 10, {}}, &in, &why);
    unlink(path);
    ASSERT_TRUE(ok) << why;
    struct rusage use;
    getrusage(RUSAGE_SELF, &use);
    printf("shrink input of a 257 MB record: peak resident memory %ld kB\n", use.ru_maxrss);
    EXPECT_EQ(in.after, 2);
    EXPECT_EQ(in.key, "SIGSEGV,touchapp+0x1c");
    EXPECT_EQ(in.header, (std::vector<std::string>{"# tapfuzz run record\n", "# seed:1\n"}));
    EXPECT_EQ(in.tails, (std::vector<std::string>{" click 1 1 0", " key 115 0", " click 2 2 0"}));
    ASSERT_EQ(in.events.size(), 3u);
    EXPECT_EQ(in.events[2].at, 9);
}

}  // namespace
