// Problem: a dump, an exit or a hang of the application under test must be
// told apart from the rest of the device and come with enough context to be
// fixed, without slowing the injection of events.
// Solution: the core-dump watcher thread runs these checks once a second:
// /proc for the named application (restarting it through the shell), a hash
// of the frame buffer for a frozen screen, and a bundle beside each dump.
#include "watch/app_watch.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <sstream>

#include "base/clock.h"
#include "base/files.h"
#include "base/log_text.h"
#include "base/results_folder.h"
#include "base/logger.h"
#include "run/options.h"
#include "base/profile.h"
#include "record/run_record.h"

extern char** environ;

// The device's C library may lack the pidfd wrappers and its headers the
// numbers; these two are the same on every architecture tapfuzz runs on.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

std::atomic<long long> gRunSeed{0};
std::atomic<int> gRunStop{0};
std::atomic<int> gRunStopWake{-1};

void requestRunStop(int status)
{
    int none = 0;
    if (!gRunStop.compare_exchange_strong(none, status))
        return;
    int fd = gRunStopWake;
    char byte = 1;
    if (fd >= 0)
        (void)!write(fd, &byte, 1);
}

namespace {

// The kernel keeps 15 characters of a program's name (comm).
const size_t kCommLength = 15;
const size_t kSeenPids = 64;

int profileInt(const char* key, int fallback)
{
    int value = fallback;
    return GetProfileInt(kDeviceProfile, key, &value) == 0 ? value : fallback;
}

std::string profileText(const char* key)
{
    char value[kProfileLineMax + 1] = "";
    GetProfileString(kDeviceProfile, key, value);
    return value;
}

// What tapfuzz reads of /proc/PID/stat.
struct Stat {
    std::string comm;
    char state = 0;
    pid_t parent = 0;
    unsigned long long start = 0;
};

bool readStat(pid_t pid, Stat* out)
{
    std::string stat = readSmall("/proc/" + std::to_string(pid) + "/stat", 1024);
    // The name sits in parentheses and may itself hold ')' or blanks.
    size_t open = stat.find('('), close = stat.rfind(')');
    int parent = 0;
    if (open == std::string::npos || close == std::string::npos || close < open ||
        sscanf(stat.c_str() + close + 1, " %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
               &out->state, &parent, &out->start) != 3)
        return false;
    out->comm = stat.substr(open + 1, close - open - 1);
    out->parent = parent;
    return true;
}

void closeFrom(int first, int maxFd)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0U) == 0)
        return;
#endif
    for (int fd = first; fd < maxFd; ++fd)
        close(fd);
}

// In the child forked by the watcher thread: only async-signal-safe calls
// until exec. The command gets /dev/null for input, tapfuzz's output and
// error, and no other descriptor, inherited by tapfuzz or not: a log or the
// event node held open would let the application forge lines or events.
[[noreturn]] void execRestart(char** argv, int maxFd)
{
    int null = open("/dev/null", O_RDONLY);
    if (null < 0 || (null != 0 && dup2(null, 0) != 0))
        _exit(127);
    closeFrom(3, maxFd);
    // The watcher blocks every signal, and the child would inherit that. A
    // process group of its own keeps a Ctrl-C meant for tapfuzz from it.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setpgid(0, 0);
    execve("/bin/sh", argv, environ);
    _exit(127);
}

std::string localStamp()
{
    time_t now = time(nullptr);
    struct tm tmv;
    char buf[64] = "";
    if (localtime_r(&now, &tmv) != nullptr)
        strftime(buf, sizeof buf, "%Y-%m-%d_%H:%M:%S", &tmv);
    return buf;
}

}  // namespace

bool ProcessHandle::hold(pid_t pid, unsigned long long start)
{
    release();
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    int err = errno;
    // The pid may have passed to another process since /proc was read: the
    // start time, read after the open, tells whether the pidfd is the one.
    if (processStartTime(pid) != start || (fd < 0 && err == ESRCH)) {
        if (fd >= 0)
            close(fd);
        errno = ESRCH;
        return false;
    }
    // Without a pidfd (ENOSYS: an older kernel) each signal checks the
    // start time instead.
    mFd = fd;
    mPid = pid;
    mStart = start;
    return true;
}

void ProcessHandle::release()
{
    if (mFd >= 0)
        close(mFd);
    mFd = -1;
    mPid = 0;
    mStart = 0;
}

int ProcessHandle::signal(int sig) const
{
    if (mFd >= 0)
        return static_cast<int>(syscall(SYS_pidfd_send_signal, mFd, sig, nullptr, 0));
    if (mPid <= 0 || processStartTime(mPid) != mStart) {
        errno = ESRCH;
        return -1;
    }
    return kill(mPid, sig);
}

