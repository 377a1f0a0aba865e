// Problem: a stress run must look to everything above the kernel like real
// fingers on the device's multi-touch panel.
// Solution: write the exact record sequence the panel reports for a click, a
// long click or a swipe into its event node, one write() per record. Every
// gesture ends with the finger's lift, a failed write on the way included:
// the input core would otherwise hold the contact down until the next
// gesture, and the application under test would see a press without end.
// Points come as screen pixels; once the program has said how large the
// screen is (setScreenMapping), they go out in the panel's own range and
// orientation, so that a toolkit reading the panel lands on those pixels.
#include "feedinput.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/input.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <utility>
#include <exception>

int m_fd = -1;

int writeInputEvent(int fd, uint16_t type, uint16_t code, int32_t value)
{
    struct input_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = type;
    ev.code = code;
    ev.value = value;

    ssize_t n;
    do {
        n = write(fd, &ev, sizeof ev);
    } while (n < 0 && errno == EINTR);  // a signal landed before any byte went
    if (n < static_cast<ssize_t>(sizeof ev)) {
        // A short write leaves errno as it was; do not blame a stale cause.
        if (n >= 0)
            errno = EIO;
        fprintf(stderr, "write event failed, %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

namespace {

long long nowUs()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

// A signal that ends the run lets the gesture under way finish: a pause it
// interrupts goes on for what is left, so the device gets the gesture that
// the log and the run record name.
void pauseFor(useconds_t us)
{
    const long long end = nowUs() + us;
    while (usleep(us) != 0 && errno == EINTR) {
        const long long left = end - nowUs();
        if (left <= 0)
            break;
        us = static_cast<useconds_t>(left);
    }
}

// Where a screen pixel lands on the panel (setScreenMapping). Off: points
// are written as they are given.
struct AxisRange {
    long long lo, hi;
    int at(double u) const { return static_cast<int>(lo + std::llround(u * static_cast<double>(hi - lo))); }
};
struct ScreenMap {
    bool on = false;
    int width = 0, height = 0, rotate = 0, flags = 0;
    AxisRange mt[2], st[2];  // ABS_MT_POSITION_X/Y, ABS_X/Y
} gMap;

// A point's values on the panel's axes: the multi-touch pair and the
// single-touch pair, which may have ranges of their own.
struct PanelPoint {
    int mx, my, sx, sy;
};

// The inverse of the toolkit's reading described in feedinput.h, step by
// step in the opposite order.
PanelPoint toPanel(int x, int y)
{
    if (!gMap.on)
        return {x, y, x, y};
    const auto norm = [](int v, int size) {
        if (size <= 1 || v <= 0) return 0.0;
        return v >= size - 1 ? 1.0 : static_cast<double>(v) / (size - 1);
    };
    double u = norm(x, gMap.width), v = norm(y, gMap.height);
    if (gMap.flags & FEEDINPUT_INVERT_Y) v = 1.0 - v;
    if (gMap.flags & FEEDINPUT_INVERT_X) u = 1.0 - u;
    // A clockwise quarter turn takes (u, v) to (1 - v, u); back is (v, 1 - u).
    for (int r = gMap.rotate; r > 0; r -= 90) {
        const double t = u;
        u = v;
        v = 1.0 - t;
    }
    if (gMap.flags & FEEDINPUT_SWAP_XY) std::swap(u, v);
    return {gMap.mt[0].at(u), gMap.mt[1].at(v), gMap.st[0].at(u), gMap.st[1].at(v)};
}

// The slot the node last had selected. A single finger writes no slot and so
// lands in whichever one was selected last; after a pinch that is slot 1,
// where the finger would be taken for the pinch's second one.
int gSlot = 0;

// The finger always carries tracking id 1; the panel reports no slots.
int writeDown(int x, int y)
{
    if (gSlot != 0) {
        if (writeInputEvent(m_fd, EV_ABS, ABS_MT_SLOT, 0) < 0) return -1;
        gSlot = 0;
    }
    const PanelPoint p = toPanel(x, y);
    if (writeInputEvent(m_fd, EV_ABS, ABS_MT_TRACKING_ID, 1) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_MT_POSITION_X, p.mx) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_MT_POSITION_Y, p.my) < 0) return -1;
    if (writeInputEvent(m_fd, EV_KEY, BTN_TOUCH, 1) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_X, p.sx) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_Y, p.sy) < 0) return -1;
    return writeInputEvent(m_fd, EV_SYN, SYN_REPORT, 0);
}

