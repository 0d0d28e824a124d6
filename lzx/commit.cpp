// commit.cpp - all or nothing: staging, the journal, the commit, its undoing
// and the recovery of a killed run.
//
// A staged run writes nothing where files are installed until every file it
// will write lies whole on the disk in the staging folder ".lzx-update"
// inside the target, on the same volume, so that each can take its place by
// a rename. Then:
//
//   1. the version file's new records are written beside it ("FILE.new",
//      the run's hold on it) and forced to the disk;
//   2. every file to be replaced is opened with no sharing, and kept so
//      until it is moved: a file another program holds, or a read-only
//      one, stops the run here, before anything installed has changed;
//   3. the journal records the plan: the folders to make and the renames,
//      in order, each from one name that exists to one that does not;
//   4. the plan runs: each installed file goes into the staging folder as
//      its backup, its new file takes its place; the version file last;
//   5. the caller's step (the updater records its version), then the
//      journal says "done";
//   6. the backups, the journal and the staging folder go.
//
// A failure before step 4 removes the staging folder. A failure from step 4
// until "done" undoes the renames in reverse order (a rename is done when
// its first name is gone and its second is there) and removes the folders
// the plan made; so does the next run when this one was killed, which it
// knows by the journal left behind. After "done" the next run only removes
// what is left. Every step of the undoing can be repeated: a run killed
// while undoing is undone again by the next one.
//
// The journal lies where anyone who can write to the target can change it,
// so it is taken at its word only within bounds: every name it holds lies
// below the target (or is the version file the caller names, its hold or
// its backup), holds no ".." and is reached from the target's handle, never
// through a link.
#include "lzx/commit.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr const char* JournalName = "journal";
constexpr const char* HoldName = "hold";
constexpr const char* JournalHeading = "LZX journal 1";
constexpr int JournalLineLimit = 1000;
constexpr long long SpaceMargin = 1 << 20;  // kept free beyond the staged bytes
constexpr int NoteLimit = 63;
constexpr int StagePiece = 15011;

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// One step of a commit, as the journal holds it.
struct Step {
    enum Kind { Made, Moved, Backup, Discard } kind;
    std::string from;  // Moved: the first name; Made, Backup, Discard: the name
    std::string to;    // Moved: the second name
};

// What a commit will do for one entry.
struct PlannedFile {
    std::string path;
    std::size_t below;    // where its folders are opened from their parent's handle
    std::size_t missing;  // the length of its first folder still to make, or 0
    int number;           // the entry's number: its staged file and its backup
    bool staged;          // its new file waits in the staging folder
    bool existed;         // an installed file is replaced (deleted, for D)
};

// A path's folders, held: below the target from the target's handle, never
// through a link; any other path (the version file outside the target) only
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

const char* LeafOf(const std::string& path) {
    return path.c_str() + PathLeaf(path.c_str());
}

// What stands at path now: a missing folder on the way means nothing does.
OsEntryKind KindAt(const std::string& target, const std::string& path) {
    FolderChain chain;
    OsEntry entry{OsEntryKind::Missing, false, 0};
    if (Reach(target, path, false, &chain)) {
        if (!OsQueryAt(chain.Innermost(), LeafOf(path), &entry))
            entry.kind = OsEntryKind::Other;
        FolderRelease(&chain);
    }
    return entry.kind;
}

bool MoveFile(const std::string& target, const std::string& from, const std::string& to) {
    FolderChain source, destination;
    if (!Reach(target, from, false, &source))
        return false;
    const bool reached = Reach(target, to, true, &destination);
    const bool moved = reached && OsMoveAt(source.Innermost(), LeafOf(from), destination.Innermost(), LeafOf(to));
    FolderRelease(&source);
    if (reached)
        FolderRelease(&destination);
    return moved;
}

// Removes the file at path; true when it is gone.
bool RemoveFile(const std::string& target, const std::string& path) {
    FolderChain chain;
    if (!Reach(target, path, false, &chain))
        return true;
    OsEntry entry;
    const bool gone = !OsQueryAt(chain.Innermost(), LeafOf(path), &entry) ? false
                      : entry.kind == OsEntryKind::Missing                  ? true
                                                                            : OsDeleteFileAt(chain.Innermost(), LeafOf(path));
    FolderRelease(&chain);
    return gone;
}

