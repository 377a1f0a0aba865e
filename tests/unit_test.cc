// The readers of the command line, the profile and the pause range, and the
// conversions they share: each a table of inputs against what they mean.
// Cases that write the option or pacing globals run in a sandboxed child.
#include <limits.h>
#include <math.h>
#include <string.h>

#include "CoredumpMonitor.h"
#include "RunControl.h"
#include "Utils.h"
#include "profile.h"
#include "sandboxed_case.h"

namespace {

using Options = SandboxedCase;

// The outcome, every global off its initial value, and the log lines. A
// factor prints with %g: a percentage of 0 is stored as -0 to mark it as set.
TEST_F(Options, CommandLines)
{
    const std::string k63(63, 'x'), k64(64, 'y');
    const struct {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{"1000"}, "accepted count=1000 argc=1"},
        {{"-v", "-v-v", "-v-v-v", "1000"}, "accepted count=1000 argc=4 v=6"},
        {{"-vv", "-v-v-v-v", "1000"}, "refused argc=1"},
        {{"1000", "--throttle", "100"}, "refused argc=4 throttle=100000"},
        {{"--throttle", "100", "-v", "1000"}, "refused argc=3 v=1 throttle=100000"},
        {{"-v", "--throttle", "100", "1000"}, "accepted count=1000 argc=4 v=1 throttle=100000"},
        {{"--pct-longclick", "20", "--pct-presskey", "-10", "--pct-touch", "10", "--pct-touch", "20", "7"},
         "accepted count=7 argc=9 touch=-20 longclick=-20 presskey=10"},
        {{"--pct-touch", "50", "--pct-motion", "30", "2000"}, "accepted count=2000 argc=5 touch=-50 motion=-30"},
        {{"--pct-touch", "0", "7"}, "accepted count=7 argc=3 touch=-0"},
        {{"--hour", "2", "abc"}, "accepted hours=2 seconds=7200 info=process run hour:2"},
        {{"--hour", "0", "1000"}, "refused argc=1"},
        {{"--hour", "1000000"}, "accepted hours=1000000 seconds=3600000000 info=process run hour:1000000"},
        {{"0"}, "refused argc=1"}, {{"12abc"}, "accepted count=12 argc=1"}, {{"-5"}, "accepted count=-5 argc=1"},
        {{"16777217"}, "accepted count=16777216 argc=1"},  // the count passes through a float
        {{}, "refused argc=1"}, {{"--pct-motion"}, "refused info=Please input motion percentage"},
        {{"--throttle"}, "refused"}, {{"--hour"}, "refused"}, {{"-a"}, "refused"}, {{"-h", "100"}, "refused"},
        {{"100", "--help"}, "refused"}, {{"-a", "--help", "100"}, "refused argc=3 name=--help"},
        {{"-a", "-v", "100"}, "accepted argc=3 v=1 name=-v"}, {{"foo", "100"}, "refused argc=1"},
        {{"foo", "--throttle", "10", "100"}, "accepted argc=4 throttle=10000"},
        {{"--throttle", "-5", "1000"}, "accepted count=1000 argc=3 info=negative --throttle -5 ignored: no pause"},
        {{"--throttle", "2147484", "1000"},
         "accepted count=1000 argc=3 throttle=2147483000 info=--throttle 2147484 too large: clamped to 2147483 ms"},
        {{"-a", k63, "5"}, "accepted count=5 argc=3 name=" + k63},
        {{"-a", k64, "5"}, "accepted count=5 argc=3 name=" + k64.substr(0, 63) + " info=application name truncated to 63 characters"},
        {{"--help", "--version"}, "version"}, {{"1000", "--pct-motion", "--version"}, "version"},
        {{"-v", "--version", "-v"}, "version argc=2 v=1"}, {{"--versions", "5"}, "refused argc=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ForgetLogs();
        Check([&] {
            CommandLine line(c.args);
            std::string text = preScanOptions(line.argc(), line.argv())   ? "version"
                               : processOptions(line.argc(), line.argv()) ? "accepted" : "refused";
            const struct { const char* name; long long value, initial; } fields[] = {
                {"count", mCount, 100}, {"argc", currentargc, 0}, {"v", mVerbose, 0}, {"throttle", mThrottle, 0},
                {"hours", getRunHours(), 0}, {"seconds", mSeconds, 0}};
            for (const auto& f : fields)
                if (f.value != f.initial)
                    text += std::string(" ") + f.name + "=" + std::to_string(f.value);
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
            // Indexes outside the four kinds neither read nor write past the table.
            setOptionFactor(4, 5.0f);
            EXPECT_EQ(1.0f, getOptionFactor(-1) * getOptionFactor(4));
        });
    }
}

// A range gives every pause from low to high ms and nothing else (low -1:
// too wide to cover, only bounded); a range it cannot take is dropped whole,
// with the reason logged.
TEST_F(Options, PauseRanges)
{
    const std::string k31 = "100            ,            500", kIgnored = "EVENT_INTERVALS_RANGE ";
    const struct {
        std::string value;
        long low, high;
        std::string info;
        std::vector<std::string> args = {};
    } cases[] = {
        {"100,500", 100, 599, ""}, {"500,100", 100, 199, ""}, {"-50,200", 0, 199, ""},
        {"  100 , 500  ", 100, 599, ""}, {"0,0", 0, 0, ""}, {"10,-20", 0, 0, ""}, {"abc,def", 0, 0, ""},
        {"100,500", 50, 50, "", {"--throttle", "50", "10"}},
        {"100,500", 100, 599, "negative --throttle -3 ignored: no pause", {"--throttle", "-3", "10"}},
        {"-1,2147484", -1, 2147483, ""},
        {"1073742,1073743", 0, 0, kIgnored + "1073742,1073743 ignored: its longest pause of 2147484 ms exceeds 2147483 ms"},
        {"100500", 0, 0, kIgnored + "100500 ignored: no comma between the two figures"},
        {"12345678,5", 0, 0, kIgnored + "12345678,5 ignored: a figure is longer than 7 characters"},
        {k31, 0, 0, kIgnored + k31 + " ignored: a figure is longer than 7 characters"},
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
            for (int i = 0; i < 200000; ++i) {
                long pause = get_interval();
                lo = std::min(lo, pause), hi = std::max(hi, pause);
                distinct += pause >= 0 && pause < 4096000 && !seen[pause / 1000] && (seen[pause / 1000] = true);
            }
            EXPECT_GE(lo, c.low < 0 ? 0 : c.low * 1000);
            EXPECT_TRUE(c.low < 0 ? hi <= c.high * 1000 : hi == c.high * 1000) << hi;
            EXPECT_TRUE(c.low < 0 || distinct == c.high - c.low + 1) << distinct;
            EXPECT_EQ(c.info.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.info}, Messages("[INFO]"));
            // Figures stored without those checks still give a pause usleep can take.
            start_time_interval = INT_MIN, end_time_interval = INT_MAX, mThrottle = 0;
            for (int i = 0; i < 1000; ++i)
                EXPECT_TRUE(get_interval() >= 0 && get_interval() <= 2147483000L);
            mThrottle = LONG_MIN;
            EXPECT_GE(get_interval(), 0);
        });
    }
}

