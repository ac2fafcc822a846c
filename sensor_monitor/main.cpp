// sensmon: show the frames the sensor sends over the serial line, one screen
// per frame, until the line is lost, the screen cannot be written or the
// process is killed.  The line is tended all the while, so that it never
// backs up.  The screens keep a steady cadence, one every SCREEN_MS, and show
// no frame that has waited a whole screen while a newer one came.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "sensor_frame.h"
#include "serial_port.h"

#ifndef SENSMON_PAUSE_MS
#define SENSMON_PAUSE_MS 3000
#endif
inline constexpr int SCREEN_MS = SENSMON_PAUSE_MS;

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
// The shell tells of a command that a signal ended by ending the same way, or
// by the exit status 128 and the signal's number.
static void clear_screen()
{
    const int status = std::system("clear");
    int sig = 0;
    if (status != -1 && WIFSIGNALED(status))
        sig = WTERMSIG(status);
    else if (status != -1 && WIFEXITED(status))
        sig = WEXITSTATUS(status) - 128;
    if (sig == SIGINT || sig == SIGQUIT)
        raise(sig);
    // Without "clear" the screens simply scroll.
}

// A screen waits for a frame, and for room on the output: a stopped terminal
// (Ctrl-S, Scroll Lock) must not keep the monitor from its line.
constexpr line_wait NEXT_SCREEN{.frame = true, .room_fd = STDOUT_FILENO};
constexpr line_wait ROOM_TO_CLEAR{.room_fd = STDOUT_FILENO};

// When the screen shown now is to be cleared.  A screen on time keeps the
// cadence, "clear" included, so that a sensor exactly as slow as the screens
// never falls behind; one that had to wait for its frame (or for room) starts
// the cadence afresh; and each stays at least half a screen.
static long long clear_due(long long due, long long now, bool waited)
{
    return std::max(waited ? now : due, now - SCREEN_MS / 2) + SCREEN_MS;
}

int main()
{
    int frame_count = 0;
    kept_frames kept;
    line_state line;
    long long due = 0;

    fill_standard_descriptors();
    uart_init();
    tcflush(serial_fd, TCIOFLUSH);  // whatever came before start-up is stale
    line.drained_ms = monotonic_ms();
    if (watch_arrivals(serial_fd) != 0)
        return 1;
    for (;;) {
        const int waited = tend_line(serial_fd, line, kept, NEXT_SCREEN);
        if (waited < 0)
            return 1;
        const long long now = monotonic_ms();
        due = clear_due(due, now, waited);
        drop_stale(kept, now - SCREEN_MS);
        if (!show_screen(oldest_frame(kept), frame_count++))
            return 1;
        drop_oldest(kept);
        if (tend_line(serial_fd, line, kept, {.until_ms = due}) < 0 ||
            tend_line(serial_fd, line, kept, ROOM_TO_CLEAR) < 0)
            return 1;
        clear_screen();
    }
}
