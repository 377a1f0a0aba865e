// Problem: the code under test reads ./device.conf, logs into ./results/,
// starts a console echo, keeps globals and may end the process; none of that
// may reach the test's own folder or process, or the next case.
// Solution: a fixture that runs each case's body in a fresh sandbox with its
// output in files, then reads back the main log and the messages of its lines.
#ifndef TAPFUZZ_TESTS_SANDBOXED_CASE_H
#define TAPFUZZ_TESTS_SANDBOXED_CASE_H

// The headers the test files share.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/input.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/logger.h"
#include "sandbox.h"

// The driver opens the node afresh for every gesture without O_APPEND, so the
// node is a fifo, drained by a thread while the program runs; each record's
// arrival time is kept for the cases that judge pauses.
class NodeCapture {
public:
    using Clock = std::chrono::steady_clock;
    explicit NodeCapture(const std::string& fifo)
        : fd_((mkfifo(fifo.c_str(), 0666), open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC))),
          reader_([this] { for (struct pollfd p = {fd_, POLLIN, 0}; !stop_; poll(&p, 1, 50)) Drain(); }) {}
    ~NodeCapture() { Take(), close(fd_); }
    const std::string& Take() { stop_ = true; if (reader_.joinable()) reader_.join(); Drain(); return data_; }
    const std::vector<Clock::time_point>& Times() { Take(); return times_; }

private:
    void Drain()
    {
        char buf[65536];
        for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;)
            data_.append(buf, n), times_.resize(data_.size() / sizeof(struct input_event), Clock::now());
    }
    const int fd_;
    std::atomic<bool> stop_{false};
    std::string data_;
    std::vector<Clock::time_point> times_;
    std::thread reader_;
};

// The shim preloaded into the shipped program comes before the sanitizer
// runtime of a sanitized build: tell the runtime so.
inline void AllowPreloadBeforeSanitizer()
{
    std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (asan.empty() ? "" : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
}

// A command line as main receives it: "tapfuzz", then `args`.
class CommandLine {
public:
    explicit CommandLine(const std::vector<std::string>& args) : words_{"tapfuzz"}
    {
        words_.insert(words_.end(), args.begin(), args.end());
        for (std::string& w : words_)
            argv_.push_back(&w[0]);
        argv_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return argv_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char*> argv_;
};

// The messages of the lines of `text` carrying `tag` ("[INFO]",
// "[DEBUG][parse_opt]"), without their prefix and "[Line N]:".
inline std::vector<std::string> Messages(const std::string& text, const std::string& tag)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t at = line.find(tag);
        if (at == std::string::npos)
            continue;
        std::string rest = line.substr(at + tag.size());
        size_t end = rest.compare(0, 6, "[Line ") == 0 ? rest.find("]:") : std::string::npos;
        found.push_back(end == std::string::npos ? rest : rest.substr(end + 2));
    }
    return found;
}

class SandboxedCase : public ::testing::Test {
protected:
    void SetUp() override { if (!Sandbox::Available()) GTEST_SKIP() << "needs mount and PID namespaces (run as root)"; }
    void Profile(const std::string& text) { ASSERT_TRUE(Sandbox::WriteFile(sb_.path("device.conf"), text)); }
    // Forgets the logs of earlier Check()s, for the next row of a table.
    void ForgetLogs() { std::filesystem::remove_all(sb_.path("results")); }

    // Runs body in the sandbox, standard output and error in out.txt and
    // err.txt, and expects it to end with exit code `status` (-N: killed by
    // signal N); the child's failed expectations are in out.txt and make its
    // status 1. Only its own: a row that failed before does not count.
    void Check(const std::function<void()>& body, int status = 0)
    {
        int st = sb_.Run([&body]() {
            if (!freopen("out.txt", "w", stdout) || !freopen("err.txt", "w", stderr))
                return 90;
            const ::testing::TestResult* r = ::testing::UnitTest::GetInstance()->current_test_info()->result();
            const int before = r->total_part_count();
            body();
            Logger::stopEcho();
            fflush(nullptr);
            for (int i = before; i < r->total_part_count(); ++i)
                if (r->GetTestPartResult(i).failed())
                    return 1;
            return 0;
        });
        EXPECT_TRUE(status < 0 ? WIFSIGNALED(st) && WTERMSIG(st) == -status : WIFEXITED(st) && WEXITSTATUS(st) == status)
            << "status " << st << "\n--- out.txt\n" << Out() << "\n--- err.txt\n" << Err();
    }

    std::string Out() const { return Sandbox::ReadFile(sb_.path("out.txt")); }
    std::string Err() const { return Sandbox::ReadFile(sb_.path("err.txt")); }
    // `file` of the results folders (one a day).
    std::string MainLog(const std::string& file = "tapfuzz.log") const
    {
        std::string text;
        std::error_code none;
        for (const auto& day : std::filesystem::directory_iterator(sb_.path("results"), none))
            text += Sandbox::ReadFile(day.path() / file);
        return text;
    }
    // Messages of the main log, or for DEBUG tags of the standard output.
    std::vector<std::string> Messages(const std::string& tag) const
    {
        return ::Messages(tag.rfind("[DEBUG]", 0) == 0 ? Out() : MainLog(), tag);
    }

    Sandbox sb_;
};

#endif
