// The codec's file wrappers: modes, short transfers and positions.
#include <string>

#include "codec.h"
#include "stream_file.h"
#include "support.h"

using test::FatalExit;
using test::FatalReport;
using test::ReadFile;
using test::WriteFile;

namespace {

class StreamFileTest : public test::FileTest {};

TEST_F(StreamFileTest, ModesIgnoreCase) {
    const std::string name = dir / "s.bin";
    WriteFile(name, "0123456789");
    FileRec rec;
    DoFopen(name.c_str(), "RB", &rec);
    char buffer[4];
    DoFseek(&rec, 6);
    DoFread(buffer, 4, &rec);
    EXPECT_EQ(std::string(buffer, 4), "6789");
    EXPECT_EQ(DoFtell(&rec), 10);
    DoFclose(&rec);

    DoFopen(name.c_str(), "Wb", &rec);
    DoFwrite("new", 3, &rec);
    DoFclose(&rec);
    EXPECT_EQ(ReadFile(name), "new");
}

TEST_F(StreamFileTest, ReadWriteModeStartsEmpty) {
    const std::string name = dir / "rw.bin";
    WriteFile(name, "old contents");
    FileRec rec;
    DoFopen(name.c_str(), "w+b", &rec);
    EXPECT_EQ(FileSize(&rec), 0);
    DoFwrite("abcdef", 6, &rec);
    DoFseek(&rec, 2);
    char buffer[3];
    DoFread(buffer, 3, &rec);
    EXPECT_EQ(std::string(buffer, 3), "cde");
    EXPECT_EQ(DoFtell(&rec), 5);
    DoFclose(&rec);
    EXPECT_EQ(ReadFile(name), "abcdef");
}

TEST_F(StreamFileTest, FailuresHaveTheirOwnMessages) {
    const std::string name = dir / "ten.bin";
    WriteFile(name, "0123456789");
    FileRec rec;
    EXPECT_EXIT(DoFopen(name.c_str(), "r", &rec), FatalExit(), FatalReport("LZX DoFopen [" + name + "] [r] failed"));
    EXPECT_EXIT(DoFopen(name.c_str(), "rb+", &rec), FatalExit(),
                FatalReport("LZX DoFopen [" + name + "] [rb+] failed"));

    DoFopen(name.c_str(), "rb", &rec);
    char buffer[16];
    EXPECT_EXIT(DoFread(buffer, 16, &rec), FatalExit(), FatalReport("LZX DoFread failed [" + name + ", 16]"));
    EXPECT_EXIT(DoFwrite("x", 1, &rec), FatalExit(),
                FatalReport("\nFile Error : name = [" + name + "] code = 205"));
    DoFclose(&rec);

    // The file layer reports first when the file cannot be opened at all.
    const std::string missing = dir / "missing.bin";
    EXPECT_EXIT(DoFopen(missing.c_str(), "rb", &rec), FatalExit(),
                FatalReport("\nFile Error : name = [" + missing + "] code = 209"));
}

}  // namespace
