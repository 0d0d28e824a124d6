// files.cpp - POSIX stand-ins for the Win32 file and directory calls.
//
// What the program relies on, and how Linux is made to give it:
//
//  * Names. The program builds paths with "\" ("%s\%s", "#Sub\file"); every
//    name is copied with "\" turned into "/" when it reaches the system.
//  * Handles. 0 means "not open" to the callers, and a descriptor may be 0,
//    so a handle is the descriptor plus one.
//  * Sharing. A Windows open that grants no sharing keeps every other open of
//    the file out, and one that shares reading admits only other readers that
//    share reading too. An advisory lock taken at open gives the same picture:
//    exclusive for "share nothing", shared for "share reading". Locks of
//    separate opens conflict even inside one process, as sharing modes do.
//    Deleting or renaming a file that is open anywhere fails, as on Windows.
//  * The read-only attribute is the owner's write permission, for root too.
//    Deleting or renaming such a file is refused. An open for writing is
//    granted without write access and without truncating anything: the
//    file layer checks the attribute after every writing open and stops
//    there with its read-only error, and the file stays as it was.
//  * CreateFileA never opens a directory (without backup semantics), so
//    neither does OsCreateFile; nor does it open a FIFO or a device: only a
//    regular file, and the open never waits (a FIFO without a writer would
//    hold a blocking open forever).
//  * FindFirstFileA matches "*" and "?" ignoring case (a name without them
//    finds the file under its own spelling), "*.*" matches every name, and
//    "." and ".." are listed. Names come sorted, so runs repeat.
#include "platform.h"
#include "posix/fault.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// -1 until read from the environment, once; 0: not asked for.
std::atomic<long> KillAt{-1};
std::atomic<long> StopAt{-1};
std::atomic<long> FailAt{-1};
std::atomic<long> Changes{0};  // coding threads and extractions run at once

long FromEnvironment(const char* name) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::atol(text) : 0L;
}

}  // namespace

void FaultArm(long killAt, long failAt) {
    KillAt = killAt;
    StopAt = 0;
    FailAt = failAt;
    Changes = 0;
}

bool FaultPoint() {
    if (KillAt < 0) {
        StopAt = FromEnvironment("UPDATER_STOP_AT");
        FailAt = 0;
        KillAt = FromEnvironment("UPDATER_KILL_AT");
    }
    if (KillAt <= 0 && StopAt <= 0 && FailAt <= 0)
        return true;
    const long change = ++Changes;
    if (change == KillAt)
        kill(getpid(), SIGKILL);
    if (change == StopAt)
        kill(getpid(), SIGSTOP);
    if (change == FailAt) {
        errno = EIO;
        return false;
    }
    return true;
}

namespace {

// Harnesses that feed hostile input (fuzzers) confine every name to one
// directory: UPDATER_CONFINE=/dir makes a name outside it, or one with a ".."
// component, fail like a missing file. The program itself never sets it.
bool Confined(const std::string& path) {
    static const char* root = std::getenv("UPDATER_CONFINE");
    if (root == nullptr || *root == 0)
        return true;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (path.compare(start, end - start, "..") == 0 && end - start == 2)
            return false;
        start = end + 1;
    }
    const std::string prefix = std::string(root) + "/";
    return path.empty() || path[0] != '/' || path.compare(0, prefix.size(), prefix) == 0;
}

std::string NativePath(const char* name) {
    std::string path(name ? name : "");
    std::replace(path.begin(), path.end(), '\\', '/');
    return Confined(path) ? path : std::string();
}

int Descriptor(OsHandle file) {
    return file == 0 ? -1 : static_cast<int>(file - 1);
}

bool IsReadOnly(const struct stat& st) {
    return (st.st_mode & S_IWUSR) == 0;
}

// True when some open of the file holds a lock (the file is "in use").
bool FileInUse(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return busy;
}

// A file that Windows would refuse to delete or rename: read-only or open.
bool FileIsPinned(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (IsReadOnly(st)) {
        errno = EACCES;
        return true;
    }
    if (FileInUse(path)) {
        errno = EBUSY;
        return true;
    }
    return false;
}

}  // namespace

