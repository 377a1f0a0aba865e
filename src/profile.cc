// Problem: the device under test is described by ./device.conf, a key=value
// text file that people edit by hand on the device.
// Solution: every lookup rescans the file from the top with fixed buffers,
// so an edit takes effect at the next lookup and no line can overrun them.

// The trim functions' assertions guard their callers' contract; they must
// stay active in release builds too.
#undef NDEBUG
#include <cassert>

#include "profile.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
// fgets reads at most this much minus one, so a longer physical line comes
// in pieces and each piece is a line of its own.
const size_t kLineSize = 256;

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

int GetProfileString(const char* profile, const char* KeyName, char* KeyVal, size_t KeyValSize)
{
    FILE* fp = fopen(profile, "r");
    if (fp == NULL) {
        printf("openfile [%s] error [%s]\n", profile, strerror(errno));
        return -1;
    }
    FileCloser closer{fp};

    char buf_i[kLineSize];
    char buf_o[kLineSize];
    char keyname[kKeySize];
    while (!feof(fp)) {
        if (fgets(buf_i, sizeof buf_i, fp) == NULL)
            break;
        l_trim(buf_o, buf_i);
        if (buf_o[0] == '\0' || buf_o[0] == '#')
            continue;
        char* eq = strchr(buf_o, '=');
        if (eq == NULL)
            continue;

        // A key too long for the key buffer is outside the format: such a
        // line never matches, rather than matching on a truncated prefix.
        size_t keylen = strcspn(buf_o, kKeyEnd);
        if (keylen >= sizeof keyname)
            continue;
        memset(keyname, 0, sizeof keyname);
        memcpy(keyname, buf_o, keylen);
        if (strcmp(keyname, KeyName) != 0)
            continue;

        // The value runs from the first '=' to the line feed; later '=' and
        // '#' belong to it.
        const char* value = eq + 1;
        size_t valuelen = strcspn(value, "\n");
        if (valuelen >= KeyValSize) {
            fprintf(stderr, "profile key %s: value longer than %zu characters, ignored\n", KeyName,
                    KeyValSize == 0 ? static_cast<size_t>(0) : KeyValSize - 1);
            return -1;
        }
        char scanned[kLineSize];
        memcpy(scanned, value, valuelen);
        scanned[valuelen] = '\0';

        // A value of blanks only is kept as it stands rather than emptied.
        char trimmed[kLineSize];
        a_trim(trimmed, scanned);
        const char* result = trimmed[0] != '\0' ? trimmed : scanned;
        memcpy(KeyVal, result, strlen(result) + 1);
        return 0;
    }
    return -1;
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
