// The readers of the command line and the pause range: each a table of
// inputs against what they mean.
// Cases that write the option or pacing globals run in a sandboxed child.
#include <math.h>

#include "RunControl.h"
#include "Utils.h"
#include "sandboxed_case.h"

namespace {

using Options = SandboxedCase;

// The outcome, every global off its initial value, and the INFO lines. A
// factor prints with %g: a percentage of 0 is stored as -0 to mark it as set.
TEST_F(Options, CommandLines)
{
    const std::string k64(64, 'y');
    const struct { std::vector<std::string> args; std::string expected; } cases[] = {
        {{"-v", "-v-v", "1000"}, "accepted count=1000 argc=3 v=3"}, {{"-vv", "1000"}, "refused argc=1"},
        {{"1000", "--throttle", "100"}, "refused argc=4 throttle=100000"},
        {{"-v", "--throttle", "100", "1000"}, "accepted count=1000 argc=4 v=1 throttle=100000"},
        {{"--pct-longclick", "20", "--pct-presskey", "-10", "--pct-touch", "0", "7"}, "accepted count=7 argc=7 touch=-0 longclick=-20 presskey=10"},
        {{"--hour", "2", "abc"}, "accepted hours=2 seconds=7200 info=process run hour:2"}, {{"--hour", "0", "1000"}, "refused argc=1"},
        {{"0"}, "refused argc=1"}, {{"12abc"}, "accepted count=12 argc=1"},
        {{"16777217"}, "accepted count=16777216 argc=1"}, {{"99999999999"}, "accepted count=2147483647 argc=1"},  // through a float, saturated
        {{"--pct-motion"}, "refused info=Please input motion percentage"}, {{"--throttle"}, "refused"}, {{"-h", "100"}, "refused"},
        {{"-a", "--help", "100"}, "refused argc=3 name=--help"}, {{"foo", "--throttle", "10", "100"}, "accepted argc=4 throttle=10000"},
        {{"--throttle", "-5", "1000"}, "accepted count=1000 argc=3 info=negative --throttle -5 ignored: no pause"},
        {{"--throttle", "2147484", "1"}, "accepted count=1 argc=3 throttle=2147483000 info=--throttle 2147484 too large: clamped to 2147483 ms"},
        {{"-a", k64, "5"}, "accepted count=5 argc=3 name=" + k64.substr(0, 63) + " info=application name truncated to 63 characters"},
        {{"1000", "--pct-motion", "--version"}, "version"}, {{"-v", "--version", "-v"}, "version argc=2 v=1"}, {{"--versions", "5"}, "refused argc=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ForgetLogs();
        Check([&] {
            CommandLine line(c.args);
            std::string text = preScanOptions(line.argc(), line.argv()) ? "version" : processOptions(line.argc(), line.argv()) ? "accepted" : "refused";
            const struct { const char* name; long long value, initial; } fields[] = {{"count", mCount, 100}, {"argc", currentargc, 0},
                {"v", mVerbose, 0}, {"throttle", mThrottle, 0}, {"hours", getRunHours(), 0}, {"seconds", mSeconds, 0}};
            for (const auto& f : fields)
                text += f.value != f.initial ? std::string(" ") + f.name + "=" + std::to_string(f.value) : "";
            const char* kinds[] = {"touch", "motion", "longclick", "presskey"};
            for (int i = 0; i < 4; ++i) {
                char factor[32];
                snprintf(factor, sizeof factor, "%g", getOptionFactor(i));
                text += strcmp(factor, "1") != 0 ? std::string(" ") + kinds[i] + "=" + factor : "";
            }
            text += processname[0] != '\0' ? std::string(" name=") + processname : "";
            for (const std::string& m : Messages("[INFO]"))
                text += " info=" + m;
            EXPECT_EQ(c.expected, text);
            setOptionFactor(4, 5.0f);  // outside the four kinds: neither read nor written
            EXPECT_EQ(1.0f, getOptionFactor(-1) * getOptionFactor(4));
        });
    }
}

// A range gives every pause from low to high ms and nothing else; one it
// cannot take is dropped whole, with the reason logged.
TEST_F(Options, PauseRanges)
{
    const std::string k31 = "100            ,            500", kIgnored = "EVENT_INTERVALS_RANGE ";
    const struct { std::string value; long low, high; std::string info; std::vector<std::string> args = {}; } cases[] = {
        {"100,500", 100, 599, ""}, {"500,100", 100, 199, ""}, {" -50 , 200 ", 0, 199, ""}, {"10,-20", 0, 0, ""},
        {"100,500", 50, 50, "", {"--throttle", "50", "10"}},
        {"1073742,1073743", 0, 0, kIgnored + "1073742,1073743 ignored: its longest pause of 2147484 ms exceeds 2147483 ms"},
        {"100500", 0, 0, kIgnored + "100500 ignored: no comma between the two figures"},
        {"12345678,5", 0, 0, kIgnored + "12345678,5 ignored: a figure is longer than 7 characters"},
        {k31 + "0", 0, 0, kIgnored + k31 + "0 ignored: longer than 31 characters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ForgetLogs();
        Profile("EVENT_INTERVALS_RANGE=" + c.value + "\n");
        Check([&] {
            CommandLine line(c.args);
            ASSERT_TRUE(c.args.empty() || processOptions(line.argc(), line.argv()));
            if (mThrottle == 0)
                parse_event_interval();
            static bool seen[4096];
            long lo = LONG_MAX, hi = LONG_MIN, distinct = 0;
            for (int i = 0; i < 100000; ++i) {
                long pause = get_interval();
                lo = std::min(lo, pause), hi = std::max(hi, pause);
                distinct += pause >= 0 && pause < 4096000 && !seen[pause / 1000] && (seen[pause / 1000] = true);
            }
            EXPECT_EQ((std::vector<long>{c.low * 1000, c.high * 1000, c.high - c.low + 1}), (std::vector<long>{lo, hi, distinct}));
            EXPECT_EQ(c.info.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.info}, Messages("[INFO]"));
            // Figures stored without those checks still give a pause usleep can take.
            start_time_interval = INT_MIN, end_time_interval = INT_MAX, mThrottle = 0;
            for (int i = 0; i < 1000; ++i)
                EXPECT_TRUE(get_interval() >= 0 && get_interval() <= 2147483000L);
        });
    }
}

}  // namespace
