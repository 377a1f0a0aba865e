// Problem: the folder of the day must be named once for the whole run, from
// whichever thread first needs it.
// Solution: a function-local static, which C++ initialises exactly once.
#include "base/results_folder.h"

#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

char global_timep[64] = "";

const std::string& resultsFolder()
{
    static const std::string folder = [] {
        time_t now = time(NULL);
        struct tm tm_now;
        if (localtime_r(&now, &tm_now) == NULL || strftime(global_timep, sizeof global_timep, "%Y%m%d", &tm_now) == 0)
            snprintf(global_timep, sizeof global_timep, "%s", "00000000");
        return std::string("./results/") + "tapfuzz" + global_timep + "/";
    }();
    return folder;
}

void makeResultsFolder()
{
    const std::string& path = resultsFolder();
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return;
    // Like mkdir -p: each component in turn.
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}
