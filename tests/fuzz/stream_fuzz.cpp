// A read stream: the first 16 bytes are four seek positions, the rest the
// "LZX1" file. Reads everything, then seeks and reads around each position.
// The lowest bit of the first position picks one thread or two, so damage
// also meets the read-ahead and the coding threads.
#include <cstring>

#include "codec.h"
#include "lzx.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 16)
        return 0;
    std::uint32_t seeks[4];
    std::memcpy(seeks, data, sizeof seeks);
    const std::string name = fuzz::Put("stream.lzx", data + 16, size - 16);
    fuzz::Run([&] {
        HILE* stream = Hopen("stream.lzx", "rb", {seeks[0] & 1 ? 2 : 1});
        static std::uint8_t piece[40000];
        while (Hread(piece, sizeof piece, stream) > 0) {
        }
        const int total = HileLength(stream);
        for (const std::uint32_t seek : seeks) {
            if (total <= 0)
                break;
            Hseek(stream, static_cast<int>(seek % static_cast<std::uint32_t>(total)));
            Hread(piece, static_cast<int>(seek >> 20 & 0x7FFF), stream);
            Hgetc(stream);
            Heof(stream);
        }
        Hclose(stream);
    });
    (void)name;
    return 0;
}
