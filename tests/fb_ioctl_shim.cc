// Problem: a regular file standing in for /dev/fb0 cannot answer
// FBIOGET_VSCREENINFO, and the real frame buffer must not be touched.
// Solution: this test executable's own ioctl(), which answers that one
// request on /dev/fb0 as the test says and forwards everything else.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <linux/fb.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "generator_shims.h"

namespace {

enum class FbMode { Forward, Answer, Fail };

FbMode gMode = FbMode::Forward;
unsigned gXres = 0;
unsigned gYres = 0;
int gErr = 0;

bool IsFrameBuffer(int fd)
{
    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0)
        return false;
    target[n] = '\0';
    return strcmp(target, "/dev/fb0") == 0;
}

}  // namespace

void FbAnswer(unsigned xres, unsigned yres)
{
    gMode = FbMode::Answer;
    gXres = xres;
    gYres = yres;
}

void FbFail(int err)
{
    gMode = FbMode::Fail;
    gErr = err;
}

void FbForward()
{
    gMode = FbMode::Forward;
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    if (request == FBIOGET_VSCREENINFO && gMode != FbMode::Forward && IsFrameBuffer(fd)) {
        if (gMode == FbMode::Fail) {
            errno = gErr;
            return -1;
        }
        struct fb_var_screeninfo* info = static_cast<struct fb_var_screeninfo*>(arg);
        memset(info, 0, sizeof *info);
        info->xres = gXres;
        info->yres = gYres;
        info->xres_virtual = gXres;
        info->yres_virtual = gYres;
        return 0;
    }
    using IoctlFn = int (*)(int, unsigned long, ...);
    static IoctlFn next = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, arg);
}
