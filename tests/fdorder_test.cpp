// fdorder as a separate process in a fresh directory with descriptors 0, 1
// and 2 open (or 0 closed), its output on a pipe or on a terminal.
#include <csignal>
#include <set>
#include <sys/wait.h>

#include "support.h"

namespace fs = std::filesystem;

namespace {

const std::pair<const char *, const char *> FILES[] = {
    {"test1", "one"}, {"test2", "two"}, {"test3", "three"}};

// Puts the files into dir: those named in missing are left out, those in
// read_only are 0444, the others readable and writable by anyone.
void lay_out(const temp_dir &dir, const std::set<std::string> &missing,
             const std::set<std::string> &read_only)
{
    for (auto [name, text] : FILES)
        if (!missing.count(name))
            write_file(dir / name, text, read_only.count(name) ? 0444 : 0666);
}

// The files are as they were laid out, and nothing was added.
void expect_untouched(const temp_dir &dir, const std::set<std::string> &missing)
{
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir.path()))
        names.insert(entry.path().filename());
    for (auto [name, text] : FILES) {
        EXPECT_EQ(names.count(name), missing.count(name) ? 0u : 1u) << name;
        if (!missing.count(name)) {
            EXPECT_EQ(read_file(dir / name), text) << name;
        }
    }
    EXPECT_EQ(names.size(), std::size(FILES) - missing.size());
}

TEST(Fdorder, NumbersIntoAPipeGreetingFirst)
{
    const struct {
        const char *what;
        std::set<std::string> missing, read_only;
        bool unprivileged;
        std::set<int> closed;
        const char *out;
        bool without_dev_null = false;  // in a mount namespace whose /dev is empty
        int status = 0;
        const char *err = "";
    } rows[] = {
        {"all present", {}, {}, false, {}, "hello worldfd1 =3\nfd2 =4\nfd3 =3\n"},
        {"test1 missing", {"test1"}, {}, false, {}, "hello worldfd1 =-1\nfd2 =3\nfd3 =4\n"},
        {"test2 missing", {"test2"}, {}, false, {}, "hello worldfd1 =3\nfd2 =-1\nfd3 =3\n"},
        {"none present",
         {"test1", "test2", "test3"},
         {},
         false,
         {},
         "hello worldfd1 =-1\nfd2 =-1\nfd3 =-1\n"},
        {"test2 not writable", {}, {"test2"}, true, {}, "hello worldfd1 =3\nfd2 =-1\nfd3 =3\n"},
        {"standard input closed", {}, {}, false, {0}, "hello worldfd1 =0\nfd2 =3\nfd3 =0\n"},
        // The files must not take the numbers of closed output descriptors.
        {"standard error closed", {}, {}, false, {2}, "hello worldfd1 =3\nfd2 =4\nfd3 =3\n"},
        {"standard output closed", {}, {}, false, {1}, ""},
        {"standard input and output closed", {}, {}, false, {0, 1}, ""},
        {"all three closed", {}, {}, false, {0, 1, 2}, ""},
        // Nothing to put there: no file may take its place.
        {"standard output closed, no /dev/null",
         {},
         {},
         false,
         {1},
         "",
         true,
         1 << 8,
         "fdorder: descriptor 1 is closed and /dev/null cannot be opened: No such file or directory\n"},
    };
    temp_dir bin;  // a copy that nobody may run, wherever the build tree is
    fs::copy_file(FDORDER_UNDER_TEST, bin / "fdorder");
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        if ((r.closed.count(2) || r.without_dev_null) && getenv("TEST_PROGRAM_WRAPPER"))
            continue;  // valgrind will not start without standard error, nor without /dev/null
        if (r.without_dev_null && !can_mount())
            continue;
        temp_dir dir;
        lay_out(dir, r.missing, r.read_only);
        spawn_options opts;
        opts.cwd = dir.path();
        opts.unprivileged = r.unprivileged;
        opts.closed = r.closed;
        const std::vector<std::string> argv = under_test(bin / "fdorder");
        child c = spawn(r.without_dev_null ? without_dev_null(argv) : argv, opts);
        const outcome o = finish(c);
        EXPECT_EQ(o.status, r.status);
        EXPECT_EQ(o.out, r.out);
        EXPECT_EQ(o.err, r.err);
        expect_untouched(dir, r.missing);
    }
}

// The test copies do not pause; the installed program must, long after its
// greeting.
TEST(Fdorder, AsInstalledItLingersAfterItsGreeting)
{
    temp_dir dir;
    lay_out(dir, {}, {});
    spawn_options opts;
    opts.cwd = dir.path();
    child c = spawn(under_test(FDORDER), opts);
    EXPECT_EQ(read_until(c.out, [](const std::string &s) { return s.size() >= 11; }), "hello world");
    // Had it ended, the three lines it holds until exit would be here.
    EXPECT_EQ(read_until(
                  c.out, [](const std::string &s) { return !s.empty(); }, 1s),
              "")
        << "ended within a second";
    kill(c.pid, SIGTERM);
    EXPECT_TRUE(WIFSIGNALED(finish(c).status));
}

using FdorderOnATerminal = PtyTest;

TEST_F(FdorderOnATerminal, LinesComeBeforeTheGreeting)
{
    temp_dir dir;
    lay_out(dir, {}, {});
    spawn_options opts;
    opts.cwd = dir.path();
    opts.stdout_fd = slave;
    child c = spawn(under_test(FDORDER_UNDER_TEST), opts);
    const outcome o = finish(c);
    EXPECT_EQ(o.status, 0);
    const std::string shown = read_until(master, [](const std::string &s) { return s.size() >= 32; });
    EXPECT_EQ(shown, "fd1 =3\nfd2 =4\nfd3 =3\nhello world");
}

}  // namespace
