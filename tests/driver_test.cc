// libfeedinput as the program uses it: loaded by path, called by name, with
// every record it writes read back from the event node of a sandbox. The test
// binary exports its own write() and usleep(), which the library binds to:
// they note where each pause falls among the records and can have the
// kernel's EINTR land on a record, or a record fail with EIO.
#include "feedinput.h"
#include "sandboxed_case.h"

#include "gesture/injector_event.h"
#include "record/replay.h"

#include <dlfcn.h>
#include <math.h>
#include <stdarg.h>
#include <linux/input.h>
#include <sys/syscall.h>

static std::vector<std::pair<unsigned, size_t>> gPauses;  // (microseconds, records on the node)
static int gInterruptsLeft = 0;  // record writes to fail with EINTR before any byte goes out
static int gFailIn = -1;         // records to write before one fails with EIO, the rest go out
static int gSleepsCut = 0;       // pauses a signal ends early
static const char kNode[] = "/dev/input/event0";
static int gSlots = 0;                  // slots the node reports, when above 0
static struct input_absinfo gRange[4];  // the node's ABS_MT_POSITION_X/Y and ABS_X/Y ranges, when set

extern "C" ssize_t write(int fd, const void* buf, size_t count)
{
    if (fd > STDERR_FILENO && count == sizeof(struct input_event) && gInterruptsLeft > 0)
        return gInterruptsLeft--, errno = EINTR, -1;
    if (fd > STDERR_FILENO && count == sizeof(struct input_event) && gFailIn >= 0 && gFailIn-- == 0)
        return errno = EIO, -1;
    return syscall(SYS_write, fd, buf, count);
}

extern "C" int usleep(useconds_t us)
{
    struct stat st;
    gPauses.push_back({us, stat(kNode, &st) == 0 ? st.st_size / sizeof(struct input_event) : 0});
    return gSleepsCut > 0 ? (gSleepsCut--, errno = EINTR, -1) : 0;
}

// The node is a plain file, which answers no ioctl; a case can have it
// report a panel's slot count and axis ranges.
extern "C" int ioctl(int fd, unsigned long req, ...)
{
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    int code = -1;
    for (int c : {ABS_MT_SLOT, ABS_MT_POSITION_X, ABS_MT_POSITION_Y, ABS_X, ABS_Y})
        code = req == EVIOCGABS(c) && code < 0 ? (c == ABS_MT_SLOT ? 0 : c == ABS_MT_POSITION_X ? 1 : c == ABS_MT_POSITION_Y ? 2 : c == ABS_X ? 3 : 4) : code;
    if ((code == 0 && gSlots > 0) || (code > 0 && gRange[code - 1].maximum > 0)) {
        *static_cast<struct input_absinfo*>(arg) = code ? gRange[code - 1] : input_absinfo{0, 0, gSlots - 1, 0, 0, 0};
        return 0;
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, req, arg));
}

