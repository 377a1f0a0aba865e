// Problem: the screen must be captured from any panel format the device's
// frame buffer uses, and a saved picture must never be half written.
// Solution: one pread of the visible rows (pieces of them for a hash),
// pixels decoded by the frame buffer's own bit fields, PNG compressed row by
// row by the system's zlib and linked into place from a temporary file.
#include "base/screen_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "base/files.h"

namespace {

// Larger than any panel; keeps the sizes below well inside 32 bits.
const unsigned kMaxSide = 8192;
// The most read for one screen: more is no panel's frame but a driver's
// error, and would cost the watcher that much memory every second.
const uint64_t kMaxReadBytes = 64ULL << 20;

std::string failure(const std::string& what, int err)
{
    return what + ": " + errorText(err);
}

// Written so that no sum can wrap: a driver's offset near 2^32 must not
// pass for a small one.
bool validField(const struct fb_bitfield& f, unsigned bits)
{
    return f.length <= 16 && f.offset < bits && f.length <= bits - f.offset;
}

// A channel of `f.length` bits scaled to 0..255.
unsigned char channel(uint32_t pixel, const struct fb_bitfield& f)
{
    if (f.length == 0)
        return 0;
    uint32_t max = (1u << f.length) - 1;
    uint32_t v = (pixel >> f.offset) & max;
    return static_cast<unsigned char>((v * 255 + max / 2) / max);
}

void put32(std::string* out, uint32_t v)
{
    const char bytes[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    out->append(bytes, 4);
}

void chunk(std::string* png, const char* type, const std::string& data)
{
    put32(png, static_cast<uint32_t>(data.size()));
    size_t at = png->size();
    *png += type;
    *png += data;
    put32(png, static_cast<uint32_t>(
                   crc32(0, reinterpret_cast<const Bytef*>(png->data() + at), static_cast<uInt>(png->size() - at))));
}

// FNV-1a over 64-bit words: eight times fewer multiplications than over
// bytes, and each step is a bijection, so any changed word changes the
// result. Fed in pieces, it gives what it gives for the pieces end to end.
class Fnv {
public:
    void add(const unsigned char* p, size_t n)
    {
        while (n > 0 && mHeld > 0 && mHeld < 8) {
            mWord[mHeld++] = *p++;
            --n;
        }
        if (mHeld == 8) {
            mix(mWord);
            mHeld = 0;
        }
        for (; n >= 8; p += 8, n -= 8)
            mix(p);
        while (n > 0) {
            mWord[mHeld++] = *p++;
            --n;
        }
    }
    uint64_t done() const
    {
        uint64_t h = mHash;
        for (size_t i = 0; i < mHeld; ++i)
            h = (h ^ mWord[i]) * 1099511628211ull;
        return h;
    }

private:
    void mix(const unsigned char* p)
    {
        uint64_t w;
        memcpy(&w, p, 8);
        mHash = (mHash ^ w) * 1099511628211ull;
    }

    uint64_t mHash = 14695981039346656037ull;
    unsigned char mWord[8] = {};
    size_t mHeld = 0;
};

}  // namespace

int getScreenSize(int* width, int* hight)
{
    int fd = openRetry(kFrameBuffer, O_RDWR | O_CLOEXEC);
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

int readFrameLayout(int fd, const char* path, FrameLayout* layout, std::string* why)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = failure(std::string("cannot open ") + path, errno);
        return -1;
    }
    struct fb_var_screeninfo var;
    memset(&var, 0, sizeof var);
    if (!(S_ISCHR(st.st_mode) || S_ISREG(st.st_mode)) || ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0) {
        *why = std::string(path) + " is not a frame buffer";
        return -1;
    }
    unsigned bits = var.bits_per_pixel;
    if (bits != 16 && bits != 24 && bits != 32) {
        *why = std::string(path) + ": " + std::to_string(bits) + " bits per pixel are not supported";
        return -1;
    }
    if (var.xres == 0 || var.yres == 0 || var.xres > kMaxSide || var.yres > kMaxSide ||
        var.xoffset > kMaxSide || var.yoffset > kMaxSide) {
        *why = std::string(path) + ": unusable screen geometry";
        return -1;
    }
    // Drivers that leave the bit fields empty use the usual layouts.
    if (var.red.length == 0 && var.green.length == 0 && var.blue.length == 0) {
        bool rgb565 = bits == 16;
        var.red = {rgb565 ? 11u : 16u, rgb565 ? 5u : 8u, 0};
        var.green = {rgb565 ? 5u : 8u, rgb565 ? 6u : 8u, 0};
        var.blue = {0, rgb565 ? 5u : 8u, 0};
    }
    if (!validField(var.red, bits) || !validField(var.green, bits) || !validField(var.blue, bits)) {
        *why = std::string(path) + ": pixel bit fields out of range";
        return -1;
    }
    const unsigned bytes = bits / 8;
    const uint64_t row = static_cast<uint64_t>(var.xres) * bytes;
    uint64_t line = row;
    struct fb_fix_screeninfo fix;
    memset(&fix, 0, sizeof fix);
    // Drivers that report no line length pack the rows.
    if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) == 0 && fix.line_length != 0)
        line = fix.line_length;
    if (line < row) {
        *why = std::string(path) + ": a line of " + std::to_string(line) + " bytes is shorter than the " +
               std::to_string(row) + " bytes of a visible row";
        return -1;
    }
    // The visible screen must lie inside the virtual one (a virtual side of
    // 0: the visible one) and inside its lines.
    const uint64_t xVirtual = var.xres_virtual != 0 ? var.xres_virtual : var.xres;
    const uint64_t yVirtual = var.yres_virtual != 0 ? var.yres_virtual : var.yres;
    if (var.xoffset + static_cast<uint64_t>(var.xres) > xVirtual ||
        var.yoffset + static_cast<uint64_t>(var.yres) > yVirtual ||
        static_cast<uint64_t>(var.xoffset) * bytes + row > line) {
        *why = std::string(path) + ": the panning offset " + std::to_string(var.xoffset) + "," +
               std::to_string(var.yoffset) + " puts the visible screen outside the frame buffer";
        return -1;
    }
    const uint64_t span = line * (var.yres - 1) + row;
    if (span > kMaxReadBytes) {
        *why = std::string(path) + ": the screen takes " + std::to_string(span >> 20) + " MB to read, more than " +
               std::to_string(kMaxReadBytes >> 20) + " MB";
        return -1;
    }
    layout->width = var.xres;
    layout->height = var.yres;
    layout->bytes = bytes;
    layout->line = line;
    layout->start = var.yoffset * line + static_cast<uint64_t>(var.xoffset) * bytes;
    layout->red = var.red;
    layout->green = var.green;
    layout->blue = var.blue;
    return 0;
}

