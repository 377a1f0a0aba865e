// Arbitrary pause ranges from the device profile: the reader must stay in
// its buffers and every pause it draws must be a sane, non-negative count
// of microseconds.
#include <stdint.h>
#include <stdio.h>

#include <cstdlib>

#include "RunControl.h"
#include "Utils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fopen("device.conf", "wb");
    if (f == nullptr)
        return 0;
    fputs("EVENT_INTERVALS_RANGE=", f);
    fwrite(data, 1, size, f);
    fclose(f);

    mThrottle = 0;
    start_time_interval = 0;
    end_time_interval = 0;
    parse_event_interval();
    for (int i = 0; i < 4; ++i)
        if (get_interval() < 0)
            abort();

    // The splitter on its own, on the raw bytes as a string.
    char text[64];
    size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
    for (size_t i = 0; i < n; ++i)
        text[i] = data[i] ? static_cast<char>(data[i]) : ' ';
    text[n] = '\0';
    int x = 0, y = 0;
    Str2Int(text, &x, &y);
    return 0;
}
