// The benchmark's readers on known text and records: a line misread here
// would skew a ratio in the table without any sign.
#include "figures.h"

#include <linux/input.h>
#include <math.h>
#include <string.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// --- strace -c ---------------------------------------------------------------

const char kStrace[] =
    "% time     seconds  usecs/call     calls    errors syscall\n"
    "------ ----------- ----------- --------- --------- ------------------\n"
    " 40.10    0.159047       79523         2         1 wait4\n"
    " 16.67    0.066142          12      5323           write\n"
    "  1.83    0.007244          14       504        13 openat\n"
    "  0.00    0.000000           0        12         9 execve\n"
    "------ ----------- ----------- --------- --------- ------------------\n"
    "100.00    0.396667          58      6724        30 total\n"
    "strace: Process 12 detached\n";

TEST(StraceTable, CallsByName)
{
    std::map<std::string, double> calls = ParseStraceCounts(kStrace);
    const std::map<std::string, double> expected = {
        {"wait4", 2}, {"write", 5323}, {"openat", 504}, {"execve", 12}};
    EXPECT_EQ(calls, expected);
}

TEST(StraceTable, NothingFromOtherText)
{
    for (const char* text : {"", "strace: attach: ptrace(PTRACE_SEIZE, 1): Operation not permitted\n",
                             "100.00    0.396667          58      6724        30 total\n",
                             "a b c d e\n"})
        EXPECT_TRUE(ParseStraceCounts(text).empty()) << text;
}

// --- callgrind_annotate --------------------------------------------------------

const char kAnnotate[] =
    "Events recorded:  Ir\n"
    "Thresholds:       100\n"
    "--------------------------------------------------------------------------------\n"
    "6,919,252 (100.0%)  PROGRAM TOTALS\n"
    "--------------------------------------------------------------------------------\n"
    "Ir                  file:function\n"
    "  933,924 (13.50%)  /usr/include/c++/12/ostream:Logger::start(log_rank, int, std::string const&) "
    "[/build/tapfuzz]\n"
    "  305,673 ( 4.42%)  /work/src/Logger.cc:Logger::start(log_rank, int, std::string const&) [/build/tapfuzz]\n"
    "  291,098 ( 4.21%)  ./time/./time/localtime.c:localtime_r [/usr/lib/x86_64-linux-gnu/libc.so.6]\n"
    "      447 ( 0.01%)  ???:operator new(unsigned long) [/usr/lib/libstdc++.so.6]\n"
    "   16,982 ( 0.25%)  ./nptl/../nptl/descr.h:__pthread_enable_asynccancel\n";

TEST(Annotation, TotalAndOwnCostPerFileAndFunction)
{
    Annotated a = ParseAnnotate(kAnnotate);
    EXPECT_EQ(a.total, 6919252);
    const std::map<std::string, double> expected = {
        {"/usr/include/c++/12/ostream:Logger::start(log_rank, int, std::string const&)", 933924},
        {"/work/src/Logger.cc:Logger::start(log_rank, int, std::string const&)", 305673},
        {"./time/./time/localtime.c:localtime_r", 291098},
        {"???:operator new(unsigned long)", 447},
        {"./nptl/../nptl/descr.h:__pthread_enable_asynccancel", 16982},
    };
    EXPECT_EQ(a.self, expected);
}

TEST(Annotation, SourceLinesAndHeadersAreNotFunctions)
{
    // What --auto=yes would add: annotated source lines also start with a
    // count, but carry no percentage.
    Annotated a = ParseAnnotate("    1,200  int x = rand();\n"
                                "Ir          file:function\n"
                                "12 (x%) nonsense\n");
    EXPECT_EQ(a.total, 0);
    EXPECT_TRUE(a.self.empty());
}

struct GroupCase {
    const char* fileFunction;
    const char* group;
};

// Names as callgrind_annotate prints them for a click.
const GroupCase kClickFunctions[] = {
    {"./time/./time/strftime_l.c:__strftime_internal",
     "time stamp of each line: localtime_r, strftime, time"},
    {"./time/./time/tzset.c:__tz_convert", "time stamp of each line: localtime_r, strftime, time"},
    {"./stdlib/./stdlib/random_r.c:random_r", "rand() draws"},
    {"./stdlib/./stdlib/rand.c:rand", "rand() draws"},
    {"./malloc/./malloc/malloc.c:_int_free", "heap: malloc/free, new/delete"},
    {"???:operator delete(void*, unsigned long)", "heap: malloc/free, new/delete"},
    {"./nptl/./nptl/cancellation.c:__pthread_disable_asynccancel", "locks and cancel state"},
    {"./io/../sysdeps/unix/sysv/linux/write.c:write",
     "system call stubs (write, open, close, ioctl)"},
    {"???:std::ostream::flush()", "iostream and stdio formatting (std::cout, std::string)"},
    {"/usr/include/c++/12/ostream:Logger::start(log_rank, int, std::string const&)",
     "iostream and stdio formatting (std::cout, std::string)"},
    {"./libio/./libio/iofwrite.c:fwrite", "iostream and stdio formatting (std::cout, std::string)"},
    {"/work/src/Logger.cc:Logger::~Logger()", "Logger's own code"},
    {"/work/driver/touchevent.cc:writeInputEvent(int, unsigned short, unsigned short, int)",
     "driver library's own code"},
    {"/work/src/GeneratorEvent.cc:RandomEventSource::generatePointerEvent(int)",
     "event source and bridge code"},
    {"/work/src/main.cc:main", "main loop and pacing (floor: its whole loop)"},
    {"./string/../sysdeps/x86_64/multiarch/memmove-vec-unaligned-erms.S:__memcpy_avx_unaligned_erms",
     "other (memcpy, memset, strlen, ...)"},
};

