// Problem: ./device.conf is edited by hand, so every variant of a line
// (blanks, tabs, CRLF, comments, long lines) must read the same way.
// Solution: each case writes a profile into a private folder and looks a
// key up through the real file reader.
#include "profile.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

class ProfileFile {
public:
    ProfileFile()
    {
        char tmpl[] = "profile_test.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        dir_ = tmpl;
        path_ = dir_ + "/device.conf";
    }
    ~ProfileFile()
    {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    void Write(const std::string& content) const
    {
        FILE* fp = fopen(path_.c_str(), "wb");
        ASSERT_NE(fp, nullptr);
        ASSERT_EQ(fwrite(content.data(), 1, content.size(), fp), content.size());
        ASSERT_EQ(fclose(fp), 0);
    }
    const char* path() const { return path_.c_str(); }

private:
    std::string dir_;
    std::string path_;
};

struct LookupCase {
    const char* name;
    std::string content;
    const char* key;
    int rc;
    std::string value;  // expected buffer content ("junk" = untouched)
};

void PrintTo(const LookupCase& c, std::ostream* os)
{
    *os << c.name;
}

class ProfileLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(ProfileLookup, FindsValue)
{
    const LookupCase& c = GetParam();
    ProfileFile file;
    file.Write(c.content);
    char val[64] = "junk";
    EXPECT_EQ(GetProfileString(file.path(), c.key, val), c.rc);
    EXPECT_EQ(std::string(val), c.value);
}

const LookupCase kLookups[] = {
    {"BlanksAroundKeyAndValue", " KEY = value  \n", "KEY", 0, "value"},
    {"TabsAroundKeyAndValue", "\tKEY\t=\tvalue\t\n", "KEY", 0, "value"},
    {"CarriageReturnTrimmed", "KEY=value\r\n", "KEY", 0, "value"},
    {"VerticalTabFormFeedTrimmed", "\f\vKEY=\vv a\f\n", "KEY", 0, "v a"},
    {"EqualsInValueKept", "KEY=a=b==c\n", "KEY", 0, "a=b==c"},
    {"HashInValueKept", "KEY=a#b # c\n", "KEY", 0, "a#b # c"},
    {"CommentedKeySkipped", "# KEY=old\n  #KEY=older\nKEY=new\n", "KEY", 0, "new"},
    {"CommentOnlyKey", "#KEY=old\n", "KEY", -1, "junk"},
    {"BlankLinesSkipped", "\n   \n\t\r\n \f\nKEY=v\n", "KEY", 0, "v"},
    {"LineWithoutEqualsSkipped", "KEY\nKEY value\nKEY=v\n", "KEY", 0, "v"},
    {"FirstMatchWins", "KEY=first\nKEY=second\n", "KEY", 0, "first"},
    {"LongerKeyDoesNotMatch", "KEYX=a\nKEY_2=b\n", "KEY", -1, "junk"},
    {"ShorterKeyDoesNotMatch", "KE=a\n", "KEY", -1, "junk"},
    {"OtherCaseDoesNotMatch", "key=a\nKey=b\n", "KEY", -1, "junk"},
    {"WordsBeforeEqualsIgnored", "KEY some words = v\n", "KEY", 0, "v"},
    {"PipeEndsKey", "KEY|OTHER=v\n", "KEY", 0, "v"},
    {"WordAfterPipeIsNoKey", "KEY|OTHER=v\n", "OTHER", -1, "junk"},
    {"CaretEndsKey", "KEY^X=v\n", "KEY", 0, "v"},
    {"KeyInsideValueIsNoKey", "OTHER=KEY=v\n", "KEY", -1, "junk"},
    {"BlankValueKeptAsScanned", "KEY=  \t \n", "KEY", 0, "  \t "},
    {"EmptyValueIsEmpty", "KEY=\nKEY=later\n", "KEY", 0, ""},
    {"EmptyValueAtFileEnd", "KEY=", "KEY", 0, ""},
    {"LastLineWithoutLineFeed", "A=1\nKEY=last", "KEY", 0, "last"},
    {"HighBytesAreNotBlank", "KEY=\xa0v\x85\n", "KEY", 0, "\xa0v\x85"},
    {"MissingKey", "A=1\nB=2\n", "KEY", -1, "junk"},
    {"EmptyFile", "", "KEY", -1, "junk"},
};

INSTANTIATE_TEST_SUITE_P(Variants, ProfileLookup, testing::ValuesIn(kLookups),
                         [](const testing::TestParamInfo<LookupCase>& p) {
                             return std::string(p.param.name);
                         });

// fgets reads 255 bytes at a time; the rest of a longer line is a line of
// its own.
TEST(ProfileLongLines, RestOfLongLineIsALineOfItsOwn)
{
    struct {
        size_t fill;
        int rc;
    } cases[] = {
        {255, 0},   // KEY=v starts at byte 256: a piece of its own
        {254, -1},  // the piece starts at "EY=v"
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fill);
        ProfileFile file;
        file.Write(std::string(c.fill, 'x') + "KEY=v\n");
        char val[16] = "junk";
        EXPECT_EQ(GetProfileString(file.path(), "KEY", val), c.rc);
        EXPECT_STREQ(val, c.rc == 0 ? "v" : "junk");
    }
}

