// console.cpp - the standard streams of console programs, on Windows.
#include "platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace {

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

// A closed standard stream has no C descriptor here, so no file can take
// its place; a broken pipe is a failed write already.
void OsStandardStreamsPrepare() {}

void OsStandardStreamBinary(int stream) {
    if (stream == 1)
        std::fflush(stdout);
    _setmode(stream == 0 ? _fileno(stdin) : _fileno(stdout), _O_BINARY);
}

bool OsStdinIsTerminal() {
    return IsConsole(STD_INPUT_HANDLE);
}

bool OsStdoutIsTerminal() {
    return IsConsole(STD_OUTPUT_HANDLE);
}

// The C library turns all of these into EINVAL; the system's own code
// tells. Wine answers ERROR_PIPE_NOT_CONNECTED where Windows answers
// ERROR_NO_DATA.
bool OsWriteFoundReaderGone() {
    const DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

void OsEndByBrokenPipe() {}
