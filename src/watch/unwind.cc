// Problem: see unwind.h; every table, entry and stack word comes from files
// anyone may have written, so a walk must not trust any of them.
// Solution: each module's program headers locate its table (PT_ARM_EXIDX,
// PT_GNU_EH_FRAME); the table's entry for a pc is found by a binary search
// of a few 8-byte reads, its unwind program read whole (at most 64 KB) and
// run on a copy of the registers. Every step is checked before the next:
// the new sp must not go down, must stay in the stack mapping and the new pc
// must lie in a module; at most 32 frames.
#include "watch/unwind.h"

#include <elf.h>

#include <algorithm>
#include <memory>

namespace {

constexpr uint64_t kMaxCfi = 64 << 10;  // one FDE or CIE
constexpr size_t kMaxLoads = 16;
constexpr size_t kMaxModules = 16;
constexpr size_t kMaxStates = 8;  // DW_CFA_remember_state depth

// Where a module's tables lie, from its program headers.
struct Tables {
    const Reader* file = nullptr;
    bool ok = false;
    uint64_t slide = 0;  // a file-relative address + slide = the link-time address
    struct Load { uint64_t vaddr, offset, filesz; };
    std::vector<Load> loads;
    uint64_t exidx = 0, exidxSize = 0, ehHdr = 0, ehHdrSize = 0;

    // n bytes at the link-time address vaddr.
    bool read(uint64_t vaddr, void* buf, size_t n) const
    {
        for (const Load& l : loads)
            if (vaddr >= l.vaddr && vaddr - l.vaddr <= l.filesz && n <= l.filesz - (vaddr - l.vaddr))
                return file->readAt(l.offset + (vaddr - l.vaddr), buf, n);
        return false;
    }
    template <class T>
    bool get(uint64_t vaddr, T* out) const { return read(vaddr, out, sizeof *out); }
};

template <class Ehdr, class Phdr>
void readTables(Tables* t, uint16_t machine)
{
    Ehdr eh;
    if (!t->file->getAt(0, &eh) || memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_machine != machine ||
        eh.e_phentsize != sizeof(Phdr) || eh.e_phnum > 256)
        return;
    std::vector<Phdr> ph(eh.e_phnum);
    if (!t->file->readAt(eh.e_phoff, ph.data(), ph.size() * sizeof(Phdr)))
        return;
    bool first = true;
    for (const Phdr& p : ph) {
        if (p.p_type == PT_LOAD && t->loads.size() < kMaxLoads) {
            if (first)
                t->slide = p.p_vaddr - p.p_offset, first = false;
            t->loads.push_back({p.p_vaddr, p.p_offset, p.p_filesz});
        } else if (p.p_type == PT_ARM_EXIDX) {
            t->exidx = p.p_vaddr, t->exidxSize = p.p_memsz;
        } else if (p.p_type == PT_GNU_EH_FRAME) {
            t->ehHdr = p.p_vaddr, t->ehHdrSize = p.p_memsz;
        }
    }
    t->ok = !first;
}

class Walker {
public:
    Walker(UnwindArch arch, UnwindTarget& target) : mArch(arch), mTarget(target) {}

    std::vector<UnwindFrame> walk(const UnwindRegs& start);

private:
    enum Step { kNext, kLast, kNone };  // a caller, the table's end of the stack, no answer
    bool arm() const { return mArch == UnwindArch::Arm; }
    unsigned spReg() const { return arm() ? 13 : 7; }
    unsigned pcReg() const { return arm() ? 15 : 16; }
    uint64_t word(uint64_t v) const { return arm() ? v & 0xffffffffu : v; }
    bool load(uint64_t addr, uint64_t* v)
    {
        if (arm()) {
            uint32_t w;
            return mTarget.memory(addr, &w, 4) && ((*v = w), true);
        }
        return mTarget.memory(addr, v, 8);
    }
    const Tables* tables(uint64_t pc, uint64_t* base);
    Step exidx(const Tables& t, uint64_t vaddr, UnwindRegs* r);
    Step cfi(const Tables& t, uint64_t vaddr, UnwindRegs* r);
    bool framePointer(UnwindRegs* r, bool thumb);
    bool scan(UnwindRegs* r, uint64_t callee);
    enum Call { kNoCall, kCallsElsewhere, kCallsCallee, kIndirect };
    Call callBefore(uint64_t ra, uint64_t callee);
    bool onStack(uint64_t addr) const { return addr >= mLo && addr < mHi; }

