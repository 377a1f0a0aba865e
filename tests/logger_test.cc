// Problem: the Logger sets itself up once per process, writes from two
// threads and leaves a console echo process behind it.
// Solution: every case runs in a forked child with a private working folder
// below the current directory; the parent checks the files, the captured
// output and what is left of the child's descendants.
#include "Logger.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

// A generous bound that only keeps a broken case from hanging; it measures
// nothing.
bool PollUntil(const std::function<bool()>& done)
{
    for (int i = 0; i < 6000; usleep(10000), ++i)
        if (done())
            return true;
    return false;
}

std::string ReadFile(const std::string& path)
{
    // Reading through rdbuf() turns a read error (a process that ended while
    // its /proc files are read) into an empty or shorter text.
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Local time as log lines show it, or the day as folder names show it.
std::string Now(bool day = false)
{
    char buf[32];
    time_t now = time(nullptr);
    struct tm tm_now;
    strftime(buf, sizeof buf, day ? "%Y%m%d" : "%Y-%m-%d %H:%M:%S", localtime_r(&now, &tm_now));
    return buf;
}

// The text after "[YYYY-mm-dd HH:MM:SS]" of each line. A line of another
// shape, an unfinished last line or a time outside [from, to] (the format
// sorts like the time it shows) is a failure.
Texts Bodies(const std::string& text, const std::string& from = "", const std::string& to = "~")
{
    const std::string shape = "[dddd-dd-dd dd:dd:dd]";  // digits where 'd' stands
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "unfinished last line";
    Texts bodies;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        bool ok = line.size() >= shape.size();
        for (size_t i = 0; ok && i < shape.size(); ++i)
            ok = shape[i] == 'd' ? isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == shape[i];
        if (!ok) {
            ADD_FAILURE() << "not a log line: [" << line << "]";
            continue;
        }
        EXPECT_LE(from, line.substr(1, shape.size() - 2));
        EXPECT_GE(to, line.substr(1, shape.size() - 2));
        bodies.push_back(line.substr(shape.size()));
    }
    return bodies;
}

// Live tail processes working in dir. Every test has a folder of its own,
// and a tail that outlived its process is still found by it (a user-mode
// emulator cannot make us the reaper of orphans).
std::vector<pid_t> Tails(const std::filesystem::path& dir = std::filesystem::current_path())
{
    std::vector<pid_t> tails;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        pid_t pid = atoi(entry.path().filename().c_str());
        std::string stat = pid > 0 ? ReadFile(entry.path() / "stat") : "";
        std::error_code ec;
        if (stat.find(" (tail) ") != std::string::npos && stat.find(") Z ") == std::string::npos
            && std::filesystem::read_symlink(entry.path() / "cwd", ec) == dir)
            tails.push_back(pid);
    }
    return tails;
}

// The test links with --wrap=pthread_create: starts of the echo thread are
// counted, can be made to fail, and can be held back at a gate, without any
// hook in the Logger itself.
std::atomic<int> echo_creations{0};
std::atomic<int> echo_failures{0};
std::atomic<bool> echo_gate_open{true};

void* RunAfterGate(void* arg)
{
    while (!echo_gate_open.load())
        usleep(1000);
    return Logger::read_log(arg);
}

} // namespace

extern "C" int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*fn)(void*), void* arg)
{
    if (fn != &Logger::read_log)
        return __real_pthread_create(thread, attr, fn, arg);
    if (echo_failures.fetch_sub(1) > 0)
        return EAGAIN;
    echo_creations.fetch_add(1);
    return __real_pthread_create(thread, attr, RunAfterGate, arg);
}