// A paced move pauses after each of its records so that readers of the node
// see the finger travel at the pace of the gesture rather than jump.
int writeMove(int x, int y, bool paced, useconds_t pause)
{
    const PanelPoint p = toPanel(x, y);
    const struct { uint16_t type; uint16_t code; int32_t value; } recs[] = {
        {EV_ABS, ABS_MT_POSITION_X, p.mx},
        {EV_ABS, ABS_MT_POSITION_Y, p.my},
        {EV_ABS, ABS_X, p.sx},
        {EV_ABS, ABS_Y, p.sy},
        {EV_SYN, SYN_REPORT, 0},
    };
    for (const auto& r : recs) {
        if (writeInputEvent(m_fd, r.type, r.code, r.value) < 0) return -1;
        if (paced) pauseFor(pause);
    }
    return 0;
}

// Each of the lift's records is tried even when one before it failed.
// Answers -1 when it or the gesture's earlier records (rc) failed. Without
// a descriptor nothing can be down, and nothing more is tried.
int writeLift(int rc)
{
    if (m_fd < 0)
        return -1;
    rc |= writeInputEvent(m_fd, EV_ABS, ABS_MT_TRACKING_ID, -1);
    rc |= writeInputEvent(m_fd, EV_KEY, BTN_TOUCH, 0);
    rc |= writeInputEvent(m_fd, EV_SYN, SYN_REPORT, 0);
    return rc;
}

// A negative pause would turn into hours once usleep() reads it unsigned.
useconds_t pauseOf(long long us)
{
    return us > 0 ? static_cast<useconds_t>(us) : 0;
}

long long absOf(long long v) { return v < 0 ? -v : v; }

// A path point is 8 bytes: a million segments is 8 MiB of path and five
// million records, far beyond any gesture a finger makes. Above that the
// allocation alone can fail on the device.
const int kMaxSwipeStep = 1 << 20;

using TouchNode = NodeHold<CreateResource, ReleaseResource>;

}  // namespace

void CreateResource()
{
    if (m_fd >= 0)
        return;
    m_fd = open(FEEDINPUT_DEVICE, O_RDWR | O_CLOEXEC);
    if (m_fd < 0)
        printf("could not open %s\n", FEEDINPUT_DEVICE);
    int version;
    if (ioctl(m_fd, EVIOCGVERSION, &version) < 0)
        printf("can not get driver version for %s\n", FEEDINPUT_DEVICE);
}

void ReleaseResource()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

int touchClick(int x, int y)
{
    TouchNode node;
    return writeLift(writeDown(x, y));
}

int touchLongClick(int x, int y, int duration)
{
    TouchNode node;
    const int rc = writeDown(x, y);
    if (rc == 0)
        pauseFor(pauseOf(duration));
    return writeLift(rc);
}

namespace {

// Coordinates are taken to 64 bits first: any two ints may be a swipe's ends,
// and their difference does not always fit an int. Every point produced lies
// between the two ends, so it fits again.
void appendPath(int x, int y, int x2, int y2, std::vector<postion>& arrays, int step)
{
    // The path's wobble is drawn from the program's own generator and never
    // reseeds it: one seed fixes the whole run, swipes included.
    const long long dx = static_cast<long long>(x2) - x;
    const long long dy = static_cast<long long>(y2) - y;
    const long long xdir = dx > 0 ? 1 : -1;
    const long long ydir = dy > 0 ? 1 : -1;

    arrays.reserve(arrays.size() + static_cast<size_t>(step > 0 ? step : 0) + 1);
    arrays.push_back({x, y});
    // Without a positive number of segments there is nothing between the
    // ends, and dividing by it would fault.
    if (step > 0) {
        if (absOf(dx) > step) {
            const long long xstep = xdir * (absOf(dx) / step);
            for (int i = 1; i < step; i++)
                arrays.push_back({static_cast<int>(x + i * xstep),
                                  static_cast<int>(y + ydir * (rand() % (absOf(dy) + 1)))});
        } else {
            const long long ystep = ydir * (absOf(dy) / step);
            for (int i = 1; i < step; i++)
                arrays.push_back({static_cast<int>(x + xdir * (rand() % (absOf(dx) + 1))),
                                  static_cast<int>(y + i * ystep)});
        }
    }
    arrays.push_back({x2, y2});
}

}  // namespace

void ComputePos(int x, int y, int x2, int y2, std::vector<postion>& arrays, int step)
{
    if (step > kMaxSwipeStep) {
        fprintf(stderr, "swipe path refused: step %d is above %d\n", step, kMaxSwipeStep);
        return;
    }
    // No exception may leave a C entry point: without memory for the path
    // the caller gets its path back as it was, and is told why.
    const size_t before = arrays.size();
    try {
        appendPath(x, y, x2, y2, arrays, step);
    } catch (const std::exception& e) {
        arrays.resize(before);
        fprintf(stderr, "swipe path of %d segments refused: %s\n", step, e.what());
    }
}

