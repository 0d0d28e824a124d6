// stream.h - the state of a HILE stream, private to the module.
//
// A stream owns everything its coding needs: its codec, its buffers and the
// options it was opened with; the batch (pipeline.h) holds its coding
// threads and their codecs. Nothing is shared between streams.
#pragma once

#include <cstdint>

#include "fileio.h"
#include "codec.h"
#include "layout.h"
#include "hile.h"

inline constexpr int HileSideNameSize = 16;

struct HileBatch;

struct HILE {
    int write;                     // 1 write stream, 0 read stream
    char name[HileNameSize];
    char sideName[HileSideNameSize];
    FileRec main;                  // the "LZX1" file (while writing: its temporary sibling)
    FolderChain place;             // while writing: the file's folder, held
    FileSibling sibling;           // while writing: the file's real and temporary names
    FileRec side;                  // collects the block index while writing
    HileHeader header;
    // The block in memory: the stream's own, or a block slot of the batch
    // that the block is coded from or was decoded into, so that it is not
    // copied between the two.
    std::uint8_t* buffer;
    std::uint8_t own[HileBlockSize];
    std::int32_t base;             // stream offset of buffer[0]
    std::int32_t position;         // bytes of the buffer filled (write) or delivered (read)
    int endFlag;                   // a read wanted more than was left
    HileBatch* batch;              // blocks coded in groups; null: one at a time
    Codec* codec;                  // the stream's own block codec
    HileOptions options;
    HILE* next;                    // the other open streams, for the fatal path (stream.cpp)
    HILE* previous;
};