namespace {

using Driver = SandboxedCase;

#define FEEDINPUT_NAMES(X) X(touchClick) X(touchLongClick) X(touchSwipe) X(touchPinch) X(m_fd) \
    X(sendHKeyInput) X(mFdhwkey) X(setScreenMapping)
#define FEEDINPUT_SLOT(name) decltype(&::name) name = reinterpret_cast<decltype(&::name)>(dlsym(h, #name));
struct Feedinput {
    void* h = dlopen(FEEDINPUT_PATH, RTLD_NOW);
    FEEDINPUT_NAMES(FEEDINPUT_SLOT)
};

using Recs = std::vector<std::array<int, 3>>;  // type, code, value
Recs operator+(Recs a, const Recs& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
Recs Down(int x, int y)
{
    return {{EV_ABS, ABS_MT_TRACKING_ID, 1}, {EV_ABS, ABS_MT_POSITION_X, x}, {EV_ABS, ABS_MT_POSITION_Y, y},
            {EV_KEY, BTN_TOUCH, 1}, {EV_ABS, ABS_X, x}, {EV_ABS, ABS_Y, y}, {EV_SYN, SYN_REPORT, 0}};
}
Recs Move(int x, int y) { return {{EV_ABS, ABS_MT_POSITION_X, x}, {EV_ABS, ABS_MT_POSITION_Y, y}, {EV_ABS, ABS_X, x}, {EV_ABS, ABS_Y, y}, {EV_SYN, SYN_REPORT, 0}}; }
Recs Lift() { return {{EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0}}; }
// Both fingers of a pinch, finger 0 first; a move leaves out the ids and BTN_TOUCH.
Recs Pinch(bool down, int x0, int y0, int x1, int y1)
{
    Recs r = {{EV_ABS, ABS_MT_SLOT, 0}, {EV_ABS, ABS_MT_TRACKING_ID, 1}, {EV_ABS, ABS_MT_POSITION_X, x0}, {EV_ABS, ABS_MT_POSITION_Y, y0},
              {EV_ABS, ABS_MT_SLOT, 1}, {EV_ABS, ABS_MT_TRACKING_ID, 2}, {EV_ABS, ABS_MT_POSITION_X, x1}, {EV_ABS, ABS_MT_POSITION_Y, y1},
              {EV_KEY, BTN_TOUCH, 1}, {EV_ABS, ABS_X, x0}, {EV_ABS, ABS_Y, y0}, {EV_SYN, SYN_REPORT, 0}};
    if (!down)
        r.erase(r.begin() + 8), r.erase(r.begin() + 5), r.erase(r.begin() + 1);
    return r;
}
Recs Lift2() { return {{EV_ABS, ABS_MT_SLOT, 0}, {EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_ABS, ABS_MT_SLOT, 1}, {EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_KEY, BTN_TOUCH, 0}, {EV_SYN, SYN_REPORT, 0}}; }
Recs Key(int c) { return {{EV_KEY, c, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, c, 0}, {EV_SYN, SYN_REPORT, 0}}; }

// Records in the platform's own layout (16 bytes on the target, 24 on a
// 64-bit host); a torn record or a time stamp fails.
Recs Decode(const std::string& bytes)
{
    Recs out;
    EXPECT_EQ(0u, bytes.size() % sizeof(struct input_event)) << "torn record";
    struct input_event ev;
    for (size_t off = 0; off + sizeof ev <= bytes.size(); off += sizeof ev) {
        memcpy(&ev, bytes.data() + off, sizeof ev);
        EXPECT_EQ(0L, static_cast<long>(ev.input_event_sec | ev.input_event_usec));
        out.push_back({ev.type, ev.code, ev.value});
    }
    return out;
}
// A fresh file: a descriptor still open on the last one writes elsewhere.
void MakeNode() { unlink(kNode), close(open(kNode, O_RDWR | O_CREAT, 0644)); }

// What the library printed during call(), through a pipe: the cases that
// limit the size of files must still see its few lines.
std::string Said(const std::function<void()>& call)
{
    int p[2], saved[2] = {dup(1), dup(2)};
    char buf[4096];
    fflush(nullptr);
    EXPECT_EQ(0, pipe(p));
    dup2(p[1], 1), dup2(p[1], 2), close(p[1]);
    call();
    fflush(nullptr);
    dup2(saved[0], 1), dup2(saved[1], 2), close(saved[0]), close(saved[1]);
    ssize_t n = read(p[0], buf, sizeof buf);
    close(p[0]);
    return std::string(buf, n > 0 ? n : 0);
}

// Each call's records, pauses, result and console lines; then the same call
// with the node missing, with the node refusing bytes past a limit (a full
// disk: EFBIG at a record's start, a short write inside one), and with one
// record failing. A failed call still lifts the finger (releases a pressed
// key), trying every record of the lift, answers -1 and closes the node.
TEST_F(Driver, GesturesWriteTheirRecordsAndFailCleanly)
{
    const std::string noVersion = "can not get driver version for /dev/input/event0\n", noKey = "get hwkey info error\n";
    const size_t R = sizeof(input_event);
    // Pauses: (microseconds, records on the node before it); cuts: bytes the
    // node accepts; fails: the records that fail, one a call.
    const struct { const char* name; std::function<int(Feedinput&)> call; Recs records; std::vector<std::pair<unsigned, size_t>> pauses; std::vector<size_t> cuts, fails; } cases[] = {
        {"click", [](Feedinput& d) { return d.touchClick(100, 200); }, Down(100, 200) + Lift(), {}, {0, 7 * R, 3 * R + 8}, {3, 7}},
        {"long_click", [](Feedinput& d) { return d.touchLongClick(-3, 70000, 800); }, Down(-3, 70000) + Lift(), {{800, 7}}, {}, {6}},
        // Forward along the path whatever the direction, lifted at the end point.
        {"swipe_left", [](Feedinput& d) { return d.touchSwipe(500, 300, 100, 300, 5, 75000); },
         Down(500, 300) + Move(420, 300) + Move(340, 300) + Move(100, 300) + Lift(), {{15000, 8}, {15000, 9}, {15000, 10}, {15000, 11}, {15000, 12}, {15000, 13}, {15000, 14}, {15000, 15}, {15000, 16}, {15000, 17}}, {}, {}},
        {"swipe_up_no_wait", [](Feedinput& d) { return d.touchSwipe(200, 900, 200, 100, 4, -1000); },
         Down(200, 900) + Move(200, 700) + Move(200, 100) + Lift(), {{0, 8}, {0, 9}, {0, 10}, {0, 11}, {0, 12}}, {}, {8, 13}},
        // Points between the ends come from the program's generator, never reseeded.
        {"swipe_diagonal", [](Feedinput& d) { return d.touchSwipe(0, 0, 5, 1000, 5, 0); },
         [] { srand(42); int a = rand() % 6, b = rand() % 6; return Down(0, 0) + Move(a, 200) + Move(b, 400) + Move(5, 1000) + Lift(); }(),
         {{0, 8}, {0, 9}, {0, 10}, {0, 11}, {0, 12}, {0, 13}, {0, 14}, {0, 15}, {0, 16}, {0, 17}}, {}, {}},
        // Below 3 segments: straight to the end point, as 3 goes.
        {"swipe_step2", [](Feedinput& d) { return d.touchSwipe(0, 0, 100, 0, 2, 75000); }, Down(0, 0) + Move(100, 0) + Lift(), {}, {}, {9}},
        {"swipe_step_minus_1", [](Feedinput& d) { return d.touchSwipe(0, 0, 0, 50, -1, 9); }, Down(0, 0) + Move(0, 50) + Lift(), {}, {}, {}},
        // Nothing to travel: answers 1, writes nothing.
        {"swipe_of_nothing", [](Feedinput& d) { return d.touchSwipe(7, 7, 7, 7, 4, 9); }, {}, {}, {}, {}},
        {"swipe_whole_int_range", [](Feedinput& d) { return d.touchSwipe(INT_MIN, 0, INT_MAX, 0, 3, 3); }, Down(INT_MIN, 0) + Move(INT_MAX, 0) + Lift(), {}, {}, {}},
        // A pinch turning clockwise by 90 degrees; a rotation against the
        // clock on a panel whose range clamps both fingers; a panel of one
        // slot takes none; a finger after a pinch reselects slot 0.
        {"pinch", [](Feedinput& d) { return d.touchPinch(500, 400, 100, 50, 90, 2, 2000); },
         Pinch(true, 600, 400, 400, 400) + Pinch(false, 553, 453, 447, 347) + Pinch(false, 500, 450, 500, 350) + Lift2(), {{1000, 12}, {1000, 21}}, {12 * R, 20 * R + 3}, {0, 5, 11, 14, 30, 34}},
        {"pinch_clamped", [](Feedinput& d) { gRange[0].maximum = 799, gRange[1].maximum = 479; return d.touchPinch(790, 10, 20, 20, -90, 1, 0); },
         Pinch(true, 799, 10, 770, 10) + Pinch(false, 790, 0, 790, 30) + Lift2(), {{0, 12}}, {}, {}},
        {"pinch_one_slot", [](Feedinput& d) { gSlots = 1; return d.touchPinch(500, 400, 100, 50, 90, 2, 2000); }, {}, {}, {}, {}},
        {"pinch_then_click", [](Feedinput& d) { Said([&] { d.touchPinch(50, 50, 10, 10, 0, 1, 0); }); return d.touchClick(1, 2); },
         [] {  // the click's node is opened afresh at offset 0, over the pinch's first records
             Recs p = Pinch(true, 60, 50, 40, 50) + Pinch(false, 60, 50, 40, 50) + Lift2(), c = Recs{{EV_ABS, ABS_MT_SLOT, 0}} + Down(1, 2) + Lift();
             return c + Recs(p.begin() + c.size(), p.end()); }(), {{0, 12}}, {}, {}},
        {"key", [](Feedinput& d) { return d.sendHKeyInput(115); }, Key(115), {}, {R, 2 * R + 5}, {0, 1, 3}},
        {"key_minus_1", [](Feedinput& d) { return d.sendHKeyInput(-1); }, Key(65535), {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Check([&] {
            signal(SIGXFSZ, SIG_IGN);  // a write past the file size limit must fail, not kill
            Feedinput d;
            const bool key = c.name[0] == 'k';
            int* fd = key ? d.mFdhwkey : d.m_fd;
            int r = 0;
            MakeNode();
            gInterruptsLeft = 2;  // signals that land before a record goes out
            srand(42);
            EXPECT_EQ((key ? noKey : noVersion), Said([&] { r = c.call(d); }));
            EXPECT_EQ(c.records.empty() ? 3 : 0, r + gInterruptsLeft);  // a swipe of nothing answers 1
            EXPECT_EQ(c.records, Decode(Sandbox::ReadFile(kNode)));
            EXPECT_EQ(c.pauses, gPauses);
            EXPECT_EQ(-1, *d.m_fd + *d.mFdhwkey + 1);
            unlink(kNode);
            const std::string said = Said([&] { r = c.call(d); });
            EXPECT_NE(std::string::npos, said.find(key ? "can not set devhwkeyname" + noKey : "could not open /dev/input/event0\n" + noVersion));
            EXPECT_TRUE(c.records.empty() || said.find(std::string("write event failed, ") + strerror(EBADF) + "\n") != std::string::npos) << said;
            EXPECT_EQ(c.records.empty() ? 0 : -2, r + *fd);
            for (size_t limit : c.cuts) {
                MakeNode();
                const struct rlimit cut = {limit, RLIM_INFINITY}, none = {RLIM_INFINITY, RLIM_INFINITY};
                const std::string cutSaid = Said([&] { setrlimit(RLIMIT_FSIZE, &cut), r = c.call(d), setrlimit(RLIMIT_FSIZE, &none); });
                EXPECT_NE(std::string::npos, cutSaid.find(std::string("write event failed, ") + strerror(limit % R ? EIO : EFBIG) + "\n")) << cutSaid;
                const std::string bytes = Sandbox::ReadFile(kNode);
                EXPECT_EQ(Recs(c.records.begin(), c.records.begin() + limit / R), Decode(bytes.substr(0, limit - limit % R)));
                EXPECT_TRUE(r == -1 && bytes.size() == limit && *fd == -1) << r << " " << bytes.size() << " " << *fd;
            }
            // The failed record is missing; a finger that failed on its way
            // down or along is lifted there, a key whose press failed is not.
            for (size_t k : c.fails) {
                MakeNode();
                gFailIn = static_cast<int>(k);
                const std::string failSaid = Said([&] { r = c.call(d); });
                Recs want(c.records.begin(), c.records.begin() + k);
                const bool pinch = c.name[0] == 'p';
                if (k + (pinch ? 6 : 3) < c.records.size())
                    want = want + (key ? Recs{} : pinch ? Lift2() : Lift());
                else
                    want.insert(want.end(), c.records.begin() + k + 1, c.records.end());
                EXPECT_EQ(want, Decode(Sandbox::ReadFile(kNode))) << k;
                EXPECT_TRUE(r == -1 && *fd == -1 && failSaid.find(std::string("failed, ") + strerror(EIO)) != std::string::npos) << r << failSaid;
            }
        });
    }
}

// A signal during a hold (the run's SIGINT or SIGALRM) does not cut the
// gesture short: the hold goes on for what is left of it.
TEST_F(Driver, AnInterruptedHoldGoesOnForWhatIsLeft)
{
    Check([] {
        Feedinput d;
        MakeNode();
        gSleepsCut = 1;
        Said([&] { EXPECT_EQ(0, d.touchLongClick(1, 2, 800000)); });
        ASSERT_EQ(2u, gPauses.size());
        EXPECT_EQ(std::make_pair(800000u, size_t{7}), gPauses[0]);
        EXPECT_TRUE(gPauses[1].first > 700000 && gPauses[1].first <= 800000 && gPauses[1].second == 7) << gPauses[1].first;
    });
}

// Screen points go out as the values that a toolkit reading the panel puts
// back on the same pixel within 1 px, on both pairs of axes: each value
// normalised by its axis's range, then swapped, turned clockwise, inverted
// and scaled to the screen, as feedinput.h describes. A pinch's fingers are
// held on the screen first. A node that answers no range gets the pixels.
TEST_F(Driver, ScreenPointsGoOutOnThePanelsOwnAxes)
{
    using Range = std::array<int, 4>;  // x min, x max, y min, y max
    const int S = FEEDINPUT_SWAP_XY, X = FEEDINPUT_INVERT_X, Y = FEEDINPUT_INVERT_Y;
    const struct { const char* name; Range mt, st; int rotate, flags; } cases[] = {
        {"board", {0, 809, 0, 489}, {}, 0, 0},
        {"12bit", {0, 4095, 0, 4095}, {}, 0, 0},
        {"offset_own_single_touch_axes", {200, 3900, 150, 3950}, {0, 1023, 0, 767}, 0, 0},
        {"smaller_than_the_screen", {0, 479, 0, 399}, {}, 0, 0},
        {"turned_90", {0, 4095, 100, 2047}, {}, 90, 0},
        {"turned_180_inverted_x", {0, 4095, 0, 4095}, {}, 180, X},
        {"turned_270_swapped", {16, 1000, 30, 600}, {}, 270, S},
        {"swapped_inverted", {0, 809, 0, 489}, {}, 0, S | X | Y},
        {"everything", {50, 4000, 60, 3000}, {}, 90, S | X | Y},
        {"unreadable", {}, {}, 90, S | X},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Check([&] {
            for (int a = 0; a < 4; ++a)
                gRange[a] = {0, (a < 2 ? c.mt : c.st)[a % 2 * 2], (a < 2 ? c.mt : c.st)[a % 2 * 2 + 1], 0, 0, 0};
            const bool mapped = c.mt[1] > 0;
            Feedinput d;
            MakeNode();
            int ranges[4] = {0, 0, 0, 0};
            EXPECT_EQ(-1, d.setScreenMapping(800, 480, 45, 0, ranges));
            ASSERT_EQ(mapped ? 0 : 1, d.setScreenMapping(800, 480, c.rotate, c.flags, ranges));
            EXPECT_TRUE(!mapped || (Range{ranges[0], ranges[1], ranges[2], ranges[3]} == c.mt));
            // The toolkit's reading of the values (vx, vy) on axes of range r.
            auto read = [&](int vx, int vy, Range r) {
                if (!mapped)
                    return std::make_pair(double(vx), double(vy));
                double u = double(vx - r[0]) / (r[1] - r[0]), v = double(vy - r[2]) / (r[3] - r[2]);
                if (c.flags & S) std::swap(u, v);
                for (int a = 0; a < c.rotate; a += 90)
                    std::tie(u, v) = std::make_pair(1 - v, u);
                return std::make_pair(c.flags & X ? 1 - u : u, c.flags & Y ? 1 - v : v);
            };
            const int edge = mapped ? 799 : 810;  // where a pinch's outer finger lands
            const struct { std::function<int()> call; std::vector<std::pair<int, int>> points; } gestures[] = {
                {[&] { return d.touchClick(0, 0); }, {{0, 0}}},
                {[&] { return d.touchClick(799, 479); }, {{799, 479}}},
                {[&] { return d.touchLongClick(123, 456, 0); }, {{123, 456}}},
                {[&] { return d.touchSwipe(400, 240, 799, 0, 2, 0); }, {{400, 240}, {799, 0}}},
                {[&] { return d.touchPinch(790, 240, 20, 20, 0, 1, 0); }, {{edge, 240}, {770, 240}, {edge, 240}, {770, 240}}},
            };
            for (const auto& g : gestures) {
                MakeNode();
                EXPECT_EQ(0, g.call());
                // Each multi-touch pair is a point of the gesture; ABS_X/Y follow the first finger.
                std::vector<std::pair<int, int>> mt, st;
                const Recs recs = Decode(Sandbox::ReadFile(kNode));
                for (size_t i = 0; i + 1 < recs.size(); ++i) {
                    if (recs[i][1] == ABS_MT_POSITION_X && recs[i + 1][1] == ABS_MT_POSITION_Y)
                        mt.push_back({recs[i][2], recs[i + 1][2]});
                    if (recs[i][1] == ABS_X && recs[i + 1][1] == ABS_Y)
                        st.push_back({recs[i][2], recs[i + 1][2]});
                }
                // ABS_X/Y follow the first finger, frame by frame.
                std::vector<std::pair<int, int>> stWant = g.points;
                if (stWant.size() == 4)
                    stWant = {stWant[0], stWant[2]};
                const Range stRange = c.st[1] > 0 ? c.st : c.mt;
                for (const auto& [got, want, range] : {std::make_tuple(mt, g.points, c.mt), std::make_tuple(st, stWant, stRange)}) {
                    ASSERT_EQ(want.size(), got.size());
                    for (size_t i = 0; i < got.size(); ++i) {
                        const auto [u, v] = read(got[i].first, got[i].second, range);
                        const double px = mapped ? u * 799 : u, py = mapped ? v * 479 : v, tolerance = mapped ? 1 : 0;
                        EXPECT_TRUE(fabs(px - want[i].first) <= tolerance && fabs(py - want[i].second) <= tolerance)
                            << want[i].first << "," << want[i].second << " read as " << px << "," << py;
                    }
                }
            }
        });
    }
}

// A record's clicks are held as its header says, none without it (the
// records of older runs): through the program's bridge into the library.
TEST_F(Driver, RecordedClicksAreHeldAsTheirRecordSays)
{
    const std::string lib = FEEDINPUT_PATH;
    Profile("LIBLARAY_PATH=" + lib.substr(0, lib.rfind('/') + 1) + "\n");
    const struct { std::string header; std::vector<std::pair<unsigned, size_t>> pauses; } cases[] = {
        {"", {}}, {"# click-hold:0\n", {}}, {"# click-hold:80\n", {{80000, 7}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        Check([&] {
            ReplayParser parser("record", 1, INT_MAX, {800, 480, {}});
            const std::string record = "# tapfuzz run record\n" + c.header + "1 0 click 5 6 0\n";
            ASSERT_TRUE(parser.feed(record.data(), record.size()) && parser.finish()) << parser.why();
            InjectorEvent injector;
            injector.LoadLibaray();
            MakeNode();
            Said([&] { EXPECT_EQ(0, injector.inject(parser.events()[0].event, 0)); });
            EXPECT_EQ(Down(5, 6) + Lift(), Decode(Sandbox::ReadFile(kNode)));
            EXPECT_EQ(c.pauses, gPauses);
        });
    }
}

}  // namespace
