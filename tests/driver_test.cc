// libfeedinput as the program uses it: loaded by path, called by name, with
// everything it writes read back from the event node of a sandbox.
//
// The test binary exports its own write(), usleep() and time(), which the
// library's calls bind to ahead of the C library's. They pass straight
// through unless a case arms them: to see where each pause falls among the
// records, to hold the clock on one second, or to have the kernel's EINTR
// land on a record.
#include "driver_test_util.h"
#include "sandbox.h"

#include <elf.h>
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <set>
#include <utility>

namespace {

// Pauses taken while armed: (microseconds, records on the node so far).
bool gPausesArmed = false;
std::vector<std::pair<unsigned, size_t>> gPauses;
// Seconds that time() reports while armed.
bool gClockArmed = false;
time_t gClock = 0;
// Writes of one record (to anything but the console) that fail with EINTR
// before any byte goes out, and how many such writes were attempted.
int gInterruptsLeft = 0;
int gRecordWrites = 0;

const char kNode[] = "/dev/input/event0";

}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t count)
{
    if (fd > STDERR_FILENO && count == sizeof(struct input_event)) {
        gRecordWrites++;
        if (gInterruptsLeft > 0) {
            gInterruptsLeft--;
            errno = EINTR;
            return -1;
        }
    }
    return syscall(SYS_write, fd, buf, count);
}

extern "C" int usleep(useconds_t us)
{
    if (gPausesArmed) {
        struct stat st;
        size_t records = stat(kNode, &st) == 0 ? st.st_size / sizeof(struct input_event) : 0;
        gPauses.push_back({us, records});
        return 0;
    }
    struct timespec ts = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    return 0;
}

extern "C" time_t time(time_t* out) noexcept
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    time_t t = gClockArmed ? gClock : now.tv_sec;
    if (out != nullptr)
        *out = t;
    return t;
}

