// Problem: a night's run leaves dozens of dumps of a few faults; the reader
// wants each fault once, how often it came and the shortest way back to it,
// while a planted record may hold any number of made-up signatures.
// Solution: crashes grouped by their signature's key (by the program's name
// when the dump gave none), in a bounded number of groups of bounded text.
#ifndef TAPFUZZ_REPORT_CRASH_GROUPS_H
#define TAPFUZZ_REPORT_CRASH_GROUPS_H

#include <stddef.h>

#include <map>
#include <string>
#include <vector>

struct DistinctCrash {
    std::string key, program;  // key "unknown": one group per program
    long long count = 0;
    int first = 0, last = 0;   // gesture indexes
    // The earliest occurrence (lowest gesture index, the shortest replay):
    // its dump's screenshot, its record as shown ("" when it cannot be
    // replayed) and the index of the folder it lies in.
    std::string shot, record;
    size_t folder = 0;
    std::vector<std::string> dumps;    // the first kListed, as the records name them
    std::vector<std::string> folders;  // the first kListed it was seen in
    long long foldersSeen = 0;
    size_t lastFolder = static_cast<size_t>(-1);
};

class CrashGroups {
public:
    static const size_t kMaxGroups = 10000;
    static const size_t kListed = 20;
    static const size_t kMaxBytes = 8 << 20;  // of the text kept
    // One crash of a run: KEY is the dump's "SIGNAL,MODULE+0xOFFSET" or
    // "unknown".
    void add(const std::string& key, const std::string& program, int event, const std::string& saved,
             const std::string& shot);
    // A run's groups into these: `record` is the run's record as shown,
    // "" when it cannot be replayed; the run lies in folder `folder`, shown
    // as `path`.
    void merge(const CrashGroups& run, const std::string& record, size_t folder, const std::string& path);
    // Most dumps first, then by first gesture.
    std::vector<const DistinctCrash*> sorted() const;
    size_t size() const { return mGroups.size(); }
    long long left() const { return mLeft; }  // crashes in no group: past the bounds

private:
    DistinctCrash* group(const std::string& key, const std::string& program, int event);
    void keep(std::vector<std::string>& list, const std::string& text);
    void set(std::string& field, const std::string& text);
    std::map<std::string, DistinctCrash> mGroups;
    size_t mBytes = 0;
    long long mLeft = 0;
};

#endif
