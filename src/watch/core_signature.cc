// Problem: dumps have to be grouped by crash site on the device, from the
// dump alone: a 100 MB dump may not be read whole, and its notes, the module
// paths they name and the modules themselves come from anyone.
// Solution: one parser over a small reader seam (a descriptor read with
// pread, or a buffer for the fuzzer), templated on the ELF class: the ELF
// header, the program headers (PT_NOTE and the PT_LOAD segments), at most
// 1 MB of notes, the stack walk (watch/unwind) over the segments and the
// modules' unwind tables, then each module's section headers and one
// streamed pass over its symbol table for all its frames. Each read is
// bounded and checked against the size of its file first.
#include "watch/core_signature.h"

#include <elf.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

#include "base/files.h"
#include "base/log_text.h"
#include "base/profile.h"
#include "record/record_line.h"
#include "watch/elf_reader.h"
#include "watch/unwind.h"

#if defined(__x86_64__) || defined(__arm__)
#include <stddef.h>
#include <sys/procfs.h>
#endif

namespace {

// Kernel layouts of the dumping thread's status (struct elf_prstatus): size,
// where pr_reg starts, and the pc and lr slots in it (lr: Arm only).
// 32-bit Arm: long is 4 bytes, pr_reg is r0..r15, cpsr, orig_r0.
// x86-64: pr_reg is struct user_regs_struct, rip is its 17th word.
#if defined(__x86_64__)
static_assert(sizeof(struct elf_prstatus) == 336 && offsetof(struct elf_prstatus, pr_reg) == 112 &&
              offsetof(struct user_regs_struct, rip) == 16 * 8, "x86-64 prstatus layout");
#elif defined(__arm__)
static_assert(sizeof(struct elf_prstatus) == 148 && offsetof(struct elf_prstatus, pr_reg) == 72,
              "Arm prstatus layout");
#endif

constexpr uint64_t kMaxNotes = 1 << 20;
// NT_FILE is read whole however far it reaches past kMaxNotes, up to this:
// the kernel writes at most 4 MB of it by default, 65,530 mappings (the
// default vm.max_map_count) of paths 200 bytes long on 64 bits take 14.4 MB.
constexpr uint64_t kMaxFileNote = 16 << 20;
constexpr size_t kMaxModulePath = 240;  // the last bytes of a module's folder kept in the key
constexpr uint64_t kMaxSymtab = 16 << 20;
constexpr size_t kMaxHeaders = 4096;  // module program and section headers
constexpr size_t kMaxSymbolName = 512;
constexpr size_t kMaxModuleName = 255;
constexpr size_t kChunk = 64 << 10;
constexpr size_t kKeyFrames = 3;
// Stack bytes a walk may read from the dump: 32 frames of a few words each,
// and room for Arm's pops of many registers.
constexpr size_t kMaxStackRead = 256 << 10;

template <class T>
T fieldAt(const std::vector<char>& buf, uint64_t at)
{
    T v;
    memcpy(&v, buf.data() + at, sizeof v);
    return v;
}

struct Elf32 {
    using Ehdr = Elf32_Ehdr;
    using Phdr = Elf32_Phdr;
    using Shdr = Elf32_Shdr;
    using Sym = Elf32_Sym;
    using Word = uint32_t;
    static constexpr unsigned char kClass = ELFCLASS32;
    static constexpr uint16_t kMachine = EM_ARM;
    static constexpr uint64_t kPrstatus = 148, kRegs = 72, kPc = 15;
    // r0..r15, cpsr: pr_reg's own order.
    static constexpr unsigned kRegOrder[17] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    static constexpr UnwindArch kArch = UnwindArch::Arm;
    static unsigned type(const Sym& s) { return ELF32_ST_TYPE(s.st_info); }
    static unsigned bind(const Sym& s) { return ELF32_ST_BIND(s.st_info); }
};

struct Elf64 {
    using Ehdr = Elf64_Ehdr;
    using Phdr = Elf64_Phdr;
    using Shdr = Elf64_Shdr;
    using Sym = Elf64_Sym;
    using Word = uint64_t;
    static constexpr unsigned char kClass = ELFCLASS64;
    static constexpr uint16_t kMachine = EM_X86_64;
    static constexpr uint64_t kPrstatus = 336, kRegs = 112, kPc = 16;
    // DWARF's rax, rdx, rcx, rbx, rsi, rdi, rbp, rsp, r8..r15, rip as
    // words of user_regs_struct (r15, r14, r13, r12, rbp, rbx, r11, r10,
    // r9, r8, rax, rcx, rdx, rsi, rdi, orig_rax, rip, cs, eflags, rsp).
    static constexpr unsigned kRegOrder[17] = {10, 12, 11, 5, 13, 14, 4, 19, 9, 8, 7, 6, 3, 2, 1, 0, 16};
    static constexpr UnwindArch kArch = UnwindArch::X86_64;
    static unsigned type(const Sym& s) { return ELF64_ST_TYPE(s.st_info); }
    static unsigned bind(const Sym& s) { return ELF64_ST_BIND(s.st_info); }
};

template <class E>
bool ofMachine(const typename E::Ehdr& h)
{
    return memcmp(h.e_ident, ELFMAG, SELFMAG) == 0 && h.e_ident[EI_CLASS] == E::kClass &&
           h.e_ident[EI_DATA] == ELFDATA2LSB && h.e_machine == E::kMachine;
}

// Log text that also keeps its blanks from splitting the signature, and
// its commas from passing for the key's own.
std::string escapeName(std::string_view name, size_t max)
{
    std::string text = escapeLogText(std::string(name.substr(0, max))), out;
    for (char c : text)
        out += c == ' ' ? std::string("\\x20") : c == ',' ? std::string("\\x2c") : std::string(1, c);
    return out;
}

std::string hex(uint64_t v)
{
    char buf[24];
    snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

const char* signalName(int sig)
{
    static const char* const names[] = {
        "SIGHUP", "SIGINT", "SIGQUIT", "SIGILL", "SIGTRAP", "SIGABRT", "SIGBUS", "SIGFPE", "SIGKILL", "SIGUSR1",
        "SIGSEGV", "SIGUSR2", "SIGPIPE", "SIGALRM", "SIGTERM", "SIGSTKFLT", "SIGCHLD", "SIGCONT", "SIGSTOP",
        "SIGTSTP", "SIGTTIN", "SIGTTOU", "SIGURG", "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH",
        "SIGIO", "SIGPWR", "SIGSYS"};
    return sig >= 1 && sig <= 31 ? names[sig - 1] : nullptr;
}

// One entry of NT_FILE: [start, end) maps the file from page `pgoff` on.
struct Mapping {
    uint64_t start, end, pgoff;
    std::string_view path;
};

// Where `addr` lies: the file's path and addr's offset from the start of the
// file's mapping at file offset 0 (the nearest one below it).
bool locate(const std::vector<Mapping>& maps, uint64_t addr, std::string_view* path, uint64_t* offset)
{
    auto hit = std::find_if(maps.begin(), maps.end(), [&](const Mapping& m) { return m.start <= addr && addr < m.end; });
    if (hit == maps.end())
        return false;
    const Mapping* base = nullptr;
    for (const Mapping& m : maps)
        if (m.path == hit->path && m.pgoff == 0 && m.start <= addr && (!base || m.start > base->start))
            base = &m;
    if (!base)
        return false;
    *path = hit->path;
    *offset = addr - base->start;
    return true;
}

// A name from a string table: at most kMaxSymbolName bytes of it; false when
// it is empty or runs off the end of its table.
template <class Shdr>
bool symbolName(const Reader& file, const Shdr& strings, uint32_t at, std::string* name)
{
    if (at >= strings.sh_size)
        return false;
    std::vector<char> text(static_cast<size_t>(std::min<uint64_t>(kMaxSymbolName, strings.sh_size - at)));
    if (!file.readAt(strings.sh_offset + at, text.data(), text.size()))
        return false;
    auto end = std::find(text.begin(), text.end(), '\0');
    if (end == text.begin() || (end == text.end() && text.size() < kMaxSymbolName))
        return false;
    name->assign(text.begin(), end);
    return true;
}

// A module offset whose nearest symbol is wanted, and where it goes.
struct SymbolQuery {
    uint64_t offset;
    std::string* name;
    uint64_t* into;
    // The scan's state: the best symbol so far and its aliases.
    bool found = false, foundFunc = false;
    uint64_t addr = 0, bestValue = 0;
    std::vector<uint32_t> tied = {};
};

// The nearest symbol to each query's offset in the module at `path`, as
// name + offset, in one pass over its table.
template <class E>
void findSymbols(const std::string& path, std::vector<SymbolQuery>& queries)
{
    using Shdr = typename E::Shdr;
    using Sym = typename E::Sym;
    uint64_t size = 0;
    Fd fd(openModuleFile(path, &size));
    if (fd.get() < 0)
        return;
    FdReader file(fd.get(), size);

    typename E::Ehdr eh;
    if (!file.getAt(0, &eh) || !ofMachine<E>(eh) || (eh.e_type != ET_EXEC && eh.e_type != ET_DYN) ||
        eh.e_phentsize != sizeof(typename E::Phdr) || eh.e_shentsize != sizeof(Shdr) || eh.e_phnum > kMaxHeaders ||
        eh.e_shnum > kMaxHeaders)
        return;
    // The dump's offsets count from the file's start; symbols are virtual
    // addresses: the first PT_LOAD relates the two.
    std::vector<typename E::Phdr> ph(eh.e_phnum);
    std::vector<Shdr> sh(eh.e_shnum);
    if (!file.readAt(eh.e_phoff, ph.data(), ph.size() * sizeof ph[0]) ||
        !file.readAt(eh.e_shoff, sh.data(), sh.size() * sizeof sh[0]))
        return;
    auto load = std::find_if(ph.begin(), ph.end(), [](const typename E::Phdr& p) { return p.p_type == PT_LOAD; });
    if (load == ph.end())
        return;
    for (SymbolQuery& q : queries)
        q.addr = static_cast<typename E::Word>(q.offset + load->p_vaddr - load->p_offset);

    auto table = std::find_if(sh.begin(), sh.end(), [](const Shdr& s) { return s.sh_type == SHT_SYMTAB; });
    if (table == sh.end())
        table = std::find_if(sh.begin(), sh.end(), [](const Shdr& s) { return s.sh_type == SHT_DYNSYM; });
    if (table == sh.end() || table->sh_entsize != sizeof(Sym) || table->sh_size > kMaxSymtab ||
        !file.fits(table->sh_offset, table->sh_size) || table->sh_link >= sh.size())
        return;
    const Shdr& strings = sh[table->sh_link];
    if (strings.sh_type != SHT_STRTAB || !file.fits(strings.sh_offset, strings.sh_size))
        return;

    // Aliases share an address (fclose, _IO_fclose): the greatest name wins,
    // as in a debugger's listing, so the first of its kind is not a matter of
    // table order.
    std::vector<Sym> chunk(kChunk / sizeof(Sym));
    const uint64_t count = table->sh_size / sizeof(Sym);
    for (uint64_t done = 0; done < count;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), count - done));
        if (!file.readAt(table->sh_offset + done * sizeof(Sym), chunk.data(), n * sizeof(Sym)))
            return;
        done += n;
        for (size_t i = 0; i < n; ++i) {
            const Sym& s = chunk[i];
            unsigned type = E::type(s);
            bool func = type == STT_FUNC || type == STT_GNU_IFUNC;
            // Arm's mapping symbols ($a, $t, $d) are local NOTYPE labels.
            if (s.st_name == 0 || s.st_shndx == SHN_UNDEF || s.st_shndx >= SHN_LORESERVE ||
                (!func && type != STT_OBJECT && type != STT_NOTYPE) || (type == STT_NOTYPE && E::bind(s) == STB_LOCAL))
                continue;
            // A Thumb function's value carries the Thumb bit.
            uint64_t value = func && E::kMachine == EM_ARM ? s.st_value & ~uint64_t(1) : s.st_value;
            for (SymbolQuery& q : queries) {
                if (value > q.addr || (s.st_size != 0 && q.addr - value >= s.st_size))
                    continue;
                if (!q.found || (func && !q.foundFunc) || (func == q.foundFunc && value > q.bestValue))
                    q.found = true, q.foundFunc = func, q.bestValue = value, q.tied.assign(1, s.st_name);
                else if (func == q.foundFunc && value == q.bestValue && q.tied.size() < 16)
                    q.tied.push_back(s.st_name);
            }
        }
    }
    for (SymbolQuery& q : queries) {
        std::string best, text;
        for (uint32_t at : q.tied)
            if (symbolName(file, strings, at, &text) && text > best)
                best = text;
        if (!best.empty())
            *q.name = escapeName(best, kMaxSymbolName), *q.into = q.addr - q.bestValue;
    }
}

