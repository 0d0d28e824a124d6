#!/usr/bin/env bash
# The lzx tool among other programs, as gzip and zstd are used: "-" for
# standard input and output (the bytes of the files), no output overwritten
# without -f, output that cannot be written, help and the usual options. The
# same cases run against lzx.exe under Wine:
#   cli_test.sh /path/to/lzx
#   WINEPREFIX=/tmp/prefix WINEDEBUG=-all cli_test.sh "wine /path/to/lzx.exe"
set -u
read -r -a LZX <<< "$1"
for i in "${!LZX[@]}"; do [ -e "${LZX[$i]}" ] && LZX[$i]=$(realpath "${LZX[$i]}"); done
native=1
case "${LZX[*]}" in *.exe*) native=0 ;; esac
source "$(dirname "$0")/checks.sh"
lzx() { "${LZX[@]}" "$@"; }
mkdir tmp
export TMPDIR=$work/tmp  # where the native tool spools standard input and output

# Every byte value, line ends and the DOS end-of-file mark among them, over
# several blocks.
perl -e 'print map { chr($_ % 256) x (1 + $_ % 7) } 0 .. 20000' > data.bin
printf 'pay.lzx\n.\\\ndata.bin|V=204\n#data.bin\n' > pack.txt
lzx pack pack.txt >/dev/null || fail "pack"

# ---- "-": the bytes that go through files -----------------------------------
for mode in "" --huffman; do
  lzx compress -f $mode data.bin file.lzx >/dev/null
  lzx compress $mode data.bin - > out.lzx 2>err.txt
  lzx compress $mode - - < data.bin > pipe.lzx 2>>err.txt
  cmp -s file.lzx out.lzx && cmp -s file.lzx pipe.lzx ||
    fail "compress $mode: standard output differs from the file: $(cmp file.lzx out.lzx; cmp file.lzx pipe.lzx; cat err.txt)"
  [ -s err.txt ] && fail "compress $mode to standard output said: $(cat err.txt)"
  lzx decompress file.lzx - > back.bin && cmp -s back.bin data.bin || fail "decompress $mode to standard output"
  lzx decompress - - < file.lzx > back.bin && cmp -s back.bin data.bin || fail "decompress $mode from standard input"
done
lzx list pay.lzx > want.txt
lzx list - < pay.lzx > got.txt
cmp -s want.txt got.txt || fail "list from standard input: $(cat got.txt)"
lzx test - < pay.lzx > got.txt
expect_text got.txt "OK, .* archive of 1 entries" "test from standard input"
lzx unpack - into < pay.lzx >/dev/null && cmp -s into/data.bin data.bin || fail "unpack from standard input"
expect_exit 64 "standard input named twice" lzx test - -
if [ $native = 1 ]; then
  [ -z "$(ls tmp)" ] || fail "temporary files left: $(ls tmp)"
  # Compressed data and a terminal: only with -f.
  for args in "compress data.bin -" "decompress - tty.bin"; do
    script -qec "${LZX[*]} $args" /dev/null > tty.txt 2>&1 < /dev/null
    code=$?
    [ $code -eq 2 ] && grep -q "a terminal (-f" tty.txt || { fail "$args on a terminal: exit $code"; cat tty.txt; }
  done
fi

# ---- No output overwritten without -f ---------------------------------------
printf 'old.lzx\n.\\\ndata.bin|V=204\n#data.bin\n' > old.txt
echo keep > keep.txt
for args in "compress data.bin old.lzx" "decompress file.lzx old.lzx" "pack old.txt"; do
  cp keep.txt old.lzx
  expect_exit 2 "$args over an existing file" lzx $args
  expect_text err.txt ": old.lzx: exists; nothing written" "$args names the file"
  cmp -s old.lzx keep.txt || fail "$args changed the existing file"
  expect_exit 0 "$args -f" lzx $args -f
  cmp -s old.lzx keep.txt && fail "$args -f left the file as it was"
done

# ---- Output that cannot be written: a message and exit code 2 ---------------
for args in "list pay.lzx" "--help" "decompress file.lzx -" "compress data.bin -"; do
  lzx $args > /dev/full 2>err.txt
  code=$?
  [ $code -eq 2 ] && grep -Eq "\(standard output\): (No space left on device|Disk full)" err.txt || { fail "$args > /dev/full: exit $code"; cat err.txt; }
