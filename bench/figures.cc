// Problem: strace's and callgrind's text and the raw records at the node
// must be read exactly, or a ratio silently goes wrong.
// Solution: strict line shapes (anything else is skipped, never guessed at)
// and a record splitter that carries partial records across reads.
#include "figures.h"

#include <ctype.h>
#include <linux/input.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <sstream>

std::map<std::string, double> ParseStraceCounts(const std::string& text)
{
    std::map<std::string, double> calls;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        // "% time seconds usecs/call calls [errors] syscall": the calls are
        // the fourth column, the name the last; the errors column may be
        // empty.
        std::istringstream ls(line);
        std::vector<std::string> tok;
        std::string t;
        while (ls >> t)
            tok.push_back(t);
        if (tok.size() < 5 || tok.size() > 6)
            continue;
        bool numeric = true;
        for (size_t i = 0; i + 1 < tok.size(); ++i)
            numeric = numeric && tok[i].find_first_not_of("0123456789.") == std::string::npos;
        if (!numeric || tok.back() == "total")
            continue;
        calls[tok.back()] += atof(tok[3].c_str());
    }
    return calls;
}

Annotated ParseAnnotate(const std::string& text)
{
    Annotated a;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        // "1,234,567 (12.34%)  file:function [object]"
        size_t i = line.find_first_not_of(' ');
        if (i == std::string::npos || !isdigit(static_cast<unsigned char>(line[i])))
            continue;
        size_t j = line.find(' ', i);
        if (j == std::string::npos)
            continue;
        std::string num = line.substr(i, j - i);
        num.erase(std::remove(num.begin(), num.end(), ','), num.end());
        if (num.find_first_not_of("0123456789") != std::string::npos)
            continue;
        double ir = atof(num.c_str());
        // Then "(", the share in per cent, "%)".
        std::string rest = line.substr(j);
        size_t open = rest.find_first_not_of(' ');
        size_t pct = rest.find("%)");
        if (open == std::string::npos || rest[open] != '(' || pct == std::string::npos || pct < open)
            continue;
        std::string share = rest.substr(open + 1, pct - open - 1);
        share.erase(0, share.find_first_not_of(' '));
        if (share.empty() || share.find_first_not_of("0123456789.") != std::string::npos)
            continue;
        rest = rest.substr(pct + 2);
        size_t s = rest.find_first_not_of(' ');
        if (s == std::string::npos)
            continue;
        rest = rest.substr(s);
        if (rest == "PROGRAM TOTALS") {
            a.total = ir;
            continue;
        }
        size_t obj = rest.rfind(" [");
        if (obj != std::string::npos && rest.back() == ']')
            rest = rest.substr(0, obj);
        a.self[rest] += ir;
    }
    return a;
}

const char* GroupOf(const std::string& fileFunction)
{
    static const struct {
        const char* group;
        std::vector<const char*> needles;
    } rules[] = {
        {"time stamp of each line: localtime_r, strftime, time",
         {"localtime", "tz_", "tzfile", "offtime", "strftime", ":time", "time.c:"}},
        {"rand() draws", {"random", ":rand", "rand_r"}},
        {"heap: malloc/free, new/delete",
         {"malloc", ":free", "operator new", "operator delete", "_int_", "tcache"}},
        {"locks and cancel state", {"pthread", "lll_", "futex", "cancel", "mutex"}},
        {"system call stubs (write, open, close, ioctl)",
         {"linux/write.c", "linux/open", "linux/close", "linux/ioctl", "syscall", "fbshim"}},
        {"iostream and stdio formatting (std::cout, std::string)",
         {"/c++/", "std::", "__gnu_cxx", "_IO_", "fwrite", "fflush", "libio", "vfprintf", "printf",
          "__printf", "itoa", "vsnprintf", "snprintf"}},
        {"Logger's own code", {"Logger"}},
        {"driver library's own code", {"touchevent.cc", "hwkeyevent.cc"}},
        {"event source and bridge code", {"GeneratorEvent", "InjectorEvent", "Utils.cc", "RandomEventSource"}},
        {"main loop and pacing (floor: its whole loop)", {"main.cc", "pacing.cc", "floor.cc"}},
    };
    for (const auto& r : rules)
        for (const char* n : r.needles)
            if (fileFunction.find(n) != std::string::npos)
                return r.group;
    return "other (memcpy, memset, strlen, ...)";
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double Mean(const std::vector<double>& v)
{
    if (v.empty())
        return NAN;
    double s = 0;
    for (double x : v)
        s += x;
    return s / static_cast<double>(v.size());
}

double Percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    double rank = ceil(q * static_cast<double>(v.size()));
    size_t i = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return v[std::min(i, v.size() - 1)];
}

void GestureClock::take(const char* data, size_t n, int64_t now)
{
    carry_.append(data, n);
    const size_t size = sizeof(struct input_event);
    size_t whole = carry_.size() / size;
    for (size_t i = 0; i < whole; ++i) {
        struct input_event ev;
        memcpy(&ev, carry_.data() + i * size, size);
        ++records;
        if (ev.type == EV_ABS && ev.code == ABS_MT_TRACKING_ID) {
            if (ev.value == 1)
                start.push_back(now);
            lifting_ = ev.value == -1;
        } else if (ev.type == EV_SYN && ev.code == SYN_REPORT && lifting_) {
            end.push_back(now);
            lifting_ = false;
        }
    }
    carry_.erase(0, whole * size);
}