    UnwindArch mArch;
    UnwindTarget& mTarget;
    std::vector<std::unique_ptr<Tables>> mTables;
    uint64_t mLo = 0, mHi = 0;
};

const Tables* Walker::tables(uint64_t pc, uint64_t* base)
{
    const Reader* file = mTarget.module(pc, base);
    if (!file)
        return nullptr;
    for (const auto& t : mTables)
        if (t->file == file)
            return t->ok ? t.get() : nullptr;
    if (mTables.size() >= kMaxModules)
        return nullptr;
    mTables.push_back(std::make_unique<Tables>());
    Tables* t = mTables.back().get();
    t->file = file;
    if (arm())
        readTables<Elf32_Ehdr, Elf32_Phdr>(t, EM_ARM);
    else
        readTables<Elf64_Ehdr, Elf64_Phdr>(t, EM_X86_64);
    return t->ok ? t : nullptr;
}

// A 31-bit place-relative offset, as the Arm tables hold their addresses.
uint32_t prel31(uint32_t word, uint32_t place)
{
    return place + static_cast<uint32_t>(static_cast<int32_t>(word << 1) >> 1);
}

Walker::Step Walker::exidx(const Tables& t, uint64_t vaddr, UnwindRegs* r)
{
    // The index: pairs of words, the function's start (prel31) and its entry,
    // sorted by start; the last entry whose start is <= vaddr covers it.
    const uint64_t count = std::min<uint64_t>(t.exidxSize / 8, 1u << 24);
    uint64_t lo = 0, hi = count;
    uint32_t entry[2];
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2, at = t.exidx + mid * 8;
        if (!t.get(at, &entry))
            return kNone;
        (prel31(entry[0], static_cast<uint32_t>(at)) <= vaddr ? lo : hi) = mid;
    }
    const uint32_t at = static_cast<uint32_t>(t.exidx + lo * 8);
    if (count == 0 || !t.get(at, &entry) || prel31(entry[0], at) > vaddr)
        return kNone;
    if (entry[1] == 1)
        return kLast;  // EXIDX_CANTUNWIND: the bottom of the stack, or a function that never returns

    // The unwind program: bytes from the most significant down, three in the
    // first word, then four in each further word the entry counts.
    std::vector<uint8_t> ops;
    auto take = [&ops](uint32_t w, int bytes) {
        for (int i = bytes - 1; i >= 0; --i)
            ops.push_back(static_cast<uint8_t>(w >> (8 * i)));
    };
    uint32_t first = entry[1], more = 0, place = at + 4;
    if (!(first & 0x80000000u)) {
        // In .ARM.extab: the compact form (personality 0, 1 or 2) or the
        // generic one, whose GNU personality routines take the same words as
        // 1 and 2 after the routine's address.
        place = prel31(first, at + 4);
        if (!t.get(place, &first))
            return kNone;
        if (!(first & 0x80000000u)) {
            place += 4;
            if (!t.get(place, &first))
                return kNone;
            more = first >> 24;
            take(first, 3);
        }
    }
    if (first & 0x80000000u) {
        const unsigned personality = (first >> 24) & 0xf;
        if (personality == 0)
            take(first, 3);
        else if (personality == 1 || personality == 2)
            more = (first >> 16) & 0xff, take(first, 2);
        else
            return kNone;
    }
    for (uint32_t i = 1; i <= more; ++i) {
        uint32_t w;
        if (!t.get(place + 4 * i, &w))
            return kNone;
        take(w, 4);
    }

