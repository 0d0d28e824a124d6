// lzx.h - the LZX library's public interface: compressed streams (hile.h)
// and archives.
//
// An archive is a stream holding entries: a 432-byte entry record, then the
// file's bytes, entry after entry up to the end of the stream. The version
// file "lzx.ver" is a plain sequence of the same records.
//
// Every failure ends the program through the fatal report. Extractions on
// different threads share nothing but the open-file table, which is guarded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hile.h"
// ---- Archives ------------------------------------------------------------

inline constexpr int EntrySize = 432;
inline constexpr int EntryNameSize = 256;

enum EntryStatus { EntryNew = 1, EntryUpdated = 2, EntryKept = 3 };

// An entry record in memory. On disk: name (256 bytes, zero-terminated),
// then size, version, status, E, D, R as 32-bit signed little-endian
// integers, then 152 reserved bytes, 432 in all.
struct EntryRec {
    char name[EntryNameSize];
    std::int32_t size;
    std::int32_t version;
    std::int32_t status;
    std::int32_t E;  // 1: the installed file is the scrambled form of the stored data
    std::int32_t D;  // not 0: deleted again after writing
    std::int32_t R;  // not 0: written only where a file already exists
    std::uint8_t reserved[152];
};
static_assert(sizeof(EntryRec) == EntrySize);

// Conversions between the record on disk and in memory. EntryDecode answers
// false when the name has no terminating zero within its 256 bytes.
bool EntryDecode(const std::uint8_t* raw, EntryRec* entry);
void EntryEncode(const EntryRec& entry, std::uint8_t* raw);

// Reads the next entry record, in stream order (the order extraction
// writes in; the block index is never consulted). Returns 1 with the record,
// 0 at the end of the archive, or a damage: EntryCut (the stream ends inside
// the record), EntryLongName (no terminating zero), EntryBadSize (negative).
enum EntryDamage { EntryCut = -1, EntryLongName = -2, EntryBadSize = -3 };
int EntryNext(HILE* stream, EntryRec* entry);
// Reads and drops an entry's data; false when the stream ends first.
bool EntrySkip(HILE* stream, int size);

// Why a stored name is refused, or null when it is not. Each file has one
// stored spelling: "#" and components joined by "\", none empty, ".", with
// a trailing dot or blank, a device name (NUL, CON, COM1 ...), a character
// no file name may hold, or a "~digit" of a short name. anywhere: the name
// may lead outside the target directory (a name of its own, "..").
const char* StoredNameProblem(const char* name, int anywhere);
// The reason StoredNameProblem gives for a name that leads outside.
extern const char* const EntryOutside;
// 1 when two stored names name one file where the product is installed:
// "\" and "/" alike, trailing dots and blanks and "." components dropped,
// ".." resolved, letters compared without case in the Windows code page 1252.
int SameStoredName(const char* a, const char* b);
// The form in which SameStoredName compares: equal keys, one file.
std::string StoredNameKey(const char* name);
// A name made printable: control characters as <1F> (no file name holds "<").
std::string EntryShowName(const char* name);

struct VersionCounts;
class Transaction;
class HeldFile;

// What became of an entry: listed is the version the table held for it
// before (-1: not listed, or no table).
struct UnpackDecision {
    EntryRec entry;
    int listed;
    bool written;
    bool existed = false;  // (a check's decisions) a file stands at its name
};

struct UnpackOptions {
    int anywhere = 0;  // a trusted archive: names may lead outside target
    // Called with the entry's number (from 1), name and reason when an entry
    // is refused, before the fatal report; a tool may give its own report
    // and end there. outside: the name leads outside target.
    void (*refused)(int entry, const char* name, const std::string& reason, int outside) = nullptr;
    // Receives new, updated and not replaced: as they happen without a
    // table; with a transaction and a version file, as the table settles.
    VersionCounts* counts = nullptr;
    // Without a transaction: called after each entry has been written or
    // passed over.
    void (*done)(const EntryRec& entry, int listed, bool written, void* context) = nullptr;
    void* context = nullptr;
    HileOptions stream;  // for the archive's stream (UnPackLZX)

