// Problem: dumps have to be grouped by crash site on the device, from the
// dump alone: a 100 MB dump may not be read whole, and its notes, the module
// paths they name and the modules themselves come from anyone.
// Solution: one parser over a small reader seam (a descriptor read with
// pread, or a buffer for the fuzzer), templated on the ELF class: the ELF
// header, the program headers up to PT_NOTE, at most 1 MB of notes, then the
// module's section headers and a streamed symbol table. Each read is bounded
// and checked against the size of its file first.
#include "watch/core_signature.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "base/files.h"
#include "base/log_text.h"
#include "record/record_line.h"

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

class Reader {
public:
    explicit Reader(uint64_t size) : mSize(size) {}
    virtual ~Reader() = default;
    bool fits(uint64_t off, uint64_t n) const { return off <= mSize && n <= mSize - off; }
    // All n bytes at off, or false.
    bool readAt(uint64_t off, void* buf, size_t n) const { return fits(off, n) && (n == 0 || fetch(off, buf, n)); }
    template <class T>
    bool getAt(uint64_t off, T* out) const { return readAt(off, out, sizeof *out); }

private:
    virtual bool fetch(uint64_t off, void* buf, size_t n) const = 0;
    uint64_t mSize;
};

class FdReader : public Reader {
public:
    FdReader(int fd, uint64_t size) : Reader(size), mFd(fd) {}

private:
    bool fetch(uint64_t off, void* buf, size_t n) const override
    {
        // Short: an error, or the file shrank under us.
        return preadAll(mFd, buf, n, static_cast<off_t>(off)) == static_cast<ssize_t>(n);
    }
    int mFd;
};

class MemReader : public Reader {
public:
    MemReader(const void* data, size_t size) : Reader(size), mData(static_cast<const char*>(data)) {}

private:
    bool fetch(uint64_t off, void* buf, size_t n) const override
    {
        memcpy(buf, mData + off, n);
        return true;
    }
    const char* mData;
};

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
    static constexpr uint64_t kPrstatus = 148, kRegs = 72, kPc = 15, kLr = 14;
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
    static constexpr uint64_t kPrstatus = 336, kRegs = 112, kPc = 16, kLr = 0;  // no link register
    static unsigned type(const Sym& s) { return ELF64_ST_TYPE(s.st_info); }
    static unsigned bind(const Sym& s) { return ELF64_ST_BIND(s.st_info); }
};

template <class E>
bool ofMachine(const typename E::Ehdr& h)
{
    return memcmp(h.e_ident, ELFMAG, SELFMAG) == 0 && h.e_ident[EI_CLASS] == E::kClass &&
           h.e_ident[EI_DATA] == ELFDATA2LSB && h.e_machine == E::kMachine;
}

