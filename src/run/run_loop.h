// Problem: every gesture of a run, drawn or replayed, must be injected when
// it is due, recorded with its result, counted and logged, and the run must
// end between two gestures when it is complete or asked to stop.
// Solution: one loop over a GestureSource, the same for both.
#ifndef TAPFUZZ_RUN_RUN_LOOP_H
#define TAPFUZZ_RUN_RUN_LOOP_H

class GestureSource;
class InjectorEvent;

// The gestures injected, per kind.
extern int touch_count;
extern int motion_count;
extern int longclick_count;
extern int presskey_count;
extern int pinch_count;

// Injects the source's gestures until it has none left, the run is
// complete, or the watcher asks the run to stop (a signal ends the process
// at the next check). Each gesture is recorded and counted; at `verbose` 2
// and above it is logged, "Sending ..." and "cycleCounter:N".
void runLoop(GestureSource& source, InjectorEvent& injector, int verbose);

// All the gestures injected so far.
int eventsInjected();

#endif
