// zelk.cpp - a stand-in for the product's main program, Zelk.exe.
//
// It shows its version and, while it runs, holds the named mapping "Morvil"
// by which the updater knows that Zelk is active.
#include <windows.h>

#ifndef ZELK_VERSION
#define ZELK_VERSION "2.04"
#endif

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    HANDLE running = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 32, "Morvil");
    MessageBoxA(nullptr, "Zelk " ZELK_VERSION "\n\nBiedboek en spelanalyse.", "Zelk " ZELK_VERSION,
                MB_OK | MB_ICONINFORMATION);
    if (running)
        CloseHandle(running);
    return 0;
}
