// sensmon: show every frame the sensor sends over the serial line, one screen
// per frame, until the line is lost, the screen cannot be written or the
// process is killed.
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>

#include "sensor_frame.h"
#include "serial_port.h"

#ifndef SENSMON_PAUSE_SECONDS
#define SENSMON_PAUSE_SECONDS 3
#endif
inline constexpr unsigned SCREEN_SECONDS = SENSMON_PAUSE_SECONDS;

// The port must not take the number of a closed standard descriptor: the
// screens, or the shell's complaints, would then go down the line.
static void fill_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) == -1) {
            std::perror("/dev/null");
            std::exit(1);
        }
    }
}

// A screen is flushed before the pause: it must not wait in a pipe's buffer,
// nor follow "clear".  A screen that cannot be written (a full disk, a
// terminal that went away) ends the monitor instead of losing every later one.
static bool show_screen(frame_bytes frame, int frame_number)
{
    print_frame(stdout, frame, frame_number);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    std::perror("write error");
    return false;
}

// While "clear" runs, system() ignores SIGINT and SIGQUIT, so a Ctrl-C then
// ends only the child: pass it on, as if it had reached the monitor itself.
static void clear_screen()
{
    const int status = std::system("clear");
    if (status != -1 && WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT))
        raise(WTERMSIG(status));
    // Without "clear" the screens simply scroll.
}

int main()
{
    int frame_count = 0;
    std::array<unsigned char, SENSOR_FRAME_LEN> frame{};

    fill_standard_descriptors();
    uart_init();
    tcflush(serial_fd, TCIOFLUSH);  // whatever came before start-up is stale
    for (;;) {
        if (read_frame(serial_fd, frame) != 0 || !show_screen(frame, frame_count++) ||
            watch_line(serial_fd, SCREEN_SECONDS) != 0)
            return 1;
        clear_screen();
    }
}