done
lzx help unpack >&- 2>err.txt
code=$?
[ $code -eq 2 ] && grep -q "(standard output): " err.txt || { fail "help to a closed output: exit $code"; cat err.txt; }
# A reader that stops early ends the tool without a word (natively by
# SIGPIPE, as it ends gzip), and its temporary files go.
head -c 3000000 /dev/urandom > big.bin  # more than a pipe holds, compressed too
lzx compress big.bin big.lzx >/dev/null
for args in "decompress big.lzx -" "decompress - -" "compress big.bin -"; do
  lzx $args < big.lzx 2>err.txt | head -c 10 >/dev/null
  code=${PIPESTATUS[0]}
  [ -s err.txt ] && { fail "$args into a closed pipe said: $(cat err.txt)"; }
  [ $native = 0 ] || [ $code -eq 141 ] || fail "$args into a closed pipe: exit $code, not by SIGPIPE"
  [ $native = 0 ] || [ -z "$(ls tmp)" ] || fail "$args into a closed pipe left $(ls tmp)"
done

# ---- A failure: one line, "lzx COMMAND: FILE: reason (the library's report)" --
# Exit code 2, that line alone on standard error (-q too), and nothing on
# standard output. The system's words differ natively and under Wine.
says() {  # pattern command...
  local line=$1; shift
  "$@" > out.txt 2> err.txt
  local code=$?
  [ $code -eq 2 ] || fail "$*: exit $code"
  [ -s out.txt ] && fail "$*: said on standard output: $(head -3 out.txt)"
  tr -d '\r' < err.txt > line.txt  # lzx.exe ends its lines with CR LF
  [ "$(wc -l < line.txt)" -eq 1 ] && grep -Eq "^$line\$" line.txt || { fail "$*: not one line '$line'"; cat err.txt; }
}
mkdir folder
head -c 10 file.lzx > head.lzx   # inside the header
head -c 3000 file.lzx > cut.lzx  # the header whole, the rest cut off
cp file.lzx damaged.lzx
printf '\0\0\0\0\0\0\0\0' | dd of=damaged.lzx bs=1 seek=200 conv=notrunc status=none
lzx decompress pay.lzx raw.bin >/dev/null && head -c -100 raw.bin > raw-cut.bin && lzx compress raw-cut.bin entry.lzx >/dev/null
cp data.bin read-only.bin && chmod a-w read-only.bin
error() { echo "\(File Error : name = \[$1\] code = $2\)"; }
says "lzx decompress: missing.lzx: (No such file or directory|File not found) $(error missing.lzx 209)" \
  lzx decompress missing.lzx m.out
says "lzx compress: folder: (Is a directory|Access denied) $(error folder 209)" lzx compress folder f.lzx
says "lzx decompress: read-only.bin: the file is read-only $(error read-only.bin 206)" \
  lzx decompress -f file.lzx read-only.bin
says "lzx list: data.bin: not an LZX file \(Hopen: not an LZX file\)" lzx list data.bin
says "lzx test: head.lzx: cut short after 10 bytes, a read of 16 bytes at offset 0 \(LZX DoFread failed \[head.lzx, 16\]\)" \
  lzx test -v head.lzx
says "lzx decompress: cut.lzx: cut short after 3000 bytes \(Hopen: damaged header \[cut.lzx\]\)" \
  lzx decompress cut.lzx c.out
says "lzx test: damaged.lzx: block 1 is damaged \(.*\)" lzx test -q damaged.lzx
says "lzx list: entry.lzx: cut short inside the data of entry 1 \[#data.bin\]" lzx list entry.lzx
says "lzx unpack: entry.lzx: cut short inside the data of entry 1 \(UnPackLZX: unexpected eof\)" \
  lzx unpack entry.lzx into-cut
if [ $native = 1 ]; then
  # The system's refusal of a file its user may not read (root reads
  # anything: the case runs as nobody there).
  cp file.lzx secret.lzx && chmod 000 secret.lzx
  as=()
  [ "$(id -u)" = 0 ] && chmod 755 "$work" && as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  says "lzx test: secret.lzx: Permission denied $(error secret.lzx 209)" "${as[@]}" "${LZX[@]}" test secret.lzx
