// Problem: a crash is fixed when it can be reproduced, and the log alone
// (one-second stamps, no pauses, no seed) cannot reproduce a run.
// Solution: every run writes a record of what it injected, when, and with
// what result, into a text file beside its logs; --replay reads it back.
#ifndef TAPFUZZ_RECORD_RUN_RECORD_H
#define TAPFUZZ_RECORD_RUN_RECORD_H

#include <string>

#include "gesture/pointer.h"

// What the record's header says about the run.
struct RunInfo {
    long long seed;
    std::string command;   // the command line, words joined by blanks
    int width, hight;      // screen in pixels
    int grid;              // SCREEN_BASIC_SIZE
    std::string library;   // path of the driver library as loaded
    std::string version;   // its version text
    std::string mix;       // percent per kind, "T,M,L,K" and ",P" when pinches were asked; "replay" for a replay
    std::string zones;     // EXCLUDE_RECTS as taken, "" without
    bool explore = false;  // --explore: places chosen from the screen
    int clickHoldMs = 0;   // how long each click is held down
};

// Opens run-HHMMSS-PID.events in the results folder of the day
// (resultsFolder()), writes the header and starts the record's clock. Lines are
// buffered and reach the file whole only: the core-dump watcher writes them
// out every second and exit() writes out and closes. The first write the
// file refuses ends the record at its last whole line and is logged once,
// "record: not written: <path>: <reason>", as is a record that cannot be
// created. Returns the path, or "" after that line.
std::string openRunRecord(const RunInfo& info);

// Microseconds since openRunRecord (0 before it).
long long recordClock();

// Appends one injected gesture: the next index, `at` (from recordClock,
// taken before the gesture), its kind, its fields (for a swipe also its
// path seed) and the library's result.
void recordEvent(long long at, const Pointer& event, unsigned int pathSeed, int result);

// A crash record: adds "# crash:<dump> after:<N> signature:<key>" (N the
// index of the last gesture recorded when the dump was first seen, key the
// dump's signature key, "unknown" without one) and logs "crash after
// event:N". Any thread.
void recordCrash(const std::string& dump, int after, const std::string& signature);

// The path of this run's record ("" while it keeps none) and the index of
// the last gesture recorded (0 before the first). Any thread.
std::string runRecordPath();
int recordedEvents();

// Writes out what is buffered. Any thread; nothing without a record.
void flushRunRecord();

#endif
