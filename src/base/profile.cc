// Problem: the device under test is described by ./device.conf, a key=value
// text file that people edit by hand on the device.
// Solution: every lookup rescans the file from the top with fixed buffers,
// so an edit takes effect at the next lookup and no line can overrun them.

// The trim functions' assertions guard their callers' contract; they must
// stay active in release builds too.
#undef NDEBUG
#include <cassert>

#include "base/profile.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/files.h"

namespace {

// The C locale's white space, whatever locale the process runs in. Bytes of
// 0x80 and above are never white space (the file's character set is not
// interpreted).
bool isBlank(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= '\t' && u <= '\r');
}

// Trailing step of r_trim, in place.
void cutTrailing(char* sz)
{
    size_t n = strlen(sz);
    while (n > 0 && isBlank(sz[n - 1]))
        --n;
    sz[n] = '\0';
}

struct FileCloser {
    FILE* fp;
    ~FileCloser() { fclose(fp); }
};

// The characters that end a key: '=', the two separators '|' and '^', and
// the blanks that may stand between a key and its '='.
const char kKeyEnd[] = "=|^ \t";
const size_t kKeySize = 32;

// One physical line. Its leading blanks count towards its length but are
// not kept, so the key of a line too long to keep is still known.
struct Line {
    char text[kProfileLineMax + 1];
    size_t kept;   // bytes in text, without the terminating zero
    bool tooLong;  // more than kProfileLineMax bytes before the line feed
    bool hasEq;    // an '=' somewhere on the line, kept or not
};

// False at the end of the file and on a read error (ferror tells which).
bool readLine(FILE* fp, Line* line)
{
    size_t bytes = 0;
    line->kept = 0;
    line->hasEq = false;
    int c;
    while ((c = getc_unlocked(fp)) != EOF && c != '\n') {
        ++bytes;
        line->hasEq = line->hasEq || c == '=';
        if ((line->kept > 0 || !isBlank(static_cast<char>(c))) && line->kept < kProfileLineMax)
            line->text[line->kept++] = static_cast<char>(c);
    }
    line->text[line->kept] = '\0';
    line->tooLong = bytes > kProfileLineMax;
    return c == '\n' || (bytes > 0 && !ferror(fp));
}

ProfileLookup refuse(const char* key, const std::string& why)
{
    fprintf(stderr, "profile key %s: %s, ignored\n", key, why.c_str());
    return ProfileLookup::Refused;
}

} // namespace

char* l_trim(char* szOutput, const char* szInput)
{
    assert(szInput != NULL);
    assert(szOutput != NULL);
    assert(szOutput != szInput);
    while (*szInput != '\0' && isBlank(*szInput))
        ++szInput;
    memmove(szOutput, szInput, strlen(szInput) + 1);
    return szOutput;
}

char* r_trim(char* szOutput, const char* szInput)
{
    assert(szInput != NULL);
    assert(szOutput != NULL);
    assert(szOutput != szInput);
    memmove(szOutput, szInput, strlen(szInput) + 1);
    cutTrailing(szOutput);
    return szOutput;
}

char* a_trim(char* szOutput, const char* szInput)
{
    l_trim(szOutput, szInput);
    cutTrailing(szOutput);
    return szOutput;
}

ProfileLookup LookUpProfileString(const char* profile, const char* KeyName, char* KeyVal, size_t KeyValSize)
{
    // Close-on-exec: the watcher may start the restart command while a
    // lookup runs on another thread.
    FILE* fp = fopen(profile, "re");
    if (fp == NULL) {
        printf("openfile [%s] error [%s]\n", profile, errorText(errno).c_str());
        return ProfileLookup::Missing;
    }
    FileCloser closer{fp};

    Line line;
    while (readLine(fp, &line)) {
        const char* text = line.text;
        const char* eq = strchr(text, '=');
        if (text[0] == '\0' || text[0] == '#' || !line.hasEq || (eq == NULL && !line.tooLong))
            continue;

        // A key too long for the key buffer is outside the format: such a
        // line never matches, rather than matching on a truncated prefix.
        size_t keylen = strcspn(text, kKeyEnd);
        if (keylen >= kKeySize || strncmp(text, KeyName, keylen) != 0 || KeyName[keylen] != '\0')
            continue;
        // A part of a value is no value: cut zones would let gestures into
        // what the user forbade, a cut command would run something else.
        if (line.tooLong)
            return refuse(KeyName, "line longer than " + std::to_string(kProfileLineMax) + " characters");

        // The value runs from the first '=' to the line feed; later '=' and
        // '#' belong to it.
        const char* value = eq + 1;
        size_t valuelen = line.kept - static_cast<size_t>(value - text);
        if (valuelen >= KeyValSize)
            return refuse(KeyName, "value longer than " + std::to_string(KeyValSize == 0 ? 0 : KeyValSize - 1) + " characters");
        if (memchr(value, '\0', valuelen) != NULL)
            return refuse(KeyName, "value holds a NUL byte");

        // Blanks around the value are dropped, but a value of blanks only
        // is kept as it stands rather than emptied.
        const char* start = value;
        const char* end = value + valuelen;
        while (start < end && isBlank(*start))
            ++start;
        while (end > start && isBlank(end[-1]))
            --end;
        if (start == end)
            start = value, end = value + valuelen;
        memcpy(KeyVal, start, static_cast<size_t>(end - start));
        KeyVal[end - start] = '\0';
        return ProfileLookup::Found;
    }
    if (ferror(fp))
        return refuse(KeyName, std::string("cannot read ") + profile + ": " + errorText(errno));
    return ProfileLookup::Missing;
}

int GetProfileString(const char* profile, const char* KeyName, char* KeyVal, size_t KeyValSize)
{
    return LookUpProfileString(profile, KeyName, KeyVal, KeyValSize) == ProfileLookup::Found ? 0 : -1;
}

int GetProfileInt(const char* profile, const char* KeyName, int* TmpKeyval)
{
    char buf[16] = "";
    if (GetProfileString(profile, KeyName, buf) != 0)
        return -1;
    // long is 64 bits on some hosts: clamp to the 32-bit range explicitly,
    // as a 32-bit strtol would.
    long value = strtol(buf, NULL, 10);
    if (value > INT32_MAX)
        value = INT32_MAX;
    else if (value < INT32_MIN)
        value = INT32_MIN;
    *TmpKeyval = static_cast<int>(value);
    return 0;
}