// The name a path gives in the signature; `deleted` when the kernel marked
// the mapped file as replaced since.
std::string_view moduleName(std::string_view path, bool* deleted)
{
    static const std::string_view kDeleted = " (deleted)";
    *deleted = path.size() > kDeleted.size() && path.substr(path.size() - kDeleted.size()) == kDeleted;
    if (*deleted)
        path.remove_suffix(kDeleted.size());
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A module's path as keys give it: of its folder the last kMaxModulePath
// bytes, where two libraries of one name differ, then its escaped name.
std::string keyPath(std::string_view path, const std::string& module)
{
    const size_t slash = path.rfind('/');
    const std::string_view folder = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
    return escapeName(folder.substr(folder.size() - std::min(folder.size(), kMaxModulePath)), kMaxModulePath) + module;
}

// One PT_LOAD of the dump: memory [vaddr, vaddr + memsz), of which the
// first filesz bytes are in the file at offset.
struct Segment {
    uint64_t vaddr, memsz, offset, filesz;
};

// The stack walk's view of a dump: its memory by pread, a few hundred KB at
// most, and the module files NT_FILE names, each opened once.
class CoreTarget : public UnwindTarget {
public:
    CoreTarget(const Reader& core, std::vector<Segment> segments, const std::vector<Mapping>& maps)
        : mCore(core), mSegments(std::move(segments))
    {
        std::sort(mSegments.begin(), mSegments.end(), [](const Segment& a, const Segment& b) { return a.vaddr < b.vaddr; });
        // A scan of the stack asks for a module hundreds of times a frame,
        // and a planted NT_FILE may hold 65,530 mappings: each mapping's
        // load address (as locate() finds it) once, in path order, then a
        // binary search by address.
        std::vector<size_t> order(maps.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return maps[a].path != maps[b].path ? maps[a].path < maps[b].path : maps[a].start < maps[b].start;
        });
        bool based = false;
        uint64_t base = 0;
        for (size_t k = 0; k < order.size(); ++k) {
            const Mapping& m = maps[order[k]];
            if (k == 0 || m.path != maps[order[k - 1]].path)
                based = false;
            if (m.pgoff == 0)
                based = true, base = m.start;
            mSpans.push_back({m.start, m.end, based ? base : 0, based, m.path});
        }
        std::sort(mSpans.begin(), mSpans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
    }

    bool memory(uint64_t addr, void* buf, size_t n) override
    {
        const Segment* s = holding(addr);
        if (!s || n > mBudget || addr - s->vaddr > s->filesz || n > s->filesz - (addr - s->vaddr))
            return false;
        mBudget -= n;
        return mCore.readAt(s->offset + (addr - s->vaddr), buf, n);
    }

    bool stackOf(uint64_t sp, uint64_t* lo, uint64_t* hi) override
    {
        // An overflow faults with sp in the guard gap below the stack (a
        // megabyte on Linux): the mapping just above it is the stack.
        const Segment* s = holding(sp);
        if (!s) {
            auto above = std::upper_bound(mSegments.begin(), mSegments.end(), sp,
                                          [](uint64_t a, const Segment& g) { return a < g.vaddr; });
            if (above == mSegments.end() || above->vaddr - sp > kGuardGap)
                return false;
            s = &*above;
        }
        *lo = s->vaddr, *hi = s->vaddr + s->memsz;
        return true;
    }

    const Reader* module(uint64_t addr, uint64_t* base) override
    {
        auto after = std::upper_bound(mSpans.begin(), mSpans.end(), addr,
                                      [](uint64_t a, const Span& s) { return a < s.start; });
        if (after == mSpans.begin() || addr >= (after - 1)->end || !(after - 1)->based)
            return nullptr;
        const std::string_view path = (after - 1)->path;
        bool deleted;
        // A file replaced since it was mapped has other tables now.
        if ((moduleName(path, &deleted), deleted))
            return nullptr;
        *base = (after - 1)->base;
        for (const auto& m : mModules)
            if (m->path == path)
                return m->reader.get();
        if (mModules.size() >= kMaxOpenModules)
            return nullptr;
        auto m = std::make_unique<Module>();
        m->path = std::string(path);
        uint64_t size = 0;
        m->fd.reset(openModuleFile(m->path, &size));
        if (m->fd.get() >= 0)
            m->reader = std::make_unique<FdReader>(m->fd.get(), size);
        mModules.push_back(std::move(m));
        return mModules.back()->reader.get();
    }

private:
    static constexpr uint64_t kGuardGap = 1 << 20;
    static constexpr size_t kMaxOpenModules = 16;
    struct Module {
        std::string path;
        Fd fd;
        std::unique_ptr<FdReader> reader;
    };
    struct Span {
        uint64_t start, end, base;
        bool based;  // a mapping of its file at offset 0 lies at or below it
        std::string_view path;
    };
    const Segment* holding(uint64_t addr) const
    {
        auto after = std::upper_bound(mSegments.begin(), mSegments.end(), addr,
                                      [](uint64_t a, const Segment& g) { return a < g.vaddr; });
        if (after == mSegments.begin())
            return nullptr;
        const Segment& s = *(after - 1);
        return addr - s.vaddr < s.memsz ? &s : nullptr;
    }

    const Reader& mCore;
    std::vector<Segment> mSegments;
    std::vector<Span> mSpans;
    size_t mBudget = kMaxStackRead;
    std::vector<std::unique_ptr<Module>> mModules;
};

// The crashing thread's frames, each located in its module and named by the
// module's symbols (one pass over each module's table).
template <class E>
void readFrames(const Reader& core, std::vector<Segment> segments, const std::vector<Mapping>& maps,
                const UnwindRegs& regs, CoreSignature* sig)
{
    CoreTarget target(core, std::move(segments), maps);
    const std::vector<UnwindFrame> walked = unwindStack(E::kArch, regs, target);
    // A sp in the stack's lowest page, or below the stack in its guard gap.
    uint64_t lo, hi;
    const uint64_t sp = walked.empty() ? 0 : walked[0].sp;
    sig->overflow = walked.size() > 1 && target.stackOf(sp, &lo, &hi) && sp < lo + 4096;
    std::vector<std::string> paths;
    for (const UnwindFrame& f : walked) {
        CrashFrame frame;
        frame.pc = f.pc, frame.how = f.how;
        std::string_view path;
        bool deleted = false;
        if (locate(maps, f.pc, &path, &frame.offset)) {
            const std::string_view base = moduleName(path, &deleted);
            frame.module = escapeName(base, kMaxModuleName);
            frame.modulePath = keyPath(path, frame.module);
        }
        paths.push_back(frame.module.empty() || deleted ? std::string() : std::string(path));
        sig->frames.push_back(frame);
    }
    for (size_t i = 0; i < paths.size(); ++i) {
        if (paths[i].empty())
            continue;
        std::vector<SymbolQuery> queries;
        for (size_t k = i; k < paths.size(); ++k)
            if (paths[k] == paths[i]) {
                // A caller's pc is its return address, which may already
                // lie past the end of a function that ends in a call that
                // never returns (__assert_fail): the call names it.
                CrashFrame& f = sig->frames[k];
                queries.push_back({f.offset - (k > 0), &f.symbol, &f.symbolOffset});
                if (k > i)
                    paths[k].clear();
            }
        findSymbols<E>(paths[i], queries);
    }
    for (size_t k = 1; k < sig->frames.size(); ++k)
        sig->frames[k].symbolOffset += !sig->frames[k].symbol.empty();
}

// The functions a crash passes through on its way to the signal, whatever
// the bug: the C library's abort and assert paths, the C++ runtime's
// terminate path and the toolkits' fatal-message handlers. A name ending in
// '*' stands for every name it begins. CRASH_SKIP_FUNCTIONS in the profile
// adds more (names separated by commas).
const char* const kMachinery[] = {
    "raise", "gsignal", "abort", "__GI_raise", "__GI_abort", "__libc_do_syscall", "pthread_kill",
    "__pthread_kill", "__pthread_kill_implementation*", "__pthread_kill_internal", "__assert_fail",
    "__assert_fail_base", "__GI___assert_fail", "__assert_perror_fail", "__assert", "__libc_message",
    "__libc_fatal", "__fortify_fail", "__chk_fail", "__stack_chk_fail", "malloc_printerr",
    "_ZSt9terminatev", "_ZN10__cxxabiv111__terminateEPFvvE", "_ZN10__cxxabiv112__unexpectedEPFvvE",
    "_ZN9__gnu_cxx27__verbose_terminate_handlerEv", "__cxa_throw", "__cxa_rethrow", "__cxa_pure_virtual",
    "__cxa_deleted_virtual", "__cxa_call_terminate", "__cxa_call_unexpected", "_ZSt10unexpectedv",
    "_ZNK14QMessageLogger5fatal*", "_Z16qt_message_fatal*", "_ZL16qt_message_fatal*", "_Z9qt_assert*",
    "_Z11qt_assert_x*", "qt_message_fatal*", "g_assertion_message*", "g_log_abort*", "lv_assert_handler",
};

bool nameMatches(const std::string& name, std::string_view pattern)
{
    if (!pattern.empty() && pattern.back() == '*')
        return name.compare(0, pattern.size() - 1, pattern.substr(0, pattern.size() - 1)) == 0;
    return name == pattern;
}

// The profile's additions, read once: the watcher and the shrink key alike.
const std::vector<std::string>& profileMachinery()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        char value[512] = "";
        // Without a profile (a test, the fuzzer) there is nothing to add,
        // and nothing to complain about.
        if (access(kDeviceProfile, R_OK) != 0 || GetProfileString(kDeviceProfile, "CRASH_SKIP_FUNCTIONS", value) != 0)
            return out;
        std::string_view rest(value);
        while (!rest.empty()) {
            const size_t comma = std::min(rest.find(','), rest.size());
            std::string_view name = rest.substr(0, comma);
            while (!name.empty() && name.front() == ' ')
                name.remove_prefix(1);
            while (!name.empty() && name.back() == ' ')
                name.remove_suffix(1);
            if (!name.empty())
                out.emplace_back(name);
            rest.remove_prefix(std::min(comma + 1, rest.size()));
        }
        return out;
    }();
    return names;
}

