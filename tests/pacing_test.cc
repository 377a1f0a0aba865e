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

const int kDraws = 200000;
const int kSpan = 4096;  // widest range of milliseconds the draws record

struct PauseState {
    int start;
    int end;
    long minPause;
    long maxPause;
    int distinctMs;     // distinct millisecond values reached
    bool wholeMs;       // every pause a whole number of milliseconds
    long lastThrottle;  // mThrottle after the last draw
};

// Reads the range the way start-up does (after the options), then draws.
bool DrawPauses(const ChildCase& child, const std::vector<std::string>& args, PauseState* state)
{
    return child.Run<PauseState>(
        [&args]() {
            if (!args.empty()) {
                std::vector<std::string> words = {"tapfuzz"};
                words.insert(words.end(), args.begin(), args.end());
                std::vector<char*> argv;
                for (std::string& w : words)
                    argv.push_back(&w[0]);
                argv.push_back(nullptr);
                if (!processOptions(static_cast<int>(words.size()), argv.data()))
                    _exit(80);
            }
            if (mThrottle == 0)
                parse_event_interval();
            srand(12345);
            static bool seen[kSpan];
            PauseState s;
            memset(&s, 0, sizeof s);
            s.start = start_time_interval;
            s.end = end_time_interval;
            s.minPause = LONG_MAX;
            s.maxPause = LONG_MIN;
            s.wholeMs = true;
            for (int i = 0; i < kDraws; ++i) {
                long pause = get_interval();
                if (pause < s.minPause)
                    s.minPause = pause;
                if (pause > s.maxPause)
                    s.maxPause = pause;
                if (pause % 1000 != 0)
                    s.wholeMs = false;
                long ms = pause / 1000;
                if (ms >= 0 && ms < kSpan && !seen[ms]) {
                    seen[ms] = true;
                    ++s.distinctMs;
                }
            }
            s.lastThrottle = mThrottle;
            return s;
        },
        state);
}

struct RangeCase {
    const char* label;
    std::string conf;  // device.conf text; empty for no file
    int start;         // figures kept by parse_event_interval
    int end;
    long lowMs;  // every pause from lowMs to highMs reached, nothing else
    long highMs;
    std::vector<std::string> info = {};
    std::vector<std::string> args = {};  // command line, when it matters
};

const std::vector<RangeCase> kRanges = {
    {"100,500", "EVENT_INTERVALS_RANGE=100,500\n", 100, 500, 100, 599},
    {"0,1000", "EVENT_INTERVALS_RANGE=0,1000\n", 0, 1000, 0, 999},
    {"start above end", "EVENT_INTERVALS_RANGE=500,100\n", 500, 100, 100, 199},
    {"start equals end", "EVENT_INTERVALS_RANGE=300,300\n", 300, 300, 300, 599},
    {"negative start never moves a draw", "EVENT_INTERVALS_RANGE=-50,200\n", -50, 200, 0, 199},
    {"blanks around the numbers", "EVENT_INTERVALS_RANGE =  100 , 500  \n", 100, 500, 100, 599},
    {"0,0", "EVENT_INTERVALS_RANGE=0,0\n", 0, 0, 0, 0},
    {"100,0", "EVENT_INTERVALS_RANGE=100,0\n", 100, 0, 0, 0},
    {"negative end", "EVENT_INTERVALS_RANGE=10,-20\n", 10, -20, 0, 0},
    {"letters", "EVENT_INTERVALS_RANGE=abc,def\n", 0, 0, 0, 0},
    {"no profile", "", 0, 0, 0, 0},
    {"no key", "SCREEN_BASIC_SIZE=40\n", 0, 0, 0, 0},
    {"throttle overrides the profile",
     "EVENT_INTERVALS_RANGE=100,500\n", 0, 0, 50, 50, {}, {"--throttle", "50", "10"}},
    {"throttle 0 keeps the profile",
     "EVENT_INTERVALS_RANGE=100,500\n", 100, 500, 100, 599, {}, {"--throttle", "0", "10"}},
    {"negative throttle keeps the profile",
     "EVENT_INTERVALS_RANGE=100,500\n", 100, 500, 100, 599,
     {"negative --throttle -3 ignored: no pause"}, {"--throttle", "-3", "10"}},
    {"largest pause that fits", "EVENT_INTERVALS_RANGE=1073742,1073742\n", 1073742, 1073742, -1, 2147483},
    {"largest end that fits", "EVENT_INTERVALS_RANGE=-1,2147484\n", -1, 2147484, -1, 2147483},
};

