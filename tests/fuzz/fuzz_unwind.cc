// Arbitrary bytes as the registers, the stack and the one module of a
// crashed thread, as a planted dump and a planted module file can make
// them: the walk reads within its stack and module, ends within its 32
// frames, and each frame past the first lies in the module with its sp
// never going down.
#include <stdint.h>
#include <string.h>

#include <cstdlib>

#include "watch/unwind.h"

namespace {

constexpr uint64_t kStack = 0x7f000000, kBase = 0x10000;

class FuzzTarget : public UnwindTarget {
public:
    FuzzTarget(const uint8_t* stack, size_t stackSize, const uint8_t* image, size_t imageSize)
        : mStack(stack), mStackSize(stackSize), mImage(image, imageSize)
    {
    }
    bool memory(uint64_t addr, void* buf, size_t n) override
    {
        if (addr < kStack || addr - kStack > mStackSize || n > mStackSize - (addr - kStack))
            return false;
        memcpy(buf, mStack + (addr - kStack), n);
        return true;
    }
    bool stackOf(uint64_t, uint64_t* lo, uint64_t* hi) override
    {
        *lo = kStack, *hi = kStack + mStackSize;
        return true;
    }
    const Reader* module(uint64_t addr, uint64_t* base) override
    {
        *base = kBase;
        return addr >= kBase && addr - kBase < mImage.size() ? &mImage : nullptr;
    }

private:
    const uint8_t* mStack;
    size_t mStackSize;
    MemReader mImage;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One byte of machine, the registers, two bytes of stack length, the
    // stack, then the module's file.
    UnwindRegs regs;
    if (size < 1 + sizeof regs.r + 2)
        return 0;
    const bool arm = data[0] & 1;
    memcpy(regs.r, data + 1, sizeof regs.r);
    size_t at = 1 + sizeof regs.r, stackSize = static_cast<size_t>(data[at] | data[at + 1] << 8);
    at += 2;
    stackSize = std::min(stackSize, size - at);
    const uint8_t* stack = data + at;
    const size_t imageSize = size - at - stackSize;
    if (imageSize == 0)
        return 0;
    // sp in the stack and pc in the module, where a real walk starts.
    const unsigned sp = arm ? 13 : 7, pc = arm ? 15 : 16;
    regs.r[sp] = kStack + regs.r[sp] % (stackSize + 1);
    regs.r[pc] = kBase + regs.r[pc] % imageSize;
    if (arm)
        regs.r[sp] &= 0xffffffffu;
    FuzzTarget target(stack, stackSize, stack + stackSize, imageSize);
    const std::vector<UnwindFrame> frames = unwindStack(arm ? UnwindArch::Arm : UnwindArch::X86_64, regs, target);
    if (frames.empty() || frames.size() > kMaxUnwindFrames)
        abort();
    for (size_t i = 1; i < frames.size(); ++i)
        if (frames[i].pc < kBase || frames[i].pc - kBase >= imageSize || frames[i].sp < frames[i - 1].sp ||
            frames[i].sp > kStack + stackSize)
            abort();
    return 0;
}
