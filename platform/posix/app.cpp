// app.cpp - POSIX stand-ins for the updater's Windows services.
//
// Each gives the results and effects the program relies on, steered by the
// environment (see app.h): a registry kept in a text file, named mappings
// that are advisory locks on files held until the process ends, a dialog on
// the console and a Program Manager that records the commands it accepts.
#include "app.h"
#include "posix/fault.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

namespace {

std::string Environment(const char* name, const std::string& otherwise) {
    const char* value = std::getenv(name);
    return (value && *value) ? std::string(value) : otherwise;
}

}  // namespace

// ---- System --------------------------------------------------------------

std::uint32_t OsGetVersion() {
    const std::string version = Environment("UPDATER_WINVER", "5.1");
    unsigned major = 0, minor = 0;
    std::sscanf(version.c_str(), "%u.%u", &major, &minor);
    return (major & 0xFF) | (minor & 0xFF) << 8;
}

std::uint16_t OsGetSystemDefaultLangId() {
    std::string locale = Environment("LC_ALL", Environment("LANG", "C"));
    const bool dutch = locale.size() >= 2 && locale.compare(0, 2, "nl") == 0;
    return dutch ? 0x0413 : 0x0409;
}

unsigned OsGetWindowsDirectory(char* buffer, unsigned size) {
    const std::string directory = Environment("UPDATER_WINDIR", "C:\\WINDOWS");
    if (directory.size() + 1 > size)
        return static_cast<unsigned>(directory.size() + 1);
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<unsigned>(directory.size());
}

OsMappingResult OsCreateNamedMapping(const char* name) {
    std::string directory = Environment("UPDATER_MAPPINGS", OsTempPath());
    if (directory.back() != '/')
        directory += '/';
    const std::string path = directory + name + ".mapping";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return OsMappingResult::Failed;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool taken = errno == EWOULDBLOCK;
        close(fd);
        return taken ? OsMappingResult::AlreadyExists : OsMappingResult::Failed;
    }
    return OsMappingResult::Created;  // the descriptor stays open: the lock lives as long as the process
}

bool OsInitCommonControls() {
    return true;
}

[[noreturn]] void OsExitProcess(int code) {
    std::fflush(nullptr);
    std::_Exit(code);
}

// ---- Registry ------------------------------------------------------------
//
// The file holds one section per key and one line per value:
//   [Software\Zelk]
//   Location=C:\Zelk
//   Version=2.00
// A value holding control characters, which would break its line, is
// written as regedit writes one, in bytes: Version=hex(1):32,2e,30,0d,0a.
// Every change rewrites the file through a sibling and a rename, so a reader
// never sees half a file.

namespace {

using Registry = std::map<std::string, std::map<std::string, std::string>>;

constexpr const char* BytesMark = "hex(1):";

std::string ValueFromFile(const std::string& text) {
    if (text.compare(0, std::strlen(BytesMark), BytesMark) != 0)
        return text;
    std::string value;
    for (std::size_t at = std::strlen(BytesMark); at < text.size(); at += 3)
        value += static_cast<char>(std::strtoul(text.substr(at, 2).c_str(), nullptr, 16));
    return value;
}

std::string ValueToFile(const std::string& value) {
    if (std::none_of(value.begin(), value.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
        return value;
    std::string text = BytesMark;
    for (const char c : value) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x,", static_cast<unsigned char>(c));
        text += byte;
    }
    text.pop_back();
    return text;
}

std::string RegistryPath() {
    return Environment("UPDATER_REGISTRY", Environment("HOME", "/tmp") + "/.updater-registry");
}

Registry LoadRegistry() {
    Registry registry;
    std::ifstream in(RegistryPath());
    std::string line, key;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            key = line.substr(1, line.size() - 2);
            registry[key];
        } else if (const std::size_t equals = line.find('='); equals != std::string::npos && !key.empty()) {
            registry[key][line.substr(0, equals)] = ValueFromFile(line.substr(equals + 1));
        }
    }
    return registry;
}

