#!/usr/bin/env bash
# The lzx tool as a release engineer uses it: real files through pack, list,
# test, unpack (with and without a version file), compress and decompress in
# every mode, a file larger than 100 MB, refused archives, usage errors.
# Usage: lzx_tool_test.sh LZX [--large]
set -u
LZX=$(realpath "$1")
LARGE=${2:-}
source "$(dirname "$0")/checks.sh"

# ---- A release tree of real files ----------------------------------------
mkdir -p src/help src/data
cp /usr/share/common-licenses/GPL-3 src/readme.txt
cp /usr/share/common-licenses/Apache-2.0 src/help/manual.txt
head -c 400000 "$(command -v cmake)" > src/zelk.exe
head -c 70000 /usr/share/common-licenses/GPL-2 > src/data/book.bin
: > src/empty.dat
cp src/data/book.bin book.plain
expect_exit 0 "scramble" "$LZX" scramble src/data/book.bin       # stored scrambled, installed plain
cmp -s src/data/book.bin book.plain && fail "scramble changed nothing"

cat > pack.txt <<SCRIPT
$work/payload.lzx
$work/src/
zelk.exe|V=204
#Zelk.exe
readme.txt|V=204|R=1
#readme.txt
help/manual.txt|V=204
#Help\\manual.txt
data/book.bin|V=204|E=1
#Data\\book.bin
empty.dat|V=150
#empty.dat
SCRIPT
expect_exit 0 "pack" "$LZX" pack pack.txt
expect_text out.txt "^5 entries, " "pack prints the entries"
expect_exit 0 "list" "$LZX" list payload.lzx
expect_text out.txt "#Data.book.bin *[0-9]* *204 *1 *0 *0" "list shows E=1"
expect_text out.txt "^5 entries, " "list prints the total"
expect_exit 0 "test" "$LZX" test payload.lzx
expect_text out.txt "OK, .* archive of 5 entries" "test walks the entries"

expect_exit 0 "unpack" "$LZX" unpack payload.lzx inst
expect_text out.txt "^4 new, 0 updated, 0 not replaced" "unpack counts (R=1 file not there)"
cmp -s inst/Zelk.exe src/zelk.exe || fail "Zelk.exe differs"
cmp -s inst/Help/manual.txt src/help/manual.txt || fail "manual differs"
cmp -s inst/Data/book.bin book.plain || fail "E=1 file not installed plain"
[ -e inst/readme.txt ] && fail "R=1 file written where none existed"
[ -f inst/empty.dat ] && [ ! -s inst/empty.dat ] || fail "empty file missing"
expect_exit 0 "unpack again" "$LZX" unpack payload.lzx inst
expect_text out.txt "^0 new, 0 updated, 4 not replaced" "existing files are kept without --force"
echo old > inst/readme.txt
expect_exit 0 "unpack --force" "$LZX" unpack payload.lzx inst --force
expect_text out.txt "^0 new, 5 updated, 0 not replaced" "--force replaces"
cmp -s inst/readme.txt src/readme.txt || fail "R=1 file not replaced where it existed"

# A version file, as the updater keeps lzx.ver.
expect_exit 0 "unpack --table" "$LZX" unpack payload.lzx inst2 --table inst2.ver
expect_text out.txt "^5 new, 0 updated, 0 not replaced" "table counts"
[ "$(stat -c %s inst2.ver)" -eq $((5 * 432)) ] || fail "version file size"
expect_exit 0 "unpack --table again" "$LZX" unpack payload.lzx inst2 --table inst2.ver
expect_text out.txt "^0 new, 0 updated, 5 not replaced" "equal versions are kept without --force"
expect_exit 0 "unpack --table --force" "$LZX" unpack payload.lzx inst2 --table inst2.ver --force
expect_text out.txt "^0 new, 5 updated, 0 not replaced" "equal versions replaced with --force"

# ---- Streams in every mode -------------------------------------------------
perl -e 'my $t = "Zelk bid book version 2.04\n" x 3; for my $i (0..4000) { print "\xff" x 64; print substr($t x 3, $i % 50, 64 * (1 + $i % 3)); }' > rows.bin
for file in src/zelk.exe src/readme.txt rows.bin; do
  for mode in "" --huffman --sort; do
    [ "$mode" = --sort ] && [ "$file" != rows.bin ] && continue
    expect_exit 0 "compress $mode $file" "$LZX" compress -f $mode "$file" c.lzx
    expect_exit 0 "test $mode $file" "$LZX" test c.lzx
    expect_exit 0 "decompress $mode $file" "$LZX" decompress -f c.lzx d.bin
    cmp -s "$file" d.bin || fail "round trip $mode $file"
  done
done
# Any number of threads: the same files, byte for byte, and the same bytes
# back (the files above span several groups of blocks at -j 3).
cat src/zelk.exe src/readme.txt src/zelk.exe > mixed.bin
for mode in "" --huffman --sort; do
  file=mixed.bin
  [ "$mode" = --sort ] && file=rows.bin
  expect_exit 0 "compress -j 1 $mode" "$LZX" compress -fj 1 $mode "$file" one.lzx
  for jobs in 2 3 8; do
    expect_exit 0 "compress -j $jobs $mode" "$LZX" compress -f -j $jobs $mode "$file" many.lzx
    cmp -s one.lzx many.lzx || fail "compress -j $jobs $mode differs from -j 1"
    expect_exit 0 "decompress -j $jobs $mode" "$LZX" decompress -fj$jobs one.lzx d.bin
    cmp -s "$file" d.bin || fail "decompress -j $jobs $mode"
    expect_exit 0 "test -j $jobs $mode" "$LZX" test -j $jobs one.lzx
  done
