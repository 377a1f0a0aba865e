// Problem: the kernel takes the core pattern from one write of one line, and
// only root may change it.
// Solution: the line written whole in one write, as "echo pattern > file"
// would, with the reason named when it is refused.
#include "watch/core_pattern.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/files.h"
#include "base/logger.h"

int writeCorePattern(const char* path, const char* pattern, std::string* why)
{
    // As "echo pattern > file" does: the kernel takes the line up to the
    // line feed.
    std::string line = std::string(pattern) + "\n";
    Fd fd(openRetry(path, O_WRONLY | O_TRUNC | O_CLOEXEC));
    int err = 0;
    if (fd.get() < 0 || writeAll(fd.get(), line.data(), line.size()) != 0 || fd.close() != 0)
        err = errno;
    if (err == 0)
        return 0;
    *why = errorText(err);
    if (err == EACCES || err == EPERM)
        *why += " (superuser rights are needed)";
    return -1;
}

void setCorePattern()
{
    std::string command = std::string("echo \"") + kCorePattern + "\" > " + kCorePatternFile;
    std::string why;
    if (writeCorePattern(kCorePatternFile, kCorePattern, &why) == 0) {
        LOG(INFO) << "Success: " << command;
    } else {
        std::string text = std::string("cannot set the core pattern \"") + kCorePattern + "\" in " +
                           kCorePatternFile + ": " + why;
        LOG(INFO) << "Failed: " << text;
        fprintf(stderr, "tapfuzz: %s\n", text.c_str());
    }

    struct stat st;
    if (stat(kDumpFolder, &st) != 0 && mkdir(kDumpFolder, 0777) != 0)
        LOG(INFO) << "MKDIR " << kDumpFolder << " Error";
}
