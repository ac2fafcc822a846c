// sensor_emulator: a sensor at the far end of a pseudo-terminal, for
// watching sensmon work without hardware.  See usage() below.
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "sensor_frame.h"

namespace {

struct options {
    std::string path = "/dev/ttyUSB0";
    int interval_ms = 1000;
    std::string tag = "SN01";
    bool verbose = false;
};

volatile std::sig_atomic_t stopping = 0;
void stop(int)
{
    stopping = 1;
}

void usage(std::FILE *out)
{
    std::fprintf(out, "usage: sensor_emulator [--path PATH] [--interval-ms N] [--tag TAG] [--verbose]\n"
                      "Sends a 24-byte sensor frame every interval through a new pseudo-terminal\n"
                      "linked at PATH (default /dev/ttyUSB0; an existing PATH is never replaced).\n"
                      "  --interval-ms N  time between frames in milliseconds (default 1000)\n"
                      "  --tag TAG        the frames' four-character tag (default SN01)\n"
                      "  --verbose        print every frame sent\n"
                      "Stops on SIGINT, SIGTERM or SIGHUP and removes its link.\n");
}

bool parse(int argc, char **argv, options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (arg == "--verbose") {
            o.verbose = true;
        } else if (arg == "--path" && has_value) {
            o.path = argv[++i];
        } else if (arg == "--tag" && has_value && std::strlen(argv[i + 1]) == TAG_LEN) {
            o.tag = argv[++i];
        } else if (arg == "--interval-ms" && has_value && std::atoi(argv[i + 1]) > 0) {
            o.interval_ms = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    return true;
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

// Sends the whole frame or nothing, waiting while the line is full.
bool send(int master, const std::array<unsigned char, SENSOR_FRAME_LEN> &frame)
{
    std::size_t sent = 0;
    while (sent < frame.size() && !stopping) {
        const ssize_t n = write(master, frame.data() + sent, frame.size() - sent);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else if (errno == EAGAIN)
            wait_line(master, 100, true);
        else if (errno != EINTR)
            return false;
    }
    return sent == frame.size();
}

void report(int frame_number, const std::string &tag, const readings &r)
{
    std::printf("frame %d: tag %s", frame_number, tag.c_str());
    for (std::size_t i = 0; i < FRAME_READINGS.size(); ++i)
        std::printf(" %s:%d", FRAME_READINGS[i].label, r[i]);
    std::printf("\n");
}

// Sends frames until a signal stops it (true) or the line fails (false).
bool serve(int master, const options &o)
{
    std::minstd_rand random(static_cast<unsigned>(getpid()));
    readings r = FIRST_READINGS;
    auto next = std::chrono::steady_clock::now();
    for (int n = 0; !stopping; ++n) {
        drift(r, random, n);
        if (!send(master, encode(o.tag, r)))
            return stopping;  // a signal may end it mid-frame
        if (o.verbose)
            report(n, o.tag, r);
        next += std::chrono::milliseconds(o.interval_ms);
        for (auto now = std::chrono::steady_clock::now(); now < next && !stopping;
             now = std::chrono::steady_clock::now())
            wait_line(master,
                      static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count()),
                      false);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    options o;
    if (!parse(argc, argv, o)) {
        usage(stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction act = {};
    act.sa_handler = stop;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &act, nullptr);

    int master = -1, slave = -1;
    std::string name;
    if (!open_line(master, slave, name)) {
        std::perror("sensor_emulator: pseudo-terminal");
        return 1;
    }
    if (symlink(name.c_str(), o.path.c_str()) != 0) {
        std::fprintf(stderr, "sensor_emulator: cannot link %s: %s\n", o.path.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("serving %s at %s\n", name.c_str(), o.path.c_str());
    const bool stopped = serve(master, o);
    if (!stopped)
        std::perror("sensor_emulator: write");
    unlink(o.path.c_str());
    return stopped ? 0 : 1;
}
