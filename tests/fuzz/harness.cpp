#include "fuzz/harness.h"

#include <cstdlib>
#include <system_error>

#include <unistd.h>

namespace fuzz {

namespace {

[[noreturn]] void ThrowFatal(const char*) {
    throw Fatal{};
}

std::string MakeScratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lzx-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    const std::string dir = std::filesystem::canonical(pattern).string();
    setenv("UPDATER_CONFINE", dir.c_str(), 1);
    if (chdir(dir.c_str()) != 0)
        std::abort();
    std::atexit([] { std::error_code ignored; std::filesystem::remove_all(Scratch(), ignored); });
    return dir;
}

// Before the first input: fatal reports end the input, and the process works
// inside its confined scratch directory.
struct Setup {
    Setup() {
        SetFatalHandler(ThrowFatal);
        Scratch();
    }
} const setup;

}  // namespace

const std::string& Scratch() {
    static const std::string* dir = new std::string(MakeScratch());  // outlives every exit handler
    return *dir;
}

std::string Put(const std::string& name, const std::uint8_t* data, std::size_t size) {
    const std::string path = Scratch() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

void EmptyScratch(const char* keep) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(Scratch(), ignored)) {
        if (keep && entry.path().filename() == keep)
            continue;
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

}  // namespace fuzz
