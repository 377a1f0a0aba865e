// Problem: the command line has order rules (COUNT after the last option
// value or verbosity flag), lenient numbers and a few log lines.
// Solution: every command line of interest in one table, each run through the
// pre-scan and processOptions in a fresh child, with the resulting globals
// and log lines compared whole.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RunControl.h"
#include "child_case.h"

namespace {

enum Outcome { kRefused, kAccepted, kVersion };

struct OptionState {
    Outcome outcome;
    long long count, currentargc, verbose, throttle, hours, seconds;
    float factors[4];
    char processname[64];
};

// The outcome, every global that left its initial value, and the log lines:
// "accepted count=7 argc=3 touch=-0 info=...". A factor prints with %g, so a
// percentage of 0, stored as -0.0 to mark the kind as set, shows as -0.
std::string Describe(const OptionState& s, const ChildCase& child)
{
    std::string text = s.outcome == kVersion ? "version" : s.outcome == kAccepted ? "accepted" : "refused";
    const struct {
        const char* name;
        long long value, initial;
    } fields[] = {{"count", s.count, 100}, {"argc", s.currentargc, 0}, {"v", s.verbose, 0},
                  {"throttle", s.throttle, 0}, {"hours", s.hours, 0}, {"seconds", s.seconds, 0}};
    for (const auto& f : fields)
        if (f.value != f.initial)
            text += std::string(" ") + f.name + "=" + std::to_string(f.value);
    const char* kinds[] = {"touch", "motion", "longclick", "presskey"};
    for (int i = 0; i < 4; ++i) {
        char factor[32];
        snprintf(factor, sizeof factor, "%g", s.factors[i]);
        if (strcmp(factor, "1") != 0)
            text += std::string(" ") + kinds[i] + "=" + factor;
    }
    if (strnlen(s.processname, sizeof s.processname) == sizeof s.processname)
        text += " name not terminated";
    else if (s.processname[0] != '\0')
        text += std::string(" name=") + s.processname;
    for (const std::string& m : ChildCase::Messages(child.mainLog(), "[INFO]"))
        text += " info=" + m;
    for (const std::string& m : ChildCase::Messages(child.stdoutText(), "[DEBUG][parse_opt]"))
        text += " debug=" + m;
    return text;
}

const std::string k63(63, 'x'), k64(64, 'y');

const struct {
    std::vector<std::string> args;  // after the program name
    std::string expected;
} kCases[] = {
    {{"1000"}, "accepted count=1000 argc=1"},
    {{"-v", "-v-v", "-v-v-v", "1000"}, "accepted count=1000 argc=4 v=6"},
    {{"-vv", "-v-v-v-v", "1000"}, "refused argc=1"},  // only the three exact flags count
    {{"1000", "--throttle", "100"}, "refused argc=4 throttle=100000"},
    {{"--throttle", "100", "-v", "1000"}, "refused argc=3 v=1 throttle=100000"},
    {{"-v", "--throttle", "100", "1000"}, "accepted count=1000 argc=4 v=1 throttle=100000"},
    {{"--pct-touch", "50", "--pct-motion", "30", "2000"},
     "accepted count=2000 argc=5 touch=-50 motion=-30 debug=current_argc4:5"},
    {{"--pct-longclick", "20", "--pct-presskey", "-10", "--pct-touch", "10", "--pct-touch", "20", "7"},
     "accepted count=7 argc=9 touch=-20 longclick=-20 presskey=10"},
    {{"--pct-touch", "0", "7"}, "accepted count=7 argc=3 touch=-0"},
    {{"--hour", "2", "abc"}, "accepted hours=2 seconds=7200 info=process run hour:2"},
    {{"--hour", "0", "1000"}, "refused info=--hour 0 refused: it takes 1 to 596523 hours"},
    {{"--hour", "596523"}, "accepted hours=596523 seconds=2147482800 info=process run hour:596523"},
    {{"--hour", "596524"}, "refused info=--hour 596524 refused: it takes 1 to 596523 hours"},
    {{"0"}, "refused argc=1"},
    {{"12abc"}, "accepted count=12 argc=1"},
    {{"-5"}, "accepted count=-5 argc=1"},
    {{"16777217"}, "accepted count=16777216 argc=1"},  // the count passes through a float
    {{}, "refused argc=1"},
    // An option without its value: only --pct-motion says so.
    {{"--pct-motion"}, "refused info=Please input motion percentage"},
    {{"--pct-presskey"}, "refused"},
    {{"--throttle"}, "refused"},
    {{"--hour"}, "refused"},
    {{"-a"}, "refused"},
    {{"-h", "100"}, "refused"},
    {{"100", "--help"}, "refused"},
    {{"-a", "--help", "100"}, "refused argc=3 name=--help"},
    {{"-a", "-v", "100"}, "accepted argc=3 v=1 name=-v"},
    {{"foo", "100"}, "refused argc=1"},
    {{"foo", "--throttle", "10", "100"}, "accepted argc=4 throttle=10000"},
    {{"--throttle", "-5", "1000"}, "accepted count=1000 argc=3 info=negative --throttle -5 ignored: the profile's pause range applies"},
    {{"--throttle", "2147483", "1000"}, "accepted count=1000 argc=3 throttle=2147483000"},
    {{"--throttle", "2147484", "1000"},
     "accepted count=1000 argc=3 throttle=2147483000 info=--throttle 2147484 too large: clamped to 2147483 ms"},
    {{"-a", k63, "5"}, "accepted count=5 argc=3 name=" + k63},
    {{"-a", k64, "5"},
     "accepted count=5 argc=3 name=" + k64.substr(0, 63) + " info=application name truncated to 63 characters"},
    // The pre-scan answers --version wherever it stands, before any option is
    // checked, and flags behind it never count.
    {{"--help", "--version"}, "version"},
    {{"1000", "--pct-motion", "--version"}, "version"},
    {{"-v", "--version", "-v"}, "version argc=2 v=1"},
    {{"--versions", "5"}, "refused argc=1"},
};

TEST(OptionsTest, CommandLines)
{
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ChildCase child;
        OptionState s;
        ASSERT_TRUE(child.Run<OptionState>(
            [&c]() {
                CommandLine line(c.args);
                // Braced lists are evaluated in order: the globals are read after both passes.
                OptionState r = {preScanOptions(line.argc(), line.argv())    ? kVersion
                                 : processOptions(line.argc(), line.argv()) ? kAccepted
                                                                           : kRefused,
                                 mCount, currentargc, mVerbose, mThrottle, getRunHours(), mSeconds,
                                 {getOptionFactor(0), getOptionFactor(1), getOptionFactor(2), getOptionFactor(3)},
                                 {}};
                memcpy(r.processname, processname, sizeof r.processname);
                return r;
            },
            &s));
        EXPECT_EQ(c.expected, Describe(s, child));
    }
}

// Indexes outside the four kinds neither read nor write past the table.
TEST(OptionsTest, FactorIndexOutOfRange)
{
    setOptionFactor(-1, 5.0f);
    setOptionFactor(4, 5.0f);
    for (int i = -1; i <= 4; ++i)
        EXPECT_EQ(1.0f, getOptionFactor(i)) << i;
}

}  // namespace
