// folders.cpp - the Win32 backend's folders held open, the names inside
// them, and interruptions.
//
// A name inside a held folder is opened with NtCreateFile relative to the
// folder's handle (OBJECT_ATTRIBUTES.RootDirectory), with
// FILE_OPEN_REPARSE_POINT, so that a symbolic link or junction is opened as
// itself and shows in its attributes instead of being followed. Folders are
// held without FILE_SHARE_DELETE: while a child is written, nobody can
// rename or remove them. A finished file takes its real name through
// FileRenameInformation on its own open handle, relative to the same folder.
//
// Wine follows a Unix symbolic link whatever the flags say, and shows a link
// to a folder as a reparse point only in its folder's listing, a link to a
// file not at all; but what it opened is known by the handle: its file index
// is the Unix inode, and its final path the one the open resolved. Under
// Wine each folder opened is therefore checked against its parent's listing
// (no reparse point, the same file index: directories have one name only),
// and each file and folder against its final path. Wine renames and deletes
// by those paths, not by the handles: a rename inside one folder, from a
// name of the program's own, is what stays safe there while a folder is
// swapped for a link (it then fails instead).
#include "platform.h"

#include <windows.h>
#include <winternl.h>

#include <cwchar>
#include <string>

#ifndef FILE_OPEN_REPARSE_POINT
#define FILE_OPEN_REPARSE_POINT 0x00200000
#endif

namespace {

using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                          ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtSetInformationFileCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using NtQueryDirectoryFileCall = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG,
                                                  BOOLEAN, PUNICODE_STRING, BOOLEAN);
using StatusToErrorCall = ULONG(NTAPI*)(NTSTATUS);
using FinalPathCall = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

struct NtCalls {
    NtCreateFileCall create;
    NtSetInformationFileCall setInformation;
    NtQueryDirectoryFileCall queryDirectory;
    StatusToErrorCall toError;
    FinalPathCall finalPath;
    bool wine;
};