TEST_F(Options, ProfileLines)
{
    const std::string k31(31, 'K'), k32(32, 'K'), kTooLong = "profile key KEY: value longer than 7 characters, ignored\n";
    const struct {
        std::string content, key;
        int rc;
        std::string value;
        size_t size = 64;  // capacity handed to the reader
        std::string err = "";
    } cases[] = {
        {" \tKEY \t=\t value \t\r\n", "KEY", 0, "value"}, {"KEY=a=b#c # d\n", "KEY", 0, "a=b#c # d"},
        {"#KEY=c\n\nKEY\nKEY=v\n", "KEY", 0, "v"}, {"KEY=first\nKEY=second\n", "KEY", 0, "first"},
        {"KEYX=a\nKEY_2=b\nKE=c\nkey=d\n", "KEY", -1, ""}, {"KEY some words = v\n", "KEY", 0, "v"},
        {"KEY|OTHER=v\nX=OTHER=w\n", "OTHER", -1, ""}, {"KEY^X=v\n", "KEY", 0, "v"},
        {"KEY=  \t \n", "KEY", 0, "  \t "}, {"KEY=\nKEY=later\n", "KEY", 0, ""}, {"KEY=", "KEY", 0, ""},
        {"A=1\nKEY=last", "KEY", 0, "last"},
        // The file is read in pieces of 256 bytes, each taken as a line.
        {std::string(255, 'x') + "KEY=v\n", "KEY", 0, "v"}, {std::string(254, 'x') + "KEY=v\n", "KEY", -1, ""},
        {"KEY=" + std::string(300, 'a') + "\n", "KEY", 0, std::string(251, 'a'), 300},
        {"KEY=" + std::string(300, 'a') + "\nNEXT=n\n", "NEXT", 0, "n"},
        {k31 + "=v\n", k31, 0, "v"}, {k32 + "=v\n" + k31 + "=w\n", k31, 0, "w"}, {k32 + "=v\n", k32, -1, ""},
        {"KEY=1234567\n", "KEY", 0, "1234567", 8}, {"KEY= 12345 \n", "KEY", 0, "12345", 8},
        {"KEY=  12345 \n", "KEY", -1, "", 8, kTooLong}, {"KEY=12345678\nKEY=ok\n", "KEY", -1, "", 8, kTooLong},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        Profile(c.content);
        Check([&] {
            std::string val(320, 'z'), want(320, 'z');  // the value and its zero byte, nothing else
            EXPECT_EQ(c.rc, GetProfileString("device.conf", c.key.c_str(), &val[0], c.size));
            if (c.rc == 0)
                want.replace(0, c.value.size() + 1, c.value + '\0');
            EXPECT_EQ(want, val);
        });
        EXPECT_EQ(c.err, Err());
    }
    // strtol's leniency, clamped to 32 bits; a failed lookup leaves the number alone.
    const struct { const char* content; int number; } numbers[] = {
        {"N=-42", -42}, {"N= +17 \r", 17}, {"N=12abc", 12}, {"N=abc", 0}, {"N=0x1f", 0}, {"N=", 0},
        {"N=2147483648", INT_MAX}, {"N=-99999999999999", INT_MIN}, {"M=5", 77}, {"N=1234567890123456", 77}};
    for (const auto& c : numbers) {
        Profile(c.content);
        Check([&] {
            int number = 77;
            EXPECT_EQ(c.number == 77 ? -1 : 0, GetProfileInt("device.conf", "N", &number));
            EXPECT_EQ(c.number, number) << c.content;
        });
    }
    unlink(sb_.path("device.conf").c_str());
    Check([] {
        char val[8] = "junk";
        int number = 99;
        EXPECT_EQ(-1, GetProfileString("device.conf", "KEY", val) + GetProfileInt("device.conf", "KEY", &number) + 1);
        EXPECT_STREQ("junk", val);
        EXPECT_EQ(99, number);
    });
    const std::string line = std::string("openfile [device.conf] error [") + strerror(ENOENT) + "]\n";
    EXPECT_EQ(line + line, Out());
}

