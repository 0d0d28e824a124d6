// transaction.cpp - all or nothing: staging, the journal, the commit, its
// undoing, and the recovery of a killed run.
//
// A run changes no installed file until every file it will write lies whole
// on the disk beside its name ("NAME.TAG.tmp", TAG one per run). The hidden
// folder ".lzx-update" in the target holds the run's hold and its journal,
// which is written before anything else is made and grows one record at a
// time, each forced to the disk before the step it announces:
//
//   plan      the target's and the staging folder's identities, the tag,
//             the way files are put in place, the folders to make, and each
//             file to write new, replace or remove ("staging" ends it)
//   staged    each staged file's identity, once it is whole
//   hold      each installed file's identity, held with no sharing from
//             here to its move: a file in use, a read-only file or one with
//             other names refuses the run while nothing installed changed
//   commit    the files are put in place, each after a "put" record:
//               by renames: the installed file becomes its backup
//               ("NAME.TAG.old"), the staged file takes the name;
//               by copies (where the system renames by whole paths, as
//               Wine does, and a folder swapped for a link could carry a
//               rename elsewhere): nothing is renamed; the installed file is
//               copied into a new backup ("aside", with its identity, once
//               it is whole), then the staged bytes into the installed file;
//               a new file is made at its name ("made", with its identity)
//               and the bytes copied into it; a file to remove goes once
//               the commit is final
//   step      each of the caller's steps, with the value that undoes it
//   done      final: the backups, the journal and the folder go
//
// Undoing is the same for a failure, an interruption and the next run after
// a kill, and can be repeated: it decides by identities, never by names
// alone. A name is given back its backup only over the file the run put
// there; a new file goes only when it is the one the run placed; anything
// else found at a name is kept and reported. Steps are undone first, last
// first, then the files, then the folders the run made, when empty.
//
// No write goes into a file with a second name: a file written in place
// (copy mode) is held with no sharing and asked through the handle that
// writes before every piece and after the last; every other write goes into
// a file the run created itself.
#include "transaction.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

#include "journal.h"

namespace {

constexpr const char* JournalName = "journal";
constexpr const char* HoldName = "hold";
constexpr const char* Heading = "LZX-journal";
constexpr const char* JournalVersion = "3";
constexpr const char* HeldSuffix = ".new";
constexpr long long SpaceMargin = 1 << 20;   // kept free beyond what the commit writes
constexpr long long JournalLineRoom = 120;   // a record's words beside its path
constexpr long long JournalLimit = 64 << 20; // a journal longer than this is no journal of ours
constexpr std::uint32_t CopyPiece = 1 << 20;  // a copy's piece: one check and one write each
constexpr unsigned LockPoll = 100;        // ms between tries for another run's hold
constexpr unsigned LockPatience = 60000;  // ms before it is reported

static_assert(sizeof(".XXXXXX.tmp") - 1 <= SideNameExtra && sizeof(".XXXXXX.old") - 1 <= SideNameExtra &&
              sizeof(".new") - 1 <= SideNameExtra);

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

std::size_t LeafAt(const std::string& path) {
    const std::size_t last = path.find_last_of("\\/");
    return last == std::string::npos ? 0 : last + 1;
}

// A folder and a name joined for messages: no second separator after a
// root that ends in one ("C:\Zelk\", "/"), or after a drive's ":".
std::string Joined(const std::string& folder, const std::string& name) {
    if (folder.empty())
        return name;
    const char last = folder.back();
    return IsSeparator(last) || last == ':' ? folder + name : folder + "\\" + name;
}

// Whether a path below a root cannot be one the transaction made: empty, or
// with a component that is empty, "." or "..", or holds "/" or ":". The
// journal is read back from where anyone who can write the target can
// change it.
bool LeavesItsRoot(const std::string& path) {
    for (std::size_t from = 0; from <= path.size();) {
        const std::size_t end = std::min(path.find('\\', from), path.size());
        const std::string part = path.substr(from, end - from);
        if (part.empty() || part == "." || part == ".." || part.find_first_of(std::string("/:\0", 3)) != std::string::npos)
            return true;
        from = end + 1;
    }
    return false;
}

std::string Megabytes(long long bytes) {
    char text[40];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

std::string NewTag(const void* self) {
    std::random_device device;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t seed = now ^ reinterpret_cast<std::uintptr_t>(self) ^ (std::uint64_t{device()} << 20);
    char tag[8];
    std::snprintf(tag, sizeof tag, "%06X", static_cast<unsigned>((seed * 0x9E3779B97F4A7C15ull) >> 40) & 0xFFFFFF);
    return tag;
}

bool IdentityOf(OsHandle handle, OsFileId* id) {
    OsFileInfo info;
    if (!OsIdentify(handle, &info))
        return false;
    *id = info.id;
    return true;
}

// Removes name inside folder when it is a file and, when id is given, that
// file: through a handle that holds it, so nothing can take the name in
// between. Another name the file has keeps it. true when nothing of that
// kind is left there.
bool RemoveIfOurs(OsHandle folder, const std::string& name, const OsFileId* id) {
    OsEntry entry;
    if (!OsQueryAt(folder, name.c_str(), &entry))
        return false;
    if (entry.kind == OsEntryKind::Missing)
        return true;
    if (entry.kind != OsEntryKind::File || (id != nullptr && !(entry.id == *id)))
        return true;  // not the run's: kept
    const OsHandle file = OsOpenExclusiveAt(folder, name.c_str());
    if (file == 0)
        return false;
    OsFileInfo info;
    const bool ours = OsIdentify(file, &info) && (id == nullptr || info.id == *id);
    const bool gone = ours && OsDeleteOpenFile(file, folder, name.c_str());
    OsCloseHandle(file);
    return gone || !ours || OsDeleteFileAt(folder, name.c_str());
}

// The identity of what stands at name inside folder: a regular file with
// one name, or nothing usable (missing: *missing set).
bool FileAt(OsHandle folder, const std::string& name, OsEntry* entry) {
    return OsQueryAt(folder, name.c_str(), entry) && entry->kind == OsEntryKind::File;
}

}  // namespace

// ---- The parts of a run ----------------------------------------------------------------

struct Transaction::RootFolder {
    std::string path;  // as the caller named it (messages; the journal for roots outside the target)
    OsHandle handle = 0;
    OsFileId id{};
    bool owned = true;  // a held file's folder is its HeldFile's
};

struct Transaction::File {
    int root;
    std::string path;  // below the root, "\" between components
    TxnChange change;
    long long bytes;
    long long installed;
    bool holds = false;        // a held file: its hold is its staged form
    HeldFile* held = nullptr;  // that file, in the run that holds it
    // What the journal says of it.
    bool staged = false;
    OsFileId stagedId{};
    bool holdKnown = false;
    OsFileId holdId{};  // the installed file
    bool put = false;
    bool aside = false;
    OsFileId asideId{};  // copy mode: the backup
    bool made = false;
    OsFileId madeId{};  // copy mode: a new file made at its name
    OsHandle installed_ = 0;  // held with no sharing from Place to its move
    OsHandle staged_ = 0;     // its staged file, held while it is put in place

