// Problem: each start-up step may refuse the run, and a refusal must come
// before anything is injected, watched or written into the kernel; the end
// must write the summary only for a run that completed or was asked to stop
// by a crash.
// Solution: steps that end the process themselves through the stop module
// when they refuse; the loop, then the summary and the end in one place.
#include "run/run.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "base/clock.h"
#include "base/files.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "base/profile.h"
#include "gesture/injector_event.h"
#include "gesture/random_event_source.h"
#include "gesture/screen_explorer.h"
#include "record/replay.h"
#include "record/run_record.h"
#include "run/pacing.h"
#include "run/random_gestures.h"
#include "run/run_loop.h"
#include "run/shrink.h"
#include "run/stop.h"
#include "watch/dump_monitor.h"

long long mSeed = 0;
long cancel_pthread = 1000000;

namespace {

int profileInt(const char* key, int fallback)
{
    int value = fallback;
    return GetProfileInt(kDeviceProfile, key, &value) == 0 ? value : fallback;
}

// What the watcher is told: the options it needs and the profile's keys of
// the watch.
WatchSettings watchSettings(const RunOptions& options, const std::string& restart, int replayCount)
{
    WatchSettings s;
    char corepath[64] = "";
    if (GetProfileString(kDeviceProfile, "COREFILE_PATH", corepath) == 0 && corepath[0] != '\0')
        s.savePath = corepath;
    int mb = 0;
    if (GetProfileInt(kDeviceProfile, "COREFILE_MAX_MB", &mb) == 0)
        s.dumpLimitMb = mb;
    s.seed = mSeed;
    // As the process's command line shows it, each word followed by a blank.
    s.command = readSmall("/proc/self/cmdline", 4096);
    std::replace(s.command.begin(), s.command.end(), '\0', ' ');
    s.app = options.app;
    s.stopOnCrash = options.stopOnCrash;
    s.maxCrashes = options.maxCrashes;
    s.restart = restart;
    s.restartDelay = std::max(0, profileInt("APP_RESTART_DELAY", 3));
    s.freezeSeconds = profileInt("FREEZE_SECONDS", 0);
    s.freezeAbort = profileInt("FREEZE_ABORT", 0);
    s.count = options.replayFile != nullptr ? replayCount : options.count;
    s.hours = options.replayFile != nullptr ? 0 : options.hours;
    s.startedAt = monotonicSeconds();
    return s;
}

}  // namespace

Run::Run(int argc, char** argv) : mArgc(argc), mArgv(argv), mInjector(new InjectorEvent())
{
    mInjector->LoadLibaray();
    const char* version = mInjector->GetLibarayVersion();
    mLibraryVersion = version != nullptr ? version : "";
}

Run::~Run() = default;

bool Run::readOptions()
{
    if (mVerbose < 0)
        mVerbose = 0;
    for (int i = FACTOR_TOUCH; i < FACTORZ_COUNT; ++i)
        setOptionFactor(i, 1.0f);
    bool ok = processOptions(mArgc, mArgv);
    noteUnknownArguments(mArgc, mArgv);
    if (!ok)
        return false;
    mOptions = runOptions();
    // Logged as the unsigned value srand takes, so that --seed with it
    // repeats the run.
    mSeed = mOptions.seed >= 0 ? mOptions.seed : static_cast<long long>(static_cast<uint32_t>(GetMseconds()));
    return true;
}

void Run::prepareSource()
{
    mEvents.reset(new RandomEventSource());
    if (!mEvents->checkConfig())
        endRun(1);
    // Before anything is injected, whatever the mode: runs, replays,
    // shrinks and explored runs write their points the same way.
    if (!mInjector->mapScreen(mEvents->getWidth(), mEvents->getHigth()))
        endRun(1);
    // The watcher is told the command; a value refused now ends the run
    // here, before the core pattern is written.
    char restart[kProfileLineMax + 1] = "";
    if (LookUpProfileString(kDeviceProfile, "APP_RESTART", restart) == ProfileLookup::Refused)
        endAtStart("tapfuzz: APP_RESTART: refused, and the application would not be restarted as written");
    mRestart = restart;
    if (shrinking()) {
        // Refused before anything is injected or the core pattern written.
        if (mRestart.empty())
            endAtStart("tapfuzz: --shrink needs APP_RESTART in " + std::string(kDeviceProfile) +
                       ": each try starts the application afresh");
        std::string why;
        mShrink.reset(new ShrinkInput());
        if (!loadShrinkInput(mOptions.shrinkFile, mOptions.app, mOptions.shrinkCrash,
                             {mEvents->getWidth(), mEvents->getHigth(), mEvents->zones()}, mShrink.get(), &why))
            endAtStart("tapfuzz: " + escapeLogText(why));
        mDumps = shrinkDumps();
        return;
    }

    if (mOptions.replayFile == nullptr) {
        mExplorer.reset(new ScreenExplorer(mEvents->getGrid(), mEvents->zones(), mOptions.explore));
        std::string why;
        if (!mExplorer->open(kFrameBuffer, &why))
            LOG(INFO) << (mOptions.explore ? "explore: off, gestures placed at random: " : "screens: not counted: ")
                      << escapeLogText(why);
        mSource.reset(new RandomGestures(*mEvents, *mInjector, mOptions.count, mOptions.hours, *mExplorer));
        return;
    }
    // A damaged record, or one asking for what this screen and its zones
    // forbid, is refused whole, before anything is injected or watched.
    std::vector<ReplayEvent> replay;
    std::string why, note;
    int clickHold = 0;
    bool ok = loadReplay(mOptions.replayFile, mOptions.replayFrom, mOptions.replayTo,
                         {mEvents->getWidth(), mEvents->getHigth(), mEvents->zones()}, &replay, &why, &note, &clickHold);
    for (const std::string* text : {&note, &why}) {
        if (text->empty() || (ok && text == &why))
            continue;
        fprintf(stderr, "tapfuzz: %s\n", text->c_str());
        LOG(INFO) << escapeLogText(*text);
    }
    if (!ok)
        endRun(1);
    mReplayCount = static_cast<int>(replay.size());
    mSource.reset(new ReplaySource(std::move(replay), mOptions.replaySpeed, clickHold));
}

