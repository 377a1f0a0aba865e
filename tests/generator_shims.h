// Problem: the event source asks the frame buffer for the screen size and
// takes every decision from rand(); a test needs to choose both.
// Solution: the generator tests link their own ioctl() and rand(), which
// answer as the test says and otherwise pass the call on to the C library.
#ifndef TAPFUZZ_TESTS_GENERATOR_SHIMS_H
#define TAPFUZZ_TESTS_GENERATOR_SHIMS_H

#include <vector>

// FBIOGET_VSCREENINFO on a descriptor open on "/dev/fb0": answered with this
// size after FbAnswer(), failed with this errno after FbFail(); FbForward()
// (the default) passes every request on unchanged.
void FbAnswer(unsigned xres, unsigned yres);
void FbFail(int err);
void FbForward();

// rand() returns the scripted values first, in order, then the C library's
// sequence again. RandCalls() counts every call since RandScript().
void RandScript(const std::vector<int>& values);
int RandCalls();
int RandScriptLeft();

#endif
