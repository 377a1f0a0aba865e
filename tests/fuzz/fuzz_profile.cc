// Arbitrary device profiles against every key the program reads, at the
// capacity it reads it with, and at capacities down to one byte: no
// lookup may write past its buffer or leave it unterminated, a value found
// fits and holds no line feed, and a lookup that finds nothing leaves the
// buffer as it was. The seeds hold lines longer than the longest read.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/profile.h"

namespace {

void LookUp(const char* key, size_t capacity)
{
    // Exactly `capacity` bytes on the heap: the sanitizer sees any byte past them.
    std::vector<char> buf(capacity, 'x');
    const ProfileLookup found = LookUpProfileString("./device.conf", key, buf.data(), capacity);
    if (found == ProfileLookup::Found ? memchr(buf.data(), '\0', capacity) == nullptr || strchr(buf.data(), '\n') != nullptr
                                      : !std::all_of(buf.begin(), buf.end(), [](char c) { return c == 'x'; }))
        abort();
    if ((GetProfileString("./device.conf", key, buf.data(), capacity) == 0) != (found == ProfileLookup::Found))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (FILE* f = fopen("device.conf", "wb"))
        fwrite(data, 1, size, f), fclose(f);
    const std::pair<const char*, size_t> lookups[] = {{"EVENT_INTERVALS_RANGE", 32}, {"LIBLARAY_PATH", 128}, {"COREFILE_PATH", 64},
                                                      {"COREFILE_PATH", 1}, {"EVENT_INTERVALS_RANGE", 2}, {"HWKEY_VOL_UP", 16},
                                                      {"EXCLUDE_RECTS", kProfileLineMax + 1}, {"APP_RESTART", kProfileLineMax + 1}};
    for (const auto& l : lookups)
        LookUp(l.first, l.second);
    int v = 12345;
    GetProfileInt("./device.conf", "SCREEN_BASIC_SIZE", &v);
    // A key of the file itself, whatever it is: the first 31 bytes up to '='.
    const std::string text(reinterpret_cast<const char*>(data), size);
    LookUp(text.substr(0, std::min(text.find_first_of(std::string("=\0", 2)), size_t{31})).c_str(), 16);
    return 0;
}