bool machinery(const std::string& symbol)
{
    return std::any_of(std::begin(kMachinery), std::end(kMachinery), [&](const char* p) { return nameMatches(symbol, p); }) ||
           std::any_of(profileMachinery().begin(), profileMachinery().end(),
                       [&](const std::string& p) { return nameMatches(symbol, p); });
}

// The first frame past the machinery: past its last frame on the stack.
// A machinery function never returns, so whatever lies nearer the signal
// is its own work, or a stale word a scan of the stack took for a frame.
// The last frame when nothing follows the machinery.
size_t firstFrameThatMatters(const std::vector<CrashFrame>& frames)
{
    size_t first = 0;
    for (size_t i = 0; i < frames.size(); ++i)
        if (!frames[i].symbol.empty() && machinery(frames[i].symbol))
            first = i + 1;
    return std::min(first, frames.empty() ? 0 : frames.size() - 1);
}

// NT_FILE: count, page size, count x (start, end, page offset), then count
// NUL-terminated paths, all in words of the dump's class.
template <class E>
bool parseFiles(const std::vector<char>& notes, uint64_t at, uint64_t size, std::vector<Mapping>* maps)
{
    using W = typename E::Word;
    if (size < 2 * sizeof(W))
        return false;
    const uint64_t count = fieldAt<W>(notes, at);
    if (count > (size - 2 * sizeof(W)) / (3 * sizeof(W)))
        return false;
    uint64_t name = at + 2 * sizeof(W) + count * 3 * sizeof(W);
    const uint64_t end = at + size;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t e = at + 2 * sizeof(W) + i * 3 * sizeof(W);
        const char* p = notes.data() + name;
        const void* nul = memchr(p, '\0', static_cast<size_t>(end - name));
        if (!nul)
            return false;
        size_t len = static_cast<size_t>(static_cast<const char*>(nul) - p);
        maps->push_back({fieldAt<W>(notes, e), fieldAt<W>(notes, e + sizeof(W)), fieldAt<W>(notes, e + 2 * sizeof(W)),
                         std::string_view(p, len)});
        name += len + 1;
    }
    return true;
}

