// sensor_emulator: a sensor at the far end of a pseudo-terminal, for
// watching sensmon work without hardware.  See usage() below.
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <random>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "sensor_frame.h"

namespace {

struct options {
    std::string path = "/dev/ttyUSB0";
    int interval_ms = 3000;  // the monitor shows one frame per 3 s
    std::string tag = "SN01";
    int torn_start = 0;  // the first frame is sent from this byte on
    int lose_byte = -1;  // this frame reaches the line one byte short
    bool verbose = false;
};

constexpr std::array STOP_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
volatile std::sig_atomic_t stopping = 0;
void stop(int)
{
    stopping = 1;
}

constexpr long long INTERVAL_MS_MAX = 86'400'000;  // one day

void usage()
{
    std::printf("usage: sensor_emulator [--path PATH] [--interval-ms N] [--tag TAG]\n"
                "                       [--torn-start N] [--lose-byte N] [--verbose]\n"
                "Sends a 24-byte sensor frame every interval through a new pseudo-terminal\n"
                "linked at PATH (default /dev/ttyUSB0).  The link leads to the emulator's own\n"
                "descriptor (/proc/PID/fd/N), so it leads nowhere once the emulator is gone.\n"
                "Only such a dead link is ever replaced, and only its own link is removed at exit.\n"
                "Like a line without flow control, it drops what the line has no room for.\n"
                "  --interval-ms N  time between frames, 1 to %lld milliseconds (default 3000)\n"
                "  --tag TAG        the frames' four-byte tag (default SN01)\n"
                "  --torn-start N   send the first frame from its byte N (1 to %zu) on, as a\n"
                "                   monitor started while the sensor talks finds the line\n"
                "  --lose-byte N    frame N (0 is the first) loses its last byte on the line\n"
                "  --verbose        print every frame sent, and every byte dropped because\n"
                "                   the line had no room for it, for as long as anyone reads\n"
                "Stops on SIGINT, SIGTERM, SIGHUP or SIGQUIT.\n",
                INTERVAL_MS_MAX, SENSOR_FRAME_LEN - 1);
}

[[noreturn]] void refuse(const std::string &option, const std::string &why)
{
    std::fprintf(stderr, "sensor_emulator: %s: %s (see --help)\n", option.c_str(), why.c_str());
    std::exit(2);
}

// The whole text must be the number, from low to high: "10abc", " 10" and ""
// are refused.  what names its unit.
int parse_number(const std::string &option, const std::string &text, const char *what, long long low,
                 long long high)
{
    char *end = nullptr;
    errno = 0;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || *end != '\0')
        refuse(option, "'" + text + "' is not a whole number of " + what);
    if (errno == ERANGE || n < low || n > high)
        refuse(option, "'" + text + "' is not from " + std::to_string(low) + " to " + std::to_string(high));
    return static_cast<int>(n);
}

options parse(int argc, char **argv)
{
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takes_value = arg == "--path" || arg == "--tag" || arg == "--interval-ms" ||
                                 arg == "--torn-start" || arg == "--lose-byte";
        if (takes_value && i + 1 == argc)
            refuse(arg, "needs a value");
        if (arg == "--help") {
            usage();
            std::exit(0);
        } else if (arg == "--verbose") {
            o.verbose = true;
        } else if (arg == "--path") {
            o.path = argv[++i];
        } else if (arg == "--tag") {
            o.tag = argv[++i];
            if (o.tag.size() != TAG_LEN)
                refuse(arg, "'" + o.tag + "' is not four bytes");
        } else if (arg == "--interval-ms") {
            o.interval_ms = parse_number(arg, argv[++i], "milliseconds", 1, INTERVAL_MS_MAX);
        } else if (arg == "--torn-start") {
            o.torn_start = parse_number(arg, argv[++i], "bytes", 1, SENSOR_FRAME_LEN - 1);
        } else if (arg == "--lose-byte") {
            o.lose_byte = parse_number(arg, argv[++i], "frames", 0, INT_MAX);
        } else {
            refuse(arg, "unknown option");
        }
    }
    // Byte 23 is frame 0's last: torn there and a byte short, nothing of it is sent.
    if (o.lose_byte == 0 && o.torn_start == static_cast<int>(SENSOR_FRAME_LEN) - 1)
        refuse("--lose-byte",
               "0 leaves nothing of frame 0 after --torn-start " + std::to_string(o.torn_start));
    return o;
}

// A new pseudo-terminal, raw, both ends open; the slave's name in name.
bool open_line(int &master, int &slave, std::string &name)
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return false;
    name = ptsname(master);
    slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t;
    if (slave < 0 || tcgetattr(slave, &t) != 0)
        return false;
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    return tcsetattr(slave, TCSANOW, &t) == 0;
}

