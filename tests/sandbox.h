// Problem: tapfuzz and libfeedinput touch /dev/input/event0, /dev/fb0, /tmp
// and the kernel's core pattern, none of which a test may touch for real.
// Solution: run the code under test in a child with its own mount and PID
// namespaces, where those paths lead into a private folder of the test.
#ifndef TAPFUZZ_TESTS_SANDBOX_H
#define TAPFUZZ_TESTS_SANDBOX_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A program running in a sandbox; its signals are forwarded by the sandbox's
// init, so it is never PID 1 and keeps their default actions.
class SandboxProcess {
public:
    SandboxProcess(pid_t outer, int ctl, int status) : outer_(outer), ctl_(ctl), status_(status) {}
    SandboxProcess(const SandboxProcess&) = delete;  // returned only as a temporary
    ~SandboxProcess();
    bool Kill(int sig);  // false when it has already ended
    int Wait();          // its wait status

private:
    pid_t outer_;
    int ctl_, status_;
    int result_ = -1;
    bool done_ = false;
};

class Sandbox {
public:
    // A fresh private folder below the current directory (dev/input/, tmp/,
    // work/, an empty core_pattern), removed with the object.
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Namespaces and mounts can be had (root); tests GTEST_SKIP() otherwise.
    static bool Available();
    const std::string& root() const { return root_; }
    // Host path of what the sandboxed code sees at `inside`: "/dev/...",
    // "/tmp/...", "/proc/sys/kernel/core_pattern", or a path relative to the
    // working directory.
    std::string path(const std::string& inside) const;

    // Runs `body` as PID 1's only child in new mount and PID namespaces whose
    // /dev holds null, zero, full, random, urandom, tty and the private dev/,
    // whose /tmp is the private tmp/ (the folder the tests run in stays
    // reachable at its own path even when it lies under /tmp), whose /proc is
    // fresh with the private core_pattern over the kernel's, and whose working
    // directory is work/, seen at /mnt. Returns the wait status.
    int Run(const std::function<int()>& body) const;
    // Starts argv (argv[0] a path) that way with extra "NAME=value"
    // environment entries, output into the private out.txt and err.txt.
    SandboxProcess Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) const;
    int Exec(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) const;

    static std::string ReadFile(const std::string& hostPath);
    static bool WriteFile(const std::string& hostPath, const std::string& text);
    // After the run: "pid args" of each process still alive in the sandbox
    // two seconds after the program ended (they are killed afterwards).
    std::string Leftovers() const { return ReadFile(root_ + "/leftover.txt"); }

private:
    std::string root_;
};

#endif
