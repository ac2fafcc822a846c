// sensmon on the kernel's own USB serial driver: a QEMU guest without KVM,
// on Debian's packaged kernel, with QEMU's emulated FTDI adapter driven by
// ftdi_sio.  QEMU attaches the adapter while this test holds the socket of
// its character device open, and detaches it when the test closes it: so
// connecting plugs it in and closing unplugs it, and the frames go through
// that socket.  tests/guest/run prepares the guest and starts this in a
// folder of its own, with SENSMON_GUEST naming it: amd64, arm64 or armhf, an
// initramfs with busybox and the program, for the suite Guest; systemd12
// or systemd13, a Debian root with the package installed, for the suite
// PlugAndShow.  A guest that cannot be booted fails every test, and a run
// in which a test was skipped, or none ran, fails.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support.h"

namespace {

using std::chrono::steady_clock;

// Each machine's QEMU and kernel command line; then what every guest gets:
// the adapter's character device and the agent's serial port as sockets in
// this folder, and a PCI serial port for the kernel's messages alone, kept
// in kernel.log (the kernel's console, ttyS4 on a PC beside its four legacy
// ports: the agent's answers stay whole).  The agent's port is named to the
// guest's init as agent=.  QEMU waits for the agent's connection before it
// starts the machine, so an adapter connected first is plugged in at boot.
const std::string SYSTEMD_MACHINE =
    "qemu-system-x86_64 -machine q35 -cpu max -m 1024 -drive file=root.img,format=raw,if=virtio";
const std::string SYSTEMD_KERNEL =
    "root=/dev/vda rw console=ttyS4 8250.nr_uarts=5 quiet systemd.show_status=0 panic=-1";
const std::map<std::string, std::pair<std::string, std::string>> MACHINES = {
    {"amd64",
     {"qemu-system-x86_64 -machine q35 -cpu max -m 512",
      "console=ttyS4 8250.nr_uarts=5 agent=ttyS0 quiet panic=-1"}},
    {"arm64",
     {"qemu-system-aarch64 -machine virt -cpu cortex-a57 -m 512",
      "console=ttyS0 agent=ttyAMA0 quiet panic=-1"}},
    // The plain armmp kernel finds no PCI host above 4 GiB: highmem off.
    {"armhf",
     {"qemu-system-arm -machine virt,highmem=off -cpu cortex-a15 -m 512",
      "console=ttyS0 agent=ttyAMA0 quiet panic=-1"}},
    {"carrier",
     {"qemu-system-x86_64 -machine q35 -cpu max -m 512",
      "console=ttyS4 8250.nr_uarts=5 agent=ttyS0 quiet panic=-1"}},
    {"systemd12", {SYSTEMD_MACHINE, SYSTEMD_KERNEL}},
    {"systemd13", {SYSTEMD_MACHINE, SYSTEMD_KERNEL}},
};
const std::string GUEST = "-accel tcg -no-reboot -display none -kernel vmlinuz -initrd initrd "
                          "-monitor unix:monitor.sock,server=on,wait=off "
                          "-chardev socket,id=adapter,path=adapter.sock,server=on,wait=off "
                          "-chardev socket,id=console,path=console.sock,server=on -serial chardev:console "
                          "-chardev file,id=kernel,path=kernel.log -device pci-serial,chardev=kernel "
                          "-device qemu-xhci,id=xhci -device usb-serial,bus=xhci.0,chardev=adapter";

// The carrier guest's ttyS1, a 16550 UART, on a pseudo-terminal of this
// test's (uart, a link to its slave): QEMU finds no modem lines there, so
// the UART shows no carrier.
const std::string CARRIERLESS_UART = "-chardev serial,id=uart,path=uart -serial chardev:uart";

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

double seconds_since(steady_clock::time_point start)
{
    return std::chrono::duration<double>(steady_clock::now() - start).count();
}

class Guest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { start(false); }
    // Boots the guest that SENSMON_GUEST names, with the adapter plugged in
    // or not; boot_failure then says why it did not come up, if it did not.
    static void start(bool plugged)
    {
        const char *name = std::getenv("SENSMON_GUEST");
        if (!name || !MACHINES.count(name)) {
            boot_failure = "tests/guest/run starts this, with SENSMON_GUEST naming the guest";
            return;
        }
        guest = name;
        if (qemu.pid < 0)
            boot_failure = boot(plugged);
    }
    static void TearDownTestSuite()
    {
        if (qemu.pid > 0) {
            kill(qemu.pid, SIGKILL);
            finish(qemu);
        }
        unplug();
        close(std::exchange(console, -1));
        close(std::exchange(monitor, -1));
    }
    void SetUp() override
    {
        if (!boot_failure.empty())
            FAIL() << std::exchange(boot_failure, "the guest did not come up: see the first test");
        ASSERT_EQ(guest.starts_with("systemd") ? "PlugAndShow"
                  : guest == "carrier"         ? "Carrier"
                                               : "Guest",
                  std::string(testing::UnitTest::GetInstance()->current_test_suite()->name()))
            << "this suite is not for the guest " << guest;
    }
    void TearDown() override
    {
        if (!boot_failure.empty())
            return;
        run("killall sensmon");
        unplug();
        EXPECT_EQ(run("wait_for test ! -e /sys/class/tty/ttyUSB0"), "");
    }

