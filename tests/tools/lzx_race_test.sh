#!/usr/bin/env bash
# Unpacking while a folder below the target trades places with a link to
# another folder, again and again (tests/tools/swapper.c): no run may write
# outside the target, whatever it meets on the way; refusing is allowed.
#   lzx_race_test.sh SWAPPER RUNS build/debug/tools/lzx
#   LZX="wine build/windows/tools/lzx.exe" lzx_race_test.sh SWAPPER RUNS
set -u
swapper=$(realpath "$1")
runs=$2
if [ $# -gt 2 ]; then LZX=$(realpath "$3"); fi
: "${LZX:?usage: lzx_race_test.sh SWAPPER RUNS LZX, or LZX=\"wine .../lzx.exe\"}"
source "$(dirname "$0")/checks.sh"

# Entries below the folder that is swapped, one a folder further down, and
# the version file kept there too; the other side holds files of the same
# names, which --force would overwrite through the link.
mkdir src outside outside/deep
echo archive > src/new.txt
{
  echo race.lzx; echo src/
  for name in a b c d e f; do echo "new.txt|V=204"; echo "#sub\\$name.txt"; echo outside > "outside/$name.txt"; done
  echo "new.txt|V=204"; echo '#sub\deep\g.txt'
} > pack.txt
echo outside > outside/deep/g.txt
echo outside > outside/t.ver
$LZX pack pack.txt >/dev/null 2>&1 || fail "pack"
before=$(cd outside && find . | sort && cat ./*.txt deep/*)

written=0
refused=0
for run in $(seq "$runs"); do
  mkdir -p "d$run/sub"
  ln -s ../outside "d$run/link"
  # Every other run the link stands only for moments: most such runs get
  # through, with the swaps falling anywhere in them.
  pause=$(( run % 2 ? 0 : 200 + RANDOM % 800 ))
  "$swapper" "d$run" sub link $pause &
  swapping=$!
  if $LZX unpack race.lzx "d$run" --force --table "d$run/sub/t.ver" >/dev/null 2>&1; then
    written=$((written + 1))
  else
    refused=$((refused + 1))
  fi
  kill $swapping
  wait $swapping 2>/dev/null
  after=$(cd outside && find . | sort && cat ./*.txt deep/*)
  if [ "$after" != "$before" ]; then
    fail "run $run wrote outside the target: $(cd outside && find . -newer ../pack.txt)"
    break
  fi
  rm -rf "d$run"
done
echo "lzx race: $runs runs, $written complete, $refused refused"
checks_end "lzx race"
