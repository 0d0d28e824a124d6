// pack.cpp - archive building from a script.
//
// Script, read line by line (empty lines are skipped everywhere; a UTF-8
// byte-order mark in front is dropped; a line over its limit is refused):
//   archive file name
//   base directory, with its final "\"
//   then per file two lines:
//     source|V=version[|E=n][|D=n][|R=n]   ("#" in front: a path of its own)
//     stored name                          (for example "#data\book.bin")
// The whole script is checked before the archive is created: its lines,
// its sources (regular files only) and its stored names (one per file).
// Each entry is written as its 432-byte record followed by the file's bytes,
// unchanged; archives are always written with mode "wb" (LZ, no sort).
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bitstream.h"
#include "diag.h"
#include "fileio.h"
#include "lzx.h"
#include "platform.h"

namespace {

constexpr int LineLimit = 256;
constexpr int NameLineLimit = 128;
constexpr int MaxOptions = 47;
constexpr int PackPiece = 8192;  // a file moves through the call's own buffer in pieces of this size
constexpr int ScriptPiece = 4096;
constexpr std::uint8_t ByteOrderMark[3] = {0xEF, 0xBB, 0xBF};  // UTF-8
constexpr int MinVersion = 100;
constexpr long long MaxSourceSize = 0x7FFFFFFF;

// The fields of a line split at "|" the way strtok splits: runs of "|" are
// one separator, and separators at either end make no field.
std::vector<std::string> SplitFields(const char* line) {
    std::vector<std::string> fields;
    const char* at = line;
    while (*at) {
        while (*at == '|')
            ++at;
        if (*at == 0)
            break;
        const char* end = std::strchr(at, '|');
        if (end == nullptr)
            end = at + std::strlen(at);
        fields.emplace_back(at, end);
        at = end;
    }
    return fields;
}

bool IsOption(const char* text, char letter) {
    const char upper = text[0] >= 'a' && text[0] <= 'z' ? static_cast<char>(text[0] - 'a' + 'A') : text[0];
    return upper == letter && text[1] == '=';
}

void ApplyOption(const std::string& written, EntryRec* entry) {
    const char* option = written.c_str();
    while (*option == ' ' || *option == '\t')
        ++option;
    std::int32_t* field = IsOption(option, 'V')   ? &entry->version
                          : IsOption(option, 'E') ? &entry->E
                          : IsOption(option, 'D') ? &entry->D
                          : IsOption(option, 'R') ? &entry->R
                                                  : nullptr;
    if (field == nullptr)
        FatalMessage("PackLZX: Unknown option [%s]", written.c_str());
    *field = std::atoi(option + 2);
}

// Where a file line's source is read from: a name with "#" in front is a
// path of its own, any other lies in the base directory.
std::string SourcePath(const std::string& source, const char* base) {
    return source[0] == '#' ? source.substr(1) : std::string(base) + source;
}

// A pack script, line by line, as FileReadLine reads text (a carriage
// return, a line feed or both end a line; empty lines are skipped), except
// that a line is never cut: one longer than its limit is refused with its
// number, counted as an editor counts lines. A UTF-8 byte-order mark, which
// editors put in front of the first line, is not part of it.
struct Script {
    FileRec file;
    std::uint8_t piece[ScriptPiece];
    int at = 0;
    int end = 0;
    int line = 1;    // the line the next byte lies on
    int number = 0;  // the line last read
    bool afterReturn = false;