int touchSwipe(int x, int y, int x2, int y2, int step, int duration)
{
    TouchNode node;

    const long long dx = static_cast<long long>(x2) - x;
    const long long dy = static_cast<long long>(y2) - y;
    if ((dx == 0 && dy == 0) || step == 0)
        return 1;

    std::vector<postion> path;
    ComputePos(x, y, x2, y2, path, step);
    const size_t n = path.size();
    // A refused path (ComputePos said why): nothing is written.
    if (n == 0)
        return -1;

    int rc = writeDown(x, y);

    // The path runs from the start to the end whichever way the finger
    // travels, so the walk goes forward and the lift is at the end point.
    // Below 3 segments the walk is that last move alone.
    const size_t endIndex = n - 1;
    if (step > 3) {
        const size_t stride = n / static_cast<size_t>(step);
        const useconds_t pause = pauseOf(duration / step);
        size_t index = 0;
        for (int i = 0; i < step - 3 && rc == 0; i++) {
            index += stride;
            rc = writeMove(path[index].x, path[index].y, true, pause);
        }
    }
    if (rc == 0)
        rc = writeMove(path[endIndex].x, path[endIndex].y, false, 0);
    return writeLift(rc);
}

namespace {

// Answers the range of an axis of the node open at fd, or leaves lo and hi
// as they are when the node does not answer (a plain file, a node without
// the axis): true when it answered.
bool axisRange(int fd, int code, long long& lo, long long& hi)
{
    struct input_absinfo info;
    memset(&info, 0, sizeof info);
    if (ioctl(fd, EVIOCGABS(code), &info) != 0 || info.minimum > info.maximum)
        return false;
    lo = info.minimum, hi = info.maximum;
    return true;
}

// A node that does not say how many slots it has is taken to have the two
// a pinch needs; one that says fewer has no second finger to give.
int slotCount()
{
    struct input_absinfo info;
    memset(&info, 0, sizeof info);
    if (ioctl(m_fd, EVIOCGABS(ABS_MT_SLOT), &info) != 0)
        return 2;
    return info.maximum < 0 ? 0 : info.maximum + 1;
}

struct Span {
    long long lo, hi;
    int clamp(double v) const
    {
        if (!(v > static_cast<double>(lo))) return static_cast<int>(lo);  // NaN too
        if (v >= static_cast<double>(hi)) return static_cast<int>(hi);
        return static_cast<int>(std::llround(v));
    }
};

// One frame of both fingers: the first finger's point also goes to ABS_X/Y,
// as a panel reports its first contact for single-touch readers.
int writePinchFrame(bool down, const postion (&at)[2])
{
    const PanelPoint p[2] = {toPanel(at[0].x, at[0].y), toPanel(at[1].x, at[1].y)};
    for (int slot = 0; slot < 2; slot++) {
        if (writeInputEvent(m_fd, EV_ABS, ABS_MT_SLOT, slot) < 0) return -1;
        if (down && writeInputEvent(m_fd, EV_ABS, ABS_MT_TRACKING_ID, slot + 1) < 0) return -1;
        if (writeInputEvent(m_fd, EV_ABS, ABS_MT_POSITION_X, p[slot].mx) < 0) return -1;
        if (writeInputEvent(m_fd, EV_ABS, ABS_MT_POSITION_Y, p[slot].my) < 0) return -1;
    }
    if (down && writeInputEvent(m_fd, EV_KEY, BTN_TOUCH, 1) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_X, p[0].sx) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_Y, p[0].sy) < 0) return -1;
    return writeInputEvent(m_fd, EV_SYN, SYN_REPORT, 0);
}

// Both fingers lift in one frame, and BTN_TOUCH drops with the last of them.
// Every record is tried, as for the single finger.
int writePinchLift(int rc)
{
    if (m_fd < 0)
        return -1;
    for (int slot = 0; slot < 2; slot++) {
        rc |= writeInputEvent(m_fd, EV_ABS, ABS_MT_SLOT, slot);
        rc |= writeInputEvent(m_fd, EV_ABS, ABS_MT_TRACKING_ID, -1);
    }
    rc |= writeInputEvent(m_fd, EV_KEY, BTN_TOUCH, 0);
    rc |= writeInputEvent(m_fd, EV_SYN, SYN_REPORT, 0);
    return rc;
}

}  // namespace

