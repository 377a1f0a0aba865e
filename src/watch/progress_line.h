// Problem: a run left alone for a night says nothing between its start and
// its summary; whoever looks at the console or the log cannot tell a run
// that works from one that hangs, nor how far it got.
// Solution: a line of the run's numbers in the main log once a minute,
// written by the watcher, which already ticks each second and knows them;
// the event loop is not slowed by it.
#ifndef TAPFUZZ_WATCH_PROGRESS_LINE_H
#define TAPFUZZ_WATCH_PROGRESS_LINE_H

#include <string>

// The numbers of one progress line. Fields added later go at the line's
// end, after the times, so that readers of the first fields keep working.
struct ProgressCounts {
    long done = 0;      // gestures injected (recorded)
    long crashes = 0;   // dumps recorded
    long distinct = 0;  // of them, distinct signatures
    long exits = 0;     // the application's exits
    long freezes = 0;   // frozen screens
    std::string screens;  // "screens:N no-op:P%" once the screen was looked at, else empty
};

// "HH:MM:SS"; hours may exceed 99; a negative time is 00:00:00.
std::string clockText(long long seconds);

// By count (`hours` 0): "progress: <done>/<count> events, <C> crashes (<D>
// distinct), <E> app exits, <F> freezes, <elapsed> elapsed, about <eta>
// left", the eta from the rate so far ("--:--:--" before the first
// gesture). With `hours`: "progress: <done> events, ..., <elapsed> of
// <hours>:00:00". Then " <screens>" when it is known.
std::string progressText(const ProgressCounts& counts, long elapsed, int count, int hours);

class ProgressLine {
public:
    // A run of `count` gestures, or of `hours`, that started at monotonic
    // second `start`.
    ProgressLine(int count, int hours, long start);
    // Logs the line when a minute has passed since the run's start or the
    // last line.
    void poll(long now, const ProgressCounts& counts);

private:
    int mCount;
    int mHours;
    long mStart;
    long mLast;
};

#endif
