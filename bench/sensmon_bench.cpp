// What the monitor costs: a copy of sensmon without the pause and with a
// stand-in "clear" is driven through a pseudo-terminal, its screens read
// from a pipe; cat reading the same kind of terminal is the floor.
// Prints a table; asserts nothing.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support.h"

namespace fs = std::filesystem;
using bench_clock = std::chrono::steady_clock;

namespace {

struct line {
    int master = -1, slave = -1;
    std::string name;
};

line open_line()
{
    line l;
    if (!open_raw_pty(l.master, l.slave, l.name))
        throw std::runtime_error("cannot open a pseudo-terminal");
    return l;
}

// A frame with tag "BNCH" and hongwai = n.
std::string frame(int n)
{
    std::string f = "BNCH" + std::string(20, '\0');
    f[12] = static_cast<char>(n & 0xff);
    f[13] = static_cast<char>(n >> 8 & 0xff);
    return f;
}

void write_all(int fd, const std::string &bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("write failed");
        done += static_cast<std::size_t>(n);
    }
}

long proc_status_kb(pid_t pid, const std::string &field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string key; in >> key;) {
        long kb;
        if (key == field + ":" && in >> kb)
            return kb;
    }
    return -1;
}

long cpu_ticks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i < 14; ++i)  // fields 3 to 13 come before utime
        rest >> field;
    long utime = 0, stime = 0;
    rest >> utime >> stime;
    return utime + stime;
}

// Waits, without sleeping, until pid sits in its read of path.
void spin_until_reading(pid_t pid, const std::string &path)
{
    const auto deadline = bench_clock::now() + GENEROUS;
    while (!blocked_reading(pid, path))
        if (bench_clock::now() > deadline)
            throw std::runtime_error("the program never reached its read");
}

// Where the n-th complete screen in text ends (each ends "gas:N\n"), or npos.
std::size_t end_of_screen(const std::string &text, int n)
{
    std::size_t end = 0;
    for (int i = 0; i < n && end != std::string::npos; ++i) {
        const std::size_t gas = text.find("\ngas:", end);
        end = gas == std::string::npos ? gas : text.find('\n', gas + 1);
        if (end != std::string::npos)
            ++end;
    }
    return end;
}

