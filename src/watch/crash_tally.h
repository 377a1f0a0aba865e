// Problem: after a night's run the engineer wants to know which crashes are
// one and the same, and how often each came, while the run goes on; a run
// may leave thousands of dumps, and the watcher must not grow without end.
// Solution: a count per signature key (the program's name for a dump with
// no signature), held for at most kMaxSignatures keys.
#ifndef TAPFUZZ_WATCH_CRASH_TALLY_H
#define TAPFUZZ_WATCH_CRASH_TALLY_H

#include <stddef.h>

#include <map>
#include <string>

struct CoreSignature;

class CrashTally {
public:
    // Keys remembered; a dump of a key beyond them counts as a new distinct
    // crash each time (it is logged "new" again and raises distinct()), and
    // the first such dump logs "crash tally full: ..." once.
    static const size_t kMaxSignatures = 1000;

    // Counts one dump of `program` (the %e of its name) whose signature is
    // `signature`, and logs "crash signature:<text> new", or "... seen:<N>"
    // when its key was counted before (N counts this one). Dumps without a
    // signature are counted by program.
    void count(const CoreSignature& signature, const std::string& program);

    long crashes() const { return mCrashes; }
    long distinct() const { return mDistinct; }

private:
    std::map<std::string, long> mSeen;  // key, or "unknown," and the program
    long mCrashes = 0;
    long mDistinct = 0;
    bool mFullLogged = false;
};

#endif
