// Problem: drawn gestures must come out in the run's fixed order of draws,
// so that one seed repeats the run byte for byte.
// Solution: the gesture's draws, then its swipe path's seed, from the one
// generator; the pause is drawn after the gesture was injected.
#include "run/random_gestures.h"

#include <stdio.h>

#include "base/logger.h"
#include "gesture/injector_event.h"
#include "gesture/random_event_source.h"
#include "gesture/screen_explorer.h"
#include "run/pacing.h"

RandomGestures::RandomGestures(RandomEventSource& events, InjectorEvent& injector, int count, int hours,
                               ScreenExplorer& explorer)
    : mEvents(events), mInjector(injector), mCount(count), mHours(hours), mExplorer(explorer)
{
}

bool RandomGestures::ready()
{
    if (!mEvents.checkDrawable())
        return false;
    if (mEvents.canDraw(FACTOR_PINCH)) {
        const int slots = mInjector.readPanelSlots();
        const char* why = !mInjector.hasPinchFunction() ? "the driver library lacks touchPinch"
                          : slots < 2                   ? "the touch panel reports fewer than 2 slots"
                                                        : nullptr;
        if (why != nullptr) {
            const std::string text = std::string("tapfuzz: pinches cannot be injected (") + why + ")";
            fprintf(stderr, "%s\n", text.c_str());
            LOG(INFO) << text;
        }
    }
    if (anythingInjectable())
        return true;
    const std::string text = "tapfuzz: nothing of the event mix can be injected (" + nothingInjectableCause() + ")";
    fprintf(stderr, "%s\n", text.c_str());
    LOG(INFO) << text;
    return false;
}

std::string RandomGestures::mixText() const
{
    return mEvents.mixText();
}

int RandomGestures::clickHoldMs() const
{
    return mEvents.clickHoldMs();
}

bool RandomGestures::next(Gesture* gesture)
{
    gesture->event = mEvents.getNextEvent();
    gesture->pathSeed = gesture->event.eventTye == FACTOR_MOTION ? mEvents.drawPathSeed() : 0;
    // After the draws, which stay those of a run without --explore: the
    // screen as it is just before the gesture, and the gesture placed by it.
    if (gesture->event.eventTye >= 0) {
        mExplorer.look();
        // Which screen each gesture met, for a look at how a run got about.
        if (mExplorer.screen() >= 0)
            LOG(DEBUG) << "screen:" << mExplorer.screen() << (mExplorer.screenWasNew() ? " new" : "");
        mExplorer.place(&gesture->event);
    }
    return true;
}

long RandomGestures::pauseAfter()
{
    mThrottle = get_interval();
    return mThrottle;
}

bool RandomGestures::complete(int injected) const
{
    return mHours == 0 && injected == mCount;
}

bool RandomGestures::anythingInjectable() const
{
    for (int kind = FACTOR_TOUCH; kind < FACTORZ_COUNT; ++kind)
        if (mEvents.canDraw(kind) && mInjector.canInject(kind))
            return true;
    return false;
}

// Why nothing can be injected: the library (not loaded, or without the
// functions of the kinds in the mix) or the key table (key presses are all
// the library could inject, and the profile sets no key).
std::string RandomGestures::nothingInjectableCause() const
{
    bool keysOnly = mInjector.canInject(FACTOR_PRESSKEY) && !mEvents.hasKeys();
    for (int kind = FACTOR_TOUCH; kind < FACTOR_PRESSKEY; ++kind)
        keysOnly = keysOnly && !(mEvents.canDraw(kind) && mInjector.canInject(kind));
    if (keysOnly)
        return "the device profile sets no key (HWKEY_), and key presses are all the driver library "
               "can inject";
    return "driver library not loaded, or it lacks the functions the mix needs";
}