double micros(bench_clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

struct stats {
    double median, p99;
};

stats summarize(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

class monitor_under_bench {
  public:
    explicit monitor_under_bench(const line &l) : line_(l)
    {
        fs::create_symlink("/bin/true", stubs_ / "clear");
    }
    ~monitor_under_bench() { stop(); }

    // Starts the monitor; returns the time until its first read waits.
    bench_clock::duration start()
    {
        spawn_options opts;
        opts.path_prefix = stubs_.path();
        const auto t0 = bench_clock::now();
        proc_ = spawn({SENSMON_BENCH_COPY}, opts);
        spin_until_reading(proc_.pid, line_.name);
        return bench_clock::now() - t0;
    }
    void stop()
    {
        if (proc_.pid > 0) {
            kill(proc_.pid, SIGTERM);
            finish(proc_);
        }
    }
    // Reads the monitor's output until `count` more screens have come.
    void await_screens(int count)
    {
        pending_ += read_until(proc_.out, [&](const std::string &s) {
            return end_of_screen(pending_ + s, count) != std::string::npos;
        });
        const std::size_t end = end_of_screen(pending_, count);
        if (end == std::string::npos)
            throw std::runtime_error("fewer than " + std::to_string(count) + " screens came");
        pending_.erase(0, end);
    }
    pid_t pid() const { return proc_.pid; }

  private:
    const line &line_;
    temp_dir stubs_;
    child proc_;
    std::string pending_;
};

stats monitor_latency(monitor_under_bench &m, const line &l, int frames)
{
    std::vector<double> samples;
    for (int n = 0; n < frames; ++n) {
        spin_until_reading(m.pid(), l.name);
        write_all(l.master, frame(n));
        const auto t0 = bench_clock::now();
        m.await_screens(1);
        samples.push_back(micros(bench_clock::now() - t0));
    }
    return summarize(samples);
}

stats cat_latency(child &cat, const line &l, int frames)
{
    std::vector<double> samples;
    for (int n = 0; n < frames; ++n) {
        spin_until_reading(cat.pid, l.name);
        write_all(l.master, frame(n));
        const auto t0 = bench_clock::now();
        std::string got = read_until(cat.out, [](const std::string &s) { return !s.empty(); });
        samples.push_back(micros(bench_clock::now() - t0));
        got += read_until(cat.out, [&](const std::string &s) { return got.size() + s.size() >= 24; });
    }
    return summarize(samples);
}

// Sends frames from a second thread, since the line holds only so much;
// returns the monitor's VmHWM after each checkpoint's count of frames.
std::vector<long> flood(monitor_under_bench &m, const line &l, const std::vector<int> &checkpoints)
{
    const int frames = checkpoints.back();
    std::thread writer([&] {
        for (int n = 0; n < frames; n += 100) {
            std::string burst;
            for (int k = n; k < std::min(frames, n + 100); ++k)
                burst += frame(k);
            write_all(l.master, burst);
        }
    });
    std::vector<long> hwm;
    int done = 0;
    for (int checkpoint : checkpoints) {
        for (; done < checkpoint; done += std::min(1000, checkpoint - done))
            m.await_screens(std::min(1000, checkpoint - done));
        hwm.push_back(proc_status_kb(m.pid(), "VmHWM"));
    }
    writer.join();
    return hwm;
}

std::string machine()
{
    utsname u;
    uname(&u);
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string text, model = "unknown processor";
    while (std::getline(cpuinfo, text))
        if (text.rfind("model name", 0) == 0) {
            model = text.substr(text.find(':') + 2);
            break;
        }
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " + u.release;
}

struct results {
    stats startup_ms, latency_us, cat_latency_us;
    long idle_ticks, cat_idle_ticks, hwm_kb, cat_hwm_kb;
    std::vector<int> checkpoints;
    std::vector<long> hwm_series_kb;
    double long_run_s;
};

constexpr int LATENCY_FRAMES = 1000, STARTUPS = 50;

results measure(const line &mon_line, const line &cat_line)
{
    results r;
    monitor_under_bench m(mon_line);
    std::vector<double> startup;
    for (int i = 0; i < STARTUPS; ++i) {
        m.stop();
        startup.push_back(micros(m.start()) / 1000);
    }
    r.startup_ms = summarize(startup);

    child cat = spawn({"cat", cat_line.name});
    r.latency_us = monitor_latency(m, mon_line, LATENCY_FRAMES);
    r.cat_latency_us = cat_latency(cat, cat_line, LATENCY_FRAMES);

    const long ticks = cpu_ticks(m.pid()), cat_ticks = cpu_ticks(cat.pid);
    std::this_thread::sleep_for(10s);  // both idle, waiting for a frame that does not come
    r.idle_ticks = cpu_ticks(m.pid()) - ticks;
    r.cat_idle_ticks = cpu_ticks(cat.pid) - cat_ticks;
    r.hwm_kb = proc_status_kb(m.pid(), "VmHWM");
    r.cat_hwm_kb = proc_status_kb(cat.pid, "VmHWM");
    kill(cat.pid, SIGTERM);
    finish(cat);

    m.stop();  // a fresh monitor for the long run
    m.start();
    r.checkpoints = {100, 1'000, 10'000, 100'000};
    const auto t0 = bench_clock::now();
    r.hwm_series_kb = flood(m, mon_line, r.checkpoints);
    r.long_run_s = std::chrono::duration<double>(bench_clock::now() - t0).count();
    return r;
}

void row(const char *what, double sensmon, double cat, const char *target, bool met)
{
    char ratio[16] = "-";
    if (cat > 0)
        std::snprintf(ratio, sizeof ratio, "%.2f", sensmon / cat);
    std::printf("| %-29s | %9.1f | %9.1f | %5s | %-15s | %-6s |\n", what, sensmon, cat, ratio, target,
                met ? "met" : "missed");
}

void print_table(const results &r)
{
    std::printf("| %-29s | %9s | %9s | %5s | %-15s | %-6s |\n", "", "sensmon", "cat", "ratio", "target", "");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(31, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(7, '-').c_str(), std::string(17, '-').c_str(),
                std::string(8, '-').c_str());
    const double median = r.latency_us.median, cat_median = r.cat_latency_us.median;
    row("latency median (us)", median, cat_median, "<= 1.5 x cat", median <= 1.5 * cat_median);
    row("latency 99th percentile (us)", r.latency_us.p99, r.cat_latency_us.p99, "none", true);
    row("idle CPU in 10 s (ticks)", double(r.idle_ticks), double(r.cat_idle_ticks), "0", r.idle_ticks == 0);
    row("peak memory VmHWM (kB)", double(r.hwm_kb), double(r.cat_hwm_kb), "<= cat", r.hwm_kb <= r.cat_hwm_kb);
    std::printf("| %-29s | %9.2f | %9s | %5s | %-15s | %-6s |\n", "start-up to first read (ms)",
                r.startup_ms.median, "", "", "< 2", r.startup_ms.median < 2 ? "met" : "missed");

    std::printf("\nsensmon VmHWM (kB) after");
    for (std::size_t i = 0; i < r.checkpoints.size(); ++i)
        std::printf(" %d frames: %ld%s", r.checkpoints[i], r.hwm_series_kb[i],
                    i + 1 < r.checkpoints.size() ? "," : "");
    std::printf(" (target: the same after 100 and 100000: %s)\n",
                r.hwm_series_kb.front() == r.hwm_series_kb.back() ? "met" : "missed");
    std::printf("latency over %d frames each; start-up median of %d starts (99th percentile %.2f ms);\n"
                "%d frames shown in %.0f s, each running the stand-in clear.\n",
                LATENCY_FRAMES, STARTUPS, r.startup_ms.p99, r.checkpoints.back(), r.long_run_s);
}

}  // namespace

int main()
{
    const line mon_line = open_line(), cat_line = open_line();
    fs::remove(BENCH_DEVICE);
    fs::create_symlink(mon_line.name, BENCH_DEVICE);
    std::printf("sensmon benchmark on %s\n\n", machine().c_str());
    std::fflush(stdout);
    const results r = measure(mon_line, cat_line);
    print_table(r);
    fs::remove(BENCH_DEVICE);
    return 0;
}
