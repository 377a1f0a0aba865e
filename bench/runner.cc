// Problem: a benchmark run must see the program exactly as it runs on a
// device, yet never reach the machine's own /dev/input or /dev/fb0.
// Solution: inside the sandbox's mount namespace, replace the private
// /dev/input folder (kept on disk below the test folder) by one on the
// sandbox's /dev tmpfs, put the node there, and run the program as our own
// child, so wait4() gives its CPU time and /proc its memory.
#include "runner.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "figures.h"
#include "sandbox.h"

extern char** environ;

namespace {

const char kNode[] = "/dev/input/event0";

int64_t nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double seconds(const struct timeval& tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// "VmHWM:   1234 kB" and "Threads: 3" from /proc/PID/status.
void readStatus(pid_t pid, long* hwmKb, int* threads)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = fopen(path, "r");
    if (f == nullptr)
        return;
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        long v;
        if (sscanf(line, "VmHWM: %ld", &v) == 1 && v > *hwmKb)
            *hwmKb = v;
        int t;
        if (threads != nullptr && sscanf(line, "Threads: %d", &t) == 1 && t > *threads)
            *threads = t;
    }
    fclose(f);
}

// The program's children: their count, names and largest peak memory.
void readChildren(pid_t parent, RunResult* r)
{
    DIR* d = opendir("/proc");
    if (d == nullptr)
        return;
    int count = 0;
    while (struct dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        char path[64];
        snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        FILE* f = fopen(path, "r");
        if (f == nullptr)
            continue;
        char buf[512];
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = '\0';
        // pid (comm) state ppid ...: comm may hold blanks, so parse from
        // the last ')'.
        char* open = strchr(buf, '(');
        char* close = strrchr(buf, ')');
        if (open == nullptr || close == nullptr || close < open)
            continue;
        char state;
        int ppid;
        if (sscanf(close + 1, " %c %d", &state, &ppid) != 2 || ppid != parent || state == 'Z')
            continue;
        ++count;
        std::string name(open + 1, static_cast<size_t>(close - open - 1));
        if (r->children.find(name) == std::string::npos)
            r->children += (r->children.empty() ? "" : ",") + name;
        readStatus(static_cast<pid_t>(pid), &r->childHwmKb, nullptr);
    }
    closedir(d);
    if (count > r->maxChildren)
        r->maxChildren = count;
}

// Reads what is queued at the fifo now, time-stamped on arrival.
void drainFifo(int fd, GestureClock* clock)
{
    char buf[sizeof(struct input_event) * 512];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        clock->take(buf, static_cast<size_t>(n), nowNs());
    }
}

bool writeResult(const std::string& file, const RunResult& r)
{
    std::ofstream out(file, std::ios::trunc);
    out.precision(9);
    out << "status " << r.status << "\nwall " << r.wallSec << "\nuser " << r.userSec << "\nsys "
        << r.sysSec << "\nhwm " << r.hwmKb << "\nchildhwm " << r.childHwmKb << "\nthreads "
        << r.maxThreads << "\nchildren " << r.maxChildren << "\nnames "
        << (r.children.empty() ? "-" : r.children) << "\nrecords " << r.records << "\n";
    for (int64_t t : r.gestureStart)
        out << "S " << t << "\n";
    for (int64_t t : r.gestureEnd)
        out << "E " << t << "\n";
    return static_cast<bool>(out.flush());
}

RunResult readResult(const std::string& file)
{
    RunResult r;
    std::ifstream in(file);
    std::string key;
    while (in >> key) {
        if (key == "status") in >> r.status;
        else if (key == "wall") in >> r.wallSec;
        else if (key == "user") in >> r.userSec;
        else if (key == "sys") in >> r.sysSec;
        else if (key == "hwm") in >> r.hwmKb;
        else if (key == "childhwm") in >> r.childHwmKb;
        else if (key == "threads") in >> r.maxThreads;
        else if (key == "children") in >> r.maxChildren;
        else if (key == "names") { in >> r.children; if (r.children == "-") r.children.clear(); }
        else if (key == "records") { in >> r.records; r.ok = true; }
        else if (key == "S") { int64_t t; in >> t; r.gestureStart.push_back(t); }
        else if (key == "E") { int64_t t; in >> t; r.gestureEnd.push_back(t); }
        else break;
    }
    return r;
}

