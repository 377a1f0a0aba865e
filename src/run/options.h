// Problem: the run is steered by the command line and paced between events.
// Solution: the run-control globals and the option and pacing functions,
// shared by main and its tests.
#ifndef TAPFUZZ_RUN_OPTIONS_H
#define TAPFUZZ_RUN_OPTIONS_H

// Options.
extern int mVerbose;
extern int currentargc;
extern char processname[64];
extern int mCount;
extern unsigned int mSeconds;
// --seed: 0 .. 4294967295, or -1 when the seed comes from the clock.
extern long long mSeedOption;
// --replay FILE (null: a run) and its range and speed (0: no pauses).
extern const char* mReplayFile;
extern int mReplayFrom;
extern int mReplayTo;
extern double mReplaySpeed;
// --stop-on-crash: the first saved dump (of the -a application, if named)
// ends the run with status 3.
extern bool mStopOnCrash;

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

// Pacing.
extern long mThrottle;
extern int start_time_interval;
extern int end_time_interval;
void parse_event_interval();
long get_interval();

#endif
