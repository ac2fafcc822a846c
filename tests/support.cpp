#include "support.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

bool open_raw_pty(int &master, int &slave, std::string &slave_name)
{
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return false;
    slave_name = name;
    termios t;
    if (tcgetattr(slave, &t) != 0)
        return false;
    cfmakeraw(&t);
    return tcsetattr(slave, TCSANOW, &t) == 0;
}

void PtyTest::SetUp()
{
    ASSERT_TRUE(open_raw_pty(master, slave, slave_name)) << strerror(errno);
}

void PtyTest::TearDown()
{
    if (master >= 0)
        close(master);
    if (slave >= 0)
        close(slave);
}

void PtyTest::write_master(const std::string &bytes)
{
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/sensmon-test-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void write_file(const fs::path &path, const std::string &text, mode_t mode)
{
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> all;
    for (std::string w; in >> w;)
        all.push_back(w);
    return all;
}

std::vector<std::string> under_test(const std::string &program)
{
    const char *wrapper = getenv("TEST_PROGRAM_WRAPPER");
    std::vector<std::string> argv = words(wrapper ? wrapper : "");
    argv.push_back(program);
    return argv;
}

[[noreturn]] static void exec_child(const std::vector<std::string> &argv, const spawn_options &opts, int out,
                                    int err)
{
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out, 1);
    dup2(err, 2);
    closefrom(3);
    for (int fd : opts.closed)
        close(fd);
    // As from an interactive shell, whatever the test runner was started with.
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    if (opts.new_session)
        setsid();
    if (opts.dies_with_test)
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0)
        _exit(126);
    if (!opts.path_prefix.empty())
        setenv("PATH", (opts.path_prefix + ":" + getenv("PATH")).c_str(), 1);
    if (opts.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
        _exit(126);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

child spawn(const std::vector<std::string> &argv, const spawn_options &opts)
{
    int out[2] = {-1, -1}, err[2];
    if ((opts.stdout_fd < 0 && pipe2(out, O_CLOEXEC) != 0) || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    child c;
    c.pid = fork();
    if (c.pid == 0)
        exec_child(argv, opts, opts.stdout_fd >= 0 ? opts.stdout_fd : out[1], err[1]);
    if (opts.stdout_fd < 0)
        close(out[1]);
    close(err[1]);
    c.out = out[0];
    c.err = err[0];
    return c;
}

// With the watchdog, a test that has failed waits no more: a wait's whole
// limit, and the next one's, would only put off what the failure already says.
bool failed_tests_wait_no_more = false;
static std::chrono::steady_clock::time_point deadline_after(std::chrono::milliseconds timeout)
{
    const bool cut = failed_tests_wait_no_more && testing::Test::HasFailure();
    return std::chrono::steady_clock::now() + (cut ? std::min(timeout, 200ms) : timeout);
}

// Reads what is there now; false at end of file.
static bool read_some(int fd, std::string &into)
{
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) < 0 && errno == EINTR) {
    }
    if (n > 0)
        into.append(buf, static_cast<std::size_t>(n));
    return n > 0;
}

std::string read_until(int fd, const std::function<bool(const std::string &)> &done,
                       std::chrono::milliseconds timeout)
{
    std::string text;
    const auto deadline = deadline_after(timeout);
    while (!done(text)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 || !read_some(fd, text))
            break;
    }
    return text;
}

outcome finish(child &c, std::chrono::milliseconds timeout)
{
    outcome o;
    const auto deadline = deadline_after(timeout);
    std::vector<pollfd> open;
    for (int fd : {c.out, c.err})
        if (fd >= 0)
            open.push_back({fd, POLLIN, 0});
    while (!open.empty() && std::chrono::steady_clock::now() < deadline) {
        if (poll(open.data(), open.size(), 100) <= 0)
            continue;
        for (auto p = open.begin(); p != open.end();) {
            if (p->revents && !read_some(p->fd, p->fd == c.out ? o.out : o.err))
                p = open.erase(p);
            else
                ++p;
        }
    }
    if (!open.empty())
        kill(c.pid, SIGKILL);  // it outlived the bound: fail, but do not hang
    waitpid(c.pid, &o.status, 0);
    for (int fd : {c.out, c.err})
        if (fd >= 0)
            close(fd);
    c = child{};
    return o;
}

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
    const auto deadline = deadline_after(timeout);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The number that /proc shows for read(2), or for ppoll(2).  Under qemu-user
