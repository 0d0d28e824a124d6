// block.h - what a block passes through on its way in and out of a record:
// the buffers its stages share, and the report of the part that coded it.
//
//   BlockEncoder (encoder.h): [sort] -> run-length -> LZ or Huffman -> bits
//   BlockDecoder (decoder.h): bits -> LZ or Huffman -> run-length -> [unsort]
//
// A decoder is a block area with the decode tables; an encoder packs into
// the area it is given, with the work areas only packing needs.
#pragma once

#include <cstdint>

#include "format.h"
#include "huffman.h"
#include "result.h"

struct BlockArea {
    Reporter& Report() { return report; }
    const char* Failure() const { return report.Failure(); }

    // The record's coded bits, with the slack the reader and writer may
    // touch past them (format.h).
    std::uint8_t BitBuf[BitBufSize + BitBufSlack] = {};
    std::int32_t BitPos = 0;
    // The stage data between the run-length stage and the entropy method.
    std::uint8_t WorkBuf[WorkBufSize] = {};
    HufTable MainTable = {};  // the byte code (256) or the LZ code (400)
    HufTable LenTable = {};   // the length code (27)
    // The sort stage's row order, which travels in the record's head.
    std::uint8_t RowOrder[SortRows] = {};
    int RowCount = 0;

    // Last, where it does not move the buffers: the decoders' loops are
    // sensitive to where BitBuf and WorkBuf lie.
    Reporter report;
};
