// The stages of a block: Huffman method, run-length, LZ and sort.
#include <memory>
#include <string>
#include <vector>

#include "codec/samples.h"
#include "codec/test_codec.h"
#include "support.h"

using samples::Bytes;
using test::FatalExit;
using test::FatalReport;

namespace {

class StageTest : public ::testing::Test {
protected:
    std::unique_ptr<TestCodec> owner = std::make_unique<TestCodec>();
    TestCodec& codec = *owner;

    void Load(const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), codec.WorkBuf);
    }

    Bytes Work(int count) const {
        return Bytes(codec.WorkBuf, codec.WorkBuf + count);
    }

    // Copies the coded bits of this codec into a fresh one and decodes there,
    // so that nothing but the bits can carry the data across.
    Bytes Decode(int nbits, bool huffman) {
        auto other = std::make_unique<TestCodec>();
        std::memcpy(other->BitBuf, codec.BitBuf, (static_cast<std::size_t>(nbits) + 7) / 8);
        const int m = huffman ? other->HufUnpack(nbits) : other->LzxUnpack(nbits);
        return Bytes(other->WorkBuf, other->WorkBuf + m);
    }
};

// ---- Huffman method ------------------------------------------------------

TEST_F(StageTest, HuffmanBitCounts) {
    Load(Bytes(16384, 0));
    EXPECT_EQ(codec.HufPack(16384), 16494);
    EXPECT_EQ(codec.BitPos, 2062 * 8);
    EXPECT_EQ(Decode(16494, true), Bytes(16384, 0));

    EXPECT_EQ(codec.HufPack(0), 110);
    EXPECT_EQ(Decode(110, true), Bytes());

    Bytes even(16384);
    for (int i = 0; i < 16384; ++i)
        even[i] = static_cast<std::uint8_t>(i * 37);  // every value 64 times
    Load(even);
    EXPECT_EQ(codec.HufPack(16384), 131409);
    EXPECT_EQ(Decode(131409, true), even);
    EXPECT_EXIT(Decode(131409 - 1, true), FatalExit(), FatalReport("HufUnpack: too many bits read"));
}

TEST_F(StageTest, HuffmanRoundTripsAndIgnoresStaleBuffers) {
    const Bytes inputs[] = {samples::Text(16384, 1), samples::Code(9000, 2), samples::RandomBytes(16384, 3),
                            Bytes{42}};
    for (const Bytes& input : inputs) {
        const int len = static_cast<int>(input.size());
        Load(input);
        const int nbits = codec.HufPack(len);
        const Bytes bits(codec.BitBuf, codec.BitBuf + (nbits + 7) / 8);
        EXPECT_EQ(Decode(nbits, true), input);

        // A codec whose buffers hold garbage codes the same bits.
        auto dirty = std::make_unique<TestCodec>();
        std::memset(dirty->BitBuf, 0xFF, sizeof dirty->BitBuf);
        std::memset(dirty->WorkBuf, 0xFF, sizeof dirty->WorkBuf);
        std::copy(input.begin(), input.end(), dirty->WorkBuf);
        ASSERT_EQ(dirty->HufPack(len), nbits);
        EXPECT_EQ(Bytes(dirty->BitBuf, dirty->BitBuf + bits.size()), bits);
    }
}

TEST_F(StageTest, HuffmanOutputNeverPassesTheWorkBuffer) {
    // One symbol with a 1-bit code and a bit count far beyond any real block.
    Load(Bytes(16384, 0));
    const int nbits = codec.HufPack(16384);
    std::memset(codec.BitBuf + (nbits + 7) / 8, 0, sizeof codec.BitBuf - (nbits + 7) / 8);
    EXPECT_EXIT(Decode(BitLimit, true), FatalExit(), FatalReport("HufUnpack: more than 32768 bytes decoded"));
}

// ---- Run-length stage ----------------------------------------------------

Bytes Block(const Bytes& head) {
    // The head, then runs of a byte that is not in any example.
    Bytes block = head;
    block.resize(16384, 0x33);
    return block;
}

Bytes Prefix(const Bytes& bytes, std::size_t n) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

TEST_F(StageTest, RunLengthExamples) {
    struct Case {
        Bytes in, out;
    };
    const Case cases[] = {
        {{0x41, 0x41, 0x41, 0x41}, {0x83, 0x41}},
        {{0x85}, {0x80, 0x85}},
        {{0x41, 0x41}, {0x41, 0x41}},
        {Bytes(20, 0), {0x8F, 0x00, 0x83, 0x00}},
        {Bytes(17, 0x07), {0x8F, 0x07, 0x07}},
        {{0x80, 0x80}, {0x80, 0x80, 0x80, 0x80}},
    };
    for (const Case& c : cases) {
        const int m = codec.RlePack(Block(c.in).data());
        ASSERT_LT(m, 16384);
        EXPECT_EQ(Prefix(Work(m), c.out.size()), c.out);
        Bytes back(16384);
        codec.RleUnpack(m, back.data());
        EXPECT_EQ(back, Block(c.in));
    }
}

