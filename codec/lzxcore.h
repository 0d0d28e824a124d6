/*
 * lzxcore.h - the LZX codec for any program: "LZX1" streams in memory.
 *
 * An LZX1 stream is what `lzx compress` writes: a 16-byte header ("LZX1",
 * the index offset, the length of the data, the flags), one record per
 * 16384 bytes of data, each coded on its own, and an index of the records'
 * offsets, through which any part of the data is found without decoding
 * the rest. lzx_compress gives, byte for byte, the file that
 * `lzx compress -j 1` writes for the same data and mode.
 *
 * Results. Every function returns; none ends the process. Damaged or
 * hostile input gives LZX_BAD_DATA, and no call ever reads or writes
 * outside the buffers it is given (in_size bytes from in, out_capacity or
 * count bytes to out). After a failure the contents of out are unspecified
 * and *out_size or *got is 0. lzx_last_failure() says what went wrong.
 *
 * Threads. Every function may be called from many threads at once: a call
 * shares nothing with any other call. A context (lzx_context_new) holds the
 * work areas of many calls, so that they need not be made for each one; it
 * may be used by one call at a time (any thread, one after the other), and
 * each thread that codes at once needs a context of its own. The calls
 * without a context make one for the call and free it again.
 *
 * Limits. The data of one stream is at most 2147483647 bytes, and a stream
 * at most 4294967295 bytes (the format's 32-bit fields).
 *
 * Memory. A context takes about 200 KiB per thread, and 128 KiB more per
 * thread from its first compression in LZ mode or with sort, which allocates
 * the match search's areas and keeps them with the context (LZX_NO_MEMORY
 * when it cannot). Its threads start at its first call that codes on more
 * than one, and stay until it is freed. A call allocates nothing else, but
 * a context of one thread where none is given.
 *
 * Only standard headers; the same header serves C and C++.
 */
#ifndef LZXCORE_H
#define LZXCORE_H

#include <stddef.h>
#include <stdint.h>

/* LZX_API marks the interface's functions. On Windows, a program that uses
 * lzxcore.dll through its import library defines LZXCORE_DLL before this
 * header (the CMake package does it for LzxCore::lzxcore); one that links
 * the static library defines nothing. */
#if defined(_WIN32)
#if defined(LZXCORE_BUILDING_DLL)
#define LZX_API __declspec(dllexport)
#elif defined(LZXCORE_DLL)
#define LZX_API __declspec(dllimport)
#else
#define LZX_API
#endif
#elif defined(LZXCORE_BUILDING) && defined(__GNUC__)
#define LZX_API __attribute__((visibility("default")))
#else
#define LZX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define LZXCORE_VERSION_MAJOR 1
#define LZXCORE_VERSION_MINOR 0
#define LZXCORE_VERSION_PATCH 0
#define LZXCORE_VERSION_STRING "1.0.0"

typedef enum {
    LZX_OK = 0,
    LZX_BAD_DATA,     /* not an intact LZX1 stream: damaged, cut short, or something else */
    LZX_SHORT_OUTPUT, /* out_capacity is too small for the result */
    LZX_BAD_ARGUMENT, /* a null pointer where bytes are needed, an unknown mode, data too long */
    LZX_NO_MEMORY,    /* a context or its work areas could not be allocated */
    LZX_CANNOT_PACK   /* the data cannot be coded in this mode (sort: no 64-byte row of 0xFF in a block) */
} lzx_result;

/* The modes of lzx_compress, the stream's flags: what `lzx compress` writes
 * without an option, with --huffman and with --sort. The sort mode needs, in
 * every block of 16384 bytes, at least one 64-byte row (at a multiple of 64)
 * of 0xFF bytes. */
enum { LZX_MODE_LZ = 0, LZX_MODE_HUFFMAN = 1, LZX_MODE_SORT = 2 };

/* The most bytes lzx_compress can write for size bytes of data, in any
 * mode: an output buffer this large never gives LZX_SHORT_OUTPUT. About
 * 1.2 times size, plus 16. 0 when size exceeds the limit. */
LZX_API size_t lzx_compress_bound(size_t size);

/* Compresses in_size bytes into a stream in out; *out_size receives its
 * size. in may be null when in_size is 0. */
LZX_API lzx_result lzx_compress(const void* in, size_t in_size, void* out, size_t out_capacity, size_t* out_size,
                                int mode);

/* The length of the data a stream holds, from its header (checked against
 * in_size: the index must lie inside the stream). */
LZX_API lzx_result lzx_decompressed_size(const void* in, size_t in_size, uint64_t* size);

/* Decompresses a whole stream into out. Every record is decoded and checked,
 * and each must begin where the index says: a stream accepted here gives the
 * same bytes through lzx_read_at. LZX_SHORT_OUTPUT, before anything is
 * decoded, when out_capacity is below the stream's length. */
LZX_API lzx_result lzx_decompress(const void* in, size_t in_size, void* out, size_t out_capacity, size_t* out_size);

/* Reads count bytes of the data from offset on, as pread does: *got
 * receives the bytes delivered, fewer at the end of the data (0 from the end
 * on). Only the blocks that hold them are decoded, found through the index. */
LZX_API lzx_result lzx_read_at(const void* in, size_t in_size, uint64_t offset, void* out, size_t count, size_t* got);

/* A short text for a result ("damaged data" ...); never null. */
LZX_API const char* lzx_result_text(lzx_result result);

/* What the last call on this thread that did not return LZX_OK ran into,
 * for example "block 3: LzxUnpack: too many bits read"; "" before any
 * failure. Valid until the next failing call on this thread. */
LZX_API const char* lzx_last_failure(void);

/* ---- Contexts: work areas kept for many calls, and threads per call ---- */

typedef struct lzx_context lzx_context;

/* The most threads a context codes on. */
#define LZX_MAX_THREADS 64

/* A context whose calls code on up to threads threads (1 to LZX_MAX_THREADS; 0 or 1:
 * the calling thread alone); null when out of memory or threads is out of
 * range. The result does not depend on threads. Compressing uses more than
 * one thread only where out_capacity is at least lzx_compress_bound. */
LZX_API lzx_context* lzx_context_new(int threads);
/* Frees a context; null does nothing. */
LZX_API void lzx_context_free(lzx_context* context);

/* The calls above, with the context's work areas and threads. */
LZX_API lzx_result lzx_context_compress(lzx_context* context, const void* in, size_t in_size, void* out,
                                        size_t out_capacity, size_t* out_size, int mode);
LZX_API lzx_result lzx_context_decompress(lzx_context* context, const void* in, size_t in_size, void* out,
                                          size_t out_capacity, size_t* out_size);
LZX_API lzx_result lzx_context_read_at(lzx_context* context, const void* in, size_t in_size, uint64_t offset,
                                       void* out, size_t count, size_t* got);

#ifdef __cplusplus
}
#endif

#endif /* LZXCORE_H */
