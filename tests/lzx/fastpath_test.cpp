// The fast paths of the codec against the plain forms they stand for: the
// packer's match search against LzxMatch, the word-wise run-length stage
// against a byte-by-byte one, the sort chain against SorBestRow, and the
// table decoders on codes with long and missing codes. Each fast path must
// give the same bytes.
#include <memory>
#include <vector>

#include "tests/lzx/samples.h"
#include "tests/lzx/test_codec.h"
#include "tests/support.h"

using samples::Bytes;

namespace {

// Data that exercises matches and runs of every length: pieces copied from
// nearby (overlapping too), runs of one byte, count bytes, noise.
Bytes Mixed(std::uint32_t seed) {
    samples::Random random(seed);
    Bytes data;
    while (data.size() < BlockSize) {
        switch (random.Below(5)) {
        case 0:
            data.insert(data.end(), static_cast<std::size_t>(random.Below(40) + 1),
                        static_cast<std::uint8_t>(random.Below(3) == 0 ? 0x80 + random.Below(16) : random.Below(4)));
            break;
        case 1:
        case 2:
            if (data.size() > 8) {
                const std::size_t distance = static_cast<std::size_t>(random.Below(static_cast<int>(std::min<std::size_t>(data.size(), 1200)))) + 1;
                const int length = random.Below(300) + 1;
                for (int i = 0; i < length; ++i)
                    data.push_back(data[data.size() - distance]);
            }
            break;
        default:
            for (int i = random.Below(30); i >= 0; --i)
                data.push_back(static_cast<std::uint8_t>(random.Next() >> 24));
        }
    }
    data.resize(BlockSize);
    return data;
}

// The run-length stage byte by byte, as its rule reads.
Bytes PlainRunLength(const Bytes& data) {
    Bytes out;
    for (std::size_t p = 0; p < data.size();) {
        std::size_t r = 1;
        while (r < 16 && p + r < data.size() && data[p + r] == data[p])
            ++r;
        const std::size_t n = r >= 3 ? r : 1;
        if (n > 1 || (data[p] & 0xF0) == 0x80)
            out.push_back(static_cast<std::uint8_t>(n + 127));
        out.push_back(data[p]);
        p += n;
    }
    return out.size() < data.size() ? out : data;
}

class FastPathTest : public ::testing::Test {
protected:
    std::unique_ptr<TestCodec> owner = std::make_unique<TestCodec>();
    TestCodec& codec = *owner;
};

TEST_F(FastPathTest, MatchSearchFindsWhatLzxMatchFinds) {
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        const Bytes data = seed == 6 ? samples::Text(BlockSize, 9) : Mixed(seed);
        std::copy(data.begin(), data.end(), codec.WorkBuf);
        codec.LzxPack(BlockSize);  // enters every position into the chains
        for (int pos = 0; pos < BlockSize; ++pos) {
            int plain = -1;
            int fast = -1;
            const int left = BlockSize - pos;
            const int expected = codec.LzxMatch(pos, left, &plain);
            const int found = codec.LongestMatch(pos, left, &fast);
            if (expected >= LzMinMatch) {
                ASSERT_EQ(found, expected) << "seed " << seed << " at " << pos;
                ASSERT_EQ(fast, plain) << "seed " << seed << " at " << pos;
            } else {
                ASSERT_EQ(found, 0) << "seed " << seed << " at " << pos;
            }
        }
    }
}

TEST_F(FastPathTest, RunLengthStageMatchesTheByteRule) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        Bytes data = Mixed(seed);
        if (seed % 4 == 0)  // a run across the end of the block
            std::fill(data.end() - 21, data.end(), 0x8A);
        const Bytes expected = PlainRunLength(data);
        const int m = codec.RlePack(data.data());
        ASSERT_EQ(Bytes(codec.WorkBuf, codec.WorkBuf + m), expected) << "seed " << seed;
        Bytes back(BlockSize);
        codec.RleUnpack(m, back.data());
        ASSERT_EQ(back, data) << "seed " << seed;
    }
}