    uint64_t vsp = r->r[13];
    bool pcSet = false;
    auto pop = [&](unsigned reg) {
        uint64_t v;
        if (!load(vsp, &v))
            return false;
        vsp += 4;
        r->r[reg] = v;
        pcSet |= reg == 15;
        return true;
    };
    auto popMask = [&](unsigned mask, unsigned from) {
        uint64_t sp = 0;
        bool spPopped = false;
        for (unsigned i = 0; i < 16; ++i)
            if (mask >> i & 1) {
                if (!pop(from + i))
                    return false;
                if (from + i == 13)
                    sp = r->r[13], spPopped = true;
            }
        if (spPopped)
            vsp = sp;
        return true;
    };
    for (size_t i = 0; i < ops.size();) {
        const uint8_t op = ops[i++];
        const uint8_t next = i < ops.size() ? ops[i] : 0;
        if (op < 0x40) {
            vsp += (uint64_t(op & 0x3f) << 2) + 4;
        } else if (op < 0x80) {
            vsp -= (uint64_t(op & 0x3f) << 2) + 4;
        } else if (op < 0x90) {
            const unsigned mask = (op & 0xfu) << 8 | next;
            ++i;
            if (mask == 0 || !popMask(mask, 4))
                return kNone;  // 0x8000: refuse to unwind
        } else if (op < 0xa0) {
            if ((op & 0xf) == 13 || (op & 0xf) == 15)
                return kNone;
            vsp = r->r[op & 0xf];
        } else if (op < 0xb0) {
            if (!popMask((1u << ((op & 7) + 1)) - 1, 4) || ((op & 8) && !pop(14)))
                return kNone;
        } else if (op == 0xb0) {
            break;
        } else if (op == 0xb1) {
            ++i;
            if (next == 0 || (next & 0xf0) || !popMask(next, 0))
                return kNone;
        } else if (op == 0xb2) {
            uint64_t v = 0;
            unsigned shift = 0;
            for (uint8_t b = 0x80; (b & 0x80) && shift < 32; shift += 7) {
                if (i >= ops.size())
                    return kNone;
                b = ops[i++];
                v |= uint64_t(b & 0x7f) << shift;
            }
            vsp += 0x204 + (v << 2);
        } else if (op == 0xb3) {
            ++i, vsp += 8 * ((next & 0xf) + 1) + 4;
        } else if (op >= 0xb8 && op < 0xc0) {
            vsp += 8 * ((op & 7) + 1) + 4;
        } else if (op >= 0xc0 && op < 0xc6) {
            vsp += 8 * ((op & 7) + 1);
        } else if (op == 0xc6 || op == 0xc8 || op == 0xc9) {
            ++i, vsp += 8 * ((next & 0xf) + 1);
        } else if (op == 0xc7) {
            ++i;
            if (next == 0 || (next & 0xf0))
                return kNone;
            vsp += 4 * static_cast<unsigned>(__builtin_popcount(next));
        } else if (op >= 0xd0 && op < 0xd8) {
            vsp += 8 * ((op & 7) + 1);
        } else {
            return kNone;  // spare
        }
        vsp = word(vsp);
    }
    r->r[13] = vsp;
    if (!pcSet)
        r->r[15] = r->r[14];
    return kNext;
}

// DWARF call frame information: a reader over one CIE or FDE's bytes.
struct Bytes {
    const std::vector<uint8_t>& b;
    size_t at;
    uint64_t vaddr;  // the link-time address of b[0]
    bool ok = true;

