// Arbitrary pause ranges from the device profile: the reader must stay in
// its buffers and every pause it draws must be a sane, non-negative count
// of microseconds.
#include <stdint.h>
#include <stdio.h>

#include <cstdlib>
#include <string>

#include "run/pacing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (FILE* f = fopen("device.conf", "wb"))
        fprintf(f, "EVENT_INTERVALS_RANGE=%s", text.c_str()), fclose(f);
    mThrottle = 0;
    start_time_interval = end_time_interval = 0;
    parse_event_interval();
    for (int i = 0; i < 4; ++i)
        if (get_interval() < 0)
            abort();
    // The splitter on its own, on the raw bytes up to the first NUL.
    int x = 0, y = 0;
    Str2Int(text.substr(0, 63).c_str(), &x, &y);
    return 0;
}