namespace {

bool IsOpen(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

void MakeNode()
{
    int fd = open(kNode, O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    close(fd);
}

// Moves the node away so that what a reused descriptor writes and what a
// fresh open writes land in different files.
void SetNodeAside(const char* to)
{
    ASSERT_EQ(0, rename(kNode, to)) << strerror(errno);
    MakeNode();
}

std::string Node() { return ReadAll(kNode); }

void LimitFileSize(rlim_t bytes)
{
    struct rlimit lim;
    getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = bytes;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &lim)) << strerror(errno);
}

// "can not get driver version for" names the node, so the line says what
// was queried; a regular file in place of the node always fails the query.
const std::string kNoVersion = "can not get driver version for /dev/input/event0\n";
const std::string kNoKeyVersion = "get hwkey info error\n";

// Runs each case in a fresh sandbox child; the child's own assertions
// decide its exit status.
class DriverSandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs root for mount and PID namespaces";
    }
    void InSandbox(const std::function<void(Driver&)>& body)
    {
        int st = sb_.Run([&body] {
            // A write past the file size limit must fail, not kill.
            signal(SIGXFSZ, SIG_IGN);
            Driver d;
            if (d.ok())
                body(d);
            fflush(nullptr);
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        ASSERT_TRUE(WIFEXITED(st)) << "sandboxed case died, status " << st;
        EXPECT_EQ(0, WEXITSTATUS(st)) << "see the sandboxed case's failures above";
    }
    Sandbox sb_;
};

// ---- Exports ----------------------------------------------------------

// Reads the library's own tables field by field. Copies, not casts: a
// table's offset inside the file need not suit the structure's alignment.
struct ElfView {
    std::string image;
    template <class T>
    bool at(size_t off, T* out) const
    {
        if (off > image.size() || image.size() - off < sizeof(T))
            return false;
        memcpy(out, image.data() + off, sizeof(T));
        return true;
    }
    std::string str(const ElfW(Shdr)& strtab, size_t off) const
    {
        if (off >= strtab.sh_size || strtab.sh_offset + off >= image.size())
            return "";
        return std::string(image.c_str() + strtab.sh_offset + off);
    }
};

TEST(DriverLibraryTest, ExportsExactlyTheDriverInterfaceUnderItsSoname)
{
    ElfView elf{ReadAll(FEEDINPUT_PATH)};
    ElfW(Ehdr) eh;
    ASSERT_TRUE(elf.at(0, &eh));
    ASSERT_EQ(0, memcmp(eh.e_ident, ELFMAG, SELFMAG));
    ASSERT_EQ(sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32, eh.e_ident[EI_CLASS]);
    auto section = [&](size_t i) {
        ElfW(Shdr) sh;
        EXPECT_TRUE(elf.at(eh.e_shoff + i * eh.e_shentsize, &sh)) << "section " << i;
        return sh;
    };

    std::set<std::string> functions, objects, others;
    std::string soname;
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const ElfW(Shdr) sh = section(i);
        const ElfW(Shdr) strtab = section(sh.sh_link);
        if (sh.sh_type == SHT_DYNSYM) {
            for (size_t off = sh.sh_offset; off + sizeof(ElfW(Sym)) <= sh.sh_offset + sh.sh_size;
                 off += sizeof(ElfW(Sym))) {
                ElfW(Sym) s;
                ASSERT_TRUE(elf.at(off, &s));
                // Undefined ones are what the library needs; absolute
                // zero-sized ones name its version node.
                if (s.st_shndx == SHN_UNDEF || ELF32_ST_BIND(s.st_info) == STB_LOCAL ||
                    (s.st_shndx == SHN_ABS && s.st_value == 0 && s.st_size == 0))
                    continue;
                std::string name = elf.str(strtab, s.st_name);
                if (ELF32_ST_TYPE(s.st_info) == STT_FUNC)
                    functions.insert(name);
                else if (ELF32_ST_TYPE(s.st_info) == STT_OBJECT && s.st_size == sizeof(int))
                    objects.insert(name);
                else
                    others.insert(name);
            }
        } else if (sh.sh_type == SHT_DYNAMIC) {
            for (size_t off = sh.sh_offset; off + sizeof(ElfW(Dyn)) <= sh.sh_offset + sh.sh_size;
                 off += sizeof(ElfW(Dyn))) {
                ElfW(Dyn) dyn;
                if (elf.at(off, &dyn) && dyn.d_tag == DT_SONAME)
                    soname = elf.str(strtab, dyn.d_un.d_val);
            }
        }
    }
    EXPECT_EQ((std::set<std::string>{"touchClick", "touchLongClick", "touchSwipe", "ComputePos",
                                     "linePos", "CreateResource", "ReleaseResource",
                                     "sendHKeyInput", "CreateResource1", "ReleaseResource1"}),
              functions);
    EXPECT_EQ((std::set<std::string>{"m_fd", "mFdhwkey"}), objects);
    EXPECT_EQ(std::set<std::string>{}, others);
    EXPECT_EQ("libfeedinput.so.0", soname);
}

// ---- Path builders ----------------------------------------------------

