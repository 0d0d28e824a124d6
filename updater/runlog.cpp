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

#include "checksum.h"
#include "updater.h"

int SilentRun = 0;
char LogFile[FileNameSize] = {};

namespace {

constexpr const char* DefaultLogName = "ZelkUpdate.log";

int Outcome = RunApplied;
bool OutcomeInteractive = false;
bool Logging = false;

// A message on one line: line breaks at either end go, inner ones become
// " / ". Other control characters are left to the log's writer, which shows
// them escaped.
std::string OneLine(const char* text) {
    std::string line = text;
    const auto blank = line.find_first_not_of("\r\n");
    line.erase(0, blank == std::string::npos ? line.size() : blank);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::string out;
    for (char c : line)
        out += c == '\n' ? std::string(" / ") : std::string(1, c);
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

// One line, stamped with the local time and the process. Whatever the text
// carries from outside (a registry value, a path, the command line) cannot
// break it: every control character is written escaped, so one line is
// always one event.
OsAppendResult AppendLine(const std::string& text) {
    const OsClock now = OsLocalTime();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d [%lu] ", now.year, now.month, now.day,
                  now.hour, now.minute, now.second, OsProcessId());
    const std::string line = stamp + EscapeControls(text) + "\r\n";
    return OsAppendFile(LogFile, line.data(), line.size());
}

// The first line shows whether the log can be written at all: an
// administrator who asked for a log gets one, or nothing is done. Answers
// why not, or nothing.
std::string StartLog() {
    Logging = true;
    const OsAppendResult result = AppendLine(std::string("start: ") + GetMessageText(5) + ", " + GetMessageText(6));
    if (result == OsAppendResult::Appended)
        return std::string();
    Logging = false;
    return std::string(result == OsAppendResult::NotAFile ? "The log file is not a regular file: "
                                                          : "The log file cannot be written: ") +
           EscapeControls(LogFile);
}

const char* IconName(OsIcon icon) {
    return icon == OsIcon::Error ? "error" : "message";
}

}  // namespace

std::string EscapeControls(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "<%02X>", byte);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

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
    const std::string refused = LogFile[0] != 0 ? StartLog() : std::string();
    if (LogFile[0] == 0 || !refused.empty()) {
        if (!SilentRun)
            FatalMessage("%s", refused.c_str());
        // The unattended run always keeps a log: when the one asked for
        // cannot be written, the default one takes the report, so that a run
        // that shows nothing still tells why it ended.
        const std::string path = TempFilePath(DefaultLogName, FileNameSize);
        std::memcpy(LogFile, path.c_str(), path.size() + 1);
        const std::string failed = StartLog();
        if (!failed.empty())
            FatalMessage("%s", failed.c_str());
    }
    RunLog("options: %s", commandLine ? commandLine : "");
    RunLog("mode: %s, %s texts", SilentRun ? "unattended" : "interactive", DutchLanguage ? "Dutch" : "English");
    if (!refused.empty())
        FatalMessage("%s", refused.c_str());
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

void SetOutcome(int outcome, bool interactiveToo) {
    Outcome = outcome;
    OutcomeInteractive = interactiveToo;
}

int RunOutcome() {
    return SilentRun || OutcomeInteractive ? Outcome : RunApplied;
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
