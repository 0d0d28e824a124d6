// Streams whose blocks are coded on several threads: the same files, the
// same bytes read, and a damaged or unpackable block reported at its turn,
// after everything before it, with the single thread's report; and streams
// on different threads at once.

#include <stdexcept>
#include <string>
#include <vector>

#include "codec.h"
#include "hile.h"
#include "codec/samples.h"
#include "support.h"

using samples::Bytes;

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void ThrowFailure(const char* text) {
    throw Failure(text);
}

class ParallelStreamTest : public test::InScratchDirTest {
protected:
    void SetUp() override {
        InScratchDirTest::SetUp();
        SetFatalHandler(ThrowFailure);
    }

    void TearDown() override {
        SetFatalHandler(nullptr);
        HileReleaseAll();
        InScratchDirTest::TearDown();
    }

    // Writes data as one stream on the given number of threads, in pieces of
    // odd sizes; answers the file, or the fatal report's text in *failure.
    Bytes Write(const Bytes& data, const char* mode, int threads, std::string* failure = nullptr) {
        const std::string name = "t" + std::to_string(threads) + ".lzx";
        try {
            HILE* stream = Hopen(name.c_str(), mode, {threads});
            for (std::size_t at = 0; at < data.size();) {
                const int n = static_cast<int>(std::min<std::size_t>(data.size() - at, 7777));
                Hwrite(data.data() + at, n, stream);
                at += static_cast<std::size_t>(n);
            }
            Hclose(stream);
        } catch (const Failure& report) {
            if (failure == nullptr)
                throw;
            *failure = report.what();
            HileReleaseAll();
        }
        const std::string bytes = test::ReadFile(name);
        return Bytes(bytes.begin(), bytes.end());
    }

    // Reads a stream file block by block on the given number of threads: the
    // bytes delivered until the end or a fatal report, whose text goes to
    // *failure.
    Bytes ReadAll(const Bytes& file, int threads, std::string* failure) {
        test::WriteFile("read.lzx", std::string(file.begin(), file.end()));
        Bytes delivered;
        failure->clear();
        try {
            HILE* stream = Hopen("read.lzx", "rb", {threads});
            Bytes piece(BlockSize);
            for (int n; (n = Hread(piece.data(), BlockSize, stream)) > 0;)
                delivered.insert(delivered.end(), piece.begin(), piece.begin() + n);
            Hclose(stream);
        } catch (const Failure& report) {
            *failure = report.what();
            HileReleaseAll();
        }
        return delivered;
    }
};

// Data for every mode: the sort stage needs an empty row in each block.
Bytes Sample(std::size_t size, std::uint32_t seed) {
    Bytes data = samples::Code(size, seed);
    const Bytes text = samples::Text(size / 3, seed + 1);
    std::copy(text.begin(), text.end(), data.begin() + static_cast<std::ptrdiff_t>(size / 2));
    for (std::size_t row = 6; row < size / SortRowBytes; row += 11)
        std::fill_n(data.begin() + static_cast<std::ptrdiff_t>(row * SortRowBytes), SortRowBytes, 0xFF);
    return data;
}

TEST_F(ParallelStreamTest, EveryThreadCountWritesAndReadsTheSameBytes) {
    // Lengths around the block and group boundaries: none, one byte, one
    // block, and several groups of blocks, whole or with a partial last one
    // (which the sort stage refuses: its zero padding has no empty row).
    for (const std::size_t size : {0, 1, 16384, 16384 * 53, 16384 * 53 + 901}) {
        const Bytes data = Sample(size, static_cast<std::uint32_t>(size) + 7);
        for (const char* mode : {"wb", "wbh", "wbs"}) {
            if (mode[2] == 's' && size % BlockSize != 0)
                continue;
            const Bytes single = Write(data, mode, 1);
            for (const int threads : {2, 3, 8}) {
                ASSERT_EQ(Write(data, mode, threads), single) << mode << " size " << size << " threads " << threads;
                std::string failure;
                EXPECT_EQ(ReadAll(single, threads, &failure), data) << mode << " threads " << threads;
                EXPECT_EQ(failure, "");
            }
        }
    }
}