// Removes the folder at path when it is empty.
void RemoveFolder(const std::string& target, const std::string& path) {
    std::string parent = path;
    while (!parent.empty() && IsSeparator(parent.back()))
        parent.pop_back();
    FolderChain chain;
    if (Reach(target, parent, false, &chain)) {
        OsRemoveFolderAt(chain.Innermost(), LeafOf(parent));
        FolderRelease(&chain);
    }
}

void Tell(const UnpackOptions& options, const std::string& text) {
    if (options.told != nullptr)
        options.told(text.c_str(), options.context);
}

// ---- The journal -----------------------------------------------------------------

struct Journal {
    std::string state;   // "commit" or "done"
    std::string target;
    std::string table;   // may be empty
    std::string note;
    std::vector<Step> steps;
};

void WriteJournal(OsHandle stage, const std::string& stagePath, const Journal& journal) {
    FileRec rec;
    FileInit(&rec, 1, (stagePath + "\\" + JournalName).c_str());
    FileSibling sibling;
    FileCreateSibling(&rec, &sibling, stage);
    FilePrintf(&rec, "%s\r\nstate %s\r\ntarget %s\r\n", JournalHeading, journal.state.c_str(), journal.target.c_str());
    if (!journal.table.empty())
        FilePrintf(&rec, "table %s\r\n", journal.table.c_str());
    if (!journal.note.empty())
        FilePrintf(&rec, "note %s\r\n", journal.note.c_str());
    for (const Step& step : journal.steps) {
        switch (step.kind) {
        case Step::Made:
            FilePrintf(&rec, "made %s\r\n", step.from.c_str());
            break;
        case Step::Moved:
            FilePrintf(&rec, "move %s\r\nto %s\r\n", step.from.c_str(), step.to.c_str());
            break;
        case Step::Backup:
            FilePrintf(&rec, "backup %s\r\n", step.from.c_str());
            break;
        case Step::Discard:
            FilePrintf(&rec, "discard %s\r\n", step.from.c_str());
            break;
        }
    }
    FileCommitSibling(&rec, &sibling);
}

[[noreturn]] void Untrusted(const std::string& stagePath, const char* why) {
    FatalMessage("UnPackLZX: the journal of an interrupted update in [%s] %s; nothing was changed", stagePath.c_str(),
                 why);
}

// A name the journal may hold: below the target, or the version file the
// caller names with its hold and backup; never with a "..".
bool Allowed(const std::string& target, const char* table, const std::string& path) {
    for (std::size_t at = 0; at + 1 < path.size(); ++at) {
        if (path[at] == '.' && path[at + 1] == '.' && (at == 0 || IsSeparator(path[at - 1])) &&
            (at + 2 == path.size() || IsSeparator(path[at + 2])))
            return false;
    }
    if (path.size() >= FileNameSize)
        return false;
    if (BelowOf(target, path) == target.size() + 1)
        return true;
    const std::string own = table != nullptr ? table : "";
    return !own.empty() && (path == own || path == own + ".new" || path == own + ".old");
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
    std::string pendingMove;
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
        } else if (!pendingMove.empty() && word != "to") {
            Untrusted(stagePath, "has a move without its second name");
        } else if (word == "state" && (rest == "commit" || rest == "done")) {
            journal->state = rest;
        } else if (word == "target") {
            journal->target = rest;
        } else if (word == "table") {
            journal->table = rest;
        } else if (word == "note" && rest.size() <= NoteLimit) {
            journal->note = rest;
        } else if (word == "move") {
            pendingMove = rest;
        } else if (word == "to") {
            journal->steps.push_back({Step::Moved, pendingMove, rest});
            pendingMove.clear();
        } else if (word == "made" || word == "backup" || word == "discard") {
            const Step::Kind kind = word == "made" ? Step::Made : word == "backup" ? Step::Backup : Step::Discard;
            journal->steps.push_back({kind, rest, {}});
        } else {
            Untrusted(stagePath, "holds a line it cannot take");
        }
    }
    FileClose(&rec);
    if (!heading || journal->state.empty() || !pendingMove.empty())
        Untrusted(stagePath, "is cut short");
    if (journal->target != target)
        Untrusted(stagePath, "was written for another target directory");
    if (!journal->table.empty() && (table == nullptr || journal->table != table))
        Untrusted(stagePath, "names another version file");
    for (const Step& step : journal->steps) {
        if (!Allowed(target, table, step.from) || (step.kind == Step::Moved && !Allowed(target, table, step.to)))
            Untrusted(stagePath, "names a file outside the target");
    }
    return true;
}

