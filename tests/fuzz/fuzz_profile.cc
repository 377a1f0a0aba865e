// Arbitrary device profiles against every key the program reads, at the
// capacity it reads it with, and at capacities down to one byte: no
// lookup may write past its buffer or leave it unterminated.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <cstdlib>

#include "profile.h"

namespace {

const char* const kIntKeys[] = {"HWKEY_ENABLE", "SCREEN_BASIC_SIZE", "HWKEY_VOL_UP", "HWKEY_VOL_DOWN", "HWKEY_POWER",
                                "HWKEY_HOME", "HWKEY_RADIO", "HWKEY_NVI", "HWKEY_MUTE", "HWKEY_MEDIA", "HWKEY_BACK"};

template <size_t N>
void LookUp(const char* key)
{
    // A canary byte past the capacity catches a write beyond it even where
    // the sanitizer's redzone would not (the array sits inside a struct).
    struct {
        char value[N];
        char canary;
    } buf;
    memset(buf.value, 'x', N);
    buf.canary = 0x5a;
    int ret = GetProfileString("./device.conf", key, buf.value);
    if (buf.canary != 0x5a || (ret == 0 && memchr(buf.value, '\0', N) == nullptr))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (FILE* f = fopen("device.conf", "wb"))
        fwrite(data, 1, size, f), fclose(f);

    LookUp<32>("EVENT_INTERVALS_RANGE");
    LookUp<128>("LIBLARAY_PATH");
    LookUp<64>("COREFILE_PATH");
    LookUp<1>("COREFILE_PATH");
    LookUp<2>("EVENT_INTERVALS_RANGE");
    for (const char* key : kIntKeys) {
        int v = 12345;
        GetProfileInt("./device.conf", key, &v);
    }
    // A key of the file itself, whatever it is: the first 31 bytes up to '='.
    char key[32] = {0};
    for (size_t i = 0; i < size && i < sizeof key - 1 && data[i] != '=' && data[i] != '\0'; ++i)
        key[i] = static_cast<char>(data[i]);
    LookUp<16>(key);
    return 0;
}
