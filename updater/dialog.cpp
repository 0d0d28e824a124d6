// dialog.cpp - the information dialog and its Install button.
//
// One modal dialog per build: template 3001 (Zelk update), 3003 (Zelk demo,
// with the directory field 2022) or 3002 (Tarvo). Every text that depends on
// the language or the build is set when the dialog opens. The Install
// button runs the whole installation inside the dialog procedure and shows
// the closing report before the dialog closes; Cancel (also Escape and the
// close box) only closes it.
#include <cstring>

#include "fileio.h"
#include "updater.h"

namespace {

constexpr int DemoDirectoryMinimum = 4;

// The texts every build sets at the opening.
void SetTexts(OsWindow dialog, int icon, bool contactLines) {
    CenterWindow(dialog);
    OsSetDlgItemText(dialog, IdCopyright, GetMessageText(9));
    const int icons[] = {IdIconLeft, IdIconRight};
    OsSetDlgIcon(dialog, icon, icons, 2);
    OsSetWindowText(dialog, GetMessageText(5));
    const struct {
        int control, message;
    } texts[] = {{IdTeamGroup, 10}, {IdInfoGroup, 4}, {IdLine1, 6}, {IdLine2, 7}, {IdLine3, 8},
                 {IdInstall, 11},   {IdCancel, 12},   {IdMail, 15}, {IdWeb, 16}};
    for (const auto& text : texts) {
        if (contactLines || (text.control != IdMail && text.control != IdWeb))
            OsSetDlgItemText(dialog, text.control, GetMessageText(text.message));
    }
}

// Demo build: the directory typed into field 2022. Trailing backslashes go
// (while more than one character remains); fewer than 4 characters left, or
// more than the Program Manager commands can carry, keeps the dialog open.
bool TakeDemoDirectory(OsWindow dialog) {
    char typed[FileNameSize] = {};
    OsGetDlgItemText(dialog, IdDirectory, typed, FileNameSize);
    std::size_t length = std::strlen(typed);
    while (length > 1 && typed[length - 1] == '\\')
        typed[--length] = 0;
    if (length < DemoDirectoryMinimum)
        return false;
    if (length > ProgramItemDirectoryLimit) {
        ShowOwnedMessage(dialog, DutchLanguage ? "De directory mag hoogstens 104 tekens lang zijn."
                                               : "The directory may be at most 104 characters long.",
                         "Error", OsIcon::Error);
        return false;
    }
    std::memcpy(ProductLocation, typed, length + 1);
    return true;
}

std::intptr_t Command(OsWindow dialog, int control) {
    if (control == IdInstall) {
        if (ZelkProduct && DemoBuild && !TakeDemoDirectory(dialog))
            return 0;
        InstallUpdate(dialog);
        OsEndDialog(dialog, 0);
    } else if (control == IdCancel) {
        OsEndDialog(dialog, 0);
    }
    return 1;
}

}  // namespace

namespace {

// The opening of each dialog; the rest of the two procedures is the same.
void OpenInfoDialog(OsWindow dialog) {
    SetTexts(dialog, IconZelk, true);
    if (DemoBuild)
        OsSetDlgItemText(dialog, IdDirectory, ProductLocation);
}

// The template carries the Zelk maker's lines (2020, 2021) and the family's
// (2018, 2019); the language decides which pair shows.
void OpenTarvoDialog(OsWindow dialog) {
    SetTexts(dialog, IconTarvo, false);
    if (DutchLanguage) {
        OsHideDlgItem(dialog, IdMail);
        OsHideDlgItem(dialog, IdWeb);
    } else {
        OsHideDlgItem(dialog, IdFamilyMail);
        OsHideDlgItem(dialog, IdFamilyWeb);
    }
}

std::intptr_t DialogProc(OsWindow dialog, unsigned message, std::uintptr_t wParam, void (*open)(OsWindow)) {
    switch (message) {
    case OsMsgInitDialog:
        open(dialog);
        return 1;
    case OsMsgCommand:
        return Command(dialog, static_cast<int>(wParam & 0xFFFF));
    case OsMsgDestroy:
        return 1;
    default:
        return 0;
    }
}

}  // namespace

std::intptr_t InfoDialogProc(OsWindow dialog, unsigned message, std::uintptr_t wParam, std::intptr_t) {
    return DialogProc(dialog, message, wParam, OpenInfoDialog);
}

std::intptr_t TarvoDialogProc(OsWindow dialog, unsigned message, std::uintptr_t wParam, std::intptr_t) {
    return DialogProc(dialog, message, wParam, OpenTarvoDialog);
}

int ShowInfoDialog() {
    if (!ZelkProduct)
        OsDialogBox(TemplateTarvo, TarvoDialogProc);
    else
        OsDialogBox(DemoBuild ? TemplateDemo : TemplateUpdate, InfoDialogProc);
    return 1;
}

void CenterWindow(OsWindow window) {
    int width = 0, height = 0;
    OsGetWindowSize(window, &width, &height);
    const int x = (GetScreenMetric(OsHorzRes) - width) / 2;
    const int y = (GetScreenMetric(OsVertRes) - height) / 2;
    OsMoveWindow(window, x, y, width, height);
}

int GetScreenMetric(int index) {
    return OsGetDisplayCaps(index);
}
