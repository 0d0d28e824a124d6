// entry.cpp - the order of one run and the checks before the dialog.
//
// Refusals before the dialog (old Windows, the product running) end the
// process at once after one message box; a missing product directory or a
// too old installed version end the run normally. Exit codes: 0 normal end,
// 1 the product (or the family's software) is running, 3 the program is
// damaged, 4 Install was pressed but there was nothing to update (no
// lzx.ver), the box's result + 1 after a fatal error, 6 "-verify" found a
// file that is not what the update leaves ("-check" ends as the run would). The unattended run ("-silent")
// tells more by its code (RunResult in updater.h).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fileio.h"
#include "updater.h"

std::uintptr_t AppInstance = 0;
int LogRequested = 0;
int VerifyRun = 0;
int CheckRun = 0;
std::string CommandLineProblem;

namespace {

constexpr std::size_t WordSlots = 50;  // a placeholder, 48 words and an end mark
constexpr std::uint16_t DutchPrimaryLanguage = 0x13;
constexpr const char* LogOption = "-logfile=";
constexpr const char* SilentOption = "-silent";

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

// Whether "-silent" stands anywhere in the command line as a whole word,
// bordered by a blank, a tab, a quote or either end. It is looked for in the
// text itself, before the words are made: an unclosed quote, a mistyped
// option or a path too long must not turn a run that nobody watches into
// one that waits for a click.
bool SilentWordIn(const std::string& line) {
    const auto border = [&line](std::size_t at) {
        return at >= line.size() || line[at] == ' ' || line[at] == '\t' || line[at] == '"';
    };
    const std::size_t length = std::strlen(SilentOption);
    for (std::size_t at = 0; at + length <= line.size(); ++at) {
        if ((at == 0 || border(at - 1)) && border(at + length) && BeginsWith(line.c_str() + at, SilentOption))
            return true;
    }
    return false;
}

struct Word {
    std::string text;
    std::size_t end;  // where it ends in the command line
    bool open;        // a quote in it is not closed
};

// Words are separated by runs of spaces (a tab is part of a word). Quotes
// mean nothing, except in the word of the log file, whose path may hold
// blanks.
std::vector<Word> SplitWords(const std::string& line) {
    std::vector<Word> words;
    for (std::size_t at = 0; at < line.size();) {
        while (at < line.size() && line[at] == ' ')
            ++at;
        if (at == line.size())
            break;
        const std::size_t start = at;
        const bool quotes = IsLogWord(line.c_str() + at);
        bool quoted = false;
        for (; at < line.size() && (quoted || line[at] != ' '); ++at) {
            if (quotes && line[at] == '"')
                quoted = !quoted;
        }
        words.push_back({line.substr(start, at - start), at, quoted});
    }
    return words;
}

// "-logfile=PATH": a path with blanks is quoted, the whole word or the path
// ("-logfile=C:\My Logs\u.log" in quotes, or -logfile="C:\My Logs\u.log").
// An empty path asks for the log in its default place. Answers what is
// wrong with the word; the log is then the default one.
std::string TakeLogFile(const Word& word) {
    std::memset(LogFile, 0, sizeof LogFile);
    if (word.open)
        return "The command line has a quote that is not closed: " + EscapeControls(word.text);
    std::string path;
    for (const char c : word.text.substr(word.text[0] == '"' ? 1 : 0).substr(std::strlen(LogOption))) {
        if (c != '"')
            path += c;
    }
    if (path.size() >= sizeof LogFile)
        return "The log file's path is too long (at most " + std::to_string(sizeof LogFile - 1) +
               " characters): " + EscapeControls(path);
    std::memcpy(LogFile, path.c_str(), path.size() + 1);
    return std::string();
}

}  // namespace

int ParseCommandLine(const char* commandLine) {
    const std::string line = commandLine ? commandLine : "";
    SilentRun = SilentWordIn(line) ? 1 : 0;
    const std::vector<Word> words = SplitWords(line);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const char* word = words[i].text.c_str();
        // The interactive run reads its own options as it always has: from
        // the first 259 characters, 48 words at most, others ignored. The
        // unattended run reads every word, and a word it does not know is
        // a mistake it must not guess past.
        const bool seen = SilentRun || (i < WordSlots - 2 && words[i].end < CommandLineSize);
        std::string problem;
        if (IsLogWord(word))
            problem = TakeLogFile(words[i]);
        else if (!seen)
            continue;
        else if (SameText(word, "-log"))
            LogRequested = 1;
        else if (SameText(word, "-dut"))
            DutchLanguage = 1;
        else if (SameText(word, "-eng"))
            DutchLanguage = 0;
        else if (SameText(word, "-verify"))
            VerifyRun = 1;
        else if (SameText(word, "-check"))
            CheckRun = 1;
        else if (SilentRun && !SameText(word, SilentOption))
            problem = "The command line holds a word that is not an option: " + EscapeControls(word);
        if (CommandLineProblem.empty())
            CommandLineProblem = problem;
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
    if (!CommandLineProblem.empty())
        FatalMessage("%s", CommandLineProblem.c_str());
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
    // Ctrl-C or a SIGTERM (the native build) removes what is half written.
    FileCatchInterrupts();
    if (LogRequested)
        LogStart(0);

    const bool found = InitDde() && FindProductLocation();
    // An update that was killed is settled before anything is shown, and
    // before the installed version is judged: undoing it restores that. A
    // check or a verification changes nothing, and reports it instead.
    if (found && !VerifyRun && !CheckRun)
        RecoverUpdate(ProductLocation);
    if (!found) {
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
        if (VerifyRun)
            VerifyInstallation();
        else if (CheckRun)
            CheckUpdate();
        else if (SilentRun)
            InstallUpdate(0);
        else
            ShowInfoDialog();
    }

    if (LogRequested)
        LogStop();
    if (FileTableCheck())
        InternalError("UPDATER", 2278, 4000);
    const int code = RunOutcome();
    RunLog("end: exit code %d", code);
    return code;
}
