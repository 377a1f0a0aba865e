// Problem: every figure of the benchmark comes from running a program (the
// shipped tapfuzz, the floor loop, or either under strace or callgrind) on
// /dev/input/event0 and /dev/fb0, which must never be the machine's own.
// Solution: one runner that starts the program inside the test sandbox, on a
// node that lives on the sandbox's private tmpfs (a regular file, or a fifo
// that the runner drains and time-stamps), and reports the program's wall
// time, CPU time, peak memory, threads and children.
#ifndef TAPFUZZ_BENCH_RUNNER_H
#define TAPFUZZ_BENCH_RUNNER_H

#include <stdint.h>

#include <string>
#include <vector>

class Sandbox;

struct RunSpec {
    std::vector<std::string> argv;  // argv[0] is a path
    std::vector<std::string> env;   // extra "NAME=value" entries
    // The node: a fifo the runner reads and time-stamps, else a regular file
    // (each gesture opens it at offset 0, so it stays one gesture long).
    bool fifo = false;
    // Fifo only: SIGINT the program once this many records arrived (0: never).
    long stopAfterRecords = 0;
    // Sample /proc for the program's peak memory, threads and children.
    bool watch = false;
    // Host path for the program's standard output; empty: /dev/null.
    std::string stdoutPath;
};

struct RunResult {
    bool ok = false;          // the runner itself worked
    int status = 0;           // wait status of the program
    double wallSec = 0;
    double userSec = 0;
    double sysSec = 0;
    long hwmKb = 0;           // the program's own peak resident memory
    long childHwmKb = 0;      // the largest peak of its children (the echo)
    int maxThreads = 0;
    int maxChildren = 0;
    std::string children;     // names of the children seen
    long records = 0;         // fifo only: records that arrived
    // Fifo only: monotonic arrival time (ns) of each gesture's first record
    // and of the report that ends its lift.
    std::vector<int64_t> gestureStart;
    std::vector<int64_t> gestureEnd;
};

RunResult RunInSandbox(const Sandbox& sb, const RunSpec& job);

#endif
