// Problem: dump names come from the kernel's pattern, carry any bytes a
// program chose for its own name, and must become names a person can read.
// Solution: conversions that look only at the fixed parts of the name: the
// "coredump" prefix and what follows its last '-'.
#include "watch/dump_name.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

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
    size_t dash = name.rfind('-');
    if (!isDumpName(name) || dash == std::string::npos)
        return false;
    const std::string tail = name.substr(dash + 1);
    const char shape[] = "99_99:99:99";
    if (tail.size() < sizeof shape - 1)
        return false;
    for (size_t i = 0; i + 1 < sizeof shape; ++i)
        if (shape[i] == '9' ? !isdigit(static_cast<unsigned char>(tail[i])) : tail[i] != shape[i])
            return false;
    size_t rest = sizeof shape - 1;
    if (rest == tail.size())
        return true;
    return tail[rest] == '.' && rest + 1 < tail.size() &&
           tail.find_first_not_of("0123456789", rest + 1) == std::string::npos;
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
