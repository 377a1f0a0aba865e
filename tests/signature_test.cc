// The dump signature against a debugger reading the same crash (gdb names
// the signal, the pc, its symbol and the mappings itself), and against
// damaged and hostile dumps, which give `unknown`, or no symbol where only
// the module is bad, without reading out of bounds (the ASan build checks).
#include <elf.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "watch/core_signature.h"
#include "watch/unwind.h"

namespace {

const std::string kProgram = "crasher_with_a_long_name";

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

void spill(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string output(const std::string& command)
{
    std::string out;
    char buf[4096];
    FILE* p = popen(command.c_str(), "r");
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    if (p)
        pclose(p);
    return out;
}

bool have(const std::string& tool)
{
    return system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string hex(uint64_t v)
{
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

uint64_t number(const std::string& out, const std::string& pattern)
{
    std::smatch m;
    return std::regex_search(out, m, std::regex(pattern)) ? std::stoull(m[1], nullptr, 0) : 0;
}

// gdb's "write_null + 9 in section .text" as "write_null+0x9"; "" for none.
std::string symbolOf(const std::string& out)
{
    std::smatch m;
    if (!std::regex_search(out, m, std::regex("\n([^ \n]+)(?: \\+ (\\d+))? in section")))
        return "";
    return " " + m[1].str() + "+" + hex(m[2].matched ? std::stoull(m[2]) : 0);
}

std::string patch(std::string data, size_t at, uint64_t value, size_t bytes)
{
    memcpy(&data[at], &value, bytes);  // little-endian, as the dumps read here
    return data;
}

// The signature's words for the pc alone, as gdb names it.
std::string pcText(const CoreSignature& sig)
{
    return !sig.known ? "unknown" : sig.signal + " " + sig.module + "+" + hex(sig.offset) +
                                        (sig.symbol.empty() ? "" : " " + sig.symbol + "+" + hex(sig.symbolOffset));
}

CoreSignature signatureOf(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    CoreSignature sig = readCoreSignature(fd);
    if (fd >= 0)
        close(fd);
    return sig;
}

class Signature : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "signature.XXXXXX";
        char* made = mkdtemp(name);
        ASSERT_TRUE(made);
        char* full = realpath(made, nullptr);
        dir = full;
        free(full);
        spill(dir + "/" + kProgram, slurp(CRASHER_BIN));
        chmod((dir + "/" + kProgram).c_str(), 0755);
    }
    void TearDown() override { (void)!system(("rm -rf '" + dir + "'").c_str()); }

    // Runs the crasher at `site` under gdb, which writes the dump and says
    // what it saw; the text the signature must have. "" when gdb cannot run.
    std::string crash(const std::string& site, bool aslr, std::string* core)
    {
        *core = dir + "/core." + site + (aslr ? ".aslr" : "");
        spill(dir + "/frames.py", "f = gdb.newest_frame()\nwhile f is not None:\n"
                                  "    print('frame %x' % f.pc())\n    f = f.older()\n");
        std::string out = output("gdb -batch -nx -iex 'set debug-file-directory /nonexistent' -iex "
            "'set debuginfod enabled off' -iex 'set disable-randomization " + std::string(aslr ? "off" : "on") +
            "' -ex run -ex 'gcore " + *core + "' -ex 'p/x $pc' -ex 'info symbol $pc' -ex 'info proc mappings' "
            "-ex 'source " + dir + "/frames.py' --args " + dir + "/" + kProgram + " " + site + " 2>&1");
        frames.clear();
        const std::regex frame("\nframe ([0-9a-f]+)");
        for (std::sregex_iterator m(out.begin(), out.end(), frame), end; m != end; ++m)
            frames.push_back(std::stoull((*m)[1], nullptr, 16));
        std::smatch signal;
        if (out.find("Saved corefile") == std::string::npos ||
            !std::regex_search(out, signal, std::regex("received signal (SIG[A-Z]+)")))
            return "";
        // The mapping holding pc names the module; the module's mapping at
        // file offset 0 is its load address.
        const uint64_t pc = number(out, "\\$1 = (0x[0-9a-f]+)");
        const std::regex row("\n *(0x[0-9a-f]+) +(0x[0-9a-f]+) +0x[0-9a-f]+ +(0x[0-9a-f]+) +(?:[rwxps-]{4} +)?(/[^\n]*)");
        std::string module, text;
        for (std::sregex_iterator m(out.begin(), out.end(), row), end; m != end; ++m)
            if (std::stoull((*m)[1], nullptr, 0) <= pc && pc < std::stoull((*m)[2], nullptr, 0))
                module = (*m)[4];
        for (std::sregex_iterator m(out.begin(), out.end(), row), end; m != end; ++m)
            if ((*m)[4] == module && std::stoull((*m)[3], nullptr, 0) == 0 && text.empty()) {
                const std::string at = "+" + hex(pc - std::stoull((*m)[1], nullptr, 0));
                text = signal[1].str() + " " + module.substr(module.rfind('/') + 1) + at;
                key = signal[1].str() + "," + module + at;
            }
        return text + symbolOf(out);
    }

    std::string dir, key;  // the last crash's key as gdb's mappings give it
    std::vector<uint64_t> frames;  // and its backtrace's pcs as gdb walked it
};

// gdb's own reading of each crash site; one site twice, once at other
// addresses: the same key. Different sites: different keys.
TEST_F(Signature, CrashSitesAsTheDebuggerSeesThem)
{
    if (!have("gdb"))
        GTEST_SKIP() << "gdb is not installed";
    const struct { const char* site; bool aslr; } sites[] = {{"segv", false}, {"segv", true}, {"fpe", false},
                                                             {"abort", false}, {"lib", false}};
    std::set<std::string> keys;
    for (const auto& s : sites) {
        SCOPED_TRACE(std::string(s.site) + (s.aslr ? " with randomized addresses" : ""));
        std::string core, expected = crash(s.site, s.aslr, &core);
        if (expected.empty())
            GTEST_SKIP() << "gdb could not run the crasher and write its dump (ptrace refused?)";
        CoreSignature sig = signatureOf(core);
        EXPECT_EQ(expected, pcText(sig));
        EXPECT_EQ(key, sig.signal + "," + sig.modulePath + "+" + hex(sig.offset));
        keys.insert(sig.key());
    }
    EXPECT_EQ(4u, keys.size());
}

// Crashes whose pc alone cannot tell them apart: the walk finds gdb's
// frames (up to main, where gdb stops, or the walk's 32), the key's frames
// are the named functions past the abort and assert machinery, and each bug
// has a key of its own, the same wherever its program was loaded.
TEST_F(Signature, BacktracesAsTheDebuggerSeesThem)
{
    if (!have("gdb"))
        GTEST_SKIP() << "gdb is not installed";
    // The key's three frames by their symbols, "*" for a frame outside the
    // program (a libc function, whose name depends on the machine); main
    // may be split (main.cold) and end in a tail call, as the build optimises.
    const struct { const char *site, *symbols; } sites[] = {
        {"assert1", "check_width main(\\.cold)? \\S+"}, {"assert2", "check_height main(\\.cold)? \\S+"},
        {"strlen1", "\\* name_length title_width"}, {"strlen2", "\\* name_length label_width"},
        {"callback", "on_close dispatch \\S+"}, {"abort", "main(\\.cold)? \\S+ \\S+"}, {"recurse", "recurse recurse recurse"}};
    std::set<std::string> keys;
    for (const auto& s : sites)
        for (bool aslr : {false, true}) {
            SCOPED_TRACE(std::string(s.site) + (aslr ? " with randomized addresses" : ""));
            std::string core;
            if (crash(s.site, aslr, &core).empty())
                GTEST_SKIP() << "gdb could not run the crasher and write its dump (ptrace refused?)";
            CoreSignature sig = signatureOf(core);
            std::vector<uint64_t> walked;
            for (const CrashFrame& f : sig.frames)
                walked.push_back(f.pc);
            walked.resize(std::min(frames.size(), walked.size()));
            EXPECT_EQ(std::vector<uint64_t>(frames.begin(), frames.begin() + std::min(frames.size(), kMaxUnwindFrames)),
                      walked) << sig.backtrace();
            std::string symbols;
            for (size_t i = sig.first; i < sig.first + 3; ++i)
                symbols += (symbols.empty() ? "" : " ") +
                           (i >= sig.frames.size() || sig.frames[i].module != kProgram ? "*" : sig.frames[i].symbol);
            EXPECT_TRUE(std::regex_match(symbols, std::regex(s.symbols))) << symbols << "\n" << sig.backtrace();
            keys.insert(sig.key());
            EXPECT_EQ(std::string::npos, sig.key().find(' '));
        }
    EXPECT_EQ(7u, keys.size()) << ::testing::PrintToString(keys);
}

TEST_F(Signature, DamagedAndHostileDumps)
{
    std::string path, good;
    if (!have("gdb") || (good = crash("segv", false, &path)).empty())
        GTEST_SKIP() << "needs gdb to write a dump";
    const std::string core = slurp(path), program = dir + "/" + kProgram;
    const size_t second = good.find(' ', good.find(' ') + 1);
    const std::string plus = good.substr(good.find('+'), second - good.find('+')), symbol = good.substr(second);
    // The program's path in the dump replaced by a path of the same length.
    auto named = [&](const std::string& to) {
        std::string full = to[0] == '/' ? to : dir + "/" + to, d = core;
        full.insert(full.rfind('/'), program.size() - full.size(), '/');
        for (size_t at = 0; (at = d.find(program, at)) != std::string::npos; at += full.size())
            d.replace(at, program.size(), full);
        return d;
    };
    mkfifo((dir + "/fifo").c_str(), 0600);
    (void)!symlink(program.c_str(), (dir + "/link").c_str());
    (void)!link(program.c_str(), (dir + "/a b\nc").c_str());
    (void)!link(program.c_str(), (dir + "/crasher").c_str());
    spill(dir + "/cut", slurp(program).substr(0, 4096));  // headers whole, sections past its end

    const size_t status = core.find(std::string("\x05\0\0\0\x50\x01\0\0\x01\0\0\0CORE", 16));
    const size_t files = core.find(std::string("ELIFCORE\0", 9)) + 12;  // NT_FILE's count
    uint64_t notes, notesEnd;
    memcpy(&notes, &core[64 + 8], 8);  // gdb writes PT_NOTE first
    memcpy(&notesEnd, &core[64 + 32], 8);
    notesEnd += notes;
    ASSERT_TRUE(status != std::string::npos && files != std::string::npos + 12);
    const std::string sig = "SIGSEGV ";
    struct Row { std::string name, dump, expected; };
    std::vector<Row> rows = {
        {"whole", core, good}, {"empty", "", "unknown"}, {"the program, no dump", slurp(program), "unknown"},
        {"another machine", patch(core, 18, EM_AARCH64, 2), "unknown"},
        {"status note one byte longer", patch(core, status + 4, 0x151, 4), "unknown"},
        {"status note size with its top bit flipped", patch(core, status + 4, 0x80000150, 4), "unknown"},
        {"status note not the kernel's", patch(core, status + 12, 'X', 1), "unknown"},
        {"NT_FILE count 2^31", patch(core, files, 1ull << 31, 8), "unknown"},
        {"NT_FILE count 0: pc in no module", patch(core, files, 0, 8), "unknown"},
        {"notes past the end", patch(core, 64 + 8, core.size() - 100, 8), "unknown"},
        {"module a FIFO", named("fifo"), sig + "fifo" + plus}, {"module a symlink", named("link"), sig + "link" + plus},
        {"module a device", named("/dev/null"), sig + "null" + plus}, {"module gone", named("gone"), sig + "gone" + plus},
        {"module cut short", named("cut"), sig + "cut" + plus},
        {"module replaced since", named("crasher (deleted)"), sig + "crasher" + plus},
        {"module named with a blank and a newline", named("a b\nc"), sig + "a\\x20b\\nc" + plus + symbol},
        {"cut after its notes", core.substr(0, notesEnd), good},
    };
    for (size_t cut : {size_t(1), size_t(16), size_t(63), size_t(64), size_t(120), core.size() / 2, size_t(notes),
                       size_t(notes) + 12, files, files + 40, size_t(notesEnd) - 1})
        rows.push_back({"cut at " + std::to_string(cut), core.substr(0, cut), "unknown"});
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.expected, pcText(readCoreSignature(r.dump.data(), r.dump.size())));
        spill(dir + "/dump", r.dump);
        EXPECT_EQ(r.expected, pcText(signatureOf(dir + "/dump")));
    }
    // Not regular files: neither blocks.
    EXPECT_EQ("unknown", signatureOf(dir + "/fifo").text());
    EXPECT_EQ("unknown", signatureOf(dir).text());
}

