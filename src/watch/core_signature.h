// Problem: after a night's run the engineer wants "3 distinct crashes, this
// one 31 times", not 40 dumps to open one by one; the device has no debugger
// and no symbol server, and a dump in /tmp may be planted by any local user.
// Solution: a signature read from the dump's own ELF headers and notes and
// the crashing thread's stack: the signal and the first three frames past
// the abort and assert machinery, each a module and an offset from its load
// address; the nearest symbols from the modules' own symbol tables decorate
// it. Every offset and size from the dump or the module is checked against
// its file before it is read, so a damaged or hostile file gives `unknown`
// or a shorter stack, never a read out of bounds or a hang.
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
// The crashing thread's stack is walked (watch/unwind.h) and each frame
// named by module, offset and symbol. The frames that matter start past the
// abort and assert machinery every such crash passes through (the C
// library's raise, abort and __assert_fail, the C++ runtime's terminate
// path, the toolkits' fatal-message handlers; the list is in
// core_signature.cc, CRASH_SKIP_FUNCTIONS in the profile adds to it).
//
// text(): parts separated by one blank, the optional ones in brackets, of
// the first frame that matters and the next:
//   SIGNAL MODULE+0xOFFSET [SYMBOL+0xOFFSET] [from MODULE+0xOFFSET]
//   e.g. "SIGSEGV touchapp+0x10a2c draw_cell+0x1c from touchapp+0x10b40"
// key(): the signal and three frames that matter, "SIGNAL,F1,F2,F3", each
// frame PATH+0xOFFSET or "-" past the stack's end, e.g.
// "SIGABRT,/usr/bin/touchapp+0x7b6,/usr/bin/touchapp+0x850,/lib/libc.so.6+0x2724a":
// two dumps with the same key are the same crash; symbols are decoration.
// PATH is the mapped file's path, so that two libraries of one name in
// different folders stay apart. A stack
// overflow (sp in the stack's lowest page or below it) faults in whichever
// instruction of the recursion meets the stack's end: its key's frames are
// the first three, in sorted order, of the distinct return addresses of the
// walk past frame 0, the recursion's call sites. Keys written
// before the walk were "SIGNAL,PATH+0xOFFSET" of the pc alone (and before
// that "SIGNAL,MODULE+0xOFFSET"); they still group among themselves.
// backtrace(): a line a frame, "#N MODULE+0xOFFSET [SYMBOL+0xOFFSET] (HOW)".
// All "unknown" (backtrace() "") when `known` is false. Offsets are lower-case hex.
//
// MODULE is the base name of the mapped file (a " (deleted)" the kernel adds
// to a file replaced since it was mapped is dropped), PATH that file's path
// as NT_FILE gives it (of its folder the last 240 bytes), SYMBOL the
// name from the module's .symtab, else its .dynsym (a caller's looked up
// at its call, one byte before its return address); all escaped as log text
// (escapeLogText) with a blank written \x20 and a comma \x2c, so the text
// splits on blanks and the key on commas.
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
// before other symbols).
struct CrashFrame {
    uint64_t pc = 0;           // a caller's is its return address
    std::string module;        // escaped base name; "" when the pc lies in no file
    std::string modulePath;    // escaped path, as keys give it
    uint64_t offset = 0;       // pc - load address of the module
    std::string symbol;        // escaped; "" when none
    uint64_t symbolOffset = 0;
    std::string how;           // pc, exidx, cfi, lr, fp or scan (watch/unwind.h)
};

struct CoreSignature {
    bool known = false;
    std::string signal;        // "SIGSEGV"
    // The pc's (and frame 0's):
    std::string module;        // escaped base name
    std::string modulePath;    // escaped path
    uint64_t offset = 0;       // pc - load address of the module
    std::string symbol;        // escaped; "" when none
    uint64_t symbolOffset = 0;
    std::vector<CrashFrame> frames;  // the crashing thread's stack, frame 0 the pc's
    size_t first = 0;          // of frames, the first that matters
    bool overflow = false;     // sp at the stack's low end: an overflow

    std::string backtrace() const;

    std::string text() const;
    std::string key() const;
};

// Whether two keys name one crash: the same key, or a key of the pc alone
// written before the walk ("SIGNAL,PATH+0xOFFSET", or older still
// "SIGNAL,MODULE+0xOFFSET") and one whose first frame is that place (a
// path ending in that module's name for the oldest); a record of an older
// run can so still be shrunk after its dump is gone, but for a crash whose
// pc lay in the abort machinery, whose older key named that machinery.
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
