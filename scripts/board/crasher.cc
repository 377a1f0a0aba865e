// Problem: the harness must show that a real crash during a run leaves a
// real kernel core dump, and that tapfuzz saves that very file, not a cut or
// altered one; yet tapfuzz moves the dump out of /tmp within a second.
// Solution: a parent that watches /tmp, forks a child that fills a known
// memory pattern and dies of SIGSEGV with an unlimited core size, opens the
// dump the moment the kernel creates it (an open descriptor follows the file
// through tapfuzz's rename), and after the child is reaped (the kernel has
// then finished writing) copies it as an independent witness.
//
// usage: crasher OUTDIR SAVEDIR
// writes OUTDIR/crasher.txt (key=value) and OUTDIR/witness-<dump name>.
// SAVEDIR is where tapfuzz moves dumps: should its one-second scan move the
// file between the kernel's creation and our open, it is opened there.
#include <dirent.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <poll.h>

#include <string>

#include "board_io.h"

namespace {

const char kTool[] = "crasher";
const size_t kPatternBytes = 64 * 1024;

// The host regenerates this sequence from the child's pid and looks for it
// in the saved dump: proof that the file holds the dead process's memory.
void fillPattern(unsigned char* p, size_t n, unsigned pid)
{
    unsigned x = pid ^ 0x5eedu;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        p[i] = static_cast<unsigned char>(x >> 16);
    }
}

[[noreturn]] void crashChild()
{
    struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_CORE, &rl) < 0)
        _exit(3);
    void* mem = mmap(nullptr, kPatternBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED)
        _exit(4);
    fillPattern(static_cast<unsigned char*>(mem), kPatternBytes,
                static_cast<unsigned>(getpid()));
    // A genuine invalid access, not raise(): the kernel reports SEGV_MAPERR.
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    _exit(5);
}

bool copyAll(int from, int to, long long* size)
{
    char buf[65536];
    *size = 0;
    if (lseek(from, 0, SEEK_SET) < 0)
        return false;
    for (;;) {
        ssize_t n = read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!board::write_all(to, buf, static_cast<size_t>(n)))
            return false;
        *size += n;
    }
}

// Opens the one file in dir whose name starts with prefix.
int openMoved(const std::string& dir, const char* prefix)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return -1;
    int fd = -1;
    while (struct dirent* e = readdir(d)) {
        if (strncmp(e->d_name, prefix, strlen(prefix)) == 0) {
            fd = board::open_retry((dir + e->d_name).c_str(), O_RDONLY);
            break;
        }
    }
    closedir(d);
    return fd;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        board::die(kTool, "usage: crasher OUTDIR SAVEDIR");
    const std::string outdir = argv[1];
    std::string savedir = argv[2];
    if (savedir.empty() || savedir.back() != '/')
        savedir += '/';

    board::Fd ino(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!ino.valid())
        board::die(kTool, "inotify_init1: %s", strerror(errno));
    if (inotify_add_watch(ino.get(), "/tmp", IN_CREATE) < 0)
        board::die(kTool, "watching /tmp: %s", strerror(errno));

    pid_t child = fork();
    if (child < 0)
        board::die(kTool, "fork: %s", strerror(errno));
    if (child == 0)
        crashChild();

    // The dump name the core pattern gives: coredump-<comm>-<pid>-<seconds>.
    char prefix[64];
    snprintf(prefix, sizeof prefix, "coredump-crasher-%d-", static_cast<int>(child));
    std::string dumpName;
    board::Fd dump;
    bool seen = false;
    for (int waited = 0; !seen && waited < 200; ++waited) {
        struct pollfd p = {ino.get(), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        alignas(struct inotify_event) char buf[4096];
        ssize_t n = read(ino.get(), buf, sizeof buf);
        for (ssize_t off = 0; n > 0 && off < n;) {
            const struct inotify_event* ev =
                reinterpret_cast<const struct inotify_event*>(buf + off);
            off += static_cast<ssize_t>(sizeof *ev + ev->len);
            if (ev->len == 0 || strncmp(ev->name, prefix, strlen(prefix)) != 0)
                continue;
            seen = true;
            dumpName = ev->name;
            dump = board::Fd(board::open_retry(("/tmp/" + dumpName).c_str(), O_RDONLY));
            if (!dump.valid() && errno == ENOENT)
                dump = board::Fd(openMoved(savedir, prefix));
            break;
        }
    }

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            board::die(kTool, "waitpid: %s", strerror(errno));
    }

    long long size = -1;
    std::string witness;
    if (dump.valid()) {
        witness = "witness-" + dumpName;
        board::Fd out(board::open_retry((outdir + "/" + witness).c_str(),
                                        O_WRONLY | O_CREAT | O_TRUNC));
        if (!out.valid() || !copyAll(dump.get(), out.get(), &size))
            board::die(kTool, "copying the dump to %s: %s", witness.c_str(), strerror(errno));
    }

    char report[1024];
    snprintf(report, sizeof report,
             "pid=%d\nsignaled=%d\nsignal=%d\ncore=%d\ndump=%s\nwitness=%s\nsize=%lld\n"
             "pattern_bytes=%zu\n",
             static_cast<int>(child), WIFSIGNALED(status) ? 1 : 0,
             WIFSIGNALED(status) ? WTERMSIG(status) : 0,
             WIFSIGNALED(status) && WCOREDUMP(status) ? 1 : 0, dumpName.c_str(),
             witness.c_str(), size, kPatternBytes);
    if (!board::write_file((outdir + "/crasher.txt").c_str(), report))
        board::die(kTool, "cannot write %s/crasher.txt", outdir.c_str());
    printf("crasher: child %d %s, dump %s (%lld bytes)\n", static_cast<int>(child),
           WIFSIGNALED(status) && WCOREDUMP(status) ? "dumped core" : "left no core",
           dumpName.empty() ? "not seen in /tmp" : dumpName.c_str(), size);
    return dump.valid() ? 0 : 1;
}
