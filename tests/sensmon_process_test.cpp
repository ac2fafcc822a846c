// The monitor as a separate process: its start-up failures, the line it
// leaves behind, and whole sessions through a pseudo-terminal.
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "sensor_frame.h"
#include "serial_port.h"

#include "support.h"

namespace fs = std::filesystem;

namespace {

// The screens in out, each ended by the stand-in clear's "<clear>".
std::vector<std::string> screens_in(const std::string &out)
{
    std::vector<std::string> screens;
    for (std::size_t at = 0, end; (end = out.find("<clear>\n", at)) != std::string::npos; at = end + 8)
        screens.push_back(out.substr(at, end - at));
    return screens;
}

// The number n of the sample_frame(n) that a screen shows.
int frame_number(const std::string &screen)
{
    return std::atoi(screen.substr(screen.find("\nF") + 2, 3).c_str());
}

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
        sending = false;
        if (sensor.joinable())
            sensor.join();
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
    // stand-in "clear" and waits until it waits for its first frame, the
    // line set up and flushed.
    void start_monitor(const std::string &clear = "echo '<clear>'", spawn_options opts = {},
                       const std::vector<std::string> &argv = under_test(SENSMON_UNDER_TEST))
    {
        write_file(stubs / "clear", "#!/bin/sh\n" + clear + "\n", 0755);
        opts.path_prefix = stubs.path();
        monitor = spawn(argv, opts);
        ASSERT_TRUE(wait_until([&] { return waiting_on(monitor.pid, TEST_DEVICE); }));
    }

    // Waits until the monitor has printed the next screens, of frames first
    // to last (by default, frame numbers and screen numbers go together).
    // What a slow reading took of later screens stays for the next call.
    void expect_screens_up_to(int last, int first = -1)
    {
        for (int n = first < 0 ? next_screen : first; n <= last; ++n)
            expected += sample_screen(n, "", next_screen++) + "<clear>\n";
        shown += read_until(monitor.out,
                            [&](const std::string &s) { return shown.size() + s.size() >= expected.size(); });
        ASSERT_EQ(shown.substr(0, expected.size()), expected);
    }

    bool ended() const { return ::ended(monitor.pid); }
    // The copy without a pause waits for its line with nothing queued only
    // once it has shown every frame sent.
    bool idle() const { return queued(slave) == 0 && waiting_on(monitor.pid, slave_name); }
    // The bytes the monitor has read so far, as the kernel counts them.
    unsigned long long bytes_read() const
    {
        std::istringstream io(read_file("/proc/" + std::to_string(monitor.pid) + "/io"));
        std::string field;
        unsigned long long count = 0;
        io >> field >> count;  // rchar comes first
        return count;
    }
    // Frames first to last as a slow sensor sends them: each once the copy
    // without a pause has read the one before and waits again; no more once
    // it has ended.
    void send_slowly(int first, int last)
    {
        for (int n = first; n <= last && !ended(); ++n) {
            const unsigned long long before = bytes_read();
            write_master(sample_frame(n));
            ASSERT_TRUE(
                wait_until([&] { return ended() || (bytes_read() >= before + SENSOR_FRAME_LEN && idle()); }));
        }
    }

    // Starts a sensor on a steady cadence, on a thread of its own: frames 0
    // to count - 1, one every period, until the test ends; sent_at[n] is when
    // frame n went.
    void steady_sensor(std::chrono::milliseconds period, int count)
    {
        sent_at.assign(static_cast<std::size_t>(count), {});
        sensor = std::thread([this, period, count] {
            auto next = std::chrono::steady_clock::now();
            for (int n = 0; n < count && sending && !HasFailure(); ++n, next += period) {
                std::this_thread::sleep_until(next);
                sent_at[static_cast<std::size_t>(n)] = std::chrono::steady_clock::now();
                write_master(sample_frame(n));
            }
        });
    }
    std::chrono::steady_clock::duration age(int n) const
    {
        return std::chrono::steady_clock::now() - sent_at[static_cast<std::size_t>(n)];
    }

