#!/usr/bin/env bash
# Sources are never destroyed: an archive or output that is one of its own
# sources, under any name (a symbolic or hard link, another spelling), is
# refused before it is truncated, and scramble refuses files whose size does
# not fit 31 bits instead of rewriting them cut to the low 32 bits.
# Usage: sources_test.sh LZX
set -u
LZX=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL [$case]: $*"; failures=$((failures + 1)); }
# Runs the tool; it must end with exit 2 and the message, and leave every
# listed file as it was.
refused() {  # case message-part command... -- files...
  case=$1 want=$2; shift 2
  local cmd=() files=()
  while [ "$1" != "--" ]; do cmd+=("$1"); shift; done; shift
  files=("$@")
  for f in "${files[@]}"; do cp "$f" "$f.before"; done
  "$LZX" "${cmd[@]}" >out.txt 2>err.txt
  local code=$?
  [ $code -eq 2 ] || { fail "exit $code, expected 2"; cat out.txt err.txt; }
  grep -qF -- "$want" err.txt || { fail "'$want' not in the report"; cat err.txt; }
  for f in "${files[@]}"; do cmp -s "$f" "$f.before" || fail "$f changed"; rm -f "$f.before"; done
}

mkdir -p src
head -c 50000 /usr/share/common-licenses/GPL-3 > src/a.txt
head -c 9000 /usr/share/common-licenses/GPL-2 > src/b.txt
ln -s a.txt src/link.txt
ln src/b.txt hard.txt
pack_script() {  # archive-line
  printf '%s\n%s\n%s\n%s\n%s\n%s\n' "$1" "$work/src/" "a.txt|V=204" "#a.txt" "#$work/src/b.txt|V=204" "#b.txt" > pack.txt
}
pack_script "$work/src/a.txt"
refused pack-source "is one of its sources" pack -f pack.txt -- src/a.txt
pack_script "$work/src/link.txt"
refused pack-through-a-link "is one of its sources" pack -f pack.txt -- src/a.txt
pack_script "$work/src/./../src//b.txt"
refused pack-another-spelling "is one of its sources" pack -f pack.txt -- src/b.txt
pack_script "$work/hard.txt"
refused pack-hard-link "is one of its sources" pack -f pack.txt -- src/b.txt
pack_script "$work/./pack.txt"
refused pack-script "is the script itself" pack -f pack.txt -- pack.txt
pack_script "$work/out.lzx"
"$LZX" pack pack.txt >/dev/null 2>&1 || fail "a sound script was refused"

"$LZX" compress src/a.txt a.lzx >/dev/null || fail "compress"
ln -s a.lzx a-link.lzx
refused compress-onto-its-input "is the same file as" compress src/a.txt src/link.txt -- src/a.txt
refused compress-another-spelling "is the same file as" compress src/b.txt ./src/../hard.txt -- src/b.txt
refused decompress-onto-its-input "is the same file as" decompress a.lzx a-link.lzx -- a.lzx
refused decompress-same-name "is the same file as" decompress a.lzx ./a.lzx -- a.lzx

# A run that fails half way leaves the file it would have replaced as it was.
printf '%s\n%s\n%s\n%s\n' "$work/out.lzx" "$work/src/" "missing.txt|V=204" "#m.txt" > pack.txt
refused pack-missing-source "does not exist" pack -f pack.txt -- out.lzx
head -c 20000 /dev/urandom > noise.bin  # no row of 0xFF bytes for the sort stage
refused compress-that-fails "SorPack: no empty rows" compress -f --sort noise.bin a.lzx -- a.lzx
"$LZX" decompress a.lzx a.out >/dev/null || fail "decompress"
cp a.lzx damaged.lzx
printf 'damage' | dd of=damaged.lzx bs=1 seek=$(($(stat -c %s a.lzx) * 2 / 3)) conv=notrunc 2>/dev/null
refused decompress-that-fails "lzx decompress: damaged.lzx: " decompress -f damaged.lzx a.out -- a.out
[ -z "$(ls ./*.tmp 2>/dev/null)" ] || fail "temporary files left: $(ls ./*.tmp)"

# Sparse files: the sizes cost no disk space, and the refusal reads nothing.
truncate -s $((4 * 1024 * 1024 * 1024 + 100)) big.bin
refused scramble-4GiB-and-100 "at most 2147483647 can be scrambled" scramble big.bin -- 
[ "$(stat -c %s big.bin)" -eq $((4 * 1024 * 1024 * 1024 + 100)) ] || fail "big.bin cut to $(stat -c %s big.bin) bytes"
truncate -s $((2 * 1024 * 1024 * 1024)) big.bin
refused scramble-2GiB "at most 2147483647 can be scrambled" scramble big.bin --
[ "$(stat -c %s big.bin)" -eq $((2 * 1024 * 1024 * 1024)) ] || fail "big.bin cut to $(stat -c %s big.bin) bytes"

if [ "$failures" -eq 0 ]; then echo "sources: all checks passed"; exit 0; fi
echo "sources: $failures failed"
exit 1
