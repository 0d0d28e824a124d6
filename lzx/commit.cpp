// commit.cpp - all or nothing: staging, the journal, the commit, its undoing
// and the recovery of a killed run.
//
// A staged run changes no installed file until every file it will write
// lies whole on the disk beside its target, under the target's name and
// ".TAG.tmp" (TAG one per run). The hidden folder ".lzx-update" inside the
// target holds the run's hold and its journal, which names the target, the
// tag and the plan: the folders to make, and each file to write or remove.
// The journal is written before anything else is made, so a killed run can
// always be found out and undone. Then:
//
//   1. the version file's new records are written beside it ("FILE.new",
//      the run's hold on it) and forced to the disk;
//   2. every installed file to be replaced is opened with no sharing, and
//      kept so until it is moved: a file another program holds, or a
//      read-only one, stops the run here, before anything installed has
//      changed;
//   3. the journal says "commit";
//   4. each installed file takes the name ".TAG.old" (its backup), its new
//      file takes its place; the version file last;
//   5. the caller's step (the updater records its version), then the
//      journal says "done";
//   6. the backups, the journal and the staging folder go.
//
// Every rename stays inside one folder. Where the system renames by the
// whole path (Wine does), even that could be carried elsewhere by a folder
// swapped for a link between the two lookups of one rename; there the files
// are copied instead, through handles of files opened from their folder's
// handle: an installed file into its backup (whole once it has its name),
// the staged file into the installed one (or into a new file of its name).
//
// Undoing is the same for a failure, an interruption and the next run after
// a kill, and can be repeated: for each planned file, last first, a backup
// takes its name back (over a new file that took it), a new file that took
// a name nothing had goes, a temporary file goes; then the folders the run
// made, when empty. After "done" only the backups go.
//
// The journal lies where anyone who can write to the target can change it,
// so it is taken at its word only within bounds: every name it holds lies
// below the target (or is the version file the caller names), holds no ".."
// and is reached from the target's handle, never through a link.
#include "lzx/commit.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>

namespace {

constexpr const char* JournalName = "journal";
constexpr const char* HoldName = "hold";
constexpr const char* JournalHeading = "LZX journal 2";
constexpr int JournalLineLimit = 1000;
constexpr long long SpaceMargin = 1 << 20;  // kept free beyond the staged bytes
constexpr int NoteLimit = 63;
constexpr int StagePiece = 15011;
constexpr int StepTries = 50;     // a step that fails while a folder is swapped is tried again
constexpr unsigned StepPause = 2;  // ms between tries
constexpr unsigned LockPoll = 100;        // ms between tries for another run's hold
constexpr unsigned LockPatience = 60000;  // ms before it is reported

}  // namespace

// Copies the first file open into the second, from the start: the second
// ends with the copy, and is forced to the disk.
bool CopyBetween(OsHandle from, OsHandle to) {
    if (OsSetFilePointer(from, 0, 0) == OsInvalidValue || OsSetFilePointer(to, 0, 0) == OsInvalidValue)
        return false;
    std::uint8_t piece[StagePiece];
    for (;;) {
        std::uint32_t got = 0;
        std::uint32_t put = 0;
        if (!OsReadFile(from, piece, sizeof piece, &got))
            return false;
        if (got == 0)
            break;
        if (!OsWriteFile(to, piece, got, &put) || put != got)
            return false;
    }
    return OsSetEndOfFile(to) && OsFlushFile(to);
}

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

const char* LeafOf(const std::string& path) {
    return path.c_str() + PathLeaf(path.c_str());
}

// A path's folders, held: below the target from the target's handle, never
// through a link; any other path (a version file outside the target) only
// its last component.
std::size_t BelowOf(const std::string& target, const std::string& path) {
    const bool inside = path.size() > target.size() + 1 && path.compare(0, target.size(), target) == 0 &&
                        IsSeparator(path[target.size()]);
    return inside ? target.size() + 1 : PathLeaf(path.c_str());
}

bool Reach(const std::string& target, const std::string& path, bool make, FolderChain* chain) {
    std::size_t stop = 0;
    return FolderWalk(path.c_str(), BelowOf(target, path), make ? 1 : 0, chain, &stop) == FolderReached;
}

// The folders a commit or its undoing reaches, each walked to once and held
// until the end, so that every file in a folder goes through one walk. A
// folder that cannot be reached is not kept: it is walked to again.
class HeldFolders {
public:
    HeldFolders() = default;
    HeldFolders(const HeldFolders&) = delete;
    HeldFolders& operator=(const HeldFolders&) = delete;
    ~HeldFolders() { Release(); }

