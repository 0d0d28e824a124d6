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
#include <new>
#include <vector>

#include "codec.h"

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

// ---- Packing -----------------------------------------------------------------

CodecResult Codec::MakeEncoder() {
    if (encoder == nullptr)
        encoder.reset(new (std::nothrow) BlockEncoder(decoder));
    return encoder != nullptr ? CodecResult::Success
                              : decoder.Report().Fail(CodecResult::NoMemory, "PackBlock: out of memory");
}

CodecResult BlockEncoder::PackBlock(const std::uint8_t* data, int flags, PackedRecord* record) {
    const std::uint8_t* stage = data;
    area.RowCount = 0;
    if (flags & FlagSort) {
        CODEC_TRY(SorPack(data, area.BitBuf, area.RowOrder, &area.RowCount));
        stage = area.BitBuf;
    }
    int m;
    CODEC_TRY(RlePack(stage, &m));
    int nbits;
    CODEC_TRY((flags & FlagHuffman) ? HufPack(m, &nbits) : LzxPack(m, &nbits));
    record->headSize = WriteRecordHead(record->head, flags, area.RowCount, area.RowOrder, nbits);
    record->coded = area.BitBuf;
    record->codedSize = CodedBytes(nbits);
    return CodecResult::Success;
}

// The writer leaves zero bits behind the last one it wrote, so the padding
// to a byte boundary only moves the position.
CodecResult BlockEncoder::BitFrame(const char* full, int* nbits) {
    *nbits = area.BitPos;
    area.BitPos = (area.BitPos + 7) & ~7;
    SAFETY_CHECK(area.BitPos <= BitLimit, CodecResult::Bug, "%s", full);
    return CodecResult::Success;
}

CodecResult BlockEncoder::EncodeBlock(const std::uint8_t* data, int flags, std::uint8_t* out, int* size) {
    PackedRecord record;
    CODEC_TRY(PackBlock(data, flags, &record));
    std::memcpy(out, record.head, static_cast<std::size_t>(record.headSize));
    std::memcpy(out + record.headSize, record.coded, static_cast<std::size_t>(record.codedSize));
    *size = record.headSize + record.codedSize;
    return CodecResult::Success;
}

// ---- Decoding ----------------------------------------------------------------

// A damaged record can make the decoder read on past its last bit: the code
// tables by up to RecordReach bytes, the data by one item. What it finds
// there must not depend on the block this decoder decoded before (which
// differs between threads, and between reading on and seeking), or one
// damage would give different reports: it reads zeros.
void BlockDecoder::ClearReach(int nbits) {
    const int bytes = CodedBytes(nbits);
    const int tail = BitBufSize + BitBufSlack - bytes;
    std::memset(BitBuf + bytes, 0, static_cast<std::size_t>(tail < RecordReach ? tail : RecordReach));
}

// The stages after the entropy method: m bytes of stage data in WorkBuf.
CodecResult BlockDecoder::FinishRecord(int m, std::uint8_t* destination, int flags) {
    if (!(flags & FlagSort))
        return RleUnpack(m, destination);
    CODEC_TRY(RleUnpack(m, BitBuf));
    return SorUnpack(BitBuf, destination, RowOrder, RowCount);
}

CodecResult BlockDecoder::DecodeReceived(int nbits, std::uint8_t* destination, int flags) {
    SAFETY_CHECK(BitCountValid(nbits), CodecResult::BadData, BadBitCountText, nbits, "memory");
    ClearReach(nbits);
    int m;
    CODEC_TRY((flags & FlagHuffman) ? HufUnpack(nbits, &m) : LzxUnpack(nbits, &m));
    return FinishRecord(m, destination, flags);
}

std::uint8_t* BlockDecoder::ReceiveRecord(const RecordHead& head) {
    RowCount = head.rows;
    std::memcpy(RowOrder, head.order, static_cast<std::size_t>(RowCount));
    return BitBuf;
}