    bool has(size_t n) { return (ok = ok && n <= b.size() - at); }
    uint64_t fixed(size_t n)
    {
        uint64_t v = 0;
        if (has(n))
            memcpy(&v, &b[at], n), at += n;
        return v;
    }
    uint64_t uleb()
    {
        uint64_t v = 0;
        for (unsigned shift = 0; has(1); shift += 7) {
            const uint8_t c = b[at++];
            if (shift < 64)
                v |= uint64_t(c & 0x7f) << shift;
            if (!(c & 0x80))
                return v;
        }
        return 0;
    }
    int64_t sleb()
    {
        uint64_t v = 0;
        unsigned shift = 0;
        for (uint8_t c = 0x80; (c & 0x80) && has(1); shift += 7) {
            c = b[at++];
            if (shift < 64)
                v |= uint64_t(c & 0x7f) << shift;
            if (!(c & 0x80) && (c & 0x40) && shift + 7 < 64)
                v |= ~uint64_t(0) << (shift + 7);
        }
        return static_cast<int64_t>(v);
    }
    // A pointer in the DW_EH_PE encoding `enc`; pc-relative ones count from
    // the field's own address. Indirect and other bases are not followed.
    uint64_t pointer(uint8_t enc)
    {
        const uint64_t place = vaddr + at;
        uint64_t v;
        switch (enc & 0x0f) {
        case 0x00: v = fixed(8); break;
        case 0x01: v = uleb(); break;
        case 0x02: v = fixed(2); break;
        case 0x03: v = fixed(4); break;
        case 0x04: v = fixed(8); break;
        case 0x09: v = static_cast<uint64_t>(sleb()); break;
        case 0x0a: v = static_cast<uint64_t>(int64_t(int16_t(fixed(2)))); break;
        case 0x0b: v = static_cast<uint64_t>(int64_t(int32_t(fixed(4)))); break;
        case 0x0c: v = fixed(8); break;
        default: ok = false; return 0;
        }
        if ((enc & 0x70) == 0x10)
            v += place;
        else if ((enc & 0x70) != 0)
            ok = false;
        if (enc & 0x80)
            ok = false;
        return v;
    }
};

// One CIE or FDE: its bytes after the length word, at most kMaxCfi.
bool cfiRecord(const Tables& t, uint64_t vaddr, std::vector<uint8_t>* out)
{
    uint32_t length;
    if (!t.get(vaddr, &length) || length == 0 || length > kMaxCfi)
        return false;  // 0xffffffff, the 64-bit form, is no part of .eh_frame in practice
    out->resize(length);
    return t.read(vaddr + 4, out->data(), length);
}

// A factored offset times the data alignment, wrapping as the address
// arithmetic it feeds does: hostile tables overflow it.
int64_t scaled(uint64_t value, int64_t align)
{
    return static_cast<int64_t>(value * static_cast<uint64_t>(align));
}

enum RuleKind : uint8_t { kSame, kUndefined, kOffset, kValOffset, kRegister, kUnsupported };
struct Rule {
    RuleKind kind = kSame;
    int64_t value = 0;
};
struct Row {
    unsigned cfaReg = 7;
    int64_t cfaOffset = 8;
    bool cfaExpression = false;
    Rule rules[17];
};

