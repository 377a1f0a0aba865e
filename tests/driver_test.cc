// libfeedinput as the program uses it: loaded by path, called by name, with
// everything it writes read back from the event node of a sandbox.
//
// The test binary exports its own write(), usleep() and time(), which the
// library's calls bind to ahead of the C library's. They pass straight
// through unless a case arms them: to see where each pause falls among the
// records, to hold the clock on one second, or to have the kernel's EINTR
// land on a record.
#include "feedinput.h"
#include "sandbox.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <linux/input.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

typedef std::vector<std::pair<unsigned, size_t>> Pauses;  // (microseconds, records on the node)
static bool gPausesArmed = false;
static Pauses gPauses;
static bool gClockArmed = false;  // time() then reports gClock
static time_t gClock = 0;
static int gInterruptsLeft = 0;  // record writes to fail with EINTR before any byte goes out
static const char kNode[] = "/dev/input/event0";

extern "C" ssize_t write(int fd, const void* buf, size_t count)
{
    if (fd > STDERR_FILENO && count == sizeof(struct input_event) && gInterruptsLeft > 0) {
        gInterruptsLeft--;
        errno = EINTR;
        return -1;
    }
    return syscall(SYS_write, fd, buf, count);
}

extern "C" int usleep(useconds_t us)
{
    struct stat st;
    struct timespec ts = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    if (gPausesArmed)
        gPauses.push_back({us, stat(kNode, &st) == 0 ? st.st_size / sizeof(struct input_event) : 0});
    else
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    return 0;
}

extern "C" time_t time(time_t* out) noexcept
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t t = gClockArmed ? gClock : now.tv_sec;
    return out != nullptr ? *out = t : t;
}

