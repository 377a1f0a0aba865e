// Problem: small conversions and draws shared by the option reader, the
// pacing, the event source and the core-dump monitor.
// Solution: free functions with exactly the arithmetic the run relies on
// (single precision where a draw or an option is compared, 32-bit wrap for
// the seed).
#include "base/utils.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

long GetMseconds()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    // Milliseconds since the epoch, wrapped to 32 bits as on the device.
    uint32_t ms = static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
    return static_cast<long>(static_cast<int32_t>(ms));
}

std::string showusage()
{
    return "usage: tapfuzz :[-a appname] \n"
           "               [--pct-touch PERCENT]\n"
           "               [--pct-longclick PERCENT]\n"
           "               [--pct-motion PERCENT]\n"
           "               [--pct-presskey PERCENT]\n"
           "               [--throttle MILLISEC]\n"
           "               [--seed N]\n"
           "               [--stop-on-crash]\n"
           "               [--help]\n"
           "               COUNT\n"
           "       tapfuzz --replay FILE [--from N] [--to M] [--speed F]\n"
           "       tapfuzz --report FOLDER\n";
}

float nextOptionLong(const char* argv, std::string str)
{
    (void)str;
    if (argv == nullptr)
        return 0.0f;
    return static_cast<float>(strtol(argv, nullptr, 10));
}

int floatToInt(float value)
{
    // 2^31 is exactly representable; anything at or beyond it saturates.
    if (value != value)
        return 0;
    if (value >= 2147483648.0f)
        return INT32_MAX;
    if (value <= -2147483648.0f)
        return INT32_MIN;
    return static_cast<int>(value);
}

int Str2Int(const char* str, int* x, int* y)
{
    // Each figure is at most 7 characters (the range value holds 31): longer
    // text is not a pause this reader understands, so nothing is stored.
    const char* comma = strchr(str, ',');
    if (comma == nullptr)
        return -1;
    size_t left = static_cast<size_t>(comma - str);
    size_t right = strlen(comma + 1);
    if (left > 7 || right > 7)
        return -1;
    char tmpvalue[8];
    memcpy(tmpvalue, str, left);
    tmpvalue[left] = '\0';
    *x = static_cast<int>(strtol(tmpvalue, nullptr, 10));
    memcpy(tmpvalue, comma + 1, right);
    tmpvalue[right] = '\0';
    *y = static_cast<int>(strtol(tmpvalue, nullptr, 10));
    return 0;
}

int getRandomTime(int time)
{
    return rand() % time;
}

float get_rand()
{
    return static_cast<float>(rand() % 1000) / 1000.0f;
}

int getNextInt(int randomInt)
{
    return rand() % randomInt;
}

int getScreenSize(int* width, int* hight)
{
    int fd;
    do {
        fd = open("/dev/fb0", O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct fb_var_screeninfo vinfo;
    memset(&vinfo, 0, sizeof vinfo);
    int ret = ioctl(fd, FBIOGET_VSCREENINFO, &vinfo);
    int saved = errno;
    close(fd);
    if (ret < 0) {
        errno = saved;
        return -1;
    }
    *width = static_cast<int>(vinfo.xres);
    *hight = static_cast<int>(vinfo.yres);
    return 0;
}

void timeStampConversion(const char* timestamp, char* timeslocal)
{
    time_t t = static_cast<time_t>(strtol(timestamp, nullptr, 10));
    struct tm tmv;
    char buf[128];
    buf[0] = '\0';
    if (localtime_r(&t, &tmv) != nullptr)
        strftime(buf, sizeof buf, "%Y-%m-%d_%H:%M:%S", &tmv);
    snprintf(timeslocal, 128, "%s", buf);
}
