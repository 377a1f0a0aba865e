// Problem: a report of a large folder writes hundreds of megabytes, and a
// text the page must not hold can come from any line of the logs.
// Solution: writes in 64 KB pieces; a UTF-8 and XML check of every byte.
#include "report/report_out.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "base/files.h"
#include "base/log_text.h"

ReportOut& ReportOut::operator<<(const char* s)
{
    return put(s, strlen(s));
}

ReportOut& ReportOut::operator<<(long long v)
{
    char text[32];
    return put(text, static_cast<size_t>(snprintf(text, sizeof text, "%lld", v)));
}

ReportOut& ReportOut::operator<<(double v)
{
    char text[32];
    return put(text, static_cast<size_t>(snprintf(text, sizeof text, "%g", v)));
}

ReportOut& ReportOut::put(const char* s, size_t n)
{
    for (size_t i = 0; i < n && mValid;) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x80) {
            ++i;
            continue;
        }
        const size_t k = utf8Length(s + i, n - i);
        mValid = k != 0 && (c == '\t' || c == '\n' || c == '\r' || c >= 0x20) && !steersText(s + i, k) &&
                 !(k == 3 && c == 0xef && static_cast<unsigned char>(s[i + 1]) == 0xbf &&
                   static_cast<unsigned char>(s[i + 2]) >= 0xbe);
        i += k;
    }
    mWritten += static_cast<long long>(n);
    if (mFd >= 0) {
        mBuf.append(s, n);
        if (mBuf.size() >= 64 * 1024)
            flush();
    }
    return *this;
}

bool ReportOut::flush()
{
    if (mError == 0 && writeAll(mFd, mBuf.data(), mBuf.size()) != 0)
        mError = errno;
    mBuf.clear();
    errno = mError;
    return mError == 0;
}
