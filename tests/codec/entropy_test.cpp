// Bit stream, Huffman code construction, and code-length transmission.
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/samples.h"
#include "codec/test_codec.h"
#include "support.h"

using test::FatalExit;
using test::FatalReport;

namespace {

// A code in stream order, first bit first, as the examples write it.
std::string StreamOrder(std::uint32_t code, int length) {
    std::string bits;
    for (int i = 0; i < length; ++i)
        bits += ((code >> i) & 1) ? '1' : '0';
    return bits;
}

class EntropyTest : public ::testing::Test {
protected:
    std::unique_ptr<TestCodec> owner = std::make_unique<TestCodec>();
    TestCodec& codec = *owner;

    // Builds the main table from counts; answers "length:code" per symbol.
    std::vector<std::string> Build(const std::vector<int>& counts) {
        HufTable* table = &codec.MainTable;
        codec.FresInit(table, static_cast<int>(counts.size()));
        for (std::size_t s = 0; s < counts.size(); ++s)
            table->freq[s] += static_cast<std::uint32_t>(counts[s]) << 16;
        codec.FresToLen(table);
        codec.LenToVal(table);
        std::vector<std::string> result;
        for (std::size_t s = 0; s < counts.size(); ++s) {
            const int length = table->length[s];
            result.push_back(length ? StreamOrder(table->code[s], length) : "none");
        }
        return result;
    }

    using Codes = std::vector<std::string>;
};

// ---- Bit stream ----------------------------------------------------------

TEST_F(EntropyTest, WriterKeepsTheBitsBeforeItAndClearsItsReach) {
    std::uint8_t buffer[16];
    std::memset(buffer, 0xFF, sizeof buffer);
    BitWriter first(buffer, 0);
    first.Put(3, 5);
    EXPECT_EQ(first.Done(), 3);
    EXPECT_EQ(buffer[0], 0x05);
    for (int i = 1; i < WriterReach; ++i)
        EXPECT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(buffer[WriterReach], 0xFF);

    // 24 bits at a position with 7 bits used in its byte: the low 7 bits of
    // that byte stay; the last word goes out from the byte of the last 32-bit
    // store, so nothing beyond byte 1 + WriterReach changes.
    std::memset(buffer, 0x55, sizeof buffer);
    BitWriter second(buffer, 8 + 7);
    second.Put(24, 0xFFFFFF);
    EXPECT_EQ(second.Done(), 39);
    const std::uint8_t expected[] = {0x55, 0x55 | 0x80, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0x55};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), buffer));
}

TEST_F(EntropyTest, ValueBitsAboveTheCountAreDropped) {
    std::uint8_t joined[8];
    std::uint8_t masked[8];
    BitWriter a(joined, 0);
    a.Put(3, 0x5 | 0xF8);
    a.Put(5, 0x11);
    a.Done();
    BitWriter b(masked, 0);
    b.Put(3, 0x5);
    b.Put(5, 0x11);
    b.Done();
    EXPECT_EQ(joined[0], masked[0]);
}

TEST_F(EntropyTest, ReadsReturnWhatWasWritten) {
    samples::Random random(7);
    std::vector<std::pair<int, std::uint32_t>> fields;
    BitWriter out(codec.BitBuf, 0);
    for (int i = 0; i < 2000; ++i) {
        const int n = random.Below(25);
        const std::uint32_t v = n ? random.Next() & ((1u << n) - 1) : 0;
        fields.emplace_back(n, v);
        out.Put(n, v);
    }
    const int end = out.Done();
    BitReader in(codec.BitBuf, 0);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto [n, v] = fields[i];
        if (i % 2 == 0) {
            ASSERT_EQ(in.Get(n), v);
        } else {
            in.Refill();
            ASSERT_EQ(in.Peek() & ((1u << n) - 1), v);
            in.Skip(n);
        }
    }
    EXPECT_EQ(in.Position(), end);
    EXPECT_EQ(in.Get(0), 0u);
    EXPECT_EQ(in.Position(), end);
}

TEST_F(EntropyTest, ReaderStaysWithinItsReach) {
    // A buffer of its own, so that AddressSanitizer sees a read beyond the
    // byte of the position and its reach.
    const auto bytes = std::make_unique<std::uint8_t[]>(1 + RefillReach);
    std::fill_n(bytes.get(), 1 + RefillReach, 0xA5);
    for (int start = 0; start < 8; ++start) {
        BitReader in(bytes.get(), start);
        while (in.Position() < 8) {
            in.Refill();
            EXPECT_EQ(in.Peek() & 1, (0xA5u >> (in.Position() & 7)) & 1);
            in.Skip(1);
        }
    }
}

