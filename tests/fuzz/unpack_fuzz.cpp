// UnPackLZX into the scratch directory: the first byte picks a version
// table (bit 0) and force (bit 1), the rest is the archive file.
#include <cstring>

#include "lzx.h"
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const bool withTable = data[0] & 1;
    const int force = (data[0] >> 1) & 1;
    fuzz::EmptyScratch();
    fuzz::Put("archive.lzx", data + 1, size - 1);
    static EntryRec table[4];
    std::memset(static_cast<void*>(table), 0, sizeof table);
    std::strcpy(table[0].name, "#a.txt");
    table[0].version = 204;
    std::strcpy(table[1].name, "#Sub\\b.txt");
    table[1].version = 300;
    fuzz::Run([&] { UnPackLZX("archive.lzx", "target", withTable ? table : nullptr, 4, force); });
    return 0;
}
