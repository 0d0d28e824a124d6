// uninstall.cpp - a stand-in for the demo's uninstaller, Uninstall.exe: it
// names what it would remove.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof directory, directory);
    char text[MAX_PATH + 80];
    wsprintfA(text, "Zelk Demo verwijderen uit\n%s ?", directory);
    MessageBoxA(nullptr, text, "UnInstall", MB_OKCANCEL | MB_ICONQUESTION);
    return 0;
}
