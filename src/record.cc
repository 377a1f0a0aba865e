// Problem: the run record must hold every injected gesture and every crash,
// from two threads, without slowing the injection it records.
// Solution: one buffered stream under a lock; a line per gesture is only
// formatted into the buffer, the watcher's one-second tick and exit() write
// it out.
#include "record.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <initializer_list>

#include "CoredumpMonitor.h"
#include "Logger.h"

namespace {

pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
// Guarded by gLock.
FILE* gFile = nullptr;
int gLastIndex = 0;
std::string gPath;
// Written once, before the first gesture, by the run thread.
struct timespec gStart = {0, 0};
bool gStarted = false;

// The state of a swipe's own stream, and the run's while it is put aside.
char gPathState[128];
char* gRunState = nullptr;

// The record's stream buffer. setvbuf() takes a size only together with a
// buffer of the caller's: given none, the C library allocates one block of
// the file system's size (4 KB), and the run thread itself would write the
// record out every hundred-odd gestures. 16 KB hold a second of 500 gestures.
char gBuffer[16 * 1024];

// A gesture line, "INDEX MICROSECONDS KIND FIELDS...", put together by hand:
// printf's parsing of its format cost the run thread more than the rest of
// a click's bookkeeping together.
void putLine(FILE* f, int index, long long at, const char* kind, std::initializer_list<long long> fields)
{
    // At most 10 + 20 + 9 + 8 * 12 characters and the blanks.
    char line[192];
    char* const end = line + sizeof line;
    char* p = line;
    auto put = [&](char c) {
        if (p < end)
            *p++ = c;
    };
    p = std::to_chars(p, end, index).ptr;
    put(' ');
    p = std::to_chars(p, end, at).ptr;
    put(' ');
    for (const char* k = kind; *k != '\0'; ++k)
        put(*k);
    for (long long v : fields) {
        put(' ');
        p = std::to_chars(p, end, v).ptr;
    }
    put('\n');
    fwrite(line, 1, static_cast<size_t>(p - line), f);
}

void closeAtExit()
{
    pthread_mutex_lock(&gLock);
    if (gFile != nullptr)
        fclose(gFile);
    gFile = nullptr;
    pthread_mutex_unlock(&gLock);
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
    const std::string folder = std::string("./results/tapfuzz") + global_timep + "/";
    std::string path;
    FILE* f = nullptr;
    for (int n = 1; f == nullptr && n < 100; ++n) {
        char name[64];
        snprintf(name, sizeof name, n == 1 ? "run-%s-%ld.events" : "run-%s-%ld-%d.events", hms,
                 static_cast<long>(getpid()), n);
        path = folder + name;
        f = fopen(path.c_str(), "wxe");
        if (f == nullptr && errno != EEXIST)
            break;
    }
    if (f == nullptr) {
        LOG(INFO) << "cannot create the run record " << path << ": " << strerror(errno);
        return "";
    }
    // A paced run's lines wait for the watcher's tick; the memory is resident
    // for the whole run, hence not more.
    setvbuf(f, gBuffer, _IOFBF, sizeof gBuffer);
    fprintf(f,
            "# tapfuzz run record\n# seed:%lld\n# command:%s\n# screen:%dx%d\n# grid:%d\n"
            "# library:%s %s\n# mix:%s\n# start:%s\n",
            info.seed, escapeLogText(info.command).c_str(), info.width, info.hight, info.grid,
            escapeLogText(info.library).c_str(), escapeLogText(info.version).c_str(), info.mix.c_str(), stamp);
    if (!info.zones.empty())
        fprintf(f, "# exclude:%s\n", info.zones.c_str());
    fflush(f);

    clock_gettime(CLOCK_MONOTONIC, &gStart);
    gStarted = true;
    pthread_mutex_lock(&gLock);
    gFile = f;
    gPath = path;
    pthread_mutex_unlock(&gLock);
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
    pthread_mutex_lock(&gLock);
    int index = ++gLastIndex;
    if (gFile != nullptr) {
        switch (e.eventTye) {
        case FACTOR_TOUCH:
            putLine(gFile, index, at, "click", {e.x, e.y, result});
            break;
        case FACTOR_MOTION:
            putLine(gFile, index, at, "swipe", {e.x, e.y, e.x1, e.y1, e.step, e.duration, pathSeed, result});
            break;
        case FACTOR_LONGCLICK:
            putLine(gFile, index, at, "longclick", {e.x, e.y, e.duration, result});
            break;
        default:
            putLine(gFile, index, at, "key", {e.code, result});
            break;
        }
    }
    pthread_mutex_unlock(&gLock);
}

void recordCrash(const std::string& dump, int after)
{
    pthread_mutex_lock(&gLock);
    if (gFile != nullptr) {
        fprintf(gFile, "# crash:%s after:%d\n", escapeLogText(dump).c_str(), after);
        fflush(gFile);
    }
    pthread_mutex_unlock(&gLock);
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
    pthread_mutex_lock(&gLock);
    if (gFile != nullptr)
        fflush(gFile);
    pthread_mutex_unlock(&gLock);
}

unsigned int drawPathSeed()
{
    return static_cast<unsigned int>(rand());
}

void beginPathStream(unsigned int pathSeed)
{
    gRunState = initstate(pathSeed, gPathState, sizeof gPathState);
}

void endPathStream()
{
    if (gRunState != nullptr)
        setstate(gRunState);
    gRunState = nullptr;
}
