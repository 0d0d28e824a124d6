// block.cpp - block records: the stage pipeline of one 16384-byte block.
//
// Record, little-endian, no alignment:
//   [row count n (1 byte), row order (n bytes)]   only with the sort flag
//   bit count B (32-bit signed)
//   coded data, (B + 7) / 8 bytes
// The coded data decodes to the stage data, m bytes: m = 16384 is the stored
// form, anything shorter is run-length coded and expands to 16384 bytes.
#include "lzx/codec.h"

Codec StreamCodec;

void Codec::BlockPack(const std::uint8_t* data, FileRec* file, int flags) {
    const std::uint8_t* stage = data;
    int n = 0;
    if (flags & FlagSort) {
        n = SorPack(data, BitBuf, RowOrder);
        stage = BitBuf;
    }
    RowCount = n;
    const int m = RlePack(stage);
    const int nbits = (flags & FlagHuffman) ? HufPack(m) : LzxPack(m);

    if (flags & FlagSort) {
        std::uint8_t head[1 + SortRows];
        head[0] = static_cast<std::uint8_t>(n);
        std::memcpy(head + 1, RowOrder, static_cast<std::size_t>(n));
        DoFwrite(head, 1 + n, file);
    }
    std::uint8_t count[4];
    Store32(count, static_cast<std::uint32_t>(nbits));
    DoFwrite(count, 4, file);
    DoFwrite(BitBuf, (nbits + 7) / 8, file);
}

void Codec::BlockUnpack(FileRec* file, std::uint8_t* destination, int flags) {
    int n = 0;
    if (flags & FlagSort) {
        std::uint8_t rows;
        DoFread(&rows, 1, file);
        n = rows;
        DoFread(RowOrder, n, file);
    }
    RowCount = n;
    std::uint8_t count[4];
    DoFread(count, 4, file);
    const std::int32_t nbits = static_cast<std::int32_t>(Load32(count));
    // Checked before anything is read into BitBuf: a well-formed record never
    // carries more than the packers' limit.
    if (nbits < 0 || nbits > BitLimit)
        FatalMessage("BlockUnpack: bad bit count %d in [%s]", nbits, file->name);
    DoFread(BitBuf, (nbits + 7) / 8, file);

    const int m = (flags & FlagHuffman) ? HufUnpack(nbits) : LzxUnpack(nbits);
    if (flags & FlagSort) {
        RleUnpack(m, BitBuf);
        SorUnpack(BitBuf, destination, RowOrder, n);
    } else {
        RleUnpack(m, destination);
    }
}

void BlockPack(const std::uint8_t* data, FileRec* file, int flags) {
    StreamCodec.BlockPack(data, file, flags);
}

void BlockUnpack(FileRec* file, std::uint8_t* destination, int flags) {
    StreamCodec.BlockUnpack(file, destination, flags);
}
