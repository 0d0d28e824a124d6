// record.cpp - block records: the stage pipeline of one 16384-byte block.
//
// Record, little-endian, no alignment:
//   [row count n (1 byte), row order (n bytes)]   only with the sort flag
//   bit count B (32-bit signed)
//   coded data, (B + 7) / 8 bytes
// ParseRecordHead and WriteRecordHead are the one reader and writer of the
// head, for records in files and in memory alike.
// The coded data decodes to the stage data, m bytes: m = 16384 is the stored
// form, anything shorter is run-length coded and expands to 16384 bytes.
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "lzx/codec.h"

CodecResult Codec::PackRecord(const std::uint8_t* data, int flags, int* nbits) {
    const std::uint8_t* stage = data;
    RowCount = 0;
    if (flags & FlagSort) {
        CODEC_TRY(SorPack(data, BitBuf, RowOrder, &RowCount));
        stage = BitBuf;
    }
    int m;
    CODEC_TRY(RlePack(stage, &m));
    return (flags & FlagHuffman) ? HufPack(m, nbits) : LzxPack(m, nbits);
}

bool ParseRecordHead(const std::uint8_t* bytes, int available, int flags, RecordHead* head) {
    int at = 0;
    head->rows = 0;
    head->order = bytes;
    if (flags & FlagSort) {
        head->need = 1;
        if (available < 1)
            return false;
        head->rows = bytes[0];
        head->order = bytes + 1;
        at = 1 + head->rows;
        head->need = at;
        if (available < at)
            return false;
    }
    head->need = at + 4;
    if (available < at + 4)
        return false;
    head->nbits = static_cast<std::int32_t>(Load32(bytes + at));
    head->size = at + 4;
    return true;
}

int WriteRecordHead(std::uint8_t* out, int flags, int rows, const std::uint8_t* order, std::int32_t nbits) {
    std::uint8_t* at = out;
    if (flags & FlagSort) {
        *at++ = static_cast<std::uint8_t>(rows);
        std::memcpy(at, order, static_cast<std::size_t>(rows));
        at += rows;
    }
    Store32(at, static_cast<std::uint32_t>(nbits));
    return static_cast<int>(at - out) + 4;
}

CodecResult Codec::DecodeRecord(int nbits, std::uint8_t* destination, int flags) {
    // A damaged record can make the decoder read on past its last bit: the
    // code tables by up to RecordReach bytes, the data by one item. What it
    // finds there must not depend on the block this codec decoded before
    // (which differs between threads, and between reading on and seeking),
    // or one damage would give different reports: it reads zeros.
    const int bytes = CodedBytes(nbits);
    const int tail = BitBufSize + BitBufSlack - bytes;
    std::memset(BitBuf + bytes, 0, static_cast<std::size_t>(tail < RecordReach ? tail : RecordReach));
    int m;
    CODEC_TRY((flags & FlagHuffman) ? HufUnpack(nbits, &m) : LzxUnpack(nbits, &m));
    if (!(flags & FlagSort))
        return RleUnpack(m, destination);
    CODEC_TRY(RleUnpack(m, BitBuf));
    return SorUnpack(BitBuf, destination, RowOrder, RowCount);
}

CodecResult Codec::EncodeBlock(const std::uint8_t* data, int flags, std::uint8_t* out, int* size) {
    int nbits;
    CODEC_TRY(PackRecord(data, flags, &nbits));
    const int head = WriteRecordHead(out, flags, RowCount, RowOrder, nbits);
    std::memcpy(out + head, BitBuf, static_cast<std::size_t>(CodedBytes(nbits)));
    *size = head + CodedBytes(nbits);
    return CodecResult::Success;
}

CodecResult Codec::DecodeBlock(const std::uint8_t* record, int size, std::uint8_t* destination, int flags, int* used) {
    RecordHead head;
    SAFETY_CHECK(ParseRecordHead(record, size, flags, &head), CodecResult::BadData, "DecodeBlock: record cut short");
    SAFETY_CHECK(BitCountValid(head.nbits), CodecResult::BadData, BadBitCountText, head.nbits, "memory");
    const int bytes = CodedBytes(head.nbits);
    SAFETY_CHECK(size - head.size >= bytes, CodecResult::BadData, "DecodeBlock: record cut short");
    RowCount = head.rows;
    std::memcpy(RowOrder, head.order, static_cast<std::size_t>(RowCount));
    std::memcpy(BitBuf, record + head.size, static_cast<std::size_t>(bytes));
    *used = head.size + bytes;
    return DecodeRecord(head.nbits, destination, flags);
}

CodecResult Codec::Fail(CodecResult result, const char* format, ...) {
    // As long as the text needs: a report names a whole path.
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    std::vector<char> text(length > 0 ? static_cast<std::size_t>(length) + 1 : 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    va_end(args);
    failure = text.data();
    return result;
}
