// main.cpp - the lzx command-line tool.
//
// What a release engineer uses to make and check payloads, with the
// conventions of gzip, zstd and xz:
//   lzx pack [-f] [-j N] SCRIPT
//   lzx unpack [-f] [-n] [-j N] [--table FILE] [--allow-outside] ARCHIVE DIR
//   lzx verify [-f] [-j N] [--table FILE] [--allow-outside] ARCHIVE DIR
//   lzx list [-f] ARCHIVE
//   lzx compress [-f] [-j N] [--huffman | --sort] IN OUT
//   lzx decompress [-f] [-j N] IN OUT
//   lzx test [-f] [-j N] FILE...
//   lzx scramble FILE
//   lzx help [COMMAND]
// Every command takes -q, -v, -h and "--"; "-" as a compressed input is
// standard input, as OUT standard output. -j N codes blocks on N threads
// (default: one per processor); the files written are the same for every N.
// Exit codes: 0 done; 1 verify found a file that differs or is missing; 2 a
// fatal error, a refusal (a refused archive, an
// existing OUT without -f, compressed data and a terminal) or output that
// cannot be written; 64 a usage error. Every failure is one line on standard
// error, "lzx COMMAND: FILE: reason", the reason in words (the system's own
// for a failure of the system) and then, in parentheses, the library's own
// report where there is one.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "lzx.h"
#include "platform.h"
#include "transaction.h"
#include "progress.h"
#include "version.h"  // made by the build

namespace {

constexpr int ExitUsage = 64;
constexpr int ExitDiffers = 1;  // verify: a file differs or is missing
constexpr int ExitRefused = 2;
constexpr int CopyPiece = 65536;
constexpr int MaxJobs = HileMaxThreads;

struct Command {
    const char* name;
    const char* arguments;
    const char* summary;
    const char* details;
    int (*run)(const std::vector<std::string>& args);
};

// ---- What the user asked for ------------------------------------------------

// 0 with -q (errors only), 1 by default, 2 with -v.
int Verbosity = 1;
// -f: an existing OUT or archive is overwritten, and compressed data goes to
// or comes from a terminal.
bool Force = false;
// Where the command's own lines go: standard error when its data goes to
// standard output.
std::FILE* Said = stdout;
ProgressLine Progress;
// "lzx COMMAND", as every line of a failure begins.
std::string Speaker = "lzx";

void Say(int level, const char* format, ...) DIAG_PRINTF(2, 3);
void Say(int level, const char* format, ...) {
    if (Verbosity < level)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(Said, format, args);
    va_end(args);
}

// ---- Standard input and output ------------------------------------------------

// A stream is always a file: its header holds the index offset and the
// total length, known only when the last block is written, and a reader
// checks the index against the file's size (and test reads through the
// index as well). So "-" goes through a spool file in the temporary
// directory: standard input is copied there whole before it is read as a
// stream, and a stream for standard output is written there whole and then
// copied out, byte for byte the file that OUT would have received.
// The spools' names are kept as fixed texts, so that an interruption's
// cleanup can remove them without allocating anything.
constexpr int SpoolSlots = 4;
char Spools[SpoolSlots][FileNameSize];
const char* SpoolShown[SpoolSlots];  // what the user calls it: standard input or output
int SpoolCount = 0;
bool PipeGone = false;  // the reader of standard output has gone

void RemoveSpools() {
    for (int i = 0; i < SpoolCount; ++i) {
        FileRec rec;
        FileInit(&rec, 1, Spools[i]);
        FileDelete(&rec);
    }
    SpoolCount = 0;
}

// Ctrl-C or SIGTERM: the files close, the half-written ones and the spools go.
void InterruptCleanUp() {
    FileTableCloseAll();
    for (int i = 0; i < SpoolCount; ++i)
        OsDeleteFileAt(0, Spools[i]);
}

// The fatal path: the open files close first (a file that is open cannot be
// removed on Windows), then the spools go.
void CleanUp() {
    FileTableCloseAll();
    RemoveSpools();
    if (PipeGone)
        OsEndByBrokenPipe();
}

// A failure's one line: "lzx COMMAND: FILE: reason (the library's report)".
// A reader that stops reading is no failure to report: gzip and cat end
// without a word, and so does this tool.
int Report(const char* text) {
    if (PipeGone)
        return 1;
    const FatalSubject about = FatalSubjectTaken();
    while (*text == '\n' || *text == '\r')
        ++text;
    std::string own;
    for (; *text != 0; ++text)
        own += *text == '\n' ? std::string("; ") : *text == '\r' ? std::string() : std::string(1, *text);
    std::string line = Speaker;
    if (!about.file.empty()) {
        const char* file = about.file.c_str();
        for (int i = 0; i < SpoolCount; ++i)
            file = about.file == Spools[i] ? SpoolShown[i] : file;
        line += std::string(": ") + file;
    }
    if (!about.reason.empty()) {
        line += ": " + about.reason;
        if (Verbosity > 1 && !about.detail.empty())
            line += ", " + about.detail;
        if (!own.empty())
            line += " (" + own + ")";
    } else {
        line += ": " + own;
    }
    std::fflush(stdout);
    Progress.Break();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    return 1;
}

// A failure the tool finds itself, in its own words (exit code 2).
[[noreturn]] void Fail(const std::string& file, const std::string& reason) {
    FatalAbout(file.c_str(), reason);
    FatalMessage("%s", "");
}

// Called at once after the write to standard output that failed, while the
// system still says why.
[[noreturn]] void OutputFailed() {
    const int error = errno;
    const std::string system = OsFailureText();  // where the C library leaves errno unset
    const bool gone = OsWriteFoundReaderGone();
    if (gone) {
        PipeGone = true;
        FatalMessage("lzx: the reader of standard output has gone");
    }
    Fail("(standard output)", error != 0 ? std::strerror(error) : !system.empty() ? system : "cannot be written");
}

// What went to standard output so far has arrived, or the command fails.
void CheckOutput() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        OutputFailed();
}

