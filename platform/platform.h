// platform.h - the one door to the operating system.
//
// Everything the program needs from the system goes through these few calls:
// files and directories, global memory, the temporary directory, the error
// box and the end of the process. There are two backends:
//
//   win32/  the real calls, with exactly the access, sharing, disposition and
//           flags the program has always used (CreateFileA and friends);
//   posix/  stand-ins that give the same results and effects on Linux, so the
//           library, the tool and the program's run logic can be tested fast.
//
// The interface speaks in the program's own terms: names are the program's
// single-byte paths with "\" separators (the POSIX side maps "\" to "/" here,
// at the boundary), and the value 0 is never a valid handle of any kind.
// Results follow the Win32 conventions the callers rely on (0xFFFFFFFF for a
// failed attribute query or file pointer move), so the code above reads like
// the system it mirrors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An open file, a find enumeration or a global memory block. 0 = none.
using OsHandle = std::uintptr_t;

inline constexpr std::uint32_t OsInvalidValue = 0xFFFFFFFFu;

// ---- Files ---------------------------------------------------------------

// Access rights (may be combined).
inline constexpr unsigned OsAccessRead = 1;   // GENERIC_READ
inline constexpr unsigned OsAccessWrite = 2;  // GENERIC_WRITE

// Sharing granted to other opens while this handle is open.
inline constexpr unsigned OsShareNone = 0;
inline constexpr unsigned OsShareRead = 1;  // FILE_SHARE_READ

enum class OsDisposition {
    OpenExisting,  // OPEN_EXISTING: fail when missing
    CreateAlways,  // CREATE_ALWAYS: create, or truncate an existing file
    OpenAlways,    // OPEN_ALWAYS: open, or create when missing
};

// File attribute bits, as GetFileAttributesA reports them.
inline constexpr std::uint32_t OsAttrReadOnly = 0x01;
inline constexpr std::uint32_t OsAttrDirectory = 0x10;

// CreateFileA without security attributes, attribute flags or template.
// Returns 0 on failure (never INVALID_HANDLE_VALUE). Opens disk files only,
// and never waits: a FIFO, a pipe, a console or another device is refused
// (OsFailure::NotAFile), except the printer ("prn") for writing.
OsHandle OsCreateFile(const char* name, unsigned access, unsigned share, OsDisposition disposition);

// ReadFile/WriteFile: one call; *done receives the bytes moved. false = the call failed.
bool OsReadFile(OsHandle file, void* buffer, std::uint32_t count, std::uint32_t* done);
bool OsWriteFile(OsHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done);

// SetFilePointer without a high part. origin: 0 start, 1 current, 2 end.
// Returns the new position, or OsInvalidValue on failure.
std::uint32_t OsSetFilePointer(OsHandle file, std::int32_t distance, int origin);

// GetFileSize without a high part; OsInvalidValue on failure.
std::uint32_t OsGetFileSize(OsHandle file);

// The whole size, high part included; -1 on failure.
std::int64_t OsGetFileSize64(OsHandle file);

// Creates a new, empty file with a fresh short name (fewer than size
// characters) in the current directory, exclusively, so that no other
// process can have chosen the same name. false when none could be made.
bool OsCreateUniqueFile(char* name, std::size_t size);

bool OsCloseHandle(OsHandle file);

// GetFileAttributesA; OsInvalidValue when the path cannot be queried.
std::uint32_t OsGetFileAttributes(const char* path);

// GetFileTime (last write) + FileTimeToDosDateTime, in the file system's UTC.
// false when either step fails; date and time are then left untouched.
bool OsGetFileDosTime(OsHandle file, std::uint16_t* dosDate, std::uint16_t* dosTime);

bool OsDeleteFile(const char* path);                       // DeleteFileA
bool OsMoveFile(const char* from, const char* to);         // MoveFileA
bool OsCreateDirectory(const char* path);                  // CreateDirectoryA(path, NULL)
bool OsRemoveDirectory(const char* path);                  // RemoveDirectoryA

// FindFirstFileA / FindNextFileA / FindClose. name receives the found name
// (at most 259 characters and its zero). OsFindFirst returns 0 on failure.
OsHandle OsFindFirst(const char* pattern, char name[260]);
bool OsFindNext(OsHandle find, char name[260]);
void OsFindClose(OsHandle find);

