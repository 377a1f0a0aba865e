// Problem: ./device.conf is edited by hand, so every variant of a line
// (blanks, tabs, CRLF, comments, long lines) must read the same way.
// Solution: each case writes a profile file and looks a key up through the
// real file reader.
#include "profile.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

// A profile of its own for each test process, holding content (none: no
// file).
struct ProfileFile {
    explicit ProfileFile(const char* content) : path("profile_test." + std::to_string(getpid()) + ".conf")
    {
        if (content != nullptr) {
            EXPECT_TRUE(std::ofstream(path, std::ios::binary) << content) << path;
        }
    }
    ~ProfileFile() { unlink(path.c_str()); }
    std::string path;
};

struct LookupCase {
    const char* name;
    std::string content;
    std::string key;
    int rc;
    std::string value;  // when rc is 0
    size_t size = 64;   // capacity handed to the reader
    std::string err = "";
};

const std::string k31(31, 'K');
const std::string k32(32, 'K');
const std::string kTooLong = "profile key KEY: value longer than 7 characters, ignored\n";

const LookupCase kLookups[] = {
    {"BlanksTabsAndCrTrimmed", " \tKEY \t=\t value \t\r\n", "KEY", 0, "value"},
    {"EqualsAndHashInValueKept", "KEY=a=b#c # d\n", "KEY", 0, "a=b#c # d"},
    {"CommentsBlankLinesAndLinesWithoutEqualsSkipped",
     "# KEY=old\n  #KEY=older\n\n \t\r\nKEY\nKEY value\nKEY=new\n", "KEY", 0, "new"},
    {"FirstMatchWins", "KEY=first\nKEY=second\n", "KEY", 0, "first"},
    {"PrefixesAndOtherCasesDoNotMatch", "KEYX=a\nKEY_2=b\nKE=c\nkey=d\nKey=e\n", "KEY", -1, ""},
    {"WordsBeforeEqualsIgnored", "KEY some words = v\n", "KEY", 0, "v"},
    {"PipeEndsKey", "KEY|OTHER=v\n", "KEY", 0, "v"},
    {"CaretEndsKey", "KEY^X=v\n", "KEY", 0, "v"},
    {"NoKeyAfterPipeOrInValue", "KEY|OTHER=v\nX=OTHER=w\n", "OTHER", -1, ""},
    {"BlankValueKeptAsScanned", "KEY=  \t \n", "KEY", 0, "  \t "},
    {"EmptyValueIsEmpty", "KEY=\nKEY=later\n", "KEY", 0, ""},
    {"EmptyValueAtFileEnd", "KEY=", "KEY", 0, ""},
    {"LastLineWithoutLineFeed", "A=1\nKEY=last", "KEY", 0, "last"},
    {"MissingKey", "A=1\n", "KEY", -1, ""},
    // fgets reads 255 bytes at a time; the rest of a longer line is a line
    // of its own.
    {"PieceAt256IsALine", std::string(255, 'x') + "KEY=v\n", "KEY", 0, "v"},
    {"PieceStartsInsideKey", std::string(254, 'x') + "KEY=v\n", "KEY", -1, ""},
    {"LongValueEndsWithItsPiece", "KEY=" + std::string(300, 'a') + "\n", "KEY", 0, std::string(251, 'a'), 300},
    {"LineAfterLongValue", "KEY=" + std::string(300, 'a') + "\nNEXT=n\n", "NEXT", 0, "n"},
    // The key buffer holds 31 characters; a longer key never matches, not
    // even by its first 31.
    {"Key31", k31 + "=v\n", k31, 0, "v"},
    {"Key32", k32 + "=v\n", k32, -1, ""},
    {"Key32IsNot31", k32 + "=v\n" + k31 + "=w\n", k31, 0, "w"},
    // The value as scanned, before trimming, must fit with its zero byte; the
    // first matching line decides.
    {"ValueAtCapacityMinusOne", "KEY=1234567\n", "KEY", 0, "1234567", 8},
    {"ValueAtCapacity", "KEY=12345678\n", "KEY", -1, "", 8, kTooLong},
    {"TrimmedAfterFit", "KEY= 12345 \n", "KEY", 0, "12345", 8},
    {"BlanksCountBeforeTrim", "KEY=  12345 \n", "KEY", -1, "", 8, kTooLong},
    {"RefusedFirstMatchDecides", "KEY=12345678\nKEY=ok\n", "KEY", -1, "", 8, kTooLong},
};

