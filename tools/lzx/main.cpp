// main.cpp - the lzx command-line tool.
//
// What a release engineer uses to make and check payloads:
//   lzx pack [-j N] SCRIPT
//   lzx unpack [-j N] ARCHIVE DIR [--table FILE] [--force] [--allow-outside]
//   lzx list ARCHIVE
//   lzx compress [-j N] [--huffman | --sort] IN OUT
//   lzx decompress [-j N] IN OUT
//   lzx test [-j N] FILE...
//   lzx scramble FILE
// -j N codes blocks on N threads (default: one per processor); the files
// written are the same for every N.
// Exit codes: 0 done, 2 a fatal error (the system's own message on standard
// error) or a refused archive, 64 a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "lzx/lzx.h"
#include "platform/platform.h"
#include "tools/lzx/progress.h"

namespace {

constexpr int ExitUsage = 64;
constexpr int ExitRefused = 2;
constexpr int CopyPiece = 65536;
constexpr int MaxJobs = 64;

struct Command {
    const char* name;
    const char* arguments;
    const char* summary;
    const char* details;
    int (*run)(const std::vector<std::string>& args);
};

// ---- Arguments -----------------------------------------------------------

// Positional arguments and the options that were given; an unknown option
// or a wrong count is a usage error.
struct Arguments {
    std::vector<std::string> positional;
    std::set<std::string> flags;
    std::string table;
    int jobs = 0;  // -j: 0 = one thread per processor
};

[[noreturn]] void Usage(const char* command, const std::string& problem) {
    std::fprintf(stderr, "lzx %s: %s (try lzx %s --help)\n", command, problem.c_str(), command);
    std::exit(ExitUsage);
}

int ParseJobs(const char* command, const std::string& text) {
    char* end = nullptr;
    const long jobs = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || jobs < 1 || jobs > MaxJobs)
        Usage(command, "-j needs a number of threads from 1 to " + std::to_string(MaxJobs));
    return static_cast<int>(jobs);
}

// The streams of the command code their blocks on the threads asked for.
void UseThreads(const Arguments& parsed) {
    HileSetThreads(parsed.jobs > 0 ? parsed.jobs : OsProcessorCount());
}

Arguments Parse(const char* command, const std::vector<std::string>& args, std::set<std::string> known,
                std::size_t least, std::size_t most) {
    Arguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--table" && known.count(arg)) {
            if (i + 1 >= args.size())
                Usage(command, "--table needs a file");
            parsed.table = args[++i];
        } else if (arg.compare(0, 2, "-j") == 0 && known.count("-j")) {
            if (arg.size() == 2 && i + 1 >= args.size())
                Usage(command, "-j needs a number of threads");
            parsed.jobs = ParseJobs(command, arg.size() > 2 ? arg.substr(2) : args[++i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            if (!known.count(arg))
                Usage(command, "unknown option " + arg);
            parsed.flags.insert(arg);
        } else {
            parsed.positional.push_back(arg);
        }
    }
    if (parsed.positional.size() < least || parsed.positional.size() > most)
        Usage(command, "wrong number of arguments");
    return parsed;
}

// ---- Progress ------------------------------------------------------------

ProgressLine Progress;

void StreamProgress(const HILE* stream) {
    Progress.Update(stream->base + stream->position);
}

// ---- Walking an archive's entries ------------------------------------------

struct Entry {
    EntryRec rec;
    int offset;  // stream offset of the record
};