// qemu-arm writes the dump of a crashing guest itself: a genuine 32-bit Arm
// core, but with registers and auxv only. The mapping table a kernel would
// add (the static program, linked at 0x10000) is appended to its notes.
TEST_F(Signature, ArmDumpFromQemu)
{
    if (std::string(ARM_CRASHER_BIN).empty() || !have("qemu-arm") || !have("gdb-multiarch") || !have("prlimit"))
        GTEST_SKIP() << "needs qemu-arm, gdb-multiarch, prlimit and arm-linux-gnueabihf-gcc";
    const std::string program = dir + "/crasher_arm";
    spill(program, slurp(ARM_CRASHER_BIN));
    chmod(program.c_str(), 0755);
    // A limit under a page: qemu keeps its dump to headers and notes, and the
    // kernel writes none of qemu itself.
    (void)!system(("cd '" + dir + "' && prlimit --core=4095 qemu-arm " + program + " segv >/dev/null 2>&1").c_str());
    std::string path = output("ls " + dir + "/qemu_crasher_arm_*.core 2>/dev/null");
    path.erase(path.find_last_not_of('\n') + 1);
    std::string core = slurp(path);
    if (core.size() <= 52)
        GTEST_SKIP() << "qemu-arm wrote no dump (core size limit?)";
    auto word = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    std::string desc = word(1) + word(4096) + word(0x10000) + word(0x100000) + word(0) + program + '\0';
    std::string note = word(5) + word(desc.size()) + word(NT_FILE) + std::string("CORE\0\0\0\0", 8) + desc;
    note.resize((note.size() + 3) & ~size_t(3));
    uint32_t phoff, type, offset, size;
    memcpy(&phoff, &core[28], 4);
    memcpy(&type, &core[phoff], 4);
    memcpy(&offset, &core[phoff + 4], 4);
    memcpy(&size, &core[phoff + 16], 4);
    ASSERT_TRUE(type == PT_NOTE && offset + size == core.size());
    spill(path + ".files", patch(core, phoff + 16, size + note.size(), 4) + note);

    std::string out = output("gdb-multiarch -batch -nx " + program + " " + path +
                             " -ex 'p/x $pc' -ex 'info symbol $pc' -ex 'p/x $lr' 2>&1");
    const uint64_t pc = number(out, "\\$1 = (0x[0-9a-f]+)"), lr = number(out, "\\$2 = (0x[0-9a-f]+)") & ~1ull;
    ASSERT_TRUE(pc && lr && out.find("signal SIGSEGV") != std::string::npos) << out;
    EXPECT_EQ("SIGSEGV crasher_arm+" + hex(pc - 0x10000) + symbolOf(out) + " from crasher_arm+" + hex(lr - 0x10000),
              signatureOf(path + ".files").text());
    EXPECT_EQ("unknown", signatureOf(path).text());  // no NT_FILE: no module known
}

}  // namespace

