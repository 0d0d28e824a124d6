// File-system utilities: tests, whole-file operations, lines, paths,
// directories and the log.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"

using test::Exists;
using test::FatalExit;
using test::FatalReport;
using test::OpenFiles;
using test::ReadFile;
using test::WriteFile;

namespace {

class FsUtilTest : public test::FileTest {
protected:
    // All lines FileReadLine gives for these bytes, with max characters each.
    std::vector<std::string> Lines(const std::string& bytes, int max) {
        WriteFile(dir / "lines.txt", bytes);
        FileRec rec = Record("lines.txt");
        FileOpenRead(&rec);
        std::vector<std::string> lines;
        std::vector<char> buffer(static_cast<std::size_t>(max) + 1, 'x');
        while (FileReadLine(&rec, buffer.data(), max))
            lines.emplace_back(buffer.data());
        EXPECT_EQ(buffer[0], 0);  // the final, empty answer clears the buffer
        FileClose(&rec);
        return lines;
    }
};

using Strings = std::vector<std::string>;

// ---- Tests on names and files --------------------------------------------

TEST_F(FsUtilTest, ExistenceReadOnlyAndBusy) {
    const std::string file = dir / "f.txt";
    WriteFile(file, "x");
    EXPECT_EQ(FileExists(file.c_str()), 1);
    EXPECT_EQ(FileExists(dir.path().c_str()), 1);  // directories exist too
    EXPECT_EQ(FileExists((dir / "none").c_str()), 0);

    EXPECT_EQ(FileIsReadOnly(file.c_str()), 0);
    EXPECT_EQ(FileIsReadOnly((dir / "none").c_str()), 1);  // the failure value has every bit set
    test::MakeReadOnly(file);
    EXPECT_EQ(FileIsReadOnly(file.c_str()), 1);

    EXPECT_EQ(FileIsBusy(file.c_str()), 0);
    EXPECT_EQ(FileIsBusy((dir / "none").c_str()), 1);
    FileRec reader;
    FileInit(&reader, 1, file.c_str());
    FileOpenRead(&reader);
    EXPECT_EQ(FileIsBusy(file.c_str()), 1);
    FileClose(&reader);
    EXPECT_EQ(FileIsBusy(file.c_str()), 0);
}

TEST_F(FsUtilTest, PlainNames) {
    EXPECT_EQ(NameIsPlain(nullptr), 0);
    EXPECT_EQ(NameIsPlain(""), 1);
    EXPECT_EQ(NameIsPlain("Zelk Demo"), 1);
    for (const char* name : {"a.b", "a\"b", "a/b", "a\\b", "a[b", "a]b", "a:b", "a;b", "a=b", "a,b"})
        EXPECT_EQ(NameIsPlain(name), 0) << name;
}

// ---- Delete, rename, copy, time stamp ------------------------------------

TEST_F(FsUtilTest, DeleteAnswersByUnit) {
    FileRec missing = Record("missing.txt");
    EXPECT_EQ(FileDelete(&missing), 1);

    WriteFile(dir / "gone.txt", "x");
    FileRec gone = Record("gone.txt");
    EXPECT_EQ(FileDelete(&gone), 1);
    EXPECT_FALSE(Exists(dir / "gone.txt"));

    // A file that is open elsewhere cannot be deleted: fatal for a normal
    // record, 0 for a deletion record.
    WriteFile(dir / "held.txt", "x");
    FileRec holder = Record("held.txt");
    FileOpenRead(&holder);
    FileRec held = Record("held.txt");
    EXPECT_EXIT(FileDelete(&held), FatalExit(), FatalReport("\nFile Error : name = [" + std::string(held.name) +
                                                             "] code = 203"));
    FileRec soft = Record("held.txt", -1);
    EXPECT_EQ(FileDelete(&soft), 0);
    FileClose(&holder);
    EXPECT_TRUE(Exists(dir / "held.txt"));

    WriteFile(dir / "ro.txt", "x");
    test::MakeReadOnly(dir / "ro.txt");
    FileRec readOnly = Record("ro.txt", -1);
    EXPECT_EQ(FileDelete(&readOnly), 0);
    EXPECT_TRUE(Exists(dir / "ro.txt"));
}

TEST_F(FsUtilTest, RenameMovesAndTakesTheNewName) {
    WriteFile(dir / "old.txt", "moved");
    FileRec rec = Record("old.txt");
    const std::string target = dir / "new.txt";
    FileRename(&rec, target.c_str());
    EXPECT_STREQ(rec.name, target.c_str());
    EXPECT_EQ(ReadFile(target), "moved");
    EXPECT_FALSE(Exists(dir / "old.txt"));

    // An existing target is never replaced.
    WriteFile(dir / "other.txt", "other");
    FileRec other = Record("other.txt");
    EXPECT_EXIT(FileRename(&other, target.c_str()), FatalExit(),
                FatalReport("\nFile Error : name = [" + std::string(other.name) + "] code = 204"));
    EXPECT_EQ(ReadFile(target), "moved");
}

TEST_F(FsUtilTest, CopyWritesTheShortLastPieceToo) {
    std::string bytes;
    for (int i = 0; i < 2500; ++i)
        bytes += static_cast<char>(i * 31 + 7);
    for (int size : {1, 7, 1000, 2500, 4096}) {
        WriteFile(dir / "src.bin", bytes);
        FileRec source = Record("src.bin");
        FileRec destination = Record("dst.bin");
        std::vector<char> buffer(static_cast<std::size_t>(size));
        FileCopy(&source, &destination, buffer.data(), size);
        EXPECT_EQ(ReadFile(dir / "dst.bin"), bytes) << "buffer " << size;
    }
    EXPECT_EQ(OpenFiles(), 0);

    WriteFile(dir / "empty.bin", "");
    FileRec source = Record("empty.bin");
    FileRec destination = Record("copy.bin");
    char buffer[16];
    FileCopy(&source, &destination, buffer, sizeof buffer);
    EXPECT_TRUE(Exists(dir / "copy.bin"));

    // A buffer smaller than one unit could never finish.
    FileRec records = Record("empty.bin", 432);
    FileRec copies = Record("copy.bin", 432);
    EXPECT_EXIT(FileCopy(&records, &copies, buffer, sizeof buffer), FatalExit(), "Internal error \\[35\\]");
}

TEST_F(FsUtilTest, DosTimeIsTheUtcWriteTime) {
    WriteFile(dir / "stamp.txt", "x");
    using namespace std::chrono;
    const auto writtenAt = [&](sys_seconds when) {
        std::filesystem::last_write_time(test::Native(dir / "stamp.txt"), file_clock::from_sys(when));
    };
    writtenAt(sys_days{2003y / December / 16} + 13h + 45min + 58s);

    FileRec rec = Record("stamp.txt");
    std::uint32_t stamp = 0;
    EXPECT_EQ(FileDosTime(&rec, &stamp), 1);
    const std::uint32_t date = ((2003 - 1980) << 9) | (12 << 5) | 16;
    const std::uint32_t time = (13 << 11) | (45 << 5) | (58 / 2);
    EXPECT_EQ(stamp, date * 65536 + time);
    EXPECT_EQ(FileIsClosed(&rec), 1);
    EXPECT_EQ(FileDosTime(&rec, nullptr), 1);

    // Before 1980 there is no DOS date: the stamp is 0.
    writtenAt(sys_days{1970y / January / 1});
    EXPECT_EQ(FileDosTime(&rec, &stamp), 1);
    EXPECT_EQ(stamp, 0u);
}

// ---- Lines ---------------------------------------------------------------

TEST_F(FsUtilTest, ReadLineSkipsEmptyLinesAndSplitsLongOnes) {
    EXPECT_EQ(Lines("a\r\n\r\nb", 200), (Strings{"a", "b"}));
    EXPECT_EQ(Lines("0123456789", 4), (Strings{"0123", "4567", "89"}));
    EXPECT_EQ(Lines("\n\n\r\rfirst\rsecond\n", 200), (Strings{"first", "second"}));
    EXPECT_EQ(Lines("", 200), Strings{});
    EXPECT_EQ(Lines("\r\n\r\n", 200), Strings{});
    EXPECT_EQ(Lines("abcd\r\nef", 4), (Strings{"abcd", "ef"}));
}

TEST_F(FsUtilTest, ReadLineWithoutBufferSkipsALine) {
    WriteFile(dir / "skip.txt", "one\r\ntwo\r\n");
    FileRec rec = Record("skip.txt");
    FileOpenRead(&rec);
    EXPECT_EQ(FileReadLine(&rec, nullptr, 200), 1);
    char line[201];
    EXPECT_EQ(FileReadLine(&rec, line, 200), 1);
    EXPECT_STREQ(line, "two");
    EXPECT_EQ(FileReadLine(&rec, line, 200), 0);
    FileClose(&rec);
}

TEST_F(FsUtilTest, WriteLineAndPrintf) {
    FileRec rec = Record("out.txt");
    FileCreate(&rec);
    EXPECT_EQ(FileWriteLine(&rec, "first"), 7);
    EXPECT_EQ(FilePrintf(&rec, "%s=%d;", "n", 42), 5);
    const std::string wide(5000, 'w');  // far beyond 1024 bytes: written whole
    EXPECT_EQ(FilePrintf(&rec, "%s", wide.c_str()), 5000);
    FileClose(&rec);
    EXPECT_EQ(ReadFile(dir / "out.txt"), "first\r\nn=42;" + wide);
}

// ---- Names and paths -----------------------------------------------------

struct Split {
    std::string directory, base, extension;
    bool operator==(const Split&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Split& s) {
    return out << "[" << s.directory << "|" << s.base << "|" << s.extension << "]";
}

Split SplitOf(const char* path) {
    char directory[260], base[260], extension[260];
    std::memset(directory, 'x', sizeof directory);
    SplitPath(path, directory, base, extension);
    return {directory, base, extension};
}

TEST(SplitPathTest, Examples) {
    EXPECT_EQ(SplitOf("C:\\a\\b.txt"), (Split{"C:\\a\\", "b", "txt"}));
    EXPECT_EQ(SplitOf("a\\b.c.d"), (Split{"a\\", "b.c", "d"}));
    EXPECT_EQ(SplitOf("C:x.y"), (Split{"C:", "x", "y"}));
    EXPECT_EQ(SplitOf("a.b\\c"), (Split{"a.b\\", "c", ""}));
    EXPECT_EQ(SplitOf("plain"), (Split{"", "plain", ""}));
    EXPECT_EQ(SplitOf(""), (Split{"", "", ""}));
    EXPECT_EQ(SplitOf("dir\\"), (Split{"dir\\", "", ""}));
    // "/" separates as "\" does, so the folders before it are made too.
    EXPECT_EQ(SplitOf("/t/a\\b/c.d"), (Split{"/t/a\\b/", "c", "d"}));
    EXPECT_EQ(SplitOf("a.b/c"), (Split{"a.b/", "c", ""}));
    // ":" ends the directory but not the extension scan.
    EXPECT_EQ(SplitOf("a.b:c"), (Split{"a.b:", "c", "b:c"}));

    char base[260];
    SplitPath("x\\y.z", nullptr, base, nullptr);
    EXPECT_STREQ(base, "y");

    char name[] = "a.b\\c";
    StripExtension(name);
    EXPECT_STREQ(name, "a.b\\c");
    char twice[] = "archive.tar.gz";
    StripExtension(twice);
    EXPECT_STREQ(twice, "archive.tar");
}

TEST_F(FsUtilTest, MakePathCreatesTheMissingChain) {
    ASSERT_TRUE(std::filesystem::create_directory(test::Native(dir / "x")));
    const std::string deep = dir / "x\\y\\z";
    EXPECT_EQ(MakePath(deep.c_str()), 1);
    EXPECT_TRUE(std::filesystem::is_directory(test::Native(deep)));

    // Both separators, a trailing one, and a path that already exists.
    EXPECT_EQ(MakePath((dir.path() + "/p\\q/r\\").c_str()), 1);
    EXPECT_TRUE(std::filesystem::is_directory(test::Native(dir / "p\\q\\r")));
    EXPECT_EQ(MakePath(deep.c_str()), 1);

    // A file in the way cannot become a directory.
    WriteFile(dir / "file", "f");
    EXPECT_EQ(MakePath((dir / "file\\sub").c_str()), 0);

    // A root-relative target: the folders below it are made; the root
    // itself and a server's share are never created. (It is relative to the
    // current directory's drive: the scratch directory's here.)
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(test::Native(dir.path()));
    const std::string rooted = test::RootRelative(dir / "rooted\\a");
    EXPECT_EQ(MakePath(rooted.c_str()), 1);
    std::filesystem::current_path(previous);
    EXPECT_TRUE(std::filesystem::is_directory(test::Native(dir / "rooted\\a")));
    EXPECT_EQ(PathRootLength("\\\\srv\\share\\x\\y"), 12u);
    EXPECT_EQ(PathRootLength("C:x"), 2u);
    EXPECT_EQ(PathRootLength("C:\\x"), 3u);
    EXPECT_EQ(PathRootLength("rel\\x"), 0u);
    EXPECT_EQ(MakePath(std::string(300, 'd').c_str()), 0);
}

TEST_F(FsUtilTest, MakePathWorksForRelativePaths) {
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(MakePath("rel\\a\\b"), 1);
    EXPECT_EQ(chdir(previous), 0);
    EXPECT_TRUE(std::filesystem::is_directory(test::Native(dir / "rel\\a\\b")));
}

// ---- Directories ---------------------------------------------------------

Strings Listed(const char* buffer, int count) {
    Strings names;
    for (int i = 0; i < count; ++i, buffer += std::strlen(buffer) + 1)
        names.emplace_back(buffer);
    return names;
}

TEST_F(FsUtilTest, DirListStopsAtTheFirstNameThatDoesNotFit) {
    WriteFile(dir / "abc", "");
    WriteFile(dir / "defg", "");
    char buffer[64];
    const std::string pattern = dir / "*.*";
    EXPECT_EQ(Listed(buffer, DirList(buffer, sizeof buffer, pattern.c_str())), (Strings{".", "..", "abc", "defg"}));

    const std::string letters = dir / "?b*";
    EXPECT_EQ(Listed(buffer, DirList(buffer, 8, letters.c_str())), Strings{"abc"});
    const std::string both = dir / "*";
    // ".", ".." and "abc" take 2 + 3 + 4 = 9 bytes; "defg" would need 14, not below 14.
    EXPECT_EQ(DirList(buffer, 14, both.c_str()), 3);
    EXPECT_EQ(DirList(buffer, 15, both.c_str()), 4);
    EXPECT_EQ(DirList(buffer, sizeof buffer, (dir / "nothing*").c_str()), 0);
    EXPECT_EQ(DirList(buffer, sizeof buffer, (dir / "no\\*.*").c_str()), 0);
    EXPECT_EQ(Listed(buffer, DirList(buffer, sizeof buffer, (dir / "ABC").c_str())), Strings{"abc"});
}

TEST_F(FsUtilTest, DirRemoveDeletesFilesButNotSubdirectories) {
    const std::string full = dir / "full";
    ASSERT_EQ(MakePath((full + "\\sub").c_str()), 1);
    WriteFile(full + "\\one.txt", "1");
    WriteFile(full + "\\.hidden", "h");
    EXPECT_EQ(DirRemove(full.c_str(), 1), 0);
    EXPECT_TRUE(Exists(full + "\\sub"));
    EXPECT_FALSE(Exists(full + "\\one.txt"));
    EXPECT_TRUE(Exists(full + "\\.hidden"));  // names beginning with "." are left alone

    const std::string files = dir / "files";
    ASSERT_EQ(MakePath(files.c_str()), 1);
    WriteFile(files + "\\a.txt", "a");
    WriteFile(files + "\\b.txt", "b");
    EXPECT_EQ(DirRemove(files.c_str(), 0), 0);  // not empty, files kept
    EXPECT_TRUE(Exists(files + "\\a.txt"));
    EXPECT_EQ(DirRemove(files.c_str(), 1), 1);
    EXPECT_FALSE(Exists(files));
    EXPECT_EQ(DirRemove(files.c_str(), 1), 0);  // already gone
    EXPECT_EQ(OpenFiles(), 0);
}

// ---- The log -------------------------------------------------------------

TEST_F(FsUtilTest, LogAppendsAndCanBeHeldOpen) {
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);

    EXPECT_EQ(LogPrintf("%s %d|", "one", 1), 6);
    EXPECT_EQ(OpenFiles(), 0);
    EXPECT_EQ(LogPrintf(nullptr), 0);  // opens and keeps open
    EXPECT_EQ(OpenFiles(), 1);
    LogPrintf("two|");
    const std::string wide(700, 'w');  // more than 200 bytes: written whole
    EXPECT_EQ(LogPrintf("%s|", wide.c_str()), 701);
    EXPECT_EQ(OpenFiles(), 1);
    EXPECT_EQ(LogPrintf(nullptr), 0);  // closes
    EXPECT_EQ(OpenFiles(), 0);
    LogPrintf("three");

    EXPECT_EQ(chdir(previous), 0);
    EXPECT_EQ(ReadFile(dir / "LOG.LOG"), "one 1|two|" + wide + "|three");
}

}  // namespace
