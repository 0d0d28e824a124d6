// filerec.cpp - file records over platform handles, and the open-file table.
//
// Each transfer is exactly one platform call: the layer buffers nothing (the
// compressed stream keeps its own buffers). Counts are in the record's unit,
// so a version file is read and positioned in whole 432-byte records, and a
// trailing part of a record is simply not counted.
//
// The table has 30 slots, taken from the lowest free one. It exists so that
// the fatal path can close every file before the process ends, and so that
// the end of a run can prove that every file was closed. Files open and
// close on any thread (two extractions may run side by side), so a spin lock
// guards the slots. It is taken with interruptions held and never held
// across a report, so neither the cleanup of an interruption nor that of a
// fatal report (which close the files under it) can find it held by their
// own thread.
#include "fileio.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

OpenFileSlot OpenFileTable[OpenFileSlots];

namespace {

// Slots whose file is incomplete until it is closed: the fatal path (and an
// interruption) removes such a file, so that what a failed write leaves
// never looks whole. The file is named as it was made: inside a held folder
// (0: the current directory, or a whole path).
struct PartialFile {
    bool marked;
    OsHandle folder;
    char name[FileNameSize];
};
PartialFile SlotPartial[OpenFileSlots];

// The table changes with interruptions held, so that the cleanup never
// finds a slot half made.
struct HeldInterrupts {
    HeldInterrupts() { OsHoldInterrupts(); }
    ~HeldInterrupts() { OsReleaseInterrupts(); }
    HeldInterrupts(const HeldInterrupts&) = delete;
    HeldInterrupts& operator=(const HeldInterrupts&) = delete;
};

std::atomic_flag TableBusy = ATOMIC_FLAG_INIT;

// The slots, to one thread at a time; interruptions held first.
struct TableLock {
    TableLock() {
        while (TableBusy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~TableLock() { TableBusy.clear(std::memory_order_release); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

// The fatal path closes every registered file; the diagnostics library
// cannot know the table, so the table introduces itself.
[[maybe_unused]] const bool CleanupInstalled = (SetFatalCleanup(FileTableCloseAll), true);


// The byte count of a transfer: count units. A count that is negative or
// whose bytes do not fit a 32-bit signed size is a broken caller.
std::uint32_t ByteCount(const FileRec* rec, int count) {
    if (rec->unit <= 0)
        InternalError("FILEIO", __LINE__, 'u');
    const long long bytes = static_cast<long long>(count) * rec->unit;
    if (count < 0 || bytes > 0x7FFFFFFF)
        InternalError("FILEIO", __LINE__, '#');
    return static_cast<std::uint32_t>(bytes);
}

void OpenWith(FileRec* rec, unsigned access, unsigned share, OsDisposition disposition, int code) {
    rec->handle = OsCreateFile(rec->name, access, share, disposition);
    if (rec->handle == 0)
        FileError(rec, code);
}

// Before the truncating open: Windows grants it to an administrator on a
// read-only file (and Wine to root), and the file would be empty by the
// time the check after the open refused it.
void RefuseReadOnly(const FileRec* rec) {
    const std::uint32_t attributes = OsGetFileAttributes(rec->name);
    if (attributes != OsInvalidValue && (attributes & OsAttrReadOnly) && !(attributes & OsAttrDirectory) &&
        !FileIsPrinter(rec->name))
        FileError(rec, FileErrReadOnly);
}

// A file error's reason in words: the system's, when the call just made
// failed, or else the operation's.
std::string FileErrorReason(int code) {
    if (code == FileErrReadOnly)
        return "the file is read-only";  // from its attributes, not from a failed call
    std::string reason = OsFailureText();
    if (!reason.empty())
        return reason;
    switch (code) {
        case FileErrRead:
            return "cannot be read";
        case FileErrDelete:
            return "cannot be removed";
        case FileErrRename:
            return "cannot be renamed";
        case FileErrWrite:
            return "cannot be written";
        case FileErrPosition:
            return "cannot be positioned";
        case FileErrSize:
            return "its size cannot be read";
        case FileErrCreate:
            return "cannot be created";
        default:
            return "cannot be opened";
    }
}

[[noreturn]] void FileErrorSaying(const FileRec* rec, int code, const char* words) {
    FatalAbout(rec->name, FileErrorReason(code));
    LogTrace("\nFile Error : name = [%s] code = %d\n%s", rec->name, code, words);
    FatalMessage("\nFile Error : name = [%s] code = %d\n%s", rec->name, code, words);
}

// After the three writing opens: a file that turns out read-only (or whose
// attributes cannot be read) is refused, unless it is the printer.
void CheckWritable(const FileRec* rec) {
    const std::uint32_t attributes = OsGetFileAttributes(rec->name);
    if ((attributes == OsInvalidValue || (attributes & OsAttrReadOnly)) && !FileIsPrinter(rec->name))
        FileError(rec, FileErrReadOnly);
}

}  // namespace

void FileCheckName(const char* name, const char* operation) {
    const std::size_t length = std::strlen(name);
    if (length >= FileNameSize) {
        FatalAbout(name, "the name is too long");
        FatalMessage("%s: name too long (%zu characters, at most %d) [%s]", operation, length, FileNameSize - 1,
                     name);
    }
}

void FileInit(FileRec* rec, int unit, const char* name) {
    std::memset(rec, 0, sizeof *rec);
    rec->unit = unit;
    if (name) {
        FileCheckName(name, "FileInit");
        std::strcpy(rec->name, name);
    }
}

int FileIsClosed(const FileRec* rec) {
    return rec->handle == 0 ? 1 : 0;
}

void FileOpenRead(FileRec* rec) {
    OpenWith(rec, OsAccessRead, OsShareRead, OsDisposition::OpenExisting, FileErrOpenRead);
    FileRegister(rec);
}

void FileCreate(FileRec* rec) {
    RefuseReadOnly(rec);
    OpenWith(rec, OsAccessWrite, OsShareNone, OsDisposition::CreateAlways, FileErrCreate);
    FileRegister(rec);
    CheckWritable(rec);
}

namespace {

// The end of an open that may fail softly: 0 for the one failure the
// caller expects (the record stays closed), the file error for any other,
// else the open record registered and checked as the other opens are.
int TakeOpen(FileRec* rec, OsHandle handle, OsFailure expected, int code) {
    rec->handle = handle;
    if (rec->handle == 0) {
        if (OsLastFailure() == expected)
            return 0;
        FileError(rec, code);
    }
    FileRegister(rec);
    CheckWritable(rec);
    return 1;
}

}  // namespace

int FileCreateNew(FileRec* rec) {
    return TakeOpen(rec, OsCreateNewFile(rec->name, OsAccessWrite), OsFailure::Exists, FileErrCreate);
}

void FileOpenAppend(FileRec* rec) {
    OpenWith(rec, OsAccessWrite, OsShareNone, OsDisposition::OpenAlways, FileErrOpenAppend);
    FileSeek(rec, 0, 2);
    FileRegister(rec);
    CheckWritable(rec);
}

void FileOpenUpdate(FileRec* rec) {
    OpenWith(rec, OsAccessRead | OsAccessWrite, OsShareNone, OsDisposition::OpenAlways, FileErrOpenUpdate);
    FileRegister(rec);
    CheckWritable(rec);
}

namespace {

// Frees a record's slot; close: closes its handle first, under the same
// hold of the table. The system may give a closed handle's number to the
// next file another thread opens, which must not find it still here.
void Unstack(FileRec* rec, bool close) {
    {
        HeldInterrupts held;
        TableLock lock;
        if (close)
            OsCloseHandle(rec->handle);
        for (int slot = 0; slot < OpenFileSlots; ++slot) {
            if (OpenFileTable[slot].handle == rec->handle) {
                OpenFileTable[slot].handle = 0;
                OpenFileTable[slot].name[0] = 0;
                SlotPartial[slot].marked = false;
                return;
            }
        }
    }
    FatalMessage("Illegal unstack [%s]", rec->name);
}

}  // namespace

void FileClose(FileRec* rec) {
    if (rec->handle == 0)
        return;
    Unstack(rec, true);
    rec->handle = 0;
}

int FileRead(FileRec* rec, int count, void* buffer) {
    std::uint32_t got = 0;
    if (!OsReadFile(rec->handle, buffer, ByteCount(rec, count), &got))
        FileError(rec, FileErrRead);
    return static_cast<int>(got / static_cast<std::uint32_t>(rec->unit));
}

int FileWrite(FileRec* rec, int count, const void* buffer) {
    const std::uint32_t bytes = ByteCount(rec, count);
    std::uint32_t put = 0;
    if (!OsWriteFile(rec->handle, buffer, bytes, &put) || put < bytes) {
        if (OsLastFailure() == OsFailure::DiskFull)
            FileErrorSaying(rec, FileErrWrite, "disk full");
        FileError(rec, FileErrWrite);
    }
    return count;
}

void FileSeek(FileRec* rec, int count, int origin) {
    if (origin < 0 || origin > 2)
        FileError(rec, FileErrOrigin);
    // The distance is a signed 32-bit byte count; one that does not fit
    // cannot be reached and fails like any other refused move.
    const long long distance = static_cast<long long>(count) * rec->unit;
    if (distance < INT32_MIN || distance > INT32_MAX)
        FileError(rec, FileErrPosition);
    if (OsSetFilePointer(rec->handle, static_cast<std::int32_t>(distance), origin) == OsInvalidValue)
        FileError(rec, FileErrPosition);
}

int FileTell(FileRec* rec) {
    const std::uint32_t position = OsSetFilePointer(rec->handle, 0, 1);
    if (position == OsInvalidValue)
        FileError(rec, FileErrPosition);
    if (rec->unit <= 0)
        InternalError("FILEIO", __LINE__, 'u');
    return static_cast<int>(position / static_cast<std::uint32_t>(rec->unit));
}

int FileSize(FileRec* rec) {
    const bool opened = rec->handle == 0;
    if (opened)
        FileOpenRead(rec);
    const std::uint32_t size = OsGetFileSize(rec->handle);
    if (size == OsInvalidValue)
        FileError(rec, FileErrSize);
    if (opened)
        FileClose(rec);
    if (rec->unit <= 0)
        InternalError("FILEIO", __LINE__, 'u');
    return static_cast<std::int32_t>(size) / rec->unit;
}

long long FileSize64(FileRec* rec) {
    return OsGetFileSize64(rec->handle);
}

void FileRegister(FileRec* rec) {
    int line = 131, code = 94;  // no free slot
    {
        HeldInterrupts held;
        TableLock lock;
        for (int slot = 0; slot < OpenFileSlots; ++slot) {
            if (OpenFileTable[slot].handle == 0) {
                OpenFileTable[slot].handle = rec->handle;
                std::memcpy(OpenFileTable[slot].name, rec->name, FileNameSize);
                return;
            }
            if (OpenFileTable[slot].handle == rec->handle) {
                line = 128, code = 95;
                break;
            }
        }
    }
    InternalError("FILEIO", line, code);
}

void FileUnregister(FileRec* rec) {
    Unstack(rec, false);
}

int FileTableClear() {
    {
        HeldInterrupts held;
        TableLock lock;
        for (int slot = 0; slot < OpenFileSlots; ++slot) {
            OpenFileTable[slot].handle = 0;
            SlotPartial[slot].marked = false;
        }
    }
    SetFatalCleanup(FileTableCloseAll);
    return 0;
}

void FileTableCloseAll() {
    HeldInterrupts held;
    TableLock lock;
    for (int slot = 0; slot < OpenFileSlots; ++slot) {
        const OsHandle handle = OpenFileTable[slot].handle;
        if (handle == 0)
            continue;
        PartialFile& partial = SlotPartial[slot];
        // An incomplete file goes while it is still open where the system
        // allows: nobody can take it up between its close and its removal.
        const bool gone = partial.marked && OsDeleteOpenFile(handle, partial.folder, partial.name);
        OsCloseHandle(handle);
        OpenFileTable[slot].handle = 0;
        if (partial.marked && !gone)
            OsDeleteFileAt(partial.folder, partial.name);
        partial.marked = false;
    }
}

void FileCatchInterrupts() {
    OsOnInterrupt(FileTableCloseAll);
}

void FileMarkPartialAt(const FileRec* rec, OsHandle folder, const char* name) {
    if (std::strlen(name) >= FileNameSize)
        InternalError("FILEIO", __LINE__, 'n');
    {
        HeldInterrupts held;
        TableLock lock;
        for (int slot = 0; slot < OpenFileSlots; ++slot) {
            if (rec->handle != 0 && OpenFileTable[slot].handle == rec->handle) {
                PartialFile& partial = SlotPartial[slot];
                partial.folder = folder;
                std::memcpy(partial.name, name, std::strlen(name) + 1);
                partial.marked = true;
                return;
            }
        }
    }
    InternalError("FILEIO", __LINE__, 'p');
}

void FileMarkPartial(const FileRec* rec) {
    FileMarkPartialAt(rec, 0, rec->name);
}

int FileTryOpenUpdate(FileRec* rec) {
    const OsHandle handle =
        OsCreateFile(rec->name, OsAccessRead | OsAccessWrite, OsShareNone, OsDisposition::OpenAlways);
    return TakeOpen(rec, handle, OsFailure::InUse, FileErrOpenUpdate);
}

void FileSetEnd(FileRec* rec) {
    if (!OsSetEndOfFile(rec->handle))
        FileError(rec, FileErrWrite);
}

int FileTableCheck() {
    HeldInterrupts held;
    TableLock lock;
    for (const OpenFileSlot& slot : OpenFileTable) {
        if (slot.handle != 0) {
            LogTrace("\nFile not closed [%s]", slot.name);
            return 1;
        }
    }
    return 0;
}

[[noreturn]] void FileError(const FileRec* rec, int code) {
    FatalAbout(rec->name, FileErrorReason(code));
    LogTrace("\nFile Error : name = [%s] code = %d", rec->name, code);
    FatalMessage("\nFile Error : name = [%s] code = %d", rec->name, code);
}

int FileIsPrinter(const char* name) {
    const char* last = std::strrchr(name, '\\');
    const char* part = last ? last + 1 : name;
    static const char printer[] = "prn";
    for (int i = 0; i < 3; ++i) {
        char c = part[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != printer[i])
            return 0;
    }
    return 1;
}

// ---- Files written whole -------------------------------------------------------

namespace {

// A fresh tag for each temporary name, so that two runs writing one folder
// do not meet; a name taken all the same is tried again with the next.
// Two threads may make siblings at once: the count is atomic.
unsigned NextTag() {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed =
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                              reinterpret_cast<std::uintptr_t>(&counter)) * 2654435761u;
    return (seed + counter.fetch_add(1) * 40503u) & 0xFFFFFF;
}

}  // namespace

void FileCreateSibling(FileRec* rec, FileSibling* sibling, OsHandle folder, int read) {
    const char* leaf = rec->name + PathLeaf(rec->name);
    const std::size_t length = std::strlen(leaf);
    if (length == 0)
        FileError(rec, FileErrCreate);
    if (std::strlen(rec->name) + SiblingExtra >= FileNameSize) {
        FatalAbout(rec->name, "the name is too long");
        FatalMessage("%s: name too long (%zu characters, at most %d) [%s]", "FileCreate", std::strlen(rec->name),
                     FileNameSize - 1 - SiblingExtra, rec->name);
    }
    sibling->folder = folder;
    std::memcpy(sibling->name, leaf, length + 1);
    // What the new file will replace is asked first, as a writing open
    // would: a read-only file stays, a folder cannot be replaced.
    OsEntry existing;
    if (OsQueryAt(folder, leaf, &existing)) {
        if (existing.kind == OsEntryKind::File && existing.readOnly && !FileIsPrinter(rec->name))
            FileError(rec, FileErrReadOnly);
        if (existing.kind == OsEntryKind::Folder || existing.kind == OsEntryKind::Other)
            FileError(rec, FileErrCreate);
        // A file another program holds cannot be replaced: found before the
        // new one is written, as a writing open finds it.
        if (existing.kind == OsEntryKind::File) {
            const OsHandle probe = OsOpenFileAt(folder, leaf, OsAccessWrite, OsShareNone);
            if (probe == 0 && OsLastFailure() == OsFailure::InUse)
                FileError(rec, FileErrCreate);
            if (probe != 0)
                OsCloseHandle(probe);
        }
    }
    const unsigned access = read ? (OsAccessRead | OsAccessWrite) : OsAccessWrite;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(sibling->temporary, sizeof sibling->temporary, "%s.%06X.tmp", leaf, NextTag());
        HeldInterrupts held;
        rec->handle = OsCreateNewFileAt(folder, sibling->temporary, access);
        if (rec->handle != 0) {
            FileRegister(rec);
            FileMarkPartialAt(rec, folder, sibling->temporary);
            return;
        }
        if (OsLastFailure() != OsFailure::Exists)
            break;
    }
    FileError(rec, FileErrCreate);
}

void FileCommitSibling(FileRec* rec, const FileSibling* sibling) {
    FileCommit(rec);
    {
        // Once renamed, the file is the real one: the cleanup must not find
        // it still marked.
        HeldInterrupts held;
        if (!OsRenameFileAt(rec->handle, sibling->folder, sibling->temporary, sibling->name))
            FileError(rec, FileErrRename);
        TableLock lock;
        for (int slot = 0; slot < OpenFileSlots; ++slot) {
            if (OpenFileTable[slot].handle == rec->handle)
                SlotPartial[slot].marked = false;
        }
    }
    FileClose(rec);
}