namespace {

// Every name the program looks up, typed by the library's own declarations:
// a signature that drifts from what the program calls breaks this build.
#define FEEDINPUT_NAMES(X)                                                                    \
    X(touchClick) X(touchLongClick) X(touchSwipe) X(ComputePos) X(linePos) X(CreateResource) \
    X(ReleaseResource) X(m_fd) X(sendHKeyInput) X(CreateResource1) X(ReleaseResource1) X(mFdhwkey)
#define FEEDINPUT_SLOT(name) decltype(&::name) name = nullptr;
#define FEEDINPUT_BIND(name)                                                          \
    if ((name = reinterpret_cast<decltype(name)>(h ? dlsym(h, #name) : nullptr)) == nullptr) \
        ok = false, ADD_FAILURE() << #name << ": " << dlerror();

struct Driver {
    FEEDINPUT_NAMES(FEEDINPUT_SLOT)
    bool ok = true;
    Driver()
    {
        void* h = dlopen(FEEDINPUT_PATH, RTLD_NOW);
        FEEDINPUT_NAMES(FEEDINPUT_BIND)
    }
};

typedef std::vector<std::array<int, 3>> Recs;  // type, code, value
Recs operator+(Recs a, const Recs& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
Recs Down(int x, int y)
{
    return {{EV_ABS, ABS_MT_TRACKING_ID, 1}, {EV_ABS, ABS_MT_POSITION_X, x}, {EV_ABS, ABS_MT_POSITION_Y, y},
            {EV_KEY, BTN_TOUCH, 1}, {EV_ABS, ABS_X, x}, {EV_ABS, ABS_Y, y}, {EV_SYN, SYN_REPORT, 0}};
}
Recs Move(const postion& p)
{
    return {{EV_ABS, ABS_MT_POSITION_X, p.x}, {EV_ABS, ABS_MT_POSITION_Y, p.y}, {EV_ABS, ABS_X, p.x},
            {EV_ABS, ABS_Y, p.y}, {EV_SYN, SYN_REPORT, 0}};
}
Recs Lift() { return {{EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0}}; }
Recs KeyPress(int c) { return {{EV_KEY, c, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, c, 0}, {EV_SYN, SYN_REPORT, 0}}; }

// Decodes with the platform's own record layout (16 bytes on the 32-bit
// target, 24 on a 64-bit host). A torn record or a time stamp fails alone.
Recs Decode(const std::string& bytes)
{
    Recs out;
    EXPECT_EQ(0u, bytes.size() % sizeof(struct input_event)) << "torn record";
    struct input_event ev;
    for (size_t off = 0; off + sizeof ev <= bytes.size(); off += sizeof ev) {
        memcpy(&ev, bytes.data() + off, sizeof ev);
        EXPECT_EQ(0L, static_cast<long>(ev.input_event_sec | ev.input_event_usec)) << "record " << out.size();
        out.push_back({ev.type, ev.code, ev.value});
    }
    return out;
}

std::string ReadAll(const std::string& path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}
std::string Node() { return ReadAll(kNode); }

// What the library printed to standard output and error during call(). Pipes,
// not files: cases that limit the size of files the process may write must
// still see the library's few lines, far below what a pipe buffers.
struct Said { std::string out, err; };
Said Console(const std::function<void()>& call)
{
    int pipes[2][2] = {{-1, -1}, {-1, -1}}, saved[2];
    std::string text[2];
    fflush(nullptr);  // the library prints through stdio
    for (int i = 0; i < 2; ++i) {
        if (pipe2(pipes[i], O_CLOEXEC) != 0)
            ADD_FAILURE() << "pipe: " << strerror(errno);
        saved[i] = dup(STDOUT_FILENO + i);
        dup2(pipes[i][1], STDOUT_FILENO + i);
        close(pipes[i][1]);
    }
    call();
    fflush(nullptr);
    for (int i = 0; i < 2; ++i) {
        dup2(saved[i], STDOUT_FILENO + i);
        close(saved[i]);
        char buf[512];
        for (ssize_t n; (n = read(pipes[i][0], buf, sizeof buf)) != 0 && (n > 0 || errno == EINTR);)
            text[i].append(buf, n > 0 ? n : 0);
        close(pipes[i][0]);
    }
    return {text[0], text[1]};
}

// A fresh file each time: a descriptor still open on the last one writes elsewhere.
void MakeNode()
{
    unlink(kNode);
    ASSERT_EQ(0, close(open(kNode, O_RDWR | O_CREAT, 0644))) << strerror(errno);
}
void SetNodeAside(const char* to)
{
    ASSERT_EQ(0, rename(kNode, to)) << strerror(errno);
    MakeNode();
}
void LimitFileSize(rlim_t bytes)
{
    const struct rlimit lim = {bytes, RLIM_INFINITY};
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &lim)) << strerror(errno);
}

// A regular file in place of the node always fails the version query.
const std::string kNoVersion = "can not get driver version for /dev/input/event0\n";
const std::string kNoKeyVersion = "get hwkey info error\n";

const auto kByName = [](const auto& info) { return std::string(info.param.name); };

// Each case in a fresh sandbox child, whose own assertions decide its exit.
class DriverSandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs root for mount and PID namespaces";
    }
    void InSandbox(const std::function<void(Driver&)>& body)
    {
        const int st = Sandbox().Run([&body] {
            signal(SIGXFSZ, SIG_IGN);  // a write past the file size limit must fail, not kill
            Driver d;
            if (d.ok)
                body(d);
            fflush(nullptr);
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "sandboxed case failed (see above), status " << st;
    }
};

TEST(DriverLibraryTest, ExportsExactlyTheDriverInterfaceUnderItsSoname)
{
    const std::string elf = ReadAll(FEEDINPUT_PATH);
    // Copies, not casts: a table's offset need not suit its structure's alignment.
    auto at = [&elf](size_t off, auto* out) {
        return off <= elf.size() && elf.size() - off >= sizeof *out && memcpy(out, elf.data() + off, sizeof *out);
    };
    ElfW(Ehdr) eh;
    ASSERT_TRUE(at(0, &eh) && memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0);
    ASSERT_EQ(sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32, eh.e_ident[EI_CLASS]);
    std::set<std::string> exports;  // functions as "name()", int objects as "name", others "name?"
    std::string soname;
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        ElfW(Shdr) sh, strtab;
        ASSERT_TRUE(at(eh.e_shoff + i * eh.e_shentsize, &sh) && at(eh.e_shoff + sh.sh_link * eh.e_shentsize, &strtab));
        auto str = [&](size_t off) { return std::string(elf.c_str() + std::min(elf.size(), strtab.sh_offset + off)); };
        const size_t end = sh.sh_offset + sh.sh_size;
        ElfW(Sym) s;
        for (size_t off = sh.sh_offset; sh.sh_type == SHT_DYNSYM && off + sizeof s <= end && at(off, &s);
             off += sizeof s) {
            // Undefined ones are what the library needs; absolute zero-sized
            // ones name its version node.
            if (s.st_shndx == SHN_UNDEF || ELF32_ST_BIND(s.st_info) == STB_LOCAL ||
                (s.st_shndx == SHN_ABS && s.st_value == 0 && s.st_size == 0))
                continue;
            const int type = ELF32_ST_TYPE(s.st_info);
            exports.insert(str(s.st_name) +
                           (type == STT_FUNC ? "()" : type == STT_OBJECT && s.st_size == sizeof(int) ? "" : "?"));
        }
        ElfW(Dyn) dyn;
        for (size_t off = sh.sh_offset; sh.sh_type == SHT_DYNAMIC && off + sizeof dyn <= end && at(off, &dyn);
             off += sizeof dyn)
            if (dyn.d_tag == DT_SONAME)
                soname = str(dyn.d_un.d_val);
    }
    EXPECT_EQ((std::set<std::string>{"touchClick()", "touchLongClick()", "touchSwipe()", "ComputePos()", "linePos()",
                                     "CreateResource()", "ReleaseResource()", "m_fd", "sendHKeyInput()",
                                     "CreateResource1()", "ReleaseResource1()", "mFdhwkey"}),
              exports);
    EXPECT_EQ("libfeedinput.so.0", soname);
}

TEST(ComputePosTest, AppendsStartAdvancingMiddleAndEnd)
{
    const long long D = 1LL << 40;  // drawn: anywhere between the ends on that axis
    const long long Q = 1073741823;  // a quarter of the whole int range, truncated
    const struct {
        const char* name;
        int x, y, x2, y2, step;
        std::vector<std::pair<long long, long long>> points;
    } cases[] = {
        {"straight_right", 0, 0, 100, 0, 5, {{0, 0}, {20, 0}, {40, 0}, {60, 0}, {80, 0}, {100, 0}}},
        {"steep_draws_x", 0, 0, 3, 50, 5, {{0, 0}, {D, 10}, {D, 20}, {D, 30}, {D, 40}, {3, 50}}},
        {"leftward_draws_y", 500, 300, 100, 310, 5, {{500, 300}, {420, D}, {340, D}, {260, D}, {180, D}, {100, 310}}},
        {"up_and_left", 100, 50, 0, 40, 4, {{100, 50}, {75, D}, {50, D}, {25, D}, {0, 40}}},
        // Shorter than the step on both axes: the y step truncates to 0.
        {"shorter_than_step", 10, 10, 12, 13, 5, {{10, 10}, {D, 10}, {D, 10}, {D, 10}, {D, 10}, {12, 13}}},
        {"step_1", 0, 0, 100, 40, 1, {{0, 0}, {100, 40}}},
        // Without a positive step only the ends exist; no division by 0.
        {"step_0", 0, 0, 100, 40, 0, {{0, 0}, {100, 40}}},
        {"negative_step", 0, 0, 100, 40, -3, {{0, 0}, {100, 40}}},
        // Ends a full int range apart: the difference needs 33 bits.
        {"whole_int_range", INT_MIN, INT_MIN, INT_MAX, INT_MAX, 4,
         {{INT_MIN, INT_MIN}, {INT_MIN + Q, D}, {INT_MIN + 2 * Q, D}, {INT_MIN + 3 * Q, D}, {INT_MAX, INT_MAX}}},
    };
    Driver d;
    ASSERT_TRUE(d.ok);
    auto fits = [D](long long want, int got, int a, int b) {
        return want == D ? std::min(a, b) <= got && got <= std::max(a, b) : want == got;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<postion> path{{-7, -7}};  // points already held are kept
        d.ComputePos(c.x, c.y, c.x2, c.y2, path, c.step);
        ASSERT_EQ(c.points.size() + 1, path.size());
        EXPECT_EQ(-7, path[0].x);
        for (size_t i = 0; i < c.points.size(); ++i) {
            const postion& p = path[i + 1];
            EXPECT_TRUE(fits(c.points[i].first, p.x, c.x, c.x2) && fits(c.points[i].second, p.y, c.y, c.y2))
                << "point " << i << ": " << p.x << "," << p.y;
        }
    }
}

TEST(ComputePosTest, DrawsFromTheProcessGeneratorSeededWithTheSecond)
{
    Driver d;
    ASSERT_TRUE(d.ok);
    gClockArmed = true;
    auto xsAt = [&d](time_t when, int x, int x2, int step) {
        gClock = when;
        std::vector<postion> path;
        d.ComputePos(x, 0, x2, 1000000, path, step);
        std::vector<int> xs;
        for (size_t i = 1; i + 1 < path.size(); ++i)
            xs.push_back(path[i].x);
        return xs;
    };
    const std::vector<int> first = xsAt(1700000000, 0, 5, 10);
    const int next = rand();  // the program's next draw, after the path's nine
    EXPECT_EQ(first, xsAt(1700000000, 0, 5, 10));
    EXPECT_NE(first, xsAt(1700000001, 0, 5, 10));
    std::set<int> drawn;  // every x of [5, 8], the ends included
    for (time_t t = 1; t <= 100; ++t)
        for (int x : xsAt(t, 5, 8, 5))
            drawn.insert(x);
    gClockArmed = false;
    EXPECT_EQ((std::set<int>{5, 6, 7, 8}), drawn);
    srand(1700000000);
    for (int i = 0; i < 9; ++i)
        rand();
    EXPECT_EQ(rand(), next);
}

TEST(LinePosTest, AppendsIntegerPointsUpToTheLargerEnd)
{
    const struct {
        int x1, y1, x2, y2;
        std::vector<std::pair<int, int>> points;
    } cases[] = {
        {5, 7, 1, 7, {{1, 7}, {2, 7}, {3, 7}, {4, 7}}},  // horizontal, leftward
        {1, 7, 5, 7, {{1, 7}, {2, 7}, {3, 7}, {4, 7}}},
        {4, 4, 4, 4, {}},
        {3, 9, 3, 5, {{3, 5}, {3, 6}, {3, 7}, {3, 8}}},  // vertical, upward
        {0, 0, 2, 6, {{0, 0}, {0, 1}, {0, 2}, {1, 3}, {1, 4}, {1, 5}}},
        {0, 6, 2, 0, {{2, 0}, {1, 1}, {1, 2}, {1, 3}, {0, 4}, {0, 5}}},
        {0, 10, 4, 8, {{0, 10}, {1, 10}, {2, 10}, {3, 10}}},  // a slope below 1 truncates to 0
        {2, 5, 5, 2, {{2, 5}, {3, 4}, {4, 3}}},
    };
    Driver d;
    ASSERT_TRUE(d.ok);
    for (const auto& c : cases) {
        std::vector<postion> path{{-7, -7}};
        d.linePos(c.x1, c.y1, c.x2, c.y2, path);
        std::vector<std::pair<int, int>> got;
        for (const postion& p : path)
            got.push_back({p.x, p.y});
        EXPECT_EQ(std::make_pair(-7, -7), got.front());
        got.erase(got.begin());
        EXPECT_EQ(c.points, got) << c.x1 << "," << c.y1 << " to " << c.x2 << "," << c.y2;
    }
}

struct Gesture {
    const char* name;
    std::function<int(Driver&)> call;
    Recs records;
    Pauses pauses;
    bool key;
    std::vector<std::pair<size_t, size_t>> cuts;  // whole records and bytes of the next the node accepts
};
void PrintTo(const Gesture& g, std::ostream* os) { *os << g.name; }
class GestureTest : public DriverSandboxTest, public ::testing::WithParamInterface<Gesture> {};

TEST_P(GestureTest, WritesItsRecordsAndFailsCleanly)
{
    const Gesture& g = GetParam();
    InSandbox([&g](Driver& d) {
        int* fd = g.key ? d.mFdhwkey : d.m_fd;
        int r = 0;
        EXPECT_EQ(std::make_pair(-1, -1), std::make_pair(*d.m_fd, *d.mFdhwkey));
        MakeNode();
        gPausesArmed = true;
        gInterruptsLeft = 2;  // signals that land before a record goes out
        Said said = Console([&] { r = g.call(d); });
        gPausesArmed = false;
        EXPECT_EQ(0, r);
        EXPECT_EQ(0, gInterruptsLeft);
        EXPECT_EQ(g.records, Decode(Node()));
        EXPECT_EQ(g.pauses, gPauses);
        EXPECT_EQ(std::make_pair(-1, -1), std::make_pair(*d.m_fd, *d.mFdhwkey));
        EXPECT_EQ(g.key ? kNoKeyVersion : kNoVersion, said.out);
        EXPECT_EQ("", said.err);

        unlink(kNode);  // and the next call opens it again
        said = Console([&] { r = g.call(d); });
        EXPECT_EQ(-1, r);
        EXPECT_EQ(g.key ? "can not set devhwkeyname" + kNoKeyVersion
                        : "could not open /dev/input/event0\n" + kNoVersion, said.out);
        EXPECT_EQ("write event failed, " + std::string(strerror(EBADF)) + "\n", said.err);
        EXPECT_EQ(-1, *fd);

        // The kernel refuses a write past RLIMIT_FSIZE with EFBIG and cuts one
        // that straddles it short. The finger stays down and the descriptor
        // open, even as descriptor 0: the next call carries on in that file.
        for (const auto& [records, extra] : g.cuts) {
            SCOPED_TRACE(records * 100 + extra);
            MakeNode();
            const size_t limit = records * sizeof(struct input_event) + extra;
            said = Console([&] {
                close(STDIN_FILENO);
                LimitFileSize(limit);
                r = g.call(d);
                LimitFileSize(RLIM_INFINITY);
            });
            EXPECT_EQ(-1, r);
            EXPECT_EQ(std::string("write event failed, ") + strerror(extra ? EIO : EFBIG) + "\n", said.err);
            const std::string bytes = Node();
            ASSERT_EQ(limit, bytes.size());
            EXPECT_EQ(Recs(g.records.begin(), g.records.begin() + records), Decode(bytes.substr(0, limit - extra)));
            ASSERT_EQ(STDIN_FILENO, *fd);
            SetNodeAside("/dev/input/held");
            if (!g.key) {
                // A key press meanwhile opens and closes a descriptor of its own.
                said = Console([&] { r = d.sendHKeyInput(115); });
                EXPECT_EQ(0, r);
                EXPECT_EQ(KeyPress(115), Decode(Node()));
                EXPECT_EQ(std::make_pair(STDIN_FILENO, -1), std::make_pair(*d.m_fd, *d.mFdhwkey));
            }
            said = Console([&] { r = g.call(d); });
            EXPECT_EQ(0, r);
            EXPECT_EQ("", said.out);
            EXPECT_EQ(g.records, Decode(ReadAll("/dev/input/held").substr(limit)));
            EXPECT_EQ(-1, *fd);
            EXPECT_EQ(STDIN_FILENO, open("/dev/null", O_RDONLY)) << "the held descriptor is still open";
        }
    });
}

INSTANTIATE_TEST_SUITE_P(
    Gestures, GestureTest,
    ::testing::Values(
        Gesture{"click", [](Driver& d) { return d.touchClick(100, 200); }, Down(100, 200) + Lift(), {}, false,
                {{0, 0}, {7, 0}, {3, 8}}},
        // The pause falls after the seven records of the finger going down.
        Gesture{"long_click", [](Driver& d) { return d.touchLongClick(-3, 70000, 800); }, Down(-3, 70000) + Lift(),
                {{800, 7}}, false, {{7, 0}}},
        // A negative duration must not become hours of unsigned microseconds.
        Gesture{"long_click_negative", [](Driver& d) { return d.touchLongClick(9, 8, -5); }, Down(9, 8) + Lift(),
                {{0, 7}}, false, {}},
        Gesture{"swipe", [](Driver& d) { return d.touchSwipe(0, 0, 100, 0, 3, 0); },
                Down(0, 0) + Move({100, 0}) + Lift(), {}, false, {{9, 0}}},
        Gesture{"key", [](Driver& d) { return d.sendHKeyInput(115); }, KeyPress(115), {}, true, {{1, 0}, {2, 5}}},
        // The record's code field is 16 bits wide.
        Gesture{"key_high_bits", [](Driver& d) { return d.sendHKeyInput(65536 + 116); }, KeyPress(116), {}, true, {}},
        Gesture{"key_minus_1", [](Driver& d) { return d.sendHKeyInput(-1); }, KeyPress(65535), {}, true, {}}),
    kByName);

struct SwipeCase {
    const char* name;
    int x, y, x2, y2, step, duration, result;
    std::vector<int> moves;  // path indices of the paced moves, in order
    int end;                 // path index of the final move, -1 for none
    unsigned pause;          // after each record of a paced move
};
void PrintTo(const SwipeCase& c, std::ostream* os) { *os << c.name; }
class SwipeTest : public DriverSandboxTest, public ::testing::WithParamInterface<SwipeCase> {};

TEST_P(SwipeTest, WritesDownMovesAndLiftAlongThePath)
{
    const SwipeCase& c = GetParam();
    InSandbox([&c](Driver& d) {
        MakeNode();
        gClockArmed = true;  // same second, same path: the test's copy is the swipe's
        gClock = 1700000000;
        std::vector<postion> path;
        d.ComputePos(c.x, c.y, c.x2, c.y2, path, c.step);
        int r = 0;
        gPausesArmed = true;
        const Said said = Console([&] { r = d.touchSwipe(c.x, c.y, c.x2, c.y2, c.step, c.duration); });
        gPausesArmed = false;
        EXPECT_EQ(c.result, r);
        EXPECT_EQ(kNoVersion, said.out);
        EXPECT_EQ("", said.err);
        Recs want = c.result == 0 ? Down(c.x, c.y) : Recs{};
        Pauses pauses;
        for (int i : c.moves) {
            want = want + Move(path.at(i));
            for (size_t k = 0; k < 5; ++k)
                pauses.push_back({c.pause, want.size() - 4 + k});
        }
        EXPECT_EQ(c.end < 0 ? want : want + Move(path.at(c.end)) + Lift(), Decode(Node()));
        EXPECT_EQ(pauses, gPauses);
        // Nothing to draw leaves the node open for the next gesture.
        EXPECT_TRUE(c.result == 1 ? fcntl(*d.m_fd, F_GETFD) != -1 : *d.m_fd == -1) << *d.m_fd;
    });
}

INSTANTIATE_TEST_SUITE_P(
    Swipes, SwipeTest,
    ::testing::Values(SwipeCase{"right_step5", 100, 300, 500, 310, 5, 75000, 0, {1, 2}, 5, 15000},
                      // x is the major axis and falls: walk back and lift at the start.
                      SwipeCase{"left_step5", 500, 300, 100, 310, 5, 75000, 0, {4, 3}, 0, 15000},
                      SwipeCase{"down_step4", 200, 100, 210, 900, 4, 1000, 0, {1}, 4, 250},
                      SwipeCase{"up_step6", 200, 900, 190, 100, 6, 600, 0, {5, 4, 3}, 0, 100},
                      SwipeCase{"tie_x_decides", 0, 0, -50, 50, 5, 5, 0, {4, 3}, 0, 1},
                      SwipeCase{"step3_no_moves", 0, 0, 100, 0, 3, 75000, 0, {}, 3, 0},
                      SwipeCase{"step2_down_only", 0, 0, 100, 0, 2, 75000, 0, {}, -1, 0},
                      SwipeCase{"step1_down_only", 0, 0, 100, 0, 1, 75000, 0, {}, -1, 0},
                      SwipeCase{"negative_step_down_only", 0, 0, 100, 0, -5, 75000, 0, {}, -1, 0},
                      SwipeCase{"negative_duration_no_wait", 100, 300, 500, 310, 5, -75000, 0, {1, 2}, 5, 0},
                      SwipeCase{"whole_int_range", INT_MIN, 0, INT_MAX, 0, 4, 4, 0, {1}, 4, 1},
                      SwipeCase{"step0_nothing", 0, 0, 100, 0, 0, 75000, 1, {}, -1, 0},
                      SwipeCase{"no_displacement", 7, 7, 7, 7, 5, 75000, 1, {}, -1, 0}),
    kByName);

}  // namespace