    void Start() {
        FileSeek(&file, 0, 0);
        end = FileRead(&file, ScriptPiece, piece);
        at = end >= 3 && std::memcmp(piece, ByteOrderMark, 3) == 0 ? 3 : 0;
        line = 1;
        afterReturn = false;
    }
    int Byte() {
        if (at == end) {
            end = FileRead(&file, ScriptPiece, piece);
            at = 0;
        }
        return at < end ? piece[at++] : -1;
    }
    void CountEnd(int c) {  // carriage return and line feed together end one line
        if (c == '\r' || !afterReturn)
            ++line;
        afterReturn = c == '\r';
    }
    // The next line that is not empty, into text; false at the end.
    bool Read(std::string* text, int limit) {
        text->clear();
        int c = Byte();
        for (; c == '\r' || c == '\n'; c = Byte())
            CountEnd(c);
        if (c < 0)
            return false;
        number = line;
        afterReturn = false;
        for (; c >= 0 && c != '\r' && c != '\n'; c = Byte()) {
            if (c == 0)
                FatalMessageAbout(file.name, "PackLZX: line %d of [%s] holds a zero byte", number, file.name);
            if (static_cast<int>(text->size()) == limit)
                FatalMessageAbout(file.name, "PackLZX: line %d of [%s] is longer than %d characters", number, file.name,
                                  limit);
            text->push_back(static_cast<char>(c));
        }
        if (c >= 0)
            CountEnd(c);
        return true;
    }
};

void ReadHeader(Script* script, std::string* archive, std::string* base) {
    script->Start();
    if (!script->Read(archive, LineLimit))
        FatalMessageAbout(script->file.name, "PackLZX: No first line");
    if (!script->Read(base, LineLimit))
        FatalMessageAbout(script->file.name, "PackLZX: No base directory");
}

// The next file line and its name line, as far as the script alone can
// check them; false at the end of the script. line: the file line's number.
bool ReadEntry(Script* script, const std::string& base, EntryRec* entry, std::string* path, int* line) {
    std::string text;
    if (!script->Read(&text, LineLimit))
        return false;
    *line = script->number;
    const std::vector<std::string> fields = SplitFields(text.c_str());
    *entry = EntryRec{};
    if (fields.empty())
        FatalMessageAbout(script->file.name, "PackLZX: No filename found");
    if (static_cast<int>(fields.size()) - 1 > MaxOptions)
        FatalMessageAbout(script->file.name, "PackLZX: more than %d options [%s]", MaxOptions, text.c_str());

    *path = SourcePath(fields[0], base.c_str());
    if (path->size() >= LineLimit)
        FatalMessageAbout(script->file.name, "PackLZX: source path of 256 characters or more [%s]", path->c_str());
    for (std::size_t i = 1; i < fields.size(); ++i)
        ApplyOption(fields[i], entry);
    if (entry->version < MinVersion)
        FatalMessageAbout(script->file.name, "PackLZX: Version error [%s]", path->c_str());

    std::string stored;
    if (!script->Read(&stored, NameLineLimit))
        FatalMessageAbout(script->file.name, "PackLZX: No first line");
    std::memcpy(entry->name, stored.c_str(), stored.size() + 1);
    // Extraction refuses a name in any but its file's one spelling, so
    // such a name is refused here already. Names of their own and ".."
    // stay possible: whether they may be written is the extractor's call.
    if (const char* why = StoredNameProblem(entry->name, 1))
        FatalMessageAbout(script->file.name, "PackLZX: stored name [%s] %s", EntryShowName(entry->name).c_str(), why);
    return true;
}

// Why a source cannot be packed, or null. Only a regular file that opens
// for reading is one: the open never waits, so a FIFO or a device is
// refused, never read.
const char* SourceProblem(const std::string& path) {
    const OsHandle file = OsCreateFile(path.c_str(), OsAccessRead, OsShareRead, OsDisposition::OpenExisting);
    if (file == 0) {
        if (OsLastFailure() == OsFailure::NotAFile)
            return "is not a regular file";
        // Asked only now: Windows gives no attributes for some devices.
        const std::uint32_t attributes = OsGetFileAttributes(path.c_str());
        if (attributes == OsInvalidValue)
            return "does not exist";
        return attributes & OsAttrDirectory ? "is a folder" : "cannot be opened for reading";
    }
    const long long size = OsGetFileSize64(file);
    OsCloseHandle(file);
    return size < 0 || size > MaxSourceSize ? "holds 2147483648 bytes or more" : nullptr;
}

// Creating the archive truncates it, so the whole script is read and
// checked first: every line; every source, a regular file and not the
// archive under whatever name or link reaches it; the archive, not the
// script either; and no two stored names for one file, compared as Windows
// compares names (extraction would write one over the other).
void CheckScript(Script* script, const std::string& archive, const std::string& base) {
    if (OsSameFile(archive.c_str(), script->file.name))
        FatalMessageAbout(archive.c_str(), "PackLZX: the archive [%s] is the script itself [%s]; nothing written",
                          archive.c_str(), script->file.name);
    std::unordered_map<std::string, std::pair<int, std::string>> stored;
    EntryRec entry;
    std::string path;
    int line = 0;
    while (ReadEntry(script, base, &entry, &path, &line)) {
        if (OsSameFile(archive.c_str(), path.c_str()))
            FatalMessageAbout(archive.c_str(), "PackLZX: the archive [%s] is one of its sources [%s]; nothing written",
                              archive.c_str(), path.c_str());
        if (const char* why = SourceProblem(path))
            FatalMessageAbout(path.c_str(), "PackLZX: source [%s] on line %d %s; nothing written", path.c_str(), line,
                              why);
        const auto [first, fresh] =
            stored.try_emplace(StoredNameKey(entry.name), script->number, std::string(entry.name));
        if (!fresh)
            FatalMessageAbout(script->file.name,
                              "PackLZX: stored names [%s] on line %d and [%s] on line %d name the same file; "
                              "nothing written",
                              EntryShowName(first->second.second.c_str()).c_str(), first->second.first,
                              EntryShowName(entry.name).c_str(), script->number);
    }
}

}  // namespace

