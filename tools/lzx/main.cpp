// main.cpp - the lzx command-line tool.
//
// What a release engineer uses to make and check payloads. The file layer
// and the fatal report are in place; the commands arrive with the codec,
// the stream and the archive layers. Exit codes: 0 done, 2 fatal error
// (the system's own message on standard error), 64 usage error, 69 a
// command this build does not have yet.
#include <cstdio>
#include <cstring>

namespace {

constexpr int ExitUsage = 64;
constexpr int ExitUnavailable = 69;

struct Command {
    const char* name;
    const char* arguments;
    const char* summary;
};

constexpr Command Commands[] = {
    {"pack", "SCRIPT", "build an archive from a pack script"},
    {"unpack", "ARCHIVE DIR [--table FILE] [--force]", "extract an archive below DIR"},
    {"list", "ARCHIVE", "list the entries of an archive"},
    {"compress", "[--huffman | --sort] IN OUT", "write IN as an LZX1 stream"},
    {"decompress", "IN OUT", "write the bytes of an LZX1 stream"},
    {"test", "FILE...", "decode every block of each stream or archive"},
    {"scramble", "FILE", "scramble a file in place for an E=1 entry"},
};

void PrintHelp(std::FILE* to) {
    std::fprintf(to, "usage: lzx COMMAND [ARGUMENTS]\n\nCommands:\n");
    for (const Command& command : Commands)
        std::fprintf(to, "  %-11s %-38s %s\n", command.name, command.arguments, command.summary);
    std::fprintf(to, "\nOptions: -h, --help (also after a command), --version\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "lzx: no command given (try lzx --help)\n");
        return ExitUsage;
    }
    const char* word = argv[1];
    if (!std::strcmp(word, "-h") || !std::strcmp(word, "--help")) {
        PrintHelp(stdout);
        return 0;
    }
    if (!std::strcmp(word, "--version")) {
        std::printf("lzx 2.04\n");
        return 0;
    }
    for (const Command& command : Commands) {
        if (std::strcmp(word, command.name) == 0) {
            if (argc > 2 && (!std::strcmp(argv[2], "-h") || !std::strcmp(argv[2], "--help"))) {
                std::printf("usage: lzx %s %s\n  %s\n", command.name, command.arguments, command.summary);
                return 0;
            }
            std::fprintf(stderr, "lzx %s: not available in this build yet\n", command.name);
            return ExitUnavailable;
        }
    }
    std::fprintf(stderr, "lzx: unknown command '%s' (try lzx --help)\n", word);
    return ExitUsage;
}