TEST_F(EntropyTest, BitWidths) {
    EXPECT_EQ(BitWidth[0], 0);
    EXPECT_EQ(BitWidth[1], 1);
    EXPECT_EQ(BitWidth[2], 2);
    EXPECT_EQ(BitWidth[3], 2);
    EXPECT_EQ(BitWidth[127], 7);
    EXPECT_EQ(BitWidth[128], 8);
    EXPECT_EQ(BitWidth[255], 8);
}

// ---- Huffman code construction -------------------------------------------

TEST_F(EntropyTest, TieBreaksOfTheTree) {
    // A new node goes after older nodes of equal weight.
    EXPECT_EQ(Build({1, 1, 1, 1, 2}), (Codes{"100", "101", "110", "111", "0"}));
    EXPECT_EQ(Build({1, 2, 4, 8, 16}), (Codes{"1110", "1111", "110", "10", "0"}));
    EXPECT_EQ(Build({5, 0, 1, 1, 0, 2}), (Codes{"0", "none", "110", "111", "none", "10"}));
    EXPECT_EQ(Build({3, 3}), (Codes{"0", "1"}));
    EXPECT_EQ(Build({0, 0, 0}), (Codes{"0", "none", "none"}));
    EXPECT_EQ(Build({0, 0, 9}), (Codes{"none", "none", "0"}));
    EXPECT_EQ(codec.MainTable.leafCount, 1);
}

// The construction's steps against their plain forms: the entries in
// falling numeric order, the uncounted ones last whether they arrive rising
// (as FresInit leaves them) or not; the lengths of a tree built by inserting
// each new node from the end of the list, one step at a time.
TEST_F(EntropyTest, ConstructionMatchesThePlainSteps) {
    samples::Random random(5);
    for (int round = 0; round < 8; ++round) {
        HufTable& table = codec.MainTable;
        codec.FresInit(&table, LzSymbols);
        for (int s = 0; s < LzSymbols; ++s)
            table.freq[s] += static_cast<std::uint32_t>(random.Below(2) * random.Below(round < 4 ? 6 : 300)) << 16;
        if (round % 2)
            std::reverse(table.freq, table.freq + LzSymbols);
        std::vector<std::uint32_t> sorted(table.freq, table.freq + LzSymbols);
        std::sort(sorted.begin(), sorted.end(), std::greater<>());
        codec.FresToLen(&table);
        ASSERT_EQ(std::vector<std::uint32_t>(table.freq, table.freq + LzSymbols), sorted) << "round " << round;

        struct Node {
            int weight, left, right;
        };
        std::vector<Node> nodes;
        std::vector<int> active;
        for (std::size_t j = 0; j < sorted.size() && sorted[j] >= 65536; ++j) {
            nodes.push_back({static_cast<int>(sorted[j] >> 16), -1, -1});
            active.push_back(static_cast<int>(j));
        }
        while (active.size() >= 2) {
            const int b = active.back();
            active.pop_back();
            const int a = active.back();
            nodes.push_back({nodes[static_cast<std::size_t>(a)].weight + nodes[static_cast<std::size_t>(b)].weight, a, b});
            std::size_t i = active.size() - 1;
            for (; i > 0 && nodes[static_cast<std::size_t>(active[i - 1])].weight < nodes.back().weight; --i)
                active[i] = active[i - 1];
            active[i] = static_cast<int>(nodes.size() - 1);
        }
        std::vector<int> lengths(LzSymbols);
        std::vector<std::pair<int, int>> stack = {{static_cast<int>(nodes.size() - 1), 0}};
        while (!stack.empty()) {
            const auto [node, depth] = stack.back();
            stack.pop_back();
            const Node& n = nodes[static_cast<std::size_t>(node)];
            if (n.left < 0)
                lengths[sorted[static_cast<std::size_t>(node)] & 0xFFFF] = depth;
            else
                stack.insert(stack.end(), {{n.left, depth + 1}, {n.right, depth + 1}});
        }
        EXPECT_EQ(std::vector<int>(table.length, table.length + LzSymbols), lengths) << "round " << round;
    }
}

