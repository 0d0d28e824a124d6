// PackLZX on a fuzzer-made script over a small fixed tree (src/).
#include "lzx.h"
#include "fuzz/harness.h"

namespace {

void MakeTree() {
    std::filesystem::create_directories(fuzz::Scratch() + "/src/sub");
    const std::uint8_t text[] = "Zelk 2.04 bid book\nversion 204\n";
    fuzz::Put("src/a.txt", text, sizeof text - 1);
    fuzz::Put("src/sub/b.bin", text, 7);
    fuzz::Put("src/empty", text, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool tree = (MakeTree(), true);
    (void)tree;
    fuzz::EmptyScratch("src");
    fuzz::Put("script.txt", data, size);
    static EntryRec table[3];
    fuzz::Run([&] {
        long long total = 0;
        int archive = 0;
        PackLZX("script.txt", &total, &archive, table, 3);
    });
    return 0;
}