// The record at the start of size bytes into BitBuf, RowOrder and RowCount:
// *nbits receives its bit count, *used the bytes it takes.
CodecResult BlockDecoder::LoadRecord(const std::uint8_t* record, int size, int flags, int* used, int* nbits) {
    RecordHead head;
    SAFETY_CHECK(ParseRecordHead(record, size, flags, &head), CodecResult::BadData, "DecodeBlock: record cut short");
    SAFETY_CHECK(BitCountValid(head.nbits), CodecResult::BadData, BadBitCountText, head.nbits, "memory");
    const int bytes = CodedBytes(head.nbits);
    SAFETY_CHECK(size - head.size >= bytes, CodecResult::BadData, "DecodeBlock: record cut short");
    RowCount = head.rows;
    std::memcpy(RowOrder, head.order, static_cast<std::size_t>(RowCount));
    std::memcpy(BitBuf, record + head.size, static_cast<std::size_t>(bytes));
    *used = head.size + bytes;
    *nbits = head.nbits;
    return CodecResult::Success;
}

CodecResult BlockDecoder::DecodeBlock(const std::uint8_t* record, int size, std::uint8_t* destination, int flags,
                                      int* used) {
    int nbits = 0;
    CODEC_TRY(LoadRecord(record, size, flags, used, &nbits));
    return DecodeReceived(nbits, destination, flags);
}

// Two blocks at once. Each block's entropy stage is one chain of waits:
// every code's table lookup waits for the bit count of the code before it.
// The blocks are independent, so their codes are taken in turns in one
// loop, a's then b's, each with its own reader, table and output, and one
// chain runs while the other waits. The loop stops as soon as either block
// leaves the fast form's bounds or fails; each block then finishes on its
// own, through the same forms as a lone block, so a block's bytes and its
// report are what DecodeBlock gives. The run-length expansions go one after
// the other: their fast form takes all the units among 16 bytes from one
// mask, so its steps hardly wait on one another, and taken in turns they
// were slower.
void BlockDecoder::DecodeBlockPair(BlockDecoder& a, BlockDecoder& b, BlockJob& first, BlockJob& second, int flags) {
    BlockDecoder* const codecs[2] = {&a, &b};
    BlockJob* const jobs[2] = {&first, &second};
    int nbits[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
        BlockJob& job = *jobs[k];
        job.result = codecs[k]->LoadRecord(job.record, job.size, flags, &job.used, &nbits[k]);
        if (job.result == CodecResult::Success)
            codecs[k]->ClearReach(nbits[k]);
    }
    int m[2] = {0, 0};
    UnpackPair(a, b, nbits, (flags & FlagHuffman) != 0, &first.result, &second.result, m);
    for (int k = 0; k < 2; ++k) {
        if (jobs[k]->result == CodecResult::Success)
            jobs[k]->result = codecs[k]->FinishRecord(m[k], jobs[k]->destination, flags);
    }
}

// The entropy method of two blocks at once, as LzxUnpack or HufUnpack
// decodes each: a block whose result is not Success on entry is left out.
void BlockDecoder::UnpackPair(BlockDecoder& a, BlockDecoder& b, const int nbits[2], bool huffman,
                              CodecResult* firstResult, CodecResult* secondResult, int m[2]) {
    BlockDecoder* const codecs[2] = {&a, &b};
    CodecResult* const results[2] = {firstResult, secondResult};
    LzLane lz[2];
    HufLane huf[2];
    for (int k = 0; k < 2; ++k) {
        if (*results[k] == CodecResult::Success)
            *results[k] = huffman ? codecs[k]->StartHuf(nbits[k], &huf[k]) : codecs[k]->StartLzx(nbits[k], &lz[k]);
    }
    if (*firstResult == CodecResult::Success && *secondResult == CodecResult::Success) {
        if (huffman)
            RunPair(a, b, huf[0], huf[1], firstResult, secondResult);
        else
            RunPair(a, b, lz[0], lz[1], firstResult, secondResult);
    }
    for (int k = 0; k < 2; ++k) {
        if (*results[k] == CodecResult::Success)
            *results[k] = huffman ? codecs[k]->FinishHufLane(huf[k], &m[k]) : codecs[k]->FinishLzLane(lz[k], &m[k]);
    }
}

CodecResult Reporter::Fail(CodecResult result, const char* format, ...) {
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
