// fsutil.cpp - file-system utilities over file records.
//
// Whole-file operations (delete, rename, copy, time stamp), tests on names,
// path splitting, creation of a directory chain, directory listing and
// emptying, line-oriented text, and the log LOG.LOG. Failures that concern a
// FileRec end the program through FileError; MakePath, DirList, DirRemove
// and the tests report failure only by their answer.
#include "fileio.h"

#include <cstdarg>
#include <cstring>
#include <string>

namespace {

FileRec LogFile;
int LogKeepOpen = 0;

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Copies text into a 260-byte buffer; false when it would not fit.
bool CopyPath(char* out, const char* text, std::size_t length) {
    if (length >= FileNameSize)
        return false;
    std::memcpy(out, text, length);
    out[length] = 0;
    return true;
}

}  // namespace

// ---- Tests ---------------------------------------------------------------

int FileExists(const char* path) {
    return OsGetFileAttributes(path) != OsInvalidValue ? 1 : 0;
}

int FileIsReadOnly(const char* path) {
    // A missing path answers 1 too: the failure value has every bit set.
    return static_cast<int>(OsGetFileAttributes(path) & OsAttrReadOnly);
}

int FileIsBusy(const char* path) {
    const OsHandle file = OsCreateFile(path, OsAccessRead, OsShareNone, OsDisposition::OpenExisting);
    if (file == 0)
        return 1;
    OsCloseHandle(file);
    return 0;
}

int NameIsPlain(const char* name) {
    if (name == nullptr)
        return 0;
    return std::strpbrk(name, ".\"/\\[]:;=,") == nullptr ? 1 : 0;
}

int SameText(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        const char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y)
            return 0;
    }
    return *a == *b ? 1 : 0;
}

// ---- Operations on a record ----------------------------------------------

int FileDelete(FileRec* rec) {
    if (FileExists(rec->name) && !OsDeleteFile(rec->name)) {
        if (rec->unit < 0)
            return 0;
        FileError(rec, FileErrDelete);
    }
    return 1;
}

void FileRename(FileRec* rec, const char* newName) {
    FileCheckName(newName, "FileRename");
    if (!OsMoveFile(rec->name, newName))
        FileError(rec, FileErrRename);
    std::strcpy(rec->name, newName);
}

void FileReplace(FileRec* rec, const char* target) {
    FileCheckName(target, "FileReplace");
    if (!OsReplaceFile(rec->name, target))
        FileError(rec, FileErrRename);
    std::strcpy(rec->name, target);
}

void FileCommit(FileRec* rec) {
    if (!OsFlushFile(rec->handle))
        FileError(rec, FileErrWrite);
}

void FileCopy(FileRec* source, FileRec* destination, void* buffer, int bufferSize) {
    // A buffer smaller than one unit would copy nothing, forever.
    if (source->unit <= 0 || source->unit != destination->unit)
        InternalError("FILEIO", __LINE__, 'u');
    const int count = bufferSize / source->unit;
    if (count < 1)
        InternalError("FILEIO", __LINE__, '#');
    FileOpenRead(source);
    FileCreate(destination);
    int n;
    do {
        n = FileRead(source, count, buffer);
        FileWrite(destination, n, buffer);
    } while (n == count);
    FileClose(destination);
    FileClose(source);
}

int FileDosTime(FileRec* rec, std::uint32_t* out) {
    const bool opened = FileIsClosed(rec) != 0;
    if (opened)
        FileOpenRead(rec);
    // When the platform cannot give a stamp, the answer is the zero stamp.
    std::uint16_t date = 0;
    std::uint16_t time = 0;
    OsGetFileDosTime(rec->handle, &date, &time);
    if (out)
        *out = static_cast<std::uint32_t>(date) * 65536u + time;
    if (opened)
        FileClose(rec);
    return 1;
}

// ---- Text ----------------------------------------------------------------

namespace {

// The text calls move single bytes and characters: a record of any other
// unit would move whole units into a one-byte place.
void CheckByteUnit(const FileRec* rec, int line) {
    if (rec->unit != 1)
        InternalError("FILEIO", line, 'u');
}

}  // namespace

int FileReadLine(FileRec* rec, char* buffer, int max) {
    CheckByteUnit(rec, __LINE__);
    if (max < 1)
        InternalError("FILEIO", __LINE__, '#');
    if (buffer)
        std::memset(buffer, 0, static_cast<std::size_t>(max));
    int i = 0;
    int got = 0;
    for (;;) {
        char byte = 0;
        const bool came = FileRead(rec, 1, &byte) == 1;
        const bool lineEnd = byte == 13 || byte == 10;
        if (came && !lineEnd) {
            if (buffer)
                buffer[i] = byte;
            ++i;
            got = 1;
        }
        // Line ends in front of a line are skipped; one after it ends it.
        if (!came || i >= max || (lineEnd && i != 0))
            break;
    }
    if (buffer)
        buffer[i] = 0;
    return got;
}

