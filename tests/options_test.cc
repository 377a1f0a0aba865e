// Problem: the command line has order rules (COUNT after the last option
// value or verbosity flag), lenient numbers and a few log lines.
// Solution: every command line of interest in one table, each run through the
// pre-scan and processOptions in a fresh child, with the resulting globals
// and log lines compared whole.
#include <limits.h>
#include <string.h>

#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RunControl.h"
#include "child_case.h"
#include "echo_text.h"

namespace {

struct OptionState {
    bool version;
    bool accepted;
    int count;
    int currentargc;
    int verbose;
    long throttle;
    float factors[4];
    int hours;
    unsigned int seconds;
    char processname[64];
};

using Factors = std::array<float, 4>;
const Factors kUnset = {1.0f, 1.0f, 1.0f, 1.0f};

struct OptionCase {
    const char* label;
    std::vector<std::string> args;  // after the program name
    bool accepted;
    int count = 100;
    int currentargc = 0;
    int verbose = 0;
    long throttle = 0;
    Factors factors = kUnset;
    int hours = 0;
    unsigned int seconds = 0;
    std::vector<std::string> info = {};   // messages in the main log
    std::vector<std::string> debug = {};  // parse_opt's lines on stdout
    std::string processname = "";
};

// Runs the two passes over "tapfuzz" + args the way start-up does.
bool RunOptions(const ChildCase& child, const std::vector<std::string>& args, OptionState* state)
{
    return child.Run<OptionState>(
        [&args]() {
            std::vector<std::string> words = {"tapfuzz"};
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& w : words)
                argv.push_back(&w[0]);
            argv.push_back(nullptr);
            int argc = static_cast<int>(words.size());

            OptionState s;
            memset(&s, 0, sizeof s);
            s.version = preScanOptions(argc, argv.data());
            if (!s.version)
                s.accepted = processOptions(argc, argv.data());
            s.count = mCount;
            s.currentargc = currentargc;
            s.verbose = mVerbose;
            s.throttle = mThrottle;
            for (int i = 0; i < 4; ++i)
                s.factors[i] = getOptionFactor(i);
            s.hours = getRunHours();
            s.seconds = mSeconds;
            memcpy(s.processname, processname, sizeof s.processname);
            return s;
        },
        state);
}

std::string Describe(const std::vector<std::string>& args)
{
    std::string text;
    for (const std::string& a : args)
        text += "[" + a + "]";
    return text;
}

