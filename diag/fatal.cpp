// fatal.cpp - FatalMessage, InternalError and the trace hook.
#include "diag/diag.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

void (*FatalCleanup)() = nullptr;
void (*FatalThreadStop)() = nullptr;
void (*FatalHandler)(const char* text) = nullptr;
int (*FatalReport)(const char* text) = nullptr;
thread_local bool ThisThreadReports = false;
std::atomic<bool> Reporting{false};

}  // namespace

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
    if (FatalCleanup)
        FatalCleanup();
    if (FatalThreadStop)
        FatalThreadStop();
    OsExit(answer + 1);
}

[[noreturn]] void InternalError(const char* source, int line, int code) {
    if (code < 0)
        FatalMessage("Internal error\nFile: %s\nLine: %d", source, line);
    FatalMessage("Internal error [%d] in [%s,%d]", code, source, line);
}

void LogTrace(const char*, ...) {}
