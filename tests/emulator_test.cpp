// The sensor emulator: what arrives through its terminal is what it says it sent.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "sensor_frame.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

int count_lines(const std::string &s)
{
    return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

// The next n frames' bytes from the line, or fewer if they do not come.
std::string read_frames(int line, int n)
{
    return read_until(line, [&](const std::string &s) { return s.size() >= n * SENSOR_FRAME_LEN; })
        .substr(0, n * SENSOR_FRAME_LEN);
}

TEST(SensorEmulator, FramesDecodeToTheReadingsItReports)
{
    temp_dir dir;
    const fs::path link = dir / "ttyEMU";
    child emulator = spawn(
        {SENSOR_EMULATOR, "--path", link.string(), "--interval-ms", "5", "--tag", "T\\x1", "--verbose"});
    std::string said = read_until(emulator.out, [](const std::string &s) { return count_lines(s) >= 1; });
    ASSERT_EQ(said.rfind("serving /dev/pts/", 0), 0u) << said;
    EXPECT_NE(said.find(" at " + link.string() + "\n"), std::string::npos) << said;

    const int line = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(line, 0);
    constexpr int frames = 20;
    const std::string bytes = read_frames(line, frames);
    ASSERT_EQ(bytes.size(), frames * SENSOR_FRAME_LEN);
    std::ostringstream decoded;
    for (int n = 0; n < frames; ++n) {
        const auto *frame = reinterpret_cast<const unsigned char *>(bytes.data()) + n * SENSOR_FRAME_LEN;
        decoded << "frame " << n << ": tag " << std::string(frame, frame + 4);
        for (const frame_field &f : FRAME_READINGS)
            decoded << " " << f.label << ":" << frame_reading(frame_bytes(frame, SENSOR_FRAME_LEN), f);
        decoded << "\n";
    }
    close(line);
    said += read_until(emulator.out, [&](const std::string &s) { return count_lines(said + s) > frames; });
    kill(emulator.pid, SIGTERM);
    const outcome o = finish(emulator);
    EXPECT_EQ(o.status, 0) << o.err;
    const std::string reported = said.substr(said.find('\n') + 1);
    EXPECT_EQ(reported.substr(0, decoded.str().size()), decoded.str());
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link must go with the emulator";
}

// A file, or a user's link whose adapter is unplugged, stays as it is; so
// does a live emulator's link that another user may not follow (its
// /proc/PID/fd is not theirs to see).  A dead emulator's link that may not be
// removed is refused with the real reason.
TEST(SensorEmulator, NeverReplacesWhatIsThere)
{
    temp_dir dir;
    const fs::path path = dir / "ttyUSB0", sticky = dir / "sticky", shared = dir / "shared",
                   emulator_copy = dir / "sensor_emulator";
    fs::copy_file(SENSOR_EMULATOR, emulator_copy);  // that nobody may run, wherever the build tree is
    child live;
    const auto start_live = [&](const fs::path &at) {
        live = spawn({SENSOR_EMULATOR, "--path", at});
        read_until(live.out, [](const std::string &s) { return count_lines(s) >= 1; });
    };
    const struct {
        const char *what;
        std::function<void()> lay;
        fs::path at;
        bool unprivileged;
        std::string why;
    } rows[] = {
        {"a file", [&] { write_file(path, "someone else's"); }, path, false, "File exists"},
        {"a live emulator's link", [&] { start_live(path); }, path, false, "File exists"},
        {"a user's dangling link", [&] { fs::create_symlink("/dev/serial/by-id/usb-FTDI-gone", path); }, path,
         false, "it is a dangling link to /dev/serial/by-id/usb-FTDI-gone, not an emulator's"},
        {"root's dead emulator link in a sticky directory",
         [&] {
             fs::create_directory(sticky);
             fs::permissions(sticky, fs::perms::all | fs::perms::sticky_bit);
             fs::create_symlink("/proc/999999999/fd/900", sticky / "ttyUSB0");
         },
         sticky / "ttyUSB0", true, strerror(EPERM)},
        {"root's live emulator link in a shared directory",
         [&] {
             fs::create_directory(shared);
             fs::permissions(shared, fs::perms::all);
             start_live(shared / "ttyUSB0");
         },
         shared / "ttyUSB0", true, "File exists"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        if (r.unprivileged && geteuid() != 0)
            continue;  // needs somebody else's link
        fs::remove(path);
        r.lay();
        const fs::path &at = r.at;
        const auto before = fs::symlink_status(at).type();
        const std::string target = before == fs::file_type::symlink ? fs::read_symlink(at).string() : "";
        spawn_options opts;
        opts.unprivileged = r.unprivileged;
        child emulator = spawn({emulator_copy, "--path", at.string()}, opts);
        const outcome o = finish(emulator);
        EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
        EXPECT_EQ(o.err, "sensor_emulator: cannot link " + at.string() + ": " + r.why + "\n");
        EXPECT_EQ(fs::symlink_status(at).type(), before);
        if (before == fs::file_type::symlink)
            EXPECT_EQ(fs::read_symlink(at), target);
        else
            EXPECT_EQ(read_file(at), "someone else's");
        if (live.pid > 0) {
            kill(live.pid, SIGTERM);
            finish(live);
        }
    }
}

TEST(SensorEmulator, OptionsAreTakenWholeAndEveryRefusalSaysWhy)
{
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"--interval-ms", "10abc"}, "--interval-ms: '10abc' is not a whole number of milliseconds"},
        {{"--interval-ms", " 10"}, "--interval-ms: ' 10' is not a whole number of milliseconds"},
        {{"--interval-ms", ""}, "--interval-ms: '' is not a whole number of milliseconds"},
        {{"--interval-ms", "0"}, "--interval-ms: '0' is not from 1 to 86400000"},
        {{"--interval-ms", "86400001"}, "--interval-ms: '86400001' is not from 1 to 86400000"},
        {{"--interval-ms", "4294967297"}, "--interval-ms: '4294967297' is not from 1 to 86400000"},
        {{"--interval-ms", "99999999999999999999"}, "--interval-ms: '99999999999999999999' is not from 1"},
        {{"--interval-ms"}, "--interval-ms: needs a value"},
        {{"--tag", "ABC"}, "--tag: 'ABC' is not four bytes"},
        {{"--tag", "SN0\xc3\xa9"}, "--tag: 'SN0\xc3\xa9' is not four bytes"},
        {{"--torn-start", "0"}, "--torn-start: '0' is not from 1 to 23"},
        {{"--torn-start", "24"}, "--torn-start: '24' is not from 1 to 23"},
        {{"--lose-byte", "-1"}, "--lose-byte: '-1' is not from 0 to 2147483647"},
        {{"--lose-byte", "1x"}, "--lose-byte: '1x' is not a whole number of frames"},
        {{"--torn-start", "23", "--lose-byte", "0"},
         "--lose-byte: 0 leaves nothing of frame 0 after --torn-start 23"},
        {{"--lose-byte", "0", "--torn-start", "23"},
         "--lose-byte: 0 leaves nothing of frame 0 after --torn-start 23"},
        {{"--torn-start", "22", "--lose-byte", "0"}, ""},  // one byte of it is sent
        {{"--speed", "9600"}, "--speed: unknown option"},
        {{"--interval-ms", "1"}, ""},  // the bounds themselves are taken
        {{"--interval-ms", "86400000"}, ""},
    };
    temp_dir dir;
    for (const auto &[args, why] : rows) {
        SCOPED_TRACE(why.empty() ? args.back() : why);
        std::vector<std::string> argv{SENSOR_EMULATOR, "--path", dir / "ttyEMU"};
        argv.insert(argv.end(), args.begin(), args.end());
        child emulator = spawn(argv);
        if (why.empty()) {
            EXPECT_EQ(read_until(emulator.out, [](const std::string &s) { return count_lines(s) >= 1; })
                          .rfind("serving ", 0),
                      0u);
            kill(emulator.pid, SIGTERM);
        }
        const outcome o = finish(emulator);
        EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == (why.empty() ? 0 : 2)) << o.status;
        EXPECT_EQ(o.err.rfind("sensor_emulator: " + why, 0), why.empty() ? std::string::npos : 0u) << o.err;
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "ttyEMU")));
    }
    child help = spawn({SENSOR_EMULATOR, "--path", dir / "ttyEMU", "--help"});
    const outcome o = finish(help, 2s);
    EXPECT_EQ(o.status, 0) << "--help only helps";
    EXPECT_EQ(o.out.rfind("usage: sensor_emulator ", 0), 0u) << o.out;
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "ttyEMU")));
}

