// Problem: hardware keys (power, volume, home, ...) must be pressed the way
// the device's key driver reports them.
// Solution: write one press and one release of the key code, each closed by
// a report, through a descriptor of its own on the same event node. Once
// the press is out its release always follows: the input core would hold
// the key down, and repeat it, until some later release.
#include "feedinput.h"

#include <fcntl.h>
#include <linux/input.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int mFdhwkey = -1;

void CreateResource1()
{
    if (mFdhwkey >= 0)
        return;
    mFdhwkey = open(FEEDINPUT_DEVICE, O_RDWR | O_CLOEXEC);
    // No line feed: the failed version query below completes this line.
    if (mFdhwkey < 0)
        fputs("can not set devhwkeyname", stdout);
    int version;
    if (ioctl(mFdhwkey, EVIOCGVERSION, &version) < 0)
        fputs("get hwkey info error\n", stdout);
}

void ReleaseResource1()
{
    if (mFdhwkey >= 0)
        close(mFdhwkey);
    mFdhwkey = -1;
}

int sendHKeyInput(int code)
{
    NodeHold<CreateResource1, ReleaseResource1> node;
    // The record's code field is 16 bits wide: only the low half of the
    // argument reaches the kernel.
    const uint16_t key = static_cast<uint16_t>(code);
    if (writeInputEvent(mFdhwkey, EV_KEY, key, 1) < 0)
        return -1;
    // Each record is tried even when one before it failed.
    int rc = writeInputEvent(mFdhwkey, EV_SYN, SYN_REPORT, 0);
    rc |= writeInputEvent(mFdhwkey, EV_KEY, key, 0);
    rc |= writeInputEvent(mFdhwkey, EV_SYN, SYN_REPORT, 0);
    return rc;
}
