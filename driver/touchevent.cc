// Problem: a stress run must look to everything above the kernel like real
// fingers on the device's multi-touch panel.
// Solution: write the exact record sequence the panel reports for a click, a
// long click or a swipe into its event node, one write() per record. Every
// gesture ends with the finger's lift, a failed write on the way included:
// the input core would otherwise hold the contact down until the next
// gesture, and the application under test would see a press without end.
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
    if (writeInputEvent(m_fd, EV_ABS, ABS_MT_TRACKING_ID, 1) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_MT_POSITION_X, x) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_MT_POSITION_Y, y) < 0) return -1;
    if (writeInputEvent(m_fd, EV_KEY, BTN_TOUCH, 1) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_X, x) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_Y, y) < 0) return -1;
    return writeInputEvent(m_fd, EV_SYN, SYN_REPORT, 0);
}

// A paced move pauses after each of its records so that readers of the node
// see the finger travel at the pace of the gesture rather than jump.
int writeMove(int x, int y, bool paced, useconds_t pause)
{
    const struct { uint16_t type; uint16_t code; int32_t value; } recs[] = {
        {EV_ABS, ABS_MT_POSITION_X, x},
        {EV_ABS, ABS_MT_POSITION_Y, y},
        {EV_ABS, ABS_X, x},
        {EV_ABS, ABS_Y, y},
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

// Answers the node's range for an axis, or leaves lo and hi as they are
// when the node does not answer (a plain file, a node without the axis).
void axisRange(int code, long long& lo, long long& hi)
{
    struct input_absinfo info;
    memset(&info, 0, sizeof info);
    if (ioctl(m_fd, EVIOCGABS(code), &info) == 0 && info.minimum <= info.maximum)
        lo = info.minimum, hi = info.maximum;
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
int writePinchFrame(bool down, const postion (&p)[2])
{
    for (int slot = 0; slot < 2; slot++) {
        if (writeInputEvent(m_fd, EV_ABS, ABS_MT_SLOT, slot) < 0) return -1;
        if (down && writeInputEvent(m_fd, EV_ABS, ABS_MT_TRACKING_ID, slot + 1) < 0) return -1;
        if (writeInputEvent(m_fd, EV_ABS, ABS_MT_POSITION_X, p[slot].x) < 0) return -1;
        if (writeInputEvent(m_fd, EV_ABS, ABS_MT_POSITION_Y, p[slot].y) < 0) return -1;
    }
    if (down && writeInputEvent(m_fd, EV_KEY, BTN_TOUCH, 1) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_X, p[0].x) < 0) return -1;
    if (writeInputEvent(m_fd, EV_ABS, ABS_Y, p[0].y) < 0) return -1;
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
    Span sx = {INT_MIN, INT_MAX}, sy = {INT_MIN, INT_MAX};
    axisRange(ABS_MT_POSITION_X, sx.lo, sx.hi);
    axisRange(ABS_MT_POSITION_Y, sy.lo, sy.hi);

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
