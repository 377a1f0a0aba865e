/* Problem: a tester that steers its gestures by what the screen shows needs
 * a yardstick: an application whose screens lie deep, some only behind a
 * swipe or a long click, that counts the screens reached itself.
 * Solution: a maze of 38 screens in a tree (depth 0 to 7) read from
 * /dev/input/event0 and drawn into /dev/fb0. A screen is 2 to 5 solid
 * buttons, 30x30 to 200x120, on a plain background, laid out on an 800x480
 * plane (scaled to the frame buffer) by a generator of fixed seed: the same
 * touches in the same order give the same screens.
 * - a touch that stays within 20 px of where it went down is a tap: on a button
 *   it opens the screen below it, however long it was held; the back button
 *   (top left, on every screen but the root) and KEY_BACK open the parent;
 *   an idle button or no button changes nothing and draws nothing;
 * - screen 2: a swipe ending at least 100 px left of its start (more left
 *   than up or down), anywhere, opens screen 32, which no button opens;
 * - screen 7: its button to screen 36 opens it only when held 500 ms (by
 *   the maze's own clock); a shorter tap does nothing;
 * - screen 25 (depth 5): its last button dies of SIGSEGV in crash_deep();
 * - a cursor of 4x16 (top right) blinks every 500 ms unless -n: no new screen;
 * - -b: a status bar above the buttons, redrawn by itself as a real
 *   application's would be: a clock of four blocks whose colours tick every
 *   500 ms, a progress bar growing every 100 ms, and a block sliding to and
 *   fro every 50 ms. It is no new screen either.
 * Each screen shown, the first included, appends "screen N depth D" to LOG
 * with one write().
 * Usage: maze [-n|-b] LOG */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "fbdraw.h"

enum { TAP, SWIPE, HOLD };
/* Each screen's parent and the gesture that opens it from there. */
static const struct {
    signed char parent;
    unsigned char how;
} tree[] = {
    {-1, TAP},                                                                                    /* 0 */
    {0, TAP}, {0, TAP}, {0, TAP},                                                                 /* 1-3 */
    {1, TAP}, {1, TAP}, {2, TAP}, {2, TAP}, {2, TAP}, {3, TAP},                                   /* 4-9 */
    {4, TAP}, {4, TAP}, {5, TAP}, {6, TAP}, {6, TAP}, {8, TAP}, {9, TAP}, {9, TAP},               /* 10-17 */
    {10, TAP}, {11, TAP}, {11, TAP}, {13, TAP}, {15, TAP}, {16, TAP},                             /* 18-23 */
    {18, TAP}, {19, TAP}, {21, TAP}, {22, TAP},                                                   /* 24-27 */
    {24, TAP}, {25, TAP}, {26, TAP},                                                              /* 28-30 */
    {28, TAP},                                                                                    /* 31 */
    {2, SWIPE}, {32, TAP}, {32, TAP}, {33, TAP},                                                  /* 32-35 */
    {7, HOLD}, {36, TAP},                                                                         /* 36-37 */
};
#define SCREENS (int)(sizeof tree / sizeof tree[0])
enum { BACK = -1, IDLE = -2, CRASH = -3, CRASH_SCREEN = 25 };

struct button {
    int x, y, w, h; /* on the 800x480 plane */
    int to;         /* a screen, BACK, IDLE or CRASH */
};

static struct fb fb;
static unsigned char* row;
static int screen, nbuttons, blink_on, logfd, status;
static unsigned frame;
static struct button buttons[5];
static const uint32_t bg = 0x203040, palette[] = {0xd04040, 0x40b040, 0x5070e0, 0xd0b030, 0xb040b0, 0x30b0b0, 0xe08030};
static volatile int zero;

__attribute__((noinline)) static void crash_deep(int* p)
{
    *p = 1;
}

static int depth(int s)
{
    return s == 0 ? 0 : 1 + depth(tree[s].parent);
}

/* The plane's point under frame-buffer pixel (x, y): what is drawn there
 * and what a touch there hits. */
static int plane_x(long long x) { return (int)(x * 800 / fb.v.xres); }
static int plane_y(long long y) { return (int)(y * 480 / fb.v.yres); }
/* The first column of pixels at plane x v or right of it. */
static unsigned column(int v) { return (unsigned)(((long long)v * fb.v.xres + 799) / 800); }

/* The button at plane point (x, y); -1 for none. */
static int button_at(int x, int y)
{
    for (int i = 0; i < nbuttons; ++i)
        if (x >= buttons[i].x && x < buttons[i].x + buttons[i].w && y >= buttons[i].y && y < buttons[i].y + buttons[i].h)
            return i;
    return -1;
}

