// Helpers for tests that drive real terminals and real processes.
//
//   open_raw_pty(m, s, name)   a pseudo-terminal pair with the slave raw; false on failure
//   PtyTest              fixture: open_raw_pty in SetUp, both ends closed after
//   temp_dir             a fresh directory under /tmp, removed with everything in it
//   words(text)          the blank-separated words of text
//   under_test(program)  the command that runs a program under test: the words of
//                        $TEST_PROGRAM_WRAPPER (valgrind, say), if set, then program
//   spawn(argv, opts)    start a program with its output on pipes (or a given descriptor)
//   finish(child, t)     read both pipes to the end and reap the child
//   read_until(fd, done, t)   read a pipe until done(text) holds, EOF, or the time is up
//   wait_until(cond, t)  poll a condition that no descriptor can signal
//   ended(pid)           whether a child has ended, leaving it to be reaped
//   queued(fd)           the bytes a terminal holds unread (FIONREAD)
//   waiting_on(pid, path)   whether a process (or thread) sits waiting for path: in
//                        read(2) on it, or in ppoll(2) while holding it
//   awaiting_frame(pid, path)   the same, but a ppoll(2) only on that descriptor alone and
//                        with no time limit: the wait for a frame, not a pause nor a wait to write
//   can_mount()          whether this process may mount in a mount namespace of its own
//                        (unshare --mount): root, outside a chroot or a confined container
//   without_dev_null(argv)   the command run in a mount namespace whose /dev is empty
//   hang_limit(t, saw)   in a test program with the watchdog: should the running test
//                        not end within t from now (TEST_LIMIT from its start), the
//                        program says so, and what saw() tells, and ends failed at once;
//                        there, once a test has failed, each of its waits is cut short
//   sample_frame(n, tag)   frame n of a test session: tag "F" and three digits unless
//                          given, readings that follow n (hongwai n, lux 10000)
//   sample_frames(first, last)   sample_frame(first) to sample_frame(last), one after another
//   sample_screen(n, shown_tag, screen)   the monitor's screen of sample_frame(n), its tag
//                          as shown, as its screen number screen (n unless given)
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/types.h>

using namespace std::chrono_literals;
inline constexpr auto GENEROUS = 10s;
inline constexpr auto TEST_LIMIT = 60s;

bool open_raw_pty(int &master, int &slave, std::string &slave_name);

class PtyTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    void write_master(const std::string &bytes);
    int master = -1;
    int slave = -1;
    std::string slave_name;
};

class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path &path, const std::string &text, mode_t mode = 0644);
std::string read_file(const std::filesystem::path &path);

struct spawn_options {
    std::filesystem::path cwd;    // empty: the test's own
    std::string path_prefix;      // put before PATH, for stand-in commands
    int stdout_fd = -1;           // -1: a new pipe
    std::set<int> closed;         // of 0, 1 and 2: left closed (0 is otherwise /dev/null)
    bool unprivileged = false;    // run as nobody when the tests run as root
    bool new_session = false;     // setsid: no controlling terminal, a process group of its own
    bool dies_with_test = false;  // killed should the test process end first
};

struct child {
    pid_t pid = -1;
    int out = -1;  // read ends; -1 when not a pipe
    int err = -1;
};

struct outcome {
    int status = -1;  // as from waitpid
    std::string out;
    std::string err;
};

std::vector<std::string> words(const std::string &text);
std::vector<std::string> under_test(const std::string &program);
child spawn(const std::vector<std::string> &argv, const spawn_options &opts = {});
outcome finish(child &c, std::chrono::milliseconds timeout = GENEROUS);
std::string read_until(int fd, const std::function<bool(const std::string &)> &done,
                       std::chrono::milliseconds timeout = GENEROUS);
bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout = GENEROUS);
bool ended(pid_t pid);
int queued(int fd);
bool waiting_on(pid_t pid, const std::string &path);
bool awaiting_frame(pid_t pid, const std::string &path);
bool can_mount();
std::vector<std::string> without_dev_null(std::vector<std::string> argv);

extern bool failed_tests_wait_no_more;  // set by the watchdog
void hang_limit(std::chrono::milliseconds from_now, std::function<std::string()> what_it_saw = {});

std::string sample_frame(int n, const std::string &tag = "");
std::string sample_frames(int first, int last);
std::string sample_screen(int n, const std::string &shown_tag = "", int screen = -1);
