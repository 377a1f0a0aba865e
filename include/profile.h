// Problem: the device is described by a small key=value file, ./device.conf.
// Solution: stateless lookups that rescan the file each time, never writing
// past the caller's buffer.
#ifndef TAPFUZZ_PROFILE_H
#define TAPFUZZ_PROFILE_H

#include <stddef.h>

// 0 when the key was found and its value fits KeyVal (KeyValSize bytes with
// the terminating zero), -1 otherwise (KeyVal is then left as it was).
int GetProfileString(const char* profile, const char* KeyName, char* KeyVal, size_t KeyValSize);

// The usual call passes a fixed array, whose size is the capacity.
template <size_t N>
int GetProfileString(const char* profile, const char* KeyName, char (&KeyVal)[N])
{
    return GetProfileString(profile, KeyName, KeyVal, N);
}

int GetProfileInt(const char* profile, const char* KeyName, int* TmpKeyval);

char* l_trim(char* szOutput, const char* szInput);
char* r_trim(char* szOutput, const char* szInput);
char* a_trim(char* szOutput, const char* szInput);

#endif
