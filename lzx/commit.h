// commit.h - the all-or-nothing run of extraction: the library's own.
//
// Extraction decides per entry as always; a staged run then hands each
// decision here instead of writing in place: the file goes whole into the
// staging folder, and the commit puts every file, and the version file, in
// place through a journal (see commit.cpp).
#pragma once

#include <cstddef>

#include "lzx/lzx.h"
#include "lzx/target.h"

struct StagedRun;

// Opens the staging folder inside target (made with target when missing)
// and takes its hold, once the volume is known to have room for bytes.
StagedRun* StageBegin(const char* target, long long bytes, const UnpackOptions& options);
// Reads the entry's data from stream: when write, into a staged file (the E
// transform on the way) and into the plan, else dropped. Releases place.
// The decision (listed: the table's version before, or -1) goes to
// options.done once the commit has carried it out.
void StageEntry(StagedRun* run, HILE* stream, int number, const EntryRec& entry, int listed, const char* path,
                TargetPlace* place, bool write);
// The commit: settles and stages the table (when options.tablePath), finds
// the obstacles, writes the journal, puts everything in place, calls
// options.placed, and removes the journal, the backups and the staging
// folder. Any failure on the way undoes it. Frees run.
void StageCommit(StagedRun* run, EntryRec* table, int capacity, const UnpackOptions& options);

// The version file's part (extract.cpp): the table's records written into
// the held sibling "FILE.new" and forced to the disk, without the rename;
// then the rename, which ends the hold.
void VersionTableStage(const char* path, const EntryRec* table, int length);
void VersionTablePlace(const char* path);