OsHandle OsCreateFile(const char* name, unsigned access, unsigned share, OsDisposition disposition) {
    if ((access & OsAccessWrite) != 0 && !FaultPoint())
        return 0;
    const std::string path = NativePath(name);
    const bool writing = (access & OsAccessWrite) != 0;
    if (path.empty()) {
        errno = ENOENT;
        return 0;
    }

    struct stat st;
    bool readOnly = false;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return 0;
        }
        if (!S_ISREG(st.st_mode)) {  // not even opened: a device may act on an open
            errno = ENODEV;
            return 0;
        }
        readOnly = IsReadOnly(st);
    }

    int flags = O_CLOEXEC;
    if (readOnly)
        flags |= O_RDONLY;
    else if ((access & OsAccessRead) && writing)
        flags |= O_RDWR;
    else if (writing)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (disposition != OsDisposition::OpenExisting && !readOnly)
        flags |= O_CREAT;

    // Non-blocking, since the name may have become a FIFO since the stat;
    // what opened is judged by its descriptor before the usual mode returns.
    int fd = open(path.c_str(), flags | O_NONBLOCK, 0666);
    if (fd < 0)
        return 0;
    const int status = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        close(fd);
        errno = ENODEV;
        return 0;
    }
    // The lock comes before any truncation: a refused open changes nothing.
    const int lock = (share == OsShareNone) ? LOCK_EX : LOCK_SH;
    if (flock(fd, lock | LOCK_NB) != 0) {
        close(fd);
        errno = EBUSY;
        return 0;
    }
    if (disposition == OsDisposition::CreateAlways && !readOnly && ftruncate(fd, 0) != 0) {
        close(fd);
        return 0;
    }
    return static_cast<OsHandle>(fd) + 1;
}

