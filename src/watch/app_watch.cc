// Problem: an exit or a restart of the application under test must be told
// apart from the rest of the device, and its dumps from dumps anyone could
// plant, without slowing the injection of events.
// Solution: once a second, on the watcher thread, /proc for the process of
// the name (the one APP_RESTART started preferred), a restart through the
// shell with no descriptor of ours, and the pids and uids it ran under.
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
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "base/clock.h"
#include "base/files.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "watch/dump_name.h"

extern char** environ;

namespace {

const size_t kSeenPids = 64;

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

// Whether `pid` is one of `shells` or descends from one, up its parents:
// shells not yet reaped, whose pids are still their own.
bool descendsFrom(pid_t pid, const std::vector<pid_t>& shells)
{
    ProcessStat stat;
    for (int depth = 0; pid > 1 && depth < 64; ++depth, pid = stat.parent) {
        if (std::find(shells.begin(), shells.end(), pid) != shells.end())
            return true;
        if (!readProcessStat(pid, &stat))
            return false;
    }
    return false;
}

}  // namespace

pid_t startShell(const std::string& command)
{
    std::string text = command;
    char sh[] = "sh", c[] = "-c";
    char* argv[] = {sh, c, &text[0], nullptr};
    long max = sysconf(_SC_OPEN_MAX);
    int maxFd = max < 0 || max > 65536 ? 65536 : static_cast<int>(max);
    pid_t pid = fork();
    if (pid == 0)
        execRestart(argv, maxFd);
    return pid;
}

AppWatch::AppWatch(const std::string& name, const std::string& restart, int delay)
    : mName(name), mRestart(restart), mDelay(delay < 0 ? 3 : delay)
{
}

bool runsProgram(pid_t pid, const ProcessStat& stat, const std::string& name)
{
    if (stat.comm == name)
        return true;
    // Kernel threads have an empty command line, which names nothing.
    std::string first = readSmall("/proc/" + std::to_string(pid) + "/cmdline", 1024).c_str();
    return first.substr(first.rfind('/') + 1) == name;
}

bool readSeenProcess(pid_t pid, const ProcessFilter& keep, SeenProcess* out)
{
    ProcessStat stat;
    if (!readProcessStat(pid, &stat))
        return false;
    // A dead process waiting for its parent is gone for the user.
    if (stat.state == 'Z' || stat.state == 'X' || stat.state == 'x' || !keep(pid, stat))
        return false;
    // The effective uid: the one a dump of the process belongs to.
    std::string status = readSmall("/proc/" + std::to_string(pid) + "/status", 4096);
    size_t at = status.find("\nUid:");
    unsigned long real = 0, effective = 0;
    if (at == std::string::npos || sscanf(status.c_str() + at + 5, "%lu %lu", &real, &effective) != 2)
        return false;
    out->pid = pid;
    out->parent = stat.parent;
    out->group = stat.group;
    out->start = stat.start;
    out->uid = static_cast<uid_t>(effective);
    return true;
}

std::vector<SeenProcess> scanProcesses(const ProcessFilter& keep)
{
    std::vector<SeenProcess> found;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), closedir);
    while (dir) {
        struct dirent* e = readdir(dir.get());
        if (e == nullptr)
            break;
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        SeenProcess p;
        if (pid > 0 && *end == '\0' && pid != getpid() && readSeenProcess(static_cast<pid_t>(pid), keep, &p))
            found.push_back(p);
    }
    return found;
}

std::vector<SeenProcess> findProgram(const std::string& name)
{
    return scanProcesses([&name](pid_t pid, const ProcessStat& stat) { return runsProgram(pid, stat, name); });
}

bool AppWatch::readProc(pid_t pid, Proc* proc) const
{
    proc->started = false;
    return readSeenProcess(pid, [this](pid_t p, const ProcessStat& stat) { return runsProgram(p, stat, mName); }, proc);
}