    bool Of(const std::string& target, const std::string& path, OsHandle* folder) {
        const std::string key = path.substr(0, PathLeaf(path.c_str()));
        auto found = chains_.find(key);
        if (found == chains_.end()) {
            FolderChain chain;
            if (!Reach(target, path, false, &chain))
                return false;
            found = chains_.emplace(key, chain).first;
        }
        *folder = found->second.Innermost();
        return true;
    }
    void Release() {
        for (auto& [key, chain] : chains_)
            FolderRelease(&chain);
        chains_.clear();
    }

private:
    std::map<std::string, FolderChain> chains_;
};

// The cache of the commit or undoing at work; null: each step walks.
HeldFolders* Folders = nullptr;

// The held folder of path's last component (scratch holds it when nothing
// is cached; release it afterwards).
bool FolderFor(const std::string& target, const std::string& path, OsHandle* folder, FolderChain* scratch) {
    scratch->count = 0;
    if (Folders != nullptr)
        return Folders->Of(target, path, folder);
    if (!Reach(target, path, false, scratch))
        return false;
    *folder = scratch->Innermost();
    return true;
}

// What stands at path now: a folder missing on the way means nothing does.
OsEntryKind KindAt(const std::string& target, const std::string& path) {
    FolderChain chain;
    OsHandle folder = 0;
    OsEntry entry{OsEntryKind::Missing, false, 0};
    if (FolderFor(target, path, &folder, &chain)) {
        if (!OsQueryAt(folder, LeafOf(path), &entry))
            entry.kind = OsEntryKind::Other;
        FolderRelease(&chain);
    }
    return entry.kind;
}

// Tries a step on path's folder again while it fails: a folder swapped for
// a link for a moment fails it without harm.
template <typename Step>
bool InFolderOf(const std::string& target, const std::string& path, Step step) {
    for (int attempt = 0; attempt < StepTries; ++attempt) {
        FolderChain chain;
        OsHandle folder = 0;
        if (FolderFor(target, path, &folder, &chain)) {
            const bool done = step(folder);
            FolderRelease(&chain);
            if (done)
                return true;
        }
        OsSleep(StepPause);
    }
    return false;
}

// Removes the file at path; true when it is gone.
bool RemoveFile(const std::string& target, const std::string& path) {
    return KindAt(target, path) == OsEntryKind::Missing ||
           InFolderOf(target, path, [&](OsHandle folder) { return OsDeleteFileAt(folder, LeafOf(path)); });
}

// Where renames go by path, files are copied instead (see the top).
const bool ByCopy = OsRenamesByPath();

// Copies the file at from into the file at path inside folder: the one
// held there, or a new file of that name.
bool CopyInFolder(OsHandle folder, const std::string& from, const std::string& path, OsHandle held) {
    const OsHandle source = OsOpenFileAt(folder, LeafOf(from), OsAccessRead, OsShareRead);
    if (source == 0)
        return false;
    OsHandle into = held;
    if (into == 0) {
        into = OsCreateNewFileAt(folder, LeafOf(path), OsAccessRead | OsAccessWrite);
        if (into == 0 && OsLastFailure() == OsFailure::Exists)
            into = OsOpenExclusiveAt(folder, LeafOf(path));  // made by an earlier try
    }
    const bool copied = into != 0 && CopyBetween(source, into);
    OsCloseHandle(source);
    if (into != 0 && into != held)
        OsCloseHandle(into);
    return copied;
}

// Copies the installed file held at path into its backup: under a name of
// its own first, so that a backup is whole once it has its name.
bool CopyAside(OsHandle folder, OsHandle held, const std::string& backup) {
    const std::string part = backup.substr(0, backup.size() - 4) + ".part";
    const OsHandle copy = OsCreateNewFileAt(folder, LeafOf(part), OsAccessRead | OsAccessWrite);
    const bool kept = copy != 0 && CopyBetween(held, copy) && OsRenameFileAt(copy, folder, LeafOf(part), LeafOf(backup));
    if (copy != 0)
        OsCloseHandle(copy);
    if (!kept)
        OsDeleteFileAt(folder, LeafOf(part));
    return kept;
}

// Gives path back the file its backup holds, over the file that has the
// name now (or where none has it).
bool Restore(const std::string& target, const std::string& backup, const std::string& path) {
    return InFolderOf(target, path, [&](OsHandle folder) {
        if (ByCopy)
            return CopyInFolder(folder, backup, path, 0) && OsDeleteFileAt(folder, LeafOf(backup));
        const OsHandle file = OsOpenExclusiveAt(folder, LeafOf(backup));
        const bool moved = file != 0 && OsRenameFileAt(file, folder, LeafOf(backup), LeafOf(path));
        if (file != 0)
            OsCloseHandle(file);
        return moved;
    });
}

