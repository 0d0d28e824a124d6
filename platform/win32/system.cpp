// system.cpp - the Win32 backend: the real calls, with the program's flags.
//
// Every open passes no security attributes, no attribute flags and no
// template file; every query and transfer is one call without a high part,
// as the file layer above expects. Only the mapping of INVALID_HANDLE_VALUE
// to 0 is ours: above this file, 0 is "not open".
#include "platform.h"

#include <atomic>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

HANDLE Native(OsHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The printer, the one device the file layer writes to: a last name that
// begins with "prn", in any case, as the file layer judges it.
bool NamesPrinter(const char* name) {
    const char* last = std::strrchr(name, '\\');
    const char* part = last ? last + 1 : name;
    return (part[0] | 0x20) == 'p' && (part[1] | 0x20) == 'r' && (part[2] | 0x20) == 'n';
}

OsHandle Wrap(HANDLE handle) {
    return reinterpret_cast<OsHandle>(handle);
}

}  // namespace

OsHandle OsCreateFile(const char* name, unsigned access, unsigned share, OsDisposition disposition) {
    DWORD desired = 0;
    if (access & OsAccessRead)
        desired |= GENERIC_READ;
    if (access & OsAccessWrite)
        desired |= GENERIC_WRITE;
    const DWORD sharing = (share & OsShareRead) ? FILE_SHARE_READ : 0;
    DWORD how = OPEN_EXISTING;
    if (disposition == OsDisposition::CreateAlways)
        how = CREATE_ALWAYS;
    else if (disposition == OsDisposition::OpenAlways)
        how = OPEN_ALWAYS;
    HANDLE file = CreateFileA(name, desired, sharing, nullptr, how, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE || file == nullptr)
        return 0;
    // A pipe, the console or a serial port can hold a read or a write
    // forever: only disk files are taken, and the printer for writing.
    if (GetFileType(file) != FILE_TYPE_DISK && !((access & OsAccessWrite) && NamesPrinter(name))) {
        CloseHandle(file);
        SetLastError(ERROR_BAD_FILE_TYPE);
        return 0;
    }
    return Wrap(file);
}

bool OsReadFile(OsHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) {
    DWORD got = 0;
    BOOL ok = ReadFile(Native(file), buffer, count, &got, nullptr);
    *done = got;
    return ok != 0;
}

bool OsWriteFile(OsHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done) {
    // A write that stops short without an error (Wine, at a full disk) is
    // continued, so that the call that fails says why.
    const auto* at = static_cast<const char*>(buffer);
    *done = 0;
    while (*done < count) {
        DWORD put = 0;
        if (!WriteFile(Native(file), at + *done, count - *done, &put, nullptr))
            return false;
        if (put == 0)
            break;
        *done += put;
    }
    return true;
}

