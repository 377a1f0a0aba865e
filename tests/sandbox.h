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

class Sandbox {
public:
    // Creates a fresh private folder (below the current directory) with
    // dev/input/, tmp/, work/ and an empty core_pattern file.
    Sandbox();
    // Removes the private folder and everything in it.
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // True when namespaces and mounts are available (root); tests that need
    // them GTEST_SKIP() otherwise.
    static bool Available();

    // Host path of the private folder.
    const std::string& root() const { return root_; }
    // Host path of what the sandboxed code sees at `inside`: "/dev/input/event0",
    // "/dev/fb0", "/tmp/...", "/proc/sys/kernel/core_pattern" or, for a
    // relative path, a path in the working directory.
    std::string path(const std::string& inside) const;

    // Runs `body` in a child process, as PID 1 of a new PID namespace, in a
    // new mount namespace where:
    //   /dev   is a tmpfs holding null, zero, full, random, urandom, tty and
    //          whatever the private dev/ holds (input/event0, fb0, ...),
    //   /tmp   is the private tmp/,
    //   /proc  is a fresh proc, with the private core_pattern file bound over
    //          /proc/sys/kernel/core_pattern,
    // and the working directory is the private work/. Returns the child's
    // wait status (as from waitpid). Output of the child goes where the test's
    // goes unless the body redirects it.
    int Run(const std::function<int()>& body) const;

    // Starts argv (argv[0] is a path) inside the sandbox as Run() does, with
    // the given extra environment entries ("NAME=value") and its standard
    // output and error captured into the private files out.txt and err.txt.
    // Returns at once; see SandboxProcess.
    class SandboxProcess Start(const std::vector<std::string>& argv,
                               const std::vector<std::string>& env = {}) const;
    // Start() and wait: the program's wait status.
    int Exec(const std::vector<std::string>& argv,
             const std::vector<std::string>& env = {}) const;

    // Text of a private file, e.g. ReadFile(path("out.txt")).
    static std::string ReadFile(const std::string& hostPath);
    static bool WriteFile(const std::string& hostPath, const std::string& text);

    // After Run()/Start() ended: the processes still alive in the sandbox
    // two seconds after the program ended, one "pid args" line each (the
    // sandbox's init kills them afterwards). Empty when none was left.
    std::string Leftovers() const { return ReadFile(root_ + "/leftover.txt"); }

private:
    std::string root_;
};

// A program running inside a sandbox. Signals are forwarded to it by the
// sandbox's init, so the program is never PID 1 and keeps the default
// actions of its signals.
class SandboxProcess {
public:
    SandboxProcess(pid_t outer, int ctl, int status) : outer_(outer), ctl_(ctl), status_(status) {}
    SandboxProcess(SandboxProcess&& other) noexcept;
    SandboxProcess& operator=(SandboxProcess&&) = delete;
    ~SandboxProcess();

    // Sends sig to the program; false when it has already ended.
    bool Kill(int sig);
    // Waits for the program; its wait status (as from waitpid).
    int Wait();

private:
    pid_t outer_;
    int ctl_;
    int status_;
    int result_ = -1;
    bool done_ = false;
};

#endif
