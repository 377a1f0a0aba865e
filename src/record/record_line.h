// Problem: the run record's lines are written by the run, read back by a
// replay that trusts none of them, and read again by the report, which must
// take in whatever a record holds; three readings of one format drift apart.
// Solution: the grammar in one place: the kinds with their fields, the
// writer of a gesture line, the order its fields are read back in, and the
// crash and header lines.
//
//   # tapfuzz run record
//   # KEY:VALUE                      the header: seed, command, screen, ...
//   INDEX MICROSECONDS KIND FIELDS... RESULT
//   # crash:DUMP after:N signature:KEY
//   # shrunk from:RECORD crash after:N signature:KEY   a shrink's result
//
// The header's "# click-hold:MS" tells how long each click was held down
// (0 when it is missing: the records of older runs). KIND and FIELDS:
// click X Y; swipe X Y X1 Y1 STEP DURATION PATHSEED;
// longclick X Y DURATION; key CODE; pinch X Y R0 R1 ANGLE STEP DURATION. Numbers are decimal, words one blank
// apart, every line ends with a line feed.
#ifndef TAPFUZZ_RECORD_RECORD_LINE_H
#define TAPFUZZ_RECORD_RECORD_LINE_H

#include <stddef.h>

#include <string>

#include "gesture/kinds.h"

// The kind whose word is the `len` bytes at `name`; nullptr for none.
const GestureKind* recordKindNamed(const char* name, size_t len);

// The room a gesture line may take: 10 + 20 + 9 + 8 * 12 characters and the
// blanks.
const size_t kMaxGestureLine = 192;

// Writes the line of gesture `index`, injected `at` microseconds into the
// run, at `p` (kMaxGestureLine bytes of room), and returns its end. A value
// that is no kind is written as a key.
char* writeGestureLine(char* p, int index, long long at, const Pointer& event, unsigned int pathSeed, int result);

// The fields of a line of `kind`, in the order the writer puts them, into
// an event of that kind (everything else 0) and its path seed.
void setGestureFields(const GestureKind& kind, const long long* fields, Pointer* event, unsigned int* pathSeed);

// "# KEY:VALUE\n".
std::string headerLine(const char* key, const std::string& value);

// The header key of a click's hold, and the longest hold it may give (ms).
const char kClickHoldKey[] = "click-hold";
const int kClickHoldMaxMs = 1000;
// For a line that starts "# click-hold:": true, with *ms the hold, or -1
// when it is no number from 0 to kClickHoldMaxMs. False for another line.
bool readClickHold(const std::string& line, int* ms);

// "# crash:DUMP after:N signature:KEY\n"; without a KEY (records of older
// runs) the line ends after N.
std::string crashLine(const std::string& dump, int after, const std::string& signature = "");
// The DUMP and N of a line that starts "# crash:"; false for another line.
// N is -1 when no " after:" with a number follows.
bool readCrashLine(const std::string& line, std::string* dump, long long* after);

// The key of a dump whose signature is not known.
const char kUnknownKey[] = "unknown";
// The KEY of a crash line, up to the next blank: kUnknownKey when there is
// none (the records of older runs), or when it is longer than any module's
// folder and name escaped give, 2048 bytes.
std::string readCrashKey(const std::string& line);
// What crashes of `program` with signature `key` are counted as one under:
// the key, or for kUnknownKey one group per program, "unknown,PROGRAM"
// (a known key starts with its signal).
std::string crashGroupKey(const std::string& key, const std::string& program);

// A shrink's result is named after its record with this before kRecordEnd,
// then "-min-2", "-min-3", ... when the name is taken: try `n` from 1.
const char kShrunkMark[] = "-min";
std::string shrunkRecordName(const std::string& stem, int n);
// The header key of a shrink's result: the record and crash it shrank,
// "# shrunk from:RECORD crash after:N signature:KEY".
const char kShrunkFromKey[] = "shrunk from";
std::string shrunkFromLine(const std::string& record, int after, const std::string& key);
// The record's run name (its base name less kRecordEnd) and N of the value
// of a "shrunk from" header; false when it names no crash.
bool readShrunkFrom(const std::string& value, std::string* run, int* after);

// A run record's file name ends so; the run, and a shrink's result, are
// named without it.
const char kRecordEnd[] = ".events";
// Cuts kRecordEnd off the end of *name when it ends so after something;
// false (and *name untouched) otherwise.
bool cutRecordEnd(std::string* name);

#endif
