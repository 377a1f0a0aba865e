// Problem: --explore looks at the screen before every gesture, on the run's
// own thread: that look must cost little beside the gesture itself.
// Solution: time ScreenExplorer's look and placement on a frame buffer file
// of a screen of buttons that changes every few gestures.
// usage: explore_bench FB GESTURES (run with fbshim preloaded and
// TAPFUZZ_TEST_FB naming the screen). Prints "us_per_gesture MEDIAN MAX
// SECOND_LOOKS_PER_GESTURE", over 9 rounds; the second looks' waits are not
// timed.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gesture/screen_explorer.h"

namespace {

double nowUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// A screen of a plain background and a few buttons, the layout `n`'s.
void paint(int fd, const FrameLayout& l, unsigned n)
{
    std::vector<uint32_t> row(l.line / 4);
    for (unsigned y = 0; y < l.height; ++y) {
        for (unsigned x = 0; x < l.width; ++x) {
            unsigned b = (x / 90 + y / 70 + n) % 5;
            row[x] = (x % 90 < 60 && y % 70 < 40 && b < 2) ? 0xd04040 + b * 0x3000 : 0x203040;
        }
        if (pwrite(fd, row.data(), l.line, static_cast<off_t>(y * l.line)) < 0)
            exit(1);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const int gestures = atoi(argv[2]);
    int fd = open(argv[1], O_RDWR | O_CLOEXEC);
    FrameLayout layout;
    std::string why;
    if (fd < 0 || readFrameLayout(fd, argv[1], &layout, &why) != 0 || layout.bytes != 4) {
        fprintf(stderr, "explore_bench: %s\n", why.c_str());
        return 1;
    }
    std::vector<double> rounds;
    double stills = 0;
    for (int round = 0; round < 9; ++round) {
        // No wait before a second look: the bench times the work, not the sleep.
        ScreenExplorer explorer(20, {}, true, [] {});
        if (!explorer.open(argv[1], &why))
            return 1;
        explorer.seed(static_cast<uint64_t>(round));
        double spent = 0;
        for (int i = 0; i < gestures; ++i) {
            if (i % 8 == 0)
                paint(fd, layout, static_cast<unsigned>(i / 8 % 12));
            Pointer click{};
            click.eventTye = FACTOR_TOUCH;
            double t = nowUs();
            explorer.look();
            explorer.place(&click);
            spent += nowUs() - t;
        }
        rounds.push_back(spent / gestures);
        stills = static_cast<double>(explorer.stillLooks()) / gestures;
    }
    std::sort(rounds.begin(), rounds.end());
    printf("us_per_gesture %.1f %.1f %.3f\n", rounds[rounds.size() / 2], rounds.back(), stills);
    return 0;
}