namespace {

pthread_t Thread(void* (*fn)(void*), void* arg = nullptr)
{
    pthread_t t;
    EXPECT_EQ(pthread_create(&t, nullptr, fn, arg), 0);
    return t;
}

// root_ is a private folder below the current directory: work/ is the
// child's working directory, out.txt and err.txt its standard output and
// error.
class LoggerTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (access("/usr/bin/tail", X_OK) != 0 && access("/bin/tail", X_OK) != 0)
            GTEST_SKIP() << "no tail on this machine";
        char tmpl[] = "logger_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr) << strerror(errno);
        root_ = std::filesystem::absolute(tmpl).string();
        work_ = root_ + "/work";
        ASSERT_TRUE(std::filesystem::create_directory(work_));
    }

    void TearDown() override
    {
        if (root_.empty())
            return;
        // A case that failed half-way must not leave a tail of its own behind.
        for (pid_t tail : Tails(work_))
            kill(tail, SIGKILL);
        std::filesystem::remove_all(root_);
    }

    // Runs body in a forked child in work/; tells how the child ended.
    std::string Run(const std::function<int()>& body)
    {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            if (!freopen((root_ + "/out.txt").c_str(), "a", stdout)
                || !freopen((root_ + "/err.txt").c_str(), "a", stderr) || chdir(work_.c_str()) != 0)
                _exit(120);
            // An escaping exception must not run the rest of the suite here.
            exit([&]() noexcept { return body(); }());
        }
        int status = 0;
        if (!PollUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "child did not end";
        }
        return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                 : "signal " + std::to_string(WTERMSIG(status));
    }

    void ForgetOutput() const
    {
        std::filesystem::remove(root_ + "/out.txt");
        std::filesystem::remove(root_ + "/err.txt");
    }
    std::string Out() const { return ReadFile(root_ + "/out.txt"); }
    std::string Err() const { return ReadFile(root_ + "/err.txt"); }
    std::string Log(const char* name = "tapfuzz.log") const
    {
        return ReadFile(work_ + "/results/tapfuzz" + Now(true) + "/" + name);
    }

    std::string root_;
    std::string work_;
};

const int kDebugLine = __LINE__ + 1;
void debugLine() { LOG(DEBUG) << "debug " << 7; }
const std::string kInfo = "[INFO]info 1";
const std::string kCrash = "[CRASH][Coredump]crash record";
const std::string kDebug = "[DEBUG][debugLine][Line " + std::to_string(kDebugLine) + "]:debug 7";

// A line of each rank; 3 when the file names are not those of the day. The
// echo is stopped before it starts: tail may copy half a line (a prefix is
// flushed before its message) into the middle of a debug line.
int LogEachRank()
{
    echo_gate_open.store(false);
    LOG(INFO) << "info " << 1;
    LOG(INFO1) << "crash record";
    LOG(WARNING) << "crash record";
    debugLine();
    LOG(ERROR) << "error text";
    Logger::stopEcho();
    std::string folder = std::string("./results/tapfuzz") + global_timep + "/";
    return info_log_filename == folder + "tapfuzz.log" && warn_log_filename == folder + "crash.log" ? 0 : 3;
}

// Each rank's prefix and destination in the folder of the day; a second run
// appends to the same files.
TEST_F(LoggerTest, RanksReachTheirFilesAndRunsAppend)
{
    const std::string from = Now();
    const std::string day = Now(true);
    for (int run = 1; run <= 2; ++run) {
        ForgetOutput();
        EXPECT_EQ(Run(LogEachRank), "exit 0") << Err();
        EXPECT_EQ(Bodies(Out(), from, Now()), Texts{kDebug});
        EXPECT_NE(Err().find("error text\n"), std::string::npos) << Err();
    }
    const std::string to = Now();
    if (day != Now(true))
        GTEST_SKIP() << "ran across midnight";
    EXPECT_EQ(Bodies(Log(), from, to), (Texts{kInfo, kCrash, kInfo, kCrash}));
    EXPECT_EQ(Bodies(Log("crash.log"), from, to), (Texts{kCrash, kCrash}));
}

// What cannot be written falls back to the console, stream by stream.
TEST_F(LoggerTest, UnwritableResultsFallBackToConsole)
{
    const std::string day = Now(true);
    for (bool only_main_log : {false, true}) {
        SCOPED_TRACE(only_main_log ? "main log is a folder" : "results is a file");
        std::filesystem::remove_all(work_ + "/results");
        ForgetOutput();
        if (only_main_log)
            std::filesystem::create_directories(work_ + "/results/tapfuzz" + day + "/tapfuzz.log");
        else
            std::ofstream(work_ + "/results") << "not a folder\n";
        EXPECT_EQ(Run(LogEachRank), "exit 0");
        if (day != Now(true))
            GTEST_SKIP() << "ran across midnight";
        EXPECT_EQ(Bodies(Out()), (Texts{kInfo, kCrash, kDebug}));
        if (only_main_log) {
            EXPECT_EQ(Bodies(Log("crash.log")), Texts{kCrash});
        } else {
            EXPECT_NE(Err().find("]" + kCrash + "\n"), std::string::npos) << Err();
            EXPECT_EQ(ReadFile(work_ + "/results"), "not a folder\n");
        }
    }
}

