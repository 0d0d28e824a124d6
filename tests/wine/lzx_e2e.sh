#!/usr/bin/env bash
# The Windows lzx.exe under Wine, as a release engineer uses it: pack, list,
# unpack, test, compress and decompress on one and two threads. Everything it
# writes must equal what the native tool writes from the same sources.
# Usage: lzx_e2e.sh TOP
set -u
source "$(dirname "$0")/common.sh" "$1" lzx

NATIVE=$E2E_BUILD/host-tools/tools/lzx
e2e_prefix "$E2E_WORK/prefix"
LZX=$(e2e_wrap "$E2E_BUILD/tools/lzx.exe")
case=setup
work=$E2E_WORK/files
mkdir -p "$work/src/Help" "$work/native" "$work/wine"
cp "$E2E_TOP"/release/zelk-2.04/*.* "$work/src/"
cp "$E2E_TOP/release/zelk-2.04/Help/Inleiding.txt" "$work/src/Help/"
cp "$E2E_BUILD/updater/updater.exe" "$work/src/big.bin"   # many blocks, for the threads
script() {  # archive base
  printf '%s\n%s\n' "$1" "$2"
  printf 'big.bin|V=204\n#big.bin\nLeesmij.txt|V=204\n#Leesmij.txt\nZelk.hlp|V=204|R=1\n#Zelk.hlp\n'
  printf 'Help\\Inleiding.txt|V=204\n#Help\\Inleiding.txt\n'
}
script "$work/native/a.lzx" "$work/src/" > "$work/native.pack"
script "$(winpath "$work/wine/a.lzx")" "$(winpath "$work/src")\\" > "$work/wine.pack"
ASAN_OPTIONS=detect_leaks=1 "$NATIVE" pack "$work/native.pack" >/dev/null || fail "native pack"

cd "$work"
run() {  # expected-exit lzx arguments...: the Windows tool, its output in $work/out
  local want=$1
  shift
  "$LZX" "$@" >"$work/out" 2>&1
  local code=$?
  tr -d '\r' <"$work/out" >"$work/out.txt"
  [ $code -eq "$want" ] || { fail "lzx $*: exit $code, expected $want"; cat "$work/out.txt"; }
}
has() { grep -qF -- "$1" "$work/out.txt" || { fail "'$1' not in the output"; cat "$work/out.txt"; }; }

case=pack
run 0 pack "$(winpath "$work/wine.pack")"
has "4 entries"
cmp -s "$work/wine/a.lzx" "$work/native/a.lzx" || fail "the archive differs from the native tool's"

case=list
run 0 list "$(winpath "$work/wine/a.lzx")"
has "#Help\\Inleiding.txt"
has "4 entries"

case=test
run 0 test -j 2 "$(winpath "$work/wine/a.lzx")"
has "archive of 4 entries"
head -c 3000 "$work/wine/a.lzx" > "$work/cut.lzx"
run 2 test "$(winpath "$work/cut.lzx")"

case=unpack
mkdir -p "$work/target"
echo "old" > "$work/target/Zelk.hlp"
run 0 unpack -j 2 "$(winpath "$work/wine/a.lzx")" "$(winpath "$work/target")" --table "$(winpath "$work/target/lzx.ver")"
has "4 new, 0 updated, 0 not replaced"
for file in big.bin Leesmij.txt Zelk.hlp Help/Inleiding.txt; do
  cmp -s "$work/target/$file" "$work/src/$file" || fail "$file not unpacked whole"
done
[ "$(stat -c %s "$work/target/lzx.ver")" -eq $((4 * 432)) ] || fail "lzx.ver not written"
run 0 unpack "$(winpath "$work/wine/a.lzx")" "$(winpath "$work/target")" --table "$(winpath "$work/target/lzx.ver")"
has "0 new, 0 updated, 4 not replaced"

case=threads
for mode in "" --huffman --sort; do
  [ "$mode" = --sort ] && input=$work/src/Leesmij.txt || input=$work/src/big.bin
  ASAN_OPTIONS=detect_leaks=1 "$NATIVE" compress -fj 1 $mode "$input" "$work/native/c.lzx" >/dev/null 2>&1
  native_code=$?
  for jobs in 1 2; do
    rm -f "$work/wine/c$jobs.lzx"
    "$LZX" compress -j $jobs $mode "$(winpath "$input")" "$(winpath "$work/wine/c$jobs.lzx")" >/dev/null 2>&1
    code=$?
    [ $code -eq $native_code ] || fail "compress -j $jobs $mode: exit $code, the native tool $native_code"
    [ $native_code -ne 0 ] && continue
    cmp -s "$work/wine/c$jobs.lzx" "$work/native/c.lzx" || fail "compress -j $jobs $mode differs from the native tool's"
    run 0 decompress -fj $jobs "$(winpath "$work/wine/c$jobs.lzx")" "$(winpath "$work/wine/d$jobs")"
    cmp -s "$work/wine/d$jobs" "$input" || fail "decompress -j $jobs $mode: not the original bytes"
  done
done

# lzxcore.dll as a Windows program links it: the C example, through the
# import library, with the DLL beside it, writes the native tool's streams.
case=dll
mkdir -p "$work/dll"
cp "$E2E_BUILD/codec/lzxcore.dll" "$E2E_BUILD/codec/lzxcore_example.exe" "$work/dll/"
EXAMPLE=$(e2e_wrap "$work/dll/lzxcore_example.exe")
for mode in lz huffman; do
  option=$([ $mode = lz ] || echo "--$mode")
  ASAN_OPTIONS=detect_leaks=1 "$NATIVE" compress -fj 1 $option "$work/src/big.bin" "$work/native/e.lzx" >/dev/null 2>&1
  rm -f "$work/dll/e.lzx"
  "$EXAMPLE" "$(winpath "$work/src/big.bin")" "$(winpath "$work/dll/e.lzx")" $mode >"$work/out" 2>&1 \
    || { fail "lzxcore_example $mode under Wine"; cat "$work/out"; }
  cmp -s "$work/dll/e.lzx" "$work/native/e.lzx" || fail "lzxcore_example $mode: the stream differs from the tool's"
done

# The hostile archives, the faults in the target and the command line of
# the native tests, against the Windows tool: names, links, read-only files
# and sharing are judged by Windows itself here.
case=hostile
LZX_WINE=1 bash "$E2E_TOP/tests/tools/lzx_hostile_test.sh" "$LZX" > "$work/hostile.txt" 2>&1 \
  || { fail "hostile archives"; grep -v '^ok' "$work/hostile.txt" | head -30; }
case=fault
LZX=$LZX LZX_WINE=1 bash "$E2E_TOP/tests/tools/lzx_fault_test.sh" > "$work/fault.txt" 2>&1 \
  || { fail "faults in the target"; grep -v '^ok' "$work/fault.txt" | head -30; }
# A folder below the target swapped for a link while the Windows tool writes.
case=race
LZX=$LZX bash "$E2E_TOP/tests/tools/lzx_race_test.sh" "${SWAPPER:?the swapper of the native test build}" 200 \
  > "$work/race.txt" 2>&1 || { fail "a race wrote outside the target"; tail -5 "$work/race.txt"; }
grep "runs," "$work/race.txt"
# Pipes in binary mode, overwrites, output errors and help, as on Windows.
case=cli
bash "$E2E_TOP/tests/tools/cli_test.sh" "$LZX" > "$work/cli.txt" 2>&1 || { fail "command line"; head -30 "$work/cli.txt"; }

e2e_end