// Reads every entry record of an archive, seeking past the data. Damage ends
// the program with a message naming the entry.
std::vector<Entry> ReadEntries(const std::string& archive, long long* length = nullptr) {
    std::vector<Entry> entries;
    HILE* stream = Hopen(archive.c_str(), "rb");
    const int total = stream->header.totalLength;
    if (length)
        *length = total;
    for (int at = 0; at < total;) {
        if (at != Htell(stream))
            Hseek(stream, at);
        std::uint8_t raw[EntrySize];
        if (Hread(raw, EntrySize, stream) != EntrySize)
            FatalMessage("lzx: %s ends inside the record of entry %zu", archive.c_str(), entries.size() + 1);
        Entry entry{};
        entry.offset = at;
        if (!EntryDecode(raw, &entry.rec))
            FatalMessage("lzx: entry %zu of %s has a name of 256 characters or more", entries.size() + 1,
                         archive.c_str());
        const long long next = static_cast<long long>(at) + EntrySize + entry.rec.size;
        if (entry.rec.size < 0 || next > total)
            FatalMessage("lzx: %s ends inside the data of entry %zu [%s]", archive.c_str(), entries.size() + 1,
                         entry.rec.name);
        entries.push_back(entry);
        at = static_cast<int>(next);
    }
    Hclose(stream);
    return entries;
}

// Whether a stored name keeps the file below the target directory: a "#"
// name without a drive and without a ".." component.
bool StaysInside(const char* name) {
    if (name[0] != '#' || std::strchr(name, ':'))
        return false;
    std::string component;
    for (const char* at = name + 1;; ++at) {
        if (*at == '\\' || *at == '/' || *at == 0) {
            if (component == "..")
                return false;
            component.clear();
            if (*at == 0)
                return true;
        } else {
            component += *at;
        }
    }
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// ---- Commands ------------------------------------------------------------

int Pack(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("pack", args, {"-j"}, 1, 1);
    UseThreads(parsed);
    long long stored = 0;
    int size = 0;
    Progress.Start("packing", 0);
    const int count = PackLZX(parsed.positional[0].c_str(), &stored, &size, nullptr, 0);
    Progress.Finish();
    std::printf("%d entries, %lld bytes stored, archive of %d bytes", count, stored, size);
    if (size > 0 && stored > 0)
        std::printf(" (%.2f:1)", static_cast<double>(stored) / size);
    std::printf("\n");
    return 0;
}

int Unpack(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("unpack", args, {"--table", "--force", "--allow-outside", "-j"}, 2, 2);
    UseThreads(parsed);
    const std::string& archive = parsed.positional[0];
    const std::string& target = parsed.positional[1];
    const int force = parsed.flags.count("--force") ? 1 : 0;

    // First pass: every name must stay below the target directory, unless
    // the archive is trusted. Nothing is written before this is known.
    long long total = 0;
    const std::vector<Entry> entries = ReadEntries(archive, &total);
    if (!parsed.flags.count("--allow-outside")) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!StaysInside(entries[i].rec.name)) {
                std::fprintf(stderr,
                             "lzx unpack: entry %zu [%s] would be written outside %s; refused "
                             "(--allow-outside extracts a trusted archive)\n",
                             i + 1, entries[i].rec.name, target.c_str());
                return ExitRefused;
            }
        }
    }

    VersionCounts counts{};
    Progress.Start("unpacking", total);

    if (!parsed.table.empty()) {
        int capacity = 0;
        VersionTableLock(parsed.table.c_str());
        EntryRec* table = VersionTableLoad(parsed.table.c_str(), &capacity);
        UnPackLZX(archive.c_str(), target.c_str(), table, capacity, force);
        counts = VersionTableSettle(table, capacity);
        VersionTableSave(parsed.table.c_str(), table, counts.length);
        FreeBlock(table);
    } else {
        // Without a table, the outcome of each entry follows from what
        // exists before it is written; work it out as extraction will.
        std::set<std::string> written;
        for (const Entry& entry : entries) {
            const std::string path =
                entry.rec.name[0] == '#' ? target + "\\" + (entry.rec.name + 1) : std::string(entry.rec.name);
            const bool existed = FileExists(path.c_str()) || written.count(Lower(path));
            const bool write = (force || !existed) && !(entry.rec.R != 0 && !existed);
            if (write && !entry.rec.D)
                written.insert(Lower(path));
            counts.added += write && !existed;
            counts.updated += write && existed;
            counts.kept += !write && existed;
        }
        UnPackLZX(archive.c_str(), target.c_str(), nullptr, 0, force);
    }
    Progress.Finish();
    std::printf("%d new, %d updated, %d not replaced\n", counts.added, counts.updated, counts.kept);
    return 0;
}