TEST_F(StageTest, RunLengthFormsAndLimits) {
    EXPECT_EQ(codec.RlePack(Bytes(16384, 9).data()), 2048);
    EXPECT_EQ(Prefix(Work(2048), 4), (Bytes{0x8F, 9, 0x8F, 9}));

    // Nothing to gain: stored unchanged, also when escaping would double it.
    Bytes plain(16384), escapes(16384);
    for (int i = 0; i < 16384; ++i) {
        plain[i] = static_cast<std::uint8_t>(i % 2 ? i % 0x70 : 0x90 + i % 0x60);
        escapes[i] = static_cast<std::uint8_t>(0x80 + i % 16);
    }
    EXPECT_EQ(codec.RlePack(plain.data()), 16384);
    EXPECT_EQ(Work(16384), plain);
    EXPECT_EQ(codec.RlePack(escapes.data()), 16384);
    EXPECT_EQ(Work(16384), escapes);

    // A run at the very end is counted in full.
    Bytes tail = Block({});
    std::fill(tail.end() - 5, tail.end(), 0x22);
    const int m = codec.RlePack(tail.data());
    EXPECT_EQ(Work(m)[m - 2], 0x84);
    EXPECT_EQ(Work(m)[m - 1], 0x22);

    // 0x81 is read as two copies, though the packer never writes it.
    Bytes units;
    for (int i = 0; i < 1023; ++i)
        units.insert(units.end(), {0x8F, 1});
    units.insert(units.end(), {0x8D, 2, 0x81, 3});
    Load(units);
    Bytes back(16384);
    codec.RleUnpack(static_cast<int>(units.size()), back.data());
    EXPECT_EQ(back[16383], 3);
    EXPECT_EQ(back[16382], 3);
    EXPECT_EQ(back[16381], 2);
}

TEST_F(StageTest, DamagedRunLengthDataIsFatal) {
    Bytes back(16384);
    EXPECT_EXIT(codec.RleUnpack(16385, back.data()), FatalExit(), FatalReport("RleUnpack: input > output"));

    Bytes units;
    for (int i = 0; i < 1024; ++i)
        units.insert(units.end(), {0x8F, 1});
    units.insert(units.end(), {0x41, 0x41});  // bytes left over
    Load(units);
    EXPECT_EXIT(codec.RleUnpack(static_cast<int>(units.size()), back.data()), FatalExit(),
                FatalReport("RleUnpack: too many bytes read"));

    units.clear();
    for (int i = 0; i < 1024; ++i)  // 1024 runs of 16: exactly full
        units.insert(units.end(), {0x8F, 7});
    Load(units);
    codec.RleUnpack(static_cast<int>(units.size()), back.data());
    units.insert(units.end() - 2, {0x41});  // now the last run crosses the end
    Load(units);
    EXPECT_EXIT(codec.RleUnpack(static_cast<int>(units.size()), back.data()), FatalExit(),
                FatalReport("RleUnpack: too many bytes written"));
}

// ---- LZ stage ------------------------------------------------------------

struct Item {
    int symbol, L, D;
    bool operator==(const Item&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Item& item) {
    return out << "{" << item.symbol << "," << item.L << "," << item.D << "}";
}

class LzTest : public StageTest {
protected:
    std::vector<Item> Parse(const Bytes& input) {
        Load(input);
        nbits = codec.LzxPack(static_cast<int>(input.size()));
        std::vector<Item> items;
        for (int i = 0; i < codec.LzItemCount(); ++i) {
            const std::uint32_t v = codec.LzItems()[i];
            items.push_back({static_cast<int>(v & 0x1FF), static_cast<int>((v >> 9) & 0xFF),
                             static_cast<int>(v >> 17)});
        }
        EXPECT_EQ(Decode(nbits, false), input);
        return items;
    }

