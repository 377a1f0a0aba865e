/* The frame buffer as the test applications draw into it: by the bit fields
 * and line length its driver reports (XRGB8888 when it reports no fields),
 * with pwrite, so that a regular file can stand in for /dev/fb0. Only the
 * pixels drawn are written: the padding of long lines stays a hole. */
#ifndef TESTS_APP_FBDRAW_H
#define TESTS_APP_FBDRAW_H

#include <fcntl.h>
#include <linux/fb.h>
#include <linux/input.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

struct fb {
    int fd;
    struct fb_var_screeninfo v;
    unsigned line, bytes; /* bytes per line and per pixel */
};

/* 0 with /dev/fb0 open and described; -1 when it is no frame buffer. */
static int fb_open(struct fb* fb)
{
    struct fb_fix_screeninfo fix;
    memset(&fix, 0, sizeof fix);
    fb->fd = open("/dev/fb0", O_RDWR | O_CLOEXEC);
    if (fb->fd < 0 || ioctl(fb->fd, FBIOGET_VSCREENINFO, &fb->v) != 0)
        return -1;
    if (fb->v.red.length == 0) { /* no fields given: XRGB8888 */
        fb->v.red = (struct fb_bitfield){16, 8, 0};
        fb->v.green = (struct fb_bitfield){8, 8, 0};
        fb->v.blue = (struct fb_bitfield){0, 8, 0};
    }
    fb->bytes = fb->v.bits_per_pixel / 8;
    fb->line = ioctl(fb->fd, FBIOGET_FSCREENINFO, &fix) == 0 ? fix.line_length : fb->v.xres * fb->bytes;
    return 0;
}

/* A panel value of axis `code` (ABS_X, ABS_Y) as the pixel a toolkit puts
 * it on: scaled from the axis's range to 0..size-1, rounded. A node that
 * answers no range (a file standing in for it) gives pixels already. */
static int panel_pixel(int ev, int code, int v, unsigned size)
{
    struct input_absinfo a;
    memset(&a, 0, sizeof a);
    if (size < 2 || ioctl(ev, EVIOCGABS(code), &a) != 0 || a.maximum <= a.minimum || v < a.minimum)
        return v;
    const long long span = (long long)a.maximum - a.minimum;
    return (int)((((long long)v - a.minimum) * (size - 1) * 2 + span) / (2 * span));
}

/* An 8-bit channel in field f: 0 and 255 exact at any width; a field out of
 * range takes nothing. */
static uint32_t fb_channel(unsigned c, struct fb_bitfield f)
{
    return f.offset < 32 && f.length < 32 ? (uint32_t)((uint64_t)c * ((1u << f.length) - 1) / 255) << f.offset : 0;
}

/* The pixel of colour 0xRRGGBB. */
static uint32_t fb_rgb(const struct fb* fb, uint32_t rgb)
{
    return fb_channel(rgb >> 16 & 255, fb->v.red) | fb_channel(rgb >> 8 & 255, fb->v.green) |
           fb_channel(rgb & 255, fb->v.blue);
}

/* Pixels x .. x+n-1 of `row` set to px. */
static void fb_span(const struct fb* fb, unsigned char* row, unsigned x, unsigned n, uint32_t px)
{
    for (unsigned i = x; i < x + n; ++i)
        for (unsigned b = 0; b < fb->bytes; ++b)
            row[i * fb->bytes + b] = (unsigned char)(px >> (8 * b));
}

/* Pixels x .. x+n-1 of `row` onto line y: 0, or -1 when the write falls short. */
static int fb_put(const struct fb* fb, const unsigned char* row, unsigned x, unsigned n, unsigned y)
{
    size_t at = (size_t)x * fb->bytes, size = (size_t)n * fb->bytes;
    return pwrite(fb->fd, row + at, size, (off_t)y * fb->line + (off_t)at) == (ssize_t)size ? 0 : -1;
}

#endif
