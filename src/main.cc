// Problem: a stress run must start in a fixed order, inject events at its
// pace until its count or its time is up, and end cleanly however it ends.
// Solution: main sets everything up, runs the loop on the main thread, and
// turns SIGINT and SIGALRM into a flag the loop acts on between events.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <vector>
#include <string>

#include "watch/dump_monitor.h"
#include "gesture/random_event_source.h"
#include "gesture/injector_event.h"
#include "base/logger.h"
#include "gesture/pointer.h"
#include "run/options.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/log_text.h"
#include "run/pacing.h"
#include "record/run_record.h"
#include "record/replay.h"
#include "report/report.h"
#include "watch/app_watch.h"
#include "base/profile.h"

long long mSeed = 0;
int touch_count = 0;
int motion_count = 0;
int longclick_count = 0;
int presskey_count = 0;
long cancel_pthread = 1000000;

// The status the watcher thread asks the run to end with (0: none).
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

// The signal that asked the run to end (0: none yet), and a pipe that wakes
// the pause when it arrives. The handlers do nothing else: everything that
// ends the run happens on the main thread, between two events or log lines.
volatile sig_atomic_t gStopSignal = 0;
int gWakePipe[2] = {-1, -1};

void noteSignal(int signo)
{
    int saved = errno;
    gStopSignal = signo;
    if (gWakePipe[1] >= 0) {
        char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost.
        (void)!write(gWakePipe[1], &byte, 1);
    }
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

namespace {

void installHandlers()
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
    sa.sa_handler = Alarm_exit;
    sigaction(SIGALRM, &sa, nullptr);
}

// A signal ends the run here, on the main thread: recycling, then status 0,
// without the summary and without deleting the objects.
void stopIfSignalled()
{
    if (gStopSignal != 0) {
        // The report tells a run cut short from one whose time was up.
        LOG(INFO) << "stopped by " << (gStopSignal == SIGALRM ? "SIGALRM" : "SIGINT");
        RecycleResource();
        exit(0);
    }
}

// Sleeps `usec` microseconds, or less when a signal asks the run to end.
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

// A refusal at start-up: on standard error and in the main log, status 1.
[[noreturn]] void endAtStart(const std::string& text)
{
    fprintf(stderr, "%s\n", text.c_str());
    LOG(INFO) << text;
    RecycleResource();
    exit(1);
}

bool anythingInjectable(RandomEventSource* source, InjectorEvent* injector)
{
    for (int kind = FACTOR_TOUCH; kind < FACTORZ_COUNT; ++kind)
        if (source->canDraw(kind) && injector->canInject(kind))
            return true;
    return false;
}

// Why nothing can be injected: the library (not loaded, or without the
// functions of the kinds in the mix) or the key table (key presses are all
// the library could inject, and the profile sets no key).
std::string nothingInjectableCause(RandomEventSource* source, InjectorEvent* injector)
{
    bool keysOnly = injector->canInject(FACTOR_PRESSKEY) && !source->hasKeys();
    for (int kind = FACTOR_TOUCH; kind < FACTOR_PRESSKEY; ++kind)
        keysOnly = keysOnly && !(source->canDraw(kind) && injector->canInject(kind));
    if (keysOnly)
        return "the device profile sets no key (HWKEY_), and key presses are all the driver library "
               "can inject";
    return "driver library not loaded, or it lacks the functions the mix needs";
}

void logEvent(const Pointer& event)
{
    switch (event.eventTye) {
    case FACTOR_TOUCH:
        LOG(INFO) << "Sending Click (ACTION_DOWN):" << "(" << event.x << "," << event.y << ")";
        break;
    case FACTOR_MOTION:
        LOG(INFO) << "Sending Swipe (ACTION_MOTION):(" << event.x << "," << event.y << "," << event.x1
                  << "," << event.y1 << "," << event.step << ")";
        break;
    case FACTOR_LONGCLICK:
        LOG(INFO) << "Sending LongClick (ACTION_LONGCLICK):" << "(" << event.x << "," << event.y << ")";
        break;
    case FACTOR_PRESSKEY:
        LOG(INFO) << "Sending PressKey (ACTION_PRESSKEY):" << "(" << event.code << ")";
        break;
    default:
        break;
    }
}

void countEvent(int eventType)
{
    switch (eventType) {
    case FACTOR_TOUCH: ++touch_count; break;
    case FACTOR_MOTION: ++motion_count; break;
    case FACTOR_LONGCLICK: ++longclick_count; break;
    case FACTOR_PRESSKEY: ++presskey_count; break;
    default: break;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    installHandlers();
    gRunStopWake = gWakePipe[1];

    // A mode of its own, before anything of a run (results folder, echo)
    // is set up.
    if (argc >= 2 && strcmp(argv[1], "--report") == 0) {
        if (argc == 3)
            return writeReport(argv[2]);
        std::cout << showusage();
        return -1;
    }

    if (argc < 2) {
        std::cout << showusage();
        std::cout.flush();
        return -1;
    }

    LOG(DEBUG) << "init injectorEvent";
    InjectorEvent* injectorevent = new InjectorEvent();
    injectorevent->LoadLibaray();
    const char* version = injectorevent->GetLibarayVersion();
    std::string libraryversion = version != nullptr ? version : "";

    LOG(DEBUG) << "parse mVerbose";
    if (preScanOptions(argc, argv)) {
        std::cout << "tapfuzz version:" << "V0.2.3" << std::endl;
        std::cout << "libaray version:" << libraryversion << std::endl;
        RecycleResource();
        exit(0);
    }
    if (mVerbose < 0)
        mVerbose = 0;
    for (int i = FACTOR_TOUCH; i < FACTORZ_COUNT; ++i)
        setOptionFactor(i, 1.0f);

    LOG(DEBUG) << "parse options";
    if (!processOptions(argc, argv)) {
        stopIfSignalled();
        std::cout << showusage();
        std::cout.flush();
        // Returning ends main's frame, the only holder of the bridge.
        delete injectorevent;
        return -1;
    }

    LOG(DEBUG) << "init SourceRandom";
    RandomEventSource* randomEventSource = new RandomEventSource();
    if (!randomEventSource->checkConfig()) {
        RecycleResource();
        exit(1);
    }
    // The watcher reads the command again when it starts; a value refused
    // now ends the run here, before the core pattern is written.
    char restart[kProfileLineMax + 1] = "";
    if (LookUpProfileString(kDeviceProfile, "APP_RESTART", restart) == ProfileLookup::Refused)
        endAtStart("tapfuzz: APP_RESTART: refused, and the application would not be restarted as written");

    // A damaged record, or one asking for what this screen and its zones
    // forbid, is refused whole, before anything is injected or watched.
    std::vector<ReplayEvent> replay;
    if (mReplayFile != nullptr) {
        std::string why, note;
        bool ok = loadReplay(mReplayFile, mReplayFrom, mReplayTo,
                             {randomEventSource->getWidth(), randomEventSource->getHigth(), randomEventSource->zones()},
                             &replay, &why, &note);
        for (const std::string* text : {&note, &why}) {
            if (text->empty() || (ok && text == &why))
                continue;
            fprintf(stderr, "tapfuzz: %s\n", text->c_str());
            LOG(INFO) << escapeLogText(*text);
        }
        if (!ok) {
            RecycleResource();
            exit(1);
        }
    }

    // A signal during start-up ends the run before the kernel's core
    // pattern is changed or the watcher starts.
    stopIfSignalled();
    LOG(DEBUG) << "init coredumpmonitor";
    mSeed = mSeedOption >= 0 ? mSeedOption : static_cast<long long>(static_cast<uint32_t>(GetMseconds()));
    WatchSettings settings;
    char corepath[64] = "";
    if (GetProfileString(kDeviceProfile, "COREFILE_PATH", corepath) == 0 && corepath[0] != '\0')
        settings.savePath = corepath;
    int value = 0;
    if (GetProfileInt(kDeviceProfile, "COREFILE_MAX_MB", &value) == 0)
        settings.dumpLimitMb = value;
    settings.seed = mSeed;
    settings.command = readSmall("/proc/self/cmdline", 4096);
    std::replace(settings.command.begin(), settings.command.end(), '\0', ' ');
    settings.app = processname;
    settings.stopOnCrash = mStopOnCrash;
    settings.restart = restart;
    value = 3;
    settings.restartDelay = GetProfileInt(kDeviceProfile, "APP_RESTART_DELAY", &value) == 0 ? value : 3;
    value = 0;
    settings.freezeSeconds = GetProfileInt(kDeviceProfile, "FREEZE_SECONDS", &value) == 0 ? value : 0;
    value = 0;
    settings.freezeAbort = GetProfileInt(kDeviceProfile, "FREEZE_ABORT", &value) == 0 ? value : 0;
    dumpMonitor* dumpmonitor = new dumpMonitor(settings, requestRunStop);
    if (!dumpmonitor->setUp()) {
        RecycleResource();
        exit(1);
    }
    dumpmonitor->StartMonitor();
    stopIfSignalled();

    LOG(DEBUG) << "mVerbose:" << mVerbose;
    randomEventSource->setVerbose(mVerbose);

    LOG(DEBUG) << "parse interval";
    if (mThrottle == 0)
        parse_event_interval();

    LOG(DEBUG) << "get mseed";
    // Logged as the unsigned value srand takes, so that --seed with it
    // repeats the run.
    srand(static_cast<unsigned int>(mSeed));
    LOG(INFO) << "seed:" << mSeed;

    LOG(DEBUG) << "set facotrs";
    for (int i = FACTOR_TOUCH; i <= FACTOR_PRESSKEY; ++i) {
        float v = getOptionFactor(i);
        if (v <= 0.0f)
            randomEventSource->setFactors(i, v);
    }

    LOG(DEBUG) << "adjustEventFactors";
    if (!randomEventSource->adjustEventFactors()) {
        RecycleResource();
        exit(1);
    }
    if (replay.empty() && !randomEventSource->checkDrawable()) {
        RecycleResource();
        exit(1);
    }
    if (replay.empty() && !anythingInjectable(randomEventSource, injectorevent)) {
        endAtStart("tapfuzz: nothing of the event mix can be injected (" +
                   nothingInjectableCause(randomEventSource, injectorevent) + ")");
    }
    stopIfSignalled();

    std::string command;
    for (int i = 0; i < argc; ++i)
        command += (i == 0 ? "" : " ") + std::string(argv[i]);
    std::string record = openRunRecord({mSeed, command, randomEventSource->getWidth(),
                                        randomEventSource->getHigth(), randomEventSource->getGrid(),
                                        injectorevent->loadedPath(), libraryversion,
                                        replay.empty() ? randomEventSource->mixText() : "replay",
                                        randomEventSource->zonesText()});
    if (!record.empty())
        LOG(INFO) << "record:" << record;

    int cycleCounter = 0;
    size_t replayed = 0;
    alarm(mSeconds);

    for (;;) {
        stopIfSignalled();
        if (gRunStop != 0)
            break;
        Pointer event;
        if (!replay.empty()) {
            if (replayed == replay.size())
                break;
            // In slices, so that a gap beyond a 32-bit long is still waited whole.
            for (long long w; gRunStop == 0 && (w = replayWait(replay, replayed, mReplaySpeed, recordClock())) > 0;) {
                waitOrSignal(static_cast<long>(w < 1000000000 ? w : 1000000000));
                stopIfSignalled();
            }
            if (gRunStop != 0)
                break;
            event = replay[replayed++].event;
        } else {
            event = randomEventSource->getNextEvent();
            // No event in many draws (tight zones): look for a signal, then
            // draw on.
            if (event.eventTye < 0)
                continue;
        }
        int eventType = event.eventTye;
        unsigned int pathSeed = 0;
        if (eventType == FACTOR_MOTION)
            pathSeed = replay.empty() ? randomEventSource->drawPathSeed() : replay[replayed - 1].pathSeed;
        long long at = recordClock();
        int ret = injectorevent->inject(event, pathSeed);
        if (eventType >= FACTOR_TOUCH && eventType <= FACTOR_PRESSKEY) {
            if (ret == 1)
                continue;
            recordEvent(at, event, pathSeed, injectorevent->lastResult());
            countEvent(eventType);
            if (mVerbose >= 2)
                logEvent(event);
        }
        ++cycleCounter;
        if (mVerbose >= 2)
            LOG(INFO) << "cycleCounter:" << cycleCounter;
        // What was injected is now in the log; a signal ends the run here.
        stopIfSignalled();

        // A replay keeps the recorded gaps instead, before each gesture.
        if (!replay.empty())
            continue;
        mThrottle = get_interval();
        waitOrSignal(mThrottle);
        stopIfSignalled();

        if (getRunHours() == 0 && cycleCounter == mCount)
            break;
    }

    // The watcher could not go on: the gesture under way is finished, but
    // this is no run's end, so no summary.
    if (gRunStop == 1) {
        RecycleResource();
        exit(1);
    }
    int status = gRunStop;
    LOG(INFO) << "Events injected:" << touch_count + motion_count + longclick_count + presskey_count;
    LOG(INFO) << "// tapfuzz finish";
    // The summary is written; a signal during this last wait only shortens it.
    waitOrSignal(cancel_pthread);
    RecycleResource();
    delete dumpmonitor;
    delete injectorevent;
    delete randomEventSource;
    exit(status);
}
