// Problem: a run ends by its count, by its time (SIGALRM), by Ctrl-C
// (SIGINT) or a job's stop (SIGTERM), or because the watcher thread asks
// (the dump of a --stop-on-crash run, a dump folder it cannot list);
// whatever ends it must do so on the run thread, between two gestures, with
// the status it owes.
// Solution: the signal handlers and the watcher only note what they ask for
// and wake the run's pause through one pipe; the run thread looks at the
// requests between gestures and ends the process here, and only here.
#ifndef TAPFUZZ_RUN_STOP_H
#define TAPFUZZ_RUN_STOP_H

#include <string>

// The handlers of SIGINT and SIGTERM (Stop) and SIGALRM.
void Stop(int signo);
void Alarm_exit(int signo);
// Stops the console echo; the rest of the run ends with the process.
void RecycleResource();

// The handlers and the wake-up pipe; the first thing the program does.
void installStopHandlers();

// Asks the run to end with `status`, from any thread (the watcher asks for
// 3 or 1); the first request wins, and wakes the pause.
void requestRunStop(int status);
// The status asked for; 0 while none was.
int stopRequested();

// A signal ends the run here, on the run thread: "stopped by SIGINT",
// "stopped by SIGTERM" or "stopped by SIGALRM" in the main log, no summary,
// status 0.
void stopIfSignalled();
// SIGINT, SIGTERM or SIGALRM when one has asked the run to end, else 0; for
// a caller that must finish its work before it ends.
int stopSignal();
// Its name as the log writes it ("SIGTERM"); "" while none arrived.
const char* stopSignalName();
// Sleeps `usec` microseconds, or less when a signal or a request asks the
// run to end.
void waitOrSignal(long usec);

// Ends the process with `status`, the console echo stopped first.
[[noreturn]] void endRun(int status);
// A refusal at start-up: `text` on standard error and in the main log,
// status 1.
[[noreturn]] void endAtStart(const std::string& text);

#endif
