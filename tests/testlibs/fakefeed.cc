// Problem: the bridge must be tried against driver libraries that export only
// some of the names it looks up, and against functions that fail, without
// writing a single input event.
// Solution: one stand-in built several ways (see tests/CMakeLists.txt); each
// call is appended to calls.txt in the working folder, where the test reads it.
#include <stdarg.h>
#include <stdio.h>

static int note(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    if (FILE* f = fopen("calls.txt", "a"))
        vfprintf(f, format, ap), fclose(f);
    va_end(ap);
    return FAKEFEED_RESULT;
}

extern "C" {
int touchClick(int x, int y) { return note("touchClick(%d,%d);", x, y); }
#if FAKEFEED_ALL
int touchSwipe(int x, int y, int x2, int y2, int step, int ms) { return note("touchSwipe(%d,%d,%d,%d,%d,%d);", x, y, x2, y2, step, ms); }
int touchLongClick(int x, int y, int ms) { return note("touchLongClick(%d,%d,%d);", x, y, ms); }
int sendHKeyInput(int code) { return note("sendHKeyInput(%d);", code); }
int sendHKeyMcu(int code) { return note("sendHKeyMcu(%d);", code); }
// A failing library answers with no text at all.
char* getVersion() { static char version[] = "fake-2.1"; return FAKEFEED_RESULT == 0 ? version : nullptr; }
#endif
}