TEST_F(FastPathTest, MixedBlocksRoundTripUnderEveryFlag) {
    // Overlapping copies at every short distance, runs across word
    // boundaries, count bytes: the decoders' word copies and the word-wise
    // expansion must rebuild every byte.
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        Bytes data = Mixed(seed * 31);
        std::fill_n(data.begin() + 64 * static_cast<int>(seed), SortRowBytes, 0xFF);
        for (const int flags : {0, 1, 2, 3}) {
            std::vector<std::uint8_t> record(Codec::MaxRecordSize);
            const int size = codec.EncodeBlock(data.data(), flags, record.data());
            auto other = std::make_unique<TestCodec>();
            Bytes back(BlockSize);
            ASSERT_EQ(other->DecodeBlock(record.data(), size, back.data(), flags), size);
            ASSERT_EQ(back, data) << "seed " << seed << " flags " << flags;
        }
    }
}

TEST_F(FastPathTest, SortChainIsTheChainOfNearestRows) {
    for (std::uint32_t seed = 1; seed <= 8; ++seed) {
        // Rows from a small alphabet, so that distances tie often.
        samples::Random random(seed);
        Bytes data(BlockSize);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(random.Below(seed % 2 ? 2 : 5));
        for (int row = 3; row < SortRows; row += 5 + static_cast<int>(seed))
            std::fill_n(data.begin() + row * SortRowBytes, SortRowBytes, 0xFF);
        std::uint8_t order[SortRows];
        Bytes out(BlockSize);
        const int n = codec.SorPack(data.data(), out.data(), order);

        // The chain again, one brute-force step at a time.
        auto check = std::make_unique<TestCodec>();
        std::copy(data.begin(), data.end(), check->SortGrid);
        ASSERT_EQ(check->SorMarkEmpty(), n);
        int r = 0;
        while (!check->RowDone[r])
            ++r;
        for (int k = 0; k < n; ++k) {
            const int choice = check->SorBestRow(r);
            ASSERT_EQ(order[k], choice) << "seed " << seed << " step " << k;
            check->RowDone[choice] = 1;
            r = choice;
        }
    }
}

TEST_F(FastPathTest, LongCodesAndBothMethodsRoundTrip) {
    // Codes far longer than the 12 bits of the fast table, whose rare
    // symbols must come through the second-level tables. Huffman method:
    // byte counts that follow the Fibonacci numbers, shuffled, give a tree
    // of the greatest depth. LZ method: noise with a few short references of
    // scattered classes, each class rare among 256 common literals.
    samples::Random random(3);
    Bytes fibonacci;
    for (int v = 0, a = 1, b = 1; fibonacci.size() < BlockSize; ++v, b += a, a = b - a)
        fibonacci.insert(fibonacci.end(), static_cast<std::size_t>(a), static_cast<std::uint8_t>(v * 11));
    fibonacci.resize(BlockSize);
    for (std::size_t i = fibonacci.size() - 1; i > 0; --i)
        std::swap(fibonacci[i], fibonacci[static_cast<std::size_t>(random.Below(static_cast<int>(i) + 1))]);
    Bytes noise = samples::RandomBytes(BlockSize, 8);
    for (int at = 1100; at + 10 < BlockSize; at += 150 + random.Below(100)) {
        const int distance = random.Below(1024) + 1;
        for (int i = random.Below(7) + 4; i > 0; --i, ++at)
            noise[static_cast<std::size_t>(at)] = noise[static_cast<std::size_t>(at - distance)];
    }

    for (const int flags : {0, 1}) {
        const Bytes& data = flags ? fibonacci : noise;
        std::vector<std::uint8_t> record(Codec::MaxRecordSize);
        const int size = codec.EncodeBlock(data.data(), flags, record.data());
        int longest = 0;
        for (int s = 0; s < codec.MainTable.symbolCount; ++s)
            longest = std::max<int>(longest, codec.MainTable.length[s]);
        EXPECT_GT(longest, FastBits) << flags;
        auto other = std::make_unique<TestCodec>();
        Bytes back(BlockSize);
        EXPECT_EQ(other->DecodeBlock(record.data(), size, back.data(), flags), size);
        EXPECT_EQ(back, data) << flags;
    }
}

}  // namespace
