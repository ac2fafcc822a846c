// The sensor emulator: what arrives through its terminal is what it says it sent.
#include <csignal>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "serial_port.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

int count_lines(const std::string &s)
{
    return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
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
    termios t;  // a read that waits 10 s for nothing ends as a hang-up: bounded
    ASSERT_EQ(tcgetattr(line, &t), 0);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 100;
    ASSERT_EQ(tcsetattr(line, TCSANOW, &t), 0);
    constexpr int frames = 20;
    std::ostringstream decoded;
    for (int n = 0; n < frames; ++n) {
        std::array<unsigned char, SENSOR_FRAME_LEN> frame;
        ASSERT_EQ(read_frame(line, frame), 0);
        decoded << "frame " << n << ": tag " << std::string(frame.begin(), frame.begin() + 4);
        for (const frame_field &f : FRAME_READINGS)
            decoded << " " << f.label << ":" << frame_reading(frame, f);
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

TEST(SensorEmulator, NeverReplacesWhatIsThere)
{
    temp_dir dir;
    write_file(dir / "ttyUSB0", "someone else's");
    child emulator = spawn({SENSOR_EMULATOR, "--path", (dir / "ttyUSB0").string()});
    const outcome o = finish(emulator);
    EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
    EXPECT_NE(o.err.find("File exists"), std::string::npos) << o.err;
    EXPECT_EQ(read_file(dir / "ttyUSB0"), "someone else's");
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
        {{"--tag", "ABC"}, "--tag: 'ABC' is not four characters"},
        {{"--speed", "9600"}, "--speed: unknown option"},
    };
    temp_dir dir;
    for (const auto &[args, why] : rows) {
        SCOPED_TRACE(why);
        std::vector<std::string> argv{SENSOR_EMULATOR, "--path", dir / "ttyEMU"};
        argv.insert(argv.end(), args.begin(), args.end());
        child emulator = spawn(argv);
        const outcome o = finish(emulator, 2s);
        EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 2) << o.status;
        EXPECT_EQ(o.err.rfind("sensor_emulator: " + why, 0), 0u) << o.err;
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "ttyEMU")));
    }
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

    child second = spawn({SENSOR_EMULATOR, "--path", TEST_DEVICE});
    const std::string said = read_until(second.out, [](const std::string &s) { return count_lines(s) >= 1; });
    EXPECT_EQ(said.rfind("serving ", 0), 0u) << said;
    fs::remove(TEST_DEVICE);
    write_file(TEST_DEVICE, "not the emulator's");
    kill(second.pid, SIGTERM);
    EXPECT_EQ(finish(second).status, 0);
    EXPECT_EQ(read_file(TEST_DEVICE), "not the emulator's");
    fs::remove(TEST_DEVICE);
}

// Nobody reads until the line is full; a monitor started then must still
// see whole frames, each with its tag.
TEST(SensorEmulator, AFullLineDropsWholeFramesAndTheMonitorStaysInStep)
{
    fs::remove(TEST_DEVICE);
    temp_dir dir;
    const int log = open((dir / "log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    spawn_options quiet;
    quiet.stdout_fd = log;  // a pipe nobody drained would stop it
    child emulator = spawn(
        {SENSOR_EMULATOR, "--path", TEST_DEVICE, "--interval-ms", "1", "--tag", "FULL", "--verbose"}, quiet);
    close(log);
    ASSERT_TRUE(wait_until([&] { return read_file(dir / "log").find(" dropped, ") != std::string::npos; }));

    write_file(dir / "clear", "#!/bin/sh\n", 0755);
    spawn_options opts;
    opts.path_prefix = dir.path();
    child monitor = spawn(under_test(SENSMON_UNDER_TEST), opts);
    const std::string shown = read_until(
        monitor.out, [](const std::string &s) { return std::count(s.begin(), s.end(), '\n') >= 900; });
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
    for (child *c : {&monitor, &emulator}) {
        kill(c->pid, SIGTERM);
        finish(*c);
    }
    fs::remove(TEST_DEVICE);
}

}  // namespace