unsigned long long processStartTime(pid_t pid)
{
    Stat stat;
    return readStat(pid, &stat) ? stat.start : 0;
}

AppWatch::AppWatch(const std::string& name, const std::string& restart, int delay)
    : mName(name), mRestart(restart), mDelay(delay < 0 ? 3 : delay)
{
}

bool AppWatch::readProc(pid_t pid, Proc* proc) const
{
    Stat stat;
    if (!readStat(pid, &stat))
        return false;
    // A dead process waiting for its parent is gone for the user.
    if (stat.state == 'Z' || stat.state == 'X' || stat.state == 'x')
        return false;
    std::string dir = "/proc/" + std::to_string(pid) + "/";
    if (stat.comm != mName) {
        // Kernel threads have an empty command line, which names nothing.
        std::string first = readSmall(dir + "cmdline", 1024).c_str();
        if (first.substr(first.rfind('/') + 1) != mName)
            return false;
    }
    // The effective uid: the one a dump of the process belongs to.
    std::string status = readSmall(dir + "status", 4096);
    size_t at = status.find("\nUid:");
    unsigned long real = 0, effective = 0;
    if (at == std::string::npos || sscanf(status.c_str() + at + 5, "%lu %lu", &real, &effective) != 2)
        return false;
    proc->pid = pid;
    proc->parent = stat.parent;
    proc->start = stat.start;
    proc->uid = static_cast<uid_t>(effective);
    proc->started = false;
    return true;
}

bool AppWatch::startedHere(pid_t pid) const
{
    // Up the parents to a shell of ours: it cannot have been reaped, so its
    // pid is still its own.
    Stat stat;
    for (int depth = 0; pid > 1 && depth < 64; ++depth, pid = stat.parent) {
        if (std::find(mChildren.begin(), mChildren.end(), pid) != mChildren.end())
            return true;
        if (!readStat(pid, &stat))
            return false;
    }
    return false;
}

AppWatch::Proc AppWatch::find() const
{
    Proc proc;
    // The process seen last time, if it still runs, spares a scan of /proc,
    // unless a shell of ours may yet start one to be preferred to it.
    if (mPid != 0 && readProc(mPid, &proc) && proc.start == mStart && (mStarted || mChildren.empty())) {
        proc.started = mStarted;
        return proc;
    }
    Proc best;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), closedir);
    while (dir) {
        struct dirent* e = readdir(dir.get());
        if (e == nullptr)
            break;
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == getpid() || !readProc(static_cast<pid_t>(pid), &proc))
            continue;
        proc.started = startedHere(proc.pid);
        if (best.pid == 0 || proc.started > best.started ||
            (proc.started == best.started && (proc.start < best.start || (proc.start == best.start && proc.pid < best.pid))))
            best = proc;
    }
    return best;
}

std::string AppWatch::exitStatus()
{
    for (size_t i = 0; i < mChildren.size(); ++i) {
        pid_t child = mChildren[i];
        if (child != mPid && child != mParent)
            continue;
        // A shell that ran the application ends a moment after it.
        int st = 0;
        pid_t r;
        for (int tries = 0; (r = waitpid(child, &st, WNOHANG)) == 0 && tries < 20; ++tries)
            usleep(10000);
        if (r != child)
            return "";
        mChildren.erase(mChildren.begin() + static_cast<long>(i));
        if (WIFSIGNALED(st))
            return " signal:" + std::to_string(WTERMSIG(st));
        // A shell reports a command killed by signal N as status 128+N.
        if (child != mPid && WEXITSTATUS(st) > 128)
            return " signal:" + std::to_string(WEXITSTATUS(st) - 128);
        return " status:" + std::to_string(WEXITSTATUS(st));
    }
    return "";
}

