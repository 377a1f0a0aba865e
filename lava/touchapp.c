/* The application under test on the emulated board of the LAVA job. Like
 * any touch UI it reads the panel's events; on its Nth touch (argument 1,
 * by default 20) it dies of SIGSEGV, as a buggy application does under
 * stress, so that the farm's results show a crash case. */
#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    long crash_at = argc > 1 ? strtol(argv[1], NULL, 10) : 20;
    int fd = open("/dev/input/event0", O_RDONLY);
    if (fd < 0) {
        perror("touchapp: /dev/input/event0");
        return 1;
    }
    struct input_event ev;
    long touches = 0;
    while (read(fd, &ev, sizeof ev) == (ssize_t)sizeof ev) {
        if (ev.type == EV_KEY && ev.code == BTN_TOUCH && ev.value == 1 && ++touches == crash_at)
            raise(SIGSEGV);
    }
    return 0;
}