template <typename Call>
Call Find(HMODULE module, const char* name) {
    return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

const NtCalls& Nt() {
    static const NtCalls calls = [] {
        const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        const HMODULE kernel = GetModuleHandleA("kernel32.dll");
        return NtCalls{Find<NtCreateFileCall>(ntdll, "NtCreateFile"),
                       Find<NtSetInformationFileCall>(ntdll, "NtSetInformationFile"),
                       Find<NtQueryDirectoryFileCall>(ntdll, "NtQueryDirectoryFile"),
                       Find<StatusToErrorCall>(ntdll, "RtlNtStatusToDosError"),
                       Find<FinalPathCall>(kernel, "GetFinalPathNameByHandleW"),
                       GetProcAddress(ntdll, "wine_get_version") != nullptr};
    }();
    return calls;
}

constexpr ULONG FileRenameInformationClass = 10;
constexpr ULONG FileDispositionInformationClass = 13;
constexpr ULONG FileIdBothDirectoryInformationClass = 37;
constexpr int WideNameSize = 520;

// The errors by which OsLastFailure tells a link and a file in a folder's
// place apart.
constexpr DWORD ErrorLink = ERROR_CANT_RESOLVE_FILENAME;
constexpr DWORD ErrorNotFolder = ERROR_DIRECTORY;

HANDLE Native(OsHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

OsHandle Wrap(HANDLE handle) {
    return reinterpret_cast<OsHandle>(handle);
}

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

bool Failed(NTSTATUS status) {
    if (status >= 0)
        return false;
    SetLastError(Nt().toError ? Nt().toError(status) : ERROR_GEN_FAILURE);
    return true;
}

// The program's single-byte name in UTF-16, the system's own form; false
// when it does not fit.
bool Wide(const char* name, wchar_t* out, int* length) {
    *length = MultiByteToWideChar(CP_ACP, 0, name, -1, out, WideNameSize) - 1;
    return *length >= 0 || Fail(ERROR_FILENAME_EXCED_RANGE);
}

// NtCreateFile of name relative to folder (0: the current directory,
// opened for the call).
HANDLE OpenRelative(OsHandle folder, const char* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options, NTSTATUS* status = nullptr) {
    NTSTATUS ignored = 0;
    NTSTATUS& result = status ? *status : ignored;
    result = -1;
    wchar_t wide[WideNameSize];
    int length = 0;
    if (Nt().create == nullptr) {
        Fail(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    if (!Wide(name, wide, &length))
        return nullptr;
    HANDLE root = Native(folder);
    if (folder == 0) {
        root = CreateFileA(".", FILE_TRAVERSE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (root == INVALID_HANDLE_VALUE)
            return nullptr;
    }
    UNICODE_STRING text;
    text.Buffer = wide;
    text.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE handle = nullptr;
    result = Nt().create(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                         disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (folder == 0)
        CloseHandle(root);
    return Failed(result) ? nullptr : handle;
}

bool FileInfo(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
    return GetFileInformationByHandle(handle, info) != 0;
}

OsFileId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
    // NTFS numbers a file with a sequence that changes when the number is
    // used again: the index alone tells files apart over time.
    return OsFileId{info.dwVolumeSerialNumber, (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                    0};
}

// The entry of a folder's listing, as Wine reports it (see the top).
struct IdBothEntry {
    ULONG next, index;
    LARGE_INTEGER created, accessed, written, changed, size, allocated;
    ULONG attributes, nameLength, eaSize;
    CCHAR shortLength;
    WCHAR shortName[12];
    LARGE_INTEGER id;
    WCHAR name[1];
};

// Under Wine: whether the folder just opened as name inside folder is the
// one its parent lists under that name, and that entry no link.
bool ListedAs(OsHandle folder, const char* name, HANDLE opened) {
    if (!Nt().wine || Nt().queryDirectory == nullptr)
        return true;
    BY_HANDLE_FILE_INFORMATION info;
    wchar_t wide[WideNameSize];
    int length = 0;
    if (!FileInfo(opened, &info) || !Wide(name, wide, &length))
        return false;
    // A fresh handle for the listing: a handle keeps its first search
    // pattern.
    HANDLE listing = OpenRelative(folder, "", FILE_LIST_DIRECTORY,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (listing == nullptr)
        return false;
    alignas(8) char buffer[sizeof(IdBothEntry) + WideNameSize * sizeof(wchar_t)];
    UNICODE_STRING mask;
    mask.Buffer = wide;
    mask.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    mask.MaximumLength = mask.Length;
    IO_STATUS_BLOCK io;
    const NTSTATUS status = Nt().queryDirectory(listing, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                                                FileIdBothDirectoryInformationClass, TRUE, &mask, TRUE);
    CloseHandle(listing);
    if (status < 0)
        return false;
    const auto* entry = reinterpret_cast<const IdBothEntry*>(buffer);
    const ULONGLONG index = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return (entry->attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           static_cast<ULONGLONG>(entry->id.QuadPart) == index;
}

// The final path of a handle, or an empty text.
std::wstring FinalPath(HANDLE handle) {
    wchar_t path[1024];
    if (Nt().finalPath == nullptr)
        return {};
    const DWORD length = Nt().finalPath(handle, path, 1024, 0);
    return length == 0 || length >= 1024 ? std::wstring() : std::wstring(path, length);
}

// Under Wine: whether the file just opened as name inside folder lies
// there, and is not what a link there names.
bool ResolvesHere(OsHandle folder, const char* name, HANDLE opened) {
    if (!Nt().wine)
        return true;
    const std::wstring file = FinalPath(opened);
    HANDLE here = folder != 0 ? Native(folder)
                              : CreateFileA(".", FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    std::wstring expected = here != INVALID_HANDLE_VALUE ? FinalPath(here) : std::wstring();
    if (folder == 0 && here != INVALID_HANDLE_VALUE)
        CloseHandle(here);
    wchar_t wide[WideNameSize];
    int length = 0;
    if (file.empty() || expected.empty() || !Wide(name, wide, &length))
        return false;
    if (expected.back() != L'\\')
        expected += L'\\';
    expected.append(wide, static_cast<std::size_t>(length));
    return _wcsicmp(file.c_str(), expected.c_str()) == 0;
}

// A file opened inside folder must be a file of the disk, no link and not
// what one names; false (closing it) otherwise.
bool KeepFile(OsHandle folder, const char* name, HANDLE opened) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!FileInfo(opened, &info) || GetFileType(opened) != FILE_TYPE_DISK) {
        CloseHandle(opened);
        return Fail(ERROR_ACCESS_DENIED);
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !ResolvesHere(folder, name, opened)) {
        CloseHandle(opened);
        return Fail(ErrorLink);
    }
    return true;
}

constexpr ACCESS_MASK FolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr ULONG FolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;  // no FILE_SHARE_DELETE
constexpr ULONG AllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Renames the open file (DELETE access) to name inside folder; replace:
// over a file that has the name.
bool RenameOpen(HANDLE file, OsHandle folder, const char* name, bool replace) {
    if (Nt().setInformation == nullptr)
        return Fail(ERROR_CALL_NOT_IMPLEMENTED);
    struct {
        BOOLEAN replace;
        HANDLE root;
        ULONG length;
        WCHAR name[WideNameSize];
    } rename{};
    int length = 0;
    if (!Wide(name, rename.name, &length))
        return false;
    HANDLE here = Native(folder);
    if (folder == 0) {
        here = CreateFileA(".", FILE_TRAVERSE | SYNCHRONIZE, AllSharing, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (here == INVALID_HANDLE_VALUE)
            return false;
    }
    rename.replace = replace ? TRUE : FALSE;
    rename.root = here;
    rename.length = static_cast<ULONG>(length * sizeof(wchar_t));
    IO_STATUS_BLOCK io;
    const NTSTATUS status = Nt().setInformation(file, &io, &rename, sizeof rename, FileRenameInformationClass);
    if (folder == 0)
        CloseHandle(here);
    return !Failed(status);
}

}  // namespace

OsHandle OsOpenFolder(const char* path) {
    HANDLE folder = CreateFileA(path, FolderAccess | SYNCHRONIZE, FolderSharing, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (!FileInfo(folder, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(folder);
        Fail(ErrorNotFolder);
        return 0;
    }
    return Wrap(folder);
}

OsHandle OsOpenFolderAt(OsHandle folder, const char* name, bool make) {
    NTSTATUS status = 0;
    HANDLE opened = OpenRelative(folder, name, FolderAccess, FolderSharing, make ? FILE_OPEN_IF : FILE_OPEN,
                                 FILE_DIRECTORY_FILE, &status);
    if (opened == nullptr) {
        if (static_cast<ULONG>(status) == 0xC0000103UL)  // STATUS_NOT_A_DIRECTORY
            SetLastError(ErrorNotFolder);
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!FileInfo(opened, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !ListedAs(folder, name, opened) || !ResolvesHere(folder, name, opened)) {
        CloseHandle(opened);
        Fail(ErrorLink);
        return 0;
    }
    return Wrap(opened);
}

void OsCloseFolder(OsHandle folder) {
    if (folder != 0)
        CloseHandle(Native(folder));
}

bool OsQueryAt(OsHandle folder, const char* name, OsEntry* entry) {
    *entry = OsEntry{OsEntryKind::Missing, false, 0};
    NTSTATUS status = 0;
    HANDLE opened = OpenRelative(folder, name, FILE_READ_ATTRIBUTES, AllSharing, FILE_OPEN, 0, &status);
    if (opened == nullptr) {
        const ULONG code = static_cast<ULONG>(status);
        // Wine answers STATUS_NO_SUCH_FILE for a link that names nothing:
        // the name is taken, and by a link.
        if (code == 0xC000000FUL)
            entry->kind = OsEntryKind::Link;
        return code == 0xC0000034UL || code == 0xC000003AUL || code == 0xC000000FUL;  // not found
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = FileInfo(opened, &info);
    if (known) {
        const DWORD attributes = info.dwFileAttributes;
        const bool folderEntry = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
                          (folderEntry ? !ListedAs(folder, name, opened) : !ResolvesHere(folder, name, opened));
        entry->kind = link           ? OsEntryKind::Link
                      : folderEntry  ? OsEntryKind::Folder
                      : GetFileType(opened) == FILE_TYPE_DISK ? OsEntryKind::File
                                                               : OsEntryKind::Other;
        entry->readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        entry->links = info.nNumberOfLinks;
        entry->id = IdOf(info);
        entry->size = static_cast<std::int64_t>((static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    }
    CloseHandle(opened);
    return known;
}

bool OsIdentify(OsHandle handle, OsFileInfo* info) {
    BY_HANDLE_FILE_INFORMATION known;
    if (handle == 0 || !FileInfo(Native(handle), &known))
        return false;
    info->id = IdOf(known);
    info->links = known.nNumberOfLinks;
    info->size = static_cast<std::int64_t>((static_cast<ULONGLONG>(known.nFileSizeHigh) << 32) | known.nFileSizeLow);
    return true;
}

OsHandle OsCreateNewFileAt(OsHandle folder, const char* name, unsigned access) {
    ACCESS_MASK desired = GENERIC_WRITE | DELETE;
    if (access & OsAccessRead)
        desired |= GENERIC_READ;
    HANDLE opened = OpenRelative(folder, name, desired, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    return opened == nullptr || !KeepFile(folder, name, opened) ? 0 : Wrap(opened);
}

OsHandle OsOpenFileAt(OsHandle folder, const char* name, unsigned access, unsigned share) {
    ACCESS_MASK desired = 0;
    if (access & OsAccessRead)
        desired |= GENERIC_READ;
    if (access & OsAccessWrite)
        desired |= GENERIC_WRITE;
    const ULONG sharing = (share & OsShareRead) ? FILE_SHARE_READ : 0;
    HANDLE opened = OpenRelative(folder, name, desired, sharing, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    return opened == nullptr || !KeepFile(folder, name, opened) ? 0 : Wrap(opened);
}

bool OsRenameFileAt(OsHandle file, OsHandle folder, const char*, const char* to) {
    // Windows refuses to replace a folder or a read-only file; Wine replaces
    // a read-only one: asked first, so that both refuse alike.
    OsEntry target;
    if (!OsQueryAt(folder, to, &target))
        return false;
    if (target.kind == OsEntryKind::Folder || target.kind == OsEntryKind::Other)
        return Fail(ERROR_ACCESS_DENIED);
    if (target.kind == OsEntryKind::File && target.readOnly)
        return Fail(ERROR_ACCESS_DENIED);
    return RenameOpen(Native(file), folder, to, true);
}

bool OsDeleteFileAt(OsHandle folder, const char* name) {
    if (folder == 0)
        return DeleteFileA(name) != 0;
    HANDLE opened = OpenRelative(folder, name, DELETE, AllSharing, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE);
    return opened != nullptr && CloseHandle(opened) != 0;
}

bool OsDeleteOpenFile(OsHandle file, OsHandle, const char*) {
    if (file == 0 || Nt().setInformation == nullptr)
        return false;
    BOOLEAN remove = TRUE;
    IO_STATUS_BLOCK io;
    return Nt().setInformation(Native(file), &io, &remove, sizeof remove, FileDispositionInformationClass) >= 0;
}

OsHandle OsOpenLockAt(OsHandle folder, const char* name) {
    HANDLE opened = OpenRelative(folder, name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, FILE_OPEN_IF,
                                 FILE_NON_DIRECTORY_FILE);
    return opened == nullptr || !KeepFile(folder, name, opened) ? 0 : Wrap(opened);
}

namespace {

using NtQueryVolumeCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using NtQueryInformationCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);

constexpr ULONG FileBasicInformationClass = 4;
constexpr ULONG FileFsFullSizeInformationClass = 7;

}  // namespace

bool OsMoveAt(OsHandle fromFolder, const char* from, OsHandle toFolder, const char* to) {
    HANDLE file = OpenRelative(fromFolder, from, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
    if (file == nullptr)
        return false;
    // Wine renames by the names it keeps for the file and the folder: both
    // must be where they were opened, never what a link there named.
    if (!ResolvesHere(fromFolder, from, file)) {
        CloseHandle(file);
        return Fail(ErrorLink);
    }
    const bool moved = RenameOpen(file, toFolder, to, false);
    const DWORD error = GetLastError();
    CloseHandle(file);
    return moved || Fail(error);
}

OsHandle OsOpenExclusiveAt(OsHandle folder, const char* name) {
    HANDLE opened =
        OpenRelative(folder, name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (opened == nullptr || !KeepFile(folder, name, opened))
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (!FileInfo(opened, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
        CloseHandle(opened);
        Fail(ERROR_ACCESS_DENIED);
        return 0;
    }
    return Wrap(opened);
}

bool OsMoveOpenFile(OsHandle file, OsHandle, const char*, OsHandle toFolder, const char* to) {
    return RenameOpen(Native(file), toFolder, to, false);
}

bool OsRemoveFolderAt(OsHandle folder, const char* name) {
    HANDLE opened = OpenRelative(folder, name, DELETE, AllSharing, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (opened == nullptr || Nt().setInformation == nullptr)
        return opened != nullptr && CloseHandle(opened) && false;
    BOOLEAN remove = TRUE;
    IO_STATUS_BLOCK io;
    const bool removed = !Failed(Nt().setInformation(opened, &io, &remove, sizeof remove, FileDispositionInformationClass));
    CloseHandle(opened);
    return removed;
}

std::int64_t OsFreeSpace(OsHandle folder) {
    static const auto query = Find<NtQueryVolumeCall>(GetModuleHandleA("ntdll.dll"), "NtQueryVolumeInformationFile");
    if (query == nullptr || folder == 0)
        return -1;
    struct {
        LARGE_INTEGER total, callerAvailable, actualAvailable;
        ULONG sectorsPerUnit, bytesPerSector;
    } size{};
    IO_STATUS_BLOCK io;
    if (query(Native(folder), &io, &size, sizeof size, FileFsFullSizeInformationClass) < 0)
        return -1;
    return size.callerAvailable.QuadPart * size.sectorsPerUnit * size.bytesPerSector;
}

bool OsRenamesByPath() {
    return Nt().wine;
}

void OsHideAt(OsHandle folder, const char* name) {
    static const auto query = Find<NtQueryInformationCall>(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile");
    HANDLE opened = OpenRelative(folder, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, AllSharing, FILE_OPEN, 0);
    if (opened == nullptr)
        return;
    struct {
        LARGE_INTEGER created, accessed, written, changed;
        ULONG attributes;
    } basic{};
    IO_STATUS_BLOCK io;
    if (query != nullptr && Nt().setInformation != nullptr &&
        query(opened, &io, &basic, sizeof basic, FileBasicInformationClass) >= 0) {
        basic.created.QuadPart = basic.accessed.QuadPart = basic.written.QuadPart = basic.changed.QuadPart = 0;
        basic.attributes |= FILE_ATTRIBUTE_HIDDEN;
        Nt().setInformation(opened, &io, &basic, sizeof basic, FileBasicInformationClass);
    }
    CloseHandle(opened);
}

// ---- Interruptions ---------------------------------------------------------
//
// The console's control handler runs on a thread of its own: it waits while
// the program holds interruptions, stops the program's thread, cleans up
// and ends the process at once (TerminateProcess: no library detaches while
// coding threads wait).

namespace {

CRITICAL_SECTION InterruptLock;
bool InterruptReady = false;
void (*InterruptCleanup)() = nullptr;
HANDLE ProgramThread = nullptr;

volatile LONG InterruptDeferred = 0;
volatile LONG InterruptMarked = 0;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (InterruptDeferred) {
        // The program undoes its work and ends itself; a closing console
        // ends the process when this returns, so it waits for that.
        InterruptMarked = 2;
        if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
            for (;;)
                Sleep(1000);
        return TRUE;
    }
    EnterCriticalSection(&InterruptLock);
    if (ProgramThread != nullptr)
        SuspendThread(ProgramThread);
    if (InterruptCleanup != nullptr)
        InterruptCleanup();
    TerminateProcess(GetCurrentProcess(), 2);
    return TRUE;
}

}  // namespace

void OsOnInterrupt(void (*cleanup)()) {
    if (!InterruptReady) {
        InitializeCriticalSection(&InterruptLock);
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &ProgramThread,
                        THREAD_SUSPEND_RESUME, FALSE, 0);
        InterruptReady = true;
    }
    InterruptCleanup = cleanup;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void OsHoldInterrupts() {
    if (InterruptReady)
        EnterCriticalSection(&InterruptLock);
}

void OsReleaseInterrupts() {
    if (InterruptReady)
        LeaveCriticalSection(&InterruptLock);
}

void OsDeferInterrupts(bool defer) {
    InterruptDeferred = defer ? 1 : 0;
}

int OsInterruptPending() {
    return static_cast<int>(InterruptMarked);
}

[[noreturn]] void OsEndInterrupted(int) {
    TerminateProcess(GetCurrentProcess(), 2);
    ExitProcess(2);
}
