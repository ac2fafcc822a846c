// The monitor as a separate process: its start-up failures, the line it
// leaves behind, and whole sessions through a pseudo-terminal.
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support.h"

namespace fs = std::filesystem;

namespace {

// The test copy opens TEST_DEVICE; each test decides what is found there.
class Sensmon : public PtyTest {
  protected:
    void SetUp() override
    {
        PtyTest::SetUp();
        fs::remove(TEST_DEVICE);
    }
    void TearDown() override
    {
        if (monitor.pid > 0) {
            kill(-monitor.pid, SIGKILL);  // with its "clear", when it leads a group
            kill(monitor.pid, SIGKILL);
            finish(monitor);
        }
        fs::remove(TEST_DEVICE);
        PtyTest::TearDown();
    }
    void link_device() { fs::create_symlink(slave_name, TEST_DEVICE); }

    // Starts the monitor with a stand-in "clear" and waits until it sits in
    // its first read, the line set up and flushed.
    void start_monitor(const std::string &clear = "echo '<clear>'", spawn_options opts = {})
    {
        write_file(stubs / "clear", "#!/bin/sh\n" + clear + "\n", 0755);
        opts.path_prefix = stubs.path();
        monitor = spawn(under_test(SENSMON_UNDER_TEST), opts);
        ASSERT_TRUE(wait_until([&] { return blocked_reading(monitor.pid, slave_name); }));
    }

    // Waits until the monitor has printed the screens of frames up to last.
    void expect_screens_up_to(int last)
    {
        for (; next_screen <= last; ++next_screen)
            expected += screen(next_screen) + "<clear>\n";
        shown += read_until(monitor.out,
                            [&](const std::string &s) { return shown.size() + s.size() >= expected.size(); });
        ASSERT_EQ(shown, expected);
    }

    // Frame n of the session: tag "F" and three digits, readings from n.
    static std::string frame(int n)
    {
        char tag[8];
        std::snprintf(tag, sizeof tag, "F%03d", n % 1000);
        std::string f(tag, 4);
        f += std::string{'\x55', static_cast<char>(n % 256), '\x55', static_cast<char>(n % 7),
                         static_cast<char>(n % 5)};
        f += "UUU";
        f += std::string{static_cast<char>(n & 0xff), static_cast<char>(n >> 8), '\x10',
                         '\x27'};  // hongwai n, lux 10000
        f += "UU";
        f += std::string{'\xff', '\x00'};  // gas 255
        f += "UUUU";
        return f;
    }
    static std::string screen(int n)
    {
        std::ostringstream s;
        s << "\n-------" << n << "------\n"
          << frame(n).substr(0, 4) << "\ntem:" << n % 256 << "\nhum:" << n % 7 << "\nep_no:" << n % 5
          << "\nhongwai:" << n << "\nlux:10000\ngas:255\n";
        return s.str();
    }

    temp_dir stubs;
    child monitor;
    int next_screen = 0;
    std::string expected, shown;
};

TEST_F(Sensmon, StartupFailuresExitWithTheirMessage)
{
    const struct {
        const char *what;
        std::function<void()> prepare;
        bool unprivileged, held;
        std::string out, err;
    } rows[] = {
        {"missing node", [] {}, false, false, "open() error errcode:2\n", ""},
        {"no permission", [] { write_file(TEST_DEVICE, "", 0); }, true, false, "open() error errcode:13\n",
         ""},
        {"regular file", [] { write_file(TEST_DEVICE, "not a tty"); }, false, false, "set_opt() error\n",
         std::string("SetupSerial 1: ") + strerror(ENOTTY) + "\n"},
        {"port in use", [this] { link_device(); }, false, true,
         std::string("port in use: ") + TEST_DEVICE + "\n", ""},
    };
    // The unprivileged copy must be reachable by nobody, wherever the build tree is.
    temp_dir bin;
    fs::copy_file(SENSMON_UNDER_TEST, bin / "sensmon");
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        fs::remove(TEST_DEVICE);
        r.prepare();
        const int holder = r.held ? open(TEST_DEVICE, O_RDONLY | O_NONBLOCK) : -1;
        if (r.held) {
            ASSERT_EQ(flock(holder, LOCK_EX), 0);
        }
        spawn_options opts;
        opts.unprivileged = r.unprivileged;
        child c = spawn(under_test(bin / "sensmon"), opts);
        const outcome o = finish(c);
        if (r.held)
            close(holder);
        EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
        EXPECT_EQ(o.out, r.out);
        EXPECT_EQ(o.err, r.err);
    }
}

