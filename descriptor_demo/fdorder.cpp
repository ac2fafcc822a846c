// fdorder: show that the kernel hands out the lowest free descriptor number.
//
// test1 and test2 get the next two free numbers; closing test1 frees the
// lower one, and test3 gets it.  The three lines go through the buffered
// standard output, the greeting straight to descriptor 1: on a terminal the
// lines come first, into a pipe or file the greeting does, and the lines
// follow at exit.  No result is examined: a failed open shows as -1.
// Closed output descriptors are filled with /dev/null first, so that no
// file's contents are ever changed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#ifndef FDORDER_PAUSE_SECONDS
#define FDORDER_PAUSE_SECONDS 100
#endif

// With descriptor 1 or 2 closed, test3 would take its number and receive the
// greeting and the lines.  Should /dev/null be missing, say so on the other
// output descriptor, if that is open, and give up before any file is opened.
// Descriptor 0 stays as it is: a closed standard input shows the numbering
// starting from 0.
static bool fill_output_descriptors()
{
    for (int fd = 1; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0) {
            dprintf(3 - fd, "fdorder: descriptor %d is closed and /dev/null cannot be opened: %s\n", fd,
                    std::strerror(errno));
            return false;
        }
        if (null != fd) {  // 0 was closed too, and open took it
            dup2(null, fd);
            close(null);
        }
    }
    return true;
}

int main()
{
    if (!fill_output_descriptors())
        return 1;
    const int fd1 = open("test1", O_RDWR);
    std::printf("fd1 =%d\n", fd1);
    const int fd2 = open("test2", O_RDWR);
    std::printf("fd2 =%d\n", fd2);
    close(fd1);
    const int fd3 = open("test3", O_RDWR);
    std::printf("fd3 =%d\n", fd3);

    static constexpr char greeting[] = "hello world";
    if (write(1, greeting, sizeof greeting - 1) < 0) {
        // Nothing to report it on: descriptor 1 is where it would go.
    }
    sleep(FDORDER_PAUSE_SECONDS);
    return 0;
}
