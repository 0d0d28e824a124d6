// transaction.h - an all-or-nothing change to the files below one folder.
//
// A transaction knows files, folders, a journal and named steps: nothing of
// archives, versions or the registry. Its caller plans every file it will
// write, replace or remove below a target folder, stages the new files
// beside their names, puts them all in place at once, takes its own named
// steps (each recorded first with the value that undoes it) and commits.
// A failure or an interruption on the way puts everything back as it was,
// and a run that was killed is undone (or, when it had finished, completed)
// by Recover at the start of the next one. docs/update-transaction.md
// describes the states, the journal and the invariants.
//
//   Transaction update(target, "UnPackLZX");
//   int file = update.Plan(0, "Help\\a.txt", TxnChange::Replace, size, installed);
//   update.Begin();                       // journal, staging folder, room
//   update.Stage(file, &out); ...write... update.Staged(file, &out);
//   update.Place();                       // every file in place
//   update.Step("registry", oldValue, Undo, context);  ...take the step...
//   update.Commit();                      // final: backups, journal go
//
// Files are known by what they are (their identity on the volume), never
// only by their names; the journal names them relative to the target, so
// every spelling of the target ("d", "d/", "./d", "C:\Zelk\", "c:\zelk")
// recovers it. Nothing here writes into a file that has a second name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fileio.h"

// The hidden folder inside a target that holds a running transaction's hold
// and journal.
inline constexpr const char* StagingFolder = ".lzx-update";

// What a name beside a target's may add to it: "NAME.TAG.tmp" (a staged
// file), "NAME.TAG.old" (a replaced file's backup), "NAME.new" (a held
// file's hold). A path whose name and the longest of these fit a file name
// (259 characters) can be carried through every step of a commit.
inline constexpr int SideNameExtra = SiblingExtra;

// The longest target a run can keep its journal in ("TARGET\.lzx-update\journal").
inline constexpr int TargetPathLimit = FileNameSize - static_cast<int>(sizeof("\\.lzx-update\\journal"));

enum class TxnChange { New, Replace, Remove };

enum class TxnState {
    Planning,    // files are planned; nothing is touched
    Staging,     // the journal holds the plan; new files are written beside their names
    Committing,  // installed files are held; files are being put in place
    Placed,      // every file is in place; the caller's steps follow
    Done,        // committed: the backups, the journal and the staging folder are gone
    RolledBack,  // undone: everything as it was before Begin
};

// What Recover found and did.
enum class TxnOutcome {
    Nothing,     // no interrupted run
    Staged,      // a run killed before its commit: its staged files removed
    RolledBack,  // a run killed during its commit: undone
    Completed,   // a run killed after its commit: its backups removed
};

// A file held for a whole run, from before its contents are read to its
// replacement, so that two runs on one file (a version file) take turns
// instead of both starting from the old contents. The hold is the file's
// sibling "NAME.new", opened with no sharing (made when missing; a killed
// run's is taken over), waiting while another run holds it (a minute at
// most). It also receives the file's new contents, which a transaction puts
// in the file's place (Transaction::Adopt). Released (removed) when the
// object ends unless a transaction has placed it.
class HeldFile {
public:
    HeldFile() = default;
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // below: where the folders opened from their parent's handle begin (the
    // length of a target directory the file lies in), or HeldOwnFolder: the
    // file's own folder is opened as named.
    static constexpr std::size_t HeldOwnFolder = static_cast<std::size_t>(-1);
    void Take(const char* path, std::size_t below, const char* operation);
    // The folders of path as Take opens them: FolderWalk's answer.
    static int Walk(const char* path, std::size_t below, FolderChain* chain);
    bool Taken() const { return hold_.handle != 0; }

    const std::string& Path() const { return path_; }
    const char* Leaf() const { return path_.c_str() + leaf_; }
    OsHandle Folder() const { return folders_.Innermost(); }
    // The hold, open for reading and writing (unit 1): the new contents go here.
    FileRec* Hold() { return &hold_; }
    void Release();

private:
    friend class Transaction;
    std::string path_;
    std::size_t leaf_ = 0;
    FolderChain folders_{};
    FileRec hold_{};
};

class Transaction {
public:
    // Reports in words (rolled back, recovered), when the caller wants them.
    using Report = void (*)(const char* text, void* context);
    // Undoes a named step with the value recorded for it; false when it
    // could not.
    using Undo = bool (*)(const char* value, void* context);

    // target: the folder the planned files lie below (made at Begin when
    // missing). operation: the name the failure reports begin with. byCopy:
    // put files in place by copying into them rather than by renames, where
    // the system renames by whole paths (Wine; see transaction.cpp).
    Transaction(const char* target, const char* operation, bool byCopy = OsRenamesByPath());
    ~Transaction();  // rolls back a run that was begun and not committed
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void OnReport(Report report, void* context);

    // ---- The plan: nothing is touched yet ------------------------------------------

    // A folder outside the target that planned files lie in (a trusted
    // archive's names of their own), opened as named: its root number.
    int Root(const char* folder);
    // A file below a root (0: the target), "\" between its components:
    // written new (it must not exist when the commit comes), replacing the
    // installed file, or removing it. bytes: what will be staged; installed:
    // the size of the file it replaces or removes. Returns its number.
    // Ends the program for a path the commit could not carry (too long).
    int Plan(int root, const std::string& path, TxnChange change, long long bytes, long long installed);
    // A folder below a root that the run makes: removed again (when empty)
    // by an undoing. Shallowest first.
    void PlanFolder(int root, const std::string& path);
    // A held file whose hold receives its new contents (of about bytes):
    // placed after every planned file. The transaction owns the hold from
    // Begin. Returns its number.
    int Adopt(HeldFile* held, long long bytes);