// Removes the folder at path when it is empty.
void RemoveFolder(const std::string& target, const std::string& path) {
    FolderChain chain;
    if (Reach(target, path, false, &chain)) {
        OsRemoveFolderAt(chain.Innermost(), LeafOf(path));
        FolderRelease(&chain);
    }
}

void Tell(const UnpackOptions& options, const std::string& text) {
    if (options.told != nullptr)
        options.told(text.c_str(), options.context);
}

// ---- The journal -----------------------------------------------------------------

struct Journal {
    std::string state;  // "staging", "commit" or "done"
    std::string target;
    std::string tag;
    std::string table;  // may be empty
    bool tableExisted = false;
    std::string note;
    std::vector<std::string> made;
    std::vector<PlannedFile> files;
};

std::string Temporary(const Journal& journal, const PlannedFile& file) {
    return file.path + "." + journal.tag + ".tmp";
}

std::string Backup(const Journal& journal, const std::string& path) {
    return path + "." + journal.tag + ".old";
}

void WriteJournal(OsHandle stage, const std::string& stagePath, const Journal& journal) {
    FileRec rec;
    FileInit(&rec, 1, (stagePath + "\\" + JournalName).c_str());
    FileSibling sibling;
    FileCreateSibling(&rec, &sibling, stage);
    FilePrintf(&rec, "%s\r\nstate %s\r\ntarget %s\r\ntag %s\r\n", JournalHeading, journal.state.c_str(),
               journal.target.c_str(), journal.tag.c_str());
    if (!journal.table.empty())
        FilePrintf(&rec, "%s %s\r\n", journal.tableExisted ? "table" : "newtable", journal.table.c_str());
    if (!journal.note.empty())
        FilePrintf(&rec, "note %s\r\n", journal.note.c_str());
    for (const std::string& folder : journal.made)
        FilePrintf(&rec, "made %s\r\n", folder.c_str());
    for (const PlannedFile& file : journal.files) {
        const char* kind = !file.staged ? "remove" : file.existed ? "replace" : "new";
        FilePrintf(&rec, "%s %s\r\n", kind, file.path.c_str());
    }
    FileCommitSibling(&rec, &sibling);
}

[[noreturn]] void Untrusted(const std::string& stagePath, const char* why) {
    FatalMessage("UnPackLZX: the journal of an interrupted update in [%s] %s; nothing was changed", stagePath.c_str(),
                 why);
}

// A name the journal may hold: below the target, never with a "..".
bool Allowed(const std::string& target, const std::string& path) {
    for (std::size_t at = 0; at + 1 < path.size(); ++at) {
        if (path[at] == '.' && path[at + 1] == '.' && (at == 0 || IsSeparator(path[at - 1])) &&
            (at + 2 == path.size() || IsSeparator(path[at + 2])))
            return false;
    }
    return path.size() + SiblingExtra < FileNameSize && BelowOf(target, path) == target.size() + 1;
}

// Reads the journal in stage; false when there is none.
bool ReadJournal(OsHandle stage, const std::string& stagePath, const std::string& target, const char* table,
                 Journal* journal) {
    FileRec rec;
    FileInit(&rec, 1, (stagePath + "\\" + JournalName).c_str());
    rec.handle = OsOpenFileAt(stage, JournalName, OsAccessRead, OsShareRead);
    if (rec.handle == 0) {
        OsEntry entry;
        if (OsQueryAt(stage, JournalName, &entry) && entry.kind == OsEntryKind::Missing)
            return false;
        FileError(&rec, FileErrOpenRead);
    }
    FileRegister(&rec);
    char line[JournalLineLimit + 1];
    bool heading = false;
    while (FileReadLine(&rec, line, JournalLineLimit)) {
        if (std::strlen(line) >= static_cast<std::size_t>(JournalLineLimit))
            Untrusted(stagePath, "has a line too long");
        const std::string text = line;
        const std::size_t blank = text.find(' ');
        const std::string word = text.substr(0, blank);
        const std::string rest = blank == std::string::npos ? std::string() : text.substr(blank + 1);
        if (!heading) {
            if (text != JournalHeading)
                Untrusted(stagePath, "is not one");
            heading = true;
        } else if (word == "state" && (rest == "staging" || rest == "commit" || rest == "done")) {
            journal->state = rest;
        } else if (word == "target") {
            journal->target = rest;
        } else if (word == "tag" && rest.size() == 6 && rest.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
            journal->tag = rest;
        } else if (word == "table" || word == "newtable") {
            journal->table = rest;
            journal->tableExisted = word == "table";
        } else if (word == "note" && rest.size() <= NoteLimit) {
            journal->note = rest;
        } else if (word == "made") {
            journal->made.push_back(rest);
        } else if (word == "new" || word == "replace" || word == "remove") {
            journal->files.push_back({rest, 0, 0, word != "remove", word != "new"});
        } else {
            Untrusted(stagePath, "holds a line it cannot take");
        }
    }
    FileClose(&rec);
    if (!heading || journal->state.empty() || journal->tag.empty())
        Untrusted(stagePath, "is cut short");
    if (journal->target != target)
        Untrusted(stagePath, "was written for another target directory");
    if (!journal->table.empty() && (table == nullptr || journal->table != table ||
                                    journal->table.size() + SiblingExtra >= FileNameSize))
        Untrusted(stagePath, "names another version file");
    for (const std::string& folder : journal->made) {
        if (!Allowed(target, folder))
            Untrusted(stagePath, "names a folder outside the target");
    }
    for (const PlannedFile& file : journal->files) {
        if (!Allowed(target, file.path))
            Untrusted(stagePath, "names a file outside the target");
    }
    return true;
}

