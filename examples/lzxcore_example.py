#!/usr/bin/env python3
"""liblzxcore from Python through ctypes: decompresses an LZX1 stream and
reads a slice of it through its index.

    lzxcore_example.py LIBRARY STREAM [ORIGINAL]

LIBRARY is the path of liblzxcore.so; with ORIGINAL, both results are
compared with its bytes. A damaged stream is reported, never a crash."""
import ctypes
import sys
from ctypes import POINTER, byref, c_char_p, c_size_t, c_uint64, c_void_p

lib = ctypes.CDLL(sys.argv[1])
lib.lzx_decompressed_size.argtypes = [c_char_p, c_size_t, POINTER(c_uint64)]
lib.lzx_decompress.argtypes = [c_char_p, c_size_t, c_void_p, c_size_t, POINTER(c_size_t)]
lib.lzx_read_at.argtypes = [c_char_p, c_size_t, c_uint64, c_void_p, c_size_t, POINTER(c_size_t)]
lib.lzx_result_text.restype = c_char_p
lib.lzx_last_failure.restype = c_char_p


def check(result, what):
    if result != 0:
        sys.exit(f"{what}: {lib.lzx_result_text(result).decode()} ({lib.lzx_last_failure().decode()})")


stream = open(sys.argv[2], "rb").read()
length = c_uint64()
check(lib.lzx_decompressed_size(stream, len(stream), byref(length)), "size")
out = ctypes.create_string_buffer(max(length.value, 1))
got = c_size_t()
check(lib.lzx_decompress(stream, len(stream), out, length.value, byref(got)), "decompress")
data = out.raw[:got.value]

offset = len(data) // 3
piece = ctypes.create_string_buffer(1000)
check(lib.lzx_read_at(stream, len(stream), offset, piece, len(piece), byref(got)), "read at")
slice_ = piece.raw[:got.value]

if len(sys.argv) > 3:
    original = open(sys.argv[3], "rb").read()
    if data != original or slice_ != original[offset:offset + len(slice_)]:
        sys.exit("the stream's bytes differ from the original")
print(f"{sys.argv[2]}: {len(data)} bytes decompressed, {len(slice_)} read at {offset}")