TEST(Conversions, NumbersTrimsAndUsage)
{
    // Read like strtol into a float (past 2^24 only even integers), then
    // truncated into an int that saturates (NAN: depends on long's width).
    const struct { const char* text; float value; int asInt; } options[] = {
        {"\t+7", 7.0f, 7}, {"-5", -5.0f, -5}, {"12abc", 12.0f, 12}, {"", 0.0f, 0}, {"0x10", 0.0f, 0},
        {"010", 10.0f, 10}, {"16777219", 16777220.0f, 16777220}, {"2147483648", 2147483648.0f, INT_MAX},
        {"99999999999", NAN, INT_MAX}, {"-99999999999", NAN, INT_MIN}};
    for (const auto& c : options) {
        float value = nextOptionLong(c.text, "description");
        EXPECT_TRUE(isnan(c.value) || c.value == value) << c.text;
        EXPECT_EQ(c.asInt, floatToInt(value)) << c.text;
    }
    EXPECT_EQ(0.0f, nextOptionLong(nullptr, "the loop times of argv events"));
    EXPECT_EQ(-1, floatToInt(-1.9f));
    EXPECT_EQ(INT_MIN, floatToInt(-INFINITY));
    EXPECT_EQ(0, floatToInt(NAN));
    // Seven characters a side fit Str2Int's scratch buffer, eight do not.
    const struct { const char* text; int result, x, y; } pairs[] = {
        {" 100 ,  500", 0, 100, 500}, {",5", 0, 0, 5}, {"1,2,3", 0, 1, 2}, {"1234567,7654321", 0, 1234567, 7654321},
        {"12345678,1", -1, 9, 9}, {"1,12345678", -1, 9, 9}, {"100500", -1, 9, 9}, {"", -1, 9, 9}};
    for (const auto& c : pairs) {
        int x = 9, y = 9;
        EXPECT_EQ(c.result, Str2Int(c.text, &x, &y)) << c.text;
        EXPECT_EQ(c.x * 1000 + c.y, x * 1000 + y) << c.text;
    }
    const struct { const char *in, *l, *r, *a; } trims[] = {
        {" \t\va b \f\r\n", "a b \f\r\n", " \t\va b", "a b"}, {" \t\r\n", "", "", ""}, {"\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0"}};
    for (const auto& c : trims) {
        char out[32];
        EXPECT_STREQ(c.l, l_trim(out, c.in));
        EXPECT_STREQ(c.r, r_trim(out, c.in));
        EXPECT_STREQ(c.a, a_trim(out, c.in));
    }
    EXPECT_EQ("usage: tapfuzz :[-a appname] \n               [--pct-touch PERCENT]\n"
              "               [--pct-longclick PERCENT]\n               [--pct-motion PERCENT]\n"
              "               [--pct-presskey PERCENT]\n               [--throttle MILLISEC]\n"
              "               [--help]\n               COUNT\n", showusage());
}

