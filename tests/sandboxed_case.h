// Problem: the event source and the bridge read ./device.conf, log into
// ./results/, print debug lines and may end the process; none of that may
// reach the test's own folder or process.
// Solution: a fixture that runs each case's body in a sandbox with its output
// in files, then reads back the main log and the messages of its lines.
#ifndef TAPFUZZ_TESTS_SANDBOXED_CASE_H
#define TAPFUZZ_TESTS_SANDBOXED_CASE_H

#include <fcntl.h>
#include <glob.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Logger.h"
#include "child_case.h"
#include "sandbox.h"

class SandboxedCase : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs mount and PID namespaces (run as root)";
    }

    void Profile(const std::string& text) { ASSERT_TRUE(Sandbox::WriteFile(sb_.path("device.conf"), text)); }

    // Runs body in the sandbox, standard output and error in out.txt and
    // err.txt, and expects it to end with `status`; the child's failed
    // expectations are in out.txt and make its status 1.
    void Check(const std::function<void()>& body, int status = 0)
    {
        int st = sb_.Run([&body]() {
            int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
                return 90;
            body();
            Logger::stopEcho();
            fflush(nullptr);
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == status)
            << "status " << st << "\n--- out.txt\n" << Out() << "\n--- err.txt\n" << Err();
    }

    std::string Out() const { return Sandbox::ReadFile(sb_.path("out.txt")); }
    std::string Err() const { return Sandbox::ReadFile(sb_.path("err.txt")); }
    std::string MainLog() const
    {
        std::string text;
        glob_t g{};
        if (glob(sb_.path("results/tapfuzz*/tapfuzz.log").c_str(), 0, nullptr, &g) == 0)
            for (size_t i = 0; i < g.gl_pathc; ++i)
                text += Sandbox::ReadFile(g.gl_pathv[i]);
        globfree(&g);
        return text;
    }

    // What follows `tag` (and "[Line N]:") on each line carrying it: of the
    // main log, or for DEBUG lines of the standard output.
    std::vector<std::string> Messages(const std::string& tag) const
    {
        return ChildCase::Messages(tag.rfind("[DEBUG]", 0) == 0 ? Out() : MainLog(), tag);
    }

    Sandbox sb_;
};

#endif
