// Problem: after a night of random input the engineer needs to know which
// dumps are the application's, what the screen showed, what was injected
// just before, and whether the application hung, exited or was restarted.
// Solution: checks that the core-dump watcher runs once a second beside its
// scan (never in the event loop): the named application by /proc, its
// restart, a frozen screen by a frame-buffer hash, and a bundle beside every
// saved dump.
#ifndef TAPFUZZ_APPWATCH_H
#define TAPFUZZ_APPWATCH_H

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "screenshot.h"

// The seed of the run, for the crash bundle.
extern std::atomic<long long> gRunSeed;
// The status the watcher thread asks the run to end with (0: none): 3 once
// the dump that ends a --stop-on-crash run is saved and bundled, 1 when
// /tmp cannot be listed. Main ends the run between two events, so no
// finger is left down; gRunStopWake (main's wake-up pipe) cuts its pause.
extern std::atomic<int> gRunStop;
extern std::atomic<int> gRunStopWake;
// Asks for the end of the run with `status`; the first request wins.
void requestRunStop(int status);

// The application under test, found by name: the process's comm, or the
// base name of the first word of its command line.
class AppWatch {
public:
    // `restart`: a shell command that starts the application ("" for none),
    // run once it has been gone `delay` seconds, at most once per `delay`.
    AppWatch(const std::string& name, const std::string& restart, int delay);
    // One check: logs "app:NAME pid:P" or "app:NAME not running" at the
    // first, "app:NAME exited after event:N" (with " status:S" or
    // " signal:S" when known) when it goes away, and restarts it.
    void poll(long event);
    const std::string& name() const { return mName; }
    pid_t pid() const { return mPid; }
    // True when the dump named "coredump-<comm>-<pid>-<time>" is the
    // application's, by its comm or by one of its pids seen running.
    bool ownsDump(const std::string& dumpName) const;

private:
    struct Proc {
        pid_t pid = 0, parent = 0;
        unsigned long long start = 0;
    };
    bool readProc(pid_t pid, Proc* proc) const;
    Proc find() const;
    std::string exitStatus();
    void restart(long now);

    std::string mName, mRestart;
    int mDelay;
    bool mLogged = false;
    pid_t mPid = 0, mParent = 0;
    unsigned long long mStart = 0;
    std::vector<pid_t> mSeen;      // pids it ran under, for ownsDump
    std::vector<pid_t> mChildren;  // shells started by restart, until reaped
    long mGoneSince = 0;
    long mLastRestart = -1;
};

// The last `count` lines of a text file ("" when it cannot be read).
std::string tailLines(const std::string& path, size_t count);

// What the watcher does once a second besides moving dumps, configured from
// -a, --stop-on-crash and the profile keys APP_RESTART, APP_RESTART_DELAY,
// FREEZE_SECONDS and FREEZE_ABORT.
class RunWatch {
public:
    RunWatch();
    void poll();
    // Called when a dump is first seen in /tmp: the screen and the gesture
    // index of that moment go into its bundle.
    void dumpFound(const std::string& dumpName, int after);
    // Called once a dump was saved at `saved` (its name in /tmp was
    // `dumpName`): marks the application's dumps, writes the bundle
    // <saved>.png and <saved>.txt, and ends the run if asked to.
    void dumpSaved(const std::string& saved, const std::string& dumpName);

private:
    void checkFreeze(long event, long now);

    bool mHasApp;
    AppWatch mApp;
    int mFreezeSeconds = 0;
    int mFreezeAbort = 0;
    ScreenReader mScreen;  // kept: its buffer is reused every second
    bool mHaveHash = false;
    uint64_t mScreenHash = 0;
    long mChangedAt = 0;
    long mEventsAtChange = 0;
    bool mFreezeLogged = false;
    struct Found {
        long event = 0;
        ScreenReader screen;
        std::string why;  // when the screen could not be read
    };
    std::map<std::string, Found> mFound;  // dumps seen, not yet saved
};

#endif
