// Problem: a stress run must start in a fixed order (the library, the
// options, the device, the watcher, the seed, the mix, the record), each
// step able to refuse, then inject until it is done and end cleanly
// however it ends.
// Solution: the run's parts held by one object, each start-up step a method
// that main calls in order, and the loop handed a gesture source that does
// not care whether its gestures are drawn or replayed.
#ifndef TAPFUZZ_RUN_RUN_H
#define TAPFUZZ_RUN_RUN_H

#include <memory>
#include <string>

#include "run/options.h"

class GestureSource;
class InjectorEvent;
class RandomEventSource;
class ScreenExplorer;
class dumpMonitor;
struct ShrinkInput;
class ShrinkDumps;

// The seed the run's generator is given.
extern long long mSeed;
// Microseconds the run waits after its summary, for the watcher's last tick.
extern long cancel_pthread;

class Run {
public:
    // Loads the driver library.
    Run(int argc, char** argv);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // The library's version text.
    const std::string& libraryVersion() const { return mLibraryVersion; }
    // After the pre-scan: the options. False for a usage error. Arguments
    // the parser skips are named, on standard error and in the main log.
    bool readOptions();
    // The random source and its check of the device, APP_RESTART, and with
    // --replay the record, checked whole. A refusal ends the run (status 1).
    void prepareSource();
    // The watcher, told what it watches, and started. Ends the run (status 1)
    // when dumps would be saved where they are looked for.
    void startWatcher();
    void setVerbose();
    // srand() with the run's seed; "seed:N" in the main log.
    void seed();
    // The percentages of the command line into the mix.
    void setFactors();
    // The mix made cumulative and checked, and the gesture source ready. A
    // refusal ends the run (status 1).
    void adjustFactors();
    // The run record; "record:PATH" in the main log.
    void openRecord();
    // The gestures, then the summary; ends the process with the run's status.
    [[noreturn]] void loop();
    // --shrink: instead of the seed, the mix, the record and the loop.
    bool shrinking() const { return mOptions.shrinkFile != nullptr; }
    [[noreturn]] void shrink();

private:
    // After the summary: until the watcher has saved what the last gestures
    // left in the dump folder, at most kDumpWaitMs.
    void waitForDumps(long long endedAt);
    static constexpr long long kDumpWaitMs = 8000;

    int mArgc;
    char** mArgv;
    RunOptions mOptions;
    std::unique_ptr<InjectorEvent> mInjector;
    std::string mLibraryVersion;
    std::unique_ptr<RandomEventSource> mEvents;
    std::string mRestart;  // APP_RESTART, for the watcher
    int mReplayCount = 0;  // gestures of a --replay, for the progress line
    std::unique_ptr<ScreenExplorer> mExplorer;  // a run's, not a replay's
    std::unique_ptr<GestureSource> mSource;
    std::unique_ptr<dumpMonitor> mWatcher;
    std::unique_ptr<ShrinkInput> mShrink;
    std::shared_ptr<ShrinkDumps> mDumps;
};

#endif
