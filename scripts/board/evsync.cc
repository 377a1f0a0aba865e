// Problem: a run that stops in the middle of a frame (a fault: tapfuzz ends
// only between events) leaves values the input core holds back until the
// next SYN_REPORT, which would arrive with the next run's first gesture and
// blame the wrong run.
// Solution: write one SYN_REPORT so the held values are delivered now, to
// the run they belong to. With nothing held, the kernel drops it unseen.
//
// usage: evsync DEVICE
#include <linux/input.h>

#include "board_io.h"

int main(int argc, char** argv)
{
    if (argc != 2)
        board::die("evsync", "usage: evsync DEVICE");
    board::Fd fd(board::open_retry(argv[1], O_WRONLY));
    if (!fd.valid())
        board::die("evsync", "open %s: %s", argv[1], strerror(errno));
    struct input_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = EV_SYN;
    ev.code = SYN_REPORT;
    if (!board::write_all(fd.get(), &ev, sizeof ev))
        board::die("evsync", "write: %s", strerror(errno));
    return 0;
}
