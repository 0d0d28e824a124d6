// lzx.h - the LZX library's public interface: compressed streams and
// archives.
//
// A HILE is a byte stream kept compressed in an "LZX1" file:
//
//   offset 0   "LZX1"
//          4   index offset (the end of the last block record)
//          8   total length of the stream, in bytes
//         12   flags: 1 Huffman method, 2 sort stage
//         16   block records, one per 16384 stream bytes
//   index      one 32-bit file offset per block record
//
// It is written once from start to end, or read sequentially and by seeking.
// An archive is a stream holding entries: a 432-byte entry record, then the
// file's bytes, entry after entry up to the end of the stream. The version
// file "lzx.ver" is a plain sequence of the same records.
//
// Every failure ends the program through the fatal report; only the end of
// the stream comes back to the caller.
#pragma once

#include <cstdint>

#include "fileio/fileio.h"

inline constexpr int HileBlockSize = 16384;
inline constexpr int HileHeaderSize = 16;
inline constexpr std::uint32_t HileMagic = 0x31585A4C;  // "LZX1" read little-endian
inline constexpr int HileNameSize = 80;
inline constexpr int HileSideNameSize = 16;

struct HileHeader {
    std::uint32_t magic;
    std::int32_t indexOffset;
    std::int32_t totalLength;
    std::int32_t flags;
};

struct HileBatch;

struct HILE {
    int write;                     // 1 write stream, 0 read stream
    char name[HileNameSize];
    char sideName[HileSideNameSize];
    FileRec main;                  // the "LZX1" file
    FileRec side;                  // collects the block index while writing
    HileHeader header;
    std::uint8_t buffer[HileBlockSize];
    std::int32_t base;             // stream offset of buffer[0]
    std::int32_t position;         // bytes of the buffer filled (write) or delivered (read)
    int endFlag;                   // a read wanted more than was left
    HileBatch* batch;              // blocks coded on several threads; null: one at a time
};

// mode: "rb", or "wb" with an optional third letter: "h" Huffman method,
// "s" sort stage.
HILE* Hopen(const char* name, const char* mode);
int Hclose(HILE* stream);  // write: size of the finished file; read: 0
int Hread(void* buffer, int count, HILE* stream);
void Hwrite(const void* buffer, int count, HILE* stream);
void Hseek(HILE* stream, int position);
int Htell(HILE* stream);
int Hgetc(HILE* stream);
int Hputc(int byte, HILE* stream);
int Heof(HILE* stream);
void HileCheck(const HILE* stream, const char* operation);
void Hflus(HILE* stream);
void Hfill(HILE* stream);

// Releases every stream still open, without writing anything: for harnesses
// that go on after a fatal report (whose files the report has closed). The
// program itself ends instead.
void HileReleaseAll();

// The number of threads that code the blocks of the streams opened from now
// on (1, the default: each block on the stream's own thread). The files
// written and the bytes read are the same whatever the number; memory grows
// by about 1 MB per thread.
void HileSetThreads(int threads);

// Called after every block a stream writes or reads, with the stream.
// Tools use it for progress reports; null (the default) calls nothing.
using HileProgress = void (*)(const HILE* stream);
void HileSetProgress(HileProgress progress);

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

// Extracts every entry of the archive below target (the base of names that
// begin with "#"), deciding per file against the version table when one is
// given. force: also replace equal versions (with a table) or existing files
// (without one). Returns 0.
int UnPackLZX(const char* archive, const char* target, EntryRec* table, int capacity, int force);

// Scrambles the file of a closed record in place; its own inverse.
void EntryScramble(FileRec* rec);

// Builds an archive from a script; returns the number of entries. total and
// archiveSize (when not null) receive the bytes stored and the archive's size.
int PackLZX(const char* script, long long* total, int* archiveSize, EntryRec* table, int capacity);

// ---- Version tables ("lzx.ver") -------------------------------------------

inline constexpr int VersionTableRoom = 1000;  // empty records after the file's

struct VersionCounts {
    int added;    // status 1
    int updated;  // status 2
    int kept;     // status 3
    int length;   // records up to the first empty name
};

// Holds the version file for one whole run, from before its load to its
// save, so that two runs on one table cannot both start from the old
// records and the later save lose the other's: opened with no sharing
// (created when missing, with its folder), waiting while another run holds
// it, for a minute at most. The load reads through the held file and the
// save rewrites it and lets it go.
void VersionTableLock(const char* path);
// Loads a version file into a table from AllocBlock: its records, then 1000
// empty ones. A missing file gives an empty table. *capacity receives the
// number of records.
EntryRec* VersionTableLoad(const char* path, int* capacity);
// Counts the statuses of the used part and clears them.
VersionCounts VersionTableSettle(EntryRec* table, int capacity);
// Writes the first length records to path, replacing the file.
void VersionTableSave(const char* path, const EntryRec* table, int length);
