// Problem: signals arrive at any moment, the watcher asks from its own
// thread, and neither may end the run in the middle of a gesture or a log
// line.
// Solution: handlers that only note the signal and write a byte into a pipe;
// requests of the watcher noted the same way; the pause waits on the pipe,
// and the run thread acts on what was noted at its next check.
#include "run/stop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "base/files.h"
#include "base/logger.h"

namespace {

// The signal that asked the run to end (0: none yet), the status the
// watcher asked for (0: none yet), and a pipe that wakes the pause when
// either arrives. The handlers do nothing else: everything that ends the
// run happens on the run thread, between two events or log lines.
volatile sig_atomic_t gStopSignal = 0;
std::atomic<int> gRunStop{0};
int gWakePipe[2] = {-1, -1};

void wake()
{
    if (gWakePipe[1] >= 0) {
        char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost.
        (void)!write(gWakePipe[1], &byte, 1);
    }
}

void noteSignal(int signo)
{
    int saved = errno;
    gStopSignal = signo;
    wake();
    errno = saved;
}

}  // namespace

void Stop(int signo)
{
    noteSignal(signo);
}

void Alarm_exit(int signo)
{
    noteSignal(signo);
}

void RecycleResource()
{
    Logger::stopEcho();
}

void installStopHandlers()
{
    if (pipe2(gWakePipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        gWakePipe[0] = gWakePipe[1] = -1;
        fprintf(stderr, "tapfuzz: cannot create the wake-up pipe: %s\n", errorText(errno).c_str());
    }
    // SA_RESTART keeps a signal from cutting a log write short; the pause
    // (ppoll) is never restarted and sees the pipe anyway.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sa.sa_handler = Stop;
    sigaction(SIGINT, &sa, nullptr);
    // What farm dispatchers and service managers send to end a job: the
    // same end as Ctrl-C, so the gesture under way (a pinch's two fingers
    // too) is finished and lifted, never cut off with contacts left down.
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = Alarm_exit;
    sigaction(SIGALRM, &sa, nullptr);
}

void requestRunStop(int status)
{
    int none = 0;
    if (gRunStop.compare_exchange_strong(none, status))
        wake();
}

int stopRequested()
{
    return gRunStop;
}

void stopIfSignalled()
{
    if (gStopSignal != 0) {
        // The report tells a run cut short from one whose time was up.
        LOG(INFO) << "stopped by " << stopSignalName();
        endRun(0);
    }
}

int stopSignal()
{
    return gStopSignal;
}

const char* stopSignalName()
{
    switch (gStopSignal) {
    case SIGALRM: return "SIGALRM";
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    default: return "";
    }
}

void waitOrSignal(long usec)
{
    if (usec <= 0)
        return;
    struct timespec now, deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += usec / 1000000;
    deadline.tv_nsec += (usec % 1000000) * 1000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    while (gStopSignal == 0 && gRunStop == 0) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        struct timespec left;
        left.tv_sec = deadline.tv_sec - now.tv_sec;
        left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            left.tv_sec -= 1;
            left.tv_nsec += 1000000000;
        }
        if (left.tv_sec < 0)
            return;
        if (gWakePipe[0] < 0) {
            nanosleep(&left, nullptr);
            continue;
        }
        struct pollfd p = {gWakePipe[0], POLLIN, 0};
        int r = ppoll(&p, 1, &left, nullptr);
        if (r > 0) {
            char drain[16];
            while (read(gWakePipe[0], drain, sizeof drain) > 0) {
            }
        } else if (r == 0) {
            return;
        } else if (errno != EINTR) {
            nanosleep(&left, nullptr);
            return;
        }
    }
}

void endRun(int status)
{
    RecycleResource();
    exit(status);
}

void endAtStart(const std::string& text)
{
    fprintf(stderr, "%s\n", text.c_str());
    LOG(INFO) << text;
    endRun(1);
}