    // ---- The run ---------------------------------------------------------------------

    // Opens (or makes) the target and its staging folder, takes the
    // staging folder's hold (another run there is waited for), checks that
    // the volume has room for every byte the commit will write and records
    // the plan in the journal. From here a failure or an interruption
    // undoes the run. Ends the program on a refusal (no room, a journal of
    // an interrupted run: Recover first).
    void Begin();
    // Instead of a run: every check Begin and Place make, with their
    // refusals (the path limit, the room, each installed file held for a
    // moment as the commit holds it), and nothing made or written. Stays in
    // Planning.
    void Check();
    // The staged form of planned file n, open for writing in out: its
    // folders made from its root's handle, never through a link; refused
    // when what stands at its name cannot be replaced (a link, a folder, a
    // read-only file, a file with other names).
    void Stage(int file, FileRec* out);
    // out is complete: forced to the disk and closed.
    void Staged(int file, FileRec* out);
    // Where a deferred interruption is taken: the run undoes itself and
    // ends as the interruption would have. Cheap; call it between pieces.
    void SafeStep();
    static void SafeStepOf(void* transaction);
    // Holds every installed file to be replaced with no sharing (a file in
    // use, a read-only file or one with other names refuses the run, as
    // does a new file's name taken meanwhile), then puts every file in
    // place, held files last.
    void Place();
    // Records a named step of the caller's with the value that undoes it;
    // the caller takes the step afterwards. An undoing calls undo with it.
    void Step(const char* name, const char* undoValue, Undo undo, void* context);
    // Makes the run final: the backups, the journal and the staging folder go.
    void Commit();
    // Undoes what was begun, last first; reports it.
    void RollBack();

    TxnState State() const { return state_; }
    int Files() const;  // planned, held files aside
    int StagedFiles() const;
    long long StagedBytes() const;

    // ---- A killed run ------------------------------------------------------------------

    struct StepUndo {
        std::string name;
        Undo undo;
        void* context;
    };
    // A held file a run may have had, named as HeldFile::Take was given it.
    struct HeldPlace {
        std::string path;
        std::size_t below;
    };
    struct RecoverOptions {
        const char* operation = "Update";
        // Held files a run may have had (the version file): their folders
        // may hold its files, and a hold nobody holds any more goes.
        std::vector<HeldPlace> held;
        std::vector<StepUndo> steps;  // the caller's steps, with their undo
        Report report = nullptr;
        void* context = nullptr;
    };
    // Finishes what a run killed in target left: undone when it was killed
    // before "done", completed after. A journal that cannot be trusted
    // (damaged, written for another folder, naming a folder or step this
    // run was not given, a path outside the target) is refused whole and
    // never acted on; so is anything at a name that the run did not put
    // there, which is kept and reported.
    static TxnOutcome Recover(const char* target, const RecoverOptions& options);
    // Whether a killed run left its journal in target for Recover; looks
    // only, changes nothing.
    static bool Pending(const char* target);

private:
    struct RootFolder;
    struct File;
    struct Folder;

    void Tell(const std::string& text) const;
    [[noreturn]] void Refuse(const char* format, ...) const DIAG_PRINTF(2, 3);
    std::string Shown(int root, const std::string& path) const;
    std::string Side(const File& file) const;
    std::string Backup(const File& file) const;
    OsHandle FolderOf(int root, const std::string& path, bool make, int* stop);
    OsHandle FolderFor(const File& file);
    void Append(const std::string& record, bool flush);
    void PlaceFile(File& file);
    void CheckRoom(OsHandle where) const;
    OsHandle HoldInstalled(const File& file, OsFileId* id);
    bool CopyInto(OsHandle from, OsHandle into);
    bool UndoFile(File& file);
    bool UndoAll();
    bool Complete();
    void ClearStage();
    void ReleaseHandles();
    void Unwind();
    static void UnwindOf(void* transaction);
    bool TakeStage(bool make);
    void LoadJournal(const std::string& text, const RecoverOptions& options);
    [[noreturn]] void Untrusted(const std::string& why);

    std::string operation_;
    bool byCopy_;
    TxnState state_ = TxnState::Planning;
    std::string tag_;
    std::vector<RootFolder> roots_;
    std::vector<File> files_;
    std::vector<std::pair<int, std::string>> folders_;  // the folders the run makes
    struct StepTaken {
        std::string name, value;
        Undo undo;
        void* context;
    };
    std::vector<StepTaken> steps_;
    std::vector<Folder> opened_;  // folders below the roots, each opened once
    OsHandle stage_ = 0;
    FileRec hold_{};
    OsHandle journal_ = 0;
    bool journalOurs_ = false;  // written by this run, or acted on: removed at the end
    bool fromJournal_ = false;  // a killed run's, read back from its journal
    FileRec* staging_ = nullptr;  // the staged file being written
    bool secondName_ = false;     // a copy stopped: its file had a second name
    std::vector<std::uint8_t> copyPiece_;
    bool begun_ = false;          // the fatal path undoes it
    Report report_ = nullptr;
    void* reportContext_ = nullptr;
    std::vector<std::string> kept_;  // names kept because the run did not put there what stands there
};
