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

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    /* TAPFUZZ_TEST_FB="WxH": the screen the frame buffer reports; anything
     * else fails the query as on a node that is no frame buffer. */
    const char* size = getenv("TAPFUZZ_TEST_FB");
    struct fb_var_screeninfo* info = arg;
    char extra;
    if (request == FBIOGET_VSCREENINFO) {
        memset(info, 0, sizeof *info);
        if (size == NULL || sscanf(size, "%ux%u%c", &info->xres, &info->yres, &extra) != 2)
            return errno = ENOTTY, -1;
        return 0;
    }
    if (request == EVIOCGVERSION)
        return *(int*)arg = 0x010001, 0;
    int (*next)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    return next ? next(fd, request, arg) : (errno = ENOSYS, -1);
}
