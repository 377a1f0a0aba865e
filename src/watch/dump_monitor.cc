// Problem: a crash during the stress run must not go unnoticed, and its dump
// must reach the save folder whole, under a name a person can read.
// Solution: the kernel writes dumps to /tmp under a fixed pattern; a watcher
// thread waits until a dump has stopped growing, records it once in both
// logs and moves it without a shell and without ever replacing a file.
#include "watch/dump_monitor.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <set>
#include <vector>

#include "base/logger.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/log_text.h"
#include "watch/dump_name.h"
#include "watch/app_watch.h"
#include "base/profile.h"
#include "record/run_record.h"

char gcorepath[64];

namespace {

const char kCorePattern[] = "/tmp/coredump-%e-%p-%t";
const char kCorePatternFile[] = "/proc/sys/kernel/core_pattern";
const char kDumpFolder[] = "/tmp/";
// Where dumps go when the profile names no save path: the working directory.
const char kDefaultCorePath[] = "./";
// A dump copied across file systems is refused above this size (profile key
// COREFILE_MAX_MB): a planted file must not fill the disk the logs are on.
const long long kDefaultMaxMb = 512;
long long gMaxDumpBytes = kDefaultMaxMb << 20;
// A copy is refused when it would leave less than this free on the target.
const unsigned long long kMinFreeBytes = 16ULL << 20;
// Seconds before a refused or failed copy of the same dump is tried again.
const time_t kCopyRetrySeconds = 60;

// Raised when the run ends (the monitor's end, or exit after a signal): a
// copy in progress stops at its next block, and no new copy starts.
std::atomic<bool> gStopping{false};
// The hidden file of the copy in progress, removed by exit() when a signal
// ends the run in the middle of a copy. Guarded by gPartMutex.
pthread_mutex_t gPartMutex = PTHREAD_MUTEX_INITIALIZER;
char gPartName[4096] = "";

void removePartAtExit()
{
    gStopping = true;
    pthread_mutex_lock(&gPartMutex);
    if (gPartName[0] != '\0')
        unlink(gPartName);
    gPartName[0] = '\0';
    pthread_mutex_unlock(&gPartMutex);
}

// Writes all of `len` in one call; anything less is an error (ENOSPC when the
// kernel gave no reason).
int writeAll(int fd, const char* data, size_t len)
{
    ssize_t n;
    do {
        n = write(fd, data, len);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    if (static_cast<size_t>(n) != len) {
        errno = ENOSPC;
        return -1;
    }
    return 0;
}

std::string describe(const char* what, const std::string& path, int err)
{
    std::string text = what;
    text += " ";
    text += path;
    text += ": ";
    text += errorText(err);
    return text;
}

// True while `path` still names the file that was opened and checked.
bool sameFile(const std::string& path, const struct stat& st)
{
    struct stat now;
    return lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

// Refuses a copy of `st` into `folder` that would leave the logs beside it
// without room: less than 5 % of the file system or 16 MB, whichever is
// larger. Holes are kept, so only the blocks the dump holds count.
bool roomForCopy(const std::string& folder, const struct stat& st, std::string* why)
{
    struct statvfs fs;
    if (statvfs(folder.c_str(), &fs) != 0)
        return true;  // the copy itself will say what is wrong
    unsigned long long unit = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
    unsigned long long total = static_cast<unsigned long long>(fs.f_blocks) * unit;
    unsigned long long avail = static_cast<unsigned long long>(fs.f_bavail) * unit;
    unsigned long long reserve = total / 20 > kMinFreeBytes ? total / 20 : kMinFreeBytes;
    unsigned long long need = static_cast<unsigned long long>(st.st_blocks) * 512ULL;
    if (need > static_cast<unsigned long long>(st.st_size))
        need = static_cast<unsigned long long>(st.st_size);
    if (avail >= need + reserve)
        return true;
    *why = describe("cannot copy into", folder, ENOSPC) + " (the copy would leave less than " +
           std::to_string(reserve >> 20) + " MB free)";
    return false;
}

// Copies the first `size` bytes of `in` to `out`, the data parts only: the
// holes of a sparse dump stay holes. Stops when the run ends.
int copyData(int in, int out, off_t size, const std::string& from, const std::string& tmp, std::string* why)
{
    std::vector<char> buf(256 * 1024);
    for (off_t pos = 0; pos < size;) {
        off_t data = lseek(in, pos, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break;  // a hole up to the end
        if (data < 0)
            data = pos;  // no hole support: everything is data
        off_t hole = lseek(in, data, SEEK_HOLE);
        if (hole < 0 || hole > size)
            hole = size;
        for (pos = data; pos < hole;) {
            if (gStopping) {
                *why = "the run ended during the copy";
                return -1;
            }
            size_t want = static_cast<size_t>(hole - pos < static_cast<off_t>(buf.size()) ? hole - pos : buf.size());
            ssize_t n = pread(in, buf.data(), want, pos);
            if (n <= 0) {
                *why = n == 0 ? "the file " + from + " shrank while it was being moved"
                              : describe("cannot read", from, errno);
                return -1;
            }
            ssize_t w = pwrite(out, buf.data(), static_cast<size_t>(n), pos);
            if (w != n) {
                *why = describe("cannot write", tmp, w < 0 ? errno : ENOSPC);
                return -1;
            }
            pos += n;
        }
    }
    if (ftruncate(out, size) != 0) {
        *why = describe("cannot write", tmp, errno);
        return -1;
    }
    return 0;
}

// Creates the hidden temporary file beside `to` and makes it known to the
// exit handler; refused once the run is ending.
int createPart(const std::string& to, std::string* tmp, std::string* why)
{
    std::string folder = folderOf(to).empty() ? "./" : folderOf(to);
    std::string tmpl = folderOf(to) + ".tapfuzz-part-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    pthread_mutex_lock(&gPartMutex);
    int fd = -1;
    if (gStopping) {
        *why = "the run ended";
    } else if (name.size() >= sizeof gPartName) {
        *why = "the save path is too long";
    } else {
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) {
            *why = describe("cannot create a file in", folder, errno);
        } else {
            snprintf(gPartName, sizeof gPartName, "%s", name.data());
            *tmp = name.data();
        }
    }
    pthread_mutex_unlock(&gPartMutex);
    return fd;
}

// Ends the temporary file's life: renamed to `to` (when given) or removed.
int finishPart(const std::string& tmp, const std::string* to)
{
    pthread_mutex_lock(&gPartMutex);
    int rc = 0;
    if (gPartName[0] == '\0') {
        rc = -1;  // the exit handler removed it
        errno = ENOENT;
    } else if (to == nullptr || (rc = renameNoReplace(tmp.c_str(), to->c_str())) != 0) {
        int err = errno;
        unlink(tmp.c_str());
        errno = err;
    }
    gPartName[0] = '\0';
    pthread_mutex_unlock(&gPartMutex);
    return rc;
}

// The copy half of a move across file systems, from the descriptor that
// was checked. The data goes to a hidden temporary file beside the
// destination, is synced, and only then takes the final name; the source
// goes last. Any failure removes the temporary file and leaves the source
// alone.
int copyAcross(int in, const std::string& from, const std::string& to, const struct stat& st, std::string* why)
{
    // Refused early rather than after copying a large dump; the final
    // rename still refuses a file that appears meanwhile.
    struct stat existing;
    if (lstat(to.c_str(), &existing) == 0) {
        *why = to + " already exists";
        return -1;
    }
    if (st.st_size > gMaxDumpBytes) {
        *why = std::to_string(st.st_size >> 20) + " MB, more than the COREFILE_MAX_MB limit of " +
               std::to_string(gMaxDumpBytes >> 20) + " MB";
        return -1;
    }
    if (!roomForCopy(folderOf(to).empty() ? "./" : folderOf(to), st, why))
        return -1;

    std::string tmp;
    Fd out(createPart(to, &tmp, why));
    if (out.get() < 0)
        return -1;
    if (copyData(in, out.get(), st.st_size, from, tmp, why) != 0) {
        out.reset();
        finishPart(tmp, nullptr);
        return -1;
    }

    // As a move would: the dump keeps its mode, owner and times.
    (void)fchmod(out.get(), st.st_mode & 07777);
    (void)!fchown(out.get(), st.st_uid, st.st_gid);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)futimens(out.get(), times);

    if (fsync(out.get()) != 0 || out.close() != 0) {
        *why = describe("cannot write", tmp, errno);
        finishPart(tmp, nullptr);
        return -1;
    }
    if (finishPart(tmp, &to) != 0) {
        int err = errno;
        *why = err == EEXIST ? to + " already exists" : describe("cannot rename to", to, err);
        return -1;
    }
    Fd dir(openRetry(folderOf(to).empty() ? "." : folderOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        (void)fsync(dir.get());

    // A name swapped meanwhile is someone else's file: the copy stands and
    // the name is left alone.
    if (sameFile(from, st) && unlink(from.c_str()) != 0) {
        // Keeping both would make a second copy at every scan: undo the copy
        // so the dump exists once, in /tmp, and the move is tried again.
        *why = describe("cannot remove", from, errno);
        unlink(to.c_str());
        return -1;
    }
    return 0;
}

// Opens a candidate without ever blocking (a fifo swapped in opens at once)
// or following a link, and checks on the descriptor that it is a regular
// file with one name: a hard link would carry someone else's file, with our
// rights, into the save folder.
int openDump(const std::string& path, struct stat* st, std::string* why)
{
    int fd = openRetry(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = errno == ELOOP ? path + " is not a regular file" : describe("cannot read", path, errno);
        return -1;
    }
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        *why = path + " is not a regular file";
    } else if (st->st_nlink != 1) {
        *why = path + " has " + std::to_string(st->st_nlink) + " names (hard links): not a dump the kernel wrote";
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

// The move from an opened, checked descriptor. *later is set when a copy
// was refused or failed: copies are costly, so it waits a minute.
int moveOpened(int fd, const struct stat& st, const std::string& from, const std::string& to, std::string* why,
               bool* later)
{
    *later = false;
    if (!sameFile(from, st)) {
        *why = "the file " + from + " changed while it was being moved";
        return -1;
    }
    if (renameNoReplace(from.c_str(), to.c_str()) == 0) {
        if (sameFile(to, st))
            return 0;
        // Swapped between the check and the rename: not ours to keep.
        unlink(to.c_str());
        *why = "the file " + from + " changed while it was being moved";
        return -1;
    }
    int err = errno;
    if (err == EEXIST) {
        *why = to + " already exists";
        return -1;
    }
    if (err != EXDEV) {
        *why = describe("cannot move to", to, err);
        return -1;
    }
    *later = true;
    return copyAcross(fd, from, to, st, why);
}

}  // namespace

std::string freeDestination(const std::string& to)
{
    struct stat st;
    if (lstat(to.c_str(), &st) != 0)
        return to;
    for (int i = 1; i < 1000; ++i) {
        std::string candidate = to + "." + std::to_string(i);
        if (lstat(candidate.c_str(), &st) != 0)
            return candidate;
    }
    return to;
}

int moveDump(const std::string& from, const std::string& to, std::string* why)
{
    struct stat st;
    Fd fd(openDump(from, &st, why));
    if (fd.get() < 0)
        return -1;
    bool later;
    return moveOpened(fd.get(), st, from, to, why, &later);
}

bool savePathInside(const std::string& savePath, const char* watched)
{
    struct stat w;
    if (stat(watched, &w) != 0)
        return false;
    std::string probe = folderOf(savePath).empty() ? "." : folderOf(savePath);
    char* real = nullptr;
    // The nearest part of the path that exists decides where it lies.
    while ((real = realpath(probe.c_str(), nullptr)) == nullptr) {
        while (probe.size() > 1 && probe.back() == '/')
            probe.pop_back();
        size_t slash = probe.rfind('/');
        if (probe == "." || probe == "/")
            return false;
        probe = slash == std::string::npos ? "." : slash == 0 ? "/" : probe.substr(0, slash);
    }
    std::string path = real;
    free(real);
    for (;;) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && st.st_dev == w.st_dev && st.st_ino == w.st_ino)
            return true;
        if (path == "/")
            return false;
        size_t slash = path.rfind('/');
        path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    }
}

int writeCorePattern(const char* path, const char* pattern, std::string* why)
{
    // As "echo pattern > file" does: the kernel takes the line up to the
    // line feed.
    std::string line = std::string(pattern) + "\n";
    Fd fd(openRetry(path, O_WRONLY | O_TRUNC | O_CLOEXEC));
    int err = 0;
    if (fd.get() < 0 || writeAll(fd.get(), line.data(), line.size()) != 0 || fd.close() != 0)
        err = errno;
    if (err == 0)
        return 0;
    *why = errorText(err);
    if (err == EACCES || err == EPERM)
        *why += " (superuser rights are needed)";
    return -1;
}

int DumpWatch::scan(const char* folder)
{
    DIR* dir = opendir(folder);
    if (dir == nullptr)
        return -1;
    // The names are taken first and handled after the listing is closed:
    // moving entries out of a folder while reading it may skip others.
    std::vector<std::string> names;
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

    std::string base = folder;
    std::set<std::string> present;
    for (const std::string& name : names) {
        // A name the watcher gave is a dump already saved here, not a crash.
        if (isSavedName(name))
            continue;
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

void DumpWatch::refuseOnce(const std::string& name, const struct stat& st, const std::string& text)
{
    DumpSeen& seen = mSeen[name];
    if (seen.dev != st.st_dev || seen.ino != st.st_ino) {
        seen = DumpSeen();
        seen.dev = st.st_dev;
        seen.ino = st.st_ino;
    }
    if (!seen.failLogged)
        LOG(INFO) << text;
    seen.failLogged = true;
}

void DumpWatch::handle(const std::string& folder, const std::string& name, int fd, const struct stat& st)
{
    DumpSeen& seen = mSeen[name];
    bool same = seen.dev == st.st_dev && seen.ino == st.st_ino;
    bool settled = same && seen.size == st.st_size && seen.mtime.tv_sec == st.st_mtim.tv_sec &&
                   seen.mtime.tv_nsec == st.st_mtim.tv_nsec;
    if (!same) {
        // A new file under the name: a new dump, to be recorded anew.
        seen = DumpSeen();
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
    const std::string to = freeDestination(std::string(gcorepath) + newname);

    if (!seen.recorded) {
        LOG(INFO1) << escapeLogText(to);
        LOG(WARNING) << escapeLogText(to);
        recordCrash(to, seen.after);
        LOG(INFO) << escapeLogText(buildMoveCommand(folder, name, to));
        seen.recorded = true;
    }
    std::string why;
    bool later = false;
    if (moveOpened(fd, st, from, to, &why, &later) == 0) {
        if (seen.failLogged)
            LOG(INFO) << "moved " << escapeLogText(from) << " to " << escapeLogText(to) << " after retrying";
        mSeen.erase(name);
        if (mOnSaved)
            mOnSaved(to, name, st.st_uid);
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

dumpMonitor::dumpMonitor() : m_mointor(), m_started(false)
{
    char corepath[64] = "";
    if (GetProfileString(kDeviceProfile, "COREFILE_PATH", corepath) != 0 || corepath[0] == '\0')
        snprintf(corepath, sizeof corepath, "%s", kDefaultCorePath);
    snprintf(gcorepath, sizeof gcorepath, "%s", corepath);
    LOG(INFO) << "corefile save path:" << escapeLogText(gcorepath);
    refuseSavePathInDumpFolder();
    readDumpLimit();

    std::string command = std::string("echo \"") + kCorePattern + "\" > " + kCorePatternFile;
    std::string why;
    if (writeCorePattern(kCorePatternFile, kCorePattern, &why) == 0) {
        LOG(INFO) << "Success: " << command;
    } else {
        std::string text = std::string("cannot set the core pattern \"") + kCorePattern + "\" in " +
                           kCorePatternFile + ": " + why;
        LOG(INFO) << "Failed: " << text;
        fprintf(stderr, "tapfuzz: %s\n", text.c_str());
    }

    struct stat st;
    if (stat(kDumpFolder, &st) != 0 && mkdir(kDumpFolder, 0777) != 0)
        LOG(INFO) << "MKDIR " << kDumpFolder << " Error";
}

void dumpMonitor::refuseSavePathInDumpFolder()
{
    // Saved dumps keep names that begin with "coredump": in the watched
    // folder they would be found, recorded and moved again for ever, and
    // anyone may plant files there.
    if (!savePathInside(gcorepath, kDumpFolder))
        return;
    std::string text = std::string("the corefile save path ") + escapeLogText(gcorepath) + " lies in " +
                       kDumpFolder + ", where new dumps are looked for: set COREFILE_PATH to a folder elsewhere";
    LOG(INFO) << text;
    fprintf(stderr, "tapfuzz: %s\n", text.c_str());
    exit(1);
}

void dumpMonitor::readDumpLimit()
{
    int mb = 0;
    if (GetProfileInt(kDeviceProfile, "COREFILE_MAX_MB", &mb) == 0) {
        if (mb >= 1)
            gMaxDumpBytes = static_cast<long long>(mb) << 20;
        else
            LOG(INFO) << "COREFILE_MAX_MB " << mb << " ignored: the limit stays " << kDefaultMaxMb << " MB";
    }
    // A signal ending the run in the middle of a copy leaves no part file.
    static bool registered = false;
    if (!registered)
        registered = atexit(removePartAtExit) == 0;
}

dumpMonitor::~dumpMonitor()
{
    // A copy in progress stops at its next block, so the wait is short.
    gStopping = true;
    if (m_started) {
        pthread_cancel(m_mointor);
        pthread_join(m_mointor, nullptr);
        m_started = false;
    }
}

void dumpMonitor::StartMonitor()
{
    if (m_started)
        return;
    gStopping = false;
    // Process signals (SIGINT, SIGALRM) belong to the run thread.
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

void* dumpMonitor::monitorDump(void* arg)
{
    (void)arg;
    // Cancellation only during the sleep: a move or a log line is never cut
    // off halfway.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    DumpWatch watch;
    RunWatch run;
    watch.mOnFound = [&run](const std::string& name, int after) { run.dumpFound(name, after); };
    watch.mOnSaved = [&run](const std::string& saved, const std::string& name, uid_t owner) {
        run.dumpSaved(saved, name, owner);
    };
    for (;;) {
        // Memory running short costs a second of checks, never the run.
        try {
            if (watch.scan(kDumpFolder) != 0) {
                int err = errno;
                std::string text = describe("cannot list", kDumpFolder, err);
                LOG(INFO) << text;
                fprintf(stderr, "tapfuzz: %s\n", text.c_str());
                requestRunStop(1);
                return nullptr;
            }
            // The run record is written out on this one-second tick as well.
            flushRunRecord();
            run.poll();
        } catch (const std::bad_alloc&) {
            LOG(INFO) << "watcher: out of memory, checks tried again in a second";
        }
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        sleep(1);
        pthread_testcancel();
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    }
    return nullptr;
}
