// The line's attribute record, set_opt on real pseudo-terminals, and
// tend_line on real lines.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <pthread.h>
#include <sstream>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "serial_port.h"
#include "support.h"

namespace {

// Runs fn with standard error sent to a file; returns what was written there.
template <typename Fn>
std::string stderr_of(Fn fn)
{
    temp_dir dir;
    std::fflush(stderr);
    const int saved = dup(2);
    const int file = open((dir / "stderr").c_str(), O_WRONLY | O_CREAT, 0600);
    dup2(file, 2);
    close(file);
    fn();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return read_file(dir / "stderr");
}

// Field by field: the record has padding that tcgetattr leaves as it was.
bool same_termios(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

struct record_row {
    int speed, bits;
    char parity;
    int stop;
    speed_t code;
    tcflag_t cflag;  // without the speed bits
    tcflag_t iflag;
};

TEST(LineAttrs, EachParameterSetsWhatTheLineNeeds)
{
    const record_row rows[] = {
        {115200, 8, 'N', 1, B115200, CLOCAL | CREAD | CS8, 0},
        {2400, 8, 'N', 1, B2400, CLOCAL | CREAD | CS8, 0},
        {4800, 8, 'N', 1, B4800, CLOCAL | CREAD | CS8, 0},
        {9600, 8, 'N', 1, B9600, CLOCAL | CREAD | CS8, 0},
        {460800, 8, 'N', 1, B460800, CLOCAL | CREAD | CS8, 0},
        {9600, 7, 'N', 1, B9600, CLOCAL | CREAD | CS7, 0},
        {9600, 8, 'O', 1, B9600, CLOCAL | CREAD | CS8 | PARENB | PARODD, INPCK | ISTRIP},
        {9600, 7, 'E', 1, B9600, CLOCAL | CREAD | CS7 | PARENB, INPCK | ISTRIP},
        {9600, 8, 'N', 2, B9600, CLOCAL | CREAD | CS8 | CSTOPB, 0},
    };
    for (const record_row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.speed << " " << r.bits << r.parity << r.stop);
        const termios t = line_attrs(speed_code(r.speed), r.bits, r.parity, r.stop);
        EXPECT_EQ(t.c_cflag & ~CBAUD, r.cflag);
        EXPECT_EQ(t.c_cflag & CBAUD, r.code);
        EXPECT_EQ(t.c_iflag, r.iflag);
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_line, 0);
        EXPECT_EQ(cfgetispeed(&t), r.code);
        EXPECT_EQ(cfgetospeed(&t), r.code);
        for (std::size_t i = 0; i < NCCS; ++i)
            EXPECT_EQ(t.c_cc[i], i == VMIN ? 24 : 0) << "c_cc[" << i << "]";
    }
}

// The read-back after tcsetattr: a driver that keeps, drops or changes any
// one flag of the record is caught, but for HUPCL (whether closing the line
// hangs it up) and CMSPAR (nothing without parity), which are the driver's.
TEST(LineAttrs, TheReadBackCatchesEveryFlagTheDriverDidNotKeep)
{
    const termios want = line_attrs(B115200, 8, 'N', 1);
    constexpr tcflag_t line_flags =
        CBAUD | CBAUDEX | CSIZE | CSTOPB | CREAD | PARENB | PARODD | CLOCAL | CRTSCTS;
    constexpr tcflag_t drivers_own = HUPCL | CMSPAR;
    for (int bit = 0; bit < 32; ++bit) {
        const tcflag_t flag = tcflag_t{1} << bit;
        SCOPED_TRACE(testing::Message() << "flag 0" << std::oct << flag);
        for (tcflag_t termios::*field : {&termios::c_iflag, &termios::c_oflag, &termios::c_lflag}) {
            termios got = want;
            got.*field ^= flag;
            EXPECT_FALSE(same_line(want, got));
        }
        termios got = want;
        got.c_cflag ^= flag;
        if (flag & (line_flags | drivers_own)) {
            EXPECT_EQ(same_line(want, got), (flag & drivers_own) != 0) << "c_cflag";
        }
    }
    for (int index : {VMIN, VTIME}) {
        termios got = want;
        got.c_cc[index] += 1;
        EXPECT_FALSE(same_line(want, got)) << "c_cc[" << index << "]";
    }
}

