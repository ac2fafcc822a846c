// fdorder: show that the kernel hands out the lowest free descriptor number.
//
// test1 and test2 get the next two free numbers; closing test1 frees the
// lower one, and test3 gets it.  The three lines go through the buffered
// standard output, the greeting straight to descriptor 1: on a terminal the
// lines come first, into a pipe or file the greeting does, and the lines
// follow at exit.  No result is examined: a failed open shows as -1.
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#ifndef FDORDER_PAUSE_SECONDS
#define FDORDER_PAUSE_SECONDS 100
#endif

int main()
{
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