// ---- Undoing, completing, clearing ---------------------------------------------------

// Puts one planned file's name back as it was. false when that failed.
bool UndoFile(const Journal& journal, const std::string& path, const std::string& temporary, bool existed) {
    const std::string backup = Backup(journal, path);
    bool whole = true;
    if (existed && KindAt(journal.target, backup) == OsEntryKind::File)
        whole = Restore(journal.target, backup, path);
    else if (!existed && journal.state != "staging")
        whole = RemoveFile(journal.target, path);  // a new file, where nothing was
    whole = RemoveFile(journal.target, path + "." + journal.tag + ".part") && whole;
    return RemoveFile(journal.target, temporary) && whole;
}

// Undoes a run, last file first. false when a file could not be put back
// (the journal then stays for the next run).
bool RollBack(const Journal& journal) {
    HeldFolders folders;
    Folders = &folders;
    bool whole = true;
    if (!journal.table.empty())
        whole = UndoFile(journal, journal.table, journal.table + ".new", journal.tableExisted);
    for (auto file = journal.files.rbegin(); file != journal.files.rend(); ++file)
        whole = UndoFile(journal, file->path, Temporary(journal, *file), file->existed) && whole;
    // A held folder could not be removed.
    folders.Release();
    Folders = nullptr;
    for (auto folder = journal.made.rbegin(); folder != journal.made.rend(); ++folder)
        RemoveFolder(journal.target, *folder);
    return whole;
}

// Removes the backups of a finished commit.
bool Complete(const Journal& journal) {
    HeldFolders folders;
    Folders = &folders;
    bool whole = !journal.tableExisted || RemoveFile(journal.target, Backup(journal, journal.table));
    for (const PlannedFile& file : journal.files) {
        if (file.existed)
            whole = RemoveFile(journal.target, Backup(journal, file.path)) && whole;
    }
    Folders = nullptr;
    return whole;
}