    temp_dir stubs;
    child monitor;
    int next_screen = 0;
    std::string expected, shown;
    std::vector<std::chrono::steady_clock::time_point> sent_at;
    std::atomic<bool> sending{true};
    std::thread sensor;
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
        // Held by a monitor stopped in its pause, with the next frame queued
        // in the kernel: the lock must be exclusive, and taken before the
        // line is touched.
        {"port in use",
         [this] {
             link_device();
             start_monitor("echo '<clear>'", {}, under_test(SENSMON_PAUSED));
             write_master(sample_frame(0));
             shown = read_until(monitor.out, [](const std::string &s) { return s.ends_with("gas:255\n"); });
             kill(monitor.pid, SIGSTOP);
             write_master(sample_frame(1));
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
    // The first monitor's queued frame survived the second one.
    kill(monitor.pid, SIGCONT);
    expect_screens_up_to(1);
}

// Raw, as set; and, having opened it without waiting for a carrier, in
// blocking mode again.
TEST_F(Sensmon, LeavesTheLineRaw115200WithOneFramePerRead)
{
    link_device();
    start_monitor();
    const std::string fdinfo = read_file("/proc/" + std::to_string(monitor.pid) + "/fdinfo/3");
    EXPECT_EQ(std::stoul(fdinfo.substr(fdinfo.find("flags:") + 6), nullptr, 8) & O_NONBLOCK, 0u) << fdinfo;
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

// A slow sensor's every frame, in order, exact; of frames that come together,
// each screen a whole one, in order, and the newest last (without a pause,
// the others have waited a whole screen); frames in pieces joined.
TEST_F(Sensmon, ShowsWholeFramesInOrderUntilTheLineIsLost)
{
    link_device();
    write_master(std::string(30, 'Z'));  // before start-up: never shown
    start_monitor();

    send_slowly(0, 20);
    expect_screens_up_to(20);
    for (auto [first, last] : {std::pair{21, 24}, std::pair{25, 31}}) {
        ASSERT_TRUE(wait_until([&] { return idle(); }));
        write_master(sample_frames(first, last));
        shown += read_until(monitor.out, [&](const std::string &s) {
            const std::vector<std::string> screens = screens_in((shown + s).substr(expected.size()));
            return !screens.empty() && frame_number(screens.back()) == last;
        });
        const std::vector<std::string> screens = screens_in(shown.substr(expected.size()));
        for (int s = 0, before = first - 1; s < static_cast<int>(screens.size()); ++s) {
            const int n = frame_number(screens[s]);
            EXPECT_EQ(screens[s], sample_screen(n, "", next_screen + s));
            EXPECT_GT(n, before) << "screen " << s;
            before = n;
        }
        ASSERT_FALSE(screens.empty());
        EXPECT_EQ(frame_number(screens.back()), last);
        next_screen += static_cast<int>(screens.size());
        expected = shown;
    }

    for (char byte : sample_frame(32))
        write_master(std::string(1, byte));
    expect_screens_up_to(32, 32);

    write_master(sample_frame(33).substr(0, 5));
    usleep(10'000);  // the sender pauses mid-frame, as USB packets do
    write_master(sample_frame(33).substr(5));
    expect_screens_up_to(33, 33);

    write_master(sample_frame(34).substr(0, 10));  // never completed
    close(master);
    master = -1;
    const outcome o = finish(monitor);
    EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
    EXPECT_EQ(o.out, "") << "nothing after the last whole frame";
    EXPECT_TRUE(o.err == "read error: serial line hung up\n" ||
                o.err == std::string("read error: ") + strerror(EIO) + "\n")
        << o.err;
}

// The copy that pauses 1 s: a screen stays for the pause before "clear",
// while the frames that come meanwhile are taken off the line at once; and a
// line that hangs up during the pause ends the monitor at once, not when the
// pause is over.
TEST_F(Sensmon, APauseHoldsTheScreenButNotTheLine)
{
    link_device();
    start_monitor("echo '<clear>'", {}, under_test(SENSMON_PAUSED));
    const auto next = [&](std::size_t size, std::chrono::milliseconds bound = GENEROUS) {
        return read_until(
            monitor.out, [&](const std::string &s) { return s.size() >= size; }, bound);
    };
    write_master(sample_frame(0));
    EXPECT_EQ(next(sample_screen(0).size()), sample_screen(0));
    const unsigned long long before = bytes_read();
    write_master(sample_frames(1, 6));
    EXPECT_TRUE(wait_until([&] { return bytes_read() >= before + 6 * SENSOR_FRAME_LEN; }, 700ms))
        << "the line waits for the pause to end";
    EXPECT_EQ(next(1, 100ms), "") << "cleared before the pause was half over";
    // Of the four frames kept (3 to 6), the oldest, or the newest when they
    // came a whole screen before it: they came as the pause began, so either
    // is right, as the clear takes longer or shorter than this test did to
    // send them.
    const std::string oldest = "<clear>\n" + sample_screen(3, "", 1),
                      newest = "<clear>\n" + sample_screen(6, "", 1);
    const std::string cleared = next(newest.size(), 1500ms);
    EXPECT_TRUE(cleared == oldest || cleared == newest)
        << "not cleared within half a second of the pause's end, or not frame 3 or 6:\n"
        << cleared;
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
    ASSERT_TRUE(wait_until([&] { return waiting_on(monitor.pid, slave_name); }));
    close(gone);
    write_master(sample_frame(1));
    expect_write_error(EIO);

    if (!can_mount())
        GTEST_SKIP() << "mounting a small file system needs root and a mount namespace";
    temp_dir disk;  // two pages, one taken: room for one page of screens
    const std::string fill = "mount -t tmpfs -o size=8k sensmon-test \"$1\" && "
                             "head -c 4096 /dev/zero > \"$1/filler\" && exec \"$2\" > \"$1/frames.log\"";
    start_monitor(":", {}, {"unshare", "--mount", "sh", "-c", fill, "sh", disk.path(), SENSMON_UNDER_TEST});
    send_slowly(0, 99);
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
        ASSERT_TRUE(wait_until([&] { return waiting_on(monitor.pid, slave_name); }));
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

// A Ctrl-C while "clear" runs reaches the monitor's whole process group; and
// when only "clear" got it, so that the shell running it reports it with its
// exit status, 128 and the signal's number, it ends the monitor just as well.
TEST_F(Sensmon, CtrlCWhileClearRunsEndsTheMonitor)
{
    link_device();
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    for (bool whole_group : {true, false}) {
        for (int sig : {SIGINT, SIGQUIT}) {
            SCOPED_TRACE(testing::Message()
                         << strsignal(sig) << (whole_group ? " to the group" : " to clear"));
            spawn_options opts;
            opts.new_session = true;
            const fs::path pid = stubs / "clear.pid";
            fs::remove(pid);
            // A shell would only note the signal: the stand-in is sleep itself, or its child.
            start_monitor(whole_group ? "echo $$ > \"$0.pid\"; exec sleep 60"
                                      : "echo $$ > \"$0.pid\"; sleep 60; exit $?",
                          opts);
            write_master(sample_frame(0));
            std::string sleeper;
            ASSERT_TRUE(wait_until([&] {
                const std::string p = read_file(pid);
                sleeper = p.substr(0, p.size() - 1);
                if (!whole_group && p.ends_with("\n"))
                    sleeper = read_file("/proc/" + sleeper + "/task/" + sleeper + "/children");
                sleeper = sleeper.substr(0, sleeper.find(' '));
                return p.ends_with("\n") && read_file("/proc/" + sleeper + "/comm") == "sleep\n";
            }));
            kill(whole_group ? -monitor.pid : std::stoi(sleeper), sig);
            const outcome o = finish(monitor);
            EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == sig) << o.status;
        }
    }
}

TEST_F(Sensmon, ASignalLosesNoScreen)
{
    link_device();
    start_monitor();
    send_slowly(0, 2);
    expect_screens_up_to(2);
    ASSERT_TRUE(wait_until([&] { return waiting_on(monitor.pid, slave_name); }));
    kill(monitor.pid, SIGTERM);
    const outcome o = finish(monitor);
    EXPECT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGTERM) << o.status;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
}

// A sensor fifteen times faster than the screens: each screen is a whole
// frame, exact, later than the one before, and live: no more than
// KEPT_FRAMES (and a margin of 0.2 s for this test's own reading) behind what
// had been sent when the screen before it was read.  The last frame is shown.
TEST_F(Sensmon, AFastSensorIsShownLive)
{
    link_device();
    start_monitor("echo '<clear>'", {}, under_test(SENSMON_QUICK));
    constexpr int frames = 100;
    std::atomic<int> sent{0};
    std::thread sender([&] {
        for (; sent < frames; ++sent) {
            write_master(sample_frame(sent));
            std::this_thread::sleep_for(20ms);
        }
    });
    std::string out;
    std::vector<int> sent_when_read;
    const std::string last = sample_frame(frames - 1).substr(0, 4) + "\n";
    while (out.find(last) == std::string::npos || !out.ends_with("<clear>\n")) {
        const std::string more = read_until(monitor.out, [&](const std::string &s) {
            return screens_in(out + s).size() > sent_when_read.size();
        });
        if (more.empty())
            break;
        out += more;
        sent_when_read.resize(screens_in(out).size(), sent);
    }
    sender.join();
    const std::vector<std::string> screens = screens_in(out);
    ASSERT_FALSE(screens.empty());
    EXPECT_LE(screens.size(), 15u) << "a screen for every frame";
    for (int s = 0, before = -1; s < static_cast<int>(screens.size()); ++s) {
        const int n = frame_number(screens[s]);
        SCOPED_TRACE(testing::Message() << "screen " << s << ", frame " << n);
        EXPECT_EQ(screens[s], sample_screen(n, "", s));
        EXPECT_GT(n, before);
        if (s > 0) {
            EXPECT_GE(n, sent_when_read[s - 1] - static_cast<int>(KEPT_FRAMES) - 10) << "shown late";
        }
        before = n;
    }
    EXPECT_EQ(screens.back(), sample_screen(frames - 1, "", static_cast<int>(screens.size()) - 1));
}

// The screen that the monitor shows for a report of the emulator's.
std::string screen_of(const std::string &report, int screen)
{
    std::vector<std::string> fields = words(report);  // frame N: tag T tem:... gas:...
    std::string text = "\n-------" + std::to_string(screen) + "------\n" + fields.at(3) + "\n";
    for (std::size_t i = 4; i < fields.size(); ++i)
        text += fields[i] + "\n";
    return text;
}

// A sensor that the monitor joins mid-frame, and that later loses a byte on
// the line: the torn pieces are discarded at the quiet gap after them, and
// every screen is a frame that the emulator reports sent whole.
TEST_F(Sensmon, ATornFrameIsDiscardedAtTheNextQuietGap)
{
    child emulator = spawn({SENSOR_EMULATOR, "--path", TEST_DEVICE, "--interval-ms", "500", "--torn-start",
                            "10", "--lose-byte", "2", "--verbose"});
    std::string said = read_until(emulator.out, [](const std::string &s) { return s.ends_with("\n"); });
    start_monitor();
    said += read_until(
        emulator.out, [](const std::string &) { return false; }, 1ms);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1)
        << "a frame went before the monitor listened: " << said;
    said += read_until(emulator.out,
                       [](const std::string &s) { return s.find("frame 5: ") != std::string::npos; });
    const std::vector<std::string> screens =
        screens_in(read_until(monitor.out, [](const std::string &s) { return screens_in(s).size() >= 4; }));
    kill(emulator.pid, SIGTERM);
    finish(emulator);
    std::istringstream reports(said);
    std::vector<std::string> lines;
    for (std::string line; std::getline(reports, line);)
        lines.push_back(line);
    ASSERT_GE(lines.size(), 7u) << said;
    EXPECT_EQ(lines[1], "frame 0: torn, bytes 10 to 23 sent");
    EXPECT_EQ(lines[3], "frame 2: torn, bytes 0 to 22 sent");
    ASSERT_GE(screens.size(), 4u);
    EXPECT_EQ(screens[0], screen_of(lines[2], 0));
    EXPECT_EQ(screens[1], screen_of(lines[4], 1));
    EXPECT_EQ(screens[2], screen_of(lines[5], 2));
    EXPECT_EQ(screens[3], screen_of(lines[6], 3));
}

// Waiting, it sleeps: no wake-up at all while the line is quiet, and only a
// few, with next to no CPU, for a partial frame and its quiet gap.
TEST_F(Sensmon, WaitingItSleeps)
{
    link_device();
    start_monitor();
    const std::string proc = "/proc/" + std::to_string(monitor.pid);
    const auto wakeups = [&] {
        const std::string status = read_file(proc + "/status");
        return std::atol(status.c_str() + status.find("voluntary_ctxt_switches:") + 24);
    };
    const auto cpu_ticks = [&] {
        const std::vector<std::string> stat = words(read_file(proc + "/stat"));
        return std::atol(stat.at(13).c_str()) + std::atol(stat.at(14).c_str());  // utime, stime
    };
    const long woken = wakeups(), ticks = cpu_ticks();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(wakeups(), woken);
    write_master(sample_frame(0).substr(0, 5));
    ASSERT_TRUE(wait_until([&] { return bytes_read() > 0 && queued(slave) == 0; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(wakeups() - woken, 4);
    EXPECT_LE(cpu_ticks() - ticks, 1);
}

// A stopped terminal (Ctrl-S, Scroll Lock) holds the screens back, not the
// line: frames are taken meanwhile; resumed, the newest is shown; and a
// hang-up while it is stopped ends the monitor at once.
TEST_F(Sensmon, AStoppedOutputNeverHoldsTheLine)
{
    link_device();
    int screen = -1;
    spawn_options terminal;
    std::string terminal_name;
    ASSERT_TRUE(open_raw_pty(screen, terminal.stdout_fd, terminal_name));
    start_monitor(":", terminal);
    tcflow(terminal.stdout_fd, TCOOFF);
    unsigned long long before = bytes_read();
    write_master(sample_frames(0, 5));
    ASSERT_TRUE(wait_until([&] { return bytes_read() >= before + 6 * SENSOR_FRAME_LEN && idle(); }));
    EXPECT_EQ(read_until(
                  screen, [](const std::string &) { return false; }, 100ms),
              "");
    tcflow(terminal.stdout_fd, TCOON);
    const std::string expected = sample_screen(5, "", 0);  // without a pause, the others waited a screen
    EXPECT_EQ(read_until(screen, [&](const std::string &s) { return s.size() >= expected.size(); }),
              expected);

    ASSERT_TRUE(wait_until([&] { return idle(); }));
    tcflow(terminal.stdout_fd, TCOOFF);
    before = bytes_read();
    write_master(sample_frame(6));
    ASSERT_TRUE(wait_until([&] { return bytes_read() >= before + SENSOR_FRAME_LEN && idle(); }));
    close(std::exchange(master, -1));
    const outcome o = finish(monitor, 3s);
    EXPECT_TRUE(WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1) << o.status;
    EXPECT_TRUE(o.err.starts_with("read error: ")) << o.err;
    close(terminal.stdout_fd);
    close(screen);
}

// A second reader of the line (cat, od, a modem manager's probe) takes bytes
// the monitor was waiting for, some of them between its look at the line and
// its read: the monitor neither ends nor freezes, and once that reader is
// gone, a quiet gap realigns it and the next screens are exact.
TEST_F(Sensmon, ASecondReaderOfTheLineEndsNothing)
{
    link_device();
    start_monitor();
    child other = spawn({"dd", "if=" + slave_name, "of=/dev/null", "bs=10", "iflag=noctty", "status=none"});
    for (int round = 0; round < 30; ++round) {
        write_master(sample_frames(0, round % 5));
        std::this_thread::sleep_for(30ms);
    }
    kill(other.pid, SIGTERM);
    finish(other);
    ASSERT_TRUE(wait_until([&] { return ended() || idle(); }));
    ASSERT_FALSE(ended()) << finish(monitor).err;
    shown = expected = read_until(
        monitor.out, [](const std::string &) { return false; }, 2 * std::chrono::milliseconds(LINE_QUIET_MS));
    next_screen = static_cast<int>(screens_in(shown).size());
    send_slowly(100, 104);
    expect_screens_up_to(104, 100);
}

// A sensor exactly as slow as the screens, with a "clear" that takes a sixth
// of a screen: over thirty screens it never falls behind.  Every screen is a
// whole frame, later than the one before, and none later than this test's own
// reading can explain (a monitor that fell behind by its "clear" each screen
// was a second late after twenty screens); on a machine so busy that a screen
// took a whole period more, a frame may be skipped, but no more than two.
TEST_F(Sensmon, ASensorAsSlowAsTheScreensNeverFallsBehind)
{
    link_device();
    start_monitor("sleep 0.05; echo '<clear>'", {}, under_test(SENSMON_QUICK));
    constexpr int frames = 30;
    constexpr auto period = 300ms;
    steady_sensor(period, frames);
    std::string out;
    for (int s = 0, before = -1; before < frames - 1 && !HasFailure(); ++s) {
        const auto seen = [&](const std::string &text) {
            return static_cast<int>(screens_in(text).size()) > s;
        };
        out += read_until(monitor.out, [&](const std::string &more) { return seen(out + more); });
        ASSERT_TRUE(seen(out)) << out;
        const std::string screen = screens_in(out)[static_cast<std::size_t>(s)];
        const int n = frame_number(screen);
        ASSERT_GT(n, before) << "screen " << s;
        EXPECT_EQ(screen, sample_screen(n, "", s));
        EXPECT_LT(age(n), 4 * period) << "frame " << n << " shown late";
        EXPECT_LE(n - s, 2) << "frames skipped by screen " << s;
        before = n;
    }
}

// A sensor as fast as the screens, held back by a stall of five screens: the
// output stopped (Ctrl-S), then the monitor stopped (SIGSTOP).  From the
// second screen after each stall on (the first may have been under way), every
// screen shows a frame sent no more than a screen before it began (and two
// screens' margin for this test's own reading): the frames that piled up
// meanwhile are not shown late.
TEST_F(Sensmon, AfterAStallTheScreensAreFreshAgain)
{
    link_device();
    int screen = -1;
    spawn_options terminal;
    std::string terminal_name;
    ASSERT_TRUE(open_raw_pty(screen, terminal.stdout_fd, terminal_name));
    start_monitor("echo '<clear>'", terminal, under_test(SENSMON_QUICK));
    constexpr auto period = 300ms;
    steady_sensor(period, 200);
    const std::function<void(bool)> stalls[] = {
        [&](bool on) { tcflow(terminal.stdout_fd, on ? TCOOFF : TCOON); },
        [&](bool on) { kill(monitor.pid, on ? SIGSTOP : SIGCONT); },
    };
    std::string out;
    for (const auto &stall : stalls) {
        out += read_until(
            screen, [](const std::string &) { return false; }, 100ms);  // what came before the stall
        stall(true);
        std::this_thread::sleep_for(5 * period);
        stall(false);
        const std::size_t first = screens_in(out).size();
        for (std::size_t i = first; i < first + 5 && !HasFailure(); ++i) {
            out += read_until(screen,
                              [&](const std::string &more) { return screens_in(out + more).size() > i; });
            const std::vector<std::string> screens = screens_in(out);
            ASSERT_GT(screens.size(), i) << out;
            const int n = frame_number(screens[i]);
            EXPECT_EQ(screens[i], sample_screen(n, "", static_cast<int>(i)));
            if (i > first) {
                EXPECT_LT(age(n), 3 * period)
                    << "screen " << i - first << " after the stall shows frame " << n;
            }
        }
    }
    close(screen);
    close(terminal.stdout_fd);
}

}  // namespace
