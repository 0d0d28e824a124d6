// entry.cpp - WinMain of the updater programs.
#include "app.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    return UpdaterRun(reinterpret_cast<std::uintptr_t>(instance), commandLine);
}