AppWatch::Proc AppWatch::findProcess() const
{
    Proc proc;
    // The process seen last time, if it still runs, spares a scan of /proc,
    // unless a shell of ours may yet start one to be preferred to it.
    if (mPid != 0 && readProc(mPid, &proc) && proc.start == mStart && (mStarted || mChildren.empty())) {
        proc.started = mStarted;
        return proc;
    }
    Proc best;
    for (const SeenProcess& seen : findProgram(mName)) {
        static_cast<SeenProcess&>(proc) = seen;
        // Up the parents to a shell of ours.
        proc.started = descendsFrom(proc.pid, mChildren);
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
    Proc proc = findProcess();
    const std::string label = "app:" + escapeLogText(mName);
    if (!mLogged || proc.pid != mPid || proc.start != mStart) {
        // The one watched may still run when one APP_RESTART started is
        // preferred to it: that is no exit.
        Proc old;
        if (mPid != 0 && !(readProc(mPid, &old) && old.start == mStart)) {
            LOG(INFO) << label << " exited after event:" << event << exitStatus();
            ++mExits;
        }
        if (proc.pid != 0) {
            char exe[4096];
            ssize_t n = readlink(("/proc/" + std::to_string(proc.pid) + "/exe").c_str(), exe, sizeof exe);
            LOG(INFO) << label << " pid:" << proc.pid << " uid:" << proc.uid << " exe:"
                      << (n > 0 ? escapeLogText(std::string(exe, static_cast<size_t>(n))) : "?");
        } else if (!mLogged) {
            LOG(INFO) << label << " not running";
        }
        if (proc.pid != 0)
            mSeenSinceStart = true, mVainStarts = 0;
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
        (mLastRestart < 0 || now - mLastRestart >= mDelay) && !gaveUp())
        restart(now);
}

void AppWatch::restart(long now)
{
    // The start before this one, done with, never showed the application.
    if (mLastRestart >= 0 && !mSeenSinceStart && ++mVainStarts >= kVainStarts) {
        LOG(INFO) << "app:" << escapeLogText(mName) << " not seen running after " << kVainStarts
                  << " starts in a row: no more restarts";
        return;
    }
    mSeenSinceStart = false;
    mLastRestart = now;
    pid_t pid = startShell(mRestart);
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

bool AppWatch::lookAtMainThread(ThreadLook* look) const
{
    Fd dir;
    if (!mHandle.openProcDir(&dir))
        return false;
    // Room for the status of a kernel built for thousands of processors,
    // whose masks come before the switches.
    char path[48], text[8192];
    const int pid = static_cast<int>(mHandle.pid());
    ProcessStat stat;
    snprintf(path, sizeof path, "task/%d/stat", pid);
    if (readSmallAt(dir.get(), path, text, sizeof text) <= 0 || !parseProcessStat(text, &stat) || stat.state == 'Z' ||
        stat.state == 'X' || stat.state == 'x')
        return false;
    snprintf(path, sizeof path, "task/%d/status", pid);
    const char key[] = "\nvoluntary_ctxt_switches:";
    const char* at = readSmallAt(dir.get(), path, text, sizeof text) > 0 ? strstr(text, key) : nullptr;
    char* end = nullptr;
    unsigned long long waits = at != nullptr ? strtoull(at + sizeof key - 1, &end, 10) : 0;
    if (at == nullptr || end == at + sizeof key - 1 || *end != '\n')
        return false;
    look->pid = pid;
    look->start = stat.start;
    look->state = stat.state;
    look->waits = waits;
    return true;
}

bool AppWatch::ownsDump(const std::string& dumpName, uid_t owner) const
{
    std::string program;
    pid_t pid = 0;
    if (!splitDumpName(dumpName, &program, &pid))
        return false;
    for (const Ran& r : mSeen)
        if (r.pid == pid && r.uid == owner)
            return true;
    // A command a shell of ours ran in its own place that crashed before a
    // check saw it: the shell's pid and uid, the application's name.
    return owner == geteuid() && program == mName.substr(0, kCommLength) &&
           std::find(mSpawned.begin(), mSpawned.end(), pid) != mSpawned.end();
}
