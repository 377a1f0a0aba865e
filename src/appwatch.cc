// Problem: a dump, an exit or a hang of the application under test must be
// told apart from the rest of the device and come with enough context to be
// fixed, without slowing the injection of events.
// Solution: the core-dump watcher thread runs these checks once a second:
// /proc for the named application (restarting it through the shell), a hash
// of the frame buffer for a frozen screen, and a bundle beside each dump.
#include "appwatch.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "CoredumpMonitor.h"
#include "Logger.h"
#include "RunControl.h"
#include "profile.h"
#include "record.h"

extern char** environ;

std::atomic<long long> gRunSeed{0};
std::atomic<int> gRunStop{0};
std::atomic<int> gRunStopWake{-1};

void requestRunStop(int status)
{
    int none = 0;
    if (!gRunStop.compare_exchange_strong(none, status))
        return;
    int fd = gRunStopWake;
    char byte = 1;
    if (fd >= 0)
        (void)!write(fd, &byte, 1);
}

namespace {

const char kFrameBuffer[] = "/dev/fb0";
const char kProfile[] = "./device.conf";
// The kernel keeps 15 characters of a program's name (comm).
const size_t kCommLength = 15;
const size_t kSeenPids = 64;

long monoSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec);
}

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

std::string readSmall(const std::string& path, size_t max)
{
    File f(fopen(path.c_str(), "re"), fclose);
    std::string text(max, '\0');
    text.resize(f ? fread(&text[0], 1, max, f.get()) : 0);
    return text;
}

int profileInt(const char* key, int fallback)
{
    int value = fallback;
    return GetProfileInt(kProfile, key, &value) == 0 ? value : fallback;
}

std::string profileText(const char* key)
{
    char value[kProfileLineMax + 1] = "";
    GetProfileString(kProfile, key, value);
    return value;
}

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

AppWatch::AppWatch(const std::string& name, const std::string& restart, int delay)
    : mName(name), mRestart(restart), mDelay(delay < 0 ? 3 : delay)
{
}

bool AppWatch::readProc(pid_t pid, Proc* proc) const
{
    std::string dir = "/proc/" + std::to_string(pid) + "/";
    std::string stat = readSmall(dir + "stat", 1024);
    // The name sits in parentheses and may itself hold ')' or blanks.
    size_t open = stat.find('('), close = stat.rfind(')');
    char state = 0;
    int parent = 0;
    unsigned long long start = 0;
    if (open == std::string::npos || close == std::string::npos || close < open ||
        sscanf(stat.c_str() + close + 1, " %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
               &state, &parent, &start) != 3)
        return false;
    // A dead process waiting for its parent is gone for the user.
    if (state == 'Z' || state == 'X' || state == 'x')
        return false;
    if (stat.compare(open + 1, close - open - 1, mName) != 0) {
        // Kernel threads (children of kthreadd, pid 2) have no command line.
        if (parent == 2 || pid == 2)
            return false;
        std::string first = readSmall(dir + "cmdline", 1024).c_str();
        if (first.substr(first.rfind('/') + 1) != mName)
            return false;
    }
    proc->pid = pid;
    proc->parent = parent;
    proc->start = start;
    return true;
}

AppWatch::Proc AppWatch::find() const
{
    Proc proc;
    // The process seen last time, if it still runs, spares a scan of /proc.
    if (mPid != 0 && readProc(mPid, &proc) && proc.start == mStart)
        return proc;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), closedir);
    while (dir) {
        struct dirent* e = readdir(dir.get());
        if (e == nullptr)
            break;
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid > 0 && *end == '\0' && pid != getpid() && readProc(static_cast<pid_t>(pid), &proc))
            return proc;
    }
    return Proc();
}

std::string AppWatch::exitStatus()
{
    for (size_t i = 0; i < mChildren.size(); ++i) {
        pid_t child = mChildren[i];
        if (child != mPid && child != mParent)
            continue;
        // A shell that ran the application ends a moment after it.
        int st = 0;
        pid_t r;
        for (int tries = 0; (r = waitpid(child, &st, WNOHANG)) == 0 && tries < 20; ++tries)
            usleep(10000);
        if (r != child)
            return "";
        mChildren.erase(mChildren.begin() + static_cast<long>(i));
        if (WIFSIGNALED(st))
            return " signal:" + std::to_string(WTERMSIG(st));
        // A shell reports a command killed by signal N as status 128+N.
        if (child != mPid && WEXITSTATUS(st) > 128)
            return " signal:" + std::to_string(WEXITSTATUS(st) - 128);
        return " status:" + std::to_string(WEXITSTATUS(st));
    }
    return "";
}