std::uint32_t OsSetFilePointer(OsHandle file, std::int32_t distance, int origin) {
    static const DWORD method[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
    if (origin < 0 || origin > 2)
        return OsInvalidValue;
    return SetFilePointer(Native(file), distance, nullptr, method[origin]);
}

std::uint32_t OsGetFileSize(OsHandle file) {
    return GetFileSize(Native(file), nullptr);
}

std::int64_t OsGetFileSize64(OsHandle file) {
    DWORD high = 0;
    const DWORD low = GetFileSize(Native(file), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return -1;
    return (static_cast<std::int64_t>(high) << 32) | low;
}

bool OsCreateUniqueFile(char* name, std::size_t size) {
    static std::atomic<unsigned> counter{0};  // streams open on any thread
    const unsigned seed = static_cast<unsigned>(GetCurrentProcessId()) * 2654435761u ^ GetTickCount();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const unsigned tag = (seed + counter.fetch_add(1) * 40503u) & 0xFFFFFF;
        if (std::snprintf(name, size, "lzx%06X.tmp", tag) >= static_cast<int>(size))
            return false;
        HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

bool OsCloseHandle(OsHandle file) {
    return CloseHandle(Native(file)) != 0;
}

std::uint32_t OsGetFileAttributes(const char* path) {
    return GetFileAttributesA(path);
}

bool OsGetFileDosTime(OsHandle file, std::uint16_t* dosDate, std::uint16_t* dosTime) {
    FILETIME written;
    WORD date = 0;
    WORD time = 0;
    if (!GetFileTime(Native(file), nullptr, nullptr, &written))
        return false;
    if (!FileTimeToDosDateTime(&written, &date, &time))
        return false;
    *dosDate = date;
    *dosTime = time;
    return true;
}

bool OsDeleteFile(const char* path) {
    return DeleteFileA(path) != 0;
}

bool OsMoveFile(const char* from, const char* to) {
    return MoveFileA(from, to) != 0;
}

bool OsCreateDirectory(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

bool OsRemoveDirectory(const char* path) {
    return RemoveDirectoryA(path) != 0;
}

OsHandle OsFindFirst(const char* pattern, char name[260]) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE || find == nullptr)
        return 0;
    std::memcpy(name, found.cFileName, sizeof found.cFileName);
    name[259] = 0;
    return Wrap(find);
}

bool OsFindNext(OsHandle find, char name[260]) {
    WIN32_FIND_DATAA found;
    if (!FindNextFileA(Native(find), &found))
        return false;
    std::memcpy(name, found.cFileName, sizeof found.cFileName);
    name[259] = 0;
    return true;
}

void OsFindClose(OsHandle find) {
    FindClose(Native(find));
}

std::string OsTempPath() {
    char path[MAX_PATH + 1] = {};
    DWORD length = GetTempPathA(sizeof path, path);
    if (length == 0 || length > MAX_PATH)
        return std::string();
    return std::string(path, length);
}

OsHandle OsGlobalAlloc(std::size_t size) {
    return Wrap(GlobalAlloc(GMEM_MOVEABLE, size));
}

void* OsGlobalLock(OsHandle block) {
    return GlobalLock(Native(block));
}

void OsGlobalUnlock(OsHandle block) {
    GlobalUnlock(Native(block));
}

void OsGlobalFree(OsHandle block) {
    GlobalFree(Native(block));
}

std::string OsLastErrorText() {
    const DWORD error = GetLastError();
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error,
                                  0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = (length && text) ? std::string(text, length) : std::string();
    if (text)
        LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    return result;
}

bool OsStderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

[[noreturn]] void OsExit(int code) {
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(code));
}

std::size_t OsRootLength(const char*) {
    return 0;
}

bool OsReplaceFile(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool OsFlushFile(OsHandle file) {
    return FlushFileBuffers(Native(file)) != 0;
}

int OsProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const DWORD count = info.dwNumberOfProcessors;
    return count < 1 ? 1 : count > 1024 ? 1024 : static_cast<int>(count);
}

namespace {

struct ThreadStart {
    void (*body)(void*);
    void* context;
};

DWORD WINAPI RunThread(LPVOID start) {
    const ThreadStart run = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    run.body(run.context);
    return 0;
}

}  // namespace

OsHandle OsThreadStart(void (*body)(void* context), void* context) {
    auto* run = new (std::nothrow) ThreadStart{body, context};
    if (run == nullptr)
        return 0;
    HANDLE thread = CreateThread(nullptr, 0, RunThread, run, 0, nullptr);
    if (thread == nullptr) {
        delete run;
        return 0;
    }
    return Wrap(thread);
}

void OsThreadJoin(OsHandle thread) {
    WaitForSingleObject(Native(thread), INFINITE);
    CloseHandle(Native(thread));
}

void OsSleep(unsigned milliseconds) {
    Sleep(milliseconds);
}

// ---- Failures, links and held files --------------------------------------

OsFailure OsLastFailure() {
    switch (GetLastError()) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return OsFailure::DiskFull;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return OsFailure::InUse;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return OsFailure::Exists;
        case ERROR_CANT_RESOLVE_FILENAME:  // set by folders.cpp for a link
            return OsFailure::Link;
        case ERROR_DIRECTORY:
            return OsFailure::NotFolder;
        case ERROR_BAD_FILE_TYPE:  // set by OsCreateFile for anything but a disk file
            return OsFailure::NotAFile;
        default:
            return OsFailure::Other;
    }
}

