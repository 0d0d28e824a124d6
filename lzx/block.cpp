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

namespace {

[[noreturn]] void BadBitCount(std::int32_t nbits, const char* where) {
    FatalMessage("BlockUnpack: bad bit count %d in [%s]", nbits, where);
}

}  // namespace

int Codec::PackRecord(const std::uint8_t* data, int flags) {
    const std::uint8_t* stage = data;
    int n = 0;
    if (flags & FlagSort) {
        n = SorPack(data, BitBuf, RowOrder);
        stage = BitBuf;
    }
    RowCount = n;
    const int m = RlePack(stage);
    return (flags & FlagHuffman) ? HufPack(m) : LzxPack(m);
}

void Codec::WriteRecord(int nbits, FileRec* file, int flags) {
    if (flags & FlagSort) {
        std::uint8_t head[1 + SortRows];
        head[0] = static_cast<std::uint8_t>(RowCount);
        std::memcpy(head + 1, RowOrder, static_cast<std::size_t>(RowCount));
        DoFwrite(head, 1 + RowCount, file);
    }
    std::uint8_t count[4];
    Store32(count, static_cast<std::uint32_t>(nbits));
    DoFwrite(count, 4, file);
    DoFwrite(BitBuf, (nbits + 7) / 8, file);
}

namespace {

// Reads a record's head into head: with the sort flag the row count and the
// row order, then the bit count, which is checked before anything is read
// behind it: a well-formed record never carries more than the packers'
// limit. Returns the bit count; *size receives the head's length.
std::int32_t ReadRecordHead(FileRec* file, int flags, std::uint8_t* head, int* size) {
    int at = 0;
    if (flags & FlagSort) {
        DoFread(head, 1, file);
        DoFread(head + 1, head[0], file);
        at = 1 + head[0];
    }
    DoFread(head + at, 4, file);
    const std::int32_t nbits = static_cast<std::int32_t>(Load32(head + at));
    if (nbits < 0 || nbits > BitLimit)
        BadBitCount(nbits, file->name);
    *size = at + 4;
    return nbits;
}

}  // namespace

int Codec::ReadRecord(FileRec* file, int flags) {
    std::uint8_t head[1 + SortRows + 4];
    int size;
    const std::int32_t nbits = ReadRecordHead(file, flags, head, &size);
    RowCount = (flags & FlagSort) ? head[0] : 0;
    std::memcpy(RowOrder, head + 1, static_cast<std::size_t>(RowCount));
    DoFread(BitBuf, (nbits + 7) / 8, file);
    return nbits;
}

int ReadRecordBytes(FileRec* file, int flags, std::uint8_t* record) {
    int size;
    const std::int32_t nbits = ReadRecordHead(file, flags, record, &size);
    DoFread(record + size, (nbits + 7) / 8, file);
    return size + (nbits + 7) / 8;
}

void Codec::DecodeRecord(int nbits, std::uint8_t* destination, int flags) {
    // A damaged record can make the decoder read on past its last bit: the
    // code tables by up to RecordReach bytes, the data by one item. What it
    // finds there must not depend on the block this codec decoded before
    // (which differs between threads, and between reading on and seeking),
    // or one damage would give different reports: it reads zeros.
    const int bytes = (nbits + 7) / 8;
    const int tail = BitBufSize + BitBufSlack - bytes;
    std::memset(BitBuf + bytes, 0, static_cast<std::size_t>(tail < RecordReach ? tail : RecordReach));
    const int m = (flags & FlagHuffman) ? HufUnpack(nbits) : LzxUnpack(nbits);
    if (flags & FlagSort) {
        RleUnpack(m, BitBuf);
        SorUnpack(BitBuf, destination, RowOrder, RowCount);
    } else {
        RleUnpack(m, destination);
    }
}

void Codec::BlockPack(const std::uint8_t* data, FileRec* file, int flags) {
    WriteRecord(PackRecord(data, flags), file, flags);
}

void Codec::BlockUnpack(FileRec* file, std::uint8_t* destination, int flags) {
    DecodeRecord(ReadRecord(file, flags), destination, flags);
}

int Codec::EncodeBlock(const std::uint8_t* data, int flags, std::uint8_t* out) {
    const int nbits = PackRecord(data, flags);
    std::uint8_t* at = out;
    if (flags & FlagSort) {
        *at++ = static_cast<std::uint8_t>(RowCount);
        std::memcpy(at, RowOrder, static_cast<std::size_t>(RowCount));
        at += RowCount;
    }
    Store32(at, static_cast<std::uint32_t>(nbits));
    at += 4;
    std::memcpy(at, BitBuf, static_cast<std::size_t>((nbits + 7) / 8));
    return static_cast<int>(at - out) + (nbits + 7) / 8;
}

int Codec::DecodeBlock(const std::uint8_t* record, int size, std::uint8_t* destination, int flags) {
    int at = 0;
    RowCount = 0;
    if (flags & FlagSort) {
        if (size < 1 || size - 1 < record[0])
            FatalMessage("DecodeBlock: record cut short");
        RowCount = record[0];
        std::memcpy(RowOrder, record + 1, static_cast<std::size_t>(RowCount));
        at = 1 + RowCount;
    }
    if (size - at < 4)
        FatalMessage("DecodeBlock: record cut short");
    const std::int32_t nbits = static_cast<std::int32_t>(Load32(record + at));
    at += 4;
    if (nbits < 0 || nbits > BitLimit)
        BadBitCount(nbits, "memory");
    const int bytes = (nbits + 7) / 8;
    if (size - at < bytes)
        FatalMessage("DecodeBlock: record cut short");
    std::memcpy(BitBuf, record + at, static_cast<std::size_t>(bytes));
    DecodeRecord(nbits, destination, flags);
    return at + bytes;
}

void BlockPack(const std::uint8_t* data, FileRec* file, int flags) {
    StreamCodec.BlockPack(data, file, flags);
}

void BlockUnpack(FileRec* file, std::uint8_t* destination, int flags) {
    StreamCodec.BlockUnpack(file, destination, flags);
}
