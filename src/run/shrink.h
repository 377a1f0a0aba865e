// Problem: a crash found after thousands of random gestures is reproducible
// by a replay, but nobody can read thousands of gestures in a bug report,
// and an application may crash only now and then.
// Solution: delta debugging over the record's gestures up to the crash,
// each candidate run on a freshly restarted application and judged by the
// signature of the dump it leaves, repeated before it counts as lost; the
// smallest list that still crashes is written as a record of its own.
#ifndef TAPFUZZ_RUN_SHRINK_H
#define TAPFUZZ_RUN_SHRINK_H

#include <stddef.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "record/replay.h"
#include "watch/dump_monitor.h"

class InjectorEvent;

// One run of the application on a candidate.
enum class TryResult { kNotReproduced, kReproduced, kStop };

// A candidate counts as not reproducing after this many tries in a row
// without the crash; the whole input must reproduce within as many.
const int kShrinkRepeats = 3;

struct ShrinkSearch {
    bool reproduced = false;   // the whole input crashed at least once
    bool minimal = false;      // no single gesture of `kept` can go
    std::vector<size_t> kept;  // indexes into the input, in order
    int tries = 0;
};

// ddmin over the indexes 0..count-1, removing chunks (complements) only:
// each candidate is tried up to kShrinkRepeats times; the search ends at a
// 1-minimal list, after `maxTries` tries, or when `tryOnce` answers kStop.
ShrinkSearch shrinkSearch(size_t count, int maxTries,
                          const std::function<TryResult(const std::vector<size_t>&)>& tryOnce);

// What a shrink starts from: the gestures up to the crash and the crash.
struct ShrinkInput {
    std::string record;             // RECORD as given
    std::vector<std::string> header;  // its header lines, line feeds kept
    std::vector<ReplayEvent> events;  // the gestures up to the crash and the one under way
    std::vector<std::string> tails;   // each gesture line after its time
    int after = 0;                    // the crash's gesture
    std::string program;              // the dump's program (comm)
    std::string key;                  // its signature key, "unknown" without
};

// Reads RECORD, streamed, checked whole: its crash of `app` after gesture
// `crash` (0: the first), wherever it lies, whose signature is read from
// the saved dump while it is there. Only the gestures up to the crash are
// kept. False with *why when it has none or the gestures are refused.
bool loadShrinkInput(const char* record, const std::string& app, int crash, const ReplayLimits& limits,
                     ShrinkInput* out, std::string* why);

// The whole shrink, once the watcher runs with `watch` (see shrinkWatch):
// logs each try, the kept gestures and the result, writes the -min record,
// and ends what it started. The status: 0 with a result (or none, stopped
// first), 1 when the crash did not reproduce, the result cannot be written
// (its gestures are in the log) or the application already runs.
struct ShrinkSettings {
    std::string app, restart;
    int restartDelay = 3;
    int tries = 200, waitSeconds = 5;
    double speed = 1.0;
};
class ShrinkDumps;
std::shared_ptr<ShrinkDumps> shrinkDumps();
// The watcher's hooks that tell the shrink of dumps.
void shrinkWatch(const std::shared_ptr<ShrinkDumps>& dumps, WatchSettings* watch);
int runShrink(const ShrinkInput& input, const ShrinkSettings& settings, InjectorEvent& injector,
              const std::shared_ptr<ShrinkDumps>& dumps, const std::function<void()>& stopWatcher);

#endif