    std::string Folder() const {
        const std::size_t leaf = LeafAt(path);
        return leaf == 0 ? std::string() : path.substr(0, leaf - 1);
    }
    std::string Leaf() const { return path.substr(LeafAt(path)); }
};

struct Transaction::Folder {
    int root;
    std::string path;
    OsHandle handle;
};

// ---- Held files --------------------------------------------------------------------------

HeldFile::~HeldFile() {
    Release();
}

void HeldFile::Take(const char* path, std::size_t below, const char* operation) {
    if (hold_.handle != 0)
        InternalError("LZX", __LINE__, 'L');
    path_ = path;
    leaf_ = LeafAt(path_);
    const std::string holdPath = path_ + HeldSuffix;
    if (path_.size() + SideNameExtra >= static_cast<std::size_t>(FileNameSize))
        FatalMessage("%s: the path of [%s] is too long: at most %d characters", operation, path,
                     FileNameSize - 1 - SideNameExtra);
    std::size_t stop = 0;
    switch (FolderWalk(path, below == HeldOwnFolder || below > leaf_ ? leaf_ : below, 1, &folders_, &stop)) {
    case FolderReached:
        break;
    case FolderLink:
        FatalMessage("%s: [%s] goes through the link [%.*s]; refused", operation, path, static_cast<int>(stop), path);
    default:
        FatalMessage("%s: the folder of [%s] cannot be made or opened", operation, path);
    }
    const std::string hold = Leaf() + std::string(HeldSuffix);
    FileInit(&hold_, 1, holdPath.c_str());
    for (unsigned waited = 0;; waited += LockPoll) {
        OsHoldInterrupts();
        hold_.handle = OsOpenLockAt(Folder(), hold.c_str());
        if (hold_.handle != 0) {
            FileRegister(&hold_);
            // Until it takes the file's place, a failed run removes it.
            FileMarkPartialAt(&hold_, Folder(), hold.c_str());
        }
        OsReleaseInterrupts();
        if (hold_.handle != 0)
            return;
        const OsFailure failure = OsLastFailure();
        if (failure == OsFailure::Link)
            FatalMessage("%s: [%s] is a link; refused", operation, holdPath.c_str());
        if (failure != OsFailure::InUse)
            FileError(&hold_, FileErrOpenUpdate);
        if (waited >= LockPatience)
            FatalMessage("%s: [%s] stays in use by another run", operation, path);
        OsSleep(LockPoll);
    }
}

int HeldFile::Walk(const char* path, std::size_t below, FolderChain* chain) {
    const std::size_t leaf = LeafAt(path);
    std::size_t stop = 0;
    return FolderWalk(path, below == HeldOwnFolder || below > leaf ? leaf : below, 0, chain, &stop);
}

void HeldFile::Release() {
    if (hold_.handle != 0) {
        // The hold goes while it is still held: nobody takes it up between.
        const std::string hold = Leaf() + std::string(HeldSuffix);
        const bool gone = OsDeleteOpenFile(hold_.handle, Folder(), hold.c_str());
        FileClose(&hold_);
        if (!gone)
            OsDeleteFileAt(Folder(), hold.c_str());
    }
    FolderRelease(&folders_);
}

// ---- Planning ------------------------------------------------------------------------------

Transaction::Transaction(const char* target, const char* operation, bool byCopy)
    : operation_(operation), byCopy_(byCopy) {
    roots_.push_back(RootFolder{target, 0, {}, true});
    FileInit(&hold_, 1, nullptr);
}

Transaction::~Transaction() {
    if (begun_)
        RollBack();
    ReleaseHandles();
    for (RootFolder& root : roots_) {
        if (root.owned && root.handle != 0)
            OsCloseFolder(root.handle);
    }
}

void Transaction::OnReport(Report report, void* context) {
    report_ = report;
    reportContext_ = context;
}

void Transaction::Tell(const std::string& text) const {
    if (report_ != nullptr)
        report_(text.c_str(), reportContext_);
}

void Transaction::Refuse(const char* format, ...) const {
    va_list args;
    va_start(args, format);
    const std::string text = FormatText(format, args);
    va_end(args);
    // The report is about the target (the files it names are below it).
    FatalAbout(roots_.empty() ? nullptr : roots_[0].path.c_str());
    FatalMessage("%s: %s", operation_.c_str(), text.c_str());
}

std::string Transaction::Shown(int root, const std::string& path) const {
    return Joined(roots_[static_cast<std::size_t>(root)].path, path);
}

std::string Transaction::Side(const File& file) const {
    return file.holds ? file.Leaf() + HeldSuffix : file.Leaf() + "." + tag_ + ".tmp";
}

std::string Transaction::Backup(const File& file) const {
    return file.Leaf() + "." + tag_ + ".old";
}

int Transaction::Root(const char* folder) {
    for (std::size_t i = 1; i < roots_.size(); ++i) {
        if (roots_[i].path == folder)
            return static_cast<int>(i);
    }
    roots_.push_back(RootFolder{folder, 0, {}, true});
    return static_cast<int>(roots_.size() - 1);
}

int Transaction::Plan(int root, const std::string& path, TxnChange change, long long bytes, long long installed) {
    if (state_ != TxnState::Planning || root < 0 || static_cast<std::size_t>(root) >= roots_.size() ||
        LeavesItsRoot(path))
        InternalError("LZX", __LINE__, 'P');
    const std::string shown = Shown(root, path);
    if (shown.size() + SideNameExtra >= static_cast<std::size_t>(FileNameSize))
        Refuse("target path of %zu characters, at most %d [%s]", shown.size(), FileNameSize - 1 - SideNameExtra,
               shown.c_str());
    files_.push_back(File{root, path, change, bytes, installed});
    return static_cast<int>(files_.size() - 1);
}

void Transaction::PlanFolder(int root, const std::string& path) {
    if (state_ != TxnState::Planning || LeavesItsRoot(path))
        InternalError("LZX", __LINE__, 'F');
    folders_.emplace_back(root, path);
}

int Transaction::Adopt(HeldFile* held, long long bytes) {
    if (state_ != TxnState::Planning || !held->Taken())
        InternalError("LZX", __LINE__, 'A');
    OsEntry existing;
    if (!OsQueryAt(held->Folder(), held->Leaf(), &existing))
        Refuse("[%s] cannot be examined", held->Path().c_str());
    // Its root is found at Begin, once the target is known to exist.
    File file{-1, held->Leaf(), existing.kind == OsEntryKind::Missing ? TxnChange::New : TxnChange::Replace, bytes,
              existing.size};
    file.holds = true;
    file.held = held;
    files_.push_back(file);
    return static_cast<int>(files_.size() - 1);
}

int Transaction::Files() const {
    int count = 0;
    for (const File& file : files_)
        count += !file.holds;
    return count;
}

int Transaction::StagedFiles() const {
    int count = 0;
    for (const File& file : files_)
        count += !file.holds && file.change != TxnChange::Remove;
    return count;
}

long long Transaction::StagedBytes() const {
    long long bytes = 0;
    for (const File& file : files_)
        bytes += file.holds ? 0 : file.bytes;
    return bytes;
}

// ---- Folders -------------------------------------------------------------------------------

// The folder at path below root, each component opened from its parent's
// handle, never through a link (made when missing, with make), and held to
// the end of the run. 0 with *stop the reason (FolderStop) when it cannot.
OsHandle Transaction::FolderOf(int root, const std::string& path, bool make, int* stop) {
    OsHandle parent = roots_[static_cast<std::size_t>(root)].handle;
    *stop = FolderReached;
    if (parent == 0) {
        *stop = FolderMissing;
        return 0;
    }
    for (std::size_t from = 0; from < path.size();) {
        std::size_t end = path.find('\\', from);
        if (end == std::string::npos)
            end = path.size();
        const std::string prefix = path.substr(0, end);
        OsHandle found = 0;
        for (const Folder& folder : opened_) {
            if (folder.root == root && folder.path == prefix)
                found = folder.handle;
        }
        if (found == 0) {
            const std::string name = path.substr(from, end - from);
            found = OsOpenFolderAt(parent, name.c_str(), make);
            if (found == 0) {
                const OsFailure failure = OsLastFailure();
                OsEntry entry;
                *stop = failure == OsFailure::Link        ? FolderLink
                        : failure == OsFailure::NotFolder ? FolderNotFolder
                        : OsQueryAt(parent, name.c_str(), &entry) && entry.kind == OsEntryKind::Missing
                            ? FolderMissing
                            : FolderFailed;
                return 0;
            }
            opened_.push_back(Folder{root, prefix, found});
        }
        parent = found;
        from = end + 1;
    }
    return parent;
}

// The folder a planned file lies in, once its run has made it.
OsHandle Transaction::FolderFor(const File& file) {
    int stop = 0;
    return FolderOf(file.root, file.Folder(), false, &stop);
}

// ---- The journal -----------------------------------------------------------------------------

void Transaction::Append(const std::string& record, bool flush) {
    std::uint32_t put = 0;
    const bool written = OsWriteFile(journal_, record.data(), static_cast<std::uint32_t>(record.size()), &put) &&
                         put == record.size() && (!flush || OsFlushFile(journal_));
    if (!written)
        Refuse("the journal in [%s] cannot be written%s; the update is undone",
               Shown(0, StagingFolder).c_str(),
               OsLastFailure() == OsFailure::DiskFull ? ": the volume has no room left" : "");
}

// ---- The run ---------------------------------------------------------------------------------

// The staging folder with its hold taken: another run at work there is
// waited for (a minute at most, as a held file is), and when it has removed
// the folder on its way out, the folder is opened (or, with make, made)
// again. false when there is none (make not set).
bool Transaction::TakeStage(bool make) {
    FileInit(&hold_, 1, Shown(0, std::string(StagingFolder) + "\\" + HoldName).c_str());
    for (unsigned waited = 0;; waited += LockPoll) {
        stage_ = OsOpenFolderAt(roots_[0].handle, StagingFolder, make);
        if (stage_ == 0) {
            const OsFailure failure = OsLastFailure();
            if (failure == OsFailure::Link || failure == OsFailure::NotFolder)
                Refuse("[%s] is not the staging folder of an update; refused", Shown(0, StagingFolder).c_str());
            if (!make)
                return false;
            Refuse("the staging folder [%s] cannot be made", Shown(0, StagingFolder).c_str());
        }
        OsHoldInterrupts();
        hold_.handle = OsOpenLockAt(stage_, HoldName);
        if (hold_.handle != 0)
            FileRegister(&hold_);
        OsReleaseInterrupts();
        if (hold_.handle != 0)
            return true;
        const OsFailure failure = OsLastFailure();
        OsCloseFolder(stage_);
        stage_ = 0;
        if (failure != OsFailure::InUse && waited > 10 * LockPoll)
            FileError(&hold_, FileErrOpenUpdate);
        if (waited >= LockPatience)
            Refuse("another update stays at work in [%s]", roots_[0].path.c_str());
        OsSleep(LockPoll);
    }
}

// The commit writes this much before the old files go: found out before
// the first byte is staged. where: a folder on the target's volume.
void Transaction::CheckRoom(OsHandle where) const {
    long long needed = SpaceMargin;
    for (const File& file : files_) {
        needed += file.bytes + JournalLineRoom + 3 * static_cast<long long>(file.path.size());
        if (byCopy_ && file.change != TxnChange::New)
            needed += file.installed;  // its backup is a copy
    }
    const std::int64_t free = OsFreeSpace(where);
    if (free >= 0 && needed > free)
        Refuse("the update needs %s (%lld bytes) of free space in [%s], where %s are free; nothing was changed",
               Megabytes(needed).c_str(), needed, roots_[0].path.c_str(), Megabytes(free).c_str());
}

// An installed file to replace or remove, held with no sharing: a file
// another program holds, a read-only file, or one with another name refuses
// the run, while nothing installed has changed. id receives its identity.
OsHandle Transaction::HoldInstalled(const File& file, OsFileId* id) {
    const std::string shown = Shown(file.root, file.path);
    const OsHandle folder = FolderFor(file);
    OsEntry entry{OsEntryKind::Missing, false, 0};
    if (folder != 0 && !OsQueryAt(folder, file.Leaf().c_str(), &entry))
        Refuse("[%s] cannot be examined; nothing was changed", shown.c_str());
    const OsHandle held = folder != 0 ? OsOpenExclusiveAt(folder, file.Leaf().c_str()) : 0;
    if (held == 0) {
        const OsFailure failure = OsLastFailure();
        FileRec rec;
        FileInit(&rec, 1, shown.c_str());
        if (failure == OsFailure::InUse)
            Refuse("[%s] is in use by another program; nothing was changed", shown.c_str());
        if (entry.kind == OsEntryKind::Missing)
            Refuse("[%s] was removed while the update was staged; nothing was changed", shown.c_str());
        if (entry.kind == OsEntryKind::Link)
            Refuse("target [%s] goes through the link [%s]; refused", shown.c_str(), shown.c_str());
        if (entry.kind == OsEntryKind::File && entry.readOnly)
            FileError(&rec, FileErrReadOnly);
        FileError(&rec, FileErrOpenUpdate);
    }
    OsFileInfo info;
    if (!OsIdentify(held, &info)) {
        OsCloseHandle(held);
        Refuse("[%s] cannot be examined; nothing was changed", shown.c_str());
    }
    if (info.links != 1) {
        OsCloseHandle(held);
        Refuse("target [%s] is a file with %u names (hard links); refused", shown.c_str(),
               static_cast<unsigned>(info.links));
    }
    *id = info.id;
    return held;
}

void Transaction::Check() {
    if (state_ != TxnState::Planning || begun_)
        InternalError("LZX", __LINE__, 'K');
    if (roots_[0].path.size() > static_cast<std::size_t>(TargetPathLimit))
        Refuse("the target directory [%s] is too long for the update: at most %d characters", roots_[0].path.c_str(),
               TargetPathLimit);
    // The roots as they are (a run makes what is missing), and the room on
    // the volume of the target, or of the folder it would be made in.
    for (RootFolder& root : roots_)
        root.handle = OsOpenFolder(root.path.c_str());
    std::string near = roots_[0].path;
    OsHandle volume = roots_[0].handle;
    while (volume == 0 && PathLeaf(near.c_str()) > PathRootLength(near.c_str())) {
        near.resize(PathLeaf(near.c_str()) - 1);
        volume = OsOpenFolder(near.c_str());
    }
    if (volume == 0)
        volume = OsOpenFolder(".");
    if (volume != 0)
        CheckRoom(volume);
    if (volume != 0 && volume != roots_[0].handle)
        OsCloseFolder(volume);
    // Every installed file held for a moment, as the commit holds it.
    for (const File& file : files_) {
        if (file.change == TxnChange::New || file.held != nullptr)
            continue;
        OsFileId id{};
        OsCloseHandle(HoldInstalled(file, &id));
    }
    for (const Folder& folder : opened_)
        OsCloseFolder(folder.handle);
    opened_.clear();
}

void Transaction::Begin() {
    if (state_ != TxnState::Planning || begun_)
        InternalError("LZX", __LINE__, 'B');
    // From here a failure or an interruption undoes what was made.
    begun_ = true;
    FatalUndoPush(UnwindOf, this);
    OsDeferInterrupts(true);

    if (roots_[0].path.size() > static_cast<std::size_t>(TargetPathLimit))
        Refuse("the target directory [%s] is too long for the update: at most %d characters", roots_[0].path.c_str(),
               TargetPathLimit);
    for (std::size_t i = 0; i < roots_.size(); ++i) {
        RootFolder& root = roots_[i];
        root.handle = OsOpenFolder(root.path.c_str());
        if (root.handle == 0 && MakePath(root.path.c_str()))
            root.handle = OsOpenFolder(root.path.c_str());
        if (root.handle == 0 || !IdentityOf(root.handle, &root.id))
            Refuse("the %s [%s] cannot be made or opened", i == 0 ? "target directory" : "folder", root.path.c_str());
    }
    // A held file lies in the target itself or in a folder of its own.
    for (File& file : files_) {
        if (file.held == nullptr)
            continue;
        // Its folder is held by the HeldFile; the current directory (0) is
        // opened for the run.
        const bool current = file.held->Folder() == 0;
        const OsHandle handle = current ? OsOpenFolder(".") : file.held->Folder();
        OsFileId folder{};
        if (handle == 0 || !IdentityOf(handle, &folder))
            Refuse("the folder of [%s] cannot be examined", file.held->Path().c_str());
        file.root = 0;
        if (folder == roots_[0].id) {
            if (current)
                OsCloseFolder(handle);
        } else {
            const std::string& path = file.held->Path();
            roots_.push_back(RootFolder{path.substr(0, file.held->leaf_), handle, folder, current});
            file.root = static_cast<int>(roots_.size() - 1);
        }
    }

    CheckRoom(roots_[0].handle);

    TakeStage(true);
    OsHideAt(roots_[0].handle, StagingFolder);
    OsFileId stage{};
    if (!IdentityOf(stage_, &stage))
        Refuse("the staging folder [%s] cannot be examined", Shown(0, StagingFolder).c_str());
    OsEntry existing;
    if (!OsQueryAt(stage_, JournalName, &existing) || existing.kind != OsEntryKind::Missing)
        Refuse("an interrupted update in [%s] must be recovered first", Shown(0, StagingFolder).c_str());
    // The staging folder goes at the end, with whatever lies in it: no file
    // of the run may lie there.
    for (const File& file : files_) {
        if (roots_[static_cast<std::size_t>(file.root)].id == stage)
            Refuse("[%s] lies in the update's own staging folder; refused", Shown(file.root, file.path).c_str());
    }
    for (const RootFolder& root : roots_) {
        if (root.id == stage)
            Refuse("[%s] lies in the update's own staging folder; refused", root.path.c_str());
    }

    journal_ = OsCreateNewFileAt(stage_, JournalName, OsAccessWrite);
    journalOurs_ = journal_ != 0;
    if (journal_ == 0)
        Refuse("the journal in [%s] cannot be made", Shown(0, StagingFolder).c_str());
    tag_ = NewTag(this);
    std::string plan = JournalLine({Heading, JournalVersion}) + JournalLine({"target", JournalId(roots_[0].id)}) +
                       JournalLine({"stage", JournalId(stage)}) + JournalLine({"tag", tag_}) +
                       JournalLine({"mode", byCopy_ ? "copy" : "rename"});
    for (std::size_t i = 1; i < roots_.size(); ++i)
        plan += JournalLine({"root", std::to_string(i), JournalId(roots_[i].id), JournalEncode(roots_[i].path)});
    for (const auto& [root, path] : folders_)
        plan += JournalLine({"folder", std::to_string(root), JournalEncode(path)});
    for (std::size_t i = 0; i < files_.size(); ++i) {
        const File& file = files_[i];
        const char* change = file.change == TxnChange::New ? "new" : file.change == TxnChange::Replace ? "replace" : "remove";
        plan += JournalLine({"file", std::to_string(i), change, std::to_string(file.root), JournalEncode(file.path)});
    }
    for (std::size_t i = 0; i < files_.size(); ++i) {
        File& file = files_[i];
        if (file.held == nullptr)
            continue;
        if (!IdentityOf(file.held->Hold()->handle, &file.stagedId))
            FileError(file.held->Hold(), FileErrOpenUpdate);
        file.staged = true;
        plan += JournalLine({"held", std::to_string(i), JournalId(file.stagedId)});
    }
    Append(plan + JournalLine({"staging"}), true);
    state_ = TxnState::Staging;
}

void Transaction::Stage(int number, FileRec* out) {
    SafeStep();
    File& file = files_.at(static_cast<std::size_t>(number));
    if (state_ != TxnState::Staging || file.holds || file.change == TxnChange::Remove)
        InternalError("LZX", __LINE__, 'S');
    const std::string shown = Shown(file.root, file.path);
    FileInit(out, 1, shown.c_str());
    int stop = 0;
    const OsHandle folder = FolderOf(file.root, file.Folder(), true, &stop);
    if (folder == 0) {
        if (stop == FolderLink)
            Refuse("target [%s] goes through a link; refused", shown.c_str());
        if (stop == FolderNotFolder)
            Refuse("target [%s] cannot be written: a file stands where a folder must be", shown.c_str());
        FileError(out, FileErrCreate);
    }
    OsEntry existing;
    if (OsQueryAt(folder, file.Leaf().c_str(), &existing)) {
        if (existing.kind == OsEntryKind::Link)
            Refuse("target [%s] goes through the link [%s]; refused", shown.c_str(), shown.c_str());
        if (existing.kind == OsEntryKind::Folder || existing.kind == OsEntryKind::Other)
            Refuse("target [%s] cannot be written: it is a folder or a device", shown.c_str());
        if (existing.links > 1)
            Refuse("target [%s] is a file with %u names (hard links); refused", shown.c_str(),
                   static_cast<unsigned>(existing.links));
        if (existing.kind == OsEntryKind::File && existing.readOnly)
            FileError(out, FileErrReadOnly);
    }
    const std::string side = Side(file);
    OsHoldInterrupts();
    out->handle = OsCreateNewFileAt(folder, side.c_str(), OsAccessWrite);
    if (out->handle != 0) {
        FileRegister(out);
        FileMarkPartialAt(out, folder, side.c_str());
    }
    OsReleaseInterrupts();
    if (out->handle == 0)
        FileError(out, FileErrCreate);
    staging_ = out;
}

void Transaction::Staged(int number, FileRec* out) {
    File& file = files_.at(static_cast<std::size_t>(number));
    FileCommit(out);
    OsFileInfo info;
    if (!OsIdentify(out->handle, &info))
        FileError(out, FileErrWrite);
    file.staged = true;
    file.stagedId = info.id;
    Append(JournalLine({"staged", std::to_string(number), JournalId(info.id)}), false);
    FileClose(out);
    staging_ = nullptr;
}

void Transaction::SafeStep() {
    if (const int signal = OsInterruptPending()) {
        if (begun_) {
            FatalUndoPop(this);
            Unwind();
        }
        OsEndInterrupted(signal);
    }
}

void Transaction::SafeStepOf(void* transaction) {
    static_cast<Transaction*>(transaction)->SafeStep();
}

// Copies from into into, from the start: into ends with the copy and is
// forced to the disk. Before every piece and after the last, into is asked
// through its own handle whether it has a second name: then nothing more
// is written, and the copy fails.
bool Transaction::CopyInto(OsHandle from, OsHandle into) {
    if (OsSetFilePointer(from, 0, 0) == OsInvalidValue || OsSetFilePointer(into, 0, 0) == OsInvalidValue)
        return false;
    const auto alone = [&] {
        OsFileInfo info;
        secondName_ = !OsIdentify(into, &info) || info.links != 1;
        return !secondName_;
    };
    if (copyPiece_.empty())
        copyPiece_.resize(CopyPiece);  // once per run
    for (;;) {
        std::uint32_t got = 0;
        std::uint32_t put = 0;
        if (!alone() || !OsReadFile(from, copyPiece_.data(), CopyPiece, &got))
            return false;
        if (got == 0)
            break;
        if (!OsWriteFile(into, copyPiece_.data(), got, &put) || put != got)
            return false;
        SafeStep();
    }
    return OsSetEndOfFile(into) && OsFlushFile(into) && alone();
}

void Transaction::Place() {
    SafeStep();
    if (state_ != TxnState::Staging)
        InternalError("LZX", __LINE__, 'C');
    // Every installed file to be replaced or removed is held with no
    // sharing from here until it has moved: a file another program holds,
    // a read-only file, or one with another name stops the run while
    // nothing installed has changed. A new file's name that has been taken
    // meanwhile (another run without a version file went first) is not the
    // run's to take.
    std::string holds;
    for (std::size_t i = 0; i < files_.size(); ++i) {
        File& file = files_[i];
        if (file.change == TxnChange::New) {
            const OsHandle folder = FolderFor(file);
            OsEntry entry{OsEntryKind::Missing, false, 0};
            if (folder != 0 && !OsQueryAt(folder, file.Leaf().c_str(), &entry))
                Refuse("[%s] cannot be examined; nothing was changed", Shown(file.root, file.path).c_str());
            if (folder == 0 || entry.kind != OsEntryKind::Missing)
                Refuse("[%s] was made by another program while the update was staged; nothing was changed",
                       Shown(file.root, file.path).c_str());
            continue;
        }
        file.installed_ = HoldInstalled(file, &file.holdId);
        file.holdKnown = true;
        holds += JournalLine({"hold", std::to_string(i), JournalId(file.holdId)});
    }
    Append(holds + JournalLine({"commit"}), true);
    state_ = TxnState::Committing;
    for (File& file : files_) {
        SafeStep();
        PlaceFile(file);
    }
    state_ = TxnState::Placed;
}

// Puts one file in place (see the top): its installed file set aside, its
// staged file at its name.
void Transaction::PlaceFile(File& file) {
    const std::size_t number = static_cast<std::size_t>(&file - files_.data());
    Append(JournalLine({"put", std::to_string(number)}), true);
    file.put = true;
    const std::string shown = Shown(file.root, file.path);
    const OsHandle folder = FolderFor(file);
    const std::string leaf = file.Leaf();
    const std::string side = Side(file);
    const std::string backup = Backup(file);
    const auto failed = [&](const char* step) {
        const char* why = secondName_                                ? ": it was given a second name"
                          : OsLastFailure() == OsFailure::DiskFull ? ": the volume has no room left"
                                                                     : "";
        Refuse("[%s] cannot %s%s; the update is undone", shown.c_str(), step, why);
    };

    // The staged file, held: the hold of a held file, else the file the run
    // staged, which must still be that file and have no other name.
    OsHandle staged = 0;
    if (file.change != TxnChange::Remove) {
        if (file.held == nullptr)
            file.staged_ = OsOpenExclusiveAt(folder, side.c_str());
        staged = file.held != nullptr ? file.held->Hold()->handle : file.staged_;
        OsFileInfo info;
        if (staged == 0 || !OsIdentify(staged, &info) || !(info.id == file.stagedId) || info.links != 1)
            Refuse("the new [%s] was changed or given a second name after it was staged; refused", shown.c_str());
    }
    const auto releaseStaged = [&](bool removeIt) {
        const bool gone = !removeIt || OsDeleteOpenFile(staged, folder, side.c_str());
        if (file.held != nullptr) {
            FileClose(file.held->Hold());
        } else {
            OsCloseHandle(file.staged_);
            file.staged_ = 0;
        }
        return gone;
    };

    // The installed file is set aside: moved to its backup, or (copy mode)
    // copied into a backup of its own, which counts once it is whole.
    if (file.change != TxnChange::New) {
        if (!byCopy_) {
            if (!OsMoveOpenFile(file.installed_, folder, leaf.c_str(), folder, backup.c_str()))
                failed("be set aside");
        } else {
            const OsHandle copy = OsCreateNewFileAt(folder, backup.c_str(), OsAccessRead | OsAccessWrite);
            OsFileId saved{};
            const bool whole = copy != 0 && CopyInto(file.installed_, copy) && IdentityOf(copy, &saved);
            if (copy != 0)
                OsCloseHandle(copy);
            if (!whole)
                failed("be set aside");
            Append(JournalLine({"aside", std::to_string(number), JournalId(saved)}), true);
            file.aside = true;
            file.asideId = saved;
        }
    }
    if (!byCopy_) {
        // The staged file takes the name the installed file left, or a new
        // file's, which nothing has.
        if (file.change != TxnChange::Remove &&
            !OsMoveOpenFile(staged, folder, side.c_str(), folder, leaf.c_str()))
            failed("take its place");
    } else if (file.change != TxnChange::Remove) {
        // Nothing is renamed: where renames go by path, even one that
        // replaces nothing can be carried elsewhere, over someone's file,
        // by a folder swapped for a link between its two lookups. A new
        // file is made at its name from the folder's handle (and known by
        // its identity before a byte goes in); the bytes go into it, or
        // into the installed file, through the handle that holds it.
        if (file.change == TxnChange::New) {
            file.installed_ = OsCreateNewFileAt(folder, leaf.c_str(), OsAccessRead | OsAccessWrite);
            if (file.installed_ == 0)
                failed("take its place");
            file.made = IdentityOf(file.installed_, &file.madeId);
            if (!file.made) {
                OsDeleteOpenFile(file.installed_, folder, leaf.c_str());
                failed("take its place");
            }
            Append(JournalLine({"made", std::to_string(number), JournalId(file.madeId)}), true);
        }
        if (!CopyInto(staged, file.installed_))
            failed("take its place");
    }
    // (copy mode: a file to remove stays until the commit is final, so that
    // its name never has to be made again.)
    if (staged != 0 && !releaseStaged(byCopy_))
        OsDeleteFileAt(folder, side.c_str());
    if (file.installed_ != 0) {
        OsCloseHandle(file.installed_);
        file.installed_ = 0;
    }
}

void Transaction::Step(const char* name, const char* undoValue, Undo undo, void* context) {
    SafeStep();
    if (state_ != TxnState::Placed)
        InternalError("LZX", __LINE__, 'T');
    Append(JournalLine({"step", JournalEncode(name), JournalEncode(undoValue)}), true);
    steps_.push_back(StepTaken{name, undoValue, undo, context});
}

void Transaction::Commit() {
    SafeStep();
    if (state_ != TxnState::Placed)
        InternalError("LZX", __LINE__, 'D');
    Append(JournalLine({"done"}), true);
    state_ = TxnState::Done;
    begun_ = false;
    FatalUndoPop(this);
    ReleaseHandles();
    if (!Complete())
        Refuse("the backups in [%s] cannot be removed; the update is complete", roots_[0].path.c_str());
    ClearStage();
    // The update is whole: an interruption meanwhile ends the process now.
    OsDeferInterrupts(false);
    if (const int signal = OsInterruptPending())
        OsEndInterrupted(signal);
}

void Transaction::RollBack() {
    if (!begun_)
        return;
    FatalUndoPop(this);
    Unwind();
    OsDeferInterrupts(false);
}

// ---- Undoing ----------------------------------------------------------------------------------

void Transaction::ReleaseHandles() {
    for (File& file : files_) {
        for (OsHandle* handle : {&file.installed_, &file.staged_}) {
            if (*handle != 0)
                OsCloseHandle(*handle);
            *handle = 0;
        }
    }
    if (journal_ != 0)
        OsCloseHandle(journal_);
    journal_ = 0;
}

// The fatal path's undoing, and an interruption's: everything the run holds
// is let go, then the run is undone as its records say.
void Transaction::Unwind() {
    begun_ = false;
    ReleaseHandles();
    // The staged file being written, and the holds of held files, which go
    // while they are held.
    if (staging_ != nullptr)
        FileClose(staging_);
    staging_ = nullptr;
    for (File& file : files_) {
        FileRec* hold = file.held != nullptr ? file.held->Hold() : nullptr;
        if (hold != nullptr && hold->handle != 0) {
            const std::string name = Side(file);
            const bool gone = OsDeleteOpenFile(hold->handle, file.held->Folder(), name.c_str());
            FileClose(hold);
            if (!gone)
                OsDeleteFileAt(file.held->Folder(), name.c_str());
        }
    }
    if (stage_ == 0 || hold_.handle == 0) {
        // Nothing was made but, perhaps, the target.
        state_ = TxnState::RolledBack;
        return;
    }
    if (state_ == TxnState::Planning) {
        ClearStage();
        state_ = TxnState::RolledBack;
        return;
    }
    if (!UndoAll()) {
        Tell("rolled back in part: the journal in " + Shown(0, StagingFolder) +
             " is kept, and the next run finishes the undoing");
        state_ = TxnState::RolledBack;
        return;
    }
    ClearStage();
    state_ = TxnState::RolledBack;
    std::string told = "rolled back: every file is as it was before the update";
    for (const std::string& kept : kept_)
        told += "; " + kept;
    Tell(told);
}

void Transaction::UnwindOf(void* transaction) {
    static_cast<Transaction*>(transaction)->Unwind();
}

// Puts one file's name back as it was before the run (see the top). false
// when that failed and a later run must try again.
bool Transaction::UndoFile(File& file) {
    const std::string shown = Shown(file.root, file.path);
    int stop = 0;
    const OsHandle folder = FolderOf(file.root, file.Folder(), false, &stop);
    if (folder == 0)
        return stop == FolderMissing;  // nothing was made there
    const std::string leaf = file.Leaf();
    const std::string backup = Backup(file);
    bool whole = RemoveIfOurs(folder, Side(file), file.holds ? &file.stagedId : nullptr);
    if (!file.put)
        return whole;  // the name itself was never touched

    OsEntry at;
    if (!OsQueryAt(folder, leaf.c_str(), &at))
        return false;
    const bool missing = at.kind == OsEntryKind::Missing;
    // What the run put at the name: by renames its staged file; by copies
    // the new file it made there (a run killed between making it and
    // recording it left it empty; a run that undoes itself knows).
    const bool placedHere =
        at.kind == OsEntryKind::File &&
        (byCopy_ ? file.change == TxnChange::New && (file.made ? at.id == file.madeId : fromJournal_ && at.size == 0)
                 : file.staged && at.id == file.stagedId);
    const auto keep = [&](const char* why) {
        kept_.push_back("[" + shown + "] " + why + ", so it is kept");
        return true;
    };

    if (file.change == TxnChange::New) {
        if (placedHere)
            return RemoveIfOurs(folder, leaf, &at.id) && whole;
        return missing ? whole : (keep("was made by someone else after the update began"), whole);
    }

    // A replaced or removed file: its backup, when the run made it whole
    // (by renames the installed file itself). An identity the journal does
    // not hold is all zero, which no file has.
    OsEntry saved;
    const bool hasBackup = FileAt(folder, backup, &saved) && saved.id == (byCopy_ ? file.asideId : file.holdId);
    const bool original = at.kind == OsEntryKind::File && at.id == file.holdId;
    if (!hasBackup) {
        // Set aside in part (copy mode), or never (renames): the name still
        // holds the installed file, unchanged. Otherwise the backup was
        // changed or removed since, and nothing can give the name back.
        if (byCopy_ ? !file.aside : original)
            return (!byCopy_ || RemoveIfOurs(folder, backup, nullptr)) && whole;
        keep(("cannot be given back: the file it replaced, " + backup + ", was changed or removed after the update began")
                 .c_str());
        return whole;
    }
    if (original && (!byCopy_ || file.change == TxnChange::Remove)) {
        // Never moved, or not yet removed: the backup is a spare.
        return RemoveIfOurs(folder, backup, nullptr) && whole;
    }
    if (original) {
        // Copy mode: the installed file itself gets its bytes back, through
        // a handle that holds it, when it still has one name.
        const OsHandle into = OsOpenExclusiveAt(folder, leaf.c_str());
        const OsHandle from = OsOpenFileAt(folder, backup.c_str(), OsAccessRead, OsShareRead);
        OsFileInfo info;
        const bool same = into != 0 && OsIdentify(into, &info) && info.id == file.holdId;
        const bool copied = same && from != 0 && CopyInto(from, into);
        if (into != 0)
            OsCloseHandle(into);
        if (from != 0)
            OsCloseHandle(from);
        if (secondName_) {
            secondName_ = false;
            return keep(("was given a second name: nothing was written through it; the file it replaced is " +
                         backup).c_str()), whole;
        }
        if (!copied)
            return false;
        return RemoveIfOurs(folder, backup, nullptr) && whole;
    }
    if (byCopy_ || (!missing && !placedHere)) {
        // By copies the run never takes a name away: someone else has.
        keep(("was changed or removed after the update began; the file it replaced is " + backup).c_str());
        return whole;
    }
    if (!missing && !RemoveIfOurs(folder, leaf, &at.id))
        return false;
    // The backup takes the free name back in one step, which a repeated
    // undoing finds done.
    return OsMoveAt(folder, backup.c_str(), folder, leaf.c_str()) && whole;
}

bool Transaction::UndoAll() {
    bool whole = true;
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
        if (!step->undo(step->value.c_str(), step->context)) {
            kept_.push_back("the step \"" + step->name + "\" could not be undone");
            whole = false;
        }
    }
    for (auto file = files_.rbegin(); file != files_.rend(); ++file)
        whole = UndoFile(*file) && whole;
    // The folders the run made, when empty; held folders are let go first.
    for (const Folder& folder : opened_)
        OsCloseFolder(folder.handle);
    opened_.clear();
    for (auto made = folders_.rbegin(); made != folders_.rend(); ++made) {
        int stop = 0;
        const std::size_t leaf = LeafAt(made->second);
        const std::string parent = leaf == 0 ? std::string() : made->second.substr(0, leaf - 1);
        if (const OsHandle folder = FolderOf(made->first, parent, false, &stop))
            OsRemoveFolderAt(folder, made->second.c_str() + leaf);
        for (const Folder& opened : opened_)
            OsCloseFolder(opened.handle);
        opened_.clear();
    }
    return whole;
}

