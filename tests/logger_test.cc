// Problem: the Logger sets itself up once per process, writes from two
// threads and leaves a console echo process behind it.
// Solution: every case runs in a forked child with a private working folder
// below the current directory; the parent checks the files, the captured
// output and the child's descendants.
#include "echo_text.h"
#include "Logger.h"

#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Generous bounds for polling; none of them measures speed.
const int kPollMs = 10;
const int kPollLimitMs = 60000;

bool PollUntil(const std::function<bool()>& done)
{
    for (int waited = 0; waited < kPollLimitMs; waited += kPollMs) {
        if (done())
            return true;
        usleep(kPollMs * 1000);
    }
    return done();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no line end>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string Today()
{
    char buf[16];
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    strftime(buf, sizeof buf, "%Y%m%d", &tm_now);
    return buf;
}

std::string NowStamp()
{
    char buf[32];
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm_now);
    return buf;
}

// "[YYYY-mm-dd HH:MM:SS]": the shape of a time stamp, digits where the
// pattern has 'd'.
bool SplitStamp(const std::string& line, std::string* stamp, std::string* rest)
{
    const std::string shape = "[dddd-dd-dd dd:dd:dd]";
    if (line.size() < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        bool ok = shape[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
        if (!ok)
            return false;
    }
    *stamp = line.substr(1, shape.size() - 2);
    *rest = line.substr(shape.size());
    return true;
}

// Splits "[time]rest" lines; fails on a line of another shape and on a time
// outside [from, to] (the format sorts like the time it shows).
std::vector<std::string> Bodies(const std::string& text, const std::string& from, const std::string& to)
{
    std::vector<std::string> bodies;
    for (const std::string& line : Lines(text)) {
        std::string stamp;
        std::string rest;
        if (!SplitStamp(line, &stamp, &rest)) {
            ADD_FAILURE() << "not a log line: [" << line << "]";
            continue;
        }
        EXPECT_LE(from, stamp);
        EXPECT_GE(to, stamp);
        bodies.push_back(rest);
    }
    return bodies;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    remove(path);
    return 0;
}

// pid, state letter and parent of every process, from /proc/<pid>/stat.
struct ProcInfo {
    pid_t pid;
    char state;
    pid_t ppid;
    std::string comm;
};

std::vector<ProcInfo> Processes()
{
    std::vector<ProcInfo> procs;
    DIR* dir = opendir("/proc");
    if (dir == nullptr)
        return procs;
    while (struct dirent* e = readdir(dir)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        std::string stat = ReadFile(std::string("/proc/") + e->d_name + "/stat");
        std::string::size_type open = stat.find('(');
        std::string::size_type close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        ProcInfo info{static_cast<pid_t>(pid), '?', 0, stat.substr(open + 1, close - open - 1)};
        int ppid = 0;
        if (sscanf(stat.c_str() + close + 1, " %c %d", &info.state, &ppid) == 2) {
            info.ppid = ppid;
            procs.push_back(info);
        }
    }
    closedir(dir);
    return procs;
}

// Live tail processes whose parent is `parent`.
std::vector<pid_t> TailsOf(pid_t parent)
{
    std::vector<pid_t> tails;
    for (const ProcInfo& p : Processes()) {
        if (p.ppid == parent && p.comm == "tail" && p.state != 'Z')
            tails.push_back(p.pid);
    }
    return tails;
}

// The test links with --wrap=pthread_create: thread starts of the echo body
// are counted, can be made to fail, and can be held back at a gate, without
// any hook in the Logger itself.
std::atomic<int> echo_creations{0};
std::atomic<int> echo_failures{0};
std::atomic<bool> echo_gate_open{true};

struct GatedStart {
    void* (*fn)(void*);
    void* arg;
};

void* RunAfterGate(void* p)
{
    GatedStart start = *static_cast<GatedStart*>(p);
    delete static_cast<GatedStart*>(p);
    while (!echo_gate_open.load())
        usleep(1000);
    return start.fn(start.arg);
}

} // namespace

extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                                     void* (*fn)(void*), void* arg)
{
    if (fn != &Logger::read_log)
        return __real_pthread_create(thread, attr, fn, arg);
    if (echo_failures.load() > 0) {
        echo_failures.fetch_sub(1);
        return EAGAIN;
    }
    echo_creations.fetch_add(1);
    GatedStart* start = new GatedStart{fn, arg};
    int rc = __real_pthread_create(thread, attr, RunAfterGate, start);
    if (rc != 0)
        delete start;
    return rc;
}

namespace {

// A private folder below the current directory: work/ is the child's
// working directory, out.txt and err.txt its standard output and error.
class LoggerTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Orphaned descendants of our children come back to us, so a tail
        // that outlived its tapfuzz can be seen and reaped.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void SetUp() override
    {
        if (access("/usr/bin/tail", X_OK) != 0 && access("/bin/tail", X_OK) != 0)
            GTEST_SKIP() << "no tail on this machine";
        char tmpl[] = "logger_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr) << strerror(errno);
        char* abs = realpath(tmpl, nullptr);
        ASSERT_NE(abs, nullptr);
        root_ = abs;
        free(abs);
        work_ = root_ + "/work";
        ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
    }

    void TearDown() override
    {
        if (!root_.empty())
            nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    // Forks a child that runs body in work/ with its output captured; the
    // child exits with body's result. Returns the child's pid.
    pid_t Spawn(const std::function<int()>& body)
    {
        fflush(nullptr);
        std::cout.flush();
        std::cerr.flush();
        pid_t pid = fork();
        if (pid == 0) {
            FILE* out = fopen((root_ + "/out.txt").c_str(), "a");
            FILE* err = fopen((root_ + "/err.txt").c_str(), "a");
            if (out == nullptr || err == nullptr || chdir(work_.c_str()) != 0)
                _exit(120);
            dup2(fileno(out), STDOUT_FILENO);
            dup2(fileno(err), STDERR_FILENO);
            fclose(out);
            fclose(err);
            exit(body());
        }
        return pid;
    }

    // Waits for the child within the generous bound; a child that does not
    // end is killed and reported.
    int Wait(pid_t pid)
    {
        int status = 0;
        bool ended = PollUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "child " << pid << " did not end";
        }
        return status;
    }

    int Run(const std::function<int()>& body) { return Wait(Spawn(body)); }

    std::string Out() const { return ReadFile(root_ + "/out.txt"); }
    std::string Err() const { return ReadFile(root_ + "/err.txt"); }
    std::string Folder(const std::string& day) const { return work_ + "/results/tapfuzz" + day + "/"; }

    std::string root_;
    std::string work_;
};

#define EXPECT_EXITED(status, code)                                                       \
    do {                                                                                  \
        int st_ = (status);                                                               \
        EXPECT_TRUE(WIFEXITED(st_) && WEXITSTATUS(st_) == (code))                         \
            << "status " << st_ << (WIFSIGNALED(st_) ? " (signal)" : "") << " stderr:\n" \
            << Err();                                                                     \
    } while (0)

const int kDebugLine = __LINE__ + 3;
void debugLine()
{
    LOG(DEBUG) << "debug " << 7;
}

// An abort in a test child must leave no core file anywhere.
void NoCoreDump()
{
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    prctl(PR_SET_DUMPABLE, 0);
}

