// Problem: see elf_reader.h.
// Solution: pread loops that treat a short read as a file cut under us.
#include "watch/elf_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/io.h"

bool FdReader::fetch(uint64_t off, void* buf, size_t n) const
{
    // Short: an error, or the file shrank under us.
    return preadAll(mFd, buf, n, static_cast<off_t>(off)) == static_cast<ssize_t>(n);
}

int openModuleFile(const std::string& path, uint64_t* size)
{
    // O_PATH opens nothing, so a device named here never sees an open; the
    // file is read only once it shows as regular, through the checked inode.
    Fd link(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st, st2;
    if (link.get() < 0 || fstat(link.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    int fd = open(("/proc/self/fd/" + std::to_string(link.get())).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && (fstat(fd, &st2) != 0 || st2.st_dev != st.st_dev || st2.st_ino != st.st_ino)) {
        close(fd);
        return -1;
    }
    if (fd >= 0)
        *size = static_cast<uint64_t>(st2.st_size);
    return fd;
}
