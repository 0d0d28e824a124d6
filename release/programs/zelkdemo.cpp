// zelkdemo.cpp - a stand-in for the demo program, ZelkDemo.exe.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    HANDLE running = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 32, "Morvil");
    MessageBoxA(nullptr, "Zelk Demo 2.04\n\nDeze demo toont de eerste tien spellen.", "Zelk Demo",
                MB_OK | MB_ICONINFORMATION);
    if (running)
        CloseHandle(running);
    return 0;
}
