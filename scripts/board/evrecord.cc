// Problem: to judge tapfuzz we need what the kernel delivered from the node,
// after the input core's own filtering, not what tapfuzz meant to write.
// Solution: an evdev client that records every delivered event as text
// ("sec.usec type code value", monotonic clock) until SIGTERM, then drains
// what is still queued and stops.
//
// usage: evrecord DEVICE CAPTURE READYFILE
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>

#include "board_io.h"

namespace {

const char kTool[] = "evrecord";

volatile sig_atomic_t gStop = 0;

void onTerm(int) { gStop = 1; }

// Appends the records in buf to out; the platform's own struct input_event
// decides the record size (16 bytes on this 32-bit board).
void emit(FILE* out, const struct input_event* ev, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        fprintf(out, "%lld.%06ld %u %u %d\n",
                static_cast<long long>(ev[i].input_event_sec),
                static_cast<long>(ev[i].input_event_usec),
                static_cast<unsigned>(ev[i].type), static_cast<unsigned>(ev[i].code),
                static_cast<int>(ev[i].value));
    }
}

// Reads what is queued; returns false once the queue is empty (or failed).
bool readSome(int fd, FILE* out, size_t* total)
{
    struct input_event ev[64];
    ssize_t n = read(fd, ev, sizeof ev);
    if (n < 0) {
        if (errno == EINTR)
            return true;
        if (errno == EAGAIN)
            return false;
        board::die(kTool, "read: %s", strerror(errno));
    }
    if (n == 0)
        return false;
    if (n % static_cast<ssize_t>(sizeof ev[0]) != 0)
        board::die(kTool, "read returned %zd bytes, not whole records", n);
    size_t count = static_cast<size_t>(n) / sizeof ev[0];
    emit(out, ev, count);
    *total += count;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        board::die(kTool, "usage: evrecord DEVICE CAPTURE READYFILE");

    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &old);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onTerm;
    sigaction(SIGTERM, &sa, nullptr);

    board::Fd fd(board::open_retry(argv[1], O_RDONLY | O_NONBLOCK));
    if (!fd.valid())
        board::die(kTool, "open %s: %s", argv[1], strerror(errno));
    // Frames are compared by their spacing; the wall clock could be stepped.
    int clk = CLOCK_MONOTONIC;
    if (ioctl(fd.get(), EVIOCSCLOCKID, &clk) < 0)
        board::die(kTool, "EVIOCSCLOCKID: %s", strerror(errno));
    char name[128] = "";
    if (ioctl(fd.get(), EVIOCGNAME(sizeof name - 1), name) < 0)
        board::die(kTool, "EVIOCGNAME: %s", strerror(errno));

    FILE* out = fopen(argv[2], "w");
    if (!out)
        board::die(kTool, "open %s: %s", argv[2], strerror(errno));
    fprintf(out, "# device: %s\n", name);
    fprintf(out, "# record size: %zu\n", sizeof(struct input_event));
    if (!board::write_file(argv[3], "ready\n"))
        board::die(kTool, "cannot write %s", argv[3]);

    size_t total = 0;
    while (!gStop) {
        struct pollfd p = {fd.get(), POLLIN, 0};
        int r = ppoll(&p, 1, nullptr, &old);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            board::die(kTool, "ppoll: %s", strerror(errno));
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            board::die(kTool, "device went away (revents 0x%x)", p.revents);
        while (readSome(fd.get(), out, &total)) {
        }
    }
    // Whatever the kernel queued before the stop request still belongs to
    // the run.
    while (readSome(fd.get(), out, &total)) {
    }
    if (fclose(out) != 0)
        board::die(kTool, "closing %s: %s", argv[2], strerror(errno));
    printf("evrecord: %zu events from \"%s\"\n", total, name);
    return 0;
}