TEST_F(ParallelStreamTest, SeeksBetweenSequentialReads) {
    const Bytes data = Sample(16384 * 70 + 5, 21);
    const Bytes file = Write(data, "wb", 1);
    test::WriteFile("seek.lzx", std::string(file.begin(), file.end()));
    HILE* stream = Hopen("seek.lzx", "rb", {2});
    samples::Random random(5);
    for (int round = 0; round < 30; ++round) {
        // Far seeks, seeks inside the current block and inside the blocks
        // read ahead, each followed by a long sequential read.
        const int at = round % 3 == 0 ? random.Below(static_cast<int>(data.size()))
                                      : std::min(Htell(stream) + random.Below(16384 * 3), static_cast<int>(data.size()) - 1);
        Hseek(stream, at);
        Bytes piece(static_cast<std::size_t>(random.Below(16384 * 20) + 1));
        const int n = Hread(piece.data(), static_cast<int>(piece.size()), stream);
        ASSERT_EQ(n, std::min<int>(static_cast<int>(piece.size()), static_cast<int>(data.size()) - at));
        ASSERT_TRUE(std::equal(piece.begin(), piece.begin() + n, data.begin() + at)) << "round " << round;
    }
    // To the end byte by byte: then -1 and the end flag.
    Hseek(stream, static_cast<int>(data.size()) - 3);
    for (int i = 3; i > 0; --i)
        EXPECT_EQ(Hgetc(stream), data[data.size() - static_cast<std::size_t>(i)]);
    EXPECT_EQ(Hgetc(stream), -1);
    EXPECT_EQ(Heof(stream), 1);
    Hclose(stream);
}

// The record offsets of a stream file, from its index.
std::vector<int> Records(const Bytes& file) {
    const int index = static_cast<int>(Load32(file.data() + 4));
    std::vector<int> offsets;
    for (std::size_t at = static_cast<std::size_t>(index); at + 4 <= file.size(); at += 4)
        offsets.push_back(static_cast<int>(Load32(file.data() + at)));
    return offsets;
}

TEST_F(ParallelStreamTest, DamageIsReportedAtItsBlockAfterEverythingBefore) {
    const Bytes data = Sample(16384 * 45, 33);
    const Bytes good = Write(data, "wb", 1);
    const std::vector<int> records = Records(good);
    ASSERT_EQ(records.size(), 45u);

    struct Damage {
        const char* what;
        int block;
        void (*apply)(Bytes& file, int record);
    };
    const Damage damages[] = {
        // Found while the record is read ahead.
        {"bit count", 20, [](Bytes& file, int record) { Store32(file.data() + record, 0xFFFFFFF0u); }},
        // Found while a coding thread decodes it.
        {"coded data", 21,
         [](Bytes& file, int record) {
             for (int i = 4; i < 40; ++i)
                 file[static_cast<std::size_t>(record + i)] ^= 0x5A;
         }},
        // Two damaged blocks in one group: the first one counts.
        {"two blocks", 30,
         [](Bytes& file, int record) {
             Store32(file.data() + record, 0x7FFFFFFFu);
             Store32(file.data() + record + 40, 0x12345678u);
         }},
    };
    for (const Damage& damage : damages) {
        Bytes file = good;
        damage.apply(file, records[static_cast<std::size_t>(damage.block)]);
        std::string single;
        const Bytes expected = ReadAll(file, 1, &single);
        ASSERT_NE(single, "") << damage.what;
        ASSERT_GE(expected.size(), static_cast<std::size_t>(damage.block) * BlockSize) << damage.what;
        for (const int threads : {2, 4}) {
            std::string report;
            EXPECT_EQ(ReadAll(file, threads, &report), expected) << damage.what << " threads " << threads;
            EXPECT_EQ(report, single) << damage.what;
        }
    }
}

