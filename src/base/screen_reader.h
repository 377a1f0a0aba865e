// Problem: a crash or a frozen screen is fixed faster with a picture of what
// the device showed, and the frame buffer holds it in the panel's own format.
// Solution: read the visible part of the frame buffer, hash it cheaply for
// change detection, and write it as an 8-bit RGB PNG that appears only whole.
#ifndef TAPFUZZ_BASE_SCREEN_READER_H
#define TAPFUZZ_BASE_SCREEN_READER_H

#include <linux/fb.h>
#include <stdint.h>

#include <string>
#include <vector>

class ScreenReader {
public:
    // Reads the visible screen of the frame buffer at `path` (16, 24 or 32
    // bits per pixel). 0, or -1 with the reason in *why.
    int read(const char* path, std::string* why);

    int width() const { return mWidth; }
    int height() const { return mHigth; }
    // A fingerprint of the pixels last read: a changed pixel changes it.
    uint64_t hash() const;
    // Writes the pixels last read as a PNG at `path`, never replacing a file
    // there. 0, or -1 with the reason in *why.
    int savePng(const std::string& path, std::string* why) const;

private:
    int mWidth = 0;
    int mHigth = 0;
    unsigned mBytes = 0;  // per pixel
    struct fb_bitfield mRed = {}, mGreen = {}, mBlue = {};
    std::vector<unsigned char> mPixels;  // rows of mWidth * mBytes, no padding
};

// Creates `path` holding `data`: written under a temporary name in the same
// folder and linked into place only when whole, so a reader never sees half
// a file; an existing file is never replaced. 0, or -1 with *why.
int writeNewFile(const std::string& path, const std::string& data, std::string* why);

#endif
