// app.cpp - the updater's Windows services: the real calls.
#include "app.h"

#include <windows.h>
#include <commctrl.h>
#include <ddeml.h>
#include <shlwapi.h>

namespace {

HWND Window(OsWindow window) {
    return reinterpret_cast<HWND>(window);
}

HINSTANCE Instance() {
    return GetModuleHandleA(nullptr);
}

// The dialog procedure of the dialog on screen: the program shows one modal
// dialog at a time.
OsDialogProc CurrentProc = nullptr;

INT_PTR CALLBACK DialogThunk(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    return CurrentProc ? CurrentProc(reinterpret_cast<OsWindow>(dialog), message, wParam, lParam) : FALSE;
}

}  // namespace

// The DDE callback: the updater is a client only and handles nothing.
HDDEDATA CALLBACK DdeCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
    return nullptr;
}

std::uint32_t OsGetVersion() {
    return static_cast<std::uint32_t>(GetVersion());
}

std::uint16_t OsGetSystemDefaultLangId() {
    return GetSystemDefaultLangID();
}

unsigned OsGetWindowsDirectory(char* buffer, unsigned size) {
    return GetWindowsDirectoryA(buffer, size);
}

OsMappingResult OsCreateNamedMapping(const char* name) {
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, TRUE};
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &security, PAGE_READONLY, 0, 32, name);
    if (mapping == nullptr)
        return OsMappingResult::Failed;
    return GetLastError() == ERROR_ALREADY_EXISTS ? OsMappingResult::AlreadyExists : OsMappingResult::Created;
}

bool OsInitCommonControls() {
    HMODULE library = LoadLibraryA("comctl32.dll");
    if (library == nullptr)
        return false;
    bool passed = true;
    using GetDllVersion = HRESULT(CALLBACK*)(DLLVERSIONINFO*);
    auto getVersion = reinterpret_cast<GetDllVersion>(
        reinterpret_cast<void (*)()>(GetProcAddress(library, "DllGetVersion")));
    if (getVersion != nullptr) {
        DLLVERSIONINFO info;
        ZeroMemory(&info, sizeof info);
        info.cbSize = sizeof info;  // 20 bytes
        passed = getVersion(&info) == 0;
    }
    FreeLibrary(library);
    if (passed)
        InitCommonControls();
    return passed;
}

[[noreturn]] void OsExitProcess(int code) {
    ExitProcess(static_cast<UINT>(code));
}

OsHandle OsRegCreateKey(const char* subkey, const char* className) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, subkey, 0, const_cast<char*>(className), REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS)
        return 0;
    return reinterpret_cast<OsHandle>(key);
}

bool OsRegQueryString(OsHandle key, const char* name, char* buffer, unsigned size) {
    DWORD length = size;
    return RegQueryValueExA(reinterpret_cast<HKEY>(key), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                            &length) == ERROR_SUCCESS;
}

bool OsRegSetString(OsHandle key, const char* name, const char* text) {
    return RegSetValueExA(reinterpret_cast<HKEY>(key), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(lstrlenA(text) + 1)) == ERROR_SUCCESS;
}

void OsRegCloseKey(OsHandle key) {
    RegCloseKey(reinterpret_cast<HKEY>(key));
}

std::intptr_t OsDialogBox(int templateId, OsDialogProc proc) {
    CurrentProc = proc;
    const INT_PTR result = DialogBoxParamA(Instance(), MAKEINTRESOURCEA(templateId), nullptr, DialogThunk, 0);
    CurrentProc = nullptr;
    return result;
}

void OsEndDialog(OsWindow dialog, std::intptr_t result) {
    EndDialog(Window(dialog), result);
}

void OsSetDlgItemText(OsWindow dialog, int id, const char* text) {
    SetDlgItemTextA(Window(dialog), id, text);
}

unsigned OsGetDlgItemText(OsWindow dialog, int id, char* buffer, int size) {
    return GetDlgItemTextA(Window(dialog), id, buffer, size);
}

