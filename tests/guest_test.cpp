// sensmon on the kernel's own USB serial driver: a QEMU guest without KVM,
// on Debian's packaged kernel, with QEMU's emulated FTDI adapter driven by
// ftdi_sio.  QEMU attaches the adapter while this test holds the socket of
// its character device open, and detaches it when the test closes it: so
// connecting plugs it in and closing unplugs it, and the frames go through
// that socket.  tests/guest/run prepares the guest and starts this in its
// folder, with SENSMON_GUEST naming it: amd64 or arm64, an initramfs with
// busybox and the program, for the suite Guest; systemd, a Debian root with
// the package installed, for the suite PlugAndShow.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "support.h"

namespace {

// Each machine's QEMU and kernel command line; then what every guest gets:
// its console and the adapter's character device as sockets in this folder.
const std::map<std::string, std::pair<std::string, std::string>> MACHINES = {
    {"amd64", {"qemu-system-x86_64 -machine q35 -cpu max -m 512", "console=ttyS0 quiet panic=-1"}},
    {"arm64", {"qemu-system-aarch64 -machine virt -cpu cortex-a57 -m 512", "console=ttyAMA0 quiet panic=-1"}},
    {"systemd",
     {"qemu-system-x86_64 -machine q35 -cpu max -m 1024 -drive file=root.img,format=raw,if=virtio",
      "root=/dev/vda rw console=ttyS0 quiet loglevel=1 systemd.show_status=0 panic=-1"}},
};
const std::string GUEST = "-accel tcg -no-reboot -display none -monitor none -kernel vmlinuz -initrd initrd "
                          "-chardev socket,id=console,path=console.sock,server=on -serial chardev:console "
                          "-chardev socket,id=adapter,path=adapter.sock,server=on,wait=off "
                          "-device qemu-xhci,id=xhci -device usb-serial,bus=xhci.0,chardev=adapter";

const std::string CLEAR = "\x1b[H\x1b[J";  // what the guest's clear, busybox's, writes

int connect_to(const char *path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return fd;
    close(fd);
    return -1;
}

class Guest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        const char *name = std::getenv("SENSMON_GUEST");
        if (!name || !MACHINES.count(name) || qemu.pid > 0)
            return;
        guest = name;
        const auto &[machine, kernel_options] = MACHINES.at(guest);
        std::vector<std::string> argv = words(machine + " " + GUEST);
        argv.insert(argv.end(), {"-append", kernel_options});
        spawn_options opts;
        opts.dies_with_test = true;
        qemu = spawn(argv, opts);
        wait_until([] { return (console = connect_to("console.sock")) >= 0; }, 30s);
        const auto ready = [](const std::string &s) { return s.find("@@ ready\n") != std::string::npos; };
        const std::string booted = read_until(console, ready, 300s);
        if (ready(booted))
            return;
        kill(qemu.pid, SIGKILL);
        boot_failure = "the guest never came up:\n" + booted + finish(qemu).err;
    }
    static void TearDownTestSuite()
    {
        if (qemu.pid > 0) {
            kill(qemu.pid, SIGKILL);
            finish(qemu);
        }
        close(std::exchange(console, -1));
        unlink("console.sock");
        unlink("adapter.sock");
    }
    void SetUp() override
    {
        if (qemu.pid < 0 || guest == "systemd")
            GTEST_SKIP() << "tests/guest/run starts this, with SENSMON_GUEST amd64 or arm64";
        ASSERT_EQ(boot_failure, "");
    }
    void TearDown() override
    {
        if (qemu.pid < 0 || !boot_failure.empty())
            return;
        run("killall sensmon");
        unplug();
        EXPECT_EQ(run("wait_for test ! -e /sys/class/tty/ttyUSB0"), "");
    }

    // Runs a command line in the guest; returns its output and leaves its
    // exit status in status.
    static std::string run(const std::string &command, int *status = nullptr)
    {
        const std::string line = command + "\n";
        if (write(console, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return "(the console is gone)";
        const auto answered = [](const std::string &s) {
            const std::size_t at = s.rfind("\n@@ ");
            return at != std::string::npos && s.ends_with("\n") && s.size() > at + 5;
        };
        const std::string text = read_until(console, answered, 60s);
        if (!answered(text))
            return "(no answer to " + command + ": " + text + ")";
        const std::size_t at = text.rfind("\n@@ ");
        if (status)
            *status = std::stoi(text.substr(at + 4));
        return text.substr(0, at);
    }
    static std::string file(const std::string &path) { return run("cat " + path); }
    static int number(const std::string &path) { return std::atoi(file(path).c_str()); }

    // Plugs the adapter in; true once its device node is there.
    static bool plug()
    {
        adapter = connect_to("adapter.sock");
        return adapter >= 0 && run("wait_for test -e /dev/ttyUSB0").empty();
    }
    static void unplug()
    {
        if (adapter >= 0)
            close(adapter);
        adapter = -1;
    }
    static void send(const std::string &bytes)
    {
        ASSERT_EQ(write(adapter, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Starts sensmon as run name, sends it frame 0 and waits for its screen.
    static void show_first_frame(const std::string &name)
    {
        ASSERT_EQ(run("start_sensmon " + name), "");
        send(sample_frame(0));
        ASSERT_EQ(run("wait_for grep -q gas: /tmp/" + name + ".out"), "");
    }

    static inline std::string guest;
    static inline child qemu;
    static inline int console = -1, adapter = -1;
    static inline std::string boot_failure;
};

// From a line left in a state that sensmon must undo, the driver reads back
// exactly what sensmon set.
TEST_F(Guest, TheDriverKeepsTheLineAsSet)
{
    ASSERT_TRUE(plug());
    int status = -1;
    run("stty -F /dev/ttyUSB0 cs7 parenb crtscts icanon echo", &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(run("start_sensmon line"), "");
    const std::string line = run("stty -a -F /dev/ttyUSB0");
    const std::vector<std::string> said = words(line);
    const std::set<std::string> settings(said.begin(), said.end());
    for (const char *s : {"115200", "cs8", "-parenb", "-cstopb", "-crtscts", "-ixon", "-ixoff", "-icanon",
                          "-echo", "-isig", "-opost", "-icrnl"})
        EXPECT_TRUE(settings.count(s)) << s << " missing from\n" << line;
    EXPECT_NE(line.find("min = 24; time = 0;"), std::string::npos) << line;
}

// One frame in two pieces, a tag that must be escaped, readings above 255;
// a frame that comes during the pause waits for the next read.
TEST_F(Guest, ScreensAreExact)
{
    ASSERT_TRUE(plug());
    ASSERT_EQ(run("start_sensmon screens"), "");
    send(sample_frame(0).substr(0, 5));
    std::this_thread::sleep_for(200ms);  // the sender pauses mid-frame
    send(sample_frame(0).substr(5));
    ASSERT_EQ(run("wait_for grep -q gas: /tmp/screens.out"), "");
    send(sample_frame(1, "\x1b[2J") + sample_frame(2));
    ASSERT_EQ(run("wait_for test \"$(grep -c gas: /tmp/screens.out)\" = 3"), "");
    const std::string expected =
        sample_screen(0) + CLEAR + sample_screen(1, "\\x1b[2J") + CLEAR + sample_screen(2);
    EXPECT_EQ(file("/tmp/screens.out").substr(0, expected.size()), expected);
}

TEST_F(Guest, ASecondMonitorIsRefused)
{
    ASSERT_TRUE(plug());
    ASSERT_EQ(run("start_sensmon first"), "");
    int status = -1;
    EXPECT_EQ(run("sensmon", &status), "port in use: /dev/ttyUSB0\n");
    EXPECT_EQ(status, 1);
}

// Unplugged while it waits for a frame, or during the pause after one,
// sensmon ends within a second of the unplug, with the documented message.
TEST_F(Guest, AnUnplugEndsItAtOnce)
{
    for (bool in_pause : {false, true}) {
        SCOPED_TRACE(in_pause ? "unplugged during the pause" : "unplugged while waiting for a frame");
        ASSERT_TRUE(plug());
        if (in_pause)
            ASSERT_NO_FATAL_FAILURE(show_first_frame("unplugged"));
        else
            ASSERT_EQ(run("start_sensmon unplugged"), "");
        run("note_unplug");
        unplug();
        ASSERT_EQ(run("wait_for test -s /tmp/unplugged.ended"), "");
        EXPECT_EQ(number("/tmp/unplugged.status"), 1);
        EXPECT_EQ(file("/tmp/unplugged.err"), "read error: serial line hung up\n");
        EXPECT_LE(number("/tmp/unplugged.ended") - number("/tmp/unplugged"), 100) << "centiseconds";
        EXPECT_EQ(file("/tmp/unplugged.out"), in_pause ? sample_screen(0) : "")
            << "no clear after the unplug";
        ASSERT_EQ(run("wait_for test ! -e /sys/class/tty/ttyUSB0"), "");
    }
}

// Unplugged during the pause and plugged back in half a second later, the
// adapter comes back under its own name, and a new sensmon shows its frames.
TEST_F(Guest, APlugBackInKeepsTheName)
{
    ASSERT_TRUE(plug());
    ASSERT_NO_FATAL_FAILURE(show_first_frame("before"));
    unplug();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(plug());
    EXPECT_EQ(run("ls /sys/class/tty | grep ttyUSB"), "ttyUSB0\n");
    ASSERT_EQ(run("start_sensmon after"), "");
    send(sample_frame(0));
    ASSERT_EQ(run("wait_for grep -q gas: /tmp/after.out"), "");
    EXPECT_EQ(file("/tmp/after.out"), sample_screen(0));
}

// The package's unit on a Debian 12 guest with systemd and udev.  It is
// enabled with the README's own command; from then on the adapter alone
// decides whether the monitor runs, and the screens show on the console.
class PlugAndShow : public Guest {
  protected:
    void SetUp() override
    {
        if (qemu.pid < 0 || guest != "systemd")
            GTEST_SKIP() << "tests/guest/run starts this, with SENSMON_GUEST systemd";
        ASSERT_EQ(boot_failure, "");
    }
    void TearDown() override {}

    // The README's command that turns the service on.
    static std::string enable_command()
    {
        std::istringstream readme(read_file(README));
        for (std::string line; std::getline(readme, line);)
            if (line.starts_with("systemctl enable sensmon@"))
                return line.substr(0, line.find("  #"));
        return "(no enable command in the README)";
    }
    // The unit's state, as systemctl shows it.
    static std::string state()
    {
        return run("for p in ActiveState NRestarts; do systemctl show -p $p sensmon@tty1.service; done");
    }
    // Waits for the monitor to read its port, sends it frame 0 with tag and
    // returns once the tag shows on the first console; then the screen's
    // first lines, as the console shows them.
    static std::string shown(const std::string &tag)
    {
        if (!run("wait_for 20 unit_reading sensmon@tty1.service").empty())
            return "(no monitor reads the port: " + state() + ")";
        send(sample_frame(0, tag));
        run("wait_for grep -q " + tag + " /dev/vcs1");
        return run("console_text 1 | head -9");
    }
};

TEST_F(PlugAndShow, TheUnitPassesSystemdsChecks)
{
    EXPECT_EQ(run("systemd-analyze verify sensmon@tty1.service 2>&1"), "");
    int status = -1;
    run("systemd-analyze security --offline=yes --threshold=10 /usr/lib/systemd/system/sensmon@.service "
        ">/tmp/security 2>&1",
        &status);
    EXPECT_EQ(status, 0) << "exposure above 1.0:\n" << file("/tmp/security");
}

TEST_F(PlugAndShow, TheMonitorComesAndGoesWithTheAdapter)
{
    int status = -1;
    run(enable_command() + " 2>/dev/null", &status);
    ASSERT_EQ(status, 0) << enable_command();
    EXPECT_EQ(state(), "ActiveState=inactive\nNRestarts=0\n") << "no adapter, no monitor";

    ASSERT_TRUE(plug());
    EXPECT_EQ(shown("SHOW"), sample_screen(0, "SHOW"));
    // Three seconds on, clear blanks the console, with nothing to complain of.
    EXPECT_EQ(run("wait_for not grep -q SHOW /dev/vcs1 && journalctl -q -t sensmon -o cat"), "");

    unplug();
    EXPECT_EQ(run("wait_for 15 unit_is sensmon@tty1.service inactive"), "");
    EXPECT_EQ(state(), "ActiveState=inactive\nNRestarts=0\n");

    ASSERT_TRUE(plug());
    EXPECT_EQ(shown("BACK"), sample_screen(0, "BACK"));
}

}  // namespace