TEST_F(Sensmon, LeavesTheLineRaw115200WithOneFramePerRead)
{
    link_device();
    start_monitor();
    child stty = spawn({"stty", "-a", "-F", slave_name});
    const outcome o = finish(stty);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("speed 115200 baud;"), std::string::npos) << o.out;
    std::istringstream words(o.out);
    std::set<std::string> settings;
    for (std::string w; words >> w;)
        settings.insert(w);
    for (const char *s :
         {"min",   "=",      "24;",      "time",    "0;",      "-parenb", "cs8",     "-cstopb",
          "cread", "clocal", "-crtscts", "-ignbrk", "-brkint", "-inpck",  "-istrip", "-icrnl",
          "-ixon", "-ixoff", "-opost",   "-isig",   "-icanon", "-echo"})
        EXPECT_TRUE(settings.count(s)) << s << " missing from\n" << o.out;
    EXPECT_NE(o.out.find("min = 24; time = 0;"), std::string::npos) << o.out;
}

TEST_F(Sensmon, ShowsEveryWholeFrameInOrderUntilTheLineIsLost)
{
    link_device();
    write_master(std::string(30, 'Z'));  // before start-up: never shown
    start_monitor();

    write_master(frame(0));
    expect_screens_up_to(0);

    std::string burst;
    for (int n = 1; n <= 100; ++n)
        burst += frame(n);
    write_master(burst);
    expect_screens_up_to(100);

    for (char byte : frame(101))
        write_master(std::string(1, byte));
    expect_screens_up_to(101);

    write_master(frame(102).substr(0, 5));
    ASSERT_TRUE(wait_until([&] { return blocked_reading(monitor.pid, slave_name); }));
    usleep(50'000);  // the sender pauses mid-frame
    write_master(frame(102).substr(5));
    expect_screens_up_to(102);

    write_master(frame(103).substr(0, 10));  // never completed
    close(master);
    master = -1;
    const outcome o = finish(monitor);
    EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
    EXPECT_EQ(o.out, "") << "nothing after the last whole frame";
    EXPECT_TRUE(o.err == "read error: serial line hung up\n" ||
                o.err == std::string("read error: ") + strerror(EIO) + "\n")
        << o.err;
}

TEST_F(Sensmon, ClosedStandardDescriptorsSendNothingDownTheLine)
{
    link_device();
    // "clear" talks on both streams, and tells whether it was handed the port.
    const std::string clear = "echo '<clear>'; echo '<clear>' >&2\n"
                              "[ -e /proc/$$/fd/3 ] && echo inherited >> \"$0.marks\"\n"
                              "echo cleared >> \"$0.marks\"";
    const fs::path marks = stubs / "clear.marks";
    for (int closed : {0, 1, 2}) {
        SCOPED_TRACE(closed);
        fs::remove(marks);
        spawn_options opts;
        opts.closed = {closed};
        start_monitor(clear, opts);
        std::error_code error;
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(monitor.pid) + "/fd/3", error), slave_name);

        write_master(frame(0));
        ASSERT_TRUE(wait_until([&] { return read_file(marks).ends_with("cleared\n"); }));
        EXPECT_EQ(read_file(marks), "cleared\n") << "the port must not reach \"clear\"";
        ASSERT_TRUE(wait_until([&] { return blocked_reading(monitor.pid, slave_name); }));
        const std::string stray = read_until(
            master, [](const std::string &s) { return !s.empty(); }, 200ms);
        EXPECT_EQ(stray, "");
        kill(monitor.pid, SIGKILL);
        finish(monitor);
    }
}

// Started without a terminal (setsid, a service manager), the monitor must
// not take the adapter as its controlling terminal: an unplug would then end
// it with SIGHUP, without a word.
TEST_F(Sensmon, InASessionOfItsOwnAHangUpIsStillReported)
{
    link_device();
    spawn_options opts;
    opts.new_session = true;
    start_monitor("echo '<clear>'", opts);
    close(master);
    master = -1;
    const outcome o = finish(monitor);
    EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
    EXPECT_NE(o.err.find("read error: "), std::string::npos) << o.err;
}

// A Ctrl-C while "clear" runs reaches the monitor's whole process group.
TEST_F(Sensmon, CtrlCWhileClearRunsEndsTheMonitor)
{
    link_device();
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    for (int sig : {SIGINT, SIGQUIT}) {
        SCOPED_TRACE(strsignal(sig));
        spawn_options opts;
        opts.new_session = true;
        const fs::path pid = stubs / "clear.pid";
        fs::remove(pid);
        start_monitor("echo $$ > \"$0.pid\"; exec sleep 60", opts);  // a shell would only note the signal
        write_master(frame(0));
        ASSERT_TRUE(wait_until([&] {
            const std::string p = read_file(pid);
            return p.ends_with("\n") &&
                   read_file("/proc/" + p.substr(0, p.size() - 1) + "/comm") == "sleep\n";
        }));
        kill(-monitor.pid, sig);
        const outcome o = finish(monitor);
        EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == sig) << o.status;
    }
}

TEST_F(Sensmon, ASignalLosesNoScreen)
{
    link_device();
    start_monitor();
    write_master(frame(0) + frame(1) + frame(2));
    expect_screens_up_to(2);
    ASSERT_TRUE(wait_until([&] { return blocked_reading(monitor.pid, slave_name); }));
    kill(monitor.pid, SIGTERM);
    const outcome o = finish(monitor);
    EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGTERM) << o.status;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
}

}  // namespace