// GetTempPathA: the temporary directory with its trailing separator.
std::string OsTempPath();

// ---- Global memory -------------------------------------------------------

OsHandle OsGlobalAlloc(std::size_t size);  // GlobalAlloc(GMEM_MOVEABLE, size); 0 on failure
void* OsGlobalLock(OsHandle block);        // GlobalLock; nullptr on failure
void OsGlobalUnlock(OsHandle block);       // GlobalUnlock
void OsGlobalFree(OsHandle block);         // GlobalFree

// The system's text for the last error (FormatMessageA, system table,
// neutral language), without trailing line breaks.
std::string OsLastErrorText();

// ---- The user and the process --------------------------------------------

enum class OsIcon { None, Error, Information };

// MessageBoxA without owner and with an OK button only. Returns the button
// pressed (1 = OK), or 0 when the box could not be shown. The GUI programs on
// Windows link the real box; console programs (the lzx tool, every POSIX
// build) link the console reporter, which writes the caption and the text to
// standard error and answers OK.
int OsMessageBox(const char* text, const char* caption, OsIcon icon);

// Whether standard error goes to a terminal (for progress displays).
bool OsStderrIsTerminal();

// Ends the process once the standard streams are flushed, without running
// static destructors or atexit handlers: other threads may still be coding
// blocks with the objects those would destroy.
[[noreturn]] void OsExit(int code);

// ---- Threads -------------------------------------------------------------

// The number of processors the program may run on; at least 1.
int OsProcessorCount();

// Starts body(context) on a new thread (CreateThread / pthread_create).
// Returns 0 when no thread could be made; the caller then runs the body
// itself.
OsHandle OsThreadStart(void (*body)(void* context), void* context);

// Waits for a started thread to end and releases it.
void OsThreadJoin(OsHandle thread);

// Sleeps for the given number of milliseconds.
void OsSleep(unsigned milliseconds);

// ---- Paths ---------------------------------------------------------------

// Length of a root that is not a directory to create: 1 for an absolute
// POSIX path ("/..."), else 0. On Windows the drive prefix ("C:", "C:\") is
// recognised by the callers themselves, and a leading "\" is no root.
std::size_t OsRootLength(const char* path);

// Moves a file over another, replacing it in one step (rename, or
// MoveFileExA with MOVEFILE_REPLACE_EXISTING): a reader sees the old file or
// the new one, never a mixture.
bool OsReplaceFile(const char* from, const char* to);

// Forces a file's data to the disk (FlushFileBuffers / fsync).
bool OsFlushFile(OsHandle file);

// ---- File identity and exclusive creation ----------------------------------

// Whether two names reach one and the same existing file: through a link,
// another spelling or another path (the device and inode; on Windows the
// volume serial number and file index). false when either cannot be opened.
bool OsSameFile(const char* a, const char* b);

// ---- Failures, links and held files --------------------------------------

// What the last failed file call of this thread ran into, as far as the
// callers tell failures apart (GetLastError / errno).
enum class OsFailure {
    Other,
    DiskFull,  // ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL; ENOSPC, EDQUOT
    InUse,     // ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION; a held lock
    Exists,    // ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS; EEXIST
    Link,      // a symbolic link or junction where none may be followed
    NotFolder, // a file (or device) where a folder must be
    NotAFile,  // OsCreateFile found a FIFO, a pipe or a device, not a disk file
};
OsFailure OsLastFailure();
// The same failure in the system's own words (strerror, FormatMessage), one
// line with no final period; the few failures this layer sets itself in its
// own. Empty when the thread's last call did not fail.
std::string OsFailureText();

// Walks the prefixes of path that end at a separator after offset from, and
// the whole path, without following any of them: the length of the first
// one that is a symbolic link or a junction (any reparse point), or 0 when
// none is. The walk ends at the first prefix that does not exist, since
// nothing below it can be a link yet.
std::size_t OsLinkOnPath(const char* path, std::size_t from);

