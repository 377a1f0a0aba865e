// Problem: the log names a gesture by its kind's action and the numbers
// that kind is made of; each place that logged one spelled them out again.
// Solution: the numbers of a kind's log lines in one switch.
#include "gesture/kinds.h"

#include <stdio.h>

int formatKindArgs(const Pointer& e, char* buf, size_t size)
{
    switch (static_cast<FACTOR_TYPE>(e.eventTye)) {
    case FACTOR_TOUCH:
    case FACTOR_LONGCLICK:
        return snprintf(buf, size, "(%d,%d)", e.x, e.y);
    case FACTOR_MOTION:
        return snprintf(buf, size, "(%d,%d,%d,%d,%d)", e.x, e.y, e.x1, e.y1, e.step);
    case FACTOR_PRESSKEY:
        return snprintf(buf, size, "(%d)", e.code);
    case FACTOR_PINCH:
        return snprintf(buf, size, "(%d,%d,%d,%d,%d)", e.x, e.y, e.x1, e.y1, e.code);
    case FACTORZ_COUNT:
        break;  // no kind
    }
    return snprintf(buf, size, "()");
}
