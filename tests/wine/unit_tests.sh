#!/usr/bin/env bash
# unit_tests.sh - the platform-neutral unit tests (diagnostics, file layer,
# codec, streams and archives, the C interface) as Windows programs under Wine, so that they
# run over the Win32 backend too. One prefix for all; each program has a time
# limit, reports its gtest summary and leaves its whole output in
# build/e2e/unit_tests.
#   bash tests/wine/unit_tests.sh TOP
set -uo pipefail
source "$(dirname "$0")/common.sh" "$1" unit_tests

programs=(diag_test fileio_test codec_test core_test stream_file_test stream_test archive_test)
limit=${UNIT_TEST_LIMIT:-120}

e2e_prefix "$E2E_WORK/prefix"
cd "$E2E_WORK"
for case in "${programs[@]}"; do
  exe=$E2E_BUILD/tests/$case.exe
  if [ ! -f "$exe" ]; then
    fail "$exe is missing (the Windows presets build it: UPDATER_WINE_TESTS=ON)"
    continue
  fi
  started=$SECONDS
  timeout -k 10 "$limit" "$(e2e_wrap "$exe")" --gtest_color=no >"$E2E_ARTIFACTS/$case.log" 2>&1
  status=$?
  output=$(tr -d '\r' <"$E2E_ARTIFACTS/$case.log")
  echo "$case ($((SECONDS - started)) s):"
  # The summary (with the failed and skipped tests), and why each was skipped.
  sed -n '/^\[==========\] .* ran\./,$p' <<<"$output" | sed 's/^/    /'
  awk '/: Skipped$/ { where = $1; getline; sub(/.*\//, "", where); print "    skipped at " where " " $0 }' <<<"$output"
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    fail "$case did not finish within $limit s; the last test started: $(grep '^\[ RUN' <<<"$output" | tail -1)"
    # What the killed loader leaves running in the prefix must not slow the next program.
    wineserver -k 2>/dev/null
  elif [ "$status" -ne 0 ]; then
    fail "$case exited with $status (all its output: $E2E_ARTIFACTS/$case.log)"
    # Each failed check, or where the program stopped.
    failures=$(awk '/: Failure$/ { show = 1 } /^\[ / { show = 0 } show' <<<"$output")
    head -80 <<<"${failures:-$(tail -40 <<<"$output")}" | sed 's/^/    /'
  elif ! grep -q '^\[  PASSED  \]' <<<"$output"; then
    fail "$case exited with 0 but reported no passed tests"
  fi
done
e2e_end
