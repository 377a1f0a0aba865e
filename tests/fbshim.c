/* Problem: the end-to-end tests run the shipped tapfuzz against regular
 * files standing in for /dev/fb0 and /dev/input/event0, and a regular file
 * answers no frame-buffer or evdev ioctl.
 * Solution: a module preloaded into the program that answers those two
 * queries the way the drivers would and hands every other ioctl on. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/fb.h>
#include <linux/input.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    /* TAPFUZZ_TEST_FB="WxH": the screen the frame buffer reports, 32 bits
     * per pixel without bit fields or line length, as some drivers give. Or
     * "WxHxBPP": 16 bits RGB565 or 24/32 bits with red in the low byte, rows
     * padded by 32 bytes; "WxHxBPP:LINE" with lines of LINE bytes, and
     * "WxHxBPP:LINE:RED" with the red field at bit RED as well. Without it
     * the queries fail as on a node that is no frame buffer. */
    const char* size = getenv("TAPFUZZ_TEST_FB");
    unsigned xres, yres, bpp = 0, line = 0, red = 0;
    char extra;
    int n = size == NULL ? 0 : sscanf(size, "%ux%ux%u:%u:%u%c", &xres, &yres, &bpp, &line, &red, &extra);
    if ((request == FBIOGET_VSCREENINFO && (n < 2 || n > 5)) || (request == FBIOGET_FSCREENINFO && (n < 3 || n > 5))) {
        errno = ENOTTY;
        return -1;
    }
    if (request == FBIOGET_VSCREENINFO) {
        struct fb_var_screeninfo* info = (struct fb_var_screeninfo*)arg;
        memset(info, 0, sizeof *info);
        info->xres = info->xres_virtual = xres;
        info->yres = info->yres_virtual = yres;
        info->bits_per_pixel = n >= 3 ? bpp : 32;
        if (n >= 3) {
            struct fb_bitfield rgb565[3] = {{11, 5, 0}, {5, 6, 0}, {0, 5, 0}}, low[3] = {{0, 8, 0}, {8, 8, 0}, {16, 8, 0}};
            struct fb_bitfield* f = bpp == 16 ? rgb565 : low;
            info->red = f[0], info->green = f[1], info->blue = f[2];
        }
        if (n == 5)
            info->red.offset = red;
        return 0;
    }
    if (request == FBIOGET_FSCREENINFO) {
        struct fb_fix_screeninfo* fix = (struct fb_fix_screeninfo*)arg;
        memset(fix, 0, sizeof *fix);
        fix->line_length = n >= 4 ? line : xres * bpp / 8 + 32;
        return 0;
    }
    /* TAPFUZZ_TEST_SLOTS=N: a touch panel of N multi-touch slots. */
    const char* slots = getenv("TAPFUZZ_TEST_SLOTS");
    if (request == EVIOCGABS(ABS_MT_SLOT) && slots != NULL) {
        memset(arg, 0, sizeof(struct input_absinfo));
        ((struct input_absinfo*)arg)->maximum = atoi(slots) - 1;
        return 0;
    }
    /* TAPFUZZ_TEST_RANGE="XMIN,XMAX,YMIN,YMAX": the panel's axes, single- and
     * multi-touch alike. */
    const char* range = getenv("TAPFUZZ_TEST_RANGE");
    int r[4];
    const int axis = request == EVIOCGABS(ABS_MT_POSITION_X) || request == EVIOCGABS(ABS_X)   ? 0
                     : request == EVIOCGABS(ABS_MT_POSITION_Y) || request == EVIOCGABS(ABS_Y) ? 1
                                                                                              : -1;
    if (axis >= 0 && range != NULL && sscanf(range, "%d,%d,%d,%d", &r[0], &r[1], &r[2], &r[3]) == 4) {
        memset(arg, 0, sizeof(struct input_absinfo));
        ((struct input_absinfo*)arg)->minimum = r[2 * axis];
        ((struct input_absinfo*)arg)->maximum = r[2 * axis + 1];
        return 0;
    }
    if (request == EVIOCGVERSION) {
        *(int*)arg = 0x010001;
        return 0;
    }
    ioctl_fn next = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, arg);
}
