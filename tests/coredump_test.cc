// The core-dump monitor: dump names, log-safe text, moves within and across
// file systems, the core pattern, and the watcher's once-only records.
#include "CoredumpMonitor.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "sandbox.h"

// A failed check inside a sandboxed child: said on stderr, the child fails.
#define REQUIRE(cond)                                                                   \
    do {                                                                                \
        if (!(cond))                                                                    \
            return fprintf(stderr, "line %d: check failed: %s\n", __LINE__, #cond), 1; \
    } while (0)

namespace {

const auto Read = Sandbox::ReadFile;
const auto Write = Sandbox::WriteFile;

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
    for (char& c : data)
        c = static_cast<char>((v = v * 1103515245u + 12345u) >> 16);
    return data;
}

std::set<std::string> Entries(const std::string& folder)
{
    std::set<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

size_t CountLines(const std::string& log, const std::string& needle)
{
    size_t count = 0;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        count += line.find(needle) != std::string::npos;
    return count;
}

std::string MainLog(const Sandbox& sb, const char* file)
{
    for (const std::string& name : Entries(sb.path("results")))
        if (name.rfind("tapfuzz", 0) == 0)
            return Read(sb.path("results/" + name + "/" + file));
    return "";
}

// Logger output (the echo and any fallback) goes to a file of the sandbox.
void Quiet()
{
    int fd = open("console.txt", O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
}

TEST(DumpNameTest, TimeTextAfterLastDashBecomesLocalTime)
{
    const struct {
        const char* tz;
        const char* name;
        const char* newname;  // nullptr: not a dump name
    } cases[] = {
        {"UTC", "coredump-my-app-7-86399", "coredump-my-app-7-1970-01-01_23:59:59"},
        {"UTC-2", "coredump-app-1-1700000000", "coredump-app-1-2023-11-15_00:13:20"},  // east of UTC: the next day
        {"UTC", "coredump", "1970-01-01_00:00:00"},
        {"UTC", "coredump-app-1-later", "coredump-app-1-1970-01-01_00:00:00"},
        {"UTC", "core-app-1-1700000000", nullptr},
        {"UTC", "coredum", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tz) + " " + c.name);
        setenv("TZ", c.tz, 1);
        tzset();
        std::string newname = "untouched";
        EXPECT_EQ(buildNewName(c.name, &newname), c.newname != nullptr);
        EXPECT_EQ(newname, c.newname ? c.newname : "untouched");
    }
}

TEST(DumpNameTest, ControlBytesCannotBreakALogLine)
{
    const struct {
        std::string raw, logged;
    } cases[] = {
        {"a;b $(id) `x` 'q' \"d\"", "a;b $(id) `x` 'q' \"d\""}, {"a\nb", "a\\nb"}, {"\r\t", "\\r\\t"},
        {std::string("\x01\x1b[31m\x7f", 7), "\\x01\\x1b[31m\\x7f"}, {"back\\n", "back\\\\n"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(escapeLogText(c.raw), c.logged);
}

// Within one file system a move is a rename; across file systems a copy that
// arrives whole, with its mode and times, before the source goes. Whatever is
// refused or fails leaves everything as it was and says why.
TEST(MoveDumpTest, RenamedOrCopiedWholeOrNotAtAll)
{
    if (!Sandbox::Available())
        GTEST_SKIP() << "needs root for private mounts";
    Sandbox sb;
    int status = sb.Run([] {
        REQUIRE(mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0);
        REQUIRE(mkdir("small", 0755) == 0 && mount("tmpfs", "small", "tmpfs", 0, "size=64k") == 0);
        const std::string data = Pattern(3 * 1024 * 1024 + 17), from = "/tmp/coredump-app-9-1700000000";
        REQUIRE(Write(from, data) && chmod(from.c_str(), 0640) == 0 && Write("small/taken", "x"));
        struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
        REQUIRE(utimensat(AT_FDCWD, from.c_str(), times, 0) == 0 && Write("/tmp/taken", "y"));
        REQUIRE(mkfifo("/tmp/coredump-fifo", 0600) == 0 && symlink(from.c_str(), "/tmp/coredump-link") == 0);
        const struct {
            std::string from, to, reason;
        } refusals[] = {
            {from, "/tmp/taken", "already exists"},
            {from, "small/taken", "already exists"},
            {from, "small/coredump-big", strerror(ENOSPC)},
            {from, "/tmp/no-such-folder/new", strerror(ENOENT)},
            {"/tmp/gone", "/tmp/new", strerror(ENOENT)},
            // A fifo would block a copy forever; a link would copy what it names.
            {"/tmp/coredump-fifo", "/tmp/new", "not a regular file"},
            {"/tmp/coredump-link", "/tmp/new", "not a regular file"},
        };
        std::string why;
        for (const auto& c : refusals)
            if (moveDump(c.from, c.to, &why) != -1 || why.find(c.reason) == std::string::npos)
                return fprintf(stderr, "%s -> %s: %s\n", c.from.c_str(), c.to.c_str(), why.c_str()), 1;
        REQUIRE(Read(from) == data && Read("/tmp/taken") == "y" && Read("small/taken") == "x");
        REQUIRE(Entries("small") == std::set<std::string>{"taken"} && Entries(".") == std::set<std::string>{"small"});
        REQUIRE(Entries("/tmp").size() == 4);

        struct stat before, after;
        REQUIRE(stat(from.c_str(), &before) == 0 && moveDump(from, "/tmp/renamed", &why) == 0);
        REQUIRE(stat("/tmp/renamed", &after) == 0 && after.st_ino == before.st_ino);  // not a copy
        REQUIRE(moveDump("/tmp/renamed", "coredump-app-9", &why) == 0 && !Exists("/tmp/renamed"));
        REQUIRE(Read("coredump-app-9") == data && stat("coredump-app-9", &after) == 0);
        REQUIRE((after.st_mode & 07777) == 0640 && after.st_mtim.tv_sec == 1700000000);
        REQUIRE(Entries(".") == (std::set<std::string>{"small", "coredump-app-9"}));  // no temporary file left

        // Taken names are counted past, never replaced.
        REQUIRE(freeDestination("/tmp/taken") == "/tmp/taken.1" && Write("/tmp/taken.1", ""));
        REQUIRE(freeDestination("/tmp/taken") == "/tmp/taken.2" && freeDestination("/tmp/free") == "/tmp/free");
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// Scans are driven by hand: a dump moves only on the scan after one that
// saw it unchanged, and each dump is recorded once however many scans it takes.
TEST(WatcherTest, RecordsOnceWaitsForGrowthRetriesAndNeverReplaces)
{
    if (!Sandbox::Available())
        GTEST_SKIP() << "needs root for private mounts";
    Sandbox sb;
    const std::string first = "/tmp/coredump-app-42-1700000000", late = "/tmp/coredump-late-5-1700000000";
    // A program name that would run commands in a shell and forge a log line.
    const std::string hostile = "coredump-x\n[forged][INFO];touch pwned;$(touch pwned2)-7-";
    int status = sb.Run([&] {
        Quiet();
        setenv("TZ", "UTC", 1);
        tzset();
        snprintf(gcorepath, sizeof gcorepath, "%s", "./saved/");
        REQUIRE(Write("/tmp/not-a-dump", "keep") && mkdir("/tmp/coredump-folder", 0755) == 0);
        REQUIRE(symlink("/tmp/not-a-dump", "/tmp/coredump-link-1-1700000000") == 0);
        REQUIRE(Write(first, std::string(1000, 'A')) && mkdir("saved", 0755) == 0);

        DumpWatch watch;
        watch.scan("/tmp/");  // first sight
        std::ofstream(first, std::ios::app) << std::string(1000, 'B');
        watch.scan("/tmp/");  // grew: not yet
        REQUIRE(Exists(first));
        watch.scan("/tmp/");  // unchanged for a whole interval
        REQUIRE(!Exists(first));
        REQUIRE(Read("saved/coredump-app-42-2023-11-14_22:13:20") == std::string(1000, 'A') + std::string(1000, 'B'));

        // Without a trailing '/' the save path is a plain prefix, here of a
        // folder that appears only later.
        snprintf(gcorepath, sizeof gcorepath, "%s", "./later/p");
        REQUIRE(Write(late, "late"));
        for (int i = 0; i < 3; ++i)
            watch.scan("/tmp/");  // settled, then a quiet retry
        REQUIRE(Read(late) == "late");
        REQUIRE(mkdir("later", 0755) == 0);
        watch.scan("/tmp/");
        REQUIRE(!Exists(late) && Read("later/pcoredump-late-5-2023-11-14_22:13:20") == "late");

        // A second dump under the same name and second is kept beside the first.
        snprintf(gcorepath, sizeof gcorepath, "%s", "./saved/");
        REQUIRE(Write(first, "second") && Write("/tmp/" + hostile + "1700000000", "hostile"));
        watch.scan("/tmp/");
        watch.scan("/tmp/");
        REQUIRE(Read("saved/coredump-app-42-2023-11-14_22:13:20.1") == "second");
        REQUIRE(Read("saved/coredump-app-42-2023-11-14_22:13:20").size() == 2000);
        REQUIRE(Read("saved/" + hostile + "2023-11-14_22:13:20") == "hostile");
        REQUIRE(!Exists("pwned") && !Exists("pwned2") && !Exists("/tmp/pwned") && !Exists("saved/pwned"));
        REQUIRE(Read("/tmp/not-a-dump") == "keep" && Exists("/tmp/coredump-folder"));
        REQUIRE(Exists("/tmp/coredump-link-1-1700000000"));
        return 0;
    });
    ASSERT_EQ(status, 0);

    const std::string info = MainLog(sb, "tapfuzz.log"), crash = MainLog(sb, "crash.log");
    const std::string saved = "./saved/coredump-app-42-2023-11-14_22:13:20";
    EXPECT_EQ(CountLines(info, "[CRASH][Coredump]" + saved), 2u) << info;  // both dumps
    EXPECT_EQ(CountLines(info, "[CRASH][Coredump]" + saved + ".1"), 1u) << info;
    EXPECT_EQ(CountLines(crash, "[CRASH][Coredump]" + saved), 2u) << crash;
    EXPECT_EQ(CountLines(info, "[INFO]mv " + first + " " + saved), 2u) << info;
    EXPECT_EQ(CountLines(info, "[INFO]cannot move " + late + ": "), 1u) << info;
    EXPECT_EQ(CountLines(info, "cannot move"), 1u) << info;
    EXPECT_EQ(CountLines(info, "[CRASH][Coredump]./later/pcoredump-late-5-2023-11-14_22:13:20"), 1u) << info;
    EXPECT_EQ(CountLines(info, "after retrying"), 1u) << info;
    EXPECT_EQ(CountLines(info, escapeLogText(hostile) + "2023-11-14_22:13:20"), 2u) << info;
    // Every line starts with its time stamp: none was forged or torn.
    for (const std::string& log : {info, crash}) {
        std::istringstream in(log);
        for (std::string line; std::getline(in, line);)
            EXPECT_EQ(line.rfind("[", 0), 0u) << line;
    }
}

// The save path from the profile, and the core pattern written (over a longer
// one) or the reason it was not in the log and on standard error.
TEST(MonitorSetupTest, SavePathAndCorePattern)
{
    if (!Sandbox::Available())
        GTEST_SKIP() << "needs root for private mounts";
    enum PatternFile { kWritable, kReadOnly, kNotRoot };
    const std::string kSuccess = "Success: echo \"/tmp/coredump-%e-%p-%t\" > /proc/sys/kernel/core_pattern";
    const std::string kFailed = "Failed: cannot set the core pattern \"/tmp/coredump-%e-%p-%t\" in "
                                "/proc/sys/kernel/core_pattern: ";
    const std::string k61(61, 'c');
    const std::string kOld = "|/usr/share/some/long/handler %P %u %g %s %t %c %h\n";
    const struct {
        std::string profile;
        PatternFile pattern;
        std::string savePathLine, patternLine;
    } cases[] = {
        {"HWKEY_ENABLE=0\n", kWritable, "corefile save path:./", kSuccess},
        // 63 characters fit the buffer; 64 do not and fall back.
        {"COREFILE_PATH=/" + k61 + "/\n", kWritable, "corefile save path:/" + k61 + "/", kSuccess},
        {"COREFILE_PATH=/" + k61 + "c/\n", kWritable, "corefile save path:./", kSuccess},
        {"COREFILE_PATH=./cores/\n", kReadOnly, "corefile save path:./cores/", kFailed + strerror(EROFS)},
        {"", kNotRoot, "corefile save path:./", kFailed + strerror(EACCES) + " (superuser rights are needed)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.profile + c.patternLine);
        Sandbox sb;
        ASSERT_TRUE(Write(sb.path("device.conf"), c.profile));
        ASSERT_TRUE(Write(sb.path("/proc/sys/kernel/core_pattern"), kOld));
        const PatternFile how = c.pattern;
        int status = sb.Run([how] {
            Quiet();
            const char* file = "/proc/sys/kernel/core_pattern";
            const unsigned long readOnly = MS_REMOUNT | MS_BIND | MS_RDONLY;
            REQUIRE(how != kReadOnly || (mount(file, file, nullptr, MS_BIND, nullptr) == 0 &&
                                         mount(nullptr, file, nullptr, readOnly, nullptr) == 0));
            REQUIRE(how != kNotRoot || (chmod(".", 0777) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                                        setresuid(65534, 65534, 65534) == 0));
            // Started and stopped at once: the destructor must wait for the
            // watcher, whatever it is doing.
            dumpMonitor* monitor = new dumpMonitor();
            monitor->StartMonitor();
            delete monitor;
            return 0;
        });
        ASSERT_EQ(status, 0);
        const std::string info = MainLog(sb, "tapfuzz.log");
        EXPECT_EQ(CountLines(info, "[INFO]" + c.savePathLine), 1u) << info;
        EXPECT_EQ(CountLines(info, "[INFO]" + c.patternLine), 1u) << info;
        EXPECT_EQ(Read(sb.path("/proc/sys/kernel/core_pattern")), how == kWritable ? "/tmp/coredump-%e-%p-%t\n" : kOld);
        EXPECT_EQ(Read(sb.path("console.txt")).find("tapfuzz: cannot set the core pattern") != std::string::npos,
                  how != kWritable);
    }
}

}  // namespace
