// Problem: tapfuzz runs as root while anyone may write into /tmp and the
// disk the logs are on may fill up.
// Solution: the shipped tapfuzz run by count in a sandbox against hostile
// /tmp entries, one table row each, driven by a shell script inside the
// sandbox (mounts, signals and the final listing happen there); and the
// Logger against a disk that is full for 200 lines, with tail as the echo.
#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <glob.h>
#include <sstream>
#include <string>
#include <vector>

#include <elf.h>
#include <signal.h>

#include "base/log_text.h"
#include "base/logger.h"
#include "sandbox.h"

namespace {

size_t Count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

std::string MainLog(const Sandbox& sb)
{
    glob_t g{};
    std::string text;
    if (glob(sb.path("results/tapfuzz*/tapfuzz.log").c_str(), 0, nullptr, &g) == 0)
        text = Sandbox::ReadFile(g.gl_pathv[0]);
    globfree(&g);
    return text;
}

template <class T>
std::string Bytes(const T& v)
{
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

Elf64_Ehdr Header(uint16_t type)
{
    Elf64_Ehdr e{};
    memcpy(e.e_ident, ELFMAG, SELFMAG);
    e.e_ident[EI_CLASS] = ELFCLASS64;
    e.e_ident[EI_DATA] = ELFDATA2LSB;
    e.e_ident[EI_VERSION] = e.e_version = EV_CURRENT;
    e.e_type = type;
    e.e_machine = EM_X86_64;
    e.e_phoff = e.e_ehsize = sizeof e;
    e.e_phentsize = sizeof(Elf64_Phdr);
    e.e_phnum = 1;
    return e;
}

// A module whose symbol table is as large as the signature reads (16 MB),
// and a core of headers and notes only (under 600 bytes, as anyone may
// plant) with SIGSEGV at 0x1000 into it: each such dump costs a whole table.
std::string BigModule()
{
    Elf64_Sym sym{};
    sym.st_name = 1;
    sym.st_info = ELF64_ST_INFO(STB_GLOBAL, STT_FUNC);
    sym.st_shndx = 1;
    std::string syms(sizeof sym, '\0');
    for (size_t i = 1; i < (16u << 20) / sizeof sym; ++i)
        syms += Bytes(sym);
    Elf64_Shdr sh[3] = {};
    sh[1].sh_type = SHT_SYMTAB, sh[1].sh_offset = 120, sh[1].sh_size = syms.size(), sh[1].sh_link = 2;
    sh[1].sh_entsize = sizeof sym;
    sh[2].sh_type = SHT_STRTAB, sh[2].sh_offset = 120 + syms.size(), sh[2].sh_size = 3;
    Elf64_Ehdr e = Header(ET_DYN);
    e.e_shoff = sh[2].sh_offset + 3, e.e_shentsize = sizeof sh[0], e.e_shnum = 3;
    Elf64_Phdr p{};
    p.p_type = PT_LOAD, p.p_filesz = p.p_memsz = 120;
    return Bytes(e) + Bytes(p) + syms + std::string("\0f\0", 3) + Bytes(sh);
}

std::string PlantedCore(const std::string& module)
{
    const uint64_t start = 0x555555554000, files[5] = {1, 4096, start, start + 0x100000, 0};
    uint64_t status[42] = {};  // x86-64 prstatus: pr_cursig at byte 12, rip at 240
    status[1] = uint64_t(SIGSEGV) << 32, status[30] = start + 0x1000;
    std::string notes, name = Bytes(files) + module;
    name.resize((name.size() + 4) & ~size_t(3));
    for (const auto& [type, desc] : {std::pair<uint32_t, std::string>{NT_PRSTATUS, Bytes(status)}, {0x46494c45, name}}) {
        const uint32_t head[3] = {5, static_cast<uint32_t>(desc.size()), type};
        notes += Bytes(head) + std::string("CORE\0\0\0\0", 8) + desc;
    }
    Elf64_Phdr p{};
    p.p_type = PT_NOTE, p.p_offset = 120, p.p_filesz = notes.size(), p.p_align = 4;
    return Bytes(Header(ET_CORE)) + Bytes(p) + notes;
}

struct HostileCase {
    const char* name;
    std::string profile;  // added to the library and save path
    std::string setup;    // shell, before tapfuzz starts
    std::string during;   // shell, while it runs ($pid)
    int status;
    std::vector<std::string> listed, unlisted;  // in `ls -A saved /tmp` afterwards
    std::string onceInLog;
    size_t times = 1;  // of onceInLog
    std::string count = "";  // gestures: "" for 40, or 100000 with `during`
    size_t planted = 0;      // dumps planted by uid 65534 (PlantedCore), each in /tmp or saved afterwards
};

// An x86-64 core of a SIGSEGV 0x10 into `lib`, the last of `maps` mappings,
// the others of long-named libraries: its NT_FILE note is as large as they
// make it (30,000 take 2 MB).
std::string ManyMappings(size_t maps, const std::string& lib)
{
    auto word = [](uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); };
    auto note = [](uint32_t type, const std::string& desc) {
        const uint32_t head[3] = {5, static_cast<uint32_t>(desc.size()), type};
        std::string n = std::string(reinterpret_cast<const char*>(head), 12) + std::string("CORE\0\0\0\0", 8) + desc;
        return n.resize((n.size() + 3) & ~size_t(3)), n;
    };
    std::string status(336, '\0'), table = word(maps) + word(4096), names;
    status[12] = SIGSEGV;
    for (size_t i = 0; i < maps; ++i) {
        table += word(0x100000000ull + i * 0x1000) + word(0x100001000ull + i * 0x1000) + word(0);
        names += (i + 1 == maps ? lib : "/usr/lib/a-folder-of-plugins/libplugin" + std::to_string(i) + ".so") + '\0';
    }
    const uint64_t pc = 0x100000010ull + (maps - 1) * 0x1000;
    memcpy(&status[112 + 16 * 8], &pc, 8);
    const std::string notes = note(NT_PRSTATUS, status) + note(NT_FILE, table + names);
    Elf64_Ehdr eh{};
    memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64, eh.e_ident[EI_DATA] = ELFDATA2LSB, eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_CORE, eh.e_machine = EM_X86_64, eh.e_version = EV_CURRENT, eh.e_phoff = sizeof eh;
    eh.e_ehsize = sizeof eh, eh.e_phentsize = sizeof(Elf64_Phdr), eh.e_phnum = 1;
    Elf64_Phdr ph{};
    ph.p_type = PT_NOTE, ph.p_offset = sizeof eh + sizeof ph, ph.p_filesz = notes.size();
    return std::string(reinterpret_cast<const char*>(&eh), sizeof eh) +
           std::string(reinterpret_cast<const char*>(&ph), sizeof ph) + notes;
}

const std::string kReal = "echo real > /tmp/coredump-real-2-1700000000; ";
const std::string kSaved = "coredump-real-2-2023-11-14_22:13:20";
const std::string kSecret = "echo secret > /tmp/secret && chmod 600 /tmp/secret; ";

const std::string kPlant = "mount -t tmpfs -o size=64m tmpfs saved";
const std::string kAtFinish = "until grep -qs 'tapfuzz finish' results/*/tapfuzz.log; do sleep 0.02; done; "
                              "date +%s%N > t0; ";

const HostileCase kHostile[] = {
    {"fifo swapped in at the open", "", kReal + "echo x > /tmp/coredump-swap-1-1700000000", "", 0, {kSaved},
     {"coredump-swap-1-2023"}, ""},
    {"sparse 1 GB to a small disk, and a dump that would fill it", "COREFILE_MAX_MB=2048\n",
     "mount -t tmpfs -o size=64m tmpfs saved && truncate -s 1G /tmp/coredump-sparse-3-1700000000 && "
     "head -c 56M /dev/zero > /tmp/coredump-fat-7-1700000000",
     "", 0, {"1073741824 0 coredump-sparse-3-2023", "coredump-fat-7-1700000000"}, {"coredump-fat-7-2023"},
     "cannot move /tmp/coredump-fat-7-1700000000: cannot copy into ./saved/: No space left on device (the copy "
     "would leave less than 16 MB free); it stays there and is tried again in a minute"},
    {"hard link to a private file", "", kSecret + "ln /tmp/secret /tmp/coredump-hl-4-1700000000", "", 0,
     {"coredump-hl-4-1700000000"}, {"coredump-hl-4-2023"},
     "not moved: /tmp/coredump-hl-4-1700000000 has 2 names (hard links): not a dump the kernel wrote"},
    {"symlink to a private file", "", kReal + kSecret + "ln -s /tmp/secret /tmp/coredump-sym-5-1700000000", "", 0,
     {"coredump-sym-5-1700000000", kSaved}, {"coredump-sym-5-2023"}, ""},
    {"dump over the limit", "COREFILE_MAX_MB=1\n", "head -c 2M /dev/urandom > /tmp/coredump-big-6-1700000000", "", 0,
     {"coredump-big-6-1700000000"}, {"coredump-big-6-2023"},
     "cannot move /tmp/coredump-big-6-1700000000: 2 MB, more than the COREFILE_MAX_MB limit of 1 MB"},
    {"SIGINT during a long copy", "", "head -c 32M /dev/zero > /tmp/coredump-slow-8-1700000000",
     "for i in $(seq 600); do ls -A saved | grep -q tapfuzz-part && echo part-seen >> report && break; sleep 0.05; "
     "done; kill -INT $pid", 0, {"part-seen", "coredump-slow-8-1700000000"}, {"coredump-slow-8-2023"}, ""},
    // Planted by nobody: a name with a one-character CSI (U+009B) and a
    // right-to-left override (U+202E) is escaped in the log.
    {"C1 and bidirectional controls in a name", "",
     "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c \"echo x > /tmp/$(printf 'coredump-a\\302\\2332J\\342\\200\\256b-9-1700000000')\"",
     "", 0, {}, {}, "mv /tmp/coredump-a\\xc2\\x9b2J\\xe2\\x80\\xaeb-9-1700000000 "},
    // The library of one name in two folders: two crashes, one of them read
    // from an NT_FILE note of 2 MB.
    {"NT_FILE past a megabyte, one library name in two folders", "",
     "cp one.core /tmp/coredump-one-8-1700000000 && cp many.core /tmp/coredump-many-9-1700000000", "", 0, {}, {},
     "crash signature:SIGSEGV libsame.so+0x10 new", 2},
    {"save path inside /tmp", "COREFILE_PATH=/tmp/\n", "", "", 1, {}, {},
     "the corefile save path /tmp/ lies in /tmp/, where new dumps are looked for"},
    // 3,000 dumps planted by nobody, each a signature read of 16 MB and a
    // copy to another file system: the end cuts the last pass short.
    {"3,000 planted dumps at the run's end", "", kPlant, kAtFinish, 0, {"coredump-plant-999-1700000000"}, {},
     "not saved by the run's end; the next run saves them", 1, "10", 3000},
    {"SIGINT 2 s after the finish, 3,000 planted dumps", "", kPlant, kAtFinish + "sleep 2; kill -INT $pid", 0,
     {"coredump-plant-999-1700000000"}, {}, "not saved by the run's end; the next run saves them", 1, "10", 3000},
};

TEST(HostileTmpTest, RunEndsOnTimeWithWholeLogsAndNoPartFile)
{
    if (!Sandbox::Available())
        GTEST_SKIP() << "needs root for private namespaces";
    const std::string lib = FEEDINPUT_LIB;
    for (const HostileCase& c : kHostile) {
        SCOPED_TRACE(c.name);
        Sandbox sb;
        // The first line of a key wins: the row's save path comes first.
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("device.conf"), c.profile + "LIBLARAY_PATH=" +
                                                                   lib.substr(0, lib.rfind('/') + 1) +
                                                                   "\nCOREFILE_PATH=./saved/\n"));
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("/dev/fb0"), ""));
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("/dev/input/event0"), ""));
        ASSERT_EQ(mkdir(sb.path("saved").c_str(), 0755), 0);
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("one.core"), ManyMappings(1, "/opt/a/libsame.so")));
        ASSERT_TRUE(Sandbox::WriteFile(sb.path("many.core"), ManyMappings(30000, "/opt/b/libsame.so")));
        ASSERT_TRUE(c.planted == 0 || Sandbox::WriteFile(sb.path("/tmp/bigmodule.so"), BigModule()));
        for (size_t i = 0; i < c.planted; ++i) {
            const std::string dump = sb.path("/tmp/coredump-plant-" + std::to_string(i) + "-1700000000");
            ASSERT_TRUE(Sandbox::WriteFile(dump, PlantedCore("/tmp/bigmodule.so")) && chown(dump.c_str(), 65534, 65534) == 0);
        }
        // The preloaded shims come before a sanitizer runtime.
        const std::string run = "env ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 "
                                "LD_PRELOAD='" FBSHIM_LIB " " SWAPSHIM_LIB "' TZ=UTC TAPFUZZ_TEST_FB=800x480 " +
                                std::string(c.during.empty() ? "" : "TAPFUZZ_TEST_SLOW_COPY=1 ") + TAPFUZZ_BIN +
                                " --throttle 100 " + (!c.count.empty() ? c.count : c.during.empty() ? "40" : "100000");
        const std::string script = c.setup + "\n" + run + " & pid=$!\n" + c.during +
                                   "\nwait $pid; echo rc=$? >> report\n[ ! -f t0 ] || echo \"finish to exit: $(( "
                                   "($(date +%s%N) - $(cat t0)) / 1000000 )) ms\" >> report\ncd saved && stat -c '%s %b %n' * .[!.]* "
                                   ">> ../report 2>/dev/null; ls -A /tmp >> ../report; echo end >> ../report\n";
        SandboxProcess p = sb.Start({"/bin/sh", "-c", script});
        std::string report;
        for (int i = 0; i < 600 && Count(report = Sandbox::ReadFile(sb.path("report")), "\nend\n") == 0; ++i)
            usleep(100000);  // a bound against a hang, not a speed check
        if (Count(report, "\nend\n") == 0)
            p.Kill(SIGKILL);
        p.Wait();
        EXPECT_EQ(Count(report, "rc=" + std::to_string(c.status) + "\n"), 1u)
            << report << Sandbox::ReadFile(sb.root() + "/err.txt");
        for (const std::string& name : c.listed)
            EXPECT_NE(report.find(name), std::string::npos) << name << "\n" << report;
        for (const std::string& name : c.unlisted)
            EXPECT_EQ(report.find(name), std::string::npos) << name << "\n" << report;
        EXPECT_EQ(report.find("tapfuzz-part"), std::string::npos) << report;
        const std::string log = MainLog(sb);
        EXPECT_TRUE(c.onceInLog.empty() || Count(log, c.onceInLog) == c.times) << c.onceInLog << "\n" << log;
        // Nothing that steers a terminal or a line's direction, in the log
        // or on stderr.
        for (const std::string& text : {log, Sandbox::ReadFile(sb.root() + "/err.txt")})
            for (size_t i = 0, n; i < text.size(); i += std::max<size_t>(n, 1))
                EXPECT_FALSE((n = utf8Length(text.data() + i, text.size() - i)) > 1 && steersText(text.data() + i, n)) << text;
        EXPECT_EQ(Count(log, "][INFO]// tapfuzz finish\n"),
                  c.status == 0 && (c.during.empty() || !c.count.empty()) ? 1u : 0u) << log;
        // Saved (the stat line ends with the saved name) or left in /tmp;
        // none read once the end began but the one under way.
        const size_t saved = Count(report, "22:13:20\n");
        EXPECT_TRUE(c.planted == 0 || Count(report, "-1700000000\n") + saved == c.planted);
        EXPECT_TRUE(c.planted == 0 || Count(log, "[CRASH][Coredump]") <= saved + 1) << saved << "\n" << log;
        const size_t took = report.find("finish to exit: ");
        if (took != std::string::npos)
            printf("%s: %s\n", c.name, report.substr(took, report.find('\n', took) - took).c_str());
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(line.rfind("[", 0) == 0 || line.rfind("//  ", 0) == 0) << line;
        EXPECT_EQ(Sandbox::ReadFile(sb.path("/proc/sys/kernel/core_pattern")),
                  c.status == 0 ? "/tmp/coredump-%e-%p-%t\n" : "");
    }
}

