// Problem: crashes, hangs and exits of the application under test must be
// caught while the run injects, without slowing the injection, and the
// watcher must not reach back into the run to learn what to watch.
// Solution: a thread of its own, given everything at construction, that
// once a second scans the dump folder, writes out the run record, watches
// the application, checks for a frozen screen and once a minute logs the
// run's progress; it asks the run to stop through a callback.
#ifndef TAPFUZZ_WATCH_DUMP_MONITOR_H
#define TAPFUZZ_WATCH_DUMP_MONITOR_H

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>

// The save path the watcher was given (COREFILE_PATH).
extern char gcorepath[64];

// What the watcher is told; it reads no option of the command line.
struct WatchSettings {
    std::string savePath = "./";      // COREFILE_PATH: where saved dumps go
    std::optional<int> dumpLimitMb;   // COREFILE_MAX_MB as the profile gives it
    long long seed = 0;               // of the run, for the crash bundle
    std::string command;              // the command line, for the crash bundle
    std::string app;                  // -a: the application under test ("": none)
    bool stopOnCrash = false;         // --stop-on-crash
    long maxCrashes = 0;              // --max-crashes N (0: no limit)
    std::string restart;              // APP_RESTART: the shell command that starts the app
    int restartDelay = 3;             // APP_RESTART_DELAY, seconds
    int freezeSeconds = 0;            // FREEZE_SECONDS (0: no freeze check)
    int freezeAbort = 0;              // FREEZE_ABORT (1: SIGABRT to a frozen app)
    // For the progress line: the gestures of a run by count (or of a
    // replay), the hours of a run by time (0: by count), and the monotonic
    // second the run started.
    // Told of each dump first seen (its name in the dump folder) and each
    // saved one (that name, the uid owning its file and its signature's
    // key, as the record's crash line has it), on the watcher's thread.
    std::function<void(const std::string& name)> onFound;
    std::function<void(const std::string& name, uid_t owner, const std::string& key)> onSaved;
    int count = 0;
    int hours = 0;
    long startedAt = 0;
};

class dumpMonitor {
public:
    // `requestStop` asks the run to end with a status, from the watcher's
    // thread: 3 once the dump that ends a --stop-on-crash run is saved and
    // bundled, 1 when the dump folder cannot be listed.
    dumpMonitor(WatchSettings settings, std::function<void(int status)> requestStop);
    // Ends the watcher and waits for it, so nothing of it runs afterwards: a
    // pass under way stops at its next dump and a copy at its next block.
    ~dumpMonitor();
    dumpMonitor(const dumpMonitor&) = delete;
    dumpMonitor& operator=(const dumpMonitor&) = delete;

    // Before the thread starts: logs the save path, applies the dump limit
    // and sets the kernel's core pattern. False, after a message, when dumps
    // would be saved where they are looked for: the run ends (status 1).
    bool setUp();
    void StartMonitor();
    // True once a pass over the dump folder that began at or after
    // `sinceMs` (monotonicMs) ended with no dump waiting to settle or to
    // move: the run's end waits for it, so that a crash of its last gesture
    // is saved by this run and not left in the folder for the next.
    bool settledSince(long long sinceMs) const;
    static void* monitorDump(void* arg);

private:
    // True, after a message, when the save path lies in the dump folder.
    bool refuseSavePathInDumpFolder();
    // COREFILE_MAX_MB, the largest dump copied across file systems.
    void readDumpLimit();
    // The thread's work: each second the scan, the record, the application
    // and the screen, until cancelled or the dump folder cannot be listed.
    void watch();

    pthread_t m_mointor;
    bool m_started;
    const WatchSettings mSettings;
    const std::function<void(int)> mRequestStop;
    long long mDumpLimit;
    // When the last pass that left nothing pending began; -1: none yet.
    std::atomic<long long> mCleanPassAt{-1};
    // Set by the destructor: the pass under way stops at its next dump, so
    // the run's end waits for one dump's work at most, never for a folder
    // full of planted files.
    std::atomic<bool> mEnding{false};
    // The dumps the last pass left unsaved in the dump folder, logged when
    // the watcher ends: what the next run will find there.
    std::atomic<size_t> mUnsaved{0};
};

#endif