// ---- Undoing, completing, clearing ---------------------------------------------------

// Undoes the done steps of a commit, last first. false when a rename back
// failed (the journal then stays for the next run).
bool RollBack(const Journal& journal) {
    bool whole = true;
    for (auto step = journal.steps.rbegin(); step != journal.steps.rend(); ++step) {
        if (step->kind == Step::Moved) {
            const bool done = KindAt(journal.target, step->from) == OsEntryKind::Missing &&
                              KindAt(journal.target, step->to) != OsEntryKind::Missing;
            if (done && !MoveFile(journal.target, step->to, step->from))
                whole = false;
        } else if (step->kind == Step::Made) {
            RemoveFolder(journal.target, step->from);
        }
    }
    for (const Step& step : journal.steps) {
        if (step.kind == Step::Discard && !RemoveFile(journal.target, step.from))
            whole = false;
    }
    return whole;
}

// Removes the backups of a finished commit.
bool Complete(const Journal& journal) {
    bool whole = true;
    for (const Step& step : journal.steps) {
        if (step.kind == Step::Backup && !RemoveFile(journal.target, step.from))
            whole = false;
    }
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
    OsDeleteOpenFile(hold->handle, stage, HoldName);
    FileClose(hold);
    OsDeleteFileAt(stage, HoldName);
    OsCloseFolder(stage);
    OsRemoveFolderAt(targetFolder, StagingFolder);
}

// Takes the hold of the staging folder stage; fatal while another run has it.
void TakeHold(OsHandle stage, const std::string& stagePath, FileRec* hold) {
    FileInit(hold, 1, (stagePath + "\\" + HoldName).c_str());
    OsHoldInterrupts();
    hold->handle = OsOpenLockAt(stage, HoldName);
    if (hold->handle != 0)
        FileRegister(hold);
    OsReleaseInterrupts();
    if (hold->handle == 0) {
        if (OsLastFailure() == OsFailure::InUse)
            FatalMessage("UnPackLZX: another update is at work in [%s]", stagePath.c_str());
        FileError(hold, FileErrOpenUpdate);
    }
}

// What the staging folder holds, dealt with: the recovery proper, for a
// hold already taken.
UnpackRecovery Settle(OsHandle targetFolder, OsHandle stage, const std::string& target, const char* table,
                      FileRec* hold, const UnpackOptions& options) {
    const std::string stagePath = target + "\\" + StagingFolder;
    Journal journal;
    UnpackRecovery outcome = RecoveredStaged;
    if (ReadJournal(stage, stagePath, target, table, &journal)) {
        if (journal.state == "done") {
            outcome = RecoveredCompleted;
            if (!Complete(journal))
                FatalMessage("UnPackLZX: the backups of a completed update in [%s] cannot be removed", stagePath.c_str());
        } else {
            outcome = RecoveredRolledBack;
            if (!RollBack(journal))
                FatalMessage("UnPackLZX: an interrupted update in [%s] cannot be undone; its journal is kept",
                             stagePath.c_str());
            if (options.undo != nullptr && !journal.note.empty())
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
        const OsHandle stale = OsOpenLockAt(chain.Innermost(), LeafOf(holdPath));
        if (stale != 0) {
            if (!OsDeleteOpenFile(stale, chain.Innermost(), LeafOf(holdPath))) {
                OsCloseHandle(stale);
                OsDeleteFileAt(chain.Innermost(), LeafOf(holdPath));
            } else {
                OsCloseHandle(stale);
            }
        }
    }
    FolderRelease(&chain);
}

const char* RecoveryWords(UnpackRecovery outcome) {
    switch (outcome) {
    case RecoveredStaged:
        return "the staged files of an interrupted update removed";
    case RecoveredRolledBack:
        return "an interrupted update undone: every file is as it was before it";
    case RecoveredCompleted:
        return "a finished update's backups removed";
    default:
        return "";
    }
}

// ---- The run in progress --------------------------------------------------------------

}  // namespace

