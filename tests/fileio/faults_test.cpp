// Faults of the file layer: text calls on records of another unit, files
// cut short by a failed write, read-only files before the truncating open.
#include <string>

#include "support.h"

using test::Exists;
using test::FatalExit;
using test::FatalReport;
using test::ReadFile;
using test::WriteFile;

namespace {

using FileFaultTest = test::FileTest;

TEST_F(FileFaultTest, TextCallsOnRecordsOfAnotherUnitAreInternalErrors) {
    WriteFile(dir / "records.ver", std::string(864, 'r'));
    FileRec rec = Record("records.ver", 432);
    FileOpenUpdate(&rec);
    char line[8];
    const std::string report = "Internal error \\[117\\] in \\[FILEIO," + test::AnyNumber + "\\]";
    EXPECT_EXIT(FileReadLine(&rec, line, 4), FatalExit(), report);
    EXPECT_EXIT(FileWriteLine(&rec, "a"), FatalExit(), report);
    EXPECT_EXIT(FilePrintf(&rec, "%d", 1), FatalExit(), report);
    FileClose(&rec);
    EXPECT_EQ(ReadFile(dir / "records.ver"), std::string(864, 'r'));
}

TEST_F(FileFaultTest, APartialFileGoesOnTheFatalPathAndStaysOnceClosed) {
#ifdef _WIN32
    GTEST_SKIP() << "a death test's child runs in a scratch directory of its own here: its files are not seen";
#endif
    FileRec partial = Record("partial.bin");
    EXPECT_EXIT(
        {
            FileCreate(&partial);
            FileMarkPartial(&partial);
            FileWrite(&partial, 3, "abc");
            FatalMessage("stop");
        },
        FatalExit(), FatalReport("stop"));
    EXPECT_FALSE(Exists(dir / "partial.bin"));

    FileRec whole = Record("whole.bin");
    EXPECT_EXIT(
        {
            FileCreate(&whole);
            FileMarkPartial(&whole);
            FileClose(&whole);
            FileCreate(&partial);  // the slot again, unmarked
            FatalMessage("stop");
        },
        FatalExit(), FatalReport("stop"));
    EXPECT_TRUE(Exists(dir / "whole.bin"));
    EXPECT_TRUE(Exists(dir / "partial.bin"));
}

TEST_F(FileFaultTest, AReadOnlyFileIsRefusedBeforeAnyOpen) {
    // Held open by another reader, the open itself would fail (211): the
    // refusal as read-only comes first.
    WriteFile(dir / "locked.txt", "keep me");
    test::MakeReadOnly(dir / "locked.txt");
    FileRec reader = Record("locked.txt");
    FileOpenRead(&reader);
    FileRec rec = Record("locked.txt");
    EXPECT_EXIT(FileCreate(&rec), FatalExit(),
                FatalReport("\nFile Error : name = [" + std::string(rec.name) + "] code = 206"));
    FileClose(&reader);
    EXPECT_EQ(ReadFile(dir / "locked.txt"), "keep me");
}

}  // namespace