TEST_F(LoggerTest, EachRankReachesItsDestination)
{
    std::string from = NowStamp();
    std::string day = Today();
    std::string line;
    int status = Run([&] {
        LOG(INFO) << "info " << 1;
        LOG(INFO1) << "core a";
        LOG(WARNING) << "core a";
        debugLine();
        Logger(ERROR).start(ERROR, __LINE__, "f") << "error text";
        Logger::stopEcho();
        std::string expected = std::string("./results/tapfuzz") + global_timep + "/";
        if (info_log_filename != expected + "tapfuzz.log" || warn_log_filename != expected + "crash.log")
            return 3;
        return 0;
    });
    std::string to = NowStamp();
    EXPECT_EXITED(status, 0);

    std::string folder = Folder(day);
    if (access(folder.c_str(), F_OK) != 0)
        folder = Folder(Today());  // the child ran across midnight
    EXPECT_EQ(Bodies(ReadFile(folder + "tapfuzz.log"), from, to),
              (std::vector<std::string>{"[INFO]info 1", "[CRASH][Coredump]core a"}));
    EXPECT_EQ(Bodies(ReadFile(folder + "crash.log"), from, to),
              (std::vector<std::string>{"[CRASH][Coredump]core a"}));

    // Standard output also carries whatever the echo copied before it stopped.
    std::string debug = "[DEBUG][debugLine][Line " + std::to_string(kDebugLine) + "]:debug 7";
    int debug_lines = 0;
    for (const std::string& body : Bodies(WithoutEcho(Out(), ReadFile(folder + "tapfuzz.log")), from, to)) {
        if (body == debug)
            ++debug_lines;
        else
            EXPECT_TRUE(body == "[INFO]info 1" || body == "[CRASH][Coredump]core a") << body;
    }
    EXPECT_EQ(debug_lines, 1) << Out();
    EXPECT_NE(Err().find("error text\n"), std::string::npos) << Err();
}

TEST_F(LoggerTest, SecondRunAppendsToTheSameFiles)
{
    std::string from = NowStamp();
    for (int run = 1; run <= 2; ++run) {
        int status = Run([&] {
            LOG(INFO) << "run " << run;
            LOG(WARNING) << "crash " << run;
            return 0;
        });
        EXPECT_EXITED(status, 0);
    }
    std::string to = NowStamp();
    std::string folder = Folder(Today());
    EXPECT_EQ(Bodies(ReadFile(folder + "tapfuzz.log"), from, to),
              (std::vector<std::string>{"[INFO]run 1", "[INFO]run 2"}));
    EXPECT_EQ(Bodies(ReadFile(folder + "crash.log"), from, to),
              (std::vector<std::string>{"[CRASH][Coredump]crash 1", "[CRASH][Coredump]crash 2"}));
}

