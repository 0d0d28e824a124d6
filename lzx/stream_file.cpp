// stream_file.cpp - the codec's own file access.
//
// Six thin wrappers over the file layer, all in bytes. Reading past the end
// of a file is fatal here: the stream never asks for bytes it has not been
// told exist, so a short read means a truncated or damaged file.
#include "lzx/stream_file.h"

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
    if (FileRead(rec, count, buffer) != count)
        FatalMessage("LZX DoFread failed [%s, %d]", rec->name, count);
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
