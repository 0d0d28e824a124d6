// uidriver.cpp - drives the windows of a program under test, from the same
// Wine prefix, the way a user would: it waits for a window, reads its
// controls, presses buttons and types into edit controls.
//
// Everything goes through messages to the windows themselves (a button's
// click as its BN_CLICKED notification, WM_SETTEXT, WM_KEYDOWN posted to the
// focused control). Synthetic X key
// events are no use here: Wine may deliver them to another window of the
// prefix. Every wait has a time limit and polls; nothing sleeps blindly.
//
//   uidriver wait TITLE [MS]          a visible top-level window; prints its rectangle
//   uidriver gone TITLE [MS]          until no such window is left
//   uidriver controls TITLE           id, class, text, visible, enabled, rectangle of each control
//   uidriver click TITLE ID           presses the button with that id
//   uidriver type TITLE ID TEXT       WM_SETTEXT to the control with that id
//   uidriver key TITLE escape|return  the key to the window's focused control
//   uidriver box TITLE [MS [BUTTON]]  a message box: prints "caption: text" on one line,
//                                     presses the button (OK) and waits until the box is gone
//   uidriver windows                  every visible top-level window and its controls
//   uidriver hold NAME                a named mapping, held until the process is ended
//   uidriver holdfile FILE [UNTIL]    the file, opened with no sharing until the process is ended (or
//                                     until the file UNTIL exists)
//   uidriver manifest FILE            prints the program file's manifest resource (id 1)
//   uidriver run COMMANDLINE          runs it exactly as written (wine requotes arguments); its exit code
//   uidriver version FILE             its version resource: the fixed version, then NAME=VALUE
//   uidriver trust FILE               WinVerifyTrust's verdict on its Authenticode signature, in hex
//
// Exit codes: 0 done, 1 the window did not come (or go) in time, 64 usage.
#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr DWORD DefaultWaitMs = 20000;
constexpr DWORD PollMs = 25;

struct Search {
    const char* title;
    HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    char title[512];
    if (!IsWindowVisible(window) || GetWindowTextA(window, title, sizeof title) <= 0)
        return TRUE;
    if (std::strcmp(title, search->title) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindTopLevel(const char* title) {
    Search search{title, nullptr};
    EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitFor(const char* title, DWORD limitMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = FindTopLevel(title))
            return window;
        if (GetTickCount() - start >= limitMs)
            return nullptr;
        Sleep(PollMs);
    }
}

HWND Require(const char* title, DWORD limitMs = DefaultWaitMs) {
    HWND window = WaitFor(title, limitMs);
    if (window == nullptr) {
        std::fprintf(stderr, "uidriver: no window \"%s\" within %lu ms\n", title, static_cast<unsigned long>(limitMs));
        std::exit(1);
    }
    return window;
}

HWND Control(HWND window, int id) {
    HWND control = GetDlgItem(window, id);
    if (control == nullptr) {
        std::fprintf(stderr, "uidriver: no control %d in that window\n", id);
        std::exit(1);
    }
    return control;
}

std::string TextOf(HWND window) {
    char text[1024];
    // WM_GETTEXT, not GetWindowText: it reads controls of other processes too.
    const LRESULT n = SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Line breaks and tabs written as \n and \t, so that one control is one line.
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            continue;
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

BOOL CALLBACK ListControl(HWND control, LPARAM context) {
    HWND window = reinterpret_cast<HWND>(context);
    if (GetParent(control) != window)
        return TRUE;
    char className[64];
    GetClassNameA(control, className, sizeof className);
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&rect), 2);
    // An icon control has no text; whether it shows an icon is what counts.
    std::string text = TextOf(control);
    if (lstrcmpiA(className, "Static") == 0 && (GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
        text = SendMessageA(control, STM_GETICON, 0, 0) != 0 ? "<icon>" : "<no icon>";
    std::printf("%d\t%s\t\"%s\"\t%s\t%s\t%ld,%ld,%ld,%ld\n", GetDlgCtrlID(control), className,
                OneLine(text).c_str(), IsWindowVisible(control) ? "visible" : "hidden",
                IsWindowEnabled(control) ? "enabled" : "disabled", rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top);
    return TRUE;
}

// The texts of a message box's static controls, in order: its message.
BOOL CALLBACK CollectText(HWND control, LPARAM context) {
    auto* text = reinterpret_cast<std::string*>(context);
    char className[64];
    GetClassNameA(control, className, sizeof className);
    if (lstrcmpiA(className, "Static") != 0)
        return TRUE;
    const std::string part = TextOf(control);
    if (!part.empty())
        *text += (text->empty() ? "" : "\\n") + OneLine(part);
    return TRUE;
}

BOOL CALLBACK ListWindow(HWND window, LPARAM) {
    char title[512], className[64];
    if (!IsWindowVisible(window))
        return TRUE;
    GetWindowTextA(window, title, sizeof title);
    GetClassNameA(window, className, sizeof className);
    RECT rect;
    GetWindowRect(window, &rect);
    std::printf("window \"%s\" %s %ld,%ld,%ld,%ld\n", OneLine(title).c_str(), className, rect.left, rect.top,
                rect.right - rect.left, rect.bottom - rect.top);
    EnumChildWindows(window, ListControl, reinterpret_cast<LPARAM>(window));
    return TRUE;
}

// A button pressed as a click ends: its parent receives BN_CLICKED, posted,
// since the press may open a modal box and a sent message would wait for
// it to close. (BM_CLICK plays the mouse through the button and can be lost
// when the mouse capture moves meanwhile; under load Wine lost one.) A
// button that a user could not press is an error.
void Press(HWND button) {
    if (!IsWindowVisible(button) || !IsWindowEnabled(button)) {
        std::fprintf(stderr, "uidriver: button %d is hidden or disabled\n", GetDlgCtrlID(button));
        std::exit(1);
    }
    const WPARAM command = MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(button)), BN_CLICKED);
    PostMessageA(GetParent(button), WM_COMMAND, command, reinterpret_cast<LPARAM>(button));
}

