// The monitor's serial port: opening, configuring and reading the line.
//
//   serial_fd                          the open port; written once, by uart_init
//   uart_init()                        open SERIAL_DEVICE_PATH (never as the controlling
//                                      terminal, closed on exec), take it for this process
//                                      alone and configure it 115200 8N1; on failure
//                                      print why on standard output and exit with 1
//   set_opt(fd, speed, bits, parity, stop)
//                                      configure an open terminal raw, VMIN one frame;
//                                      0, or -1 after a message on standard error
//   read_frame(fd, frame)              fill frame from the line, retrying short and
//                                      interrupted reads; 0, or -1 after a message
//   watch_line(fd, seconds)            let that time pass, ending it early should the line
//                                      hang up; 0, or -1 after a message
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

#include <cstddef>
#include <span>
#include <termios.h>

#include "sensor_frame.h"

#ifndef SENSMON_DEVICE_PATH
#define SENSMON_DEVICE_PATH "/dev/ttyUSB0"
#endif
inline constexpr const char *SERIAL_DEVICE_PATH = SENSMON_DEVICE_PATH;

extern int serial_fd;

void uart_init();
int set_opt(int fd, int speed, int bits, char parity, int stop);
int read_frame(int fd, std::span<unsigned char, SENSOR_FRAME_LEN> frame);
int watch_line(int fd, unsigned seconds);

inline constexpr std::size_t LINE_PARAMS_MSG_MAX = 64;
speed_t speed_code(int speed);
const char *line_params_error(int speed, int bits, char parity, int stop, char (&msg)[LINE_PARAMS_MSG_MAX]);
termios line_attrs(speed_t code, int bits, char parity, int stop);
bool same_line(const termios &want, const termios &got);
