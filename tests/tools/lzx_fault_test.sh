#!/usr/bin/env bash
# How the lzx tool writes into a target directory that others have touched:
# links below it, a read-only file, a full disk, and two runs on one version
# file. The same group runs under Wine with the Windows tool:
#   lzx_fault_test.sh build/debug/tools/lzx
#   LZX="wine build/windows/tools/lzx.exe" LZX_WINE=1 lzx_fault_test.sh
# (WINEPREFIX and WINEDEBUG=-all set by the caller). Names are relative, so
# they mean the same to both.
set -u
if [ $# -gt 0 ]; then LZX=$(realpath "$1"); fi
: "${LZX:?usage: lzx_fault_test.sh LZX, or LZX=\"wine .../lzx.exe\" LZX_WINE=1}"
source "$(dirname "$0")/checks.sh"
# Where the tool lies says nothing of how it runs: natively, from "wine/".
[ "${LZX_WINE:-0}" = 1 ] || { mkdir wine && cp "$LZX" wine/lzx && LZX=$work/wine/lzx; }
wine=${LZX_WINE:-0}
# archive NAME STORED-NAME SOURCE-FILE...: a one-entry archive per pair.
archive() {
  local name=$1; shift
  { echo "$name"; echo "src/"; while [ $# -gt 0 ]; do echo "$2|V=204"; echo "$1"; shift 2; done; } > pack.txt
  $LZX pack -f pack.txt >/dev/null 2>&1 || fail "pack $name"
}
mkdir src
echo archive > src/small.txt

# ---- Links below the target: refused, and nothing outside changes ----------
mkdir outside tgt
echo outside > outside/file.txt
echo hard > outside/hard.txt
ln -s ../outside tgt/folder
ln -s ../outside/file.txt tgt/file.txt
ln outside/hard.txt tgt/hard.txt
ln -s ../outside/new.txt tgt/dangling.txt  # names nothing yet
names=('#folder\new.txt' '#folder\made\new.txt' '#file.txt' '#hard.txt' '#dangling.txt')
[ $wine = 1 ] && names+=('#FOLDER\new.txt')  # one folder, any case
for name in "${names[@]}"; do
  archive link.lzx "$name" small.txt
  expect_exit 2 "link $name" $LZX unpack link.lzx tgt --force
  expect_text err.txt "refused" "link $name: refused"
done
[ "$(cat outside/file.txt)" = outside ] || fail "file behind a link overwritten"
[ "$(cat outside/hard.txt)" = hard ] || fail "hard-linked file overwritten"
[ "$(ls outside)" = "$(printf 'file.txt\nhard.txt')" ] || fail "written outside: $(ls outside)"
# The target itself may be a link: the user chose it.
ln -s tgt chosen
archive plain.lzx '#plain.txt' small.txt
expect_exit 0 "target that is a link" $LZX unpack plain.lzx chosen
[ -f tgt/plain.txt ] || fail "nothing written below a target that is a link"

# ---- A read-only target is refused before it is opened ---------------------
mkdir ro
echo "keep me" > ro/Leesmij.txt
chmod a-w ro/Leesmij.txt
archive ro.lzx '#Leesmij.txt' small.txt
expect_exit 2 "read-only target" $LZX unpack ro.lzx ro --force
expect_text err.txt "code = 206" "read-only target: file error 206"
[ "$(cat ro/Leesmij.txt)" = "keep me" ] || fail "read-only target changed: '$(cat ro/Leesmij.txt)'"

# ---- A volume without room for the files: refused before any is written ------
head -c 300000 /dev/urandom > src/big.bin
archive full.lzx '#big.bin' big.bin
# A small file system of its own, mounted in a namespace of the run; Wine's
# server must start inside it too, so the one running is ended first, and
# the one inside after; then a server outside again, kept until the caller
# ends it (one that ends when idle can drop the next program connecting).
if unshare -rm true 2>/dev/null; then
  mkdir full
  [ $wine = 1 ] && wineserver -k
  # unpack -n first: the same refusal, found by the check.
  LZX="$LZX" unshare -rm sh -c 'mount -t tmpfs -o size=64k tmpfs full && { $LZX unpack -n full.lzx full 2> checked.txt; $LZX unpack full.lzx full; echo $? > code.txt; ls -A full > left.txt; }' \
    >out.txt 2>err.txt
  [ $wine = 1 ] && wineserver -k && wineserver -p
  [ "$(cat code.txt)" = 2 ] || fail "full disk: exit $(cat code.txt), expected 2"
  expect_text err.txt "of free space in \[full\]" "full disk: what is needed and where"
  expect_text checked.txt "of free space in \[full\]" "full disk: unpack -n finds it"
  [ -s left.txt ] && fail "full disk left: $(cat left.txt)"
else
  echo "SKIP: full disk (needs unshare)"
fi

# ---- Two runs on one version file: no record lost ---------------------------
# The first run writes a large file; the second starts while it does.
perl -e 'for (1..400000) { print "Zelk row $_ ", "x" x ($_ % 61), "\n" }' > src/large.txt
archive first.lzx '#large.txt' large.txt '#first.txt' small.txt
archive second.lzx '#second.txt' small.txt
mkdir both
$LZX unpack first.lzx both --table both.ver >first.out 2>&1 &
first=$!
for _ in $(seq 600); do [ -e both/large.txt ] && break; sleep 0.05; done
expect_exit 0 "second run" $LZX unpack second.lzx both --table both.ver
wait $first || { fail "first run: exit $?"; cat first.out; }
for name in first.txt second.txt large.txt; do
  grep -aq "#$name" both.ver || fail "version file lost #$name"
done
# ---- A stream that fails leaves no side file in the current directory -------
head -c 20000 /dev/urandom > noise.bin  # no row of 0xFF bytes for the sort stage
expect_exit 2 "sort stage without an empty row" $LZX compress --sort noise.bin noise.lzx
[ -z "$(ls lzx*.tmp 2>/dev/null)" ] || fail "a failed stream left its side file $(ls lzx*.tmp)"

# ---- A damaged version file, or a refused archive, changes nothing ------------
mkdir table
printf x > table/short.ver
archive one.lzx '#one.txt' small.txt
expect_exit 2 "damaged version file" $LZX unpack one.lzx table --table table/short.ver
expect_text err.txt "short.ver\] has 1 bytes" "damaged version file: named"
archive out.lzx '#..\escape.txt' small.txt
expect_exit 2 "refused archive, new version file" $LZX unpack out.lzx table --table table/new.ver
[ "$(ls table)" = short.ver ] || fail "refused runs left: $(ls table | tr '\n' ' ')"
[ "$(cat table/short.ver)" = x ] || fail "the damaged version file changed"

# ---- A version file inside the staging folder is refused, and kept -------------
mkdir -p own/.lzx-update
: > own/.lzx-update/t.ver
expect_exit 2 "a version file in the staging folder" $LZX unpack one.lzx own --table own/.lzx-update/t.ver
expect_text err.txt "lies in the update's own staging folder; refused" "a version file in the staging folder: refused"
[ "$(ls -A own own/.lzx-update | tr '\n' ' ')" = "own: .lzx-update  own/.lzx-update: t.ver " ] \
  || fail "a version file in the staging folder: left $(ls -RA own | tr '\n' ' ')"

# ---- An interruption leaves what was there, and nothing beside it ------------
# Each command is stopped while it writes; the file it replaces keeps its old
# bytes, a new one is not made, and no temporary file stays. Under Wine the
# signal is Ctrl-C (a SIGTERM ends a Windows program unannounced).
perl -e 'srand(7); for (1..2000000) { print "row $_ ", int(rand(1e9)), "\n" }' > src/huge.txt
archive huge.lzx '#huge.txt' huge.txt
$LZX compress src/huge.txt huge.stream >/dev/null 2>&1 || fail "compress huge.txt"
signals="INT:130 TERM:143"
[ $wine = 1 ] && signals="INT:2"
mkdir stop
for signal in $signals; do
  for command in "unpack huge.lzx stop --force" "compress src/huge.txt stop/new.lzx" "decompress huge.stream stop/new.txt"; do
    echo old > stop/huge.txt
    # A group of its own, so that the signal reaches the program behind
    # any wrapper, as a terminal's Ctrl-C reaches the foreground group.
    setsid $LZX $command >/dev/null 2>err.txt &
    running=$!
    for _ in $(seq 400); do compgen -G 'stop/*.tmp' >/dev/null || [ -e stop/.lzx-update ] && break; sleep 0.02; done
    kill -"${signal%:*}" -- -$running
    wait $running
    code=$?
    [ $code = "${signal#*:}" ] || { fail "$command, SIG${signal%:*}: exit $code"; cat err.txt; }
    [ "$(ls -A stop)" = huge.txt ] || fail "$command, SIG${signal%:*}: left $(ls -A stop | tr '\n' ' ')"
    [ "$(cat stop/huge.txt)" = old ] || fail "$command, SIG${signal%:*}: the old file changed"
    [ -z "$(ls lzx*.tmp 2>/dev/null)" ] || fail "$command, SIG${signal%:*}: side file $(ls lzx*.tmp) left"
  done
done

# An interruption in the moment after the side file is made and before the
# cleanup knows it (native stand-ins only: they have the stop). The run is
# stopped at each change in turn until the side file exists, then
# interrupted there: the file must still go.
if [ $wine = 0 ]; then
  for point in $(seq 40); do
    UPDATER_STOP_AT=$point $LZX compress -f src/huge.txt stop/new.lzx >/dev/null 2>&1 &
    running=$!
    for _ in $(seq 200); do
      state=$(cut -d" " -f3 /proc/$running/stat 2>/dev/null) || break
      [ "$state" = T ] && break
      sleep 0.01
    done
    if [ -n "$(ls lzx*.tmp 2>/dev/null)" ]; then
      kill -INT $running
      kill -CONT $running
      wait $running
      code=$?
      [ $code = 130 ] || fail "interrupted as its side file was made: exit $code"
      [ -z "$(ls lzx*.tmp 2>/dev/null)" ] || fail "interrupted as its side file was made: $(ls lzx*.tmp) left"
      break
    fi
    kill -CONT $running 2>/dev/null
    wait $running
  done
  [ "$point" -lt 40 ] || fail "no change of compress's came after its side file was made"
  rm -f stop/new.lzx
fi

checks_end "lzx faults"