template <class E>
CoreSignature readCore(const Reader& core)
{
    using W = typename E::Word;
    CoreSignature sig;
    typename E::Ehdr eh;
    if (!core.getAt(0, &eh) || !ofMachine<E>(eh) || eh.e_type != ET_CORE || eh.e_phentsize != sizeof(typename E::Phdr))
        return sig;
    // The kernel writes PT_NOTE first; a dump with more than 65535 mappings
    // keeps its true count elsewhere (PN_XNUM), but the first 65535 hold it.
    // The PT_LOAD segments hold the memory the stack walk reads.
    typename E::Phdr note{};
    bool haveNote = false;
    std::vector<Segment> segments;
    std::vector<typename E::Phdr> ph(4096 / sizeof(typename E::Phdr));
    for (size_t i = 0; i < eh.e_phnum;) {
        size_t n = std::min<size_t>(ph.size(), eh.e_phnum - i);
        if (!core.readAt(eh.e_phoff + i * sizeof ph[0], ph.data(), n * sizeof ph[0]))
            return sig;
        for (size_t k = 0; k < n; ++k)
            if (ph[k].p_type == PT_NOTE && !haveNote)
                note = ph[k], haveNote = true;
            else if (ph[k].p_type == PT_LOAD && ph[k].p_filesz > 0)
                segments.push_back({ph[k].p_vaddr, ph[k].p_memsz, ph[k].p_offset, ph[k].p_filesz});
        i += n;
    }
    if (!haveNote || !core.fits(note.p_offset, note.p_filesz))
        return sig;
    // The dumping thread's notes come first and fit in a megabyte, but for
    // NT_FILE, which grows with the mappings (about 13,000 fill a megabyte):
    // that one is read whole, up to kMaxFileNote. Notes past it are other
    // threads'.
    std::vector<char> notes(static_cast<size_t>(std::min<uint64_t>(note.p_filesz, kMaxNotes)));
    if (!core.readAt(note.p_offset, notes.data(), notes.size()))
        return sig;
    std::vector<char> fileNote;

    bool status = false, info = false, files = false;
    int cursig = 0, signo = 0;
    uint64_t pc = 0;
    UnwindRegs regs;
    std::vector<Mapping> maps;
    for (uint64_t at = 0; at + 12 <= notes.size() && !(status && info && files);) {
        uint64_t namesz = fieldAt<uint32_t>(notes, at), descsz = fieldAt<uint32_t>(notes, at + 4);
        uint32_t type = fieldAt<uint32_t>(notes, at + 8);
        uint64_t desc = at + 12 + ((namesz + 3) & ~uint64_t(3)), next = desc + ((descsz + 3) & ~uint64_t(3));
        if (next > note.p_filesz)
            return sig;  // runs past its segment: damaged
        if (next > notes.size()) {
            // Runs past the part read: only the first NT_FILE is read on.
            if (files || type != NT_FILE || descsz > kMaxFileNote || namesz != 5 || at + 17 > notes.size() ||
                memcmp(notes.data() + at + 12, "CORE", 5) != 0)
                break;
            fileNote.resize(static_cast<size_t>(descsz));
            if (!core.readAt(note.p_offset + desc, fileNote.data(), fileNote.size()) ||
                !parseFiles<E>(fileNote, 0, descsz, &maps))
                return sig;
            files = true;
            break;  // the rest of the part read lies past it
        }
        bool isCore = namesz == 5 && memcmp(notes.data() + at + 12, "CORE", 5) == 0;
        if (isCore && type == NT_PRSTATUS && !status) {
            if (descsz != E::kPrstatus)
                return sig;
            status = true;
            cursig = fieldAt<int16_t>(notes, desc + 12);
            pc = fieldAt<W>(notes, desc + E::kRegs + E::kPc * sizeof(W));
            for (unsigned i = 0; i < 17; ++i)
                regs.r[i] = fieldAt<W>(notes, desc + E::kRegs + E::kRegOrder[i] * sizeof(W));
        } else if (isCore && type == NT_SIGINFO && !info) {
            if (descsz < sizeof(int32_t))
                return sig;
            info = true;
            signo = fieldAt<int32_t>(notes, desc);
        } else if (isCore && type == NT_FILE && !files) {
            if (!parseFiles<E>(notes, desc, descsz, &maps))
                return sig;
            files = true;
        }
        at = next;
    }
    int number = signo != 0 ? signo : cursig;
    std::string_view path;
    bool deleted;
    if (!status || number < 1 || number > 64 || !locate(maps, pc, &path, &sig.offset))
        return sig;
    std::string_view base = moduleName(path, &deleted);
    if (base.empty())
        return sig;
    const char* name = signalName(number);
    sig.signal = name ? name : "SIG" + std::to_string(number);
    sig.module = escapeName(base, kMaxModuleName);
    sig.modulePath = keyPath(path, sig.module);
    sig.known = true;
    readFrames<E>(core, std::move(segments), maps, regs, &sig);
    if (!sig.frames.empty())
        sig.symbol = sig.frames[0].symbol, sig.symbolOffset = sig.frames[0].symbolOffset;
    sig.first = firstFrameThatMatters(sig.frames);
    return sig;
}

