// Problem: the application under test is found by name in /proc, and by
// the time a signal is sent its pid may belong to another process.
// Solution: read /proc/PID/stat in one place, and hold a process by a pidfd,
// or where the kernel has none, by its start time, checked before each
// signal.
#ifndef TAPFUZZ_WATCH_PROCESS_HANDLE_H
#define TAPFUZZ_WATCH_PROCESS_HANDLE_H

#include <sys/types.h>

#include <string>

#include "base/files.h"

// What tapfuzz reads of /proc/PID/stat.
struct ProcessStat {
    std::string comm;
    char state = 0;
    pid_t parent = 0;
    pid_t group = 0;               // its process group
    unsigned long long start = 0;  // field 22: clock ticks after boot
};

// False when there is no such process (or its stat cannot be read).
bool readProcessStat(pid_t pid, ProcessStat* out);
// The same from the text of a stat file (a process's or a thread's); false
// when it is no such text.
bool parseProcessStat(const char* text, ProcessStat* out);

// The start time of process `pid` in clock ticks after boot (field 22
// of /proc/PID/stat); 0 when there is no such process.
unsigned long long processStartTime(pid_t pid);

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
    // Opens /proc/PID of the process held, never of another process given
    // its pid later, into `dir` (a folder to read with readSmallAt): false,
    // with errno, when it is gone.
    bool openProcDir(Fd* dir) const;
    pid_t pid() const { return mPid; }

private:
    Fd mFd;
    pid_t mPid = 0;
    unsigned long long mStart = 0;
};

#endif
