// record.h - the head of a block record, read and written in one place.
//
// A record begins with its head: with the sort flag the row count n (1 byte)
// and the row order (n bytes), then the bit count (32-bit signed). The coded
// data, (bit count + 7) / 8 bytes, follows. Files, memory and the stream's
// read-ahead all go through the two functions below.
#pragma once

#include <cstdint>

#include "format.h"

struct RecordHead {
    int rows = 0;                          // the row count; 0 without the sort flag
    const std::uint8_t* order = nullptr;   // the row order, rows bytes
    std::int32_t nbits = 0;                // not yet checked: see BitCountValid
    int size = 0;                          // bytes of the head
    int need = 0;                          // while incomplete: the bytes it needs so far
};

// Parses the head of the record at bytes, of which available are present.
// Answers false while the head is incomplete; need then tells how many
// bytes the head takes as far as they show, so that a reader can fetch it
// in the pieces the format defines (row count, row order, bit count).
bool ParseRecordHead(const std::uint8_t* bytes, int available, int flags, RecordHead* head);
// Writes a head to out (room for MaxRecordHead bytes); answers its size.
int WriteRecordHead(std::uint8_t* out, int flags, int rows, const std::uint8_t* order, std::int32_t nbits);
// The report of a bit count out of range: the count and where the record
// lies (a file's name, or "memory").
inline constexpr const char* BadBitCountText = "BlockUnpack: bad bit count %d in [%s]";
// A well-formed record never carries more bits than the packers' limit.
inline bool BitCountValid(std::int32_t nbits) {
    return nbits >= 0 && nbits <= BitLimit;
}
inline int CodedBytes(std::int32_t nbits) {
    return (nbits + 7) / 8;
}