TEST(ProfileLongLines, LongValueEndsWithItsPiece)
{
    ProfileFile file;
    file.Write("KEY=" + std::string(300, 'a') + "\nNEXT=n\n");
    char val[300] = "";
    EXPECT_EQ(GetProfileString(file.path(), "KEY", val), 0);
    EXPECT_EQ(std::string(val), std::string(255 - 4, 'a'));
    char next[8] = "";
    EXPECT_EQ(GetProfileString(file.path(), "NEXT", next), 0);
    EXPECT_STREQ(next, "n");
}

// The key buffer holds 31 characters; a longer key never matches, not even
// by its first 31 characters.
TEST(ProfileLimits, KeysLongerThan31CharactersNeverMatch)
{
    const std::string k31(31, 'K');
    const std::string k32(32, 'K');
    struct {
        std::string line;
        std::string key;
        int rc;
    } cases[] = {
        {k31 + "=v\n", k31, 0},
        {k32 + "=v\n", k32, -1},
        {k32 + "=v\n", k31, -1},
        {k32 + "=v\n" + k31 + "=w\n", k31, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ProfileFile file;
        file.Write(c.line);
        char val[8] = "junk";
        EXPECT_EQ(GetProfileString(file.path(), c.key.c_str(), val), c.rc);
    }
}

// The value as scanned, before trimming, must fit with its zero byte; the
// first matching line decides, and a refused value leaves the buffer alone.
TEST(ProfileLimits, ValueMustFitCallersBuffer)
{
    struct {
        const char* content;
        int rc;
        const char* value;
        bool message;
    } cases[] = {
        {"KEY=1234567\n", 0, "1234567", false},
        {"KEY=12345678\n", -1, "junk", true},
        {"KEY= 12345 \n", 0, "12345", false},
        {"KEY=  12345 \n", -1, "junk", true},
        {"KEY=12345678\nKEY=ok\n", -1, "junk", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        ProfileFile file;
        file.Write(c.content);
        char val[8] = "junk";
        testing::internal::CaptureStderr();
        EXPECT_EQ(GetProfileString(file.path(), "KEY", val), c.rc);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_STREQ(val, c.value);
        EXPECT_EQ(err, c.message ? "profile key KEY: value longer than 7 characters, ignored\n" : "");
    }
}

TEST(ProfileLimits, ExplicitSizeIsHonoured)
{
    ProfileFile file;
    file.Write("KEY=abcd\n");
    char big[16];
    memset(big, 'z', sizeof big);
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetProfileString(file.path(), "KEY", big, 4), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(big[0], 'z');
    EXPECT_EQ(GetProfileString(file.path(), "KEY", big, 5), 0);
    EXPECT_STREQ(big, "abcd");
    EXPECT_EQ(big[5], 'z');
}

TEST(ProfileMissingFile, EveryLookupFailsAndSaysSo)
{
    ProfileFile file;  // never written
    char val[8] = "junk";
    int number = 99;
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetProfileString(file.path(), "KEY", val), -1);
    EXPECT_EQ(GetProfileInt(file.path(), "KEY", &number), -1);
    std::string out = testing::internal::GetCapturedStdout();
    std::string line = std::string("openfile [") + file.path() + "] error [" + strerror(ENOENT) + "]\n";
    EXPECT_EQ(out, line + line);
    EXPECT_STREQ(val, "junk");
    EXPECT_EQ(number, 99);
}

struct IntCase {
    const char* value;
    int expected;
};

void PrintTo(const IntCase& c, std::ostream* os)
{
    *os << '"' << c.value << '"';
}

class ProfileInt : public testing::TestWithParam<IntCase> {};

TEST_P(ProfileInt, ConvertsLikeStrtolClampedTo32Bits)
{
    ProfileFile file;
    file.Write(std::string("N=") + GetParam().value + "\n");
    int number = 12345;
    EXPECT_EQ(GetProfileInt(file.path(), "N", &number), 0);
    EXPECT_EQ(number, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, ProfileInt,
                         testing::Values(IntCase{"-42", -42}, IntCase{"+17", 17}, IntCase{" 12 ", 12},
                                         IntCase{"007", 7}, IntCase{"12abc", 12}, IntCase{"abc", 0},
                                         IntCase{"0x1f", 0}, IntCase{"", 0}, IntCase{"   ", 0},
                                         IntCase{"2147483647", INT32_MAX},
                                         IntCase{"2147483648", INT32_MAX},
                                         IntCase{"999999999999999", INT32_MAX},
                                         IntCase{"-2147483648", INT32_MIN},
                                         IntCase{"-2147483649", INT32_MIN},
                                         IntCase{"-99999999999999", INT32_MIN}));

TEST(ProfileIntFailures, IntegerLeftUntouched)
{
    ProfileFile file;
    file.Write("N=1234567890123456\nM=5\n");
    int number = 77;
    EXPECT_EQ(GetProfileInt(file.path(), "X", &number), -1);
    EXPECT_EQ(number, 77);
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetProfileInt(file.path(), "N", &number), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "profile key N: value longer than 15 characters, ignored\n");
    EXPECT_EQ(number, 77);
}

TEST(Trim, RemovesCLocaleWhiteSpaceOnly)
{
    struct {
        const char* in;
        const char* l;
        const char* r;
        const char* a;
    } cases[] = {
        {" \t\va b \f\r\n", "a b \f\r\n", " \t\va b", "a b"},
        {"", "", "", ""},
        {" \t\r\n", "", "", ""},
        {"x", "x", "x", "x"},
        {"\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0", "\xa0x\xa0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        char out[32];
        EXPECT_EQ(l_trim(out, c.in), out);
        EXPECT_STREQ(out, c.l);
        EXPECT_EQ(r_trim(out, c.in), out);
        EXPECT_STREQ(out, c.r);
        EXPECT_EQ(a_trim(out, c.in), out);
        EXPECT_STREQ(out, c.a);
    }
}

using TrimFn = char* (*)(char*, const char*);

// The aborts below must leave no core file anywhere.
void NoCoreDump()
{
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    prctl(PR_SET_DUMPABLE, 0);
}

TEST(TrimDeathTest, GuardsAgainstMisuse)
{
    // The default "fast" style forks without re-executing the binary, which
    // also works under a user-mode emulator; this process has one thread.
    const TrimFn fns[] = {l_trim, r_trim, a_trim};
    for (TrimFn fn : fns) {
        char buf[8] = "x";
        EXPECT_DEATH((NoCoreDump(), fn(nullptr, "x")), "szOutput != NULL");
        EXPECT_DEATH((NoCoreDump(), fn(buf, nullptr)), "szInput != NULL");
        EXPECT_DEATH((NoCoreDump(), fn(buf, buf)), "szOutput != szInput");
    }
}

} // namespace
