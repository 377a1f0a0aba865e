// Problem: the loop is the run's hot path on a small device, and the
// gestures it injects must be the ones the log and the record say.
// Solution: the record's clock taken before each gesture, its line only
// formatted into a buffer; the log line only at -v-v; pauses that a signal
// or the watcher cuts short.
#include "run/run_loop.h"

#include "base/logger.h"
#include "gesture/gesture_source.h"
#include "gesture/injector_event.h"
#include "gesture/kinds.h"
#include "record/run_record.h"
#include "run/stop.h"

int touch_count = 0;
int motion_count = 0;
int longclick_count = 0;
int presskey_count = 0;
int pinch_count = 0;

namespace {

void logEvent(const Pointer& event)
{
    char args[96];
    formatKindArgs(event, args, sizeof args);
    LOG(INFO) << "Sending " << kGestureKinds[event.eventTye].action << ":" << args;
}

// The kind's counter: the run's end sums them.
void countEvent(int eventType)
{
    switch (static_cast<FACTOR_TYPE>(eventType)) {
    case FACTOR_TOUCH: ++touch_count; break;
    case FACTOR_MOTION: ++motion_count; break;
    case FACTOR_LONGCLICK: ++longclick_count; break;
    case FACTOR_PRESSKEY: ++presskey_count; break;
    case FACTOR_PINCH: ++pinch_count; break;
    case FACTORZ_COUNT: break;
    }
}

}  // namespace

void runLoop(GestureSource& source, InjectorEvent& injector, int verbose)
{
    int cycleCounter = 0;
    for (;;) {
        stopIfSignalled();
        if (stopRequested() != 0)
            break;
        Gesture gesture;
        if (!source.next(&gesture))
            break;
        // No gesture in many draws (tight zones): look for a signal, then
        // draw on.
        if (gesture.event.eventTye < 0)
            continue;
        // In slices, so that a gap beyond a 32-bit long is still waited whole.
        for (long long w; stopRequested() == 0 && (w = source.untilDue(recordClock())) > 0;) {
            waitOrSignal(static_cast<long>(w < 1000000000 ? w : 1000000000));
            stopIfSignalled();
        }
        if (stopRequested() != 0)
            break;
        const Pointer& event = gesture.event;
        long long at = recordClock();
        // 1: the library lacks the function of this kind; nothing happened.
        if (injector.inject(event, gesture.pathSeed) == 1)
            continue;
        recordEvent(at, event, gesture.pathSeed, injector.lastResult());
        countEvent(event.eventTye);
        if (verbose >= 2)
            logEvent(event);
        ++cycleCounter;
        if (verbose >= 2)
            LOG(INFO) << "cycleCounter:" << cycleCounter;
        // What was injected is now in the log; a signal ends the run here.
        stopIfSignalled();
        waitOrSignal(source.pauseAfter());
        stopIfSignalled();
        if (source.complete(cycleCounter))
            break;
    }
}

int eventsInjected()
{
    return touch_count + motion_count + longclick_count + presskey_count + pinch_count;
}
