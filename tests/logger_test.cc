// The Logger, one sandboxed child per case: a disk that refuses a line, and
// the life of the console echo. Where each rank's lines go is checked by the
// end-to-end runs.
#include <sys/prctl.h>

#include "sandboxed_case.h"

namespace {

using LoggerCase = SandboxedCase;

const std::string kStamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])";

// A disk that refuses a line (the file size limit, as on a full disk): the
// line goes to the console, the file is cut back to its last whole line,
// and the lines after it are whole.
TEST_F(LoggerCase, RefusedLineGoesToTheConsoleAndLaterLinesStayWhole)
{
    Check([] {
        setenv("PATH", "/nonexistent", 1);
        LOG(INFO) << "before";
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit full = {static_cast<rlim_t>(std::filesystem::file_size(info_log_filename) + 5), RLIM_INFINITY};
        struct rlimit none = {RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &full);
        LOG(INFO) << "lost";
        setrlimit(RLIMIT_FSIZE, &none);
        sleep(1);  // a refused file is tried again once a second
        LOG(INFO) << "after the failed write";
    });
    EXPECT_TRUE(std::regex_match(MainLog(), std::regex(kStamp + R"(\[INFO\]before\n)" + kStamp + R"(\[INFO\]after the failed write\n)"))) << MainLog();
    EXPECT_TRUE(std::regex_match(Out(), std::regex(kStamp + R"(\[INFO\]lost\n)"))) << Out();
}

std::atomic<int> busyLines{0};

// The echo copies the main log to the console and is gone with its process,
// however that ended; a line after stopEcho starts no new one.
TEST_F(LoggerCase, EchoEndsWithItsProcess)
{
    const struct { const char* name; int status; void (*end)(); } cases[] = {
        {"return", 0, [] {}},
        {"stop_twice", 0, [] {
             Logger::stopEcho(), Logger::stopEcho();
             LOG(INFO) << "no echo again";
             usleep(300000);
             EXPECT_EQ(std::string::npos, Sandbox::ReadFile("out.txt").find("no echo again"));
         }},
        {"exit", 1, [] { exit(1); }},
        {"exit_other_thread", 3, [] { std::thread([] { exit(3); }).join(); }},
        // The streams die after exit's handlers: a writer must not reach them.
        {"exit_while_logging", 4, [] {
             std::thread([] { for (int i = 0;; busyLines = ++i) LOG(INFO) << "busy " << i << std::string(100, 'x'); }).detach();
             while (busyLines < 200)
                 sched_yield();
             exit(4);
         }},
        // exit() inside a line must not wait for that line's own lock.
        {"exit_inside_a_line", 5, [] { Logger line(ERROR); Logger::start(ERROR, __LINE__, "f") << "half"; exit(5); }},
        {"fatal", -SIGABRT, [] { prctl(PR_SET_DUMPABLE, 0); LOG(FATAL) << "fatal"; }},
        {"sigkill", -SIGKILL, [] { kill(getpid(), SIGKILL); }},
        {"sigterm", -SIGTERM, [] { kill(getpid(), SIGTERM); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetLogs();
        Check([&c] {
            LOG(INFO) << "echo me";
            for (int i = 0; i < 3000 && Sandbox::ReadFile("out.txt").find("[INFO]echo me\n") == std::string::npos; ++i)
                usleep(10000);
            EXPECT_NE(std::string::npos, Sandbox::ReadFile("out.txt").find("[INFO]echo me\n"));
            c.end();
        }, c.status);
        EXPECT_EQ("", sb_.Leftovers());
        for (const std::string& line : ::Messages(MainLog(), ""))  // whole lines only
            EXPECT_TRUE(std::regex_match(line, std::regex(kStamp + R"(\[INFO\].*)"))) << line;
        EXPECT_TRUE(MainLog().empty() || MainLog().back() == '\n');
    }
}

}  // namespace
