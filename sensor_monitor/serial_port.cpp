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
long long monotonic_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1'000'000;
}

// The signal mask in which tend_line waits: SIGIO is blocked everywhere else,
// so that an arrival can never slip in between a look at the line and the wait.
static sigset_t arrivals_unblocked;
static volatile std::sig_atomic_t continued = 0;

static void note_arrival(int)
{
    // That the wait ends is all it takes: the line tells the rest.
}

// Stopped (SIGSTOP, Ctrl-Z) and continued: what the line holds then came
// while nobody watched, however long ago.
static void note_continued(int)
{
    continued = 1;
}

int watch_arrivals(int fd)
{
    struct sigaction act = {}, cont = {};
    act.sa_handler = note_arrival;
    cont.sa_handler = note_continued;
    cont.sa_flags = SA_RESTART;  // a screen's write, or the wait for "clear", goes on
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    if (sigaction(SIGIO, &act, nullptr) != 0 || sigaction(SIGCONT, &cont, nullptr) != 0 ||
        sigprocmask(SIG_BLOCK, &io, &arrivals_unblocked) != 0) {
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

// The line is lost: error 0 at end of file (an unplugged adapter hangs up),
// else what the failed call said (EIO from a pseudo-terminal whose other end
// has gone).
static int line_lost(int error)
{
    if (error == 0) {
        std::fputs("read error: serial line hung up\n", stderr);
    } else {
        errno = error;
        std::perror("read error");
    }
    return -1;
}

// Adds bytes taken off the line to the frame under way; each frame they
// complete is kept, as having come at came.
static void add_bytes(line_state &line, kept_frames &kept, const unsigned char *bytes, std::size_t size,
                      long long came)
{
    while (size > 0) {
        const std::size_t part = std::min(size, SENSOR_FRAME_LEN - line.have);
        std::copy_n(bytes, part, line.partial.begin() + static_cast<std::ptrdiff_t>(line.have));
        line.have += part;
        bytes += part;
        size -= part;
        if (line.have == SENSOR_FRAME_LEN) {
            keep_frame(kept, frame_bytes(line.partial), came);
            line.have = 0;
        }
    }
}

// Takes all that the line holds.  The reads never wait, whatever the line's
// VMIN: another reader of the line may take bytes between a look and a read,
// and then a read that waited for them would wait for ever.  What came while
// nobody watched (while a screen was shown or cleared, or the process was
// stopped) came at the latest when the line was last drained.  A partial frame that has not grown for
// LINE_QUIET_MS of watching is the torn end of one: discarded.  -1 once the
// line is lost.
static int take_frames(int fd, line_state &line, kept_frames &kept, long long now)
{
    if (!line.watched)
        line.since_ms = now;  // only silence that was watched tears a frame
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0 || queued > 0) {  // once hung up, it fails: a read tells how
        const int flags = fcntl(fd, F_GETFL);
        if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)
            return line_lost(errno);
        const long long came = line.watched ? now : line.drained_ms;
        std::array<unsigned char, 8 * SENSOR_FRAME_LEN> some;
        ssize_t n;
        do {
            while ((n = read(fd, some.data(), some.size())) < 0 && errno == EINTR) {
            }
            if (n > 0) {
                add_bytes(line, kept, some.data(), static_cast<std::size_t>(n), came);
                line.since_ms = now;
            }
        } while (n == static_cast<ssize_t>(some.size()));  // less: all there was
        const int error = n == 0 ? 0 : errno;
        fcntl(fd, F_SETFL, flags);
        if (n <= 0 && error != EAGAIN)
            return line_lost(error);
    }
    if (line.have > 0 && now - line.since_ms >= LINE_QUIET_MS)
        line.have = 0;
    line.drained_ms = now;
    line.watched = true;
    return 0;
}

// The line is watched throughout, so that an unplugged adapter is noticed at
// once: the open descriptor keeps the adapter's device number taken, and one
// plugged back in meanwhile would come back under another name.
int tend_line(int fd, line_state &line, kept_frames &kept, const line_wait &wait)
{
    line.watched = false;  // not since it last returned
    for (int looks = 0;; ++looks) {
        if (continued) {
            continued = 0;
            line.watched = false;
        }
        const long long now = monotonic_ms();
        if (take_frames(fd, line, kept, now) != 0)
            return -1;
        const bool framed = !wait.frame || kept.count > 0;
        if ((wait.until_ms >= 0 && now >= wait.until_ms) || (wait.frame && framed && wait.room_fd < 0))
            return looks > 0;
        const bool room = framed && wait.room_fd >= 0;
        long long wake = wait.until_ms;
        if (line.have > 0 && (wake < 0 || line.since_ms + LINE_QUIET_MS < wake))
            wake = line.since_ms + LINE_QUIET_MS;
        const int left = static_cast<int>(std::clamp(wake - now, 0LL, 86'400'000LL));
        const timespec timeout{left / 1000, left % 1000 * 1'000'000L};
        // Arrivals end the wait with SIGIO, which alone tells of part of a
        // frame; the line's own events are those that come unasked: a hang-up.
        pollfd p[2] = {{fd, 0, 0}, {wait.room_fd, POLLOUT, 0}};
        const int n = ppoll(p, room ? 2 : 1, wake < 0 ? nullptr : &timeout, &arrivals_unblocked);
        if (n < 0 && errno != EINTR) {
            std::perror("poll");
            return -1;
        }
        if (n > 0 && (p[0].revents & POLLNVAL))
            return line_lost(EBADF);
        if (n > 0 && (p[0].revents & (POLLHUP | POLLERR))) {  // a read tells how
            if (take_frames(fd, line, kept, monotonic_ms()) == 0)
                line_lost(0);
            return -1;
        }
        if (n > 0 && room && p[1].revents)  // room, or an error that the write will tell
            return looks > 0;
    }
}