bool SaveRegistry(const Registry& registry) {
    const std::string path = RegistryPath();
    const std::string sibling = path + ".new";
    {
        std::ofstream out(sibling, std::ios::trunc);
        for (const auto& [key, values] : registry) {
            out << '[' << key << "]\n";
            for (const auto& [name, value] : values)
                out << name << '=' << ValueToFile(value) << '\n';
        }
        if (!out.flush())
            return false;
    }
    return std::rename(sibling.c_str(), path.c_str()) == 0;
}

struct RegistryKey {
    std::string path;
};

}  // namespace

OsHandle OsRegCreateKey(const char* subkey, const char*) {
    Registry registry = LoadRegistry();
    if (!registry.count(subkey)) {
        registry[subkey];
        if (!SaveRegistry(registry))
            return 0;
    }
    return reinterpret_cast<OsHandle>(new RegistryKey{subkey});
}

bool OsRegQueryString(OsHandle key, const char* name, char* buffer, unsigned size) {
    const Registry registry = LoadRegistry();
    const auto section = registry.find(reinterpret_cast<RegistryKey*>(key)->path);
    if (section == registry.end())
        return false;
    const auto value = section->second.find(name);
    if (value == section->second.end() || value->second.size() + 1 > size)
        return false;
    std::memcpy(buffer, value->second.c_str(), value->second.size() + 1);
    return true;
}

bool OsRegSetString(OsHandle key, const char* name, const char* text) {
    if (!FaultPoint())
        return {};
    Registry registry = LoadRegistry();
    registry[reinterpret_cast<RegistryKey*>(key)->path][name] = text;
    return SaveRegistry(registry);
}

void OsRegCloseKey(OsHandle key) {
    delete reinterpret_cast<RegistryKey*>(key);
}

// ---- The console dialog --------------------------------------------------

namespace {

struct ConsoleDialog {
    int templateId = 0;
    std::string title;
    std::map<int, std::string> texts;
    std::map<int, int> icons;
    std::set<int> hidden;
    int x = 0, y = 0;
    bool ended = false;
    std::intptr_t result = 0;
};

ConsoleDialog* AsDialog(OsWindow window) {
    return reinterpret_cast<ConsoleDialog*>(window);
}

constexpr int ConsoleDialogWidth = 474;  // 237 dialog units at two pixels each
constexpr int ConsoleDialogHeight = 342;

void ShowDialog(const ConsoleDialog& dialog) {
    std::printf("Dialog %d \"%s\" at %d,%d\n", dialog.templateId, dialog.title.c_str(), dialog.x, dialog.y);
    for (const auto& [id, icon] : dialog.icons)
        std::printf("  [%d] icon %d\n", id, icon);
    for (const auto& [id, text] : dialog.texts) {
        if (dialog.hidden.count(id))
            continue;
        std::string shown = text;
        for (std::size_t at = 0; (at = shown.find('\n', at)) != std::string::npos;)
            shown.replace(at, 1, "\\n");
        std::printf("  [%d] %s\n", id, shown.c_str());
    }
    if (!dialog.hidden.empty()) {
        std::printf("  hidden:");
        for (const int id : dialog.hidden)
            std::printf(" %d", id);
        std::printf("\n");
    }
    std::fflush(stdout);
}

}  // namespace

std::intptr_t OsDialogBox(int templateId, OsDialogProc proc) {
    ConsoleDialog dialog;
    dialog.templateId = templateId;
    const OsWindow window = reinterpret_cast<OsWindow>(&dialog);
    proc(window, OsMsgInitDialog, 0, 0);
    ShowDialog(dialog);
    std::string line;
    while (!dialog.ended) {
        std::printf("> ");
        std::fflush(stdout);
        if (!std::getline(std::cin, line)) {
            proc(window, OsMsgCommand, 2, 0);  // no more input: the close box
            break;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == "1" || line == "install") {
            proc(window, OsMsgCommand, 1, 0);
        } else if (line == "2" || line == "cancel") {
            proc(window, OsMsgCommand, 2, 0);
        } else if (const std::size_t equals = line.find('='); equals != std::string::npos) {
            dialog.texts[std::atoi(line.substr(0, equals).c_str())] = line.substr(equals + 1);
        } else {
            std::printf("(1 or install, 2 or cancel, ID=TEXT to type into a field)\n");
        }
    }
    proc(window, OsMsgDestroy, 0, 0);
    return dialog.result;
}

