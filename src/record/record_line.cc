// Problem: the writer runs once per gesture on the run thread, and the
// readers see records from killed runs, full disks and hands.
// Solution: a writer that puts the line together by hand; the readers share
// the table of kinds and keep their own strictness about numbers.
#include "record/record_line.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>
#include <initializer_list>

namespace {

// A gesture line put together by hand at `p`, with kMaxGestureLine bytes of
// room: printf's parsing of its format cost the run thread more than the
// rest of a click's bookkeeping together.
char* putLine(char* p, int index, long long at, int kind, std::initializer_list<long long> fields)
{
    char* const end = p + kMaxGestureLine;
    auto put = [&](char c) {
        if (p < end)
            *p++ = c;
    };
    p = std::to_chars(p, end, index).ptr;
    put(' ');
    p = std::to_chars(p, end, at).ptr;
    put(' ');
    for (const char* k = kindName(kind); *k != '\0'; ++k)
        put(*k);
    for (long long v : fields) {
        put(' ');
        p = std::to_chars(p, end, v).ptr;
    }
    put('\n');
    return p;
}

}  // namespace

const GestureKind* recordKindNamed(const char* name, size_t len)
{
    for (const GestureKind& k : kGestureKinds)
        if (strlen(k.word) == len && strncmp(name, k.word, len) == 0)
            return &k;
    return nullptr;
}

char* writeGestureLine(char* p, int index, long long at, const Pointer& e, unsigned int pathSeed, int result)
{
    switch (static_cast<FACTOR_TYPE>(e.eventTye)) {
    case FACTOR_TOUCH:
        return putLine(p, index, at, FACTOR_TOUCH, {e.x, e.y, result});
    case FACTOR_MOTION:
        return putLine(p, index, at, FACTOR_MOTION, {e.x, e.y, e.x1, e.y1, e.step, e.duration, pathSeed, result});
    case FACTOR_LONGCLICK:
        return putLine(p, index, at, FACTOR_LONGCLICK, {e.x, e.y, e.duration, result});
    case FACTOR_PINCH:
        return putLine(p, index, at, FACTOR_PINCH, {e.x, e.y, e.x1, e.y1, e.code, e.step, e.duration, result});
    case FACTOR_PRESSKEY:
    case FACTORZ_COUNT:
        break;
    }
    return putLine(p, index, at, FACTOR_PRESSKEY, {e.code, result});
}

void setGestureFields(const GestureKind& kind, const long long* f, Pointer* e, unsigned int* pathSeed)
{
    *e = Pointer{};
    e->eventTye = kind.kind;
    auto field = [f](int i) { return static_cast<int>(f[i]); };
    switch (static_cast<FACTOR_TYPE>(kind.kind)) {
    case FACTOR_TOUCH:
        e->x = field(0), e->y = field(1);
        break;
    case FACTOR_MOTION:
        e->x = field(0), e->y = field(1), e->x1 = field(2), e->y1 = field(3);
        e->step = field(4), e->duration = field(5);
        *pathSeed = static_cast<unsigned int>(f[6]);
        break;
    case FACTOR_LONGCLICK:
        e->x = field(0), e->y = field(1), e->duration = field(2);
        break;
    case FACTOR_PRESSKEY:
        e->code = field(0);
        break;
    case FACTOR_PINCH:
        e->x = field(0), e->y = field(1), e->x1 = field(2), e->y1 = field(3);
        e->code = field(4), e->step = field(5), e->duration = field(6);
        break;
    case FACTORZ_COUNT:
        break;
    }
}

std::string headerLine(const char* key, const std::string& value)
{
    return std::string("# ") + key + ":" + value + "\n";
}

bool readClickHold(const std::string& line, int* ms)
{
    const std::string head = std::string("# ") + kClickHoldKey + ":";
    if (line.compare(0, head.size(), head) != 0)
        return false;
    const char* p = line.c_str() + head.size();
    char* end = nullptr;
    errno = 0;
    const long v = *p >= '0' && *p <= '9' ? strtol(p, &end, 10) : -1;
    *ms = end != nullptr && *end == '\0' && errno == 0 && v <= kClickHoldMaxMs ? static_cast<int>(v) : -1;
    return true;
}

std::string crashLine(const std::string& dump, int after, const std::string& signature)
{
    return "# crash:" + dump + " after:" + std::to_string(after) + (signature.empty() ? "" : " signature:" + signature) +
           "\n";
}

bool readCrashLine(const std::string& line, std::string* dump, long long* after)
{
    if (line.rfind("# crash:", 0) != 0)
        return false;
    const size_t at = line.rfind(" after:");
    *dump = line.substr(8, at == std::string::npos ? std::string::npos : at - 8);
    *after = -1;
    if (at == std::string::npos)
        return true;
    // Blanks may stand before the number; what follows it is not looked at.
    const char* p = line.c_str() + at + 7;
    while (*p == ' ' || *p == '\t')
        ++p;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(p, &end, 10);
    if (end != p && errno == 0)
        *after = v;
    return true;
}

std::string readCrashKey(const std::string& line)
{
    const size_t kMaxKey = 2048;
    const size_t after = line.rfind(" after:");
    const size_t at = line.find(" signature:", after == std::string::npos ? 0 : after);
    const std::string key = at == std::string::npos ? "" : line.substr(at + 11, line.find(' ', at + 11) - at - 11);
    return key.empty() || key.size() > kMaxKey ? kUnknownKey : key;
}

std::string crashGroupKey(const std::string& key, const std::string& program)
{
    return key == kUnknownKey ? key + "," + program : key;
}

std::string shrunkRecordName(const std::string& stem, int n)
{
    return stem + kShrunkMark + (n == 1 ? "" : "-" + std::to_string(n)) + kRecordEnd;
}

std::string shrunkFromLine(const std::string& record, int after, const std::string& key)
{
    return headerLine(kShrunkFromKey, record + " crash after:" + std::to_string(after) + " signature:" + key);
}

bool readShrunkFrom(const std::string& value, std::string* run, int* after)
{
    const std::string kAfter = " crash after:";
    const size_t at = value.rfind(kAfter);
    if (at == std::string::npos)
        return false;
    std::string base = value.substr(0, at);
    base = base.substr(base.rfind('/') + 1);
    cutRecordEnd(&base);
    *run = base;
    *after = atoi(value.c_str() + at + kAfter.size());
    return true;
}

bool cutRecordEnd(std::string* name)
{
    const size_t n = sizeof kRecordEnd - 1;
    if (name->size() <= n || name->compare(name->size() - n, n, kRecordEnd) != 0)
        return false;
    name->resize(name->size() - n);
    return true;
}
