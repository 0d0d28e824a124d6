// stream_file.h - the module's file access.
//
// The module reaches its files only through these wrappers over the file
// layer. Each works on a record of unit 1 and turns a short transfer into a
// fatal message of its own, so the callers never test a transfer's result.
#pragma once

#include <string>

#include "fileio/fileio.h"

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
