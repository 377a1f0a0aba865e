// Problem: the bridge must be tried against driver libraries that export only
// some of the names it looks up, and against functions that fail, without
// writing a single input event.
// Solution: one stand-in source built several ways (see generation.cmake);
// each call is noted in a journal the test reads with fakefeed_journal().
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#ifndef FAKEFEED_RESULT
#define FAKEFEED_RESULT 0
#endif

namespace {

char journal[1024];

void note(const char* format, ...)
{
    size_t used = strlen(journal);
    if (used + 1 >= sizeof journal)
        return;
    va_list ap;
    va_start(ap, format);
    vsnprintf(journal + used, sizeof journal - used, format, ap);
    va_end(ap);
}

}  // namespace

extern "C" {

const char* fakefeed_journal()
{
    return journal;
}

void fakefeed_reset()
{
    journal[0] = '\0';
}

#ifdef FAKEFEED_TOUCH
int touchClick(int x, int y)
{
    note("touchClick(%d,%d);", x, y);
    return FAKEFEED_RESULT;
}
#endif

#ifdef FAKEFEED_GESTURES
int touchSwipe(int x, int y, int x2, int y2, int step, int duration)
{
    note("touchSwipe(%d,%d,%d,%d,%d,%d);", x, y, x2, y2, step, duration);
    return FAKEFEED_RESULT;
}

int touchLongClick(int x, int y, int duration)
{
    note("touchLongClick(%d,%d,%d);", x, y, duration);
    return FAKEFEED_RESULT;
}
#endif

#ifdef FAKEFEED_KEY
int sendHKeyInput(int code)
{
    note("sendHKeyInput(%d);", code);
    return FAKEFEED_RESULT;
}
#endif

#ifdef FAKEFEED_MCU
int sendHKeyMcu(int code)
{
    note("sendHKeyMcu(%d);", code);
    return FAKEFEED_RESULT;
}
#endif

#ifdef FAKEFEED_VERSION
char* getVersion()
{
    static char version[] = FAKEFEED_VERSION;
    return FAKEFEED_RESULT == 0 ? version : nullptr;
}
#endif
}
