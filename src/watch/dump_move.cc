// Problem: a dump must reach the save folder whole and under a name of its
// own, from a /tmp where anyone may plant a link, a fifo or a hard link to a
// private file, and across file systems onto a disk that may fill up.
// Solution: every move starts from a descriptor opened without following or
// blocking and checked to be a regular file of one name; within a file
// system a rename that never replaces, across file systems a copy that
// keeps the holes into a part file beside the target, synced and renamed
// into place, which exit() removes when the run ends in the middle.
#include "watch/dump_move.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "base/files.h"

namespace {

// A copy is refused when it would leave less than this free on the target.
const unsigned long long kMinFreeBytes = 16ULL << 20;

// Raised when the run ends (the watcher's end, or exit after a signal): a
// copy in progress stops at its next block, and no new copy starts.
std::atomic<bool> gStopping{false};
// The part file of the copy in progress, removed by exit() when a signal
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
            ssize_t n = preadAll(in, buf.data(), want, pos);
            if (n <= 0) {
                *why = n == 0 ? "the file " + from + " shrank while it was being moved"
                              : describe("cannot read", from, errno);
                return -1;
            }
            if (pwriteAll(out, buf.data(), static_cast<size_t>(n), pos) != 0) {
                *why = describe("cannot write", tmp, errno);
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

// Creates the part file beside `to` and makes it known to the exit handler;
// refused once the run is ending.
bool createPart(AsideFile* part, const std::string& to, std::string* why)
{
    bool ok = false;
    pthread_mutex_lock(&gPartMutex);
    if (gStopping) {
        *why = "the run ended";
    } else if (folderOf(to).size() + sizeof ".tapfuzz-part-XXXXXX" >= sizeof gPartName) {
        *why = "the save path is too long";
    } else if (part->create(false) < 0) {
        *why = describe("cannot create a file in", folderOf(to).empty() ? "./" : folderOf(to), errno);
    } else {
        snprintf(gPartName, sizeof gPartName, "%s", part->part().c_str());
        ok = true;
    }
    pthread_mutex_unlock(&gPartMutex);
    return ok;
}

// Ends the part file's life under the exit handler's lock: given its
// target's name (`keep`) or removed. -1 with ENOENT when the exit handler
// removed it first.
int finishPart(AsideFile* part, bool keep)
{
    pthread_mutex_lock(&gPartMutex);
    int rc = 0;
    if (gPartName[0] == '\0') {
        rc = -1;
        errno = ENOENT;
    } else if (keep) {
        rc = part->rename(false);
    } else {
        part->discard();
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
int copyAcross(int in, const std::string& from, const std::string& to, const struct stat& st, long long limit,
               std::string* why)
{
    // Refused early rather than after copying a large dump; the final
    // rename still refuses a file that appears meanwhile.
    struct stat existing;
    if (lstat(to.c_str(), &existing) == 0) {
        *why = to + " already exists";
        return -1;
    }
    if (st.st_size > limit) {
        *why = std::to_string(st.st_size >> 20) + " MB, more than the COREFILE_MAX_MB limit of " +
               std::to_string(limit >> 20) + " MB";
        return -1;
    }
    if (!roomForCopy(folderOf(to).empty() ? "./" : folderOf(to), st, why))
        return -1;

    AsideFile part(AT_FDCWD, to);
    if (!createPart(&part, to, why))
        return -1;
    if (copyData(in, part.fd(), st.st_size, from, part.part(), why) != 0) {
        finishPart(&part, false);
        return -1;
    }

    // As a move would: the dump keeps its mode, owner and times.
    (void)fchmod(part.fd(), st.st_mode & 07777);
    (void)!fchown(part.fd(), st.st_uid, st.st_gid);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)futimens(part.fd(), times);

    if (part.close(true) != 0) {
        *why = describe("cannot write", part.part(), errno);
        finishPart(&part, false);
        return -1;
    }
    if (finishPart(&part, true) != 0) {
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

}  // namespace

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

int moveOpened(int fd, const struct stat& st, const std::string& from, const std::string& to, long long limit,
               std::string* why, bool* later)
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
    return copyAcross(fd, from, to, st, limit, why);
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

int moveDump(const std::string& from, const std::string& to, std::string* why, long long limit)
{
    struct stat st;
    Fd fd(openDump(from, &st, why));
    if (fd.get() < 0)
        return -1;
    bool later;
    return moveOpened(fd.get(), st, from, to, limit, why, &later);
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

void setDumpMovesStopping(bool stopping)
{
    gStopping = stopping;
}

void removePartFileAtExit()
{
    static bool registered = false;
    if (!registered)
        registered = atexit(removePartAtExit) == 0;
}