// Sixteen threads write the first lines of the process at once while the
// echo thread is held back, so no constructor can rely on the thread's own
// flag. The first start fails; it is reported, the next line retries, and
// exactly one echo results.
TEST_F(LoggerTest, OneEchoUnderConcurrentFirstLinesAfterAFailedStart)
{
    EXPECT_EQ(Run([] {
                  echo_gate_open.store(false);
                  echo_failures.store(1);
                  static pthread_barrier_t barrier;
                  pthread_barrier_init(&barrier, nullptr, 16);
                  std::vector<pthread_t> threads;
                  for (int i = 0; i < 16; ++i)
                      threads.push_back(Thread([](void*) -> void* {
                          pthread_barrier_wait(&barrier);
                          LOG(INFO) << "first";
                          LOG(INFO) << "second";
                          return nullptr;
                      }));
                  for (pthread_t t : threads)
                      pthread_join(t, nullptr);
                  echo_gate_open.store(true);
                  if (echo_creations.load() != 1)
                      return 10 + echo_creations.load();
                  return PollUntil([] { return Tails().size() == 1; }) ? 0 : 9;
              }),
              "exit 0");
    const std::string message = "can't create a new pthread";
    EXPECT_EQ(Out().compare(0, message.size(), message), 0) << Out();
    EXPECT_EQ(Out().find(message + "\n"), std::string::npos) << Out();
    EXPECT_EQ(Bodies(Log()).size(), 16u * 2);
}

void* pairWriter(void* arg)
{
    long id = reinterpret_cast<long>(arg);
    for (int i = 0; i < 2000; ++i) {
        LOG(INFO) << "w" << id << " n=" << i << " " << std::string(40, 'a' + id) << " end";
        if (i % 100 == 0)
            LOG(WARNING) << "w" << id << " n=" << i << " " << std::string(40, 'a' + id) << " end";
    }
    return nullptr;
}

TEST_F(LoggerTest, TwoThreadsNeverTearLines)
{
    EXPECT_EQ(Run([] {
                  pthread_t a = Thread(pairWriter, reinterpret_cast<void*>(0L));
                  pthread_t b = Thread(pairWriter, reinterpret_cast<void*>(1L));
                  return pthread_join(a, nullptr) + pthread_join(b, nullptr);
              }),
              "exit 0");
    // Each writer's lines come whole and in order, in both files.
    for (int step : {1, 100}) {
        int next[2] = {0, 0};
        for (const std::string& body : Bodies(Log(step == 1 ? "tapfuzz.log" : "crash.log"))) {
            int id = body.find("]w1 ") != std::string::npos;
            EXPECT_EQ(body, (step == 1 ? "[INFO]w" : "[CRASH][Coredump]w") + std::to_string(id) + " n="
                                + std::to_string(next[id]) + " " + std::string(40, 'a' + id) + " end");
            next[id] += step;
        }
        EXPECT_EQ(next[0], 2000);
        EXPECT_EQ(next[1], 2000);
    }
}

__attribute__((noinline)) void logCancelLine(int i)
{
    LOG(INFO) << "cancel me " << i;
}

