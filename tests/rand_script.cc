// Problem: which kind, point or key the event source produces depends on
// the exact values and number of rand() draws.
// Solution: this test executable's own rand(), which hands out a script the
// test sets and counts the calls, then falls back to the C library's.
#include <dlfcn.h>
#include <stdlib.h>

#include <deque>

#include "generator_shims.h"

namespace {

std::deque<int> gScript;
int gCalls = 0;

}  // namespace

void RandScript(const std::vector<int>& values)
{
    gScript.assign(values.begin(), values.end());
    gCalls = 0;
}

int RandCalls()
{
    return gCalls;
}

int RandScriptLeft()
{
    return static_cast<int>(gScript.size());
}

extern "C" int rand(void) noexcept
{
    ++gCalls;
    if (!gScript.empty()) {
        int v = gScript.front();
        gScript.pop_front();
        return v;
    }
    using RandFn = int (*)(void);
    static RandFn next = reinterpret_cast<RandFn>(dlsym(RTLD_NEXT, "rand"));
    return next != nullptr ? next() : 0;
}
