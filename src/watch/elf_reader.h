// Problem: the dump, the modules it names and the fuzzer's bytes are all
// read by offset, and every offset in them comes from a file anyone may
// have written.
// Solution: one small reader seam, a descriptor read with pread or a buffer,
// whose every read is checked against the size of its file first.
#ifndef TAPFUZZ_WATCH_ELF_READER_H
#define TAPFUZZ_WATCH_ELF_READER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "base/files.h"

class Reader {
public:
    explicit Reader(uint64_t size) : mSize(size) {}
    virtual ~Reader() = default;
    uint64_t size() const { return mSize; }
    bool fits(uint64_t off, uint64_t n) const { return off <= mSize && n <= mSize - off; }
    // All n bytes at off, or false.
    bool readAt(uint64_t off, void* buf, size_t n) const { return fits(off, n) && (n == 0 || fetch(off, buf, n)); }
    template <class T>
    bool getAt(uint64_t off, T* out) const { return readAt(off, out, sizeof *out); }

private:
    virtual bool fetch(uint64_t off, void* buf, size_t n) const = 0;
    uint64_t mSize;
};

class FdReader : public Reader {
public:
    FdReader(int fd, uint64_t size) : Reader(size), mFd(fd) {}

private:
    bool fetch(uint64_t off, void* buf, size_t n) const override;
    int mFd;
};

class MemReader : public Reader {
public:
    MemReader(const void* data, size_t size) : Reader(size), mData(static_cast<const char*>(data)) {}

private:
    bool fetch(uint64_t off, void* buf, size_t n) const override
    {
        memcpy(buf, mData + off, n);
        return true;
    }
    const char* mData;
};

// A module named by a dump, opened for reading: the path is anyone's, so
// nothing but a regular file is opened (O_PATH first, never following a
// symlink, then the very inode that was checked). The descriptor for the
// caller's Fd, or -1 when refused; `size` is the file's size.
int openModuleFile(const std::string& path, uint64_t* size);

#endif
