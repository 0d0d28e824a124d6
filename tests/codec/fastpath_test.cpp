// The fast paths of the codec against the plain forms they stand for: the
// packer's match search (its hash chains too) against LzxMatch's search of
// the whole window, the word-wise run-length stage
// against a byte-by-byte one, the LZ item loops against PlainLzxUnpack, the
// Huffman method's loops against PlainHufUnpack, the
// sort chain against SorBestRow, and the table decoders on codes with long
// and missing codes. Each fast path must give the same bytes, and on
// damaged data the same report.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "codec/samples.h"
#include "codec/test_codec.h"
#include "support.h"

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

// Real machine code: this test program's own bytes.
Bytes OwnProgram() {
    std::ifstream file(test::ProgramFile(), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// len bytes of program from a place of random's choice.
Bytes Slice(const Bytes& program, samples::Random& random, int len) {
    const auto at = program.begin() + random.Below(static_cast<int>(program.size()) - len);
    return Bytes(at, at + len);
}

// Stage data for the run-length expansion: units that expand to exactly
// 16384 bytes, plain bytes 1 to 7 times as often as counted units (machine
// code has about as many of each); from round 3 on every third one damaged:
// a byte changed, or the length moved.
Bytes RunLengthUnits(std::uint32_t round, int* m) {
    samples::Random random(round);
    const int plainShare = 1 + static_cast<int>(round % 7);
    Bytes stage;
    for (int written = 0; written < BlockSize;) {
        if (random.Below(plainShare + 1) != 0) {
            stage.push_back(static_cast<std::uint8_t>(random.Below(2) ? random.Below(128) : 0x90 + random.Below(112)));
            ++written;
        } else {
            const int copies = 1 + random.Below(std::min(16, BlockSize - written));
            stage.push_back(static_cast<std::uint8_t>(copies + 127));
            stage.push_back(static_cast<std::uint8_t>(random.Next() >> 24));
            written += copies;
        }
    }
    *m = static_cast<int>(stage.size());
    if (round >= 3 && round % 3 == 0) {
        if (random.Below(2))
            stage[static_cast<std::size_t>(random.Below(*m))] = static_cast<std::uint8_t>(0x80 + random.Below(32));
        else
            *m += random.Below(41) - 20;
    }
    stage.resize(stage.size() + 64, 0x8F);  // stale count bytes behind the stage
    return stage;
}

class FastPathTest : public ::testing::Test {
protected:
    std::unique_ptr<TestCodec> owner = std::make_unique<TestCodec>();
    TestCodec& codec = *owner;

    // The coded bytes of this codec's block (nbits of them), damaged: up to
    // three bits flipped anywhere, and in a third of the cases the bit count
    // moved, so that the fast loops hand over to the careful ones at every
    // kind of place.
    Bytes Damaged(samples::Random& random, int* nbits) const {
        Bytes bits(codec.BitBuf, codec.BitBuf + (*nbits + 7) / 8);
        for (int flips = random.Below(4); flips > 0; --flips)
            bits[static_cast<std::size_t>(random.Below(static_cast<int>(bits.size())))] ^=
                static_cast<std::uint8_t>(1 << random.Below(8));
        if (random.Below(3) == 0)
            *nbits += random.Below(81) - 40;
        return bits;
    }

    // What the plain form gives: a report, or the stage data.
    struct Decoded {
        std::string failure;
        Bytes bytes;
    };
    Bytes previousBits;  // the block decoded before, and its plain result
    int previousNbits = 0;
    Decoded previous;

    static void ExpectSame(CodecResult result, const TestCodec& codec, int length, const Decoded& plain) {
        if (!plain.failure.empty()) {
            EXPECT_NE(result, CodecResult::Success);
            EXPECT_EQ(std::string(codec.Failure()), plain.failure);
            return;
        }
        EXPECT_EQ(result, CodecResult::Success) << codec.Failure();
        EXPECT_EQ(Bytes(codec.WorkBuf, codec.WorkBuf + length), plain.bytes);
    }

    // Decodes the bits in fresh codecs: with the stage's fast loops, with
    // its plain form, and two at a time, paired with the block before (each
    // leaving the loop they share at a place of its own): the same bytes,
    // or the same report. Answers whether they failed.
    bool DecodeBoth(const Bytes& bits, int nbits, bool huffman) {
        auto fast = std::make_unique<TestCodec>();
        auto plain = std::make_unique<TestCodec>();
        std::copy(bits.begin(), bits.end(), fast->BitBuf);
        std::copy(bits.begin(), bits.end(), plain->BitBuf);
        int fastLength = 0;
        int plainLength = 0;
        const CodecResult result =
            huffman ? fast->TryHufUnpack(nbits, &fastLength) : fast->TryLzxUnpack(nbits, &fastLength);
        Decoded now;
        now.failure =
            huffman ? plain->PlainHufUnpack(nbits, &plainLength) : plain->PlainLzxUnpack(nbits, &plainLength);
        if (now.failure.empty())
            now.bytes.assign(plain->WorkBuf, plain->WorkBuf + plainLength);
        ExpectSame(result, *fast, fastLength, now);

        if (!previousBits.empty()) {
            auto a = std::make_unique<TestCodec>();
            auto b = std::make_unique<TestCodec>();
            std::copy(previousBits.begin(), previousBits.end(), a->BitBuf);
            std::copy(bits.begin(), bits.end(), b->BitBuf);
            const int both[2] = {previousNbits, nbits};
            CodecResult results[2] = {CodecResult::Success, CodecResult::Success};
            int lengths[2] = {0, 0};
            TestCodec::TryUnpackPair(*a, *b, both, huffman, results, lengths);
            ExpectSame(results[0], *a, lengths[0], previous);
            ExpectSame(results[1], *b, lengths[1], now);
        }
        previousBits = bits;
        previousNbits = nbits;
        previous = now;
        return !now.failure.empty();
    }
};

TEST_F(FastPathTest, MatchSearchFindsWhatLzxMatchFinds) {
    const Bytes program = OwnProgram();
    for (std::uint32_t seed = 1; seed <= 7; ++seed) {
        const Bytes data = seed == 7   ? Bytes(program.begin() + 2 * BlockSize, program.begin() + 3 * BlockSize)
                           : seed == 6 ? samples::Text(BlockSize, 9)
                                       : Mixed(seed);
        std::copy(data.begin(), data.end(), codec.WorkBuf);
        codec.LzxPack(BlockSize);  // enters every position into the chains
        for (int pos = 0; pos < BlockSize; ++pos) {
            int plain = -1;
            int fast = -1;
            const int left = BlockSize - pos;
            const int expected = codec.LzxMatch(pos, left, &plain);
            const int found = MatchFinder::Longest(codec.WorkBuf, codec.Finder().Chain(), pos, left, &fast);
            if (expected >= LzMinMatch) {
                ASSERT_EQ(found, expected) << "seed " << seed << " at " << pos;
                ASSERT_EQ(fast, plain) << "seed " << seed << " at " << pos;
            } else {
                ASSERT_EQ(found, 0) << "seed " << seed << " at " << pos;
            }
        }
    }
}

// The items' bits against the same items written a field at a time: the
// code, then L's and D's extra bits, each in a put of its own.
TEST_F(FastPathTest, LzEmitterWritesWhatFieldPutsWrite) {
    const Bytes program = OwnProgram();
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        const Bytes data = seed <= 2 ? Mixed(seed) : Bytes(program.begin() + seed * BlockSize, program.begin() + (seed + 1) * BlockSize);
        std::copy(data.begin(), data.end(), codec.WorkBuf);
        const int nbits = codec.LzxPack(BlockSize);
        Bytes plain(BitBufSize + BitBufSlack);
        BitWriter out(plain.data(), 0);
        for (int i = 0; i < codec.LzItemCount(); ++i) {
            const std::uint32_t item = codec.LzItems()[i];
            const int s = static_cast<int>(item & 0x1FF);
            out.Put(codec.MainTable.length[s], codec.MainTable.code[s]);
            const int lc = s >= 256 ? (s >> 4) & 15 : 0;
            const int dc = s >= 256 ? s & 15 : 0;
            if (lc >= 2)
                out.Put(lc - 1, item >> 9);
            if (dc >= 2)
                out.Put(dc - 1, item >> 17);
        }
        const int itemBits = out.Done();
        BitReader fast(codec.BitBuf, nbits - itemBits);
        BitReader expected(plain.data(), 0);
        for (int at = 0; at < itemBits; at += 16) {
            const int n = std::min(16, itemBits - at);
            ASSERT_EQ(fast.Get(n), expected.Get(n)) << "seed " << seed << " at bit " << at;
        }
    }
}

TEST_F(FastPathTest, RunLengthStageMatchesTheByteRule) {
    const Bytes program = OwnProgram();
    ASSERT_GT(program.size(), std::size_t{8 * BlockSize});
    for (std::uint32_t seed = 1; seed <= 48; ++seed) {
        // Mixed data, and from seed 41 on the blocks of real machine code.
        Bytes data = seed <= 40 ? Mixed(seed)
                                : Bytes(program.begin() + (seed - 41) * BlockSize, program.begin() + (seed - 40) * BlockSize);
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

TEST_F(FastPathTest, RunLengthExpansionMatchesThePlainRule) {
    int failed = 0;
    for (std::uint32_t round = 1; round <= 300; ++round) {
        int m;
        const Bytes stage = RunLengthUnits(round, &m);
        std::copy(stage.begin(), stage.end(), codec.WorkBuf);
        Bytes fast(BlockSize), plain(BlockSize);
        const CodecResult result = codec.TryRleUnpack(m, fast.data());
        const std::string failure = TestCodec::PlainRleUnpack(stage.data(), m, plain.data());
        if (failure.empty()) {
            ASSERT_EQ(result, CodecResult::Success) << "round " << round << ": " << codec.Failure();
            ASSERT_EQ(fast, plain) << "round " << round;
        } else {
            ++failed;
            ASSERT_NE(result, CodecResult::Success) << "round " << round;
            ASSERT_EQ(codec.Failure(), failure) << "round " << round;
        }
    }
    EXPECT_GT(failed, 30);  // the damage reached the tests
}

TEST_F(FastPathTest, LzItemLoopsMatchThePlainDecoder) {
    // Blocks of mixed data, of machine-code-like data and of this program,
    // run-length coded and packed as a stream does; from round 4 on most
    // are damaged. The last rounds are references crafted to reach the block's start.
    const Bytes program = OwnProgram();
    ASSERT_GT(program.size(), std::size_t{4 * BlockSize});
    int failed = 0;
    for (std::uint32_t round = 1; round <= 150; ++round) {
        samples::Random random(round);
        Bytes data;
        if (round % 3 == 0)
            data = Slice(program, random, BlockSize);
        else
            data = round % 3 == 1 ? Mixed(round) : samples::Code(BlockSize, round);
        int nbits;
        if (round > 120) {
            // Crafted: literals, then a reference that reaches exactly to
            // the block's first byte or one byte before it, then more
            // literals, so that the fast loop meets the reference.
            const int before = static_cast<int>(round) - 120;
            codec.BitPos = 0;
            codec.LzxInit();
            for (int i = 0; i < before; ++i)
                codec.HufOutLit(i);
            codec.HufOutRef(random.Below(20) + 1, before - 1 + static_cast<int>(round % 2));
            for (int i = 0; i < 200; ++i)
                codec.HufOutLit(i);
            codec.LzxEmit();
            nbits = codec.BitPos;
        } else {
            nbits = codec.LzxPack(codec.RlePack(data.data()));
        }
        const Bytes bits = round >= 4 && round <= 120 ? Damaged(random, &nbits)
                                                      : Bytes(codec.BitBuf, codec.BitBuf + (nbits + 7) / 8);
        SCOPED_TRACE("round " + std::to_string(round));
        failed += DecodeBoth(bits, nbits, false);
        if (HasFailure())
            return;
    }
    EXPECT_GT(failed, 30);
}

TEST_F(FastPathTest, HuffmanLoopsMatchThePlainDecoder) {
    // Stage data of every length up to twice a block (the run-length form
    // can be longer than the block), from mixed data, machine-code-like
    // data, this program and byte counts that give codes past the fast
    // table; from round 4 on most are damaged.
    const Bytes program = OwnProgram();
    ASSERT_GT(program.size(), std::size_t{4 * BlockSize});
    int failed = 0;
    for (std::uint32_t round = 1; round <= 120; ++round) {
        samples::Random random(round);
        const int len = round % 5 == 0 ? WorkBufSize - random.Below(64) : random.Below(BlockSize) + 1;
        Bytes data;
        switch (round % 4) {
        case 0:
            data = Slice(program, random, len);
            break;
        case 1:
            data = Mixed(round);
            break;
        case 2:
            data = samples::Code(static_cast<std::size_t>(len), round);
            break;
        default:  // byte counts that double, for long codes
            for (int v = 0; data.size() < static_cast<std::size_t>(len); ++v)
                data.insert(data.end(), std::size_t{1} << (v % 15), static_cast<std::uint8_t>(v * 7));
        }
        data.resize(static_cast<std::size_t>(len), 0x41);
        std::copy(data.begin(), data.end(), codec.WorkBuf);
        int nbits = codec.HufPack(len);
        const Bytes bits = round >= 4 ? Damaged(random, &nbits) : Bytes(codec.BitBuf, codec.BitBuf + (nbits + 7) / 8);
        SCOPED_TRACE("round " + std::to_string(round));
        failed += DecodeBoth(bits, nbits, true);
        if (HasFailure())
            return;
    }
    EXPECT_GT(failed, 10);
}

TEST_F(FastPathTest, MixedBlocksRoundTripUnderEveryFlag) {
    // Overlapping copies at every short distance, runs across word
    // boundaries, count bytes: the decoders' word copies and the word-wise
    // expansion must rebuild every byte, alone and two records at once
    // (each seed's with the one before; a record cut short fails alone).
    Bytes before[4];
    std::vector<std::uint8_t> previous[4];
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        Bytes data = Mixed(seed * 31);
        std::fill_n(data.begin() + 64 * static_cast<int>(seed), SortRowBytes, 0xFF);
        for (const int flags : {0, 1, 2, 3}) {
            std::vector<std::uint8_t> record(Codec::MaxRecordSize);
            const int size = codec.EncodeBlock(data.data(), flags, record.data());
            record.resize(static_cast<std::size_t>(size));
            auto other = std::make_unique<TestCodec>();
            Bytes back(BlockSize);
            ASSERT_EQ(other->DecodeBlock(record.data(), size, back.data(), flags), size);
            ASSERT_EQ(back, data) << "seed " << seed << " flags " << flags;
            if (seed > 1) {
                const int cut = seed % 3 == 0 ? size / 2 : size;
                Bytes first(BlockSize), second(BlockSize);
                Codec::BlockJob a{previous[flags].data(), static_cast<int>(previous[flags].size()), first.data(), 0,
                                  CodecResult::Success};
                Codec::BlockJob b{record.data(), cut, second.data(), 0, CodecResult::Success};
                BlockDecoder::DecodeBlockPair(*other, codec, a, b, flags);
                ASSERT_EQ(a.result, CodecResult::Success) << "seed " << seed << " flags " << flags;
                ASSERT_EQ(a.used, static_cast<int>(previous[flags].size()));
                ASSERT_EQ(first, before[flags]) << "seed " << seed << " flags " << flags;
                ASSERT_EQ(b.result, cut == size ? CodecResult::Success : CodecResult::BadData) << "seed " << seed;
                if (cut == size)
                    ASSERT_EQ(second, data) << "seed " << seed << " flags " << flags;
                else
                    ASSERT_STREQ(codec.Failure(), "DecodeBlock: record cut short");
            }
            before[flags] = data;
            previous[flags] = record;
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
