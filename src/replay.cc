// Problem: a recorded run must be injected again exactly, at its own pace
// or faster, and a damaged record must not inject half a run.
// Solution: read and check every line of the record first, strictly, and
// schedule each gesture at its recorded distance from the first one.
#include "replay.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

namespace {

// The gesture kinds as the record names them, with the fields each carries
// between its kind and its result.
const struct {
    const char* name;
    int kind;
    int fields;
} kKinds[] = {
    {"click", FACTOR_TOUCH, 2},
    {"swipe", FACTOR_MOTION, 7},  // the last one is the path seed
    {"longclick", FACTOR_LONGCLICK, 3},
    {"key", FACTOR_PRESSKEY, 1},
};

// A whole word in decimal within lo..hi, nothing before or after it.
bool readNumber(const std::string& word, long long lo, long long hi, long long* value)
{
    if (word.empty() || (word[0] != '-' && (word[0] < '0' || word[0] > '9')))
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(word.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *value = v;
    return true;
}

// One gesture line: "INDEX MICROSECONDS KIND FIELDS... RESULT". Empty on
// success, else what is wrong with it.
std::string parseLine(const std::string& line, ReplayEvent* out)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.size() < 3)
        return "expected INDEX MICROSECONDS KIND FIELDS... RESULT";
    long long index, at;
    if (!readNumber(words[0], 1, INT_MAX, &index))
        return "the index \"" + words[0] + "\" is not a number from 1 to " + std::to_string(INT_MAX);
    if (!readNumber(words[1], 0, LLONG_MAX, &at))
        return "the time \"" + words[1] + "\" is not a number of microseconds";
    for (const auto& k : kKinds) {
        if (words[2] != k.name)
            continue;
        if (words.size() != static_cast<size_t>(k.fields) + 4)
            return "a " + words[2] + " has " + std::to_string(k.fields) + " fields and a result";
        long long f[8];
        for (int i = 0; i <= k.fields; ++i) {
            const bool seed = k.kind == FACTOR_MOTION && i == 6;
            if (!readNumber(words[static_cast<size_t>(i) + 3], seed ? 0 : INT_MIN, seed ? UINT_MAX : INT_MAX, &f[i]))
                return "\"" + words[static_cast<size_t>(i) + 3] + "\" is not a " +
                       (seed ? "path seed from 0 to 4294967295" : "32-bit number");
        }
        Pointer& e = out->event;
        e = Pointer{};
        e.eventTye = k.kind;
        if (k.kind == FACTOR_PRESSKEY) {
            e.code = static_cast<int>(f[0]);
        } else {
            e.x = static_cast<int>(f[0]);
            e.y = static_cast<int>(f[1]);
        }
        if (k.kind == FACTOR_MOTION) {
            e.x1 = static_cast<int>(f[2]);
            e.y1 = static_cast<int>(f[3]);
            e.step = static_cast<int>(f[4]);
            e.duration = static_cast<int>(f[5]);
            out->pathSeed = static_cast<unsigned int>(f[6]);
        } else if (k.kind == FACTOR_LONGCLICK) {
            e.duration = static_cast<int>(f[2]);
        }
        out->index = static_cast<int>(index);
        out->at = at;
        return "";
    }
    return "unknown kind \"" + words[2] + "\" (click, swipe, longclick or key)";
}

}  // namespace

bool loadReplay(const char* path, int from, int to, std::vector<ReplayEvent>* out, std::string* why)
{
    std::ifstream in(path);
    if (!in) {
        *why = std::string("cannot read ") + path + ": " + strerror(errno);
        return false;
    }
    out->clear();
    ReplayEvent last{};
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        ReplayEvent e{};
        std::string fault = parseLine(line, &e);
        if (fault.empty() && last.index != 0 && e.index <= last.index)
            fault = "the index does not follow " + std::to_string(last.index);
        if (fault.empty() && e.at < last.at)
            fault = "the time goes back before " + std::to_string(last.at);
        if (!fault.empty()) {
            *why = std::string(path) + " line " + std::to_string(number) + ": " + fault;
            return false;
        }
        last = e;
        if (e.index >= from && e.index <= to)
            out->push_back(e);
    }
    if (in.bad()) {
        *why = std::string("cannot read ") + path + " after line " + std::to_string(number);
        return false;
    }
    if (out->empty()) {
        *why = std::string(path) + " holds no gesture with an index from " + std::to_string(from) + " to " +
               std::to_string(to);
        return false;
    }
    return true;
}

long long replayWait(const std::vector<ReplayEvent>& events, size_t i, double speed, long long now)
{
    if (speed <= 0.0 || i >= events.size())
        return 0;
    double due = static_cast<double>(events[i].at - events[0].at) / speed;
    double wait = due - static_cast<double>(now);
    return wait > 0.0 ? static_cast<long long>(wait) : 0;
}