TEST_F(EntropyTest, CodesArePrefixFreeAndCanonical) {
    samples::Random random(11);
    for (int round = 0; round < 20; ++round) {
        std::vector<int> counts(400);
        int total = 0;
        for (int& c : counts) {
            c = random.Below(3) == 0 ? 0 : random.Below(1 << random.Below(8));
            total += c;
        }
        if (total > 65535)
            continue;
        const Codes codes = Build(counts);
        // Kraft sum exactly 1 (complete code) when two or more symbols occur.
        double kraft = 0;
        int used = 0;
        for (const std::string& code : codes) {
            if (code == "none")
                continue;
            kraft += 1.0 / (1u << code.size());
            ++used;
        }
        if (used >= 2) {
            EXPECT_DOUBLE_EQ(kraft, 1.0);
        }
        // Canonical: ordered by (length, symbol) the codes count up.
        for (std::size_t a = 0; a < codes.size(); ++a)
            for (std::size_t b = a + 1; b < codes.size(); ++b) {
                if (codes[a] == "none" || codes[b] == "none")
                    continue;
                const std::string& x = codes[a];
                const std::string& y = codes[b];
                ASSERT_NE(y.compare(0, x.size(), x), 0) << "prefix";
                ASSERT_NE(x.compare(0, y.size(), y), 0) << "prefix";
                if (x.size() == y.size()) {
                    ASSERT_LT(x, y);
                }
            }
    }
}

TEST_F(EntropyTest, ConstructionLimitsAreFatal) {
    codec.FresInit(&codec.MainTable, 512);
    EXPECT_EQ(codec.MainTable.symbolCount, 512);
    EXPECT_EXIT(codec.FresInit(&codec.MainTable, 513), FatalExit(), FatalReport("FresInit: too many symbols"));

    HufTable& table = codec.MainTable;
    table.symbolCount = 3;
    table.length[0] = table.length[1] = table.length[2] = 1;
    EXPECT_EXIT(codec.LenToVal(&table), FatalExit(), FatalReport("LenToVal: overcounted"));
    table.symbolCount = 2;
    codec.LenToVal(&table);
    EXPECT_EQ(table.code[0], 0u);
    EXPECT_EQ(table.code[1], 1u);
}

// ---- Code-length transmission ---------------------------------------------

class LengthsTest : public EntropyTest {
protected:
    // The items LenRuns makes of these lengths, as "symbol" or "symbol/run".
    std::vector<std::string> Items(const std::vector<std::uint8_t>& lengths) {
        codec.FresInit(&codec.LenTable, LenSymbols);
        const int count = codec.LenRuns(lengths.data(), static_cast<int>(lengths.size()), codec.LenItems);
        std::vector<std::string> items;
        for (int i = 0; i < count; ++i) {
            const LenItem& item = codec.LenItems[i];
            items.push_back(std::to_string(item.symbol) +
                            (item.symbol >= 25 ? "/" + std::to_string(item.run) : std::string()));
        }
        return items;
    }

    static std::vector<std::uint8_t> Zeros(int n, std::vector<std::uint8_t> before = {},
                                           std::vector<std::uint8_t> after = {}) {
        std::vector<std::uint8_t> lengths = before;
        lengths.insert(lengths.end(), static_cast<std::size_t>(n), 0);
        lengths.insert(lengths.end(), after.begin(), after.end());
        return lengths;
    }

    // Sends the table's lengths and receives them into a fresh codec.
    void RoundTrip(const std::vector<std::uint8_t>& lengths) {
        HufTable& table = codec.MainTable;
        table.symbolCount = static_cast<int>(lengths.size());
        std::copy(lengths.begin(), lengths.end(), table.length);
        codec.BitPos = 0;
        codec.SendLens(&table);
        const int end = codec.BitPos;

        auto other = std::make_unique<TestCodec>();
        std::memcpy(other->BitBuf, codec.BitBuf, sizeof codec.BitBuf);
        other->BitPos = 0;
        other->RecvLens(&other->MainTable, static_cast<int>(lengths.size()));
        EXPECT_EQ(other->BitPos, end);
        EXPECT_EQ(std::vector<std::uint8_t>(other->MainTable.length, other->MainTable.length + lengths.size()),
                  lengths);
    }
};

