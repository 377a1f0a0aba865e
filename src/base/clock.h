// Problem: retries, restarts and freezes are timed in seconds that a change
// of the wall clock must not move, and the seed wants the wall clock itself.
// Solution: the two clocks the program reads, each read in one place.
#ifndef TAPFUZZ_BASE_CLOCK_H
#define TAPFUZZ_BASE_CLOCK_H

// Seconds of CLOCK_MONOTONIC: they only ever go forward.
long monotonicSeconds();

// Wall-clock milliseconds, low 32 bits (may be negative); only seeds rand.
long GetMseconds();

#endif
