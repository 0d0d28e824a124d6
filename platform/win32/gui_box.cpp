// gui_box.cpp - the real message box, for the Windows GUI programs.
#include "platform.h"

#include <windows.h>

int OsMessageBox(const char* text, const char* caption, OsIcon icon) {
    UINT style = MB_OK;
    if (icon == OsIcon::Error)
        style |= MB_ICONERROR;
    else if (icon == OsIcon::Information)
        style |= MB_ICONINFORMATION;
    return MessageBoxA(nullptr, text, caption, style);
}
