/* lzxcore_example.c - liblzxcore from C: compresses a file into an LZX1
 * stream (the file `lzx compress` would write), decompresses the stream
 * again and reads a slice of it through its index.
 *
 *   lzxcore_example IN OUT [lz | huffman | sort]
 */
#include <lzxcore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(const char* what, lzx_result result) {
    fprintf(stderr, "lzxcore_example: %s: %s (%s)\n", what, lzx_result_text(result), lzx_last_failure());
    return 1;
}

static unsigned char* load(const char* name, size_t* size) {
    FILE* file = fopen(name, "rb");
    unsigned char* data = NULL;
    long length = file && fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
    if (length >= 0 && fseek(file, 0, SEEK_SET) == 0 && (data = malloc((size_t)length + 1)) != NULL)
        *size = fread(data, 1, (size_t)length, file);
    if (file)
        fclose(file);
    return data;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: lzxcore_example IN OUT [lz | huffman | sort]\n");
        return 64;
    }
    const char* named = argc > 3 ? argv[3] : "lz";
    const int mode = strcmp(named, "huffman") == 0 ? LZX_MODE_HUFFMAN : strcmp(named, "sort") == 0 ? LZX_MODE_SORT : LZX_MODE_LZ;
    size_t size = 0, packed_size = 0, back_size = 0, got = 0;
    unsigned char* data = load(argv[1], &size);
    const size_t bound = lzx_compress_bound(size);
    unsigned char* packed = malloc(bound);
    unsigned char* back = malloc(size + 1);
    if (data == NULL || packed == NULL || back == NULL) {
        fprintf(stderr, "lzxcore_example: cannot read %s\n", argv[1]);
        return 1;
    }
    lzx_result result = lzx_compress(data, size, packed, bound, &packed_size, mode);
    if (result != LZX_OK)
        return fail("compress", result);
    FILE* out = fopen(argv[2], "wb");
    if (out == NULL || fwrite(packed, 1, packed_size, out) != packed_size || fclose(out) != 0) {
        fprintf(stderr, "lzxcore_example: cannot write %s\n", argv[2]);
        return 1;
    }
    result = lzx_decompress(packed, packed_size, back, size, &back_size);
    if (result != LZX_OK)
        return fail("decompress", result);
    if (back_size != size || memcmp(back, data, size) != 0)
        return fail("decompress gave other bytes", LZX_OK);
    /* A slice from the middle: only the blocks that hold it are decoded. */
    unsigned char slice[100];
    result = lzx_read_at(packed, packed_size, size / 2, slice, sizeof slice, &got);
    if (result != LZX_OK)
        return fail("read at", result);
    if (memcmp(slice, data + size / 2, got) != 0)
        return fail("read at gave other bytes", LZX_OK);
    printf("%s: %zu bytes, as a %s stream %zu; decompressed whole, %zu bytes read at %zu\n", argv[1], size, named,
           packed_size, got, size / 2);
    free(data);
    free(packed);
    free(back);
    return 0;
}
