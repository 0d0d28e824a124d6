// Block records: round trips under every flag value, the record layout, and
// damaged records, which the codec must refuse with a report and nothing
// worse.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "stream_file.h"
#include "codec/samples.h"
#include "codec.h"
#include "support.h"

using samples::Bytes;
using test::FatalExit;
using test::FatalReport;

namespace {

class BlockTest : public test::FileTest {
protected:
    std::unique_ptr<Codec> owner = std::make_unique<Codec>();
    Codec& codec = *owner;

    std::string RecordName() const { return dir / "record.bin"; }

    Bytes PackRecord(const Bytes& block, int flags) {
        FileRec file;
        DoFopen(RecordName().c_str(), "wb", &file);
        BlockPack(codec, block.data(), &file, flags);
        DoFclose(&file);
        const std::string bytes = test::ReadFile(RecordName());
        return Bytes(bytes.begin(), bytes.end());
    }

    // Decodes a record in a codec of its own; also checks that the whole
    // record was consumed.
    Bytes UnpackRecord(const Bytes& record, int flags) {
        test::WriteFile(RecordName(), std::string(record.begin(), record.end()));
        auto reader = std::make_unique<Codec>();
        Bytes block(BlockSize);
        FileRec file;
        DoFopen(RecordName().c_str(), "rb", &file);
        BlockUnpack(*reader, &file, block.data(), flags);
        EXPECT_EQ(DoFtell(&file), static_cast<int>(record.size()));
        DoFclose(&file);
        return block;
    }

    // Decodes a record in memory with the given codec.
    static Bytes UnpackWith(Codec& decoder, const Bytes& record, int flags) {
        Bytes block(BlockSize);
        int used = 0;
        EXPECT_EQ(decoder.DecodeBlock(record.data(), static_cast<int>(record.size()), block.data(), flags, &used),
                  CodecResult::Success);
        EXPECT_EQ(used, static_cast<int>(record.size()));
        return block;
    }

    static Bytes SortFriendly(const Bytes& block) {
        Bytes copy = block;
        for (int r = 3; r < SortRows; r += 7)
            std::fill(copy.begin() + r * SortRowBytes, copy.begin() + (r + 1) * SortRowBytes, 0xFF);
        return copy;
    }

