// Problem: a whole-process figure mixes the driver library's cost per click
// with the program's drawing, logging and pacing around it.
// Solution: Google Benchmark times one call of the library's touchClick
// (with points written as pixels, and mapped onto a panel's own axes) and
// the floor's own open, version query, writes and close of a click, on the
// same node, per call.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

// The floor's click writes, without its main().
#define main floor_main
#include "floor.cc"
#undef main

namespace {

// Loaded by file name, as tapfuzz loads it.
void BM_touchClick(benchmark::State& state)
{
    void* lib = dlopen(FEEDINPUT_LIB, RTLD_NOW);
    auto touchClick = lib ? reinterpret_cast<int (*)(int, int)>(dlsym(lib, "touchClick")) : nullptr;
    if (touchClick == nullptr)
        return state.SkipWithError(dlerror());
    for (auto _ : state)
        if (touchClick(400, 240) != 0)
            state.SkipWithError("touchClick failed");
}

// The same click on a 12-bit panel mounted turned, swapped and inverted:
// each point goes through the mapping onto the panel's axes. The node
// answers the ranges through the test shim (TAPFUZZ_TEST_RANGE).
void BM_touchClickMapped(benchmark::State& state)
{
    void* lib = dlopen(FEEDINPUT_LIB, RTLD_NOW);
    auto touchClick = lib ? reinterpret_cast<int (*)(int, int)>(dlsym(lib, "touchClick")) : nullptr;
    auto map = lib ? reinterpret_cast<int (*)(int, int, int, int, int*)>(dlsym(lib, "setScreenMapping")) : nullptr;
    if (touchClick == nullptr || map == nullptr)
        return state.SkipWithError(dlerror());
    if (map(800, 480, 90, 7, nullptr) != 0)
        return state.SkipWithError("the node answers no axis range");
    for (auto _ : state)
        if (touchClick(400, 240) != 0)
            state.SkipWithError("touchClick failed");
}

void BM_floorClick(benchmark::State& state)
{
    for (auto _ : state) {
        if (!openNode("/dev/input/event0") || !down(400, 240) || !lift())
            state.SkipWithError("the floor's click failed");
        closeNode();
    }
}

}  // namespace

// The plain click first: the mapping, once set, stays for the process.
BENCHMARK(BM_touchClick);
BENCHMARK(BM_touchClickMapped);
BENCHMARK(BM_floorClick);
BENCHMARK_MAIN();
