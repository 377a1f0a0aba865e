// Problem: a time to wait for must not jump with the wall clock, and a seed
// from the clock must be the same 32-bit value on the host and the device.
// Solution: CLOCK_MONOTONIC for waits, and milliseconds wrapped to 32 bits.
#include "base/clock.h"

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

long monotonicSeconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec);
}

long long monotonicMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000LL + now.tv_nsec / 1000000L;
}

long GetMseconds()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    // Milliseconds since the epoch, wrapped to 32 bits as on the device.
    uint32_t ms = static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
    return static_cast<long>(static_cast<int32_t>(ms));
}
