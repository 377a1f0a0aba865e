// Problem: the run (zones), the replay (screen and zones) and the report
// (touch map) must know where both fingers of a pinch went, and the driver
// library that moves them is loaded, not linked.
// Solution: the library's formula for a finger's point in a frame, kept here
// in step with driver/touchevent.cc.
#ifndef TAPFUZZ_GESTURE_PINCH_PATH_H
#define TAPFUZZ_GESTURE_PINCH_PATH_H

#include <math.h>

#include <vector>

#include "gesture/pointer.h"
#include "gesture/zones.h"

struct PinchPoint {
    long long x, y;
};

// Finger `finger` (0 or 1) of pinch `e` in frame `i` of 0 .. e.step (a step
// below 1 is one move). Finger 0 starts at angle 0, right of the centre; a
// positive angle turns clockwise on a screen whose y grows down. Points lie
// in the int range the library clamps them to.
inline PinchPoint pinchPoint(const Pointer& e, int i, int finger)
{
    const int step = e.step < 1 ? 1 : e.step;
    const double t = static_cast<double>(i) / step;
    const double r = e.x1 + (static_cast<double>(e.y1) - e.x1) * t;
    const double a = e.code * t * M_PI / 180.0;
    const double s = finger == 0 ? 1.0 : -1.0;
    auto clamp = [](double v) -> long long {
        if (!(v > -2147483648.0)) return -2147483647LL - 1;
        if (v >= 2147483647.0) return 2147483647LL;
        return llround(v);
    };
    return {clamp(e.x + s * r * cos(a)), clamp(e.y + s * r * sin(a))};
}

// True when either finger's path meets a zone: every frame's point, and the
// rectangle between it and the next frame's, where the finger jumps.
inline bool pinchMeetsZone(const Pointer& e, const std::vector<Zone>& zones)
{
    const int step = e.step < 1 ? 1 : e.step;
    for (int f = 0; f < 2; f++) {
        PinchPoint a = pinchPoint(e, 0, f);
        for (int i = 1; i <= step; i++) {
            const PinchPoint b = pinchPoint(e, i, f);
            for (const Zone& z : zones)
                if (z.meets(static_cast<int>(a.x), static_cast<int>(a.y), static_cast<int>(b.x), static_cast<int>(b.y)))
                    return true;
            a = b;
        }
    }
    return false;
}

#endif
