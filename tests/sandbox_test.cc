// The sandbox is what keeps every other test off the real machine: check
// that its private views really are private and that signals reach the
// program with their default actions.
#include "sandbox.h"

#include <fcntl.h>
#include <string.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(SandboxTest, DeviceTmpAndCorePatternArePrivate)
{
    if (!Sandbox::Available())
        GTEST_SKIP() << "needs root for mount and PID namespaces";
    Sandbox sb;
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/dev/fb0"), ""));
    int st = sb.Run([] {
        auto put = [](const char* path, const char* text, int flags) {
            int fd = open(path, O_WRONLY | flags, 0644);
            if (fd < 0)
                return false;
            bool ok = write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
            close(fd);
            return ok;
        };
        if (!put("/dev/input/event0", "abc", O_CREAT))
            return 1;
        if (!put("/proc/sys/kernel/core_pattern", "pattern\n", O_TRUNC))
            return 2;
        if (!put("/tmp/x", "", O_CREAT))
            return 3;
        if (access("/dev/fb0", F_OK) != 0 || access("/dev/null", W_OK) != 0)
            return 4;
        return getpid() == 1 ? 5 : 0;
    });
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(0, WEXITSTATUS(st));
    EXPECT_EQ("abc", Sandbox::ReadFile(sb.path("/dev/input/event0")));
    EXPECT_EQ("pattern\n", Sandbox::ReadFile(sb.path("/proc/sys/kernel/core_pattern")));
    EXPECT_EQ(0, access(sb.path("/tmp/x").c_str(), F_OK));
}

TEST(SandboxTest, SignalsKeepDefaultActionsAndLeftoversAreNoted)
{
    if (!Sandbox::Available())
        GTEST_SKIP() << "needs root for mount and PID namespaces";
    Sandbox sb;
    SandboxProcess p = sb.Start({"/bin/sh", "-c", "sleep 30 & echo started; exec sleep 20"});
    // Wait until the shell has started its background child.
    for (int i = 0; i < 500 && Sandbox::ReadFile(sb.root() + "/out.txt").empty(); ++i)
        usleep(10000);
    ASSERT_TRUE(p.Kill(SIGTERM));
    int st = p.Wait();
    ASSERT_TRUE(WIFSIGNALED(st)) << st;
    EXPECT_EQ(SIGTERM, WTERMSIG(st));
    EXPECT_NE(std::string::npos, sb.Leftovers().find("sleep 30")) << sb.Leftovers();
}
