// codec.h - the block codec, private to the codec layer and the layers above it.
//
// A stream's data is cut into blocks of 16384 bytes, and every block is coded
// on its own, with nothing carried over from the block before:
//
//   EncodeBlock: [sort] -> run-length -> LZ or Huffman -> block record
//   DecodeBlock: block record -> LZ or Huffman -> run-length -> [unsort]
//
// A Codec holds every work area of one block, so that several codecs can
// run side by side, each on its own block. Every stream owns one, and each
// of its coding threads another. Its parts have their own data: the
// decoder (a block area with the decode tables), and the encoder with
// packing's work areas, made when the codec first packs, so that a codec
// that only decodes goes without them.
//
// The codec layer's files:
//   cpu.h, x86/                   what the codec asks of the compiler and the processor
//   format.h, bitstream.h         the format's constants; the bit reader and writer
//   result.h                      how the parts answer, and report a failure
//   huffman.h/.cpp                Huffman code construction
//   decode_tables.h/.cpp          the tables that decode a code
//   block.h, encoder.h, decoder.h a block's buffers, and the parts that pack and decode it
//   match_finder.h/.cpp           the LZ stage's hash chains
//   code_lengths.cpp              the table section (a code's lengths, sent and received)
//   huffman_method.cpp, lz.cpp    the two entropy methods
//   rle.cpp, sort.cpp             the run-length and sort stages
//   record.h/.cpp                 block records in memory
//   layout.h, lzxcore.cpp         the "LZX1" stream in memory and the C interface over it
//   crew.h/.cpp                   the block-parallel engine: blocks coded on several threads
//
// The codec needs nothing but the standard library: it is the library
// "lzxcore" that other programs link. The stream layer (stream/) puts its
// records in files and turns its failures into the fatal report.
#pragma once

#include <cstdint>
#include <memory>

#include "decoder.h"
#include "encoder.h"

class Codec {
public:
    // Block records in memory: EncodeBlock writes one record to out (at
    // most MaxRecordSize bytes) and *size receives its size; DecodeBlock
    // decodes the record at the start of size bytes and *used receives the
    // bytes it took (a record longer than size is damaged). On a failure,
    // Failure() holds the report's text.
    static constexpr int MaxRecordSize = ::MaxRecordSize;
    CodecResult EncodeBlock(const std::uint8_t* data, int flags, std::uint8_t* out, int* size) {
        CODEC_TRY(MakeEncoder());
        return encoder->EncodeBlock(data, flags, out, size);
    }
    CodecResult DecodeBlock(const std::uint8_t* record, int size, std::uint8_t* destination, int flags, int* used) {
        return decoder.DecodeBlock(record, size, destination, flags, used);
    }
    const char* Failure() const { return decoder.Failure(); }

    // The same records in pieces, for a reader or writer that moves them
    // itself (a file) without a copy through a buffer of its own (encoder.h,
    // decoder.h).
    using PackedRecord = BlockEncoder::PackedRecord;
    CodecResult PackBlock(const std::uint8_t* data, int flags, PackedRecord* record) {
        CODEC_TRY(MakeEncoder());
        return encoder->PackBlock(data, flags, record);
    }
    std::uint8_t* ReceiveRecord(const RecordHead& head) { return decoder.ReceiveRecord(head); }
    CodecResult DecodeReceived(int nbits, std::uint8_t* destination, int flags) {
        return decoder.DecodeReceived(nbits, destination, flags);
    }

    // Two records decoded at once, each by its own codec (decoder.h).
    using BlockJob = BlockDecoder::BlockJob;
    static void DecodeBlockPair(Codec& a, Codec& b, BlockJob& first, BlockJob& second, int flags) {
        BlockDecoder::DecodeBlockPair(a.decoder, b.decoder, first, second, flags);
    }

private:
    CodecResult MakeEncoder();

    BlockDecoder decoder;  // also the block area the encoder packs into
    std::unique_ptr<BlockEncoder> encoder;
};
