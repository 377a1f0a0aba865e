// Problem: a crash during the stress run must not go unnoticed, its dump
// must reach the save folder with a bundle beside it, and the watching must
// neither slow the injection nor be cut off in the middle of a move or a
// log line.
// Solution: the kernel writes dumps to /tmp under a fixed pattern; a thread
// that takes process signals nowhere, cancelled only while it sleeps, ticks
// the parts of the watch once a second.
#include "watch/dump_monitor.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <utility>

#include "base/clock.h"
#include "base/files.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "gesture/screen_explorer.h"
#include "record/run_record.h"
#include "watch/app_watch.h"
#include "watch/core_pattern.h"
#include "watch/crash_bundle.h"
#include "watch/dump_move.h"
#include "watch/dump_scan.h"
#include "watch/freeze_check.h"
#include "watch/progress_line.h"

char gcorepath[64];

dumpMonitor::dumpMonitor(WatchSettings settings, std::function<void(int status)> requestStop)
    : m_mointor(), m_started(false), mSettings(std::move(settings)), mRequestStop(std::move(requestStop)),
      mDumpLimit(kDefaultDumpLimitMb << 20)
{
    snprintf(gcorepath, sizeof gcorepath, "%s", mSettings.savePath.c_str());
}

bool dumpMonitor::setUp()
{
    LOG(INFO) << "corefile save path:" << escapeLogText(gcorepath);
    if (refuseSavePathInDumpFolder())
        return false;
    readDumpLimit();
    setCorePattern();
    return true;
}

bool dumpMonitor::refuseSavePathInDumpFolder()
{
    // Saved dumps keep names that begin with "coredump": in the watched
    // folder they would be found, recorded and moved again for ever, and
    // anyone may plant files there.
    if (!savePathInside(gcorepath, kDumpFolder))
        return false;
    std::string text = std::string("the corefile save path ") + escapeLogText(gcorepath) + " lies in " +
                       kDumpFolder + ", where new dumps are looked for: set COREFILE_PATH to a folder elsewhere";
    LOG(INFO) << text;
    fprintf(stderr, "tapfuzz: %s\n", text.c_str());
    return true;
}

void dumpMonitor::readDumpLimit()
{
    if (mSettings.dumpLimitMb) {
        int mb = *mSettings.dumpLimitMb;
        if (mb >= 1)
            mDumpLimit = static_cast<long long>(mb) << 20;
        else
            LOG(INFO) << "COREFILE_MAX_MB " << mb << " ignored: the limit stays " << kDefaultDumpLimitMb << " MB";
    }
    // A signal ending the run in the middle of a copy leaves no part file.
    removePartFileAtExit();
}

dumpMonitor::~dumpMonitor()
{
    // A copy in progress stops at its next block, so the wait is short.
    setDumpMovesStopping(true);
    mEnding = true;
    if (m_started) {
        pthread_cancel(m_mointor);
        pthread_join(m_mointor, nullptr);
        m_started = false;
        // Never lost in silence: they wait in the folder for the next run.
        if (const size_t left = mUnsaved.load())
            LOG(INFO) << "dumps left in " << kDumpFolder << ": " << left
                      << " not saved by the run's end; the next run saves them";
    }
}

void dumpMonitor::StartMonitor()
{
    if (m_started)
        return;
    setDumpMovesStopping(false);
    // Process signals (SIGINT, SIGTERM, SIGALRM) belong to the run thread.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int ret = pthread_create(&m_mointor, nullptr, monitorDump, this);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (ret != 0) {
        LOG(INFO) << "monitordump thread create failed";
        return;
    }
    m_started = true;
}

bool dumpMonitor::settledSince(long long sinceMs) const
{
    return mCleanPassAt.load() >= sinceMs;
}

void* dumpMonitor::monitorDump(void* arg)
{
    // Cancellation only during the sleep: a move or a log line is never cut
    // off halfway.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    static_cast<dumpMonitor*>(arg)->watch();
    return nullptr;
}