TEST_F(LengthsTest, RunsOfZeros) {
    using Items_ = std::vector<std::string>;
    EXPECT_EQ(Items(Zeros(255, {1})), (Items_{"1", "26/83", "26/83", "26/83", "25/6"}));
    EXPECT_EQ(Items(Zeros(19, {5}, {5})), (Items_{"5", "0", "25/18", "5"}));
    EXPECT_EQ(Items(Zeros(2, {5}, {5})), (Items_{"5", "0", "0", "5"}));
    EXPECT_EQ(Items(Zeros(3, {5}, {5})), (Items_{"5", "25/3", "5"}));
    EXPECT_EQ(Items(Zeros(20, {5})), (Items_{"5", "26/20"}));
    EXPECT_EQ(Items(Zeros(84, {5})), (Items_{"5", "26/83", "0"}));
    EXPECT_EQ(Items(Zeros(102, {5})), (Items_{"5", "26/83", "0", "25/18"}));
    EXPECT_EQ(Items({3, 3, 0, 4}), (Items_{"3", "3", "0", "4"}));
    // Nonzero lengths are never run-coded, and the counts land in the length code.
    EXPECT_EQ(codec.LenTable.freq[3] >> 16, 2u);
    EXPECT_EQ(codec.LenTable.freq[0] >> 16, 1u);
}

TEST_F(LengthsTest, LengthCodeLengthsTakeThreeOrSixBits) {
    std::uint8_t lengths[LenSymbols] = {};
    lengths[0] = 6;
    lengths[1] = 7;
    lengths[2] = 14;
    codec.BitPos = 0;
    codec.SendLenLens(lengths, LenSymbols);
    EXPECT_EQ(codec.BitPos, 3 + 6 + 6 + 24 * 3);
    BitReader in(codec.BitBuf, 0);
    for (const std::uint32_t field : {6u, 7u, 0u, 7u, 7u})
        EXPECT_EQ(in.Get(3), field);

    lengths[3] = 15;
    EXPECT_EXIT(codec.SendLenLens(lengths, LenSymbols), FatalExit(), FatalReport("SendLenLens: too big"));
}

TEST_F(LengthsTest, TablesSurviveTheTrip) {
    RoundTrip(Zeros(255, {1}));
    RoundTrip(Zeros(300, {2, 2, 2, 2}, Zeros(96, {3, 3})));
    std::vector<std::uint8_t> equal(256, 8);
    RoundTrip(equal);
    // All lengths equal: one used length-code symbol, length 1 and code 0, so
    // the items cost one bit each: 27 * 3 bits of lengths, then 256 bits.
    EXPECT_EQ(codec.BitPos, 81 + 256);
    samples::Random random(3);
    for (int round = 0; round < 40; ++round) {
        std::vector<int> counts(400);
        for (int& c : counts)
            c = random.Below(4) == 0 ? 0 : random.Below(40);
        Build(counts);
        RoundTrip(std::vector<std::uint8_t>(codec.MainTable.length, codec.MainTable.length + 400));
    }
}

TEST_F(LengthsTest, AFinalRunPastTheEndIsDropped) {
    // Lengths 2, 2, 1 for symbols 0..2, then a run of 20 zeros where only 5
    // positions remain.
    std::uint8_t lenLens[LenSymbols] = {};
    lenLens[1] = 1;   // "1" -> code 0
    lenLens[2] = 2;   // "2" -> code 10
    lenLens[26] = 2;  // run 20..83 -> code 11
    codec.BitPos = 0;
    codec.SendLenLens(lenLens, LenSymbols);
    HufTable& lt = codec.LenTable;
    lt.symbolCount = LenSymbols;
    std::copy(lenLens, lenLens + LenSymbols, lt.length);
    codec.LenToVal(&lt);
    BitWriter bits(codec.BitBuf, codec.BitPos);
    for (int s : {2, 2, 1, 26})
        bits.Put(lt.length[s], lt.code[s]);
    bits.Put(6, 0);
    const int end = bits.Done();

    auto other = std::make_unique<TestCodec>();
    std::memcpy(other->BitBuf, codec.BitBuf, sizeof codec.BitBuf);
    std::memset(other->MainTable.length, 9, sizeof other->MainTable.length);
    other->BitPos = 0;
    other->RecvLens(&other->MainTable, 8);
    EXPECT_EQ(other->BitPos, end);
    EXPECT_EQ(std::vector<int>(other->MainTable.length, other->MainTable.length + 9),
              (std::vector<int>{2, 2, 1, 0, 0, 0, 0, 0, 9}));
}

