// Problem: the run record must hold every injected gesture and every crash,
// from two threads, without slowing the injection it records, and a record
// cut short (a full disk, a SIGKILL) must still end at a whole line.
// Solution: one buffer of whole lines under a lock; a line per gesture is
// only formatted into it, and it goes to the file in one write() when the
// next line would not fit, on the watcher's one-second tick and at exit.
#include "record/run_record.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "base/files.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "base/results_folder.h"
#include "record/record_line.h"

namespace {

pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
// Guarded by gLock.
int gFd = -1;
int gLastIndex = 0;
std::string gPath;
// Whole lines not yet written out. 16 KB hold a second of 500 gestures, so
// a paced run's lines wait for the watcher's tick; the memory is resident
// for the whole run, hence not more.
char gBuffer[16 * 1024];
size_t gUsed = 0;
// Written once, before the first gesture, by the run thread.
struct timespec gStart = {0, 0};
bool gStarted = false;

// Writes `size` bytes of whole lines (gLock held). When the file refuses
// them, what reached it of them is cut back to its last whole line, the
// record is closed for the rest of the run, and *why says so.
bool writeLines(const char* data, size_t size, std::string* why)
{
    size_t done = 0;
    if (writeAll(gFd, data, size, &done) == 0)
        return true;
    *why = gPath + ": " + errorText(errno);
    size_t whole = done;
    while (whole > 0 && data[whole - 1] != '\n')
        --whole;
    off_t at = lseek(gFd, 0, SEEK_CUR);
    if (at >= 0 && whole < done)
        (void)!ftruncate(gFd, at - static_cast<off_t>(done - whole));
    close(gFd);
    gFd = -1;
    return false;
}

// Writes out the buffer (gLock held); false, with *why, at the failure.
bool writeOut(std::string* why)
{
    bool ok = gUsed == 0 || writeLines(gBuffer, gUsed, why);
    gUsed = 0;
    return ok;
}

// A line of any length (gLock held): into the buffer, or past it.
bool appendLine(const std::string& line, std::string* why)
{
    if (gUsed + line.size() > sizeof gBuffer && !writeOut(why))
        return false;
    if (line.size() > sizeof gBuffer)
        return writeLines(line.data(), line.size(), why);
    memcpy(gBuffer + gUsed, line.data(), line.size());
    gUsed += line.size();
    return true;
}

// Once per run: the record stops at its first failure.
void logFailure(const std::string& why)
{
    if (!why.empty())
        LOG(INFO) << "record: not written: " << why;
}

void closeAtExit()
{
    std::string why;
    pthread_mutex_lock(&gLock);
    if (gFd >= 0 && writeOut(&why)) {
        close(gFd);
        gFd = -1;
    }
    pthread_mutex_unlock(&gLock);
    logFailure(why);
}

}  // namespace

std::string openRunRecord(const RunInfo& info)
{
    time_t now = time(nullptr);
    struct tm tmv;
    char hms[16] = "000000";
    char stamp[32] = "";
    if (localtime_r(&now, &tmv) != nullptr) {
        strftime(hms, sizeof hms, "%H%M%S", &tmv);
        strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
    }
    // Two runs in one second under one PID (a container, a reboot) must not
    // share a record: a taken name gets -2, -3, ... and is never replaced.
    const std::string& folder = resultsFolder();
    std::string path;
    int fd = -1;
    for (int n = 1; fd < 0 && n < 100; ++n) {
        char name[64];
        snprintf(name, sizeof name, n == 1 ? "run-%s-%ld.events" : "run-%s-%ld-%d.events", hms,
                 static_cast<long>(getpid()), n);
        path = folder + name;
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        logFailure(path + ": " + errorText(errno));
        return "";
    }
    std::string header = "# tapfuzz run record\n" + headerLine("seed", std::to_string(info.seed)) +
                         headerLine("command", escapeLogText(info.command)) +
                         headerLine("screen", std::to_string(info.width) + "x" + std::to_string(info.hight)) +
                         headerLine("grid", std::to_string(info.grid)) +
                         headerLine("library", escapeLogText(info.library) + " " + escapeLogText(info.version)) +
                         headerLine("mix", info.mix) + headerLine(kClickHoldKey, std::to_string(info.clickHoldMs)) +
                         headerLine("start", stamp);
    if (!info.zones.empty())
        header += headerLine("exclude", info.zones);
    if (info.explore)
        header += headerLine("explore", "1");

    std::string why;
    pthread_mutex_lock(&gLock);
    gFd = fd;
    gPath = path;
    gUsed = 0;
    // A record whose header cannot be written is none: the run keeps no
    // record rather than a file that looks like a run of no gestures.
    const bool ok = appendLine(header, &why) && writeOut(&why);
    if (!ok)
        gPath.clear();
    pthread_mutex_unlock(&gLock);
    logFailure(why);
    if (!ok)
        return "";

    clock_gettime(CLOCK_MONOTONIC, &gStart);
    gStarted = true;
    atexit(closeAtExit);
    return path;
}

long long recordClock()
{
    if (!gStarted)
        return 0;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - gStart.tv_sec) * 1000000LL + (now.tv_nsec - gStart.tv_nsec) / 1000;
}

void recordEvent(long long at, const Pointer& e, unsigned int pathSeed, int result)
{
    std::string why;
    pthread_mutex_lock(&gLock);
    int index = ++gLastIndex;
    if (gFd >= 0 && (gUsed + kMaxGestureLine <= sizeof gBuffer || writeOut(&why)))
        gUsed = static_cast<size_t>(writeGestureLine(gBuffer + gUsed, index, at, e, pathSeed, result) - gBuffer);
    pthread_mutex_unlock(&gLock);
    logFailure(why);
}

void recordCrash(const std::string& dump, int after, const std::string& signature)
{
    std::string why;
    pthread_mutex_lock(&gLock);
    if (gFd >= 0 && appendLine(crashLine(escapeLogText(dump), after, signature), &why))
        writeOut(&why);
    pthread_mutex_unlock(&gLock);
    logFailure(why);
    LOG(INFO) << "crash after event:" << after;
}

std::string runRecordPath()
{
    pthread_mutex_lock(&gLock);
    std::string path = gPath;
    pthread_mutex_unlock(&gLock);
    return path;
}

int recordedEvents()
{
    pthread_mutex_lock(&gLock);
    int index = gLastIndex;
    pthread_mutex_unlock(&gLock);
    return index;
}

void flushRunRecord()
{
    std::string why;
    pthread_mutex_lock(&gLock);
    if (gFd >= 0)
        writeOut(&why);
    pthread_mutex_unlock(&gLock);
    logFailure(why);
}