Walker::Step Walker::cfi(const Tables& t, uint64_t vaddr, UnwindRegs* r)
{
    if (t.ehHdrSize < 12)
        return kNone;
    // .eh_frame_hdr: version 1, three encodings, the .eh_frame pointer, the
    // count, then a table of (start, FDE) sorted by start, each a signed
    // 4-byte offset from the header (datarel sdata4, the only one linkers write).
    uint8_t head[4];
    if (!t.get(t.ehHdr, &head) || head[0] != 1 || head[3] != 0x3b)
        return kNone;
    std::vector<uint8_t> buf(32);
    if (!t.read(t.ehHdr, buf.data(), buf.size()))
        return kNone;
    Bytes hdr{buf, 4, t.ehHdr};
    hdr.pointer(head[1]);
    const uint64_t count = std::min<uint64_t>(hdr.pointer(head[2]), t.ehHdrSize / 8);
    if (!hdr.ok || count == 0)
        return kNone;
    const uint64_t table = t.ehHdr + hdr.at;
    int32_t pair[2];
    uint64_t lo = 0, hi = count;
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (!t.get(table + mid * 8, &pair))
            return kNone;
        (t.ehHdr + static_cast<uint64_t>(int64_t(pair[0])) <= vaddr ? lo : hi) = mid;
    }
    if (!t.get(table + lo * 8, &pair))
        return kNone;
    const uint64_t fdeAt = t.ehHdr + static_cast<uint64_t>(int64_t(pair[1]));

    std::vector<uint8_t> fdeBytes, cieBytes;
    if (!cfiRecord(t, fdeAt, &fdeBytes))
        return kNone;
    Bytes fde{fdeBytes, 0, fdeAt + 4};
    const uint64_t cieAt = fdeAt + 4 - fde.fixed(4);
    if (!fde.ok || !cfiRecord(t, cieAt, &cieBytes))
        return kNone;
    Bytes cie{cieBytes, 0, cieAt + 4};
    const uint64_t id = cie.fixed(4);
    const uint8_t version = static_cast<uint8_t>(cie.fixed(1));
    std::string aug;
    for (char c; cie.has(1) && (c = static_cast<char>(cieBytes[cie.at++])) != '\0' && aug.size() < 16;)
        aug += c;
    if (!cie.ok || id != 0 || (version != 1 && version != 3) || (!aug.empty() && aug[0] != 'z'))
        return kNone;
    const uint64_t codeAlign = cie.uleb();
    const int64_t dataAlign = cie.sleb();
    const uint64_t ra = version == 1 ? cie.fixed(1) : cie.uleb();
    uint8_t fdeEnc = 0;
    if (!aug.empty()) {
        const uint64_t length = cie.uleb(), end = cie.at + length;
        for (size_t i = 1; i < aug.size() && cie.ok && cie.at < end; ++i)
            if (aug[i] == 'R')
                fdeEnc = static_cast<uint8_t>(cie.fixed(1));
            else if (aug[i] == 'L')
                cie.fixed(1);
            else if (aug[i] == 'P')
                cie.pointer(static_cast<uint8_t>(cie.fixed(1) & 0x7f));  // the routine's address: skipped
            else if (aug[i] != 'S')
                break;
        if (!cie.ok || end > cieBytes.size())
            return kNone;
        cie.at = static_cast<size_t>(end);
    }
    const uint64_t begin = fde.pointer(fdeEnc), range = fde.pointer(fdeEnc & 0x0f);
    if (!aug.empty()) {
        const uint64_t skip = fde.uleb();
        if (fde.ok && !fde.has(skip))
            return kNone;
        fde.at += static_cast<size_t>(skip);
    }
    if (!cie.ok || !fde.ok || ra != 16 || vaddr < begin || vaddr - begin >= range)
        return kNone;

    // The rows up to vaddr: the CIE's instructions, then the FDE's.
    Row row, initial;
    std::vector<Row> saved;
    uint64_t loc = begin;
    bool done = false;
    auto run = [&](Bytes& in, bool inCie) {
        Rule ignored;  // a register no frame here needs
        auto rule = [&](uint64_t reg) { return reg < 17 ? &row.rules[reg] : &ignored; };
        auto advance = [&](uint64_t delta) { done = (loc += delta * codeAlign) > vaddr; };
        while (!done && in.ok && in.at < in.b.size()) {
            const uint8_t op = in.b[in.at++];
            switch (op >> 6) {
            case 1: advance(op & 0x3f); continue;
            case 2: *rule(op & 0x3f) = {kOffset, scaled(in.uleb(), dataAlign)}; continue;
            case 3: *rule(op & 0x3f) = (op & 0x3f) < 17 ? initial.rules[op & 0x3f] : Rule(); continue;
            default: break;
            }
            uint64_t reg;
            switch (op) {
            case 0x00: break;
            case 0x01: loc = in.pointer(fdeEnc), done = loc > vaddr; break;
            case 0x02: advance(in.fixed(1)); break;
            case 0x03: advance(in.fixed(2)); break;
            case 0x04: advance(in.fixed(4)); break;
            case 0x05: reg = in.uleb(), *rule(reg) = {kOffset, scaled(in.uleb(), dataAlign)}; break;
            case 0x06: reg = in.uleb(), *rule(reg) = reg < 17 ? initial.rules[reg] : Rule(); break;
            case 0x07: *rule(in.uleb()) = {kUndefined, 0}; break;
            case 0x08: *rule(in.uleb()) = {kSame, 0}; break;
            case 0x09: reg = in.uleb(), *rule(reg) = {kRegister, static_cast<int64_t>(in.uleb())}; break;
            case 0x0a:
                if (saved.size() >= kMaxStates)
                    return false;
                saved.push_back(row);
                break;
            case 0x0b:
                // The CFA comes back with the rest: compilers remember the
                // body's row before an epilogue and restore it after the ret.
                if (saved.empty())
                    return false;
                row = saved.back();
                saved.pop_back();
                break;
            case 0x0c: row.cfaReg = static_cast<unsigned>(std::min<uint64_t>(in.uleb(), 99)), row.cfaOffset = static_cast<int64_t>(in.uleb()), row.cfaExpression = false; break;
            case 0x0d: row.cfaReg = static_cast<unsigned>(std::min<uint64_t>(in.uleb(), 99)), row.cfaExpression = false; break;
            case 0x0e: row.cfaOffset = static_cast<int64_t>(in.uleb()); break;
            case 0x0f: row.cfaExpression = true, in.at += std::min<uint64_t>(in.uleb(), in.b.size() - in.at); break;
            case 0x10:
            case 0x16: reg = in.uleb(), *rule(reg) = {kUnsupported, 0}, in.at += std::min<uint64_t>(in.uleb(), in.b.size() - in.at); break;
            case 0x11: reg = in.uleb(), *rule(reg) = {kOffset, scaled(static_cast<uint64_t>(in.sleb()), dataAlign)}; break;
            case 0x12: row.cfaReg = static_cast<unsigned>(std::min<uint64_t>(in.uleb(), 99)), row.cfaOffset = scaled(static_cast<uint64_t>(in.sleb()), dataAlign), row.cfaExpression = false; break;
            case 0x13: row.cfaOffset = scaled(static_cast<uint64_t>(in.sleb()), dataAlign); break;
            case 0x14: reg = in.uleb(), *rule(reg) = {kValOffset, scaled(in.uleb(), dataAlign)}; break;
            case 0x15: reg = in.uleb(), *rule(reg) = {kValOffset, scaled(static_cast<uint64_t>(in.sleb()), dataAlign)}; break;
            case 0x2e: in.uleb(); break;
            case 0x2f: reg = in.uleb(), *rule(reg) = {kOffset, scaled(0 - in.uleb(), dataAlign)}; break;
            default: return false;
            }
        }
        if (inCie)
            initial = row;
        return in.ok;
    };
    if (!run(cie, true) || !run(fde, false) || row.cfaExpression || row.cfaReg > 16)
        return kNone;

    const uint64_t cfa = r->r[row.cfaReg] + static_cast<uint64_t>(row.cfaOffset);
    UnwindRegs next = *r;
    for (unsigned i = 0; i < 17; ++i) {
        const Rule& rule = row.rules[i];
        switch (rule.kind) {
        case kSame: break;
        case kUndefined:
            if (i == 16)
                return kLast;  // no return address: the outermost frame
            break;
        case kOffset:
            if (!load(cfa + static_cast<uint64_t>(rule.value), &next.r[i]))
                return kNone;
            break;
        case kValOffset: next.r[i] = cfa + static_cast<uint64_t>(rule.value); break;
        case kRegister:
            if (rule.value < 0 || rule.value > 16)
                return kNone;
            next.r[i] = r->r[rule.value];
            break;
        case kUnsupported:
            if (i == 16 || i == 6 || i == 7)
                return kNone;
            break;
        }
    }
    next.r[7] = cfa;
    *r = next;
    return kNext;
}