void WriteOut(const void* bytes, int count) {
    errno = 0;
    if (std::fwrite(bytes, 1, static_cast<std::size_t>(count), stdout) != static_cast<std::size_t>(count))
        OutputFailed();
}

// Up to one piece of standard input; 0 at its end.
int ReadIn(void* piece) {
    errno = 0;
    const std::size_t got = std::fread(piece, 1, CopyPiece, stdin);
    if (got < CopyPiece && std::ferror(stdin))
        Fail("(standard input)", errno != 0 ? std::strerror(errno) : "cannot be read");
    return static_cast<int>(got);
}

// A new, empty file of a name no one else has, in the temporary directory
// (or the current one, where that name would be too long for a stream),
// open for writing; removed at the end, whatever the end. A report names it
// as shown.
std::string NewSpool(FileRec* rec, const char* shown) {
    std::string folder = OsTempPath();
    static unsigned tag = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char name[20];
        std::snprintf(name, sizeof name, "lzx%06X.tmp", (tag += 0x9E37) & 0xFFFFFF);
        if (folder.size() + std::strlen(name) >= HileNameSize)
            folder.clear();
        const std::string path = folder + name;
        FileInit(rec, 1, path.c_str());
        if (SpoolCount >= SpoolSlots)
            InternalError("LZX", __LINE__, 's');
        OsHoldInterrupts();
        const int made = FileCreateNew(rec);
        if (made) {
            SpoolShown[SpoolCount] = shown;
            std::memcpy(Spools[SpoolCount++], path.c_str(), path.size() + 1);
        }
        OsReleaseInterrupts();
        if (made)
            return path;
    }
    Fail(folder.empty() ? "." : folder, "no temporary file can be made there");
}

[[noreturn]] void Refuse(const char* command, const std::string& file, const std::string& why) {
    Progress.Break();
    std::fprintf(stderr, "lzx %s: %s: %s\n", command, file.c_str(), why.c_str());
    RemoveSpools();
    std::exit(ExitRefused);
}

// The file to read a compressed input from: the file named, or for "-" a
// spool that holds all of standard input.
std::string CompressedInput(const char* command, const std::string& name) {
    if (name != "-")
        return name;
    if (OsStdinIsTerminal() && !Force)
        Refuse(command, "(standard input)", "compressed data not read from a terminal (-f reads it anyway)");
    OsStandardStreamBinary(0);
    FileRec spool;
    const std::string path = NewSpool(&spool, "(standard input)");
    static std::uint8_t piece[CopyPiece];
    for (int n; (n = ReadIn(piece)) > 0;)
        FileWrite(&spool, n, piece);
    FileClose(&spool);
    return path;
}

// An output that is the input under another name (a link, another spelling)
// would be emptied before it is read: refused before anything is opened. So
// is an existing OUT without -f, and compressed data for a terminal.
void CheckOut(const char* command, const std::string& in, const std::string& out, bool compressed) {
    if (out == "-") {
        if (compressed && OsStdoutIsTerminal() && !Force)
            Refuse(command, "(standard output)", "compressed data not written to a terminal (-f writes it anyway)");
        OsStandardStreamBinary(1);
        Said = stderr;
        return;
    }
    if (in != "-" && OsSameFile(in.c_str(), out.c_str()))
        Fail(out, "is the same file as " + in + "; nothing written");
    if (!Force && FileExists(out.c_str()))
        Refuse(command, out, "exists; nothing written (-f overwrites it)");
}

// The OUT file of decompress, and its end: the one place that decides how an
// output file is written. It is written under a temporary name beside OUT,
// whose name it takes in one step when complete: a failure or an
// interruption leaves what was there.
struct {
    FolderChain folders;
    FileSibling sibling;
} OutPlace;

void OpenOutput(FileRec* out, const std::string& name) {
    FileInit(out, 1, name.c_str());
    std::size_t stop = 0;
    if (FolderWalk(out->name, PathLeaf(out->name), 0, &OutPlace.folders, &stop) != FolderReached)
        FileError(out, FileErrCreate);
    FileCreateSibling(out, &OutPlace.sibling, OutPlace.folders.Innermost());
}