int openFrameBuffer(const char* path, Fd* screen, FrameLayout* layout, std::string* why)
{
    // O_NONBLOCK: whatever sits at the path (a fifo, say) must not hang the
    // watcher or the run.
    screen->reset(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (screen->get() < 0) {
        *why = failure(std::string("cannot open ") + path, errno);
        return -1;
    }
    return readFrameLayout(screen->get(), path, layout, why);
}

// pread until `size` bytes are in, or -1 with the reason in *why.
int ScreenReader::readAt(int fd, const char* path, unsigned char* to, size_t size, off_t at, std::string* why)
{
    ssize_t n = preadAll(fd, to, size, at);
    if (n == static_cast<ssize_t>(size))
        return 0;
    *why = n < 0 ? failure(std::string("cannot read ") + path, errno)
                 : std::string(path) + " holds less than the visible screen";
    return -1;
}

int ScreenReader::read(const char* path, std::string* why)
{
    // A failed read leaves no screen behind, rather than the pixels of one
    // read with the sizes of another.
    mWidth = mHigth = 0;
    mPixels.clear();
    Fd fd;
    FrameLayout l;
    if (openFrameBuffer(path, &fd, &l, why) != 0)
        return -1;
    // The visible rows in one read from the panning offset, then packed.
    const size_t row = static_cast<size_t>(l.width) * l.bytes, line = static_cast<size_t>(l.line);
    const size_t span = line * (l.height - 1) + row;
    mPixels.resize(span);
    if (readAt(fd.get(), path, mPixels.data(), span, static_cast<off_t>(l.start), why) != 0) {
        mPixels.clear();
        return -1;
    }
    for (size_t y = 1; line != row && y < l.height; ++y)
        memmove(mPixels.data() + y * row, mPixels.data() + y * line, row);
    mPixels.resize(row * l.height);
    mBytes = l.bytes;
    mWidth = static_cast<int>(l.width);
    mHigth = static_cast<int>(l.height);
    mRed = l.red;
    mGreen = l.green;
    mBlue = l.blue;
    return 0;
}

int ScreenReader::hashScreen(const char* path, uint64_t* hash, std::string* why)
{
    Fd fd;
    FrameLayout l;
    if (openFrameBuffer(path, &fd, &l, why) != 0)
        return -1;
    // Whole lines at a time, up to a piece of 32 KiB (one row at the least);
    // only the visible part of each line is hashed, in the order read() packs it.
    const size_t row = static_cast<size_t>(l.width) * l.bytes, line = static_cast<size_t>(l.line);
    const size_t kPiece = 32 * 1024;
    const size_t rowsPerPiece = line < kPiece ? kPiece / line : 1;
    std::vector<unsigned char> piece(line * (rowsPerPiece - 1) + row);
    Fnv fnv;
    for (size_t y = 0; y < l.height;) {
        size_t rows = l.height - y < rowsPerPiece ? l.height - y : rowsPerPiece;
        if (readAt(fd.get(), path, piece.data(), line * (rows - 1) + row,
                   static_cast<off_t>(l.start + y * line), why) != 0)
            return -1;
        for (size_t r = 0; r < rows; ++r)
            fnv.add(piece.data() + r * line, row);
        y += rows;
    }
    *hash = fnv.done();
    return 0;
}

uint64_t ScreenReader::hash() const
{
    Fnv fnv;
    fnv.add(mPixels.data(), mPixels.size());
    return fnv.done();
}

int ScreenReader::savePng(const std::string& path, std::string* why) const
{
    if (mWidth == 0) {
        *why = "no screen was read";
        return -1;
    }
    std::string header;
    put32(&header, static_cast<uint32_t>(mWidth));
    put32(&header, static_cast<uint32_t>(mHigth));
    header.append("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter choice, no interlace
    std::string png("\x89PNG\r\n\x1a\n", 8);
    chunk(&png, "IHDR", header);

    // The image data is compressed a row at a time straight into its chunk:
    // beside the pixels held, a shot costs a row and the compressed picture,
    // not a copy of the whole screen as RGB and another compressed.
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    if (deflateInit(&zs, Z_BEST_SPEED) != Z_OK) {
        *why = "cannot compress the screen";
        return -1;
    }
    const size_t idat = png.size();
    png.append("\0\0\0\0IDAT", 8);  // its length is known at the end
    // Each row: filter type 0, then R, G, B per pixel.
    std::vector<unsigned char> row(static_cast<size_t>(mWidth) * 3 + 1);
    unsigned char out[16 * 1024];
    const unsigned char* p = mPixels.data();
    int rc = Z_OK;
    for (int y = 0; y <= mHigth && rc != Z_STREAM_ERROR; ++y) {
        const bool last = y == mHigth;
        size_t at = 1;
        for (int x = 0; !last && x < mWidth; ++x, p += mBytes) {
            // Frame buffers of both targets are little-endian.
            uint32_t pixel = 0;
            for (unsigned b = 0; b < mBytes; ++b)
                pixel |= static_cast<uint32_t>(p[b]) << (8 * b);
            row[at++] = channel(pixel, mRed);
            row[at++] = channel(pixel, mGreen);
            row[at++] = channel(pixel, mBlue);
        }
        zs.next_in = row.data();
        zs.avail_in = last ? 0 : static_cast<uInt>(row.size());
        do {
            zs.next_out = out;
            zs.avail_out = sizeof out;
            rc = deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
            png.append(reinterpret_cast<const char*>(out), sizeof out - zs.avail_out);
        } while (zs.avail_out == 0 && rc != Z_STREAM_ERROR);
    }
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) {
        *why = "cannot compress the screen";
        return -1;
    }
    std::string length;
    put32(&length, static_cast<uint32_t>(png.size() - idat - 8));
    png.replace(idat, 4, length);
    put32(&png, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(png.data() + idat + 4),
                                            static_cast<uInt>(png.size() - idat - 4))));
    chunk(&png, "IEND", "");
    return writeNewFile(path, png, why);
}
