// The POSIX stand-ins: what the layers above rely on from Windows.
#include <cstring>
#include <string>

#include "platform.h"
#include "support.h"

using test::ReadFile;
using test::WriteFile;

namespace {

class PosixTest : public ::testing::Test {
protected:
    test::ScratchDir dir;
};

TEST_F(PosixTest, BackslashesBecomeSlashesAndHandlesAreNeverZero) {
    ASSERT_TRUE(OsCreateDirectory((dir / "Sub").c_str()));
    const std::string name = dir / "Sub\\file.txt";
    OsHandle file = OsCreateFile(name.c_str(), OsAccessWrite, OsShareNone, OsDisposition::CreateAlways);
    ASSERT_NE(file, 0u);
    std::uint32_t done = 0;
    EXPECT_TRUE(OsWriteFile(file, "hello", 5, &done));
    EXPECT_EQ(done, 5u);
    EXPECT_TRUE(OsCloseHandle(file));
    EXPECT_EQ(ReadFile(dir.path() + "/Sub/file.txt"), "hello");
    EXPECT_EQ(OsCreateFile((dir / "none").c_str(), OsAccessRead, OsShareRead, OsDisposition::OpenExisting), 0u);
    EXPECT_EQ(OsCreateFile("", OsAccessRead, OsShareRead, OsDisposition::OpenExisting), 0u);
}

TEST_F(PosixTest, SharingFollowsTheWindowsRules) {
    const std::string name = dir / "shared.bin";
    WriteFile(name, "data");
    // Readers that share reading coexist; a writer sharing nothing is kept out.
    OsHandle r1 = OsCreateFile(name.c_str(), OsAccessRead, OsShareRead, OsDisposition::OpenExisting);
    OsHandle r2 = OsCreateFile(name.c_str(), OsAccessRead, OsShareRead, OsDisposition::OpenExisting);
    ASSERT_NE(r1, 0u);
    ASSERT_NE(r2, 0u);
    EXPECT_EQ(OsCreateFile(name.c_str(), OsAccessWrite, OsShareNone, OsDisposition::CreateAlways), 0u);
    EXPECT_EQ(ReadFile(name), "data");  // the refused create truncated nothing
    EXPECT_FALSE(OsDeleteFile(name.c_str()));
    EXPECT_FALSE(OsMoveFile(name.c_str(), (dir / "moved").c_str()));
    OsCloseHandle(r1);
    OsCloseHandle(r2);

    // An exclusive open keeps readers out until it closes.
    OsHandle w = OsCreateFile(name.c_str(), OsAccessWrite, OsShareNone, OsDisposition::OpenAlways);
    ASSERT_NE(w, 0u);
    EXPECT_EQ(OsCreateFile(name.c_str(), OsAccessRead, OsShareRead, OsDisposition::OpenExisting), 0u);
    OsCloseHandle(w);
    EXPECT_TRUE(OsDeleteFile(name.c_str()));
}

TEST_F(PosixTest, DirectoriesAreNotFiles) {
    EXPECT_EQ(OsCreateFile(dir.path().c_str(), OsAccessRead, OsShareRead, OsDisposition::OpenExisting), 0u);
    EXPECT_FALSE(OsDeleteFile(dir.path().c_str()));
    EXPECT_EQ(OsGetFileAttributes(dir.path().c_str()) & OsAttrDirectory, OsAttrDirectory);
    EXPECT_FALSE(OsCreateDirectory(dir.path().c_str()));  // exists already
    ASSERT_TRUE(OsCreateDirectory((dir / "d").c_str()));
    EXPECT_TRUE(OsRemoveDirectory((dir / "d").c_str()));
    EXPECT_FALSE(OsRemoveDirectory((dir / "d").c_str()));
}

TEST_F(PosixTest, FilePointerRefusesNegativeAndFourGigabytePositions) {
    const std::string name = dir / "p.bin";
    WriteFile(name, "0123456789");
    OsHandle file = OsCreateFile(name.c_str(), OsAccessRead, OsShareRead, OsDisposition::OpenExisting);
    ASSERT_NE(file, 0u);
    EXPECT_EQ(OsSetFilePointer(file, -3, 2), 7u);
    EXPECT_EQ(OsSetFilePointer(file, 2, 1), 9u);
    EXPECT_EQ(OsSetFilePointer(file, -10, 1), OsInvalidValue);
    EXPECT_EQ(OsSetFilePointer(file, 0, 1), 9u);  // a refused move leaves the position
    EXPECT_EQ(OsSetFilePointer(file, 0, 7), OsInvalidValue);
    EXPECT_EQ(OsGetFileSize(file), 10u);
    char buffer[8];
    std::uint32_t done = 99;
    EXPECT_TRUE(OsReadFile(file, buffer, sizeof buffer, &done));
    EXPECT_EQ(done, 1u);
    OsCloseHandle(file);
    EXPECT_EQ(OsGetFileSize(file), OsInvalidValue);
}

TEST_F(PosixTest, FindListsSortedCaseInsensitiveMatches) {
    for (const char* name : {"b.TXT", "a.txt", "c.doc", "noext"})
        WriteFile(dir / name, "");
    char name[260];
    std::string found;
    OsHandle find = OsFindFirst((dir / "*.txt").c_str(), name);
    ASSERT_NE(find, 0u);
    do
        found += std::string(name) + ";";
    while (OsFindNext(find, name));
    OsFindClose(find);
    EXPECT_EQ(found, "a.txt;b.TXT;");

    found.clear();
    find = OsFindFirst((dir / "*.*").c_str(), name);
    ASSERT_NE(find, 0u);
    do
        found += std::string(name) + ";";
    while (OsFindNext(find, name));
    OsFindClose(find);
    EXPECT_EQ(found, ".;..;a.txt;b.TXT;c.doc;noext;");  // "*.*" also finds names without a dot
    EXPECT_EQ(OsFindFirst((dir / "*.xls").c_str(), name), 0u);
}

TEST_F(PosixTest, TempPathEndsWithASeparator) {
    const std::string path = OsTempPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.back(), '/');
}

TEST_F(PosixTest, MoveNeverReplaces) {
    WriteFile(dir / "a", "a");
    WriteFile(dir / "b", "b");
    EXPECT_FALSE(OsMoveFile((dir / "a").c_str(), (dir / "b").c_str()));
    EXPECT_EQ(ReadFile(dir / "b"), "b");
    EXPECT_TRUE(OsMoveFile((dir / "a").c_str(), (dir / "c").c_str()));
    EXPECT_EQ(ReadFile(dir / "c"), "a");
}

}  // namespace
