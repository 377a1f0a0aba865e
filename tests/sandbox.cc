// Problem: the code under test opens device nodes, lists /tmp and writes the
// kernel's core pattern; none of that may reach the real machine.
// Solution: a child in new mount and PID namespaces whose /dev, /tmp and
// core-pattern file are private folders of the test, with a tiny init that
// forwards signals, reaps orphans and notes what was left running.
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <fstream>

#include "sandboxed_case.h"

extern "C" void __gcov_dump() __attribute__((weak));

namespace {

void Must(bool ok, const std::string& what) { if (!ok) fprintf(stderr, "sandbox: %s: %s\n", what.c_str(), strerror(errno)), _exit(127); }

// Bind-mounts src on dst, creating dst as an empty file or folder to match.
void BindOnto(const std::string& src, const std::string& dst)
{
    std::filesystem::is_directory(src) ? mkdir(dst.c_str(), 0755) : close(open(dst.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    Must(mount(src.c_str(), dst.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0, "bind " + src);
}

void SetUpMounts(const std::string& root)
{
    Must(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "private /");
    // The private dev/ holds the test's own nodes and, bound in, the few
    // harmless ones of the real /dev; then it stands for /dev.
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"})
        if (access((std::string("/dev/") + node).c_str(), F_OK) == 0)
            BindOnto(std::string("/dev/") + node, root + "/dev/" + node);
    const char* links[] = {"stdin", "stdout", "stderr", "fd"};
    for (int fd = 0; fd < 4; ++fd)
        symlink(fd < 3 ? ("/proc/self/fd/" + std::to_string(fd)).c_str() : "/proc/self/fd", (root + "/dev/" + links[fd]).c_str());
    Must(mount((root + "/dev").c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) == 0, "/dev");
    // The private /tmp hides the real one, and with it the test's own folder
    // when that lies below /tmp: hold the real /tmp open across the mount
    // and bind the folder's top back at the same path.
    int realTmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    Must(mount((root + "/tmp").c_str(), "/tmp", nullptr, MS_BIND, nullptr) == 0, "/tmp");
    const std::string top = root.substr(5, root.find('/', 5) - 5);
    if (root.rfind("/tmp/", 0) == 0)
        BindOnto("/proc/self/fd/" + std::to_string(realTmp) + "/" + top, "/tmp/" + top);
    close(realTmp);
    Must(mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0 &&
         mount((root + "/core_pattern").c_str(), "/proc/sys/kernel/core_pattern", nullptr, MS_BIND, nullptr) == 0, "/proc");
    // The program works in /mnt, a view of the case's work folder: its
    // working directory (where dumps are saved) must not lie below /tmp even
    // when the build tree does.
    Must(mount((root + "/work").c_str(), "/mnt", nullptr, MS_BIND, nullptr) == 0, "/mnt");
}

// PID 1 of the sandbox: forwards signals from the test to the program,
// reaps everything, and reports the program's status and what it left.
[[noreturn]] void InitLoop(pid_t prog, int ctl, int status, const std::string& root)
{
    int progStatus = 0, st, sig;
    for (bool done = false; !done;) {
        struct pollfd p = {ctl, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && read(ctl, &sig, sizeof sig) == static_cast<ssize_t>(sizeof sig))
            kill(prog, sig);
        else if (p.revents & POLLHUP)
            ctl = -1;  // poll then only waits
        for (pid_t w; (w = waitpid(-1, &st, WNOHANG)) > 0;)
            done = done || w == prog, progStatus = w == prog ? st : progStatus;
    }
    // Give what the program left behind a moment to end on its own.
    for (int i = 0; i < 100 && !(waitpid(-1, &st, WNOHANG) < 0 && errno == ECHILD); ++i)
        usleep(20000);
    std::ofstream out(root + "/leftover.txt", std::ios::trunc);
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        std::string args = atoi(e.path().filename().c_str()) > 1 ? Sandbox::ReadFile(e.path() / "cmdline") : "";
        std::replace(args.begin(), args.end(), '\0', ' ');
        out << (args.empty() ? "" : e.path().filename().string() + ' ' + args + '\n');
    }
    out.close();
    _exit(write(status, &progStatus, sizeof progStatus) == static_cast<ssize_t>(sizeof progStatus) ? 0 : 126);
}

void WaitFor(pid_t pid, int* st) { while (waitpid(pid, st, 0) < 0 && errno == EINTR) {} }

SandboxProcess Launch(const std::string& root, const std::function<int()>& body)
{
    int ctl[2], status[2], st = 0;
    Must(pipe2(ctl, O_CLOEXEC) == 0 && pipe2(status, O_CLOEXEC) == 0, "pipe");
    signal(SIGPIPE, SIG_IGN);  // a Kill() after the sandbox ended fails rather than ends the test
    fflush(nullptr);
    pid_t outer = fork();
    if (outer == 0) {
        close(ctl[1]), close(status[0]);
        Must(unshare(CLONE_NEWNS | CLONE_NEWPID) == 0, "unshare");
        if (pid_t init = fork())
            WaitFor(init, &st), _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 127);
        SetUpMounts(root);
        pid_t prog = fork();
        if (prog == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int sig = 1; sig < NSIG; ++sig)
                signal(sig, SIG_DFL);
            Must(chdir("/mnt") == 0, "chdir");
            int rc = body();
            if (__gcov_dump)  // a coverage build counts what the child ran
                __gcov_dump();
            _exit(rc);
        }
        InitLoop(prog, ctl[0], status[1], root);
    }
    close(ctl[0]), close(status[1]);
    return SandboxProcess(outer, ctl[1], status[0]);
}

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

int Sandbox::Run(const std::function<int()>& body) const { return Launch(root_, body).Wait(); }

SandboxProcess Sandbox::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env) const
{
    const std::string root = root_;
    return Launch(root_, [argv, env, root]() -> int {
        int fds[3] = {open("/dev/null", O_RDONLY), open((root + "/out.txt").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644),
                      open((root + "/err.txt").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644)};
        for (int i = 0; i < 3; ++i)
            Must(fds[i] >= 0 && dup2(fds[i], i) >= 0, "open");
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        for (const std::string& e : env)  // this process's own copy of the environment
            putenv(const_cast<char*>(e.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        return Must(false, args[0]), 127;
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
