// The C interface: results instead of exits, slices at block edges, threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "lzxcore.h"
#include "codec/samples.h"

namespace {

using samples::Bytes;
using Context = std::unique_ptr<lzx_context, void (*)(lzx_context*)>;

Context NewContext(int threads) {
    return {lzx_context_new(threads), lzx_context_free};
}

// Data of a few blocks and a partial one, sortable, as a stream in mode.
Bytes Data(std::uint32_t seed) {
    return samples::Rows(3 * 16384 + 5000, seed);
}
Bytes Compressed(const Bytes& data, int mode) {
    Bytes out(lzx_compress_bound(data.size()));
    std::size_t size = 0;
    EXPECT_EQ(lzx_compress(data.data(), data.size(), out.data(), out.size(), &size, mode), LZX_OK) << lzx_last_failure();
    out.resize(size);
    return out;
}

TEST(CoreTest, CompressGivesAResultForEveryArgument) {
    const Bytes noise = samples::RandomBytes(40000, 5), escaped(20000, 0x85), rows = Data(1);
    const struct {
        const char* what;
        const Bytes* data;
        int mode;
        long shortBy;  // the capacity: the bound less this, or the result less -shortBy - 1
        lzx_result want;
    } cases[] = {
        {"random bytes fit the bound, LZ", &noise, LZX_MODE_LZ, 0, LZX_OK},
        {"random bytes fit the bound, Huffman", &noise, LZX_MODE_HUFFMAN, 0, LZX_OK},
        {"escaped bytes fit the bound", &escaped, LZX_MODE_LZ, 0, LZX_OK},
        {"rows fit the bound, sort", &rows, LZX_MODE_SORT, 0, LZX_OK},
        {"one byte short of the stream", &rows, LZX_MODE_LZ, -2, LZX_SHORT_OUTPUT},
        {"no room for the header", &rows, LZX_MODE_LZ, -10000000, LZX_SHORT_OUTPUT},
        {"no empty row for the sort", &noise, LZX_MODE_SORT, 0, LZX_CANNOT_PACK},
        {"an unknown mode", &rows, 3, 0, LZX_BAD_ARGUMENT},
    };
    for (const auto& c : cases) {
        const std::size_t bound = lzx_compress_bound(c.data->size());
        std::size_t capacity = bound - static_cast<std::size_t>(std::max(c.shortBy, 0L));
        if (c.shortBy < 0) {
            const std::size_t fits = Compressed(*c.data, c.mode).size();
            capacity = fits > static_cast<std::size_t>(-c.shortBy - 1) ? fits + static_cast<std::size_t>(c.shortBy + 1) : 8;
        }
        Bytes out(capacity);
        std::size_t size = 1;
        EXPECT_EQ(lzx_compress(c.data->data(), c.data->size(), out.data(), capacity, &size, c.mode), c.want) << c.what;
        EXPECT_EQ(size == 0, c.want != LZX_OK) << c.what;
    }
    std::size_t size = 1;
    EXPECT_EQ(lzx_compress(nullptr, 1, nullptr, 0, &size, LZX_MODE_LZ), LZX_BAD_ARGUMENT);
}

TEST(CoreTest, DamagedStreamsGiveResultsNeverExits) {
    const Context context = NewContext(2);
    for (const int mode : {LZX_MODE_LZ, LZX_MODE_HUFFMAN, LZX_MODE_SORT}) {
        const Bytes data = Data(7), good = Compressed(data, mode);
        Bytes out(data.size());
        std::size_t size = 1, got = 1;
        std::uint64_t length = 0;
        // Cut short: nothing can be read, and the length is known only
        // while the index is whole.
        for (const std::size_t cut : {std::size_t{0}, std::size_t{15}, std::size_t{16}, good.size() / 2, good.size() - 1}) {
            EXPECT_EQ(lzx_decompress(good.data(), cut, out.data(), out.size(), &size), LZX_BAD_DATA) << cut;
            EXPECT_EQ(lzx_read_at(good.data(), cut, 0, out.data(), out.size(), &got), LZX_BAD_DATA) << cut;
            EXPECT_EQ(lzx_decompressed_size(good.data(), cut, &length), LZX_BAD_DATA) << cut;
            EXPECT_EQ(size + got + length, 0u);
        }
        Bytes garbage = samples::RandomBytes(5000, 3);
        EXPECT_EQ(lzx_decompress(garbage.data(), garbage.size(), out.data(), out.size(), &size), LZX_BAD_DATA);
        std::copy(good.begin(), good.begin() + 16, garbage.begin());
        EXPECT_EQ(lzx_context_decompress(context.get(), garbage.data(), garbage.size(), out.data(), out.size(), &size),
                  LZX_BAD_DATA);
        // One byte flipped anywhere: a result, the output's length only on
        // success; most damage is seen.
        int refused = 0, tried = 0;
        for (std::size_t at = 0; at < good.size(); at += good.size() / 300 + 1, ++tried) {
            Bytes bad = good;
            bad[at] ^= 0x5A;
            const lzx_result whole = lzx_context_decompress(context.get(), bad.data(), bad.size(), out.data(), out.size(), &size);
            const lzx_result slice = lzx_context_read_at(context.get(), bad.data(), bad.size(), at * 3, out.data(), 20000, &got);
            EXPECT_TRUE(whole == LZX_OK || whole == LZX_BAD_DATA || whole == LZX_SHORT_OUTPUT) << at;
            EXPECT_TRUE(slice == LZX_OK || slice == LZX_BAD_DATA) << at;
            EXPECT_EQ(size == 0, whole != LZX_OK) << at;
            refused += whole != LZX_OK;
        }
        EXPECT_GT(refused, tried / 2) << mode;
    }
}

TEST(CoreTest, ReadAtGivesTheBytesAtBlockEdges) {
    const Bytes data = Data(9), stream = Compressed(data, LZX_MODE_HUFFMAN);
    const Context threads = NewContext(3);
    const std::size_t end = data.size();
    const struct { std::uint64_t offset; std::size_t count; std::size_t want; } cases[] = {
        {0, 1, 1}, {16383, 1, 1}, {16383, 2, 2}, {16384, 16384, 16384}, {16383, 32770, 32770},
        {end - 1, 10, 1}, {end, 10, 0}, {end + 100000, 10, 0}, {5, 0, 0}, {0, end + 7, end},
    };
    for (const auto& c : cases) {
        for (lzx_context* context : {static_cast<lzx_context*>(nullptr), threads.get()}) {
            Bytes out(c.count + 1, 0xEE);
            std::size_t got = 99;
            const lzx_result result = context ? lzx_context_read_at(context, stream.data(), stream.size(), c.offset, out.data(), c.count, &got)
                                              : lzx_read_at(stream.data(), stream.size(), c.offset, out.data(), c.count, &got);
            ASSERT_EQ(result, LZX_OK) << c.offset << " " << lzx_last_failure();
            ASSERT_EQ(got, c.want) << c.offset;
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<long>(got), data.begin() + static_cast<long>(std::min<std::uint64_t>(c.offset, end))));
            EXPECT_EQ(out[got], 0xEE) << "a byte written past the slice at " << c.offset;
        }
    }
}

