/* Problem: tapfuzz's watch of the application under test needs a UI that
 * reads touches from the event node and draws into the frame buffer.
 * Solution: a tiny one. Every touch-down inside a region repaints the screen
 * in the next colour of a palette; at the Kth such touch it crashes
 * (abort), exits with status 7, or hangs the way applications do: spin (a
 * busy loop), lock (waits for a lock a worker holds while that worker naps
 * on a timer, so only the main thread is stuck), stall (reads no more,
 * asleep for good); or goes idle (reads on, draws no more: a healthy
 * application whose touches hit inert parts, never to be called frozen). A crash
 * leaves a dump in /tmp under tapfuzz's core pattern, as the kernel would;
 * a test cannot point the kernel's own pattern there. On a real device (the
 * emulated board) mode segv dies of SIGSEGV and the kernel writes the dump.
 * Mode bugs crashes in a function of its own per third of the screen's
 * width, for dumps of different signatures: the left third by SIGSEGV (a
 * write through a null pointer) and the middle third by SIGABRT (abort())
 * at the Kth touch of the third, the right third by SIGBUS (a write to a
 * mapped page of a file cut short) at every touch; a touch that does not
 * crash repaints. It leaves the dump to the kernel (or tests/app/gcore-run)
 * under the core size limit it was started with.
 * Mode seq aborts at a click in the left third of the top half, then a long
 * click (held 50 ms or more) in its middle third, then a swipe that starts
 * in its right third, other touches between them or not; with K above 1
 * only at every Kth such sequence, counted across runs in /tmp/seq-count.
 * With TOUCHAPP_FDS set it first lists the descriptors it was started with;
 * with TOUCHAPP_SCREENS set it appends "screen N depth 0" to that file at
 * each paint, N the palette entry.
 * Usage: touchapp crash|exit|segv|spin|lock|stall|idle K X0 Y0 X1 Y1
 *        touchapp bugs|seq K */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/input.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "fbdraw.h"

static volatile int zero;
static int screens = -1;

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

__attribute__((noinline)) static void write_wild(int* p)
{
    *p = 1;
}

__attribute__((noinline)) static void give_up(void)
{
    abort();
}

/* A page mapped from a file, written after the file lost it: the kernel
 * has no page to give and sends SIGBUS. */
