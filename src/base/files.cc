// Problem: file work from two threads, in folders others can write, on a
// disk that may fill up, must neither leak a descriptor into a started
// program nor leave half a file under a name someone reads.
// Solution: close-on-exec descriptors owned by one object, renames that
// never replace, and temporary files that only a finished write names.
#include "base/files.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <utility>
#include <vector>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

// strerror() shares one buffer between threads; both strerror_r flavours
// are handled so the module builds against either C library.
[[maybe_unused]] const char* pickError(int result, const char* buf)
{
    return result == 0 ? buf : "unknown error";
}
[[maybe_unused]] const char* pickError(const char* result, const char*)
{
    return result;
}

// The wrapper of renameat2 is newer than some device C libraries, hence the
// raw system call; kernels or file systems without it get link()+unlink(),
// which refuses an existing name just as well.
int renameNoReplaceAt(int dir, const char* from, const char* to)
{
#ifdef SYS_renameat2
    if (syscall(SYS_renameat2, dir, from, dir, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != ENOSYS && errno != EINVAL)
        return -1;
#endif
    if (linkat(dir, from, dir, to, 0) == 0) {
        unlinkat(dir, from, 0);
        return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP)
        return -1;
    // A file system without hard links (FAT): check, then rename.
    struct stat st;
    if (fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return renameat(dir, from, dir, to);
}

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

}  // namespace

int Fd::close()
{
    int fd = mFd;
    mFd = -1;
    return fd < 0 ? 0 : ::close(fd);
}

void Fd::reset(int fd)
{
    if (mFd >= 0)
        ::close(mFd);
    mFd = fd;
}

std::string errorText(int err)
{
    char buf[128];
    buf[0] = '\0';
    return pickError(strerror_r(err, buf, sizeof buf), buf);
}

int openRetry(const char* path, int flags, mode_t mode)
{
    int fd;
    do {
        fd = open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

std::string folderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string baseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

int renameNoReplace(const char* from, const char* to)
{
    return renameNoReplaceAt(AT_FDCWD, from, to);
}

AsideFile::AsideFile(int dir, std::string name) : mDir(dir), mName(std::move(name)) {}

AsideFile::~AsideFile()
{
    discard();
}

int AsideFile::create(bool named)
{
    discard();
    if (named) {
        mPart = mName + ".part";
        if (unlinkat(mDir, mPart.c_str(), 0) != 0 && errno != ENOENT)
            return -1;
        mFd.reset(openat(mDir, mPart.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    } else {
        std::string tmpl = folderOf(mName) + ".tapfuzz-part-XXXXXX";
        mFd.reset(mkostemp(&tmpl[0], O_CLOEXEC));
        mPart = tmpl;
    }
    mLive = mFd.get() >= 0;
    return mFd.get();
}

int AsideFile::close(bool sync)
{
    if (sync && mFd.get() >= 0 && fsync(mFd.get()) != 0) {
        int err = errno;
        mFd.reset();
        errno = err;
        return -1;
    }
    return mFd.close();
}

int AsideFile::rename(bool replace)
{
    int rc = replace ? renameat(mDir, mPart.c_str(), mDir, mName.c_str())
                     : renameNoReplaceAt(mDir, mPart.c_str(), mName.c_str());
    if (rc == 0) {
        mLive = false;
        return 0;
    }
    int err = errno;
    discard();
    errno = err;
    return -1;
}

void AsideFile::discard()
{
    mFd.reset();
    if (mLive)
        unlinkat(mDir, mPart.c_str(), 0);
    mLive = false;
}

int writeNewFile(const std::string& path, const std::string& data, std::string* why)
{
    AsideFile file(AT_FDCWD, path);
    if (file.create(false) < 0) {
        *why = "cannot create a file beside " + path + ": " + errorText(errno);
        return -1;
    }
    fchmod(file.fd(), 0644);
    int err = writeAll(file.fd(), data.data(), data.size()) != 0 ? errno : 0;
    if (err == 0 && (file.close(true) != 0 || file.rename(false) != 0))
        err = errno;
    if (err != 0) {
        *why = err == EEXIST ? path + " already exists" : "cannot write " + path + ": " + errorText(err);
        return -1;
    }
    return 0;
}

std::string readSmall(const std::string& path, size_t max)
{
    File f(fopen(path.c_str(), "re"), fclose);
    std::string data(max, '\0');
    data.resize(f ? fread(&data[0], 1, max, f.get()) : 0);
    return data;
}

ssize_t readSmallAt(int dir, const char* name, char* buf, size_t size)
{
    if (size == 0) {
        errno = EINVAL;
        return -1;
    }
    Fd f(openat(dir, name, O_RDONLY | O_CLOEXEC));
    ssize_t n = f.get() < 0 ? -1 : preadAll(f.get(), buf, size - 1, 0);
    buf[n > 0 ? n : 0] = '\0';
    return n;
}

std::string tailLines(const std::string& path, size_t count)
{
    File f(fopen(path.c_str(), "re"), fclose);
    if (!f || fseeko(f.get(), 0, SEEK_END) != 0)
        return "";
    const off_t window = 64 * 1024;
    off_t size = ftello(f.get());
    off_t from = size > window ? size - window : 0;
    std::string tail(static_cast<size_t>(size - from), '\0');
    if (fseeko(f.get(), from, SEEK_SET) != 0)
        return "";
    tail.resize(fread(&tail[0], 1, tail.size(), f.get()));
    std::vector<std::string> lines;
    for (size_t at = 0, end; at < tail.size(); at = end + 1) {
        end = tail.find('\n', at);
        if (end == std::string::npos)
            end = tail.size();
        lines.push_back(tail.substr(at, end - at));
    }
    if (from > 0 && !lines.empty())
        lines.erase(lines.begin());  // cut by the window
    std::string out;
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        out += lines[i] + "\n";
    return out;
}
