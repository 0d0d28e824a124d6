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
#include <new>
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

// The streams of the command report their progress, and code their blocks
// on the threads asked for.
HileOptions Streams;

void UseThreads(const Arguments& parsed) {
    Streams.threads = parsed.jobs > 0 ? parsed.jobs : OsProcessorCount();
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
const HILE* ProgressStream = nullptr;  // when set, the one stream shown
bool ProgressPasses = false;           // the stream is read more than once

void StreamProgress(const HILE* stream) {
    static long long passed = 0;
    static long long last = 0;
    if (ProgressStream != nullptr && stream != ProgressStream)
        return;
    const long long at = Htell(stream);
    if (ProgressPasses && at < last)
        passed += last;
    last = at;
    Progress.Update(passed + at);
}

// ---- Walking an archive's entries ------------------------------------------

// The entries of an archive as extraction sees them, one at a time in stream
// order, so that no claim of the archive decides how much memory is held.
// Damage ends the program with a message naming the entry.
template <typename Visit>
void WalkEntries(const std::string& archive, Visit visit) {
    HILE* stream = Hopen(archive.c_str(), "rb", Streams);
    const long long total = HileLength(stream);
    EntryRec rec;
    for (long long number = 1;; ++number) {
        const int at = Htell(stream);
        const int got = EntryNext(stream, &rec);
        if (got == 0)
            break;
        if (got == EntryCut)
            FatalMessage("lzx: %s ends inside the record of entry %lld", archive.c_str(), number);
        if (got == EntryLongName)
            FatalMessage("lzx: entry %lld of %s has a name of 256 characters or more", number, archive.c_str());
        if (got == EntryBadSize || at + EntrySize + static_cast<long long>(rec.size) > total ||
            !EntrySkip(stream, rec.size))
            FatalMessage("lzx: %s ends inside the data of entry %lld [%s]", archive.c_str(), number,
                         EntryShowName(rec.name).c_str());
        visit(rec);
    }
    Hclose(stream);
}

// The entries of an archive counted over its bytes as they are decoded, in
// stream order: -1 when the bytes are no archive (then the file is a plain
// stream).
class EntryScan {
public:
    void Feed(const std::uint8_t* bytes, int count) {
        while (count > 0 && !broken_) {
            if (dataLeft_ > 0) {
                const int take = dataLeft_ < count ? static_cast<int>(dataLeft_) : count;
                dataLeft_ -= take;
                bytes += take;
                count -= take;
                continue;
            }
            const int take = EntrySize - have_ < count ? EntrySize - have_ : count;
            std::memcpy(raw_ + have_, bytes, static_cast<std::size_t>(take));
            have_ += take;
            bytes += take;
            count -= take;
            if (have_ == EntrySize) {
                EntryRec rec;
                broken_ = !EntryDecode(raw_, &rec) || rec.size < 0 || rec.name[0] == 0;
                dataLeft_ = rec.size;
                have_ = 0;
                ++entries_;
            }
        }
    }
    long long Entries() const { return broken_ || have_ != 0 || dataLeft_ != 0 ? -1 : entries_; }

private:
    std::uint8_t raw_[EntrySize];
    int have_ = 0;
    long long dataLeft_ = 0;
    long long entries_ = 0;
    bool broken_ = false;
};

// ---- Commands ------------------------------------------------------------

// An output that is the input under another name (a link, another spelling)
// would be emptied before it is read: refused before anything is opened.
void RefuseSameFile(const char* command, const std::string& in, const std::string& out) {
    if (OsSameFile(in.c_str(), out.c_str()))
        FatalMessage("lzx %s: [%s] is the same file as [%s]; nothing written", command, out.c_str(), in.c_str());
}

// A file the tool writes: under a temporary name beside OUT until Finish
// gives it OUT's name, so that a failure or an interruption leaves what was
// there.
struct Output {
    explicit Output(const std::string& name) {
        FileInit(&file, 1, name.c_str());
        std::size_t stop = 0;
        if (FolderWalk(file.name, PathLeaf(file.name), 0, &place, &stop) != FolderReached)
            FileError(&file, FileErrCreate);
        FileCreateSibling(&file, &sibling, place.Innermost());
    }
    void Finish() {
        FileCommitSibling(&file, &sibling);
        FolderRelease(&place);
    }
    FileRec file;
    FolderChain place;
    FileSibling sibling;
};

// The largest file scramble takes: it holds the whole file in memory and
// counts its bytes in a signed 32-bit size, as an E=1 entry's size is.
constexpr long long MaxScrambleSize = 0x7FFFFFFF;

int Pack(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("pack", args, {"-j"}, 1, 1);
    UseThreads(parsed);
    long long stored = 0;
    int size = 0;
    Progress.Start("packing", 0);
    const int count = PackLZX(parsed.positional[0].c_str(), &stored, &size, nullptr, 0, Streams);
    Progress.Finish();
    std::printf("%d entries, %lld bytes stored, archive of %d bytes", count, stored, size);
    if (size > 0 && stored > 0)
        std::printf(" (%.2f:1)", static_cast<double>(stored) / size);
    std::printf("\n");
    return 0;
}

// An entry the library refuses, in the tool's own words.
[[noreturn]] void RefuseEntry(int entry, const char* name, const std::string& reason, int outside) {
    std::fprintf(stderr, "lzx unpack: entry %d [%s] %s; refused%s\n", entry, EntryShowName(name).c_str(),
                 reason.c_str(), outside ? " (--allow-outside extracts a trusted archive)" : "");
    // The archive's stream ends first, with its coding threads: a process
    // must not end while they wait (Wine has been seen to crash). The hold
    // on a version file goes with the files, as on the fatal path.
    HileReleaseAll();
    FileTableCloseAll();
    std::exit(ExitRefused);
}

int Unpack(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("unpack", args, {"--table", "--force", "--allow-outside", "-j"}, 2, 2);
    UseThreads(parsed);
    const std::string& archive = parsed.positional[0];
    const std::string& target = parsed.positional[1];
    const int force = parsed.flags.count("--force") ? 1 : 0;
    // An empty DIR would join "#x" into "\x", the root.
    if (target.empty())
        Usage("unpack", "DIR is empty");

    // The version file is written after the run, through a sibling
    // "FILE.new": its folder is made now (it often is DIR itself), and where
    // that cannot be, nothing is extracted either.
    if (!parsed.table.empty()) {
        const std::string& table = parsed.table;
        if (table.size() + 4 >= FileNameSize)
            FatalMessage("lzx unpack: version file name of %zu characters, at most %d [%s]", table.size(),
                         FileNameSize - 5, table.c_str());
        char folder[FileNameSize];
        SplitPath(table.c_str(), folder, nullptr, nullptr);
        if (std::strlen(folder) > PathRootLength(folder) && !MakePath(folder)) {
            std::fprintf(stderr, "lzx unpack: the folder of the version file %s cannot be made; nothing extracted\n",
                         table.c_str());
            return ExitRefused;
        }
    }

    HILE* stream = Hopen(archive.c_str(), "rb", Streams);
    const long long total = HileLength(stream);
    Hclose(stream);

    // The library checks every entry in a first pass, then extracts.
    VersionCounts counts{};
    UnpackOptions options;
    options.stream = Streams;
    options.anywhere = parsed.flags.count("--allow-outside") ? 1 : 0;
    options.refused = RefuseEntry;
    Progress.Start("unpacking", 2 * total);
    ProgressPasses = true;

    if (!parsed.table.empty()) {
        int capacity = 0;
        // A version file inside DIR is reached as the files extracted
        // there are: each folder below DIR from its parent's handle.
        const std::string& file = parsed.table;
        const bool inside = file.size() > target.size() && file.compare(0, target.size(), target) == 0 &&
                            (file[target.size()] == '\\' || file[target.size()] == '/');
        VersionTableLock(file.c_str(), inside ? target.size() + 1 : VersionFileFolder);
        EntryRec* table = VersionTableLoad(parsed.table.c_str(), &capacity);
        UnPackLZX(archive.c_str(), target.c_str(), table, capacity, force, options);
        counts = VersionTableSettle(table, capacity);
        VersionTableSave(parsed.table.c_str(), table, counts.length);
        FreeBlock(table);
    } else {
        options.counts = &counts;
        UnPackLZX(archive.c_str(), target.c_str(), nullptr, 0, force, options);
    }
    Progress.Finish();
    std::printf("%d new, %d updated, %d not replaced\n", counts.added, counts.updated, counts.kept);
    return 0;
}

int List(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("list", args, {}, 1, 1);
    long long bytes = 0;
    long long count = 0;
    std::printf("%-40s %10s %7s %3s %3s %3s\n", "name", "size", "version", "E", "D", "R");
    WalkEntries(parsed.positional[0], [&](const EntryRec& rec) {
        std::printf("%-40s %10d %7d %3d %3d %3d\n", EntryShowName(rec.name).c_str(), rec.size, rec.version, rec.E,
                    rec.D, rec.R);
        bytes += rec.size;
        ++count;
    });
    std::printf("%lld entries, %lld bytes\n", count, bytes);
    return 0;
}

int Compress(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("compress", args, {"--huffman", "--sort", "-j"}, 2, 2);
    UseThreads(parsed);
    if (parsed.flags.size() > 1)
        Usage("compress", "--huffman and --sort exclude each other");
    const char* mode = parsed.flags.count("--huffman") ? "wbh" : parsed.flags.count("--sort") ? "wbs" : "wb";
    RefuseSameFile("compress", parsed.positional[0], parsed.positional[1]);

    FileRec in;
    FileInit(&in, 1, parsed.positional[0].c_str());
    FileOpenRead(&in);
    const long long size = FileSize64(&in);
    HILE* stream = Hopen(parsed.positional[1].c_str(), mode, Streams);
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
    RefuseSameFile("decompress", parsed.positional[0], parsed.positional[1]);
    HILE* stream = Hopen(parsed.positional[0].c_str(), "rb", Streams);
    Output out(parsed.positional[1]);
    Progress.Start("decompressing", HileLength(stream));
    static std::uint8_t piece[CopyPiece];
    long long bytes = 0;
    for (int n; (n = Hread(piece, CopyPiece, stream)) > 0;) {
        FileWrite(&out.file, n, piece);
        bytes += n;
    }
    out.Finish();
    Hclose(stream);
    Progress.Finish();
    std::printf("%s: %lld bytes\n", parsed.positional[1].c_str(), bytes);
    return 0;
}

int Test(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("test", args, {"-j"}, 1, static_cast<std::size_t>(-1));
    static std::uint8_t block[HileBlockSize];
    static std::uint8_t indexed[HileBlockSize];
    for (const std::string& name : parsed.positional) {
        // A damaged stream ends the run with its message right after this.
        std::printf("%s: ", name.c_str());
        std::fflush(stdout);
        // Every block is decoded in record order, as extraction reads it,
        // and once more through the block index, as a seek reads it: a
        // stream whose two readings differ is damaged, whatever it holds.
        HILE* seeking = Hopen(name.c_str(), "rb", {1, Streams.progress});
        UseThreads(parsed);
        HILE* stream = Hopen(name.c_str(), "rb", Streams);
        const int total = HileLength(stream);
        const int flags = HileFlags(stream);
        Progress.Start("testing", total);
        ProgressStream = stream;
        EntryScan scan;
        for (int at = 0, n; (n = Hread(block, HileBlockSize, stream)) > 0; at += n) {
            Hseek(seeking, at);
            if (Hread(indexed, n, seeking) != n || std::memcmp(block, indexed, static_cast<std::size_t>(n)) != 0)
                FatalMessage("lzx test: the block index of %s does not match its records at block %d", name.c_str(),
                             at / HileBlockSize);
            scan.Feed(block, n);
        }
        ProgressStream = nullptr;
        Hclose(stream);
        Hclose(seeking);
        Progress.Finish();
        const long long entries = total > 0 ? scan.Entries() : -1;
        std::printf("OK, %d bytes, flags %d", total, flags);
        if (entries > 0)
            std::printf(", archive of %lld entries", entries);
        std::printf("\n");
    }
    return 0;
}

int Scramble(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("scramble", args, {}, 1, 1);
    FileRec file;
    FileInit(&file, 1, parsed.positional[0].c_str());
    // Sizes beyond 32 bits would be taken modulo 2^32 and the file rewritten
    // that short: measured whole, and refused before it is touched.
    FileOpenRead(&file);
    const long long size = FileSize64(&file);
    FileClose(&file);
    if (size < 0)
        FileError(&file, FileErrSize);
    if (size > MaxScrambleSize)
        FatalMessage("lzx scramble: [%s] has %lld bytes, at most %lld can be scrambled; nothing written",
                     parsed.positional[0].c_str(), size, MaxScrambleSize);
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
     "name or a \"..\" component is refused unless --allow-outside is given; a name\n"
     "in another spelling of its file (\"/\", \".\", a trailing dot or blank, a short\n"
     "name) or naming a device (NUL, CON, COM1 ...) always. Every entry is checked\n"
     "before the first file is written.\n"
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
     "Says OK for each file, and walks the entries of an archive; reads every block\n"
     "in record order and through the block index, which must agree. Stops at the\n"
     "first damaged file with its message (exit code 2).",
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
        Streams.progress = StreamProgress;
        FileCatchInterrupts();
        // Memory the input asks for and the system refuses ends in a
        // message, as every other failure does, never in an abort.
        std::set_new_handler([] {
            std::set_new_handler(nullptr);  // the report itself may need a little memory
            FatalMessage("lzx: out of memory");
        });
        return command.run(args);
    }
    std::fprintf(stderr, "lzx: unknown command '%s' (try lzx --help)\n", word.c_str());
    return ExitUsage;
}
