// Problem: the benchmark's figures come out of other programs' text (strace's
// table, callgrind's annotation) and out of raw records arriving at a fifo;
// a misread line would silently skew a ratio.
// Solution: the readers and the statistics in one unit of their own, kept
// apart from the runs so they can be checked on known input.
#ifndef TAPFUZZ_BENCH_FIGURES_H
#define TAPFUZZ_BENCH_FIGURES_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

// strace -c's table: calls per system call name ("total" left out).
std::map<std::string, double> ParseStraceCounts(const std::string& text);

// callgrind_annotate --auto=no: the program's total and the own cost of each
// "file:function" as the annotation names it.
struct Annotated {
    double total = 0;
    std::map<std::string, double> self;
};
Annotated ParseAnnotate(const std::string& text);

// The group a "file:function" belongs to in the breakdown of a click.
const char* GroupOf(const std::string& fileFunction);

double Median(std::vector<double> v);
double Mean(const std::vector<double>& v);
// The smallest value at or above the fraction q of the sorted values.
double Percentile(std::vector<double> v, double q);

// Splits what arrives at the node into records and notes when each gesture
// began (tracking id 1) and when the report ending its lift came.
class GestureClock {
public:
    void take(const char* data, size_t n, int64_t now);

    long records = 0;
    std::vector<int64_t> start;
    std::vector<int64_t> end;

private:
    std::string carry_;
    bool lifting_ = false;
};

#endif