int List(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("list", args, {}, 1, 1);
    long long bytes = 0;
    const std::vector<Entry> entries = ReadEntries(parsed.positional[0]);
    std::printf("%-40s %10s %7s %3s %3s %3s\n", "name", "size", "version", "E", "D", "R");
    for (const Entry& entry : entries) {
        const EntryRec& rec = entry.rec;
        std::printf("%-40s %10d %7d %3d %3d %3d\n", rec.name, rec.size, rec.version, rec.E, rec.D, rec.R);
        bytes += rec.size;
    }
    std::printf("%zu entries, %lld bytes\n", entries.size(), bytes);
    return 0;
}

int Compress(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("compress", args, {"--huffman", "--sort", "-j"}, 2, 2);
    UseThreads(parsed);
    if (parsed.flags.size() > 1)
        Usage("compress", "--huffman and --sort exclude each other");
    const char* mode = parsed.flags.count("--huffman") ? "wbh" : parsed.flags.count("--sort") ? "wbs" : "wb";

    FileRec in;
    FileInit(&in, 1, parsed.positional[0].c_str());
    FileOpenRead(&in);
    const long long size = FileSize64(&in);
    HILE* stream = Hopen(parsed.positional[1].c_str(), mode);
    Progress.Start("compressing", size);
    static std::uint8_t piece[CopyPiece];
    for (int n; (n = FileRead(&in, CopyPiece, piece)) > 0;)
        Hwrite(piece, n, stream);
    FileClose(&in);
    const int length = Htell(stream);
    const int result = Hclose(stream);
    Progress.Finish();
    std::printf("%s: %d bytes -> %d bytes\n", parsed.positional[1].c_str(), length, result);
    return 0;
}

int Decompress(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("decompress", args, {"-j"}, 2, 2);
    UseThreads(parsed);
    HILE* stream = Hopen(parsed.positional[0].c_str(), "rb");
    FileRec out;
    FileInit(&out, 1, parsed.positional[1].c_str());
    FileCreate(&out);
    Progress.Start("decompressing", stream->header.totalLength);
    static std::uint8_t piece[CopyPiece];
    long long bytes = 0;
    for (int n; (n = Hread(piece, CopyPiece, stream)) > 0;) {
        FileWrite(&out, n, piece);
        bytes += n;
    }
    FileClose(&out);
    Hclose(stream);
    Progress.Finish();
    std::printf("%s: %lld bytes\n", parsed.positional[1].c_str(), bytes);
    return 0;
}

// Whether a stream's entries walk it exactly: then it is an archive.
int CountEntries(const std::string& name) {
    HILE* stream = Hopen(name.c_str(), "rb");
    const long long total = stream->header.totalLength;
    long long at = 0;
    int count = 0;
    while (at < total) {
        std::uint8_t raw[EntrySize];
        EntryRec rec;
        if (at + EntrySize > total)
            break;
        Hseek(stream, static_cast<int>(at));
        Hread(raw, EntrySize, stream);
        if (!EntryDecode(raw, &rec) || rec.size < 0 || rec.name[0] == 0)
            break;
        at += EntrySize + static_cast<long long>(rec.size);
        ++count;
    }
    Hclose(stream);
    return at == total ? count : -1;
}

int Test(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("test", args, {"-j"}, 1, static_cast<std::size_t>(-1));
    UseThreads(parsed);
    static std::uint8_t piece[CopyPiece];
    for (const std::string& name : parsed.positional) {
        // A damaged stream ends the run with its message right after this.
        std::printf("%s: ", name.c_str());
        std::fflush(stdout);
        HILE* stream = Hopen(name.c_str(), "rb");
        const int total = stream->header.totalLength;
        const int flags = stream->header.flags;
        Progress.Start("testing", total);
        while (Hread(piece, CopyPiece, stream) > 0) {
        }
        Hclose(stream);
        Progress.Finish();
        const int entries = total > 0 ? CountEntries(name) : -1;
        std::printf("OK, %d bytes, flags %d", total, flags);
        if (entries > 0)
            std::printf(", archive of %d entries", entries);
        std::printf("\n");
    }
    return 0;
}