void AppWatch::poll(long event)
{
    long now = monoSeconds();
    Proc proc = find();
    const std::string label = "app:" + escapeLogText(mName);
    if (!mLogged || proc.pid != mPid || proc.start != mStart) {
        if (mPid != 0)
            LOG(INFO) << label << " exited after event:" << event << exitStatus();
        if (proc.pid != 0)
            LOG(INFO) << label << " pid:" << proc.pid;
        else if (!mLogged)
            LOG(INFO) << label << " not running";
        if (proc.pid == 0)
            mGoneSince = now;
        else if (std::find(mSeen.begin(), mSeen.end(), proc.pid) == mSeen.end())
            mSeen.push_back(proc.pid);
        if (mSeen.size() > kSeenPids)
            mSeen.erase(mSeen.begin());
        mLogged = true;
        mPid = proc.pid;
        mParent = proc.parent;
        mStart = proc.start;
    }
    // Shells that ended without a running application to report on.
    for (size_t i = 0; i < mChildren.size();) {
        int st;
        pid_t child = mChildren[i];
        if (child != mPid && child != mParent && waitpid(child, &st, WNOHANG) != 0)
            mChildren.erase(mChildren.begin() + static_cast<long>(i));
        else
            ++i;
    }
    if (mPid == 0 && !mRestart.empty() && now - mGoneSince >= mDelay && (mLastRestart < 0 || now - mLastRestart >= mDelay))
        restart(now);
}

void AppWatch::restart(long now)
{
    mLastRestart = now;
    // The watcher blocks every signal, and the child would inherit that. A
    // process group of its own keeps a Ctrl-C meant for tapfuzz from it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    std::string command = mRestart;
    char sh[] = "sh", c[] = "-c";
    char* argv[] = {sh, c, &command[0], nullptr};
    pid_t pid = 0;
    int err = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    const std::string label = "app:" + escapeLogText(mName);
    if (err != 0) {
        LOG(INFO) << label << " cannot start APP_RESTART: " << strerror(err);
        return;
    }
    mChildren.push_back(pid);
    LOG(INFO) << label << " restart: " << escapeLogText(mRestart);
}

bool AppWatch::ownsDump(const std::string& dumpName) const
{
    // "coredump-" <comm> "-" <pid> "-" <time>; the comm may hold '-'.
    size_t last = dumpName.rfind('-');
    size_t dash = last == std::string::npos || last == 0 ? std::string::npos : dumpName.rfind('-', last - 1);
    if (dash == std::string::npos || dash < 9)
        return false;
    pid_t pid = static_cast<pid_t>(atol(dumpName.substr(dash + 1, last - dash - 1).c_str()));
    return dumpName.compare(9, dash - 9, mName.substr(0, kCommLength)) == 0 ||
           std::find(mSeen.begin(), mSeen.end(), pid) != mSeen.end();
}

std::string tailLines(const std::string& path, size_t count)
{
    File f(fopen(path.c_str(), "re"), fclose);
    if (!f || fseeko(f.get(), 0, SEEK_END) != 0)
        return "";
    const off_t window = 64 * 1024;
    off_t size = ftello(f.get());
    off_t from = size > window ? size - window : 0;
    std::string text(static_cast<size_t>(size - from), '\0');
    if (fseeko(f.get(), from, SEEK_SET) != 0)
        return "";
    text.resize(fread(&text[0], 1, text.size(), f.get()));
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    if (from > 0 && !lines.empty())
        lines.erase(lines.begin());  // cut by the window
    std::string out;
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        out += lines[i] + "\n";
    return out;
}

RunWatch::RunWatch()
    : mHasApp(processname[0] != '\0'),
      mApp(processname, profileText("APP_RESTART"), profileInt("APP_RESTART_DELAY", 3)),
      mFreezeSeconds(std::max(0, profileInt("FREEZE_SECONDS", 0))),
      mFreezeAbort(profileInt("FREEZE_ABORT", 0))
{
    if (!mHasApp && !profileText("APP_RESTART").empty())
        LOG(INFO) << "APP_RESTART ignored: no application named with -a";
}

