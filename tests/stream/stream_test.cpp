// The HILE compressed stream: layout, reads, seeks, modes and damage.

#include <cstring>
#include <string>
#include <vector>

#include "codec.h"
#include "hile.h"
#include "stream.h"
#include "codec/samples.h"
#include "support.h"

using samples::Bytes;
using test::FatalExit;
using test::FatalReport;

namespace {

// Runs in the scratch directory: write streams put their side file in the
// current directory.
class StreamTest : public test::InScratchDirTest {
protected:
    int Write(const std::string& name, const Bytes& data, const char* mode = "wb") {
        HILE* stream = Hopen(name.c_str(), mode);
        Hwrite(data.data(), static_cast<int>(data.size()), stream);
        return Hclose(stream);
    }

    Bytes File(const std::string& name) {
        const std::string bytes = test::ReadFile(name);
        return Bytes(bytes.begin(), bytes.end());
    }

    static std::int32_t Word(const Bytes& file, std::size_t at) {
        return static_cast<std::int32_t>(Load32(file.data() + at));
    }

    void Put(const std::string& name, const Bytes& bytes) {
        test::WriteFile(name, std::string(bytes.begin(), bytes.end()));
    }

    // Names of side files left in the current directory.
    static int SideFiles() {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("."))
            count += entry.path().extension() == ".tmp";
        return count;
    }
};

