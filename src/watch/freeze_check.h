// Problem: an application that hangs leaves no dump; its screen stops
// changing while gestures go on arriving.
// Solution: a cheap hash of the frame buffer once a second, read a few lines
// at a time so the watcher holds no copy of the frame; a screen that
// has not changed for FREEZE_SECONDS while gestures kept arriving is logged
// once, shot, and with FREEZE_ABORT the application gets SIGABRT, so that
// it leaves a dump.
#ifndef TAPFUZZ_WATCH_FREEZE_CHECK_H
#define TAPFUZZ_WATCH_FREEZE_CHECK_H

#include <stdint.h>

#include "base/screen_reader.h"

class AppWatch;

class FreezeCheck {
public:
    // `seconds` (FREEZE_SECONDS) of an unchanged screen make a freeze; 0 or
    // less: no check. `abort` (FREEZE_ABORT) 1: SIGABRT to `app` (nullptr:
    // no application named).
    FreezeCheck(int seconds, int abort, const AppWatch* app);
    // One check at gesture `event` and monotonic millisecond `nowMs`. A screen that
    // cannot be read turns the check off with a log line; a frame too large
    // for the memory left costs the freeze's screenshot only.
    void poll(long event, long long nowMs);
    // The freezes logged so far.
    long freezes() const { return mFreezes; }

private:
    void check(long event, long long nowMs);

    int mSeconds;
    int mAbort;
    const AppWatch* mApp;
    bool mHaveHash = false;
    uint64_t mScreenHash = 0;
    long long mChangedAt = 0;       // monotonic ms of the check that saw the screen change
    long mEventsAtLastCheck = 0;
    bool mLogged = false;
    long mFreezes = 0;
};

#endif