CoreSignature readAny(const Reader& core)
{
    unsigned char ident[EI_NIDENT];
    if (!core.getAt(0, &ident))
        return {};
    return ident[EI_CLASS] == ELFCLASS32 ? readCore<Elf32>(core) : readCore<Elf64>(core);
}

}  // namespace

std::string CoreSignature::text() const
{
    if (!known)
        return "unknown";
    if (frames.empty())
        return signal + " " + module + "+" + hex(offset) + (symbol.empty() ? "" : " " + symbol + "+" + hex(symbolOffset));
    const CrashFrame& f = frames[first];
    std::string t = signal + " " + f.module + "+" + hex(f.offset);
    if (!f.symbol.empty())
        t += " " + f.symbol + "+" + hex(f.symbolOffset);
    if (first + 1 < frames.size())
        t += " from " + frames[first + 1].module + "+" + hex(frames[first + 1].offset);
    return t;
}

std::string CoreSignature::key() const
{
    if (!known)
        return kUnknownKey;
    auto frame = [](const std::string& path, uint64_t at) { return path + "+" + hex(at); };
    std::vector<std::string> parts;
    if (frames.empty())
        parts.push_back(frame(modulePath, offset));
    for (size_t at = first; at < frames.size() && !overflow && parts.size() < kKeyFrames; ++at)
        parts.push_back(frame(frames[at].modulePath, frames[at].offset));
    // An overflow faults wherever the stack happens to end: in any
    // instruction of the recursion, at any point of its cycle. Its callers'
    // return addresses are the recursion's own call sites, the same
    // whatever its phase: the first three of them in order.
    if (overflow) {
        std::vector<std::string> sites;
        for (size_t at = 1; at < frames.size(); ++at)
            sites.push_back(frame(frames[at].modulePath, frames[at].offset));
        std::sort(sites.begin(), sites.end());
        sites.erase(std::unique(sites.begin(), sites.end()), sites.end());
        parts.assign(sites.begin(), sites.begin() + static_cast<long>(std::min(sites.size(), kKeyFrames)));
    }
    std::string k = signal;
    for (size_t i = 0; i < kKeyFrames; ++i)
        k += "," + (i < parts.size() ? parts[i] : std::string("-"));
    return k;
}

