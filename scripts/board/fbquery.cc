// Problem: tapfuzz sizes its touch grid from the frame buffer; the board must
// prove that /dev/fb0 really answers with the screen size the run assumes.
// Solution: ask the frame buffer the same question and print the answer.
//
// usage: fbquery   (prints "XRES YRES BITS_PER_PIXEL")
#include <linux/fb.h>
#include <sys/ioctl.h>

#include "board_io.h"

int main()
{
    board::Fd fd(board::open_retry("/dev/fb0", O_RDWR));
    if (!fd.valid())
        board::die("fbquery", "open /dev/fb0: %s", strerror(errno));
    struct fb_var_screeninfo info;
    memset(&info, 0, sizeof info);
    if (ioctl(fd.get(), FBIOGET_VSCREENINFO, &info) < 0)
        board::die("fbquery", "FBIOGET_VSCREENINFO: %s", strerror(errno));
    printf("%u %u %u\n", info.xres, info.yres, info.bits_per_pixel);
    return 0;
}
