# common.sh - what the end-to-end tests under Wine share. Sourced, not run:
#   source tests/wine/common.sh TOP NAME      (TOP: the source tree, NAME: the test)
#
# Machines differ in whether they execute 32-bit code. A probe decides once
# per run: where the i686 probe runs under Wine, the tests run the shipped
# i686 programs (build/windows) under wine32; where it does not, the same
# sources built for x86_64 (build/windows64) under wine64. E2E_ARCH=x86_64 in
# the environment chooses the second on any machine. Every test says which
# one it used; if neither runs, the test fails and says why.
#
# After sourcing:
#   E2E_ARCH, E2E_BUILD, WINE   the architecture, its build tree, the loader
#   E2E_ARTIFACTS               where screenshots of this test go
#   e2e_prefix DIR              a fresh prefix copied from the template, made current
#   e2e_display                 an X server of this test's own (Xvfb), made current
#   w ARGS...                   runs a Windows program in the current prefix
#   drv ARGS...                 the UI driver (tests/wine/uidriver.cpp)
#   shot NAME [TITLE]           a screenshot (of one window when TITLE is given)
#   check/fail/e2e_end          counting failures; a failure shows the windows there
#   winpath PATH                the Windows name of a Linux path (Z:\...)

E2E_TOP=$(cd "$1" && pwd)
E2E_NAME=$2
export WINEDEBUG=-all
# No installer dialogs for Mono and Gecko: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH WINELOADER
E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/e2e-$E2E_NAME.XXXXXX")
E2E_ARTIFACTS=${E2E_ARTIFACTS:-$E2E_TOP/build/e2e/$E2E_NAME}
rm -rf "$E2E_ARTIFACTS"
mkdir -p "$E2E_ARTIFACTS"
E2E_FAILURES=0
E2E_PREFIXES=()
E2E_XVFB=
E2E_WAIT_MS=${E2E_WAIT_MS:-30000}

e2e_die() {
  echo "e2e $E2E_NAME: $*" >&2
  exit 1
}

# Also run by scripts that stop at the first failing command (set -e): a
# prefix whose server has already ended must not stop the cleanup.
e2e_cleanup() {
  local prefix
  for prefix in "${E2E_PREFIXES[@]}"; do
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  done
  [ -z "$E2E_XVFB" ] || kill "$E2E_XVFB" 2>/dev/null || true
  # Wine's processes may still be writing into their prefix as they end.
  rm -rf "$E2E_WORK" 2>/dev/null || { sleep 1; rm -rf "$E2E_WORK"; } || true
}
trap e2e_cleanup EXIT

for tool in wine wineserver Xvfb import; do
  command -v "$tool" >/dev/null 2>&1 || e2e_die "$tool is not installed (scripts/setup installs Wine, Xvfb and ImageMagick)"
done

# ---- Which build runs here ----------------------------------------------------

