// checksum.h - CRC-32 (reflected, polynomial 0xEDB88320, as zip and PNG use
// it): the build seals the updater's payload with it (tools/embed) and the
// program checks it before it writes anything; an update's journal seals
// each of its lines. It finds a download cut short, a damaged copy or a
// line torn by a power cut; it is no defence against someone who forges
// the data and its CRC together.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace crc32_detail {

constexpr std::array<std::uint32_t, 256> MakeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        table[i] = value;
    }
    return table;
}

inline constexpr std::array<std::uint32_t, 256> Table = MakeTable();

}  // namespace crc32_detail

inline std::uint32_t Crc32(const unsigned char* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        crc = crc32_detail::Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
