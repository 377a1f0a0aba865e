// Problem: the option reader and the pause range lean on small conversions
// whose corner cases (float rounding, saturation, buffer limits) decide what
// a command line or a profile value means.
// Solution: table-driven checks of each conversion and of the usage text.
#include <limits.h>
#include <math.h>
#include <stdlib.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Utils.h"

namespace {

TEST(UtilsTest, UsageTextIsEightLines)
{
    const std::vector<std::string> expected = {
        "usage: monkey :[-a appname] ",
        "               [--pct-touch PERCENT]",
        "               [--pct-longclick PERCENT]",
        "               [--pct-motion PERCENT]",
        "               [--pct-presskey PERCENT]",
        "               [--throttle MILLISEC]",
        "               [--help]",
        "               COUNT",
    };
    std::string text = showusage();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ('\n', text.back());
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    EXPECT_EQ(expected, lines);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(std::string(15, ' '), lines[i].substr(0, 15)) << "line " << i + 1;
        EXPECT_NE(' ', lines[i].at(15)) << "line " << i + 1;
    }
}

TEST(UtilsTest, NextOptionLongReadsLikeStrtol)
{
    struct Case {
        const char* text;
        float value;
    };
    const Case cases[] = {
        {"42", 42.0f},
        {"  42", 42.0f},
        {"\t+7", 7.0f},
        {"-5", -5.0f},
        {"12abc", 12.0f},
        {"abc", 0.0f},
        {"", 0.0f},
        {"-", 0.0f},
        {"0x10", 0.0f},
        {"010", 10.0f},
        {"16777216", 16777216.0f},
        // Single precision: past 2^24 only every second integer exists, and
        // ties go to the even one.
        {"16777217", 16777216.0f},
        {"16777219", 16777220.0f},
        {"-16777217", -16777216.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.value, nextOptionLong(c.text, "description"));
    }
    EXPECT_EQ(0.0f, nextOptionLong(nullptr, "the loop times of argv events"));
}

// Whatever width long has, numbers past the int range end at its limits.
TEST(UtilsTest, OptionNumbersSaturateAtTheIntRange)
{
    struct Case {
        const char* text;
        int value;
    };
    const Case cases[] = {
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999", INT_MAX},
        {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-99999999999", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
        {"2147483520", 2147483520},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.value, floatToInt(nextOptionLong(c.text, "")));
    }
}

TEST(UtilsTest, FloatToIntTruncatesAndSaturates)
{
    struct Case {
        float in;
        int out;
    };
    const Case cases[] = {
        {0.0f, 0},
        {-0.0f, 0},
        {1.9f, 1},
        {-1.9f, -1},
        {2147483520.0f, 2147483520},  // the largest float below 2^31
        {2147483648.0f, INT_MAX},
        {1e20f, INT_MAX},
        {INFINITY, INT_MAX},
        {-2147483648.0f, INT_MIN},
        {-1e20f, INT_MIN},
        {-INFINITY, INT_MIN},
        {NAN, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(c.out, floatToInt(c.in));
    }
}

TEST(UtilsTest, Str2IntSplitsAtTheFirstComma)
{
    const int kUntouched = -777;
    struct Case {
        const char* text;
        int result;
        int x;
        int y;
    };
    const Case cases[] = {
        {"100,500", 0, 100, 500},
        {"500,100", 0, 500, 100},
        {"100 , 500", 0, 100, 500},
        {" 100 ,  500", 0, 100, 500},
        {"-50,200", 0, -50, 200},
        {"abc,def", 0, 0, 0},
        {",", 0, 0, 0},
        {",5", 0, 0, 5},
        {"5,", 0, 5, 0},
        {"1,2,3", 0, 1, 2},
        {"12abc,7x", 0, 12, 7},
        // Seven characters a side fit the scratch buffer, eight do not.
        {"1234567,7654321", 0, 1234567, 7654321},
        {"-999999,9999999", 0, -999999, 9999999},
        {"12345678,1", -1, kUntouched, kUntouched},
        {"1,12345678", -1, kUntouched, kUntouched},
        {"100500", -1, kUntouched, kUntouched},
        {"", -1, kUntouched, kUntouched},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int x = kUntouched;
        int y = kUntouched;
        EXPECT_EQ(c.result, Str2Int(c.text, &x, &y));
        EXPECT_EQ(c.x, x);
        EXPECT_EQ(c.y, y);
    }
}

TEST(UtilsTest, RandomTimeCoversZeroToBelowItsArgument)
{
    srand(4242);
    for (int time : {1, 2, 7, 1000}) {
        SCOPED_TRACE(time);
        std::set<int> seen;
        for (int i = 0; i < 100 * time; ++i) {
            int t = getRandomTime(time);
            ASSERT_GE(t, 0);
            ASSERT_LT(t, time);
            seen.insert(t);
        }
        EXPECT_EQ(static_cast<size_t>(time), seen.size());
    }
}

}  // namespace
