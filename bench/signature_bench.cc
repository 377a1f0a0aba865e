// Problem: the signature of a 100 MB dump, its stack walk included, must
// cost a few page reads, never a read of the dump (target: 20 ms on the
// host, a few hundred KB read).
// Solution: time readCoreSignature on a real dump, once with the page cache
// warm and once with the dump's and its module's pages dropped from it.
// usage: signature_bench CORE MODULE RUNS
// Prints the signature's text, key and frame count on one line, then
// "warm_us MEDIAN MAX" and "cold_us MEDIAN MAX".
// The reading of one signature is framed by "begin" and "end" written to
// standard error, for strace to count its system calls.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "watch/core_signature.h"

namespace {

double nowUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

void drop(const char* path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: signature_bench CORE MODULE RUNS\n");
        return 2;
    }
    int fd = open(argv[1], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    (void)!write(2, "begin\n", 6);
    const CoreSignature sig = readCoreSignature(fd);
    (void)!write(2, "end\n", 4);
    printf("%s; key %s; %zu frames\n", sig.text().c_str(), sig.key().c_str(), sig.frames.size());
    int runs = atoi(argv[3]);
    for (int cold = 0; cold < 2 && runs > 0; ++cold) {
        std::vector<double> us;
        for (int i = 0; i < runs; ++i) {
            if (cold)
                drop(argv[1]), drop(argv[2]);
            double t = nowUs();
            readCoreSignature(fd);
            us.push_back(nowUs() - t);
        }
        std::sort(us.begin(), us.end());
        printf("%s_us %.1f %.1f\n", cold ? "cold" : "warm", us[us.size() / 2], us.back());
    }
    close(fd);
    return 0;
}