struct refused_row {
    int speed, bits;
    char parity;
    int stop;
    const char *why;
};
const refused_row REFUSED[] = {
    {0, 8, 'N', 1, "unsupported speed 0"},          {300, 8, 'N', 1, "unsupported speed 300"},
    {600, 8, 'N', 1, "unsupported speed 600"},      {115201, 8, 'N', 1, "unsupported speed 115201"},
    {9600, 5, 'N', 1, "unsupported bits 5"},        {9600, 6, 'N', 1, "unsupported bits 6"},
    {9600, 9, 'N', 1, "unsupported bits 9"},        {9600, 8, 'n', 1, "unsupported parity n"},
    {9600, 8, 'o', 1, "unsupported parity o"},      {9600, 8, 'e', 1, "unsupported parity e"},
    {9600, 8, '\n', 1, "unsupported parity \\x0a"}, {9600, 8, 'N', 0, "unsupported stop 0"},
    {9600, 8, 'N', 3, "unsupported stop 3"},
};

using SetOpt = PtyTest;

TEST_F(SetOpt, EachSpeedReadsBackAsAskedAndReplacesEverything)
{
    for (int speed : {2400, 4800, 9600, 115200, 460800}) {
        // Leave settings behind that a raw line must not keep.
        termios old;
        ASSERT_EQ(tcgetattr(slave, &old), 0);
        old.c_iflag |= ICRNL | IXON | IXOFF;
        old.c_oflag |= OPOST | ONLCR;
        old.c_lflag |= ICANON | ECHO | ISIG;
        old.c_cflag |= CSTOPB | CRTSCTS;
        old.c_cc[VTIME] = 5;
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &old), 0);

        ASSERT_EQ(set_opt(slave, speed, 8, 'N', 1), 0) << speed;
        termios t;
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), speed_code(speed));
        EXPECT_EQ(cfgetispeed(&t), speed_code(speed));
        EXPECT_EQ(t.c_iflag, 0u);
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD), CS8 | CLOCAL | CREAD);
        EXPECT_EQ(t.c_cc[VMIN], 24);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
}

