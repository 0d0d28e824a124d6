// stream_file.h - the module's file access.
//
// The module reaches its files only through these wrappers over the file
// layer. Each works on a record of unit 1 and turns a short transfer into a
// fatal message of its own, so the callers never test a transfer's result.
#pragma once

#include <cstdint>
#include <string>

#include "codec.h"
#include "fileio.h"

// mode, ignoring case: "rb" read, "wb" create/truncate for writing, "w+b" an
// empty file open for reading and writing. Any other mode is fatal.
void DoFopen(const char* name, const char* mode, FileRec* rec);
void DoFclose(FileRec* rec);
void DoFread(void* buffer, int count, FileRec* rec);
void DoFwrite(const void* buffer, int count, FileRec* rec);
void DoFseek(FileRec* rec, int offset);
int DoFtell(FileRec* rec);

// The reason a report gives for a damaged block (its number from 0; -1: not
// known).
std::string BlockDamaged(int block);
// Its detail: where its record begins in the file.
std::string RecordAt(long long offset);

// Block records in files, through a codec. A failure is the fatal report,
// with the codec's text; a damaged record is named by its block's number
// (from 0; -1: not known) and offset.
void BlockPack(Codec& codec, const std::uint8_t* data, FileRec* file, int flags);
void BlockUnpack(Codec& codec, FileRec* file, std::uint8_t* destination, int flags, int block = -1);
// A codec's failure (anything but Success) as the fatal report.
void ReportFailure(const Codec& codec, CodecResult result);
