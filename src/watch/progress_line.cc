// Problem: the line must stay true over a run of days on a 32-bit device,
// where a long is 32 bits and a count times a time would overflow it.
// Solution: the eta reckoned in long long from the whole seconds and
// gestures so far, and the minute measured on the monotonic clock, which a
// change of the device's wall clock does not move.
#include "watch/progress_line.h"

#include <stdio.h>

#include "base/logger.h"

namespace {

const long kProgressSeconds = 60;

}  // namespace

std::string clockText(long long seconds)
{
    long long s = seconds < 0 ? 0 : seconds;
    char text[32];
    snprintf(text, sizeof text, "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

std::string progressText(const ProgressCounts& c, long elapsed, int count, int hours)
{
    std::string text = "progress: " + std::to_string(c.done) + (hours > 0 ? "" : "/" + std::to_string(count)) +
                       " events, " + std::to_string(c.crashes) + " crashes (" + std::to_string(c.distinct) +
                       " distinct), " + std::to_string(c.exits) + " app exits, " + std::to_string(c.freezes) +
                       " freezes, " + clockText(elapsed);
    if (hours > 0) {
        text += " of " + clockText(hours * 3600LL);
    } else {
        std::string eta = "--:--:--";
        if (c.done > 0) {
            long long left = count > c.done ? count - c.done : 0;
            eta = clockText(left * elapsed / c.done);
        }
        text += " elapsed, about " + eta + " left";
    }
    return c.screens.empty() ? text : text + " " + c.screens;
}

ProgressLine::ProgressLine(int count, int hours, long start)
    : mCount(count), mHours(hours), mStart(start), mLast(start)
{
}

void ProgressLine::poll(long now, const ProgressCounts& counts)
{
    if (now - mLast < kProgressSeconds)
        return;
    mLast = now;
    LOG(INFO) << progressText(counts, now - mStart, mCount, mHours);
}
