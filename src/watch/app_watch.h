// Problem: after a night of random input the engineer needs to know which
// dumps are the application's, what the screen showed, what was injected
// just before, and whether the application hung, exited or was restarted.
// Solution: checks that the core-dump watcher runs once a second beside its
// scan (never in the event loop): the named application by /proc, its
// restart, a frozen screen by a frame-buffer hash, and a bundle beside every
// saved dump.
#ifndef TAPFUZZ_WATCH_APP_WATCH_H
#define TAPFUZZ_WATCH_APP_WATCH_H

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "base/screen_reader.h"

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

// Holds one process tapfuzz did not start, so that a signal meant for it
// never reaches another process given its pid later: by a pidfd, or where
// the kernel has none, by a check of its start time before each signal.
class ProcessHandle {
public:
    ProcessHandle() = default;
    ~ProcessHandle() { release(); }
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    // Takes hold of the process running as `pid` since `start` (field 22
    // of /proc/PID/stat). False, errno ESRCH, when no such process runs.
    bool hold(pid_t pid, unsigned long long start);
    void release();
    // Sends `sig` to the process held, to no other: 0, or -1 with errno
    // (ESRCH when it is gone, whatever runs under its pid now).
    int signal(int sig) const;

private:
    int mFd = -1;
    pid_t mPid = 0;
    unsigned long long mStart = 0;
};

// The start time of process `pid` in clock ticks after boot (field 22 of
// /proc/PID/stat); 0 when there is no such process.
unsigned long long processStartTime(pid_t pid);

// The application under test, found by name: the process's comm, or the
// base name of the first word of its command line.
class AppWatch {
public:
    // `restart`: a shell command that starts the application ("" for none),
    // run once it has been gone `delay` seconds, at most once per `delay`,
    // and never while the shell last started for it still runs.
    AppWatch(const std::string& name, const std::string& restart, int delay);
    // One check: logs "app:NAME pid:P uid:U exe:PATH" or "app:NAME not
    // running" at the first, "app:NAME exited after event:N" (with
    // " status:S" or " signal:S" when known) when it goes away, and
    // restarts it. Of several processes of the name, the one APP_RESTART
    // started (or a descendant) is chosen, then the oldest.
    void poll(long event);
    const std::string& name() const { return mName; }
    pid_t pid() const { return mPid; }
    // Sends `sig` to the application found last, never to a process that
    // took its pid afterwards: 0, or -1 with errno.
    int signal(int sig) const { return mHandle.signal(sig); }
    // True when the dump named "coredump-<comm>-<pid>-<time>", whose file
    // belongs to `owner`, is the application's: its pid is one the
    // application ran under, as that uid.
    bool ownsDump(const std::string& dumpName, uid_t owner) const;

private:
    struct Proc {
        pid_t pid = 0, parent = 0;
        unsigned long long start = 0;
        uid_t uid = 0;
        bool started = false;  // by APP_RESTART
    };
    bool readProc(pid_t pid, Proc* proc) const;
    bool startedHere(pid_t pid) const;
    Proc find() const;
    std::string exitStatus();
    void restart(long now);

    std::string mName, mRestart;
    int mDelay;
    bool mLogged = false;
    pid_t mPid = 0, mParent = 0;
    unsigned long long mStart = 0;
    bool mStarted = false;
    ProcessHandle mHandle;
    struct Ran {
        pid_t pid;
        uid_t uid;
    };
    std::vector<Ran> mSeen;        // pids it ran under, for ownsDump
    std::vector<pid_t> mChildren;  // shells started by restart, until reaped
    std::vector<pid_t> mSpawned;   // the last shells started, for ownsDump
    pid_t mLastChild = 0;
    long mGoneSince = 0;
    long mLastRestart = -1;
};

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
    // `dumpName`, its file `owner`'s): marks the application's dumps, writes
    // the bundle <saved>.png and <saved>.txt, and ends the run if asked to.
    void dumpSaved(const std::string& saved, const std::string& dumpName, uid_t owner);

private:
    void checkFreeze(long event, long now);
    void writeBundle(const std::string& saved, const std::string& dumpName, bool ours);

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
