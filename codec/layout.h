// layout.h - the "LZX1" stream's own layout, described and defined here
// alone, read and written in one place.
//
//   offset 0   "LZX1"
//          4   index offset (the end of the last block record)
//          8   total length of the stream, in bytes (signed 32-bit)
//         12   flags: 1 Huffman method, 2 sort stage
//         16   block records, one per 16384 stream bytes
//   index      one 32-bit file offset per block record
//
// The HILE stream (stream/) meets this layout in files, the C interface
// (lzxcore.cpp, lzxcore.h) in memory; both decide with the functions here
// whether a header and an index entry can be trusted, so a stream that one
// of them refuses the other refuses too. Standard library only: this is
// part of the library other programs link.
#pragma once

#include <cstdint>

#include "cpu.h"
#include "format.h"

inline constexpr int StreamHeaderSize = 16;
inline constexpr std::uint32_t StreamMagic = 0x31585A4C;  // "LZX1" read little-endian
inline constexpr std::int64_t MaxStreamLength = 0x7FFFFFFF;
inline constexpr int IndexEntrySize = 4;
// Where the header's fields lie.
inline constexpr int HeaderIndexAt = 4;
inline constexpr int HeaderLengthAt = 8;
inline constexpr int HeaderFlagsAt = 12;

struct HileHeader {
    std::uint32_t magic;
    std::int32_t indexOffset;
    std::int32_t totalLength;
    std::int32_t flags;
};

inline void EncodeHeader(const HileHeader& header, std::uint8_t* raw) {
    Store32(raw, header.magic);
    Store32(raw + HeaderIndexAt, static_cast<std::uint32_t>(header.indexOffset));
    Store32(raw + HeaderLengthAt, static_cast<std::uint32_t>(header.totalLength));
    Store32(raw + HeaderFlagsAt, static_cast<std::uint32_t>(header.flags));
}

inline HileHeader DecodeHeader(const std::uint8_t* raw) {
    return {Load32(raw), static_cast<std::int32_t>(Load32(raw + HeaderIndexAt)),
            static_cast<std::int32_t>(Load32(raw + HeaderLengthAt)), static_cast<std::int32_t>(Load32(raw + HeaderFlagsAt))};
}

// The number of blocks of a stream of this length.
inline std::int64_t BlockCount(std::int64_t totalLength) {
    return (totalLength + BlockSize - 1) / BlockSize;
}

// A header to trust in a file of fileSize bytes: the magic, and the index
// inside the file, behind the header, with one entry per block of the
// total length. No later read can then be led outside the file.
inline bool HeaderSound(const HileHeader& header, long long fileSize) {
    return header.magic == StreamMagic && header.indexOffset >= StreamHeaderSize && header.totalLength >= 0 &&
           static_cast<long long>(header.indexOffset) + IndexEntrySize * BlockCount(header.totalLength) <= fileSize;
}

// An index entry names a record that begins among the records.
inline bool RecordOffsetSound(std::int64_t offset, const HileHeader& header) {
    return offset >= StreamHeaderSize && offset < header.indexOffset;
}
