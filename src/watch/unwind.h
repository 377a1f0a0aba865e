// Problem: an abort(), an assert and a fault in a shared helper all leave
// the pc in the same few instructions of the C library; only the crashing
// thread's callers tell two such bugs apart, and the device has no debugger.
// Solution: walk the thread's stack from its registers in the dump, with
// the unwind tables the modules carry for exceptions anyway (.ARM.exidx on
// 32-bit Arm, .eh_frame on x86-64), read from the module files by pread;
// the link register and frame pointers where a table gives no answer.
#ifndef TAPFUZZ_WATCH_UNWIND_H
#define TAPFUZZ_WATCH_UNWIND_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "watch/elf_reader.h"

enum class UnwindArch { Arm, X86_64 };

// The signalled thread's registers: on Arm r0..r15 and cpsr at 16; on
// x86-64 in DWARF's numbering (rax, rdx, rcx, rbx, rsi, rdi, rbp, rsp,
// r8..r15), the pc (rip) at 16.
struct UnwindRegs {
    uint64_t r[17] = {};
};

// One frame: its pc (a caller's is the return address, Thumb bit cleared)
// and how it was found: "pc" (the registers), "exidx" (Arm's table), "cfi"
// (.eh_frame), "lr" (the link register of a function that has not saved it),
// "fp" (the frame pointer chain) or, on Arm, "scan" (the first word up the
// stack that returns just after a call of the function being unwound, or
// an indirect call: a guess, where nothing else tells).
struct UnwindFrame {
    uint64_t pc, sp;
    const char* how;
};

// What the walk reads through: the crashed process's memory as the dump
// holds it, and the module files mapped into it.
class UnwindTarget {
public:
    virtual ~UnwindTarget() = default;
    // All n bytes at addr, or false (not in the dump, or past the target's
    // read budget).
    virtual bool memory(uint64_t addr, void* buf, size_t n) = 0;
    // The stack mapping the thread's sp lies in (or, after an overflow into
    // the guard gap, the nearest mapping above it): [lo, hi).
    virtual bool stackOf(uint64_t sp, uint64_t* lo, uint64_t* hi) = 0;
    // The module file mapped at addr and the address its file offset 0 is
    // mapped at; nullptr when addr lies in no file. The reader lives as long
    // as the target.
    virtual const Reader* module(uint64_t addr, uint64_t* base) = 0;
};

constexpr size_t kMaxUnwindFrames = 32;

// At most kMaxUnwindFrames frames, the first the registers' own. The walk
// ends at a frame its table marks as the last, a pc of 0 or in no module, a
// sp that goes down, leaves the stack mapping or repeats with its pc, and
// wherever neither the table nor a fallback gives a caller.
std::vector<UnwindFrame> unwindStack(UnwindArch arch, const UnwindRegs& regs, UnwindTarget& target);

#endif