// Empties the staging folder, whose hold is the caller's, and removes it
// with the hold.
void ClearStage(OsHandle targetFolder, OsHandle stage, const std::string& stagePath, FileRec* hold) {
    char name[FileNameSize];
    const std::string pattern = stagePath + "\\*";
    if (const OsHandle find = OsFindFirst(pattern.c_str(), name)) {
        do {
            if (std::strcmp(name, HoldName) != 0 && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
                OsDeleteFileAt(stage, name);
        } while (OsFindNext(find, name));
        OsFindClose(find);
    }
    const bool gone = OsDeleteOpenFile(hold->handle, stage, HoldName);
    FileClose(hold);
    if (!gone)
        OsDeleteFileAt(stage, HoldName);
    OsCloseFolder(stage);
    OsRemoveFolderAt(targetFolder, StagingFolder);
}

// The staging folder inside targetFolder with its hold taken: another run
// at work there is waited for (a minute at most, as a version file's hold
// is), and when it has removed the folder on its way out, the folder is
// opened (or, with make, made) again. false when there is none (make not
// set).
bool TakeStage(OsHandle targetFolder, bool make, const std::string& stagePath, OsHandle* stage, FileRec* hold) {
    FileInit(hold, 1, (stagePath + "\\" + HoldName).c_str());
    for (unsigned waited = 0;; waited += LockPoll) {
        *stage = OsOpenFolderAt(targetFolder, StagingFolder, make);
        if (*stage == 0) {
            const OsFailure failure = OsLastFailure();
            if (failure == OsFailure::Link || failure == OsFailure::NotFolder)
                FatalMessage("UnPackLZX: [%s] is not the staging folder of an update; refused", stagePath.c_str());
            if (!make)
                return false;
            FatalMessage("UnPackLZX: the staging folder [%s] cannot be made", stagePath.c_str());
        }
        OsHoldInterrupts();
        hold->handle = OsOpenLockAt(*stage, HoldName);
        if (hold->handle != 0)
            FileRegister(hold);
        OsReleaseInterrupts();
        if (hold->handle != 0)
            return true;
        const OsFailure failure = OsLastFailure();
        OsCloseFolder(*stage);
        *stage = 0;
        if (failure != OsFailure::InUse && waited > 10 * LockPoll)
            FileError(hold, FileErrOpenUpdate);
        if (waited >= LockPatience)
            FatalMessage("UnPackLZX: another update stays at work in [%s]", stagePath.c_str());
        OsSleep(LockPoll);
    }
}

// What the staging folder holds, dealt with, for a hold already taken.
UnpackRecovery Settle(OsHandle targetFolder, OsHandle stage, const std::string& target, const char* table,
                      FileRec* hold, const UnpackOptions& options) {
    const std::string stagePath = target + "\\" + StagingFolder;
    Journal journal;
    // Without a journal nothing was made but the folder: a run ended there.
    UnpackRecovery outcome = RecoveredNothing;
    if (ReadJournal(stage, stagePath, target, table, &journal)) {
        if (journal.state == "done") {
            outcome = RecoveredCompleted;
            if (!Complete(journal))
                FatalMessage("UnPackLZX: the backups of a completed update in [%s] cannot be removed", target.c_str());
        } else {
            outcome = journal.state == "commit" ? RecoveredRolledBack : RecoveredStaged;
            if (!RollBack(journal))
                FatalMessage("UnPackLZX: an interrupted update in [%s] cannot be undone; its journal is kept",
                             target.c_str());
            if (journal.state == "commit" && options.undo != nullptr && !journal.note.empty())
                options.undo(journal.note.c_str(), options.context);
        }
    }
    ClearStage(targetFolder, stage, stagePath, hold);
    return outcome;
}

// A version file's hold that nobody holds any more ("FILE.new"): removed.
void RemoveStaleHold(const std::string& target, const char* table) {
    if (table == nullptr)
        return;
    const std::string holdPath = std::string(table) + ".new";
    FolderChain chain;
    if (holdPath.size() >= FileNameSize || !Reach(target, holdPath, false, &chain))
        return;
    OsEntry entry;
    if (OsQueryAt(chain.Innermost(), LeafOf(holdPath), &entry) && entry.kind == OsEntryKind::File) {
        if (const OsHandle stale = OsOpenLockAt(chain.Innermost(), LeafOf(holdPath))) {
            const bool gone = OsDeleteOpenFile(stale, chain.Innermost(), LeafOf(holdPath));
            OsCloseHandle(stale);
            if (!gone)
                OsDeleteFileAt(chain.Innermost(), LeafOf(holdPath));
        }
    }
    FolderRelease(&chain);
}

const char* RecoveryWords(UnpackRecovery outcome) {
    switch (outcome) {
    case RecoveredStaged:
        return "the staged files of an interrupted update removed; nothing installed had changed";
    case RecoveredRolledBack:
        return "an interrupted update undone: every file is as it was before it";
    case RecoveredCompleted:
        return "a finished update's backups removed";
    default:
        return "";
    }
}

}  // namespace

// ---- The run in progress --------------------------------------------------------------

struct StagedRun {
    std::string stagePath;
    OsHandle targetFolder = 0;
    OsHandle stage = 0;
    FileRec hold{};
    Journal journal;
    std::size_t next = 0;        // the plan's next file, as entries arrive
    std::vector<OsHandle> held;  // replaced files, kept with no sharing until moved
    FatalCleanupCall previous = nullptr;
    // Each entry's decision, told to options.done once the commit has made
    // it true.
    struct Decision {
        EntryRec entry;
        int listed;
        bool write;
    };
    std::vector<Decision> decisions;
    long long bytes = 0;
    UnpackOptions options;
};

