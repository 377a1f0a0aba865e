// Arbitrary EXCLUDE_RECTS text: the parser keeps to its bounds and says why
// it refuses, what it accepts reads back the same from the run record's
// form, and each zone's meets() agrees with holds() at its edges and at
// points taken from the input.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "gesture/zones.h"

namespace {

std::string recordForm(const std::vector<Zone>& zones)  // as the run record lists them
{
    std::string text;
    for (const Zone& z : zones)
        text += (text.empty() ? "" : ";") + std::to_string(z.x) + "," + std::to_string(z.y) + "," +
                std::to_string(z.w) + "," + std::to_string(z.h);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<Zone> zones, again;
    std::string why;
    if (parseZones(std::string(reinterpret_cast<const char*>(data), size), &zones, &why) == !why.empty() ||
        zones.size() > 8)
        abort();
    for (const Zone& z : zones) {
        if (z.x < 0 || z.y < 0 || z.w < 1 || z.h < 1 || z.x > 65535 || z.y > 65535 || z.w > 65535 || z.h > 65535)
            abort();
        const int r = z.x + z.w - 1, b = z.y + z.h - 1;
        if (!z.holds(z.x, z.y) || !z.holds(r, b) || z.holds(r + 1, b) || z.holds(z.x, b + 1) || z.holds(z.x - 1, z.y) ||
            !z.meets(z.x - 1, z.y - 1, r + 1, b + 1) || z.meets(r + 1, z.y, r + 9, b) || z.meets(z.x, b + 1, r, b + 9))
            abort();
    }
    if (why.empty() && (!parseZones(recordForm(zones), &again, &why) || recordForm(again) != recordForm(zones)))
        abort();
    // Two points of the input's own bytes: a zone holding either meets the
    // rectangle they span.
    int p[4] = {-3, -3, 70000, 70000};
    if (size > 0)
        memcpy(p, data, std::min(size, sizeof p));
    for (int& v : p)
        v %= 70000;
    for (const Zone& z : zones)
        if ((z.holds(p[0], p[1]) || z.holds(p[2], p[3])) && !z.meets(p[0], p[1], p[2], p[3]))
            abort();
    return 0;
}
