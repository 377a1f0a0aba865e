// Problem: the dumps the kernel writes into the dump folder must be found,
// recorded and moved to the save path, once each and only when whole.
// Solution: one pass over the folder per call, remembering each dump
// between passes.
#ifndef TAPFUZZ_WATCH_DUMP_SCAN_H
#define TAPFUZZ_WATCH_DUMP_SCAN_H

#include <sys/types.h>
#include <time.h>

#include <functional>
#include <map>
#include <string>

#include "watch/crash_tally.h"

class DumpScan {
public:
    // Dumps are saved under `savePath` (a folder with its '/', or a prefix
    // of their names); copies across file systems take up to `limit` bytes.
    DumpScan(std::string savePath, long long limit);

    // One pass over a folder of dumps (the watcher passes "/tmp/"): records
    // and moves every dump that has not changed since the previous pass.
    // Returns -1 (errno set) when the folder cannot be listed, 0 otherwise.
    int scan(const char* folder);

    // Called when a dump is first seen (its name in the folder, and the last
    // gesture recorded), and after it was moved (its saved path, its name,
    // the owner of its file, by which the application's dumps are told from
    // planted ones, and its signature's key, text and backtrace, read once).
    std::function<void(const std::string& name, int after)> mOnFound;
    std::function<void(const std::string& saved, const std::string& name, uid_t owner, const std::string& key,
                       const std::string& signature, const std::string& backtrace)>
        mOnSaved;

    // Asked between two dumps: true once the run is ending. The pass then
    // stops where it is, so that however many files the folder holds the
    // end waits for one dump at most; the dumps not reached stay in the
    // folder for the next run to save.
    std::function<bool()> mEnding;

    // The dumps still in the folder and not saved after the last pass:
    // those waiting to settle or to move, and those a pass cut short by the
    // end did not reach. A dump whose move failed or that was refused does
    // not count: its own line told of it.
    size_t unsaved() const;

    // True while a dump seen in the folder waits to settle or to move; one
    // whose move failed or that was refused does not count, since it stays
    // there until tried again a minute later or for good.
    bool pending() const;

    // The dumps recorded so far, by signature.
    const CrashTally& tally() const { return mTally; }

private:
    // What the scan remembers of one dump between passes.
    struct Seen {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = -1;
        struct timespec mtime = {0, 0};
        bool recorded = false;     // crash record written
        bool failLogged = false;   // a failed move or a refusal was reported
        long retryAt = 0;          // monotonic second before which no copy is tried
        int after = 0;             // last gesture recorded when it was first seen
        std::string key;           // its signature's key, text and backtrace, read when it was recorded
        std::string signature;
        std::string backtrace;
    };
    void handle(const std::string& folder, const std::string& name, int fd, const struct stat& st);
    void refuseOnce(const std::string& name, const struct stat& st, const std::string& text);

    std::string mSavePath;
    long long mLimit;
    std::map<std::string, Seen> mSeen;
    size_t mUnreached = 0;  // of the last pass, cut short by the end
    CrashTally mTally;
};

#endif
