// Opening, configuring and reading the monitor's serial port.
#include "serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

int serial_fd = -1;

speed_t speed_code(int speed)
{
    switch (speed) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 115200: return B115200;
    case 460800: return B460800;
    default: return 0;
    }
}

const char *line_params_error(int speed, int bits, char parity, int stop, char (&msg)[LINE_PARAMS_MSG_MAX])
{
    const auto byte = static_cast<unsigned char>(parity);
    if (speed_code(speed) == 0)
        std::snprintf(msg, sizeof msg, "unsupported speed %d", speed);
    else if (bits != 7 && bits != 8)
        std::snprintf(msg, sizeof msg, "unsupported bits %d", bits);
    else if (parity != 'N' && parity != 'O' && parity != 'E')
        std::snprintf(msg, sizeof msg,
                      byte >= 0x21 && byte <= 0x7e ? "unsupported parity %c" : "unsupported parity \\x%02x",
                      byte);
    else if (stop != 1 && stop != 2)
        std::snprintf(msg, sizeof msg, "unsupported stop %d", stop);
    else
        return nullptr;
    return msg;
}

// The record starts all zero: nothing of the line's former settings survives.
// No flow control, no translation, no echo, no signals; a read waits for a
// whole frame.  The parameters must have passed line_params_error.
termios line_attrs(speed_t code, int bits, char parity, int stop)
{
    termios t{};
    t.c_cflag = CLOCAL | CREAD | (bits == 7 ? CS7 : CS8);
    if (parity == 'O' || parity == 'E') {
        t.c_cflag |= PARENB | (parity == 'O' ? PARODD : 0);
        t.c_iflag = INPCK | ISTRIP;
    }
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    if (stop == 2)
        t.c_cflag |= CSTOPB;
    t.c_cc[VTIME] = 0;
    t.c_cc[VMIN] = SENSOR_FRAME_LEN;
    return t;
}

// Drivers quietly drop what they cannot do (a pseudo-terminal keeps 8 bits
// without parity; a UART may round its speed), so compare what matters.
bool same_line(const termios &want, const termios &got)
{
    constexpr tcflag_t line_bits = CSIZE | PARENB | PARODD | CSTOPB | CLOCAL | CREAD | CRTSCTS;
    return cfgetispeed(&want) == cfgetispeed(&got) && cfgetospeed(&want) == cfgetospeed(&got) &&
           (want.c_cflag & line_bits) == (got.c_cflag & line_bits) && want.c_iflag == got.c_iflag &&
           want.c_oflag == got.c_oflag && want.c_lflag == got.c_lflag && want.c_cc[VMIN] == got.c_cc[VMIN] &&
           want.c_cc[VTIME] == got.c_cc[VTIME];
}

int set_opt(int fd, int speed, int bits, char parity, int stop)
{
    char msg[LINE_PARAMS_MSG_MAX];
    if (line_params_error(speed, bits, parity, stop, msg)) {
        std::fprintf(stderr, "set_opt: %s\n", msg);
        return -1;
    }
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        std::perror("SetupSerial 1");
        return -1;
    }
    const termios want = line_attrs(speed_code(speed), bits, parity, stop);
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &want) != 0 || tcgetattr(fd, &t) != 0) {
        std::perror("com set error");
        return -1;
    }
    if (!same_line(want, t)) {
        errno = EINVAL;
        std::perror("com set error");
        return -1;
    }
    return 0;
}

void uart_init()
{
    // Never the controlling terminal (an unplug would send SIGHUP), and not
    // inherited by the shell that runs "clear".
    serial_fd = open(SERIAL_DEVICE_PATH, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (serial_fd == -1) {
        std::printf("open() error errcode:%d\n", errno);
        std::exit(1);
    }
    // Two readers on one line would each get part of every frame.
    if (flock(serial_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            std::printf("port in use: %s\n", SERIAL_DEVICE_PATH);
        else
            std::printf("flock() error errcode:%d\n", errno);
        std::exit(1);
    }
    if (set_opt(serial_fd, 115200, 8, 'N', 1) == -1) {
        std::printf("set_opt() error\n");
        std::exit(1);
    }
}

int read_frame(int fd, std::span<unsigned char, SENSOR_FRAME_LEN> frame)
{
    std::size_t have = 0;
    while (have < frame.size()) {
        const ssize_t n = read(fd, frame.data() + have, frame.size() - have);
        if (n > 0) {
            have += static_cast<std::size_t>(n);
        } else if (n == 0) {
            std::fputs("read error: serial line hung up\n", stderr);
            return -1;
        } else if (errno != EINTR) {
            std::perror("read error");
            return -1;
        }
    }
    return 0;
}

// An unplugged adapter must be noticed at once, not when the pause ends: the
// open descriptor keeps the adapter's device number taken, so an adapter
// plugged back in meanwhile would come back under another name.  Bytes that
// arrive stay queued for the next read.
int watch_line(int fd, unsigned seconds)
{
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += seconds;
    for (;;) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long left_ms =
            (end.tv_sec - now.tv_sec) * 1000LL + (end.tv_nsec - now.tv_nsec + 999'999) / 1'000'000;
        if (left_ms <= 0)
            return 0;
        pollfd p{fd, 0, 0};  // a hang-up (POLLHUP, POLLERR) is reported unasked
        const int n = poll(&p, 1, static_cast<int>(left_ms));
        if (n > 0 && (p.revents & POLLNVAL)) {
            errno = EBADF;
            std::perror("read error");
            return -1;
        }
        if (n > 0) {
            std::fputs("read error: serial line hung up\n", stderr);
            return -1;
        }
        if (n < 0 && errno != EINTR) {
            std::perror("poll");
            return -1;
        }
    }
}
