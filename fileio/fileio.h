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

#include "diag.h"
#include "platform.h"

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
int FileTableCheck();
// The open record's file is incomplete until FileClose: should the program
// end on a failure first, the fatal path removes the file.
void FileMarkPartial(const FileRec* rec);
// The same for a file that is name inside a held folder (0: the current
// directory); removed there, never looked up by its whole path again.
void FileMarkPartialAt(const FileRec* rec, OsHandle folder, const char* name);
// Closes every file of the table and removes the incomplete ones: the fatal
// path's cleanup, and an interruption's (it allocates nothing).
void FileTableCloseAll();
// From now on an interruption (Ctrl-C, SIGTERM) removes the incomplete files
// and ends the process, as OsOnInterrupt says.
void FileCatchInterrupts();

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

// ---- Paths below a chosen folder -------------------------------------------
//
// The folder the caller chose (a target directory, the folder of an output
// the user named) is opened as named; every folder below it is opened from
// its parent's handle, never through a link, and held while the files in
// it are written. No name below the chosen folder is looked up whole again,
// so no folder swapped for a link on the way can carry a write elsewhere.

inline constexpr int FolderDepth = FileNameSize / 2;  // the most folders a path of 259 characters holds

struct FolderChain {
    OsHandle handles[FolderDepth + 1];
    int count;  // 0: the chain is the current directory alone
    // The folder that holds the path's last component (0: the current directory).
    OsHandle Innermost() const { return count > 0 ? handles[count - 1] : 0; }
};

enum FolderStop { FolderReached = 0, FolderMissing, FolderLink, FolderNotFolder, FolderFailed };

// Opens the folders of path: the chosen one, path[0, below) as named (the
// current directory when that is empty), then each one from below to the
// last separator. make: folders that are missing are made. Answers
// FolderReached with the chain held, or what stopped the walk with *where
// the length of the path's prefix it stopped at (nothing then held).
int FolderWalk(const char* path, std::size_t below, int make, FolderChain* chain, std::size_t* where);
void FolderRelease(FolderChain* chain);
// The offset of the path's last component.
std::size_t PathLeaf(const char* path);

// ---- Files written whole -----------------------------------------------------
//
// A file is written under a temporary name beside its real one, in the same
// held folder, and takes the real name in one step once it is complete and
// on the disk: a failure or an interruption before that leaves the old file
// (or none) and removes the temporary one.

// The temporary name is the real one and ".XXXXXX.tmp": a path must leave
// room for it.
inline constexpr int SiblingExtra = 11;

struct FileSibling {
    OsHandle folder;                // held by the caller; 0: the current directory
    char name[FileNameSize];        // the real name inside folder
    char temporary[FileNameSize];   // the name it is written under
};

// Creates the temporary file beside rec's name (the real path, FileInit
// done) inside folder, open for writing (and reading with read set): the
// record keeps the real name for its messages. Fatal 211 on failure.
void FileCreateSibling(FileRec* rec, FileSibling* sibling, OsHandle folder, int read = 0);
// Forces the data to the disk, gives the file its real name in one step
// (replacing the old file; 204 on failure) and closes the record.
void FileCommitSibling(FileRec* rec, const FileSibling* sibling);