void AppWatch::poll(long event)
{
    long now = monotonicSeconds();
    Proc proc = find();
    const std::string label = "app:" + escapeLogText(mName);
    if (!mLogged || proc.pid != mPid || proc.start != mStart) {
        // The one watched may still run when one APP_RESTART started is
        // preferred to it: that is no exit.
        Proc old;
        if (mPid != 0 && !(readProc(mPid, &old) && old.start == mStart))
            LOG(INFO) << label << " exited after event:" << event << exitStatus();
        if (proc.pid != 0) {
            char exe[4096];
            ssize_t n = readlink(("/proc/" + std::to_string(proc.pid) + "/exe").c_str(), exe, sizeof exe);
            LOG(INFO) << label << " pid:" << proc.pid << " uid:" << proc.uid << " exe:"
                      << (n > 0 ? escapeLogText(std::string(exe, static_cast<size_t>(n))) : "?");
        } else if (!mLogged) {
            LOG(INFO) << label << " not running";
        }
        if (proc.pid == 0)
            mGoneSince = now;
        else if (std::find_if(mSeen.begin(), mSeen.end(), [&](const Ran& r) { return r.pid == proc.pid && r.uid == proc.uid; }) == mSeen.end())
            mSeen.push_back({proc.pid, proc.uid});
        if (mSeen.size() > kSeenPids)
            mSeen.erase(mSeen.begin());
        mLogged = true;
        mPid = proc.pid;
        mParent = proc.parent;
        mStart = proc.start;
        mStarted = proc.started;
        // Held from now on, so that a signal never reaches a later owner
        // of the pid.
        if (proc.pid == 0 || !mHandle.hold(proc.pid, proc.start))
            mHandle.release();
    }
    // Shells that ended without a running application to report on.
    for (size_t i = 0; i < mChildren.size();) {
        int st;
        pid_t child = mChildren[i];
        if (child != mPid && child != mParent && waitpid(child, &st, WNOHANG) != 0)
            mChildren.erase(mChildren.begin() + static_cast<long>(i));
        else
            ++i;
    }
    // A command slow to start the application is not run a second time.
    bool starting = std::find(mChildren.begin(), mChildren.end(), mLastChild) != mChildren.end();
    if (mPid == 0 && !mRestart.empty() && !starting && now - mGoneSince >= mDelay &&
        (mLastRestart < 0 || now - mLastRestart >= mDelay))
        restart(now);
}

void AppWatch::restart(long now)
{
    mLastRestart = now;
    std::string command = mRestart;
    char sh[] = "sh", c[] = "-c";
    char* argv[] = {sh, c, &command[0], nullptr};
    long max = sysconf(_SC_OPEN_MAX);
    int maxFd = max < 0 || max > 65536 ? 65536 : static_cast<int>(max);
    pid_t pid = fork();
    if (pid == 0)
        execRestart(argv, maxFd);
    const std::string label = "app:" + escapeLogText(mName);
    if (pid < 0) {
        LOG(INFO) << label << " cannot start APP_RESTART: " << errorText(errno);
        return;
    }
    mChildren.push_back(pid);
    mLastChild = pid;
    mSpawned.push_back(pid);
    if (mSpawned.size() > kSeenPids)
        mSpawned.erase(mSpawned.begin());
    LOG(INFO) << label << " restart: " << escapeLogText(mRestart);
}

bool AppWatch::ownsDump(const std::string& dumpName, uid_t owner) const
{
    // "coredump-" <comm> "-" <pid> "-" <time>; the comm may hold '-'.
    size_t last = dumpName.rfind('-');
    size_t dash = last == std::string::npos || last == 0 ? std::string::npos : dumpName.rfind('-', last - 1);
    if (dash == std::string::npos || dash < 9 || last == dash + 1 ||
        dumpName.find_first_not_of("0123456789", dash + 1) != last)
        return false;
    pid_t pid = static_cast<pid_t>(atol(dumpName.c_str() + dash + 1));
    for (const Ran& r : mSeen)
        if (r.pid == pid && r.uid == owner)
            return true;
    // A command a shell of ours ran in its own place that crashed before a
    // check saw it: the shell's pid and uid, the application's name.
    return owner == geteuid() && dumpName.compare(9, dash - 9, mName.substr(0, kCommLength)) == 0 &&
           std::find(mSpawned.begin(), mSpawned.end(), pid) != mSpawned.end();
}

RunWatch::RunWatch()
    : mHasApp(processname[0] != '\0'),
      mApp(processname, profileText("APP_RESTART"), profileInt("APP_RESTART_DELAY", 3)),
      mFreezeSeconds(std::max(0, profileInt("FREEZE_SECONDS", 0))),
      mFreezeAbort(profileInt("FREEZE_ABORT", 0))
{
    if (!mHasApp && !profileText("APP_RESTART").empty())
        LOG(INFO) << "APP_RESTART ignored: no application named with -a";
}

void RunWatch::poll()
{
    long event = recordedEvents();
    // A run that is ending has no use for a restarted application.
    if (mHasApp && gRunStop == 0)
        mApp.poll(event);
    // A frame too large for the memory left costs this check, not the run.
    try {
        if (mFreezeSeconds > 0)
            checkFreeze(event, monotonicSeconds());
    } catch (const std::bad_alloc&) {
        LOG(INFO) << "freeze check: out of memory for the screen, tried again in a second";
    }
}

