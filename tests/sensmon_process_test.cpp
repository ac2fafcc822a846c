// The monitor as a separate process: its start-up failures, the line it
// leaves behind, and whole sessions through a pseudo-terminal.
#include <csignal>
#include <cstring>
#include <fcntl.h>
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

    // Starts the monitor (by default the copy without a pause) with a
    // stand-in "clear" and waits until it sits in its first read, the line
    // set up and flushed.
    void start_monitor(const std::string &clear = "echo '<clear>'", spawn_options opts = {},
                       const std::vector<std::string> &argv = under_test(SENSMON_UNDER_TEST))
    {
        write_file(stubs / "clear", "#!/bin/sh\n" + clear + "\n", 0755);
        opts.path_prefix = stubs.path();
        monitor = spawn(argv, opts);
        ASSERT_TRUE(wait_until([&] { return blocked_reading(monitor.pid, slave_name); }));
    }

    // Waits until the monitor has printed the screens of frames up to last.
    void expect_screens_up_to(int last)
    {
        for (; next_screen <= last; ++next_screen)
            expected += sample_screen(next_screen) + "<clear>\n";
        shown += read_until(monitor.out,
                            [&](const std::string &s) { return shown.size() + s.size() >= expected.size(); });
        ASSERT_EQ(shown, expected);
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
        bool unprivileged;
        std::string out, err;
        std::set<int> closed = {};
        bool without_dev_null = false;  // in a mount namespace whose /dev is empty
    } rows[] = {
        {"missing node", [] {}, false, "open() error errcode:2\n", ""},
        {"no permission", [] { write_file(TEST_DEVICE, "", 0); }, true, "open() error errcode:13\n", ""},
        {"regular file", [] { write_file(TEST_DEVICE, "not a tty"); }, false, "set_opt() error\n",
         std::string("SetupSerial 1: ") + strerror(ENOTTY) + "\n"},
        // A closed standard descriptor and nothing to fill it with: it must
        // give up there, not go on to the port.
        {"standard error closed, no /dev/null", [] {}, false, "", "", {2}, true},
        // Held by a monitor in its pause, with part of the next frame queued:
        // the lock must be exclusive, and taken before the line is touched.
        {"port in use",
         [this] {
             link_device();
             start_monitor("echo '<clear>'", {}, under_test(SENSMON_PAUSED));
             write_master(sample_frame(0));
             shown = read_until(monitor.out, [](const std::string &s) { return s.ends_with("gas:255\n"); });
             write_master(sample_frame(1).substr(0, 10));
         },
         false, std::string("port in use: ") + TEST_DEVICE + "\n", ""},
    };
    // The unprivileged copy must be reachable by nobody, wherever the build tree is.
    temp_dir bin;
    fs::copy_file(SENSMON_UNDER_TEST, bin / "sensmon");
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        if (r.without_dev_null && (!can_mount() || getenv("TEST_PROGRAM_WRAPPER")))
            continue;  // valgrind will not start without /dev/null
        fs::remove(TEST_DEVICE);
        r.prepare();
        spawn_options opts;
        opts.unprivileged = r.unprivileged;
        opts.closed = r.closed;
        const std::vector<std::string> argv = under_test(bin / "sensmon");
        child c = spawn(r.without_dev_null ? without_dev_null(argv) : argv, opts);
        const outcome o = finish(c);
        EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
        EXPECT_EQ(o.out, r.out);
        EXPECT_EQ(o.err, r.err);
    }
    // The first monitor's queued bytes survived the second one.
    write_master(sample_frame(1).substr(10));
    expect_screens_up_to(1);
}

TEST_F(Sensmon, LeavesTheLineRaw115200WithOneFramePerRead)
{
    link_device();
    start_monitor();
    child stty = spawn({"stty", "-a", "-F", slave_name});
    const outcome o = finish(stty);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("speed 115200 baud;"), std::string::npos) << o.out;
    const std::vector<std::string> said = words(o.out);
    const std::set<std::string> settings(said.begin(), said.end());
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

    write_master(sample_frame(0));
    expect_screens_up_to(0);

    std::string burst;
    for (int n = 1; n <= 100; ++n)
        burst += sample_frame(n);
    write_master(burst);
    expect_screens_up_to(100);

    for (char byte : sample_frame(101))
        write_master(std::string(1, byte));
    expect_screens_up_to(101);

    write_master(sample_frame(102).substr(0, 5));
    ASSERT_TRUE(wait_until([&] { return blocked_reading(monitor.pid, slave_name); }));
    usleep(50'000);  // the sender pauses mid-frame
    write_master(sample_frame(102).substr(5));
    expect_screens_up_to(102);

    write_master(sample_frame(103).substr(0, 10));  // never completed
    close(master);
    master = -1;
    const outcome o = finish(monitor);
    EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
    EXPECT_EQ(o.out, "") << "nothing after the last whole frame";
    EXPECT_TRUE(o.err == "read error: serial line hung up\n" ||
                o.err == std::string("read error: ") + strerror(EIO) + "\n")
        << o.err;
}

