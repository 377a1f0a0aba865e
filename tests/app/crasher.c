/* Problem: the dump signature needs real dumps of known crash sites, and a
 * test cannot point the kernel's core pattern at itself.
 * Solution: a program that crashes where it is told to, run under a debugger
 * that writes the dump and names the site: a write through a null pointer, an
 * integer division by zero, an abort() (its pc in the C library), and a null
 * stream passed to the C library's fclose; big writes through a null pointer
 * holding 100 MB, for a dump of that size. And the crashes a signature by
 * the pc alone merges: two assert()s, a null pointer passed to one strlen
 * wrapper from two callers, an abort() in a callback reached through a
 * function pointer, and a recursion that overflows the stack.
 * Usage: crasher segv|fpe|abort|lib|big|assert1|assert2|strlen1|strlen2|callback|recurse */
/* The build's NDEBUG would take the asserts out. */
#undef NDEBUG
#include <assert.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static volatile int zero;

__attribute__((noinline)) static int write_null(int* p)
{
    *p = 1;
    return 0;
}

__attribute__((noinline)) static int divide(int a)
{
    return a / zero;
}

__attribute__((noinline)) static void check_width(int width)
{
    assert(width > 0);
}

__attribute__((noinline)) static void check_height(int height)
{
    assert(height < 0);
}

/* The addition after the call keeps it a call: a tail jump would leave the
 * wrapper out of the stack. */
__attribute__((noinline)) static size_t name_length(const char* name)
{
    return strlen(name) + (size_t)zero;
}

__attribute__((noinline)) static size_t title_width(const char* title)
{
    return name_length(title) * 8 + (size_t)zero;
}

__attribute__((noinline)) static size_t label_width(const char* label)
{
    return name_length(label) * 6 + (size_t)zero;
}

__attribute__((noinline)) static void on_close(void)
{
    abort();
}

static void (*volatile handler)(void) = on_close;

__attribute__((noinline)) static int dispatch(void)
{
    handler();
    return zero;
}

__attribute__((noinline)) static int recurse(int depth)
{
    volatile char frame[512];
    if (depth == zero - 1)
        return 0;
    frame[depth % 512] = (char)depth;
    return recurse(depth + 1) + frame[0];
}

int main(int argc, char** argv)
{
    const char* volatile nothing = NULL;
    FILE* volatile none = NULL;
    if (argc < 2)
        return 2;
    if (strcmp(argv[1], "segv") == 0)
        return write_null((int*)(long)zero);
    if (strcmp(argv[1], "fpe") == 0)
        return divide(argc);
    if (strcmp(argv[1], "abort") == 0)
        abort();
    if (strcmp(argv[1], "lib") == 0)
        return fclose(none);
    if (strcmp(argv[1], "assert1") == 0)
        check_width(zero);
    if (strcmp(argv[1], "assert2") == 0)
        check_height(zero);
    if (strcmp(argv[1], "strlen1") == 0)
        return (int)title_width(nothing);
    if (strcmp(argv[1], "strlen2") == 0)
        return (int)label_width(nothing);
    if (strcmp(argv[1], "callback") == 0)
        return dispatch();
    if (strcmp(argv[1], "recurse") == 0)
        return recurse(zero);
    if (strcmp(argv[1], "big") == 0) {
        char* held = malloc(100 << 20);
        memset(held, 1, 100 << 20);
        return write_null((int*)(long)zero) + held[zero];
    }
    return 2;
}
