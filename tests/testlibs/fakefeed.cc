// Problem: the bridge must be tried against driver libraries that export only
// some of the names it looks up, and against functions that fail, without
// writing a single input event.
// Solution: one stand-in built several ways (see generation.cmake); each call
// is appended to calls.txt in the working folder, where the test reads it.
#include <stdarg.h>
#include <stdio.h>

#ifndef FAKEFEED_RESULT
#define FAKEFEED_RESULT 0
#endif

static int note(const char* format, ...)
{
    if (FILE* f = fopen("calls.txt", "a")) {
        va_list ap;
        va_start(ap, format);
        vfprintf(f, format, ap);
        va_end(ap);
        fclose(f);
    }
    return FAKEFEED_RESULT;
}

extern "C" {

#ifdef FAKEFEED_TOUCH
int touchClick(int x, int y) { return note("touchClick(%d,%d);", x, y); }
#endif
#ifdef FAKEFEED_GESTURES
int touchSwipe(int x, int y, int x2, int y2, int step, int duration)
{
    return note("touchSwipe(%d,%d,%d,%d,%d,%d);", x, y, x2, y2, step, duration);
}
int touchLongClick(int x, int y, int duration) { return note("touchLongClick(%d,%d,%d);", x, y, duration); }
#endif
#ifdef FAKEFEED_KEY
int sendHKeyInput(int code) { return note("sendHKeyInput(%d);", code); }
#endif
#ifdef FAKEFEED_MCU
int sendHKeyMcu(int code) { return note("sendHKeyMcu(%d);", code); }
#endif
#ifdef FAKEFEED_VERSION
char* getVersion()
{
    static char version[] = FAKEFEED_VERSION;
    return FAKEFEED_RESULT == 0 ? version : nullptr;
}
#endif
}