    int nbits = 0;
};

TEST_F(LzTest, WorkedExample) {
    const Bytes input = {97, 98, 99, 97, 98, 99, 97, 98, 99, 97, 98, 99};
    EXPECT_EQ(Parse(input), (std::vector<Item>{{97, 0, 0}, {98, 0, 0}, {99, 0, 0}, {306, 6, 2}}));
    // Bytes 0 and 3 begin the same four bytes, and share one chain.
    EXPECT_EQ(codec.Finder().Chain()[3], 0);
    EXPECT_EQ(codec.Finder().Chain()[0], MatchFinder::NoPosition);

    // The last item: symbol 306's code, then L's 2 extra bits (value 2), then
    // D's 1 extra bit (value 0), ending the block.
    const HufTable& table = codec.MainTable;
    BitReader in(codec.BitBuf, nbits - 3 - table.length[306]);
    EXPECT_EQ(in.Get(table.length[306]), table.code[306]);
    EXPECT_EQ(in.Get(2), 2u);
    EXPECT_EQ(in.Get(1), 0u);
}

TEST_F(LzTest, RunsAreReferencesAtDistanceOne) {
    const std::vector<Item> items = Parse(Bytes(1000, 'x'));
    // 'x', then 999 bytes as 256 + 256 + 256 + 231, all with D = 0.
    EXPECT_EQ(items, (std::vector<Item>{{'x', 0, 0}, {256 + 16 * 8, 253, 0}, {256 + 16 * 8, 253, 0},
                                         {256 + 16 * 8, 253, 0}, {256 + 16 * 8, 228, 0}}));
}

TEST_F(LzTest, NearestOfEqualMatchesWinsAndLongerFartherOnesToo) {
    const std::string equal = "ABCDxABCDyABCDz";
    std::vector<Item> items = Parse(Bytes(equal.begin(), equal.end()));
    ASSERT_EQ(items.size(), 9u);  // 5 literals, ref, literal, ref, literal
    EXPECT_EQ(items[5], (Item{256 + 16 * 1 + 3, 1, 4}));  // distance 5
    EXPECT_EQ(items[7], (Item{256 + 16 * 1 + 3, 1, 4}));  // again the nearest, not 10

    const std::string longer = "ABCDEx!ABCDy?ABCDEz";
    items = Parse(Bytes(longer.begin(), longer.end()));
    // At "ABCDEz" the candidate 6 back gives 4 bytes, the one 13 back gives 5.
    EXPECT_EQ(items.back(), (Item{'z', 0, 0}));
    EXPECT_EQ(items[items.size() - 2], (Item{256 + 16 * 2 + 4, 2, 12}));
}

TEST_F(LzTest, ShortDataAndTheWindow) {
    EXPECT_EQ(Parse(Bytes{1, 2, 3}), (std::vector<Item>{{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}));
    EXPECT_EQ(Parse(Bytes{5, 5, 5, 5}), (std::vector<Item>{{5, 0, 0}, {5, 0, 0}, {5, 0, 0}, {5, 0, 0}}));

    // A string repeated 1025 bytes later is out of reach; 1024 is in reach.
    for (int gap : {1024, 1025}) {
        Bytes input = samples::RandomBytes(static_cast<std::size_t>(gap) + 8, 99);
        std::copy(input.begin(), input.begin() + 8, input.end() - 8);
        const std::vector<Item> items = Parse(input);
        const Item& last = items.back();
        if (gap == 1024)
            EXPECT_EQ(last, (Item{256 + 16 * 3 + 10, 5, 1023}));
        else
            EXPECT_LT(last.symbol, 256);
    }
}

TEST_F(LzTest, DecodingMustEndExactlyAtTheBitCount) {
    Parse(samples::Text(5000, 4));
    EXPECT_EXIT(Decode(nbits - 1, false), FatalExit(), FatalReport("LzxUnpack: too many bits read"));
    EXPECT_EXIT(Decode(nbits + 1, false), FatalExit(), "Einde programma: ");
}

// Blocks that no packer makes, coded by hand: the decoder must refuse them
// before it reads or writes outside the block.
class CraftedLzTest : public StageTest {
protected:
    void Start() {
        codec.BitPos = 0;
        codec.LzxInit();
    }
    void Raw(int symbol, int L = 0, int D = 0) {
        codec.HufOutItem(static_cast<std::uint32_t>(symbol) | static_cast<std::uint32_t>(L) << ItemLengthShift |
                         static_cast<std::uint32_t>(D) << ItemDistanceShift);
    }
    int Finish() {
        codec.LzxEmit();
        return codec.BitPos;
    }
};

TEST_F(CraftedLzTest, ReferencesOutsideTheBlockAreRefused) {
    Start();
    codec.HufOutRef(1, 0);  // a reference as the very first item
    EXPECT_EXIT(Decode(Finish(), false), FatalExit(),
                FatalReport("LzxUnpack: reference before the start of the block"));

    Start();
    codec.HufOutLit('a');
    codec.HufOutLit('b');
    codec.HufOutRef(1, 2);  // 3 back from 2 bytes
    EXPECT_EXIT(Decode(Finish(), false), FatalExit(),
                FatalReport("LzxUnpack: reference before the start of the block"));

    Start();
    codec.HufOutLit('a');
    for (int i = 0; i < 64; ++i)
        codec.HufOutRef(253, 0);  // 1 + 64 * 256 bytes: one too many
    EXPECT_EXIT(Decode(Finish(), false), FatalExit(), FatalReport("LzxUnpack: more than 16384 bytes decoded"));

    Start();
    codec.HufOutLit('a');
    for (int i = 0; i < 63; ++i)
        codec.HufOutRef(253, 0);
    codec.HufOutRef(252, 0);
    codec.HufOutLit('z');  // a literal at 16385
    EXPECT_EXIT(Decode(Finish(), false), FatalExit(), FatalReport("LzxUnpack: more than 16384 bytes decoded"));
}

TEST_F(CraftedLzTest, SymbolsWithoutAClassAreRefused) {
    for (int symbol : {256 + 3, 256 + 16 * 2 + 11, 256 + 16 * 8 + 15}) {
        Start();
        codec.HufOutLit('a');
        Raw(symbol);
        EXPECT_EXIT(Decode(Finish(), false), FatalExit(),
                    FatalReport("LzxUnpack: bad reference symbol " + std::to_string(symbol)));
    }
    // The largest valid class pair still decodes.
    Start();
    for (int i = 0; i < 1100; ++i)
        codec.HufOutLit(i & 0x7F);
    codec.HufOutRef(253, 1023);
    const int nbits = Finish();
    const Bytes out = Decode(nbits, false);
    ASSERT_EQ(out.size(), 1100u + 256);
    EXPECT_EQ(Bytes(out.end() - 256, out.end()), Bytes(out.begin() + 1100 - 1024, out.begin() + 1100 - 1024 + 256));
}

// ---- Sort stage ----------------------------------------------------------

class SortTest : public StageTest {
protected:
    Bytes out = Bytes(16384);
    std::uint8_t order[256] = {};

    int Pack(const Bytes& block) {
        const int n = codec.SorPack(block.data(), out.data(), order);
        Bytes back(16384);
        codec.SorUnpack(out.data(), back.data(), order, n);
        EXPECT_EQ(back, block);
        return n;
    }
};

TEST_F(SortTest, EmptyBlockAndFullBlock) {
    EXPECT_EQ(Pack(Bytes(16384, 0xFF)), 0);
    EXPECT_EQ(out, Bytes(16384, 0xFF));

    // One empty row left: 255 rows chained, then 64 bytes 0xFF.
    Bytes block = samples::RandomBytes(16384, 5);
    std::fill(block.begin() + 64 * 77, block.begin() + 64 * 78, 0xFF);
    EXPECT_EQ(Pack(block), 255);
    EXPECT_EQ(Bytes(out.end() - 64, out.end()), Bytes(64, 0xFF));

    EXPECT_EXIT(codec.SorPack(samples::Text(16384, 6).data(), out.data(), order), FatalExit(),
                FatalReport("SorPack: no empty rows"));
    // Zero padding does not make empty rows.
    EXPECT_EXIT(codec.SorPack(Bytes(16384, 0).data(), out.data(), order), FatalExit(),
                FatalReport("SorPack: no empty rows"));
}

TEST_F(SortTest, ChainOrderAndColumns) {
    Bytes block(16384, 0xFF);
    auto row = [&](int r) { return block.begin() + 64 * r; };
    row(5)[0] = 0x00;                                  // 1 byte from empty: first
    row(7)[0] = 0x00, row(7)[1] = 0x01, row(7)[2] = 0x02;  // 2 from row 5
    row(9)[0] = 0x00, row(9)[3] = 0x03, row(9)[4] = 0x04;  // 2 from row 5 too
    ASSERT_EQ(Pack(block), 3);
    EXPECT_EQ((Bytes{order[0], order[1], order[2]}), (Bytes{5, 7, 9}));  // the tie goes to 7
    // Column 0 of rows 5, 7, 9, then column 1 of them, ...
    EXPECT_EQ(Prefix(out, 9), (Bytes{0x00, 0x00, 0x00, 0xFF, 0x01, 0xFF, 0xFF, 0x02, 0xFF}));
    EXPECT_EQ(out[3 * 64], 0xFF);
}

TEST_F(SortTest, RowsRoundTrip) {
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        const Bytes block = samples::Rows(16384, seed);
        const int n = Pack(block);
        EXPECT_GT(n, 100);
        EXPECT_LT(n, 256);
    }
}

TEST_F(SortTest, ARowNamedTwiceIsFatal) {
    const std::uint8_t twice[3] = {4, 9, 4};
    Bytes back(16384);
    EXPECT_EXIT(codec.SorUnpack(out.data(), back.data(), twice, 3), FatalExit(),
                FatalReport("SorUnpack: row 4 named twice"));
}

}  // namespace
