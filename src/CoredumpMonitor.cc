// Problem: a crash during the stress run must not go unnoticed, and its dump
// must reach the save folder whole, under a name a person can read.
// Solution: the kernel writes dumps to /tmp under a fixed pattern; a watcher
// thread waits until a dump has stopped growing, records it once in both
// logs and moves it without a shell and without ever replacing a file.
#include "CoredumpMonitor.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "Logger.h"
#include "Utils.h"
#include "appwatch.h"
#include "profile.h"
#include "record.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

char gcorepath[64];

namespace {

const char kCorePattern[] = "/tmp/coredump-%e-%p-%t";
const char kCorePatternFile[] = "/proc/sys/kernel/core_pattern";
const char kDumpFolder[] = "/tmp/";
// Where dumps go when the profile names no save path: the working directory.
const char kDefaultCorePath[] = "./";

// Owns one descriptor; every way out of a function closes it.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result: a close can be the first place a
    // deferred write error shows.
    int close()
    {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 ? 0 : ::close(fd);
    }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// strerror() shares one buffer between threads; both strerror_r flavours
// are handled so the module builds against either.
[[maybe_unused]] const char* pickError(int result, const char* buf)
{
    return result == 0 ? buf : "unknown error";
}
[[maybe_unused]] const char* pickError(const char* result, const char*)
{
    return result;
}
std::string errorText(int err)
{
    char buf[128];
    buf[0] = '\0';
    return pickError(strerror_r(err, buf, sizeof buf), buf);
}

int openRetry(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
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

// rename() that fails with EEXIST instead of replacing a file. The wrapper of
// renameat2 is newer than some device C libraries, hence the raw system call;
// kernels or file systems without it get link()+unlink(), which refuses an
// existing name just as well.
int renameNoReplace(const char* from, const char* to)
{
#ifdef SYS_renameat2
    if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != ENOSYS && errno != EINVAL)
        return -1;
#endif
    if (link(from, to) == 0) {
        unlink(from);
        return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP)
        return -1;
    // A file system without hard links (FAT): check, then rename.
    struct stat st;
    if (lstat(to, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(from, to);
}

std::string folderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
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

// The copy half of a move across file systems. The data goes to a hidden
// temporary file beside the destination, is synced, and only then takes the
// final name; the source goes last. Any failure removes the temporary file
// and leaves the source alone.
int copyAcross(const std::string& from, const std::string& to, const struct stat& st, std::string* why)
{
    // Refused early rather than after copying a large dump; the final
    // rename still refuses a file that appears meanwhile.
    struct stat existing;
    if (lstat(to.c_str(), &existing) == 0) {
        *why = to + " already exists";
        return -1;
    }
    Fd in(openRetry(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.get() < 0) {
        *why = describe("cannot open", from, errno);
        return -1;
    }
    struct stat inst;
    if (fstat(in.get(), &inst) != 0 || !S_ISREG(inst.st_mode) || inst.st_ino != st.st_ino ||
        inst.st_dev != st.st_dev) {
        *why = "the file " + from + " changed while it was being moved";
        return -1;
    }

    std::string tmpl = folderOf(to) + ".tapfuzz-part-XXXXXX";
    std::vector<char> tmpname(tmpl.begin(), tmpl.end());
    tmpname.push_back('\0');
    Fd out(mkostemp(tmpname.data(), O_CLOEXEC));
    if (out.get() < 0) {
        *why = describe("cannot create a file in", folderOf(to).empty() ? "./" : folderOf(to), errno);
        return -1;
    }
    const std::string tmp(tmpname.data());

    std::vector<char> buf(64 * 1024);
    for (;;) {
        ssize_t n;
        do {
            n = read(in.get(), buf.data(), buf.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            *why = describe("cannot read", from, errno);
            unlink(tmp.c_str());
            return -1;
        }
        if (n == 0)
            break;
        if (writeAll(out.get(), buf.data(), static_cast<size_t>(n)) != 0) {
            *why = describe("cannot write", tmp, errno);
            unlink(tmp.c_str());
            return -1;
        }
    }

    // As a move would: the dump keeps its mode, owner and times.
    (void)fchmod(out.get(), st.st_mode & 07777);
    (void)!fchown(out.get(), st.st_uid, st.st_gid);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)futimens(out.get(), times);

    if (fsync(out.get()) != 0 || out.close() != 0) {
        *why = describe("cannot write", tmp, errno);
        unlink(tmp.c_str());
        return -1;
    }
    if (renameNoReplace(tmp.c_str(), to.c_str()) != 0) {
        int err = errno;
        *why = err == EEXIST ? to + " already exists" : describe("cannot rename to", to, err);
        unlink(tmp.c_str());
        return -1;
    }
    Fd dir(openRetry(folderOf(to).empty() ? "." : folderOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        (void)fsync(dir.get());

    if (unlink(from.c_str()) != 0) {
        // Keeping both would make a second copy at every scan: undo the copy
        // so the dump exists once, in /tmp, and the move is tried again.
        *why = describe("cannot remove", from, errno);
        unlink(to.c_str());
        return -1;
    }
    return 0;
}

}  // namespace

bool isDumpName(const std::string& name)
{
    return name.compare(0, 8, "coredump") == 0;
}

bool buildNewName(const std::string& name, std::string* newname)
{
    if (!isDumpName(name))
        return false;
    size_t dash = name.rfind('-');
    std::string head = dash == std::string::npos ? std::string() : name.substr(0, dash + 1);
    std::string stamp = dash == std::string::npos ? name : name.substr(dash + 1);
    char timeslocal[128];
    timeStampConversion(stamp.c_str(), timeslocal);
    *newname = head + timeslocal;
    return true;
}

std::string buildMoveCommand(const std::string& folder, const std::string& name,
                             const std::string& destination)
{
    return "mv " + folder + name + " " + destination;
}

std::string escapeLogText(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

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
    if (lstat(from.c_str(), &st) != 0) {
        *why = describe("cannot read", from, errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = from + " is not a regular file";
        return -1;
    }
    if (renameNoReplace(from.c_str(), to.c_str()) == 0)
        return 0;
    int err = errno;
    if (err == EEXIST) {
        *why = to + " already exists";
        return -1;
    }
    if (err != EXDEV) {
        *why = describe("cannot move to", to, err);
        return -1;
    }
    return copyAcross(from, to, st, why);
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
        struct stat st;
        if (lstat((base + name).c_str(), &st) != 0)
            continue;
        present.insert(name);
        // Dumps are regular files; a symlink, fifo or folder of that name
        // is not ours to follow or move.
        if (!S_ISREG(st.st_mode))
            continue;
        handle(base, name, st);
    }
    for (auto it = mSeen.begin(); it != mSeen.end();) {
        if (present.count(it->first) == 0)
            it = mSeen.erase(it);
        else
            ++it;
    }
    return 0;
}

void DumpWatch::handle(const std::string& folder, const std::string& name, const struct stat& st)
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
    if (!settled)
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
    if (moveDump(from, to, &why) == 0) {
        if (seen.failLogged)
            LOG(INFO) << "moved " << escapeLogText(from) << " to " << escapeLogText(to) << " after retrying";
        mSeen.erase(name);
        if (mOnSaved)
            mOnSaved(to, name);
        return;
    }
    if (!seen.failLogged) {
        LOG(INFO) << "cannot move " << escapeLogText(from) << ": " << escapeLogText(why)
                  << "; trying again every second";
        seen.failLogged = true;
    }
}

dumpMonitor::dumpMonitor() : m_mointor(), m_started(false)
{
    char corepath[64] = "";
    if (GetProfileString("./device.conf", "COREFILE_PATH", corepath) != 0 || corepath[0] == '\0')
        snprintf(corepath, sizeof corepath, "%s", kDefaultCorePath);
    snprintf(gcorepath, sizeof gcorepath, "%s", corepath);
    LOG(INFO) << "corefile save path:" << escapeLogText(gcorepath);

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

dumpMonitor::~dumpMonitor()
{
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
    watch.mOnSaved = [&run](const std::string& saved, const std::string& name) { run.dumpSaved(saved, name); };
    for (;;) {
        if (watch.scan(kDumpFolder) != 0) {
            int err = errno;
            std::string text = describe("cannot list", kDumpFolder, err);
            LOG(INFO) << text;
            fprintf(stderr, "tapfuzz: %s\n", text.c_str());
            exit(1);
        }
        // The run record is written out on this one-second tick as well.
        flushRunRecord();
        run.poll();
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        sleep(1);
        pthread_testcancel();
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    }
    return nullptr;
}