    // All or nothing: the first pass plans every file in the transaction
    // (not yet begun), which then begins; every file written is staged
    // there. The caller puts them in place (Transaction::Place), takes its
    // own steps and commits; a failure undoes everything.
    Transaction* transaction = nullptr;
    // With a transaction and a table: the version file the table was loaded
    // from, held (HeldFile::Take). Its new records are written into its hold
    // once every entry is staged, and the transaction puts it in place
    // after every other file.
    HeldFile* versionFile = nullptr;
    // With a transaction: each entry's decision, in order, for the caller
    // to tell once the commit has carried it out.
    std::vector<UnpackDecision>* decisions = nullptr;
    // With a transaction: the run checked, not made. The first pass and the
    // transaction's checks (Transaction::Check) refuse as a run would; the
    // decisions and counts are what it would do; nothing is written (the
    // table neither) and no version file is held.
    bool check = false;
};

// Extracts every entry of the archive below target (the base of names that
// begin with "#"), deciding per file against the version table when one is
// given. force: also replace equal versions (with a table) or existing files
// (without one). A first pass checks every entry (name, target path, what
// is in its way) before anything is written; extraction checks each entry
// again before writing it, so the entries checked are the ones written.
// Returns 0.
int UnPackLZX(const char* archive, const char* target, EntryRec* table, int capacity, int force,
              const UnpackOptions& options = {});
// The same over a read stream already open (HopenFile), which it closes.
int UnPackStream(HILE* stream, const char* target, EntryRec* table, int capacity, int force,
                 const UnpackOptions& options = {});

// Scrambles the file of a closed record in place; its own inverse.
void EntryScramble(FileRec* rec);

// ---- Verification: what is installed against what a run would leave -------

enum class VerifyStatus {
    Same,          // the file holds the entry's bytes (after E), and the table lists it
    Differs,       // other bytes, a folder at its name, a file a D entry removes, or the table disagrees
    Missing,       // no file where a run writes one
    NewerKept,     // the table lists a newer version: a run keeps whatever is there
    NotInstalled,  // R=1 and no file: a run writes none
};
const char* VerifyStatusName(VerifyStatus status);  // "same", "differs", ...

struct VerifyResult {
    EntryRec entry;
    VerifyStatus status;
    int listed;       // the version the table lists; -1: not listed or no table
    std::string why;  // for Differs: what differs
};

struct VerifyOptions {
    int anywhere = 0;  // as UnpackOptions
    void (*refused)(int entry, const char* name, const std::string& reason, int outside) = nullptr;
    void (*each)(const VerifyResult& result, void* context) = nullptr;  // every entry, in order
    void* context = nullptr;
    HileOptions stream;
};

// Compares every entry of the archive with what stands below target, as a
// complete run with this table (null: none) and force would leave it (the
// updater's run); changes nothing. Answers the entries that are Differs or Missing. Names
// are checked as UnPackLZX checks them, and a damaged archive ends the
// program as it does there.
int VerifyLZX(const char* archive, const char* target, const EntryRec* table, int capacity,
              const VerifyOptions& options);
// The same over a read stream already open (HopenFile), which it closes.
int VerifyStream(HILE* stream, const char* target, const EntryRec* table, int capacity,
                 const VerifyOptions& options);

// Builds an archive from a script; returns the number of entries. total and
// archiveSize (when not null) receive the bytes stored and the archive's size.
int PackLZX(const char* script, long long* total, int* archiveSize, EntryRec* table, int capacity,
            const HileOptions& options = {});

// ---- Version tables ("lzx.ver") -------------------------------------------

inline constexpr int VersionTableRoom = 1000;  // empty records after the file's

struct VersionCounts {
    int added;    // status 1
    int updated;  // status 2
    int kept;     // status 3
    int length;   // records up to the first empty name
};

// Loads a version file into a table from AllocBlock: its records, then 1000
// empty ones. A missing file gives an empty table. held: the file is held
// (HeldFile::Take) and read through its held folder. A damaged file is
// refused before anything is written: a size that is no whole number of
// records, a name without its zero, a negative size or version, a status
// out of 0..3, a record without a name but other fields, or a blank record
// with filled ones after it. *capacity receives the number of records.
EntryRec* VersionTableLoad(const char* path, int* capacity, const HeldFile* held = nullptr);
// Counts the statuses of the used part and clears them.
VersionCounts VersionTableSettle(EntryRec* table, int capacity);
// Writes the first length records into the open record rec from its start;
// the file ends after them.
void VersionTableWrite(FileRec* rec, const EntryRec* table, int length);
// Writes the first length records to path, replacing the file in one step
// through its sibling.
void VersionTableSave(const char* path, const EntryRec* table, int length);