// Removes the backups of a finished commit, and (copy mode) the files it
// removes, when they are still the ones it held.
bool Transaction::Complete() {
    bool whole = true;
    for (const File& file : files_) {
        if (file.change == TxnChange::New)
            continue;
        if (const OsHandle folder = FolderFor(file)) {
            if (byCopy_ && file.change == TxnChange::Remove)
                whole = RemoveIfOurs(folder, file.Leaf(), &file.holdId) && whole;
            whole = RemoveIfOurs(folder, Backup(file), nullptr) && whole;
        }
    }
    return whole;
}

// Removes the journal and the hold, and the staging folder when nothing
// else is left in it.
void Transaction::ClearStage() {
    for (const Folder& folder : opened_)
        OsCloseFolder(folder.handle);
    opened_.clear();
    if (stage_ == 0)
        return;
    if (journal_ != 0) {
        OsCloseHandle(journal_);
        journal_ = 0;
    }
    // A journal this run did not write or act on is another run's record.
    if (journalOurs_)
        OsDeleteFileAt(stage_, JournalName);
    if (hold_.handle != 0) {
        const bool gone = OsDeleteOpenFile(hold_.handle, stage_, HoldName);
        FileClose(&hold_);
        if (!gone)
            OsDeleteFileAt(stage_, HoldName);
    }
    OsCloseFolder(stage_);
    stage_ = 0;
    OsRemoveFolderAt(roots_[0].handle, StagingFolder);
}

