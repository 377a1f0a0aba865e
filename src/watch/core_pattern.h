// Problem: applications that crash under the stress must leave their dumps
// where the watcher looks, under names that say whose and when.
// Solution: the kernel's core pattern, set at start-up to the dump folder.
#ifndef TAPFUZZ_WATCH_CORE_PATTERN_H
#define TAPFUZZ_WATCH_CORE_PATTERN_H

#include <string>

// Where the kernel writes dumps, and the names it gives them there.
const char kDumpFolder[] = "/tmp/";
const char kCorePattern[] = "/tmp/coredump-%e-%p-%t";
const char kCorePatternFile[] = "/proc/sys/kernel/core_pattern";

// Writes the core pattern into the kernel setting at `path`. 0 on success;
// -1 with the reason in *why otherwise.
int writeCorePattern(const char* path, const char* pattern, std::string* why);

// Sets kCorePattern and logs "Success: echo ..."; a failure is logged and
// told on standard error, and the run goes on. Makes the dump folder when
// it is missing.
void setCorePattern();

#endif