std::string OsFailureText() {
    const DWORD error = GetLastError();
    switch (error) {
        case ERROR_SUCCESS:
            return {};
        case ERROR_BAD_FILE_TYPE:  // set by OsCreateFile
            return "not a disk file";
        case ERROR_CANT_RESOLVE_FILENAME:  // set by folders.cpp
            return "a link or junction, which is not followed";
        default:
            break;
    }
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ' ||
                          text[length - 1] == '.'))
        --length;
    if (length == 0)
        return "system error " + std::to_string(error);
    return std::string(text, length);
}

namespace {

// The volume and index of a file, opened for no access (attributes only),
// sharing everything, so that it can be asked even while others hold it.
bool FileIdentity(const char* name, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE file = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const BOOL ok = GetFileInformationByHandle(file, info);
    CloseHandle(file);
    return ok != 0;
}

using FinalPathCall = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);

// GetFinalPathNameByHandleA where the system has it (Vista and later):
// looked up by name, so that older systems still load the program.
FinalPathCall FinalPathFunction() {
    static const FinalPathCall call = reinterpret_cast<FinalPathCall>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA")));
    return call;
}

bool FinalPath(const char* path, std::string* out) {
    const FinalPathCall call = FinalPathFunction();
    if (call == nullptr)
        return false;
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char name[1024];
    const DWORD length = call(file, name, sizeof name, 0);
    CloseHandle(file);
    if (length == 0 || length >= sizeof name)
        return false;
    out->assign(name, length);
    return true;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                                                  b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

// A file that is not where its folder is: a symbolic link that the
// attributes do not show (Wine reports a link to a file as that file, while
// the final path of what opens is the file it names).
bool ResolvesElsewhere(const char* path, std::size_t length) {
    std::size_t leaf = length;
    while (leaf > 0 && path[leaf - 1] != '\\' && path[leaf - 1] != '/')
        --leaf;
    if (leaf == 0 || leaf == length)
        return false;
    // The folder keeps its separator only as a drive's root ("C:\").
    const std::size_t folderLength = (leaf >= 2 && path[leaf - 2] == ':') ? leaf : leaf - 1;
    const std::string folder(path, folderLength);
    std::string folderFinal;
    std::string fileFinal;
    if (!FinalPath(folder.c_str(), &folderFinal) || !FinalPath(path, &fileFinal))
        return false;
    if (folderFinal.empty() || folderFinal.back() != '\\')
        folderFinal += '\\';
    return !SameIgnoringCase(fileFinal, folderFinal + std::string(path + leaf, length - leaf));
}

}  // namespace

bool OsSameFile(const char* a, const char* b) {
    BY_HANDLE_FILE_INFORMATION one, two;
    if (!FileIdentity(a, &one) || !FileIdentity(b, &two))
        return false;
    return one.dwVolumeSerialNumber == two.dwVolumeSerialNumber && one.nFileIndexHigh == two.nFileIndexHigh &&
           one.nFileIndexLow == two.nFileIndexLow;
}

std::size_t OsLinkOnPath(const char* path, std::size_t from) {
    const std::size_t length = std::strlen(path);
    char prefix[MAX_PATH];
    if (length >= sizeof prefix)
        return 0;
    // GetFileAttributesA does not follow a final reparse point: a symbolic
    // link or a junction shows its own attribute.
    for (std::size_t end = from + 1; end <= length; ++end) {
        if (end < length && path[end] != '\\' && path[end] != '/')
            continue;
        std::memcpy(prefix, path, end);
        prefix[end] = 0;
        const DWORD attributes = GetFileAttributesA(prefix);
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return 0;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return end;
        if (end == length && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && ResolvesElsewhere(path, length))
            return end;
    }
    return 0;
}

std::uint32_t OsLinkCount(const char* path) {
    // No access rights are needed to ask; the reparse point itself is
    // opened, not what it names.
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info) != 0 &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    CloseHandle(file);
    return known ? info.nNumberOfLinks : 0;
}

OsHandle OsCreateNewFile(const char* name, unsigned access) {
    DWORD desired = GENERIC_WRITE;
    if (access & OsAccessRead)
        desired |= GENERIC_READ;
    HANDLE file = CreateFileA(name, desired, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE || file == nullptr)
        return 0;
    return Wrap(file);
}

bool OsSetEndOfFile(OsHandle file) {
    return SetEndOfFile(Native(file)) != 0;
}
