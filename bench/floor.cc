// Problem: to judge what tapfuzz costs per injected action we need the least
// any program can pay for the same action on the same node.
// Solution: a bare loop that does only what every action must do: open the
// node, query its version, write the same records one write() each (with the
// same designed sleeps), close it, and write the same debug line to standard
// output in the same two writes (prefix, then message and line end) that a
// tapfuzz line takes at the default verbosity. Its coordinates come from a
// few integer operations, its time stamp is formatted once per second.
//
// usage: bench_floor [--pause US] [--threads N] click|longclick|swipe|key|pinch COUNT
// --pause: a pause after each action, to compare pacing with.
// --threads: N idle threads beside the loop. A process with more than one
// thread pays for cancellation points in every system call wrapper; tapfuzz
// always has two more threads (console echo, core dump watcher).
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>

namespace {

enum Kind { kClick, kLongClick, kSwipe, kKey, kPinch };

int gFd = -1;

bool writeAll(int fd, const char* buf, size_t len)
{
    ssize_t n;
    do {
        n = write(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(len);
}

bool record(uint16_t type, uint16_t code, int32_t value)
{
    struct input_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = type;
    ev.code = code;
    ev.value = value;
    return writeAll(gFd, reinterpret_cast<const char*>(&ev), sizeof ev);
}

bool down(int x, int y)
{
    return record(EV_ABS, ABS_MT_TRACKING_ID, 1) && record(EV_ABS, ABS_MT_POSITION_X, x) &&
           record(EV_ABS, ABS_MT_POSITION_Y, y) && record(EV_KEY, BTN_TOUCH, 1) &&
           record(EV_ABS, ABS_X, x) && record(EV_ABS, ABS_Y, y) && record(EV_SYN, SYN_REPORT, 0);
}

bool move(int x, int y, useconds_t pause)
{
    const struct { uint16_t type, code; int32_t value; } recs[] = {
        {EV_ABS, ABS_MT_POSITION_X, x}, {EV_ABS, ABS_MT_POSITION_Y, y},
        {EV_ABS, ABS_X, x},             {EV_ABS, ABS_Y, y},
        {EV_SYN, SYN_REPORT, 0},
    };
    for (const auto& r : recs) {
        if (!record(r.type, r.code, r.value))
            return false;
        if (pause > 0)
            usleep(pause);
    }
    return true;
}

// Both fingers in one frame: slots 0 and 1, ids on the way down only.
bool pinchFrame(bool first, int x0, int y0, int x1, int y1)
{
    return record(EV_ABS, ABS_MT_SLOT, 0) && (!first || record(EV_ABS, ABS_MT_TRACKING_ID, 1)) &&
           record(EV_ABS, ABS_MT_POSITION_X, x0) && record(EV_ABS, ABS_MT_POSITION_Y, y0) &&
           record(EV_ABS, ABS_MT_SLOT, 1) && (!first || record(EV_ABS, ABS_MT_TRACKING_ID, 2)) &&
           record(EV_ABS, ABS_MT_POSITION_X, x1) && record(EV_ABS, ABS_MT_POSITION_Y, y1) &&
           (!first || record(EV_KEY, BTN_TOUCH, 1)) && record(EV_ABS, ABS_X, x0) && record(EV_ABS, ABS_Y, y0) &&
           record(EV_SYN, SYN_REPORT, 0);
}

bool lift()
{
    return record(EV_ABS, ABS_MT_TRACKING_ID, -1) && record(EV_KEY, BTN_TOUCH, 0) &&
           record(EV_SYN, SYN_REPORT, 0);
}

// The prefix of a debug line: "[time][DEBUG][function][Line n]:". The time
// text only changes once a second, so it is formatted only then.
const char* prefix(const char* function, int line)
{
    static time_t last = -1;
    static char stamp[64];
    static char text[160];
    time_t now = time(nullptr);
    if (now != last) {
        struct tm tmv;
        stamp[0] = '\0';
        if (localtime_r(&now, &tmv) != nullptr)
            strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
        last = now;
    }
    snprintf(text, sizeof text, "[%s][DEBUG][%s][Line %d]:", stamp, function, line);
    return text;
}

bool debugLine(const char* message)
{
    const char* p = prefix("generatePointerEvent", 190);
    return writeAll(1, p, strlen(p)) && writeAll(1, message, strlen(message));
}

// A small generator of its own: the floor must not pay for more than the
// draws need, and rand() would be as cheap as this anyway.
uint32_t gState = 12345;
int next(int below)
{
    gState = gState * 1103515245u + 12345u;
    return static_cast<int>((gState >> 8) % static_cast<uint32_t>(below));
}

bool openNode(const char* node)
{
    do {
        gFd = open(node, O_RDWR);
    } while (gFd < 0 && errno == EINTR);
    if (gFd < 0) {
        fprintf(stderr, "bench_floor: cannot open %s: %s\n", node, strerror(errno));
        return false;
    }
    int version;
    // A regular file or fifo standing in for the node answers ENOTTY; the
    // query is still one system call, as on the device.
    (void)ioctl(gFd, EVIOCGVERSION, &version);
    return true;
}

void closeNode()
{
    close(gFd);
    gFd = -1;
}

bool oneAction(Kind kind)
{
    char msg[160];
    int x = next(800), y = next(480);
    switch (kind) {
    case kClick:
        snprintf(msg, sizeof msg, "touch:x:%d y:%d\n", x, y);
        if (!debugLine(msg) || !openNode("/dev/input/event0"))
            return false;
        if (!down(x, y) || !lift())
            return false;
        break;
    case kLongClick:
        snprintf(msg, sizeof msg, "longclick: x:%d y:%d duration:1000\n", x, y);
        if (!debugLine(msg) || !openNode("/dev/input/event0"))
            return false;
        if (!down(x, y))
            return false;
        usleep(1000);
        if (!lift())
            return false;
        break;
    case kSwipe: {
        int x1 = next(800), y1 = next(480);
        snprintf(msg, sizeof msg, "swipe:x:%d y:%d x1:%d y1:%d step:5 duration:75000\n", x, y, x1,
                 y1);
        if (!debugLine(msg) || !openNode("/dev/input/event0"))
            return false;
        // Same shape as the library's swipe: down, two paced moves, the
        // final move and the lift.
        if (!down(x, y) || !move((x + x1) / 3, (y + y1) / 3, 15000) ||
            !move(2 * (x + x1) / 3, 2 * (y + y1) / 3, 15000) || !move(x1, y1, 0) || !lift())
            return false;
        break;
    }
    case kPinch: {
        snprintf(msg, sizeof msg, "pinch: x:%d y:%d r0:40 r1:80 angle:30 step:10 duration:300000\n", x, y);
        if (!debugLine(msg) || !openNode("/dev/input/event0"))
            return false;
        // The library asks the panel for its slots and both axes' ranges.
        struct input_absinfo info;
        for (int code : {ABS_MT_SLOT, ABS_MT_POSITION_X, ABS_MT_POSITION_Y})
            (void)ioctl(gFd, EVIOCGABS(code), &info);
        if (!pinchFrame(true, x + 40, y, x - 40, y))
            return false;
        for (int i = 1; i <= 10; ++i) {
            usleep(30000);
            if (!pinchFrame(false, x + 40 + 4 * i, y + i, x - 40 - 4 * i, y - i))
                return false;
        }
        if (!record(EV_ABS, ABS_MT_SLOT, 0) || !record(EV_ABS, ABS_MT_TRACKING_ID, -1) ||
            !record(EV_ABS, ABS_MT_SLOT, 1) || !lift())
            return false;
        break;
    }
    case kKey:
        // Key presses write no debug line.
        if (!openNode("/dev/input/event0"))
            return false;
        if (!record(EV_KEY, KEY_POWER, 1) || !record(EV_SYN, SYN_REPORT, 0) ||
            !record(EV_KEY, KEY_POWER, 0) || !record(EV_SYN, SYN_REPORT, 0))
            return false;
        break;
    }
    closeNode();
    return true;
}

void* idle(void*)
{
    for (;;)
        pause();
    return nullptr;
}

bool readNumber(const char* text, long max, long* out)
{
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > max)
        return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* usage = "usage: bench_floor [--pause US] [--threads N] click|longclick|swipe|key|pinch COUNT\n";
    long pause = 0;
    long threads = 0;
    while (argc > 2 && strncmp(argv[1], "--", 2) == 0) {
        long* target = strcmp(argv[1], "--pause") == 0 ? &pause
                       : strcmp(argv[1], "--threads") == 0 ? &threads
                                                           : nullptr;
        if (target == nullptr || !readNumber(argv[2], target == &pause ? 100000000 : 64, target)) {
            fprintf(stderr, "%s", usage);
            return 2;
        }
        argc -= 2;
        argv += 2;
    }
    for (long i = 0; i < threads; ++i) {
        pthread_t t;
        if (pthread_create(&t, nullptr, idle, nullptr) != 0) {
            fprintf(stderr, "bench_floor: cannot start a thread\n");
            return 1;
        }
        pthread_detach(t);
    }
    if (argc != 3) {
        fprintf(stderr, "%s", usage);
        return 2;
    }
    Kind kind;
    if (strcmp(argv[1], "click") == 0)
        kind = kClick;
    else if (strcmp(argv[1], "longclick") == 0)
        kind = kLongClick;
    else if (strcmp(argv[1], "swipe") == 0)
        kind = kSwipe;
    else if (strcmp(argv[1], "key") == 0)
        kind = kKey;
    else if (strcmp(argv[1], "pinch") == 0)
        kind = kPinch;
    else {
        fprintf(stderr, "bench_floor: unknown kind '%s'\n", argv[1]);
        return 2;
    }
    long count = 0;
    if (!readNumber(argv[2], 1000000000L, &count)) {
        fprintf(stderr, "bench_floor: COUNT '%s' is not a number of actions\n", argv[2]);
        return 2;
    }
    for (long i = 0; i < count; ++i) {
        if (!oneAction(kind)) {
            fprintf(stderr, "bench_floor: action %ld failed: %s\n", i, strerror(errno));
            return 1;
        }
        if (pause > 0)
            usleep(static_cast<useconds_t>(pause));
    }
    return 0;
}
