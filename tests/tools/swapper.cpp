// swapper.cpp - exchanges two names in a folder, over and over, until it is
// killed: a folder and a link to somewhere else trade places while a
// program writes below the folder (renameat2 with RENAME_EXCHANGE).
//   swapper DIR NAME OTHER [PAUSE]
// With PAUSE (microseconds) the two trade back at once and rest that long:
// the link stands only for moments, so that most runs get through, and
// those moments fall anywhere in them.
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: swapper DIR NAME OTHER [PAUSE]\n");
        return 64;
    }
    const int dir = open(argv[1], O_RDONLY | O_DIRECTORY);
    if (dir < 0) {
        std::perror(argv[1]);
        return 1;
    }
    const long pause = argc == 5 ? std::atol(argv[4]) : 0;
    for (;;) {
        if (syscall(SYS_renameat2, dir, argv[2], dir, argv[3], RENAME_EXCHANGE) != 0) {
            std::perror("renameat2");
            return 1;
        }
        if (pause > 0 && (syscall(SYS_renameat2, dir, argv[2], dir, argv[3], RENAME_EXCHANGE) != 0 ||
                          usleep(static_cast<useconds_t>(pause)) != 0))
            return 1;
    }
}