// The number of names (hard links) of the regular file at path, a final
// link not followed; 0 when there is no such file or it cannot be asked.
std::uint32_t OsLinkCount(const char* path);

// CreateFileA with CREATE_NEW and no sharing (O_CREAT | O_EXCL | O_NOFOLLOW):
// fails when anything has the name already, a file, a directory or a link,
// which is never followed, one that names nothing included (Wine shows no
// such link, but cannot create a file through it this way). 0 on failure.
OsHandle OsCreateNewFile(const char* name, unsigned access);

// SetEndOfFile: the file ends at the current position.
bool OsSetEndOfFile(OsHandle file);

// ---- Folders held open, and names inside them ---------------------------
//
// A path below a folder the caller chose is reached one component at a
// time, each opened relative to the handle of the folder before it and
// never through a symbolic link or junction: nobody can swap a folder on
// the way for a link between a check and a write, since nothing is looked
// up by its whole path again. A held folder is opened without delete
// sharing, so that on Windows it cannot be renamed or removed while its
// children are written.
//
// In the calls below, folder 0 stands for the current directory, and name
// is one component (the current directory's names may hold separators).

// The folder at path, opened as the caller names it: a link there is the
// caller's own choice. 0 when it is missing or no folder.
OsHandle OsOpenFolder(const char* path);
// The folder name inside folder, made first when make is set and nothing
// has the name yet; never through a link. 0 on failure, OsLastFailure()
// telling Link or NotFolder apart.
OsHandle OsOpenFolderAt(OsHandle folder, const char* name, bool make);
void OsCloseFolder(OsHandle folder);

// What a file or folder is, whatever names it: its volume and its number
// there (the device and inode; on Windows the volume serial number and the
// file index), and when it was made, where the system tells (0 where not):
// a number freed by a removed file may be given to a new one, which was
// made later. Two names with one identity are one file.
struct OsFileId {
    std::uint64_t volume;
    std::uint64_t index;
    std::uint64_t birth;
    bool operator==(const OsFileId&) const = default;
};

// What an open handle holds, asked through the handle itself: no name is
// looked up, so the answer is about the file that a write through the
// handle would change. false when it cannot be asked.
struct OsFileInfo {
    OsFileId id;
    std::uint32_t links;  // its names (hard links)
    std::int64_t size;
};
bool OsIdentify(OsHandle handle, OsFileInfo* info);

// What name inside folder is, a link not followed.
enum class OsEntryKind { Missing, File, Folder, Link, Other };
struct OsEntry {
    OsEntryKind kind;
    bool readOnly;
    std::uint32_t links;  // the names of a file (hard links)
    OsFileId id{};        // of what is there (not known of a link under Wine)
    std::int64_t size = 0;
};
// false when it cannot be asked (the entry is then unknown, not missing).
bool OsQueryAt(OsHandle folder, const char* name, OsEntry* entry);

// A new file name inside folder, created exclusively with no sharing (never
// through a link, not even one that names nothing), open for writing (and
// reading) and for its rename. 0 on failure.
OsHandle OsCreateNewFileAt(OsHandle folder, const char* name, unsigned access);
// An existing regular file inside folder, a link not followed, with the
// open's sharing (OsShareNone or OsShareRead). 0 on failure.
OsHandle OsOpenFileAt(OsHandle folder, const char* name, unsigned access, unsigned share);
// Gives the open file made by OsCreateNewFileAt, now named from, the name to
// inside the same folder in one step, replacing a file that has it (never a
// folder, a read-only file or one that another open holds). A reader sees
// the old file or the new one, never a mixture.
bool OsRenameFileAt(OsHandle file, OsHandle folder, const char* from, const char* to);
// DeleteFileA of name inside folder (a link itself, never what it names).
// Safe in an interruption's cleanup: it allocates nothing.
bool OsDeleteFileAt(OsHandle folder, const char* name);
// Deletes the open file that is name inside folder while it is still open,
// so that nobody can open it between its close and its deletion (the
// handle needs the rights OsCreateNewFileAt and OsOpenLockAt give); false
// when it cannot, and the caller closes it and deletes it by its name.
// Safe in an interruption's cleanup.
bool OsDeleteOpenFile(OsHandle file, OsHandle folder, const char* name);

