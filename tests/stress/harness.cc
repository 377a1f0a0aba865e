// Problem: see harness.h.
// Solution: plain system calls, each resource owned by the object that
// made it; a process is signalled through a pidfd, so a pid that was
// reused after tapfuzz ended can never be hit.
#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

Programs gProgs;

bool EnterPrivateMounts(std::string* why)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = std::string("cannot make a private mount namespace: ") + strerror(errno);
        return false;
    }
    return true;
}

// --- Mounts and full disks ---------------------------------------------------

TmpfsMount::TmpfsMount(const std::string& path, size_t kib, bool readOnly) : path_(path)
{
    std::string data = "size=" + std::to_string(kib) + "k,mode=0755";
    unsigned long flags = MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
    if (mount("tmpfs", path.c_str(), "tmpfs", flags, data.c_str()) != 0)
        error_ = "mount tmpfs on " + path + ": " + strerror(errno);
}

TmpfsMount::~TmpfsMount()
{
    if (error_.empty())
        umount2(path_.c_str(), MNT_DETACH);
}

bool TmpfsMount::Resize(size_t kib)
{
    std::string data = "size=" + std::to_string(kib) + "k";
    return error_.empty() && mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_NOSUID | MS_NODEV, data.c_str()) == 0;
}

BindMount::BindMount(const std::string& from, const std::string& onto) : onto_(onto)
{
    if (mount(from.c_str(), onto.c_str(), nullptr, MS_BIND, nullptr) != 0)
        error_ = "bind " + from + " on " + onto + ": " + strerror(errno);
}

BindMount::~BindMount()
{
    if (error_.empty())
        umount2(onto_.c_str(), MNT_DETACH);
}

DiskFiller::DiskFiller(const std::string& folder) : path_(folder + "/.stress-filler")
{
    int fd = open(path_.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    static char zeros[65536];
    // Big pieces first, then smaller ones until not one byte more fits.
    for (size_t piece : {sizeof zeros, size_t{4096}, size_t{512}, size_t{1}}) {
        for (;;) {
            ssize_t n = write(fd, zeros, piece);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                full_ = full_ || errno == ENOSPC;
                break;
            }
        }
    }
    close(fd);
}

void DiskFiller::Release()
{
    if (!path_.empty())
        unlink(path_.c_str());
    path_.clear();
}

// --- The node ---------------------------------------------------------------

Capture::Capture(const std::string& fifo, bool keep) : stream_(keep)
{
    fd_ = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0)
        thread_ = std::thread([this] { Loop(); });
}

Capture::~Capture()
{
    Finish();
}

void Capture::Drain()
{
    static thread_local char buf[1 << 16];
    for (;;) {
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        stream_.Feed(buf, static_cast<size_t>(n));
        bytes_.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    whole_.store(stream_.whole(), std::memory_order_relaxed);
}

void Capture::Loop()
{
    while (!stop_.load()) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            Drain();
        }
    }
}

const EventStream& Capture::Finish()
{
    if (!finished_) {
        finished_ = true;
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            Drain();
            close(fd_);
            fd_ = -1;
        }
        stream_.Finish();
    }
    return stream_;
}

// --- The stage --------------------------------------------------------------

Stage::Stage()
{
    Sandbox::WriteFile(sb.path("/dev/fb0"), "");
    mkdir(sb.path("saved").c_str(), 0755);
    Profile("");
}

void Stage::Profile(const std::string& extra, const std::string& corePath)
{
    std::string lib = gProgs.feedinput.substr(0, gProgs.feedinput.rfind('/') + 1);
    Sandbox::WriteFile(sb.path("device.conf"), "LIBLARAY_PATH=" + lib + "\nCOREFILE_PATH=" + corePath + "\n" + extra);
}

bool Stage::MakeNode(bool keep)
{
    const std::string node = sb.path("/dev/input/event0");
    if (mkfifo(node.c_str(), 0666) != 0 && errno != EEXIST)
        return false;
    capture.reset(new Capture(node, keep));
    return capture->ok();
}

std::string Stage::ResultsFolder() const
{
    std::string found;
    if (DIR* d = opendir(sb.path("results").c_str())) {
        while (struct dirent* e = readdir(d))
            if (strncmp(e->d_name, "tapfuzz", 7) == 0)
                found = sb.path("results/") + e->d_name;
        closedir(d);
    }
    return found;
}

std::string Stage::Log(const char* file) const
{
    std::string folder = ResultsFolder();
    return folder.empty() ? "" : Sandbox::ReadFile(folder + "/" + file);
}

size_t Stage::CountMessages(const std::string& prefix, const char* file) const
{
    return CountLines(Log(file), "[INFO]" + prefix);
}

// --- One run ----------------------------------------------------------------

