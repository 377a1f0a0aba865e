// Problem: the kernel names a dump after the program, its pid and the epoch
// second; a person wants the time, the report wants the parts back, and the
// watcher must tell a dump from the files it saved itself.
// Solution: the dump name format and its conversions in one place.
#ifndef TAPFUZZ_WATCH_DUMP_NAME_H
#define TAPFUZZ_WATCH_DUMP_NAME_H

#include <stddef.h>
#include <sys/types.h>

#include <string>

// The kernel keeps 15 characters of a program's name (comm), and names its
// dumps after those.
const size_t kCommLength = 15;

// True for the names the kernel gives dumps under our pattern: they begin
// with "coredump".
bool isDumpName(const std::string& name);

// The program (the kernel's comm, which may itself hold '-') and the pid of
// a dump named "coredump-<comm>-<pid>-<seconds>"; false when the name has no
// such parts.
bool splitDumpName(const std::string& name, std::string* program, pid_t* pid);

// True for the names the watcher itself gives: a dump name whose last part
// is the "%d_%H:%M:%S" of a converted time, perhaps followed by ".N".
bool isSavedName(const std::string& name);

// The program, pid and time ("YYYY-MM-DD HH:MM:SS") of a name the watcher
// gave, "coredump-<program>-<pid>-<YYYY-MM-DD>_<HH:MM:SS>[.N]"; the program
// may itself hold dashes. False for any other name.
bool splitSavedName(std::string name, std::string* program, std::string* pid, std::string* time);

// The readable name of a dump: everything after the last '-' (the whole name
// when there is none) replaced by the local time of those epoch seconds,
// "%Y-%m-%d_%H:%M:%S". False when the name is not a dump name.
bool buildNewName(const std::string& name, std::string* newname);

// Decimal epoch seconds to "%Y-%m-%d_%H:%M:%S" local time into timeslocal
// (at least 128 bytes).
void timeStampConversion(const char* timestamp, char* timeslocal);

// The record of a move as a shell would have been asked for it:
// "mv " + folder + name + " " + destination.
std::string buildMoveCommand(const std::string& folder, const std::string& name,
                             const std::string& destination);

#endif
