// Problem: reads and writes that a signal cuts short, or a write the file
// takes only part of.
// Solution: one loop for all four, carried on until done, the end or a fault.
#include "base/io.h"

#include <errno.h>
#include <unistd.h>

namespace {

// The one loop behind the whole reads and writes: `at` < 0 for the file's
// position. A write's short count goes on; a read's zero is the end.
ssize_t transferAll(int fd, char* buf, size_t size, off_t at, bool writing, size_t* done)
{
    size_t moved = 0;
    while (moved < size) {
        const off_t pos = at + static_cast<off_t>(moved);
        ssize_t n = writing ? (at < 0 ? write(fd, buf + moved, size - moved) : pwrite(fd, buf + moved, size - moved, pos))
                            : (at < 0 ? read(fd, buf + moved, size - moved) : pread(fd, buf + moved, size - moved, pos));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (n == 0 && writing)) {
            if (n == 0)
                errno = ENOSPC;
            if (done != nullptr)
                *done = moved;
            return -1;
        }
        if (n == 0)
            break;
        moved += static_cast<size_t>(n);
    }
    if (done != nullptr)
        *done = moved;
    return static_cast<ssize_t>(moved);
}

}  // namespace

int writeAll(int fd, const void* data, size_t size, size_t* done)
{
    return transferAll(fd, static_cast<char*>(const_cast<void*>(data)), size, -1, true, done) < 0 ? -1 : 0;
}

int pwriteAll(int fd, const void* data, size_t size, off_t at)
{
    return transferAll(fd, static_cast<char*>(const_cast<void*>(data)), size, at, true, nullptr) < 0 ? -1 : 0;
}

ssize_t readAll(int fd, void* buf, size_t size)
{
    return transferAll(fd, static_cast<char*>(buf), size, -1, false, nullptr);
}

ssize_t preadAll(int fd, void* buf, size_t size, off_t at)
{
    return transferAll(fd, static_cast<char*>(buf), size, at, false, nullptr);
}
