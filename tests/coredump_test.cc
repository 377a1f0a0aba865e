// The core-dump monitor: dump names, log-safe text, moves within and across
// file systems, the core pattern, and the watcher's once-only records.
#include "CoredumpMonitor.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    remove(path);
    return 0;
}

// A scratch folder below the current directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "coredump_test.XXXXXX";
        if (mkdtemp(tmpl) != nullptr)
            path_ = tmpl;
    }
    ~ScratchDir()
    {
        if (!path_.empty())
            nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteAll(const std::string& path, const std::string& data, bool append = false)
{
    std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out << data;
    return static_cast<bool>(out.flush());
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Bytes that differ from one position to the next, so a shifted or
// truncated copy cannot compare equal.
std::string Pattern(size_t size)
{
    std::string data(size, '\0');
    unsigned v = 12345;
    for (size_t i = 0; i < size; ++i) {
        v = v * 1103515245u + 12345u;
        data[i] = static_cast<char>(v >> 16);
    }
    return data;
}

std::vector<std::string> Entries(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

void UseZone(const char* tz)
{
    setenv("TZ", tz, 1);
    tzset();
}

// --- Names ---------------------------------------------------------------

struct NameCase {
    const char* tz;
    std::string name;
    bool dump;
    std::string newname;
};

void PrintTo(const NameCase& c, std::ostream* os)
{
    *os << "TZ=" << c.tz << " " << ::testing::PrintToString(c.name);
}

class DumpNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(DumpNameTest, TimeTextAfterLastDashBecomesLocalTime)
{
    const NameCase& c = GetParam();
    UseZone(c.tz);
    std::string newname = "untouched";
    EXPECT_EQ(buildNewName(c.name, &newname), c.dump);
    EXPECT_EQ(newname, c.dump ? c.newname : "untouched");
}

const std::string kLongExe(220, 'e');

INSTANTIATE_TEST_SUITE_P(
    Names, DumpNameTest,
    ::testing::Values(
        NameCase{"UTC", "coredump-app-123-1700000000", true, "coredump-app-123-2023-11-14_22:13:20"},
        NameCase{"UTC", "coredump-my-app-7-86399", true, "coredump-my-app-7-1970-01-01_23:59:59"},
        // Two hours east of UTC: the next calendar day.
        NameCase{"UTC-2", "coredump-app-1-1700000000", true, "coredump-app-1-2023-11-15_00:13:20"},
        NameCase{"UTC", "coredump", true, "1970-01-01_00:00:00"},
        NameCase{"UTC", "coredump-", true, "coredump-1970-01-01_00:00:00"},
        NameCase{"UTC", "coredump-app-1-1700000000.core", true, "coredump-app-1-2023-11-14_22:13:20"},
        NameCase{"UTC", "coredump-app-1-later", true, "coredump-app-1-1970-01-01_00:00:00"},
        NameCase{"UTC", "coredump-a;touch pwned;$(id)-1-1700000000", true,
                 "coredump-a;touch pwned;$(id)-1-2023-11-14_22:13:20"},
        NameCase{"UTC", "coredump-" + kLongExe + "-99999-1700000000", true,
                 "coredump-" + kLongExe + "-99999-2023-11-14_22:13:20"},
        NameCase{"UTC", "core-app-1-1700000000", false, ""},
        NameCase{"UTC", "Coredump-app-1-1700000000", false, ""},
        NameCase{"UTC", "coredum", false, ""},
        NameCase{"UTC", "", false, ""}));

struct EscapeCase {
    std::string raw;
    std::string logged;
};

void PrintTo(const EscapeCase& c, std::ostream* os)
{
    *os << ::testing::PrintToString(c.raw);
}

class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, ControlBytesCannotBreakALogLine)
{
    EXPECT_EQ(escapeLogText(GetParam().raw), GetParam().logged);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EscapeTest,
    ::testing::Values(EscapeCase{"coredump-app-1-2", "coredump-app-1-2"},
                      EscapeCase{"a;b $(id) `x` 'q' \"d\"", "a;b $(id) `x` 'q' \"d\""},
                      EscapeCase{"a\nb", "a\\nb"},
                      EscapeCase{"\r\t", "\\r\\t"},
                      EscapeCase{std::string("\x01\x1b[31m", 6), "\\x01\\x1b[31m"},
                      EscapeCase{"\x7f", "\\x7f"},
                      EscapeCase{"back\\n", "back\\\\n"},
                      EscapeCase{"caf\xc3\xa9", "caf\xc3\xa9"},
                      EscapeCase{"x\n[2024-01-01 00:00:00][INFO]forged", "x\\n[2024-01-01 00:00:00][INFO]forged"}));

// --- Moves within one file system -----------------------------------------

TEST(MoveDumpTest, SameFileSystemRenamesInPlace)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string data = Pattern(200000);
    ASSERT_TRUE(WriteAll(dir / "dump", data));
    ASSERT_EQ(mkdir((dir / "saved").c_str(), 0755), 0);
    struct stat before;
    ASSERT_EQ(stat((dir / "dump").c_str(), &before), 0);

    std::string why;
    ASSERT_EQ(moveDump(dir / "dump", dir / "saved/new", &why), 0) << why;
    struct stat after;
    ASSERT_EQ(stat((dir / "saved/new").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "a rename keeps the inode; this was a copy";
    EXPECT_EQ(ReadAll(dir / "saved/new"), data);
    EXPECT_FALSE(Exists(dir / "dump"));
}

TEST(MoveDumpTest, RefusalsLeaveEverythingAsItWas)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(WriteAll(dir / "dump", "dump bytes"));
    ASSERT_TRUE(WriteAll(dir / "taken", "earlier dump"));
    ASSERT_EQ(mkfifo((dir / "coredump-fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("dump", (dir / "coredump-link").c_str()), 0);

    struct Case {
        std::string from, to, reason;
    } cases[] = {
        {dir / "dump", dir / "taken", "already exists"},
        {dir / "dump", dir / "no-such-folder/new", strerror(ENOENT)},
        {dir / "gone", dir / "new", strerror(ENOENT)},
        // A fifo would block a copy forever; a link would copy what it names.
        {dir / "coredump-fifo", dir / "new", "not a regular file"},
        {dir / "coredump-link", dir / "new", "not a regular file"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(moveDump(c.from, c.to, &why), -1) << c.from << " -> " << c.to;
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
    EXPECT_EQ(ReadAll(dir / "dump"), "dump bytes");
    EXPECT_EQ(ReadAll(dir / "taken"), "earlier dump");
    EXPECT_FALSE(Exists(dir / "new"));
    EXPECT_TRUE(Exists(dir / "coredump-fifo"));
    EXPECT_TRUE(Exists(dir / "coredump-link"));
}

TEST(MoveDumpTest, FreeDestinationCountsPastTakenNames)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string to = dir / "coredump-a-1-2023-11-14_22:13:20";
    EXPECT_EQ(freeDestination(to), to);
    ASSERT_TRUE(WriteAll(to, "1"));
    EXPECT_EQ(freeDestination(to), to + ".1");
    ASSERT_TRUE(WriteAll(to + ".1", "2"));
    EXPECT_EQ(freeDestination(to), to + ".2");
    EXPECT_EQ(freeDestination(dir / "missing-folder/x"), dir / "missing-folder/x");
}

// --- Moves across file systems (private tmpfs mounts in a sandbox) -------

// Reports a failed check from inside the sandbox child.
int Fail(const std::string& what)
{
    fprintf(stderr, "check failed: %s\n", what.c_str());
    return 1;
}

class CrossMoveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs root for private mounts";
    }
    Sandbox sb;
};

TEST_F(CrossMoveTest, CopiesWholeFileWithModeAndTimesThenRemovesSource)
{
    int status = sb.Run([] {
        if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
            return Fail("mount tmpfs on /tmp");
        const std::string data = Pattern(3 * 1024 * 1024 + 17);
        const std::string from = "/tmp/coredump-app-9-1700000000";
        if (!WriteAll(from, data) || chmod(from.c_str(), 0640) != 0)
            return Fail("create the dump");
        struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
        utimensat(AT_FDCWD, from.c_str(), times, 0);
        mkdir("saved", 0755);

        std::string why;
        if (moveDump(from, "saved/coredump-app-9-2023-11-14_22:13:20", &why) != 0)
            return Fail("move: " + why);
        if (Exists(from))
            return Fail("source still there");
        struct stat st;
        if (stat("saved/coredump-app-9-2023-11-14_22:13:20", &st) != 0)
            return Fail("no file at the destination");
        if (ReadAll("saved/coredump-app-9-2023-11-14_22:13:20") != data)
            return Fail("content differs");
        if ((st.st_mode & 07777) != 0640 || st.st_mtim.tv_sec != 1700000000)
            return Fail("mode or time not kept");
        if (Entries("saved").size() != 1)
            return Fail("a temporary file was left beside the dump");
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(CrossMoveTest, FailedCopyLeavesSourceAndNoPartialFile)
{
    int status = sb.Run([] {
        if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
            return Fail("mount tmpfs on /tmp");
        mkdir("small", 0755);
        if (mount("tmpfs", "small", "tmpfs", 0, "size=64k") != 0)
            return Fail("mount a small tmpfs");
        const std::string data = Pattern(1024 * 1024);
        const std::string from = "/tmp/coredump-big-1-1700000000";
        if (!WriteAll(from, data) || !WriteAll("small/taken", "x"))
            return Fail("create the files");

        std::string why;
        if (moveDump(from, "small/coredump-big", &why) != -1)
            return Fail("a copy into a full file system succeeded");
        if (why.find(strerror(ENOSPC)) == std::string::npos)
            return Fail("reason: " + why);
        if (moveDump(from, "small/taken", &why) != -1 || why.find("already exists") == std::string::npos)
            return Fail("an existing file was not refused: " + why);
        if (ReadAll("small/taken") != "x")
            return Fail("the existing file changed");
        if (ReadAll(from) != data)
            return Fail("the source changed");
        std::vector<std::string> left = Entries("small");
        if (left.size() != 1 || left[0] != "taken")
            return Fail("something was left in the destination folder");
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// --- The core pattern -------------------------------------------------------

TEST(CorePatternTest, WritesThePatternAsOneLine)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(WriteAll(dir / "core_pattern", "|/usr/share/some/long/handler %P %u %g %s %t %c %h\n"));
    std::string why;
    ASSERT_EQ(writeCorePattern((dir / "core_pattern").c_str(), "/tmp/coredump-%e-%p-%t", &why), 0) << why;
    EXPECT_EQ(ReadAll(dir / "core_pattern"), "/tmp/coredump-%e-%p-%t\n");

    EXPECT_EQ(writeCorePattern((dir / "missing/core_pattern").c_str(), "p", &why), -1);
    EXPECT_EQ(why, strerror(ENOENT));
}

TEST(CorePatternTest, RefusalForLackOfRightsSaysSo)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    ASSERT_TRUE(WriteAll(dir / "core_pattern", "core\n"));
    ASSERT_EQ(chmod((dir / "core_pattern").c_str(), 0644), 0);
    chmod(dir.path().c_str(), 0755);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string why = "no drop";
        if (setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0) {
            why.clear();
            writeCorePattern((dir / "core_pattern").c_str(), "p", &why);
        }
        ssize_t n = write(fds[1], why.data(), why.size());
        _exit(n == static_cast<ssize_t>(why.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string why;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        why.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(why, std::string(strerror(EACCES)) + " (superuser rights are needed)");
    EXPECT_EQ(ReadAll(dir / "core_pattern"), "core\n");
}

// --- The monitor and its watcher, in a sandbox ----------------------------

std::string MainLog(const Sandbox& sb, const char* file)
{
    for (const std::string& name : Entries(sb.path("results")))
        if (name.rfind("tapfuzz", 0) == 0)
            return ReadAll(sb.path("results/" + name + "/" + file));
    return "";
}

size_t CountLines(const std::string& log, const std::string& needle)
{
    size_t count = 0;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line))
        if (line.find(needle) != std::string::npos)
            ++count;
    return count;
}

// Every line of a log starts with its time stamp: nothing was forged or torn.
void ExpectWholeLines(const std::string& log)
{
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line))
        EXPECT_EQ(line.rfind("[", 0), 0u) << "line: " << line;
}

class WatcherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs root for private mounts";
    }
    // Logger output (the echo and any fallback) goes to files of the sandbox.
    static void Quiet()
    {
        int fd = open("console.txt", O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
    }
    Sandbox sb;
};

TEST_F(WatcherTest, RecordsOnceWaitsForGrowthRetriesAndNeverReplaces)
{
    const std::string first = "/tmp/coredump-app-42-1700000000";
    const std::string late = "/tmp/coredump-late-5-1700000000";
    const std::string hostile = std::string("/tmp/coredump-x\n[forged][INFO]line-7-1700000000");
    int status = sb.Run([&] {
        Quiet();
        UseZone("UTC");
        snprintf(gcorepath, sizeof gcorepath, "%s", "./saved/");
        WriteAll("/tmp/not-a-dump", "keep");
        mkdir("/tmp/coredump-folder", 0755);
        symlink("/tmp/not-a-dump", "/tmp/coredump-link-1-1700000000");
        WriteAll(first, std::string(1000, 'A'));

        mkdir("saved", 0755);
        DumpWatch watch;
        watch.scan("/tmp/");  // first sight
        WriteAll(first, std::string(1000, 'B'), true);
        watch.scan("/tmp/");  // grew: not yet
        if (!Exists(first))
            return Fail("a growing dump was moved");
        watch.scan("/tmp/");  // unchanged for a whole interval
        if (Exists(first) || ReadAll("saved/coredump-app-42-2023-11-14_22:13:20") !=
                                 std::string(1000, 'A') + std::string(1000, 'B'))
            return Fail("the settled dump did not arrive whole");

        // A save folder that appears only later.
        snprintf(gcorepath, sizeof gcorepath, "%s", "./later/");
        WriteAll(late, "late");
        watch.scan("/tmp/");
        watch.scan("/tmp/");  // settled, but ./later/ is missing
        watch.scan("/tmp/");  // quiet retry
        if (ReadAll(late) != "late")
            return Fail("dump lost while the save folder is missing");
        mkdir("later", 0755);
        watch.scan("/tmp/");
        if (Exists(late) || ReadAll("later/coredump-late-5-2023-11-14_22:13:20") != "late")
            return Fail("the retried move did not happen");
        snprintf(gcorepath, sizeof gcorepath, "%s", "./saved/");

        // A second dump under the same name and second: kept beside the first.
        WriteAll(first, "second");
        WriteAll(hostile, "hostile");
        watch.scan("/tmp/");
        watch.scan("/tmp/");
        if (ReadAll("saved/coredump-app-42-2023-11-14_22:13:20.1") != "second" ||
            ReadAll("saved/coredump-app-42-2023-11-14_22:13:20").size() != 2000)
            return Fail("the second dump replaced the first or went missing");
        if (ReadAll("saved/coredump-x\n[forged][INFO]line-7-2023-11-14_22:13:20") != "hostile")
            return Fail("the dump with a line feed in its name was not moved");
        if (ReadAll("/tmp/not-a-dump") != "keep" || !Exists("/tmp/coredump-folder") ||
            !Exists("/tmp/coredump-link-1-1700000000"))
            return Fail("something that is not a dump was touched");
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

    const std::string info = MainLog(sb, "tapfuzz.log");
    const std::string crash = MainLog(sb, "crash.log");
    const std::string saved = "./saved/coredump-app-42-2023-11-14_22:13:20";
    EXPECT_EQ(CountLines(info, "[CRASH][Coredump]" + saved), 2u) << info;  // both dumps
    EXPECT_EQ(CountLines(info, "[CRASH][Coredump]" + saved + ".1"), 1u) << info;
    EXPECT_EQ(CountLines(info, "[INFO]mv " + first + " " + saved), 2u) << info;
    EXPECT_EQ(CountLines(info, "[INFO]cannot move " + late + ": "), 1u) << info;
    EXPECT_EQ(CountLines(info, "cannot move"), 1u) << info;
    EXPECT_EQ(CountLines(info, "[CRASH][Coredump]./later/coredump-late-5-2023-11-14_22:13:20"), 1u) << info;
    EXPECT_EQ(CountLines(info, "after retrying"), 1u) << info;
    EXPECT_EQ(CountLines(crash, "[CRASH][Coredump]" + saved), 2u) << crash;
    EXPECT_EQ(CountLines(info, "coredump-x\\n[forged][INFO]line-7-2023-11-14_22:13:20"), 2u) << info;
    ExpectWholeLines(info);
    ExpectWholeLines(crash);
}

struct MonitorCase {
    const char* name;
    std::string profile;
    bool readOnlyPattern;
    std::string savePathLine;
    std::string patternLine;
};

void PrintTo(const MonitorCase& c, std::ostream* os)
{
    *os << c.name;
}

class MonitorSetupTest : public ::testing::TestWithParam<MonitorCase> {
protected:
    void SetUp() override
    {
        if (!Sandbox::Available())
            GTEST_SKIP() << "needs root for private mounts";
    }
    Sandbox sb;
};

TEST_P(MonitorSetupTest, SavePathAndCorePattern)
{
    const MonitorCase& c = GetParam();
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("device.conf"), c.profile));
    ASSERT_TRUE(Sandbox::WriteFile(sb.path("/proc/sys/kernel/core_pattern"), "core\n"));
    const bool ro = c.readOnlyPattern;
    int status = sb.Run([ro] {
        int fd = open("console.txt", O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
        const char* pattern = "/proc/sys/kernel/core_pattern";
        if (ro && (mount(pattern, pattern, nullptr, MS_BIND, nullptr) != 0 ||
                   mount(nullptr, pattern, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0))
            return Fail("read-only bind of the core pattern");
        // Started and stopped at once: the destructor must wait for the
        // watcher, whatever it is doing.
        dumpMonitor* monitor = new dumpMonitor();
        monitor->StartMonitor();
        delete monitor;
        return 0;
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    const std::string info = MainLog(sb, "tapfuzz.log");
    EXPECT_EQ(CountLines(info, "[INFO]" + c.savePathLine), 1u) << info;
    EXPECT_EQ(CountLines(info, "[INFO]" + c.patternLine), 1u) << info;
    if (ro) {
        EXPECT_EQ(CountLines(info, "Success: "), 0u) << info;
        EXPECT_NE(Sandbox::ReadFile(sb.path("console.txt")).find("tapfuzz: cannot set the core pattern"),
                  std::string::npos);
        EXPECT_EQ(Sandbox::ReadFile(sb.path("/proc/sys/kernel/core_pattern")), "core\n");
    } else {
        EXPECT_EQ(Sandbox::ReadFile(sb.path("/proc/sys/kernel/core_pattern")), "/tmp/coredump-%e-%p-%t\n");
    }
}

const std::string kSuccess = "Success: echo \"/tmp/coredump-%e-%p-%t\" > /proc/sys/kernel/core_pattern";

INSTANTIATE_TEST_SUITE_P(
    Profiles, MonitorSetupTest,
    ::testing::Values(
        MonitorCase{"Configured", "COREFILE_PATH=/data/cores/\n", false, "corefile save path:/data/cores/", kSuccess},
        MonitorCase{"NoProfileKey", "HWKEY_ENABLE=0\n", false, "corefile save path:./", kSuccess},
        MonitorCase{"EmptyValue", "COREFILE_PATH=\n", false, "corefile save path:./", kSuccess},
        // 63 characters fit the buffer; 64 do not and fall back.
        MonitorCase{"LongestThatFits", "COREFILE_PATH=/" + std::string(61, 'c') + "/\n", false,
                    "corefile save path:/" + std::string(61, 'c') + "/", kSuccess},
        MonitorCase{"TooLong", "COREFILE_PATH=/" + std::string(62, 'c') + "/\n", false,
                    "corefile save path:./", kSuccess},
        MonitorCase{"ReadOnlyPattern", "COREFILE_PATH=./cores/\n", true, "corefile save path:./cores/",
                    "Failed: cannot set the core pattern \"/tmp/coredump-%e-%p-%t\" in "
                    "/proc/sys/kernel/core_pattern: " +
                        std::string(strerror(EROFS))}),
    [](const ::testing::TestParamInfo<MonitorCase>& p) { return std::string(p.param.name); });

}  // namespace