int touchPinch(int x, int y, int r0, int r1, int angle, int step, int duration)
{
    TouchNode node;
    if (slotCount() < 2)
        return 1;
    if (step > kMaxSwipeStep) {
        fprintf(stderr, "pinch refused: step %d is above %d\n", step, kMaxSwipeStep);
        return -1;
    }
    if (step < 1)
        step = 1;
    // Mapped, the fingers stay on the screen and the mapping puts them on
    // the panel; else they stay within the panel's own range.
    Span sx = {INT_MIN, INT_MAX}, sy = {INT_MIN, INT_MAX};
    if (gMap.on) {
        sx = {0, gMap.width - 1}, sy = {0, gMap.height - 1};
    } else {
        axisRange(m_fd, ABS_MT_POSITION_X, sx.lo, sx.hi);
        axisRange(m_fd, ABS_MT_POSITION_Y, sy.lo, sy.hi);
    }

    // Finger 0 starts at angle 0, right of the centre, finger 1 opposite; a
    // positive angle turns them clockwise on a screen whose y grows down.
    const auto frame = [&](int i, postion (&p)[2]) {
        const double t = static_cast<double>(i) / step;
        const double r = r0 + (static_cast<double>(r1) - r0) * t;
        const double a = angle * t * M_PI / 180.0;
        const double dx = r * std::cos(a), dy = r * std::sin(a);
        p[0] = {sx.clamp(x + dx), sy.clamp(y + dy)};
        p[1] = {sx.clamp(x - dx), sy.clamp(y - dy)};
    };

    postion p[2];
    frame(0, p);
    gSlot = 1;  // whatever gets written from here, the next finger reselects 0
    int rc = writePinchFrame(true, p);
    const useconds_t pause = pauseOf(duration / step);
    for (int i = 1; i <= step && rc == 0; i++) {
        pauseFor(pause);
        frame(i, p);
        rc = writePinchFrame(false, p);
    }
    return writePinchLift(rc);
}

int setScreenMapping(int width, int height, int rotate, int flags, int* ranges)
{
    if (width < 1 || height < 1 || rotate < 0 || rotate > 270 || rotate % 90 != 0 ||
        (flags & ~(FEEDINPUT_SWAP_XY | FEEDINPUT_INVERT_X | FEEDINPUT_INVERT_Y)) != 0)
        return -1;
    gMap.on = false;
    // Its own descriptor: the touch half's opens and closes with each gesture.
    const int fd = open(FEEDINPUT_DEVICE, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return 1;
    ScreenMap m;
    const int codes[2][2] = {{ABS_MT_POSITION_X, ABS_X}, {ABS_MT_POSITION_Y, ABS_Y}};
    bool known = true;
    for (int a = 0; a < 2; a++) {
        const bool mt = axisRange(fd, codes[a][0], m.mt[a].lo, m.mt[a].hi);
        const bool st = axisRange(fd, codes[a][1], m.st[a].lo, m.st[a].hi);
        if (!mt) m.mt[a] = m.st[a];
        if (!st) m.st[a] = m.mt[a];
        known = known && (mt || st);
    }
    close(fd);
    if (!known)
        return 1;
    m.on = true;
    m.width = width, m.height = height, m.rotate = rotate, m.flags = flags;
    gMap = m;
    if (ranges != nullptr) {
        const long long r[4] = {m.mt[0].lo, m.mt[0].hi, m.mt[1].lo, m.mt[1].hi};
        for (int i = 0; i < 4; i++)
            ranges[i] = static_cast<int>(r[i]);
    }
    return 0;
}

void linePos(int x1, int y1, int x2, int y2, std::vector<postion>& arrays)
{
    const long long dx = static_cast<long long>(x2) - x1;
    const long long dy = static_cast<long long>(y2) - y1;
    const long long xlo = x1 < x2 ? x1 : x2, xhi = x1 < x2 ? x2 : x1;
    const long long ylo = y1 < y2 ? y1 : y2, yhi = y1 < y2 ? y2 : y1;

    if (dy == 0) {
        for (long long px = xlo; px < xhi; px++)
            arrays.push_back({static_cast<int>(px), y1});
    } else if (dx == 0) {
        for (long long py = ylo; py < yhi; py++)
            arrays.push_back({x1, static_cast<int>(py)});
    } else {
        const long long k = dy / dx;
        const long long b = y1 - k * x1;
        if (absOf(k) > 1) {
            for (long long py = ylo; py < yhi; py++)
                arrays.push_back({static_cast<int>((py - b) / k), static_cast<int>(py)});
        } else {
            for (long long px = xlo; px < xhi; px++)
                arrays.push_back({static_cast<int>(px), static_cast<int>(k * px + b)});
        }
    }
}
