/* Problem: tapfuzz's watch of the application under test needs a UI that
 * reads touches from the event node and draws into the frame buffer.
 * Solution: a tiny one. Every touch-down inside a region repaints the screen
 * in the next colour of a palette; at the Kth such touch it crashes
 * (abort), exits with status 7, or freezes (reads on, draws no more). A crash
 * leaves a dump in /tmp under tapfuzz's core pattern, as the kernel would;
 * a test cannot point the kernel's own pattern there. On a real device (the
 * emulated board) mode segv dies of SIGSEGV and the kernel writes the dump.
 * With TOUCHAPP_FDS set it first lists the descriptors it was started with.
 * Usage: touchapp crash|exit|freeze|segv K X0 Y0 X1 Y1 */
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/input.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

static void dump_and_die(int sig)
{
    char path[96];
    snprintf(path, sizeof path, "/tmp/coredump-touchapp-%d-%ld", (int)getpid(), (long)time(NULL));
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd >= 0 && write(fd, "core", 4) == 4)
        close(fd);
    signal(sig, SIG_DFL);
    raise(sig);
}

static uint32_t scale(unsigned full, struct fb_bitfield f)
{
    return full && f.offset < 32 && f.length < 32 ? ((1u << f.length) - 1) << f.offset : 0;
}

/* The descriptors it was started with, "FD -> TARGET" a line, into the file
 * TOUCHAPP_FDS names. */
static void list_fds(const char* file)
{
    char text[4096] = "", path[64], target[256];
    size_t used = 0;
    for (int fd = 0; fd < 1024 && used < sizeof text - 300; ++fd) {
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(path, target, sizeof target - 1);
        if (n >= 0)
            used += (size_t)snprintf(text + used, sizeof text - used, "%d -> %.*s\n", fd, (int)n, target);
    }
    int out = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out >= 0 && write(out, text, used) != (ssize_t)used)
        fprintf(stderr, "touchapp: %s is short\n", file);
    if (out >= 0)
        close(out);
}

/* Palette entry n: red, green, blue by bits 0, 1, 2; exact in every format.
 * Only the visible pixels are written: the padding of long lines stays a
 * hole in the file. */
static void paint(int fb, const struct fb_var_screeninfo* v, unsigned line, unsigned n)
{
    uint32_t px = scale(n & 1, v->red) | scale(n & 2, v->green) | scale(n & 4, v->blue);
    unsigned bytes = v->bits_per_pixel / 8, size = v->xres * bytes;
    unsigned char* row = calloc(1, size);
    for (unsigned x = 0; row && x < v->xres; ++x)
        for (unsigned b = 0; b < bytes; ++b)
            row[x * bytes + b] = (unsigned char)(px >> (8 * b));
    for (unsigned y = 0; row && y < v->yres; ++y)
        if (pwrite(fb, row, size, (off_t)y * line) != (ssize_t)size)
            exit(2);
    free(row);
}

int main(int argc, char** argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: touchapp crash|exit|freeze|segv K X0 Y0 X1 Y1\n");
        return 2;
    }
    int k = atoi(argv[2]), x0 = atoi(argv[3]), y0 = atoi(argv[4]), x1 = atoi(argv[5]), y1 = atoi(argv[6]);
    int segv = strcmp(argv[1], "segv") == 0;
    struct rlimit core = {segv ? RLIM_INFINITY : 0, segv ? RLIM_INFINITY : 0};
    setrlimit(RLIMIT_CORE, &core);
    signal(SIGABRT, dump_and_die);
    if (getenv("TOUCHAPP_FDS") != NULL)
        list_fds(getenv("TOUCHAPP_FDS"));

    int fb = open("/dev/fb0", O_RDWR);
    struct fb_var_screeninfo v;
    struct fb_fix_screeninfo fix;
    memset(&fix, 0, sizeof fix);
    if (fb < 0 || ioctl(fb, FBIOGET_VSCREENINFO, &v) != 0)
        return 2;
    if (v.red.length == 0) { /* no fields given: XRGB8888 */
        v.red = (struct fb_bitfield){16, 8, 0};
        v.green = (struct fb_bitfield){8, 8, 0};
        v.blue = (struct fb_bitfield){0, 8, 0};
    }
    unsigned line = ioctl(fb, FBIOGET_FSCREENINFO, &fix) == 0 ? fix.line_length : v.xres * v.bits_per_pixel / 8;
    int ev = open("/dev/input/event0", O_RDWR);
    if (ev < 0)
        return 2;
    int x = 0, y = 0, down = 0, hits = 0;
    paint(fb, &v, line, 0);
    struct input_event e;
    while (read(ev, &e, sizeof e) == (ssize_t)sizeof e) {
        if (e.type == EV_ABS && e.code == ABS_MT_TRACKING_ID)
            down = e.value >= 0;
        else if (e.type == EV_ABS && e.code == ABS_X)
            x = e.value;
        else if (e.type == EV_ABS && e.code == ABS_Y)
            y = e.value;
        else if (e.type == EV_SYN && down) {
            down = 0;
            if (x < x0 || x >= x1 || y < y0 || y >= y1 || ++hits > k)
                continue;
            if (hits == k && strcmp(argv[1], "crash") == 0)
                abort();
            if (hits == k && segv)
                raise(SIGSEGV);
            if (hits == k && strcmp(argv[1], "exit") == 0)
                return 7;
            if (hits < k)
                paint(fb, &v, line, (unsigned)hits);
        }
    }
    return 0;
}
