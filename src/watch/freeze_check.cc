// Problem: a frozen application must be told from an idle screen and from
// gestures that hit inert parts of a working one, and reported once per
// stall, not every second.
// Solution: only a screen unchanged while gestures kept coming, and whose
// application's main thread went into no wait for them, is frozen; the
// stall ends with the next change of the hash or the thread's next wait.
#include "watch/freeze_check.h"

#include <errno.h>
#include <signal.h>
#include <time.h>

#include <new>

#include "base/files.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "base/results_folder.h"
#include "watch/app_watch.h"

namespace {

std::string localStamp()
{
    time_t now = time(nullptr);
    struct tm tmv;
    char buf[64] = "";
    if (localtime_r(&now, &tmv) != nullptr)
        strftime(buf, sizeof buf, "%Y-%m-%d_%H:%M:%S", &tmv);
    return buf;
}

}  // namespace

bool threadStill(const ThreadLook& before, const ThreadLook& now)
{
    // A GUI thread waits for its events in poll() or a read, and every
    // wait it goes into is a voluntary switch: gestures it handles show as
    // a count that moved. A busy loop stays runnable and a deadlocked or
    // stalled thread sleeps on, both with the count where it was.
    return before.pid != 0 && now.pid == before.pid && now.start == before.start && now.waits == before.waits;
}

std::string stillText(const ThreadLook& look, int seconds)
{
    const std::string in = " in " + std::to_string(seconds) + " s";
    if (look.state == 'R')
        return "running, no wait" + in;
    // The letter comes from the kernel, but a log line takes no byte on trust.
    const std::string state = escapeLogText(std::string(1, look.state));
    return (look.state == 'T' || look.state == 't' ? "stopped (" : "asleep (") + state + "), not woken" + in;
}

FreezeCheck::FreezeCheck(int seconds, int abort, const AppWatch* app)
    : mSeconds(seconds > 0 ? seconds : 0), mAbort(abort), mApp(app)
{
    // A screen unchanged under gestures is what a healthy application shows
    // when they hit its inert parts; without the application to look at
    // there is no telling, and a false freeze would abort a working one.
    if (mSeconds > 0 && mApp == nullptr) {
        LOG(INFO) << "freeze check: no application named (-a): an unchanged screen alone is not called a freeze";
        mSeconds = 0;
    }
}

void FreezeCheck::poll(long event, long long nowMs)
{
    // Memory too short even for a piece of the frame costs this check, not the run.
    try {
        if (mSeconds > 0)
            check(event, nowMs);
    } catch (const std::bad_alloc&) {
        LOG(INFO) << "freeze check: out of memory for the screen, tried again in a second";
    }
}

void FreezeCheck::check(long event, long long nowMs)
{
    std::string why;
    uint64_t hash = 0;
    if (ScreenReader::hashScreen(kFrameBuffer, &hash, &why) != 0) {
        LOG(INFO) << "freeze check off: " << escapeLogText(why);
        mSeconds = 0;
        return;
    }
    const bool gesturesArriving = event != mEventsAtLastCheck;
    mEventsAtLastCheck = event;
    // An application not running now (exited, restarting) gives no look,
    // and the clock starts again when it is back.
    ThreadLook look;
    if (!mApp->lookAtMainThread(&look))
        look = ThreadLook();
    const bool still = threadStill(mLook, look);
    mLook = look;
    if (!mHaveHash || hash != mScreenHash || !still) {
        mHaveHash = true;
        mScreenHash = hash;
        mChangedAt = nowMs;
        mLogged = false;
        return;
    }
    // Only a screen that ignores input is frozen: gestures came since the
    // check before (itself after the change), so a screen left alone (a run
    // that has ended, and waits for its last dumps) is not. Milliseconds,
    // not whole seconds, so that a stall is never called longer than it
    // was. One run of a stall is reported once.
    if (mLogged || nowMs - mChangedAt < mSeconds * 1000LL || !gesturesArriving)
        return;
    mLogged = true;
    ++mFreezes;
    const std::string app = "app:" + escapeLogText(mApp->name()) + " pid:" + std::to_string(look.pid);
    LOG(INFO) << "freeze: screen unchanged for " << mSeconds << " s after event:" << event;
    LOG(INFO) << "freeze: " << app << " main thread " << stillText(look, mSeconds);
    std::string shot = resultsFolder() + "freeze-" + localStamp() + ".png";
    // The whole frame only now, for the picture, and let go with it; a
    // frame the memory left cannot hold costs the picture, not the check.
    int shotDone = -1;
    try {
        ScreenReader screen;
        if (screen.read(kFrameBuffer, &why) == 0)
            shotDone = screen.savePng(shot, &why);
    } catch (const std::bad_alloc&) {
        why = "out of memory for the screen";
    }
    if (shotDone == 0)
        LOG(INFO) << "freeze: screenshot " << escapeLogText(shot);
    else
        LOG(INFO) << "freeze: no screenshot: " << escapeLogText(why);
    if (mAbort == 1) {
        if (mApp->signal(SIGABRT) == 0)
            LOG(INFO) << "freeze: SIGABRT to " << app;
        else
            LOG(INFO) << "freeze: no SIGABRT to " << app << ": " << errorText(errno);
    }
}
