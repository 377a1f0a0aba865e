// Problem: a pid read from /proc may be reused before it is signalled, and
// the device's kernel may be too old for pidfds.
// Solution: a pidfd checked against the start time read after opening it,
// or the start time alone, checked again before every signal.
#include "watch/process_handle.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

// The device's C library may lack the pidfd wrappers and its headers the
// numbers; these two are the same on every architecture tapfuzz runs on.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

bool readProcessStat(pid_t pid, ProcessStat* out)
{
    return parseProcessStat(readSmall("/proc/" + std::to_string(pid) + "/stat", 1024).c_str(), out);
}

bool parseProcessStat(const char* text, ProcessStat* out)
{
    // The name sits in parentheses and may itself hold ')' or blanks.
    const char *open = strchr(text, '('), *close = strrchr(text, ')');
    int parent = 0, group = 0;
    if (open == nullptr || close == nullptr || close < open ||
        sscanf(close + 1, " %c %d %d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
               &out->state, &parent, &group, &out->start) != 4)
        return false;
    out->comm.assign(open + 1, close);
    out->parent = parent;
    out->group = group;
    return true;
}

unsigned long long processStartTime(pid_t pid)
{
    ProcessStat stat;
    return readProcessStat(pid, &stat) ? stat.start : 0;
}

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
    mFd.reset(fd);
    mPid = pid;
    mStart = start;
    return true;
}

void ProcessHandle::release()
{
    mFd.reset();
    mPid = 0;
    mStart = 0;
}

int ProcessHandle::signal(int sig) const
{
    if (mFd.get() >= 0)
        return static_cast<int>(syscall(SYS_pidfd_send_signal, mFd.get(), sig, nullptr, 0));
    if (mPid <= 0 || processStartTime(mPid) != mStart) {
        errno = ESRCH;
        return -1;
    }
    return kill(mPid, sig);
}

bool ProcessHandle::openProcDir(Fd* dir) const
{
    dir->reset();
    if (mPid <= 0) {
        errno = ESRCH;
        return false;
    }
    char path[32];
    snprintf(path, sizeof path, "/proc/%d", static_cast<int>(mPid));
    dir->reset(openRetry(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir->get() < 0)
        return false;
    // The folder was opened before this check: a process still there after
    // it (a zombie included, until it is reaped) is the one the folder
    // shows, and its pid cannot have passed to another meanwhile.
    bool same;
    if (mFd.get() >= 0) {
        same = syscall(SYS_pidfd_send_signal, mFd.get(), 0, nullptr, 0) == 0 || errno == EPERM;
    } else {
        char text[1024];
        ProcessStat stat;
        same = readSmallAt(dir->get(), "stat", text, sizeof text) > 0 && parseProcessStat(text, &stat) && stat.start == mStart;
    }
    if (!same) {
        dir->reset();
        errno = ESRCH;
    }
    return same;
}