void CloseOutput(FileRec* out) {
    FileCommitSibling(out, &OutPlace.sibling);
    FolderRelease(&OutPlace.folders);
}

// A finished spool to standard output.
void CopyOut(const std::string& path) {
    FileRec rec;
    FileInit(&rec, 1, path.c_str());
    FileOpenRead(&rec);
    static std::uint8_t piece[CopyPiece];
    for (int n; (n = FileRead(&rec, CopyPiece, piece)) > 0;)
        WriteOut(piece, n);
    FileClose(&rec);
    CheckOutput();
}

// How a file is named in the tool's lines.
const char* Shown(const std::string& name) {
    return name == "-" ? "(standard input)" : name.c_str();
}

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
    const bool help = std::strcmp(command, "help") == 0;
    std::fprintf(stderr, "lzx %s: %s (try lzx help%s%s)\n", command, problem.c_str(), help ? "" : " ", help ? "" : command);
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

// The long spellings of the one-letter options.
std::string ShortName(const std::string& option) {
    if (option == "--force")
        return "-f";
    if (option == "--quiet")
        return "-q";
    if (option == "--verbose")
        return "-v";
    if (option == "--dry-run")
        return "-n";
    return option;
}

// -q and -v before the command word count as well.
std::set<std::string> Leading;

// Options may stand anywhere among the arguments until "--"; one-letter
// options may be joined ("-fq"). "-" is an argument, standard input or
// output.
Arguments Parse(const char* command, const std::vector<std::string>& args, std::set<std::string> known,
                std::size_t least, std::size_t most) {
    known.insert({"-q", "-v"});
    Arguments parsed;
    parsed.flags = Leading;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!options || arg.size() < 2 || arg[0] != '-') {
            parsed.positional.push_back(arg);
        } else if (arg == "--") {
            options = false;
        } else if (arg == "--table" && known.count(arg)) {
            if (i + 1 >= args.size())
                Usage(command, "--table needs a file");
            parsed.table = args[++i];
        } else if (arg[1] == '-') {
            if (!known.count(ShortName(arg)))
                Usage(command, "unknown option " + arg);
            parsed.flags.insert(ShortName(arg));
        } else {
            // As getopt reads them: -j takes the rest of the word ("-fj4"),
            // or else the next argument.
            for (std::size_t k = 1; k < arg.size(); ++k) {
                const std::string letter = {'-', arg[k]};
                if (!known.count(letter))
                    Usage(command, "unknown option " + (arg.size() == 2 ? arg : letter + " in " + arg));
                if (letter != "-j") {
                    parsed.flags.insert(letter);
                    continue;
                }
                if (k + 1 == arg.size() && i + 1 >= args.size())
                    Usage(command, "-j needs a number of threads");
                parsed.jobs = ParseJobs(command, k + 1 < arg.size() ? arg.substr(k + 1) : args[++i]);
                break;
            }
        }
    }
    if (parsed.positional.size() < least || parsed.positional.size() > most)
        Usage(command, "wrong number of arguments");
    if (parsed.flags.count("-q") && parsed.flags.count("-v"))
        Usage(command, "-q and -v exclude each other");
    Verbosity = parsed.flags.count("-q") ? 0 : parsed.flags.count("-v") ? 2 : 1;
    Force = parsed.flags.count("-f") != 0;
    if (Verbosity == 0)
        Progress.Mute();
    return parsed;
}