// ---- Recovery ----------------------------------------------------------------------------------

bool Transaction::Pending(const char* target) {
    const std::string journal = std::string(target) + "\\" + StagingFolder + "\\" + JournalName;
    return journal.size() < FileNameSize && FileExists(journal.c_str());
}

// A journal that cannot be trusted: the hold this run took goes, and the
// run ends without having touched anything else.
void Transaction::Untrusted(const std::string& why) {
    if (hold_.handle != 0) {
        OsDeleteOpenFile(hold_.handle, stage_, HoldName);
        FileClose(&hold_);
    }
    const std::string stage = Shown(0, StagingFolder);
    Refuse("the journal of an interrupted update in [%s] %s; nothing was changed. Check the files in [%s], then "
           "remove [%s] to go on",
           stage.c_str(), why.c_str(), roots_[0].path.c_str(), stage.c_str());
}

// Reads a journal's records into the run: every record checked before
// anything is done, so that a journal that cannot be trusted is never acted
// on.
void Transaction::LoadJournal(const std::string& text, const RecoverOptions& options) {
    fromJournal_ = true;
    std::vector<std::vector<std::string>> lines;
    int bad = 0;
    if (!JournalLines(text, &lines, &bad))
        Untrusted(bad == 1 ? "is not one this program wrote" : "is damaged (line " + std::to_string(bad) + ")");
    if (lines.empty()) {
        state_ = TxnState::Planning;  // killed before its plan was written: nothing was staged
        return;
    }
    if (lines[0] != std::vector<std::string>{Heading, JournalVersion})
        Untrusted("is not one this program wrote");
    OsFileId stageId{};
    if (!IdentityOf(stage_, &stageId))
        Untrusted("cannot be checked");
    enum Part { Header, Staging, Committing, Finished } part = Header;
    bool haveTarget = false, haveStage = false, haveMode = false;
    const auto number = [&](const std::string& word, std::size_t limit, std::size_t* value) {
        if (word.empty() || word.size() > 9 || word.find_first_not_of("0123456789") != std::string::npos)
            return false;
        *value = std::stoul(word);
        return *value < limit;
    };
    for (std::size_t at = 1; at < lines.size(); ++at) {
        const std::vector<std::string>& w = lines[at];
        const std::string& kind = w[0];
        const std::string where = " (line " + std::to_string(at + 1) + ")";
        std::size_t n = 0;
        OsFileId id{};
        std::string text1, text2;
        const auto fileRecord = [&](std::size_t words) {
            return w.size() == words && number(w[1], files_.size(), &n);
        };
        if (part == Header) {
            if (kind == "target" && w.size() == 2 && JournalReadId(w[1], &id)) {
                if (!(id == roots_[0].id))
                    Untrusted("was written for another folder than [" + roots_[0].path + "]");
                haveTarget = true;
            } else if (kind == "stage" && w.size() == 2 && JournalReadId(w[1], &id)) {
                if (!(id == stageId))
                    Untrusted("was not written in this staging folder");
                haveStage = true;
            } else if (kind == "tag" && w.size() == 2 && w[1].size() == 6 &&
                       w[1].find_first_not_of("0123456789ABCDEF") == std::string::npos) {
                tag_ = w[1];
            } else if (kind == "mode" && w.size() == 2 && (w[1] == "copy" || w[1] == "rename")) {
                byCopy_ = w[1] == "copy";
                haveMode = true;
            } else if (kind == "root" && w.size() == 4 && number(w[1], roots_.size() + 1, &n) && n == roots_.size() &&
                       JournalReadId(w[2], &id) && JournalDecode(w[3], &text1)) {
                // Only a folder this run was given, found by what it is.
                RootFolder root{text1, 0, id, true};
                for (const HeldPlace& held : options.held) {
                    FolderChain chain;
                    OsFileId found{};
                    if (root.handle == 0 && HeldFile::Walk(held.path.c_str(), held.below, &chain) == FolderReached) {
                        // Kept (the rest let go); the current directory opened for it.
                        const OsHandle folder = chain.count > 0 ? chain.handles[--chain.count] : OsOpenFolder(".");
                        if (folder != 0 && IdentityOf(folder, &found) && found == id) {
                            root.handle = folder;
                            root.path = held.path.substr(0, LeafAt(held.path));
                        } else if (folder != 0) {
                            OsCloseFolder(folder);
                        }
                    }
                    FolderRelease(&chain);
                }
                if (root.handle == 0)
                    Untrusted("names a folder outside [" + roots_[0].path + "] (" + text1 +
                              ") that this run was not given: run the same update again with the same version file");
                roots_.push_back(root);
            } else if (kind == "folder" && w.size() == 3 && number(w[1], roots_.size(), &n) &&
                       JournalDecode(w[2], &text1)) {
                if (LeavesItsRoot(text1))
                    Untrusted("names a folder outside its target" + where);
                folders_.emplace_back(static_cast<int>(n), text1);
            } else if (kind == "file" && w.size() == 5 && number(w[1], files_.size() + 1, &n) && n == files_.size() &&
                       (w[2] == "new" || w[2] == "replace" || w[2] == "remove") && JournalDecode(w[4], &text1)) {
                std::size_t root = 0;
                if (!number(w[3], roots_.size(), &root) || LeavesItsRoot(text1) ||
                    Shown(static_cast<int>(root), text1).size() + SideNameExtra >= static_cast<std::size_t>(FileNameSize))
                    Untrusted("names a file outside its target" + where);
                const TxnChange change = w[2] == "new" ? TxnChange::New : w[2] == "replace" ? TxnChange::Replace
                                                                                             : TxnChange::Remove;
                files_.push_back(File{static_cast<int>(root), text1, change, 0, 0});
            } else if (kind == "held" && fileRecord(3) && JournalReadId(w[2], &id) && !files_[n].staged &&
                       files_[n].change != TxnChange::Remove && files_[n].path.find('\\') == std::string::npos) {
                files_[n].holds = true;
                files_[n].staged = true;
                files_[n].stagedId = id;
            } else if (kind == "staging" && w.size() == 1 && haveTarget && haveStage && haveMode && tag_.size() == 6) {
                part = Staging;
            } else {
                Untrusted("holds a record it cannot take" + where);
            }
            continue;
        }
        if (kind == "staged" && part == Staging && fileRecord(3) && JournalReadId(w[2], &id) && !files_[n].staged) {
            files_[n].staged = true;
            files_[n].stagedId = id;
        } else if (kind == "hold" && part == Staging && fileRecord(3) && JournalReadId(w[2], &id) &&
                   files_[n].change != TxnChange::New && !files_[n].holdKnown) {
            files_[n].holdKnown = true;
            files_[n].holdId = id;
        } else if (kind == "commit" && part == Staging && w.size() == 1) {
            part = Committing;
        } else if (kind == "put" && part == Committing && fileRecord(2) && !files_[n].put) {
            files_[n].put = true;
        } else if (kind == "aside" && part == Committing && fileRecord(3) && JournalReadId(w[2], &id) &&
                   files_[n].put && byCopy_ && files_[n].change != TxnChange::New) {
            files_[n].aside = true;
            files_[n].asideId = id;
        } else if (kind == "made" && part == Committing && fileRecord(3) && JournalReadId(w[2], &id) &&
                   files_[n].put && byCopy_ && files_[n].change == TxnChange::New) {
            files_[n].made = true;
            files_[n].madeId = id;
        } else if (kind == "step" && part == Committing && w.size() == 3 && JournalDecode(w[1], &text1) &&
                   JournalDecode(w[2], &text2)) {
            const StepUndo* undo = nullptr;
            for (const StepUndo& known : options.steps) {
                if (known.name == text1)
                    undo = &known;
            }
            if (undo == nullptr)
                Untrusted("took the step \"" + text1 + "\", which only the program that took it can undo: run that "
                          "program again");
            steps_.push_back(StepTaken{text1, text2, undo->undo, undo->context});
        } else if (kind == "done" && part == Committing && w.size() == 1) {
            part = Finished;
        } else {
            Untrusted("holds a record it cannot take" + where);
        }
    }
    if (part == Header)
        state_ = TxnState::Planning;  // the plan was cut short: nothing was staged
    else
        state_ = part == Staging ? TxnState::Staging : part == Committing ? TxnState::Committing : TxnState::Done;
}

