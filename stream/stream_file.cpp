// stream_file.cpp - the stream layer's file access.
//
// Six thin wrappers over the file layer, all in bytes. Reading past the end
// of a file is fatal here: the stream never asks for bytes it has not been
// told exist, so a short read means a truncated or damaged file.
//
// Below them, block records read from and written to files: the codec
// itself answers with results, and here, at its edge with the files, a
// failure becomes the fatal report with the codec's own text.
#include "stream_file.h"

#include "codec.h"

void DoFopen(const char* name, const char* mode, FileRec* rec) {
    if (SameText(mode, "w+b")) {
        FileInit(rec, 1, name);
        FileCreate(rec);
        FileClose(rec);
        FileOpenUpdate(rec);
    } else if (SameText(mode, "rb")) {
        FileInit(rec, 1, name);
        FileOpenRead(rec);
    } else if (SameText(mode, "wb")) {
        FileInit(rec, 1, name);
        FileCreate(rec);
    } else {
        FatalMessage("LZX DoFopen [%s] [%s] failed", name, mode);
    }
}

void DoFclose(FileRec* rec) {
    FileClose(rec);
}

void DoFread(void* buffer, int count, FileRec* rec) {
    const int got = FileRead(rec, count, buffer);
    if (got != count) {
        const int end = FileTell(rec);
        FatalAbout(rec->name, "cut short after " + std::to_string(end) + " bytes",
                   "a read of " + std::to_string(count) + " bytes at offset " + std::to_string(end - got));
        FatalMessage("LZX DoFread failed [%s, %d]", rec->name, count);
    }
}

void DoFwrite(const void* buffer, int count, FileRec* rec) {
    if (FileWrite(rec, count, buffer) != count)
        FatalMessage("LZX DoFwrite failed");
}

void DoFseek(FileRec* rec, int offset) {
    FileSeek(rec, offset, 0);
}

int DoFtell(FileRec* rec) {
    const int position = FileTell(rec);
    if (position < 0)
        FatalMessage("LZX DoFtell failed");
    return position;
}

// ---- Block records in files ------------------------------------------------

// How a report names a damaged block: counted from 1, as a user counts.
std::string BlockDamaged(int block) {
    return block < 0 ? "a block is damaged" : "block " + std::to_string(block + 1) + " is damaged";
}

std::string RecordAt(long long offset) {
    return "its record at offset " + std::to_string(offset);
}

namespace {

// Reads a record's head from the file into bytes (room for MaxRecordHead),
// piece by piece, and checks its bit count before anything behind it is
// read.
RecordHead ReadRecordHead(FileRec* file, int flags, int block, std::uint8_t* bytes) {
    const int at = FileTell(file);
    RecordHead head;
    int have = 0;
    while (!ParseRecordHead(bytes, have, flags, &head)) {
        DoFread(bytes + have, head.need - have, file);
        have = head.need;
    }
    if (!BitCountValid(head.nbits)) {
        FatalAbout(file->name, BlockDamaged(block), RecordAt(at));
        FatalMessage(BadBitCountText, head.nbits, file->name);
    }
    return head;
}

}  // namespace

// The file forms are the codec's edge: a failure is the report.
void BlockPack(Codec& codec, const std::uint8_t* data, FileRec* file, int flags) {
    Codec::PackedRecord record;
    ReportFailure(codec, codec.PackBlock(data, flags, &record));
    DoFwrite(record.head, record.headSize, file);
    DoFwrite(record.coded, record.codedSize, file);
}

void BlockUnpack(Codec& codec, FileRec* file, std::uint8_t* destination, int flags, int block) {
    const int at = FileTell(file);
    std::uint8_t bytes[MaxRecordHead];
    const RecordHead head = ReadRecordHead(file, flags, block, bytes);
    DoFread(codec.ReceiveRecord(head), CodedBytes(head.nbits), file);
    const CodecResult result = codec.DecodeReceived(head.nbits, destination, flags);
    if (result != CodecResult::Success)
        FatalAbout(file->name, BlockDamaged(block), RecordAt(at));
    ReportFailure(codec, result);
}

void ReportFailure(const Codec& codec, CodecResult result) {
    if (result != CodecResult::Success)
        FatalMessage("%s", codec.Failure());
}
