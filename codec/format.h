// format.h - the constants of the block format, named once.
//
// A stream's data is cut into blocks of 16384 bytes; each becomes one block
// record (record.h), coded on its own with nothing carried over from the
// block before. The limits here are the format's, and the budgets of the
// buffers that hold a block while it is coded are checked against the bit
// stream's reach (bitstream.h).
#pragma once

#include <cstdint>

#include "bitstream.h"

inline constexpr int BlockSize = 16384;          // bytes of stream data per block
inline constexpr int WorkBufSize = 32768;        // the longest run-length form, every byte escaped
inline constexpr int BitBufSize = 32768;
inline constexpr int BitLimit = 262112;          // 0x3FFE0: most bits a block may take, padded
inline constexpr int MaxSymbols = 512;           // largest alphabet a HufTable holds
inline constexpr int ByteSymbols = 256;          // alphabet of the Huffman method
inline constexpr int LzSymbols = 400;            // alphabet of the LZ method
inline constexpr int LenSymbols = 27;            // alphabet of the length code
inline constexpr int MaxCodeLength = 24;
inline constexpr int DecTabBits = 10;
inline constexpr int DecTabSize = 1 << DecTabBits;
inline constexpr std::uint16_t DecTabLong = 512;  // "no code of 10 bits or less matches"
inline constexpr int FastBits = 11;
inline constexpr int FastSize = 1 << FastBits;
inline constexpr int LzWindow = 1024;
inline constexpr int LzMinMatch = 4;
inline constexpr int LzMaxMatch = 256;
inline constexpr int SortRows = 256;
inline constexpr int SortRowBytes = 64;
inline constexpr std::uint8_t SortEmptyByte = 0xFF;
inline constexpr int RleMaxRun = 16;
inline constexpr int MaxRecordHead = 1 + SortRows + 4;  // row count, row order, bit count
inline constexpr int MaxRecordSize = MaxRecordHead + BitLimit / 8;

// Stream flags.
inline constexpr int FlagHuffman = 1;  // entropy method: Huffman instead of LZ
inline constexpr int FlagSort = 2;     // sort stage before the run-length stage

// The bit buffer's room behind the BitLimit bits a block may take. The
// packers check the limit after each item (at most 40 bits: a code of 24 and
// 7 + 9 extra bits), and the writer then stores a word at its position; the
// decoders refill only while their position is inside the block's bits.
inline constexpr int BitBufSlack = 16;
static_assert(BitLimit / 8 <= BitBufSize);
static_assert((BitLimit + 40) / 8 + WriterReach <= BitBufSize + BitBufSlack);
static_assert(BitLimit / 8 - 1 + RefillReach < BitBufSize + BitBufSlack);

// How far past a record's last byte the decoder can read before it stops:
// the code tables are read without looking at the bit count, 27 lengths of
// 6 bits and 400 of at most 14 + 6 bits, the last of them with a refill's
// reach behind it. The bytes there are zeroed before each decode.
inline constexpr int MaxTableBits = LenSymbols * 6 + LzSymbols * (14 + 6);
inline constexpr int RecordReach = 1040;
static_assert(MaxTableBits / 8 + RefillReach < RecordReach);