// What cannot be written falls back to the console, stream by stream.
TEST_F(LoggerTest, UnwritableResultsFallBackToConsole)
{
    struct {
        const char* name;
        std::function<void(const std::string& work, const std::string& folder)> prepare;
        bool info_on_stdout;
        bool warn_on_stderr;
    } cases[] = {
        {"ResultsIsAFile",
         [](const std::string& work, const std::string&) {
             std::ofstream(work + "/results") << "not a folder\n";
         },
         true, true},
        {"MainLogIsAFolder",
         [](const std::string& work, const std::string& folder) {
             ASSERT_EQ(mkdir((work + "/results").c_str(), 0755), 0);
             ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
             ASSERT_EQ(mkdir((folder + "tapfuzz.log").c_str(), 0755), 0);
         },
         true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        std::string day = Today();
        c.prepare(work_, Folder(day));
        std::string from = NowStamp();
        int status = Run([] {
            LOG(INFO) << "info line";
            LOG(INFO1) << "crash info";
            LOG(WARNING) << "crash warning";
            Logger::stopEcho();
            return 0;
        });
        std::string to = NowStamp();
        EXPECT_EXITED(status, 0);
        if (day != Today())
            continue;

        if (std::string(c.name) == "ResultsIsAFile") {
            EXPECT_EQ(ReadFile(work_ + "/results"), "not a folder\n");
        }
        std::vector<std::string> info = {"[INFO]info line", "[CRASH][Coredump]crash info"};
        std::vector<std::string> warn = {"[CRASH][Coredump]crash warning"};
        EXPECT_EQ(Bodies(Out(), from, to), c.info_on_stdout ? info : std::vector<std::string>{});
        if (c.warn_on_stderr) {
            std::string err = Err();
            EXPECT_NE(err.find("][CRASH][Coredump]crash warning\n"), std::string::npos) << err;
        } else {
            EXPECT_EQ(Bodies(ReadFile(Folder(day) + "crash.log"), from, to), warn);
        }
    }
}

TEST_F(LoggerTest, ConcurrentFirstLinesStartOneEcho)
{
    int status = Run([] {
        // Every constructor below ends while the echo thread has not run
        // yet, so none of them can rely on the thread's own flag.
        echo_gate_open.store(false);
        const int kThreads = 16;
        static pthread_barrier_t barrier;
        pthread_barrier_init(&barrier, nullptr, kThreads);
        pthread_t threads[kThreads];
        for (pthread_t& t : threads) {
            pthread_create(&t, nullptr,
                           [](void*) -> void* {
                               pthread_barrier_wait(&barrier);
                               LOG(INFO) << "first";
                               LOG(INFO) << "second";
                               return nullptr;
                           },
                           nullptr);
        }
        for (pthread_t t : threads)
            pthread_join(t, nullptr);
        for (int i = 0; i < 100; ++i)
            LOG(INFO) << "in a row " << i;
        echo_gate_open.store(true);
        if (echo_creations.load() != 1) {
            fprintf(stderr, "%d echo threads\n", echo_creations.load());
            return 10;
        }
        if (!PollUntil([] { return TailsOf(getpid()).size() == 1; })) {
            fprintf(stderr, "%zu tails\n", TailsOf(getpid()).size());
            return 11;
        }
        return 0;
    });
    EXPECT_EXITED(status, 0);
}

// A failed thread start is reported and retried by the next line, which
// then starts the one echo.
TEST_F(LoggerTest, FailedEchoStartIsRetried)
{
    int status = Run([] {
        echo_failures.store(1);
        LOG(INFO) << "a";
        if (echo_creations.load() != 0)
            return 12;
        LOG(INFO) << "b";
        LOG(INFO) << "c";
        if (echo_creations.load() != 1)
            return 13;
        if (!PollUntil([] { return TailsOf(getpid()).size() == 1; }))
            return 14;
        Logger::stopEcho();
        return 0;
    });
    EXPECT_EXITED(status, 0);
    const std::string message = "can't create a new pthread";
    EXPECT_EQ(Out().compare(0, message.size(), message), 0) << Out();
    EXPECT_EQ(Out().find(message + "\n"), std::string::npos) << Out();
    EXPECT_EQ(Bodies(ReadFile(Folder(Today()) + "tapfuzz.log"), "", "~"),
              (std::vector<std::string>{"[INFO]a", "[INFO]b", "[INFO]c"}));
}

TEST_F(LoggerTest, TwoThreadsNeverTearLines)
{
    const int kLines = 2000;
    int status = Run([] {
        auto writer = [](void* arg) -> void* {
            long id = reinterpret_cast<long>(arg);
            for (int i = 0; i < kLines; ++i) {
                LOG(INFO) << "w" << id << " n=" << i << " " << std::string(40, static_cast<char>('a' + id))
                          << " end";
                if (i % 100 == 0)
                    LOG(WARNING) << "w" << id << " crash " << i;
            }
            return nullptr;
        };
        pthread_t a;
        pthread_t b;
        pthread_create(&a, nullptr, writer, reinterpret_cast<void*>(0L));
        pthread_create(&b, nullptr, writer, reinterpret_cast<void*>(1L));
        pthread_join(a, nullptr);
        pthread_join(b, nullptr);
        return 0;
    });
    EXPECT_EXITED(status, 0);

    std::string folder = Folder(Today());
    // Each writer's lines come whole and in order.
    int next[2] = {0, 0};
    for (const std::string& body : Bodies(ReadFile(folder + "tapfuzz.log"), "", "~")) {
        int id = -1;
        int n = -1;
        sscanf(body.c_str(), "[INFO]w%d n=%d", &id, &n);
        ASSERT_TRUE(id == 0 || id == 1) << body;
        EXPECT_EQ(body, "[INFO]w" + std::to_string(id) + " n=" + std::to_string(next[id]) + " "
                            + std::string(40, static_cast<char>('a' + id)) + " end");
        next[id] = n + 1;
    }
    EXPECT_EQ(next[0], kLines);
    EXPECT_EQ(next[1], kLines);
    std::vector<std::string> crash = Bodies(ReadFile(folder + "crash.log"), "", "~");
    EXPECT_EQ(crash.size(), 2u * kLines / 100);
    for (const std::string& body : crash) {
        int id = -1;
        int n = -1;
        sscanf(body.c_str(), "[CRASH][Coredump]w%d crash %d", &id, &n);
        EXPECT_EQ(body, "[CRASH][Coredump]w" + std::to_string(id) + " crash " + std::to_string(n));
    }
}

// exit() while another thread writes: the streams die after exit's handlers,
// and the writer must not reach them.
TEST_F(LoggerTest, ExitWhileAnotherThreadLogs)
{
    static std::atomic<int> written{0};
    int status = Run([]() -> int {
        pthread_t t;
        pthread_create(&t, nullptr,
                       [](void*) -> void* {
                           for (int i = 0;; ++i) {
                               LOG(INFO) << "busy " << i << " " << std::string(100, 'x');
                               written.store(i + 1);
                           }
                           return nullptr;
                       },
                       nullptr);
        while (written.load() < 200)
            sched_yield();
        exit(4);
    });
    EXPECT_EXITED(status, 4);
    for (const std::string& body : Bodies(ReadFile(Folder(Today()) + "tapfuzz.log"), "", "~")) {
        int n = -1;
        sscanf(body.c_str(), "[INFO]busy %d", &n);
        EXPECT_EQ(body, "[INFO]busy " + std::to_string(n) + " " + std::string(100, 'x'));
    }
}

TEST_F(LoggerTest, ExitInsideALineDoesNotHang)
{
    int status = Run([]() -> int {
        Logger line(INFO);
        Logger::start(INFO, __LINE__, "f") << "half";
        exit(5);
    });
    EXPECT_EXITED(status, 5);
}

__attribute__((noinline)) void logCancelLine(int i)
{
    LOG(INFO) << "cancel me " << i;
}

TEST_F(LoggerTest, CancelledWriterLeavesLockAndCancelabilityAsFound)
{
    int status = Run([] {
        pthread_t t;
        // The cancellation point sits in a frame of its own: a sanitizer
        // misreads scoped temporaries left behind by a cancelled frame.
        pthread_create(&t, nullptr,
                       [](void*) -> void* {
                           for (int i = 0; i < 1000000; ++i) {
                               logCancelLine(i);
                               pthread_testcancel();
                           }
                           return nullptr;
                       },
                       nullptr);
        usleep(1000);
        pthread_cancel(t);
        void* result = nullptr;
        pthread_join(t, &result);
        if (result != PTHREAD_CANCELED)
            return 6;
        LOG(INFO) << "after the cancel";
        return 0;
    });
    EXPECT_EXITED(status, 0);
    std::vector<std::string> bodies = Bodies(ReadFile(Folder(Today()) + "tapfuzz.log"), "", "~");
    ASSERT_FALSE(bodies.empty());
    EXPECT_EQ(bodies.back(), "[INFO]after the cancel");
}

TEST_F(LoggerTest, FatalLineEndsWithAbort)
{
    int status = Run([] {
        NoCoreDump();
        LOG(INFO) << "before";
        Logger(FATAL).start(FATAL, __LINE__, "f") << "fatal";
        return 0;
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    EXPECT_EQ(Bodies(ReadFile(Folder(Today()) + "tapfuzz.log"), "", "~"),
              std::vector<std::string>{"[INFO]before"});
}

TEST_F(LoggerTest, StopEchoEndsOnlyOurTail)
{
    int status = Run([] {
        Logger::stopEcho();  // nothing started yet
        pid_t decoy = fork();
        if (decoy == 0) {
            execl("/bin/sh", "sh", "-c", "exec tail -F /dev/null", static_cast<char*>(nullptr));
            _exit(127);
        }
        LOG(INFO) << "start the echo";
        if (!PollUntil([] { return TailsOf(getpid()).size() == 2; }))
            return 7;
        Logger::stopEcho();
        Logger::stopEcho();
        std::vector<pid_t> left = TailsOf(getpid());
        int rc = 0;
        if (left.size() != 1 || left[0] != decoy || waitpid(decoy, nullptr, WNOHANG) != 0)
            rc = 8;
        LOG(INFO) << "no echo again";
        if (TailsOf(getpid()).size() != 1)
            rc = 9;
        kill(decoy, SIGKILL);
        waitpid(decoy, nullptr, 0);
        return rc;
    });
    EXPECT_EXITED(status, 0);
}

enum class End { Return, Exit1, ExitFromOtherThread, Sigterm, Sigkill };

struct EndCase {
    const char* name;
    End end;
};

void PrintTo(const EndCase& c, std::ostream* os)
{
    *os << c.name;
}

class LoggerEchoEnd : public LoggerTest, public testing::WithParamInterface<EndCase> {};

// The echo follows the main log and is gone once the process is, however it
// ended.
TEST_P(LoggerEchoEnd, EchoDiesWithProcess)
{
    int ready[2];
    int go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    End end = GetParam().end;
    pid_t child = Spawn([&]() -> int {
        close(ready[0]);
        close(go[1]);
        LOG(INFO) << "echo me";
        char byte = 'r';
        if (write(ready[1], &byte, 1) != 1)
            return 20;
        while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
        }
        if (end == End::Exit1)
            exit(1);
        if (end == End::ExitFromOtherThread) {
            pthread_t t;
            pthread_create(&t, nullptr, [](void*) -> void* { exit(3); }, nullptr);
            pthread_join(t, nullptr);
        }
        return 0;
    });
    close(ready[1]);
    close(go[0]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    std::vector<pid_t> tails;
    bool echoed = PollUntil([&] {
        tails = TailsOf(child);
        return tails.size() == 1 && Out().find("[INFO]echo me\n") != std::string::npos;
    });
    EXPECT_TRUE(echoed) << "tails: " << tails.size() << " out: " << Out();

    switch (end) {
    case End::Sigterm:
        kill(child, SIGTERM);
        break;
    case End::Sigkill:
        kill(child, SIGKILL);
        break;
    default:
        ASSERT_EQ(write(go[1], &byte, 1), 1);
        break;
    }
    close(go[1]);
    int status = Wait(child);
    switch (end) {
    case End::Return:
        EXPECT_EXITED(status, 0);
        break;
    case End::Exit1:
        EXPECT_EXITED(status, 1);
        break;
    case End::ExitFromOtherThread:
        EXPECT_EXITED(status, 3);
        break;
    case End::Sigterm:
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        break;
    case End::Sigkill:
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        break;
    }

    // Being the subreaper, we inherit a tail that outlived the child: it is
    // gone when it is no longer ours to wait for, or when we reaped it.
    for (pid_t tail : tails) {
        bool gone = PollUntil([&] {
            pid_t r = waitpid(tail, nullptr, WNOHANG);
            return r == tail || (r < 0 && errno == ECHILD);
        });
        if (!gone) {
            kill(tail, SIGKILL);
            waitpid(tail, nullptr, 0);
        }
        EXPECT_TRUE(gone) << "tail " << tail << " outlived its process";
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, LoggerEchoEnd,
                         testing::Values(EndCase{"Return", End::Return}, EndCase{"Exit1", End::Exit1},
                                         EndCase{"ExitFromOtherThread", End::ExitFromOtherThread},
                                         EndCase{"Sigterm", End::Sigterm},
                                         EndCase{"Sigkill", End::Sigkill}),
                         [](const testing::TestParamInfo<EndCase>& p) { return std::string(p.param.name); });

} // namespace
