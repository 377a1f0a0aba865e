// Problem: several modules need the same small conversions and draws.
// Solution: free functions, each owned by the module that uses it most.
#ifndef TAPFUZZ_BASE_UTILS_H
#define TAPFUZZ_BASE_UTILS_H

#include <string>

// Wall-clock milliseconds, low 32 bits (may be negative); only seeds rand.
long GetMseconds();

// Command line.
std::string showusage();
float nextOptionLong(const char* argv, std::string str);
// Truncates a float towards zero into an int, saturating at the int range
// (a plain cast of an out-of-range float is undefined).
int floatToInt(float value);

// Pacing. Str2Int returns 0 when both figures were read, -1 when the text
// has no comma or a figure is longer than 7 characters (nothing is stored).
int Str2Int(const char* str, int* x, int* y);
int getRandomTime(int time);

// Random event source.
float get_rand();
int getNextInt(int randomInt);
// 0 with the frame buffer's xres/yres stored; -1 when /dev/fb0 cannot be
// opened or queried (the outputs are then left as they were).
int getScreenSize(int* width, int* hight);

// Core dump names: decimal epoch seconds to "%Y-%m-%d_%H:%M:%S" local time
// into timeslocal (at least 128 bytes).
void timeStampConversion(const char* timestamp, char* timeslocal);

#endif
