// Problem: after a night's run the engineer wants "3 distinct crashes, this
// one 31 times", not 40 dumps to open one by one; the device has no debugger
// and no symbol server, and a dump in /tmp may be planted by any local user.
// Solution: a signature read from the dump's own ELF headers and notes, never
// its memory: the signal, the module that holds the faulting pc and the pc's
// offset from that module's load address. The nearest symbol from the
// module's own symbol table and, on Arm, the caller from the link register
// decorate it. Every offset and size from the dump or the module is checked
// against its file before it is read, so a damaged or hostile file gives
// `unknown`, never a read out of bounds or a hang.
#ifndef TAPFUZZ_WATCH_CORE_SIGNATURE_H
#define TAPFUZZ_WATCH_CORE_SIGNATURE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Read from the dumping thread's notes (the kernel writes it first): the
// signal is NT_SIGINFO's si_signo when the dump has one, else NT_PRSTATUS's
// pr_cursig; the pc (and on Arm lr, Thumb bit cleared) from its registers;
// the modules from NT_FILE. Dumps of 32-bit little-endian Arm (the device)
// and x86-64 (the host) are read; other machines are `unknown`.
//
// text(): parts separated by one blank, the optional ones in brackets:
//   SIGNAL MODULE+0xOFFSET [SYMBOL+0xOFFSET] [from MODULE+0xOFFSET]
//   e.g. "SIGSEGV touchapp+0x10a2c draw_cell+0x1c from touchapp+0x10b40"
// key(): "SIGNAL,PATH+0xOFFSET", e.g. "SIGSEGV,/usr/bin/touchapp+0x10a2c": two
// dumps with the same key are the same crash; symbol and caller are
// decoration. PATH is the mapped file's path, so that two libraries of one
// name in different folders stay apart (keys written before were
// "SIGNAL,MODULE+0xOFFSET" and still group among themselves).
// Both are "unknown" when `known` is false. Offsets are lower-case hex.
//
// MODULE is the base name of the mapped file (a " (deleted)" the kernel adds
// to a file replaced since it was mapped is dropped), PATH that file's path
// as NT_FILE gives it (of its folder the last 240 bytes), SYMBOL the
// name from the module's .symtab, else its .dynsym; all escaped as log text
// (escapeLogText) with a blank written \x20, so the text splits on blanks.
//
// `unknown`: not an ELF core of those machines; headers, notes or NT_FILE
// damaged or cut short; no NT_PRSTATUS; a signal outside 1..64; and a known
// signal whose pc lies in no file mapping (anonymous memory, the vdso, a jump
// to 0), or in a file with no mapping at file offset 0, or a dump without
// NT_FILE: grouping then falls back to the program's name.
// No symbol: the module cannot be opened as a regular file of the dump's
// class and machine (gone, replaced, a FIFO, a device, a symlink), its tables
// are damaged or larger than 16 MB, or no symbol covers the address (the
// highest st_value <= address whose st_size reaches it or is 0; functions
// before other symbols). No caller: lr lies in no module.
// One frame of the crashing thread's backtrace, frame 0 the faulting pc.
struct CrashFrame {
    uint64_t pc = 0;           // a caller's is its return address
    std::string module;        // escaped base name; "" when the pc lies in no file
    std::string modulePath;    // escaped path, as keys give it
    uint64_t offset = 0;       // pc - load address of the module
    std::string symbol;        // escaped; "" when none
    uint64_t symbolOffset = 0;
    std::string how;           // pc, exidx, cfi, lr or fp (watch/unwind.h)
};

struct CoreSignature {
    bool known = false;
    std::string signal;        // "SIGSEGV"
    std::string module;        // escaped base name
    std::string modulePath;    // escaped path
    uint64_t offset = 0;       // pc - load address of the module
    std::string symbol;        // escaped; "" when none
    uint64_t symbolOffset = 0;
    std::string caller;        // "touchapp+0x10b40"; "" when none (always on x86-64)
    std::vector<CrashFrame> frames;  // the crashing thread's stack, when known

    std::string backtrace() const;

    std::string text() const;
    std::string key() const;
};

// Whether two keys name one crash: the same key, or a key written before
// modules were keyed by path ("SIGNAL,MODULE+0xOFFSET") and one of today's
// whose path ends in that module, at the same offset; a record of an older
// run can so still be shrunk after its dump is gone.
bool sameCrashKey(const std::string& a, const std::string& b);

// The signature of the dump open at `fd` (read with pread, the file offset
// is left alone; a descriptor that is not a regular file gives `unknown`).
// Reads the ELF header and program headers, at most 1 MB of notes and an
// NT_FILE note of at most 16 MB that reaches past that megabyte, and the
// module's headers and symbol table in bounded chunks. Modules are opened by
// their path from the dump, without following a symlink and without opening
// anything but a regular file.
CoreSignature readCoreSignature(int fd);
// The same over a dump held in memory.
CoreSignature readCoreSignature(const void* data, size_t size);

#endif
