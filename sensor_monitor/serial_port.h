// The monitor's serial port: opening, configuring and tending the line.
//
//   serial_fd                          the open port; written once, by uart_init
//   uart_init()                        open SERIAL_DEVICE_PATH whatever its carrier (never as the
//                                      controlling terminal, closed on exec), take it for this
//                                      process alone, configure it 115200 8N1 and leave it in
//                                      blocking mode; on failure print why on standard output
//                                      and exit with 1
//   set_opt(fd, speed, bits, parity, stop)
//                                      configure an open terminal raw, VMIN one frame;
//                                      0, or -1 after a message on standard error
//   watch_arrivals(fd)                 have the kernel signal each arrival of bytes on the line
//                                      (SIGIO): under VMIN a frame long nothing else tells of
//                                      part of one; 0, or -1 after a message
//   tend_line(fd, line, kept, wait)    take what the line brings as it comes, never waiting in
//                                      a read: whole frames into kept, each with the time it
//                                      came, a partial one into line until the line has been
//                                      quiet LINE_QUIET_MS; until wait is met: 0 if it was at
//                                      the first look, 1 if it took waiting, -1 after a message
//                                      once the line is lost (end of file, hang-up, read error)
//   monotonic_ms()                     CLOCK_MONOTONIC in milliseconds, the clock of the above
//
// Pure helpers of set_opt, open to tests:
//   speed_code(speed)                  B-constant of a supported speed, 0 for any other
//   line_params_error(..., msg)        why the parameters are refused, or nullptr
//   line_attrs(code, bits, parity, stop)   the complete attribute record of a line
//   same_line(want, got)               whether the driver kept every setting asked for
//
// Supported: speed 2400, 4800, 9600, 115200 or 460800; bits 7 or 8;
// parity 'N', 'O' or 'E'; stop 1 or 2.
#pragma once

#include <array>
#include <cstddef>
#include <termios.h>

#include "sensor_frame.h"

#ifndef SENSMON_DEVICE_PATH
#define SENSMON_DEVICE_PATH "/dev/ttyUSB0"
#endif
inline constexpr const char *SERIAL_DEVICE_PATH = SENSMON_DEVICE_PATH;

extern int serial_fd;

// Adapters hand bytes over in USB packets (an FTDI chip every 16 ms by
// default), so the pieces of one frame may come some 20 ms apart; a partial
// frame followed by this much silence is the torn end of one, never the
// start of a whole frame.
inline constexpr int LINE_QUIET_MS = 50;

// The start of a frame taken off the line, when it last grew, and when the
// line was last drained (CLOCK_MONOTONIC, in milliseconds).
struct line_state {
    std::array<unsigned char, SENSOR_FRAME_LEN> partial{};
    std::size_t have = 0;
    long long since_ms = 0;
    long long drained_ms = 0;
    bool watched = false;  // ever since drained_ms: what comes now came now
};

// What tend_line waits for: the time given, or everything asked for.
struct line_wait {
    long long until_ms = -1;  // on monotonic_ms(); -1: no time limit
    bool frame = false;       // a frame kept, and...
    int room_fd = -1;         // ...room to write a screen on this descriptor
};

void uart_init();
int set_opt(int fd, int speed, int bits, char parity, int stop);
int watch_arrivals(int fd);
int tend_line(int fd, line_state &line, kept_frames &kept, const line_wait &wait);
long long monotonic_ms();

inline constexpr std::size_t LINE_PARAMS_MSG_MAX = 64;
speed_t speed_code(int speed);
const char *line_params_error(int speed, int bits, char parity, int stop, char (&msg)[LINE_PARAMS_MSG_MAX]);
termios line_attrs(speed_t code, int bits, char parity, int stop);
bool same_line(const termios &want, const termios &got);
