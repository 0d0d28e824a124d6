// encoder.h - packing a block: its stages and the work areas only packing
// needs (the tree's nodes, the length items, the sort grid, the match
// finder and the LZ items).
#pragma once

#include <cstdint>
#include <memory>

#include "block.h"
#include "match_finder.h"

// An LZ item as the item list holds it: a literal's byte, or a reference's
// symbol (from the classes of L = length - 3 and D = distance - 1) | L <<
// ItemLengthShift | D << ItemDistanceShift.
inline constexpr std::uint32_t ItemSymbolMask = 0x1FF;
inline constexpr int ItemLengthShift = 9;
inline constexpr int ItemDistanceShift = 17;

class BlockEncoder {
public:
    // Packs into area's buffers; the area must outlive the encoder.
    explicit BlockEncoder(BlockArea& area) : area(area) {}

    // One block of BlockSize bytes as a record: the head (headSize bytes),
    // then codedSize bytes at coded, which stay valid until the area's next
    // use.
    struct PackedRecord {
        std::uint8_t head[MaxRecordHead];
        int headSize;
        const std::uint8_t* coded;
        int codedSize;
    };
    CodecResult PackBlock(const std::uint8_t* data, int flags, PackedRecord* record);
    // The record in one piece at out (at most MaxRecordSize bytes); *size
    // receives its size.
    CodecResult EncodeBlock(const std::uint8_t* data, int flags, std::uint8_t* out, int* size);

    // The stages. RlePack codes data into WorkBuf (*m: its length); the
    // entropy methods code WorkBuf's m bytes into BitBuf (*nbits).
    CodecResult SorPack(const std::uint8_t* data, std::uint8_t* out, std::uint8_t* order, int* rows);
    CodecResult RlePack(const std::uint8_t* data, int* m);
    CodecResult HufPack(int len, int* nbits);
    CodecResult LzxPack(int m, int* nbits);

    // The LZ items one at a time, as LzxPack makes them: LzxInit starts a
    // block's list, HufOutItem adds an item (HufOutLit and HufOutRef make
    // it), LzxEmit writes the table section and the items at BitPos.
    CodecResult LzxInit();
    CodecResult HufOutLit(int byte);
    CodecResult HufOutRef(int lengthCode, int distanceCode);
    CodecResult HufOutItem(std::uint32_t item);
    CodecResult LzxEmit();
    const std::uint32_t* LzItems() const { return lzItems; }
    int LzItemCount() const { return lzItemCount; }
    const MatchFinder& Finder() const { return lzPackArea->finder; }

    // The table section: a code's lengths at BitPos, through the length
    // code that LenRuns counts and SendLenLens sends.
    CodecResult SendLens(HufTable* table);
    CodecResult SendLenLens(const std::uint8_t* lengths, int count);
    // The items of the lengths into items, counted in LenTable; answers
    // their number.
    int LenRuns(const std::uint8_t* lengths, int n, LenItem* items);

    // Marks the rows of a grid that hold nothing but SortEmptyByte in done
    // (1) and the others 0; answers the number of the others.
    static int SorMarkEmpty(const std::uint8_t* grid, std::uint8_t* done);

private:
    Reporter& Report() { return area.Report(); }
    // Ends a packed block: *nbits receives the bit count, the block is
    // padded with zero bits to a byte boundary, and a padded block past
    // the limit fails with the text full.
    CodecResult BitFrame(const char* full, int* nbits);

    BlockArea& area;
    CodeBuilder builder;
    LenItem LenItems[MaxSymbols] = {};

    // The match finder and the item list are LZ packing's alone (128 KiB):
    // they are made when the encoder first packs an LZ block.
    struct LzPackArea {
        MatchFinder finder;
        std::uint32_t items[BlockSize];
    };
    CodecResult MakeLzPackArea();
    std::unique_ptr<LzPackArea> lzPackArea;
    std::uint32_t* lzItems = nullptr;
    int lzItemCount = 0;

    std::uint8_t SortGrid[BlockSize] = {};
    std::uint8_t RowDone[SortRows] = {};
};
