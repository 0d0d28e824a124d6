#!/usr/bin/env bash
# Hostile archives through the lzx tool. Every archive is composed here byte
# by byte (entry records and data, then a stream written by "lzx compress",
# patched where a case needs a damaged index) and never checked in. The same
# cases run against the native tool and against lzx.exe under Wine:
#   lzx_hostile_test.sh /path/to/lzx
#   WINEPREFIX=/tmp/prefix WINEDEBUG=-all LZX_WINE=1 lzx_hostile_test.sh "wine /path/to/lzx.exe"
# Paths given to the tool are relative to the work directory, so both read
# them alike; a Windows tool sees the Linux root as drive Z:.
set -u
read -r -a LZX <<< "$1"
for i in "${!LZX[@]}"; do [ -e "${LZX[$i]}" ] && LZX[$i]=$(realpath "${LZX[$i]}"); done
windows=${LZX_WINE:-0}
source "$(dirname "$0")/checks.sh"
lzx() { "${LZX[@]}" "$@"; }
# Here the command is always the tool: its arguments follow the description.
expect_tool() {  # expected-code description arguments...
  local want=$1 what=$2; shift 2
  expect_exit "$want" "$what" lzx "$@"
}
expect_empty() {  # directory description: nothing was written there
  [ -z "$(ls -A "$1" 2>/dev/null)" ] || { fail "$2: $1 holds $(ls -A "$1" | tr '\n' ' ')"; }
}