int FileWriteLine(FileRec* rec, const char* text) {
    CheckByteUnit(rec, __LINE__);
    const int written = FileWrite(rec, static_cast<int>(std::strlen(text)), text);
    return written + FileWrite(rec, 2, "\r\n");
}

int FilePrintf(FileRec* rec, const char* format, ...) {
    CheckByteUnit(rec, __LINE__);
    va_list args;
    va_start(args, format);
    const std::string text = FormatText(format, args);
    va_end(args);
    FileWrite(rec, static_cast<int>(text.size()), text.data());
    return static_cast<int>(text.size());
}

// ---- Names and paths -----------------------------------------------------

void StripExtension(char* name) {
    for (std::size_t i = std::strlen(name); i-- > 0;) {
        if (name[i] == '.') {
            name[i] = 0;
            return;
        }
        if (name[i] == '\\')
            return;
    }
}

void SplitPath(const char* path, char* directory, char* base, char* extension) {
    const std::size_t length = std::strlen(path);
    if (length >= FileNameSize)
        FatalMessage("SplitPath: path too long (%zu characters, at most %d) [%s]", length, FileNameSize - 1, path);

    // "/" separates as "\" does: both systems take it so, and a directory
    // part that missed it would leave the folders before it uncreated.
    std::size_t k = 0;  // just after the last "\", "/" or ":"
    for (std::size_t i = 0; i < length; ++i) {
        if (IsSeparator(path[i]) || path[i] == ':')
            k = i + 1;
    }
    if (base) {
        CopyPath(base, path + k, length - k);
        StripExtension(base);
    }
    if (extension) {
        extension[0] = 0;
        for (std::size_t i = length; i-- > 0;) {
            if (path[i] == '.') {
                CopyPath(extension, path + i + 1, length - i - 1);
                break;
            }
            if (IsSeparator(path[i]))
                break;
        }
    }
    if (directory)
        CopyPath(directory, path, k);
}

std::size_t PathRootLength(const char* path) {
    if (IsSeparator(path[0]) && IsSeparator(path[1])) {
        // "\\server\share\": neither the server nor the share is a folder
        // that could be created.
        std::size_t i = 2;
        for (int part = 0; part < 2; ++part) {
            while (path[i] != 0 && !IsSeparator(path[i]))
                ++i;
            if (path[i] != 0)
                ++i;
        }
        return i;
    }
    const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    if (letter && path[1] == ':')
        return IsSeparator(path[2]) ? 3 : 2;
    return IsSeparator(path[0]) ? 1 : 0;
}

int MakePath(const char* path) {
    const std::size_t length = std::strlen(path);
    char prefix[FileNameSize];
    if (length >= FileNameSize)
        return 0;  // no such path can exist here, so it cannot be made
    const std::size_t root = PathRootLength(path);

    // Each boundary closes one prefix. The root ("C:\", "\", "/" or
    // "\\server\share\") exists or not on its own, so it is never created
    // or tested: folders below every form of root can be made.
    std::size_t start = root;
    for (;;) {
        std::size_t cut = length;
        for (std::size_t i = start; i < length; ++i) {
            if (IsSeparator(path[i])) {
                cut = i;
                break;
            }
        }
        if (cut > start || cut == length) {  // doubled separators close no new prefix
            CopyPath(prefix, path, cut);
            if (!FileExists(prefix) && !OsCreateDirectory(prefix))
                return 0;
        }
        if (cut == length)
            return 1;
        start = cut + 1;
    }
}

// ---- Directories ---------------------------------------------------------

int DirList(char* buffer, int capacity, const char* pattern) {
    char name[FileNameSize];
    const OsHandle find = OsFindFirst(pattern, name);
    if (find == 0)
        return 0;
    int pos = 0;
    int count = 0;
    bool more = true;
    while (more) {
        const int length = static_cast<int>(std::strlen(name));
        if (pos + length + 1 >= capacity)
            break;
        std::memcpy(buffer + pos, name, static_cast<std::size_t>(length) + 1);
        ++count;
        pos += length + 1;
        more = OsFindNext(find, name);
    }
    OsFindClose(find);
    return count;
}

int DirRemove(const char* directory, int withFiles) {
    int ok = 1;
    if (withFiles) {
        static char list[4192];
        std::memset(list, 0, sizeof list);
        const std::string pattern = std::string(directory) + "\\*.*";
        const int count = DirList(list, sizeof list - 1, pattern.c_str());
        const char* name = list;
        for (int i = 0; i < count; name += std::strlen(name) + 1, ++i) {
            if (name[0] == '.')
                continue;
            const std::string path = std::string(directory) + "\\" + name;
            if (path.size() >= FileNameSize) {
                ok = 0;  // not a name this layer can hold, so not one it can delete
                continue;
            }
            FileRec rec;
            FileInit(&rec, -1, path.c_str());
            ok = (FileDelete(&rec) && ok) ? 1 : 0;
        }
    }
    if (ok)
        ok = OsRemoveDirectory(directory) ? 1 : 0;
    return ok;
}