/* The next number of a fixed sequence: a 32-bit mix of a Weyl sequence. */
static unsigned draw(unsigned* state)
{
    unsigned x = *state += 0x9e3779b9u;
    x = (x ^ x >> 16) * 0x7feb352du;
    x = (x ^ x >> 15) * 0x846ca68bu;
    return x ^ x >> 16;
}

static int overlaps(const struct button* a, const struct button* b)
{
    return a->x < b->x + b->w + 10 && b->x < a->x + a->w + 10 && a->y < b->y + b->h + 10 && b->y < a->y + a->h + 10;
}

/* Screen s's buttons: back, one per screen a tap or hold opens, the crash,
 * then idle ones up to 2 (and one more on every third screen and on every
 * fifth from screen 2), at most 5 in all, placed apart
 * below the back button's row. */
static void lay_out(int s)
{
    unsigned seed = 0x85ebca6bu * (unsigned)s;
    nbuttons = 0;
    if (s != 0)
        buttons[nbuttons++] = (struct button){10, 10, 60, 40, BACK};
    for (int c = 1; c < SCREENS; ++c)
        if (tree[c].parent == s && tree[c].how != SWIPE)
            buttons[nbuttons++].to = c;
    if (s == CRASH_SCREEN)
        buttons[nbuttons++].to = CRASH;
    int want = (nbuttons < 2 ? 2 : nbuttons) + (s % 3 == 0) + (s % 5 == 2);
    while (nbuttons < want && nbuttons < 5)
        buttons[nbuttons++].to = IDLE;
    for (int i = s != 0; i < nbuttons; ++i) {
        struct button* b = &buttons[i];
        for (int clear = 0; !clear;) {
            b->w = 30 + (int)(draw(&seed) % 171);
            b->h = 30 + (int)(draw(&seed) % 91);
            b->x = (int)(draw(&seed) % (unsigned)(800 - b->w));
            b->y = 60 + (int)(draw(&seed) % (unsigned)(420 - b->h));
            clear = 1;
            for (int j = s != 0; j < i; ++j)
                clear = clear && !overlaps(b, &buttons[j]);
        }
    }
}

/* On plane 770..773 x 20..35. */
static void draw_cursor(void)
{
    unsigned x = column(770), w = column(774) - x;
    fb_span(&fb, row, x, w, fb_rgb(&fb, blink_on ? 0xffffff : bg));
    for (unsigned y = (20 * fb.v.yres + 479) / 480; plane_y(y) < 36; ++y)
        fb_put(&fb, row, x, w, y);
}

/* The plane's rectangle (x, y, w, h) filled with colour rgb. */
static void fill(int x, int y, int w, int h, uint32_t rgb)
{
    unsigned cx = column(x), cw = column(x + w) - cx;
    fb_span(&fb, row, cx, cw, fb_rgb(&fb, rgb));
    for (unsigned py = (unsigned)(((long long)y * fb.v.yres + 479) / 480); py < fb.v.yres && plane_y(py) < y + h; ++py)
        fb_put(&fb, row, cx, cw, py);
}

/* The status bar's frame `t` (one every 50 ms), on plane 100..760 x 12..44,
 * right of the back button and left of the cursor. */
static void draw_status(unsigned t)
{
    static const uint32_t ticks[] = {0xe0e0e0, 0x808080, 0xf0c000, 0x00a0f0, 0xf04080};
    for (int d = 0; d < 4; ++d)
        fill(100 + 36 * d, 12, 30, 32, ticks[(t / 10 + (unsigned)d * 3) % 5]);
    unsigned filled = t / 2 % 25 * 10;
    fill(260, 20, (int)filled, 16, 0x40e040);
    fill(260 + (int)filled, 20, 250 - (int)filled, 16, 0x404040);
    unsigned step = t % 28, at = step < 14 ? step : 28 - step;
    fill(530, 12, 230, 32, bg);
    fill(530 + (int)at * 14, 12, 32, 32, 0xffffff);
}

static void show(int s)
{
    screen = s;
    lay_out(s);
    uint32_t px[6] = {[5] = fb_rgb(&fb, bg)};
    for (int i = 0; i < nbuttons; ++i)
        px[i] = fb_rgb(&fb, buttons[i].to == BACK ? 0xc0c0c0 : palette[(s + i) % 7]);
    for (unsigned y = 0; y < fb.v.yres; ++y) {
        fb_span(&fb, row, 0, fb.v.xres, px[5]);
        for (int i = 0; i < nbuttons; ++i)
            if (plane_y(y) >= buttons[i].y && plane_y(y) < buttons[i].y + buttons[i].h)
                fb_span(&fb, row, column(buttons[i].x), column(buttons[i].x + buttons[i].w) - column(buttons[i].x), px[i]);
        if (fb_put(&fb, row, 0, fb.v.xres, y) != 0)
            exit(2);
    }
    draw_cursor();
    if (status)
        draw_status(frame);
    char line[40];
    int n = snprintf(line, sizeof line, "screen %d depth %d\n", s, depth(s));
    if (write(logfd, line, (size_t)n) != n)
        fprintf(stderr, "maze: the screen log is short\n");
}

