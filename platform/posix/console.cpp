// console.cpp - the standard streams of console programs, on POSIX.
#include "platform.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

void OsStandardStreamsPrepare() {
    // open() takes the lowest free number, so a closed 0, 1 or 2 is taken
    // by /dev/null, opened the wrong way round: reading standard output or
    // writing standard input fails with EBADF, as it would have on the
    // closed descriptor.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd)
            break;
    }
    std::signal(SIGPIPE, SIG_IGN);
}

void OsStandardStreamBinary(int) {}

bool OsStdinIsTerminal() {
    return isatty(0) == 1;
}

bool OsStdoutIsTerminal() {
    return isatty(1) == 1;
}

bool OsWriteFoundReaderGone() {
    return errno == EPIPE;
}

void OsEndByBrokenPipe() {
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
}
