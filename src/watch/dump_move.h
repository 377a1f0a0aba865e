// Problem: a dump must reach the save folder whole and under a name of its
// own, from a /tmp anyone may plant files in, across file systems onto a
// disk that may fill up, and a run ending mid-copy must leave no part file.
// Solution: moves from a checked descriptor, a rename that never replaces,
// and across file systems a bounded copy written aside and renamed.
#ifndef TAPFUZZ_WATCH_DUMP_MOVE_H
#define TAPFUZZ_WATCH_DUMP_MOVE_H

#include <sys/stat.h>

#include <string>

// The largest dump copied across file systems when the profile's
// COREFILE_MAX_MB sets no other: a planted file must not fill the disk the
// logs are on.
const long long kDefaultDumpLimitMb = 512;

// Opens a candidate without ever blocking (a fifo swapped in opens at once)
// or following a link, and checks on the descriptor that it is a regular
// file with one name: a hard link would carry someone else's file, with our
// rights, into the save folder. The descriptor, or -1 with *why (and *st
// filled when the file could be looked at).
int openDump(const std::string& path, struct stat* st, std::string* why);

// Moves the file opened and checked as `fd` and `st` from `from` to `to`,
// never replacing a file at `to`. Within one file system a rename; across
// file systems a copy that keeps the holes into a temporary file beside
// `to`, synced and renamed into place, after which the source is removed.
// A copy is refused when the dump is larger than `limit` bytes or would
// leave the target less than 5 % of its size or 16 MB free. On failure
// returns -1, leaves the source as it was, no file at `to` and no temporary
// file, says why in *why, and sets *later when a copy was refused or failed
// (copies are costly: the caller waits before trying again).
int moveOpened(int fd, const struct stat& st, const std::string& from, const std::string& to, long long limit,
               std::string* why, bool* later);

// The same from a path: the regular file `from` (one link, never followed
// through a symlink, opened without blocking).
int moveDump(const std::string& from, const std::string& to, std::string* why,
             long long limit = kDefaultDumpLimitMb << 20);

// `to` itself when nothing is there, else the first of to.1 .. to.999 that is
// free; `to` again when all are taken (the move then reports it).
std::string freeDestination(const std::string& to);

// True when the folder of the save path (the part up to its last '/', the
// working directory when there is none) is `watched` or lies below it,
// through links and bind mounts. A folder that does not exist yet is judged
// by its nearest existing parent.
bool savePathInside(const std::string& savePath, const char* watched);

// While stopping (the watcher ends, or exit()), a copy in progress stops at
// its next block and none starts; a starting watcher allows them again.
void setDumpMovesStopping(bool stopping);

// Once per process: exit() stops the copies and removes the part file of a
// copy in progress.
void removePartFileAtExit();

#endif
