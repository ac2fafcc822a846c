// Opening, configuring and tending the monitor's serial port.
#include "serial_port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
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
    // inherited by the shell that runs "clear".  Opened without waiting for
    // a carrier, which a sensor never raises: a line that a getty left
    // without CLOCAL would hold a blocking open for ever.
    serial_fd = open(SERIAL_DEVICE_PATH, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
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
    // CLOCAL is set: from now on the line ignores its carrier, and reads block.
    if (fcntl(serial_fd, F_SETFL, fcntl(serial_fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        std::printf("fcntl() error errcode:%d\n", errno);
        std::exit(1);
    }
}

// Milliseconds on CLOCK_MONOTONIC.  Only the timeouts are divided, as ints:
// a 64-bit division would need a helper from outside the C library on
// 32-bit ARM.
static long long monotonic_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1'000'000;
}

// The signal mask in which tend_line waits: SIGIO is blocked everywhere else,
// so that an arrival can never slip in between a look at the queue and the wait.
static sigset_t arrivals_unblocked;

static void note_arrival(int)
{
    // That the wait ends is all it takes: the queue tells the rest.
}

int watch_arrivals(int fd)
{
    struct sigaction act = {};
    act.sa_handler = note_arrival;
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    if (sigaction(SIGIO, &act, nullptr) != 0 || sigprocmask(SIG_BLOCK, &io, &arrivals_unblocked) != 0) {
        std::perror("sigaction");
        return -1;
    }
    sigdelset(&arrivals_unblocked, SIGIO);
    // Switching it on gives the signal to the line's foreground process group,
    // should the line be anybody's controlling terminal: this thread takes it.
    const f_owner_ex self{F_OWNER_TID, gettid()};
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_ASYNC) != 0 || fcntl(fd, F_SETOWN_EX, &self) != 0) {
        std::perror("fcntl");
        return -1;
    }
    return 0;
}

// The line hung up, or its descriptor is bad.  While a frame is awaited, a
// read tells how, as it always has: end of file from an unplugged adapter,
// EIO from a pseudo-terminal whose other end has gone.
static int line_lost(int fd, bool bad, bool awaiting_frame)
{
    ssize_t n = 0;
    errno = EBADF;
    if (bad)
        n = -1;
    else if (awaiting_frame)
        for (char sink[SENSOR_FRAME_LEN]; (n = read(fd, sink, sizeof sink)) > 0;) {
        }
    if (n == 0)
        std::fputs("read error: serial line hung up\n", stderr);
    else
        std::perror("read error");
    return -1;
}

// Takes the whole frames that the line's queue holds into kept; a partial
// frame behind them that has not grown for LINE_QUIET_MS is discarded.  The
// reads never wait: VMIN is a frame, and they ask for whole frames queued,
// or for the partial one exactly.  -1 if the line is lost.
static int take_frames(int fd, line_state &line, kept_frames &kept, bool awaiting_frame, long long now)
{
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0)  // EIO once an adapter has hung up
        return line_lost(fd, errno == EBADF, awaiting_frame);
    const bool grew = queued != line.queued;
    std::array<unsigned char, 8 * SENSOR_FRAME_LEN> some;
    while (queued >= static_cast<int>(SENSOR_FRAME_LEN)) {
        const std::size_t whole = std::min(queued / SENSOR_FRAME_LEN, some.size() / SENSOR_FRAME_LEN);
        const ssize_t n = read(fd, some.data(), whole * SENSOR_FRAME_LEN);
        if (n != static_cast<ssize_t>(whole * SENSOR_FRAME_LEN))
            return line_lost(fd, n < 0 && errno == EBADF, awaiting_frame);
        for (std::size_t f = 0; f < whole; ++f)
            keep_frame(kept, frame_bytes(some.data() + f * SENSOR_FRAME_LEN, SENSOR_FRAME_LEN));
        queued -= static_cast<int>(n);
    }
    if (grew) {
        line.since_ms = now;
    } else if (queued > 0 && now - line.since_ms >= LINE_QUIET_MS) {
        if (read(fd, some.data(), static_cast<std::size_t>(queued)) != queued)
            return line_lost(fd, errno == EBADF, awaiting_frame);
        queued = 0;
    }
    line.queued = queued;
    return 0;
}

// The line is watched throughout, so that an unplugged adapter is noticed at
// once: the open descriptor keeps the adapter's device number taken, and one
// plugged back in meanwhile would come back under another name.
int tend_line(int fd, line_state &line, kept_frames &kept, const line_wait &wait)
{
    const long long until = wait.for_ms < 0 ? -1 : monotonic_ms() + wait.for_ms;
    for (;;) {
        const long long now = monotonic_ms();
        if (take_frames(fd, line, kept, wait.frame, now) != 0)
            return -1;
        if (until >= 0 && now >= until)
            return 0;
        const bool framed = !wait.frame || kept.count > 0;
        if (wait.frame && framed && wait.room_fd < 0)
            return 0;
        const bool room = framed && wait.room_fd >= 0;
        long long wake = until;
        if (line.queued > 0 && (wake < 0 || line.since_ms + LINE_QUIET_MS < wake))
            wake = line.since_ms + LINE_QUIET_MS;
        const int left = static_cast<int>(std::clamp(wake - now, 0LL, 86'400'000LL));
        const timespec timeout{left / 1000, left % 1000 * 1'000'000L};
        pollfd p[2] = {{fd, POLLIN, 0}, {wait.room_fd, POLLOUT, 0}};
        const int n = ppoll(p, room ? 2 : 1, wake < 0 ? nullptr : &timeout, &arrivals_unblocked);
        if (n < 0 && errno != EINTR) {
            std::perror("poll");
            return -1;
        }
        if (n > 0 && (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)))
            return line_lost(fd, p[0].revents & POLLNVAL, wait.frame);
        if (n > 0 && room && p[1].revents)  // room, or an error that the write will tell
            return 0;
    }
}