    std::vector<std::pair<std::string, Bytes>> Blocks() {
        Bytes half(BlockSize, 0);
        std::copy_n(samples::Text(BlockSize / 2, 8).begin(), BlockSize / 2, half.begin());
        Bytes escapes(BlockSize);
        for (int i = 0; i < BlockSize; ++i)
            escapes[i] = static_cast<std::uint8_t>(0x80 + (i * 7) % 16);
        return {
            {"text", samples::Text(BlockSize, 1)},   {"code", samples::Code(BlockSize, 2)},
            {"random", samples::RandomBytes(BlockSize, 3)}, {"zeros", Bytes(BlockSize, 0)},
            {"ff", Bytes(BlockSize, 0xFF)},          {"rows", samples::Rows(BlockSize, 4)},
            {"half", half},                          {"escapes", escapes},
        };
    }
};

TEST_F(BlockTest, EveryFlagValueRoundTrips) {
    for (int flags = 0; flags < 4; ++flags) {
        for (const auto& [name, raw] : Blocks()) {
            const Bytes block = (flags & FlagSort) ? SortFriendly(raw) : raw;
            const Bytes record = PackRecord(block, flags);
            EXPECT_EQ(UnpackRecord(record, flags), block) << name << " flags " << flags;
        }
    }
}

TEST_F(BlockTest, RecordLayout) {
    const Bytes text = samples::Text(BlockSize, 1);
    Bytes record = PackRecord(text, 0);
    const std::int32_t nbits = static_cast<std::int32_t>(Load32(record.data()));
    EXPECT_EQ(record.size(), 4u + (static_cast<std::size_t>(nbits) + 7) / 8);
    if (nbits % 8) {
        EXPECT_EQ(record.back() >> (nbits % 8), 0);  // the padding bits are zero
    }

    // Random data does not shrink: stored form, every byte a literal of
    // about 8 bits.
    record = PackRecord(samples::RandomBytes(BlockSize, 3), 0);
    EXPECT_GT(Load32(record.data()), 8u * BlockSize - BlockSize / 8);

    // With the sort flag: the row count and row order come first, naming
    // every row that is not empty once.
    Bytes rows = samples::Rows(BlockSize, 4);
    std::fill_n(rows.begin() + 5 * SortRowBytes, SortRowBytes, SortEmptyByte);
    record = PackRecord(rows, FlagSort | FlagHuffman);
    const int n = record[0];
    Bytes named(record.begin() + 1, record.begin() + 1 + n);
    std::sort(named.begin(), named.end());
    Bytes used;
    for (int r = 0; r < SortRows; ++r) {
        if (std::any_of(rows.begin() + r * SortRowBytes, rows.begin() + (r + 1) * SortRowBytes,
                        [](std::uint8_t b) { return b != SortEmptyByte; }))
            used.push_back(static_cast<std::uint8_t>(r));
    }
    EXPECT_EQ(named, used);
    const std::int32_t sortedBits = static_cast<std::int32_t>(Load32(record.data() + 1 + n));
    EXPECT_EQ(record.size(), 1u + n + 4 + (static_cast<std::size_t>(sortedBits) + 7) / 8);

    // An empty block with the sort flag: no rows at all.
    record = PackRecord(Bytes(BlockSize, 0xFF), FlagSort);
    EXPECT_EQ(record[0], 0);
}

TEST_F(BlockTest, PackingDoesNotDependOnEarlierBlocks) {
    const Bytes text = samples::Text(BlockSize, 1);
    for (int flags = 0; flags < 4; ++flags) {
        const Bytes block = (flags & FlagSort) ? SortFriendly(text) : text;
        const Bytes first = PackRecord(block, flags);
        PackRecord(SortFriendly(samples::RandomBytes(BlockSize, 9)), flags);
        PackRecord(Bytes(BlockSize, 0xFF), flags);
        EXPECT_EQ(PackRecord(block, flags), first) << "flags " << flags;
    }
}

TEST_F(BlockTest, BadBitCountsAndShortRecords) {
    Bytes record = PackRecord(samples::Text(BlockSize, 1), 0);
    const std::string name = RecordName();
    Bytes bad = record;
    Store32(bad.data(), 0xFFFFFFFFu);
    EXPECT_EXIT(UnpackRecord(bad, 0), FatalExit(), FatalReport("BlockUnpack: bad bit count -1 in [" + name + "]"));
    Store32(bad.data(), BitLimit + 1);
    EXPECT_EXIT(UnpackRecord(bad, 0), FatalExit(),
                FatalReport("BlockUnpack: bad bit count 262113 in [" + name + "]"));

    Bytes shortRecord(record.begin(), record.end() - 1);
    EXPECT_EXIT(UnpackRecord(shortRecord, 0), FatalExit(),
                FatalReport("LZX DoFread failed [" + name + ", " + std::to_string(record.size() - 4) + "]"));
    EXPECT_EXIT(UnpackRecord(Bytes{1, 0}, 0), FatalExit(), FatalReport("LZX DoFread failed [" + name + ", 4]"));
}

// Decodes a damaged record in memory, where the codec answers for itself:
// each must decode or be refused with a report, and never read or write
// outside a buffer (the sanitizers watch). Answers whether it was refused.
bool Refused(Codec& codec, const Bytes& damaged, int flags) {
    Bytes block(BlockSize);
    int used = 0;
    if (codec.DecodeBlock(damaged.data(), static_cast<int>(damaged.size()), block.data(), flags, &used) ==
        CodecResult::Success)
        return false;
    EXPECT_NE(std::string(codec.Failure()), "");
    return true;
}

TEST_F(BlockTest, DamagedRecordsAreRefusedWithAReport) {
    samples::Random random(2024);
    int refused = 0;
    for (int flags = 0; flags < 4; ++flags) {
        for (const auto& [name, raw] : Blocks()) {
            const Bytes block = (flags & FlagSort) ? SortFriendly(raw) : raw;
            const Bytes record = PackRecord(block, flags);
            for (int round = 0; round < 40; ++round) {
                Bytes damaged = record;
                switch (round % 4) {
                case 0:  // truncated
                    damaged.resize(static_cast<std::size_t>(random.Below(static_cast<int>(record.size()))));
                    break;
                case 1:  // one bit flipped
                    damaged[random.Below(static_cast<int>(damaged.size()))] ^= 1 << random.Below(8);
                    break;
                case 2:  // a burst of damage
                    for (int i = 0; i < 8; ++i)
                        damaged[random.Below(static_cast<int>(damaged.size()))] = static_cast<std::uint8_t>(random.Next());
                    break;
                case 3: {  // the bit count off by a little
                    const std::size_t at = (flags & FlagSort) ? 1 + record[0] : 0;
                    const std::int32_t nbits = static_cast<std::int32_t>(Load32(record.data() + at));
                    Store32(damaged.data() + at, static_cast<std::uint32_t>(nbits + random.Below(33) - 16));
                    break;
                }
                }
                refused += Refused(codec, damaged, flags);
            }
            // A refusal leaves nothing behind: the same codec decodes the
            // good record next.
            ASSERT_EQ(UnpackWith(codec, record, flags), block) << name << " flags " << flags;
        }
    }
    EXPECT_GT(refused, 0);
}

TEST_F(BlockTest, DamageToTheTableSectionIsCaught) {
    // Lengths that collide (1, 1, 2, ...) or overcount: decoding must stay in
    // bounds whatever the table says.
    samples::Random random(77);
    const Bytes record = PackRecord(samples::Text(BlockSize, 1), FlagHuffman);
    int refused = 0;
    for (int round = 0; round < 200; ++round) {
        Bytes damaged = record;
        const int bit = 4 * 8 + random.Below(400);  // inside the table section
        damaged[bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
        refused += Refused(codec, damaged, FlagHuffman);
    }
    EXPECT_GT(refused, 0);
}

}  // namespace