// 200 lines while the disk is full, then room again: each line reaches the
// console once (through the echo from the file, or directly), the echo
// never reports a cut file, and the lines after the outage are in the file.
TEST(HostileTmpTest, FullDiskLinesReachTheConsoleOnceAndTheFileAfterwards)
{
    if (!Sandbox::Available())
        GTEST_SKIP() << "needs root for private namespaces";
    Sandbox sb;
    int status = sb.Run([] {
        int out = open("console.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
        int err = open("err.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || mkdir("results", 0755) != 0 ||
            mount("tmpfs", "results", "tmpfs", 0, "size=32k") != 0)
            return 90;
        LOG(INFO) << "first";
        {
            std::ofstream filler("results/filler");
            for (std::string block(512, 'f'); filler.write(block.data(), block.size()).flush();) {
            }
        }
        for (int i = 0; i < 200; ++i)
            LOG(INFO) << "refused " << i << " " << std::string(40, 'r');
        unlink("results/filler");
        sleep(1);
        for (int i = 0; i < 3; ++i)
            LOG(INFO) << "after " << i;
        for (int i = 0; i < 100 && Count(Sandbox::ReadFile("console.txt"), "]after 2") == 0; ++i)
            usleep(50000);  // the echo catching up
        Logger::stopEcho();
        return system("cat results/tapfuzz*/tapfuzz.log > log.txt");
    });
    ASSERT_EQ(status, 0);
    const std::string console = Sandbox::ReadFile(sb.path("console.txt")), log = Sandbox::ReadFile(sb.path("log.txt"));
    for (int i = 0; i < 200; ++i) {
        const std::string line = "]refused " + std::to_string(i) + " ";
        // A line in the file may predate the echo's start; one the file
        // refused must be on the console.
        size_t inFile = Count(log, line), shown = Count(console, line);
        ASSERT_TRUE(inFile <= 1 && shown <= 1 && inFile + shown >= 1) << i << "\n" << log << "\n" << console;
    }
    EXPECT_EQ(Count(log, "]refused 199 "), 0u) << log;
    EXPECT_EQ(Count(Sandbox::ReadFile(sb.path("err.txt")), "truncated"), 0u);
    EXPECT_EQ(Count(log, "]after "), 3u) << log;
    EXPECT_EQ(Count(console, "]after "), 3u) << console;
}

}  // namespace