// it is the host's, not this program's, so it is learnt once from a thread
// of this process that is blocked on a pipe that way.
static std::string syscall_number(bool polling)
{
    int p[2];
    if (pipe(p) != 0)
        throw std::runtime_error("pipe failed");
    std::atomic<pid_t> waiter{0};
    std::thread t([&] {
        waiter = static_cast<pid_t>(syscall(SYS_gettid));
        char c;
        pollfd in{p[0], POLLIN, 0};
        while ((polling ? ppoll(&in, 1, nullptr, nullptr) : read(p[0], &c, 1)) < 0 && errno == EINTR) {
        }
    });
    char pipe_fd[16];
    std::snprintf(pipe_fd, sizeof pipe_fd, "0x%x", p[0]);
    std::string number;
    const bool seen = wait_until([&] {
        std::ifstream in("/proc/" + std::to_string(getpid()) + "/task/" + std::to_string(waiter) +
                         "/syscall");
        std::string first;
        return waiter != 0 && in >> number >> first && (polling ? number != "running" : first == pipe_fd) &&
               read_file("/proc/self/task/" + std::to_string(waiter) + "/stat").find(") S ") !=
                   std::string::npos;
    });
    if (write(p[1], "x", 1) != 1) {
    }
    t.join();
    close(p[0]);
    close(p[1]);
    if (!seen)
        throw std::runtime_error(std::string("no thread was ever seen blocked in ") +
                                 (polling ? "ppoll" : "read") + "(2) in /proc");
    return number;
}

// A child that waitid cannot wait for (reaped already) counts as ended.
bool ended(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

int queued(int fd)
{
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}

// Whether the file open as /proc/PID/fd/FD is path, by identity: a process in
// a mount namespace of its own may show it under another name.
static bool same_file(const std::string &proc_fd, const std::string &path)
{
    struct stat held, want;
    return stat(proc_fd.c_str(), &held) == 0 && stat(path.c_str(), &want) == 0 &&
           held.st_dev == want.st_dev && held.st_ino == want.st_ino;
}

// /proc/PID/syscall holds the number of the system call the task is blocked
// in and its arguments in hex, or "running".  ppoll's first argument is an
// address: a task blocked in it waits for path if it holds path open at all.
// A thread's id serves as a pid.
// In read(2) on path, or in ppoll(2) holding it; for_frame: a ppoll on one
// descriptor alone with no time limit, not a pause nor a wait for room to write.
static bool waiting(pid_t pid, const std::string &path, bool for_frame)
{
    static const std::string read_number = syscall_number(false), ppoll_number = syscall_number(true);
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream in(proc + "/syscall");
    std::string number, fd, count, timeout;
    if (!(in >> number >> fd >> count >> timeout))
        return false;
    if (number == read_number)
        return same_file(proc + "/fd/" + std::to_string(std::stoul(fd, nullptr, 16)), path);
    if (number != ppoll_number || (for_frame && (count != "0x1" || timeout != "0x0")))
        return false;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(proc + "/fd", error))
        if (same_file(entry.path(), path))
            return true;
    return false;
}

bool waiting_on(pid_t pid, const std::string &path)
{
    return waiting(pid, path, false);
}

bool awaiting_frame(pid_t pid, const std::string &path)
{
    return waiting(pid, path, true);
}

bool can_mount()
{
    static const bool can = [] {
        child c = spawn({"unshare", "--mount", "mount", "-t", "tmpfs", "none", "/mnt"});
        return finish(c).status == 0;
    }();
    return can;
}

std::vector<std::string> without_dev_null(std::vector<std::string> argv)
{
    argv.insert(argv.begin(),
                {"unshare", "--mount", "sh", "-c", "mount -t tmpfs none /dev && exec \"$@\"", "sh"});
    return argv;
}

std::string sample_frame(int n, const std::string &tag)
{
    char number[8];
    std::snprintf(number, sizeof number, "F%03d", n % 1000);
    std::string f = tag.empty() ? std::string(number, 4) : tag;
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

std::string sample_frames(int first, int last)
{
    std::string frames;
    for (int n = first; n <= last; ++n)
        frames += sample_frame(n);
    return frames;
}

std::string sample_screen(int n, const std::string &shown_tag, int screen)
{
    std::ostringstream s;
    s << "\n-------" << (screen < 0 ? n : screen) << "------\n"
      << (shown_tag.empty() ? sample_frame(n).substr(0, 4) : shown_tag) << "\ntem:" << n % 256
      << "\nhum:" << n % 7 << "\nep_no:" << n % 5 << "\nhongwai:" << n << "\nlux:10000\ngas:255\n";
    return s.str();
}