// The six readings, in FRAME_READINGS order; they wander within plausible
// bounds, one step per frame.
using readings = std::array<int, FRAME_READINGS.size()>;
constexpr readings FIRST_READINGS{23, 48, 0, 512, 3000, 310};

void drift(readings &r, std::minstd_rand &random, int frame_number)
{
    static constexpr std::array<std::array<int, 3>, FRAME_READINGS.size()> walk{{
        {15, 35, 1},
        {20, 90, 1},
        {0, 0, 0},
        {0, 1023, 25},
        {0, 65535, 400},
        {100, 900, 10},
    }};  // lowest, highest, largest step
    for (std::size_t i = 0; i < walk.size(); ++i) {
        const auto [low, high, step] = walk[i];
        const int delta = step ? static_cast<int>(random() % (2 * step + 1)) - step : 0;
        r[i] = std::clamp(r[i] + delta, low, high);
    }
    r[2] = frame_number % 4;  // ep_no: a small counter
}

std::array<unsigned char, SENSOR_FRAME_LEN> encode(const std::string &tag, const readings &r)
{
    std::array<unsigned char, SENSOR_FRAME_LEN> frame{};
    std::copy(tag.begin(), tag.end(), frame.begin());
    for (std::size_t i = 0; i < FRAME_READINGS.size(); ++i)
        for (std::size_t b = 0; b < FRAME_READINGS[i].size; ++b)
            frame[FRAME_READINGS[i].offset + b] = static_cast<unsigned char>(r[i] >> (8 * b));
    return frame;
}

// Waits up to timeout, reading and dropping whatever sensmon's side writes.
// The caller blocks the stop signals; they get through only during the wait,
// so one that comes after the caller looked at stopping still ends the wait.
void wait_line(int master, std::chrono::nanoseconds timeout, const sigset_t &waiting)
{
    pollfd p{master, POLLIN, 0};
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec t{static_cast<time_t>(seconds.count()), static_cast<long>((timeout - seconds).count())};
    char sink[256];
    if (ppoll(&p, 1, &t, &waiting) > 0 && (p.revents & POLLIN))
        while (read(master, sink, sizeof sink) > 0) {
        }
}

// Puts bytes on the line without waiting, as a UART does: what the line has
// no room for is lost.  The number of bytes that went, or -1 if it failed.
ssize_t put(int master, const unsigned char *bytes, std::size_t size)
{
    std::size_t sent = 0;
    while (sent < size && !stopping) {
        const ssize_t n = write(master, bytes + sent, size - sent);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else if (errno == EAGAIN)
            break;
        else if (errno != EINTR)
            return -1;
    }
    return static_cast<ssize_t>(sent);
}

void report(int frame_number, const std::string &tag, const readings &r)
{
    std::printf("frame %d: tag %s", frame_number, tag.c_str());
    for (std::size_t i = 0; i < FRAME_READINGS.size(); ++i)
        std::printf(" %s:%d", FRAME_READINGS[i].label, r[i]);
    std::printf("\n");
}

// Sends frame n with readings r, torn or a byte short as the options say,
// and reports it if asked; false if the line failed.
bool send_frame(int master, const options &o, int n, const readings &r, long &dropped, bool reporting)
{
    const auto frame = encode(o.tag, r);
    const std::size_t from = n == 0 ? static_cast<std::size_t>(o.torn_start) : 0;
    const std::size_t to = n == o.lose_byte ? frame.size() - 1 : frame.size();
    const ssize_t sent = put(master, frame.data() + from, to - from);
    if (sent < 0)
        return false;
    const std::size_t lost = to - from - static_cast<std::size_t>(sent);
    dropped += static_cast<long>(lost);
    if (reporting && lost > 0)
        std::printf("frame %d: %zu bytes dropped, the line is full (%ld dropped so far)\n", n, lost, dropped);
    else if (reporting && (from > 0 || to < frame.size()))
        std::printf("frame %d: torn, bytes %zu to %zu sent\n", n, from, to - 1);
    else if (reporting)
        report(n, o.tag, r);
    return true;
}