# The template prefix is made once (its first start takes 10-20 s), the
# probe is run in it once, and every test copies it. Wine never rewrites its
# DLLs in place, so the copy links them; the registry files, which it does
# rewrite, are copied. Nothing runs in the template after it is ready, so a
# copy never catches it half-written.
e2e_template() {  # arch loader probe: prints the probe's output
  local template=$E2E_TOP/build/wine/template-$1
  (
    flock 9
    if [ ! -f "$template/.ready" ]; then
      rm -rf "$template"
      mkdir -p "$template"
      WINEPREFIX=$template "$2" wineboot -i >/dev/null 2>&1
      # A desktop of Wine's own draws the windows' frames and captions as
      # Windows does; Xvfb has no window manager to draw them.
      WINEPREFIX=$template "$2" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
      WINEPREFIX=$template "$2" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
      WINEPREFIX=$template timeout 60 "$2" "$3" > "$template/.probe" 2>&1
      WINEPREFIX=$template wineserver -w
      # Wine's own fonts (Marlett draws the caption buttons), where this Wine
      # does not find them by itself.
      cp /usr/share/wine/fonts/*.ttf "$template/drive_c/windows/Fonts/" 2>/dev/null
      [ -f "$template/system.reg" ] && touch "$template/.ready"
    fi
  ) 9>"$E2E_TOP/build/wine/template-$1.lock"
  [ -f "$template/.ready" ] || return 1
  cat "$template/.probe"
}

# A test makes the Windows build it runs, with the README's commands, where
# it is not made yet; where it is, this only brings it up to date. Tests
# that run at once build one tree one after the other.
e2e_build() {  # preset
  local tree=$E2E_TOP/build/$1 log=$E2E_TOP/build/wine/build-$1.log
  (
    flock 9
    if [ ! -f "$tree/CMakeCache.txt" ]; then
      (cd "$E2E_TOP" && cmake --preset "$1") >"$log" 2>&1 || exit 1
    fi
    cmake --build "$tree" >>"$log" 2>&1
  ) 9>"$E2E_TOP/build/wine/build-$1.lock"
}

e2e_choose() {
  mkdir -p "$E2E_TOP/build/wine"
  local why32="" why64="" out
  if [ "${E2E_ARCH:-}" != x86_64 ]; then
    if ! e2e_build windows; then
      why32="build/windows does not build (build/wine/build-windows.log)"
    elif ! out=$(e2e_template i686 wine "$E2E_TOP/build/windows/tests/wine/probe.exe"); then
      why32="wine could not make a prefix"
    elif [[ $out == *"i686 programs run here"* ]]; then
      E2E_ARCH=i686 E2E_BUILD=$E2E_TOP/build/windows WINE=wine E2E_LOADER=wine32
      E2E_TEMPLATE=$E2E_TOP/build/wine/template-i686
      return 0
    else
      why32="the i686 probe does not run under wine32: $(echo "$out" | tail -1)"
    fi
  fi
  local wine64=/usr/lib/wine/wine64
  command -v wine64 >/dev/null 2>&1 && wine64=$(command -v wine64)
  if [ ! -x "$wine64" ]; then
    why64="wine64 is not installed"
  elif ! e2e_build windows64; then
    why64="build/windows64 does not build (build/wine/build-windows64.log)"
  elif ! out=$(e2e_template x86_64 "$wine64" "$E2E_TOP/build/windows64/tests/wine/probe.exe"); then
    why64="wine64 could not make a prefix"
  elif [[ $out == *"x86_64 programs run here"* ]]; then
    E2E_ARCH=x86_64 E2E_BUILD=$E2E_TOP/build/windows64 WINE=$wine64 E2E_LOADER=wine64 E2E_ARCH_WHY=$why32
    E2E_TEMPLATE=$E2E_TOP/build/wine/template-x86_64
    export WINELOADER=$wine64
    return 0
  else
    why64="the x86_64 probe does not run under wine64: $(echo "$out" | tail -1)"
  fi
  e2e_die "no Wine here runs the Windows programs. i686: ${why32:-not tried (E2E_ARCH=x86_64)}; x86_64: $why64"
}
e2e_choose
if [ "$E2E_ARCH" = i686 ]; then
  echo "e2e $E2E_NAME: the i686 programs (build/windows) under wine32"
else
  echo "e2e $E2E_NAME: the x86_64 programs (build/windows64) under wine64${E2E_ARCH_WHY:+ ($E2E_ARCH_WHY)}"
fi

# ---- Prefixes, display, programs ----------------------------------------------

e2e_prefix() {  # dir
  local dir=$1
  # What the previous case left running ends with its prefix.
  if [ ${#E2E_PREFIXES[@]} -gt 0 ]; then
    WINEPREFIX=${E2E_PREFIXES[-1]} wineserver -k 2>/dev/null || true
  fi
  rm -rf "$dir"
  cp -al "$E2E_TEMPLATE" "$dir"
  local reg
  for reg in "$dir"/*.reg; do cp --remove-destination "$E2E_TEMPLATE/$(basename "$reg")" "$reg"; done
  rm -f "$dir/.ready"
  export WINEPREFIX=$dir
  E2E_PREFIXES+=("$dir")
  # A server that stays until the test ends it: one that ends when idle
  # can drop a program that connects just then ("recvmsg: Connection reset
  # by peer"), and the pauses between the tests' programs are often long.
  wineserver -p
}

e2e_display() {
  local file=$E2E_WORK/display
  : > "$file"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$file" >/dev/null 2>&1 &
  E2E_XVFB=$!
  local i
  for i in $(seq 1 200); do
    [ -s "$file" ] && break
    kill -0 "$E2E_XVFB" 2>/dev/null || e2e_die "Xvfb did not start"
    sleep 0.05
  done
  [ -s "$file" ] || e2e_die "Xvfb did not report its display"
  export DISPLAY=:$(head -1 "$file")
}

w() { "$WINE" "$@"; }

# A Windows console program as one command, for scripts that take the tool
# as a command line: prints the path of a script that runs it under Wine.
# Wine 8's loader has been seen to die of SIGSEGV (exit 139) now and then as
# a process ends under load, after the program had done its work and
# reported: such a run is repeated once, and counted in the summary. A
# crash of the program itself ends in an exception code, never in a signal.
e2e_wrap() {  # exe
  local wrapper=$E2E_WORK/wine-$(basename "$1")
  cat >"$wrapper" <<EOF
#!/usr/bin/env bash
for try in 1 2; do
  "$WINE" "$1" "\$@"
  code=\$?
  [ \$code -eq 139 ] || exit \$code
  echo "\$*" >> "$E2E_WORK/wine-crashes"
done
exit \$code
EOF
  chmod +x "$wrapper"
  echo "$wrapper"
}
drv() { "$WINE" "$E2E_BUILD/tests/wine/uidriver.exe" "$@"; }
winpath() { printf 'Z:%s' "$(echo "$1" | tr / '\\')"; }

shot() {  # name [window title]
  local file=$E2E_ARTIFACTS/$1.png rect
  if [ $# -ge 2 ] && rect=$(drv wait "$2" 2000 2>/dev/null); then
    IFS=, read -r x y wd ht <<<"$rect"
    import -window root -crop "${wd}x${ht}+${x}+${y}" +repage "$file" 2>/dev/null
  else
    import -window root "$file" 2>/dev/null
  fi
  echo "$file"
}

fail() {
  E2E_FAILURES=$((E2E_FAILURES + 1))
  echo "FAIL [$E2E_NAME/${case:-}]: $*"
  if [ -n "$E2E_XVFB" ]; then
    echo "    screenshot: $(shot "failure-$E2E_FAILURES-${case:-}")"
    drv windows 2>/dev/null | sed 's/^/    /'
  fi
}
check() {  # description command...
  local what=$1
  shift
  "$@" || fail "$what"
}

# The last line also goes to the test's summary file, which scripts/test
# shows after the test run.
e2e_end() {
  local line
  if [ "$E2E_FAILURES" -eq 0 ]; then
    line="e2e $E2E_NAME: all checks passed, $E2E_ARCH programs under $E2E_LOADER"
  else
    line="e2e $E2E_NAME: $E2E_FAILURES failed, $E2E_ARCH programs under $E2E_LOADER"
  fi
  [ -s "$E2E_WORK/wine-crashes" ] && line="$line; Wine crashed ending $(wc -l <"$E2E_WORK/wine-crashes") run(s), repeated"
  [ -n "$(ls "$E2E_ARTIFACTS")" ] && line="$line; screenshots and logs in $E2E_ARTIFACTS"
  echo "$line" | tee "$E2E_ARTIFACTS/../$E2E_NAME.summary"
  [ "$E2E_FAILURES" -eq 0 ]
  exit
}