void OsEndDialog(OsWindow dialog, std::intptr_t result) {
    AsDialog(dialog)->ended = true;
    AsDialog(dialog)->result = result;
}

void OsSetDlgItemText(OsWindow dialog, int id, const char* text) {
    AsDialog(dialog)->texts[id] = text;
}

unsigned OsGetDlgItemText(OsWindow dialog, int id, char* buffer, int size) {
    if (size <= 0)
        return 0;
    const std::string& text = AsDialog(dialog)->texts[id];
    const std::size_t length = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), length);
    buffer[length] = 0;
    return static_cast<unsigned>(length);
}

void OsSetWindowText(OsWindow window, const char* text) {
    AsDialog(window)->title = text;
}

void OsSetDlgIcon(OsWindow dialog, int iconId, const int* controls, int count) {
    for (int i = 0; i < count; ++i)
        AsDialog(dialog)->icons[controls[i]] = iconId;
}

void OsHideDlgItem(OsWindow dialog, int id) {
    AsDialog(dialog)->hidden.insert(id);
}

void OsGetWindowSize(OsWindow, int* width, int* height) {
    *width = ConsoleDialogWidth;
    *height = ConsoleDialogHeight;
}

void OsMoveWindow(OsWindow window, int x, int y, int, int) {
    AsDialog(window)->x = x;
    AsDialog(window)->y = y;
}

int OsGetDisplayCaps(int index) {
    if (index == OsHorzRes)
        return std::atoi(Environment("UPDATER_SCREEN_WIDTH", "1024").c_str());
    if (index == OsVertRes)
        return std::atoi(Environment("UPDATER_SCREEN_HEIGHT", "768").c_str());
    return 0;
}

int OsMessageBoxOwned(OsWindow, const char* text, const char* caption, OsIcon icon) {
    return OsMessageBox(text, caption, icon);
}

// ---- Program Manager -----------------------------------------------------

std::uint32_t OsDdeInitialize() {
    return 1;
}

bool OsDdeExecute(std::uint32_t instance, const char* service, const char* command) {
    const char* record = std::getenv("UPDATER_PROGMAN");
    if (instance == 0 || record == nullptr || *record == 0 || std::strcmp(service, "PROGMAN") != 0)
        return false;
    // A service that turns commands down, for the failure paths.
    const char* refuse = std::getenv("UPDATER_PROGMAN_REFUSE");
    if (refuse && *refuse && std::strstr(command, refuse))
        return false;
    std::ofstream out(record, std::ios::app);
    out << command << '\n';
    return static_cast<bool>(out.flush());
}

// ---- The run's log ---------------------------------------------------------

OsClock OsLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
}

unsigned long OsProcessId() {
    return static_cast<unsigned long>(getpid());
}

OsAppendResult OsAppendFile(const char* path, const char* text, std::size_t length) {
    std::string native = path;
    std::replace(native.begin(), native.end(), '\\', '/');
    // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a
    // reader, for ever in an unattended run; without one it fails (ENXIO).
    const int fd =
        open(native.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno == ENXIO || errno == EISDIR ? OsAppendResult::NotAFile : OsAppendResult::Failed;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return OsAppendResult::NotAFile;
    }
    ssize_t written;
    do
        written = write(fd, text, length);
    while (written < 0 && errno == EINTR);
    const bool closed = close(fd) == 0;
    return written == static_cast<ssize_t>(length) && closed ? OsAppendResult::Appended : OsAppendResult::Failed;
}

std::string OsTempDirectory() {
    return OsTempPath();
}
