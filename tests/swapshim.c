/* Problem: a fifo swapped in for a dump between the watcher's check and its
 * open, or a signal in the middle of a copy, happen only by chance.
 * Solution: a module preloaded into tapfuzz that replaces any file named
 * coredump-swap-* by a fifo just before it is opened, and, with
 * TAPFUZZ_TEST_SLOW_COPY set, makes every positioned write take 30 ms. */
#define _GNU_SOURCE
/* Both the plain and the 64-bit names are defined here. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

typedef int (*open_fn)(const char*, int, ...);
typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);

static int swapped_open(const char* name, const char* path, int flags, va_list ap)
{
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
    if (strstr(path, "/coredump-swap-") != NULL && unlink(path) == 0)
        mkfifo(path, 0666);
    open_fn next = (open_fn)dlsym(RTLD_NEXT, name);
    return next(path, flags, mode);
}

int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int fd = swapped_open("open", path, flags, ap);
    va_end(ap);
    return fd;
}

int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int fd = swapped_open("open64", path, flags, ap);
    va_end(ap);
    return fd;
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at)
{
    if (getenv("TAPFUZZ_TEST_SLOW_COPY") != NULL)
        usleep(30000);
    return ((pwrite_fn)dlsym(RTLD_NEXT, "pwrite"))(fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off_t at)
{
    return pwrite(fd, buf, n, at);
}