    // Starts QEMU, with the adapter plugged in if asked, and waits until the
    // agent on its console is ready; "" then, or why not.  A QEMU that dies
    // is noticed at once.
    static std::string boot(bool plugged = false)
    {
        const auto &[machine, kernel_options] = MACHINES.at(guest);
        std::vector<std::string> argv =
            words(machine + " " + GUEST + (guest == "carrier" ? " " + CARRIERLESS_UART : ""));
        argv.insert(argv.end(), {"-append", kernel_options});
        spawn_options opts;
        opts.dies_with_test = true;
        booted_at = steady_clock::now();
        qemu = spawn(argv, opts);
        const auto dead = [] { return ended(qemu.pid); };
        if (plugged)
            wait_until([&] { return (adapter = connect_to("adapter.sock")) >= 0 || dead(); }, 30s);
        wait_until([&] { return (console = connect_to("console.sock")) >= 0 || dead(); }, 30s);
        const auto ready = [](const std::string &s) { return s.find("@@ ready\n") != std::string::npos; };
        const std::string said = console >= 0 ? read_until(console, ready, 300s) : "";
        if (ready(said))
            return "";
        kill(qemu.pid, SIGKILL);
        const std::string why = finish(qemu).err;
        return "the guest " + guest + " never came up; its console said:\n" + last_lines(said) +
               "\nQEMU said:\n" + why + kernel_log();
    }
    // The last lines of a text, and those of the guest kernel's messages.
    static std::string last_lines(const std::string &text, int lines = 30)
    {
        std::size_t from = text.size();
        while (lines-- > 0 && from > 0) {
            const std::size_t newline = text.rfind('\n', from - 1);
            from = newline == std::string::npos ? 0 : newline;
        }
        return text.substr(from);
    }
    static std::string kernel_log()
    {
        return "\nthe guest kernel's last messages:\n" + last_lines(read_file("kernel.log"));
    }
    // Powers the guest off and waits for QEMU to end.
    static void power_off()
    {
        const std::string line = "0 poweroff -f\n";
        if (write(console, line.data(), line.size()) < 0) {
        }
        EXPECT_TRUE(WIFEXITED(finish(qemu, 120s).status)) << "QEMU did not end after poweroff";
        unplug();
        close(std::exchange(console, -1));
        close(std::exchange(monitor, -1));
    }