// Dump names become local time after their last dash; control bytes of a
// program's name cannot break a log line.
TEST(Conversions, DumpNamesAndLogText)
{
    const struct { const char *tz, *name, *newname; } names[] = {
        {"UTC", "coredump-my-app-7-86399", "coredump-my-app-7-1970-01-01_23:59:59"},
        {"UTC-2", "coredump-app-1-1700000000", "coredump-app-1-2023-11-15_00:13:20"},
        {"UTC", "coredump", "1970-01-01_00:00:00"}, {"UTC", "coredump-app-1-later", "coredump-app-1-1970-01-01_00:00:00"},
        {"UTC", "core-app-1-1700000000", nullptr}, {"UTC", "coredum", nullptr}};
    for (const auto& c : names) {
        setenv("TZ", c.tz, 1);
        tzset();
        std::string newname = "untouched";
        EXPECT_EQ(c.newname != nullptr, buildNewName(c.name, &newname)) << c.name;
        EXPECT_EQ(c.newname ? c.newname : "untouched", newname);
    }
    const std::pair<std::string, std::string> texts[] = {
        {"a;b $(id) `x` 'q' \"d\"", "a;b $(id) `x` 'q' \"d\""}, {"a\nb", "a\\nb"}, {"\r\t", "\\r\\t"},
        {std::string("\x01\x1b[31m\x7f", 7), "\\x01\\x1b[31m\\x7f"}, {"back\\n", "back\\\\n"}, {"caf\xc3\xa9", "caf\xc3\xa9"}};
    for (const auto& [raw, logged] : texts)
        EXPECT_EQ(logged, escapeLogText(raw));
}

}  // namespace
