// system.cpp - POSIX stand-ins for global memory, error texts, the exit and
// threads.
//
// A "global block" is plain heap memory; its handle is the address itself,
// which is never 0. Locking cannot fail and moves nothing.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <new>

#include <pthread.h>
#include <signal.h>
#include <time.h>
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
    std::fflush(nullptr);
    std::_Exit(code);
}

int OsProcessorCount() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count < 1 ? 1 : count > 1024 ? 1024 : static_cast<int>(count);
}

namespace {

struct ThreadStart {
    void (*body)(void*);
    void* context;
    pthread_t thread;
};

void* RunThread(void* start) {
    auto* run = static_cast<ThreadStart*>(start);
    run->body(run->context);
    return nullptr;
}

}  // namespace

namespace {

// The signals that interrupt a run: the thread that takes one runs the
// cleanup, so only the program's own thread may, never a coding thread.
sigset_t InterruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

OsHandle OsThreadStart(void (*body)(void* context), void* context) {
    auto* run = new (std::nothrow) ThreadStart{body, context, {}};
    if (run == nullptr)
        return 0;
    // A new thread starts with its creator's mask: blocked for its whole life.
    const sigset_t interrupts = InterruptSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
    const int started = pthread_create(&run->thread, nullptr, RunThread, run);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started != 0) {
        delete run;
        return 0;
    }
    return reinterpret_cast<OsHandle>(run);
}

void OsThreadJoin(OsHandle thread) {
    auto* run = reinterpret_cast<ThreadStart*>(thread);
    pthread_join(run->thread, nullptr);
    delete run;
}

void OsSleep(unsigned milliseconds) {
    timespec pause{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// ---- Interruptions ---------------------------------------------------------

namespace {

void (*InterruptCleanup)() = nullptr;
thread_local int InterruptHolds = 0;
volatile sig_atomic_t InterruptDeferred = 0;
volatile sig_atomic_t InterruptMarked = 0;

void OnInterrupt(int signal) {
    if (InterruptDeferred) {
        InterruptMarked = signal;
        return;
    }
    if (InterruptCleanup != nullptr)
        InterruptCleanup();
    _exit(128 + signal);
}

}  // namespace

void OsOnInterrupt(void (*cleanup)()) {
    InterruptCleanup = cleanup;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigfillset(&action.sa_mask);  // one cleanup at a time
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

void OsHoldInterrupts() {
    if (InterruptHolds++ == 0) {
        const sigset_t interrupts = InterruptSignals();
        pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);
    }
}

void OsReleaseInterrupts() {
    if (--InterruptHolds == 0) {
        const sigset_t interrupts = InterruptSignals();
        pthread_sigmask(SIG_UNBLOCK, &interrupts, nullptr);
    }
}

void OsDeferInterrupts(bool defer) {
    InterruptDeferred = defer ? 1 : 0;
}

int OsInterruptPending() {
    return InterruptMarked;
}

[[noreturn]] void OsEndInterrupted(int signal) {
    _exit(128 + signal);
}