// ---- Progress ------------------------------------------------------------

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
void WalkEntries(const std::string& archive, const char* shown, Visit visit) {
    HILE* stream = Hopen(archive.c_str(), "rb", Streams);
    const long long total = HileLength(stream);
    EntryRec rec;
    for (long long number = 1;; ++number) {
        const int at = Htell(stream);
        const int got = EntryNext(stream, &rec);
        if (got == 0)
            break;
        const auto entry = [number] { return "entry " + std::to_string(number); };
        if (got == EntryCut)
            Fail(shown, "cut short inside the record of " + entry());
        if (got == EntryLongName)
            Fail(shown, entry() + " is damaged: a name of 256 characters or more");
        if (got == EntryBadSize)
            Fail(shown, entry() + " is damaged: a negative size");
        if (at + EntrySize + static_cast<long long>(rec.size) > total || !EntrySkip(stream, rec.size))
            Fail(shown, "cut short inside the data of " + entry() + " [" + EntryShowName(rec.name) + "]");
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

// One line per entry, and the total (not with -q, nor where the caller
// gives its own), printed once every entry has been read, so that a damaged
// archive lists nothing. The lines wait in memory up to a bound; an archive
// with more is read once through and then again for its lines, so that no
// claim of the archive decides how much memory is held.
constexpr std::size_t ListingHeld = 4 << 20;

// An entry's line into line (room for EntryLineRoom), without allocating
// beyond its shown name; answers its length.
constexpr int EntryLineRoom = 4 * EntryNameSize + 80;

std::size_t EntryLine(const EntryRec& rec, char* line) {
    const int length = std::snprintf(line, EntryLineRoom, "%-40s %10d %7d %3d %3d %3d\n",
                                     EntryShowName(rec.name).c_str(), rec.size, rec.version, rec.E, rec.D, rec.R);
    return length < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(length), EntryLineRoom - 1);
}

void ListEntries(const std::string& archive, const char* shown, bool total = true) {
    long long bytes = 0;
    long long count = 0;
    std::string lines;
    bool held = true;
    char line[EntryLineRoom];
    WalkEntries(archive, shown, [&](const EntryRec& rec) {
        bytes += rec.size;
        ++count;
        if (held)
            lines.append(line, EntryLine(rec, line));
        held = held && lines.size() <= ListingHeld;
    });
    Say(1, "%-40s %10s %7s %3s %3s %3s\n", "name", "size", "version", "E", "D", "R");
    if (held) {
        std::fputs(lines.c_str(), Said);
    } else {
        WalkEntries(archive, shown, [&](const EntryRec& rec) {
            std::fwrite(line, 1, EntryLine(rec, line), Said);
            // A reader that has gone ends a long listing at once.
            if (std::ferror(Said))
                OutputFailed();
        });
    }
    if (total)
        Say(1, "%lld entries, %lld bytes\n", count, bytes);
}

// ---- Commands ------------------------------------------------------------

// The largest file scramble takes: it holds the whole file in memory and
// counts its bytes in a signed 32-bit size, as an E=1 entry's size is.
constexpr long long MaxScrambleSize = 0x7FFFFFFF;

// The archive a pack script names on its first line, read as PackLZX reads
// it; empty when there is none (PackLZX reports that).
std::string ScriptArchive(const std::string& script) {
    FileRec rec;
    FileInit(&rec, 1, script.c_str());
    FileOpenRead(&rec);
    char line[257];
    const int got = FileReadLine(&rec, line, 256);
    FileClose(&rec);
    return got ? line : "";
}

int Pack(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("pack", args, {"-j", "-f"}, 1, 1);
    UseThreads(parsed);
    const std::string archive = ScriptArchive(parsed.positional[0]);
    if (!archive.empty() && !Force && FileExists(archive.c_str()))
        Refuse("pack", archive, "exists; nothing written (-f overwrites it)");
    long long stored = 0;
    int size = 0;
    Progress.Start("packing", 0);
    const int count = PackLZX(parsed.positional[0].c_str(), &stored, &size, nullptr, 0, Streams);
    Progress.Finish();
    if (Verbosity > 1)
        ListEntries(archive, archive.c_str(), false);
    Say(1, "%d entries, %lld bytes stored, archive of %d bytes", count, stored, size);
    if (size > 0 && stored > 0)
        Say(1, " (%.2f:1)", static_cast<double>(stored) / size);
    Say(1, "\n");
    return 0;
}

std::string Unpacking;  // the archive unpacked or verified, as shown

// An entry the library refuses, in the tool's own words.
[[noreturn]] void RefuseEntry(int entry, const char* name, const std::string& reason, int outside) {
    Progress.Break();
    std::fprintf(stderr, "%s: %s: entry %d [%s] %s; refused%s\n", Speaker.c_str(), Unpacking.c_str(), entry,
                 EntryShowName(name).c_str(), reason.c_str(),
                 outside ? " (--allow-outside extracts a trusted archive)" : "");
    // The archive's stream ends first, with its coding threads: a process
    // must not end while they wait (Wine has been seen to crash).
    HileReleaseAll();
    FileTableCloseAll();
    RemoveSpools();
    std::exit(ExitRefused);
}

// -v: what became of each entry.
void EntryDone(const EntryRec& entry, int listed, bool written) {
    std::fprintf(Said, "%-12s %s, version %d", written ? "written" : "not written", EntryShowName(entry.name).c_str(),
                 entry.version);
    if (listed >= 0)
        std::fprintf(Said, " (listed: %d)", listed);
    std::fprintf(Said, "\n");
}

// What a run says of an earlier run it had to finish, or of its own
// undoing: worth a line (not with -q); its ordinary steps are not.
void TellRecovery(const char* text, void*) {
    if (Verbosity > 0)
        std::fprintf(stderr, "lzx unpack: %s\n", text);
}

// What unpack gives the library, run or check alike.
UnpackOptions UnpackWith(const Arguments& parsed, Transaction* update, VersionCounts* counts,
                         std::vector<UnpackDecision>* decisions) {
    UnpackOptions options;
    options.stream = Streams;
    options.anywhere = parsed.flags.count("--allow-outside") ? 1 : 0;
    options.refused = RefuseEntry;
    options.transaction = update;
    options.counts = counts;
    options.decisions = decisions;
    return options;
}

// unpack --dry-run: the run checked, not made; what it would do to each
// file, then the counts.
int UnpackChecked(const std::string& archive, const std::string& target, const Arguments& parsed) {
    if (Transaction::Pending(target.c_str()))
        Say(1, "an interrupted update waits in %s: a run recovers it first\n", target.c_str());
    EntryRec* records = nullptr;
    int capacity = 0;
    if (!parsed.table.empty())
        records = VersionTableLoad(parsed.table.c_str(), &capacity, nullptr);
    Transaction update(target.c_str(), "UnPackLZX");
    VersionCounts counts{};
    std::vector<UnpackDecision> decisions;
    UnpackOptions options = UnpackWith(parsed, &update, &counts, &decisions);
    options.check = true;
    UnPackLZX(archive.c_str(), target.c_str(), records, capacity, Force, options);
    if (records != nullptr)
        FreeBlock(records);
    for (const UnpackDecision& decision : decisions) {
        const bool existed = decision.existed;
        const char* what = !decision.written      ? (existed ? "would keep" : "would not write")
                           : decision.entry.D != 0 ? (existed ? "would remove" : "would not write")
                           : existed               ? "would replace"
                                                   : "would write";
        Say(1, "%-15s %s, version %d", what, EntryShowName(decision.entry.name).c_str(), decision.entry.version);
        if (decision.listed >= 0)
            Say(1, " (listed: %d)", decision.listed);
        Say(1, "\n");
    }
    Say(1, "would be: %d new, %d updated, %d not replaced; nothing stands in the way, and there is room\n",
        counts.added, counts.updated, counts.kept);
    return 0;
}

int Unpack(const std::vector<std::string>& args) {
    const Arguments parsed =
        Parse("unpack", args, {"--table", "-f", "--allow-outside", "-j", "-n"}, 2, 2);
    UseThreads(parsed);
    const std::string& target = parsed.positional[1];
    // An empty DIR would join "#x" into "\x", the root.
    if (target.empty())
        Usage("unpack", "DIR is empty");
    const std::string archive = CompressedInput("unpack", parsed.positional[0]);
    Unpacking = Shown(parsed.positional[0]);
    if (parsed.flags.count("-n"))
        return UnpackChecked(archive, target, parsed);

    // The version file is written after the run, through its hold
    // "FILE.new": its folder is made now (it often is DIR itself), and where
    // that cannot be, nothing is extracted either. A version file inside DIR
    // is reached as the files extracted there are: each folder below DIR
    // from its parent's handle.
    const std::string& table = parsed.table;
    std::size_t below = HeldFile::HeldOwnFolder;
    if (!table.empty()) {
        if (table.size() + SideNameExtra >= FileNameSize)
            Fail(table, "the name is too long (" + std::to_string(table.size()) + " characters, at most " +
                            std::to_string(FileNameSize - 1 - SideNameExtra) + " for a version file)");
        char folder[FileNameSize];
        SplitPath(table.c_str(), folder, nullptr, nullptr);
        if (std::strlen(folder) > PathRootLength(folder) && !MakePath(folder)) {
            const std::string why = OsFailureText();
            std::fprintf(stderr, "lzx unpack: %s: its folder cannot be made%s%s; nothing extracted\n", table.c_str(),
                         why.empty() ? "" : ": ", why.c_str());
            return ExitRefused;
        }
        std::string base = target;  // "d/" is "d"
        while (base.size() > 1 && (base.back() == '\\' || base.back() == '/'))
            base.pop_back();
        if (table.size() > base.size() && table.compare(0, base.size(), base) == 0 &&
            (table[base.size()] == '\\' || table[base.size()] == '/'))
            below = base.size() + 1;
    }

    HILE* stream = Hopen(archive.c_str(), "rb", Streams);
    const long long total = HileLength(stream);
    Hclose(stream);

    // What a killed run left is undone (or completed, when it had
    // finished) first. Then the library checks every entry in a first
    // pass, stages every file it writes, and the transaction puts them,
    // and the version file, in place at once: a failure leaves DIR as it
    // was.
    Transaction::RecoverOptions recovery;
    recovery.operation = "UnPackLZX";
    if (!table.empty())
        recovery.held.push_back({table, below});
    recovery.report = TellRecovery;
    Transaction::Recover(target.c_str(), recovery);
    Progress.Start("unpacking", 2 * total);
    ProgressPasses = true;

    Transaction update(target.c_str(), "UnPackLZX");
    update.OnReport(TellRecovery, nullptr);
    VersionCounts counts{};
    std::vector<UnpackDecision> decisions;
    UnpackOptions options = UnpackWith(parsed, &update, &counts, &decisions);
    HeldFile versions;
    EntryRec* records = nullptr;
    int capacity = 0;
    if (!table.empty()) {
        versions.Take(table.c_str(), below, "VersionTableLock");
        records = VersionTableLoad(table.c_str(), &capacity, &versions);
        options.versionFile = &versions;
    }
    UnPackLZX(archive.c_str(), target.c_str(), records, capacity, Force, options);
    update.Place();
    update.Commit();
    if (records != nullptr)
        FreeBlock(records);
    Progress.Finish();
    if (Verbosity > 1) {
        for (const UnpackDecision& decision : decisions)
            EntryDone(decision.entry, decision.listed, decision.written);
    }
    Say(1, "%d new, %d updated, %d not replaced\n", counts.added, counts.updated, counts.kept);
    return 0;
}

// verify: a line for each file not the same (-v: every file), in the
// order of the archive.
struct VerifyTally {
    int counts[5] = {};
};

void TellVerified(const VerifyResult& result, void* context) {
    ++static_cast<VerifyTally*>(context)->counts[static_cast<int>(result.status)];
    if (result.status == VerifyStatus::Same && Verbosity < 2)
        return;
    std::string more = result.why;
    if (result.status == VerifyStatus::NewerKept)
        more = "listed: " + std::to_string(result.listed);
    std::fprintf(Said, "%-13s %s%s%s%s\n", VerifyStatusName(result.status), EntryShowName(result.entry.name).c_str(),
                 more.empty() ? "" : " (", more.c_str(), more.empty() ? "" : ")");
}

int Verify(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("verify", args, {"--table", "--allow-outside", "-j", "-f"}, 2, 2);
    UseThreads(parsed);
    const std::string& target = parsed.positional[1];
    if (target.empty())
        Usage("verify", "DIR is empty");
    const std::string archive = CompressedInput("verify", parsed.positional[0]);
    Unpacking = Shown(parsed.positional[0]);
    EntryRec* records = nullptr;
    int capacity = 0;
    if (!parsed.table.empty())
        records = VersionTableLoad(parsed.table.c_str(), &capacity, nullptr);
    VerifyTally tally;
    VerifyOptions options;
    options.anywhere = parsed.flags.count("--allow-outside") ? 1 : 0;
    options.refused = RefuseEntry;
    options.each = TellVerified;
    options.context = &tally;
    options.stream = Streams;
    Progress.Start("verifying", 0);
    const int differ = VerifyLZX(archive.c_str(), target.c_str(), records, capacity, options);
    Progress.Finish();
    if (records != nullptr)
        FreeBlock(records);
    const int* n = tally.counts;
    Say(1, "%d same, %d differ, %d missing, %d newer kept, %d not installed\n", n[0], n[1], n[2], n[3], n[4]);
    return differ > 0 ? ExitDiffers : 0;
}

int List(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("list", args, {"-f"}, 1, 1);
    const std::string& name = parsed.positional[0];
    ListEntries(CompressedInput("list", name), Shown(name));
    return 0;
}

int Compress(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("compress", args, {"--huffman", "--sort", "-j", "-f"}, 2, 2);
    UseThreads(parsed);
    const bool huffman = parsed.flags.count("--huffman") != 0;
    const bool sort = parsed.flags.count("--sort") != 0;
    if (huffman && sort)
        Usage("compress", "--huffman and --sort exclude each other");
    const std::string& in = parsed.positional[0];
    const std::string& out = parsed.positional[1];
    CheckOut("compress", in, out, true);

    FileRec source;
    long long size = 0;  // unknown for standard input
    if (in == "-") {
        OsStandardStreamBinary(0);
    } else {
        FileInit(&source, 1, in.c_str());
        FileOpenRead(&source);
        size = FileSize64(&source);
    }
    FileRec spool;
    const std::string file = out == "-" ? NewSpool(&spool, "(standard output)") : out;
    if (out == "-")
        FileClose(&spool);
    HILE* stream = Hopen(file.c_str(), huffman ? "wbh" : sort ? "wbs" : "wb", Streams);
    Progress.Start("compressing", size);
    static std::uint8_t piece[CopyPiece];
    for (int n; (n = in == "-" ? ReadIn(piece) : FileRead(&source, CopyPiece, piece)) > 0;)
        Hwrite(piece, n, stream);
    if (in != "-")
        FileClose(&source);
    const int length = Htell(stream);
    const int result = Hclose(stream);
    if (out == "-")
        CopyOut(file);
    Progress.Finish();
    // Beside data on standard output, the line only when asked for (-v).
    const int said = out == "-" ? 2 : 1;
    Say(said, "%s: %d bytes -> %d bytes", out == "-" ? "(standard output)" : out.c_str(), length, result);
    if (result > 0)
        Say(2, " (%.2f:1)", static_cast<double>(length) / result);
    Say(said, "\n");
    return 0;
}

int Decompress(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("decompress", args, {"-j", "-f"}, 2, 2);
    UseThreads(parsed);
    const std::string& out = parsed.positional[1];
    CheckOut("decompress", parsed.positional[0], out, false);
    const std::string in = CompressedInput("decompress", parsed.positional[0]);
    HILE* stream = Hopen(in.c_str(), "rb", Streams);
    FileRec file;
    if (out != "-")
        OpenOutput(&file, out);
    Progress.Start("decompressing", HileLength(stream));
    static std::uint8_t piece[CopyPiece];
    long long bytes = 0;
    for (int n; (n = Hread(piece, CopyPiece, stream)) > 0;) {
        if (out == "-")
            WriteOut(piece, n);
        else
            FileWrite(&file, n, piece);
        bytes += n;
    }
    if (out == "-")
        CheckOutput();
    else
        CloseOutput(&file);
    Hclose(stream);
    Progress.Finish();
    Say(out == "-" ? 2 : 1, "%s: %lld bytes\n", out == "-" ? "(standard output)" : out.c_str(), bytes);
    return 0;
}

int Test(const std::vector<std::string>& args) {
    const Arguments parsed = Parse("test", args, {"-j", "-f"}, 1, static_cast<std::size_t>(-1));
    int fromStdin = 0;
    for (const std::string& name : parsed.positional)
        fromStdin += name == "-";
    if (fromStdin > 1)
        Usage("test", "standard input (-) can be read once");
    static std::uint8_t block[HileBlockSize];
    static std::uint8_t indexed[HileBlockSize];
    for (const std::string& name : parsed.positional) {
        // A damaged stream ends the run with its one line, and nothing
        // about it goes to standard output.
        const std::string file = CompressedInput("test", name);
        // Every block is decoded in record order, as extraction reads it,
        // and once more through the block index, as a seek reads it: a
        // stream whose two readings differ is damaged, whatever it holds.
        HILE* seeking = Hopen(file.c_str(), "rb", {1, Streams.progress});
        UseThreads(parsed);
        HILE* stream = Hopen(file.c_str(), "rb", Streams);
        const int total = HileLength(stream);
        const int flags = HileFlags(stream);
        Progress.Start("testing", total);
        ProgressStream = stream;
        EntryScan scan;
        for (int at = 0, n; (n = Hread(block, HileBlockSize, stream)) > 0; at += n) {
            Hseek(seeking, at);
            if (Hread(indexed, n, seeking) != n || std::memcmp(block, indexed, static_cast<std::size_t>(n)) != 0)
                Fail(Shown(name),
                     "its block index does not match its records at block " + std::to_string(at / HileBlockSize + 1));
            scan.Feed(block, n);
        }
        ProgressStream = nullptr;
        Hclose(stream);
        Hclose(seeking);
        Progress.Finish();
        const long long entries = total > 0 ? scan.Entries() : -1;
        Say(1, "%s: OK, %d bytes, flags %d", Shown(name), total, flags);
        Say(2, ", %d blocks", (total + HileBlockSize - 1) / HileBlockSize);
        if (entries > 0)
            Say(1, ", archive of %lld entries", entries);
        Say(1, "\n");
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
        Fail(parsed.positional[0], "has " + std::to_string(size) + " bytes, at most " +
                                       std::to_string(MaxScrambleSize) + " can be scrambled; nothing written");
    EntryScramble(&file);
    Say(1, "%s: scrambled\n", parsed.positional[0].c_str());
    return 0;
}

const Command Commands[] = {
    {"pack", "[-f] [-j N] SCRIPT", "build an archive from a pack script",
     "The script: the archive's file name, the base directory (with its final \\),\n"
     "then two lines per file: SOURCE|V=version[|E=1][|D=1][|R=1] and the stored name\n"
     "(\"#\" and a path below the target directory). Prints the entries, the bytes\n"
     "stored and the archive's size.\n"
     "  -f, --force    overwrite an existing archive\n"
     "  -v, --verbose  also list the entries written",
     Pack},
    {"unpack", "[-f] [-n] [-j N] [--table FILE] [--allow-outside] ARCHIVE DIR", "extract an archive below DIR",
     "Names beginning with \"#\" go below DIR. An archive with any other name, a drive\n"
     "name or a \"..\" component is refused unless --allow-outside is given; a name\n"
     "in another spelling of its file (\"/\", \".\", a trailing dot or blank, a short\n"
     "name) or naming a device (NUL, CON, COM1 ...) always. Every entry is checked\n"
     "before the first file is written. All or nothing: every file is first written\n"
     "whole, then all are put in place through a journal in DIR\\.lzx-update; a\n"
     "failure leaves DIR as it was, and the next unpack into DIR undoes a killed\n"
     "one (or completes it when it had finished). ARCHIVE - reads standard input.\n"
     "  --table FILE   decide against a version file (as lzx.ver), missing = empty,\n"
     "                 and write it back after a complete run\n"
     "  -n, --dry-run  check, write nothing: every check of a run (the entries, what\n"
     "                 stands at each name, each file held for a moment, the room),\n"
     "                 then what it would do to each file; exits as the run would\n"
     "  -f, --force    replace equal versions (with a table) or existing files\n"
     "                 (without one)\n"
     "  -v, --verbose  one line per entry: written or not, its version\n"
     "Prints new, updated, not replaced.",
     Unpack},
    {"verify", "[-f] [-j N] [--table FILE] [--allow-outside] ARCHIVE DIR",
     "compare DIR with what unpack would leave there",
     "Reads every entry and the file at its name below DIR, and changes nothing. Each\n"
     "file is: same (the entry's bytes, after the E transform), differs, missing,\n"
     "newer kept (the table lists a newer version, which a run keeps) or not\n"
     "installed (R=1 and no file, as a run leaves it). With --table the version file\n"
     "must list each file at the archive's version, as a complete run leaves it.\n"
     "One line per file that is not the same; -v: every file. Then the counts.\n"
     "Exit code 1 when a file differs or is missing.\n"
     "  --table FILE   the version file (as lzx.ver), missing = empty\n"
     "  -f, --force    read ARCHIVE - from a terminal",
     Verify},
    {"list", "[-f] ARCHIVE", "list the entries of an archive",
     "One line per entry: stored name, size, version, E, D, R; then a total.\n"
     "ARCHIVE - reads standard input (-f: from a terminal too). -q: the entries'\n"
     "lines only.",
     List},
    {"compress", "[-f] [-j N] [--huffman | --sort] IN OUT", "write IN as an LZX1 stream",
     "Default: LZ method. IN - reads standard input, OUT - writes standard output\n"
     "(the stream is complete only at its end: it is written out when IN has ended).\n"
     "  --huffman      the Huffman method\n"
     "  --sort         the sort stage (every 16384-byte block needs a 64-byte row of\n"
     "                 0xFF bytes)\n"
     "  -f, --force    overwrite an existing OUT; write to a terminal\n"
     "  -v, --verbose  also the ratio",
     Compress},
    {"decompress", "[-f] [-j N] IN OUT", "write the bytes of an LZX1 stream",
     "Any stream flags. IN - reads standard input (all of it, before the first byte\n"
     "comes out), OUT - writes standard output.\n"
     "  -f, --force    overwrite an existing OUT; read from a terminal",
     Decompress},
    {"test", "[-f] [-j N] FILE...", "decode every block of each stream or archive",
     "Says OK for each file, and walks the entries of an archive; reads every block\n"
     "in record order and through the block index, which must agree. Stops at the\n"
     "first damaged file with its message (exit code 2). FILE - reads standard\n"
     "input (-f: from a terminal too). -q: nothing for a sound file; -v: also the\n"
     "number of blocks.",
     Test},
    {"scramble", "FILE", "scramble a file in place for an E=1 entry",
     "The transform is its own inverse: scrambling twice gives the file back.", Scramble},
};

const char* const CommonOptions =
    "Options of every command:\n"
    "  -q, --quiet    errors only (and the data itself)\n"
    "  -v, --verbose  more detail\n"
    "  -h, --help     the command's help\n"
    "  --             the end of the options: every later argument is a file\n"
    "-j N (where blocks are coded): N threads, default one per processor; the files\n"
    "written are the same for every N. \"-\" as a compressed input is standard input,\n"
    "as OUT standard output.\n"
    "Exit codes: 0 done; 1 verify found a file that differs or is missing; 2 a fatal\n"
    "error, a refused archive, an existing OUT without -f, compressed data and a\n"
    "terminal, output that cannot be written; 64 a usage error.\n";

void PrintHelp() {
    std::printf("usage: lzx [-q | -v] COMMAND [OPTIONS] ARGUMENTS\n\nCommands:\n");
    for (const Command& command : Commands)
        std::printf("  %s %s\n      %s\n", command.name, command.arguments, command.summary);
    std::printf("  help [COMMAND]\n      this text, or a command's\n\n%slzx -V, --version: the version.\n",
                CommonOptions);
}

void PrintCommandHelp(const Command& command) {
    std::printf("usage: lzx %s %s\n  %s.\n\n%s\n\n%s", command.name, command.arguments, command.summary,
                command.details, CommonOptions);
}

const Command* FindCommand(const std::string& word) {
    for (const Command& command : Commands) {
        if (word == command.name)
            return &command;
    }
    return nullptr;
}

int Run(int argc, char** argv) {
    int first = 1;
    while (first < argc && (ShortName(argv[first]) == "-q" || ShortName(argv[first]) == "-v"))
        Leading.insert(ShortName(argv[first++]));
    if (first >= argc) {
        std::fprintf(stderr, "lzx: no command given (try lzx help)\n");
        return ExitUsage;
    }
    const std::string word = argv[first];
    if (word == "-h" || word == "--help") {
        PrintHelp();
        return 0;
    }
    if (word == "-V" || word == "--version") {
        std::printf("lzx %s\n", LZX_VERSION_TEXT);
        return 0;
    }
    std::vector<std::string> args(argv + first + 1, argv + argc);
    if (word == "help") {
        if (args.empty()) {
            PrintHelp();
            return 0;
        }
        const Command* command = args.size() == 1 ? FindCommand(args[0]) : nullptr;
        if (command == nullptr)
            Usage("help", args.size() == 1 ? "no command " + args[0] : "one command at a time");
        PrintCommandHelp(*command);
        return 0;
    }
    const Command* command = FindCommand(word);
    if (command == nullptr) {
        std::fprintf(stderr, "lzx: unknown command '%s' (try lzx help)\n", word.c_str());
        return ExitUsage;
    }
    for (const std::string& arg : args) {
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "--help") {
            PrintCommandHelp(*command);
            return 0;
        }
    }
    Streams.progress = StreamProgress;
    Speaker = "lzx " + word;
    const int code = command->run(args);
    RemoveSpools();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    OsStandardStreamsPrepare();
    SetFatalCleanup(CleanUp);
    OsOnInterrupt(InterruptCleanUp);
    SetFatalReport(Report);
    // Memory the input asks for and the system refuses ends in a message, as
    // every other failure does, never in an abort.
    std::set_new_handler([] {
        std::set_new_handler(nullptr);  // the report itself may need a little memory
        Fail("", "out of memory");
    });
    const int code = Run(argc, argv);
    // Help, listings and summaries alike: what could not be written is a
    // failure, never a silent success.
    CheckOutput();
    return code;
}
