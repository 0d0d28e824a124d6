// diag.h - the program-wide way of giving up, and the global block table.
//
// Nothing in this program returns an error code for a failure: whoever meets
// one calls FatalMessage or InternalError, which show one error box, close
// every file still registered in the open-file table and end the process
// with the box's result + 1 (2 after OK). Callers need no cleanup after them.
//
// This library knows nothing of dialogs, the registry or the message
// catalogue, so the file layer, the codec and the lzx tool link without the
// application.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "platform.h"

#if defined(__MINGW32__)
#define DIAG_PRINTF(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define DIAG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define DIAG_PRINTF(f, a)
#endif

// The caption of every fatal report, in both languages.
inline constexpr const char* FatalCaption = "Einde programma";

// Formats with printf rules (never cut, however long), shows the error box,
// closes the open files and ends the process.
[[noreturn]] void FatalMessage(const char* format, ...) DIAG_PRINTF(1, 2);

// A broken invariant. A negative code gives "Internal error\nFile: %s\nLine: %d",
// any other "Internal error [%d] in [%s,%d]" (code, source, line).
[[noreturn]] void InternalError(const char* source, int line, int code);

// A test harness that must go on after a fatal error (a fuzzer, which feeds
// damaged input by the million) installs a handler: the report then goes to
// it, after the open files are closed, instead of to the box and the end of
// the process. The handler must not return; it ends the current input (by
// throwing). The program itself never installs one.
void SetFatalHandler(void (*handler)(const char* text));

// The program may give the report its own way (to a log as well, or only
// to a log in an unattended run): the report then replaces the box and
// answers as the box would, 1 for OK and 0 when nothing could be shown. The
// process ends with that answer + 1, as after the box.
void SetFatalReport(int (*report)(const char* text));

// The fatal path calls this before the process ends; the file layer installs
// its close-all here, so that this library does not depend on it. Answers
// the cleanup it replaces, for one that does more to call in its turn.
using FatalCleanupCall = void (*)();
FatalCleanupCall SetFatalCleanup(FatalCleanupCall cleanup);
// Work in progress that a failure must undo before the process ends (an
// update half put in place): registered while it lasts, and called on the
// fatal path, the latest first, before the cleanup above. Each undo runs
// once; one that fails itself ends the process where it stands.
void FatalUndoPush(void (*undo)(void* context), void* context);
void FatalUndoPop(void* context);
// Called on the fatal path after the cleanup, on the thread that ends the
// process: the library stops its coding threads there, so that the process
// ends with this thread alone (ending it while others wait is not safe on
// every system; Wine has been seen to crash).
void SetFatalThreadStop(void (*stop)());

// What a fatal report is about, for a program that words its reports
// itself (the lzx tool): the file, the reason in words where the report's
// text alone does not give it (the system's own text for a failure of the
// system), and detail (an offset, a block). The code that fails says it just
// before its FatalMessage, on the same thread; the box and its text stay as
// they are. Taken once: a report that follows no FatalAbout finds it empty.
struct FatalSubject {
    std::string file;
    std::string reason;
    std::string detail;
};
void FatalAbout(const char* file, std::string reason = {}, std::string detail = {});
FatalSubject FatalSubjectTaken();
// FatalMessage about a file, for a text that says its reason itself.
[[noreturn]] void FatalMessageAbout(const char* file, const char* format, ...) DIAG_PRINTF(2, 3);

// printf rules into a string as long as the text needs (never cut).
std::string FormatText(const char* format, va_list args);

// The trace hook to which the file layer hands its diagnostic lines. It does
// nothing in this program.
void LogTrace(const char* format, ...) DIAG_PRINTF(1, 2);

// Global memory blocks, registered in a table of 200 slots. Sizes are rounded
// up to an even number of at least 2 bytes; contents are not initialised.
inline constexpr int BlockSlots = 200;

struct BlockTableRec {
    OsHandle handle[BlockSlots];   // 0 = slot free
    void* address[BlockSlots];     // the locked address
    std::uint32_t size[BlockSlots];  // the rounded size in bytes
};

extern BlockTableRec BlockTable;

void* AllocBlock(int size);
void FreeBlock(void* address);
