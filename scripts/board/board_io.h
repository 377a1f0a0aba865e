// Problem: the guest-side helpers of the emulated board all hold device
// descriptors and write small files, and each must fail loudly, not quietly.
// Solution: one owning descriptor type and EINTR-safe, all-or-error writes.
#ifndef TAPFUZZ_BOARD_IO_H
#define TAPFUZZ_BOARD_IO_H

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace board {

// Prints "<tool>: <message>" to standard error and ends the helper with
// status 1; the scenario treats any non-zero helper status as a board fault.
[[noreturn]] inline void die(const char* tool, const char* fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "%s: %s\n", tool, msg);
    exit(1);
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

inline int open_retry(const char* path, int flags, mode_t mode = 0644)
{
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A short write is an error: the caller's record would be cut in two.
inline bool write_all(int fd, const void* buf, size_t len)
{
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Writes a whole small text file (created or truncated).
inline bool write_file(const char* path, const char* text)
{
    Fd fd(open_retry(path, O_WRONLY | O_CREAT | O_TRUNC));
    return fd.valid() && write_all(fd.get(), text, strlen(text));
}

} // namespace board

#endif
