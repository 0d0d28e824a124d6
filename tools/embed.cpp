// embed.cpp - build-time helper: turns a file into a C++ source that holds
// its bytes as a constant array.
//   embed INPUT OUTPUT ARRAY SIZE [CRC]
// writes "extern const unsigned char ARRAY[] = {...};",
// "extern const std::size_t SIZE = <length>;" and, with CRC, the bytes'
// CRC-32 as "extern const std::uint32_t CRC = 0x...;", the seal the program
// checks its payload against.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "checksum.h"

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: embed INPUT OUTPUT ARRAY SIZE [CRC]\n");
        return 64;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "embed: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::FILE* out = std::fopen(argv[2], "w");
    if (out == nullptr) {
        std::fprintf(stderr, "embed: cannot write %s\n", argv[2]);
        return 1;
    }
    std::fprintf(out, "// Generated from %s by tools/embed; do not edit.\n#include <cstddef>\n#include <cstdint>\n\n", argv[1]);
    std::fprintf(out, "extern const unsigned char %s[] = {", argv[3]);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        std::fprintf(out, "%s%u,", i % 24 == 0 ? "\n" : "", bytes[i]);
    std::fprintf(out, "\n};\nextern const std::size_t %s = %zu;\n", argv[4], bytes.size());
    if (argc == 6)
        std::fprintf(out, "extern const std::uint32_t %s = 0x%08X;\n", argv[5],
                     static_cast<unsigned>(Crc32(bytes.data(), bytes.size())));
    return std::fclose(out) == 0 ? 0 : 1;
}