TEST(ProfileLookup, EveryLineVariant)
{
    for (const LookupCase& c : kLookups) {
        SCOPED_TRACE(c.name);
        ProfileFile file(c.content.c_str());
        // The reader may write the value and its zero byte, nothing else; a
        // refused lookup writes nothing.
        std::string val(320, 'z');
        testing::internal::CaptureStderr();
        EXPECT_EQ(GetProfileString(file.path.c_str(), c.key.c_str(), &val[0], c.size), c.rc);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        std::string expected(320, 'z');
        if (c.rc == 0)
            expected.replace(0, c.value.size() + 1, c.value + '\0');
        EXPECT_EQ(val, expected);
    }
}

TEST(ProfileLookup, MissingFileFailsAndSaysSoAtEachLookup)
{
    ProfileFile file(nullptr);
    char val[8] = "junk";
    int number = 99;
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetProfileString(file.path.c_str(), "KEY", val), -1);
    EXPECT_EQ(GetProfileInt(file.path.c_str(), "KEY", &number), -1);
    std::string line = "openfile [" + file.path + "] error [" + strerror(ENOENT) + "]\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line + line);
    EXPECT_STREQ(val, "junk");
    EXPECT_EQ(number, 99);
}

// strtol's leniency, clamped to 32 bits even where long is wider; a failed
// lookup leaves the integer alone.
TEST(ProfileInt, ConvertsClampsOrLeavesAlone)
{
    struct { const char* content; int rc; int number; } cases[] = {
        {"N=-42", 0, -42}, {"N=+17", 0, 17}, {"N= 12 \r", 0, 12}, {"N=12abc", 0, 12},
        {"N=abc", 0, 0}, {"N=0x1f", 0, 0}, {"N=", 0, 0},
        {"N=2147483647", 0, INT32_MAX}, {"N=2147483648", 0, INT32_MAX},
        {"N=999999999999999", 0, INT32_MAX}, {"N=-2147483648", 0, INT32_MIN},
        {"N=-2147483649", 0, INT32_MIN}, {"N=-99999999999999", 0, INT32_MIN},
        {"M=5", -1, 77}, {"N=1234567890123456", -1, 77},  // 16 characters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        ProfileFile file(c.content);
        int number = 77;
        testing::internal::CaptureStderr();
        EXPECT_EQ(GetProfileInt(file.path.c_str(), "N", &number), c.rc);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(number, c.number);
    }
}

TEST(Trim, RemovesCLocaleWhiteSpaceOnly)
{
    struct { const char *in, *l, *r, *a; } cases[] = {
        {" \t\va b \f\r\n", "a b \f\r\n", " \t\va b", "a b"},
        {"", "", "", ""},
        {" \t\r\n", "", "", ""},
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

TEST(TrimDeathTest, GuardsAgainstMisuse)
{
    // The default "fast" style forks without re-executing the binary, which
    // also works under a user-mode emulator; this process has one thread. A
    // process that cannot dump leaves no core file.
    for (auto fn : {l_trim, r_trim, a_trim}) {
        char buf[8] = "x";
        EXPECT_DEATH((prctl(PR_SET_DUMPABLE, 0), fn(nullptr, "x")), "szOutput != NULL");
        EXPECT_DEATH((prctl(PR_SET_DUMPABLE, 0), fn(buf, nullptr)), "szInput != NULL");
        EXPECT_DEATH((prctl(PR_SET_DUMPABLE, 0), fn(buf, buf)), "szOutput != szInput");
    }
}

} // namespace