// The body of the sandboxed child: set up the node, run the program, watch.
int runBody(const RunSpec& job, const std::string& root)
{
    // The private dev/input folder is a bind of a folder on disk; a node on
    // the sandbox's own /dev tmpfs costs what a node in memory costs.
    umount2("/dev/input", MNT_DETACH);
    mkdir("/dev/input", 0755);
    unlink(kNode);
    int rfd = -1;
    if (job.fifo) {
        if (mkfifo(kNode, 0666) != 0)
            return 101;
        // Read-write: the fifo never reports an end between two gestures.
        rfd = open(kNode, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (rfd < 0)
            return 102;
    } else {
        int fd = open(kNode, O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0)
            return 103;
        close(fd);
    }

    std::vector<char*> argv;
    for (const std::string& a : job.argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e)
        envp.push_back(*e);
    for (const std::string& e : job.env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const std::string outPath = job.stdoutPath.empty() ? "/dev/null" : job.stdoutPath;
    const std::string errPath = root + "/err.txt";

    RunResult r;
    std::string smaps;
    GestureClock clock;
    bool stopped = false;
    int64_t t0 = nowNs();
    pid_t pid = fork();
    if (pid < 0)
        return 104;
    if (pid == 0) {
        // A group of its own: a stop request reaches the program also when
        // it runs under strace or valgrind.
        setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        int err = open(errPath.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }

    struct rusage ru;
    memset(&ru, 0, sizeof ru);
    int st = 0;
    for (;;) {
        int flags = (job.fifo || job.watch) ? WNOHANG : 0;
        pid_t w = wait4(pid, &st, flags, &ru);
        if (w == pid)
            break;
        if (w < 0 && errno != EINTR)
            return 105;
        if (job.watch) {
            long before = r.hwmKb;
            readStatus(pid, &r.hwmKb, &r.maxThreads);
            readChildren(pid, &r);
            // The mappings as they stood when the peak last grew: where the
            // resident memory sits.
            if (r.hwmKb > before) {
                char path[64];
                snprintf(path, sizeof path, "/proc/%d/smaps", static_cast<int>(pid));
                std::string text = Sandbox::ReadFile(path);
                if (!text.empty())
                    smaps = text;
            }
        }
        if (job.fifo) {
            struct pollfd p = {rfd, POLLIN, 0};
            if (poll(&p, 1, job.watch ? 10 : 5) > 0)
                drainFifo(rfd, &clock);
            if (!stopped && job.stopAfterRecords > 0 && clock.records >= job.stopAfterRecords) {
                kill(-pid, SIGINT);
                stopped = true;
            }
        } else if (job.watch) {
            usleep(10000);
        }
    }
    int64_t t1 = nowNs();
    if (job.fifo) {
        drainFifo(rfd, &clock);
        close(rfd);
    }
    r.records = clock.records;
    r.gestureStart = clock.start;
    r.gestureEnd = clock.end;
    if (job.watch)
        Sandbox::WriteFile(root + "/smaps.txt", smaps);
    r.status = st;
    r.wallSec = static_cast<double>(t1 - t0) / 1e9;
    r.userSec = seconds(ru.ru_utime);
    r.sysSec = seconds(ru.ru_stime);
    return writeResult(root + "/bench-result.txt", r) ? 0 : 106;
}

}  // namespace

RunResult RunInSandbox(const Sandbox& sb, const RunSpec& job)
{
    const std::string root = sb.root();
    unlink((root + "/bench-result.txt").c_str());
    int st = sb.Run([&job, &root]() { return runBody(job, root); });
    RunResult r = readResult(root + "/bench-result.txt");
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        fprintf(stderr, "bench: runner failed (status 0x%x) for %s\n", st, job.argv[0].c_str());
        r.ok = false;
    }
    return r;
}