TxnOutcome Transaction::Recover(const char* target, const RecoverOptions& options) {
    // No run keeps a journal in a target longer than that.
    if (target == nullptr || target[0] == 0 || std::strlen(target) > static_cast<std::size_t>(TargetPathLimit))
        return TxnOutcome::Nothing;
    Transaction run(target, options.operation, false);
    run.OnReport(options.report, options.context);
    RootFolder& root = run.roots_[0];
    root.handle = OsOpenFolder(target);
    TxnOutcome outcome = TxnOutcome::Nothing;
    if (root.handle != 0 && IdentityOf(root.handle, &root.id) && run.TakeStage(false)) {
        const OsHandle journal = OsOpenFileAt(run.stage_, JournalName, OsAccessRead, OsShareRead);
        OsEntry entry;
        if (journal == 0 && !(OsQueryAt(run.stage_, JournalName, &entry) && entry.kind == OsEntryKind::Missing))
            run.Untrusted("cannot be read");
        if (journal != 0) {
            OsFileInfo info;
            std::string text;
            const bool sized = OsIdentify(journal, &info) && info.links == 1 && info.size <= JournalLimit;
            if (sized) {
                text.resize(static_cast<std::size_t>(info.size));
                std::uint32_t got = 0;
                const bool read = text.empty() ||
                                  (OsReadFile(journal, text.data(), static_cast<std::uint32_t>(text.size()), &got) &&
                                   got == text.size());
                if (!read)
                    text.clear();
            }
            OsCloseHandle(journal);
            if (!sized)
                run.Untrusted("is not one this program wrote");
            run.LoadJournal(text, options);
            run.journalOurs_ = true;
            if (run.state_ == TxnState::Done) {
                outcome = TxnOutcome::Completed;
                if (!run.Complete())
                    run.Refuse("the backups of a completed update in [%s] cannot be removed", target);
            } else if (run.state_ != TxnState::Planning) {
                outcome = run.state_ == TxnState::Committing ? TxnOutcome::RolledBack : TxnOutcome::Staged;
                if (!run.UndoAll())
                    run.Refuse("an interrupted update in [%s] cannot be undone; its journal is kept", target);
            }
        }
        run.ClearStage();
    }
    // A held file's hold that nobody holds any more, left by a run killed
    // before its journal: removed.
    for (const HeldPlace& held : options.held) {
        FolderChain chain;
        const std::string hold = held.path.substr(LeafAt(held.path)) + HeldSuffix;
        if (HeldFile::Walk(held.path.c_str(), held.below, &chain) != FolderReached)
            continue;
        OsEntry entry;
        if (FileAt(chain.Innermost(), hold, &entry) && entry.links == 1) {
            if (const OsHandle stale = OsOpenLockAt(chain.Innermost(), hold.c_str())) {
                const bool gone = OsDeleteOpenFile(stale, chain.Innermost(), hold.c_str());
                OsCloseHandle(stale);
                if (!gone)
                    OsDeleteFileAt(chain.Innermost(), hold.c_str());
            }
        }
        FolderRelease(&chain);
    }
    if (outcome != TxnOutcome::Nothing) {
        std::string told = outcome == TxnOutcome::Staged
                               ? "recovered: the staged files of an interrupted update removed; nothing installed had changed"
                           : outcome == TxnOutcome::RolledBack
                               ? "recovered: an interrupted update undone: every file is as it was before it"
                               : "recovered: a finished update's backups removed";
        for (const std::string& kept : run.kept_)
            told += "; " + kept;
        run.Tell(told);
    }
    return outcome;
}
