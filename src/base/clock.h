// Problem: retries, restarts and freezes are timed in seconds that a change
// of the wall clock must not move, and the seed wants the wall clock itself.
// Solution: the two clocks the program reads, each read in one place.
#ifndef TAPFUZZ_BASE_CLOCK_H
#define TAPFUZZ_BASE_CLOCK_H

// Seconds of CLOCK_MONOTONIC: they only ever go forward.
long monotonicSeconds();
// Milliseconds of CLOCK_MONOTONIC, in 64 bits: a 32-bit long of them wraps
// after 24 days of uptime.
long long monotonicMs();

// Wall-clock milliseconds, low 32 bits (may be negative); only seeds rand.
long GetMseconds();

#endif