namespace {

std::vector<std::string> RunArgv(const std::vector<std::string>& args, const RunOptions& options)
{
    std::vector<std::string> argv;
    if (options.withoutDacOverride) {
        argv.push_back(gProgs.self);
        argv.push_back("--exec-without-dac-override");
    }
    argv.push_back(gProgs.tapfuzz);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<std::string> RunEnv(const Stage& stage, const RunOptions& options)
{
    std::string preload = gProgs.fbshim;
    if (options.faultShim)
        preload += ":" + gProgs.faultshim;
    std::vector<std::string> env = {"LD_PRELOAD=" + preload, "TAPFUZZ_TEST_FB=800x480", "TZ=UTC"};
    if (options.faultShim)
        env.push_back("STRESS_FAULT_FILE=" + stage.sb.root() + "/fault");
    env.insert(env.end(), options.env.begin(), options.env.end());
    return env;
}

pid_t ParentOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold blanks and parentheses; the fields after
    // its closing parenthesis are plain.
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    return static_cast<pid_t>(ppid);
}

std::string ExeOf(pid_t pid)
{
    char buf[4096];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return "";
    buf[n] = '\0';
    return buf;
}

// tapfuzz of one of our own sandboxes: this program is among its ancestors
// (stress -> sandbox outer -> init -> tapfuzz).
bool IsOurTapfuzz(pid_t pid)
{
    if (ExeOf(pid) != gProgs.tapfuzz)
        return false;
    pid_t up = pid;
    for (int i = 0; i < 6 && up > 1; ++i) {
        up = ParentOf(up);
        if (up == getpid())
            return true;
    }
    return false;
}

int PidfdOpen(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

int pidfdOf(pid_t pid, int* fdOut)
{
    int fd = PidfdOpen(pid);
    // The pid may have been reused between the scan and the open; checked
    // again now that the descriptor pins the process.
    if (fd >= 0 && !IsOurTapfuzz(pid)) {
        close(fd);
        return -1;
    }
    *fdOut = fd;
    return 0;
}

}  // namespace

Run::Run(const Stage& stage, const std::vector<std::string>& args, const RunOptions& options)
    : proc_(stage.sb.Start(RunArgv(args, options), RunEnv(stage, options)))
{
}

Run::~Run()
{
    if (pidfd_ >= 0)
        close(pidfd_);
}

namespace {

// Children of every thread of `pid` (the sandbox forks from a thread of
// ours), from the kernel's own list.
bool ChildrenOf(pid_t pid, std::vector<pid_t>* out)
{
    const std::string task = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(task.c_str());
    if (d == nullptr)
        return false;
    bool any = false;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(task + "/" + e->d_name + "/children");
        if (!in)
            continue;
        any = true;
        long child;
        while (in >> child)
            out->push_back(static_cast<pid_t>(child));
    }
    closedir(d);
    return any;
}

// Our tapfuzz among our descendants (stress -> outer -> init -> tapfuzz);
// -1 when the kernel keeps no list of children, 0 when not there yet.
pid_t FindAmongDescendants()
{
    std::vector<pid_t> level = {getpid()};
    for (int depth = 0; depth < 4; ++depth) {
        std::vector<pid_t> next;
        for (pid_t p : level)
            if (!ChildrenOf(p, &next) && depth == 0)
                return -1;
        for (pid_t p : next)
            if (ExeOf(p) == gProgs.tapfuzz)
                return p;
        level.swap(next);
    }
    return 0;
}

pid_t FindByScan()
{
    pid_t found = 0;
    if (DIR* d = opendir("/proc")) {
        while (struct dirent* e = readdir(d)) {
            char* end = nullptr;
            long pid = strtol(e->d_name, &end, 10);
            if (*end == '\0' && pid > 1 && IsOurTapfuzz(static_cast<pid_t>(pid))) {
                found = static_cast<pid_t>(pid);
                break;
            }
        }
        closedir(d);
    }
    return found;
}

}  // namespace

pid_t Run::Pid(int seconds)
{
    if (pid_ != 0 || done_)
        return pid_;
    // Looked for closely: a storm run signals its start-up, a few
    // milliseconds long, as soon as it is found.
    for (long i = 0; i < seconds * 5000L && pid_ == 0; ++i) {
        pid_t pid = FindAmongDescendants();
        if (pid < 0)
            pid = FindByScan();
        if (pid > 0 && pidfdOf(pid, &pidfd_) == 0)
            pid_ = pid;
        else
            usleep(200);
    }
    return pid_;
}

