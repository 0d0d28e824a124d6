// How extraction writes a file: links below the target directory, writes
// that fail half-way, the E transform on the way, and version files held for
// a whole run.
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "lzx.h"
#include "codec/samples.h"
#include "support.h"

using test::Exists;
using test::FatalExit;
using test::FatalReport;
using test::Native;
using test::ReadFile;
using test::WriteFile;

namespace {

#ifndef _WIN32
// From here on no file of this process may grow past bytes: a write there
// fails as it does on a full disk.
void LimitFileSize(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}
#endif

class TargetTest : public test::InScratchDirTest {
protected:
    // A one-entry archive, written as the builder lays it out.
    void Archive(const std::string& name, const std::string& data, int E = 0) {
        EntryRec rec{};
        std::strncpy(rec.name, name.c_str(), sizeof rec.name - 1);
        rec.size = static_cast<std::int32_t>(data.size());
        rec.version = 204;
        rec.E = E;
        std::uint8_t raw[EntrySize];
        EntryEncode(rec, raw);
        HILE* stream = Hopen("a.lzx", "wb");
        Hwrite(raw, EntrySize, stream);
        Hwrite(data.data(), static_cast<int>(data.size()), stream);
        Hclose(stream);
    }

    void Unpack() { UnPackLZX("a.lzx", target.c_str(), nullptr, 0, 1); }

    const std::string target = dir / "target";
    const std::string outside = dir / "outside";
};

TEST_F(TargetTest, LinksBelowTheTargetCarryNoWrite) {
#ifdef _WIN32
    GTEST_SKIP() << "links are made with POSIX calls here; the tool's fault group tries them under Wine";
#endif
    std::filesystem::create_directories(Native(target));
    std::filesystem::create_directories(Native(outside));
    WriteFile(outside + "\\file.txt", "outside");
    WriteFile(outside + "\\hard.txt", "hard");
    std::filesystem::create_directory_symlink(Native(outside), Native(target + "\\folder"));
    std::filesystem::create_symlink(Native(outside + "\\file.txt"), Native(target + "\\file.txt"));
    std::filesystem::create_hard_link(Native(outside + "\\hard.txt"), Native(target + "\\hard.txt"));
    std::filesystem::create_symlink(Native(outside + "\\new.txt"), Native(target + "\\dangling.txt"));

    const std::string through = "UnPackLZX: target \\[.*\\] goes through the link \\[.*\\]; refused";
    for (const char* name : {"#folder\\new.txt", "#folder\\made\\new.txt", "#file.txt", "#dangling.txt"}) {
        Archive(name, "archive");
        EXPECT_EXIT(Unpack(), FatalExit(), through) << name;
    }
    Archive("#hard.txt", "archive");
    EXPECT_EXIT(Unpack(), FatalExit(), "target \\[.*hard.txt\\] is a file with 2 names \\(hard links\\); refused");

    EXPECT_EQ(ReadFile(outside + "\\file.txt"), "outside");
    EXPECT_EQ(ReadFile(outside + "\\hard.txt"), "hard");
    EXPECT_FALSE(Exists(outside + "\\new.txt"));
    EXPECT_FALSE(Exists(outside + "\\made"));

    // The target directory itself is the caller's choice, link or not.
    std::filesystem::create_directory_symlink(Native(target), Native(dir / "chosen"));
    Archive("#plain.txt", "plain");
    UnPackLZX("a.lzx", (dir / "chosen").c_str(), nullptr, 0, 1);
    EXPECT_EQ(ReadFile(target + "\\plain.txt"), "plain");
}

TEST_F(TargetTest, AWriteThatFailsLeavesNoFileUnderTheName) {
#ifdef _WIN32
    GTEST_SKIP() << "a full disk is made with a file size limit, which Windows lacks";
#else
    std::filesystem::create_directories(Native(target));
    WriteFile(target + "\\big.bin", "installed before");
    const samples::Bytes data = samples::RandomBytes(100000, 7);
    Archive("#big.bin", std::string(data.begin(), data.end()));
    EXPECT_EXIT(
        {
            LimitFileSize(20000);
            Unpack();
        },
        FatalExit(), FatalReport("\nFile Error : name = [" + target + "\\big.bin] code = 205"));
    // The file installed before stays whole, and nothing is left beside it.
    EXPECT_EQ(ReadFile(target + "\\big.bin"), "installed before");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Native(target)), {}), 1);
#endif
}

TEST_F(TargetTest, TheTransformOnTheWayEqualsTheTransformAfter) {
    // Longer than one transfer piece, so that words straddle the pieces.
    const samples::Bytes data = samples::RandomBytes(40000, 3);
    const std::string plain(data.begin(), data.end());
    Archive("#e.bin", plain, 1);
    Unpack();
    WriteFile(dir / "after.bin", plain);
    FileRec after;
    FileInit(&after, 1, (dir / "after.bin").c_str());
    EntryScramble(&after);
    EXPECT_EQ(ReadFile(target + "\\e.bin"), ReadFile(dir / "after.bin"));
}

}  // namespace
