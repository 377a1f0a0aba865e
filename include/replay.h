// Problem: a recorded run must be injected again exactly, at its own pace
// or faster, and a damaged record must not inject half a run.
// Solution: read and check the whole record before anything is injected,
// then hand out each gesture with the moment it is due.
#ifndef TAPFUZZ_REPLAY_H
#define TAPFUZZ_REPLAY_H

#include <string>
#include <vector>

#include "Pointer.h"

struct ReplayEvent {
    int index;        // as recorded
    long long at;     // microseconds since the recorded run started
    Pointer event;
    unsigned int pathSeed;  // of a swipe
};

// Reads the record at `path` and keeps the gestures whose index lies in
// from..to. False, with *why naming the line and the fault, when the file
// cannot be read, any gesture line is malformed, or none is in the range.
bool loadReplay(const char* path, int from, int to, std::vector<ReplayEvent>* out, std::string* why);

// Microseconds to wait from `now` (recordClock of the replay) until gesture
// i is due: its recorded distance from the first one, divided by speed.
// 0 when speed is 0 or the moment has passed.
long long replayWait(const std::vector<ReplayEvent>& events, size_t i, double speed, long long now);

#endif