// Bit for bit, so that -0.0 (a percentage of 0) differs from 0.0.
bool SameBits(float a, float b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

const std::string k63(63, 'x');
const std::string k64(64, 'y');
const std::string k1000(1000, 'z');

const std::vector<OptionCase> kCases = {
    // label, args, accepted, count, currentargc, verbose, throttle, factors,
    // hours, seconds, info, debug, processname
    {"count alone", {"1000"}, true, 1000, 1},
    {"one -v", {"-v", "1000"}, true, 1000, 2, 1},
    {"two -v", {"-v", "-v", "1000"}, true, 1000, 3, 2},
    {"-v-v", {"-v-v", "1000"}, true, 1000, 2, 2},
    {"-v-v-v", {"-v-v-v", "1000"}, true, 1000, 2, 3},
    {"flags add up", {"-v-v", "-v-v-v", "1000"}, true, 1000, 3, 5},
    {"-vv is not a flag", {"-vv", "1000"}, false, 100, 1, 0},
    {"-v-v-v-v is not a flag", {"-v-v-v-v", "1000"}, false, 100, 1, 0},
    {"throttle then count", {"--throttle", "100", "1000"}, true, 1000, 3, 0, 100000},
    {"count before throttle", {"1000", "--throttle", "100"}, false, 100, 4, 0, 100000},
    {"-v where count belongs", {"--throttle", "100", "-v", "1000"}, false, 100, 3, 1, 100000},
    {"-v before throttle", {"-v", "--throttle", "100", "1000"}, true, 1000, 4, 1, 100000},
    {"throttle 0", {"--throttle", "0", "8"}, true, 8, 3, 0, 0},
    {"touch and motion",
     {"--pct-touch", "50", "--pct-motion", "30", "2000"},
     true, 2000, 5, 0, 0, {-50.0f, -30.0f, 1.0f, 1.0f}, 0, 0, {}, {"current_argc4:5"}},
    {"longclick and presskey",
     {"--pct-longclick", "20", "--pct-presskey", "5", "300"},
     true, 300, 5, 0, 0, {1.0f, 1.0f, -20.0f, -5.0f}},
    {"percentage 0 is negative zero", {"--pct-touch", "0", "7"}, true, 7, 3, 0, 0, {-0.0f, 1.0f, 1.0f, 1.0f}},
    {"negative percentage", {"--pct-presskey", "-10", "7"}, true, 7, 3, 0, 0, {1.0f, 1.0f, 1.0f, 10.0f}},
    {"last value wins", {"--pct-touch", "10", "--pct-touch", "20", "9"}, true, 9, 5, 0, 0, {-20.0f, 1.0f, 1.0f, 1.0f}},
    {"hour without count", {"--hour", "2"}, true, 100, 0, 0, 0, kUnset, 2, 7200, {"process run hour:2"}},
    {"hour ignores count", {"--hour", "1", "abc"}, true, 100, 0, 0, 0, kUnset, 1, 3600, {"process run hour:1"}},
    {"hour 0 then count", {"--hour", "0", "1000"}, false, 100, 1},
    {"negative hour", {"--hour", "-1"}, true, 100, 0, 0, 0, kUnset, -1, 4294963696u, {"process run hour:-1"}},
    {"hours beyond a signed product",
     {"--hour", "1000000"},
     true, 100, 0, 0, 0, kUnset, 1000000, 3600000000u, {"process run hour:1000000"}},
    {"zero", {"0"}, false, 100, 1},
    {"letters", {"abc"}, false, 100, 1},
    {"digits then letters", {"12abc"}, true, 12, 1},
    {"negative count", {"-5"}, true, -5, 1},
    {"blank and sign", {" +42"}, true, 42, 1},
    {"2^24 + 1", {"16777217"}, true, 16777216, 1},
    {"count beyond int", {"99999999999"}, true, INT_MAX, 1},
    {"no arguments", {}, false, 100, 1},
    {"pct-motion alone", {"--pct-motion"}, false, 100, 0, 0, 0, kUnset, 0, 0, {"Please input motion percentage"}},
    {"pct-touch alone", {"--pct-touch"}, false, 100, 0},
    {"pct-longclick alone", {"--pct-longclick"}, false, 100, 0},
    {"pct-presskey alone", {"--pct-presskey"}, false, 100, 0},
    {"throttle alone", {"--throttle"}, false, 100, 0},
    {"hour alone", {"--hour"}, false, 100, 0},
    {"-a alone", {"-a"}, false, 100, 0},
    {"help", {"--help"}, false, 100, 0},
    {"-h with count", {"-h", "100"}, false, 100, 0},
    {"help after count", {"100", "--help"}, false, 100, 0},
    {"help as value of -a",
     {"-a", "--help", "100"},
     false, 100, 3, 0, 0, kUnset, 0, 0, {}, {}, "--help"},
    {"flag as value of -a", {"-a", "-v", "100"}, true, 100, 3, 1, 0, kUnset, 0, 0, {}, {}, "-v"},
    {"unrecognised word before count", {"foo", "100"}, false, 100, 1},
    {"unrecognised word then throttle", {"foo", "--throttle", "10", "100"}, true, 100, 4, 0, 10000},
    {"options are case-sensitive", {"--THROTTLE", "10", "100"}, false, 100, 1},
    {"negative throttle",
     {"--throttle", "-5", "1000"},
     true, 1000, 3, 0, 0, kUnset, 0, 0, {"negative --throttle -5 ignored: no pause"}},
    {"largest throttle", {"--throttle", "2147483", "1000"}, true, 1000, 3, 0, 2147483000},
    {"throttle overflowing 32 bits",
     {"--throttle", "2147484", "1000"},
     true, 1000, 3, 0, 2147483000, kUnset, 0, 0, {"--throttle 2147484 too large: clamped to 2147483 ms"}},
    {"throttle beyond int",
     {"--throttle", "99999999999", "1000"},
     true, 1000, 3, 0, 2147483000, kUnset, 0, 0, {"--throttle 2147483647 too large: clamped to 2147483 ms"}},
    {"name of 63 characters", {"-a", k63, "5"}, true, 5, 3, 0, 0, kUnset, 0, 0, {}, {}, k63},
    {"name of 64 characters",
     {"-a", k64, "5"},
     true, 5, 3, 0, 0, kUnset, 0, 0, {"application name truncated to 63 characters"}, {}, k64.substr(0, 63)},
    {"name of 1000 characters",
     {"-a", k1000, "5"},
     true, 5, 3, 0, 0, kUnset, 0, 0, {"application name truncated to 63 characters"}, {}, k1000.substr(0, 63)},
};

TEST(OptionsTest, CommandLines)
{
    for (const OptionCase& c : kCases) {
        SCOPED_TRACE(std::string(c.label) + " " + Describe(c.args));
        ChildCase child;
        OptionState s;
        ASSERT_TRUE(RunOptions(child, c.args, &s));
        EXPECT_FALSE(s.version);
        EXPECT_EQ(c.accepted, s.accepted);
        EXPECT_EQ(c.count, s.count);
        EXPECT_EQ(c.currentargc, s.currentargc);
        EXPECT_EQ(c.verbose, s.verbose);
        EXPECT_EQ(c.throttle, s.throttle);
        for (int i = 0; i < 4; ++i)
            EXPECT_TRUE(SameBits(c.factors[i], s.factors[i])) << "factor " << i << ": " << s.factors[i];
        EXPECT_EQ(c.hours, s.hours);
        EXPECT_EQ(c.seconds, s.seconds);
        ASSERT_NE(nullptr, memchr(s.processname, '\0', sizeof s.processname));
        EXPECT_EQ(c.processname, std::string(s.processname));
        EXPECT_EQ(c.info, ChildCase::Messages(child.mainLog(), "[INFO]"));
        EXPECT_EQ(c.debug, ChildCase::Messages(WithoutEcho(child.stdoutText(), child.mainLog()), "[DEBUG][parse_opt]"));
    }
}

// The pre-scan answers "--version" wherever it stands, before any option is
// checked, and stops there: the version is printed at once.
TEST(OptionsTest, VersionWinsOverEverything)
{
    struct VersionCase {
        std::vector<std::string> args;
        bool version;
        int verbose;
    };
    const VersionCase cases[] = {
        {{"--version"}, true, 0},
        {{"--help", "--version"}, true, 0},
        {{"1000", "--pct-motion", "--version"}, true, 0},
        {{"-v", "--version", "-v"}, true, 1},
        {{"--versions", "5"}, false, 0},
        {{"-v", "5"}, false, 1},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(Describe(c.args));
        ChildCase child;
        OptionState s;
        ASSERT_TRUE(RunOptions(child, c.args, &s));
        EXPECT_EQ(c.version, s.version);
        EXPECT_EQ(c.verbose, s.verbose);
        if (c.version) {
            // processOptions did not run, so nothing it sets has moved.
            EXPECT_EQ(100, s.count);
            EXPECT_TRUE(ChildCase::Messages(child.mainLog(), "[INFO]").empty());
        }
    }
}

// Indexes outside the four kinds neither read nor write past the table.
TEST(OptionsTest, FactorIndexOutOfRange)
{
    ChildCase child;
    struct Out {
        float below, above, touch;
    } out;
    ASSERT_TRUE(child.Run<Out>(
        []() {
            setOptionFactor(-1, 5.0f);
            setOptionFactor(4, 5.0f);
            setOptionFactor(0, -25.0f);
            return Out{getOptionFactor(-1), getOptionFactor(4), getOptionFactor(0)};
        },
        &out));
    EXPECT_EQ(1.0f, out.below);
    EXPECT_EQ(1.0f, out.above);
    EXPECT_EQ(-25.0f, out.touch);
}

}  // namespace
