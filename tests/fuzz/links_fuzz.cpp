// UnPackLZX into a target directory that already holds links: symbolic
// links to folders outside it, to a file outside it and to a name outside it
// that nothing has yet, and a hard link to a file outside it. Whatever the archive, nothing outside may change. The
// first byte picks a version table (bit 0) and force (bit 1), the rest is
// the archive file.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>

#include "lzx.h"
#include "fuzz/harness.h"

namespace {

namespace fs = std::filesystem;

// Every name below outside, with the contents of its files.
std::map<std::string, std::string> Snapshot(const fs::path& outside) {
    std::map<std::string, std::string> seen;
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(outside, ignored)) {
        std::string contents = "(folder)";
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        seen[entry.path().string()] = contents;
    }
    return seen;
}

void Lay(const fs::path& scratch) {
    const fs::path outside = scratch / "outside";
    const fs::path target = scratch / "target";
    fs::create_directories(outside / "dir");
    fs::create_directories(target);
    std::ofstream(outside / "file.txt") << "outside";
    std::ofstream(outside / "hard.txt") << "hard";
    fs::create_directory_symlink("../outside", target / "folder");
    fs::create_directory_symlink("../outside/dir", target / "dir");
    fs::create_symlink("../outside/file.txt", target / "file.txt");
    fs::create_symlink("../outside/new.txt", target / "dangling.txt");
    fs::create_hard_link(outside / "hard.txt", target / "hard.txt");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const bool withTable = data[0] & 1;
    const int force = (data[0] >> 1) & 1;
    fuzz::EmptyScratch();
    const fs::path scratch = fuzz::Scratch();
    Lay(scratch);
    fuzz::Put("archive.lzx", data + 1, size - 1);
    const auto before = Snapshot(scratch / "outside");
    static EntryRec table[4];
    std::memset(static_cast<void*>(table), 0, sizeof table);
    std::strcpy(table[0].name, "#file.txt");
    table[0].version = 100;
    fuzz::Run([&] { UnPackLZX("archive.lzx", "target", withTable ? table : nullptr, 4, force); });
    if (Snapshot(scratch / "outside") != before)
        std::abort();  // a write went through a link
    return 0;
}