/* The finger went down at (x0, y0), was held `held` ms and lifted at (x, y);
 * `moved`: it went 20 px or more from where it went down. */
static void lifted(int x0, int y0, int x, int y, long long held, int moved)
{
    int dx = plane_x((long long)x - x0), dy = plane_y((long long)y - y0);
    int swiped = -1;
    for (int c = 1; c < SCREENS; ++c)
        if (tree[c].parent == screen && tree[c].how == SWIPE && dx <= -100 && abs(dy) <= -dx)
            swiped = c;
    if (moved && swiped > 0)
        show(swiped);
    if (moved)
        return;
    int i = button_at(plane_x(x0), plane_y(y0)), to = i < 0 ? IDLE : buttons[i].to;
    if (to == BACK)
        show(tree[screen].parent);
    else if (to == CRASH)
        crash_deep((int*)(long)zero);
    else if (to >= 0 && (tree[to].how != HOLD || held >= 500))
        show(to);
}

static long long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

int main(int argc, char** argv)
{
    int blink = argc == 2 || (argc == 3 && strcmp(argv[1], "-b") == 0);
    status = argc == 3 && strcmp(argv[1], "-b") == 0;
    if ((argc != 2 && argc != 3) || (argc == 3 && strcmp(argv[1], "-n") != 0 && !status) || argv[argc - 1][0] == '-') {
        fprintf(stderr, "usage: maze [-n|-b] LOG\n");
        return 2;
    }
    logfd = open(argv[argc - 1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logfd < 0) {
        perror(argv[argc - 1]);
        return 2;
    }
    struct pollfd ev = {open("/dev/input/event0", O_RDWR | O_CLOEXEC), POLLIN, 0};
    if (fb_open(&fb) != 0 || ev.fd < 0 || fb.v.xres < 80 || fb.v.yres < 48 || fb.bytes == 0 ||
        (row = calloc(fb.v.xres, fb.bytes)) == NULL)
        return 2;
    show(0);
    int x = 0, y = 0, x0 = 0, y0 = 0, down = 0, pressed = 0, lift = 0, moved = 0;
    long long t0 = 0, next_blink = now_ms() + 500, next_frame = now_ms() + 50;
    struct input_event e;
    for (;;) {
        long long wait = next_blink - now_ms();
        if (blink && wait <= 0) {
            blink_on = !blink_on;
            draw_cursor();
            next_blink = now_ms() + 500;
            continue;
        }
        if (status && next_frame - now_ms() <= 0) {
            draw_status(++frame);
            next_frame = now_ms() + 50;
            continue;
        }
        if (status && next_frame - now_ms() < wait)
            wait = next_frame - now_ms();
        if (poll(&ev, 1, blink ? (int)wait : -1) <= 0)
            continue;
        if (read(ev.fd, &e, sizeof e) != (ssize_t)sizeof e)
            return 0;
        if (e.type == EV_ABS && (e.code == ABS_X || e.code == ABS_Y))
            e.value = panel_pixel(ev.fd, e.code, e.value, e.code == ABS_X ? fb.v.xres : fb.v.yres);
        if (e.type == EV_ABS && e.code == ABS_MT_TRACKING_ID)
            pressed = e.value >= 0, lift = e.value < 0;
        else if (e.type == EV_ABS && e.code == ABS_X)
            x = e.value;
        else if (e.type == EV_ABS && e.code == ABS_Y)
            y = e.value;
        else if (e.type == EV_KEY && e.code == KEY_BACK && e.value == 1 && screen != 0)
            show(tree[screen].parent);
        else if (e.type == EV_SYN && e.code == SYN_REPORT) {
            if (pressed)
                down = 1, pressed = 0, x0 = x, y0 = y, t0 = now_ms(), moved = 0;
            moved = moved || abs(plane_x((long long)x - x0)) >= 20 || abs(plane_y((long long)y - y0)) >= 20;
            if (lift && down)
                lifted(x0, y0, x, y, now_ms() - t0, moved);
            down = down && !lift, lift = 0;
        }
    }
}
