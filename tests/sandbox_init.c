// Problem: a test process may run threads (a node reader), and the child of
// such a process may only make async-signal-safe calls until it execs: any
// allocation can block for ever on a lock another thread held at the fork.
// Yet entering the sandbox takes namespaces, a dozen mounts and an init.
// Solution: that work lives here, in C on stack buffers. Sandbox::Start forks
// and execs this program with everything in its arguments:
//   sandbox_init ROOT CTL-FD STATUS-FD [NAME=value...] -- PROGRAM [ARG...]
// and Sandbox::Run, which forks only single-threaded processes, calls
// sandbox_enter() in its child before the case's body.
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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

static void must(int ok, const char* what, const char* arg)
{
    if (!ok)
        fprintf(stderr, "sandbox: %s%s: %s\n", what, arg, strerror(errno)), _exit(127);
}

// dst = a + b + c, refused rather than cut short.
static char* join(char dst[PATH_MAX], const char* a, const char* b, const char* c)
{
    int n = snprintf(dst, PATH_MAX, "%s%s%s", a, b, c);
    if (n < 0 || n >= PATH_MAX)
        errno = ENAMETOOLONG, must(0, "path too long: ", a);
    return dst;
}

// Bind-mounts src on dst, creating dst as an empty file or folder to match.
static void bind_onto(const char* src, const char* dst)
{
    struct stat st;
    if (stat(src, &st) == 0 && S_ISDIR(st.st_mode))
        mkdir(dst, 0755);
    else
        close(open(dst, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    must(mount(src, dst, NULL, MS_BIND | MS_REC, NULL) == 0, "bind ", src);
}

static void set_up_mounts(const char* root)
{
    char a[PATH_MAX], b[PATH_MAX];
    must(mount("none", "/", NULL, MS_REC | MS_PRIVATE, NULL) == 0, "private /", "");
    // The private dev/ holds the test's own nodes and, bound in, the few
    // harmless ones of the real /dev; then it stands for /dev.
    static const char* const nodes[] = {"null", "zero", "full", "random", "urandom", "tty"};
    for (size_t i = 0; i < sizeof nodes / sizeof *nodes; ++i)
        if (access(join(a, "/dev/", nodes[i], ""), F_OK) == 0)
            bind_onto(a, join(b, root, "/dev/", nodes[i]));
    static const char* const links[][2] = {{"/proc/self/fd/0", "/dev/stdin"}, {"/proc/self/fd/1", "/dev/stdout"},
                                           {"/proc/self/fd/2", "/dev/stderr"}, {"/proc/self/fd", "/dev/fd"}};
    for (size_t i = 0; i < sizeof links / sizeof *links; ++i)
        symlink(links[i][0], join(a, root, links[i][1], ""));
    must(mount(join(a, root, "/dev", ""), "/dev", NULL, MS_BIND | MS_REC, NULL) == 0, "/dev", "");
    // The private /tmp hides the real one, and with it the test's own folder
    // when that lies below /tmp: hold the real /tmp open across the mount
    // and bind the folder's top back at the same path.
    int realTmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    must(mount(join(a, root, "/tmp", ""), "/tmp", NULL, MS_BIND, NULL) == 0, "/tmp", "");
    if (strncmp(root, "/tmp/", 5) == 0) {
        const char* top = root + 5;
        const size_t len = strcspn(top, "/");
        char fd[32];
        snprintf(fd, sizeof fd, "/proc/self/fd/%d/", realTmp);
        join(b, "/tmp/", top, "");
        b[5 + len] = '\0';
        bind_onto(join(a, fd, b + 5, ""), b);
    }
    close(realTmp);
    must(mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, NULL) == 0 &&
         mount(join(a, root, "/core_pattern", ""), "/proc/sys/kernel/core_pattern", NULL, MS_BIND, NULL) == 0, "/proc", "");
    // The program works in /mnt, a view of the case's work folder: its
    // working directory (where dumps are saved) must not lie below /tmp even
    // when the build tree does.
    must(mount(join(a, root, "/work", ""), "/mnt", NULL, MS_BIND, NULL) == 0, "/mnt", "");
}

static void put(int fd, const char* s, size_t n)
{
    for (ssize_t w; n > 0 && (w = write(fd, s, n)) > 0; s += w, n -= (size_t)w) {}
}

// "pid args" of each process still alive, one a line; NULs become spaces.
static void list_leftovers(const char* root)
{
    char path[PATH_MAX], buf[4096];
    int out = open(join(path, root, "/leftover.txt", ""), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    DIR* proc = opendir("/proc");
    for (struct dirent* e; out >= 0 && proc && (e = readdir(proc));) {
        int in = atoi(e->d_name) > 1 ? open(join(path, "/proc/", e->d_name, "/cmdline"), O_RDONLY | O_CLOEXEC) : -1;
        ssize_t n = in < 0 ? 0 : read(in, buf, sizeof buf);
        if (n <= 0) {  // no command line: a kernel thread or a zombie
            if (in >= 0)
                close(in);
            continue;
        }
        put(out, e->d_name, strlen(e->d_name)), put(out, " ", 1);
        for (; n > 0; n = read(in, buf, sizeof buf)) {
            for (ssize_t i = 0; i < n; ++i)
                buf[i] = buf[i] ? buf[i] : ' ';
            put(out, buf, (size_t)n);
        }
        put(out, "\n", 1);
        close(in);
    }
    if (proc)
        closedir(proc);
    close(out);
}

static void wait_for(pid_t pid, int* st)
{
    while (waitpid(pid, st, 0) < 0 && errno == EINTR) {}
}

// PID 1 of the sandbox: forwards signals from the test to the program,
// reaps everything, and reports the program's status and what it left.
static void init_loop(pid_t prog, int ctl, int status, const char* root)
{
    int progStatus = 0, st, sig, done = 0;
    while (!done) {
        struct pollfd p = {ctl, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && read(ctl, &sig, sizeof sig) == (ssize_t)sizeof sig)
            kill(prog, sig);
        else if (p.revents & POLLHUP)
            ctl = -1;  // poll then only waits
        for (pid_t w; (w = waitpid(-1, &st, WNOHANG)) > 0;)
            if (w == prog)
                done = 1, progStatus = st;
    }
    // Give what the program left behind a moment to end on its own.
    for (int i = 0; i < 100 && !(waitpid(-1, &st, WNOHANG) < 0 && errno == ECHILD); ++i)
        usleep(20000);
    list_leftovers(root);
    _exit(write(status, &progStatus, sizeof progStatus) == (ssize_t)sizeof progStatus ? 0 : 126);
}

// Returns in the program's process only: PID 2 of new mount and PID
// namespaces, at /mnt, with every signal at its default and unblocked.
void sandbox_enter(const char* root, int ctl, int status)
{
    int st = 0;
    must(unshare(CLONE_NEWNS | CLONE_NEWPID) == 0, "unshare", "");
    pid_t init = fork();
    must(init >= 0, "fork", "");
    if (init > 0)
        wait_for(init, &st), _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 127);
    set_up_mounts(root);
    pid_t prog = fork();
    must(prog >= 0, "fork", "");
    if (prog > 0)
        init_loop(prog, ctl, status, root);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    for (int sig = 1; sig < NSIG; ++sig)
        signal(sig, SIG_DFL);
    must(chdir("/mnt") == 0, "chdir", "");
}

#ifdef SANDBOX_INIT_MAIN
int main(int argc, char** argv)
{
    int sep = 4;
    while (sep < argc && strcmp(argv[sep], "--") != 0)
        ++sep;
    errno = EINVAL;
    must(argc > sep + 1, "usage: sandbox_init ROOT CTL STATUS [NAME=value...] -- PROGRAM [ARG...]", "");
    const int ctl = atoi(argv[2]), status = atoi(argv[3]);
    // Neither pipe end may reach the program.
    must(fcntl(ctl, F_SETFD, FD_CLOEXEC) == 0 && fcntl(status, F_SETFD, FD_CLOEXEC) == 0, "pipes", "");
    sandbox_enter(argv[1], ctl, status);
    char out[PATH_MAX], err[PATH_MAX];
    const int fds[3] = {open("/dev/null", O_RDONLY | O_CLOEXEC),
                        open(join(out, argv[1], "/out.txt", ""), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644),
                        open(join(err, argv[1], "/err.txt", ""), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644)};
    for (int i = 0; i < 3; ++i)
        must(fds[i] >= 0 && dup2(fds[i], i) >= 0 && fcntl(i, F_SETFD, 0) == 0, "open", "");
    for (int i = 4; i < sep; ++i)
        putenv(argv[i]);
    execv(argv[sep + 1], argv + sep + 1);
    must(0, argv[sep + 1], "");
    return 127;
}
#endif
