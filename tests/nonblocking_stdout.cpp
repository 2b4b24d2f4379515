// SPDX-License-Identifier: MIT
// nonblocking_stdout PROGRAM [ARGUMENT...]: runs the program with its
// standard output, a pipe, set non-blocking and cut to one page, as a
// parent that shares the pipe may leave it: once a reader falls behind,
// the program's writes fail with EAGAIN at once.
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fputs("usage: nonblocking_stdout PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0 || fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK) < 0 ||
        fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096) < 0) {
        std::perror("nonblocking_stdout");
        return 1;
    }
    execv(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
