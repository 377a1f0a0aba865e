// Problem: a run injects gestures drawn at random or gestures read back from
// a run record, and the loop that injects, records, counts and paces them
// should not care which.
// Solution: one interface the loop asks for each gesture, for the moment it
// is due, for the pause after it and for the end of the run.
#ifndef TAPFUZZ_GESTURE_GESTURE_SOURCE_H
#define TAPFUZZ_GESTURE_GESTURE_SOURCE_H

#include <string>

#include "gesture/pointer.h"

// One gesture to inject, with the seed of its path when it is a swipe.
struct Gesture {
    Pointer event{};
    unsigned int pathSeed = 0;
};

class GestureSource {
public:
    virtual ~GestureSource() = default;

    // False, before the first gesture and after a message, when the source
    // cannot give what the run asks of it.
    virtual bool ready() { return true; }
    // What the run record's header gives as the mix, and as the hold of
    // its clicks (ms).
    virtual std::string mixText() const = 0;
    virtual int clickHoldMs() const = 0;
    // The next gesture; false when there is none left. A gesture of kind -1
    // is none for now: the loop looks for a signal and asks again.
    virtual bool next(Gesture* gesture) = 0;
    // Microseconds from `now`, on the run record's clock, until the gesture
    // handed out last is due (0: it is).
    virtual long long untilDue(long long now) const = 0;
    // Microseconds to pause after a gesture was injected.
    virtual long pauseAfter() = 0;
    // After that pause: true when `injected` gestures complete the run.
    virtual bool complete(int injected) const = 0;
};

#endif
