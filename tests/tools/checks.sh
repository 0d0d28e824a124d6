# checks.sh - what the lzx tool's test scripts share: a scratch directory
# they run in (removed at the end, read-only files included), counting
# failures, and the checks of an exit code and of a text in a file.
# Sourced; the script names itself for its closing line: checks_end NAME.
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
cd "$work"
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_exit() {  # expected-code description command...
  local want=$1 what=$2; shift 2
  "$@" >out.txt 2>err.txt
  local got=$?
  [ "$got" -eq "$want" ] || { fail "$what: exit $got, expected $want"; cat out.txt err.txt; }
}
expect_text() {  # file pattern description
  grep -q -- "$2" "$1" || { fail "$3: '$2' not in $1"; cat "$1"; }
}
checks_end() {  # name
  if [ "$failures" -eq 0 ]; then echo "$1: all checks passed"; exit 0; fi
  echo "$1: $failures failed"
  exit 1
}
