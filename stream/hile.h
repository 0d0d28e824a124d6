// hile.h - compressed streams in files: the stream layer's interface.
//
// A HILE is a byte stream kept compressed in an "LZX1" file, laid out as
// layout.h says. It is written once from start to end, or read sequentially
// and by seeking, block by block through the block index.
//
// Every failure ends the program through the fatal report; only the end of
// the stream comes back to the caller. (The same streams in memory, with
// results instead: lzxcore.h.) Streams on different threads share nothing
// but the open-file table, which is guarded.
#pragma once

#include <cstdint>

#include "layout.h"
#include "lzxcore.h"

struct FileRec;  // the file layer's record of an open file (fileio.h)

// The layout's names as this interface has always given them.
inline constexpr int HileBlockSize = BlockSize;
inline constexpr int HileHeaderSize = StreamHeaderSize;
inline constexpr std::uint32_t HileMagic = StreamMagic;
inline constexpr int HileNameSize = 80;
inline constexpr int HileMaxThreads = LZX_MAX_THREADS;  // threads coding one stream at most  // a stream's file name, its terminating zero included

// A stream's state is the library's own: callers hold a pointer and ask
// through the functions below.
struct HILE;

// Called after every block a stream writes or reads, with the stream.
// Tools use it for progress reports.
using HileProgress = void (*)(const HILE* stream);

// How a stream codes, fixed when it is opened. Every stream has its own
// codec and buffers.
struct HileOptions {
    // The threads that code the stream's blocks (1: each block on the
    // stream's own thread). The files written and the bytes read are the
    // same whatever the number; memory grows by about 1 MB per thread.
    int threads = 1;
    HileProgress progress = nullptr;  // null: nothing is called
};

// mode: "rb", or "wb" with an optional third letter: "h" Huffman method,
// "s" sort stage.
HILE* Hopen(const char* name, const char* mode, const HileOptions& options = {});
// A read stream over a file the caller already holds open (unit 1, for
// reading): the stream takes the record over (its handle becomes 0 there),
// reads from the file's start and closes it at Hclose. For a file that must
// not be looked up by its name a second time.
HILE* HopenFile(FileRec* file, const HileOptions& options = {});
int Hclose(HILE* stream);  // write: size of the finished file; read: 0
int Hread(void* buffer, int count, HILE* stream);
void Hwrite(const void* buffer, int count, HILE* stream);
void Hseek(HILE* stream, int position);
int Htell(const HILE* stream);
// The stream's length in bytes (written so far, while writing) and its flags
// (1 Huffman method, 2 sort stage).
int HileLength(const HILE* stream);
int HileFlags(const HILE* stream);
int Hgetc(HILE* stream);
int Hputc(int byte, HILE* stream);
int Heof(HILE* stream);
void HileCheck(const HILE* stream, const char* operation);
void Hflus(HILE* stream);
// A read stream starts again at its first record, as just opened: the block
// index is not consulted.
void Hrewind(HILE* stream);
void Hfill(HILE* stream);

// Releases every stream still open, without writing anything: for harnesses
// that go on after a fatal report (whose files the report has closed). The
// program itself ends instead.
void HileReleaseAll();
