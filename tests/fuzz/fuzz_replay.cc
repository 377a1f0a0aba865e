// Arbitrary run records, fed in pieces of arbitrary size: the parser must
// stay in its buffers, hand out only gestures this screen allows, in order,
// and every pause a replay takes from them must be an integer it can hold,
// at every speed the command line accepts and beyond.
#include <limits.h>
#include <stdint.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "record/replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte sets the size of the pieces, as reads of a file may cut it.
    const size_t piece = data[0] % 64 + 1;
    const char* text = reinterpret_cast<const char*>(data) + 1;
    size_t left = size - 1;
    ReplayParser parser("record", 2, INT_MAX, {800, 480, {{100, 100, 50, 50}, {0, 470, 800, 10}}});
    for (; left > 0 && parser.feed(text, std::min(piece, left)); left -= std::min(piece, left))
        text += std::min(piece, left);
    if (!parser.finish())
        return 0;
    const std::vector<ReplayEvent>& events = parser.events();
    for (size_t i = 0; i < events.size(); ++i) {
        const Pointer& p = events[i].event;
        if (events[i].index < 2 || (i > 0 && (events[i].index <= events[i - 1].index || events[i].at < events[i - 1].at)))
            abort();
        if (p.eventTye != FACTOR_PRESSKEY && (p.x < 0 || p.x >= 800 || p.y < 0 || p.y >= 470 || p.duration < 0))
            abort();
        for (double speed : {0.0, 0.001, 1.0, 1000.0, 1e-300, 5e-324})
            for (long long now : {0LL, 1LL, LLONG_MAX, LLONG_MIN})
                if (replayWait(events, i, speed, now) < 0)
                    abort();
    }
    return 0;
}
