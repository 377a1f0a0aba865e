// Problem: the emulated board has no touch screen, yet tapfuzz must write to
// a real input device whose kernel-side filtering and delivery can be seen.
// Solution: a uinput touch panel that advertises every type and code tapfuzz
// sends, held open until the scenario asks it to go (SIGTERM).
//
// usage: panel KEYCODE...
#include <linux/input.h>
#include <linux/uinput.h>
#include <signal.h>
#include <sys/ioctl.h>

#include "board_io.h"

namespace {

const char kTool[] = "panel";

// Slightly larger than the 800x480 screen: a swipe whose end draw equals its
// start is nudged by (+10, +10) and may land up to 9 pixels past the edge.
const int kMaxX = 809;
const int kMaxY = 489;

volatile sig_atomic_t gStop = 0;

void onTerm(int) { gStop = 1; }

void ioctlOrDie(int fd, unsigned long req, long arg, const char* what)
{
    if (ioctl(fd, req, arg) < 0)
        board::die(kTool, "%s: %s", what, strerror(errno));
}

void absSetup(int fd, int code, int min, int max)
{
    struct uinput_abs_setup abs;
    memset(&abs, 0, sizeof abs);
    abs.code = static_cast<__u16>(code);
    abs.absinfo.minimum = min;
    abs.absinfo.maximum = max;
    ioctlOrDie(fd, UI_SET_ABSBIT, code, "UI_SET_ABSBIT");
    if (ioctl(fd, UI_ABS_SETUP, &abs) < 0)
        board::die(kTool, "UI_ABS_SETUP %d: %s", code, strerror(errno));
}

} // namespace

int main(int argc, char** argv)
{
    board::Fd fd(board::open_retry("/dev/uinput", O_WRONLY | O_NONBLOCK));
    if (!fd.valid())
        board::die(kTool, "open /dev/uinput: %s", strerror(errno));

    ioctlOrDie(fd.get(), UI_SET_EVBIT, EV_SYN, "UI_SET_EVBIT EV_SYN");
    ioctlOrDie(fd.get(), UI_SET_EVBIT, EV_KEY, "UI_SET_EVBIT EV_KEY");
    ioctlOrDie(fd.get(), UI_SET_EVBIT, EV_ABS, "UI_SET_EVBIT EV_ABS");
    ioctlOrDie(fd.get(), UI_SET_KEYBIT, BTN_TOUCH, "UI_SET_KEYBIT BTN_TOUCH");
    for (int i = 1; i < argc; ++i) {
        char* end = nullptr;
        errno = 0;
        long code = strtol(argv[i], &end, 10);
        if (errno != 0 || end == argv[i] || *end != '\0' || code <= 0 || code > KEY_MAX)
            board::die(kTool, "key code '%s' is not in 1..%d", argv[i], KEY_MAX);
        ioctlOrDie(fd.get(), UI_SET_KEYBIT, code, "UI_SET_KEYBIT");
    }
    absSetup(fd.get(), ABS_X, 0, kMaxX);
    absSetup(fd.get(), ABS_Y, 0, kMaxY);
    absSetup(fd.get(), ABS_MT_POSITION_X, 0, kMaxX);
    absSetup(fd.get(), ABS_MT_POSITION_Y, 0, kMaxY);
    absSetup(fd.get(), ABS_MT_TRACKING_ID, 0, 65535);
    // A touch screen, not a touch pad: positions are screen positions.
    ioctlOrDie(fd.get(), UI_SET_PROPBIT, INPUT_PROP_DIRECT, "UI_SET_PROPBIT");

    struct uinput_setup setup;
    memset(&setup, 0, sizeof setup);
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x1209;
    setup.id.product = 0x7466;
    setup.id.version = 1;
    snprintf(setup.name, sizeof setup.name, "%s", "tapfuzz board panel");
    if (ioctl(fd.get(), UI_DEV_SETUP, &setup) < 0)
        board::die(kTool, "UI_DEV_SETUP: %s", strerror(errno));
    if (ioctl(fd.get(), UI_DEV_CREATE) < 0)
        board::die(kTool, "UI_DEV_CREATE: %s", strerror(errno));

    // Blocked until sigsuspend, so a SIGTERM between the test and the wait
    // cannot be lost.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &old);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onTerm;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    printf("panel: created with %d key codes\n", argc - 1);
    fflush(stdout);
    while (!gStop)
        sigsuspend(&old);

    ioctl(fd.get(), UI_DEV_DESTROY);
    return 0;
}