void RunWatch::poll()
{
    long event = recordedEvents();
    // A run that is ending has no use for a restarted application.
    if (mHasApp && gRunStop == 0)
        mApp.poll(event);
    if (mFreezeSeconds > 0)
        checkFreeze(event, monoSeconds());
}

void RunWatch::checkFreeze(long event, long now)
{
    std::string why;
    if (mScreen.read(kFrameBuffer, &why) != 0) {
        LOG(INFO) << "freeze check off: " << escapeLogText(why);
        mFreezeSeconds = 0;
        return;
    }
    uint64_t hash = mScreen.hash();
    if (!mHaveHash || hash != mScreenHash) {
        mHaveHash = true;
        mScreenHash = hash;
        mChangedAt = now;
        mEventsAtChange = event;
        mFreezeLogged = false;
        return;
    }
    // Only a screen that ignores input is frozen; one run of a stall is
    // reported once.
    if (mFreezeLogged || now - mChangedAt < mFreezeSeconds || event == mEventsAtChange)
        return;
    mFreezeLogged = true;
    LOG(INFO) << "freeze: screen unchanged for " << mFreezeSeconds << " s after event:" << event;
    std::string shot = info_log_filename.substr(0, info_log_filename.rfind('/') + 1) + "freeze-" + localStamp() + ".png";
    if (mScreen.savePng(shot, &why) == 0)
        LOG(INFO) << "freeze: screenshot " << escapeLogText(shot);
    else
        LOG(INFO) << "freeze: no screenshot: " << escapeLogText(why);
    if (mFreezeAbort == 1 && mHasApp && mApp.pid() > 0) {
        LOG(INFO) << "freeze: SIGABRT to app:" << escapeLogText(mApp.name()) << " pid:" << mApp.pid();
        kill(mApp.pid(), SIGABRT);
    }
}

void RunWatch::dumpFound(const std::string& dumpName, int after)
{
    // Dumps whose move keeps failing stay in /tmp; their pictures need not.
    if (mFound.size() >= 8)
        mFound.erase(mFound.begin());
    Found& found = mFound[dumpName];
    found.event = after;
    found.why.clear();
    found.screen.read(kFrameBuffer, &found.why);
}

void RunWatch::dumpSaved(const std::string& saved, const std::string& dumpName)
{
    if (mFound.count(dumpName) == 0)
        dumpFound(dumpName, recordedEvents());
    Found& found = mFound[dumpName];
    long event = found.event;
    bool ours = mHasApp && mApp.ownsDump(dumpName);
    if (ours)
        LOG(INFO) << "app crash: " << escapeLogText(mApp.name()) << " dump:" << escapeLogText(saved)
                  << " after event:" << event;

    std::string why = found.why;
    if (!why.empty() || found.screen.savePng(saved + ".png", &why) != 0)
        LOG(INFO) << "crash bundle: no screenshot: " << escapeLogText(why);
    mFound.erase(dumpName);
    std::string command = readSmall("/proc/self/cmdline", 4096);
    std::replace(command.begin(), command.end(), '\0', ' ');
    // What is still buffered of the record belongs in the bundle too.
    flushRunRecord();
    const std::string record = runRecordPath();
    // Names and the command line as the log writes them: one line each, UTF-8.
    std::string text = "dump: " + escapeLogText(saved) + "\n";
    if (ours)
        text += "app crash: " + escapeLogText(mApp.name()) + "\n";
    text += "seed: " + std::to_string(gRunSeed.load()) + "\ncommand line: " + escapeLogText(command) +
            "\nlast gesture: event:" + std::to_string(event) + "\n\nlast 50 gestures (" +
            (record.empty() ? "no run record" : record) + "):\n" +
            (record.empty() ? "" : tailLines(record, 50)) + "\nlast 50 lines of the main log (" +
            info_log_filename + "):\n" + tailLines(info_log_filename, 50);
    if (writeNewFile(saved + ".txt", text, &why) != 0)
        LOG(INFO) << "crash bundle: " << escapeLogText(why);

    if (mStopOnCrash && (!mHasApp || ours) && gRunStop == 0) {
        LOG(INFO) << "stop on crash: " << escapeLogText(saved);
        requestRunStop(3);
    }
}
