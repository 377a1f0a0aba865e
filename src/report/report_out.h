// Problem: the page and junit.xml are read by browsers and CI servers that
// reject text XML 1.0 does not allow, and their writes may fail at any
// point of a disk that fills up.
// Solution: one buffered writer that checks every byte put through it and
// keeps the first write error for the end.
#ifndef TAPFUZZ_REPORT_REPORT_OUT_H
#define TAPFUZZ_REPORT_REPORT_OUT_H

#include <stddef.h>

#include <string>

// Buffered output to a descriptor (-1: counted and checked only). Whatever
// is put must be UTF-8 of characters XML 1.0 allows and none that steers a
// terminal or a line's direction (steersText); valid() says whether all of
// it was.
class ReportOut {
public:
    explicit ReportOut(int fd) : mFd(fd) {}
    ReportOut& operator<<(const std::string& s) { return put(s.data(), s.size()); }
    ReportOut& operator<<(const char* s);
    ReportOut& operator<<(long long v);
    ReportOut& operator<<(int v) { return *this << static_cast<long long>(v); }
    ReportOut& operator<<(size_t v) { return *this << static_cast<long long>(v); }
    ReportOut& operator<<(double v);
    ReportOut& put(const char* s, size_t n);
    bool flush();  // false, with errno, when a write failed now or before
    bool valid() const { return mValid; }
    long long written() const { return mWritten; }

private:
    int mFd;
    std::string mBuf;
    bool mValid = true;
    int mError = 0;
    long long mWritten = 0;
};

#endif
