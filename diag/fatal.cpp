// fatal.cpp - FatalMessage, InternalError and the trace hook.
#include "diag.h"

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

void (*FatalCleanup)() = nullptr;
void (*FatalThreadStop)() = nullptr;
void (*FatalHandler)(const char* text) = nullptr;
int (*FatalReport)(const char* text) = nullptr;
thread_local bool ThisThreadReports = false;
thread_local FatalSubject Subject;
std::atomic<bool> Reporting{false};

// The undos registered, oldest first. Updates run one per target, and a
// program runs few at once.
struct PendingUndo {
    void (*undo)(void* context);
    void* context;
};
constexpr int UndoSlots = 16;
PendingUndo Undos[UndoSlots];
int UndoCount = 0;
std::mutex UndoLock;

// Runs the undos, the latest first; each is taken off before it runs.
void RunUndos() {
    for (;;) {
        PendingUndo next{};
        {
            std::lock_guard<std::mutex> lock(UndoLock);
            if (UndoCount == 0)
                return;
            next = Undos[--UndoCount];
        }
        next.undo(next.context);
    }
}

}  // namespace

void FatalUndoPush(void (*undo)(void* context), void* context) {
    {
        std::lock_guard<std::mutex> lock(UndoLock);
        if (UndoCount < UndoSlots) {
            Undos[UndoCount++] = PendingUndo{undo, context};
            return;
        }
    }
    // A broken caller: more updates at once than any program runs.
    InternalError("UPDATER", __LINE__, 'U');
}

void FatalUndoPop(void* context) {
    std::lock_guard<std::mutex> lock(UndoLock);
    for (int i = UndoCount - 1; i >= 0; --i) {
        if (Undos[i].context == context) {
            for (int j = i; j + 1 < UndoCount; ++j)
                Undos[j] = Undos[j + 1];
            --UndoCount;
            return;
        }
    }
}

void FatalAbout(const char* file, std::string reason, std::string detail) {
    Subject = FatalSubject{file != nullptr ? file : "", std::move(reason), std::move(detail)};
}

FatalSubject FatalSubjectTaken() {
    FatalSubject taken = std::move(Subject);
    Subject = FatalSubject{};
    return taken;
}

// printf into a buffer as large as the text needs: a file error that names a
// long path is shown whole.
std::string FormatText(const char* format, va_list args) {
    char small[200];
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(small, sizeof small, format, args);
    std::string text;
    if (length < 0) {
        text = format;
    } else if (static_cast<std::size_t>(length) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(length));
    } else {
        std::vector<char> large(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        text.assign(large.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    return text;
}

void SetFatalHandler(void (*handler)(const char* text)) {
    FatalHandler = handler;
}

void SetFatalReport(int (*report)(const char* text)) {
    FatalReport = report;
}

FatalCleanupCall SetFatalCleanup(FatalCleanupCall cleanup) {
    const FatalCleanupCall previous = FatalCleanup;
    FatalCleanup = cleanup;
    return previous;
}

void SetFatalThreadStop(void (*stop)()) {
    FatalThreadStop = stop;
}

[[noreturn]] void FatalMessage(const char* format, ...) {
    if (FatalHandler) {
        va_list args;
        va_start(args, format);
        const std::string text = FormatText(format, args);
        va_end(args);
        FatalSubjectTaken();  // the next input starts with none
        RunUndos();
        if (FatalCleanup)
            FatalCleanup();
        FatalHandler(text.c_str());
    }
    // A failure while giving up (in the cleanup) must not show a second box
    // or loop: end at once with the code of an acknowledged report.
    // Another thread that fails meanwhile waits for the report to end the
    // process: one box, one text.
    if (ThisThreadReports)
        OsExit(2);
    if (Reporting.exchange(true)) {
        for (;;)
            OsSleep(1000);
    }
    ThisThreadReports = true;

    va_list args;
    va_start(args, format);
    const std::string text = FormatText(format, args);
    va_end(args);

    const int answer = FatalReport ? FatalReport(text.c_str()) : OsMessageBox(text.c_str(), FatalCaption, OsIcon::Error);
    RunUndos();
    if (FatalCleanup)
        FatalCleanup();
    if (FatalThreadStop)
        FatalThreadStop();
    OsExit(answer + 1);
}

[[noreturn]] void FatalMessageAbout(const char* file, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = FormatText(format, args);
    va_end(args);
    FatalAbout(file);
    FatalMessage("%s", text.c_str());
}

[[noreturn]] void InternalError(const char* source, int line, int code) {
    if (code < 0)
        FatalMessage("Internal error\nFile: %s\nLine: %d", source, line);
    FatalMessage("Internal error [%d] in [%s,%d]", code, source, line);
}

void LogTrace(const char*, ...) {}