// The copy that pauses 1 s: a screen stays for the pause before "clear", and
// a line that hangs up during the pause ends the monitor at once, not when
// the pause is over.
TEST_F(Sensmon, APauseHoldsTheScreenAndEndsAtAHangUp)
{
    link_device();
    start_monitor("echo '<clear>'", {}, under_test(SENSMON_PAUSED));
    const auto next = [&](std::size_t size, std::chrono::milliseconds bound = GENEROUS) {
        return read_until(
            monitor.out, [&](const std::string &s) { return s.size() >= size; }, bound);
    };
    write_master(sample_frame(0));
    EXPECT_EQ(next(sample_screen(0).size()), sample_screen(0));
    EXPECT_EQ(next(1, 500ms), "") << "cleared before the pause was half over";
    EXPECT_EQ(next(8, 1500ms), "<clear>\n") << "not cleared within half a second of the pause's end";

    write_master(sample_frame(1));
    EXPECT_EQ(next(sample_screen(1).size()), sample_screen(1));
    close(master);
    master = -1;
    const outcome o = finish(monitor);
    EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
    EXPECT_EQ(o.out, "") << "the pause ran out";
    EXPECT_EQ(o.err, "read error: serial line hung up\n");
}

// A screen that cannot be written ends the monitor with the reason, rather
// than losing it and every later one without a word: on /dev/full, on a
// terminal that has gone away (whose lines fail one by one, leaving nothing
// for the flush), and on a file system that fills up after some fifty screens.
TEST_F(Sensmon, OutputThatCannotBeWrittenEndsTheMonitor)
{
    link_device();
    const auto expect_write_error = [&](int error) {
        const outcome o = finish(monitor);
        EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
        EXPECT_EQ(o.err, std::string("write error: ") + strerror(error) + "\n");
    };
    spawn_options full;
    full.stdout_fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    start_monitor(":", full);
    close(full.stdout_fd);
    write_master(sample_frame(0));
    expect_write_error(ENOSPC);

    int gone = -1;
    spawn_options terminal;
    std::string terminal_name;
    ASSERT_TRUE(open_raw_pty(gone, terminal.stdout_fd, terminal_name));
    start_monitor(":", terminal);
    close(terminal.stdout_fd);
    write_master(sample_frame(0));
    EXPECT_EQ(
        read_until(gone, [](const std::string &shown) { return shown.size() >= sample_screen(0).size(); }),
        sample_screen(0));
    ASSERT_TRUE(wait_until([&] { return blocked_reading(monitor.pid, slave_name); }));
    close(gone);
    write_master(sample_frame(1));
    expect_write_error(EIO);

    if (!can_mount())
        GTEST_SKIP() << "mounting a small file system needs root and a mount namespace";
    temp_dir disk;  // two pages, one taken: room for one page of screens
    const std::string fill = "mount -t tmpfs -o size=8k sensmon-test \"$1\" && "
                             "head -c 4096 /dev/zero > \"$1/filler\" && exec \"$2\" > \"$1/frames.log\"";
    start_monitor(":", {}, {"unshare", "--mount", "sh", "-c", fill, "sh", disk.path(), SENSMON_UNDER_TEST});
    std::string burst;
    for (int n = 0; n < 100; ++n)
        burst += sample_frame(n);
    write_master(burst);
    expect_write_error(ENOSPC);
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

        write_master(sample_frame(0));
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
        write_master(sample_frame(0));
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
    write_master(sample_frame(0) + sample_frame(1) + sample_frame(2));
    expect_screens_up_to(2);
    ASSERT_TRUE(wait_until([&] { return blocked_reading(monitor.pid, slave_name); }));
    kill(monitor.pid, SIGTERM);
    const outcome o = finish(monitor);
    EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGTERM) << o.status;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
}

}  // namespace
