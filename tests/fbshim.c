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

    if (request == FBIOGET_VSCREENINFO) {
        /* TAPFUZZ_TEST_FB="WxH": the screen the frame buffer reports. Without
         * it the query fails as on a node that is no frame buffer. */
        const char* size = getenv("TAPFUZZ_TEST_FB");
        unsigned xres, yres;
        char extra;
        if (size == NULL || sscanf(size, "%ux%u%c", &xres, &yres, &extra) != 2) {
            errno = ENOTTY;
            return -1;
        }
        struct fb_var_screeninfo* info = (struct fb_var_screeninfo*)arg;
        memset(info, 0, sizeof *info);
        info->xres = info->xres_virtual = xres;
        info->yres = info->yres_virtual = yres;
        info->bits_per_pixel = 32;
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
