// test_codec.h - the unit tests' codec: a decoder, which is also the block's
// area, and an encoder that packs into it; their stages as the tests call
// them, and the plain forms that the codec's fast paths must agree with.
#pragma once

#include <cstdint>
#include <string>

#include "codec.h"
#include "diag.h"

struct TestCodec : BlockDecoder {
    BlockEncoder encoder{*this};
    CodeBuilder builder;

    // The stages as the tests call them: what they yield, and a failure
    // given as the fatal report, as the codec's edge gives it.
    void FresInit(HufTable* table, int n) { Fatal(CodeBuilder::FresInit(table, n, Report())); }
    void FresToLen(HufTable* table) { Fatal(builder.FresToLen(table, Report())); }
    void LenToVal(HufTable* table) { Fatal(CodeBuilder::LenToVal(table, Report())); }
    void SendLens(HufTable* table) { Fatal(encoder.SendLens(table)); }
    void SendLenLens(const std::uint8_t* lengths, int count) { Fatal(encoder.SendLenLens(lengths, count)); }
    int LenRuns(const std::uint8_t* lengths, int n, LenItem* items) { return encoder.LenRuns(lengths, n, items); }
    void RecvLens(HufTable* table, int n) { Fatal(BlockDecoder::RecvLens(table, n)); }
    int HufPack(int len) { return Yield(encoder.HufPack(len, &yield)); }
    int HufUnpack(int nbits) { return Yield(BlockDecoder::HufUnpack(nbits, &yield)); }
    int RlePack(const std::uint8_t* data) { return Yield(encoder.RlePack(data, &yield)); }
    void RleUnpack(int m, std::uint8_t* destination) { Fatal(BlockDecoder::RleUnpack(m, destination)); }
    void LzxInit() { Fatal(encoder.LzxInit()); }
    int LzxPack(int m) { return Yield(encoder.LzxPack(m, &yield)); }
    int LzxUnpack(int nbits) { return Yield(BlockDecoder::LzxUnpack(nbits, &yield)); }
    void HufOutLit(int byte) { Fatal(encoder.HufOutLit(byte)); }
    void HufOutRef(int lengthCode, int distanceCode) { Fatal(encoder.HufOutRef(lengthCode, distanceCode)); }
    void HufOutItem(std::uint32_t item) { Fatal(encoder.HufOutItem(item)); }
    void LzxEmit() { Fatal(encoder.LzxEmit()); }
    const std::uint32_t* LzItems() const { return encoder.LzItems(); }
    int LzItemCount() const { return encoder.LzItemCount(); }
    const MatchFinder& Finder() const { return encoder.Finder(); }
    int SorPack(const std::uint8_t* data, std::uint8_t* out, std::uint8_t* order) {
        return Yield(encoder.SorPack(data, out, order, &yield));
    }
    void SorUnpack(const std::uint8_t* source, std::uint8_t* destination, const std::uint8_t* order, int n) {
        Fatal(BlockDecoder::SorUnpack(source, destination, order, n));
    }
    int EncodeBlock(const std::uint8_t* data, int flags, std::uint8_t* out) {
        return Yield(encoder.EncodeBlock(data, flags, out, &yield));
    }
    int DecodeBlock(const std::uint8_t* record, int size, std::uint8_t* destination, int flags) {
        return Yield(BlockDecoder::DecodeBlock(record, size, destination, flags, &yield));
    }

    // The decode tables' lookups.
    void DecodeInit(const HufTable* table) { Tables().DecodeInit(table); }
    int DecodeSymbol(const HufTable* table, std::uint32_t bits) { return Tables().DecodeSymbol(table, bits); }

    // The decoders' stages without the report: the result, and on a failure
    // Failure()'s text.
    CodecResult TryLzxUnpack(int nbits, int* m) { return BlockDecoder::LzxUnpack(nbits, m); }
    CodecResult TryRleUnpack(int m, std::uint8_t* destination) { return BlockDecoder::RleUnpack(m, destination); }
    CodecResult TryHufUnpack(int nbits, int* m) { return BlockDecoder::HufUnpack(nbits, m); }
    static void TryUnpackPair(TestCodec& a, TestCodec& b, const int nbits[2], bool huffman, CodecResult results[2],
                              int m[2]) {
        UnpackPair(a, b, nbits, huffman, &results[0], &results[1], m);
    }

    // The plain forms. PlainLzxUnpack: the LZ stage decoded one item at a
    // time through DecodeSymbol, each reference copied byte by byte after
    // its tests; *m receives the bytes decoded into WorkBuf. Answers the
    // text of the first failure, empty for none. PlainHufUnpack: the
    // Huffman method's bytes the same way. PlainRleUnpack: the
    // run-length rule, one unit at a time, into 16384 bytes, the same way.
    std::string PlainLzxUnpack(int nbits, int* m);
    // Their table at the start of the bits, received and made ready to
    // decode; false with Failure()'s text when it is refused.
    bool ReceiveMainTable(int symbols);
    // The next symbol through DecodeSymbol, its code skipped; -1 for none.
    int NextSymbol(BitReader& in);
    std::string PlainHufUnpack(int nbits, int* m);
    static std::string PlainRleUnpack(const std::uint8_t* stage, int m, std::uint8_t* destination);
    // The plain forms' own work areas: the length items, and the sort
    // grid with its rows done.
    LenItem LenItems[MaxSymbols] = {};
    std::uint8_t SortGrid[BlockSize] = {};
    std::uint8_t RowDone[SortRows] = {};
    int SorMarkEmpty() { return BlockEncoder::SorMarkEmpty(SortGrid, RowDone); }
    // LzxMatch: the longest match at pos with every earlier position in the
    // window, byte by byte, without the hash chains (any length, 0 for
    // none), the nearest among equally long ones.
    int LzxMatch(int pos, int left, int* distance) const;
    // The number of bytes in which rows a and b differ, counted up to limit.
    int SorRowDist(int a, int b, int limit) const;
    // The open row (RowDone 0) nearest to the reference row, the lowest on
    // a tie.
    int SorBestRow(int reference) const;

    // A failure as the fatal report, with the codec's text, as the stream
    // layer gives it.
    void Fatal(CodecResult result) const {
        if (result != CodecResult::Success)
            FatalMessage("%s", Failure());
    }

private:
    int yield = 0;
    int Yield(CodecResult result) {
        Fatal(result);
        return yield;
    }
};
