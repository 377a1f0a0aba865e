// Problem: after a night of random input the engineer needs to know when
// the application under test exited, which dumps are its own, and that it
// was started again.
// Solution: the application watched by name through /proc, once a second on
// the watcher thread: its pid, uid and exe when it appears, its exit and
// status, its restart, and the pids it ran under.
#ifndef TAPFUZZ_WATCH_APP_WATCH_H
#define TAPFUZZ_WATCH_APP_WATCH_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "watch/process_handle.h"

// Starts `command` through /bin/sh -c with /dev/null for input, tapfuzz's
// output and error and no other descriptor, every signal unblocked, in a
// process group of its own; safe while other threads run (the child only
// execs). The shell's pid, or -1 with errno.
pid_t startShell(const std::string& command);

// A running process as the watch sees it in /proc.
struct SeenProcess {
    pid_t pid = 0, parent = 0, group = 0;
    unsigned long long start = 0;  // to tell a later process under the pid
    uid_t uid = 0;                 // effective: the owner of its dumps
};
// Which processes a scan takes, from their stat alone.
using ProcessFilter = std::function<bool(pid_t pid, const ProcessStat& stat)>;
// Whether `pid` runs the program `name`: its comm, or the base name of the
// first word of its command line (a kernel thread's is empty).
bool runsProgram(pid_t pid, const ProcessStat& stat, const std::string& name);
// Process `pid` when it runs (a zombie is gone) and `keep` takes it.
bool readSeenProcess(pid_t pid, const ProcessFilter& keep, SeenProcess* out);
// Every process of /proc but tapfuzz itself that readSeenProcess gives.
std::vector<SeenProcess> scanProcesses(const ProcessFilter& keep);
// The processes that run the program `name` (runsProgram): how the watch
// and the shrink find the application under test.
std::vector<SeenProcess> findProgram(const std::string& name);

// One look at the main thread of the application (tid == pid: the GUI
// thread of Qt, GTK and LVGL applications): whether it has gone into a
// wait since the look before tells whether it still takes input.
struct ThreadLook {
    pid_t pid = 0;                 // 0: no look (no application, gone, unreadable)
    unsigned long long start = 0;  // the process's start, to tell a new one under the pid
    char state = 0;                // R, S, D, T, ... of /proc/PID/task/PID/stat
    unsigned long long waits = 0;  // its voluntary_ctxt_switches
};

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
    // The exits logged so far.
    long exits() const { return mExits; }
    // APP_RESTART starts in a row after which the application was never
    // seen running (it died within about a second, or the command did not
    // start it) that end the restarts: a night would otherwise go on
    // restarting it, and none of its gestures would reach it.
    static const int kVainStarts = 10;
    // Whether kVainStarts were reached; no restart is made after that.
    bool gaveUp() const { return mVainStarts >= kVainStarts; }
    // Sends `sig` to the application found last, never to a process that
    // took its pid afterwards: 0, or -1 with errno.
    int signal(int sig) const { return mHandle.signal(sig); }
    // Looks at the main thread of the application found last, never of a
    // process that took its pid afterwards, with no allocation: false
    // when it is gone (a zombie too) or /proc does not tell.
    bool lookAtMainThread(ThreadLook* look) const;
    // True when the dump named "coredump-<comm>-<pid>-<time>", whose file
    // belongs to `owner`, is the application's: its pid is one the
    // application ran under, as that uid.
    bool ownsDump(const std::string& dumpName, uid_t owner) const;

private:
    struct Proc : SeenProcess {
        bool started = false;  // by APP_RESTART
    };
    bool readProc(pid_t pid, Proc* proc) const;
    Proc findProcess() const;
    std::string exitStatus();
    void restart(long now);

    std::string mName, mRestart;
    int mDelay;
    bool mLogged = false;
    long mExits = 0;
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
    bool mSeenSinceStart = false;  // the application seen since the last restart
    int mVainStarts = 0;
};

#endif
