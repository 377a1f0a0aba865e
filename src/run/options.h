// Problem: the command line sets the event mix, the pause, the run time, the
// verbosity, the number of events and the replay, and COUNT has to stand in
// one place.
// Solution: one table of the options drives the parser, the usage text and
// the warning about unknown words; the parser fills the globals below and
// RunOptions, and the run is handed RunOptions alone.
#ifndef TAPFUZZ_RUN_OPTIONS_H
#define TAPFUZZ_RUN_OPTIONS_H

#include <limits.h>

#include <string>
#include <vector>

#include "gesture/pointer.h"

// Options.
extern int mVerbose;
extern int currentargc;
extern char processname[64];
extern int mCount;
extern unsigned int mSeconds;

// The option side of the event mix: a given percentage stored negated,
// 1.0 for a kind left at its default.
float getOptionFactor(int index);
void setOptionFactor(int index, float value);
int getRunHours();

// The pre-scan of every argument: verbosity flags and currentargc. Returns
// true when "--version" stands anywhere on the line.
bool preScanOptions(int argc, char** argv);
bool processOptions(int argc, char** argv);
bool parse_opt(int argc, char** argv);

// After processOptions: one line per argument both passes skipped (not an
// option, not the value of one, not a verbosity flag, not the COUNT),
// "tapfuzz: ignoring unknown argument 'ARG'", the argument escaped as in
// log lines; for a word starting with "--" close to a known long option,
// " (did you mean --OPTION?)" follows. A run of hours or a replay takes no
// COUNT, so a word left over there is named too.
std::vector<std::string> unknownArguments(int argc, char** argv);
// The same lines on standard error and in the main log.
void noteUnknownArguments(int argc, char** argv);

// What the command line asks of the run, as the parser left it: the one
// thing the rest of the run is handed, and the only home of the options
// that no global above holds.
struct RunOptions {
    int verbose = 0;                 // -v flags
    std::string app;                 // -a NAME ("": none)
    int count = 100;                 // COUNT
    int hours = 0;                   // --hour (0: a run by count)
    unsigned int seconds = 0;        // the alarm that ends a run of hours
    long long seed = -1;             // --seed, -1: from the clock
    const char* replayFile = nullptr;  // --replay FILE (null: a run)
    int replayFrom = 1, replayTo = INT_MAX;  // --from, --to
    double replaySpeed = 1.0;        // --speed
    bool stopOnCrash = false;        // --stop-on-crash
    long maxCrashes = 0;             // --max-crashes N (0: no limit)
    bool explore = false;            // --explore
    const char* shrinkFile = nullptr;  // --shrink RECORD (null: no shrink)
    int shrinkCrash = 0;             // --crash N (0: the first crash of -a)
    int shrinkTries = 200;           // --tries
    int shrinkWait = 5;              // --wait, seconds
    float factors[FACTORZ_COUNT] = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f};  // as getOptionFactor
};
RunOptions runOptions();

// The usage text, printed on a usage error.
std::string showusage();
// The number at the start of argv (0 when there is none, or argv is null),
// through a float as the run has always read it; `str` names the value.
float nextOptionLong(const char* argv, std::string str);
// Truncates a float towards zero into an int, saturating at the int range
// (a plain cast of an out-of-range float is undefined).
int floatToInt(float value);

#endif
