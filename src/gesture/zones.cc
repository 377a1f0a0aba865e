// Problem: EXCLUDE_RECTS is typed by hand and read again from run records;
// either may hold anything.
// Solution: strict figures in fixed bounds, so that no sum of them can
// overflow an int, and a message naming the first rectangle refused.
#include "gesture/zones.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>

namespace {

const size_t kMaxZones = 8;

}  // namespace

bool Zone::meets(int ax, int ay, int bx, int by) const
{
    return std::max(ax, bx) >= x && std::min(ax, bx) < static_cast<long long>(x) + w && std::max(ay, by) >= y &&
           std::min(ay, by) < static_cast<long long>(y) + h;
}

bool parseZones(const std::string& text, std::vector<Zone>* zones, std::string* why)
{
    // Split at each ';', and no empty piece after a last one.
    for (size_t at = 0, cut; at < text.size(); at = cut + 1) {
        cut = text.find(';', at);
        if (cut == std::string::npos)
            cut = text.size();
        const std::string piece = text.substr(at, cut - at);
        if (piece.find_first_not_of(" \t") == std::string::npos)
            continue;
        long v[4];
        const char* p = piece.c_str();
        int n = 0;
        for (char* end = nullptr; n < 4; ++n, p = end + 1) {
            errno = 0;
            v[n] = strtol(p, &end, 10);
            if (end == p || errno != 0 || v[n] < (n < 2 ? 0 : 1) || v[n] > 65535)
                break;
            while (*end == ' ' || *end == '\t')
                ++end;
            if (*end != (n < 3 ? ',' : '\0'))
                break;
        }
        if (n != 4 || zones->size() == kMaxZones) {
            *why = "\"" + piece + "\" " +
                   (n != 4 ? "is not x,y,w,h (x, y from 0, w, h from 1)" : "is more than 8 rectangles");
            return false;
        }
        zones->push_back({static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]), static_cast<int>(v[3])});
    }
    return true;
}