// Log text that also keeps its blanks from splitting the signature.
std::string escapeName(std::string_view name, size_t max)
{
    std::string text = escapeLogText(std::string(name.substr(0, max))), out;
    for (char c : text)
        out += c == ' ' ? std::string("\\x20") : std::string(1, c);
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

// The nearest symbol to `offset` in the module at `path`, as name + offset.
template <class E>
bool findSymbol(const std::string& path, uint64_t offset, std::string* name, uint64_t* into)
{
    using Shdr = typename E::Shdr;
    using Sym = typename E::Sym;
    // The path is anyone's: O_PATH opens nothing, so a device named here
    // never sees an open; the file is read only once it shows as regular,
    // through the very inode that was checked.
    Fd link(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st, st2;
    if (link.get() < 0 || fstat(link.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    Fd fd(open(("/proc/self/fd/" + std::to_string(link.get())).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0 || fstat(fd.get(), &st2) != 0 || st2.st_dev != st.st_dev || st2.st_ino != st.st_ino)
        return false;
    FdReader file(fd.get(), static_cast<uint64_t>(st2.st_size));

    typename E::Ehdr eh;
    if (!file.getAt(0, &eh) || !ofMachine<E>(eh) || (eh.e_type != ET_EXEC && eh.e_type != ET_DYN) ||
        eh.e_phentsize != sizeof(typename E::Phdr) || eh.e_shentsize != sizeof(Shdr) || eh.e_phnum > kMaxHeaders ||
        eh.e_shnum > kMaxHeaders)
        return false;
    // The dump's offsets count from the file's start; symbols are virtual
    // addresses: the first PT_LOAD relates the two.
    std::vector<typename E::Phdr> ph(eh.e_phnum);
    std::vector<Shdr> sh(eh.e_shnum);
    if (!file.readAt(eh.e_phoff, ph.data(), ph.size() * sizeof ph[0]) ||
        !file.readAt(eh.e_shoff, sh.data(), sh.size() * sizeof sh[0]))
        return false;
    auto load = std::find_if(ph.begin(), ph.end(), [](const typename E::Phdr& p) { return p.p_type == PT_LOAD; });
    if (load == ph.end())
        return false;
    const uint64_t addr = static_cast<typename E::Word>(offset + load->p_vaddr - load->p_offset);

    auto table = std::find_if(sh.begin(), sh.end(), [](const Shdr& s) { return s.sh_type == SHT_SYMTAB; });
    if (table == sh.end())
        table = std::find_if(sh.begin(), sh.end(), [](const Shdr& s) { return s.sh_type == SHT_DYNSYM; });
    if (table == sh.end() || table->sh_entsize != sizeof(Sym) || table->sh_size > kMaxSymtab ||
        !file.fits(table->sh_offset, table->sh_size) || table->sh_link >= sh.size())
        return false;
    const Shdr& strings = sh[table->sh_link];
    if (strings.sh_type != SHT_STRTAB || !file.fits(strings.sh_offset, strings.sh_size))
        return false;

    // Aliases share an address (fclose, _IO_fclose): the greatest name wins,
    // as in a debugger's listing, so the first of its kind is not a matter of
    // table order.
    bool found = false, foundFunc = false;
    uint64_t bestValue = 0;
    std::vector<uint32_t> tied;
    std::vector<Sym> chunk(kChunk / sizeof(Sym));
    const uint64_t count = table->sh_size / sizeof(Sym);
    for (uint64_t done = 0; done < count;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), count - done));
        if (!file.readAt(table->sh_offset + done * sizeof(Sym), chunk.data(), n * sizeof(Sym)))
            return false;
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
            if (value > addr || (s.st_size != 0 && addr - value >= s.st_size))
                continue;
            if (!found || (func && !foundFunc) || (func == foundFunc && value > bestValue))
                found = true, foundFunc = func, bestValue = value, tied.assign(1, s.st_name);
            else if (func == foundFunc && value == bestValue && tied.size() < 16)
                tied.push_back(s.st_name);
        }
    }
    std::string best, text;
    for (uint32_t at : tied)
        if (symbolName(file, strings, at, &text) && text > best)
            best = text;
    if (best.empty())
        return false;
    *name = escapeName(best, kMaxSymbolName);
    *into = addr - bestValue;
    return true;
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
    typename E::Phdr note{};
    bool haveNote = false;
    std::vector<typename E::Phdr> ph(4096 / sizeof(typename E::Phdr));
    for (size_t i = 0; i < eh.e_phnum && !haveNote;) {
        size_t n = std::min<size_t>(ph.size(), eh.e_phnum - i);
        if (!core.readAt(eh.e_phoff + i * sizeof ph[0], ph.data(), n * sizeof ph[0]))
            return sig;
        auto hit = std::find_if(ph.begin(), ph.begin() + n, [](const typename E::Phdr& p) { return p.p_type == PT_NOTE; });
        if ((haveNote = hit != ph.begin() + n))
            note = *hit;
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
    uint64_t pc = 0, lr = 0;
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
            lr = E::kLr ? fieldAt<W>(notes, desc + E::kRegs + E::kLr * sizeof(W)) & ~W(1) : 0;
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
    // The key's path ends in the module's name as the text gives it; of the
    // folder the last kMaxModulePath bytes, where two libraries differ.
    const size_t slash = path.rfind('/');
    const std::string_view folder = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
    sig.modulePath = escapeName(folder.substr(folder.size() - std::min(folder.size(), kMaxModulePath)), kMaxModulePath) + sig.module;
    sig.known = true;
    if (!deleted)
        findSymbol<E>(std::string(path), sig.offset, &sig.symbol, &sig.symbolOffset);
    uint64_t callerOffset;
    if (E::kLr && locate(maps, lr, &path, &callerOffset) && !(base = moduleName(path, &deleted)).empty())
        sig.caller = escapeName(base, kMaxModuleName) + "+" + hex(callerOffset);
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
    std::string t = signal + " " + module + "+" + hex(offset);
    if (!symbol.empty())
        t += " " + symbol + "+" + hex(symbolOffset);
    if (!caller.empty())
        t += " from " + caller;
    return t;
}

std::string CoreSignature::key() const
{
    return known ? signal + "," + modulePath + "+" + hex(offset) : kUnknownKey;
}

bool sameCrashKey(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    // Of "SIGNAL,PATH+0xOFFSET", the part after the comma's last '/' (none:
    // an older key).
    const auto cut = [](const std::string& k, bool* old) {
        const size_t comma = k.find(','), slash = k.rfind('/');
        *old = slash == std::string::npos || slash < comma;
        return comma == std::string::npos ? k : k.substr(0, comma + 1) + k.substr(*old ? comma + 1 : slash + 1);
    };
    bool oldA = false, oldB = false;
    const std::string shortA = cut(a, &oldA), shortB = cut(b, &oldB);
    return oldA != oldB && shortA == shortB;
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