TEST_F(StreamTest, FileLayout) {
    EXPECT_EQ(Write("empty.lzx", {}), 16);
    EXPECT_EQ(File("empty.lzx"), (Bytes{'L', 'Z', 'X', '1', 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    const int one = Write("one.lzx", samples::Text(16384, 1));
    Bytes file = File("one.lzx");
    EXPECT_EQ(static_cast<int>(file.size()), one);
    const std::int32_t index = Word(file, 4);
    EXPECT_EQ(Word(file, 8), 16384);
    EXPECT_EQ(Word(file, 12), 0);
    EXPECT_EQ(one, index + 4);
    EXPECT_EQ(Word(file, static_cast<std::size_t>(index)), 16);

    Write("two.lzx", samples::Text(16385, 1), "wbh");
    file = File("two.lzx");
    EXPECT_EQ(Word(file, 8), 16385);
    EXPECT_EQ(Word(file, 12), FlagHuffman);
    const std::int32_t twoIndex = Word(file, 4);
    EXPECT_EQ(file.size(), static_cast<std::size_t>(twoIndex) + 8);
    EXPECT_EQ(Word(file, static_cast<std::size_t>(twoIndex)), 16);
    EXPECT_GT(Word(file, static_cast<std::size_t>(twoIndex) + 4), 16);
    EXPECT_EQ(SideFiles(), 0);  // every side file is gone after close
}

TEST_F(StreamTest, ReadsAtAndPastTheEnd) {
    const Bytes data = samples::Text(60, 2);
    Write("sixty.lzx", data);
    Bytes got(100);
    HILE* stream = Hopen("sixty.lzx", "rb");
    EXPECT_EQ(Htell(stream), 0);
    EXPECT_EQ(Hread(got.data(), 100, stream), 60);
    EXPECT_EQ(Heof(stream), 1);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 60), data);
    Hclose(stream);

    stream = Hopen("sixty.lzx", "rb");
    EXPECT_EQ(Hread(got.data(), 60, stream), 60);
    EXPECT_EQ(Heof(stream), 0);
    EXPECT_EQ(Hread(got.data(), 1, stream), 0);
    EXPECT_EQ(Heof(stream), 1);
    Hseek(stream, 59);
    EXPECT_EQ(Heof(stream), 0);
    EXPECT_EQ(Hgetc(stream), data[59]);
    EXPECT_EQ(Hgetc(stream), -1);
    EXPECT_EQ(Heof(stream), 1);
    Hclose(stream);
}

TEST_F(StreamTest, EveryModeRoundTripsAndSeeks) {
    Bytes data = samples::Code(16384 * 5 + 777, 3);
    // The sort stage needs an empty row in every block.
    for (std::size_t row = 5; row < data.size() / 64; row += 9)
        std::fill_n(data.begin() + static_cast<std::ptrdiff_t>(row * 64), 64, 0xFF);
    for (const char* mode : {"wb", "wbh", "wbs"}) {
        Write("modes.lzx", data, mode);
        HILE* stream = Hopen("modes.lzx", "rbh");  // the flags come from the file
        EXPECT_EQ(HileFlags(stream), mode[2] == 'h' ? 1 : mode[2] == 's' ? 2 : 0);
        Bytes all(data.size());
        EXPECT_EQ(Hread(all.data(), static_cast<int>(all.size()), stream), static_cast<int>(data.size()));
        EXPECT_EQ(all, data) << mode;

        samples::Random random(4);
        for (int i = 0; i < 40; ++i) {
            const int at = random.Below(static_cast<int>(data.size()));
            Hseek(stream, at);
            EXPECT_EQ(Htell(stream), at);
            Bytes piece(300);
            const int n = Hread(piece.data(), 300, stream);
            ASSERT_EQ(n, std::min<int>(300, static_cast<int>(data.size()) - at));
            ASSERT_TRUE(std::equal(piece.begin(), piece.begin() + n, data.begin() + at)) << mode << " at " << at;
        }
        Hseek(stream, 16384 * 3 + 5);
        EXPECT_EQ(Htell(stream), 16384 * 3 + 5);
        EXPECT_EQ(Hgetc(stream), data[16384 * 3 + 5]);
        Hclose(stream);
    }
}

TEST_F(StreamTest, BytesOneAtATime) {
    HILE* stream = Hopen("bytes.lzx", "wb");
    for (int i = 0; i < 40000; ++i)
        EXPECT_EQ(Hputc(i * 7 & 0xFF, stream), i * 7 & 0xFF);
    Hclose(stream);
    stream = Hopen("bytes.lzx", "rb");
    for (int i = 0; i < 40000; ++i)
        ASSERT_EQ(Hgetc(stream), i * 7 & 0xFF);
    EXPECT_EQ(Hgetc(stream), -1);
    Hclose(stream);
}

TEST_F(StreamTest, ModesAndMisuse) {
    const std::string bad = FatalReport("Hopen: bad mode");
    EXPECT_EXIT(Hopen("m.lzx", "wbx"), FatalExit(), bad);
    EXPECT_EXIT(Hopen("m.lzx", "xb"), FatalExit(), bad);
    EXPECT_EXIT(Hopen("m.lzx", "w"), FatalExit(), bad);
    EXPECT_EXIT(Hopen(std::string(80, 'n').c_str(), "wb"), FatalExit(), FatalReport("Hopen: filename too long"));

    HILE* writer = Hopen("w.lzx", "wbsx");  // letters after the third are not looked at
    EXPECT_EQ(HileFlags(writer), FlagSort);
    Hclose(writer);
    // The statement opens its own writer: the child's fatal path removes the
    // unfinished file it wrote.
    EXPECT_EXIT(Hseek(Hopen("w.lzx", "wb"), 0), FatalExit(), FatalReport("Hseek: not allowed on write-file"));

    for (const char* name : {"Hread", "Hwrite", "Hseek", "Htell", "Hclose"}) {
        const std::string report = FatalReport(std::string(name) + ": not a valid HILE *");
        char byte = 0;
        if (!std::strcmp(name, "Hread"))
            EXPECT_EXIT(Hread(&byte, 1, nullptr), FatalExit(), report);
        else if (!std::strcmp(name, "Hwrite"))
            EXPECT_EXIT(Hwrite(&byte, 1, nullptr), FatalExit(), report);
        else if (!std::strcmp(name, "Hseek"))
            EXPECT_EXIT(Hseek(nullptr, 0), FatalExit(), report);
        else if (!std::strcmp(name, "Htell"))
            EXPECT_EXIT(Htell(nullptr), FatalExit(), report);
        else
            EXPECT_EXIT(Hclose(nullptr), FatalExit(), report);
    }
}

TEST_F(StreamTest, SeeksOutsideTheStreamAreRefused) {
    Write("s.lzx", samples::Text(1000, 5));
    HILE* stream = Hopen("s.lzx", "rb");
    const std::string report = FatalReport("Hseek: >= EOF causes deep shit");
    EXPECT_EXIT(Hseek(stream, 1000), FatalExit(), report);
    EXPECT_EXIT(Hseek(stream, -1), FatalExit(), report);
    Hclose(stream);
}

TEST_F(StreamTest, ForeignAndDamagedFilesAreRefused) {
    Put("plain.txt", Bytes(100, 'x'));
    EXPECT_EXIT(Hopen("plain.txt", "rb"), FatalExit(), FatalReport("Hopen: not an LZX file"));
    Put("short.lzx", Bytes{'L', 'Z', 'X', '1', 16});
    EXPECT_EXIT(Hopen("short.lzx", "rb"), FatalExit(), FatalReport("LZX DoFread failed [short.lzx, 16]"));

    Write("good.lzx", samples::Text(40000, 6));
    const Bytes good = File("good.lzx");
    const std::int32_t index = Word(good, 4);
    const std::string damaged = FatalReport("Hopen: damaged header [bad.lzx]");
    for (std::int32_t offset : {0, 15, index + 1, -5}) {  // before the records, or index past the end
        Bytes bad = good;
        Store32(bad.data() + 4, static_cast<std::uint32_t>(offset));
        Put("bad.lzx", bad);
        EXPECT_EXIT(Hopen("bad.lzx", "rb"), FatalExit(), damaged) << offset;
    }
    Bytes longer = good;
    Store32(longer.data() + 8, 40000 + 16384);  // one more block than the index lists
    Put("bad.lzx", longer);
    EXPECT_EXIT(Hopen("bad.lzx", "rb"), FatalExit(), damaged);
    Store32(longer.data() + 8, 0x80000000u);  // negative
    Put("bad.lzx", longer);
    EXPECT_EXIT(Hopen("bad.lzx", "rb"), FatalExit(), damaged);

    // An index entry pointing into the header or the index itself.
    Bytes pointer = good;
    Store32(pointer.data() + index + 8, 3);
    Put("bad.lzx", pointer);
    HILE* stream = Hopen("bad.lzx", "rb");
    EXPECT_EXIT(Hseek(stream, 2 * 16384), FatalExit(), FatalReport("Hseek: damaged index in [bad.lzx]"));
    Hclose(stream);

    // Records that end early while the length promises more blocks.
    Bytes early = good;
    Store32(early.data() + 4, static_cast<std::uint32_t>(Word(good, index + 4)));  // index where block 1 starts
    Store32(early.data() + 8, 2 * 16384 + 10);
    Put("bad.lzx", early);
    stream = Hopen("bad.lzx", "rb");
    Bytes all(40000);
    EXPECT_EXIT(Hread(all.data(), 40000, stream), FatalExit(), FatalReport("Hfill: block missing in [bad.lzx]"));
    Hclose(stream);
}

TEST_F(StreamTest, LengthsBeyondTheHeaderAreRefused) {
    HILE* stream = Hopen("huge.lzx", "wb");
    // As if almost 2 GiB had been written already.
    stream->base = 0x7FFF4000;
    stream->position = 16384;
    Bytes block(16384, 1);
    Hwrite(block.data(), 16384, stream);  // up to 0x7FFFC000: fine
    EXPECT_EXIT(Hwrite(block.data(), 16384, stream), FatalExit(),
                FatalReport("Hwrite: stream longer than 2147483647 bytes [huge.lzx]"));
    stream->position = 16383;
    stream->base = 0x7FFFFFFF - 16383;
    EXPECT_EXIT(Hputc(1, stream), FatalExit(), FatalReport("Hwrite: stream longer than 2147483647 bytes [huge.lzx]"));
    FileClose(&stream->main);
    FileClose(&stream->side);
    HileReleaseAll();
}

}  // namespace
