// Problem: applications that crash under the stress leave core dumps that
// QA must find in the morning.
// Solution: point the kernel's core pattern at /tmp, and have a watcher
// thread record each dump in both logs and move it to the save path.
#ifndef TAPFUZZ_WATCH_DUMP_MONITOR_H
#define TAPFUZZ_WATCH_DUMP_MONITOR_H

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <functional>
#include <map>
#include <string>

extern char gcorepath[64];

class dumpMonitor {
public:
    dumpMonitor();
    // Cancels the watcher and waits for it, so nothing of it runs afterwards.
    ~dumpMonitor();
    dumpMonitor(const dumpMonitor&) = delete;
    dumpMonitor& operator=(const dumpMonitor&) = delete;

    void StartMonitor();
    static void* monitorDump(void* arg);

private:
    // Ends the run (status 1) when dumps would be saved where they are
    // looked for.
    void refuseSavePathInDumpFolder();
    // COREFILE_MAX_MB, the largest dump copied across file systems.
    void readDumpLimit();

    pthread_t m_mointor;
    bool m_started;
};

// What the watcher remembers of one dump between scans.
struct DumpSeen {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec mtime = {0, 0};
    bool recorded = false;     // crash record written
    bool failLogged = false;   // a failed move or a refusal was reported
    long retryAt = 0;          // monotonic second before which no copy is tried
    int after = 0;             // last gesture recorded when it was first seen
};

// One pass over a folder of dumps (the watcher passes "/tmp/"): records and
// moves every dump that has not changed since the previous pass. Returns -1
// (errno set) when the folder cannot be listed, 0 otherwise.
class DumpWatch {
public:
    int scan(const char* folder);
    // Called when a dump is first seen (its name in the folder), and after
    // it was moved (its saved path, its name and the owner of its file, by
    // which the application's dumps are told from planted ones).
    std::function<void(const std::string& name, int after)> mOnFound;
    std::function<void(const std::string& saved, const std::string& name, uid_t owner)> mOnSaved;

private:
    void handle(const std::string& folder, const std::string& name, int fd, const struct stat& st);
    void refuseOnce(const std::string& name, const struct stat& st, const std::string& text);
    std::map<std::string, DumpSeen> mSeen;
};

// `to` itself when nothing is there, else the first of to.1 .. to.999 that is
// free; `to` again when all are taken (the move then reports it).
std::string freeDestination(const std::string& to);

// Moves the regular file `from` (one link, never followed through a symlink,
// opened without blocking) to `to` without ever replacing a file at `to`.
// Within one file system a rename; across file systems a copy that keeps the
// holes into a temporary file beside `to`, synced and renamed into place,
// after which the source is removed. A copy is refused when the dump is
// larger than COREFILE_MAX_MB or would leave the target less than 5 % of
// its size or 16 MB free. On failure returns -1, leaves the source as it was,
// no file at `to` and no temporary file, and says why in *why.
int moveDump(const std::string& from, const std::string& to, std::string* why);

// Writes the core pattern into the kernel setting at `path`. 0 on success;
// -1 with the reason in *why otherwise.
int writeCorePattern(const char* path, const char* pattern, std::string* why);

#endif
