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
#include <sys/ioctl.h>
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
    bool verbose = false;
};

volatile std::sig_atomic_t stopping = 0;
void stop(int)
{
    stopping = 1;
}

constexpr long long INTERVAL_MS_MAX = 86'400'000;  // one day

void usage()
{
    std::printf("usage: sensor_emulator [--path PATH] [--interval-ms N] [--tag TAG] [--verbose]\n"
                "Sends a 24-byte sensor frame every interval through a new pseudo-terminal\n"
                "linked at PATH (default /dev/ttyUSB0).  The link leads to the emulator's own\n"
                "descriptor (/proc/PID/fd/N), so it leads nowhere once the emulator is gone.\n"
                "Only such a dead link is ever replaced, and only its own link is removed at exit.\n"
                "  --interval-ms N  time between frames, 1 to %lld milliseconds (default 3000)\n"
                "  --tag TAG        the frames' four-byte tag (default SN01)\n"
                "  --verbose        print every frame sent, and every frame dropped because\n"
                "                   the line had no room for it, for as long as anyone reads\n"
                "Stops on SIGINT, SIGTERM, SIGHUP or SIGQUIT.\n",
                INTERVAL_MS_MAX);
}

[[noreturn]] void refuse(const std::string &option, const std::string &why)
{
    std::fprintf(stderr, "sensor_emulator: %s: %s (see --help)\n", option.c_str(), why.c_str());
    std::exit(2);
}

// The whole text must be the number: "10abc", " 10" and "" are refused.
int parse_interval(const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    const long long ms = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || *end != '\0')
        refuse("--interval-ms", "'" + text + "' is not a whole number of milliseconds");
    if (errno == ERANGE || ms < 1 || ms > INTERVAL_MS_MAX)
        refuse("--interval-ms", "'" + text + "' is not from 1 to " + std::to_string(INTERVAL_MS_MAX));
    return static_cast<int>(ms);
}

options parse(int argc, char **argv)
{
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takes_value = arg == "--path" || arg == "--tag" || arg == "--interval-ms";
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
            o.interval_ms = parse_interval(argv[++i]);
        } else {
            refuse(arg, "unknown option");
        }
    }
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

// Waits up to timeout_ms, reading and dropping whatever sensmon's side
// writes; true when the master can take more bytes.
bool wait_line(int master, int timeout_ms, bool for_output)
{
    pollfd p{master, static_cast<short>(POLLIN | (for_output ? POLLOUT : 0)), 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    char sink[256];
    if (p.revents & POLLIN)
        while (read(master, sink, sizeof sink) > 0) {
        }
    return p.revents & POLLOUT;
}

// What the terminal driver holds for a reader at most.  Staying below it,
// the emulator never has a write cut short: a frame goes whole or not at all.
constexpr int LINE_QUEUE_MAX = 4095;

enum class fate { sent, dropped, failed };

// Sends the whole frame, or drops it when the line has no room for all of
// it, as a line without flow control loses data; half a frame would put the
// monitor out of step for good.
fate send(int master, int slave, const std::array<unsigned char, SENSOR_FRAME_LEN> &frame)
{
    int queued = 0;
    if (ioctl(slave, FIONREAD, &queued) != 0)
        return fate::failed;
    if (queued + static_cast<int>(frame.size()) > LINE_QUEUE_MAX)
        return fate::dropped;
    std::size_t sent = 0;
    while (sent < frame.size() && !stopping) {
        const ssize_t n = write(master, frame.data() + sent, frame.size() - sent);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else if (errno == EAGAIN && sent == 0)
            return fate::dropped;
        else if (errno == EAGAIN)
            wait_line(master, 100, true);  // finish a frame once begun
        else if (errno != EINTR)
            return fate::failed;
    }
    return sent == frame.size() ? fate::sent : fate::failed;
}

void report(int frame_number, const std::string &tag, const readings &r)
{
    std::printf("frame %d: tag %s", frame_number, tag.c_str());
    for (std::size_t i = 0; i < FRAME_READINGS.size(); ++i)
        std::printf(" %s:%d", FRAME_READINGS[i].label, r[i]);
    std::printf("\n");
}

// Sends frames until a signal stops it (true) or the line fails (false).
// The reports stop once nobody reads them (SIGPIPE is ignored); the frames go on.
bool serve(int master, int slave, const options &o)
{
    std::minstd_rand random(static_cast<unsigned>(getpid()));
    readings r = FIRST_READINGS;
    auto next = std::chrono::steady_clock::now();
    long dropped = 0;
    bool reporting = o.verbose;
    for (int n = 0; !stopping; ++n) {
        drift(r, random, n);
        const fate f = send(master, slave, encode(o.tag, r));
        if (f == fate::failed)
            return stopping;  // a signal may end it mid-frame
        if (f == fate::dropped)
            ++dropped;
        if (reporting && f == fate::dropped)
            std::printf("frame %d: dropped, the line is full (%ld dropped so far)\n", n, dropped);
        else if (reporting)
            report(n, o.tag, r);
        reporting = reporting && !std::ferror(stdout);
        // Stopped (SIGSTOP, a suspended machine) for longer than an interval,
        // a sensor does not send what it missed in a burst: it resumes its cadence.
        next += std::chrono::milliseconds(o.interval_ms);
        if (const auto now = std::chrono::steady_clock::now(); next < now)
            next = now + std::chrono::milliseconds(o.interval_ms);
        for (auto now = std::chrono::steady_clock::now(); now < next && !stopping;
             now = std::chrono::steady_clock::now())
            wait_line(master,
                      static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count()),
                      false);
    }
    return true;
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

// Links path to target, replacing only a dead emulator's link: anything else
// at path stays, a user's dangling link too.  False after a message.
bool make_link(const std::string &target, const std::string &path)
{
    if (symlink(target.c_str(), path.c_str()) == 0)
        return true;
    int error = errno;
    struct stat st;
    const std::string held = error == EEXIST && stat(path.c_str(), &st) != 0 ? link_target(path) : "";
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
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
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
    const bool stopped = serve(master, slave, o);
    if (!stopped)
        std::perror("sensor_emulator: write");
    remove_link(target, o.path);
    return stopped ? 0 : 1;
}