bool Walker::framePointer(UnwindRegs* r, bool thumb)
{
    // x86-64: [rbp] the caller's rbp, [rbp+8] the return address. Arm: gcc's
    // Thumb frames keep r7 at [r7] and lr at [r7+4]; its Arm frames point
    // r11 at the saved lr with the caller's r11 below it.
    uint64_t fp, savedFp, ra, sp;
    if (!arm()) {
        fp = r->r[6];
        if (!onStack(fp) || fp < r->r[7] || !load(fp, &savedFp) || !load(fp + 8, &ra))
            return false;
        sp = fp + 16, r->r[6] = savedFp, r->r[16] = ra;
    } else if (thumb) {
        fp = r->r[7];
        if (!onStack(fp) || fp < r->r[13] || !load(fp, &savedFp) || !load(fp + 4, &ra))
            return false;
        sp = fp + 8, r->r[7] = savedFp, r->r[15] = ra;
    } else {
        fp = r->r[11];
        if (!onStack(fp) || fp < r->r[13] + 4 || !load(fp, &ra) || !load(fp - 4, &savedFp))
            return false;
        sp = fp + 4, r->r[11] = savedFp, r->r[15] = ra;
    }
    r->r[spReg()] = sp;
    return true;
}

// The instruction before the return address ra: Thumb's BL or BLX (32
// bits) or BLX register (16), Arm's BL, BLX or BLX register. A direct call
// calls the callee when its target lies at or below the callee's pc, at most
// 64 KB before it (the start of the function that pc is in, or near it).
Walker::Call Walker::callBefore(uint64_t ra, uint64_t callee)
{
    uint64_t base;
    const Tables* t = tables(ra & ~uint64_t(1), &base);
    if (!t)
        return kNoCall;
    const uint64_t vaddr = word((ra & ~uint64_t(1)) - base + t->slide);
    uint16_t hw[2];
    uint32_t w;
    if (vaddr < 4 || !t->get(vaddr - 4, &hw))
        return kNoCall;
    memcpy(&w, hw, 4);
    uint64_t target;  // the link-time address called
    if (ra & 1) {
        if ((hw[1] & 0xff87) == 0x4780)
            return kIndirect;
        if ((hw[0] & 0xf800) != 0xf000 || (hw[1] & 0xc000) != 0xc000)
            return kNoCall;
        const uint32_t s = (hw[0] >> 10) & 1, j1 = (hw[1] >> 13) & 1, j2 = (hw[1] >> 11) & 1;
        const uint32_t imm = s << 24 | (!(j1 ^ s)) << 23 | (!(j2 ^ s)) << 22 | (hw[0] & 0x3ffu) << 12 | (hw[1] & 0x7ffu) << 1;
        const int32_t offset = static_cast<int32_t>(imm << 7) >> 7;
        const uint64_t from = (hw[1] & 0x1000) ? vaddr : vaddr & ~uint64_t(3);  // BLX lands word-aligned in Arm code
        target = word(from + static_cast<uint64_t>(static_cast<int64_t>(offset)));
    } else {
        if ((w & 0x0ffffff0) == 0x012fff30)
            return kIndirect;
        if ((w & 0x0f000000) != 0x0b000000 && (w & 0xfe000000) != 0xfa000000)
            return kNoCall;
        const int32_t offset = static_cast<int32_t>(w << 8) >> 6;
        target = word(vaddr + 4 + static_cast<uint64_t>(static_cast<int64_t>(offset)));
    }
    const uint64_t at = word((callee & ~uint64_t(1)) - base + t->slide);
    return target <= at && at - target < (64 << 10) ? kCallsCallee : kCallsElsewhere;
}