// Sends a frame every interval, the first one interval after the line
// appears, until a signal stops it (true) or the line fails (false).  The
// reports stop once nobody reads them (SIGPIPE is ignored); the frames go on.
bool serve(int master, const options &o)
{
    std::minstd_rand random(static_cast<unsigned>(getpid()));
    readings r = FIRST_READINGS;
    const std::chrono::milliseconds interval(o.interval_ms);
    auto next = std::chrono::steady_clock::now() + interval;
    long dropped = 0;
    bool reporting = o.verbose;
    sigset_t stops, waiting;
    sigemptyset(&stops);
    for (int sig : STOP_SIGNALS)
        sigaddset(&stops, sig);
    for (int n = 0;; ++n) {
        sigprocmask(SIG_BLOCK, &stops, &waiting);
        auto now = std::chrono::steady_clock::now();
        for (; now < next && !stopping; now = std::chrono::steady_clock::now())
            wait_line(master, next - now, waiting);
        sigprocmask(SIG_SETMASK, &waiting, nullptr);
        if (stopping)
            return true;
        drift(r, random, n);
        if (!send_frame(master, o, n, r, dropped, reporting))
            return stopping;  // a signal may end it mid-frame
        reporting = reporting && !std::ferror(stdout);
        // Stopped (SIGSTOP, a suspended machine) for longer than an interval,
        // a sensor does not send what it missed in a burst: it resumes its cadence.
        next += interval;
        if (next < now)
            next = now + interval;
    }
}

// Reports and complaints must not land on the line: were descriptor 1 closed,
// the pseudo-terminal would take its number.
void fill_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) == -1) {
            std::perror("sensor_emulator: /dev/null");
            std::exit(1);
        }
    }
}

// The link leads to this process's own descriptor of the line, so it leads
// nowhere once the emulator is gone, however it ended.  Should another
// program get the same pid later, a terminal on the same descriptor would
// receive the monitor: so the line is held on a high number (from 900, within
// the limit) that programs rarely reach.
int high_descriptor(int fd)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const int from = static_cast<int>(std::min<rlim_t>(900, limit.rlim_cur - 1));
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, from);
    if (high < 0)
        return fd;
    close(fd);
    return high;
}

std::string own_line(int slave)
{
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(slave);
}

// Whether target has the form of an emulator's link, /proc/PID/fd/N.
bool emulator_target(std::string_view target)
{
    const auto number = [](std::string_view s) {
        return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const std::size_t fd_at = target.find("/fd/");
    return target.starts_with("/proc/") && fd_at != std::string_view::npos &&
           number(target.substr(6, fd_at - 6)) && number(target.substr(fd_at + 4));
}

// The target of the link at path, or "" when path is no link.
std::string link_target(const std::string &path)
{
    char held[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), held, sizeof held);
    return n > 0 ? std::string(held, static_cast<std::size_t>(n)) : "";
}

// Links path to target, replacing only a dead emulator's link: one whose
// target is gone.  Anything else at path stays: a user's dangling link, and a
// link that cannot be followed (another user's emulator, whose descriptors
// this one may not see).  False after a message.
bool make_link(const std::string &target, const std::string &path)
{
    if (symlink(target.c_str(), path.c_str()) == 0)
        return true;
    int error = errno;
    struct stat st;
    const bool gone = error == EEXIST && stat(path.c_str(), &st) != 0 && errno == ENOENT;
    const std::string held = gone ? link_target(path) : "";
    if (!held.empty() && !emulator_target(held)) {
        std::fprintf(stderr,
                     "sensor_emulator: cannot link %s: it is a dangling link to %s, not an emulator's\n",
                     path.c_str(), held.c_str());
        return false;
    }
    if (!held.empty() && unlink(path.c_str()) == 0 && symlink(target.c_str(), path.c_str()) == 0)
        return true;
    if (!held.empty())
        error = errno;  // why the dead link could not be replaced
    std::fprintf(stderr, "sensor_emulator: cannot link %s: %s\n", path.c_str(), std::strerror(error));
    return false;
}

// Only while the link is still this emulator's: something may have replaced it.
void remove_link(const std::string &target, const std::string &path)
{
    if (link_target(path) == target)
        unlink(path.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    fill_standard_descriptors();
    const options o = parse(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction act = {};
    act.sa_handler = stop;
    for (int sig : STOP_SIGNALS)
        sigaction(sig, &act, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int master = -1, slave = -1;
    std::string name;
    if (!open_line(master, slave, name)) {
        std::perror("sensor_emulator: pseudo-terminal");
        return 1;
    }
    slave = high_descriptor(slave);
    const std::string target = own_line(slave);
    if (!make_link(target, o.path))
        return 1;
    std::printf("serving %s at %s\n", name.c_str(), o.path.c_str());
    const bool stopped = serve(master, o);
    if (!stopped)
        std::perror("sensor_emulator: write");
    remove_link(target, o.path);
    return stopped ? 0 : 1;
}