void Run::startWatcher()
{
    WatchSettings settings = watchSettings(mOptions, mRestart, mReplayCount);
    if (mDumps)
        shrinkWatch(mDumps, &settings);
    mWatcher.reset(new dumpMonitor(settings, requestRunStop));
    if (!mWatcher->setUp())
        endRun(1);
    mWatcher->StartMonitor();
}

void Run::setVerbose()
{
    mEvents->setVerbose(mOptions.verbose);
}

void Run::seed()
{
    srand(static_cast<unsigned int>(mSeed));
    // Its own generator: the run's draws stay those of the seed.
    if (mExplorer)
        mExplorer->seed(static_cast<uint64_t>(mSeed));
    LOG(INFO) << "seed:" << mSeed;
    // A run at full rate is not slowed by the look, which costs a few hundred
    // times a click's own work (on the host some 0.2 ms against under 10 us
    // at 800x480); only --explore, which needs it, looks then.
    if (mExplorer && mExplorer->looking() && !mOptions.explore && mThrottle == 0 && end_time_interval == 0) {
        mExplorer->close();
        LOG(INFO) << "screens: not counted: no pause between gestures";
    }
}

void Run::setFactors()
{
    for (int i = FACTOR_TOUCH; i < FACTORZ_COUNT; ++i) {
        float v = mOptions.factors[i];
        if (v <= 0.0f)
            mEvents->setFactors(i, v);
    }
}

void Run::adjustFactors()
{
    if (!mEvents->adjustEventFactors() || !mSource->ready())
        endRun(1);
}

void Run::openRecord()
{
    std::string command;
    for (int i = 0; i < mArgc; ++i)
        command += (i == 0 ? "" : " ") + std::string(mArgv[i]);
    std::string record = openRunRecord({mSeed, command, mEvents->getWidth(), mEvents->getHigth(), mEvents->getGrid(),
                                        mInjector->loadedPath(), mLibraryVersion, mSource->mixText(),
                                        mEvents->zonesText(), mOptions.explore, mSource->clickHoldMs()});
    if (!record.empty())
        LOG(INFO) << "record:" << record;
}

void Run::loop()
{
    alarm(mOptions.seconds);
    runLoop(*mSource, *mInjector, mOptions.verbose);
    // The watcher could not go on: the gesture under way is finished, but
    // this is no run's end, so no summary.
    if (stopRequested() == 1)
        endRun(1);
    int status = stopRequested();
    const long long endedAt = monotonicMs();
    if (mExplorer && mExplorer->looking())
        LOG(DEBUG) << "screens: " << mExplorer->volatileCells() << " cells change by themselves, "
                   << mExplorer->stillLooks() << " second looks";
    if (mExplorer)
        LOG(INFO) << screenFiguresText(screenFigures());
    LOG(INFO) << "Events injected:" << eventsInjected();
    LOG(INFO) << "// tapfuzz finish";
    // The summary is written; a signal during this last wait only shortens it.
    waitOrSignal(cancel_pthread);
    waitForDumps(endedAt);
    RecycleResource();
    mWatcher.reset();
    mSource.reset();
    mExplorer.reset();
    mInjector.reset();
    mEvents.reset();
    endRun(status);
}

void Run::waitForDumps(long long endedAt)
{
    // The last gestures may have crashed the application: its dump is saved
    // by this run once a pass that began after the wait above finds nothing
    // left to settle or move. A dump still being written at the bound stays
    // for the next run, which saves it.
    const long long since = endedAt + cancel_pthread / 1000;
    const long long bound = since + kDumpWaitMs;
    while (mWatcher && !mWatcher->settledSince(since) && stopSignal() == 0) {
        if (monotonicMs() >= bound) {
            LOG(INFO) << "a dump was still settling " << kDumpWaitMs / 1000 << " s after the end: the next run saves it";
            return;
        }
        usleep(50000);
    }
}

void Run::shrink()
{
    ShrinkSettings s;
    s.app = mOptions.app;
    s.restart = mRestart;
    s.restartDelay = std::max(0, profileInt("APP_RESTART_DELAY", 3));
    s.tries = mOptions.shrinkTries;
    s.waitSeconds = mOptions.shrinkWait;
    s.speed = mOptions.replaySpeed;
    alarm(mOptions.seconds);
    int status = runShrink(*mShrink, s, *mInjector, mDumps, [this] { mWatcher.reset(); });
    mInjector.reset();
    endRun(status);
}
