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
#include "lzx/target.h"

namespace {

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

    // The file was emptied by the open: cut short, it is removed.
    FileCreate(rec);
    FileMarkPartial(rec);
    FileWrite(rec, length, data);
    FileClose(rec);
    delete[] data;
}

int UnPackLZX(const char* archive, const char* target, EntryRec* table, int capacity, int force) {
    HILE* stream = Hopen(archive, "rb");
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

        const std::size_t below = TargetBelow(path.c_str(), target, entry.name[0] == '#');
        TargetCheckFolders(path.c_str(), below);
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

        TargetWrite(stream, entry, path.c_str(), below, write);
    }
    return Hclose(stream);
}

// ---- Version tables ------------------------------------------------------

namespace {

// The version file held by VersionTableLock until the save that ends the
// run: one per process, as a run keeps one table.
FileRec HeldTable;

constexpr unsigned LockPoll = 100;        // ms between tries
constexpr unsigned LockPatience = 60000;  // ms before another run's hold is reported

bool IsHeld(const char* path) {
    return HeldTable.handle != 0 && std::strcmp(HeldTable.name, path) == 0;
}

}  // namespace

void VersionTableLock(const char* path) {
    if (HeldTable.handle != 0)
        InternalError("LZX", __LINE__, 'L');
    FileInit(&HeldTable, EntrySize, path);
    // A new table may lie in a folder that extraction has yet to make (the
    // target directory itself): made now, since the hold comes first.
    const char* leaf = std::strrchr(HeldTable.name, '\\');
    if (const char* slash = std::strrchr(HeldTable.name, '/'); slash != nullptr && (leaf == nullptr || slash > leaf))
        leaf = slash;
    if (leaf != nullptr && leaf != HeldTable.name)
        MakePath(std::string(HeldTable.name, static_cast<std::size_t>(leaf - HeldTable.name)).c_str());
    for (unsigned waited = 0; !FileTryOpenUpdate(&HeldTable); waited += LockPoll) {
        if (waited >= LockPatience)
            FatalMessage("VersionTableLock: [%s] stays in use by another run", path);
        OsSleep(LockPoll);
    }
}

EntryRec* VersionTableLoad(const char* path, int* capacity) {
    const bool held = IsHeld(path);
    FileRec file;
    FileInit(&file, EntrySize, path);
    if (held)
        file = HeldTable;
    const int listed = (held || FileExists(path)) ? FileSize(&file) : 0;
    if (listed < 0 || listed > 0x7FFFFFFF / EntrySize - VersionTableRoom)
        FatalMessage("VersionTableLoad: [%s] is too large", path);
    const int records = listed + VersionTableRoom;
    auto* table = static_cast<EntryRec*>(AllocBlock(records * EntrySize));
    std::memset(static_cast<void*>(table), 0, static_cast<std::size_t>(records) * EntrySize);
    if (listed > 0) {
        if (held)
            FileSeek(&file, 0, 0);
        else
            FileOpenRead(&file);
        const int got = FileRead(&file, records, table);
        if (!held)
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

namespace {

void WriteRecords(FileRec* file, const EntryRec* table, int length) {
    for (int i = 0; i < length; ++i) {
        std::uint8_t raw[EntrySize];
        EntryEncode(table[i], raw);
        FileWrite(file, 1, raw);
    }
}

}  // namespace

// A held table is rewritten through its own handle, since no other run may
// see it in between; its records keep their places and new ones come
// after them, and the save comes only after every file was written, so a
// crash half-way leaves each record old or new, both true of the files.
// Otherwise the new table goes to a sibling first and then replaces the old
// file in one step: a crash or a power loss leaves the old table or the new
// one, never a truncated one, and a failed write no sibling.
void VersionTableSave(const char* path, const EntryRec* table, int length) {
    if (IsHeld(path)) {
        FileSeek(&HeldTable, 0, 0);
        WriteRecords(&HeldTable, table, length);
        FileSetEnd(&HeldTable);
        FileCommit(&HeldTable);
        FileClose(&HeldTable);
        return;
    }
    const std::string sibling = std::string(path) + ".new";
    FileRec file;
    FileInit(&file, EntrySize, sibling.c_str());
    FileCreate(&file);
    FileMarkPartial(&file);
    WriteRecords(&file, table, length);
    FileCommit(&file);
    FileClose(&file);
    FileReplace(&file, path);
}