void OsSetWindowText(OsWindow window, const char* text) {
    SetWindowTextA(Window(window), text);
}

void OsSetDlgIcon(OsWindow dialog, int iconId, const int* controls, int count) {
    HICON icon = LoadIconA(Instance(), MAKEINTRESOURCEA(iconId));
    if (icon == nullptr)
        return;
    for (int i = 0; i < count; ++i)
        SendDlgItemMessageA(Window(dialog), controls[i], STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
}

void OsHideDlgItem(OsWindow dialog, int id) {
    ShowWindow(GetDlgItem(Window(dialog), id), SW_HIDE);
}

void OsGetWindowSize(OsWindow window, int* width, int* height) {
    RECT rect;
    GetWindowRect(Window(window), &rect);
    *width = rect.right - rect.left;
    *height = rect.bottom - rect.top;
}

void OsMoveWindow(OsWindow window, int x, int y, int width, int height) {
    MoveWindow(Window(window), x, y, width, height, FALSE);
}

int OsGetDisplayCaps(int index) {
    HDC context = CreateICA("DISPLAY", nullptr, nullptr, nullptr);
    const int value = GetDeviceCaps(context, index);
    DeleteDC(context);
    return value;
}

int OsMessageBoxOwned(OsWindow owner, const char* text, const char* caption, OsIcon icon) {
    UINT style = MB_OK;
    if (icon == OsIcon::Error)
        style |= MB_ICONERROR;
    else if (icon == OsIcon::Information)
        style |= MB_ICONINFORMATION;
    return MessageBoxA(Window(owner), text, caption, style);
}

std::uint32_t OsDdeInitialize() {
    DWORD instance = 0;
    if (DdeInitializeA(&instance, DdeCallback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR)
        return 0;
    return instance;
}

bool OsDdeExecute(std::uint32_t instance, const char* service, const char* command) {
    HSZ name = DdeCreateStringHandleA(instance, service, CP_WINANSI);
    bool accepted = false;
    HCONV conversation = DdeConnect(instance, name, name, nullptr);
    if (conversation != nullptr) {
        HDDEDATA result = DdeClientTransaction(reinterpret_cast<BYTE*>(const_cast<char*>(command)),
                                               static_cast<DWORD>(lstrlenA(command) + 1), conversation, nullptr,
                                               CF_TEXT, XTYP_EXECUTE, 1000, nullptr);
        accepted = result != nullptr;
        DdeDisconnect(conversation);
    }
    DdeFreeStringHandle(instance, name);
    return accepted;
}

// ---- The run's log ---------------------------------------------------------

OsClock OsLocalTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

unsigned long OsProcessId() {
    return GetCurrentProcessId();
}

OsAppendResult OsAppendFile(const char* path, const char* text, std::size_t length) {
    // Append access alone: every write goes to the end of the file as it is
    // then, whoever else appends meanwhile.
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return OsAppendResult::Failed;
    // A pipe, the console or a device would take the lines, or wait with
    // them: only a file on a disk is a log.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return OsAppendResult::NotAFile;
    }
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    const BOOL closed = CloseHandle(file);
    return wrote && closed && written == length ? OsAppendResult::Appended : OsAppendResult::Failed;
}

std::string OsTempDirectory() {
    const DWORD size = GetTempPathA(0, nullptr);
    if (size > 0) {
        std::string path(size, '\0');
        const DWORD length = GetTempPathA(size, path.data());
        if (length > 0 && length < size) {
            path.resize(length);
            return path;
        }
    }
    // Windows (and Wine) give no temporary directory when the variable is
    // longer than a path may be.
    for (const char* name : {"TMP", "TEMP"}) {
        const DWORD needed = GetEnvironmentVariableA(name, nullptr, 0);
        if (needed == 0)
            continue;
        std::string value(needed, '\0');
        const DWORD length = GetEnvironmentVariableA(name, value.data(), needed);
        if (length > 0 && length < needed) {
            value.resize(length);
            return value.back() == '\\' ? value : value + '\\';
        }
    }
    return std::string();
}