void PrintRect(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    std::printf("%ld,%ld,%ld,%ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
}

DWORD WaitArg(int argc, char** argv, int at) {
    return argc > at ? static_cast<DWORD>(std::strtoul(argv[at], nullptr, 10)) : DefaultWaitMs;
}

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: uidriver wait|gone|controls|click|type|key|box|windows|hold|manifest|run|version|trust|holdfile ... (see "
                 "the source's first comment)\n");
    std::exit(64);
}

}  // namespace

int main(int argc, char** argv) {
    // Plain line ends: the scripts that read this are POSIX shells.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc == 2 && std::strcmp(argv[1], "windows") == 0) {
        EnumWindows(ListWindow, 0);
        return 0;
    }
    if (argc < 3)
        Usage();
    const std::string command = argv[1];
    const char* title = argv[2];
    if (command == "wait") {
        PrintRect(Require(title, WaitArg(argc, argv, 3)));
    } else if (command == "gone") {
        const DWORD limit = WaitArg(argc, argv, 3), start = GetTickCount();
        while (FindTopLevel(title)) {
            if (GetTickCount() - start >= limit) {
                std::fprintf(stderr, "uidriver: window \"%s\" still there after %lu ms\n", title,
                             static_cast<unsigned long>(limit));
                return 1;
            }
            Sleep(PollMs);
        }
    } else if (command == "controls") {
        HWND window = Require(title);
        EnumChildWindows(window, ListControl, reinterpret_cast<LPARAM>(window));
    } else if (command == "click" && argc == 4) {
        Press(Control(Require(title), std::atoi(argv[3])));
    } else if (command == "type" && argc == 5) {
        SendMessageA(Control(Require(title), std::atoi(argv[3])), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4]));
    } else if (command == "key" && argc == 4) {
        HWND window = Require(title);
        const WPARAM key = std::strcmp(argv[3], "escape") == 0 ? VK_ESCAPE
                           : std::strcmp(argv[3], "return") == 0 ? VK_RETURN
                                                                 : 0;
        if (key == 0)
            Usage();
        // The dialog's message loop sees the key as the user's would: on the
        // control that has the focus in the window's thread.
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
        HWND target = info.hwndFocus ? info.hwndFocus : window;
        PostMessageA(target, WM_KEYDOWN, key, 1);
        PostMessageA(target, WM_KEYUP, key, 0xC0000001);
    } else if (command == "box") {
        HWND box = Require(title, WaitArg(argc, argv, 3));
        std::string text;
        EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&text));
        std::printf("%s: %s\n", title, text.c_str());
        std::fflush(stdout);
        // The box is answered, and gone, before the next one is looked for:
        // a program may show two boxes with one caption in a row.
        Press(Control(box, argc > 4 ? std::atoi(argv[4]) : IDOK));
        const DWORD start = GetTickCount();
        while (IsWindow(box)) {
            if (GetTickCount() - start >= DefaultWaitMs) {
                std::fprintf(stderr, "uidriver: box \"%s\" still open\n", title);
                return 1;
            }
            Sleep(PollMs);
        }
    } else if (command == "manifest") {
        // As data: the file may be of the other architecture.
        HMODULE file = LoadLibraryExA(title, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        HRSRC found = file ? FindResourceA(file, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)) : nullptr;
        HGLOBAL loaded = found ? LoadResource(file, found) : nullptr;
        const void* bytes = loaded ? LockResource(loaded) : nullptr;
        if (bytes == nullptr) {
            std::fprintf(stderr, "uidriver: no manifest in %s\n", title);
            return 1;
        }
        std::fwrite(bytes, 1, SizeofResource(file, found), stdout);
    } else if (command == "run") {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        DWORD code = 1;
        if (CreateProcessA(nullptr, argv[2], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process) &&
            WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &code);
        return static_cast<int>(code);
    } else if (command == "version") {
        // As Explorer's Details tab reads it: the strings of the first
        // language the resource lists.
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(title, &ignored);
        std::string data(size, '\0');
        VS_FIXEDFILEINFO* fixed = nullptr;
        WORD* language = nullptr;
        UINT length = 0;
        if (size == 0 || !GetFileVersionInfoA(title, 0, size, data.data()) ||
            !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
            !VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&language), &length)) {
            std::fprintf(stderr, "uidriver: no version resource in %s\n", title);
            return 1;
        }
        std::printf("%d.%d.%d.%d\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                    HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
        for (const char* name : {"CompanyName", "FileDescription", "FileVersion", "LegalCopyright", "OriginalFilename",
                                 "ProductName", "ProductVersion"}) {
            char path[128];
            std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", language[0], language[1], name);
            char* value = nullptr;
            std::printf("%s=%s\n", name, VerQueryValueA(data.data(), path, reinterpret_cast<void**>(&value), &length) ? value : "");
        }
    } else if (command == "trust") {
        wchar_t path[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, title, -1, path, MAX_PATH);
        WINTRUST_FILE_INFO file{};
        file.cbStruct = sizeof file;
        file.pcwszFilePath = path;
        WINTRUST_DATA trust{};
        trust.cbStruct = sizeof trust;
        trust.dwUIChoice = WTD_UI_NONE;
        trust.fdwRevocationChecks = WTD_REVOKE_NONE;
        trust.dwUnionChoice = WTD_CHOICE_FILE;
        trust.pFile = &file;
        trust.dwStateAction = WTD_STATEACTION_VERIFY;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        const LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
        trust.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
        std::printf("%08lX\n", static_cast<unsigned long>(verdict));
    } else if (command == "holdfile") {
        HANDLE file = CreateFileA(title, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return 1;
        std::printf("held %s\n", title);
        std::fflush(stdout);
        while (argc < 4 || GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES)
            Sleep(argc < 4 ? INFINITE : PollMs);
        CloseHandle(file);
    } else if (command == "hold") {
        HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 32, title);
        if (mapping == nullptr)
            return 1;
        std::printf("held %s\n", title);
        std::fflush(stdout);
        Sleep(INFINITE);
    } else {
        Usage();
    }
    return 0;
}