// Once the emulator is killed, its link must not lead to a terminal that
// somebody else is given next.  A new emulator replaces such a dead link,
// and at exit removes its link only while it is still its own.
TEST(SensorEmulator, AKilledEmulatorsLinkLeadsNowhere)
{
    fs::remove(TEST_DEVICE);
    child first = spawn({SENSOR_EMULATOR, "--path", TEST_DEVICE});
    ASSERT_NE(read_until(first.out, [](const std::string &s) { return count_lines(s) >= 1; }), "");
    kill(first.pid, SIGKILL);
    finish(first);
    int master = -1, slave = -1;
    std::string someone_elses;  // most likely the pseudo-terminal the emulator had
    ASSERT_TRUE(open_raw_pty(master, slave, someone_elses));
    child monitor = spawn(under_test(SENSMON_UNDER_TEST));
    const outcome o = finish(monitor, 2s);
    close(master);
    close(slave);
    EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
    EXPECT_EQ(o.out, "open() error errcode:2\n");

    // Restarted, it replaces the dead link; whatever replaces its own, a file
    // or another link, survives its exit.
    for (bool with_link : {false, true}) {
        child next = spawn({SENSOR_EMULATOR, "--path", TEST_DEVICE});
        const std::string said =
            read_until(next.out, [](const std::string &s) { return count_lines(s) >= 1; });
        EXPECT_EQ(said.rfind("serving ", 0), 0u) << said;
        fs::remove(TEST_DEVICE);
        if (with_link)
            fs::create_symlink("/dev/null", TEST_DEVICE);
        else
            write_file(TEST_DEVICE, "not the emulator's");
        kill(next.pid, SIGTERM);
        EXPECT_EQ(finish(next).status, 0);
        std::error_code error;
        if (with_link)
            EXPECT_EQ(fs::read_symlink(TEST_DEVICE, error), "/dev/null");
        else
            EXPECT_EQ(read_file(TEST_DEVICE), "not the emulator's");
        fs::remove(TEST_DEVICE);
    }
}

