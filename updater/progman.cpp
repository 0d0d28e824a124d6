// progman.cpp - Program Manager items for the demo installation.
//
// Every build registers a DDE client at the start of the run; only the demo
// build sends commands, after its installation, one conversation each:
//   [CreateGroup(Zelk Demo)]
//   [ReplaceItem(Zelk Demo)]
//   [AddItem("DIR\ZelkDemo.exe" , "Zelk Demo",,,,,"DIR")]
//   [AddItem("DIR\Uninstall.exe", "UnInstall",,,,,"DIR")]
// The item commands name no group: they go to the group just created. A
// failure stops the sequence there with a message box (English in both
// languages).
#include <cstdio>

#include "updater.h"

std::uint32_t DdeInstance = 0;

namespace {

constexpr const char* ProgramManager = "PROGMAN";

}  // namespace

int InitDde() {
    DdeInstance = OsDdeInitialize();
    return DdeInstance != 0 ? 1 : 0;
}

int SendShellCommand(std::uint32_t instance, const char* command) {
    return OsDdeExecute(instance, ProgramManager, command) ? 1 : 0;
}

int AddProgramItem(OsWindow window, const char* file, const char* name, const char* arguments,
                   const char* directory) {
    char command[256];
    std::snprintf(command, sizeof command, "[ReplaceItem(%s)]", name);
    SendShellCommand(DdeInstance, command);
    std::snprintf(command, sizeof command, "[AddItem(\"%s\\%s\" %s, \"%s\",,,,,\"%s\")]", directory, file, arguments,
                  name, directory);
    if (!SendShellCommand(DdeInstance, command)) {
        ShowOwnedMessage(window, "SendShellCommand(AddItem) failed", "Error", OsIcon::None);
        return 0;
    }
    return 1;
}

int CreateProgramItems(OsWindow window, const char* directory) {
    if (ZelkProduct && DemoBuild) {
        if (!SendShellCommand(DdeInstance, "[CreateGroup(Zelk Demo)]")) {
            ShowOwnedMessage(window, "SendShellCommand(CreateGroup) failed!", "Error", OsIcon::None);
            return 0;
        }
        if (!AddProgramItem(window, "ZelkDemo.exe", "Zelk Demo", "", directory))
            return 0;
    }
    char command[320];
    std::snprintf(command, sizeof command, "[AddItem(\"%s\\Uninstall.exe\", \"UnInstall\",,,,,\"%s\")]", directory,
                  directory);
    if (!SendShellCommand(DdeInstance, command)) {
        ShowOwnedMessage(window, "Creating UnInstall failed", "Error", OsIcon::None);
        return 0;
    }
    return 1;
}
