// app.h - the operating system's services for the updater program itself:
// the system's version and language, named mappings, the registry, dialogs
// and the Program Manager's DDE service. The library layers below the
// application never include this header.
//
// The POSIX stand-ins behave as the program expects Windows to, and are
// steered by the environment so that tests can point them at a temporary
// place:
//   UPDATER_WINVER     "major.minor" that GetVersion reports (default 5.1)
//   LC_ALL, LANG       a value beginning with "nl" makes the system Dutch
//   UPDATER_WINDIR     the Windows directory (default C:\WINDOWS)
//   UPDATER_REGISTRY   the file that holds the current user's registry
//                      (default $HOME/.updater-registry)
//   UPDATER_MAPPINGS   the directory of the lock files that stand for named
//                      mappings (default: the temporary directory)
//   UPDATER_PROGMAN    the file in which the Program Manager service records
//                      the commands it accepts; unset: no service runs
// The console dialog prints the dialog's texts and reads its answers from
// standard input: "1" (or "install") confirms, "2" (or "cancel") cancels,
// and "2022=TEXT" types TEXT into the edit field 2022.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform.h"

// ---- System --------------------------------------------------------------

// GetVersion: major version in the lowest byte, minor in the next.
std::uint32_t OsGetVersion();
// GetSystemDefaultLangID.
std::uint16_t OsGetSystemDefaultLangId();
// GetWindowsDirectoryA into a 260-byte buffer; 0 on failure.
unsigned OsGetWindowsDirectory(char* buffer, unsigned size);

// CreateFileMappingA over the paging file: read-only, 32 bytes, inheritable,
// named. The object lives until the process ends (the handle is never
// closed). Answers whether the call failed or the name already existed.
enum class OsMappingResult { Created, AlreadyExists, Failed };
OsMappingResult OsCreateNamedMapping(const char* name);

// LoadLibraryA("comctl32.dll"), DllGetVersion when present (a zeroed
// 20-byte record with its size set), FreeLibrary; then InitCommonControls.
// false when the library is missing or DllGetVersion fails.
bool OsInitCommonControls();

// ExitProcess: ends at once, without the runtime's exit handlers.
[[noreturn]] void OsExitProcess(int code);

// ---- Registry (HKEY_CURRENT_USER) ------------------------------------------

// RegCreateKeyExA(HKCU, subkey, 0, className, 0, KEY_ALL_ACCESS, NULL, ...).
// 0 on failure.
OsHandle OsRegCreateKey(const char* subkey, const char* className);
// RegQueryValueExA of a string into size bytes (its zero included); false
// when the value is missing or does not fit.
bool OsRegQueryString(OsHandle key, const char* name, char* buffer, unsigned size);
// RegSetValueExA, REG_SZ, with the terminating zero.
bool OsRegSetString(OsHandle key, const char* name, const char* text);
void OsRegCloseKey(OsHandle key);

// ---- Windows and dialogs -------------------------------------------------

using OsWindow = std::uintptr_t;

// The messages a dialog procedure receives, with their Win32 numbers.
inline constexpr unsigned OsMsgDestroy = 0x0002;      // WM_DESTROY
inline constexpr unsigned OsMsgInitDialog = 0x0110;   // WM_INITDIALOG
inline constexpr unsigned OsMsgCommand = 0x0111;      // WM_COMMAND

using OsDialogProc = std::intptr_t (*)(OsWindow dialog, unsigned message, std::uintptr_t wParam,
                                       std::intptr_t lParam);

// DialogBoxParamA(AppInstance, MAKEINTRESOURCE(templateId), NULL, proc, 0).
std::intptr_t OsDialogBox(int templateId, OsDialogProc proc);
void OsEndDialog(OsWindow dialog, std::intptr_t result);
void OsSetDlgItemText(OsWindow dialog, int id, const char* text);
unsigned OsGetDlgItemText(OsWindow dialog, int id, char* buffer, int size);
void OsSetWindowText(OsWindow window, const char* text);
// LoadIconA(AppInstance, MAKEINTRESOURCE(id)) and STM_SETICON into each of
// the controls; nothing when the icon does not load.
void OsSetDlgIcon(OsWindow dialog, int iconId, const int* controls, int count);
// ShowWindow(GetDlgItem(dialog, id), SW_HIDE).
void OsHideDlgItem(OsWindow dialog, int id);
// GetWindowRect, and MoveWindow to (x, y) with the same size, no repaint.
void OsGetWindowSize(OsWindow window, int* width, int* height);
void OsMoveWindow(OsWindow window, int x, int y, int width, int height);
// CreateICA("DISPLAY"), GetDeviceCaps(index), DeleteDC.
int OsGetDisplayCaps(int index);
inline constexpr int OsHorzRes = 8;   // HORZRES
inline constexpr int OsVertRes = 10;  // VERTRES

// MessageBoxA with an owner window and an OK button.
int OsMessageBoxOwned(OsWindow owner, const char* text, const char* caption, OsIcon icon);

// ---- DDE (Program Manager) -----------------------------------------------

// DdeInitializeA(&instance, callback, APPCMD_CLIENTONLY, 0); 0 on failure.
std::uint32_t OsDdeInitialize();
// One conversation with "PROGMAN" (service and topic): an execute
// transaction of the text with its zero, CF_TEXT, time-out 1000 ms. true
// when the service accepted it; false also when no conversation was made.
bool OsDdeExecute(std::uint32_t instance, const char* service, const char* command);

// ---- The run's log ---------------------------------------------------------

// The local date and time (GetLocalTime / localtime_r).
struct OsClock {
    int year, month, day, hour, minute, second;
};
OsClock OsLocalTime();
// GetCurrentProcessId / getpid.
unsigned long OsProcessId();
// Appends text to the file at path in one write, creating the file when it
// is missing (FILE_APPEND_DATA with read and write sharing; O_APPEND), so
// that the lines of two runs logging at once never overwrite each other. On
// POSIX a final symbolic link is not followed. Only a regular file on a disk
// is written: the open never waits (a FIFO without a reader fails at once),
// and what it opened is checked by its handle, so a FIFO, a device or a
// folder answers NotAFile. Failed when the file cannot be opened or the
// whole text not written.
enum class OsAppendResult { Appended, NotAFile, Failed };
OsAppendResult OsAppendFile(const char* path, const char* text, std::size_t length);

// The temporary directory with its trailing separator, however long it is
// (GetTempPathA as large as it needs; TMPDIR, else /tmp/). Where the system
// gives none because the variable is too long for it, that variable (TMP,
// else TEMP), so that a refusal can name it; empty only when there is none.
std::string OsTempDirectory();

// ---- The program's entry ---------------------------------------------------

// The program's run, defined by the program: the platform's entry point
// (WinMain, or main on POSIX) calls it with the module instance and the
// command line after the program's name, and ends with its result.
int UpdaterRun(std::uintptr_t instance, const char* commandLine);
