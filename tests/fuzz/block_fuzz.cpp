// BlockUnpack under each flag value: the first byte picks the flags, the
// rest is a block record.
#include <memory>

#include "codec.h"
#include "stream_file.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::unique_ptr<Codec> codec = std::make_unique<Codec>();
    if (size < 1)
        return 0;
    const int flags = data[0] & 3;
    const std::string name = fuzz::Put("record.bin", data + 1, size - 1);
    static std::uint8_t block[BlockSize];
    fuzz::Run([&] {
        FileRec file;
        DoFopen(name.c_str(), "rb", &file);
        BlockUnpack(*codec, &file, block, flags);
        DoFclose(&file);
    });
    return 0;
}
