// test_codec.h - the unit tests' view of a codec: its stages and work areas
// by name, and the plain forms that the codec's fast paths must agree with.
#pragma once

#include <cstdint>
#include <string>

#include "codec.h"
#include "diag.h"

struct TestCodec : Codec {
    using Codec::BitBuf;
    using Codec::BitPos;
    using Codec::DecodeInit;
    using Codec::DecodeLong;
    using Codec::DecodeSymbol;
    using Codec::DecTab;
    using Codec::LenItems;
    using Codec::LenRuns;
    using Codec::LenTable;
    using Codec::LongBits;
    using Codec::Finder;
    using Codec::LzHash;
    using Codec::LzItemCount;
    using Codec::LzItems;
    using Codec::MainTable;
    using Codec::RowCount;
    using Codec::RowDone;
    using Codec::RowOrder;
    using Codec::SorMarkEmpty;
    using Codec::SortGrid;
    using Codec::WorkBuf;

    // The stages as the tests call them: what they yield, and a failure
    // given as the fatal report, as the codec's edge gives it.
    void FresInit(HufTable* table, int n) { Report(Codec::FresInit(table, n)); }
    void FresToLen(HufTable* table) { Report(Codec::FresToLen(table)); }
    void LenToVal(HufTable* table) { Report(Codec::LenToVal(table)); }
    void SendLens(HufTable* table) { Report(Codec::SendLens(table)); }
    void SendLenLens(const std::uint8_t* lengths, int count) { Report(Codec::SendLenLens(lengths, count)); }
    void RecvLens(HufTable* table, int n) { Report(Codec::RecvLens(table, n)); }
    int HufPack(int len) { return Yield(&Codec::HufPack, len); }
    int HufUnpack(int nbits) { return Yield(&Codec::HufUnpack, nbits); }
    int RlePack(const std::uint8_t* data) { return Yield(&Codec::RlePack, data); }
    void RleUnpack(int m, std::uint8_t* destination) { Report(Codec::RleUnpack(m, destination)); }
    void LzxInit() { Report(Codec::LzxInit()); }
    int LzxPack(int m) { return Yield(&Codec::LzxPack, m); }
    int LzxUnpack(int nbits) { return Yield(&Codec::LzxUnpack, nbits); }
    void HufOutLit(int byte) { Report(Codec::HufOutLit(byte)); }
    void HufOutRef(int lengthCode, int distanceCode) { Report(Codec::HufOutRef(lengthCode, distanceCode)); }
    void LzxEmit() { Report(Codec::LzxEmit()); }
    int SorPack(const std::uint8_t* data, std::uint8_t* out, std::uint8_t* order) {
        int n;
        Report(Codec::SorPack(data, out, order, &n));
        return n;
    }
    void SorUnpack(const std::uint8_t* source, std::uint8_t* destination, const std::uint8_t* order, int n) {
        Report(Codec::SorUnpack(source, destination, order, n));
    }
    int EncodeBlock(const std::uint8_t* data, int flags, std::uint8_t* out) {
        int size;
        Report(Codec::EncodeBlock(data, flags, out, &size));
        return size;
    }
    int DecodeBlock(const std::uint8_t* record, int size, std::uint8_t* destination, int flags) {
        int used;
        Report(Codec::DecodeBlock(record, size, destination, flags, &used));
        return used;
    }

    // The decoders' stages without the report: the result, and on a failure
    // Failure()'s text.
    CodecResult TryLzxUnpack(int nbits, int* m) { return Codec::LzxUnpack(nbits, m); }
    CodecResult TryRleUnpack(int m, std::uint8_t* destination) { return Codec::RleUnpack(m, destination); }
    CodecResult TryHufUnpack(int nbits, int* m) { return Codec::HufUnpack(nbits, m); }
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
    void Report(CodecResult result) const {
        if (result != CodecResult::Success)
            FatalMessage("%s", Failure());
    }

private:
    template <typename Argument>
    int Yield(CodecResult (Codec::*stage)(Argument, int*), Argument argument) {
        int value;
        Report((this->*stage)(argument, &value));
        return value;
    }
};