bool sameCrashKey(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    const auto split = [](const std::string& k) {
        std::vector<std::string> parts;
        for (size_t at = 0; at <= k.size() && parts.size() <= kKeyFrames;) {
            const size_t comma = std::min(k.find(',', at), k.size());
            parts.push_back(k.substr(at, comma - at));
            at = comma + 1;
        }
        return parts;
    };
    const std::vector<std::string> pa = split(a), pb = split(b);
    // Two keys of today's form are the same crash only when equal; a key of
    // the pc alone names the crash of a key whose first frame it names.
    if (pa.size() < 2 || pb.size() < 2 || pa[0] != pb[0] || (pa.size() > 2 && pb.size() > 2))
        return false;
    const std::string &la = pa[1], &lb = pb[1];
    if (la == lb)
        return true;
    // A module named by its file name alone, by keys older still, names
    // the module of a path that ends in that name.
    const size_t sa = la.rfind('/'), sb = lb.rfind('/');
    return (sa == std::string::npos) != (sb == std::string::npos) &&
           la.substr(sa == std::string::npos ? 0 : sa + 1) == lb.substr(sb == std::string::npos ? 0 : sb + 1);
}

CoreSignature readCoreSignature(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return readAny(FdReader(fd, static_cast<uint64_t>(st.st_size)));
}

CoreSignature readCoreSignature(const void* data, size_t size)
{
    return readAny(MemReader(data, size));
}

std::string CoreSignature::backtrace() const
{
    std::string out;
    for (size_t i = 0; i < frames.size(); ++i) {
        const CrashFrame& f = frames[i];
        out += "#" + std::to_string(i) + " " + (f.module.empty() ? std::string("?") : f.module) + "+" + hex(f.offset);
        if (!f.symbol.empty())
            out += " " + f.symbol + "+" + hex(f.symbolOffset);
        out += " (" + f.how + ")\n";
    }
    return out;
}
