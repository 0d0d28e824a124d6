// File records, the four opens, unit arithmetic and the open-file table.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"

using test::FatalExit;
using test::FatalReport;
using test::OpenFiles;
using test::ReadFile;
using test::WriteFile;

namespace {

using FileRecTest = test::FileTest;

std::string FileErrorText(const FileRec& rec, int code) {
    return "\nFile Error : name = [" + std::string(rec.name) + "] code = " + std::to_string(code);
}

// ---- Opens and their error codes ----------------------------------------

TEST_F(FileRecTest, OpenReadNeedsAnExistingFile) {
    FileRec rec = Record("missing.bin");
    EXPECT_EXIT(FileOpenRead(&rec), FatalExit(), FatalReport(FileErrorText(rec, 209)));

    WriteFile(dir / "there.bin", "abc");
    FileRec there = Record("there.bin");
    FileOpenRead(&there);
    EXPECT_EQ(FileIsClosed(&there), 0);
    EXPECT_EQ(OpenFiles(), 1);
    EXPECT_STREQ(OpenFileTable[0].name, there.name);
    FileClose(&there);
    EXPECT_EQ(FileIsClosed(&there), 1);
}

TEST_F(FileRecTest, CreateTruncatesAndFailsInAMissingDirectory) {
    WriteFile(dir / "old.bin", "old contents");
    FileRec rec = Record("old.bin");
    FileCreate(&rec);
    FileWrite(&rec, 3, "new");
    FileClose(&rec);
    EXPECT_EQ(ReadFile(dir / "old.bin"), "new");

    FileRec nowhere = Record("no\\such\\dir.bin");
    EXPECT_EXIT(FileCreate(&nowhere), FatalExit(), FatalReport(FileErrorText(nowhere, 211)));
}

TEST_F(FileRecTest, AppendCreatesOrAddsAtTheEnd) {
    FileRec rec = Record("log.txt");
    FileOpenAppend(&rec);
    FileWrite(&rec, 3, "one");
    FileClose(&rec);
    FileOpenAppend(&rec);
    EXPECT_EQ(FileTell(&rec), 3);
    FileWrite(&rec, 3, "two");
    FileClose(&rec);
    EXPECT_EQ(ReadFile(dir / "log.txt"), "onetwo");

    FileRec nowhere = Record("no\\log.txt");
    EXPECT_EXIT(FileOpenAppend(&nowhere), FatalExit(), FatalReport(FileErrorText(nowhere, 210)));
}

TEST_F(FileRecTest, UpdateKeepsContentsAndReadsAndWrites) {
    WriteFile(dir / "data.bin", "0123456789");
    FileRec rec = Record("data.bin");
    FileOpenUpdate(&rec);
    FileSeek(&rec, 4, 0);
    FileWrite(&rec, 2, "xy");
    FileSeek(&rec, 0, 0);
    char back[11] = {};
    EXPECT_EQ(FileRead(&rec, 10, back), 10);
    EXPECT_STREQ(back, "0123xy6789");
    FileClose(&rec);

    FileRec fresh = Record("fresh.bin");
    FileOpenUpdate(&fresh);
    EXPECT_EQ(FileSize(&fresh), 0);
    FileClose(&fresh);
    EXPECT_TRUE(test::Exists(dir / "fresh.bin"));

    FileRec nowhere = Record("no\\data.bin");
    EXPECT_EXIT(FileOpenUpdate(&nowhere), FatalExit(), FatalReport(FileErrorText(nowhere, 212)));
}

TEST_F(FileRecTest, WritingOpensOfAReadOnlyFileStopWithoutChangingIt) {
    WriteFile(dir / "locked.txt", "keep me");
    test::MakeReadOnly(dir / "locked.txt");
    FileRec rec = Record("locked.txt");
    const std::string report = FatalReport(FileErrorText(rec, 206));
    EXPECT_EXIT(FileCreate(&rec), FatalExit(), report);
    EXPECT_EXIT(FileOpenAppend(&rec), FatalExit(), report);
    EXPECT_EXIT(FileOpenUpdate(&rec), FatalExit(), report);
    EXPECT_EQ(ReadFile(dir / "locked.txt"), "keep me");

    // Reading it is fine.
    FileOpenRead(&rec);
    FileClose(&rec);
}

TEST_F(FileRecTest, PrinterNamesPassTheWritableCheck) {
    EXPECT_EQ(FileIsPrinter("prn"), 1);
    EXPECT_EQ(FileIsPrinter("PRN"), 1);
    EXPECT_EQ(FileIsPrinter("C:\\out\\prn.txt"), 1);
    EXPECT_EQ(FileIsPrinter("C:\\out\\pr"), 0);
    EXPECT_EQ(FileIsPrinter("C:\\prn\\out.txt"), 0);
    EXPECT_EQ(FileIsPrinter("C:/out/prn.txt"), 0);  // only "\" separates here

#ifdef _WIN32
    GTEST_SKIP() << "the read-only prn.txt part is POSIX only: on Windows that name is the printer device";
#endif
    WriteFile(dir / "prn.txt", "");
    test::MakeReadOnly(dir / "prn.txt");
    FileRec rec = Record("prn.txt");
    FileCreate(&rec);
    EXPECT_EQ(FileIsClosed(&rec), 0);
    FileClose(&rec);
}

TEST_F(FileRecTest, AClosedRecordKeepsNameAndUnitAndOpensAgain) {
    WriteFile(dir / "twice.bin", std::string(864, 'r'));
    FileRec rec = Record("twice.bin", 432);
    FileOpenRead(&rec);
    FileClose(&rec);
    FileClose(&rec);  // not open: nothing happens
    EXPECT_EQ(rec.unit, 432);
    EXPECT_NE(std::strstr(rec.name, "twice.bin"), nullptr);
    FileCreate(&rec);
    EXPECT_EQ(FileSize(&rec), 0);
    FileClose(&rec);
}

TEST_F(FileRecTest, NamesOfTwoHundredSixtyCharactersAreRefused) {
    FileRec rec;
    const std::string longest(259, 'n');
    FileInit(&rec, 1, longest.c_str());
    EXPECT_EQ(std::strlen(rec.name), 259u);

    const std::string tooLong(300, 'n');
    EXPECT_EXIT(FileInit(&rec, 1, tooLong.c_str()), FatalExit(),
                FatalReport("FileInit: name too long (300 characters, at most 259) [" + tooLong + "]"));
}

// ---- Units and transfers -------------------------------------------------

TEST_F(FileRecTest, ShortReadsAtTheEndAreNotErrors) {
    WriteFile(dir / "tail.bin", std::string(1000, 't'));
    FileRec rec = Record("tail.bin");
    std::vector<char> buffer(432);
    FileOpenRead(&rec);
    FileSeek(&rec, -100, 2);
    EXPECT_EQ(FileRead(&rec, 432, buffer.data()), 100);
    EXPECT_EQ(FileRead(&rec, 432, buffer.data()), 0);
    FileClose(&rec);
}

TEST_F(FileRecTest, RecordUnitsDropRemainders) {
    WriteFile(dir / "ten.ver", std::string(4320, 'v'));
    FileRec ten = Record("ten.ver", 432);
    EXPECT_EQ(FileSize(&ten), 10);
    std::vector<char> table(432 * 1010, 0);
    FileOpenRead(&ten);
    EXPECT_EQ(FileRead(&ten, 10 + 1000, table.data()), 10);
    EXPECT_EQ(FileTell(&ten), 10);
    FileClose(&ten);

    std::string bytes(1000, 0);
    for (int i = 0; i < 1000; ++i)
        bytes[i] = static_cast<char>(i * 7);
    WriteFile(dir / "odd.ver", bytes);
    FileRec odd = Record("odd.ver", 432);
    EXPECT_EQ(FileSize(&odd), 2);
    std::vector<char> buffer(3 * 432, 0x55);
    FileOpenRead(&odd);
    EXPECT_EQ(FileRead(&odd, 3, buffer.data()), 2);
    EXPECT_EQ(std::string(buffer.data(), 1000), bytes);  // all 1000 bytes arrived
    EXPECT_EQ(buffer[1000], 0x55);
    EXPECT_EQ(FileTell(&odd), 2);  // position 1000 is two whole records
    FileSeek(&odd, 1, 0);
    EXPECT_EQ(FileTell(&odd), 1);
    FileSeek(&odd, -1, 1);
    EXPECT_EQ(FileTell(&odd), 0);
    FileClose(&odd);
}

TEST_F(FileRecTest, RecordWritesAndSeeksMoveWholeRecords) {
    FileRec rec = Record("records.ver", 432);
    std::vector<char> records(432 * 3);
    for (std::size_t i = 0; i < records.size(); ++i)
        records[i] = static_cast<char>(i / 432 + 'a');
    FileCreate(&rec);
    EXPECT_EQ(FileWrite(&rec, 3, records.data()), 3);
    FileClose(&rec);
    EXPECT_EQ(ReadFile(dir / "records.ver").size(), 3u * 432);

    FileOpenRead(&rec);
    FileSeek(&rec, -1, 2);
    char last[432];
    EXPECT_EQ(FileRead(&rec, 1, last), 1);
    EXPECT_EQ(last[0], 'c');
    FileClose(&rec);
}

TEST_F(FileRecTest, BadPositionsAreFileErrors) {
    WriteFile(dir / "seek.bin", "0123");
    FileRec rec = Record("seek.bin");
    // Origin 3 is refused before anything reaches the system: even a closed
    // record gives 432, not a failed move.
    EXPECT_EXIT(FileSeek(&rec, 0, 3), FatalExit(), FatalReport(FileErrorText(rec, 432)));
    FileOpenRead(&rec);
    EXPECT_EXIT(FileSeek(&rec, -5, 0), FatalExit(), FatalReport(FileErrorText(rec, 207)));
    FileRec records = Record("seek.bin", 432);
    records.handle = rec.handle;
    // 5,000,000 records of 432 bytes lie beyond a 32-bit signed distance.
    EXPECT_EXIT(FileSeek(&records, 5000000, 0), FatalExit(), FatalReport(FileErrorText(records, 207)));
    FileClose(&rec);

    EXPECT_EXIT(FileTell(&rec), FatalExit(), FatalReport(FileErrorText(rec, 207)));
}

TEST_F(FileRecTest, TransfersOnTheWrongHandleAreFileErrors) {
    WriteFile(dir / "in.bin", "data");
    FileRec rec = Record("in.bin");
    FileOpenRead(&rec);
    EXPECT_EXIT(FileWrite(&rec, 4, "more"), FatalExit(), FatalReport(FileErrorText(rec, 205)));
    FileClose(&rec);

    FileRec out = Record("out.bin");
    FileCreate(&out);
    char buffer[4];
    EXPECT_EXIT(FileRead(&out, 4, buffer), FatalExit(), FatalReport(FileErrorText(out, 201)));
    FileClose(&out);
}

TEST_F(FileRecTest, SizeOfAClosedRecordLeavesTheTableAsItWas) {
    WriteFile(dir / "sized.bin", std::string(77, 's'));
    FileRec rec = Record("sized.bin");
    EXPECT_EQ(FileSize(&rec), 77);
    EXPECT_EQ(FileIsClosed(&rec), 1);
    EXPECT_EQ(OpenFiles(), 0);
    EXPECT_EQ(FileIsBusy(rec.name), 0);

    FileRec missing = Record("missing.bin");
    EXPECT_EXIT(FileSize(&missing), FatalExit(), FatalReport(FileErrorText(missing, 209)));
}

TEST_F(FileRecTest, UnitsThatCannotCountAreInternalErrors) {
    WriteFile(dir / "unit.bin", "abcd");
    FileRec rec = Record("unit.bin", 0);
    FileOpenRead(&rec);
    char buffer[4];
    EXPECT_EXIT(FileRead(&rec, 4, buffer), FatalExit(),
                "Internal error \\[117\\] in \\[FILEIO," + test::AnyNumber + "\\]");
    rec.unit = 1;
    EXPECT_EXIT(FileRead(&rec, -1, buffer), FatalExit(),
                "Internal error \\[35\\] in \\[FILEIO," + test::AnyNumber + "\\]");
    FileClose(&rec);
}

// ---- The open-file table -------------------------------------------------

TEST_F(FileRecTest, ThirtyFilesFitAndTheThirtyFirstIsRefused) {
    std::vector<FileRec> recs(31);
    for (int i = 0; i < 31; ++i)
        recs[i] = Record("f" + std::to_string(i));
    for (int i = 0; i < 30; ++i)
        FileCreate(&recs[i]);
    EXPECT_EQ(OpenFiles(), 30);
    EXPECT_EXIT(FileCreate(&recs[30]), FatalExit(), FatalReport("Internal error [94] in [FILEIO,131]"));

    // Closing one frees its slot for the next open, the lowest free one.
    FileClose(&recs[7]);
    EXPECT_EQ(OpenFileTable[7].handle, 0u);
    EXPECT_EQ(OpenFileTable[7].name[0], 0);
    FileCreate(&recs[30]);
    EXPECT_STREQ(OpenFileTable[7].name, recs[30].name);
    for (FileRec& rec : recs)
        FileClose(&rec);
}

TEST_F(FileRecTest, DuplicateHandlesAndUnknownClosesAreCaught) {
    WriteFile(dir / "dup.bin", "d");
    FileRec rec = Record("dup.bin");
    FileOpenRead(&rec);
    FileRec copy = rec;
    EXPECT_EXIT(FileRegister(&copy), FatalExit(), FatalReport("Internal error [95] in [FILEIO,128]"));

    // A handle opened behind the table's back cannot be unregistered.
    FileRec stray = Record("stray.bin");
    stray.handle = OsCreateFile(stray.name, OsAccessWrite, OsShareNone, OsDisposition::CreateAlways);
    ASSERT_NE(stray.handle, 0u);
    EXPECT_EXIT(FileClose(&stray), FatalExit(), FatalReport("Illegal unstack [" + std::string(stray.name) + "]"));
    OsCloseHandle(stray.handle);
    FileClose(&rec);
}

TEST_F(FileRecTest, TableCheckFindsAnyOccupiedSlot) {
    EXPECT_EQ(FileTableCheck(), 0);
    OpenFileTable[5].handle = 12345;
    EXPECT_EQ(FileTableCheck(), 1);
    OpenFileTable[5].handle = 0;
    EXPECT_EQ(FileTableCheck(), 0);
}

// The fatal path's cleanup closes every file in the table: a cleanup that
// does the table's part and then looks finds the table empty and the
// exclusively opened file free again. (Nothing runs after the cleanup: the
// process ends without exit handlers.)
const char* WatchedName = nullptr;

void CloseAllThenReport() {
    FileTableCloseAll();
    std::fprintf(stderr, "after cleanup: %d open, busy %d\n", OpenFiles(), FileIsBusy(WatchedName));
}

TEST_F(FileRecTest, TheFatalPathClosesEveryOpenFile) {
    FileRec a = Record("a.bin");
    FileRec b = Record("b.bin");
    EXPECT_EXIT(
        {
            WatchedName = b.name;
            SetFatalCleanup(CloseAllThenReport);
            FileCreate(&a);
            FileCreate(&b);
            if (FileIsBusy(b.name) != 1)
                std::exit(99);
            FatalMessage("stop here");
        },
        FatalExit(), "Einde programma: stop here\nafter cleanup: 0 open, busy 0");
}

}  // namespace
