// Problem: the run pauses after every counted event, either for a fixed time
// from the command line or for a random time from the device profile's range.
// Solution: read the range once at start-up, refusing any range whose pauses
// cannot be expressed, and draw one pause from it after every event.
#include "run/pacing.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "base/logger.h"
#include "base/profile.h"

long mThrottle = 0;
int start_time_interval = 0;
int end_time_interval = 0;

namespace {

// mThrottle is a signed 32-bit count of microseconds on the device.
const int64_t kMaxPauseUs = INT32_MAX;
const int64_t kMaxPauseMs = kMaxPauseUs / 1000;

// The largest pause get_interval can draw from a range, in milliseconds:
// draws lie in 0..end-1, and the draws below a positive start are moved up by
// end, so the top is the larger of end-1 and min(start, end)-1+end.
int64_t largestPauseMs(int start, int end)
{
    int64_t top = static_cast<int64_t>(end) - 1;
    if (start > 0) {
        int64_t moved = static_cast<int64_t>(start < end ? start : end) - 1 + end;
        if (moved > top)
            top = moved;
    }
    return top;
}

}  // namespace

void parse_event_interval()
{
    if (mThrottle != 0)
        return;

    // Read with room to spare, so that a value too long for the range reader
    // is named in the log instead of passing for a missing key.
    char value[256];
    if (GetProfileString(kDeviceProfile, "EVENT_INTERVALS_RANGE", value) != 0)
        return;

    char timeinterval[32];
    if (strlen(value) >= sizeof timeinterval) {
        LOG(INFO) << "EVENT_INTERVALS_RANGE " << value << " ignored: longer than "
                  << sizeof timeinterval - 1 << " characters";
        return;
    }
    memcpy(timeinterval, value, strlen(value) + 1);

    int start_time = 0;
    int end_time = 0;
    if (Str2Int(timeinterval, &start_time, &end_time) != 0) {
        if (strchr(timeinterval, ',') == nullptr)
            LOG(INFO) << "EVENT_INTERVALS_RANGE " << timeinterval << " ignored: no comma between the two figures";
        else
            LOG(INFO) << "EVENT_INTERVALS_RANGE " << timeinterval
                      << " ignored: a figure is longer than 7 characters";
        return;
    }
    if (end_time > 0 && largestPauseMs(start_time, end_time) > kMaxPauseMs) {
        LOG(INFO) << "EVENT_INTERVALS_RANGE " << timeinterval << " ignored: its longest pause of "
                  << largestPauseMs(start_time, end_time) << " ms exceeds " << kMaxPauseMs << " ms";
        return;
    }
    start_time_interval = start_time;
    end_time_interval = end_time;
}

long get_interval()
{
    if (end_time_interval <= 0) {
        // Only a fixed pause or none comes this way; never hand usleep a
        // negative count, which it would read as a huge unsigned one.
        if (mThrottle < 0)
            mThrottle = 0;
        else if (mThrottle > kMaxPauseUs)
            mThrottle = static_cast<long>(kMaxPauseMs * 1000);
        return mThrottle;
    }
    int64_t randomTime = getRandomTime(end_time_interval);
    if (randomTime < start_time_interval)
        randomTime += end_time_interval;
    // parse_event_interval refuses ranges that overflow; this guards figures
    // stored by any other way.
    if (randomTime > kMaxPauseMs)
        randomTime = kMaxPauseMs;
    mThrottle = static_cast<long>(randomTime * 1000);
    return mThrottle;
}

int Str2Int(const char* str, int* x, int* y)
{
    // Each figure is at most 7 characters (the range value holds 31): longer
    // text is not a pause this reader understands, so nothing is stored.
    const char* comma = strchr(str, ',');
    if (comma == nullptr)
        return -1;
    size_t left = static_cast<size_t>(comma - str);
    size_t right = strlen(comma + 1);
    if (left > 7 || right > 7)
        return -1;
    char tmpvalue[8];
    memcpy(tmpvalue, str, left);
    tmpvalue[left] = '\0';
    *x = static_cast<int>(strtol(tmpvalue, nullptr, 10));
    memcpy(tmpvalue, comma + 1, right);
    tmpvalue[right] = '\0';
    *y = static_cast<int>(strtol(tmpvalue, nullptr, 10));
    return 0;
}

int getRandomTime(int time)
{
    return rand() % time;
}
