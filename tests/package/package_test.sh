#!/usr/bin/env bash
# The installed package as other programs use it: `cmake --install` of the
# release tree into a fresh prefix, the C example built through find_package
# and through pkg-config (shared, and --static into a static program), each
# run in every mode and its stream compared with the lzx tool's, and the
# Python example through ctypes. Nothing here reads the build tree but the
# install step (and the tool, until the package installs it).
# Usage: package_test.sh TOP TREE
#
# TREE is an optimised build of the library and the tool of this test's own
# (a package is built without sanitizers), made here where it is not made
# yet and brought up to date where it is.
set -u
top=$(realpath "$1")
mkdir -p "$2"
release=$(realpath "$2")
source "$top/tests/tools/checks.sh"
expect_exit 0 "configure the package build" cmake -S "$top" -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DUPDATER_HOST_TOOLS_ONLY=ON -DUPDATER_TESTS=OFF -DUPDATER_WERROR=ON
expect_exit 0 "build the package" cmake --build "$release"

prefix=$work/prefix
expect_exit 0 "install" cmake --install "$release" --prefix "$prefix"
for file in include/lzxcore.h lib/liblzxcore.a lib/liblzxcore.so lib/cmake/LzxCore/LzxCoreConfig.cmake lib/pkgconfig/lzxcore.pc; do
  [ -e "$prefix/$file" ] || fail "installed: $file is missing"
done
readelf -d "$prefix/lib/liblzxcore.so" | grep -q 'SONAME.*\[liblzxcore\.so\.1\]' || fail "the shared library's soname is not versioned"

expect_exit 0 "find_package build" sh -c "cmake -S '$top/examples' -B cm -G Ninja -DCMAKE_PREFIX_PATH='$prefix' && cmake --build cm"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
flags=$(pkg-config --cflags --libs lzxcore)
expect_exit 0 "pkg-config build" cc "$top/examples/lzxcore_example.c" $flags -Wl,-rpath,"$prefix/lib" -o pc
expect_exit 0 "pkg-config --static build" cc -static "$top/examples/lzxcore_example.c" $(pkg-config --static --cflags --libs lzxcore) -o pcs

# Text with a row of 0xFF bytes in every kilobyte, so that every mode packs it.
perl -e 'for $i (0..1199) { print "\xff" x 64, substr("Zelk row $i, " x 80, 0, 960) }' > data.bin
lzx=$prefix/bin/lzx
if [ ! -x "$lzx" ]; then
  lzx=$release/tools/lzx
  echo "package: the package installs no lzx tool yet; its streams are compared with $lzx"
fi
for mode in lz huffman sort; do
  option=$([ $mode = lz ] || echo "--$mode")
  expect_exit 0 "lzx compress $mode" "$lzx" compress -j 1 $option data.bin tool.$mode.lzx
  for program in cm/lzxcore_example ./pc ./pcs; do
    expect_exit 0 "$program $mode" "$program" data.bin ours.lzx $mode
    cmp -s ours.lzx tool.$mode.lzx || fail "$program $mode: the stream differs from the tool's"
  done
done

expect_exit 0 "python" python3 "$top/examples/lzxcore_example.py" "$prefix/lib/liblzxcore.so" tool.sort.lzx data.bin
expect_text out.txt "1228800 bytes decompressed, 1000 read at 409600" "python: the slice"
head -c 5000 tool.lz.lzx > cut.lzx
expect_exit 1 "python, a stream cut short" python3 "$top/examples/lzxcore_example.py" "$prefix/lib/liblzxcore.so" cut.lzx
expect_text err.txt "size: damaged data" "python: a damaged stream is a result"
checks_end package