// SIGINT, SIGHUP and SIGQUIT end it as cleanly as SIGTERM, and a reader of its reports that
// goes away (--verbose | head -1) stops only the reports: either way its
// link goes with it.  The link names a high descriptor that other programs
// are unlikely to hold.
TEST(SensorEmulator, EveryWayOfStoppingTakesTheLinkAlong)
{
    temp_dir dir;
    const fs::path link = dir / "ttyEMU";
    for (int sig : {SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) {
        SCOPED_TRACE(strsignal(sig));
        child emulator = spawn({SENSOR_EMULATOR, "--path", link, "--interval-ms", "1", "--verbose"});
        read_until(emulator.out, [](const std::string &s) { return count_lines(s) >= 2; });
        const std::string target = fs::read_symlink(link);
        EXPECT_GE(std::stoi(target.substr(target.rfind('/') + 1)), 900) << target;
        if (sig == SIGPIPE) {  // nobody reads the reports now: the frames must go on
            close(std::exchange(emulator.out, -1));
            const int line = open(link.c_str(), O_RDWR | O_NOCTTY);
            tcflush(line, TCIFLUSH);
            ASSERT_EQ(read_frames(line, 4).size(), 4 * SENSOR_FRAME_LEN);
            close(line);
        }
        kill(emulator.pid, sig == SIGPIPE ? SIGTERM : sig);
        const outcome o = finish(emulator);
        EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0) << o.status << o.err;
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
}

// A monitor must see whole frames, each with its tag: started once nobody has
// read for so long that the line is full, and when the emulator was started
// with standard output closed (its reports must not take the line's place).
void watch_frames(bool closed_stdout)
{
    fs::remove(TEST_DEVICE);
    temp_dir dir;
    const int log = open((dir / "log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    spawn_options quiet;
    quiet.stdout_fd = log;  // a pipe nobody drained would stop it
    if (closed_stdout)
        quiet.closed = {1};
    child emulator = spawn(
        {SENSOR_EMULATOR, "--path", TEST_DEVICE, "--interval-ms", "1", "--tag", "FULL", "--verbose"}, quiet);
    close(log);
    ASSERT_TRUE(wait_until([&] {
        return closed_stdout ? fs::exists(TEST_DEVICE)
                             : read_file(dir / "log").find(" dropped, ") != std::string::npos;
    }));

    write_file(dir / "clear", "#!/bin/sh\n", 0755);
    spawn_options opts;
    opts.path_prefix = dir.path();
    child monitor = spawn(under_test(SENSMON_UNDER_TEST), opts);
    const std::string shown = read_until(
        monitor.out, [](const std::string &s) { return std::count(s.begin(), s.end(), '\n') >= 900; });
    for (child *c : {&monitor, &emulator}) {
        kill(c->pid, SIGTERM);
        finish(*c);
    }
    fs::remove(TEST_DEVICE);
    std::istringstream lines(shown);
    int screens = 0;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("-------"))
            continue;
        ++screens;
        std::getline(lines, line);
        ASSERT_EQ(line, "FULL") << "screen " << screens;
    }
    EXPECT_GE(screens, 100);
}

TEST(SensorEmulator, AFullLineDropsWhatDoesNotFitAndTheMonitorStaysInStep)
{
    for (bool closed_stdout : {false, true}) {
        SCOPED_TRACE(closed_stdout ? "standard output closed" : "a full line");
        watch_frames(closed_stdout);
    }
}

}  // namespace

