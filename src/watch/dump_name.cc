// Problem: dump names come from the kernel's pattern, carry any bytes a
// program chose for its own name, and must become names a person can read.
// Solution: conversions that look only at the fixed parts of the name: the
// "coredump" prefix and what follows its last '-'.
#include "watch/dump_name.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

namespace {

// What the watcher puts after the program and pid of a saved dump, before a
// ".N" it adds to a name already taken: '-' and the local time, each 'd' a
// digit. A dump the kernel writes ends in epoch seconds instead.
const char kSavedStamp[] = "-dddd-dd-dd_dd:dd:dd";
// Its last part, "-dd_dd:dd:dd": enough to tell a name the watcher gave.
const size_t kTimeOfDay = 12;
const char kPrefix[] = "coredump-";

bool allDigits(const std::string& s, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return from < to;
}

// The name without the ".N" the watcher adds to a name already taken.
std::string withoutCopyNumber(std::string name)
{
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && allDigits(name, dot + 1, name.size()))
        name.resize(dot);
    return name;
}

// True when `name` ends with the last `n` characters of kSavedStamp.
bool endsWithStamp(const std::string& name, size_t n)
{
    if (name.size() < n)
        return false;
    const char* shape = kSavedStamp + (sizeof kSavedStamp - 1 - n);
    const size_t at = name.size() - n;
    for (size_t i = 0; i < n; ++i)
        if (shape[i] == 'd' ? !allDigits(name, at + i, at + i + 1) : name[at + i] != shape[i])
            return false;
    return true;
}

}  // namespace

bool isDumpName(const std::string& name)
{
    return name.compare(0, 8, "coredump") == 0;
}

bool splitDumpName(const std::string& name, std::string* program, pid_t* pid)
{
    // The pid lies between the last two dashes, digits only.
    size_t last = name.rfind('-');
    size_t dash = last == std::string::npos || last == 0 ? std::string::npos : name.rfind('-', last - 1);
    if (dash == std::string::npos || dash < 9 || last == dash + 1 ||
        name.find_first_not_of("0123456789", dash + 1) != last)
        return false;
    *pid = static_cast<pid_t>(atol(name.c_str() + dash + 1));
    *program = name.substr(9, dash - 9);
    return true;
}

bool isSavedName(const std::string& name)
{
    return isDumpName(name) && endsWithStamp(withoutCopyNumber(name), kTimeOfDay);
}

bool splitSavedName(std::string name, std::string* program, std::string* pid, std::string* time)
{
    name = withoutCopyNumber(name);
    const size_t n = sizeof kSavedStamp - 1, prefix = sizeof kPrefix - 1;
    if (name.compare(0, prefix, kPrefix) != 0 || name.size() < prefix + 2 + n || !endsWithStamp(name, n))
        return false;
    const size_t at = name.size() - n;
    const size_t dash = name.rfind('-', at - 1);
    if (dash == std::string::npos || dash < prefix || !allDigits(name, dash + 1, at))
        return false;
    *program = name.substr(prefix, dash - prefix);
    *pid = name.substr(dash + 1, at - dash - 1);
    *time = name.substr(at + 1, 10) + " " + name.substr(at + 12, 8);
    return true;
}

bool buildNewName(const std::string& name, std::string* newname)
{
    if (!isDumpName(name))
        return false;
    size_t dash = name.rfind('-');
    std::string head = dash == std::string::npos ? std::string() : name.substr(0, dash + 1);
    std::string stamp = dash == std::string::npos ? name : name.substr(dash + 1);
    char timeslocal[128];
    timeStampConversion(stamp.c_str(), timeslocal);
    *newname = head + timeslocal;
    return true;
}

void timeStampConversion(const char* timestamp, char* timeslocal)
{
    time_t t = static_cast<time_t>(strtol(timestamp, nullptr, 10));
    struct tm tmv;
    char buf[128];
    buf[0] = '\0';
    if (localtime_r(&t, &tmv) != nullptr)
        strftime(buf, sizeof buf, "%Y-%m-%d_%H:%M:%S", &tmv);
    snprintf(timeslocal, 128, "%s", buf);
}

std::string buildMoveCommand(const std::string& folder, const std::string& name,
                             const std::string& destination)
{
    return "mv " + folder + name + " " + destination;
}
