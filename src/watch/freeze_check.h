// Problem: an application that hangs leaves no dump; its screen stops
// changing while gestures go on arriving. Yet a screen unchanged under
// gestures is also what a healthy application shows when they hit its
// inert parts, and aborting that one kills a working application.
// Solution: a cheap hash of the frame buffer once a second, read a few lines
// at a time so the watcher holds no copy of the frame, and a look at the
// application's main thread in /proc; a screen that has not changed for
// FREEZE_SECONDS while gestures kept arriving and the main thread never
// went into a wait for input is logged once with that evidence, shot, and
// with FREEZE_ABORT the application gets SIGABRT, so that it leaves a dump.
#ifndef TAPFUZZ_WATCH_FREEZE_CHECK_H
#define TAPFUZZ_WATCH_FREEZE_CHECK_H

#include <stdint.h>

#include <string>

#include "base/screen_reader.h"
#include "watch/app_watch.h"

// True when `now` shows the main thread `before` looked at, still the same
// process's, not having gone into a wait since: it handled no input in
// between. A look missing (no application, gone, unreadable) or at another
// process is no evidence.
bool threadStill(const ThreadLook& before, const ThreadLook& now);

// The evidence for a thread `look` showed still for `seconds`, as the
// freeze's second line says it after "main thread ": "running, no wait in
// 5 s" (a busy loop) or "asleep (S), not woken in 5 s" (a deadlock, a
// process that stopped reading), "stopped (T), ..." under a stop signal.
std::string stillText(const ThreadLook& look, int seconds);

class FreezeCheck {
public:
    // `seconds` (FREEZE_SECONDS) of an unchanged screen and a still main
    // thread make a freeze; 0 or less: no check. `abort` (FREEZE_ABORT) 1:
    // SIGABRT to `app`. Without an application (`app` nullptr) nothing is
    // called a freeze, as one log line says.
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
    ThreadLook mLook;               // the main thread at the check before
    long long mChangedAt = 0;       // monotonic ms of the check that saw the screen change or the thread wait
    long mEventsAtLastCheck = 0;
    bool mLogged = false;
    long mFreezes = 0;
};

#endif