// Moves the file from inside fromFolder to to inside toFolder (one
// volume), never replacing anything: fails when to is taken. A link is moved
// as itself.
bool OsMoveAt(OsHandle fromFolder, const char* from, OsHandle toFolder, const char* to);
// The file name inside folder, opened for reading, writing and its move
// with no sharing: fails (InUse) while another program holds it, and for a
// read-only file. The handle keeps it from others until it is moved.
OsHandle OsOpenExclusiveAt(OsHandle folder, const char* name);
// Moves the file open as file (OsOpenExclusiveAt, OsCreateNewFileAt), now
// from inside fromFolder, to to inside toFolder, never replacing anything.
bool OsMoveOpenFile(OsHandle file, OsHandle fromFolder, const char* from, OsHandle toFolder, const char* to);
// Whether the system renames and deletes by the whole path it keeps for a
// file rather than through the folder's handle (Wine does): a folder on the
// way swapped for a link meanwhile can then carry a rename elsewhere, and a
// program that must not be carried away writes into files instead. The
// POSIX stand-ins answer as UPDATER_RENAMES_BY_PATH=1 tells them, for tests.
bool OsRenamesByPath();
// Removes the empty folder name inside folder.
bool OsRemoveFolderAt(OsHandle folder, const char* name);
// The bytes this user may still write on the volume of folder; -1 unknown.
std::int64_t OsFreeSpace(OsHandle folder);
// Gives name inside folder the hidden attribute (nothing on POSIX).
void OsHideAt(OsHandle folder, const char* name);

// A lock that is a file: name inside folder, opened (created when missing)
// with no sharing, so that a second holder waits. Its contents are the
// holder's. 0 with OsLastFailure() InUse while another open holds it.
OsHandle OsOpenLockAt(OsHandle folder, const char* name);

// ---- Interruptions ---------------------------------------------------------

// From now on SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and
// closing the console) run cleanup and end the process with 128 + the
// signal's number (2 on Windows). cleanup runs inside the signal handler:
// it may only close handles and delete files (OsCloseHandle,
// OsDeleteFileAt). Coding threads never take the signal.
void OsOnInterrupt(void (*cleanup)());
// While held (calls nest), an interruption waits: for the moments in which
// a file exists that its cleanup could not yet find.
void OsHoldInterrupts();
void OsReleaseInterrupts();
// While deferred, an interruption only marks itself: the program asks
// OsInterruptPending at its next safe step and ends itself there, after
// undoing what it began (OsEndInterrupted). For work whose undoing is more
// than a cleanup can do inside a signal handler.
void OsDeferInterrupts(bool defer);
int OsInterruptPending();  // the signal's number, or 0
// Ends the process as the interruption would have: 128 + signal (2 on
// Windows).
[[noreturn]] void OsEndInterrupted(int signal);
// ---- Standard streams of console programs ------------------------------------

// Prepares the standard streams of a console program: a standard stream
// that was closed when the program started is replaced by a placeholder on which every transfer fails, so that no file
// the program opens takes its number and receives what was meant for the
// stream (POSIX); and a write to a pipe whose reader has gone failing with
// EPIPE instead of ending the process at once, so that the program can
// remove its temporary files first (POSIX). Called once, at start.
void OsStandardStreamsPrepare();

// Standard input (0) or output (1) carries data from now on: no line-end
// translation (Windows; a byte 0A would leave as 0D 0A, and a 1A end the
// input). Text keeps the system's line ends otherwise.
void OsStandardStreamBinary(int stream);

// Whether standard input or output is a terminal (a console).
bool OsStdinIsTerminal();
bool OsStdoutIsTerminal();

// Whether the write to a standard stream that has just failed found a pipe
// whose reader has gone (EPIPE; ERROR_BROKEN_PIPE, ERROR_NO_DATA ...). Asked at
// once, before any other call.
bool OsWriteFoundReaderGone();

// Ends the process the way a pipe's writer ends when its reader has gone:
// by SIGPIPE, with its default action restored (POSIX), so that shells see
// what they see of gzip or cat. Returns where there is no such signal
// (Windows); the caller then ends as it sees fit.
void OsEndByBrokenPipe();