namespace {

// ReadFile and WriteFile on a disk file move everything asked for (reading
// stops only at the end of the file); read() and write() may stop early on
// their own, so keep going.
template <typename Move>
bool Transfer(OsHandle file, std::uint32_t count, std::uint32_t* done, Move move) {
    *done = 0;
    const int fd = Descriptor(file);
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    while (*done < count) {
        const ssize_t n = move(fd, *done, count - *done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        *done += static_cast<std::uint32_t>(n);
    }
    return true;
}

}  // namespace

bool OsReadFile(OsHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) {
    auto* at = static_cast<char*>(buffer);
    return Transfer(file, count, done,
                    [at](int fd, std::uint32_t offset, std::uint32_t left) { return read(fd, at + offset, left); });
}

bool OsWriteFile(OsHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done) {
    *done = 0;
    if (!FaultPoint())
        return false;
    const auto* at = static_cast<const char*>(buffer);
    return Transfer(file, count, done,
                    [at](int fd, std::uint32_t offset, std::uint32_t left) { return write(fd, at + offset, left); });
}

std::uint32_t OsSetFilePointer(OsHandle file, std::int32_t distance, int origin) {
    int fd = Descriptor(file);
    if (fd < 0 || origin < 0 || origin > 2)
        return OsInvalidValue;
    // Work out the target first: SetFilePointer refuses a negative position
    // and, without a high part, cannot report one at 4 GiB or beyond.
    off_t base = 0;
    if (origin == 1)
        base = lseek(fd, 0, SEEK_CUR);
    else if (origin == 2) {
        struct stat st;
        base = fstat(fd, &st) == 0 ? st.st_size : -1;
    }
    if (base < 0)
        return OsInvalidValue;
    const long long target = static_cast<long long>(base) + distance;
    if (target < 0 || target >= static_cast<long long>(OsInvalidValue)) {
        errno = EINVAL;
        return OsInvalidValue;
    }
    off_t got = lseek(fd, static_cast<off_t>(target), SEEK_SET);
    return got < 0 ? OsInvalidValue : static_cast<std::uint32_t>(got);
}

std::uint32_t OsGetFileSize(OsHandle file) {
    struct stat st;
    int fd = Descriptor(file);
    if (fd < 0 || fstat(fd, &st) != 0)
        return OsInvalidValue;
    // The low part, as GetFileSize gives it without a high part.
    return static_cast<std::uint32_t>(static_cast<unsigned long long>(st.st_size) & 0xFFFFFFFFu);
}

std::int64_t OsGetFileSize64(OsHandle file) {
    struct stat st;
    int fd = Descriptor(file);
    if (fd < 0 || fstat(fd, &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool OsCreateUniqueFile(char* name, std::size_t size) {
    if (!FaultPoint())
        return {};
    static std::atomic<unsigned> counter{0};  // streams open on any thread
    const unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u ^ static_cast<unsigned>(time(nullptr));
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const unsigned tag = (seed + counter.fetch_add(1) * 40503u) & 0xFFFFFF;
        if (std::snprintf(name, size, "lzx%06X.tmp", tag) >= static_cast<int>(size))
            return false;
        const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool OsCloseHandle(OsHandle file) {
    int fd = Descriptor(file);
    return fd >= 0 && close(fd) == 0;
}

std::uint32_t OsGetFileAttributes(const char* path) {
    struct stat st;
    if (stat(NativePath(path).c_str(), &st) != 0)
        return OsInvalidValue;
    std::uint32_t attributes = S_ISDIR(st.st_mode) ? OsAttrDirectory : 0x20;  // 0x20: archive
    if (IsReadOnly(st))
        attributes |= OsAttrReadOnly;
    return attributes;
}

bool OsGetFileDosTime(OsHandle file, std::uint16_t* dosDate, std::uint16_t* dosTime) {
    struct stat st;
    int fd = Descriptor(file);
    if (fd < 0 || fstat(fd, &st) != 0)
        return false;
    std::tm utc{};
    time_t seconds = st.st_mtime;
    if (gmtime_r(&seconds, &utc) == nullptr)
        return false;
    const int year = utc.tm_year + 1900;
    if (year < 1980 || year > 2107)  // the range of a DOS date
        return false;
    *dosDate = static_cast<std::uint16_t>(((year - 1980) << 9) | ((utc.tm_mon + 1) << 5) | utc.tm_mday);
    *dosTime = static_cast<std::uint16_t>((utc.tm_hour << 11) | (utc.tm_min << 5) | (utc.tm_sec / 2));
    return true;
}

bool OsDeleteFile(const char* path) {
    if (!FaultPoint())
        return {};
    const std::string native = NativePath(path);
    struct stat st;
    if (lstat(native.c_str(), &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (FileIsPinned(native))
        return false;
    return unlink(native.c_str()) == 0;
}

bool OsMoveFile(const char* from, const char* to) {
    if (!FaultPoint())
        return {};
    const std::string source = NativePath(from);
    const std::string target = NativePath(to);
    struct stat st;
    if (lstat(source.c_str(), &st) != 0)
        return false;
    // MoveFileA never replaces an existing file.
    if (lstat(target.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    if (FileIsPinned(source))
        return false;
    return rename(source.c_str(), target.c_str()) == 0;
}

bool OsCreateDirectory(const char* path) {
    if (!FaultPoint())
        return {};
    return mkdir(NativePath(path).c_str(), 0777) == 0;
}

bool OsRemoveDirectory(const char* path) {
    if (!FaultPoint())
        return {};
    return rmdir(NativePath(path).c_str()) == 0;
}

// ---- Directory enumeration ----------------------------------------------

namespace {

struct FindState {
    std::vector<std::string> names;
    std::size_t next = 0;
};

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// "*" and "?" matching, ignoring case.
bool Matches(const char* pattern, const char* name) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?' || (*pattern && Lower(*pattern) == Lower(*name))) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == 0;
}

bool CopyName(const std::string& from, char name[260]) {
    if (from.size() > 259)
        return false;
    std::memcpy(name, from.c_str(), from.size() + 1);
    return true;
}

bool NextName(FindState* state, char name[260]) {
    while (state->next < state->names.size()) {
        if (CopyName(state->names[state->next++], name))
            return true;
    }
    return false;
}

}  // namespace

OsHandle OsFindFirst(const char* pattern, char name[260]) {
    const std::string path = NativePath(pattern);
    const std::size_t slash = path.rfind('/');
    // "/name" lies in the root; a name without a directory in the current one.
    const std::string directory = slash == std::string::npos ? std::string(".")
                                  : slash == 0                ? std::string("/")
                                                              : path.substr(0, slash);
    std::string wanted = slash == std::string::npos ? path : path.substr(slash + 1);
    if (wanted == "*.*")
        wanted.resize(1);  // "*.*" is every name, with or without a dot
    if (wanted.empty())
        return 0;

    auto* state = new FindState;
    if (DIR* dir = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (Matches(wanted.c_str(), entry->d_name))
                state->names.emplace_back(entry->d_name);
        }
        closedir(dir);
        std::sort(state->names.begin(), state->names.end());
    }
    if (!NextName(state, name)) {
        delete state;
        errno = ENOENT;
        return 0;
    }
    return reinterpret_cast<OsHandle>(state);
}

bool OsFindNext(OsHandle find, char name[260]) {
    return find != 0 && NextName(reinterpret_cast<FindState*>(find), name);
}

void OsFindClose(OsHandle find) {
    delete reinterpret_cast<FindState*>(find);
}

std::string OsTempPath() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = (dir && *dir) ? dir : "/tmp";
    if (path.back() != '/')
        path += '/';
    return path;
}

std::size_t OsRootLength(const char* path) {
    return (path && path[0] == '/') ? 1 : 0;
}

bool OsReplaceFile(const char* from, const char* to) {
    if (!FaultPoint())
        return {};
    const std::string source = NativePath(from);
    const std::string target = NativePath(to);
    if (FileIsPinned(source) || FileIsPinned(target))
        return false;
    return rename(source.c_str(), target.c_str()) == 0;
}

bool OsFlushFile(OsHandle file) {
    const int fd = Descriptor(file);
    return fd >= 0 && fsync(fd) == 0;
}

bool OsSameFile(const char* a, const char* b) {
    const std::string first = NativePath(a);
    const std::string second = NativePath(b);
    struct stat one, two;
    if (first.empty() || second.empty() || stat(first.c_str(), &one) != 0 || stat(second.c_str(), &two) != 0)
        return false;
    return one.st_dev == two.st_dev && one.st_ino == two.st_ino;
}


// ---- Failures, links and held files --------------------------------------

OsFailure OsLastFailure() {
    switch (errno) {
        case ENOSPC:
        case EDQUOT:
            return OsFailure::DiskFull;
        case EBUSY:  // a held lock: a sharing violation here
        case EWOULDBLOCK:
            return OsFailure::InUse;
        case EEXIST:
            return OsFailure::Exists;
        case ELOOP:
            return OsFailure::Link;
        case ENOTDIR:
            return OsFailure::NotFolder;
        case ENODEV:  // set by OsCreateFile for anything but a regular file
        case ENXIO:   // a FIFO without a reader, a device without its driver
            return OsFailure::NotAFile;
        default:
            return OsFailure::Other;
    }
}

std::string OsFailureText() {
    switch (errno) {
        case 0:
            return {};
        case ENODEV:
        case ENXIO:
            return "not a regular file";
        case EBUSY:
        case EWOULDBLOCK:
            return "in use by another program";
        case ELOOP:
            return "a symbolic link, which is not followed";
        default:
            return std::strerror(errno);
    }
}

std::size_t OsLinkOnPath(const char* path, std::size_t from) {
    const std::string native = NativePath(path);
    if (native.empty())
        return 0;
    for (std::size_t end = from + 1; end <= native.size(); ++end) {
        if (end < native.size() && native[end] != '/')
            continue;
        struct stat st;
        if (lstat(native.substr(0, end).c_str(), &st) != 0)
            return 0;
        if (S_ISLNK(st.st_mode))
            return end;
    }
    return 0;
}

std::uint32_t OsLinkCount(const char* path) {
    struct stat st;
    if (lstat(NativePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return static_cast<std::uint32_t>(st.st_nlink);
}

OsHandle OsCreateNewFile(const char* name, unsigned access) {
    if (!FaultPoint())
        return {};
    const std::string path = NativePath(name);
    if (path.empty()) {
        errno = ENOENT;
        return 0;
    }
    const int mode = (access & OsAccessRead) ? O_RDWR : O_WRONLY;
    const int fd = open(path.c_str(), mode | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    // O_EXCL refuses a name that is a link, even a dangling one.
    if (fd < 0)
        return 0;
    flock(fd, LOCK_EX | LOCK_NB);  // new, so nobody else holds it
    return static_cast<OsHandle>(fd) + 1;
}

bool OsSetEndOfFile(OsHandle file) {
    if (!FaultPoint())
        return {};
    const int fd = Descriptor(file);
    if (fd < 0)
        return false;
    const off_t here = lseek(fd, 0, SEEK_CUR);
    return here >= 0 && ftruncate(fd, here) == 0;
}

// ---- Folders held open, and names inside them -----------------------------
//
// openat() and its kin with O_NOFOLLOW: each name is looked up once, in the
// folder whose descriptor is held, and a link is never followed. Nothing
// here allocates, so the deletions can run in an interruption's cleanup.

namespace {

constexpr std::size_t NameLimit = 4096;

int FolderDescriptor(OsHandle folder) {
    return folder == 0 ? AT_FDCWD : Descriptor(folder);
}

// The name in the system's form ("\" as "/", for the current directory's
// paths) in a buffer of the caller's; false when it does not fit or a
// confined harness may not reach it.
bool LocalName(const char* name, char* out) {
    std::size_t i = 0;
    for (; name[i] != 0; ++i) {
        if (i + 1 >= NameLimit)
            return false;
        out[i] = name[i] == '\\' ? '/' : name[i];
    }
    out[i] = 0;
    static const char* root = std::getenv("UPDATER_CONFINE");
    const bool up = std::strcmp(out, "..") == 0 || std::strncmp(out, "../", 3) == 0;
    if (i == 0 || (root != nullptr && *root != 0 && up)) {
        errno = ENOENT;
        return false;
    }
    return true;
}

// What a failed no-follow open of a folder ran into: ELOOP and ENOTDIR are
// both answered for a link, so the entry itself is asked.
void ExplainFolderFailure(int at, const char* name) {
    const int error = errno;
    struct stat st;
    if (fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = S_ISLNK(st.st_mode) ? ELOOP : S_ISDIR(st.st_mode) ? error : ENOTDIR;
        return;
    }
    errno = error;
}

// Read-only or held by another open: what Windows refuses to delete or to
// replace.
bool PinnedAt(int at, const char* name) {
    struct stat st;
    if (fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (IsReadOnly(st)) {
        errno = EACCES;
        return true;
    }
    const int fd = openat(at, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    if (busy)
        errno = EBUSY;
    return busy;
}

}  // namespace

OsHandle OsOpenFolder(const char* path) {
    const std::string native = NativePath(path);
    if (native.empty()) {
        errno = ENOENT;
        return 0;
    }
    const int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? 0 : static_cast<OsHandle>(fd) + 1;
}

OsHandle OsOpenFolderAt(OsHandle folder, const char* name, bool make) {
    if (make && !FaultPoint())
        return 0;
    char local[NameLimit];
    if (!LocalName(name, local))
        return 0;
    const int at = FolderDescriptor(folder);
    // mkdirat never follows a link either: a name that is one stays taken.
    if (make && mkdirat(at, local, 0777) != 0 && errno != EEXIST)
        return 0;
    const int fd = openat(at, local, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        ExplainFolderFailure(at, local);
        return 0;
    }
    return static_cast<OsHandle>(fd) + 1;
}

void OsCloseFolder(OsHandle folder) {
    if (folder != 0)
        close(Descriptor(folder));
}

namespace {

// The identity of what at and name stand for (name "" with AT_EMPTY_PATH:
// the descriptor's own file): the device, the inode and, where the file
// system keeps it, the birth time in nanoseconds.
OsFileId IdentityAt(int at, const char* name, int flags, const struct stat& st) {
    OsFileId id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), 0};
    struct statx born;
    if (statx(at, name, flags, STATX_BTIME, &born) == 0 && (born.stx_mask & STATX_BTIME) != 0)
        id.birth = static_cast<std::uint64_t>(born.stx_btime.tv_sec) * 1000000000u + born.stx_btime.tv_nsec;
    return id;
}

}  // namespace

bool OsQueryAt(OsHandle folder, const char* name, OsEntry* entry) {
    char local[NameLimit];
    struct stat st;
    *entry = OsEntry{OsEntryKind::Missing, false, 0};
    if (!LocalName(name, local))
        return errno == ENOENT;
    if (fstatat(FolderDescriptor(folder), local, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT || errno == ENOTDIR;
    entry->kind = S_ISLNK(st.st_mode)   ? OsEntryKind::Link
                  : S_ISDIR(st.st_mode) ? OsEntryKind::Folder
                  : S_ISREG(st.st_mode) ? OsEntryKind::File
                                        : OsEntryKind::Other;
    entry->readOnly = IsReadOnly(st);
    entry->links = static_cast<std::uint32_t>(st.st_nlink);
    entry->id = IdentityAt(FolderDescriptor(folder), local, AT_SYMLINK_NOFOLLOW, st);
    entry->size = static_cast<std::int64_t>(st.st_size);
    return true;
}

bool OsIdentify(OsHandle handle, OsFileInfo* info) {
    struct stat st;
    if (handle == 0 || fstat(Descriptor(handle), &st) != 0)
        return false;
    info->id = IdentityAt(Descriptor(handle), "", AT_EMPTY_PATH, st);
    info->links = static_cast<std::uint32_t>(st.st_nlink);
    info->size = static_cast<std::int64_t>(st.st_size);
    return true;
}

OsHandle OsCreateNewFileAt(OsHandle folder, const char* name, unsigned access) {
    if (!FaultPoint())
        return {};
    char local[NameLimit];
    if (!LocalName(name, local))
        return 0;
    const int mode = (access & OsAccessRead) ? O_RDWR : O_WRONLY;
    const int fd = openat(FolderDescriptor(folder), local, mode | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return 0;
    flock(fd, LOCK_EX | LOCK_NB);  // new, so nobody else holds it
    return static_cast<OsHandle>(fd) + 1;
}

OsHandle OsOpenFileAt(OsHandle folder, const char* name, unsigned access, unsigned share) {
    char local[NameLimit];
    if (!LocalName(name, local))
        return 0;
    const int mode = (access & OsAccessWrite) ? ((access & OsAccessRead) ? O_RDWR : O_WRONLY) : O_RDONLY;
    // Non-blocking, so that a FIFO put in the file's place cannot hold the
    // open; the descriptor is made blocking again once it is known a file.
    const int fd = openat(FolderDescriptor(folder), local, mode | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ELOOP)
            ExplainFolderFailure(FolderDescriptor(folder), local);
        return 0;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        errno = EACCES;
        return 0;
    }
    if (flock(fd, (share == OsShareNone ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        close(fd);
        errno = EBUSY;
        return 0;
    }
    return static_cast<OsHandle>(fd) + 1;
}

namespace {

// True when name inside the folder at is the file open as file (errno
// ENOENT when it is not: another file has taken the name).
bool NamesFile(OsHandle file, int at, const char* name) {
    struct stat mine, named;
    if (fstat(Descriptor(file), &mine) == 0 && fstatat(at, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
        return true;
    errno = ENOENT;
    return false;
}

}  // namespace

bool OsRenameFileAt(OsHandle file, OsHandle folder, const char* from, const char* to) {
    if (!FaultPoint())
        return {};
    char source[NameLimit];
    char target[NameLimit];
    if (!LocalName(from, source) || !LocalName(to, target))
        return false;
    const int at = FolderDescriptor(folder);
    // The name must still be the file this handle wrote: Windows renames
    // the open file itself, here the name is all there is.
    if (!NamesFile(file, at, source))
        return false;
    struct stat st;
    if (fstatat(at, target, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (PinnedAt(at, target))
        return false;
    return renameat(at, source, at, target) == 0;
}

bool OsDeleteFileAt(OsHandle folder, const char* name) {
    if (!FaultPoint())
        return {};
    char local[NameLimit];
    if (!LocalName(name, local))
        return false;
    const int at = FolderDescriptor(folder);
    struct stat st;
    if (fstatat(at, local, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (PinnedAt(at, local))
        return false;
    return unlinkat(at, local, 0) == 0;
}

bool OsDeleteOpenFile(OsHandle file, OsHandle folder, const char* name) {
    if (!FaultPoint())
        return {};
    char local[NameLimit];
    if (file == 0 || !LocalName(name, local))
        return false;
    const int at = FolderDescriptor(folder);
    if (!NamesFile(file, at, local))
        return false;
    return unlinkat(at, local, 0) == 0;
}

OsHandle OsOpenLockAt(OsHandle folder, const char* name) {
    if (!FaultPoint())
        return {};
    char local[NameLimit];
    if (!LocalName(name, local))
        return 0;
    const int at = FolderDescriptor(folder);
    const int fd = openat(at, local, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return 0;
    struct stat held, named;
    if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        errno = EACCES;
        return 0;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        errno = EBUSY;
        return 0;
    }
    // The holder before may have given the file another name (or removed
    // it) between this open and the lock: then this is no longer the lock.
    if (fstatat(at, local, &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != held.st_dev ||
        named.st_ino != held.st_ino) {
        close(fd);
        errno = EBUSY;
        return 0;
    }
    return static_cast<OsHandle>(fd) + 1;
}

bool OsMoveAt(OsHandle fromFolder, const char* from, OsHandle toFolder, const char* to) {
    if (!FaultPoint())
        return {};
    char source[NameLimit];
    char target[NameLimit];
    if (!LocalName(from, source) || !LocalName(to, target))
        return false;
    const int fromAt = FolderDescriptor(fromFolder);
    // Windows moves no file that another open holds without sharing its
    // deletion; the stand-in's locks stand for that.
    struct stat st;
    if (fstatat(fromAt, source, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
        const int fd = openat(fromAt, source, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        const bool busy = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (fd >= 0)
            close(fd);
        if (busy) {
            errno = EBUSY;
            return false;
        }
    }
    return syscall(SYS_renameat2, fromAt, source, FolderDescriptor(toFolder), target, 1 /* RENAME_NOREPLACE */) == 0;
}

OsHandle OsOpenExclusiveAt(OsHandle folder, const char* name) {
    char local[NameLimit];
    if (!LocalName(name, local))
        return 0;
    const int at = FolderDescriptor(folder);
    struct stat st;
    if (fstatat(at, local, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    if (!S_ISREG(st.st_mode) || IsReadOnly(st)) {
        errno = S_ISREG(st.st_mode) ? EACCES : EISDIR;
        return 0;
    }
    const int fd = openat(at, local, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return 0;
    if (fcntl(fd, F_SETFL, 0) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        errno = EBUSY;
        return 0;
    }
    return static_cast<OsHandle>(fd) + 1;
}

bool OsMoveOpenFile(OsHandle file, OsHandle fromFolder, const char* from, OsHandle toFolder, const char* to) {
    if (!FaultPoint())
        return {};
    char source[NameLimit];
    char target[NameLimit];
    if (!LocalName(from, source) || !LocalName(to, target))
        return false;
    const int fromAt = FolderDescriptor(fromFolder);
    if (!NamesFile(file, fromAt, source))
        return false;
    return syscall(SYS_renameat2, fromAt, source, FolderDescriptor(toFolder), target, 1 /* RENAME_NOREPLACE */) == 0;
}

bool OsRemoveFolderAt(OsHandle folder, const char* name) {
    if (!FaultPoint())
        return {};
    char local[NameLimit];
    return LocalName(name, local) && unlinkat(FolderDescriptor(folder), local, AT_REMOVEDIR) == 0;
}

std::int64_t OsFreeSpace(OsHandle folder) {
    struct statvfs st;
    const int fd = folder == 0 ? open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : Descriptor(folder);
    const int got = fd >= 0 ? fstatvfs(fd, &st) : -1;
    if (folder == 0 && fd >= 0)
        close(fd);
    return got == 0 ? static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize) : -1;
}

void OsHideAt(OsHandle, const char*) {}

bool OsRenamesByPath() {
    static const bool byPath = [] {
        const char* text = std::getenv("UPDATER_RENAMES_BY_PATH");
        return text != nullptr && std::strcmp(text, "1") == 0;
    }();
    return byPath;
}
