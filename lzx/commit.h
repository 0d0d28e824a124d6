// commit.h - the all-or-nothing run of extraction: the library's own.
//
// Extraction's first pass decides per entry as always and makes the plan;
// a staged run then writes each planned file whole beside its target under
// a temporary name, and the commit puts every file, and the version file,
// in place through a journal (see commit.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "lzx/lzx.h"
#include "lzx/target.h"

// One file the run writes (staged) or removes (an entry with D).
struct PlannedFile {
    std::string path;
    std::size_t below;  // where its folders are opened from their parent's handle
    int number;         // the entry's number
    bool staged;        // a new file is written for it
    bool existed;       // an installed file is replaced (or removed)
};

struct StagedRun;

// Opens the staging folder inside target (made with target when missing),
// takes its hold once the volume is known to have room for bytes, and
// records the plan and the folders to make (shallowest first) in the
// journal before anything else is made.
StagedRun* StageBegin(const char* target, const std::vector<PlannedFile>& plan, const std::vector<std::string>& made,
                      long long bytes, const UnpackOptions& options);
// Reads the entry's data from stream: for a planned, staged entry into its
// temporary file beside the target (the E transform on the way), else
// dropped. planned: the second pass finds the entry in the plan, which the
// plan must agree with. The decision (listed: the table's version before,
// or -1) goes to options.done once the commit has carried it out.
void StageEntry(StagedRun* run, HILE* stream, int number, const EntryRec& entry, int listed, bool write,
                bool planned);
// The commit: settles and stages the table (when options.tablePath), finds
// the obstacles, puts everything in place, calls options.placed, and
// removes the backups, the journal and the staging folder. Any failure on
// the way undoes it. Frees run.
void StageCommit(StagedRun* run, EntryRec* table, int capacity, const UnpackOptions& options);

// The version file's part (extract.cpp): the table's records written into
// the held sibling "FILE.new" and forced to the disk, without the rename;
// then the rename, which ends the hold. byCopy: where renames go by path,
// the records are copied instead into the file held there (held; 0: into a
// new file of the table's name), and the sibling goes.
void VersionTableStage(const char* path, const EntryRec* table, int length);
void VersionTablePlace(const char* path, bool byCopy = false, OsHandle held = 0);
// Copies the first file open into the second, from the start: the second
// ends with the copy, and is forced to the disk.
bool CopyBetween(OsHandle from, OsHandle to);
