// What the monitor costs, against cat doing the same job in the same run: a
// copy of sensmon without the pause and with a stand-in "clear" reads frames
// from a pseudo-terminal and writes its screens into a pipe; cat reads its own
// pseudo-terminal, at the same VMIN, into its own pipe.  The two are measured
// in turn, and every target is a ratio to cat or to the monitor's own first
// figure: absolute times on a shared machine say more about the machine.
// Last, a copy with the installed pause is sent frames at the line's full
// rate, and the CPU it takes to keep up is set against cat's.
//
//   sensmon_bench          about 45 s
//   sensmon_bench --soak   also 100,000 frames, for memory: about 2 minutes more
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/utsname.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "sensor_frame.h"
#include "support.h"

namespace fs = std::filesystem;
using bench_clock = std::chrono::steady_clock;

namespace {

constexpr int STARTS = 30, FRAMES = 500;
constexpr int FULL_RATE = 480;  // frames a second at 115200 bit/s, ten bits a byte
constexpr int FULL_RATE_SECONDS = 5;
constexpr auto SETTLE = 20ms;    // before each frame: what the last one set off has finished
constexpr cc_t FRAME_VMIN = 24;  // as the monitor sets its line

[[noreturn]] void fail(const std::string &why)
{
    throw std::runtime_error(why);
}

// The programs measured run on one CPU, the benchmark on another.  A pipe
// wakes its reader on the writer's CPU, where the reader then waits while the
// monitor goes on to start "clear", while cat goes straight back to its read:
// that, not the monitor's own work, made it look twice as slow as cat.
cpu_set_t subjects_cpu;

bool split_cpus()
{
    cpu_set_t allowed, own;
    sched_getaffinity(0, sizeof allowed, &allowed);
    CPU_ZERO(&own);
    CPU_ZERO(&subjects_cpu);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            CPU_SET(cpu, CPU_COUNT(&own) ? &subjects_cpu : &own);
    return CPU_COUNT(&subjects_cpu) > 0 && sched_setaffinity(0, sizeof own, &own) == 0;
}

// A program measured: it reads its own line and writes into a pipe.
struct subject {
    std::vector<std::string> argv;
    spawn_options opts;
    int master = -1, slave = -1;
    std::string line;  // the slave's name
    child proc;
};

void open_line(subject &s, cc_t vmin)
{
    termios t;
    if (!open_raw_pty(s.master, s.slave, s.line) || tcgetattr(s.slave, &t) != 0)
        fail(std::string("cannot open a pseudo-terminal: ") + strerror(errno));
    t.c_cc[VMIN] = vmin;
    tcsetattr(s.slave, TCSANOW, &t);
}

void stop(subject &s)
{
    if (s.proc.pid > 0) {
        kill(s.proc.pid, SIGTERM);
        finish(s.proc);
    }
}

// Starts the program afresh; returns the time until it waits in its first read.
double start(subject &s)
{
    stop(s);
    const auto t0 = bench_clock::now();
    s.proc = spawn(s.argv, s.opts);
    sched_setaffinity(s.proc.pid, sizeof subjects_cpu, &subjects_cpu);
    while (!awaiting_frame(s.proc.pid, s.line))  // spins: sleeping would blur the time
        if (bench_clock::now() > t0 + GENEROUS)
            fail(s.argv[0] + " never reached its first read");
    return std::chrono::duration<double, std::milli>(bench_clock::now() - t0).count();
}

// Waits until the program waits for a frame: cat in its read, the monitor in
// its wait on the line alone (not in the pause, nor in the wait for room to
// write that comes before "clear").
void await_reading(const subject &s)
{
    if (!wait_until([&] { return awaiting_frame(s.proc.pid, s.line); }))
        fail(s.argv[0] + " does not read its line");
}

// Reads exactly `bytes` of output: the program writes no more before it is
// sent more.
void await(subject &s, std::size_t bytes)
{
    if (read_until(s.proc.out, [&](const std::string &got) { return got.size() >= bytes; }).size() != bytes)
        fail(s.argv[0] + " did not write what it should");
}

// The monitor's screen for frame number n of sample_frame(0).
std::size_t screen_size(int n)
{
    return sample_screen(0).size() + std::to_string(n).size() - 1;
}

// From the frame's last byte handed to the kernel to the last byte of what
// it brings out: the whole screen from the monitor, the frame from cat.
double latency(subject &s, int n, std::size_t output)
{
    std::this_thread::sleep_for(SETTLE);
    await_reading(s);
    const std::string frame = sample_frame(n);
    if (write(s.master, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
        fail("cannot write a frame");
    const auto t0 = bench_clock::now();
    await(s, output);
    return std::chrono::duration<double, std::micro>(bench_clock::now() - t0).count();
}

// A figure from /proc/PID/FILE.  Private_Dirty, in smaps_rollup, is the memory
// a program has written itself, counted page by page; VmHWM also counts pages
// of the shared C library, as many as the page cache happened to map, and
// moves by tens of kB from one start to the next.
long proc_figure(pid_t pid, const char *file, const std::string &key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string word; in >> word;) {
        long value;
        if (word == key + ":" && in >> value)
            return value;
    }
    fail("no " + key + " for process " + std::to_string(pid));
}

// The CPU time that a process has used, in milliseconds: the scheduler's
// own count, to the nanosecond (utime and stime come in 10 ms ticks).
double cpu_ms(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = -1;
    if (!(in >> ns))
        fail("no schedstat for process " + std::to_string(pid));
    return static_cast<double>(ns) / 1e6;
}

// The program started afresh and sent frames at the line's full rate for
// FULL_RATE_SECONDS, its output drained: the CPU it used, in ms a second.
double cpu_at_full_rate(subject &s)
{
    start(s);
    std::atomic<bool> done{false};
    std::thread drain([&] {
        char sink[4096];
        pollfd p{s.proc.out, POLLIN, 0};
        while (!done)
            if (poll(&p, 1, 100) > 0 && read(s.proc.out, sink, sizeof sink) <= 0)
                return;
    });
    const double before = cpu_ms(s.proc.pid);
    const std::string frame = sample_frame(0);
    auto next = bench_clock::now();
    for (int n = 0; n < FULL_RATE * FULL_RATE_SECONDS; ++n) {
        std::this_thread::sleep_until(next);
        if (write(s.master, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
            fail("cannot write a frame");
        next += std::chrono::microseconds(1'000'000 / FULL_RATE);
    }
    if (!wait_until([&] { return queued(s.slave) == 0 && waiting_on(s.proc.pid, s.line); }))
        fail(s.argv[0] + " did not keep up");
    const double used = cpu_ms(s.proc.pid) - before;
    done = true;
    drain.join();
    return used / FULL_RATE_SECONDS;
}

struct results {
    std::vector<double> startup[2], latency[2];  // [0] sensmon, [1] cat
    long own_kb[2], hwm_kb[2];
    double cpu_ms_per_s[2];
    std::vector<int> checkpoints;
    std::vector<std::pair<long, long>> memory;  // own memory and VmHWM at each checkpoint
    double shown_s;
};

void measure_against_cat(subject &monitor, subject &cat, results &r)
{
    std::printf("start-up: %d starts of each...\n", STARTS);
    for (int i = 0; i < STARTS; ++i)
        for (subject *s : {&monitor, &cat})
            r.startup[s == &cat].push_back(start(*s));
    std::printf("latency: %d frames to each...\n", FRAMES);
    for (int n = 0; n < FRAMES; ++n) {
        r.latency[0].push_back(latency(monitor, n, sample_screen(n).size()));
        r.latency[1].push_back(latency(cat, n, FRAME_VMIN));
    }
    for (subject *s : {&monitor, &cat}) {
        r.own_kb[s == &cat] = proc_figure(s->proc.pid, "smaps_rollup", "Private_Dirty");
        r.hwm_kb[s == &cat] = proc_figure(s->proc.pid, "status", "VmHWM");
    }
}

// A fresh monitor, sent frames one by one as it shows them; its memory at
// each checkpoint, taken while it waits for the line.
void measure_memory(subject &monitor, results &r)
{
    start(monitor);
    const auto t0 = bench_clock::now();
    int sent = 0;
    const std::string frame = sample_frame(0);
    for (int checkpoint : r.checkpoints) {
        std::printf("memory: up to %d frames...\n", checkpoint);
        for (; sent < checkpoint; ++sent) {
            if (write(monitor.master, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
                fail("cannot write a frame");
            await(monitor, screen_size(sent));
        }
        await_reading(monitor);
        r.memory.emplace_back(proc_figure(monitor.proc.pid, "smaps_rollup", "Private_Dirty"),
                              proc_figure(monitor.proc.pid, "status", "VmHWM"));
    }
    r.shown_s = std::chrono::duration<double>(bench_clock::now() - t0).count();
}

double percentile(std::vector<double> v, double at)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(v.size() * at))];
}

// A row of the table; a limit of 0 marks a figure shown for reference only.
void row(const char *what, double sensmon, double cat, double limit)
{
    char ratio[16] = "-", target[24] = "-";
    if (cat > 0)
        std::snprintf(ratio, sizeof ratio, "%.2f", sensmon / cat);
    if (limit > 0)
        std::snprintf(target, sizeof target, "<= %.1f x cat", limit);
    const char *verdict = limit <= 0 ? "" : sensmon <= limit * cat ? "met" : "missed";
    std::printf("| %-30s | %9.1f | %9.1f | %5s | %-13s | %-6s |\n", what, sensmon, cat, ratio, target,
                verdict);
}

void print_table(const results &r)
{
    std::printf("\n| %-30s | %9s | %9s | %5s | %-13s | %-6s |\n", "", "sensmon", "cat", "ratio", "target",
                "");
    std::printf(
        "|--------------------------------|-----------|-----------|-------|---------------|--------|\n");
    row("start-up to first wait (ms)", percentile(r.startup[0], 0.5), percentile(r.startup[1], 0.5), 1.5);
    row("latency, median (us)", percentile(r.latency[0], 0.5), percentile(r.latency[1], 0.5), 1.5);
    row("latency, 99th percentile (us)", percentile(r.latency[0], 0.99), percentile(r.latency[1], 0.99), 0);
    row("own memory, Private_Dirty (kB)", double(r.own_kb[0]), double(r.own_kb[1]), 1);
    row("peak memory, VmHWM (kB)", double(r.hwm_kb[0]), double(r.hwm_kb[1]), 0);
    row("CPU at full line rate (ms/s)", r.cpu_ms_per_s[0], r.cpu_ms_per_s[1], 0);
    std::printf("\nsensmon after");
    for (std::size_t i = 0; i < r.checkpoints.size(); ++i)
        std::printf("%s %d frames: own %ld kB, VmHWM %ld kB", i ? ";" : "", r.checkpoints[i],
                    r.memory[i].first, r.memory[i].second);
    std::printf("\ntarget, own memory after %d frames not higher than after %d: %s\n", r.checkpoints.back(),
                r.checkpoints.front(), r.memory.back().first <= r.memory.front().first ? "met" : "missed");
    std::printf("medians of %d starts and %d frames each, taken in turn; %d frames shown in %.0f s;\n"
                "CPU over %d s of %d frames a second, the monitor pausing 3 s a screen as installed.\n",
                STARTS, FRAMES, r.checkpoints.back(), r.shown_s, FULL_RATE_SECONDS, FULL_RATE);
}

std::string machine()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string model;
    while (std::getline(cpuinfo, model) && !model.starts_with("model name")) {
    }
    utsname u;
    uname(&u);
    return (model.empty() ? u.machine : model.substr(model.find(':') + 2)) + ", " +
           std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " + u.release;
}

void run(bool soak)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);  // each progress line as it comes
    const bool split = split_cpus();
    std::printf("sensmon benchmark on %s%s\n\n", machine().c_str(),
                split ? "" : " (one CPU: the figures include waiting for each other)");
    temp_dir stubs;
    fs::create_symlink("/bin/true", stubs / "clear");
    subject monitor, cat;
    monitor.argv = {SENSMON_BENCH_COPY};
    monitor.opts.path_prefix = stubs.path();
    open_line(monitor, 1);  // it sets its own line
    open_line(cat, FRAME_VMIN);
    cat.argv = {"cat", cat.line};
    fs::remove(BENCH_DEVICE);
    fs::create_symlink(monitor.line, BENCH_DEVICE);

    results r;
    measure_against_cat(monitor, cat, r);
    stop(cat);
    r.checkpoints = {100, 1'000, 10'000};
    if (soak)
        r.checkpoints.push_back(100'000);
    measure_memory(monitor, r);
    std::printf("full rate: %d s of %d frames a second to each...\n", FULL_RATE_SECONDS, FULL_RATE);
    monitor.argv = {SENSMON_BENCH_PAUSED};
    r.cpu_ms_per_s[0] = cpu_at_full_rate(monitor);
    r.cpu_ms_per_s[1] = cpu_at_full_rate(cat);
    stop(cat);
    stop(monitor);
    fs::remove(BENCH_DEVICE);
    print_table(r);
}

}  // namespace

int main(int argc, char **argv)
{
    const bool soak = argc == 2 && std::strcmp(argv[1], "--soak") == 0;
    if (argc != 1 && !soak) {
        std::fprintf(stderr, "usage: sensmon_bench [--soak]\n");
        return 2;
    }
    try {
        run(soak);
        return 0;
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "sensmon_bench: %s\n", e.what());
        fs::remove(BENCH_DEVICE);
        return 1;
    }
}
