// Problem: the run needs the screen's size, and a crash or a frozen screen
// is fixed faster with a picture of what the device showed; the frame
// buffer holds it in the panel's own format.
// Solution: ask the frame buffer for its size; read its visible part, hash
// it cheaply for change detection, and write it as an 8-bit RGB PNG that
// appears only whole.
#ifndef TAPFUZZ_BASE_SCREEN_READER_H
#define TAPFUZZ_BASE_SCREEN_READER_H

#include <linux/fb.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "base/files.h"

// The frame buffer of the device's screen.
const char kFrameBuffer[] = "/dev/fb0";

// 0 with the frame buffer's xres/yres stored; -1 when /dev/fb0 cannot be
// opened or queried (the outputs are then left as they were).
int getScreenSize(int* width, int* hight);

// Where the visible screen lies in the frame buffer and how its pixels are
// laid out, as its driver reports them, checked.
struct FrameLayout {
    unsigned width = 0, height = 0;  // visible pixels
    unsigned bytes = 0;              // per pixel: 2, 3 or 4
    uint64_t line = 0;               // bytes from one row to the next
    uint64_t start = 0;              // offset of the first visible pixel
    struct fb_bitfield red = {}, green = {}, blue = {};
};

// The layout of the frame buffer open at `fd` (named `path` in messages).
// 0, or -1 with the reason in *why.
int readFrameLayout(int fd, const char* path, FrameLayout* layout, std::string* why);
// Opens the frame buffer at `path` into *screen, never blocking on what
// sits there (a fifo, say), and reads its layout. 0, or -1 with the reason
// in *why.
int openFrameBuffer(const char* path, Fd* screen, FrameLayout* layout, std::string* why);

class ScreenReader {
public:
    // Reads the visible screen of the frame buffer at `path` (16, 24 or 32
    // bits per pixel). 0, or -1 with the reason in *why.
    int read(const char* path, std::string* why);

    int width() const { return mWidth; }
    int height() const { return mHigth; }
    // A fingerprint of the pixels last read: a changed pixel changes it.
    uint64_t hash() const;
    // The hash() the screen at `path` would have after read(), taken from
    // the frame buffer a few lines at a time: a check once a second needs
    // no copy of the whole frame (1.5 MB at 800x480x32). 0, or -1 with the
    // reason in *why.
    static int hashScreen(const char* path, uint64_t* hash, std::string* why);
    // Writes the pixels last read as a PNG at `path`, never replacing a file
    // there. 0, or -1 with the reason in *why.
    int savePng(const std::string& path, std::string* why) const;

private:
    static int readAt(int fd, const char* path, unsigned char* to, size_t size, off_t at, std::string* why);

    int mWidth = 0;
    int mHigth = 0;
    unsigned mBytes = 0;  // per pixel
    struct fb_bitfield mRed = {}, mGreen = {}, mBlue = {};
    std::vector<unsigned char> mPixels;  // rows of mWidth * mBytes, no padding
};

#endif
