// Problem: the three stress parts share the figures they print and the
// verdicts they reach.
// Solution: one entry point per part, each printing its own table and
// returning the number of failed expectations.
#ifndef TAPFUZZ_TESTS_STRESS_STRESS_H
#define TAPFUZZ_TESTS_STRESS_STRESS_H

// `runs` sandboxed runs of tapfuzz, each ended by SIGINT, SIGALRM or SIGTERM
// at a random moment; `seed` makes the choices repeatable.
int SignalStorm(int runs, unsigned seed);
// One run of `events` events at no pause into a drained fifo node.
int Soak(long events);
// The device, the results folder, /tmp and the save folder failing.
int DeviceFaults();
// The checks of the stress runs fed with known faults: each must be caught.
int SelfCheck();

#endif
