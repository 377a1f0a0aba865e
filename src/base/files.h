// Problem: every module opens, writes, renames and reads small files, from
// two threads, in folders anyone may have planted files in, on disks that
// fill up; each doing it its own way left descriptors to leak and half
// written files to be read.
// Solution: one owner of a descriptor, one thread-safe error text, a rename
// that never replaces, one way to write a file aside and give it its name
// only when whole, and the small reads the watcher makes.
#ifndef TAPFUZZ_BASE_FILES_H
#define TAPFUZZ_BASE_FILES_H

#include <fcntl.h>
#include <stddef.h>
#include <sys/types.h>

#include <string>

#include "base/io.h"

// Owns one descriptor; every way out of a scope closes it.
class Fd {
public:
    explicit Fd(int fd = -1) : mFd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return mFd; }
    // Closes now and reports the result: a close can be the first place a
    // deferred write error shows.
    int close();
    // Closes what it holds, then holds `fd`.
    void reset(int fd = -1);

private:
    int mFd;
};

// The text of the errno value `err`, as strerror() gives it, but safe from
// any thread.
std::string errorText(int err);

// open(), tried again when a signal interrupts it.
int openRetry(const char* path, int flags, mode_t mode = 0);

// A path's folder, up to and with its last '/'; "" when it has none.
std::string folderOf(const std::string& path);

// What follows the last '/' of a path (all of it when there is none).
std::string baseName(const std::string& path);

// rename() that fails with EEXIST instead of replacing a file.
int renameNoReplace(const char* from, const char* to);

// A file written under a temporary name in the folder of its name and given
// that name only when whole, so that no reader ever sees half of it. Unless
// it was given its name, the temporary file is removed with the object.
class AsideFile {
public:
    // `name` in the folder open at `dir`, or AT_FDCWD for a path.
    AsideFile(int dir, std::string name);
    ~AsideFile();
    AsideFile(const AsideFile&) = delete;
    AsideFile& operator=(const AsideFile&) = delete;

    // Creates the temporary file, close-on-exec, and returns its descriptor
    // (-1 with errno). Named: NAME.part, mode 0644 less the umask; one left
    // by a killed writer, or a link planted there, is removed first and
    // never written through. Otherwise (a path only): a fresh hidden
    // .tapfuzz-part-XXXXXX beside NAME, mode 0600.
    int create(bool named);
    int fd() const { return mFd.get(); }
    // The temporary file's path (relative to `dir` when there is one).
    const std::string& part() const { return mPart; }
    // Writes it out (synced first when asked) and closes it: 0, or -1 with
    // errno.
    int close(bool sync);
    // Gives it its name, over a file of that name when `replace`, else never
    // (EEXIST). 0, or -1 with errno; the temporary file is then removed.
    int rename(bool replace);
    // Removes the temporary file now.
    void discard();

private:
    int mDir;
    std::string mName, mPart;
    Fd mFd;
    bool mLive = false;  // the temporary file exists under mPart
};

// Creates `path` holding `data`, mode 0644: written aside, synced and given
// its name only when whole; an existing file is never replaced. 0, or -1
// with the reason in *why.
int writeNewFile(const std::string& path, const std::string& data, std::string* why);

// The first `max` bytes of a file; "" when it cannot be opened.
std::string readSmall(const std::string& path, size_t max);

// Up to `size` - 1 bytes of the file `name` in the folder open at `dir`
// into `buf`, ended by a NUL, with no allocation: for the watcher's look
// at /proc once a second. Their number, or -1 with errno.
ssize_t readSmallAt(int dir, const char* name, char* buf, size_t size);

// The last `count` lines of a text file, each with its line feed, from its
// last 64 KB ("" when it cannot be read).
std::string tailLines(const std::string& path, size_t count);

#endif
