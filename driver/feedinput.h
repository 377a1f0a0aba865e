// Problem: the program reaches libfeedinput only through dlsym by name, so
// every entry point must leave the library unmangled and nothing else may.
// Solution: one internal header that declares the exported names with C
// linkage and default visibility; the build hides everything else.
#ifndef TAPFUZZ_DRIVER_FEEDINPUT_H
#define TAPFUZZ_DRIVER_FEEDINPUT_H

#include <stdint.h>

#include <vector>

#define FEEDINPUT_EXPORT __attribute__((visibility("default")))

// The node of the device's touch panel and its hardware keys alike.
#define FEEDINPUT_DEVICE "/dev/input/event0"

struct postion {
    int x;
    int y;
};

extern "C" {

// Touch half: the descriptor is -1 whenever no gesture holds it open.
FEEDINPUT_EXPORT extern int m_fd;

FEEDINPUT_EXPORT void CreateResource();
FEEDINPUT_EXPORT void ReleaseResource();
FEEDINPUT_EXPORT int touchClick(int x, int y);
FEEDINPUT_EXPORT int touchLongClick(int x, int y, int duration);
FEEDINPUT_EXPORT int touchSwipe(int x, int y, int x2, int y2, int step, int duration);
// Two fingers opposite each other on a circle around (x, y), from radius r0
// to r1, turning by angle degrees (clockwise when positive) in step moves
// over duration microseconds. Answers 1 and writes nothing on a panel with
// fewer than 2 slots.
FEEDINPUT_EXPORT int touchPinch(int x, int y, int r0, int r1, int angle, int step, int duration);
FEEDINPUT_EXPORT void ComputePos(int x, int y, int x2, int y2,
                                 std::vector<postion>& arrays, int step);
FEEDINPUT_EXPORT void linePos(int x1, int y1, int x2, int y2,
                              std::vector<postion>& arrays);

// From now on every point the touch functions are given is a pixel of a
// width x height screen, written as the panel's own value: the one that a
// toolkit reading the panel puts back on that pixel. The toolkit is taken to
// normalise each axis by its range (EVIOCGABS) to u, v in 0..1, then swap u
// and v (FEEDINPUT_SWAP_XY), turn clockwise about the centre by `rotate`
// degrees (0, 90, 180 or 270; (u, v) becomes (1 - v, u) for each 90), then
// take u to 1 - u (FEEDINPUT_INVERT_X) and v to 1 - v (FEEDINPUT_INVERT_Y),
// and put the point at u * (width - 1), v * (height - 1). Points are clamped
// to the screen first. ABS_MT_POSITION_X/Y and ABS_X/Y each have their own
// range; an axis that does not answer borrows its partner's.
// Answers 0 with `ranges` (when not null) set to the x and y ranges the
// multi-touch axes were written with (x min, x max, y min, y max); 1 when
// the node answers neither axis's range, and points stay screen pixels as
// they were; -1 for arguments out of bounds, which change nothing.
#define FEEDINPUT_SWAP_XY 1
#define FEEDINPUT_INVERT_X 2
#define FEEDINPUT_INVERT_Y 4
FEEDINPUT_EXPORT int setScreenMapping(int width, int height, int rotate, int flags, int* ranges);

// Key half: its own descriptor on the same node, independent of m_fd.
FEEDINPUT_EXPORT extern int mFdhwkey;

FEEDINPUT_EXPORT void CreateResource1();
FEEDINPUT_EXPORT void ReleaseResource1();
FEEDINPUT_EXPORT int sendHKeyInput(int code);

}

// Shared by both halves, hidden: writes one zeroed record with one write().
// Returns 0, or -1 after telling standard error why.
int writeInputEvent(int fd, uint16_t type, uint16_t code, int32_t value);

// Holds a half's descriptor for one call: every way out closes it again.
template <void (*Open)(), void (*Close)()>
struct NodeHold {
    NodeHold() { Open(); }
    ~NodeHold() { Close(); }
    NodeHold(const NodeHold&) = delete;
    NodeHold& operator=(const NodeHold&) = delete;
};

#endif
