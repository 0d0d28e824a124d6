// extract.cpp - archive extraction, the E transform and version tables.
//
// An archive is a stream of entries, each a 432-byte record and the file's
// bytes, up to the end of the stream. Extraction decides file by file
// whether to write, against the table of installed versions when one is
// given (see UnPackLZX), and applies the entry's options: R writes only over
// an existing file, E scrambles the written file, D deletes it again.
#include <cstring>
#include <new>
#include <string>

#include "lzx/codec.h"
#include "lzx/lzx.h"

namespace {

constexpr int ExtractPiece = 15011;
std::uint8_t ExtractBuf[ExtractPiece + 1];

constexpr std::uint32_t ScrambleKey = 0x5C3E9A71;
constexpr std::uint32_t ScrambleStep = 0x6E2D4B1F;

// What the version table says of an entry: the record it goes to and
// whether the file is to be written.
bool DecideWithTable(const EntryRec& entry, EntryRec* table, int capacity, int force) {
    for (int i = 0; i < capacity; ++i) {
        EntryRec& rec = table[i];
        if (rec.name[0] == 0) {
            rec = entry;
            rec.status = EntryNew;
            return true;
        }
        if (SameText(rec.name, entry.name)) {
            const bool write = rec.version < entry.version || (force && rec.version == entry.version);
            if (write) {
                rec = entry;
                rec.status = EntryUpdated;
            } else {
                rec.status = EntryKept;
            }
            return write;
        }
    }
    FatalMessage("UnPackLZX too many files");
}

}  // namespace

bool EntryDecode(const std::uint8_t* raw, EntryRec* entry) {
    std::memcpy(entry->name, raw, EntryNameSize);
    entry->size = static_cast<std::int32_t>(Load32(raw + 256));
    entry->version = static_cast<std::int32_t>(Load32(raw + 260));
    entry->status = static_cast<std::int32_t>(Load32(raw + 264));
    entry->E = static_cast<std::int32_t>(Load32(raw + 268));
    entry->D = static_cast<std::int32_t>(Load32(raw + 272));
    entry->R = static_cast<std::int32_t>(Load32(raw + 276));
    std::memcpy(entry->reserved, raw + 280, sizeof entry->reserved);
    return std::memchr(entry->name, 0, EntryNameSize) != nullptr;
}

void EntryEncode(const EntryRec& entry, std::uint8_t* raw) {
    std::memcpy(raw, entry.name, EntryNameSize);
    Store32(raw + 256, static_cast<std::uint32_t>(entry.size));
    Store32(raw + 260, static_cast<std::uint32_t>(entry.version));
    Store32(raw + 264, static_cast<std::uint32_t>(entry.status));
    Store32(raw + 268, static_cast<std::uint32_t>(entry.E));
    Store32(raw + 272, static_cast<std::uint32_t>(entry.D));
    Store32(raw + 276, static_cast<std::uint32_t>(entry.R));
    std::memcpy(raw + 280, entry.reserved, sizeof entry.reserved);
}

void EntryScramble(FileRec* rec) {
    const int length = FileSize(rec);
    auto* data = length >= 0 ? new (std::nothrow) std::uint8_t[static_cast<std::size_t>(length) + 1]() : nullptr;
    if (data == nullptr)
        InternalError("LZX", 1396, -1);
    FileOpenRead(rec);
    FileRead(rec, length, data);
    FileClose(rec);

    // The key sequence does not depend on the data, so the transform is its
    // own inverse. The words overlap, one byte further each step.
    std::uint32_t key = ScrambleKey;
    for (int p = 1; p <= length - 4; ++p) {
        Store32(data + p, Load32(data + p) ^ key);
        key = key * ScrambleStep + 1;
    }

    FileCreate(rec);
    FileWrite(rec, length, data);
    FileClose(rec);
    delete[] data;
}

int UnPackLZX(const char* archive, const char* target, EntryRec* table, int capacity, int force) {
    return UnPackStream(Hopen(archive, "rb"), target, table, capacity, force);
}