done
sed "s|^$work/payload.lzx\$|$work/payload1.lzx|" pack.txt > pack1.txt
sed "s|^$work/payload.lzx\$|$work/payload3.lzx|" pack.txt > pack3.txt
expect_exit 0 "pack -j 1" "$LZX" pack -j 1 pack1.txt
expect_exit 0 "pack -j 3" "$LZX" pack -j 3 pack3.txt
cmp -s payload1.lzx payload3.lzx || fail "pack -j 3 differs from -j 1"
expect_exit 0 "unpack -j 2" "$LZX" unpack -j 2 payload3.lzx inst3
cmp -s inst3/Zelk.exe src/zelk.exe || fail "unpack -j 2"
expect_exit 64 "-j without a number" "$LZX" compress mixed.bin x.lzx -j
expect_exit 64 "-j 0" "$LZX" compress -j 0 mixed.bin x.lzx
expect_exit 64 "-j word" "$LZX" test -j many one.lzx
expect_exit 64 "-j where no blocks are coded" "$LZX" list -j 2 payload.lzx
expect_text err.txt "unknown option -j" "-j refused by list"

expect_exit 2 "sort without empty rows" "$LZX" compress --sort src/zelk.exe s.lzx
expect_text err.txt "SorPack: no empty rows" "sort refusal message"

if [ "$LARGE" = --large ]; then
  # More than 100 MB, streamed through one block at a time.
  for i in $(seq 1 700); do cat src/readme.txt src/help/manual.txt; done | head -c 110000000 > large.bin
  expect_exit 0 "compress large" "$LZX" compress large.bin large.lzx
  expect_exit 0 "decompress large" "$LZX" decompress large.lzx large.out
  cmp -s large.bin large.out || fail "large round trip"
  rm -f large.bin large.out large.lzx
fi

# ---- Damage and refusals ------------------------------------------------------
cp payload.lzx damaged.lzx
printf '\x00\x00\x00\x00\x00\x00\x00\x00' | dd of=damaged.lzx bs=1 seek=200 conv=notrunc status=none
expect_exit 2 "test damaged" "$LZX" test damaged.lzx
expect_text err.txt "^lzx test: damaged.lzx: " "damage reported in one line"
# Random damage anywhere in an archive: every run ends in success or in one
# fatal report (exit 0 or 2), never in a crash, a sanitizer report or a hang.
RANDOM=2003
size=$(stat -c %s payload.lzx)
for round in $(seq 1 40); do
  cp payload.lzx hit.lzx
  for hit in 1 2 3; do
    offset=$(( (RANDOM * 32768 + RANDOM) % size ))
    printf "\\x$(printf %02x $((RANDOM % 256)))" | dd of=hit.lzx bs=1 seek="$offset" conv=notrunc status=none
  done
  [ "$round" -gt 30 ] && truncate -s $(( (RANDOM * 32768 + RANDOM) % size )) hit.lzx
  for command in test unpack; do
    rm -rf hit
    if [ $command = test ]; then timeout 60 "$LZX" test hit.lzx >/dev/null 2>err.txt
    else timeout 60 "$LZX" unpack hit.lzx hit >/dev/null 2>err.txt; fi
    code=$?
    [ $code -eq 0 ] || [ $code -eq 2 ] || { fail "damaged archive, round $round, $command: exit $code"; head -5 err.txt; }
  done
done

printf 'plain text, no stream' > plain.txt
expect_exit 2 "test plain" "$LZX" test plain.txt
expect_text err.txt "Hopen: not an LZX file" "not an LZX file"

cat > evil.txt <<SCRIPT
$work/evil.lzx
$work/src/
readme.txt|V=204
#ok.txt
readme.txt|V=204
#..\\escape.txt
SCRIPT
expect_exit 0 "pack evil" "$LZX" pack evil.txt
expect_exit 2 "unpack refuses .." "$LZX" unpack evil.lzx jail
expect_text err.txt 'entry 2 \[#..\\escape.txt\]' "refusal names the entry"
[ -e jail/ok.txt ] && fail "a refused archive wrote files"
expect_exit 0 "unpack --allow-outside" "$LZX" unpack evil.lzx jail --allow-outside
[ -f escape.txt ] || fail "--allow-outside did not extract"

expect_exit 64 "no command" "$LZX"
expect_exit 64 "unknown command" "$LZX" frobnicate
expect_exit 64 "missing argument" "$LZX" unpack payload.lzx
expect_exit 64 "unknown option" "$LZX" compress --fast a b
expect_exit 64 "two modes" "$LZX" compress --huffman --sort a b
for command in pack unpack list compress decompress test scramble; do
  expect_exit 0 "$command --help" "$LZX" "$command" --help
  expect_text out.txt "^usage: lzx $command" "$command help"
done
expect_exit 0 "--version" "$LZX" --version
ls ./*.tmp >/dev/null 2>&1 && [ "$(ls ./*.tmp | wc -l)" -gt 1 ] && fail "side files left behind"

checks_end "lzx tool"
