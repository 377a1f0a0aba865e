// Problem: every part of the program passes one drawn action around, and the
// run record and the report name its kind.
// Solution: one plain record of eight ints, passed by value, tagged by kind,
// and one name for each kind.
#ifndef TAPFUZZ_GESTURE_POINTER_H
#define TAPFUZZ_GESTURE_POINTER_H

// The kinds of action; also the index into both factor tables.
enum FACTOR_TYPE {
    FACTOR_TOUCH = 0,
    FACTOR_MOTION = 1,
    FACTOR_LONGCLICK = 2,
    FACTOR_PRESSKEY = 3,
    FACTORZ_COUNT = 4,
};

// A kind's name in the run record and the report: "click", "swipe",
// "longclick" or "key"; nullptr for a value that is no kind.
inline const char* kindName(int kind)
{
    static const char* const kNames[FACTORZ_COUNT] = {"click", "swipe", "longclick", "key"};
    return kind >= FACTOR_TOUCH && kind < FACTORZ_COUNT ? kNames[kind] : nullptr;
}

typedef struct _Pointer {
    int x;         // click point, or start of a swipe (pixels)
    int y;
    int x1;        // end of a swipe
    int y1;
    int step;      // segments of a swipe path
    int duration;  // microseconds
    int eventTye;  // a FACTOR_TYPE
    int code;      // Linux key code of a key press
} Pointer;

#endif