namespace {

// One staged run at a time, as one version file is held at a time: the
// fatal path undoes what it began.
StagedRun* Running = nullptr;

void Release(StagedRun* run) {
    for (const OsHandle handle : run->held)
        OsCloseHandle(handle);
    run->held.clear();
}

// The fatal path of a staged run: the files closed, then the run undone as
// its journal says, then the cleanup it replaced.
void UndoOnFailure() {
    StagedRun* run = Running;
    Running = nullptr;
    if (run == nullptr) {
        FileTableCloseAll();
        return;
    }
    Release(run);
    if (Folders != nullptr) {
        Folders->Release();
        Folders = nullptr;
    }
    FileTableCloseAll();
    FileRec hold{};
    FileInit(&hold, 1, (run->stagePath + "\\" + HoldName).c_str());
    if (run->stage != 0)
        hold.handle = OsOpenLockAt(run->stage, HoldName);  // the table's close gave the hold up
    if (hold.handle != 0) {
        FileRegister(&hold);
        const char* table = run->journal.table.empty() ? nullptr : run->journal.table.c_str();
        if (Settle(run->targetFolder, run->stage, run->journal.target, table, &hold, run->options) !=
            RecoveredNothing)
            Tell(run->options, "rolled back: every file is as it was before the update");
    }
    if (run->previous != nullptr)
        run->previous();
}

// An interruption during a staged run waits for a step's end, where the
// run undoes what it began and ends as the interruption would have.
void AtSafeStep() {
    if (const int signal = OsInterruptPending()) {
        UndoOnFailure();
        OsEndInterrupted(signal);
    }
}

// An installed file about to be replaced, opened with no sharing and kept
// so until it moves: another program's hold, or the read-only attribute,
// refuses the run while nothing has changed.
OsHandle HoldForReplacing(const std::string& target, const std::string& path) {
    OsHandle handle = 0;
    OsFailure failure = OsFailure::Other;
    OsEntry entry{OsEntryKind::Missing, false, 0};
    InFolderOf(target, path, [&](OsHandle folder) {
        handle = OsOpenExclusiveAt(folder, LeafOf(path));
        failure = OsLastFailure();
        OsQueryAt(folder, LeafOf(path), &entry);
        return true;
    });
    if (handle != 0)
        return handle;
    FileRec rec;
    FileInit(&rec, 1, path.c_str());
    if (failure == OsFailure::InUse)
        FatalMessage("UnPackLZX: [%s] is in use by another program; nothing was changed", path.c_str());
    if (entry.kind == OsEntryKind::File && entry.readOnly)
        FileError(&rec, FileErrReadOnly);
    FileError(&rec, FileErrOpenUpdate);
}

std::string Megabytes(long long bytes) {
    char text[40];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

std::string NewTag() {
    static std::atomic<unsigned> counter{0};  // two extractions may start at once
    const unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() ^
                                                reinterpret_cast<std::uintptr_t>(&counter));
    char tag[8];
    std::snprintf(tag, sizeof tag, "%06X", (seed * 2654435761u + counter.fetch_add(1) * 40503u) & 0xFFFFFF);
    return tag;
}

}  // namespace

UnpackRecovery UnpackRecover(const char* target, const char* tablePath, const UnpackOptions& options) {
    if (target == nullptr || target[0] == 0)
        return RecoveredNothing;
    const OsHandle targetFolder = OsOpenFolder(target);
    if (targetFolder == 0)
        return RecoveredNothing;
    UnpackRecovery outcome = RecoveredNothing;
    OsHandle stage = 0;
    FileRec hold;
    if (TakeStage(targetFolder, false, std::string(target) + "\\" + StagingFolder, &stage, &hold)) {
        outcome = Settle(targetFolder, stage, target, tablePath, &hold, options);
        if (outcome != RecoveredNothing)
            Tell(options, std::string("recovered: ") + RecoveryWords(outcome));
    }
    RemoveStaleHold(target, tablePath);
    OsCloseFolder(targetFolder);
    return outcome;
}

