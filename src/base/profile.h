// Problem: the device is described by a small key=value file, ./device.conf.
// Solution: stateless lookups that rescan the file each time, never writing
// past the caller's buffer.
#ifndef TAPFUZZ_BASE_PROFILE_H
#define TAPFUZZ_BASE_PROFILE_H

#include <stddef.h>

// The device profile every lookup of the program reads.
const char kDeviceProfile[] = "./device.conf";

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

// The longest profile line, line feed not counted, that is read; a longer
// one is refused whole, so no part of it can pass for a line of its own.
const size_t kProfileLineMax = 4095;

// What a lookup came to. Refused: the key's line was too long, its value
// did not fit or held a NUL byte, or the file could not be read to the end;
// a line on standard error named the key, and KeyVal is left as it was.
enum class ProfileLookup { Found, Missing, Refused };
ProfileLookup LookUpProfileString(const char* profile, const char* KeyName, char* KeyVal, size_t KeyValSize);

template <size_t N>
ProfileLookup LookUpProfileString(const char* profile, const char* KeyName, char (&KeyVal)[N])
{
    return LookUpProfileString(profile, KeyName, KeyVal, N);
}

char* l_trim(char* szOutput, const char* szInput);
char* r_trim(char* szOutput, const char* szInput);
char* a_trim(char* szOutput, const char* szInput);

#endif