// A record written before modules were keyed by path, or before the stack
// was walked, still names the crash of a fresh dump; two folders' libraries
// of one name never meet.
TEST(SignatureKey, OlderKeysStillMatch)
{
    const struct { const char *a, *b; bool same; } rows[] = {
        {"SIGSEGV,/usr/bin/touchapp+0x7b6", "SIGSEGV,touchapp+0x7b6", true},
        {"SIGSEGV,touchapp+0x7b6", "SIGSEGV,/usr/bin/touchapp+0x7b6", true},
        {"SIGSEGV,/opt/a/libsame.so+0x10", "SIGSEGV,/opt/b/libsame.so+0x10", false},
        {"SIGSEGV,/usr/bin/touchapp+0x7b6", "SIGSEGV,/usr/bin/touchapp+0x7b6", true},
        {"SIGABRT,/usr/bin/touchapp+0x7b6", "SIGSEGV,touchapp+0x7b6", false},
        {"SIGSEGV,/usr/bin/touchapp+0x7b6", "SIGSEGV,touchapp+0x7b60", false},
        {"SIGSEGV,/usr/bin/xtouchapp+0x7b6", "SIGSEGV,touchapp+0x7b6", false},
        {"unknown", "SIGSEGV,touchapp+0x7b6", false},
        // Today's keys of three frames: among themselves only when equal; an
        // older key of the pc alone names the crash whose first frame it is.
        {"SIGSEGV,/usr/bin/touchapp+0x7b6,/usr/bin/touchapp+0x800,-", "SIGSEGV,/usr/bin/touchapp+0x7b6", true},
        {"SIGSEGV,touchapp+0x7b6", "SIGSEGV,/usr/bin/touchapp+0x7b6,/usr/bin/touchapp+0x800,-", true},
        {"SIGSEGV,/usr/bin/touchapp+0x7b6,/usr/bin/touchapp+0x800,-", "SIGSEGV,/usr/bin/touchapp+0x7b6,/usr/bin/touchapp+0x900,-", false},
        {"SIGABRT,/usr/bin/touchapp+0x7b6,-,-", "SIGABRT,/lib/libc.so.6+0x7b6", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(sameCrashKey(r.a, r.b), r.same) << r.a << " | " << r.b;
}
