// Problem: the storm, the soak and the fault runs each start the shipped
// tapfuzz many times in a sandbox, watch it from outside (its host pid,
// memory, descriptors, what it is doing) and judge what it left behind.
// Solution: the shared pieces, each owning what it starts: a private mount
// namespace for the stress program, tmpfs mounts undone on destruction, a
// fifo capture feeding the record decoder, and one sandboxed run.
#ifndef TAPFUZZ_TESTS_STRESS_HARNESS_H
#define TAPFUZZ_TESTS_STRESS_HARNESS_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "evstream.h"
#include "sandbox.h"

// The shipped binaries under test and the test-side preloads.
struct Programs {
    std::string tapfuzz;    // absolute, resolved
    std::string feedinput;  // libfeedinput.so
    std::string fbshim;     // answers the frame-buffer and evdev queries
    std::string faultshim;  // makes the event node refuse writes on demand
    std::string self;       // this program, used as an exec wrapper
};
extern Programs gProgs;

// Moves this process into a mount namespace of its own, so the tmpfs
// mounts below never reach the machine. False (with why) when not root.
bool EnterPrivateMounts(std::string* why);

// A tmpfs of `kib` KiB mounted at an existing folder, unmounted again when
// this object goes (before the sandbox removes the folder).
class TmpfsMount {
public:
    TmpfsMount(const std::string& path, size_t kib, bool readOnly = false);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // Grows (or shrinks) the file system in place; false on failure.
    bool Resize(size_t kib);

private:
    std::string path_;
    std::string error_;
};

// Binds an existing file or device (e.g. /dev/full) over an existing file,
// undone on destruction.
class BindMount {
public:
    BindMount(const std::string& from, const std::string& onto);
    ~BindMount();
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

private:
    std::string onto_;
    std::string error_;
};

// Fills the file system that holds `folder` with a filler file until it
// refuses more; the filler is removed again on destruction or Release().
class DiskFiller {
public:
    explicit DiskFiller(const std::string& folder);
    ~DiskFiller() { Release(); }
    DiskFiller(const DiskFiller&) = delete;
    DiskFiller& operator=(const DiskFiller&) = delete;
    void Release();
    bool full() const { return full_; }

private:
    std::string path_;
    bool full_ = false;
};

// Drains a fifo standing in for /dev/input/event0 into a decoder. Opened
// read-write, so the fifo never reports an end between gestures, and the
// driver's open never waits for a reader.
class Capture {
public:
    Capture(const std::string& fifo, bool keep);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Whole gestures decoded so far; safe while the reader runs.
    uint64_t whole() const { return whole_.load(std::memory_order_relaxed); }
    uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    // Stops the reader after draining what the writer left, and closes the
    // stream. Call once the writer has ended.
    const EventStream& Finish();

private:
    void Loop();
    void Drain();

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> whole_{0};
    std::atomic<uint64_t> bytes_{0};
    std::mutex mutex_;
    EventStream stream_;
    bool finished_ = false;
    std::thread thread_;
};

// The sandbox of one run, with what every run needs: the fifo node, the
// frame-buffer stand-in, a profile and a save folder.
struct Stage {
    Stage();
    // device.conf with the built library, ./saved/ for dumps, plus `extra`.
    void Profile(const std::string& extra, const std::string& corePath = "./saved/");
    // The node as a fifo with its capture.
    bool MakeNode(bool keep);
    std::string ResultsFolder() const;
    std::string Log(const char* file = "tapfuzz.log") const;
    std::string Out() const { return Sandbox::ReadFile(sb.root() + "/out.txt"); }
    std::string Err() const { return Sandbox::ReadFile(sb.root() + "/err.txt"); }
    // Lines of the main log whose message starts with `prefix`.
    size_t CountMessages(const std::string& prefix, const char* file = "tapfuzz.log") const;

    Sandbox sb;
    std::unique_ptr<Capture> capture;
};

struct RunOptions {
    std::vector<std::string> env;  // extra NAME=value entries
    bool faultShim = false;        // preload the write refusals (control: fault file)
    bool withoutDacOverride = false;  // root without permission bypass
};

// tapfuzz started in the stage's sandbox.
class Run {
public:
    Run(const Stage& stage, const std::vector<std::string>& args, const RunOptions& options = RunOptions());
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    // Host pid of tapfuzz once it has been exec'd; 0 when not found within
    // `seconds` (a bound against a hang, not a speed check).
    pid_t Pid(int seconds = 20);
    // Waits until tapfuzz has its SIGINT and SIGALRM handlers in place.
    bool WaitHandlers(int seconds = 20);
    bool Signal(int sig);
    // False once tapfuzz has ended (it may not be reaped yet).
    bool Alive();
    // Its wait status. A run still going after `seconds` (a bound against a
    // hang, far beyond what any run here takes) is killed, and hung() says so.
    int Wait(double seconds = 120);
    bool hung() const { return hung_; }

private:
    SandboxProcess proc_;
    pid_t pid_ = 0;
    int pidfd_ = -1;
    bool done_ = false;
    bool hung_ = false;
    int status_ = 0;
};

// --- Looking at a process from outside -------------------------------------

long RssKiB(pid_t pid);
// The sanitizer runtime mapped into the process ("AddressSanitizer",
// "ThreadSanitizer"), or empty for a plain build.
std::string SanitizerOf(pid_t pid);
// Open descriptors, not counting those on the event node; `node` gets those.
int FdCount(pid_t pid, int* node = nullptr);
// What the main thread is doing: "running", "pause", "sleep", "write node",
// "write log", "write out", "wait", ... (a coarse name of its system call).
std::string Activity(pid_t pid);

// --- Small helpers --------------------------------------------------------

int ExitCode(int status);  // exit code, or 1000 + signal number
std::string DescribeStatus(int status);
size_t CountLines(const std::string& text, const std::string& needle);
std::vector<std::string> Lines(const std::string& text);
// Polls `done` every 20 ms for up to `seconds`; only a bound against a hang.
bool WaitFor(const std::function<bool()>& done, double seconds = 30);
std::string Pattern(size_t size, unsigned seed);
// Writes a core dump into the sandbox's /tmp under its final name, as the
// kernel does.
bool DropDump(const Stage& stage, const std::string& name, const std::string& data);

// Collects failed expectations of one part with their context.
class Verdict {
public:
    explicit Verdict(const char* part) : part_(part) {}
    bool Expect(bool ok, const std::string& what);
    int failures() const { return failures_; }
    void PrintFailures() const;

private:
    const char* part_;
    int failures_ = 0;
    std::vector<std::string> shown_;
};

#endif
