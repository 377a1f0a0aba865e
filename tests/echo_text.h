// Debug lines go to standard output, and so does the console echo of the
// main log, a separate process that may write a whole log line between a
// debug line's prefix and its message. Tests that read debug lines from the
// captured output take the echoed lines out first.
#ifndef TAPFUZZ_TESTS_ECHO_TEXT_H
#define TAPFUZZ_TESTS_ECHO_TEXT_H

#include <sstream>
#include <string>

inline std::string WithoutEcho(std::string out, const std::string& mainLog)
{
    std::istringstream log(mainLog);
    for (std::string line; std::getline(log, line);) {
        size_t at = out.find(line + "\n");
        if (at != std::string::npos)
            out.erase(at, line.size() + 1);
    }
    return out;
}

#endif
