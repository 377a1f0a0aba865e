// Problem: the pause range folds draws below the start figure up past the end
// figure, so the pauses a range gives are not the obvious ones, and a range
// can ask for more microseconds than the pause holds.
// Solution: read each range from a device.conf in a fresh child, draw many
// pauses, and compare the exact set of pauses reached and the log lines.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RunControl.h"
#include "child_case.h"

namespace {

const int kSpan = 4096;  // widest range of milliseconds the draws record

struct PauseState {
    int start, end;
    long minPause, maxPause;
    int distinctMs;  // distinct millisecond values reached
};

struct RangeCase {
    std::string conf;  // device.conf text; empty for no file
    int start, end;    // figures kept by parse_event_interval
    long lowMs, highMs;  // every pause from lowMs to highMs reached, nothing else (lowMs -1: too wide to cover)
    std::vector<std::string> info = {};
    std::vector<std::string> args = {};  // command line, when it matters
};

const char kKey[] = "EVENT_INTERVALS_RANGE";

// A range the reader cannot take: dropped whole with the reason logged, and
// the run left without a random pause.
RangeCase Ignored(const std::string& value, const std::string& reason)
{
    return {kKey + ("=" + value + "\n"), 0, 0, 0, 0, {kKey + (" " + value + " ignored: " + reason)}};
}

const std::string k31 = "100            ,            500";  // 31 characters
const char kTooLong[] = "a figure is longer than 7 characters";
const char kOverflow[] = "its longest pause of 2147484 ms exceeds 2147483 ms";

const std::vector<RangeCase> kRanges = {
    {"EVENT_INTERVALS_RANGE=100,500\n", 100, 500, 100, 599},
    {"EVENT_INTERVALS_RANGE=500,100\n", 500, 100, 100, 199},
    {"EVENT_INTERVALS_RANGE=300,300\n", 300, 300, 300, 599},
    {"EVENT_INTERVALS_RANGE=-50,200\n", -50, 200, 0, 199},  // a negative start never moves a draw
    {"EVENT_INTERVALS_RANGE =  100 , 500  \n", 100, 500, 100, 599},
    {"EVENT_INTERVALS_RANGE=0,0\n", 0, 0, 0, 0},
    {"EVENT_INTERVALS_RANGE=10,-20\n", 10, -20, 0, 0},
    {"EVENT_INTERVALS_RANGE=abc,def\n", 0, 0, 0, 0},
    {"", 0, 0, 0, 0},
    {"EVENT_INTERVALS_RANGE=100,500\n", 0, 0, 50, 50, {}, {"--throttle", "50", "10"}},
    {"EVENT_INTERVALS_RANGE=100,500\n", 100, 500, 100, 599, {"negative --throttle -3 ignored: the profile's pause range applies"},
     {"--throttle", "-3", "10"}},
    // The largest ranges that fit 32-bit microseconds, beside the smallest that do not.
    {"EVENT_INTERVALS_RANGE=1073742,1073742\n", 1073742, 1073742, -1, 2147483},
    {"EVENT_INTERVALS_RANGE=-1,2147484\n", -1, 2147484, -1, 2147483},
    Ignored("1073742,1073743", kOverflow),
    Ignored("1,2147484", kOverflow),
    Ignored("100500", "no comma between the two figures"),
    Ignored("12345678,5", kTooLong),
    Ignored(k31, kTooLong),
    Ignored(k31 + "0", "longer than 31 characters"),
};

TEST(PacingTest, RangesGiveExactlyTheirPauses)
{
    for (const RangeCase& c : kRanges) {
        SCOPED_TRACE(c.conf);
        ChildCase child;
        if (!c.conf.empty())
            child.writeFile("device.conf", c.conf);
        PauseState s;
        // Reads the range the way start-up does (after the options), then draws.
        ASSERT_TRUE(child.Run<PauseState>(
            [&c]() {
                CommandLine line(c.args);
                if (!c.args.empty() && !processOptions(line.argc(), line.argv()))
                    _exit(80);
                if (mThrottle == 0)
                    parse_event_interval();
                srand(12345);
                static int seen[kSpan];
                PauseState r = {start_time_interval, end_time_interval, LONG_MAX, LONG_MIN, 0};
                for (int i = 0; i < 200000; ++i) {
                    long pause = get_interval();
                    r.minPause = pause < r.minPause ? pause : r.minPause;
                    r.maxPause = pause > r.maxPause ? pause : r.maxPause;
                    if (pause >= 0 && pause / 1000 < kSpan && !seen[pause / 1000]++)
                        ++r.distinctMs;
                }
                return r;
            },
            &s));
        EXPECT_EQ(c.start, s.start);
        EXPECT_EQ(c.end, s.end);
        if (c.lowMs >= 0) {
            EXPECT_EQ(c.lowMs * 1000, s.minPause);
            EXPECT_EQ(c.highMs * 1000, s.maxPause);
            EXPECT_EQ(c.highMs - c.lowMs + 1, s.distinctMs);
        } else {
            EXPECT_GE(s.minPause, 0);
            EXPECT_LE(s.maxPause, c.highMs * 1000);
        }
        EXPECT_EQ(c.info, ChildCase::Messages(child.mainLog(), "[INFO]"));
    }
}

// Figures stored without parse_event_interval's checks still give a pause
// that usleep can take: never negative, never past 32 bits.
TEST(PacingTest, PauseStaysWithinRangeWhateverTheFigures)
{
    const struct {
        int start, end;
        long throttle, lowest, highest;
    } cases[] = {
        {INT_MAX, INT_MAX, 0, 0, 2147483000}, {INT_MIN, INT_MAX, 0, 0, 2147483000},
        {0, 0, -7, 0, 0},                     {0, -1, LONG_MIN, 0, 0},
        {0, 0, 1000, 1000, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + "," + std::to_string(c.end) + " throttle " + std::to_string(c.throttle));
        start_time_interval = c.start;
        end_time_interval = c.end;
        mThrottle = c.throttle;
        for (int i = 0; i < 1000; ++i) {
            long pause = get_interval();
            ASSERT_GE(pause, c.lowest);
            ASSERT_LE(pause, c.highest);
        }
    }
}

}  // namespace