// Neither a writer cancelled inside a line (which must leave the line lock
// free) nor a write that failed (beyond the file size limit, as on a full
// disk) may silence or garble the lines after it.
TEST_F(LoggerTest, LinesGoOnAfterACancelledWriterAndAFailedWrite)
{
    EXPECT_EQ(Run([] {
                  // The cancellation point sits in a frame of its own: a sanitizer
                  // misreads scoped temporaries left behind by a cancelled frame.
                  pthread_t t = Thread([](void*) -> void* {
                      for (int i = 0; i < 1000000; ++i) {
                          logCancelLine(i);
                          pthread_testcancel();
                      }
                      return nullptr;
                  });
                  usleep(1000);
                  pthread_cancel(t);
                  void* result = nullptr;
                  pthread_join(t, &result);
                  LOG(INFO) << "after the cancel";
                  signal(SIGXFSZ, SIG_IGN);
                  struct rlimit old;
                  getrlimit(RLIMIT_FSIZE, &old);
                  struct rlimit full = old;
                  // Room for a few bytes only: the line is cut off part way.
                  full.rlim_cur = static_cast<rlim_t>(std::filesystem::file_size(info_log_filename) + 5);
                  // The console the refused line goes to is a fresh file, well
                  // within the limit (the echo keeps filling out.txt).
                  fflush(stdout);
                  int saved = dup(1);
                  int console = open("console.txt", O_CREAT | O_TRUNC | O_WRONLY, 0644);
                  dup2(console, 1);
                  close(console);
                  setrlimit(RLIMIT_FSIZE, &full);
                  LOG(INFO) << "lost";
                  setrlimit(RLIMIT_FSIZE, &old);
                  fflush(stdout);
                  dup2(saved, 1);
                  close(saved);
                  sleep(1);  // the file is tried again a second after it refused a line
                  LOG(INFO) << "after the failed write";
                  return result == PTHREAD_CANCELED ? 0 : 6;
              }),
              "exit 0");
    // The refused line leaves nothing in the file to be glued to the next
    // one; it reaches the console instead.
    Texts bodies = Bodies(Log());
    ASSERT_GE(bodies.size(), 2u);
    EXPECT_EQ(bodies[bodies.size() - 2], "[INFO]after the cancel");
    EXPECT_EQ(bodies.back(), "[INFO]after the failed write");
    EXPECT_EQ(Log().find("lost"), std::string::npos) << Log();
    EXPECT_NE(ReadFile(work_ + "/console.txt").find("][INFO]lost\n"), std::string::npos);
}

std::atomic<int> busy_lines{0};

void* busyWriter(void*)
{
    for (int i = 0;; busy_lines.store(++i))
        LOG(INFO) << "busy " << i << " " << std::string(100, 'x');
}

// The echo follows the main log and is gone once the process is, however it
// ended, while another tail beside it lives on; the log keeps only whole
// lines.
TEST_F(LoggerTest, EchoDiesWithItsProcessAndAloneWithStopEcho)
{
    const struct {
        const char* name;
        std::string status;
        void (*end)();
    } cases[] = {
        {"Return", "exit 0", [] {}},
        // A line after the stop starts no new echo.
        {"StopEchoTwice", "exit 0",
         [] {
             Logger::stopEcho();
             Logger::stopEcho();
             LOG(INFO) << "no echo again";
             exit(Tails().size() == 1 && echo_creations == 1 ? 0 : 9);
         }},
        {"Exit1", "exit 1", [] { exit(1); }},
        {"ExitFromOtherThread", "exit 3", [] { pthread_join(Thread([](void*) -> void* { exit(3); }), nullptr); }},
        // The streams die after exit's handlers: a writer must not reach them.
        {"ExitWhileAnotherThreadLogs", "exit 4",
         [] {
             for (Thread(busyWriter); busy_lines.load() < 200;)
                 sched_yield();
             exit(4);
         }},
        // exit() inside a line must not wait for that line's own lock.
        {"ExitInsideALine", "exit 5",
         [] {
             Logger line(ERROR);
             Logger::start(ERROR, __LINE__, "f") << "half";
             exit(5);
         }},
        // A FATAL line aborts; a process that cannot dump leaves no core file.
        {"FatalLine", "signal 6", [] { prctl(PR_SET_DUMPABLE, 0); LOG(FATAL) << "fatal"; }},
        {"Sigkill", "signal 9", [] { kill(getpid(), SIGKILL); }},
        {"Sigterm", "signal 15", [] { kill(getpid(), SIGTERM); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetOutput();
        const std::string out = root_ + "/out.txt";
        EXPECT_EQ(Run([&] {
                      Logger::stopEcho();  // nothing started yet
                      if (fork() == 0) {
                          execl("/bin/sh", "sh", "-c", "exec tail -F /dev/null", static_cast<char*>(nullptr));
                          _exit(127);
                      }
                      LOG(INFO) << "echo me";
                      auto echoed = [&] { return ReadFile(out).find("[INFO]echo me\n") != std::string::npos; };
                      if (!PollUntil([&] { return Tails().size() == 2 && echoed(); }))
                          return 20;
                      c.end();
                      return 0;
                  }),
                  c.status) << Err();
        // What outlived the child: the other tail only.
        std::vector<pid_t> left;
        EXPECT_TRUE(PollUntil([&] { return (left = Tails(work_)).size() == 1; })) << left.size();
        for (pid_t tail : left) {
            EXPECT_NE(ReadFile("/proc/" + std::to_string(tail) + "/cmdline").find("/dev/null"), std::string::npos);
            kill(tail, SIGKILL);
        }
        Bodies(Log());
    }
}

} // namespace
