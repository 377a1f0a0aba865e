// Problem: every part of the program passes one drawn action around, and the
// run record and the report name its kind.
// Solution: one plain record of eight ints, passed by value, tagged by kind
// (gesture/kinds.h says what each kind is).
#ifndef TAPFUZZ_GESTURE_POINTER_H
#define TAPFUZZ_GESTURE_POINTER_H

// The kinds of action; also the index into both factor tables and the table
// of kinds. A new kind goes before FACTORZ_COUNT.
enum FACTOR_TYPE {
    FACTOR_TOUCH = 0,
    FACTOR_MOTION = 1,
    FACTOR_LONGCLICK = 2,
    FACTOR_PRESSKEY = 3,
    FACTOR_PINCH = 4,  // two fingers: drawn only when --pct-pinch asks for it
    FACTORZ_COUNT = 5,
};

typedef struct _Pointer {
    int x;         // click point, start of a swipe, or centre of a pinch (pixels)
    int y;
    int x1;        // end of a swipe; a pinch's start radius
    int y1;        // a pinch's end radius
    int step;      // segments of a swipe path, or moves of a pinch
    int duration;  // microseconds: a click's or long click's hold, a swipe's or pinch's travel
    int eventTye;  // a FACTOR_TYPE
    int code;      // Linux key code of a key press; a pinch's turn in degrees
} Pointer;

#endif