fi

# ---- verify: the folder against what unpack would leave, changing nothing ----
mkdir vsrc && echo hello > vsrc/a.txt && printf 'abcdefghijklmnop' > vsrc/e.bin && echo r > vsrc/r.txt
for v in 203 204; do
  printf 'v%s.lzx\nvsrc\\\na.txt|V=%s\n#a.txt\ne.bin|V=%s|E=1\n#sub\\e.bin\nr.txt|V=%s|R=1\n#r.txt\n' $v $v $v $v > v$v.txt
  lzx pack v$v.txt >/dev/null || fail "pack v$v.txt"
done
lzx unpack v204.lzx vd --table vd/lzx.ver >/dev/null || fail "unpack v204.lzx"
tree() { find vd -type f -exec cksum {} + | sort; }
poke() { printf 'x' | dd of="$1" bs=1 seek=5 conv=notrunc status=none; }
# What is done first (the cases build on each other), the table given, the
# exit code and the counts.
while IFS='|' read -r meddle table code counts; do
  eval "$meddle"
  before=$(tree)
  expect_exit "$code" "verify after '$meddle'" lzx verify v204.lzx vd $table
  tr -d '\r' < out.txt > said.txt
  expect_text said.txt "^$counts\$" "verify after '$meddle'"
  [ "$(tree)" = "$before" ] || fail "verify after '$meddle' changed the folder"
done <<'CASES'
:|--table vd/lzx.ver|0|2 same, 0 differ, 0 missing, 0 newer kept, 1 not installed
:|--table vd/none.ver|1|0 same, 2 differ, 0 missing, 0 newer kept, 1 not installed
poke vd/sub/e.bin|--table vd/lzx.ver|1|1 same, 1 differ, 0 missing, 0 newer kept, 1 not installed
rm vd/a.txt||1|0 same, 1 differ, 1 missing, 0 newer kept, 1 not installed
CASES
expect_text out.txt "^differs  *#sub.e.bin (other bytes)" "verify names what differs"
# unpack -n: what the run would do, and its refusal, writing nothing.
before=$(tree)
expect_exit 0 "unpack -n" lzx unpack -n -f v204.lzx vd --table vd/lzx.ver
expect_text out.txt "^would replace  *#sub.e.bin, version 204 (listed: 204)" "unpack -n: a file replaced"
expect_text out.txt "^would write  *#a.txt, version 204 (listed: 204)" "unpack -n: a file written again"
chmod a-w vd/sub/e.bin
expect_exit 2 "unpack -n over a read-only file" lzx unpack -n -f v204.lzx vd --table vd/lzx.ver
mv err.txt checked.txt
[ "$(tree)" = "$before" ] && [ ! -e vd/.lzx-update ] || fail "unpack -n changed the folder"
expect_exit 2 "unpack over a read-only file" lzx unpack -f v204.lzx vd --table vd/lzx.ver
[ "$(head -1 err.txt)" = "$(cat checked.txt)" ] || fail "unpack -n refuses apart from unpack: $(cat checked.txt)"
chmod u+w vd/sub/e.bin
expect_exit 0 "verify an older archive" lzx verify v203.lzx vd --table vd/lzx.ver
expect_text out.txt "^newer kept  *#a.txt (listed: 204)" "verify: a newer version listed is kept"

# ---- Help and the usual options ----------------------------------------------
lzx help unpack > help1.txt
lzx unpack --help > help2.txt
cmp -s help1.txt help2.txt && grep -q "^usage: lzx unpack" help1.txt || fail "lzx help unpack, lzx unpack --help"
[ "$(lzx -V)" = "$(lzx --version)" ] || fail "-V is not --version"
expect_exit 2 "-- ends the options" lzx list -- --help
expect_text err.txt "^lzx list: --help: .*code = 209" "after --, --help is a file"
expect_exit 0 "-q" lzx compress -qf data.bin q.lzx
[ -s out.txt ] && fail "-q said: $(cat out.txt)"
expect_exit 0 "-v before the command" lzx -v compress -f data.bin q.lzx
expect_text out.txt ":1)" "-v gives the ratio"
expect_exit 64 "-q and -v" lzx compress -q -v data.bin q.lzx

checks_end "lzx command line"