int UnPackStream(HILE* stream, const char* target, EntryRec* table, int capacity, int force) {
    for (;;) {
        std::uint8_t raw[EntrySize];
        const int n = Hread(raw, EntrySize, stream);
        if (n == 0)
            break;
        if (n != EntrySize)
            FatalMessage("UnPackLZX: target fail");
        EntryRec entry;
        if (!EntryDecode(raw, &entry))
            FatalMessage("UnPackLZX: stored name of 256 characters or more at stream offset %d",
                         Htell(stream) - EntrySize);
        if (entry.size < 0)
            FatalMessage("UnPackLZX: negative size of entry [%s]", entry.name);

        std::string path;
        if (entry.name[0] == '#') {
            if (target == nullptr)
                FatalMessage("UnPackLZX no target");
            path = std::string(target) + "\\" + (entry.name + 1);
        } else {
            path = entry.name;
        }
        if (path.size() >= FileNameSize)
            FatalMessage("UnPackLZX: target path of %zu characters, at most %d [%s]", path.size(), FileNameSize - 1,
                         path.c_str());

        char directory[FileNameSize];
        SplitPath(path.c_str(), directory, nullptr, nullptr);
        MakePath(directory);

        bool write = true;
        if (table != nullptr)
            write = DecideWithTable(entry, table, capacity, force);
        else if (!force && FileExists(path.c_str()))
            write = false;
        if (entry.R != 0 && !FileExists(path.c_str()))
            write = false;

        FileRec out;
        FileInit(&out, 1, path.c_str());
        if (write)
            FileCreate(&out);
        for (int remaining = entry.size; remaining > 0;) {
            const int got = Hread(ExtractBuf, remaining < ExtractPiece ? remaining : ExtractPiece, stream);
            if (got == 0)
                FatalMessage("UnPackLZX: unexpected eof");
            if (write)
                FileWrite(&out, got, ExtractBuf);
            remaining -= got;
        }
        if (write) {
            FileClose(&out);
            if (entry.E == 1)
                EntryScramble(&out);
            // Only a file this entry wrote is deleted again.
            if (entry.D != 0)
                FileDelete(&out);
        }
    }
    return Hclose(stream);
}

// ---- Version tables ------------------------------------------------------

EntryRec* VersionTableLoad(const char* path, int* capacity) {
    FileRec file;
    FileInit(&file, EntrySize, path);
    const int listed = FileExists(path) ? FileSize(&file) : 0;
    if (listed < 0 || listed > 0x7FFFFFFF / EntrySize - VersionTableRoom)
        FatalMessage("VersionTableLoad: [%s] is too large", path);
    const int records = listed + VersionTableRoom;
    auto* table = static_cast<EntryRec*>(AllocBlock(records * EntrySize));
    std::memset(static_cast<void*>(table), 0, static_cast<std::size_t>(records) * EntrySize);
    if (listed > 0) {
        FileOpenRead(&file);
        const int got = FileRead(&file, records, table);
        FileClose(&file);
        // The records arrive as they lie on disk; each becomes its in-memory
        // form in place (a copy, since the two may differ on some hosts).
        for (int i = 0; i < got; ++i) {
            std::uint8_t raw[EntrySize];
            std::memcpy(raw, &table[i], EntrySize);
            if (!EntryDecode(raw, &table[i]))
                FatalMessage("VersionTableLoad: damaged record %d in [%s]", i, path);
        }
    }
    *capacity = records;
    return table;
}

VersionCounts VersionTableSettle(EntryRec* table, int capacity) {
    VersionCounts counts{};
    for (; counts.length < capacity && table[counts.length].name[0] != 0; ++counts.length) {
        EntryRec& rec = table[counts.length];
        counts.added += rec.status == EntryNew;
        counts.updated += rec.status == EntryUpdated;
        counts.kept += rec.status == EntryKept;
        rec.status = 0;
    }
    return counts;
}

// The new table goes to a sibling first and then replaces the old file in
// one step: a crash or a power loss leaves the old table or the new one,
// never a truncated one.
void VersionTableSave(const char* path, const EntryRec* table, int length) {
    const std::string sibling = std::string(path) + ".new";
    FileRec file;
    FileInit(&file, EntrySize, sibling.c_str());
    FileCreate(&file);
    for (int i = 0; i < length; ++i) {
        std::uint8_t raw[EntrySize];
        EntryEncode(table[i], raw);
        FileWrite(&file, 1, raw);
    }
    FileCommit(&file);
    FileClose(&file);
    FileReplace(&file, path);
}