TEST_F(LengthsTest, ShortCodesUseTheTableAndLongOnesTheSearch) {
    // Fibonacci counts make a code with lengths up to 12.
    std::vector<int> counts(16, 0);
    int a = 1, b = 1;
    for (int s = 0; s < 13; ++s) {
        counts[s] = a;
        const int next = a + b;
        a = b;
        b = next;
    }
    Build(counts);
    HufTable& table = codec.MainTable;
    int longest = 0;
    for (int s = 0; s < 16; ++s)
        longest = std::max<int>(longest, table.length[s]);
    ASSERT_GT(longest, DecTabBits);
    codec.DecodeInit(&table);
    for (int s = 0; s < 13; ++s) {
        const std::uint32_t bits = table.code[s] | (0x5A5A5Au << table.length[s]);
        const int viaTable = codec.Tables().DecTabEntry(bits);
        if (table.length[s] <= DecTabBits) {
            EXPECT_EQ(viaTable, s);
        } else {
            EXPECT_EQ(viaTable, DecTabLong);
            EXPECT_EQ(DecodeTables::DecodeLong(&table, bits & 0xFFFFFF), s);
        }
        EXPECT_EQ(codec.DecodeSymbol(&table, bits), s);
    }
    EXPECT_EQ(codec.Tables().LongTableBits(), longest - DecTabBits);
}

TEST_F(LengthsTest, SecondLevelTablesAgreeWithTheSearchEvenOnCollisions) {
    // Damaged streams can carry lengths whose codes collide across lengths.
    // Whatever the lengths, the fast lookup must give what DecTab and the
    // linear search of DecodeLong give.
    samples::Random random(5);
    HufTable& table = codec.MainTable;
    int checked = 0;
    for (int round = 0; round < 200; ++round) {
        table.symbolCount = 256;
        long long count[25] = {};
        for (int s = 0; s < 256; ++s) {
            int length = 0;
            if (random.Below(2))
                length = random.Below(16) ? 8 + random.Below(9) : 1 + random.Below(7);
            ++count[length];
            table.length[s] = static_cast<std::uint8_t>(length);
        }
        // Skip length sets that LenToVal itself refuses: more codes of one
        // length than remain after the shorter ones.
        bool refused = false;
        long long first = 0;
        for (int length = 1; length <= 24; ++length) {
            const long long room = (1ll << length) - (first & ((1ll << length) - 1));
            refused = refused || count[length] > room;
            first = (first + count[length]) * 2;
        }
        if (refused)
            continue;
        codec.LenToVal(&table);
        codec.DecodeInit(&table);
        for (int probe = 0; probe < 200; ++probe) {
            const std::uint32_t bits = random.Next() & 0xFFFFFF;
            int expected = codec.Tables().DecTabEntry(bits);
            if (expected == DecTabLong) {
                expected = -1;
                for (int s = 0; s < 256 && expected < 0; ++s) {
                    const int length = table.length[s];
                    if (length > DecTabBits && ((bits ^ table.code[s]) & ((1u << length) - 1)) == 0)
                        expected = s;
                }
            }
            if (expected < 0)
                continue;  // DecodeLong's "not found": fatal either way
            ASSERT_EQ(codec.DecodeSymbol(&table, bits), expected) << "round " << round;
            ++checked;
        }
    }
    EXPECT_GT(checked, 10000);
}

TEST_F(LengthsTest, DamagedSectionsAreFatal) {
    // All 27 length-code lengths 0: nothing can match.
    std::memset(codec.BitBuf, 0, 32);
    codec.BitPos = 0;
    EXPECT_EXIT(codec.RecvLens(&codec.MainTable, 256), FatalExit(), FatalReport("UnCode: code not found"));

    // An incomplete code: one symbol of length 12 alone.
    HufTable& table = codec.MainTable;
    table.symbolCount = 256;
    std::memset(table.length, 0, sizeof table.length);
    table.length[7] = 12;
    codec.LenToVal(&table);
    codec.DecodeInit(&table);
    EXPECT_EQ(DecodeTables::DecodeLong(&table, 0xFFFFFF), -1);  // the decoders refuse the block
}

}  // namespace
