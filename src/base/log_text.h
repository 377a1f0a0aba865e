// Problem: names that reach the logs come from crashing programs, /tmp and
// the command line, and any of them could end a log line, forge an escape
// or make the log (and a page made of it) invalid UTF-8.
// Solution: one escaping of text for log lines, and the UTF-8 check it and
// the report's writer share.
#ifndef TAPFUZZ_BASE_LOG_TEXT_H
#define TAPFUZZ_BASE_LOG_TEXT_H

#include <stddef.h>

#include <string>

// Text from a crashing program made safe for one log line: control bytes
// become \n, \r, \t or \xHH, bytes that are no part of a valid UTF-8
// sequence become \xHH, the characters that steerText names become the
// \xHH of each of their bytes, and a backslash is doubled, so a name can
// neither end a line, pass for an escape, steer a terminal, reorder the
// line it is shown in, nor make the log (or a page made of it) invalid UTF-8.
std::string escapeLogText(const std::string& text);

// The length (1 to 4) of the valid UTF-8 sequence that text starts with; 0
// when it starts with none (or size is 0).
size_t utf8Length(const char* text, size_t size);

// Whether the valid UTF-8 sequence of n bytes at text is a character that
// steers a terminal or the order of a line: a C1 control (U+0080..U+009F;
// U+009B alone starts a terminal's control sequence) or a bidirectional
// control (U+200E, U+200F, U+202A..U+202E, U+2066..U+2069).
bool steersText(const char* text, size_t n);

#endif
