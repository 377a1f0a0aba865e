// Problem: a recorded run must be injected again exactly, at its own pace
// or faster, and a damaged or hostile record must not inject half a run,
// touch what the device forbids, or hold the program.
// Solution: read and check the whole record before anything is injected,
// against the screen and the forbidden zones of this run, then hand out
// each gesture with the moment it is due.
#ifndef TAPFUZZ_RECORD_REPLAY_H
#define TAPFUZZ_RECORD_REPLAY_H

#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

#include "gesture/gesture_source.h"
#include "gesture/pointer.h"
#include "gesture/zones.h"

struct ReplayEvent {
    int index;        // as recorded
    long long at;     // microseconds since the recorded run started
    Pointer event;
    unsigned int pathSeed;  // of a swipe
};

// What a replay may ask for: points on a width x hight screen, outside
// every zone.
struct ReplayLimits {
    int width, hight;
    std::vector<Zone> zones;
};

// Checks a record line by line as its bytes arrive, in pieces of any size,
// and keeps the gestures whose index lies in from..to. `name` heads every
// fault: "<name> line N: ...".
class ReplayParser {
public:
    ReplayParser(std::string name, int from, int to, ReplayLimits limits);
    // False once a line is at fault (why() says which and how); what
    // follows is ignored.
    bool feed(const char* data, size_t size);
    // The end of the record. A last line without its line feed is skipped
    // (note() says so). False when a line is at fault or no gesture lies in
    // the range.
    bool finish();
    const std::string& why() const { return mWhy; }
    const std::string& note() const { return mNote; }
    // The record's click hold (# click-hold:, 0 without), which every click
    // handed out carries as its duration.
    int clickHoldMs() const { return mClickHoldMs; }
    std::vector<ReplayEvent>& events() { return mEvents; }
    // Told of each line found sound, as it ends, so that a reader of the
    // record's other lines needs no second pass over its bytes: the line
    // without its line feed, and the gesture when the range keeps it. A
    // comment longer than kMaxLine is skipped unread, and not told.
    using LineHook = std::function<void(const std::string& line, const ReplayEvent* kept)>;
    void onLine(LineHook hook) { mHook = std::move(hook); }

private:
    bool endLine();
    std::string check(const std::string& line, ReplayEvent* e) const;

    std::string mName;
    int mFrom, mTo;
    ReplayLimits mLimits;
    std::string mLine;      // the line so far, at most kMaxLine bytes of it
    bool mLong = false;     // the line went past kMaxLine
    bool mNul = false;      // the line holds a NUL byte
    int mNumber = 0;        // lines ended so far
    ReplayEvent mLast{};
    int mClickHoldMs = 0;
    std::string mWhy, mNote;
    std::vector<ReplayEvent> mEvents;
    LineHook mHook;
};

// Feeds the record at `path` to `parser` up to its end at the moment it is
// opened (a record still being written included), 64 KB at a time. Only a
// regular file is read: a fifo or a device is refused at once, never
// waited on. False, with *why, when it cannot be read or a line is at
// fault; the parser's finish() is left to the caller.
bool feedReplay(const char* path, ReplayParser* parser, std::string* why);

// Reads the record at `path` up to its end at the moment it is opened (a
// record still being written included). Only a regular file is read: a fifo
// or a device is refused at once, never waited on. False, with *why, when it
// cannot be read or the parser refuses it; *note as ReplayParser::note(),
// *clickHoldMs (when given) as ReplayParser::clickHoldMs().
bool loadReplay(const char* path, int from, int to, const ReplayLimits& limits, std::vector<ReplayEvent>* out,
                std::string* why, std::string* note, int* clickHoldMs = nullptr);

// Microseconds to wait from `now` (recordClock of the replay) until gesture
// i is due: its recorded distance from the first one, divided by speed.
// 0 when speed is 0 or the moment has passed; LLONG_MAX at most, whatever
// the gap and the speed.
long long replayWait(const std::vector<ReplayEvent>& events, size_t i, double speed, long long now);

// A checked record as the run's source of gestures: each one due at its
// recorded distance from the first, divided by the speed (0: at once), and
// none of them paced or counted otherwise.
class ReplaySource : public GestureSource {
public:
    ReplaySource(std::vector<ReplayEvent> events, double speed, int clickHoldMs);
    std::string mixText() const override { return "replay"; }
    int clickHoldMs() const override { return mClickHoldMs; }
    bool next(Gesture* gesture) override;
    long long untilDue(long long now) const override;
    long pauseAfter() override { return 0; }
    bool complete(int) const override { return false; }

private:
    std::vector<ReplayEvent> mEvents;
    double mSpeed;
    int mClickHoldMs;
    size_t mNext = 0;  // the gesture handed out next
};

#endif
