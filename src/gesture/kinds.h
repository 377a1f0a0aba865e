// Problem: a gesture kind is drawn, named on the command line, injected,
// logged, counted, recorded, replayed and reported; written out in each of
// those places, a new kind is forgotten in one of them.
// Solution: one row per kind holding what those places need to know of it,
// indexed by FACTOR_TYPE; what only code can say (how a kind is drawn, which
// library function takes it) sits in switches with no default, so that the
// compiler names the switch a new kind was not added to.
#ifndef TAPFUZZ_GESTURE_KINDS_H
#define TAPFUZZ_GESTURE_KINDS_H

#include <stddef.h>

#include "gesture/pointer.h"

struct GestureKind {
    int kind;                // its FACTOR_TYPE, the row's index
    const char* word;        // in the run record and the report: "click"
    const char* plural;      // in messages: "clicks"
    const char* option;      // the option that sets its share: "--pct-touch"
    const char* optionText;  // the description the option's number is read with
    const char* mixLabel;    // in the mix printout: "TOUCH"
    const char* action;      // in the log: "Sending ACTION:(...)", "Error ACTION:(...)"
    float share, keyedShare; // default weight, without and with HWKEY_ENABLE
    // Its record line: the fields between its word and the result, how many
    // of the first are points (X Y, or X Y X1 Y1), and which one holds the
    // path seed (-1: none).
    int fields, places, seedField;
};

inline constexpr GestureKind kGestureKinds[] = {
    {FACTOR_TOUCH, "click", "clicks", "--pct-touch", "touch events percentage", "TOUCH", "Click (ACTION_DOWN)",
     40.0f, 35.0f, 2, 2, -1},
    {FACTOR_MOTION, "swipe", "swipes", "--pct-motion", "motion events percentage", "MOTION", "Swipe (ACTION_MOTION)",
     30.0f, 30.0f, 7, 4, 6},
    {FACTOR_LONGCLICK, "longclick", "long clicks", "--pct-longclick", "longclick events percentage", "LONGCLICK",
     "LongClick (ACTION_LONGCLICK)", 30.0f, 30.0f, 3, 2, -1},
    {FACTOR_PRESSKEY, "key", "key presses", "--pct-presskey", "presskey events percentage", "PRESSKEY",
     "PressKey (ACTION_PRESSKEY)", 0.0f, 5.0f, 1, 0, -1},
    // Drawn only when --pct-pinch asks for it: no default weight.
    {FACTOR_PINCH, "pinch", "pinches", "--pct-pinch", "pinch events percentage", "PINCH", "Pinch (ACTION_PINCH)",
     0.0f, 0.0f, 7, 2, -1},
};
static_assert(sizeof kGestureKinds / sizeof kGestureKinds[0] == FACTORZ_COUNT, "a row for every kind");

// The row of `kind`; nullptr for a value that is no kind.
inline const GestureKind* gestureKind(int kind)
{
    return kind >= FACTOR_TOUCH && kind < FACTORZ_COUNT ? &kGestureKinds[kind] : nullptr;
}

// A kind's word in the run record and the report; nullptr for a value that
// is no kind.
inline const char* kindName(int kind)
{
    const GestureKind* k = gestureKind(kind);
    return k != nullptr ? k->word : nullptr;
}

// The args of a kind's log lines, "(x,y)", "(x,y,x1,y1,step)" or "(code)",
// into `buf`; its length as snprintf gives it.
int formatKindArgs(const Pointer& event, char* buf, size_t size);

#endif
