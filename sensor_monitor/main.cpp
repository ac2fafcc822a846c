// sensmon: show every frame the sensor sends over the serial line, one screen
// per frame, until the line is lost or the process is killed.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <termios.h>
#include <unistd.h>

#include "sensor_frame.h"
#include "serial_port.h"

#ifndef SENSMON_PAUSE_SECONDS
#define SENSMON_PAUSE_SECONDS 3
#endif
inline constexpr unsigned SCREEN_SECONDS = SENSMON_PAUSE_SECONDS;

int main()
{
    int frame_count = 0;
    std::array<unsigned char, SENSOR_FRAME_LEN> frame{};

    uart_init();
    tcflush(serial_fd, TCIOFLUSH);  // whatever came before start-up is stale
    for (;;) {
        if (read_frame(serial_fd, frame) != 0)
            return 1;
        print_frame(stdout, frame, frame_count++);
        std::fflush(stdout);  // a screen must not wait in a pipe's buffer, nor follow "clear"
        sleep(SCREEN_SECONDS);
        if (std::system("clear") != 0) {
            // Without "clear" the screens simply scroll.
        }
    }
}