TEST_F(ParallelStreamTest, ACutBitCountGivesOneReportForEveryThreadCount) {
    // A bit count cut short makes the decoder read on past the record's
    // bytes, into whatever the codec's buffer held before: the report must
    // not depend on which thread decodes it or which block it decoded last.
    const Bytes data = Sample(16384 * 40, 51);
    for (const char* mode : {"wb", "wbh"}) {
        const Bytes good = Write(data, mode, 1);
        const std::vector<int> records = Records(good);
        for (const int block : {3, 18, 33}) {
            const int record = records[static_cast<std::size_t>(block)];
            const int bits = static_cast<int>(Load32(good.data() + record));
            for (const int cut : {0, 9, 40, 77, 150, 199, bits - 5}) {
                Bytes file = good;
                Store32(file.data() + record, static_cast<std::uint32_t>(cut));
                std::string single;
                ReadAll(file, 1, &single);
                ASSERT_NE(single, "") << mode << " block " << block << " bits " << cut;
                for (const int threads : {2, 3, 4}) {
                    std::string report;
                    ReadAll(file, threads, &report);
                    EXPECT_EQ(report, single) << mode << " block " << block << " bits " << cut << " threads " << threads;
                }
                // Straight to the block, after other blocks were decoded.
                std::string seeked;
                try {
                    HILE* stream = Hopen("read.lzx", "rb");
                    Hseek(stream, 16384 * 39);
                    Hseek(stream, 16384 * block);
                } catch (const Failure& report) {
                    seeked = report.what();
                    HileReleaseAll();
                }
                EXPECT_EQ(seeked, single) << mode << " block " << block << " bits " << cut << " seek";
            }
        }
    }
}

TEST_F(ParallelStreamTest, AnUnpackableBlockStopsTheFileWhereOneThreadStops) {
    // Block 27 has no row of 0xFF bytes: the sort stage refuses it.
    Bytes data = Sample(16384 * 40, 45);
    std::fill_n(data.begin() + 16384 * 27, 16384, 0x11);
    std::string single;
    const Bytes expected = Write(data, "wbs", 1, &single);
    EXPECT_EQ(single, "SorPack: no empty rows");
    for (const int threads : {2, 5}) {
        std::string report;
        EXPECT_EQ(Write(data, "wbs", threads, &report), expected) << threads;
        EXPECT_EQ(report, single);
    }
}

// Two streams at once, each written and read back on a thread of its own,
// one with coding threads of its own as well: each must give the file a
// stream alone gives, and report the progress of its own blocks only.
thread_local int ProgressCalls = 0;

struct StreamRun {
    const Bytes* data;
    const char* mode;
    std::string name;
    int threads;
    Bytes back;
    int calls = 0;
};

void RunStream(void* context) {
    auto& run = *static_cast<StreamRun*>(context);
    const HileOptions options{run.threads, [](const HILE*) { ++ProgressCalls; }};
    HILE* out = Hopen(run.name.c_str(), run.mode, options);
    Hwrite(run.data->data(), static_cast<int>(run.data->size()), out);
    Hclose(out);
    HILE* in = Hopen(run.name.c_str(), "rb", options);
    run.back.resize(run.data->size());
    Hread(run.back.data(), static_cast<int>(run.back.size()), in);
    Hclose(in);
    run.calls = ProgressCalls;
}

TEST_F(ParallelStreamTest, TwoStreamsOnTwoThreadsShareNothing) {
    const Bytes data = Sample(16384 * 40, 9);
    const Bytes other = Sample(16384 * 25, 10);
    for (const char* mode : {"wb", "wbh", "wbs"}) {
        StreamRun runs[2] = {{&data, mode, "one.lzx", 1, {}}, {&other, mode, "two.lzx", 3, {}}};
        OsHandle threads[2];
        for (int i = 0; i < 2; ++i)
            threads[i] = OsThreadStart(RunStream, &runs[i]);
        for (const OsHandle thread : threads)
            OsThreadJoin(thread);
        for (StreamRun& run : runs) {
            EXPECT_EQ(run.back, *run.data) << mode << " " << run.name;
            EXPECT_EQ(run.calls, 2 * static_cast<int>(run.data->size() / BlockSize)) << mode << " " << run.name;
            const std::string file = test::ReadFile(run.name);
            EXPECT_EQ(Bytes(file.begin(), file.end()), Write(*run.data, mode, 1)) << mode << " " << run.name;
        }
    }
}

}  // namespace
