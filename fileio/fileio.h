// fileio.h - the FILEIO module: file records, the open-file table and the
// file-system utilities.
//
// Every file the program touches goes through a FileRec: a platform handle
// (0 = not open), a unit (the size in bytes of the unit in which all counts
// of this record are given: 1 for byte files, 432 for a file of 432-byte
// records) and a name of at most 259 characters. Each open registers its
// handle in the process-wide table of 30 slots; the fatal path closes
// whatever is still there, and the end of a run checks that nothing is.
//
// There are no error returns: a failure ends the program through FileError,
// "\nFile Error : name = [%s] code = %d". A short read at the end of a file
// is the one ordinary outcome; the tests answer 1 or 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/diag.h"
#include "platform/platform.h"

inline constexpr int FileNameSize = 260;   // 259 characters and the zero
inline constexpr int OpenFileSlots = 30;

// File error codes.
enum FileErrorCode {
    FileErrRead = 201,
    FileErrDelete = 203,
    FileErrRename = 204,
    FileErrWrite = 205,
    FileErrReadOnly = 206,
    FileErrPosition = 207,
    FileErrSize = 208,
    FileErrOpenRead = 209,
    FileErrOpenAppend = 210,
    FileErrCreate = 211,
    FileErrOpenUpdate = 212,
    FileErrOrigin = 432,
};

struct FileRec {
    OsHandle handle;          // 0 = not open
    std::int32_t unit;        // bytes per unit; negative only for deletion records
    char name[FileNameSize];  // zero-terminated
};

struct OpenFileSlot {
    OsHandle handle;  // 0 = slot free
    char name[FileNameSize];
};

extern OpenFileSlot OpenFileTable[OpenFileSlots];

// ---- Records, opens and transfers ----------------------------------------

// Clears the record, sets the unit and copies the name (when given). A name
// of 260 characters or more does not fit and ends the program.
void FileInit(FileRec* rec, int unit, const char* name);
// Ends the program when name does not fit a record: "OPERATION: name too long".
void FileCheckName(const char* name, const char* operation);
int FileIsClosed(const FileRec* rec);

void FileOpenRead(FileRec* rec);    // read, others may read; must exist (209)
void FileCreate(FileRec* rec);      // write, exclusive; created or truncated (211)
// A new file only: 0 when the name is taken, by anything (211 on other failures).
int FileCreateNew(FileRec* rec);
void FileOpenAppend(FileRec* rec);  // write, exclusive; created when missing, at its end (210)
void FileOpenUpdate(FileRec* rec);  // read and write, exclusive; created when missing (212)
void FileClose(FileRec* rec);
// FileOpenUpdate that answers 0 instead of failing while another open
// holds the file.
int FileTryOpenUpdate(FileRec* rec);

int FileRead(FileRec* rec, int count, void* buffer);          // units read; less = end of file
int FileWrite(FileRec* rec, int count, const void* buffer);   // count, or fatal
void FileSeek(FileRec* rec, int count, int origin);           // origin 0 start, 1 current, 2 end
int FileTell(FileRec* rec);
int FileSize(FileRec* rec);
long long FileSize64(FileRec* rec);  // of an open record, in bytes; -1 when unknown
void FileSetEnd(FileRec* rec);       // the file ends at the current position (205)

// ---- The open-file table -------------------------------------------------

void FileRegister(FileRec* rec);
void FileUnregister(FileRec* rec);
int FileTableClear();
void FileTableCloseAll();
int FileTableCheck();
// The open record's file is incomplete until FileClose: should the program
// end on a failure first, the fatal path removes the file.
void FileMarkPartial(const FileRec* rec);

[[noreturn]] void FileError(const FileRec* rec, int code);
int FileIsPrinter(const char* name);

// ---- File-system utilities -----------------------------------------------

int FileExists(const char* path);
int FileIsReadOnly(const char* path);
int FileIsBusy(const char* path);
int NameIsPlain(const char* name);
// 1 when the two texts are equal ignoring the case of ASCII letters, as the
// system compares file names and options.
int SameText(const char* a, const char* b);

int FileDelete(FileRec* rec);
void FileRename(FileRec* rec, const char* newName);
// Moves the record's file over target in one step (code 204 on failure) and
// takes the new name; the record should not be open.
void FileReplace(FileRec* rec, const char* target);
// Forces an open record's data to the disk (code 205 on failure).
void FileCommit(FileRec* rec);
void FileCopy(FileRec* source, FileRec* destination, void* buffer, int bufferSize);
int FileDosTime(FileRec* rec, std::uint32_t* out);

// Text on records of unit 1. FileReadLine's buffer holds max + 1 bytes.
int FileReadLine(FileRec* rec, char* buffer, int max);
int FileWriteLine(FileRec* rec, const char* text);
int FilePrintf(FileRec* rec, const char* format, ...) DIAG_PRINTF(2, 3);

// Outputs of SplitPath hold 260 bytes each; any may be null.
void StripExtension(char* name);
void SplitPath(const char* path, char* directory, char* base, char* extension);
int MakePath(const char* path);
// Length of the path's root, which is never created: "C:" or "C:\", a
// leading "\" or "/", or "\\server\share\"; 0 for a relative path.
std::size_t PathRootLength(const char* path);

int DirList(char* buffer, int capacity, const char* pattern);
int DirRemove(const char* directory, int withFiles);

// Appends to LOG.LOG in the current directory. A null format opens the log
// and keeps it open; the next null closes it.
int LogPrintf(const char* format, ...) DIAG_PRINTF(1, 2);
