// The sensor emulator: what arrives through its terminal is what it says it sent.
#include <csignal>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
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

}  // namespace
