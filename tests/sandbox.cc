// Problem: the code under test opens device nodes, lists /tmp and writes the
// kernel's core pattern; none of that may reach the real machine.
// Solution: a child in new mount and PID namespaces whose /dev, /tmp and
// core-pattern file are private folders of the test, with a tiny init that
// forwards signals, reaps orphans and notes what was left running.
#include "sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char** environ;

namespace {

[[noreturn]] void Die(const char* what)
{
    fprintf(stderr, "sandbox: %s: %s\n", what, strerror(errno));
    _exit(127);
}

void MustMount(const char* src, const std::string& dst, const char* type, unsigned long flags)
{
    if (mount(src, dst.c_str(), type, flags, nullptr) != 0) {
        fprintf(stderr, "sandbox: mount %s on %s: %s\n", src ? src : "-", dst.c_str(), strerror(errno));
        _exit(127);
    }
}

// Bind-mounts src on dst, creating dst as an empty file or folder to match.
void BindOnto(const std::string& src, const std::string& dst)
{
    struct stat st;
    if (lstat(src.c_str(), &st) != 0)
        Die(src.c_str());
    if (S_ISDIR(st.st_mode)) {
        mkdir(dst.c_str(), 0755);
    } else {
        int fd = open(dst.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
    }
    MustMount(src.c_str(), dst, nullptr, MS_BIND | MS_REC);
}

void SetUpMounts(const std::string& root)
{
    MustMount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE);

    // Keep a handle on the real /dev for the few harmless nodes, then hide
    // it behind a tmpfs that holds those and the test's own nodes.
    const std::string olddev = root + "/.olddev";
    mkdir(olddev.c_str(), 0755);
    MustMount("/dev", olddev, nullptr, MS_BIND | MS_REC);
    MustMount("tmpfs", "/dev", "tmpfs", MS_NOSUID);
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string src = olddev + "/" + node;
        if (access(src.c_str(), F_OK) == 0)
            BindOnto(src, std::string("/dev/") + node);
    }
    symlink("/proc/self/fd", "/dev/fd");
    symlink("/proc/self/fd/0", "/dev/stdin");
    symlink("/proc/self/fd/1", "/dev/stdout");
    symlink("/proc/self/fd/2", "/dev/stderr");
    if (DIR* d = opendir((root + "/dev").c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                continue;
            BindOnto(root + "/dev/" + e->d_name, std::string("/dev/") + e->d_name);
        }
        closedir(d);
    }
    umount2(olddev.c_str(), MNT_DETACH);
    rmdir(olddev.c_str());

    MustMount((root + "/tmp").c_str(), "/tmp", nullptr, MS_BIND);
    MustMount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    MustMount((root + "/core_pattern").c_str(), "/proc/sys/kernel/core_pattern", nullptr, MS_BIND);
}

void ResetSignals()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
        signal(sig, SIG_DFL);
}

void NoteLeftovers(const std::string& file)
{
    std::ofstream out(file, std::ios::trunc);
    DIR* d = opendir("/proc");
    if (d == nullptr)
        return;
    while (struct dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 1)
            continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
        std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (char& c : args)
            if (c == '\0')
                c = ' ';
        out << pid << ' ' << args << '\n';
    }
    closedir(d);
}

// PID 1 of the sandbox: forwards signals from the test to the program,
// reaps everything, and reports the program's status.
[[noreturn]] void InitLoop(pid_t prog, int ctl, int status, const std::string& root)
{
    int progStatus = 0;
    bool progDone = false;
    bool ctlOpen = true;
    while (!progDone) {
        struct pollfd p = {ctl, POLLIN, 0};
        if (ctlOpen && poll(&p, 1, 20) > 0) {
            int sig = 0;
            ssize_t n = read(ctl, &sig, sizeof sig);
            if (n == static_cast<ssize_t>(sizeof sig))
                kill(prog, sig);
            else if (n == 0)
                ctlOpen = false;
        } else if (!ctlOpen) {
            usleep(20000);
        }
        int st;
        pid_t w;
        while ((w = waitpid(-1, &st, WNOHANG)) > 0)
            if (w == prog) {
                progStatus = st;
                progDone = true;
            }
    }
    // Give what the program left behind a moment to end on its own.
    for (int i = 0; i < 100; ++i) {
        int st;
        pid_t w = waitpid(-1, &st, WNOHANG);
        if (w < 0 && errno == ECHILD)
            break;
        if (w == 0)
            usleep(20000);
    }
    NoteLeftovers(root + "/leftover.txt");
    if (write(status, &progStatus, sizeof progStatus) != static_cast<ssize_t>(sizeof progStatus))
        _exit(126);
    _exit(0);
}

