// RecvLens on arbitrary bits, then the code built from what it received and
// a few hundred symbols decoded with it.
#include <cstring>
#include <memory>

#include "fuzz/harness.h"
#include "codec/test_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::unique_ptr<TestCodec> codec = std::make_unique<TestCodec>();
    if (size < 1)
        return 0;
    const int n = (data[0] & 1) ? LzSymbols : ByteSymbols;
    std::memset(codec->BitBuf, 0, sizeof codec->BitBuf);
    std::memcpy(codec->BitBuf, data + 1, std::min(size - 1, static_cast<std::size_t>(BitBufSize)));
    fuzz::Run([&] {
        codec->BitPos = 0;
        codec->RecvLens(&codec->MainTable, n);
        codec->LenToVal(&codec->MainTable);
        codec->DecodeInit(&codec->MainTable);
        for (int i = 0; i < 300 && codec->BitPos < 8 * 32000; ++i) {
            const std::uint32_t bits = Load32(codec->BitBuf + (codec->BitPos >> 3)) >> (codec->BitPos & 7);
            const int s = codec->DecodeSymbol(&codec->MainTable, bits);
            if (s < 0)
                break;  // no code matches: the decoders refuse the block here
            codec->BitPos += codec->MainTable.length[s] ? codec->MainTable.length[s] : 1;
        }
    });
    return 0;
}