StagedRun* StageBegin(const char* target, const std::vector<PlannedFile>& plan, const std::vector<std::string>& made,
                      long long bytes, const UnpackOptions& options) {
    if (Running != nullptr)
        InternalError("LZX", __LINE__, 'S');
    if (target == nullptr || target[0] == 0)
        FatalMessage("UnPackLZX no target");
    auto* run = new (std::nothrow) StagedRun;
    if (run == nullptr)
        FatalMessage("UnPackLZX: out of memory");
    Journal& journal = run->journal;
    journal.state = "staging";
    journal.target = target;
    journal.tag = NewTag();
    journal.made = made;
    journal.files = plan;
    if (options.tablePath != nullptr) {
        journal.table = options.tablePath;
        FileCheckName((journal.table + ".XXXXXX.part").c_str(), "UnPackLZX");
        journal.tableExisted = KindAt(journal.target, journal.table) == OsEntryKind::File;
    }
    if (options.note != nullptr)
        journal.note = std::string(options.note).substr(0, NoteLimit);
    run->stagePath = journal.target + "\\" + StagingFolder;
    run->options = options;
    run->bytes = bytes;
    FileCheckName((run->stagePath + "\\" + JournalName + ".XXXXXX.tmp").c_str(), "UnPackLZX");
    // From here a failure or an interruption undoes what was made.
    Running = run;
    run->previous = SetFatalCleanup(UndoOnFailure);
    OsDeferInterrupts(true);
    run->targetFolder = OsOpenFolder(target);
    if (run->targetFolder == 0 && MakePath(target))
        run->targetFolder = OsOpenFolder(target);
    if (run->targetFolder == 0)
        FatalMessage("UnPackLZX: the target directory [%s] cannot be made or opened", target);

    // The new files take this much until the old ones go: found out before
    // the first byte is staged.
    const std::int64_t free = OsFreeSpace(run->targetFolder);
    if (free >= 0 && bytes + SpaceMargin > free)
        FatalMessage("UnPackLZX: the update needs %s (%lld bytes) of free space in [%s], where %s are free; nothing "
                     "was changed",
                     Megabytes(bytes + SpaceMargin).c_str(), bytes + SpaceMargin, target, Megabytes(free).c_str());

    TakeStage(run->targetFolder, true, run->stagePath, &run->stage, &run->hold);
    OsHideAt(run->targetFolder, StagingFolder);
    // A folder left by a killed run is the caller's to recover first.
    OsEntry existing;
    if (OsQueryAt(run->stage, JournalName, &existing) && existing.kind != OsEntryKind::Missing)
        FatalMessage("UnPackLZX: an interrupted update in [%s] must be recovered first", run->stagePath.c_str());
    WriteJournal(run->stage, run->stagePath, journal);
    return run;
}

void StageEntry(StagedRun* run, HILE* stream, int number, const EntryRec& entry, int listed, bool write,
                bool planned) {
    AtSafeStep();
    run->decisions.push_back({entry, listed, write});
    const std::vector<PlannedFile>& plan = run->journal.files;
    const bool inPlan = run->next < plan.size() && plan[run->next].number == number;
    if (planned != inPlan)
        FatalMessage("UnPackLZX: entry %d changed its mind between the passes; nothing was changed", number);
    if (!inPlan || !plan[run->next].staged) {
        run->next += inPlan;
        if (!EntrySkip(stream, entry.size))
            FatalMessage("UnPackLZX: unexpected eof");
        return;
    }
    const PlannedFile& file = plan[run->next++];
    // The folders were put in the journal as the plan's; they are made now,
    // each from its parent's handle.
    FolderChain chain;
    std::size_t stop = 0;
    FileRec out;
    FileInit(&out, 1, file.path.c_str());
    switch (FolderWalk(file.path.c_str(), file.below, 1, &chain, &stop)) {
    case FolderReached:
        break;
    case FolderLink:
        FatalMessage("UnPackLZX: target [%s] goes through the link [%.*s]; refused", file.path.c_str(),
                     static_cast<int>(stop), file.path.c_str());
    default:
        FileError(&out, FileErrCreate);
    }
    OsEntry existing;
    if (OsQueryAt(chain.Innermost(), LeafOf(file.path), &existing)) {
        if (existing.kind == OsEntryKind::Link)
            FatalMessage("UnPackLZX: target [%s] goes through the link [%s]; refused", file.path.c_str(),
                         file.path.c_str());
        if (existing.kind == OsEntryKind::Folder || existing.kind == OsEntryKind::Other)
            FatalMessage("UnPackLZX: target [%s] cannot be written: it is a folder or a device", file.path.c_str());
        if (existing.links > 1)
            FatalMessage("UnPackLZX: target [%s] is a file with %u names (hard links); refused", file.path.c_str(),
                         static_cast<unsigned>(existing.links));
        if (existing.kind == OsEntryKind::File && existing.readOnly)
            FileError(&out, FileErrReadOnly);
    }
    const std::string temporary = Temporary(run->journal, file);
    OsHoldInterrupts();
    out.handle = OsCreateNewFileAt(chain.Innermost(), LeafOf(temporary), OsAccessWrite);
    if (out.handle != 0) {
        FileRegister(&out);
        FileMarkPartialAt(&out, chain.Innermost(), LeafOf(temporary));
    }
    OsReleaseInterrupts();
    if (out.handle == 0)
        FileError(&out, FileErrCreate);
    TargetCopyEntry(stream, entry, &out, AtSafeStep);
    FileCommit(&out);
    FileClose(&out);
    FolderRelease(&chain);
}

