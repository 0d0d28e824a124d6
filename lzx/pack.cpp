// pack.cpp - archive building from a script.
//
// Script, read line by line (empty lines are skipped everywhere):
//   archive file name
//   base directory, with its final "\"
//   then per file two lines:
//     source|V=version[|E=n][|D=n][|R=n]   ("#" in front: a path of its own)
//     stored name                          (for example "#data\book.bin")
// Each entry is written as its 432-byte record followed by the file's bytes,
// unchanged; archives are always written with mode "wb" (LZ, no sort).
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lzx/bitstream.h"
#include "lzx/lzx.h"

namespace {

constexpr int LineLimit = 256;
constexpr int NameLineLimit = 128;
constexpr int MaxOptions = 47;
constexpr int PackPiece = 8192;  // a file moves through the call's own buffer in pieces of this size
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

// Creating the archive truncates it, so it must be none of the files it is
// made from: not the script, not any source, under whatever name or link
// reaches them. The rest of the script is read ahead for this and the
// script is put back where it was.
void CheckNotASource(FileRec* script, const char* archive, const char* base) {
    if (OsSameFile(archive, script->name))
        FatalMessage("PackLZX: the archive [%s] is the script itself [%s]; nothing written", archive, script->name);
    const int start = FileTell(script);
    char line[LineLimit + 1];
    while (FileReadLine(script, line, LineLimit)) {
        const std::vector<std::string> fields = SplitFields(line);
        if (!fields.empty()) {
            const std::string path = SourcePath(fields[0], base);
            if (OsSameFile(archive, path.c_str()))
                FatalMessage("PackLZX: the archive [%s] is one of its sources [%s]; nothing written", archive,
                             path.c_str());
        }
        if (!FileReadLine(script, nullptr, NameLineLimit))
            break;
    }
    FileSeek(script, start, 0);
}

}  // namespace

int PackLZX(const char* scriptName, long long* total, int* archiveSize, EntryRec* table, int capacity,
            const HileOptions& options) {
    FileRec script;
    FileInit(&script, 1, scriptName);
    FileOpenRead(&script);

    char archive[LineLimit + 1];
    char base[LineLimit + 1];
    if (!FileReadLine(&script, archive, LineLimit))
        FatalMessage("PackLZX: No first line");
    if (!FileReadLine(&script, base, LineLimit))
        FatalMessage("PackLZX: No base directory");

    CheckNotASource(&script, archive, base);
    HILE* stream = Hopen(archive, "wb", options);
    long long stored = 0;
    int count = 0;
    std::uint8_t piece[PackPiece];
    char line[LineLimit + 1];
    while (FileReadLine(&script, line, LineLimit)) {
        const std::vector<std::string> fields = SplitFields(line);
        EntryRec entry{};
        if (fields.empty())
            FatalMessage("PackLZX: No filename found");
        if (static_cast<int>(fields.size()) - 1 > MaxOptions)
            FatalMessage("PackLZX: more than %d options [%s]", MaxOptions, line);

        const std::string& source = fields[0];
        const std::string path = SourcePath(source, base);
        if (path.size() >= LineLimit)
            FatalMessage("PackLZX: source path of 256 characters or more [%s]", path.c_str());

        for (std::size_t i = 1; i < fields.size(); ++i)
            ApplyOption(fields[i], &entry);
        if (entry.version < MinVersion)
            FatalMessage("PackLZX: Version error [%s]", path.c_str());

        char stored_name[NameLineLimit + 1];
        if (!FileReadLine(&script, stored_name, NameLineLimit))
            FatalMessage("PackLZX: No first line");
        std::memcpy(entry.name, stored_name, std::strlen(stored_name) + 1);
        // Extraction refuses a name in any but its file's one spelling, so
        // such a name is refused here already. Names of their own and ".."
        // stay possible: whether they may be written is the extractor's call.
        if (const char* why = StoredNameProblem(entry.name, 1))
            FatalMessage("PackLZX: stored name [%s] %s", EntryShowName(entry.name).c_str(), why);

        FileRec file;
        FileInit(&file, 1, path.c_str());
        FileOpenRead(&file);
        // The record holds a signed 32-bit size, and the stream a signed
        // 32-bit length: larger files cannot be stored.
        const long long size = FileSize64(&file);
        if (size < 0 || size > MaxSourceSize)
            FatalMessage("PackLZX: file of 2147483648 bytes or more [%s]", path.c_str());
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
                FatalMessage("PackLZX: [%s] changed while it was packed", path.c_str());
            Hwrite(piece, n, stream);
            left -= n;
        }
        if (FileRead(&file, 1, piece) != 0)
            FatalMessage("PackLZX: [%s] changed while it was packed", path.c_str());
        FileClose(&file);
    }

    const int size = Hclose(stream);
    if (archiveSize)
        *archiveSize = size;
    if (total)
        *total = stored;
    FileClose(&script);
    return count;
}