# record NAME SIZE [VERSION [E D R]]: one 432-byte entry record.
record() {
  perl -e 'my ($n, $s, $v, $e, $d, $r) = @ARGV;
           print pack("a256 V V V V V V x152", $n, $s, $v // 204, 0, $e // 0, $d // 0, $r // 0)' -- "$@"
}
# compose ARCHIVE VERSION NAME DATA [NAME DATA]...: an archive of entries.
compose() {
  local archive=$1 version=$2; shift 2
  : > raw.bin
  while [ $# -ge 2 ]; do
    { record "$1" "${#2}" "$version"; printf '%s' "$2"; } >> raw.bin
    shift 2
  done
  lzx compress -f raw.bin "$archive" >/dev/null 2>compose.txt || { fail "compress $archive"; cat compose.txt; }
}

# ---- 1: what is checked is what is extracted ------------------------------
# Three blocks, one entry each, read in record order: #a.txt, #..\evil.txt,
# #b.txt. The index sends block 1 to the record of block 2, so reading by
# seeking sees #a.txt, #b.txt, #b.txt: all inside.
fill=$((16384 - 432))
{ record '#a.txt' $fill; head -c $fill /dev/zero
  record '#..\evil.txt' $fill; head -c $fill /dev/zero
  record '#b.txt' $fill; head -c $fill /dev/zero; } > raw.bin
lzx compress raw.bin index.lzx >/dev/null
perl -e 'open my $f, "+<", $ARGV[0] or die; binmode $f; read $f, my $h, 16;
         my $at = unpack("V", substr($h, 4, 4)); seek $f, $at + 8, 0; read $f, my $k, 4;
         seek $f, $at + 4, 0; print $f $k; close $f' index.lzx
expect_tool 2 "test: an index that disagrees with the records" test index.lzx
expect_text err.txt "block index" "test names the index"
expect_tool 2 "unpack: an index that disagrees with the records" unpack index.lzx jail1
expect_text err.txt 'entry 2 \[#..\\evil.txt\]' "the refusal names the entry extraction would write"
[ -e evil.txt ] && fail "an entry was written outside the target"
expect_empty jail1 "a refused archive wrote files"

# ---- 6: nothing reported that did not happen -------------------------------
for name in '#' '#.' '#dir\' '#NUL' '#nul.txt' '#Sub\CON\x.txt' '#com1.log' '#LPT9' '#aux .txt' '#conout$'; do
  compose bad.lzx 204 '#ok.txt' ok "$name" x
  rm -rf jail6
  expect_tool 2 "unpack refuses [$name]" unpack bad.lzx jail6
  expect_text err.txt "entry 2 \\[" "the refusal of [$name] names the entry"
  expect_empty jail6 "[$name] refused only after writing"
done
expect_tool 64 "an empty DIR" unpack bad.lzx ""
compose ctl.lzx 204 "#bell$(printf '\007')name.txt" x
expect_tool 0 "list of a name with a control character" list ctl.lzx
expect_text out.txt "#bell<07>name.txt" "list shows the control character escaped"
grep -q "$(printf '\007')" out.txt && fail "list printed a raw control character"

# ---- 7: paths that cannot be written are found before the first write -----
long="#$(printf 'n%.0s' $(seq 1 254))"
deep=$(printf 'j%.0s' $(seq 1 10))
compose long.lzx 204 '#ok.txt' ok "$long" x
expect_tool 2 "a target path of 260 characters or more" unpack long.lzx "$deep"
expect_text err.txt "target path of 265 characters" "the long path is named"
expect_empty "$deep" "a long path refused only after writing"
mkdir jail7 && echo mine > jail7/f
compose obstacle.lzx 204 '#ok.txt' ok '#f\x.txt' x
expect_tool 2 "a file where a folder must be" unpack obstacle.lzx jail7
expect_text err.txt "is a file, not a folder" "the obstacle is named"
[ -e jail7/ok.txt ] && fail "an obstacle refused only after writing"
compose good.lzx 204 '#ok.txt' ok
echo mine > notafolder
expect_tool 2 "a version file in a folder that cannot be made" unpack good.lzx jail7b --table 'notafolder\lzx.ver'
expect_empty jail7b "a table folder that cannot be made found only after extracting"
expect_tool 0 "a version file in a new folder" unpack good.lzx jail7c --table 'jail7c\lzx.ver'
[ "$(stat -c %s jail7c/lzx.ver)" -eq 432 ] || fail "the version file in a new folder"

# ---- 13: one file, one name ------------------------------------------------
for name in '#.\x.txt' '#\x.txt' '#/x.txt' '#a/x.txt' '#x.txt.' '#x.txt ' '#dir.\x.txt' '#a\\x.txt' '#DOCU~1\x.txt'; do
  compose bad.lzx 204 '#ok.txt' ok "$name" x
  rm -rf jail13
  expect_tool 2 "unpack refuses the spelling [$name]" unpack bad.lzx jail13
  expect_empty jail13 "[$name] refused only after writing"
done
# An installed file listed as #CAFÉ.TXT (version 300) is the file the
# archive names #café.txt (204): kept, and listed once.
compose newer.lzx 300 "#caf$(printf '\311').TXT" installed
expect_tool 0 "unpack a listed file" unpack newer.lzx jail13t --table t.ver
compose older.lzx 204 "#caf$(printf '\351').txt" archive
expect_tool 0 "unpack an older spelling in another case" unpack older.lzx jail13t --table t.ver
expect_text out.txt "0 new, 0 updated, 1 not replaced" "letters outside A-Z compared without case"
[ "$(stat -c %s t.ver)" -eq 432 ] || fail "the version file lists one file twice"
mkdir -p src && echo s > src/s.txt
printf 'p.lzx\r\nsrc\\\r\ns.txt|V=204\r\n#.\\s.txt\r\n' > pack.txt
expect_tool 2 "pack refuses a stored name in another spelling" pack pack.txt
expect_text err.txt 'PackLZX: stored name \[#.\\s.txt\]' "the pack refusal names the stored name"

# ---- 14: a target that joins into another place ----------------------------
# DIR root-relative ("\tmp\...": the same folder on Linux and on drive Z:).
rooted="$(printf '%s' "$work/rooted" | tr / '\\')"
compose deep.lzx 204 '#sub\deeper\x.txt' deep
expect_tool 0 "folders below a root-relative DIR" unpack deep.lzx "$rooted"
[ "$(cat rooted/sub/deeper/x.txt 2>/dev/null)" = deep ] || fail "nothing below the root-relative DIR"
compose share.lzx 204 '#srv\share\x.txt' share
expect_tool 0 "a DIR that ends in a separator" unpack share.lzx 'jail14\'
[ "$(cat jail14/srv/share/x.txt 2>/dev/null)" = share ] || fail "DIR\\ and #srv\\share did not stay below DIR"
probe="hostile_probe_$$.txt"
compose probe.lzx 204 "#$probe" probe
expect_tool 2 "DIR \\\\ (a server path without server)" unpack probe.lzx '\\'
if [ -e "/$probe" ]; then fail "DIR \\\\ wrote into the root"; rm -f "/$probe"; fi

# ---- 3: memory bounded by the input ---------------------------------------
# 27 blocks of 1024 empty entries, their block records repeated 200 times: a
# stream of a few megabytes that claims 204800 entries. Native only: the
# peak memory is read from the kernel.
if [ "$windows" -eq 0 ] && [ -x /usr/bin/time ]; then
  for i in $(seq 1 1024); do record '#m' 0; done > raw.bin
  lzx compress raw.bin period.lzx >/dev/null
  perl -e 'open my $f, "<", $ARGV[0] or die; binmode $f; local $/; my $s = <$f>;
           my ($at, $length) = unpack("V V", substr($s, 4, 8)); my @index = unpack("V*", substr($s, $at));
           my $body = substr($s, 16, $at - 16); my $copies = 200; my $size = length $body;
           print pack("a4 V V V", "LZX1", 16 + $copies * $size, $length * $copies, 0), $body x $copies;
           for my $c (0 .. $copies - 1) { print pack("V*", map { $_ + $c * $size } @index) }' period.lzx > many.lzx
  for command in list test; do
    /usr/bin/time -f %M -o rss.txt "${LZX[@]}" $command many.lzx >out.txt 2>err.txt || fail "$command many.lzx"
    [ "$(cat rss.txt)" -lt 64000 ] || fail "$command of 204800 entries took $(cat rss.txt) kB"
  done
  expect_text out.txt "archive of 204800 entries" "test walks every entry"
fi

# ---- Pack sources: regular files only, checked before anything is written --
pack_refused() {  # description text lines...: refused with text, keep.lzx kept
  printf '%s\n' keep.lzx src/ "${@:3}" > pack.txt && echo old > keep.lzx
  expect_exit 2 "$1" timeout 60 "${LZX[@]}" pack -f pack.txt
  expect_text err.txt "$2" "$1: reported"
  [ "$(cat keep.lzx)" = old ] || fail "$1: the archive changed"
}
mkdir -p src/folder && mkfifo src/fifo
for source in fifo folder missing.txt '#/dev/null'; do
  pack_refused "pack of the source [$source]" "${source#\#}\] on line 5" 's.txt|V=204' '#s.txt' "$source|V=204" '#x'
done
for command in 'pack src/fifo' 'list src/fifo' 'test src/fifo' 'unpack src/fifo jail6f' 'decompress src/fifo d.bin' \
  'compress src/fifo c.lzx' 'compress /dev/null n.lzx'; do
  expect_exit 2 "lzx $command: never waits" timeout 60 "${LZX[@]}" $command
  expect_text err.txt "fifo\|null" "lzx $command: the file named"
done

# ---- One file, one entry ----------------------------------------------------
for pair in '#a.txt|#A.TXT' '#d\x.txt|#D\X.TXT' "#caf$(printf '\351').txt|#CAF$(printf '\311').TXT" \
  '#a.txt|#sub\..\a.txt|--allow-outside'; do
  IFS='|' read -r first second flags <<< "$pair"
  compose dup.lzx 204 "$first" one '#ok.txt' ok "$second" two
  expect_tool 2 "unpack of [$first] and [$second]" unpack dup.lzx jail16 $flags
  expect_text err.txt "same file as entry 1 \[" "[$first] and [$second] named"
  expect_empty jail16 "[$first] and [$second] refused only after writing"
done
pack_refused "pack of two names for one file" 'line 4 and \[#S.TXT\] on line 6' 's.txt|V=204' '#s.txt' 's.txt|V=204' '#S.TXT'

# ---- Pack scripts: a byte-order mark skipped, a long line never cut -------
printf '\357\273\277bom.lzx\nsrc/\ns.txt|V=204\n#s.txt\n' > pack.txt
expect_tool 0 "a script with a byte-order mark" pack -f pack.txt
[ -f bom.lzx ] || fail "the byte-order mark taken for part of the archive's name"
pack_refused "a file line over 256 characters" "line 3 of" "$(printf 's%.0s' $(seq 300))|V=204" '#s.txt'
pack_refused "a name line over 128 characters" "line 4 of" 's.txt|V=204' "#$(printf 'n%.0s' $(seq 200))"

checks_end "lzx hostile archives"
