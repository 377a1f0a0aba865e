// Problem: the option reader and the pause range lean on small conversions
// whose corner cases (float rounding, saturation, buffer limits) decide what
// a command line or a profile value means.
// Solution: table-driven checks of each conversion and of the usage text.
#include <limits.h>
#include <math.h>

#include <string>

#include <gtest/gtest.h>

#include "Utils.h"

namespace {

TEST(UtilsTest, UsageText)
{
    EXPECT_EQ("usage: tapfuzz :[-a appname] \n"
              "               [--pct-touch PERCENT]\n"
              "               [--pct-longclick PERCENT]\n"
              "               [--pct-motion PERCENT]\n"
              "               [--pct-presskey PERCENT]\n"
              "               [--throttle MILLISEC]\n"
              "               [--seed N]\n"
              "               [--stop-on-crash]\n"
              "               [--help]\n"
              "               COUNT\n"
              "       tapfuzz --replay FILE [--from N] [--to M] [--speed F]\n"
              "       tapfuzz --report FOLDER\n",
              showusage());
}

// Read like strtol, held in a float, then truncated into an int that
// saturates at the int range whatever width long has (NAN: the float depends
// on that width).
TEST(UtilsTest, OptionNumbers)
{
    struct Case {
        const char* text;
        float value;
        int asInt;
    } const cases[] = {
        {"42", 42.0f, 42}, {"\t+7", 7.0f, 7}, {"-5", -5.0f, -5}, {"12abc", 12.0f, 12}, {"abc", 0.0f, 0},
        {"", 0.0f, 0},     {"0x10", 0.0f, 0}, {"010", 10.0f, 10},
        // Single precision: past 2^24 only every second integer exists, and
        // ties go to the even one.
        {"16777217", 16777216.0f, 16777216}, {"16777219", 16777220.0f, 16777220},
        {"-16777217", -16777216.0f, -16777216}, {"2147483648", 2147483648.0f, INT_MAX},
        {"99999999999", NAN, INT_MAX}, {"-2147483648", -2147483648.0f, INT_MIN}, {"-99999999999", NAN, INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        float value = nextOptionLong(c.text, "description");
        if (!isnan(c.value)) {
            EXPECT_EQ(c.value, value);
        }
        EXPECT_EQ(c.asInt, floatToInt(value));
    }
    EXPECT_EQ(0.0f, nextOptionLong(nullptr, "the loop times of argv events"));
}

TEST(UtilsTest, FloatToIntTruncatesAndSaturates)
{
    const struct {
        float in;
        int out;
    } cases[] = {
        {-0.0f, 0},          {1.9f, 1},          {-1.9f, -1},         {2147483520.0f, 2147483520},
        {2147483648.0f, INT_MAX}, {INFINITY, INT_MAX}, {-2147483648.0f, INT_MIN}, {-INFINITY, INT_MIN},
        {NAN, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, floatToInt(c.in)) << c.in;
}

TEST(UtilsTest, Str2IntSplitsAtTheFirstComma)
{
    const int kUntouched = -777;
    const struct {
        const char* text;
        int result, x, y;
    } cases[] = {
        {"100,500", 0, 100, 500}, {" 100 ,  500", 0, 100, 500}, {"-50,200", 0, -50, 200}, {"abc,def", 0, 0, 0},
        {",5", 0, 0, 5},          {"1,2,3", 0, 1, 2},           {"12abc,7x", 0, 12, 7},
        // Seven characters a side fit the scratch buffer, eight do not.
        {"1234567,7654321", 0, 1234567, 7654321}, {"12345678,1", -1, kUntouched, kUntouched},
        {"1,12345678", -1, kUntouched, kUntouched}, {"100500", -1, kUntouched, kUntouched},
        {"", -1, kUntouched, kUntouched},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int x = kUntouched, y = kUntouched;
        EXPECT_EQ(c.result, Str2Int(c.text, &x, &y));
        EXPECT_EQ(c.x, x);
        EXPECT_EQ(c.y, y);
    }
}

}  // namespace
