// Problem: a crash during the stress run must not go unnoticed, and its dump
// must not be moved while the kernel is still writing it, nor recorded or
// moved twice, nor be taken from a /tmp entry planted to look like one.
// Solution: a pass over the dump folder each second; a dump moves once a
// whole pass has gone by without it changing, is recorded once in both logs
// and the run record, and a failed move is told once and tried again.
#include "watch/dump_scan.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/files.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "record/run_record.h"
#include "watch/core_signature.h"
#include "watch/dump_move.h"
#include "watch/dump_name.h"

namespace {

// Seconds before a refused or failed copy of the same dump is tried again.
const long kCopyRetrySeconds = 60;

}  // namespace

DumpScan::DumpScan(std::string savePath, long long limit) : mSavePath(std::move(savePath)), mLimit(limit) {}

int DumpScan::scan(const char* folder)
{
    DIR* dir = opendir(folder);
    if (dir == nullptr)
        return -1;
    // The names are taken first and handled after the listing is closed:
    // moving entries out of a folder while reading it may skip others.
    std::vector<std::string> names;
    mUnreached = 0;
    for (;;) {
        errno = 0;
        struct dirent* ent = readdir(dir);
        if (ent == nullptr)
            break;
        std::string name = ent->d_name;
        if (name == "." || name == ".." || !isDumpName(name))
            continue;
        names.push_back(name);
    }
    closedir(dir);
    // In name order: dumps that settle in one pass are recorded, counted by
    // signature and logged in the same order every time.
    std::sort(names.begin(), names.end());

    std::string base = folder;
    std::set<std::string> present;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        // A name the watcher gave is a dump already saved here, not a crash.
        if (isSavedName(name))
            continue;
        if (mEnding && mEnding()) {
            // Not lost: they stay where the next run's first pass finds them.
            mUnreached = static_cast<size_t>(
                std::count_if(names.begin() + static_cast<long>(i), names.end(),
                              [this](const std::string& n) { return !isSavedName(n) && mSeen.count(n) == 0; }));
            return 0;
        }
        // Dumps are regular files of one name; a symlink, fifo, folder or
        // hard link of that name is not ours to follow or move.
        struct stat st;
        memset(&st, 0, sizeof st);
        std::string why;
        Fd fd(openDump(base + name, &st, &why));
        bool hardLink = fd.get() < 0 && S_ISREG(st.st_mode) && st.st_nlink > 1;
        if (fd.get() < 0 && !hardLink)
            continue;
        present.insert(name);
        if (hardLink)
            refuseOnce(name, st, "not moved: " + escapeLogText(why));
        else
            handle(base, name, fd.get(), st);
    }
    for (auto it = mSeen.begin(); it != mSeen.end();) {
        if (present.count(it->first) == 0)
            it = mSeen.erase(it);
        else
            ++it;
    }
    return 0;
}

size_t DumpScan::unsaved() const
{
    return mUnreached + static_cast<size_t>(std::count_if(mSeen.begin(), mSeen.end(),
                                                           [](const auto& entry) { return !entry.second.failLogged; }));
}

bool DumpScan::pending() const
{
    return std::any_of(mSeen.begin(), mSeen.end(), [](const auto& entry) { return !entry.second.failLogged; });
}

void DumpScan::refuseOnce(const std::string& name, const struct stat& st, const std::string& text)
{
    Seen& seen = mSeen[name];
    if (seen.dev != st.st_dev || seen.ino != st.st_ino) {
        seen = Seen();
        seen.dev = st.st_dev;
        seen.ino = st.st_ino;
    }
    if (!seen.failLogged)
        LOG(INFO) << text;
    seen.failLogged = true;
}

void DumpScan::handle(const std::string& folder, const std::string& name, int fd, const struct stat& st)
{
    Seen& seen = mSeen[name];
    bool same = seen.dev == st.st_dev && seen.ino == st.st_ino;
    bool settled = same && seen.size == st.st_size && seen.mtime.tv_sec == st.st_mtim.tv_sec &&
                   seen.mtime.tv_nsec == st.st_mtim.tv_nsec;
    if (!same) {
        // A new file under the name: a new dump, to be recorded anew.
        seen = Seen();
        seen.dev = st.st_dev;
        seen.ino = st.st_ino;
        seen.after = recordedEvents();
        if (mOnFound)
            mOnFound(name, seen.after);
    }
    seen.size = st.st_size;
    seen.mtime = st.st_mtim;
    // The kernel may still be writing: a dump moves only once a whole scan
    // interval has passed without it changing.
    if (!settled || monotonicSeconds() < seen.retryAt)
        return;

    std::string newname;
    if (!buildNewName(name, &newname))
        return;
    const std::string from = folder + name;
    const std::string to = freeDestination(mSavePath + newname);

    if (!seen.recorded) {
        // From the descriptor checked above: a name in /tmp opened again
        // could by now be another file. Only headers and notes are read.
        CoreSignature signature = readCoreSignature(fd);
        std::string program;
        pid_t pid = 0;
        if (!splitDumpName(name, &program, &pid))
            program = name;
        LOG(INFO1) << escapeLogText(to);
        LOG(WARNING) << escapeLogText(to);
        recordCrash(to, seen.after, signature.key());
        mTally.count(signature, program);
        LOG(INFO) << escapeLogText(buildMoveCommand(folder, name, to));
        seen.recorded = true;
        seen.key = signature.key();
        seen.signature = signature.text();
        seen.backtrace = signature.backtrace();
    }
    std::string why;
    bool later = false;
    if (moveOpened(fd, st, from, to, mLimit, &why, &later) == 0) {
        if (seen.failLogged)
            LOG(INFO) << "moved " << escapeLogText(from) << " to " << escapeLogText(to) << " after retrying";
        const std::string key = seen.key, signature = seen.signature, backtrace = seen.backtrace;
        mSeen.erase(name);
        if (mOnSaved)
            mOnSaved(to, name, st.st_uid, key, signature, backtrace);
        return;
    }
    if (later)
        seen.retryAt = monotonicSeconds() + kCopyRetrySeconds;
    if (!seen.failLogged) {
        LOG(INFO) << "cannot move " << escapeLogText(from) << ": " << escapeLogText(why)
                  << (later ? "; it stays there and is tried again in a minute" : "; trying again every second");
        seen.failLogged = true;
    }
}