__attribute__((noinline)) static void write_cut_page(void)
{
    long page = sysconf(_SC_PAGESIZE);
    int fd = memfd_create("touchapp", MFD_CLOEXEC);
    char* p = fd < 0 || ftruncate(fd, page) != 0 ? MAP_FAILED : mmap(NULL, (size_t)page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED || ftruncate(fd, 0) != 0)
        abort();
    p[zero] = 1;
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

static pthread_mutex_t held = PTHREAD_MUTEX_INITIALIZER;

static void* hold_and_nap(void* taken)
{
    pthread_mutex_lock(&held);
    sem_post(taken);
    for (;;)
        usleep(100000);
    return NULL;
}

/* The hangs of modes spin, lock and stall; SIGABRT still ends each with a
 * dump. */
static void hang(const char* mode)
{
    if (strcmp(mode, "spin") == 0)
        while (zero == 0)
            ;
    if (strcmp(mode, "lock") == 0) {
        sem_t taken;
        pthread_t worker;
        sem_init(&taken, 0, 0);
        if (pthread_create(&worker, NULL, hold_and_nap, &taken) != 0)
            abort();
        while (sem_wait(&taken) != 0)
            ;
        pthread_mutex_lock(&held);
    }
    for (;;)
        pause();
}

/* Palette entry n: red, green, blue by bits 0, 1, 2; exact in every format. */
static void paint(const struct fb* fb, unsigned n)
{
    uint32_t px = fb_rgb(fb, (n & 1 ? 0xff0000u : 0) | (n & 2 ? 0xff00u : 0) | (n & 4 ? 0xffu : 0));
    unsigned char* row = calloc(1, (size_t)fb->v.xres * fb->bytes + 1);
    if (row != NULL)
        fb_span(fb, row, 0, fb->v.xres, px);
    for (unsigned y = 0; row && y < fb->v.yres; ++y)
        if (fb_put(fb, row, 0, fb->v.xres, y) != 0)
            exit(2);
    free(row);
    char line[32];
    int len = snprintf(line, sizeof line, "screen %u depth 0\n", n & 7);
    if (screens >= 0 && write(screens, line, (size_t)len) != len)
        fprintf(stderr, "touchapp: the screen log is short\n");
}

/* Mode seq: one input event; `step` is how far the sequence has got. */
static void seq_event(const struct input_event* e, const struct fb* fb, int k)
{
    static int x, y, x0, y0, down, step;
    static struct timespec t0;
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    if (e->type == EV_ABS && (e->code == ABS_X || e->code == ABS_Y))
        *(e->code == ABS_X ? &x : &y) = e->value;
    else if (e->type == EV_ABS && e->code == ABS_MT_TRACKING_ID && e->value >= 0)
        down = 1;
    else if (e->type == EV_SYN && down == 1)
        down = 2, x0 = x, y0 = y, t0 = t;
    else if (e->type == EV_ABS && e->code == ABS_MT_TRACKING_ID && down == 2) {
        down = 0;
        long ms = (long)(t.tv_sec - t0.tv_sec) * 1000 + (t.tv_nsec - t0.tv_nsec) / 1000000;
        int kind = x != x0 || y != y0 ? 2 : ms >= 50 ? 1 : 0;
        if (y0 >= (int)fb->v.yres / 2 || x0 * 3 / (int)fb->v.xres != step || kind != step || ++step < 3)
            return;
        step = 0;
        FILE* f = fopen("/tmp/seq-count", "r+");
        int n = 0;
        if (f == NULL ? (f = fopen("/tmp/seq-count", "w+")) == NULL : fscanf(f, "%d", &n) != 1)
            n = 0;
        if (f != NULL)
            rewind(f), fprintf(f, "%d\n", ++n), fclose(f);
        if (n % k == 0)
            abort();
    }
}

int main(int argc, char** argv)
{
    int bugs = argc == 3 && strcmp(argv[1], "bugs") == 0, seq = argc == 3 && strcmp(argv[1], "seq") == 0;
    static const char* const modes[] = {"crash", "exit", "segv", "spin", "lock", "stall", "idle"};
    int known = 0;
    for (size_t i = 0; argc == 7 && i < sizeof modes / sizeof *modes; ++i)
        known |= strcmp(argv[1], modes[i]) == 0;
    if (!known && !bugs && !seq) {
        fprintf(stderr, "usage: touchapp crash|exit|segv|spin|lock|stall|idle K X0 Y0 X1 Y1\n       touchapp bugs|seq K\n");
        return 2;
    }
    int k = atoi(argv[2]), x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    if (argc == 7)
        x0 = atoi(argv[3]), y0 = atoi(argv[4]), x1 = atoi(argv[5]), y1 = atoi(argv[6]);
    int segv = strcmp(argv[1], "segv") == 0;
    struct rlimit core = {segv ? RLIM_INFINITY : 0, segv ? RLIM_INFINITY : 0};
    if (!bugs) {
        setrlimit(RLIMIT_CORE, &core);
        signal(SIGABRT, dump_and_die);
    }
    if (getenv("TOUCHAPP_FDS") != NULL)
        list_fds(getenv("TOUCHAPP_FDS"));
    if (getenv("TOUCHAPP_SCREENS") != NULL)
        screens = open(getenv("TOUCHAPP_SCREENS"), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

    struct fb fb;
    if (fb_open(&fb) != 0)
        return 2;
    int ev = open("/dev/input/event0", O_RDWR | O_CLOEXEC);
    if (ev < 0)
        return 2;
    int x = 0, y = 0, down = 0, hits = 0, third[3] = {0, 0, 0};
    unsigned painted = 0;
    paint(&fb, 0);
    struct input_event e;
    while (read(ev, &e, sizeof e) == (ssize_t)sizeof e) {
        if (e.type == EV_ABS && (e.code == ABS_X || e.code == ABS_Y))
            e.value = panel_pixel(ev, e.code, e.value, e.code == ABS_X ? fb.v.xres : fb.v.yres);
        if (seq)
            seq_event(&e, &fb, k < 1 ? 1 : k);
        else if (e.type == EV_ABS && e.code == ABS_MT_TRACKING_ID)
            down = e.value >= 0;
        else if (e.type == EV_ABS && e.code == ABS_X)
            x = e.value;
        else if (e.type == EV_ABS && e.code == ABS_Y)
            y = e.value;
        else if (e.type == EV_SYN && down && bugs) {
            down = 0;
            int part = x <= 0 || fb.v.xres == 0 ? 0 : (int)((long long)x * 3 / fb.v.xres);
            part = part > 2 ? 2 : part;
            ++third[part];
            if (part == 0 && third[0] == k)
                write_wild((int*)(long)zero);
            if (part == 1 && third[1] == k)
                give_up();
            if (part == 2)
                write_cut_page();
            paint(&fb, ++painted);
        } else if (e.type == EV_SYN && down) {
            down = 0;
            if (x < x0 || x >= x1 || y < y0 || y >= y1 || ++hits > k)
                continue;
            if (hits == k && strcmp(argv[1], "crash") == 0)
                abort();
            if (hits == k && segv)
                raise(SIGSEGV);
            if (hits == k && strcmp(argv[1], "exit") == 0)
                return 7;
            if (hits == k && strcmp(argv[1], "idle") != 0)
                hang(argv[1]);
            if (hits < k)
                paint(&fb, (unsigned)hits);
        }
    }
    return 0;
}