TEST(PacingTest, RangesGiveExactlyTheirPauses)
{
    for (const RangeCase& c : kRanges) {
        SCOPED_TRACE(c.label);
        ChildCase child;
        if (!c.conf.empty())
            child.writeFile("device.conf", c.conf);
        PauseState s;
        ASSERT_TRUE(DrawPauses(child, c.args, &s));
        EXPECT_EQ(c.start, s.start);
        EXPECT_EQ(c.end, s.end);
        EXPECT_TRUE(s.wholeMs);
        // The pause taken is also left in mThrottle.
        EXPECT_GE(s.lastThrottle, s.minPause);
        EXPECT_LE(s.lastThrottle, s.maxPause);
        if (c.lowMs >= 0) {
            // A span this narrow is covered completely by the draws.
            EXPECT_EQ(c.lowMs * 1000, s.minPause);
            EXPECT_EQ(c.highMs * 1000, s.maxPause);
            EXPECT_EQ(c.highMs - c.lowMs + 1, s.distinctMs);
        } else {
            // Too wide to cover: only the bounds can be held to.
            EXPECT_GE(s.minPause, 0);
            EXPECT_LE(s.maxPause, c.highMs * 1000);
        }
        EXPECT_EQ(c.info, ChildCase::Messages(child.mainLog(), "[INFO]"));
    }
}

struct RejectedCase {
    const char* value;
    const char* reason;
};

// Ranges the reader cannot take are dropped whole, with the reason logged,
// and leave the run without a random pause.
TEST(PacingTest, UnusableRangesAreIgnored)
{
    const std::string k31 = "100            ,            500";  // 31 characters
    const std::string k32 = k31 + "0";
    const RejectedCase cases[] = {
        {"100500", "no comma between the two figures"},
        {"12345678,5", "a figure is longer than 7 characters"},
        {"1,12345678", "a figure is longer than 7 characters"},
        {k31.c_str(), "a figure is longer than 7 characters"},
        {k32.c_str(), "longer than 31 characters"},
        {"0,2147485", "its longest pause of 2147484 ms exceeds 2147483 ms"},
        {"1,2147484", "its longest pause of 2147484 ms exceeds 2147483 ms"},
        {"1073742,1073743", "its longest pause of 2147484 ms exceeds 2147483 ms"},
        {"9999999,9999999", "its longest pause of 19999997 ms exceeds 2147483 ms"},
    };
    for (const RejectedCase& c : cases) {
        SCOPED_TRACE(c.value);
        ChildCase child;
        child.writeFile("device.conf", std::string("EVENT_INTERVALS_RANGE=") + c.value + "\n");
        PauseState s;
        ASSERT_TRUE(DrawPauses(child, {}, &s));
        EXPECT_EQ(0, s.start);
        EXPECT_EQ(0, s.end);
        EXPECT_EQ(0, s.minPause);
        EXPECT_EQ(0, s.maxPause);
        std::vector<std::string> expected = {std::string("EVENT_INTERVALS_RANGE ") + c.value + " ignored: " + c.reason};
        EXPECT_EQ(expected, ChildCase::Messages(child.mainLog(), "[INFO]"));
    }
}

// Figures stored without parse_event_interval's checks still give a pause
// that usleep can take: never negative, never past 32 bits.
TEST(PacingTest, PauseStaysWithinRangeWhateverTheFigures)
{
    struct Figures {
        int start;
        int end;
        long throttle;
        long lowest;
        long highest;
    };
    const Figures cases[] = {
        {INT_MAX, INT_MAX, 0, 0, 2147483000},
        {INT_MIN, INT_MAX, 0, 0, 2147483000},
        {0, 0, -7, 0, 0},
        {0, -1, LONG_MIN, 0, 0},
        {0, 0, 1000, 1000, 1000},
    };
    for (const Figures& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + "," + std::to_string(c.end) + " throttle " + std::to_string(c.throttle));
        ChildCase child;
        struct Out {
            long lowest, highest;
        } out;
        ASSERT_TRUE(child.Run<Out>(
            [&c]() {
                start_time_interval = c.start;
                end_time_interval = c.end;
                mThrottle = c.throttle;
                Out o{LONG_MAX, LONG_MIN};
                for (int i = 0; i < 1000; ++i) {
                    long pause = get_interval();
                    o.lowest = pause < o.lowest ? pause : o.lowest;
                    o.highest = pause > o.highest ? pause : o.highest;
                }
                return o;
            },
            &out));
        EXPECT_GE(out.lowest, c.lowest);
        EXPECT_LE(out.highest, c.highest);
    }
}

}  // namespace