SandboxProcess Launch(const std::string& root, const std::function<int()>& body)
{
    int ctl[2], status[2];
    if (pipe2(ctl, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0)
        Die("pipe");
    fflush(nullptr);
    pid_t outer = fork();
    if (outer < 0)
        Die("fork");
    if (outer == 0) {
        close(ctl[1]);
        close(status[0]);
        if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0)
            Die("unshare");
        pid_t init = fork();
        if (init < 0)
            Die("fork");
        if (init > 0) {
            close(ctl[0]);
            close(status[1]);
            int st;
            while (waitpid(init, &st, 0) < 0 && errno == EINTR) {
            }
            _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 127);
        }
        SetUpMounts(root);
        pid_t prog = fork();
        if (prog < 0)
            Die("fork");
        if (prog == 0) {
            close(ctl[0]);
            close(status[1]);
            ResetSignals();
            if (chdir((root + "/work").c_str()) != 0)
                Die("chdir");
            _exit(body());
        }
        InitLoop(prog, ctl[0], status[1], root);
    }
    close(ctl[0]);
    close(status[1]);
    return SandboxProcess(outer, ctl[1], status[0]);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    remove(path);
    return 0;
}

}  // namespace

Sandbox::Sandbox()
{
    char tmpl[] = "sandbox.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        Die("mkdtemp");
    char* real = realpath(tmpl, nullptr);
    root_ = real;
    free(real);
    // The sandbox's own /tmp is mounted over the real one, which would hide
    // a private folder kept below it.
    if (root_.rfind("/tmp/", 0) == 0) {
        fprintf(stderr, "sandbox: run the tests outside /tmp (here: %s)\n", root_.c_str());
        abort();
    }
    for (const char* sub : {"/dev", "/dev/input", "/tmp", "/work"})
        mkdir((root_ + sub).c_str(), 0755);
    chmod((root_ + "/tmp").c_str(), 01777);
    WriteFile(root_ + "/core_pattern", "");
}

Sandbox::~Sandbox()
{
    nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool Sandbox::Available()
{
    static int available = -1;
    if (available < 0) {
        if (geteuid() != 0) {
            available = 0;
        } else {
            pid_t pid = fork();
            if (pid == 0) {
                if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0)
                    _exit(1);
                _exit(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : 1);
            }
            int st = 0;
            waitpid(pid, &st, 0);
            available = (WIFEXITED(st) && WEXITSTATUS(st) == 0) ? 1 : 0;
        }
    }
    return available == 1;
}

std::string Sandbox::path(const std::string& inside) const
{
    if (inside == "/proc/sys/kernel/core_pattern")
        return root_ + "/core_pattern";
    if (inside.rfind("/dev/", 0) == 0 || inside.rfind("/tmp", 0) == 0)
        return root_ + inside;
    if (!inside.empty() && inside[0] == '/') {
        fprintf(stderr, "sandbox: %s is not private to the sandbox\n", inside.c_str());
        abort();
    }
    return root_ + "/work/" + inside;
}

int Sandbox::Run(const std::function<int()>& body) const
{
    return Launch(root_, body).Wait();
}

SandboxProcess Sandbox::Start(const std::vector<std::string>& argv,
                              const std::vector<std::string>& env) const
{
    const std::string root = root_;
    return Launch(root_, [argv, env, root]() -> int {
        int in = open("/dev/null", O_RDONLY);
        int out = open((root + "/out.txt").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        int err = open((root + "/err.txt").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        if (in < 0 || out < 0 || err < 0)
            Die("open");
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (char** e = environ; *e != nullptr; ++e)
            envp.push_back(*e);
        for (const std::string& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        execve(args[0], args.data(), envp.data());
        Die(args[0]);
    });
}

int Sandbox::Exec(const std::vector<std::string>& argv, const std::vector<std::string>& env) const
{
    return Start(argv, env).Wait();
}

std::string Sandbox::ReadFile(const std::string& hostPath)
{
    std::ifstream in(hostPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Sandbox::WriteFile(const std::string& hostPath, const std::string& text)
{
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

SandboxProcess::SandboxProcess(SandboxProcess&& other) noexcept
    : outer_(other.outer_), ctl_(other.ctl_), status_(other.status_), result_(other.result_), done_(other.done_)
{
    other.outer_ = -1;
    other.ctl_ = -1;
    other.status_ = -1;
    other.done_ = true;
}

SandboxProcess::~SandboxProcess()
{
    if (!done_) {
        Kill(SIGKILL);
        Wait();
    }
}

bool SandboxProcess::Kill(int sig)
{
    if (done_ || ctl_ < 0)
        return false;
    return write(ctl_, &sig, sizeof sig) == static_cast<ssize_t>(sizeof sig);
}

int SandboxProcess::Wait()
{
    if (done_)
        return result_;
    int st = 0;
    ssize_t n;
    do {
        n = read(status_, &st, sizeof st);
    } while (n < 0 && errno == EINTR);
    int outerStatus = 0;
    while (waitpid(outer_, &outerStatus, 0) < 0 && errno == EINTR) {
    }
    close(ctl_);
    close(status_);
    ctl_ = status_ = -1;
    done_ = true;
    // A sandbox that could not be set up reports through its own exit code.
    result_ = (n == static_cast<ssize_t>(sizeof st)) ? st : outerStatus;
    return result_;
}