// Output still in the driver when the line is set up must survive.  Nobody
// reads the master, so what the slave writes until it may write no more
// stays in the driver's buffers, where a flush of output would discard it.
TEST_F(SetOpt, DiscardsInputButKeepsOutput)
{
    write_master("stale input");
    fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
    const std::string chunk(4096, 'o');
    std::size_t sent = 0;
    for (ssize_t n; (n = write(slave, chunk.data(), chunk.size())) > 0;)
        sent += static_cast<std::size_t>(n);
    ASSERT_EQ(errno, EAGAIN);
    ASSERT_EQ(set_opt(slave, 115200, 8, 'N', 1), 0);

    EXPECT_EQ(read_until(
                  master, [&](const std::string &s) { return s.size() >= sent; }, 2s)
                  .size(),
              sent)
        << "output queued before the set-up was discarded";
    char c;
    EXPECT_EQ(read(slave, &c, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
}

// A pseudo-terminal keeps 8-bit characters without parity whatever it is
// asked: a line the driver did not take as asked is an error.
TEST_F(SetOpt, SettingsTheDriverDropsAreAnError)
{
    for (auto [bits, parity] : {std::pair{7, 'N'}, std::pair{8, 'O'}, std::pair{8, 'E'}}) {
        int result = 0;
        const std::string err = stderr_of([&] { result = set_opt(slave, 9600, bits, parity, 1); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(err, std::string("com set error: ") + strerror(EINVAL) + "\n");
    }
}

TEST_F(SetOpt, RefusalsLeaveThePortAndItsQueueAlone)
{
    termios before;
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    write_master("queued");
    for (const refused_row &r : REFUSED) {
        int result = 0;
        const std::string err =
            stderr_of([&] { result = set_opt(slave, r.speed, r.bits, r.parity, r.stop); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(err, std::string("set_opt: ") + r.why + "\n");
        termios after;
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_TRUE(same_termios(before, after)) << r.why;
    }
    fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);  // a flushed queue must fail, not hang
    char buf[6];
    EXPECT_EQ(read(slave, buf, sizeof buf), 6);
    EXPECT_EQ(std::string(buf, 6), "queued");
}

TEST(SetOptOnNonTerminals, FailsFirstAndFlushesNothing)
{
    temp_dir dir;
    write_file(dir / "plain", "data");
    const int file = open((dir / "plain").c_str(), O_RDWR);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(write(pipe_fds[1], "kept", 4), 4);
    for (int fd : {file, pipe_fds[0]}) {
        int result = 0;
        const std::string err = stderr_of([&] { result = set_opt(fd, 115200, 8, 'N', 1); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(err, std::string("SetupSerial 1: ") + strerror(ENOTTY) + "\n");
    }
    char buf[4];
    EXPECT_EQ(read(pipe_fds[0], buf, 4), 4);
    EXPECT_EQ(read_file(dir / "plain"), "data");
    close(file);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

// tend_line on a line set up as the monitor sets its own (VMIN a frame),
// with its arrivals signalled to this thread.
class TendLine : public PtyTest {
  protected:
    void SetUp() override
    {
        PtyTest::SetUp();
        ASSERT_EQ(set_opt(slave, 115200, 8, 'N', 1), 0);
        ASSERT_EQ(watch_arrivals(slave), 0);
        // Each takes a moment: one that waits or loops for longer, in code
        // of its own process, has gone wrong.
        hang_limit(GENEROUS,
                   [this] { return "the line holds " + std::to_string(queued(slave)) + " bytes unread"; });
    }
    int tend(const line_wait &wait) { return tend_line(slave, line, kept, wait); }
    // The frames kept, oldest first, as one text.
    std::string kept_text() const
    {
        std::string text;
        for (std::size_t i = 0; i < kept.count; ++i) {
            const auto &f = kept.frame[(kept.first + i) % KEPT_FRAMES];
            text.append(f.begin(), f.end());
        }
        return text;
    }
    // Runs feed on another thread once this one waits for the line, then
    // what; the line is hung up should feed fail, so that what ends.
    template <typename What>
    auto meanwhile(const std::function<void()> &feed, What what)
    {
        std::thread feeder([&] {
            if (wait_until([&] { return waiting_on(tender, slave_name); }))
                feed();
            if (HasFailure())
                close(std::exchange(master, -1));
        });
        const auto result = what();
        feeder.join();
        return result;
    }

    line_state line;
    kept_frames kept;
    const pid_t tender = static_cast<pid_t>(syscall(SYS_gettid));
    const std::string a = sample_frame(1), b = sample_frame(2), c = sample_frame(3);
};

// Pieces are joined however long the monitor took to look (only silence that
// it sees can tear), and the start of the next frame is left where it is; a
// partial frame that the line leaves quiet is discarded, the next one whole.
TEST_F(TendLine, JoinsPiecesAndDiscardsWhatSilenceTears)
{
    write_master(a.substr(0, 5));
    ASSERT_EQ(tend({.until_ms = monotonic_ms() + 10}), 1);
    EXPECT_EQ(kept.count, 0u);
    write_master(a.substr(5) + b.substr(0, 5));
    ASSERT_GE(tend({.frame = true}), 0);
    EXPECT_EQ(kept_text(), a);
    drop_oldest(kept);
    write_master(b.substr(5));
    ASSERT_GE(tend({.frame = true}), 0);
    EXPECT_EQ(kept_text(), b);
    drop_oldest(kept);

    write_master(c.substr(0, 5));
    ASSERT_EQ(tend({.until_ms = monotonic_ms() + 2 * LINE_QUIET_MS}), 1);
    EXPECT_EQ(line.have, 0u) << "a torn frame stays";
    write_master(c);
    ASSERT_GE(tend({.frame = true}), 0);
    EXPECT_EQ(kept_text(), c);
}

// A partial frame that arrives while the monitor waits wakes it, so that its
// silence is timed: the whole frame after it is taken aligned.
TEST_F(TendLine, APartialFrameIsTimedFromItsArrival)
{
    const int result = meanwhile(
        [&] {
            write_master(a.substr(0, 5));
            std::this_thread::sleep_for(std::chrono::milliseconds(10 * LINE_QUIET_MS));
            write_master(b);
        },
        [&] { return tend({.frame = true}); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(kept_text(), b);
}

// Each frame is stamped with when it came: as it comes while the line is
// watched; no later than the line was last drained, when it came while nobody
// watched (between two calls, while a screen was shown or cleared).
TEST_F(TendLine, FramesAreStampedWithWhenTheyCame)
{
    ASSERT_EQ(tend({.until_ms = monotonic_ms()}), 0);
    const long long drained = line.drained_ms;
    write_master(a);
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(tend({.frame = true}), 0);
    EXPECT_EQ(kept.came_ms[kept.first], drained);
    drop_oldest(kept);
    long long written = 0;
    meanwhile(
        [&] {
            std::this_thread::sleep_for(20ms);
            written = monotonic_ms();
            write_master(b);
        },
        [&] { return tend({.frame = true}); });
    EXPECT_EQ(kept_text(), b);
    EXPECT_GE(kept.came_ms[kept.first], written);
}

// Waiting for room to show a frame (a stopped terminal), it keeps taking
// frames off the line, the newest few, and shows the oldest kept.
TEST_F(TendLine, KeepsTheNewestFramesWhileTheOutputIsStopped)
{
    int screen = -1, output = -1;
    std::string output_name;
    ASSERT_TRUE(open_raw_pty(screen, output, output_name));
    tcflow(output, TCOOFF);
    const std::string burst = sample_frames(0, 5);
    const int result = meanwhile(
        [&] {
            write_master(burst);
            ASSERT_TRUE(wait_until([&] { return queued(slave) == 0; })) << "the line backs up";
            std::this_thread::sleep_for(50ms);  // it must not return while stopped
            tcflow(output, TCOON);
        },
        [&] { return tend({.frame = true, .room_fd = output}); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(kept_text(), burst.substr(2 * SENSOR_FRAME_LEN));
    close(screen);
    close(output);
}

// Lost, a read tells how, whatever is awaited: a pseudo-terminal whose
// master closed is hung up, as an unplugged adapter is; a bad descriptor is bad.
TEST_F(TendLine, ALostLineIsAnErrorWithItsReason)
{
    write_master(a.substr(0, 10));
    close(std::exchange(master, -1));
    for (const line_wait &wait : {line_wait{.frame = true}, line_wait{.until_ms = monotonic_ms() + 30'000}}) {
        int result = 0;
        const std::string err = stderr_of([&] { result = tend(wait); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(err, "read error: serial line hung up\n");
    }
    int result = 0;
    const std::string err = stderr_of([&] { result = tend_line(-1, line, kept, {.frame = true}); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, std::string("read error: ") + strerror(EBADF) + "\n");
}

std::atomic<int> interruptions;
void count_interruption(int)
{
    ++interruptions;
}

TEST_F(TendLine, AnInterruptedWaitGoesOn)
{
    struct sigaction act = {}, old;
    act.sa_handler = count_interruption;  // no SA_RESTART: ppoll fails with EINTR
    sigaction(SIGUSR1, &act, &old);
    interruptions = 0;
    const int result = meanwhile(
        [&] {
            syscall(SYS_tgkill, getpid(), tender, SIGUSR1);
            ASSERT_TRUE(wait_until([] { return interruptions == 1; }));
            write_master(a);
        },
        [&] { return tend({.frame = true}); });
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(kept_text(), a);
}

}  // namespace
