// Problem: the code under test opens device nodes, lists /tmp and writes the
// kernel's core pattern; none of that may reach the real machine.
// Solution: a child in new mount and PID namespaces whose /dev, /tmp and
// core-pattern file are private folders of the test, with a tiny init that
// forwards signals, reaps orphans and notes what was left running; both are
// set up by tests/sandbox_init.c.
#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>

#include <fstream>

#include "sandboxed_case.h"

extern "C" void __gcov_dump() __attribute__((weak));
extern "C" void sandbox_enter(const char* root, int ctl, int status);

namespace {

void Must(bool ok, const std::string& what) { if (!ok) fprintf(stderr, "sandbox: %s: %s\n", what.c_str(), strerror(errno)), _exit(127); }

void WaitFor(pid_t pid, int* st) { while (waitpid(pid, st, 0) < 0 && errno == EINTR) {} }

// The test's ends of the pipes that carry signals to the sandbox's init
// and the program's wait status back.
struct Pipes {
    int ctl[2], status[2];
    Pipes() { Must(pipe2(ctl, O_CLOEXEC) == 0 && pipe2(status, O_CLOEXEC) == 0, "pipe"); }
};

// Forks the sandbox's outer process; `child` runs in it and never returns.
template <typename Child>
SandboxProcess Launch(const Pipes& p, Child child)
{
    const int *ctl = p.ctl, *status = p.status;
    signal(SIGPIPE, SIG_IGN);  // a Kill() after the sandbox ended fails rather than ends the test
    fflush(nullptr);
    pid_t outer = fork();
    Must(outer >= 0, "fork");
    if (outer == 0)
        child();
    close(ctl[0]), close(status[1]);
    return SandboxProcess(outer, ctl[1], status[0]);
}

// The threads of this process.
size_t Threads()
{
    size_t n = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        for (struct dirent* e; (e = readdir(tasks));)
            n += e->d_name[0] != '.';
        closedir(tasks);
    }
    return n;
}

// Those the process runs before main: one, or under qemu-user also the
// emulator's own, which holds no lock of the program's.
const size_t kThreadsAtStart = Threads();

}  // namespace

Sandbox::Sandbox()
{
    char tmpl[] = "sandbox.XXXXXX";
    Must(mkdtemp(tmpl) != nullptr, "mkdtemp");
    root_ = std::filesystem::canonical(tmpl);
    std::filesystem::create_directories(root_ + "/dev/input");
    std::filesystem::create_directories(root_ + "/work");
    mkdir((root_ + "/tmp").c_str(), 0);
    chmod((root_ + "/tmp").c_str(), 01777);
    WriteFile(root_ + "/core_pattern", "");
}

Sandbox::~Sandbox() { std::error_code ignored; std::filesystem::remove_all(root_, ignored); }

bool Sandbox::Available()
{
    static const bool available = [] {
        pid_t pid = geteuid() == 0 ? fork() : -1;
        if (pid == 0)
            _exit(unshare(CLONE_NEWNS | CLONE_NEWPID) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : 1);
        int st = 1;
        return pid > 0 && (WaitFor(pid, &st), st == 0);
    }();
    return available;
}

std::string Sandbox::path(const std::string& inside) const
{
    if (inside == "/proc/sys/kernel/core_pattern")
        return root_ + "/core_pattern";
    if (inside.rfind("/dev/", 0) == 0 || inside.rfind("/tmp", 0) == 0)
        return root_ + inside;
    if (!inside.empty() && inside[0] == '/')
        fprintf(stderr, "sandbox: %s is not private to the sandbox\n", inside.c_str()), abort();
    return root_ + "/work/" + inside;
}

// The child of a process that runs another thread may block for ever on
// a lock that thread held at the fork (the allocator's): the body, which
// allocates, runs only in the fork of a process without threads of its own.
int Sandbox::Run(const std::function<int()>& body) const
{
    if (const size_t threads = Threads(); threads > kThreadsAtStart)
        fprintf(stderr, "sandbox: Run() in a process of %zu threads (%zu at its start); fork before any thread, or Start() a program\n",
                threads, kThreadsAtStart), abort();
    const Pipes p;
    return Launch(p, [this, &p, &body] {
        close(p.ctl[1]), close(p.status[0]);
        sandbox_enter(root_.c_str(), p.ctl[0], p.status[1]);
        int rc = body();
        if (__gcov_dump)  // a coverage build counts what the child ran
            __gcov_dump();
        _exit(rc);
    }).Wait();
}

// The test may run threads: its child only makes async-signal-safe calls
// until it execs sandbox_init, whose arguments are all made here.
SandboxProcess Sandbox::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env) const
{
    const Pipes p;
    std::vector<std::string> words = {SANDBOX_INIT, root_, std::to_string(p.ctl[0]), std::to_string(p.status[1])};
    words.insert(words.end(), env.begin(), env.end());
    words.push_back("--");
    words.insert(words.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& w : words)
        args.push_back(&w[0]);
    args.push_back(nullptr);
    return Launch(p, [&] {
        // sandbox_init keeps these two ends; the test's own close at the exec.
        fcntl(p.ctl[0], F_SETFD, 0), fcntl(p.status[1], F_SETFD, 0);
        execve(args[0], args.data(), environ);
        static const char failed[] = "sandbox: cannot exec " SANDBOX_INIT "\n";
        if (write(STDERR_FILENO, failed, sizeof failed - 1)) {}
        _exit(127);
    });
}

int Sandbox::Exec(const std::vector<std::string>& argv, const std::vector<std::string>& env) const { return Start(argv, env).Wait(); }

std::string Sandbox::ReadFile(const std::string& hostPath)
{
    std::ostringstream text;
    return (text << std::ifstream(hostPath, std::ios::binary).rdbuf(), text.str());
}

bool Sandbox::WriteFile(const std::string& hostPath, const std::string& text)
{
    return static_cast<bool>(std::ofstream(hostPath, std::ios::binary | std::ios::trunc) << text << std::flush);
}

SandboxProcess::~SandboxProcess() { Kill(SIGKILL), Wait(); }

bool SandboxProcess::Kill(int sig) { return !done_ && write(ctl_, &sig, sizeof sig) == static_cast<ssize_t>(sizeof sig); }

int SandboxProcess::Wait()
{
    int st = 0, outerStatus = 0;
    ssize_t n;
    while (!done_ && (n = read(status_, &st, sizeof st)) < 0 && errno == EINTR) {}
    if (done_)
        return result_;
    WaitFor(outer_, &outerStatus);
    close(ctl_), close(status_);
    done_ = true;
    // A sandbox that could not be set up reports through its own exit code.
    return result_ = n == static_cast<ssize_t>(sizeof st) ? st : outerStatus;
}
