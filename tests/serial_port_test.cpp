// The line's attribute record, set_opt on real pseudo-terminals, and
// read_frame on real lines.
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

// The read-back after tcsetattr: a driver that quietly drops or changes one
// setting is caught; a bit the check leaves to the driver is not.
TEST(LineAttrs, TheReadBackCatchesWhatTheDriverDidNotKeep)
{
    const termios want = line_attrs(B115200, 8, 'N', 1);
    const std::pair<const char *, std::function<void(termios &)>> rows[] = {
        {"input speed", [](termios &t) { cfsetispeed(&t, B9600); }},
        {"output speed", [](termios &t) { cfsetospeed(&t, B9600); }},
        {"CSIZE", [](termios &t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS7; }},
        {"PARENB", [](termios &t) { t.c_cflag |= PARENB; }},
        {"VMIN", [](termios &t) { t.c_cc[VMIN] = 1; }},
        {"ECHO", [](termios &t) { t.c_lflag |= ECHO; }},
        {"HUPCL, left to the driver", [](termios &t) { t.c_cflag |= HUPCL; }},
    };
    for (const auto &[what, change] : rows) {
        termios got = want;
        change(got);
        EXPECT_EQ(same_line(want, got), std::string(what).ends_with("driver")) << what;
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

TEST_F(SetOpt, DiscardsInputButKeepsOutput)
{
    write_master("stale input");
    ASSERT_EQ(write(slave, "sent", 4), 4);
    ASSERT_EQ(set_opt(slave, 115200, 8, 'N', 1), 0);

    EXPECT_EQ(read_until(master, [](const std::string &s) { return s.size() >= 4; }), "sent");
    fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
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

// read_frame: every read blocks on a raw line with VMIN 1, so each piece
// written arrives as a short read of its own.
class ReadFrame : public PtyTest {
  protected:
    // read_frame on the slave while feed writes from another thread.  Should
    // feed fail, or the read not end in time, the line is hung up: the test
    // then fails instead of waiting for ever.
    int read_while(const std::function<void()> &feed)
    {
        std::atomic<bool> returned{false};
        std::thread writer([&] {
            feed();
            if (!HasFailure() && wait_until([&] { return returned.load(); }))
                return;
            ADD_FAILURE() << "hanging up the line: read_frame is still waiting";
            close(std::exchange(master, -1));
        });
        const int result = read_frame(slave, *frame);
        returned = true;
        writer.join();
        return result;
    }

    // A block of its own, so that the sanitizers see a read past its end.
    std::unique_ptr<std::array<unsigned char, SENSOR_FRAME_LEN>> frame =
        std::make_unique<std::array<unsigned char, SENSOR_FRAME_LEN>>();
    const std::string sent = "ABCDEFGHIJKLMNOPQRSTUVWX";
    const pid_t reader = static_cast<pid_t>(syscall(SYS_gettid));
    std::string got() const { return std::string(frame->begin(), frame->end()); }
};

// The bytes that the reader thread has read so far, as the kernel counts them.
unsigned long long bytes_read(pid_t thread)
{
    std::istringstream io(
        read_file("/proc/" + std::to_string(getpid()) + "/task/" + std::to_string(thread) + "/io"));
    std::string field;
    unsigned long long count = 0;
    io >> field >> count;  // rchar comes first
    return count;
}

// The rest of the frame comes together with the start of the next, once the
// reader has taken the first piece: the continued read must take only what
// the frame lacks.
TEST_F(ReadFrame, ShortReadsAreJoinedIntoOneFrame)
{
    const std::string next = "next";
    const int result = read_while([&] {
        ASSERT_TRUE(wait_until([&] { return blocked_reading(reader, slave_name); }));
        const unsigned long long before = bytes_read(reader);
        write_master(sent.substr(0, 5));
        ASSERT_TRUE(wait_until([&] { return bytes_read(reader) >= before + 5; }));
        write_master(sent.substr(5) + next);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(got(), sent);
    fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);  // missing bytes must fail, not hang
    char left[8];
    EXPECT_EQ(read(slave, left, sizeof left), static_cast<ssize_t>(next.size()));
    EXPECT_EQ(std::string(left, next.size()), next);
}

std::atomic<int> interruptions;
void count_interruption(int)
{
    ++interruptions;
}

TEST_F(ReadFrame, InterruptedReadsAreRetried)
{
    struct sigaction act = {}, old;
    act.sa_handler = count_interruption;  // no SA_RESTART: read fails with EINTR
    sigaction(SIGUSR1, &act, &old);
    const pthread_t self = pthread_self();
    interruptions = 0;
    const int result = read_while([&] {
        ASSERT_TRUE(wait_until([&] { return blocked_reading(reader, slave_name); }));
        pthread_kill(self, SIGUSR1);
        ASSERT_TRUE(wait_until([] { return interruptions == 1; }));
        ASSERT_EQ(write(master, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    });
    EXPECT_EQ(result, 0);
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(interruptions, 1);
    EXPECT_EQ(got(), sent);
}

TEST_F(ReadFrame, ALostLineIsAnErrorWithItsReason)
{
    write_master(sent.substr(0, 10));
    close(master);
    master = -1;
    int result = 0;
    std::string err = stderr_of([&] { result = read_frame(slave, *frame); });
    EXPECT_EQ(result, -1);
    // Linux reports a hung-up terminal as end of file; older kernels as EIO.
    EXPECT_TRUE(err == "read error: serial line hung up\n" ||
                err == std::string("read error: ") + strerror(EIO) + "\n")
        << err;

    err = stderr_of([&] { result = read_frame(-1, *frame); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, std::string("read error: ") + strerror(EBADF) + "\n");
}

// The pause between screens: bytes that arrive during it stay queued for the
// next read, and a line that hangs up during it ends it at once.
using WatchLine = PtyTest;

TEST_F(WatchLine, KeepsWhatArrivesAndEndsAtAHangUp)
{
    write_master("queued");
    EXPECT_EQ(watch_line(slave, 1), 0);
    fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
    char buf[8];
    EXPECT_EQ(read(slave, buf, sizeof buf), 6);

    const std::string stat = "/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/stat";
    std::thread hang_up([&] {  // once this thread sleeps in its pause
        ASSERT_TRUE(wait_until([&] {
            const std::string s = read_file(stat);
            return s.substr(s.rfind(')') + 2, 1) == "S";
        }));
        close(std::exchange(master, -1));
    });
    int result = 0;
    const std::string err = stderr_of([&] { result = watch_line(slave, 30); });
    hang_up.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, "read error: serial line hung up\n");
}

}  // namespace