    // Runs a command line in the guest; returns its output, and leaves its
    // exit status in status.  Without status, a command that fails has
    // "(exit N)" added to its output: a wait_for that timed out shows.  Each
    // command has a number, which its answer repeats: the late answer of a
    // command given up on is told apart.
    static std::string run(const std::string &command, int *status = nullptr)
    {
        static int commands = 0;
        const std::string number = std::to_string(++commands);
        const std::string line = number + " " + command + "\n";
        if (write(console, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return "(the console is gone)";
        const std::string mark = "\n@@ " + number + " ";
        const auto answered = [&](const std::string &s) {
            const std::size_t at = s.find(mark);
            return at != std::string::npos && s.find('\n', at + mark.size()) != std::string::npos;
        };
        const auto asked = steady_clock::now();
        const std::string text = read_until(console, answered, 300s);
        if (seconds_since(asked) > 20)
            std::printf("slow: %.0f s for: %s\n", seconds_since(asked), command.c_str());
        if (!answered(text))
            return "(no answer to " + command + "; the console's last lines:\n" + last_lines(text) + ")" +
                   kernel_log();
        const std::size_t at = text.find(mark), late = at ? text.rfind("\n@@ ", at - 1) : std::string::npos;
        const std::size_t from = late == std::string::npos ? 0 : text.find('\n', late + 1) + 1;
        const int exit_status = std::stoi(text.substr(at + mark.size()));
        if (status)
            *status = exit_status;
        return text.substr(from, at - from) +
               (status || !exit_status ? "" : "(exit " + std::to_string(exit_status) + ")");
    }
    static std::string file(const std::string &path) { return run("cat " + path); }
    static int number(const std::string &path) { return std::atoi(file(path).c_str()); }

    // Plugs the adapter in; true once its device node is there.  Plugged in
    // already (at power on), it is unplugged first.
    static bool plug()
    {
        if (adapter >= 0) {
            unplug();
            run("wait_for test ! -e /sys/class/tty/ttyUSB0");
        }
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
    // Presses a key on the guest's keyboard, named as QEMU's sendkey names it
    // (ctrl-c, scroll_lock), through QEMU's monitor; type(text) presses the
    // keys that type text.
    static void press(const std::string &key)
    {
        const auto prompt = [](const std::string &s) { return s.ends_with("(qemu) "); };
        if (monitor < 0 && (monitor = connect_to("monitor.sock")) >= 0)
            read_until(monitor, prompt);
        const std::string line = "sendkey " + key + " 20\n";
        ASSERT_EQ(write(monitor, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        ASSERT_TRUE(prompt(read_until(monitor, prompt))) << key;
    }
    static void type(const std::string &text)
    {
        const std::map<char, std::string> named = {
            {' ', "spc"}, {'(', "shift-9"}, {')', "shift-0"}, {':', "shift-semicolon"}, {'\n', "ret"}};
        for (char c : text)
            press(named.count(c) ? named.at(c) : std::string(1, c));
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
    static inline int console = -1, adapter = -1, monitor = -1;
    static inline std::string boot_failure;
    static inline steady_clock::time_point booted_at;
};

// The agent's clock reads centiseconds at any uptime: those of the first
// second start with a zero, which a shell's arithmetic takes for octal.
// SENSMON_BOOTS (tests/guest/run --boots N) powers the guest on that many
// times in all, and each must come up.
TEST_F(Guest, ComesUpAtAnyUptime)
{
    EXPECT_EQ(run("for t in 0.00 0.08 0.95 1.00 12.08; do echo $(($(centiseconds $t) + 0)); done"),
              "0\n8\n95\n100\n1208\n");
    const char *boots = std::getenv("SENSMON_BOOTS");
    for (int n = 2; n <= (boots ? std::atoi(boots) : 1); ++n) {
        power_off();
        ASSERT_EQ(boot_failure = boot(), "") << "boot " << n;
        std::printf("boot %d: up in %.1f s, uptime %s", n, seconds_since(booted_at),
                    run("cut -d' ' -f1 /proc/uptime").c_str());
    }
}

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
// a frame that comes during the pause waits for the next screen.  Each
// screen stays three seconds, as installed.
TEST_F(Guest, ScreensAreExactAndStayThreeSeconds)
{
    ASSERT_TRUE(plug());
    ASSERT_EQ(run("start_sensmon screens"), "");
    send(sample_frame(0).substr(0, 5));
    std::this_thread::sleep_for(10ms);  // the sender pauses mid-frame, as USB packets do
    send(sample_frame(0).substr(5));
    const std::string shown = std::to_string(sample_screen(0).size());
    const std::string pause = run("closely grep -q gas: /tmp/screens.out && shown=$(up) && "
                                  "closely larger /tmp/screens.out " +
                                  shown + " && echo $(($(up) - shown))");
    EXPECT_NEAR(std::atoi(pause.c_str()), 300, 40) << "centiseconds from a screen to its clear: " << pause;
    send(sample_frame(1, "\x1b[2J") + sample_frame(2));
    ASSERT_EQ(run("wait_for at_least 3 grep gas: /tmp/screens.out"), "");
    const std::string expected =
        sample_screen(0) + CLEAR + sample_screen(1, "\\x1b[2J") + CLEAR + sample_screen(2);
    EXPECT_EQ(file("/tmp/screens.out").substr(0, expected.size()), expected);
}

// A sender far faster than the screens: all its frames come during the first
// screen's pause.  The next screen shows the oldest of the newest four kept,
// all younger than a screen; the one after, the newest, the others having
// waited a whole screen.
TEST_F(Guest, AFastSenderIsShownLive)
{
    ASSERT_TRUE(plug());
    ASSERT_EQ(run("start_sensmon fast"), "");
    for (int n = 0; n < 40; ++n) {
        send(sample_frame(n));
        std::this_thread::sleep_for(25ms);
    }
    ASSERT_EQ(run("wait_for 60 at_least 3 grep gas: /tmp/fast.out"), "");
    const std::string expected =
        sample_screen(0) + CLEAR + sample_screen(36, "", 1) + CLEAR + sample_screen(39, "", 2);
    EXPECT_EQ(file("/tmp/fast.out").substr(0, expected.size()), expected);
}

// The monitor joins a sender mid-frame, and a later frame loses its last
// byte: each torn piece is discarded at the quiet gap after it.
TEST_F(Guest, TornFramesAreDiscardedAtTheQuietGap)
{
    ASSERT_TRUE(plug());
    ASSERT_EQ(run("start_sensmon torn"), "");
    send(sample_frame(99).substr(10));
    std::this_thread::sleep_for(300ms);
    send(sample_frame(0));
    ASSERT_EQ(run("wait_for grep -q gas: /tmp/torn.out"), "");
    send(sample_frame(1).substr(0, 23));
    std::this_thread::sleep_for(300ms);
    send(sample_frame(2));
    ASSERT_EQ(run("wait_for 60 at_least 2 grep gas: /tmp/torn.out"), "");
    const std::string expected = sample_screen(0) + CLEAR + sample_screen(2, "", 1);
    EXPECT_EQ(file("/tmp/torn.out").substr(0, expected.size()), expected);
}

// Another program reading the line (dd, ten bytes a read) takes part of the
// frames: sensmon neither ends nor freezes, and once that reader is gone, a
// quiet gap realigns the frames and the next one is shown exactly.
TEST_F(Guest, ASecondReaderEndsNothing)
{
    ASSERT_TRUE(plug());
    ASSERT_EQ(run("start_sensmon shared"), "");
    ASSERT_EQ(run("dd if=/dev/ttyUSB0 of=/dev/null bs=10 2>/dev/null & echo $! >/tmp/reader"), "");
    for (int n = 0; n < 20; ++n) {
        send(sample_frames(0, n % 5));
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(run("kill $(cat /tmp/reader)"), "");
    std::this_thread::sleep_for(300ms);
    send(sample_frame(100));
    ASSERT_EQ(run("wait_for 60 grep -q F100 /tmp/shared.out"), "") << file("/tmp/shared.err");
    const std::string screen = sample_screen(100);
    EXPECT_NE(file("/tmp/shared.out").find(screen.substr(screen.find("F100"))), std::string::npos);
    EXPECT_EQ(run("test -e /tmp/shared.ended || echo running"), "running\n") << file("/tmp/shared.err");
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

// A driver that checks carrier, as those of the commonest cheap adapters do
// (CH340, PL2303): the 16550 UART's, with no carrier on the line, and CLOCAL
// cleared as a getty leaves it.  A blocking open would wait for ever;
// sensmon opens at once, and then reads in blocking mode.
class Carrier : public Guest {
  protected:
    static void SetUpTestSuite()
    {
        std::string name;
        if (open_raw_pty(uart, uart_slave, name) && symlink(name.c_str(), "uart") == 0)
            start(false);
        else
            boot_failure = "no pseudo-terminal for the UART";
    }
    static void TearDownTestSuite()
    {
        Guest::TearDownTestSuite();
        close(std::exchange(uart, -1));
        close(std::exchange(uart_slave, -1));
    }
    void TearDown() override { run("killall sensmon_ttyS1"); }
    static inline int uart = -1, uart_slave = -1;
};

TEST_F(Carrier, ALineWithoutCarrierOpensAtOnceAndReadsBlocking)
{
    int status = -1;
    run("stty -F /dev/ttyS1 -clocal", &status);
    ASSERT_EQ(status, 0);
    run("timeout 2 sh -c ': </dev/ttyS1'", &status);
    ASSERT_NE(status, 0) << "the line has a carrier: nothing would wait for it";

    ASSERT_EQ(run("start_sensmon uart sensmon_ttyS1"), "");
    EXPECT_EQ(
        run("blocking $(cat /tmp/uart.pid) 3 && stty -a -F /dev/ttyS1 2>/dev/null | grep -o -- ' clocal'"),
        " clocal\n");
    const std::string frame = sample_frame(0);
    ASSERT_EQ(write(uart, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    ASSERT_EQ(run("wait_for grep -q gas: /tmp/uart.out"), "");
    EXPECT_EQ(file("/tmp/uart.out"), sample_screen(0));
}

// The package's units on a Debian 12 or 13 guest with systemd and udev, a
// login prompt on tty1 and root logged in on tty2.  tests/guest/run enabled
// the monitor in the guest's image with the README's own command, and the
// guest is powered on with the adapter plugged in.  From then on the adapter
// alone decides whether the monitor runs, on tty8, which is in front while
// the adapter is in.
class PlugAndShow : public Guest {
  protected:
    static void SetUpTestSuite() { start(true); }
    // Each test ends unplugged, its units settled: a plug while their stop
    // jobs are still queued is refused by systemd.
    void TearDown() override
    {
        unplug();
        if (boot_failure.empty() && console >= 0)
            run("wait_for test ! -e /sys/class/tty/ttyUSB0 && wait_for 90 settled");
    }

    // The README's command that turns the service on; run it.
    static void enable()
    {
        std::istringstream readme(read_file(README));
        std::string command = "(no enable command in the README)";
        for (std::string line; std::getline(readme, line);)
            if (line.starts_with("systemctl enable sensmon"))
                command = line.substr(0, line.find("  #"));
        int status = -1;
        run(command + " 2>/dev/null", &status);
        ASSERT_EQ(status, 0) << command;
    }
    // The journal's last lines, for a failure to show what the units did.
    static std::string recent_journal() { return run("journalctl -q -n 40 -o short-monotonic"); }
    // The units' states, as systemctl shows them.
    static std::string states()
    {
        return run("for u in sensmon sensmon-console; do for p in ActiveState Result NRestarts; do "
                   "systemctl show -p $p --value $u.service; done | paste -sd' '; done");
    }
    // Plugs in, waits for the monitor to read its port, sends frame 0 with
    // tag and returns the first lines of the console in front once the tag
    // shows there.  plug_to_screen gets the seconds that took.
    static std::string plug_and_show(const std::string &tag, double *plug_to_screen = nullptr)
    {
        const auto plugged = steady_clock::now();
        if (!plug())
            return "(no /dev/ttyUSB0)";
        if (!run("wait_for 90 monitor_reading").empty())
            return "(no monitor reads the port: " + states() + recent_journal() + ")";
        return show(tag, plugged, plug_to_screen);
    }
    static std::string show(const std::string &tag, steady_clock::time_point since, double *took)
    {
        send(sample_frame(0, tag));
        run("wait_for grep -q " + tag + " /dev/vcs8");
        if (took)
            *took = seconds_since(since);
        return run("front; front_text | head -9");
    }
    // Unplugs; returns the console in front and its text once it is no
    // longer tty8 (within 10 s it must be) and the units have settled.
    static std::string unplug_and_look()
    {
        unplug();
        run("wait_for not test -e /sys/class/tty/ttyUSB0 && wait_for 30 not in_front tty8");
        const std::string front = run("front; front_text | grep .");
        run("wait_for 90 settled");
        return front;
    }
    static std::string screen(const std::string &tag) { return "tty8\n" + sample_screen(0, tag); }
};

// Powered on with the adapter already plugged in, twice: the screens are on
// tty8, in front, without anyone plugging anything.
TEST_F(PlugAndShow, AnAdapterPluggedInAtPowerOnIsShown)
{
    for (int boot_number = 1; boot_number <= 2; ++boot_number) {
        SCOPED_TRACE(testing::Message() << "boot " << boot_number);
        if (boot_number > 1) {
            power_off();
            ASSERT_EQ(boot_failure = boot(true), "");
        }
        ASSERT_EQ(run("wait_for 270 monitor_reading"), "") << states();
        double took = 0;
        EXPECT_EQ(show("BOOT", booted_at, &took), screen("BOOT"));
        std::printf("power on to first screen: %.1f s\n", took);
    }
}

TEST_F(PlugAndShow, TheUnitsPassSystemdsChecks)
{
    EXPECT_EQ(run("systemd-analyze verify sensmon.service sensmon-console.service 2>&1"), "");
    for (const std::string unit : {"sensmon.service", "sensmon-console.service"}) {
        int status = -1;
        const std::string said = run("systemd-analyze security --threshold=10 " + unit + " 2>&1", &status);
        EXPECT_EQ(status, 0) << unit << "'s exposure is above 1.0:\n" << said;
    }
}

// Plugged in: the monitor on tty8, in front; three seconds on, clear blanks
// it without a word in the journal.  Unplugged: the login prompt that was in
// front is back, the units are inactive, the session on tty2 lives on.
TEST_F(PlugAndShow, TheMonitorComesAndGoesWithTheAdapter)
{
    EXPECT_EQ(run("wait_for 90 session_on 2 && front"), "tty1\n") << "root's session on tty2";
    const std::string session = run("on_tty 2");
    ASSERT_TRUE(!session.empty() && session.find_first_not_of("0123456789\n") == std::string::npos)
        << session;
    run("systemctl disable sensmon.service 2>/dev/null");
    ASSERT_NO_FATAL_FAILURE(enable());
    EXPECT_EQ(states(), "inactive success 0\ninactive success 0\n") << "no adapter, no monitor";

    double took = 0;
    EXPECT_EQ(plug_and_show("SHOW", &took), screen("SHOW"));
    std::printf("plug to first screen: %.1f s\n", took);
    EXPECT_EQ(
        run("journal_mark; wait_for not grep -q SHOW /dev/vcs8 && journal_since_mark -t sensmon -o cat"), "");

    const std::string back = unplug_and_look();
    EXPECT_TRUE(back.starts_with("tty1\n") && back.ends_with(" login:\n")) << back;
    EXPECT_EQ(run("wait_for 30 unit_is sensmon.service inactive && wait_for unit_is sensmon-console.service "
                  "inactive && "
                  "wait_for at_least 1 journal_since_mark -t sensmon -o cat && journal_since_mark -t sensmon "
                  "-o cat"),
              "read error: serial line hung up\n")
        << "the monitor said why it ended";
    EXPECT_EQ(states(), "inactive success 0\ninactive success 0\n");

    EXPECT_EQ(plug_and_show("BACK"), screen("BACK"));
    unplug_and_look();
    EXPECT_EQ(run("on_tty 2"), session) << "the session on tty2 must live on";
}

// A monitor that cannot start (its user may not open the port) says why on
// its screen and in the journal, each of three attempts, and is then left
// failed with the reason in front.  Unplugging gives the screen back; the
// next plug tries again.
TEST_F(PlugAndShow, AStartupFailureIsNeverSilent)
{
    ASSERT_NO_FATAL_FAILURE(enable());
    run("journal_mark; echo 'KERNEL==\"ttyUSB0\", MODE=\"0600\", GROUP=\"root\"' "
        ">/etc/udev/rules.d/99-closed.rules && udevadm control --reload");
    ASSERT_TRUE(plug());
    EXPECT_EQ(run("wait_for 180 unit_is sensmon.service failed && systemctl show -p Result --value "
                  "sensmon.service"),
              "start-limit-hit\n");
    EXPECT_EQ(run("wait_for at_least 3 journal_since_mark _SYSTEMD_UNIT=sensmon.service -t sensmon -o cat && "
                  "journal_since_mark _SYSTEMD_UNIT=sensmon.service -t sensmon -o cat"),
              "open() error errcode:13\nopen() error errcode:13\nopen() error errcode:13\n");
    EXPECT_EQ(run("front; front_text | grep ."), "tty8\nopen() error errcode:13\n");

    run("rm /etc/udev/rules.d/99-closed.rules; udevadm control --reload");
    const std::string back = unplug_and_look();
    EXPECT_TRUE(back.starts_with("tty1\n") && back.ends_with(" login:\n")) << back;
    EXPECT_EQ(plug_and_show("NEXT"), screen("NEXT"));
}

// A display ignores its keyboard.  Typed on tty8 while it is in front:
// Ctrl-C, Ctrl-\\, Ctrl-Z, Ctrl-S and what looks like a start-up failure;
// nothing stops, restarts or fails, nothing typed shows or reaches the
// journal, and the next frame comes.  Scroll Lock holds the screens back,
// not the line: unplugged meanwhile, the monitor says so at once, and the
// next plug shows a frame.
TEST_F(PlugAndShow, TheKeyboardChangesNothing)
{
    ASSERT_NO_FATAL_FAILURE(enable());
    EXPECT_EQ(plug_and_show("KEYS"), screen("KEYS"));
    run("journal_mark");
    for (const char *key : {"ctrl-c", "ctrl-backslash", "ctrl-z", "ctrl-s"})
        ASSERT_NO_FATAL_FAILURE(press(key));
    ASSERT_NO_FATAL_FAILURE(type("open() error errcode:13\n"));
    send(sample_frame(1, "MORE"));
    EXPECT_EQ(run("wait_for grep -q MORE /dev/vcs8 && front"), "tty8\n");
    EXPECT_EQ(run("grep -c errcode /dev/vcs8; true"), "0\n") << "what was typed shows";
    EXPECT_EQ(states(), "active success 0\nactive success 0\n");

    // Pressed while the monitor waits for a frame: pressed while "clear" runs,
    // Scroll Lock holds the monitor in "clear" (README says so), and a slow
    // guest's "clear" takes long enough for that to happen.
    ASSERT_EQ(run("wait_for monitor_reading"), "");
    ASSERT_NO_FATAL_FAILURE(press("scroll_lock"));
    send(sample_frame(2, "HELD"));
    EXPECT_EQ(run("wait_for monitor_is waiting_for_room && grep -c HELD /dev/vcs8; true"), "0\n")
        << "Scroll Lock held nothing back";
    unplug_and_look();
    EXPECT_EQ(run("wait_for 30 unit_is sensmon.service inactive && "
                  "wait_for at_least 1 journal_since_mark -t sensmon -o cat && journal_since_mark -t sensmon "
                  "-o cat"),
              "read error: serial line hung up\n")
        << "the monitor saw the unplug, and the journal holds nothing typed";
    EXPECT_EQ(plug_and_show("NEXT"), screen("NEXT"));
}

// Where tty8 is not to be had, the units say so in the journal at once and
// never wait, and the monitor loses no frame for the console's sake: tty8
// held by a getty (the monitor is not started), no chvt (the monitor shows
// on tty8 all the same, without bringing it to the front), no virtual
// consoles at all, as on a board with a serial console only (neither unit
// starts).
TEST_F(PlugAndShow, AConsoleNotToBeHadIsSaidAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(enable());
    // On a guest that a CPU-bound process slows down as well: the attempts
    // come further apart than the console unit's own start limit counts.
    run("systemctl start getty@tty8.service && wait_for session_on 8 && journal_mark && "
        "{ nice -n -5 sh -c 'while :; do :; done' & echo $! >/tmp/busy; }");
    ASSERT_TRUE(plug());
    EXPECT_EQ(run("wait_for 180 unit_is sensmon.service failed && front"), "tty1\n") << states();
    EXPECT_EQ(run("kill $(cat /tmp/busy) && wait_for not test -e /proc/$(cat /tmp/busy)"), "");
    EXPECT_EQ(run("journal_since_mark -t sensmon -o cat | sed 's/process [0-9]*/process N/'"),
              "tty8 is taken by agetty (process N): the sensor is not shown\n")
        << "said once for the plug";
    EXPECT_EQ(run("monitor_reading || echo none"), "none\n");
    EXPECT_EQ(run("journal_since_mark -u sensmon-console.service -o cat | "
                  "grep -o -m1 'Failed to set up standard input: .*'"),
              "Failed to set up standard input: Operation not permitted\n");
    run("systemctl stop getty@tty8.service");
    unplug_and_look();

    run("mv /usr/bin/chvt /usr/bin/chvt.away && journal_mark");
    ASSERT_TRUE(plug());
    ASSERT_EQ(run("wait_for 90 monitor_reading"), "") << states() << recent_journal() << kernel_log();
    send(sample_frame(0, "NOVT"));
    EXPECT_EQ(run("wait_for grep -q NOVT /dev/vcs8 && front"), "tty1\n");
    EXPECT_EQ(run("wait_for at_least 1 journal_since_mark -u sensmon-console.service -o cat --grep chvt && "
                  "journal_since_mark -u sensmon-console.service -o cat --grep chvt"),
              "no chvt (package kbd): tty8 is not brought to the front; Ctrl+Alt+F8 shows it\n");
    unplug_and_look();
    EXPECT_EQ(run("wait_for 60 unit_is sensmon.service inactive && "
                  "wait_for 60 unit_is sensmon-console.service inactive"),
              "")
        << states();
    EXPECT_EQ(states(), "inactive success 0\ninactive success 0\n");
    run("mv /usr/bin/chvt.away /usr/bin/chvt");

    run("mv /dev/tty8 /dev/tty8.away && journal_mark");
    ASSERT_TRUE(plug());
    EXPECT_EQ(run("wait_for 90 at_least 2 journal_since_mark -o cat --grep ConditionPathExists=/dev/tty8"),
              "");
    EXPECT_EQ(states(), "inactive success 0\ninactive success 0\n");
    unplug();
    run("wait_for not test -e /sys/class/tty/ttyUSB0; mv /dev/tty8.away /dev/tty8");
    EXPECT_EQ(plug_and_show("BACK"), screen("BACK"));
}

// Plugged and unplugged at random moments: before the monitor starts, mid-
// frame, during the pause or around clear.  No unit ever fails, the adapter
// is always ttyUSB0, and one plug afterwards shows the next frame exactly.
TEST_F(PlugAndShow, AnUnplugStormLeavesNoTrace)
{
    ASSERT_NO_FATAL_FAILURE(enable());
    const char *cycles_asked = std::getenv("SENSMON_STORM");
    const int cycles = cycles_asked ? std::atoi(cycles_asked) : 20;
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::printf("storm of %d plugs, seed %u\n", cycles, seed);
    std::vector<double> plug_to_reading;
    run("journal_mark");
    for (int n = 0; n < cycles && !HasFailure(); ++n) {
        const int moment = std::uniform_int_distribution(0, 3)(random);
        SCOPED_TRACE(testing::Message() << "plug " << n << ", moment " << moment);
        const auto plugged = steady_clock::now();
        ASSERT_TRUE(plug());
        EXPECT_EQ(run("ls /sys/class/tty | grep ttyUSB"), "ttyUSB0\n");
        if (moment > 0) {
            ASSERT_EQ(run("wait_for 90 monitor_reading"), "") << states();
            plug_to_reading.push_back(seconds_since(plugged));
            send(sample_frame(n).substr(0, moment == 1 ? 10 : 24));
        }
        if (moment > 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(
                std::uniform_int_distribution(0, moment == 2 ? 2500 : 1000)(random) +
                (moment == 3 ? 2700 : 0)));
        unplug();
        EXPECT_EQ(run("wait_for not test -e /sys/class/tty/ttyUSB0 && "
                      "wait_for 60 unit_is sensmon.service inactive && "
                      "wait_for 60 unit_is sensmon-console.service inactive"),
                  "")
            << states();
    }
    EXPECT_EQ(plug_and_show("LAST"), screen("LAST"));
    std::sort(plug_to_reading.begin(), plug_to_reading.end());
    if (!plug_to_reading.empty())
        std::printf("plug to a monitor waiting for frames: median %.1f s, max %.1f s over %zu plugs\n",
                    plug_to_reading[plug_to_reading.size() / 2], plug_to_reading.back(),
                    plug_to_reading.size());
    std::printf("'Dependency failed' in the journal: %s times\n",
                run("journal_since_mark -o cat | grep -c 'Dependency failed' | tr -d '\\n'").c_str());
}

}  // namespace

// A guest test that cannot run fails: so does a run in which none ran, or one
// was skipped.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const int failed = RUN_ALL_TESTS();
    const ::testing::UnitTest &tests = *::testing::UnitTest::GetInstance();
    if (tests.test_to_run_count() == 0 || tests.skipped_test_count() > 0) {
        std::fprintf(stderr, "guest_test: %d tests ran and %d were skipped; every guest test must run\n",
                     tests.test_to_run_count(), tests.skipped_test_count());
        return 1;
    }
    return failed;
}
