/* Problem: a device whose event node starts refusing writes (EIO, ENOSPC)
 * or taking only part of a record cannot be made from a fifo, and the
 * shipped tapfuzz must meet exactly such a device.
 * Solution: a module preloaded into the program that interposes write()
 * on descriptors of /dev/input/event0 only, and at each such write reads
 * a small control file the stress run rewrites at will:
 *   "ok"           every write goes through
 *   "eio N"        every Nth write to the node fails with EIO (N=1: all)
 *   "enospc N"     likewise with ENOSPC
 *   "short N"      every Nth write reports half the record taken; like
 *                  evdev, which passes on whole records only, nothing of
 *                  that record reaches the node
 * The file is named by STRESS_FAULT_FILE; without it nothing changes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

typedef ssize_t (*write_fn)(int, const void*, size_t);

static write_fn next_write;
static const char* control;
static unsigned long node_writes;

__attribute__((constructor)) static void findNextWrite(void)
{
    next_write = (write_fn)dlsym(RTLD_NEXT, "write");
    control = getenv("STRESS_FAULT_FILE");
}

static int isNode(int fd)
{
    char link[64];
    char target[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0)
        return 0;
    target[n] = '\0';
    return strncmp(target, "/dev/input/event0", 17) == 0;
}

enum { MODE_OK, MODE_EIO, MODE_ENOSPC, MODE_SHORT };

static int readMode(unsigned long* every)
{
    char text[64];
    int fd = open(control, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return MODE_OK;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return MODE_OK;
    text[n] = '\0';
    char* blank = strchr(text, ' ');
    *every = blank != NULL ? strtoul(blank + 1, NULL, 10) : 1;
    if (*every == 0)
        *every = 1;
    if (strncmp(text, "eio", 3) == 0)
        return MODE_EIO;
    if (strncmp(text, "enospc", 6) == 0)
        return MODE_ENOSPC;
    if (strncmp(text, "short", 5) == 0)
        return MODE_SHORT;
    return MODE_OK;
}

ssize_t write(int fd, const void* buf, size_t len)
{
    if (next_write == NULL) {
        /* Called before the constructor ran: go to the kernel directly. */
        return syscall(SYS_write, fd, buf, len);
    }
    if (control != NULL && isNode(fd)) {
        unsigned long every = 1;
        int mode = readMode(&every);
        if (mode != MODE_OK) {
            unsigned long n = __atomic_add_fetch(&node_writes, 1, __ATOMIC_RELAXED);
            if (n % every == 0) {
                switch (mode) {
                case MODE_EIO:
                    errno = EIO;
                    return -1;
                case MODE_ENOSPC:
                    errno = ENOSPC;
                    return -1;
                default:
                    return (ssize_t)(len / 2);
                }
            }
        }
    }
    return next_write(fd, buf, len);
}