struct StagedRun {
    std::string target;
    std::string stagePath;
    OsHandle targetFolder = 0;
    OsHandle stage = 0;
    FileRec hold{};
    std::vector<PlannedFile> files;
    std::vector<OsHandle> held;  // replaced files, kept with no sharing until moved
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

// The fatal path of a staged run: the files closed, then whatever the
// journal says is undone (or, before the journal, the staged files go).
void UndoOnFailure() {
    StagedRun* run = Running;
    Running = nullptr;
    if (run != nullptr)
        Release(run);
    FileTableCloseAll();
    if (run == nullptr)
        return;
    FileRec hold;
    FileInit(&hold, 1, (run->stagePath + "\\" + HoldName).c_str());
    hold.handle = OsOpenLockAt(run->stage, HoldName);  // the table's close gave the old hold up
    if (hold.handle == 0)
        return;
    FileRegister(&hold);
    const UnpackRecovery outcome = Settle(run->targetFolder, run->stage, run->target, run->options.tablePath, &hold,
                                          run->options);
    if (outcome == RecoveredRolledBack)
        Tell(run->options, "rolled back: every file is as it was before the update");
    FileTableCloseAll();
}

// An installed file about to be replaced, opened with no sharing and kept
// so until it moves: another program's hold, or the read-only attribute,
// refuses the run while nothing has changed.
OsHandle HoldForReplacing(OsHandle folder, const std::string& path) {
    const OsHandle handle = OsOpenExclusiveAt(folder, LeafOf(path));
    if (handle != 0)
        return handle;
    FileRec rec;
    FileInit(&rec, 1, path.c_str());
    OsEntry entry;
    if (OsLastFailure() == OsFailure::InUse)
        FatalMessage("UnPackLZX: [%s] is in use by another program; nothing was changed", path.c_str());
    if (OsQueryAt(folder, LeafOf(path), &entry) && entry.kind == OsEntryKind::File && entry.readOnly)
        FileError(&rec, FileErrReadOnly);
    FileError(&rec, FileErrOpenUpdate);
}

// An interruption during a staged run waits for a step's end, where the
// run undoes what it began and ends as the interruption would have.
void AtSafeStep() {
    if (const int signal = OsInterruptPending()) {
        UndoOnFailure();
        OsEndInterrupted(signal);
    }
}

std::string StagedName(const StagedRun* run, int number, const char* suffix = "") {
    return run->stagePath + "\\" + std::to_string(number) + suffix;
}

std::string Megabytes(long long bytes) {
    char text[40];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

UnpackRecovery UnpackRecover(const char* target, const char* tablePath, const UnpackOptions& options) {
    if (target == nullptr || target[0] == 0)
        return RecoveredNothing;
    const OsHandle targetFolder = OsOpenFolder(target);
    if (targetFolder == 0)
        return RecoveredNothing;
    UnpackRecovery outcome = RecoveredNothing;
    const OsHandle stage = OsOpenFolderAt(targetFolder, StagingFolder, false);
    if (stage != 0) {
        FileRec hold;
        TakeHold(stage, std::string(target) + "\\" + StagingFolder, &hold);
        outcome = Settle(targetFolder, stage, target, tablePath, &hold, options);
        Tell(options, std::string("recovered: ") + RecoveryWords(outcome));
    } else if (OsLastFailure() == OsFailure::Link || OsLastFailure() == OsFailure::NotFolder) {
        FatalMessage("UnPackLZX: [%s\\%s] is not the staging folder of an update; refused", target, StagingFolder);
    }
    RemoveStaleHold(target, tablePath);
    OsCloseFolder(targetFolder);
    return outcome;
}

StagedRun* StageBegin(const char* target, long long bytes, const UnpackOptions& options) {
    if (Running != nullptr)
        InternalError("LZX", __LINE__, 'S');
    if (target == nullptr || target[0] == 0)
        FatalMessage("UnPackLZX no target");
    auto* run = new (std::nothrow) StagedRun;
    if (run == nullptr)
        FatalMessage("UnPackLZX: out of memory");
    run->target = target;
    run->stagePath = run->target + "\\" + StagingFolder;
    run->options = options;
    run->bytes = bytes;
    FileCheckName((run->stagePath + "\\" + JournalName).c_str(), "UnPackLZX");
    run->targetFolder = OsOpenFolder(target);
    if (run->targetFolder == 0 && MakePath(target))
        run->targetFolder = OsOpenFolder(target);
    if (run->targetFolder == 0)
        FatalMessage("UnPackLZX: the target directory [%s] cannot be made or opened", target);

    // The new files and the version file take this much until the old ones
    // go: found out before the first byte is staged.
    const std::int64_t free = OsFreeSpace(run->targetFolder);
    if (free >= 0 && bytes + SpaceMargin > free)
        FatalMessage("UnPackLZX: the update needs %s (%lld bytes) of free space in [%s], where %s are free; nothing "
                     "was changed",
                     Megabytes(bytes + SpaceMargin).c_str(), bytes + SpaceMargin, target, Megabytes(free).c_str());

    run->stage = OsOpenFolderAt(run->targetFolder, StagingFolder, true);
    if (run->stage == 0)
        FatalMessage("UnPackLZX: the staging folder [%s] cannot be made", run->stagePath.c_str());
    OsHideAt(run->targetFolder, StagingFolder);
    TakeHold(run->stage, run->stagePath, &run->hold);
    // A folder left by a killed run is the caller's to recover first.
    OsEntry journal;
    if (OsQueryAt(run->stage, JournalName, &journal) && journal.kind != OsEntryKind::Missing)
        FatalMessage("UnPackLZX: an interrupted update in [%s] must be recovered first", run->stagePath.c_str());
    Running = run;
    SetFatalCleanup(UndoOnFailure);
    OsDeferInterrupts(true);
    return run;
}

void StageEntry(StagedRun* run, HILE* stream, int number, const EntryRec& entry, int listed, const char* path,
                TargetPlace* place, bool write) {
    FolderRelease(&place->folders);
    AtSafeStep();
    run->decisions.push_back({entry, listed, write});
    const bool existed = place->existing.kind != OsEntryKind::Missing;
    // A file written and deleted again (D) leaves no file: its data is not
    // staged, only the installed file goes, as a backup until the end.
    const bool staged = write && entry.D == 0;
    if (!staged) {
        if (!EntrySkip(stream, entry.size))
            FatalMessage("UnPackLZX: unexpected eof");
    } else {
        if (place->existing.kind == OsEntryKind::Link)
            FatalMessage("UnPackLZX: target [%s] goes through the link [%s]; refused", path, path);
        if (place->existing.kind == OsEntryKind::Folder || place->existing.kind == OsEntryKind::Other)
            FatalMessage("UnPackLZX: target [%s] cannot be written: it is a folder or a device", path);
        if (place->existing.links > 1)
            FatalMessage("UnPackLZX: target [%s] is a file with %u names (hard links); refused", path,
                         static_cast<unsigned>(place->existing.links));
        FileRec out;
        FileInit(&out, 1, path);
        if (place->existing.kind == OsEntryKind::File && place->existing.readOnly)
            FileError(&out, FileErrReadOnly);
        const std::string name = std::to_string(number);
        OsHoldInterrupts();
        out.handle = OsCreateNewFileAt(run->stage, name.c_str(), OsAccessWrite);
        if (out.handle != 0) {
            FileRegister(&out);
            FileMarkPartialAt(&out, run->stage, name.c_str());
        }
        OsReleaseInterrupts();
        if (out.handle == 0)
            FileError(&out, FileErrCreate);
        std::uint8_t piece[StagePiece];
        Scrambler scrambler(entry.size);
        for (int remaining = entry.size; remaining > 0;) {
            const int got = Hread(piece, remaining < StagePiece ? remaining : StagePiece, stream);
            if (got == 0)
                FatalMessage("UnPackLZX: unexpected eof");
            if (entry.E == 1)
                scrambler.Apply(piece, got);
            FileWrite(&out, got, piece);
            remaining -= got;
            AtSafeStep();
        }
        FileCommit(&out);
        FileClose(&out);
    }
    if (write && (staged || existed))
        run->files.push_back({path, place->below, place->missing, number, staged, existed});
}

void StageCommit(StagedRun* run, EntryRec* table, int capacity, const UnpackOptions& options) {
    int stagedFiles = 0;
    for (const PlannedFile& file : run->files)
        stagedFiles += file.staged;
    Tell(options, "staged: " + std::to_string(stagedFiles) + " files, " + std::to_string(run->bytes) + " bytes in [" +
                      run->stagePath + "]");

    Journal journal;
    journal.state = "commit";
    journal.target = run->target;
    if (options.note != nullptr)
        journal.note = std::string(options.note).substr(0, NoteLimit);

    AtSafeStep();
    // The files to replace, each held with no sharing from here until it
    // has moved: what another program holds, or a read-only file, stops
    // the run while nothing installed has changed.
    for (const PlannedFile& file : run->files) {
        if (!file.existed)
            continue;
        FolderChain chain;
        if (!Reach(run->target, file.path, false, &chain))
            FatalMessage("UnPackLZX: [%s] changed while the update was staged; nothing was changed", file.path.c_str());
        run->held.push_back(HoldForReplacing(chain.Innermost(), file.path));
        FolderRelease(&chain);
    }

    // The plan, in the order it runs.
    for (const PlannedFile& file : run->files) {
        if (file.missing != 0) {
            for (std::size_t at = file.missing; at <= PathLeaf(file.path.c_str()); ++at) {
                if (at == PathLeaf(file.path.c_str()) || IsSeparator(file.path[at]))
                    journal.steps.push_back({Step::Made, file.path.substr(0, at - 1), {}});
            }
        }
        if (file.existed) {
            const std::string backup = StagedName(run, file.number, ".old");
            journal.steps.push_back({Step::Moved, file.path, backup});
            journal.steps.push_back({Step::Backup, backup, {}});
        }
        if (file.staged)
            journal.steps.push_back({Step::Moved, StagedName(run, file.number), file.path});
    }
    // The version file last: its new records are staged beside it, as its
    // hold, and its old records become a backup.
    VersionCounts counts{};
    bool tableExisted = false;
    if (options.tablePath != nullptr && table != nullptr) {
        counts = VersionTableSettle(table, capacity);
        if (options.counts != nullptr)
            *options.counts = counts;
        VersionTableStage(options.tablePath, table, counts.length);
        journal.table = options.tablePath;
        const std::string path = options.tablePath;
        const std::string backup = BelowOf(run->target, path) == run->target.size() + 1
                                       ? run->stagePath + "\\" + LeafOf(path) + ".old"
                                       : path + ".old";
        FolderChain chain;
        if (Reach(run->target, path, false, &chain)) {
            OsEntry entry;
            tableExisted = OsQueryAt(chain.Innermost(), LeafOf(path), &entry) && entry.kind == OsEntryKind::File;
            if (tableExisted)
                run->held.push_back(HoldForReplacing(chain.Innermost(), path));
            FolderRelease(&chain);
        }
        if (tableExisted && KindAt(run->target, backup) != OsEntryKind::Missing)
            FatalMessage("UnPackLZX: [%s] is in the way of the version file's backup; nothing was changed",
                         backup.c_str());
        if (tableExisted) {
            journal.steps.push_back({Step::Moved, path, backup});
            journal.steps.push_back({Step::Backup, backup, {}});
        }
        journal.steps.push_back({Step::Moved, path + ".new", path});
        journal.steps.push_back({Step::Discard, path + ".new", {}});
    }
    WriteJournal(run->stage, run->stagePath, journal);

    // The plan runs.
    std::size_t next = 0;
    for (const Step& step : journal.steps) {
        AtSafeStep();
        if (step.kind != Step::Moved)
            continue;
        const bool tableStep = !journal.table.empty() && (step.to == journal.table || step.from == journal.table);
        if (tableStep && step.to == journal.table) {
            VersionTablePlace(journal.table.c_str());
            continue;
        }
        bool moved = false;
        FolderChain source, destination;
        if (Reach(run->target, step.from, false, &source)) {
            if (Reach(run->target, step.to, true, &destination)) {
                const bool backup = step.to.size() > 4 && step.to.compare(step.to.size() - 4, 4, ".old") == 0;
                // A file to replace moves through the handle that holds it.
                moved = backup ? OsMoveOpenFile(run->held[next], source.Innermost(), LeafOf(step.from),
                                                destination.Innermost(), LeafOf(step.to))
                               : OsMoveAt(source.Innermost(), LeafOf(step.from), destination.Innermost(), LeafOf(step.to));
                next += backup;
                FolderRelease(&destination);
            }
            FolderRelease(&source);
        }
        if (!moved)
            FatalMessage("UnPackLZX: [%s] cannot be moved to [%s]; the update is undone", step.from.c_str(),
                         step.to.c_str());
    }
    Tell(options, "committed: " + std::to_string(run->files.size()) + " files in place" +
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
    Running = nullptr;
    SetFatalCleanup(FileTableCloseAll);
    Release(run);
    if (!Complete(journal))
        FatalMessage("UnPackLZX: the backups in [%s] cannot be removed; the update is complete", run->stagePath.c_str());
    ClearStage(run->targetFolder, run->stage, run->stagePath, &run->hold);
    OsCloseFolder(run->targetFolder);
    delete run;
    // The update is whole: an interruption meanwhile ends the process now.
    OsDeferInterrupts(false);
    if (const int signal = OsInterruptPending())
        OsEndInterrupted(signal);
}
