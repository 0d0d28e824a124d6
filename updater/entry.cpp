// entry.cpp - the order of one run and the checks before the dialog.
//
// Refusals before the dialog (old Windows, the product running) end the
// process at once after one message box; a missing product directory or a
// too old installed version end the run normally. Exit codes: 0 normal end,
// 1 the product (or the family's software) is running, the box's result + 1
// after a fatal error.
#include <cstdio>
#include <cstring>

#include "fileio/fileio.h"
#include "updater/updater.h"

std::uintptr_t AppInstance = 0;
int LogRequested = 0;

namespace {

constexpr int CommandLineSize = 260;
constexpr int WordSlots = 50;  // a placeholder, 48 words and an end mark
constexpr std::uint16_t DutchPrimaryLanguage = 0x13;

}  // namespace

int ParseCommandLine(const char* commandLine) {
    char buffer[CommandLineSize] = {};
    std::strncpy(buffer, commandLine ? commandLine : "", CommandLineSize - 1);

    // Words are separated by runs of spaces (a tab is part of a word). The
    // table holds 48 of them; further words are ignored.
    const char* words[WordSlots] = {"updater"};
    int count = 1;
    for (char* at = buffer; *at && count < WordSlots - 1;) {
        while (*at == ' ')
            ++at;
        if (*at == 0)
            break;
        words[count++] = at;
        while (*at && *at != ' ')
            ++at;
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
    }
    return 1;
}

int CheckWindowsVersion() {
    const std::uint32_t version = OsGetVersion();
    const int major = static_cast<int>(version & 0xFF);
    const int minor = static_cast<int>((version >> 8) & 0xFF);
    if (major >= 4)
        return 1;
    char text[80];
    std::snprintf(text, sizeof text, "Zelk werkt niet onder Windows 3.1 [%d, %d]", major, minor);
    OsMessageBox(text, "Einde", OsIcon::Information);
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
    if (!CheckWindowsVersion())
        OsExitProcess(0);
    ParseCommandLine(commandLine);

    if (!ZelkProduct && FamilyRunning()) {
        OsMessageBox(GetMessageText(21), GetMessageText(18), OsIcon::Information);
        OsExitProcess(1);
    }
    if (ZelkProduct && ProductRunning()) {
        OsMessageBox(GetMessageText(20), GetMessageText(18), OsIcon::Information);
        OsExitProcess(1);
    }
    if (!CheckCommonControls())
        InternalError("UPDATER", 2244, 5679);
    FileTableClear();
    if (LogRequested)
        LogStart(0);

    if (!InitDde() || !FindProductLocation()) {
        OsMessageBox(GetMessageText(ZelkProduct ? 17 : 19), GetMessageText(18), OsIcon::Error);
    } else if (ZelkProduct && !DemoBuild && static_cast<signed char>(InstalledVersion[0]) < '2') {
        // Only the update build reads an installed version; the demo and
        // Tarvo builds have none to check and go on to their dialog.
        OsMessageBox(GetMessageText(22), GetMessageText(18), OsIcon::Error);
    } else {
        ShowInfoDialog();
    }

    if (LogRequested)
        LogStop();
    if (FileTableCheck())
        InternalError("UPDATER", 2278, 4000);
    return 0;
}
