// The helper of the systemd units, packaging/console, on this machine.
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support.h"

namespace fs = std::filesystem;

namespace {

// A process of a name that reads like more of /proc/PID/stat, a newline in
// it, started from a copy of sleep; holding `terminal` as its controlling
// terminal if one is given.
pid_t odd_process(const fs::path &dir, const std::string &name, const std::string &terminal = "")
{
    fs::copy_file("/bin/sleep", dir / name, fs::copy_options::overwrite_existing);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        if (!terminal.empty() && open(terminal.c_str(), O_RDWR) < 0)
            _exit(127);
        execl((dir / name).c_str(), name.c_str(), "60", nullptr);
        _exit(127);
    }
    wait_until(
        [&] { return read_file("/proc/" + std::to_string(pid) + "/stat").find(name) != std::string::npos; });
    return pid;
}

// `console check` names whoever holds the console, whatever the names of the
// processes on the machine; and says that it could not tell when nobody does.
TEST(Console, CheckNamesTheHolderWhateverTheNamesOfProcesses)
{
    int master = -1, slave = -1;
    std::string terminal;
    ASSERT_TRUE(open_raw_pty(master, slave, terminal));
    struct stat st;
    ASSERT_EQ(fstat(slave, &st), 0);
    close(slave);  // the holder alone has it open: a session leader takes it as its own
    temp_dir dir;
    write_file(dir / "dev",
               std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + "\n");
    std::string console = read_file(PACKAGING_CONSOLE);
    const std::string device = "tty_dev=/sys/class/tty/tty$vt/dev";
    ASSERT_NE(console.find(device), std::string::npos);
    console.replace(console.find(device), device.size(), "tty_dev='" + (dir / "dev").string() + "'");
    write_file(dir / "console", console, 0755);
    // The console unit is not active; the monitor's is at its first attempt.
    write_file(dir / "systemctl", "#!/bin/sh\n[ \"$1\" = show ] && echo 0\nexit 3\n", 0755);
    const auto check = [&] {
        spawn_options opts;
        opts.path_prefix = dir.path();
        child c = spawn({(dir / "console").string(), "check"}, opts);
        return finish(c);
    };

    const pid_t bystander = odd_process(dir.path(), "x\ny) S 1 1 1 0");
    const outcome nobody = check();
    EXPECT_TRUE(WIFEXITED(nobody.status) && WEXITSTATUS(nobody.status) == 3) << nobody.status;
    EXPECT_EQ(nobody.err, "tty8 could not be held (see sensmon-console.service): the sensor is not shown\n");

    const pid_t holder = odd_process(dir.path(), "a\nb) R 1 1 1 1", terminal);
    const outcome held = check();
    EXPECT_TRUE(WIFEXITED(held.status) && WEXITSTATUS(held.status) == 3) << held.status;
    EXPECT_EQ(held.err, "tty8 is taken by a?b) R 1 1 1 1 (process " + std::to_string(holder) +
                            "): the sensor is not shown\n");
    for (pid_t pid : {bystander, holder}) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(master);
}

}  // namespace