// Arm code built without unwind tables (C by default) and with no frame
// pointer leaves only its stack: the first word above sp that returns just
// after a call of the callee (whose pc is `callee`), or after an indirect
// call, is taken for the return address, the sp for the word above it. A
// word after a call of another function is a stale one, left in the
// callee's frame by a call that has returned. 1 KB of stack at most.
bool Walker::scan(UnwindRegs* r, uint64_t callee)
{
    constexpr unsigned kScanWords = 256;
    for (unsigned i = 0; i < kScanWords; ++i) {
        const uint64_t at = word(r->r[13] + 4 * i);
        uint64_t v;
        if (!onStack(at))
            break;
        // An overflow leaves sp below the stack's mapping.
        if (!load(at, &v))
            continue;
        uint64_t base;
        if (v <= 4 || !mTarget.module(v & ~uint64_t(1), &base))
            continue;
        const Call call = callBefore(v, callee);
        if (call == kCallsCallee || call == kIndirect) {
            r->r[15] = v, r->r[13] = at + 4;
            return true;
        }
    }
    return false;
}

std::vector<UnwindFrame> Walker::walk(const UnwindRegs& start)
{
    std::vector<UnwindFrame> frames;
    UnwindRegs r = start;
    // A Thumb function is told by the pc's low bit in a return address, and
    // by cpsr's T bit in the signalled thread's registers.
    bool thumb = arm() && (r.r[16] & 0x20);
    uint64_t pc = r.r[pcReg()] & (arm() ? ~uint64_t(1) : ~uint64_t(0)), base;
    const uint64_t sp0 = r.r[spReg()];
    if (!mTarget.stackOf(sp0, &mLo, &mHi))
        mLo = mHi = sp0;
    mLo = std::min(mLo, sp0);
    frames.push_back({pc, sp0, "pc"});
    while (frames.size() < kMaxUnwindFrames) {
        const UnwindFrame& last = frames.back();
        // A caller's pc is the return address: the call is the instruction
        // before it, whose table row is the one to use.
        const uint64_t lookup = frames.size() == 1 ? pc : pc - (arm() ? 2 : 1);
        const Tables* t = tables(pc, &base);
        if (!t)
            break;
        UnwindRegs next = r;
        const char* how = arm() ? "exidx" : "cfi";
        const uint64_t vaddr = word(lookup - base + t->slide);
        Step step = arm() ? exidx(*t, vaddr, &next) : cfi(*t, vaddr, &next);
        // Arm marks a function that never returns (abort) or was built
        // without tables as one not to unwind: the fallbacks may still
        // find its caller. x86-64 marks only the outermost frame.
        if (step == kLast && !arm())
            break;
        if (step == kLast)
            step = kNone;
        if (step == kNone && arm() && frames.size() == 1 && r.r[14] != 0 && (r.r[14] & ~uint64_t(1)) != pc) {
            // A leaf that has not saved its return address yet.
            next = r, next.r[15] = r.r[14], how = "lr", step = kNext;
        }
        if (step == kNone) {
            next = r, how = "fp";
            if (!framePointer(&next, thumb) && !(arm() && (next = r, how = "scan", scan(&next, pc))))
                break;
        }
        const uint64_t raw = word(next.r[pcReg()]), sp = word(next.r[spReg()]);
        next.r[spReg()] = sp;
        const uint64_t nextPc = arm() ? raw & ~uint64_t(1) : raw;
        if (nextPc == 0 || sp < last.sp || sp > mHi || (sp == last.sp && nextPc == pc) ||
            std::any_of(frames.begin(), frames.end(), [&](const UnwindFrame& f) { return f.pc == nextPc && f.sp == sp; }) ||
            !mTarget.module(nextPc, &base))
            break;
        thumb = arm() && (raw & 1);
        r = next, pc = nextPc;
        frames.push_back({pc, sp, how});
    }
    return frames;
}

}  // namespace

std::vector<UnwindFrame> unwindStack(UnwindArch arch, const UnwindRegs& regs, UnwindTarget& target)
{
    return Walker(arch, target).walk(regs);
}