bool Run::WaitHandlers(int seconds)
{
    if (Pid(seconds) == 0)
        return false;
    const unsigned long long want = (1ULL << (SIGINT - 1)) | (1ULL << (SIGALRM - 1));
    const std::string status = "/proc/" + std::to_string(pid_) + "/status";
    // Polled closely: the start-up after the handlers is a few
    // milliseconds, and a signal meant for it must not come too late.
    for (long i = 0; i < seconds * 5000L; ++i) {
        std::ifstream in(status);
        std::string line;
        while (std::getline(in, line))
            if (line.compare(0, 7, "SigCgt:") == 0 && (strtoull(line.c_str() + 7, nullptr, 16) & want) == want)
                return true;
        usleep(200);
    }
    return false;
}

bool Run::Signal(int sig)
{
    if (done_ || Pid() == 0)
        return false;
#ifdef SYS_pidfd_send_signal
    if (pidfd_ >= 0)
        return syscall(SYS_pidfd_send_signal, pidfd_, sig, nullptr, 0) == 0;
#endif
    // No pidfd on this kernel: the sandbox's init forwards the signal to
    // the program it started, whatever pid it has now.
    return proc_.Kill(sig);
}

bool Run::Alive()
{
    if (done_ || Pid() == 0)
        return false;
    if (pidfd_ >= 0) {
        // A pidfd turns readable when its process ends.
        struct pollfd p = {pidfd_, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    return kill(pid_, 0) == 0;
}

int Run::Wait(double seconds)
{
    if (!done_) {
        if (Pid(5) != 0 && !WaitFor([&] { return !Alive(); }, seconds)) {
            hung_ = true;
            fprintf(stderr, "tapfuzz_stress: tapfuzz still running after %.0f s, killed\n", seconds);
            Signal(SIGKILL);
        }
        status_ = proc_.Wait();
        done_ = true;
    }
    return status_;
}

// --- Looking at a process ---------------------------------------------------

long RssKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

std::string SanitizerOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("/libasan.so") != std::string::npos)
            return "AddressSanitizer";
        if (line.find("/libtsan.so") != std::string::npos)
            return "ThreadSanitizer";
    }
    return "";
}

int FdCount(pid_t pid, int* node)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    int count = 0, onNode = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char buf[4096];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), buf, sizeof buf - 1);
        if (n < 0)
            continue;  // closed while listing
        buf[n] = '\0';
        if (strncmp(buf, "/dev/input/event0", 17) == 0)
            ++onNode;
        else
            ++count;
    }
    closedir(d);
    if (node != nullptr)
        *node = onNode;
    return count;
}

std::string Activity(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    std::string first, arg;
    if (!(in >> first))
        return "gone";
    if (first == "running")
        return "running";
    long nr = strtol(first.c_str(), nullptr, 10);
    in >> arg;
    switch (nr) {
#ifdef SYS_write
    case SYS_write: {
        long fd = strtol(arg.c_str(), nullptr, 16);
        char buf[4096];
        ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)).c_str(), buf,
                             sizeof buf - 1);
        std::string target = n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
        if (target.compare(0, 17, "/dev/input/event0") == 0)
            return "write node";
        if (target.find("/results/") != std::string::npos)
            return "write log";
        return "write out";
    }
#endif
#ifdef SYS_ppoll
    case SYS_ppoll:
        return "pause";
#endif
#ifdef SYS_ppoll_time64
    case SYS_ppoll_time64:
        return "pause";
#endif
#ifdef SYS_nanosleep
    case SYS_nanosleep:
        return "gesture sleep";
#endif
#ifdef SYS_clock_nanosleep
    case SYS_clock_nanosleep:
        return "gesture sleep";
#endif
#ifdef SYS_clock_nanosleep_time64
    case SYS_clock_nanosleep_time64:
        return "gesture sleep";
#endif
    default:
        return "syscall " + first;
    }
}

// --- Small helpers ----------------------------------------------------------

int ExitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string DescribeStatus(int status)
{
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

size_t CountLines(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (const std::string& line : Lines(text))
        if (line.find(needle) != std::string::npos)
            ++n;
    return n;
}

bool WaitFor(const std::function<bool()>& done, double seconds)
{
    for (int i = 0; i < static_cast<int>(seconds * 50); ++i) {
        if (done())
            return true;
        usleep(20000);
    }
    return done();
}

std::string Pattern(size_t size, unsigned seed)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<char>(seed >> 16);
    }
    return data;
}

bool DropDump(const Stage& stage, const std::string& name, const std::string& data)
{
    return Sandbox::WriteFile(stage.sb.path("/tmp/" + name), data);
}

bool Verdict::Expect(bool ok, const std::string& what)
{
    if (!ok) {
        ++failures_;
        if (shown_.size() < 12)
            shown_.push_back(what);
    }
    return ok;
}

void Verdict::PrintFailures() const
{
    for (const std::string& what : shown_)
        printf("  FAIL %s: %s\n", part_, what.c_str());
    if (failures_ > static_cast<int>(shown_.size()))
        printf("  ... and %d more failures in %s\n", failures_ - static_cast<int>(shown_.size()), part_);
}