int Scramble(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("scramble", args, {}, 1, 1);
    FileRec file;
    FileInit(&file, 1, parsed.positional[0].c_str());
    EntryScramble(&file);
    std::printf("%s: scrambled\n", parsed.positional[0].c_str());
    return 0;
}

const Command Commands[] = {
    {"pack", "[-j N] SCRIPT", "build an archive from a pack script",
     "The script: the archive's file name, the base directory (with its final \\),\n"
     "then two lines per file: SOURCE|V=version[|E=1][|D=1][|R=1] and the stored name\n"
     "(\"#\" and a path below the target directory). Prints the entries, the bytes\n"
     "stored and the archive's size.",
     Pack},
    {"unpack", "[-j N] ARCHIVE DIR [--table FILE] [--force] [--allow-outside]", "extract an archive below DIR",
     "Names beginning with \"#\" go below DIR. An archive with any other name, a drive\n"
     "name or a \"..\" component is refused unless --allow-outside is given.\n"
     "--table FILE: decide against a version file (as lzx.ver), missing = empty, and\n"
     "write it back after a complete run. --force: replace equal versions (with a\n"
     "table) or existing files (without one). Prints new, updated, not replaced.",
     Unpack},
    {"list", "ARCHIVE", "list the entries of an archive",
     "One line per entry: stored name, size, version, E, D, R; then a total.", List},
    {"compress", "[-j N] [--huffman | --sort] IN OUT", "write IN as an LZX1 stream",
     "Default: LZ method. --huffman: the Huffman method. --sort: the sort stage\n"
     "(every 16384-byte block needs a 64-byte row of 0xFF bytes).",
     Compress},
    {"decompress", "[-j N] IN OUT", "write the bytes of an LZX1 stream", "Any stream flags.", Decompress},
    {"test", "[-j N] FILE...", "decode every block of each stream or archive",
     "Says OK for each file, and walks the entries of an archive; stops at the first\n"
     "damaged file with its message (exit code 2).",
     Test},
    {"scramble", "FILE", "scramble a file in place for an E=1 entry",
     "The transform is its own inverse: scrambling twice gives the file back.", Scramble},
};

void PrintHelp() {
    std::printf("usage: lzx COMMAND [ARGUMENTS]\n\nCommands:\n");
    for (const Command& command : Commands)
        std::printf("  %-11s %-62s %s\n", command.name, command.arguments, command.summary);
    std::printf("\nOptions: -h, --help (also after a command), --version; -j N: code blocks on N threads\n"
                "(default: one per processor; the files written are the same for every N)\n"
                "Exit codes: 0 done, 2 fatal error or refused archive, 64 usage error\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "lzx: no command given (try lzx --help)\n");
        return ExitUsage;
    }
    const std::string word = argv[1];
    if (word == "-h" || word == "--help") {
        PrintHelp();
        return 0;
    }
    if (word == "--version") {
        std::printf("lzx 2.04\n");
        return 0;
    }
    for (const Command& command : Commands) {
        if (word != command.name)
            continue;
        std::vector<std::string> args(argv + 2, argv + argc);
        for (const std::string& arg : args) {
            if (arg == "-h" || arg == "--help") {
                std::printf("usage: lzx %s %s\n  %s.\n\n%s\n", command.name, command.arguments, command.summary,
                            command.details);
                return 0;
            }
        }
        HileSetProgress(StreamProgress);
        return command.run(args);
    }
    std::fprintf(stderr, "lzx: unknown command '%s' (try lzx --help)\n", word.c_str());
    return ExitUsage;
}
