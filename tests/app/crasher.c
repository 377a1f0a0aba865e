/* Problem: the dump signature needs real dumps of known crash sites, and a
 * test cannot point the kernel's core pattern at itself.
 * Solution: a program that crashes where it is told to, run under a debugger
 * that writes the dump and names the site: a write through a null pointer, an
 * integer division by zero, an abort() (its pc in the C library), and a null
 * stream passed to the C library's fclose; big writes through a null pointer
 * holding 100 MB, for a dump of that size.
 * Usage: crasher segv|fpe|abort|lib|big */
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

int main(int argc, char** argv)
{
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
    if (strcmp(argv[1], "big") == 0) {
        char* held = malloc(100 << 20);
        memset(held, 1, 100 << 20);
        return write_null((int*)(long)zero) + held[zero];
    }
    return 2;
}