// Expected point: each coordinate exact or drawn from [lo, hi].
struct Span {
    long long lo, hi;
    Span(long long v) : lo(v), hi(v) {}
    Span(long long l, long long h) : lo(l), hi(h) {}
};
struct PathCase {
    const char* name;
    int x, y, x2, y2, step;
    std::vector<std::pair<Span, Span>> points;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class ComputePosTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(ComputePosTest, AppendsStartAdvancingMiddleAndEnd)
{
    const PathCase& c = GetParam();
    Driver d;
    ASSERT_TRUE(d.ok());
    // A path handed in already holding points keeps them.
    std::vector<postion> path{{-7, -7}};
    d.ComputePos(c.x, c.y, c.x2, c.y2, path, c.step);
    ASSERT_EQ(c.points.size() + 1, path.size());
    EXPECT_EQ(-7, path[0].x);
    for (size_t i = 0; i < c.points.size(); ++i) {
        const postion& p = path[i + 1];
        const Span& sx = c.points[i].first;
        const Span& sy = c.points[i].second;
        EXPECT_TRUE(sx.lo <= p.x && p.x <= sx.hi) << "point " << i << " x " << p.x;
        EXPECT_TRUE(sy.lo <= p.y && p.y <= sy.hi) << "point " << i << " y " << p.y;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ComputePosTest,
    ::testing::Values(
        PathCase{"straight_right", 0, 0, 100, 0, 5,
                 {{0, 0}, {20, 0}, {40, 0}, {60, 0}, {80, 0}, {100, 0}}},
        PathCase{"steep_draws_x", 0, 0, 3, 50, 5,
                 {{0, 0}, {{0, 3}, 10}, {{0, 3}, 20}, {{0, 3}, 30}, {{0, 3}, 40}, {3, 50}}},
        PathCase{"leftward_draws_y_downward", 500, 300, 100, 310, 5,
                 {{500, 300}, {420, {300, 310}}, {340, {300, 310}}, {260, {300, 310}},
                  {180, {300, 310}}, {100, 310}}},
        PathCase{"up_and_left", 100, 50, 0, 40, 4,
                 {{100, 50}, {75, {40, 50}}, {50, {40, 50}}, {25, {40, 50}}, {0, 40}}},
        // Shorter than the step on both axes: the y step truncates to 0.
        PathCase{"shorter_than_step", 10, 10, 12, 13, 5,
                 {{10, 10}, {{10, 12}, 10}, {{10, 12}, 10}, {{10, 12}, 10}, {{10, 12}, 10}, {12, 13}}},
        PathCase{"step_1", 0, 0, 100, 40, 1, {{0, 0}, {100, 40}}},
        // Without a positive step only the ends exist; no division by 0.
        PathCase{"step_0", 0, 0, 100, 40, 0, {{0, 0}, {100, 40}}},
        PathCase{"negative_step", 0, 0, 100, 40, -3, {{0, 0}, {100, 40}}},
        // Ends a full int range apart: the difference needs 33 bits.
        PathCase{"whole_int_range", INT_MIN, INT_MIN, INT_MAX, INT_MAX, 4,
                 {{INT_MIN, INT_MIN},
                  {INT_MIN + 1073741823LL, {INT_MIN, INT_MAX}},
                  {INT_MIN + 2 * 1073741823LL, {INT_MIN, INT_MAX}},
                  {INT_MIN + 3 * 1073741823LL, {INT_MIN, INT_MAX}},
                  {INT_MAX, INT_MAX}}}),
    [](const ::testing::TestParamInfo<PathCase>& i) { return std::string(i.param.name); });

class ComputePosClockTest : public ::testing::Test {
protected:
    void TearDown() override { gClockArmed = false; }
    std::vector<postion> PathAt(time_t when)
    {
        gClockArmed = true;
        gClock = when;
        std::vector<postion> path;
        d.ComputePos(0, 0, 1000000, 1000000, path, 10);
        return path;
    }
    static std::vector<std::pair<int, int>> Plain(const std::vector<postion>& p)
    {
        std::vector<std::pair<int, int>> out;
        for (const postion& q : p)
            out.push_back({q.x, q.y});
        return out;
    }
    Driver d;
};

TEST_F(ComputePosClockTest, SameSecondGivesSamePathAndNextSecondAnother)
{
    ASSERT_TRUE(d.ok());
    auto first = Plain(PathAt(1700000000));
    rand();  // whatever the program drew in between does not matter
    EXPECT_EQ(first, Plain(PathAt(1700000000)));
    EXPECT_NE(first, Plain(PathAt(1700000001)));
}

TEST_F(ComputePosClockTest, ReseedsTheProcessWideGenerator)
{
    ASSERT_TRUE(d.ok());
    srand(12345);
    PathAt(1700000000);  // nine points drawn between the ends
    int next = rand();
    srand(1700000000);
    for (int i = 0; i < 9; ++i)
        rand();
    EXPECT_EQ(rand(), next);
}

TEST_F(ComputePosClockTest, DrawsReachBothEndsOfTheRange)
{
    ASSERT_TRUE(d.ok());
    gClockArmed = true;
    int lo = INT_MAX, hi = INT_MIN;
    for (time_t t = 1; t <= 100; ++t) {
        gClock = t;
        std::vector<postion> path;
        d.ComputePos(5, 0, 8, 50, path, 5);
        for (size_t i = 1; i + 1 < path.size(); ++i) {
            lo = std::min(lo, path[i].x);
            hi = std::max(hi, path[i].x);
        }
    }
    EXPECT_EQ(5, lo);
    EXPECT_EQ(8, hi);
}

struct LineCase {
    const char* name;
    int x1, y1, x2, y2;
    std::vector<std::pair<int, int>> points;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class LinePosTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(LinePosTest, AppendsIntegerPointsUpToTheLargerEnd)
{
    const LineCase& c = GetParam();
    Driver d;
    ASSERT_TRUE(d.ok());
    std::vector<postion> path{{-7, -7}};
    d.linePos(c.x1, c.y1, c.x2, c.y2, path);
    std::vector<std::pair<int, int>> got;
    for (size_t i = 1; i < path.size(); ++i)
        got.push_back({path[i].x, path[i].y});
    EXPECT_EQ(-7, path[0].x);
    EXPECT_EQ(c.points, got);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LinePosTest,
    ::testing::Values(
        LineCase{"horizontal_leftward", 5, 7, 1, 7, {{1, 7}, {2, 7}, {3, 7}, {4, 7}}},
        LineCase{"horizontal_rightward", 1, 7, 5, 7, {{1, 7}, {2, 7}, {3, 7}, {4, 7}}},
        LineCase{"same_point", 4, 4, 4, 4, {}},
        LineCase{"vertical_upward", 3, 9, 3, 5, {{3, 5}, {3, 6}, {3, 7}, {3, 8}}},
        LineCase{"diagonal", 0, 0, 3, 3, {{0, 0}, {1, 1}, {2, 2}}},
        LineCase{"steep", 0, 0, 2, 6, {{0, 0}, {0, 1}, {0, 2}, {1, 3}, {1, 4}, {1, 5}}},
        LineCase{"steep_falling", 0, 6, 2, 0, {{2, 0}, {1, 1}, {1, 2}, {1, 3}, {0, 4}, {0, 5}}},
        // A slope below 1 truncates to 0: the line lies flat at the start.
        LineCase{"shallow", 0, 10, 4, 8, {{0, 10}, {1, 10}, {2, 10}, {3, 10}}},
        LineCase{"offset_diagonal", 2, 5, 5, 2, {{2, 5}, {3, 4}, {4, 3}}}),
    [](const ::testing::TestParamInfo<LineCase>& i) { return std::string(i.param.name); });

// ---- Clicks, long clicks, key presses -------------------------------

using RecordTest = DriverSandboxTest;

TEST_F(RecordTest, ClickWritesDownAndLiftAndClosesTheNode)
{
    InSandbox([](Driver& d) {
        EXPECT_EQ(-1, *d.m_fd);
        EXPECT_EQ(-1, *d.mFdhwkey);
        MakeNode();
        Console con;
        gPausesArmed = true;
        int r = d.touchClick(100, 200);
        gPausesArmed = false;
        std::string out = con.out.Take(), err = con.err.Take();
        EXPECT_EQ(0, r);
        ExpectRecords(Node(), Down(100, 200) + Lift());
        EXPECT_TRUE(gPauses.empty());
        EXPECT_EQ(-1, *d.m_fd);
        EXPECT_EQ(kNoVersion, out);
        EXPECT_EQ("", err);
    });
}

TEST_F(RecordTest, LongClickPausesOnceBetweenDownAndLift)
{
    // A negative duration must not become hours of unsigned microseconds.
    for (int duration : {800, 0, -5}) {
        SCOPED_TRACE(duration);
        InSandbox([duration](Driver& d) {
            MakeNode();
            gPausesArmed = true;
            EXPECT_EQ(0, d.touchLongClick(-3, 70000, duration));
            gPausesArmed = false;
            ExpectRecords(Node(), Down(-3, 70000) + Lift());
            unsigned expected = duration > 0 ? duration : 0;
            EXPECT_EQ((std::vector<std::pair<unsigned, size_t>>{{expected, 7}}), gPauses);
            EXPECT_EQ(-1, *d.m_fd);
        });
    }
}

TEST_F(RecordTest, EachGestureOpensAndClosesTheNodeAgain)
{
    InSandbox([](Driver& d) {
        MakeNode();
        Console con;
        EXPECT_EQ(0, d.touchClick(1, 2));
        SetNodeAside("/dev/input/first");
        EXPECT_EQ(0, d.touchLongClick(3, 4, 0));
        std::string out = con.out.Take();
        ExpectRecords(ReadAll("/dev/input/first"), Down(1, 2) + Lift());
        ExpectRecords(Node(), Down(3, 4) + Lift());
        EXPECT_EQ(kNoVersion + kNoVersion, out);
        EXPECT_EQ(-1, *d.m_fd);
    });
}

TEST_F(RecordTest, KeyPressWritesLow16BitsOfTheCode)
{
    const std::vector<std::pair<int, int>> codes = {
        {115, 115}, {65536 + 115, 115}, {-1, 65535}, {0x1234abcd, 0xabcd}, {0, 0}};
    InSandbox([&codes](Driver& d) {
        for (const auto& c : codes) {
            SCOPED_TRACE(c.first);
            MakeNode();
            Console con;
            int r = d.sendHKeyInput(c.first);
            std::string out = con.out.Take(), err = con.err.Take();
            EXPECT_EQ(0, r);
            ExpectRecords(Node(), KeyPress(c.second));
            EXPECT_EQ(-1, *d.mFdhwkey);
            EXPECT_EQ(kNoKeyVersion, out);
            EXPECT_EQ("", err);
        }
    });
}

TEST_F(RecordTest, InterruptedWritesAreRetried)
{
    InSandbox([](Driver& d) {
        MakeNode();
        Console con;
        gRecordWrites = 0;
        gInterruptsLeft = 3;
        EXPECT_EQ(0, d.touchClick(10, 20));
        ExpectRecords(Node(), Down(10, 20) + Lift());
        SetNodeAside("/dev/input/click");
        gInterruptsLeft = 2;
        EXPECT_EQ(0, d.sendHKeyInput(114));
        ExpectRecords(Node(), KeyPress(114));
        EXPECT_EQ(10 + 3 + 4 + 2, gRecordWrites);
        EXPECT_EQ("", con.err.Take());
    });
}

// ---- Swipes -----------------------------------------------------------

struct SwipeCase {
    const char* name;
    int x, y, x2, y2, step, duration;
    int result;
    std::vector<int> moves;  // path indices of the paced moves, in order
    int end;                 // path index of the final move, -1 for none
    unsigned pause;          // after each record of a paced move
};

void PrintTo(const SwipeCase& c, std::ostream* os) { *os << c.name; }

class SwipeTest : public DriverSandboxTest, public ::testing::WithParamInterface<SwipeCase> {};

TEST_P(SwipeTest, WritesDownMovesAndLiftAlongThePath)
{
    const SwipeCase c = GetParam();
    InSandbox([&c](Driver& d) {
        MakeNode();
        // Same second, same path: the test's copy is the swipe's.
        gClockArmed = true;
        gClock = 1700000000;
        std::vector<postion> path;
        d.ComputePos(c.x, c.y, c.x2, c.y2, path, c.step);

        Console con;
        gPausesArmed = true;
        int r = d.touchSwipe(c.x, c.y, c.x2, c.y2, c.step, c.duration);
        gPausesArmed = false;
        std::string out = con.out.Take(), err = con.err.Take();
        EXPECT_EQ(c.result, r);
        EXPECT_EQ(kNoVersion, out);
        EXPECT_EQ("", err);

        Recs want;
        std::vector<std::pair<unsigned, size_t>> pauses;
        if (c.result == 0) {
            want = Down(c.x, c.y);
            for (int i : c.moves) {
                want = want + Move(path.at(i).x, path.at(i).y);
                for (int k = 0; k < 5; ++k)
                    pauses.push_back({c.pause, want.size() - 4 + k});
            }
            if (c.end >= 0)
                want = want + Move(path.at(c.end).x, path.at(c.end).y) + Lift();
        }
        ExpectRecords(Node(), want);
        EXPECT_EQ(pauses, gPauses);

        if (c.result == 1) {
            // Nothing to draw leaves the node open for the next gesture.
            ASSERT_TRUE(IsOpen(*d.m_fd));
            SetNodeAside("/dev/input/kept");
            EXPECT_EQ(0, d.touchClick(5, 6));
            ExpectRecords(ReadAll("/dev/input/kept"), Down(5, 6) + Lift());
            ExpectRecords(Node(), Recs{});
        }
        EXPECT_EQ(-1, *d.m_fd);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Swipes, SwipeTest,
    ::testing::Values(
        SwipeCase{"right_step5", 100, 300, 500, 310, 5, 75000, 0, {1, 2}, 5, 15000},
        // x is the major axis and falls: walk back and lift at the start.
        SwipeCase{"left_step5", 500, 300, 100, 310, 5, 75000, 0, {4, 3}, 0, 15000},
        SwipeCase{"down_step4", 200, 100, 210, 900, 4, 1000, 0, {1}, 4, 250},
        SwipeCase{"up_step6", 200, 900, 190, 100, 6, 600, 0, {5, 4, 3}, 0, 100},
        // On a tie the x direction decides.
        SwipeCase{"tie_leftward", 0, 0, -50, 50, 5, 5, 0, {4, 3}, 0, 1},
        SwipeCase{"tie_rightward", 0, 50, 50, 0, 5, 5, 0, {1, 2}, 5, 1},
        SwipeCase{"step3_no_moves", 0, 0, 100, 0, 3, 75000, 0, {}, 3, 0},
        SwipeCase{"step2_down_only", 0, 0, 100, 0, 2, 75000, 0, {}, -1, 0},
        SwipeCase{"step1_down_only", 0, 0, 100, 0, 1, 75000, 0, {}, -1, 0},
        SwipeCase{"negative_step_down_only", 0, 0, 100, 0, -5, 75000, 0, {}, -1, 0},
        SwipeCase{"int_min_step_down_only", 0, 0, 100, 0, INT_MIN, 75000, 0, {}, -1, 0},
        SwipeCase{"negative_duration_no_wait", 100, 300, 500, 310, 5, -75000, 0, {1, 2}, 5, 0},
        SwipeCase{"whole_int_range", INT_MIN, 0, INT_MAX, 0, 4, 4, 0, {1}, 4, 1},
        SwipeCase{"step0_nothing", 0, 0, 100, 0, 0, 75000, 1, {}, -1, 0},
        SwipeCase{"no_displacement", 7, 7, 7, 7, 5, 75000, 1, {}, -1, 0}),
    [](const ::testing::TestParamInfo<SwipeCase>& i) { return std::string(i.param.name); });

// ---- Failures ---------------------------------------------------------

struct Gesture {
    const char* name;
    std::function<int(Driver&)> call;
    Recs records;
    bool key;
};

const std::vector<Gesture>& Gestures()
{
    static const std::vector<Gesture> all = {
        {"click", [](Driver& d) { return d.touchClick(9, 8); }, Down(9, 8) + Lift(), false},
        {"long_click", [](Driver& d) { return d.touchLongClick(9, 8, 0); }, Down(9, 8) + Lift(), false},
        {"swipe", [](Driver& d) { return d.touchSwipe(0, 0, 100, 0, 3, 0); },
         Down(0, 0) + Move(100, 0) + Lift(), false},
        {"key", [](Driver& d) { return d.sendHKeyInput(116); }, KeyPress(116), true},
    };
    return all;
}

using FailureTest = DriverSandboxTest;

TEST_F(FailureTest, MissingNodeFailsAndTheNextCallOpensAgain)
{
    InSandbox([](Driver& d) {
        for (const Gesture& g : Gestures()) {
            SCOPED_TRACE(g.name);
            unlink(kNode);
            Console con;
            int r = g.call(d);
            std::string out = con.out.Take(), err = con.err.Take();
            EXPECT_EQ(-1, r);
            EXPECT_EQ(g.key ? "can not set devhwkeyname" + kNoKeyVersion
                            : "could not open /dev/input/event0\n" + kNoVersion,
                      out);
            EXPECT_EQ("write event failed, " + std::string(strerror(EBADF)) + "\n", err);
            EXPECT_EQ(-1, g.key ? *d.mFdhwkey : *d.m_fd);

            MakeNode();
            EXPECT_EQ(0, g.call(d));
            ExpectRecords(Node(), g.records);
        }
    });
}

// The kernel refuses a write past RLIMIT_FSIZE with EFBIG, and cuts one that
// straddles it short: a failure at any record, whole or torn.
struct CutCase {
    const char* name;
    size_t gesture;  // index into Gestures()
    size_t records;  // whole records the node accepts
    size_t extra;    // bytes of the next record it still accepts
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class WriteFailureTest : public DriverSandboxTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(WriteFailureTest, StopsAtTheFailedRecordAndTheNextCallReusesTheDescriptor)
{
    const CutCase c = GetParam();
    InSandbox([&c](Driver& d) {
        const Gesture& g = Gestures().at(c.gesture);
        int* fd = g.key ? d.mFdhwkey : d.m_fd;
        MakeNode();
        const size_t limit = c.records * sizeof(struct input_event) + c.extra;
        Console con;
        // With standard input closed the node gets descriptor 0, which is
        // as much an open descriptor to hold and reuse as any other.
        close(STDIN_FILENO);
        LimitFileSize(limit);
        int r = g.call(d);
        LimitFileSize(RLIM_INFINITY);
        std::string out = con.out.Take(), err = con.err.Take();
        EXPECT_EQ(-1, r);
        EXPECT_EQ(std::string("write event failed, ") + strerror(c.extra ? EIO : EFBIG) + "\n", err);
        std::string bytes = Node();
        ASSERT_EQ(limit, bytes.size());
        ExpectRecords(bytes.substr(0, limit - c.extra),
                      Recs(g.records.begin(), g.records.begin() + c.records));

        // The finger stays down and the descriptor open: the next call
        // carries on in the same file, not in a freshly opened node.
        ASSERT_EQ(STDIN_FILENO, *fd);
        ASSERT_TRUE(IsOpen(*fd));
        const int held = *fd;
        SetNodeAside("/dev/input/held");
        {
            Console again;
            EXPECT_EQ(0, g.call(d));
            EXPECT_EQ("", again.out.Take());
        }
        ExpectRecords(ReadAll("/dev/input/held").substr(limit), g.records);
        ExpectRecords(Node(), Recs{});
        EXPECT_EQ(-1, *fd);
        EXPECT_FALSE(IsOpen(held));
    });
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, WriteFailureTest,
    ::testing::Values(CutCase{"click_first_record", 0, 0, 0},
                      CutCase{"click_after_down", 0, 7, 0},
                      CutCase{"click_torn_record", 0, 3, 8},
                      CutCase{"long_click_at_lift", 1, 7, 0},
                      CutCase{"swipe_in_final_move", 2, 9, 0},
                      CutCase{"key_after_press", 3, 1, 0},
                      CutCase{"key_torn_release", 3, 2, 5}),
    [](const ::testing::TestParamInfo<CutCase>& i) { return std::string(i.param.name); });

TEST_F(FailureTest, KeyPressBesideAHeldTouchDescriptorClosesOnlyItsOwn)
{
    InSandbox([](Driver& d) {
        MakeNode();
        LimitFileSize(3 * sizeof(struct input_event));
        EXPECT_EQ(-1, d.touchClick(1, 1));
        LimitFileSize(RLIM_INFINITY);
        const int touch = *d.m_fd;
        ASSERT_TRUE(IsOpen(touch));
        SetNodeAside("/dev/input/touch");

        EXPECT_EQ(0, d.sendHKeyInput(115));
        ExpectRecords(Node(), KeyPress(115));
        EXPECT_EQ(-1, *d.mFdhwkey);
        EXPECT_EQ(touch, *d.m_fd);
        EXPECT_TRUE(IsOpen(touch));

        EXPECT_EQ(0, d.touchClick(2, 2));
        const Recs first = Down(1, 1);
        ExpectRecords(ReadAll("/dev/input/touch"),
                      Recs(first.begin(), first.begin() + 3) + Down(2, 2) + Lift());
        EXPECT_FALSE(IsOpen(touch));
    });
}

}  // namespace
