#include "support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "platform.h"

namespace test {

namespace {

const char ScratchPrefix[] = "updater-test-";
constexpr std::size_t ScratchTagLength = 6;

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ignored))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path, ignored);
}

#ifdef _WIN32
// A death test's child (the program started again) ends inside its statement,
// past the destructors of its scratch directories: an exit handler removes
// them, from outside.
std::vector<std::string> ChildDirs;

void RemoveChildDirs() {
    std::error_code ignored;
    std::filesystem::current_path(Native(OsTempPath()), ignored);
    for (const std::string& path : ChildDirs)
        RemoveTree(path);
}
#endif

}  // namespace

std::filesystem::path Native(const std::string& name) {
    std::string path = name;
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// Creating the directory is the exclusive step (it fails when the name is
// taken), so parallel test programs never share one.
ScratchDir::ScratchDir() {
    std::random_device seed;
    std::mt19937 tags(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%06X", static_cast<unsigned>(tags() & 0xFFFFFF));
        const std::string path = OsTempPath() + ScratchPrefix + tag;
        if (OsCreateDirectory(path.c_str())) {
            path_ = path;
#ifdef _WIN32
            if (!GTEST_FLAG_GET(internal_run_death_test).empty()) {
                if (ChildDirs.empty())
                    std::atexit(RemoveChildDirs);
                ChildDirs.push_back(path);
            }
#endif
            return;
        }
    }
    std::abort();
}

ScratchDir::~ScratchDir() {
    RemoveTree(path_);
}

void WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream out(Native(name), std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out)
        ADD_FAILURE() << "cannot write " << name;
}

std::string ReadFile(const std::string& name) {
    std::ifstream in(Native(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& name) {
    std::error_code ignored;
    return std::filesystem::exists(Native(name), ignored);
}

void MakeReadOnly(const std::string& name) {
    std::filesystem::permissions(Native(name),
                                 std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
}

namespace {
std::string programFile;
}  // namespace

const std::string& ProgramFile() {
    return programFile;
}

std::string FatalReport(const std::string& text) {
    std::string visible = text;
    while (!visible.empty() && (visible[0] == '\n' || visible[0] == '\r'))
        visible.erase(0, 1);
    std::string pattern = "Einde programma: ";
    pattern += visible;
    std::string escaped;
    for (char c : pattern) {
        if (std::strchr("\\^$.|?*+()[]{}", c))
            escaped += '\\';
        escaped += c;
    }
    // On Windows a death test's child is the program started again, which
    // builds its state in a scratch directory of its own: any tag matches.
    const std::string scratch = ScratchPrefix;
    for (std::size_t at = escaped.find(scratch); at != std::string::npos; at = escaped.find(scratch, at + 1)) {
        const std::size_t tag = at + scratch.size();
        if (escaped.size() >= tag + ScratchTagLength)
            escaped.replace(tag, ScratchTagLength, std::string(ScratchTagLength, '.'));
    }
    return escaped;
}

int OpenFiles() {
    int count = 0;
    for (const OpenFileSlot& slot : OpenFileTable)
        count += slot.handle != 0;
    return count;
}

void FileTest::SetUp() {
    FileTableClear();
}

FileRec FileTest::Record(const std::string& name, int unit) const {
    FileRec rec;
    FileInit(&rec, unit, (dir / name).c_str());
    return rec;
}

void FileTest::TearDown() {
    EXPECT_EQ(OpenFiles(), 0) << "a test left a file open";
    FileTableCloseAll();
}

void InScratchDirTest::SetUp() {
    FileTest::SetUp();
    previous_ = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path());
}

void InScratchDirTest::TearDown() {
    std::filesystem::current_path(previous_);
    FileTest::TearDown();
}

}  // namespace test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    test::programFile = std::filesystem::absolute(argv[0]).string();
    // Death tests fork and run the statement in the child, which sees the
    // parent's scratch directory and open-file table as they are. The tests
    // are single-threaded, and every file descriptor is opened close-on-exec.
    // On Windows the child is the program started again, which runs the test
    // from its beginning (in a scratch directory of its own) to the statement.
    GTEST_FLAG_SET(death_test_style, "fast");
    return RUN_ALL_TESTS();
}