void dumpMonitor::watch()
{
    const WatchSettings& s = mSettings;
    std::unique_ptr<AppWatch> app;
    if (!s.app.empty())
        app.reset(new AppWatch(s.app, s.restart, s.restartDelay));
    else if (!s.restart.empty())
        LOG(INFO) << "APP_RESTART ignored: no application named with -a";
    FreezeCheck freeze(s.freezeSeconds, s.freezeAbort, app.get());
    CrashBundle bundle(s.seed, s.command, s.stopOnCrash, app.get(), mRequestStop);
    DumpScan scan(gcorepath, mDumpLimit);
    scan.mOnFound = [&bundle, &s](const std::string& name, int after) {
        bundle.dumpFound(name, after);
        if (s.onFound)
            s.onFound(name);
    };
    scan.mOnSaved = [&bundle, &s](const std::string& saved, const std::string& name, uid_t owner,
                                  const std::string& key, const std::string& signature, const std::string& backtrace) {
        bundle.dumpSaved(saved, name, owner, signature, backtrace);
        if (s.onSaved)
            s.onSaved(name, owner, key);
    };
    scan.mEnding = [this] { return mEnding.load(); };
    ProgressLine progress(s.count, s.hours, s.startedAt);
    bool maxCrashesMet = false, gaveUpTold = false;
    for (;;) {
        const long long passAt = monotonicMs();
        // Memory running short costs a second of checks, never the run.
        try {
            if (scan.scan(kDumpFolder) != 0) {
                int err = errno;
                std::string text = std::string("cannot list ") + kDumpFolder + ": " + errorText(err);
                LOG(INFO) << text;
                fprintf(stderr, "tapfuzz: %s\n", text.c_str());
                mRequestStop(1);
                return;
            }
            mUnsaved.store(scan.unsaved());
            // The run record is written out on this one-second tick as well.
            flushRunRecord();
            // Nothing more of an ending run: no restart, no freeze check.
            if (mEnding)
                return;
            // --max-crashes: the run ends once that many distinct crashes
            // are counted; every dump of this pass was saved first, and
            // counts.
            if (s.maxCrashes > 0 && !maxCrashesMet && scan.tally().distinct() >= s.maxCrashes) {
                maxCrashesMet = true;
                LOG(INFO) << "max crashes: " << scan.tally().distinct() << " distinct crashes seen, the run ends";
                mRequestStop(3);
            }
            long event = recordedEvents();
            // A run that is ending has no use for a restarted application.
            if (app && !bundle.stopAsked() && !maxCrashesMet)
                app->poll(event);
            // An application that dies as soon as it starts (or a restart
            // command that never starts it) would be restarted all night
            // for nothing.
            if (app && app->gaveUp() && !gaveUpTold) {
                gaveUpTold = true;
                const std::string text = "app:" + escapeLogText(app->name()) + " dies as soon as it starts (" +
                                         std::to_string(AppWatch::kVainStarts) +
                                         " restarts in a row not seen running): the run ends";
                LOG(INFO) << text;
                fprintf(stderr, "tapfuzz: %s\n", text.c_str());
                // The watcher goes on until the run thread ends the
                // process: it is never left finished and unjoined.
                mRequestStop(1);
            }
            freeze.poll(event, monotonicMs());
            const long now = monotonicSeconds();
            ProgressCounts counts;
            counts.done = event;
            counts.crashes = scan.tally().crashes();
            counts.distinct = scan.tally().distinct();
            counts.exits = app ? app->exits() : 0;
            counts.freezes = freeze.freezes();
            const ScreenFigures figures = screenFigures();
            if (figures.known)
                counts.screens = screenFiguresText(figures);
            progress.poll(now, counts);
            if (!scan.pending())
                mCleanPassAt.store(passAt);
        } catch (const std::bad_alloc&) {
            LOG(INFO) << "watcher: out of memory, checks tried again in a second";
        }
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        sleep(1);
        pthread_testcancel();
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    }
}
