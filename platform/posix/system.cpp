// system.cpp - POSIX stand-ins for global memory, error texts and the exit.
//
// A "global block" is plain heap memory; its handle is the address itself,
// which is never 0. Locking cannot fail and moves nothing.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

OsHandle OsGlobalAlloc(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    return reinterpret_cast<OsHandle>(block);
}

void* OsGlobalLock(OsHandle block) {
    return reinterpret_cast<void*>(block);
}

void OsGlobalUnlock(OsHandle) {}

void OsGlobalFree(OsHandle block) {
    std::free(reinterpret_cast<void*>(block));
}

std::string OsLastErrorText() {
    return std::strerror(errno);
}

bool OsStderrIsTerminal() {
    return isatty(2) == 1;
}

[[noreturn]] void OsExit(int code) {
    std::exit(code);
}