// Every call shares nothing: four threads at once, each round trip and
// failure its own, with and without contexts of their own threads.
TEST(CoreThreadsTest, FourThreadsCallAtOnce) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const Context context = NewContext(t % 2 + 1);
            for (int round = 0; round < 3; ++round) {
                const Bytes data = Data(static_cast<std::uint32_t>(100 * t + round));
                Bytes stream(lzx_compress_bound(data.size())), out(data.size());
                std::size_t size = 0, back = 0;
                ASSERT_EQ(lzx_context_compress(context.get(), data.data(), data.size(), stream.data(), stream.size(), &size, t % 3), LZX_OK);
                EXPECT_EQ(Bytes(stream.begin(), stream.begin() + static_cast<long>(size)), Compressed(data, t % 3));
                ASSERT_EQ(lzx_context_decompress(context.get(), stream.data(), size, out.data(), out.size(), &back), LZX_OK);
                EXPECT_EQ(out, data);
                // Block k + 1's index entry far off: block k ends short of it.
                const int k = t % 3;
                stream[size - 16 + 4 * (k + 1) + 3] ^= 1;
                EXPECT_EQ(lzx_decompress(stream.data(), size, out.data(), out.size(), &back), LZX_BAD_DATA);
                const std::string failure = lzx_last_failure(), want = "block " + std::to_string(k) + ": damaged index";
                EXPECT_EQ(failure.substr(0, want.size()), want) << "this thread's own failure";
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
}

}  // namespace
