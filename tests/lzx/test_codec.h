// test_codec.h - the unit tests' view of a codec: its stages and work areas
// by name, and the plain forms that the codec's fast paths must agree with.
#pragma once

#include <cstdint>

#include "lzx/codec.h"

struct TestCodec : Codec {
    using Codec::BitBuf;
    using Codec::BitPos;
    using Codec::DecodeBlock;
    using Codec::DecodeInit;
    using Codec::DecodeLong;
    using Codec::DecodeSymbol;
    using Codec::DecTab;
    using Codec::EncodeBlock;
    using Codec::FresInit;
    using Codec::FresToLen;
    using Codec::HufOutLit;
    using Codec::HufOutRef;
    using Codec::HufPack;
    using Codec::HufUnpack;
    using Codec::LenItems;
    using Codec::LenRuns;
    using Codec::LenTable;
    using Codec::LenToVal;
    using Codec::LongBits;
    using Codec::LongestMatch;
    using Codec::LzChain;
    using Codec::LzHead;
    using Codec::LzItemCount;
    using Codec::LzItems;
    using Codec::LzxEmit;
    using Codec::LzxInit;
    using Codec::LzxPack;
    using Codec::LzxUnpack;
    using Codec::MainTable;
    using Codec::RecvLens;
    using Codec::RleUnpack;
    using Codec::RlePack;
    using Codec::RowCount;
    using Codec::RowDone;
    using Codec::RowOrder;
    using Codec::SendLenLens;
    using Codec::SendLens;
    using Codec::SorMarkEmpty;
    using Codec::SorPack;
    using Codec::SorUnpack;
    using Codec::SortGrid;
    using Codec::WorkBuf;

    // The plain forms. LzxMatch: the longest match at pos over the whole
    // chain walk, byte by byte (any length, 0 for none), the nearest among
    // equally long ones.
    int LzxMatch(int pos, int left, int* distance) const;
    // The number of bytes in which rows a and b differ, counted up to limit.
    int SorRowDist(int a, int b, int limit) const;
    // The open row (RowDone 0) nearest to the reference row, the lowest on
    // a tie.
    int SorBestRow(int reference) const;
};