namespace {

// Its frames come an interval apart, the first one interval after its line
// appears.  Stopped for a while (SIGSTOP, a suspended machine), a sensor
// resumes its cadence: it does not send every frame it missed in one burst.
TEST(SensorEmulator, KeepsItsCadenceAndResumesIt)
{
    temp_dir dir;
    const fs::path link = dir / "ttyEMU";
    const auto started = std::chrono::steady_clock::now();
    child emulator = spawn({SENSOR_EMULATOR, "--path", link, "--interval-ms", "100"});
    read_until(emulator.out, [](const std::string &s) { return count_lines(s) >= 1; });
    const int line = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(read_frames(line, 1).size(), SENSOR_FRAME_LEN);
    const auto first = std::chrono::steady_clock::now();
    ASSERT_EQ(read_frames(line, 3).size(), 3 * SENSOR_FRAME_LEN);
    const auto since = [](auto from) { return std::chrono::steady_clock::now() - from; };
    EXPECT_GE(first - started, 90ms);
    EXPECT_GE(since(first), 150ms);  // three intervals, the first seen late or not
    EXPECT_LE(since(first), 900ms);
    kill(emulator.pid, SIGSTOP);
    std::this_thread::sleep_for(1s);  // ten frames' time
    tcflush(line, TCIFLUSH);
    kill(emulator.pid, SIGCONT);
    const std::string resumed = read_until(
        line, [](const std::string &) { return false; }, 150ms);
    EXPECT_LE(resumed.size(), 2 * SENSOR_FRAME_LEN) << "a burst of " << resumed.size() / SENSOR_FRAME_LEN;
    close(line);
    kill(emulator.pid, SIGTERM);
    EXPECT_EQ(finish(emulator).status, 0);
}

}  // namespace