TEST(Annotation, ClickFunctionsFallInTheirGroups)
{
    for (const GroupCase& c : kClickFunctions)
        EXPECT_STREQ(GroupOf(c.fileFunction), c.group) << c.fileFunction;
}

// --- Statistics -------------------------------------------------------------------

TEST(Statistics, PercentileMedianMean)
{
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i)
        hundred.push_back(i);
    EXPECT_EQ(Percentile(hundred, 0.99), 99);
    EXPECT_EQ(Percentile(hundred, 1.0), 100);
    EXPECT_EQ(Percentile(hundred, 0.0), 1);
    EXPECT_EQ(Percentile({7}, 0.99), 7);
    EXPECT_EQ(Median({3, 1, 2}), 2);
    EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
    EXPECT_EQ(Mean({1, 2, 6}), 3);
    EXPECT_TRUE(std::isnan(Percentile({}, 0.5)));
    EXPECT_TRUE(std::isnan(Median({})));
    EXPECT_TRUE(std::isnan(Mean({})));
}

// --- Records at the node ----------------------------------------------------------

std::string Records(const std::vector<std::vector<int>>& recs)
{
    std::string raw;
    for (const auto& r : recs) {
        struct input_event ev;
        memset(&ev, 0, sizeof ev);
        ev.type = static_cast<__u16>(r[0]);
        ev.code = static_cast<__u16>(r[1]);
        ev.value = r[2];
        raw.append(reinterpret_cast<const char*>(&ev), sizeof ev);
    }
    return raw;
}

std::string Click(int x, int y)
{
    return Records({{EV_ABS, ABS_MT_TRACKING_ID, 1}, {EV_ABS, ABS_MT_POSITION_X, x}, {EV_ABS, ABS_MT_POSITION_Y, y},
                    {EV_KEY, BTN_TOUCH, 1}, {EV_ABS, ABS_X, x}, {EV_ABS, ABS_Y, y}, {EV_SYN, SYN_REPORT, 0},
                    {EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0}});
}

TEST(GestureClock, RecordsSplitAcrossReadsKeepTheirArrivalTimes)
{
    std::string raw = Click(1, 2) + Click(3, 4);
    const size_t rec = sizeof(struct input_event);
    GestureClock clock;
    // The first click in two reads cut inside a record: it begins at 100,
    // its lift report arrives at 200. The second arrives whole at 300.
    clock.take(raw.data(), 3 * rec + 5, 100);
    clock.take(raw.data() + 3 * rec + 5, 7 * rec - 5, 200);
    clock.take(raw.data() + 10 * rec, 10 * rec, 300);
    EXPECT_EQ(clock.records, 20);
    EXPECT_EQ(clock.start, (std::vector<int64_t>{100, 300}));
    EXPECT_EQ(clock.end, (std::vector<int64_t>{200, 300}));
}

TEST(GestureClock, KeyPressesAndSwipeMovesAreNoGestureEdges)
{
    std::string key = Records({{EV_KEY, KEY_POWER, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, KEY_POWER, 0},
                               {EV_SYN, SYN_REPORT, 0}});
    std::string move = Records({{EV_ABS, ABS_MT_POSITION_X, 5}, {EV_ABS, ABS_MT_POSITION_Y, 6},
                                {EV_ABS, ABS_X, 5}, {EV_ABS, ABS_Y, 6}, {EV_SYN, SYN_REPORT, 0}});
    GestureClock clock;
    clock.take(key.data(), key.size(), 1);
    clock.take(move.data(), move.size(), 2);
    EXPECT_EQ(clock.records, 9);
    EXPECT_TRUE(clock.start.empty());
    EXPECT_TRUE(clock.end.empty());
    // A half record waits for its rest.
    std::string click = Click(0, 0);
    clock.take(click.data(), 1, 3);
    EXPECT_EQ(clock.records, 9);
    clock.take(click.data() + 1, click.size() - 1, 4);
    EXPECT_EQ(clock.start, (std::vector<int64_t>{4}));
}

}  // namespace
