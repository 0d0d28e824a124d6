// extract.cpp - archive extraction, the E transform and version tables.
//
// An archive is a stream of entries, each a 432-byte record and the file's
// bytes, up to the end of the stream. Extraction decides file by file
// whether to write, against the table of installed versions when one is
// given (see UnPackLZX), and applies the entry's options: R writes only over
// an existing file, E scrambles the written file, D deletes it again.
//
// The names come from the archive and are not trusted. Every entry is read in
// stream order, checked in a first pass before anything is written, and
// checked again when its turn comes, so a stream that reads differently
// through its block index than in order cannot slip one name past the check.
// A name must have the one spelling of its file that Windows would see, so
// that the version table, which compares names, cannot take two spellings of
// one file for two files.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bitstream.h"
#include "lzx.h"
#include "stream.h"
#include "target.h"
#include "transaction.h"

namespace {


bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Letters of the Windows code page 1252 in their capital form, as the file
// system compares names: a-z, the accented letters, and the four letters
// above 0x7F outside them that have a capital there.
unsigned char Capital(unsigned char c) {
    if (c >= 'a' && c <= 'z')
        return static_cast<unsigned char>(c - 'a' + 'A');
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<unsigned char>(c - 0x20);
    switch (c) {
    case 0x9A: return 0x8A;  // s caron
    case 0x9C: return 0x8C;  // oe
    case 0x9E: return 0x8E;  // z caron
    case 0xFF: return 0x9F;  // y diaeresis
    default: return c;
    }
}

// The part of a component before its first dot, without trailing blanks, is
// what Windows takes for a device: "nul.txt" and "CON .x" open a device.
bool IsDeviceName(const char* begin, const char* end) {
    const char* stop = begin;
    while (stop < end && *stop != '.')
        ++stop;
    while (stop > begin && stop[-1] == ' ')
        --stop;
    std::string base;
    for (const char* at = begin; at < stop; ++at)
        base += static_cast<char>(Capital(static_cast<unsigned char>(*at)));
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (base == device)
            return true;
    // COM0..COM9 and LPT0..LPT9, also with the superscript digits 1, 2, 3.
    const unsigned char last = base.size() == 4 ? static_cast<unsigned char>(base[3]) : 0;
    const bool digit = (last >= '0' && last <= '9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
    return digit && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0);
}

// Why one component between separators is refused, or null.
const char* ComponentProblem(const char* begin, const char* end, int anywhere) {
    const std::size_t length = static_cast<std::size_t>(end - begin);
    if (length == 0)
        return "has an empty folder name";
    if (length == 2 && begin[0] == '.' && begin[1] == '.')
        return anywhere ? nullptr : EntryOutside;
    if (length == 1 && begin[0] == '.')
        return "has a \".\" component";
    if (end[-1] == '.' || end[-1] == ' ')
        return "has a component that ends in a dot or a blank";
    for (const char* at = begin; at < end; ++at) {
        const unsigned char c = static_cast<unsigned char>(*at);
        if (c < 32)
            return "holds a control character";
        if (std::strchr("<>:\"|?*", c) != nullptr)
            return "holds a character no file name may hold";
    }
    if (IsDeviceName(begin, end))
        return "names a device";
    for (const char* at = begin; at + 1 < end; ++at)
        if (*at == '~' && at[1] >= '0' && at[1] <= '9')
            return "may be the short (8.3) name of another file";
    return nullptr;
}

// One spelling per file: the name as the file system resolves it, with its
// root kept, separators made "\", trailing dots and blanks and "."
// components dropped, ".." taking away the component before it (at an
// absolute root, nothing), and the letters capitalised.
std::string NameKey(const char* name) {
    std::string key;
    const char* at = name;
    if (*at == '#') {
        key += '#';
        ++at;
    } else {
        for (const std::size_t root = PathRootLength(name); static_cast<std::size_t>(at - name) < root; ++at)
            key += IsSeparator(*at) ? '\\' : static_cast<char>(Capital(static_cast<unsigned char>(*at)));
    }
    const bool absolute = !key.empty() && key.back() == '\\';  // "C:\", "\", "\\server\share\"
    std::vector<std::string> parts;
    while (*at != 0) {
        const char* end = at;
        while (*end != 0 && !IsSeparator(*end))
            ++end;
        const char* stop = end;
        const bool dots = stop - at == 2 && at[0] == '.' && at[1] == '.';
        while (!dots && stop > at && (stop[-1] == '.' || stop[-1] == ' '))
            --stop;
        if (dots && !parts.empty() && parts.back() != "..")
            parts.pop_back();
        else if (stop > at && !(dots && absolute)) {
            parts.emplace_back();
            for (const char* c = at; c < stop; ++c)
                parts.back() += static_cast<char>(Capital(static_cast<unsigned char>(*c)));
        }
        at = *end ? end + 1 : end;
    }
    for (std::size_t i = 0; i < parts.size(); ++i)
        key += (i ? "\\" : "") + parts[i];
    return key;
}

// The table's names in the form they are compared in, each with its first
// record, made once per run and kept in step with the records the decisions
// append. Its size is bounded by the table's capacity, not by the archive.
struct TableKeys {
    std::unordered_map<std::string, int> first;
    int used = 0;  // records up to the first empty name
    void Load(const EntryRec* table, int capacity) {
        for (; used < capacity && table[used].name[0] != 0; ++used)
            first.emplace(NameKey(table[used].name), used);
    }
};

// Whether an entry is written: listed is the version the table holds for
// it (-1: not listed); with no table, force or no file there decides; a file
// only replaced where one exists (R) needs one.
// A listed version gives way to the archive's: lower, or equal with force.
bool Supersedes(const EntryRec& entry, int listed, int force) {
    return listed < entry.version || (force && listed == entry.version);
}

bool WouldWrite(const EntryRec& entry, int listed, bool hasTable, int force, bool existed) {
    bool write = hasTable ? listed < 0 || Supersedes(entry, listed, force) : force || !existed;
    return write && (entry.R == 0 || existed);
}

// What the version table says of an entry: the record it goes to and
// whether the file is to be written.
bool DecideWithTable(const EntryRec& entry, EntryRec* table, int capacity, int force, TableKeys* names,
                     int* listed) {
    const std::string key = NameKey(entry.name);
    const auto found = names->first.find(key);
    *listed = -1;
    if (found == names->first.end()) {
        if (names->used >= capacity)
            FatalMessage("UnPackLZX too many files");
        EntryRec& rec = table[names->used];
        rec = entry;
        rec.status = EntryNew;
        names->first.emplace(key, names->used++);
        return true;
    }
    EntryRec& rec = table[found->second];
    *listed = rec.version;
    const bool write = Supersedes(entry, rec.version, force);
    if (write) {
        rec = entry;
        rec.status = EntryUpdated;
    } else {
        rec.status = EntryKept;
    }
    return write;
}

// The target path of an entry: a "#" name below target, joined with one
// separator (none after a target that ends in one, or in a drive's ":"), so
// "\" and "\\server\share" stay the roots they are.
std::string TargetPath(const char* target, const EntryRec& entry) {
    if (entry.name[0] != '#')
        return entry.name;
    const std::string base = target;
    const char last = base.back();
    return IsSeparator(last) || last == ':' ? base + (entry.name + 1) : base + "\\" + (entry.name + 1);
}

// What stands in the way of writing path: an existing file where a folder
// must be, or a folder where the file goes. Empty when nothing does.
std::string Obstacle(const std::string& path) {
    const std::size_t root = PathRootLength(path.c_str());
    for (std::size_t i = root; i < path.size(); ++i) {
        if (!IsSeparator(path[i]) || i == root)
            continue;
        const std::string folder = path.substr(0, i);
        const std::uint32_t attributes = OsGetFileAttributes(folder.c_str());
        if (attributes != OsInvalidValue && !(attributes & OsAttrDirectory))
            return "cannot be written: [" + folder + "] is a file, not a folder";
        if (attributes == OsInvalidValue)
            return {};  // the rest is made by extraction
    }
    const std::uint32_t attributes = OsGetFileAttributes(path.c_str());
    if (attributes != OsInvalidValue && (attributes & OsAttrDirectory))
        return "cannot be written: [" + path + "] is a folder";
    return {};
}

// "\\" or "\\server" without a share: a name joined to it would choose
// the server or the share itself.
bool PartialServerPath(const char* target) {
    if (!IsSeparator(target[0]) || !IsSeparator(target[1]))
        return false;
    const char* at = target + 2;
    for (int part = 0; part < 2; ++part) {
        const char* end = at;
        while (*end != 0 && !IsSeparator(*end))
            ++end;
        if (end == at)
            return true;
        at = *end ? end + 1 : end;
    }
    return false;
}

// One entry refused: the caller's own report when it gives one, else the
// fatal report.
[[noreturn]] void Refuse(const UnpackOptions& options, int number, const char* name, const std::string& reason,
                         int outside) {
    if (options.refused)
        options.refused(number, name, reason, outside);
    FatalMessage("UnPackLZX: entry %d [%s] %s", number, EntryShowName(name).c_str(), reason.c_str());
}

// An archive whose entries cannot be read as they claim.
std::string CutInEntry(int number) {
    return "cut short inside the data of entry " + std::to_string(number);
}

[[noreturn]] void Damaged(const HILE* stream, const std::string& reason, const char* text) {
    FatalAbout(stream->name, reason);
    FatalMessage("%s", text);
}

// Reads the next entry and checks it, as both passes do: the record, the
// name, the target path and its length. Answers false at the end.
bool NextChecked(HILE* stream, const char* target, const UnpackOptions& options, int number, EntryRec* entry,
                 std::string* path) {
    switch (EntryNext(stream, entry)) {
    case 0:
        return false;
    case EntryCut:
        Damaged(stream, "cut short inside the record of entry " + std::to_string(number), "UnPackLZX: target fail");
    case EntryLongName:
        FatalAbout(stream->name, "entry " + std::to_string(number) + " is damaged: a name of 256 characters or more");
        FatalMessage("UnPackLZX: stored name of 256 characters or more at stream offset %d",
                     Htell(stream) - EntrySize);
    case EntryBadSize:
        FatalAbout(stream->name, "entry " + std::to_string(number) + " is damaged: a negative size");
        FatalMessage("UnPackLZX: negative size of entry [%s]", entry->name);
    default:
        break;
    }
    if (entry->name[0] == '#' && (target == nullptr || target[0] == 0))
        FatalMessage("UnPackLZX no target");
    // Without a target the names are paths of their own, as the caller meant.
    const char* why = StoredNameProblem(entry->name, options.anywhere || target == nullptr);
    if (why == EntryOutside)
        Refuse(options, number, entry->name, std::string("would be written outside ") + target, 1);
    if (why != nullptr)
        Refuse(options, number, entry->name, why, 0);
    if (entry->name[0] == '#' && !options.anywhere && PartialServerPath(target))
        Refuse(options, number, entry->name, std::string("would be written outside ") + target, 1);

    *path = TargetPath(target, *entry);
    // The file is written under a longer temporary name first.
    if (path->size() + SiblingExtra >= FileNameSize)
        FatalMessageAbout(path->c_str(), "UnPackLZX: target path of %zu characters, at most %d [%s]", path->size(),
                          FileNameSize - 1 - SiblingExtra, path->c_str());
    return true;
}

// The stored name of entry number (from 1), read again from the stream's
// start: for the report of a second entry for one file.
std::string EntryNameAt(HILE* stream, int number) {
    Hrewind(stream);
    EntryRec entry{};
    for (int at = 1; EntryNext(stream, &entry) == 1 && at < number && EntrySkip(stream, entry.size); ++at) {
    }
    return entry.name;
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

    // Written whole beside the file and renamed over it: a failure leaves
    // the file as it was.
    FolderChain place;
    std::size_t stop = 0;
    if (FolderWalk(rec->name, PathLeaf(rec->name), 0, &place, &stop) != FolderReached)
        FileError(rec, FileErrCreate);
    FileSibling sibling;
    FileCreateSibling(rec, &sibling, place.Innermost());
    FileWrite(rec, length, data);
    FileCommitSibling(rec, &sibling);
    FolderRelease(&place);
    delete[] data;
}

const char* const EntryOutside = "would be written outside the target directory";

const char* StoredNameProblem(const char* name, int anywhere) {
    const char* at = name;
    if (name[0] == '#') {
        ++at;
        if (*at == 0)
            return "names no file";
        if (IsSeparator(*at))
            return "begins with a separator after \"#\"";
        if (std::strchr(at, '/') != nullptr)
            return "uses \"/\" where stored names use \"\\\"";
    } else {
        if (!anywhere)
            return EntryOutside;
        at += PathRootLength(name);
        if (*at == 0)
            return "names no file";
    }
    for (;;) {
        const char* end = at;
        while (*end != 0 && !IsSeparator(*end))
            ++end;
        const bool last = *end == 0;
        if (last && (end == at || (end - at == 1 && *at == '.')))
            return "names no file";
        if (const char* why = ComponentProblem(at, end, anywhere))
            return why;
        if (last)
            return nullptr;
        at = end + 1;
    }
}

int SameStoredName(const char* a, const char* b) {
    return NameKey(a) == NameKey(b) ? 1 : 0;
}

std::string StoredNameKey(const char* name) {
    return NameKey(name);
}

std::string EntryShowName(const char* name) {
    std::string shown;
    for (const char* at = name; *at != 0; ++at) {
        const unsigned char c = static_cast<unsigned char>(*at);
        if (c < 32 || c == 127) {
            char code[8];
            std::snprintf(code, sizeof code, "<%02X>", c);
            shown += code;
        } else {
            shown += *at;
        }
    }
    return shown;
}

int EntryNext(HILE* stream, EntryRec* entry) {
    std::uint8_t raw[EntrySize];
    const int n = Hread(raw, EntrySize, stream);
    if (n == 0)
        return 0;
    if (n != EntrySize)
        return EntryCut;
    if (!EntryDecode(raw, entry))
        return EntryLongName;
    return entry->size < 0 ? EntryBadSize : 1;
}


int UnPackLZX(const char* archive, const char* target, EntryRec* table, int capacity, int force,
              const UnpackOptions& options) {
    return UnPackStream(Hopen(archive, "rb", options.stream), target, table, capacity, force, options);
}

int UnPackStream(HILE* stream, const char* target, EntryRec* table, int capacity, int force,
                 const UnpackOptions& options) {
    // First pass: every entry, in the order extraction takes them, is
    // checked before the first byte is written, so a run never stops half
    // way for a reason it could have seen.
    // A full table is one of those reasons: the names it will have to take
    // are counted here, each once.
    TableKeys names;
    if (table != nullptr)
        names.Load(table, capacity);
    int room = capacity - names.used;
    std::unordered_set<std::string> added;
    // Two entries that reach one file would be written one over the other
    // and counted as two: each target path, as Windows compares it, once.
    std::unordered_map<std::string, int> files;
    EntryRec entry;
    std::string path;
    // A transaction writes nothing until all is staged: its plan is made
    // here, where nothing has changed yet, from what each entry finds.
    Transaction* const run = target != nullptr ? options.transaction : nullptr;
    std::vector<int> planned;  // per entry: its file in the run, or -1
    std::vector<char> existing;
    std::unordered_set<std::string> making;
    const std::string stageKey = run != nullptr ? NameKey((std::string(target) + "\\" + StagingFolder).c_str())
                                                : std::string();
    const std::string tableKey = run != nullptr && options.versionFile != nullptr
                                     ? NameKey(options.versionFile->Path().c_str())
                                     : std::string();
    for (int number = 1; NextChecked(stream, target, options, number, &entry, &path); ++number) {
        const std::size_t below = TargetBelow(path.c_str(), target, entry.name[0] == '#');
        TargetCheckFolders(path.c_str(), below);
        const std::string obstacle = Obstacle(path);
        if (!obstacle.empty())
            Refuse(options, number, entry.name, obstacle, 0);
        if (run != nullptr) {
            const std::string key = NameKey(path.c_str());
            if (key == tableKey || key.compare(0, stageKey.size() + 1, stageKey + "\\") == 0)
                Refuse(options, number, entry.name, "names the update's own version file or staging folder", 0);
            TargetPlace place;
            TargetOpen(path.c_str(), below, &place, false);
            FolderRelease(&place.folders);
            const bool existed = place.existing.kind != OsEntryKind::Missing;
            existing.push_back(existed ? 1 : 0);
            int listed = -1;
            if (table != nullptr) {
                const auto found = names.first.find(NameKey(entry.name));
                listed = found == names.first.end() ? -1 : table[found->second].version;
            }
            int file = -1;
            const bool write = WouldWrite(entry, listed, table != nullptr, force, existed);
            if (options.check && options.decisions != nullptr)
                options.decisions->push_back(UnpackDecision{entry, listed, write, existed});
            if (write && (entry.D == 0 || existed)) {
                // Below the target, or (a trusted archive's name of its own)
                // in its folder as named.
                const std::size_t leaf = PathLeaf(path.c_str());
                const bool inside = StoredNameProblem(entry.name, 0) != EntryOutside;
                const int root = inside ? 0 : run->Root(path.substr(0, leaf).c_str());
                const TxnChange change = entry.D != 0 ? TxnChange::Remove
                                         : existed    ? TxnChange::Replace
                                                      : TxnChange::New;
                file = run->Plan(root, path.substr(inside ? below : leaf), change, entry.D == 0 ? entry.size : 0,
                                 existed ? place.existing.size : 0);
                // The folders it needs that are missing, shallowest first.
                for (std::size_t at = place.missing; inside && at > below && at < leaf; ++at) {
                    if (IsSeparator(path[at]) && making.insert(NameKey(path.substr(0, at).c_str())).second)
                        run->PlanFolder(0, path.substr(below, at - below));
                }
            }
            planned.push_back(file);
        }
        if (const auto [first, fresh] = files.emplace(NameKey(path.c_str()), number); !fresh) {
            Refuse(options, number, entry.name,
                   "names the same file as entry " + std::to_string(first->second) + " [" +
                       EntryShowName(EntryNameAt(stream, first->second).c_str()) + "]",
                   0);
        }
        if (table != nullptr) {
            std::string key = NameKey(entry.name);
            if (!names.first.count(key) && added.insert(std::move(key)).second && --room < 0)
                FatalMessage("UnPackLZX too many files");
        }
        if (!EntrySkip(stream, entry.size))
            Damaged(stream, CutInEntry(number), "UnPackLZX: unexpected eof");
    }
    if (run != nullptr && options.check) {
        // What the run would do, as its table would settle it.
        run->Check();
        if (options.counts != nullptr && options.decisions != nullptr) {
            for (const UnpackDecision& decision : *options.decisions) {
                const int listed = decision.listed;
                const bool newer = Supersedes(decision.entry, listed, force);
                if (table == nullptr) {
                    options.counts->added += decision.written && !decision.existed;
                    options.counts->updated += decision.written && decision.existed;
                    options.counts->kept += !decision.written && decision.existed;
                    continue;
                }
                options.counts->added += listed < 0;
                options.counts->updated += listed >= 0 && newer;
                options.counts->kept += listed >= 0 && !newer;
            }
        }
        Hclose(stream);
        return 0;
    }
    const bool heldTable = run != nullptr && options.versionFile != nullptr && table != nullptr;
    if (heldTable)
        run->Adopt(options.versionFile, static_cast<long long>(names.used + added.size()) * EntrySize);
    // The second pass reads the same file, still open, from its first
    // record again: no one can change or replace it in between.
    added.clear();
    Hrewind(stream);
    if (run != nullptr)
        run->Begin();
    for (int number = 1; NextChecked(stream, target, options, number, &entry, &path); ++number) {
        // The folders are made as the file's turn comes, each from its
        // parent's handle, and held until the file is written; a run in a
        // transaction goes by what its first pass found.
        TargetPlace place;
        if (run == nullptr)
            TargetOpen(path.c_str(), TargetBelow(path.c_str(), target, entry.name[0] == '#'), &place);
        const bool existed = run != nullptr ? existing[static_cast<std::size_t>(number - 1)] != 0
                                            : place.existing.kind != OsEntryKind::Missing;
        bool write = true;
        int listed = -1;
        if (table != nullptr)
            write = DecideWithTable(entry, table, capacity, force, &names, &listed);
        else if (!force && existed)
            write = false;
        if (entry.R != 0 && !existed)
            write = false;
        if (table == nullptr && options.counts != nullptr) {
            options.counts->added += write && !existed;
            options.counts->updated += write && existed;
            options.counts->kept += !write && existed;
        }

        if (run != nullptr) {
            const int file = planned[static_cast<std::size_t>(number - 1)];
            if ((write && (entry.D == 0 || existed)) != (file >= 0))
                FatalMessage("UnPackLZX: entry %d changed its mind between the passes; nothing was changed", number);
            if (file >= 0 && entry.D == 0) {
                FileRec out;
                run->Stage(file, &out);
                TargetCopyEntry(stream, entry, &out, Transaction::SafeStepOf, run);
                run->Staged(file, &out);
            } else if (!EntrySkip(stream, entry.size)) {
                Damaged(stream, CutInEntry(number), "UnPackLZX: unexpected eof");
            }
            if (options.decisions != nullptr)
                options.decisions->push_back(UnpackDecision{entry, listed, write});
            continue;
        }
        TargetWrite(stream, entry, path.c_str(), &place, write);
        if (options.done != nullptr)
            options.done(entry, listed, write, options.context);
    }
    if (heldTable) {
        // The version file's new records, into its hold: placed last.
        const VersionCounts counts = VersionTableSettle(table, capacity);
        if (options.counts != nullptr)
            *options.counts = counts;
        VersionTableWrite(options.versionFile->Hold(), table, counts.length);
    }
    return Hclose(stream);
}

// ---- Verification -----------------------------------------------------------

const char* VerifyStatusName(VerifyStatus status) {
    switch (status) {
    case VerifyStatus::Same:
        return "same";
    case VerifyStatus::Differs:
        return "differs";
    case VerifyStatus::Missing:
        return "missing";
    case VerifyStatus::NewerKept:
        return "newer kept";
    case VerifyStatus::NotInstalled:
        return "not installed";
    }
    return "?";
}

namespace {

// Whether the file held open in file holds the entry's data from stream,
// after the E transform; the entry's data is read whole either way.
bool SameBytes(HILE* stream, const EntryRec& entry, FileRec* file) {
    Scrambler scrambler(entry.size);
    std::uint8_t stored[ExtractPiece];
    std::uint8_t installed[ExtractPiece];
    bool same = true;
    for (int remaining = entry.size; remaining > 0;) {
        const int got = Hread(stored, remaining < ExtractPiece ? remaining : ExtractPiece, stream);
        if (got == 0)
            Damaged(stream, "cut short inside the data of [" + EntryShowName(entry.name) + "]",
                    "UnPackLZX: unexpected eof");
        remaining -= got;
        if (!same)
            continue;
        if (entry.E == 1)
            scrambler.Apply(stored, got);
        same = FileRead(file, got, installed) == got &&
               std::memcmp(stored, installed, static_cast<std::size_t>(got)) == 0;
    }
    return same;
}

}  // namespace

int VerifyLZX(const char* archive, const char* target, const EntryRec* table, int capacity,
              const VerifyOptions& options) {
    return VerifyStream(Hopen(archive, "rb", options.stream), target, table, capacity, options);
}

int VerifyStream(HILE* stream, const char* target, const EntryRec* table, int capacity,
                 const VerifyOptions& options) {
    std::unordered_map<std::string, int> listed;
    for (int i = 0; table != nullptr && i < capacity && table[i].name[0] != 0; ++i)
        listed.emplace(NameKey(table[i].name), table[i].version);
    UnpackOptions checks;
    checks.anywhere = options.anywhere;
    checks.refused = options.refused;
    int differ = 0;
    EntryRec entry;
    std::string path;
    for (int number = 1; NextChecked(stream, target, checks, number, &entry, &path); ++number) {
        VerifyResult result{entry, VerifyStatus::Same, -1, {}};
        const auto found = listed.find(NameKey(entry.name));
        if (found != listed.end())
            result.listed = found->second;
        bool read = false;
        if (result.listed > entry.version) {
            result.status = VerifyStatus::NewerKept;
        } else {
            TargetPlace place;
            TargetOpen(path.c_str(), TargetBelow(path.c_str(), target, entry.name[0] == '#'), &place, false);
            const OsEntry& at = place.existing;
            if (at.kind == OsEntryKind::Missing) {
                if (entry.D == 0)
                    result.status = entry.R != 0 ? VerifyStatus::NotInstalled : VerifyStatus::Missing;
            } else if (at.kind != OsEntryKind::File) {
                result.status = VerifyStatus::Differs;
                result.why = "not a file";
            } else if (entry.D != 0) {
                result.status = VerifyStatus::Differs;
                result.why = "a run removes it";
            } else if (at.size != entry.size) {
                result.status = VerifyStatus::Differs;
                result.why = std::to_string(at.size) + " bytes, not " + std::to_string(entry.size);
            } else {
                FileRec file;
                FileInit(&file, 1, path.c_str());
                file.handle = OsOpenFileAt(place.folders.Innermost(), path.c_str() + PathLeaf(path.c_str()),
                                           OsAccessRead, OsShareRead);
                if (file.handle == 0)
                    FileError(&file, FileErrOpenRead);
                FileRegister(&file);
                read = true;
                if (!SameBytes(stream, entry, &file)) {
                    result.status = VerifyStatus::Differs;
                    result.why = "other bytes";
                }
                FileClose(&file);
            }
            FolderRelease(&place.folders);
            // What a run leaves in the table: the entry's own record.
            if (table != nullptr && result.status == VerifyStatus::Same && result.listed < entry.version) {
                result.status = VerifyStatus::Differs;
                result.why = result.listed < 0 ? "not in the version file"
                                               : "the version file lists version " + std::to_string(result.listed);
            }
        }
        if (!read && !EntrySkip(stream, entry.size))
            Damaged(stream, CutInEntry(number), "UnPackLZX: unexpected eof");
        differ += result.status == VerifyStatus::Differs || result.status == VerifyStatus::Missing;
        if (options.each != nullptr)
            options.each(result, options.context);
    }
    Hclose(stream);
    return differ;
}

// ---- Version tables ------------------------------------------------------
//
// A version file is never written in place: its new records go to a file
// beside it that takes its name in one step when they are all on the disk
// (in a run, the hold of the held file, which the transaction puts in
// place). A failure or a kill leaves the old table or the new one.

namespace {

// A record that is all zero: where the used part of the table ends.
bool IsBlank(const std::uint8_t* raw) {
    for (int i = 0; i < EntrySize; ++i) {
        if (raw[i] != 0)
            return false;
    }
    return true;
}

// Why a record read from a version file cannot be taken, or null. The
// table decides which installed file may be overwritten, so a damaged one
// is refused whole rather than read as far as it goes.
const char* RecordProblem(const std::uint8_t* raw, const EntryRec& rec, bool decoded) {
    if (!decoded)
        return "has a name of 256 characters or more";
    if (rec.name[0] == 0)
        return IsBlank(raw) ? nullptr : "has no name, but other fields";
    if (rec.size < 0)
        return "has a negative size";
    if (rec.version < 0)
        return "has a negative version";
    if (rec.status < 0 || rec.status > EntryKept)
        return "has a status other than 0 to 3";
    return nullptr;
}

}  // namespace

EntryRec* VersionTableLoad(const char* path, int* capacity, const HeldFile* held) {
    FileRec file;
    FileInit(&file, EntrySize, path);
    if (held != nullptr) {
        file.handle = OsOpenFileAt(held->Folder(), held->Leaf(), OsAccessRead, OsShareRead);
        OsEntry entry;
        if (file.handle == 0 && !(OsQueryAt(held->Folder(), held->Leaf(), &entry) && entry.kind == OsEntryKind::Missing))
            FileError(&file, FileErrOpenRead);
        if (file.handle != 0)
            FileRegister(&file);
    } else if (FileExists(path)) {
        FileOpenRead(&file);
    }
    const long long bytes = file.handle != 0 ? FileSize64(&file) : 0;
    if (bytes % EntrySize != 0)
        FatalMessageAbout(path, "VersionTableLoad: [%s] has %lld bytes, not a whole number of %d-byte records; refused",
                          path, bytes, EntrySize);
    const long long listed = bytes / EntrySize;
    if (listed > 0x7FFFFFFF / EntrySize - VersionTableRoom)
        FatalMessageAbout(path, "VersionTableLoad: [%s] is too large", path);
    const int records = static_cast<int>(listed) + VersionTableRoom;
    auto* table = static_cast<EntryRec*>(AllocBlock(records * EntrySize));
    std::memset(static_cast<void*>(table), 0, static_cast<std::size_t>(records) * EntrySize);
    const int got = listed > 0 ? FileRead(&file, static_cast<int>(listed), table) : 0;
    FileClose(&file);
    if (got != listed)
        FatalMessageAbout(path, "VersionTableLoad: [%s] changed while it was read", path);
    // The records arrive as they lie on disk; each becomes its in-memory
    // form in place (a copy, since the two may differ on some hosts).
    int blank = 0;  // the first blank record, from 1; 0: none yet
    for (int i = 0; i < got; ++i) {
        std::uint8_t raw[EntrySize];
        std::memcpy(raw, &table[i], EntrySize);
        const bool decoded = EntryDecode(raw, &table[i]);
        if (const char* why = RecordProblem(raw, table[i], decoded))
            FatalMessageAbout(path, "VersionTableLoad: record %d of [%s] %s; refused", i + 1, path, why);
        if (table[i].name[0] == 0 && blank == 0)
            blank = i + 1;
        else if (table[i].name[0] != 0 && blank != 0)
            FatalMessageAbout(path,
                              "VersionTableLoad: record %d of [%s] is blank, but record %d after it is not; refused",
                              blank, path, i + 1);
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

void VersionTableWrite(FileRec* rec, const EntryRec* table, int length) {
    if (rec->unit != 1)
        InternalError("LZX", __LINE__, 'u');
    FileSeek(rec, 0, 0);
    for (int i = 0; i < length; ++i) {
        std::uint8_t raw[EntrySize];
        EntryEncode(table[i], raw);
        FileWrite(rec, EntrySize, raw);
    }
    FileSetEnd(rec);
}

void VersionTableSave(const char* path, const EntryRec* table, int length) {
    FolderChain place;
    std::size_t stop = 0;
    FileRec rec;
    FileInit(&rec, 1, path);
    if (FolderWalk(path, PathLeaf(path), 1, &place, &stop) != FolderReached)
        FileError(&rec, FileErrCreate);
    FileSibling sibling;
    FileCreateSibling(&rec, &sibling, place.Innermost());
    VersionTableWrite(&rec, table, length);
    FileCommitSibling(&rec, &sibling);
    FolderRelease(&place);
}
