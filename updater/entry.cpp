// entry.cpp - the order of one run and the checks before the dialog.
//
// Refusals before the dialog (old Windows, the product running) end the
// process at once after one message box; a missing product directory or a
// too old installed version end the run normally. Exit codes: 0 normal end,
// 1 the product (or the family's software) is running, 3 the program is
// damaged, the box's result + 1 after a fatal error. The unattended run
// ("-silent") tells more by its code (RunResult in updater.h).
#include <cstdio>
#include <cstring>
#include <string>

#include "fileio/fileio.h"
#include "updater/updater.h"

std::uintptr_t AppInstance = 0;
int LogRequested = 0;

namespace {

constexpr int WordSlots = 50;  // a placeholder, 48 words and an end mark
constexpr std::uint16_t DutchPrimaryLanguage = 0x13;
constexpr const char* LogOption = "-logfile=";

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether a word begins with text, letters compared without case.
bool BeginsWith(const char* word, const char* text) {
    for (; *text; ++word, ++text) {
        if (*word == 0 || AsciiLower(*word) != AsciiLower(*text))
            return false;
    }
    return true;
}

// The word of the log file, in quotes or not.
bool IsLogWord(const char* word) {
    return BeginsWith(word + (word[0] == '"'), LogOption);
}

// "-logfile=PATH": a path with blanks is quoted, the whole word or the path
// ("-logfile=C:\My Logs\u.log" in quotes, or -logfile="C:\My Logs\u.log").
// An empty path asks for the log in its default place.
void TakeLogFile(const char* word) {
    std::string path;
    for (const char* at = word + (word[0] == '"') + std::strlen(LogOption); *at; ++at) {
        if (*at != '"')
            path += *at;
    }
    std::memset(LogFile, 0, sizeof LogFile);
    std::strncpy(LogFile, path.c_str(), sizeof LogFile - 1);
}

}  // namespace

int ParseCommandLine(const char* commandLine) {
    char buffer[CommandLineSize] = {};
    std::strncpy(buffer, commandLine ? commandLine : "", CommandLineSize - 1);

    // Words are separated by runs of spaces (a tab is part of a word). The
    // table holds 48 of them; further words are ignored. Quotes mean nothing,
    // except in the word of the log file, whose path may hold blanks.
    const char* words[WordSlots] = {"updater"};
    int count = 1;
    for (char* at = buffer; *at && count < WordSlots - 1;) {
        while (*at == ' ')
            ++at;
        if (*at == 0)
            break;
        words[count++] = at;
        const bool quotes = IsLogWord(at);
        bool quoted = false;
        while (*at && (quoted || *at != ' ')) {
            if (quotes && *at == '"')
                quoted = !quoted;
            ++at;
        }
        if (*at)
            *at++ = 0;
    }
    words[count] = nullptr;

    for (int i = 1; i < count; ++i) {
        if (SameText(words[i], "-log"))
            LogRequested = 1;
        else if (SameText(words[i], "-dut"))
            DutchLanguage = 1;
        else if (SameText(words[i], "-eng"))
            DutchLanguage = 0;
        else if (SameText(words[i], "-silent"))
            SilentRun = 1;
        else if (IsLogWord(words[i]))
            TakeLogFile(words[i]);
    }
    return 1;
}

int CheckWindowsVersion() {
    const std::uint32_t version = OsGetVersion();
    const int major = static_cast<int>(version & 0xFF);
    const int minor = static_cast<int>((version >> 8) & 0xFF);
    if (major >= 4) {
        RunLog("Windows %d.%d: supported", major, minor);
        return 1;
    }
    char text[80];
    std::snprintf(text, sizeof text, "Zelk werkt niet onder Windows 3.1 [%d, %d]", major, minor);
    RunLog("Windows %d.%d: too old", major, minor);
    ShowMessage(text, "Einde", OsIcon::Information);
    return 0;
}

int ProductRunning() {
    return OsCreateNamedMapping("Morvil") != OsMappingResult::Created ? 1 : 0;
}

int FamilyRunning() {
    return OsCreateNamedMapping("Kestrom") != OsMappingResult::Created ? 1 : 0;
}

int CheckCommonControls() {
    return OsInitCommonControls() ? 1 : 0;
}

int LogStart(int) {
    return 0;
}

void LogStop() {}

int UpdaterRun(std::uintptr_t instance, const char* commandLine) {
    AppInstance = instance;
    DutchLanguage = (OsGetSystemDefaultLangId() & 0x3FF) == DutchPrimaryLanguage ? 1 : 0;
    // The options are read before the first check, so that the unattended
    // run shows no box at all; reading them has no other effect.
    ParseCommandLine(commandLine);
    RunLogStart(commandLine);
    if (!CheckWindowsVersion())
        EndRun(SilentRun ? RunNotUpdatable : 0);
    if (!PayloadIntact()) {
        ShowMessage(DutchLanguage ? DamagedDutch : DamagedEnglish, GetMessageText(18), OsIcon::Error);
        EndRun(RunDamaged);
    }

    if (!ZelkProduct && FamilyRunning()) {
        ShowMessage(GetMessageText(21), GetMessageText(18), OsIcon::Information);
        EndRun(RunProductActive);
    }
    if (ZelkProduct && ProductRunning()) {
        ShowMessage(GetMessageText(20), GetMessageText(18), OsIcon::Information);
        EndRun(RunProductActive);
    }
    RunLog("%s running: no", ZelkProduct ? "Zelk" : "Tarvo Software");
    if (!CheckCommonControls())
        InternalError("UPDATER", 2244, 5679);
    FileTableClear();
    if (LogRequested)
        LogStart(0);

    if (!InitDde() || !FindProductLocation()) {
        SetOutcome(RunNotUpdatable);
        ShowMessage(GetMessageText(ZelkProduct ? 17 : 19), GetMessageText(18), OsIcon::Error);
    } else if (ZelkProduct && !DemoBuild && static_cast<signed char>(InstalledVersion[0]) < '2') {
        // Only the update build reads an installed version; the demo and
        // Tarvo builds have none to check and go on to their dialog.
        RunLog("product directory: %s, installed version %s: too old", ProductLocation, InstalledVersion);
        SetOutcome(RunNotUpdatable);
        ShowMessage(GetMessageText(22), GetMessageText(18), OsIcon::Error);
    } else {
        RunLog("product directory: %s%s%s", ProductLocation, InstalledVersion[0] ? ", installed version " : "",
               InstalledVersion);
        if (SilentRun)
            InstallUpdate(0);
        else
            ShowInfoDialog();
    }

    if (LogRequested)
        LogStop();
    if (FileTableCheck())
        InternalError("UPDATER", 2278, 4000);
    const int code = SilentRun ? RunOutcome() : 0;
    RunLog("end: exit code %d", code);
    return code;
}
