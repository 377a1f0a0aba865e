// Problem: a frozen screen must be told from an idle one, and reported once
// per stall, not every second.
// Solution: only a screen unchanged while gestures kept coming is frozen;
// the stall ends with the next change of the hash.
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

FreezeCheck::FreezeCheck(int seconds, int abort, const AppWatch* app)
    : mSeconds(seconds > 0 ? seconds : 0), mAbort(abort), mApp(app)
{
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
    if (!mHaveHash || hash != mScreenHash) {
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
    LOG(INFO) << "freeze: screen unchanged for " << mSeconds << " s after event:" << event;
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
    if (mAbort == 1 && mApp != nullptr && mApp->pid() > 0) {
        const std::string app = "app:" + escapeLogText(mApp->name()) + " pid:" + std::to_string(mApp->pid());
        if (mApp->signal(SIGABRT) == 0)
            LOG(INFO) << "freeze: SIGABRT to " << app;
        else
            LOG(INFO) << "freeze: no SIGABRT to " << app << ": " << errorText(errno);
    }
}
