// Problem: the bundle is written from names a crashing program chose, on a
// device that may be short of memory, and must never cost the record of the
// crash or the stop of the run.
// Solution: every name escaped as in log lines, the text written aside and
// given its name whole, and a shortage of memory costing the bundle only.
#include "watch/crash_bundle.h"

#include <new>
#include <utility>

#include "base/files.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "record/run_record.h"
#include "watch/app_watch.h"

CrashBundle::CrashBundle(long long seed, std::string command, bool stopOnCrash, const AppWatch* app,
                         std::function<void(int status)> requestStop)
    : mSeed(seed), mCommand(std::move(command)), mStopAfterDump(stopOnCrash), mApp(app),
      mRequestStop(std::move(requestStop))
{
}

void CrashBundle::dumpFound(const std::string& dumpName, int after)
{
    // Dumps whose move keeps failing stay in /tmp; their pictures need not.
    if (mFound.size() >= 8)
        mFound.erase(mFound.begin());
    Found& found = mFound[dumpName];
    found.event = after;
    found.why.clear();
    try {
        found.screen.read(kFrameBuffer, &found.why);
    } catch (const std::bad_alloc&) {
        found.screen = ScreenReader();
        found.why = "out of memory for the screen";
    }
}

void CrashBundle::dumpSaved(const std::string& saved, const std::string& dumpName, uid_t owner,
                            const std::string& signature, const std::string& backtrace)
{
    if (mFound.count(dumpName) == 0)
        dumpFound(dumpName, recordedEvents());
    long event = mFound[dumpName].event;
    bool ours = mApp != nullptr && mApp->ownsDump(dumpName, owner);
    if (ours)
        LOG(INFO) << "app crash: " << escapeLogText(mApp->name()) << " dump:" << escapeLogText(saved)
                  << " after event:" << event << " signature:" << signature;
    // The bundle is a help; the record of the crash and the stop are not
    // given up for it when memory runs short.
    try {
        writeBundle(saved, mFound[dumpName], ours, signature, backtrace);
    } catch (const std::bad_alloc&) {
        LOG(INFO) << "crash bundle: out of memory for " << escapeLogText(saved);
    }
    mFound.erase(dumpName);

    if (mStopAfterDump && (mApp == nullptr || ours) && !mStopAsked) {
        LOG(INFO) << "stop on crash: " << escapeLogText(saved);
        mStopAsked = true;
        mRequestStop(3);
    }
}

void CrashBundle::writeBundle(const std::string& saved, const Found& found, bool ours, const std::string& signature,
                              const std::string& backtrace)
{
    std::string why = found.why;
    if (!why.empty() || found.screen.savePng(saved + ".png", &why) != 0)
        LOG(INFO) << "crash bundle: no screenshot: " << escapeLogText(why);
    // What is still buffered of the record belongs in the bundle too.
    flushRunRecord();
    const std::string record = runRecordPath();
    // Names come from the crashing program and the command line: escaped
    // as in log lines, none can forge a line of the bundle.
    std::string text = "dump: " + escapeLogText(saved) + "\n";
    if (ours)
        text += "app crash: " + escapeLogText(mApp->name()) + "\n";
    text += "seed: " + std::to_string(mSeed) + "\ncommand line: " + escapeLogText(mCommand) +
            "\nlast gesture: event:" + std::to_string(found.event) + "\nsignature: " + signature + "\n" +
            (backtrace.empty() ? "" : "backtrace (frame, module+offset, symbol+offset, how found):\n" + backtrace) +
            "\nlast 50 gestures (" +
            (record.empty() ? "no run record" : escapeLogText(record)) + "):\n" +
            (record.empty() ? "" : tailLines(record, 50)) + "\nlast 50 lines of the main log (" +
            escapeLogText(info_log_filename) + "):\n" + tailLines(info_log_filename, 50);
    if (writeNewFile(saved + ".txt", text, &why) != 0)
        LOG(INFO) << "crash bundle: " << escapeLogText(why);
}