// ---- Log -----------------------------------------------------------------

int LogPrintf(const char* format, ...) {
    if (format == nullptr && LogKeepOpen == 1) {
        FileClose(&LogFile);
        LogKeepOpen = 0;
        return 0;
    }
    if (LogKeepOpen == 0) {
        FileInit(&LogFile, 1, "LOG.LOG");
        FileOpenAppend(&LogFile);
    }
    if (format == nullptr) {
        LogKeepOpen = 1;
        return 0;
    }
    va_list args;
    va_start(args, format);
    const std::string text = FormatText(format, args);
    va_end(args);
    FileWrite(&LogFile, static_cast<int>(text.size()), text.data());
    if (LogKeepOpen == 0)
        FileClose(&LogFile);
    return static_cast<int>(text.size());
}

// ---- Paths below a chosen folder --------------------------------------------

std::size_t PathLeaf(const char* path) {
    std::size_t leaf = 0;
    for (std::size_t i = 0; path[i] != 0; ++i) {
        if (IsSeparator(path[i]) || path[i] == ':')
            leaf = i + 1;
    }
    return leaf;
}

void FolderRelease(FolderChain* chain) {
    while (chain->count > 0)
        OsCloseFolder(chain->handles[--chain->count]);
}

namespace {

// Why the folder name inside parent could not be opened.
int FolderStopReason(OsHandle parent, const char* name) {
    switch (OsLastFailure()) {
    case OsFailure::Link:
        return FolderLink;
    case OsFailure::NotFolder:
        return FolderNotFolder;
    default:
        break;
    }
    OsEntry entry;
    return OsQueryAt(parent, name, &entry) && entry.kind == OsEntryKind::Missing ? FolderMissing : FolderFailed;
}

}  // namespace

int FolderWalk(const char* path, std::size_t below, int make, FolderChain* chain, std::size_t* where) {
    chain->count = 0;
    *where = 0;
    const std::size_t leaf = PathLeaf(path);
    if (below > leaf)
        below = leaf;
    // A ".." leads out of the folder it stands in, which no handle below it
    // can reach: everything up to it counts as chosen (only a caller who
    // trusts the path lets one through), and is opened as named.
    for (std::size_t at = below; at + 2 <= leaf; ++at) {
        const bool starts = at == below || IsSeparator(path[at - 1]);
        if (starts && path[at] == '.' && path[at + 1] == '.' && (at + 2 == leaf || IsSeparator(path[at + 2])))
            below = at + 2 == leaf ? leaf : at + 3;
    }
    // The chosen folder, without the separators that join the rest to it
    // (its root keeps its own); "C:" alone is the drive's current folder.
    std::string chosen(path, below);
    const std::size_t root = PathRootLength(chosen.c_str());
    while (chosen.size() > root && IsSeparator(chosen.back()))
        chosen.pop_back();
    if (!chosen.empty()) {
        if (chosen.back() == ':')
            chosen += '.';
        OsHandle folder = OsOpenFolder(chosen.c_str());
        if (folder == 0 && make && !FileExists(chosen.c_str()) && MakePath(chosen.c_str()))
            folder = OsOpenFolder(chosen.c_str());
        if (folder == 0) {
            *where = below;
            const std::uint32_t attributes = OsGetFileAttributes(chosen.c_str());
            return attributes == OsInvalidValue ? FolderMissing
                   : (attributes & OsAttrDirectory) ? FolderFailed
                                                     : FolderNotFolder;
        }
        chain->handles[chain->count++] = folder;
    }
    for (std::size_t at = below; at < leaf;) {
        std::size_t end = at;
        while (end < leaf && !IsSeparator(path[end]))
            ++end;
        // Doubled separators and "." name no folder of their own.
        const std::size_t size = end - at;
        if (size > 0 && !(size == 1 && path[at] == '.')) {
            char name[FileNameSize];
            if (size >= sizeof name || chain->count > FolderDepth)
                InternalError("FILEIO", __LINE__, 'w');
            std::memcpy(name, path + at, size);
            name[size] = 0;
            const OsHandle parent = chain->Innermost();
            const OsHandle next = OsOpenFolderAt(parent, name, make != 0);
            if (next == 0) {
                const int stop = FolderStopReason(parent, name);
                FolderRelease(chain);
                *where = end;
                return stop;
            }
            chain->handles[chain->count++] = next;
        }
        at = end + 1;
    }
    return FolderReached;
}
