// console_box.cpp - the message box of console programs.
//
// Console programs (the lzx tool, on Windows too, which words its own
// lines) and every POSIX build report on standard error instead of in a
// window: the caption, then the text, then the box
// "answers" OK, so a fatal error ends the process with exit code 2 exactly as
// it does on Windows after the user presses OK. Texts that begin with line
// breaks (the file errors do) are shown from their first visible line.
#include "platform.h"

#include <cstdio>

int OsMessageBox(const char* text, const char* caption, OsIcon) {
    while (*text == '\n' || *text == '\r')
        ++text;
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
    return 1;
}