int PackLZX(const char* scriptName, long long* total, int* archiveSize, EntryRec* table, int capacity,
            const HileOptions& options) {
    Script script;
    FileInit(&script.file, 1, scriptName);
    FileOpenRead(&script.file);
    std::string archive;
    std::string base;
    ReadHeader(&script, &archive, &base);
    CheckScript(&script, archive, base);

    ReadHeader(&script, &archive, &base);
    HILE* stream = Hopen(archive.c_str(), "wb", options);
    long long stored = 0;
    int count = 0;
    std::uint8_t piece[PackPiece];
    EntryRec entry;
    std::string path;
    int line = 0;
    while (ReadEntry(&script, base, &entry, &path, &line)) {
        FileRec file;
        FileInit(&file, 1, path.c_str());
        FileOpenRead(&file);
        // The record holds a signed 32-bit size, and the stream a signed
        // 32-bit length: larger files cannot be stored.
        const long long size = FileSize64(&file);
        if (size < 0 || size > MaxSourceSize)
            FatalMessageAbout(path.c_str(), "PackLZX: file of 2147483648 bytes or more [%s]", path.c_str());
        entry.size = static_cast<std::int32_t>(size);

        if (table != nullptr && count < capacity)
            table[count] = entry;
        ++count;

        std::uint8_t raw[EntrySize];
        EntryEncode(entry, raw);
        Hwrite(raw, EntrySize, stream);
        stored += entry.size;
        // Exactly the measured size goes in: a file that changes meanwhile
        // would otherwise leave data that does not match its record.
        for (int left = entry.size; left > 0;) {
            const int n = FileRead(&file, left < PackPiece ? left : PackPiece, piece);
            if (n == 0)
                FatalMessageAbout(path.c_str(), "PackLZX: [%s] changed while it was packed", path.c_str());
            Hwrite(piece, n, stream);
            left -= n;
        }
        if (FileRead(&file, 1, piece) != 0)
            FatalMessageAbout(path.c_str(), "PackLZX: [%s] changed while it was packed", path.c_str());
        FileClose(&file);
    }

    const int size = Hclose(stream);
    if (archiveSize)
        *archiveSize = size;
    if (total)
        *total = stored;
    FileClose(&script.file);
    return count;
}
