// The C interface on any bytes: the first 8 are a read's offset and count,
// the rest a stream, decompressed whole, read from at the offset, and itself
// compressed (in the mode of the first byte) and decompressed again.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "lzxcore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static lzx_context* const context = lzx_context_new(2);
    if (size < 8)
        return 0;
    std::uint32_t at[2];
    std::memcpy(at, data, sizeof at);
    const std::uint8_t* stream = data + 8;
    size -= 8;
    std::uint64_t length = 0;
    std::size_t got = 0;
    if (lzx_decompressed_size(stream, size, &length) == LZX_OK) {
        std::vector<std::uint8_t> out(static_cast<std::size_t>(length < (1u << 22) ? length : 1u << 22));
        const lzx_result whole = lzx_context_decompress(context, stream, size, out.data(), out.size(), &got);
        if ((whole == LZX_OK) != (got == length) || (whole == LZX_SHORT_OUTPUT) != (length > out.size()))
            __builtin_trap();
        std::vector<std::uint8_t> slice(at[1] & 0x1FFFF);
        lzx_context_read_at(context, stream, size, at[0], slice.data(), slice.size(), &got);
    }
    const int mode = data[0] % 3;
    std::vector<std::uint8_t> packed(lzx_compress_bound(size)), back(size);
    std::size_t packedSize = 0;
    if (lzx_context_compress(context, stream, size, packed.data(), packed.size(), &packedSize, mode) == LZX_OK &&
        (lzx_decompress(packed.data(), packedSize, back.data(), back.size(), &got) != LZX_OK || got != size ||
         !std::equal(back.begin(), back.end(), stream)))
        __builtin_trap();
    return 0;
}
