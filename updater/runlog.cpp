// runlog.cpp - the run's log, the unattended run and the payload's seal.
//
// With "-silent" or "-logfile=PATH" the run appends timestamped lines to a
// log: what it was asked, what each check found, every file it wrote or
// kept, the registry change and how it ended. Every text the run shows goes
// through ShowMessage, which logs it too; in the unattended run it is only
// logged, and the exit code tells what happened. Without either option
// nothing here writes anything, and the run is the interactive one.
//
// Each line goes to the file in one append of its own, so the log holds what
// happened up to a failure, and two runs logging at once never overwrite
// each other's lines. Once the log has been started, a failing write is not
// reported: the run is not stopped halfway for its log.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "updater/checksum.h"
#include "updater/updater.h"

int SilentRun = 0;
char LogFile[FileNameSize] = {};

namespace {

constexpr const char* DefaultLogName = "ZelkUpdate.log";

int Outcome = RunApplied;
bool Logging = false;

// A message on one line: line breaks at either end go, inner ones become
// " / ", other control characters become blanks.
std::string OneLine(const char* text) {
    std::string line = text;
    const auto blank = line.find_first_not_of("\r\n");
    line.erase(0, blank == std::string::npos ? line.size() : blank);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::string out;
    for (char c : line) {
        if (c == '\n')
            out += " / ";
        else if (c != '\r')
            out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    return out;
}

// The fatal report of a logged run: logged first, then the box (none in the
// unattended run, where the answer is that of an acknowledged box).
int ReportFatal(const char* text) {
    RunLog("fatal: %s", OneLine(text).c_str());
    const int answer = SilentRun ? 1 : OsMessageBox(text, FatalCaption, OsIcon::Error);
    RunLog("end: exit code %d", answer + 1);
    return answer;
}

// Whether the log file's path was cut off with the command line: the path
// as read must stand whole in the command line as given.
bool LogFileCut(const char* commandLine) {
    if (std::strlen(commandLine) < CommandLineSize)
        return false;
    const char* at = std::strstr(commandLine, LogFile);
    const char after = at ? at[std::strlen(LogFile)] : 'x';
    return !(after == 0 || after == ' ' || after == '"');
}

// One line, stamped with the local time and the process.
bool AppendLine(const std::string& text) {
    const OsClock now = OsLocalTime();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d [%lu] ", now.year, now.month, now.day,
                  now.hour, now.minute, now.second, OsProcessId());
    const std::string line = stamp + text + "\r\n";
    return OsAppendFile(LogFile, line.data(), line.size());
}

const char* IconName(OsIcon icon) {
    return icon == OsIcon::Error ? "error" : "message";
}

}  // namespace

void RunLog(const char* format, ...) {
    if (!Logging)
        return;
    va_list args;
    va_start(args, format);
    const std::string text = FormatText(format, args);
    va_end(args);
    AppendLine(text);
}

void RunLogStart(const char* commandLine) {
    if (!SilentRun && LogFile[0] == 0)
        return;
    // From here a fatal report goes through the log's report: none of them
    // shows a box in the unattended run, not even the log's own.
    SetFatalReport(ReportFatal);
    if (LogFile[0] != 0 && LogFileCut(commandLine ? commandLine : ""))
        FatalMessage("The command line is too long for the log file's path: %s", LogFile);
    if (LogFile[0] == 0) {
        const std::string path = OsTempPath() + DefaultLogName;
        if (path.size() >= sizeof LogFile)
            FatalMessage("The log file's path is too long: %s", path.c_str());
        std::memcpy(LogFile, path.c_str(), path.size() + 1);
    }
    Logging = true;
    // The first line shows whether the log can be written at all: an
    // administrator who asked for a log gets one, or nothing is done.
    if (!AppendLine(std::string("start: ") + GetMessageText(5) + ", " + GetMessageText(6))) {
        Logging = false;
        FatalMessage("The log file cannot be written: %s", LogFile);
    }
    RunLog("options: %s", OneLine(commandLine ? commandLine : "").c_str());
    RunLog("mode: %s, %s texts", SilentRun ? "unattended" : "interactive", DutchLanguage ? "Dutch" : "English");
}

int ShowMessage(const char* text, const char* caption, OsIcon icon) {
    return ShowOwnedMessage(0, text, caption, icon);
}

int ShowOwnedMessage(OsWindow owner, const char* text, const char* caption, OsIcon icon) {
    RunLog("%s: %s: %s", IconName(icon), OneLine(caption).c_str(), OneLine(text).c_str());
    if (SilentRun)
        return 1;
    return owner != 0 ? OsMessageBoxOwned(owner, text, caption, icon) : OsMessageBox(text, caption, icon);
}

void SetOutcome(int outcome) {
    Outcome = outcome;
}

int RunOutcome() {
    return Outcome;
}

void EndRun(int code) {
    RunLog("end: exit code %d", code);
    OsExitProcess(code);
}

bool PayloadIntact() {
    const std::uint32_t found = Crc32(Payload, PayloadSize);
    const bool intact = found == PayloadCrc;
    RunLog("payload: %zu bytes, CRC-32 %08X%s", PayloadSize, static_cast<unsigned>(found),
           intact ? ", intact" : ", damaged");
    return intact;
}