void RunWatch::checkFreeze(long event, long now)
{
    std::string why;
    if (mScreen.read(kFrameBuffer, &why) != 0) {
        LOG(INFO) << "freeze check off: " << escapeLogText(why);
        mFreezeSeconds = 0;
        return;
    }
    uint64_t hash = mScreen.hash();
    if (!mHaveHash || hash != mScreenHash) {
        mHaveHash = true;
        mScreenHash = hash;
        mChangedAt = now;
        mEventsAtChange = event;
        mFreezeLogged = false;
        return;
    }
    // Only a screen that ignores input is frozen; one run of a stall is
    // reported once.
    if (mFreezeLogged || now - mChangedAt < mFreezeSeconds || event == mEventsAtChange)
        return;
    mFreezeLogged = true;
    LOG(INFO) << "freeze: screen unchanged for " << mFreezeSeconds << " s after event:" << event;
    std::string shot = resultsFolder() + "freeze-" + localStamp() + ".png";
    if (mScreen.savePng(shot, &why) == 0)
        LOG(INFO) << "freeze: screenshot " << escapeLogText(shot);
    else
        LOG(INFO) << "freeze: no screenshot: " << escapeLogText(why);
    if (mFreezeAbort == 1 && mHasApp && mApp.pid() > 0) {
        const std::string app = "app:" + escapeLogText(mApp.name()) + " pid:" + std::to_string(mApp.pid());
        if (mApp.signal(SIGABRT) == 0)
            LOG(INFO) << "freeze: SIGABRT to " << app;
        else
            LOG(INFO) << "freeze: no SIGABRT to " << app << ": " << errorText(errno);
    }
}

void RunWatch::dumpFound(const std::string& dumpName, int after)
{
    // Dumps whose move keeps failing stay in /tmp; their pictures need not.
    if (mFound.size() >= 8)
        mFound.erase(mFound.begin());
    Found& found = mFound[dumpName];
    found.event = after;
    found.why.clear();
    try {
        found.screen.read(kFrameBuffer, &found.why);
    } catch (const std::bad_alloc&) {
        found.screen = ScreenReader();
        found.why = "out of memory for the screen";
    }
}

void RunWatch::dumpSaved(const std::string& saved, const std::string& dumpName, uid_t owner)
{
    if (mFound.count(dumpName) == 0)
        dumpFound(dumpName, recordedEvents());
    long event = mFound[dumpName].event;
    bool ours = mHasApp && mApp.ownsDump(dumpName, owner);
    if (ours)
        LOG(INFO) << "app crash: " << escapeLogText(mApp.name()) << " dump:" << escapeLogText(saved)
                  << " after event:" << event;
    // The bundle is a help; the record of the crash and the stop are not
    // given up for it when memory runs short.
    try {
        writeBundle(saved, dumpName, ours);
    } catch (const std::bad_alloc&) {
        LOG(INFO) << "crash bundle: out of memory for " << escapeLogText(saved);
    }
    mFound.erase(dumpName);

    if (mStopOnCrash && (!mHasApp || ours) && gRunStop == 0) {
        LOG(INFO) << "stop on crash: " << escapeLogText(saved);
        requestRunStop(3);
    }
}

void RunWatch::writeBundle(const std::string& saved, const std::string& dumpName, bool ours)
{
    const Found& found = mFound[dumpName];
    std::string why = found.why;
    if (!why.empty() || found.screen.savePng(saved + ".png", &why) != 0)
        LOG(INFO) << "crash bundle: no screenshot: " << escapeLogText(why);
    std::string command = readSmall("/proc/self/cmdline", 4096);
    std::replace(command.begin(), command.end(), '\0', ' ');
    // What is still buffered of the record belongs in the bundle too.
    flushRunRecord();
    const std::string record = runRecordPath();
    // Names come from the crashing program and the command line: escaped
    // as in log lines, none can forge a line of the bundle.
    std::string text = "dump: " + escapeLogText(saved) + "\n";
    if (ours)
        text += "app crash: " + escapeLogText(mApp.name()) + "\n";
    text += "seed: " + std::to_string(gRunSeed.load()) + "\ncommand line: " + escapeLogText(command) +
            "\nlast gesture: event:" + std::to_string(found.event) + "\n\nlast 50 gestures (" +
            (record.empty() ? "no run record" : escapeLogText(record)) + "):\n" +
            (record.empty() ? "" : tailLines(record, 50)) + "\nlast 50 lines of the main log (" +
            escapeLogText(info_log_filename) + "):\n" + tailLines(info_log_filename, 50);
    if (writeNewFile(saved + ".txt", text, &why) != 0)
        LOG(INFO) << "crash bundle: " << escapeLogText(why);
}
