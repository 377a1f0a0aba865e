// Problem: a run by count or by time draws its gestures at random, pauses
// after each as the command line or the profile says, and must refuse to
// start when its mix can place nothing or inject nothing.
// Solution: the random source, the pacing and the count behind the one
// interface the run loop asks.
#ifndef TAPFUZZ_RUN_RANDOM_GESTURES_H
#define TAPFUZZ_RUN_RANDOM_GESTURES_H

#include <string>

#include "gesture/gesture_source.h"

class InjectorEvent;
class RandomEventSource;
class ScreenExplorer;

class RandomGestures : public GestureSource {
public:
    // `count` gestures complete the run, unless it runs for `hours`. The
    // screen is looked at before each gesture, and `explorer` may place it.
    RandomGestures(RandomEventSource& events, InjectorEvent& injector, int count, int hours, ScreenExplorer& explorer);
    // After adjustEventFactors: false, after a message, when a kind of the
    // mix has no place outside EXCLUDE_RECTS, or nothing of the mix can be
    // injected (the library, or the key table).
    bool ready() override;
    std::string mixText() const override;
    int clickHoldMs() const override;
    bool next(Gesture* gesture) override;
    long long untilDue(long long) const override { return 0; }
    long pauseAfter() override;
    bool complete(int injected) const override;

private:
    bool anythingInjectable() const;
    std::string nothingInjectableCause() const;

    RandomEventSource& mEvents;
    InjectorEvent& mInjector;
    int mCount;
    int mHours;
    ScreenExplorer& mExplorer;
};

#endif