void StageCommit(StagedRun* run, EntryRec* table, int capacity, const UnpackOptions& options) {
    Journal& journal = run->journal;
    HeldFolders folders;
    Folders = &folders;
    int staged = 0;
    for (const PlannedFile& file : journal.files)
        staged += file.staged;
    Tell(options, "staged: " + std::to_string(staged) + " files, " + std::to_string(run->bytes) + " bytes");

    // The version file's new records, beside it, as its hold.
    const bool hasTable = !journal.table.empty() && table != nullptr;
    if (hasTable) {
        const VersionCounts counts = VersionTableSettle(table, capacity);
        if (options.counts != nullptr)
            *options.counts = counts;
        VersionTableStage(journal.table.c_str(), table, counts.length);
    }
    AtSafeStep();

    // The files to replace, each held with no sharing from here until it
    // has moved: what another program holds, or a read-only file, stops
    // the run while nothing installed has changed. A new file that has
    // appeared since the plan was made (a run without a version file that
    // went first) is not ours to replace.
    for (const PlannedFile& file : journal.files) {
        if (file.existed)
            run->held.push_back(HoldForReplacing(journal.target, file.path));
        else if (KindAt(journal.target, file.path) != OsEntryKind::Missing)
            FatalMessage("UnPackLZX: [%s] was made by another program while the update was staged; nothing was changed",
                         file.path.c_str());
    }
    OsHandle tableHeld = 0;
    if (hasTable && journal.tableExisted) {
        tableHeld = HoldForReplacing(journal.target, journal.table);
        run->held.push_back(tableHeld);
    }

    journal.state = "commit";
    WriteJournal(run->stage, run->stagePath, journal);

    // Each installed file becomes its backup, and its new file takes the
    // name (or, where renames go by path, their bytes are copied); then
    // the version file.
    std::size_t next = 0;
    for (const PlannedFile& file : journal.files) {
        AtSafeStep();
        const OsHandle held = file.existed ? run->held[next++] : 0;
        const std::string backup = Backup(journal, file.path);
        const std::string temporary = Temporary(journal, file);
        const bool done = InFolderOf(journal.target, file.path, [&](OsHandle folder) {
            if (ByCopy) {
                if (held != 0 && KindAt(journal.target, backup) == OsEntryKind::Missing &&
                    !CopyAside(folder, held, backup))
                    return false;
                if (!file.staged)
                    return held == 0 || OsDeleteOpenFile(held, folder, LeafOf(file.path));
                // The staged file goes once it is copied: gone, it has been.
                return KindAt(journal.target, temporary) == OsEntryKind::Missing ||
                       (CopyInFolder(folder, temporary, file.path, held) && OsDeleteFileAt(folder, LeafOf(temporary)));
            }
            if (held != 0 && KindAt(journal.target, backup) == OsEntryKind::Missing &&
                !OsMoveOpenFile(held, folder, LeafOf(file.path), folder, LeafOf(backup)))
                return false;
            return !file.staged || OsMoveAt(folder, LeafOf(temporary), folder, LeafOf(file.path));
        });
        if (!done)
            FatalMessage("UnPackLZX: [%s] cannot take its place; the update is undone", file.path.c_str());
    }
    if (hasTable) {
        AtSafeStep();
        const std::string backup = Backup(journal, journal.table);
        const bool aside =
            tableHeld == 0 || InFolderOf(journal.target, journal.table, [&](OsHandle folder) {
                if (KindAt(journal.target, backup) != OsEntryKind::Missing)
                    return true;
                return ByCopy ? CopyAside(folder, tableHeld, backup)
                              : OsMoveOpenFile(tableHeld, folder, LeafOf(journal.table), folder, LeafOf(backup));
            });
        if (!aside)
            FatalMessage("UnPackLZX: [%s] cannot be set aside; the update is undone", journal.table.c_str());
        VersionTablePlace(journal.table.c_str(), ByCopy, tableHeld);
    }
    Tell(options, "committed: " + std::to_string(journal.files.size()) + " files in place" +
                      (journal.table.empty() ? std::string() : ", and " + journal.table));
    if (options.done != nullptr) {
        for (const StagedRun::Decision& decision : run->decisions)
            options.done(decision.entry, decision.listed, decision.write, options.context);
    }
    AtSafeStep();
    if (options.placed != nullptr)
        options.placed(options.context);
    AtSafeStep();

    journal.state = "done";
    WriteJournal(run->stage, run->stagePath, journal);
    folders.Release();
    Folders = nullptr;
    Running = nullptr;
    SetFatalCleanup(run->previous);
    Release(run);
    if (!Complete(journal))
        FatalMessage("UnPackLZX: the backups in [%s] cannot be removed; the update is complete",
                     journal.target.c_str());
    ClearStage(run->targetFolder, run->stage, run->stagePath, &run->hold);
    OsCloseFolder(run->targetFolder);
    delete run;
    // The update is whole: an interruption meanwhile ends the process now.
    OsDeferInterrupts(false);
    if (const int signal = OsInterruptPending())
        OsEndInterrupted(signal);
}
