#!/usr/bin/env bash
# The updater's whole run, natively: the three programs over the POSIX
# stand-ins (file-backed registry, lock-file mappings, console dialog,
# recording Program Manager), each case in a fresh place with a Zelk 2.00
# installation made from the release's 2.00 archive.
# Usage: updater_test.sh BUILD_DIR
set -u
BUILD=$(realpath "$1")
UPDATE=$BUILD/updater/updater
DEMO=$BUILD/updater/updater-demo
TARVO=$BUILD/updater/updater-tarvo
LZX=$BUILD/tools/lzx
ARCHIVE_200=$BUILD/release/zelk-2.00.lzx
export ASAN_OPTIONS=detect_leaks=0
unset LC_ALL
export LANG=en_US.UTF-8

top=$(mktemp -d)
trap 'rm -rf "$top"' EXIT
failures=0
fail() { echo "FAIL [$case]: $*"; failures=$((failures + 1)); }

# A fresh place: registry, mappings, temporary directory, and optionally a
# Zelk 2.00 installation registered with its version.
fresh() {  # name [installed-version]
  case=$1
  place=$top/$1
  mkdir -p "$place/tmp" "$place/maps"
  export UPDATER_REGISTRY=$place/registry UPDATER_MAPPINGS=$place/maps TMPDIR=$place/tmp
  unset UPDATER_PROGMAN UPDATER_PROGMAN_REFUSE UPDATER_WINVER
  : > "$UPDATER_REGISTRY"
  if [ $# -ge 2 ]; then
    "$LZX" unpack "$ARCHIVE_200" "$place/Zelk" --table "$place/Zelk/lzx.ver" >/dev/null || fail "2.00 installation"
    registry Zelk Location "$place/Zelk"
    [ -n "$2" ] && registry Zelk Version "$2"
  fi
}
registry() {  # product name value
  printf '[Software\\%s]\n%s=%s\n' "$1" "$2" "$3" >> "$UPDATER_REGISTRY"
}
run() {  # expected-exit input program options...
  local want=$1 input=$2; shift 2
  printf '%b' "$input" | "$@" >"$place/out" 2>"$place/err"
  code=$?
  [ "$code" -eq "$want" ] || { fail "exit $code, expected $want"; cat "$place/out" "$place/err"; }
}
has() {  # file text
  grep -qF -- "$2" "$place/$1" || { fail "'$2' not in $1"; sed 's/^/    /' "$place/$1"; }
}
hasnt() {
  grep -qF -- "$2" "$place/$1" && { fail "'$2' in $1"; sed 's/^/    /' "$place/$1"; }
  true
}
# Another program holding a named mapping (the product running): one process
# that keeps the lock until it is killed. Returns once the lock is taken.
hold() {
  LC_ALL=C perl -e 'use Fcntl ":flock"; open F, ">>", $ARGV[0] or die; flock F, LOCK_EX or die;
                    open R, ">", "$ARGV[0].held"; close R; sleep 60' "$1" & holder=$!
  for i in $(seq 1 100); do [ -e "$1.held" ] && return; sleep 0.05; done
  fail "could not hold $1"
}
value() {  # version-file record field-offset: a 32-bit field of record n
  LC_ALL=C perl -e 'open F, "<", $ARGV[0] or die; binmode F; seek F, $ARGV[1] * 432 + $ARGV[2], 0; read F, $b, 4; print unpack("l<", $b)' "$1" "$2" "$3"
}
name_at() {
  LC_ALL=C perl -e 'open F, "<", $ARGV[0] or die; binmode F; seek F, $ARGV[1] * 432, 0; read F, $b, 256; $b =~ s/\0.*//s; print $b' "$1" "$2"
}

# ---- Language, options, Windows version ----------------------------------------
fresh language 2.00
run 0 "2\n" "$UPDATE"
has out "Version 2.04 for Zelk"
LANG=nl_NL.UTF-8 run 0 "2\n" "$UPDATE"
has out "Versie 2.04 van Zelk"
has out "[1] Installeer update"
LANG=nl_NL.UTF-8 run 0 "2\n" "$UPDATE" -eng
has out "[2] Cancel"
run 0 "2\n" "$UPDATE" -DUT -eng
has out "[2] Cancel"
run 0 "2\n" "$UPDATE" -eng -DUT
has out "[2] Annuleer"
run 0 "2\n" "$UPDATE" -dutch /dut "-eng	-dut"
has out "[2] Cancel"
run 0 "2\n" "$UPDATE" "$(printf 'x%.0s' $(seq 1 256))" -dut
has out "[2] Cancel"
words=$(for i in $(seq 1 48); do printf 'w '; done)
run 0 "2\n" "$UPDATE" $words -dut
has out "[2] Cancel"
run 0 "2\n" "$UPDATE" $(for i in $(seq 1 47); do printf 'w '; done) -dut
has out "[2] Annuleer"

fresh windows31 2.00
UPDATER_WINVER=3.10 run 0 "" "$UPDATE"
has err "Einde: Zelk werkt niet onder Windows 3.1 [3, 10]"
hasnt out "Dialog"
[ -s "$UPDATER_REGISTRY" ] && grep -q Version "$UPDATER_REGISTRY" || fail "registry touched"

# ---- Running checks ----------------------------------------------------------------
fresh running 2.00
hold "$UPDATER_MAPPINGS/Morvil.mapping"
run 1 "2\n" "$UPDATE"
has err "Exit program: During updating Zelk should not be active."
kill $holder 2>/dev/null; wait $holder 2>/dev/null
run 0 "2\n" "$UPDATE"

fresh second 2.00
mkfifo "$place/keys"
"$UPDATE" < "$place/keys" > "$place/first" 2>&1 & first=$!
exec 7> "$place/keys"
for i in $(seq 1 50); do grep -q "Dialog" "$place/first" 2>/dev/null && break; sleep 0.1; done
run 1 "2\n" "$UPDATE"
has err "During updating Zelk should not be active."
echo 2 >&7; exec 7>&-
wait $first || fail "first updater failed"

fresh family
registry Tarvo Location "$place/Tarvo"
hold "$UPDATER_MAPPINGS/Kestrom.mapping"
run 1 "2\n" "$TARVO"
has err "During updating no other Tarvo Software should be active."
kill $holder 2>/dev/null; wait $holder 2>/dev/null

# ---- Product lookup and the version gate ------------------------------------------
fresh nokey
run 0 "" "$UPDATE"
has err "Exit program: Zelk directory not found"
grep -qF '[Software\Zelk]' "$UPDATER_REGISTRY" || fail "the product key was not created"
fresh noversion
registry Zelk Location "$place"
run 0 "" "$UPDATE"
has err "Zelk directory not found"
fresh tarvo-nokey
run 0 "" "$TARVO"
has err "Tarvo directory not found"
for version in 2.04 3; do
  fresh gate-$version "$version"
  run 0 "2\n" "$UPDATE"
  has out "Dialog 3001"
done
for version in 1.9 10.0 " "; do
  fresh "gate-refused-$version" "$version"
  run 0 "" "$UPDATE"
  has err "You need Zelk version 2.0 to be able to use this update."
  hasnt out "Dialog"
done

# ---- The update -------------------------------------------------------------------------
fresh update 2.00
echo "mijn eigen schema" > "$place/Zelk/Toernooi.ini"
run 0 "1\n" "$UPDATE" -eng
has err "Update report: The update has been applied."
grep -qx 'Version=2.04' "$UPDATER_REGISTRY" || fail "Version not written"
cmp -s "$place/Zelk/Biedboek.dat" "$(dirname "$0")/../../release/zelk-2.04/Biedboek.dat" || fail "E=1 file not plain"
grep -q "2.04" "$place/Zelk/Toernooi.ini" || fail "R=1 file not updated where it existed"
[ -e "$place/Zelk/Extra/Dealer.cfg" ] && fail "R=1 file written where none existed"
[ -e "$place/Zelk/Help/Introduction.txt" ] || fail "new file missing"
[ "$(stat -c %s "$place/Zelk/lzx.ver")" -eq $((10 * 432)) ] || fail "lzx.ver length"
for i in $(seq 0 9); do
  [ "$(value "$place/Zelk/lzx.ver" $i 264)" = 0 ] || fail "status of record $i not cleared"
  [ "$(value "$place/Zelk/lzx.ver" $i 260)" = 204 ] || fail "version of record $i"
done
[ "$(name_at "$place/Zelk/lzx.ver" 7)" = '#Help\Introduction.txt' ] || fail "new file not appended: $(name_at "$place/Zelk/lzx.ver" 7)"
[ -e "$place/tmp/TEMP.LZX" ] && fail "temporary archive left"
[ -e "$place/Zelk/lzx.ver.new" ] && fail "sibling of lzx.ver left"

fresh kept 2.00
LC_ALL=C perl -e 'open F, "+<", $ARGV[0] or die; binmode F; seek F, 2 * 432 + 260, 0; print F pack("l<", 205)' "$place/Zelk/lzx.ver"
cp "$place/Zelk/Leesmij.txt" "$place/before"
run 0 "1\n" "$UPDATE" -dut
has err "Update verslag: De update is aangebracht."
has err "1 bestanden niet vervangen."
grep -qx 'Version=2.00' "$UPDATER_REGISTRY" || fail "Version written although a file was kept"
cmp -s "$place/Zelk/Leesmij.txt" "$place/before" || fail "newer file replaced"
[ "$(value "$place/Zelk/lzx.ver" 2 260)" = 205 ] || fail "kept record's version changed"

# An update not made: its code and log say so, no report says otherwise, TEMP.LZX goes.
while IFS='|' read -r name fault silent want text; do
  fresh "$name" 2.00 && eval "$fault"
  run "$want" "1\n" "$UPDATE" -eng "-logfile=$place/u.log" $silent
  has u.log "$text"
  hasnt u.log "The update has been applied."
  [ -e "$place/tmp/TEMP.LZX" ] && fail "temporary archive left"
done <<'EOF'
nolzxver|rm "$place/Zelk/lzx.ver"||4|message: Einde: 
nolzxver-silent|rm "$place/Zelk/lzx.ver"|-silent|4|Zelk\lzx.ver not found
registry|mkdir "$UPDATER_REGISTRY.new"||2|fatal: The new version 2.04 cannot be written to the registry
EOF

# -verify: the installation against what the update leaves, changing
# nothing (TEMP.LZX comes and goes). The cases build on each other.
fresh verify 2.00
run 0 "1\n" "$UPDATE"
poke() { printf x | dd of="$1" bs=1 seek=3 conv=notrunc status=none; }
while IFS='|' read -r meddle want text; do
  eval "$meddle"
  before=$(cd "$place" && find Zelk registry -exec cksum {} + 2>/dev/null | sort)
  run "$want" "" "$UPDATE" -verify -silent "-logfile=$place/v.log"
  has v.log "$text"
  [ "$(cd "$place" && find Zelk registry -exec cksum {} + 2>/dev/null | sort)" = "$before" ] || fail "-verify changed something"
  [ -e "$place/tmp/TEMP.LZX" ] && fail "temporary archive left"
done <<'EOF'
:|0|verify: 8 same, 0 differ, 0 missing, 0 newer kept, 2 not installed
poke "$place/Zelk/Leesmij.txt"|6|verify: differs #Leesmij.txt (other bytes)
rm "$place/Zelk/Help/Introduction.txt"|6|verify: missing #Help\Introduction.txt
mkdir "$place/Zelk/.lzx-update" && : > "$place/Zelk/.lzx-update/journal"|6|verify: an interrupted update waits
EOF
run 6 "" "$UPDATE" -verify -eng
has err "Update report: An interrupted update waits; run the update again."
has err "2 files differ from Zelk 2.04 or are missing:"

# -check gives the code the run then gives, and the same refusal, and
# changes nothing: one case per class of obstacle, and what it logs.
state() { (cd "$place" && find Zelk registry -exec cksum {} + 2>/dev/null | sort); }
while IFS='|' read -r name installed setup want text; do
  fresh "check-$name" $installed && eval "$setup"
  before=$(state)
  run "$want" "" "$UPDATE" -check -silent "-logfile=$place/check.log"
  has check.log "$text"
  [ "$(state)" = "$before" ] || fail "-check changed something"
  [ -e "$place/tmp/TEMP.LZX" ] && fail "-check left the temporary archive"
  run "$want" "" "$UPDATE" -silent "-logfile=$place/run.log"
  [ "$(grep -o 'fatal: .*' "$place/check.log")" = "$(grep -o 'fatal: .*' "$place/run.log")" ] || fail "-check and the run refuse apart"
  [ -n "${holder:-}" ] && kill "$holder" && unset holder
done <<'EOF'
clean|2.00|:|0|would replace #Zelk.hlp: version 200 -> 204
kept|2.00|LC_ALL=C perl -e 'open F, "+<", $ARGV[0] or die; binmode F; seek F, 2 * 432 + 260, 0; print F pack("l<", 205)' "$place/Zelk/lzx.ver"|5|would keep #Leesmij.txt: installed version 205 is newer than 204
running|2.00|hold "$UPDATER_MAPPINGS/Morvil.mapping"|1|During updating Zelk should not be active.
old|1.50|:|4|You need Zelk version 2.0
nolzxver|2.00|rm "$place/Zelk/lzx.ver"|4|lzx.ver not found
damaged|2.00|printf x >> "$place/Zelk/lzx.ver"|2|not a whole number of 432-byte records
read-only|2.00|chmod a-w "$place/Zelk/Leesmij.txt"|2|code = 206
in-use|2.00|hold "$place/Zelk/Zelk.hlp"|2|Zelk.hlp] is in use by another program
EOF

fresh cancel 2.00
cp -r "$place/Zelk" "$place/before"
run 0 "2\n" "$UPDATE"
diff -r "$place/Zelk" "$place/before" >/dev/null || fail "cancel changed files"
run 0 "" "$UPDATE"   # the close box
grep -qx 'Version=2.00' "$UPDATER_REGISTRY" || fail "cancel changed the registry"

fresh longdir 2.00
long=$place/$(printf 'z%.0s' $(seq 1 $((255 - ${#place} - 1))))   # 255 characters: fits the registry value, not the paths
registry Zelk Location "$long"
run 2 "1\n" "$UPDATE"
has err "The product directory is too long for the update (at most 239 characters)"
[ -e "$place/tmp/TEMP.LZX" ] && fail "the temporary archive was written before the refusal"

fresh longtemp 2.00
mkdir -p "$place/$(printf 't%.0s' $(seq 1 80))"
TMPDIR="$place/$(printf 't%.0s' $(seq 1 80))" run 2 "1\n" "$UPDATE"
has err "The temporary directory is too long for the update"

# ---- Faults during an update: all or nothing ---------------------------------------------
# The product as a run leaves it: every folder and file with its bytes, and
# the registry's Version (a holder's mark aside).
product() {
  (cd "$place/Zelk" && find . ! -name '*.held' | sort | while read -r f; do
    if [ -f "$f" ]; then echo "$f $(md5sum <"$f")"; else echo "$f"; fi
  done)
  grep '^Version=' "$UPDATER_REGISTRY"
}
fresh reference 2.00
product > "$top/at-2.00"
run 0 "1\n" "$UPDATE"
product > "$top/at-2.04"

# An obstacle, or a disk that fills while the update is staged, refuses the
# run: the product stays exactly as it was, and once the cause is gone a
# rerun completes the update.
while IFS='|' read -r name cause limit message cure; do
  fresh "$name" 2.00
  eval "$cause"
  ( eval "${limit:-:}"; printf '1\n' | "$UPDATE" ) >"$place/out" 2>"$place/err"
  code=$?
  [ $code -eq 2 ] || fail "exit $code, expected 2"
  has err "$message"
  product | cmp -s - "$top/at-2.00" || fail "the product changed"
  eval "$cure"
  run 0 "1\n" "$UPDATE"
  product | cmp -s - "$top/at-2.04" || fail "the rerun did not complete the update"
done <<'EOF'
readonly|chmod a-w "$place/Zelk/Zelk.hlp"||Zelk.hlp] code = 206|chmod u+w "$place/Zelk/Zelk.hlp"
locked|hold "$place/Zelk/Zelk.hlp"||Zelk.hlp] is in use by another program|kill $holder; wait $holder; rm "$place/Zelk/Zelk.hlp.held"
lzxver-readonly|chmod a-w "$place/Zelk/lzx.ver"||lzx.ver] code = 206|chmod u+w "$place/Zelk/lzx.ver"
diskfull||trap '' XFSZ; ulimit -f 14|code = 205|:
EOF
# A volume too small for the staged files: refused before anything is staged
# (a small file system of its own, in a namespace of the run).
if unshare -rm true 2>/dev/null; then
  fresh smallvolume 2.00
  mv "$place/Zelk" "$place/orig" && mkdir "$place/Zelk"
  printf '1\n' | unshare -rm sh -c 'mount -t tmpfs -o size=512k tmpfs "$1" && cp -a "$2/." "$1" &&
    "$3" >"$4/out" 2>"$4/err"; echo $? >"$4/code"; cp -a "$1/." "$4/after"' sh "$place/Zelk" "$place/orig" "$UPDATE" "$place"
  [ "$(cat "$place/code")" = 2 ] || fail "exit $(cat "$place/code"), expected 2"
  has err "of free space in [$place/Zelk]"
  rmdir "$place/Zelk" && mv "$place/after" "$place/Zelk"
  product | cmp -s - "$top/at-2.00" || fail "the product changed"
else
  echo "note: no namespaces here; the small volume is not tried"
fi

# Killed just before each change it makes to the file system or the
# registry (the stand-ins' UPDATER_KILL_AT): a rerun that is cancelled
# leaves the product exactly 2.00 or exactly 2.04, and an unattended one
# completes the update. Both ways of putting files in place: renames, and
# the copies made where renames go by path (Wine).
for UPDATER_RENAMES_BY_PATH in 0 1; do
  export UPDATER_RENAMES_BY_PATH
  for point in $(seq 1 1000); do
    fresh "killed-at-$point-$UPDATER_RENAMES_BY_PATH" 2.00
    UPDATER_KILL_AT=$point "$UPDATE" -silent >/dev/null 2>&1
    [ $? -eq 137 ] || break  # the run was over before its point-th change
    run 0 "2\n" "$UPDATE"
    product >"$place/cancelled"
    cmp -s "$place/cancelled" "$top/at-2.00" || cmp -s "$place/cancelled" "$top/at-2.04" \
      || { fail "the cancelled rerun left a mixture"; diff "$top/at-2.00" "$place/cancelled" | head -5; }
    run 0 "" "$UPDATE" -silent
    product | cmp -s - "$top/at-2.04" || fail "the unattended rerun did not complete the update"
  done
  [ "$point" -gt 50 ] || fail "the run ended after $point changes"
done
unset UPDATER_RENAMES_BY_PATH

# TEMP.LZX goes on every way out: a full TEMP, a failure during extraction, one after it.
while IFS='|' read -r name fault code; do
  fresh "temp-$name" 2.00
  ( eval "$fault"; printf '1\n' | "$UPDATE" ) >"$place/out" 2>"$place/err"
  has err "code = $code"
  [ -e "$place/tmp/TEMP.LZX" ] && fail "temporary archive left"
done <<'EOF'
full|trap '' XFSZ; ulimit -f 8|205
extraction|chmod a-w "$place/Zelk/Zelk.hlp"|206
save|chmod a-w "$place/Zelk/lzx.ver"|206
EOF

# The temporary archive: whatever is planted under its fixed name (a link to
# another file, a hard link, a dangling link) is removed, never written
# through, and the archive is opened once, by the creation that writes it.
for plant in symlink hardlink dangling; do
  fresh "temp-$plant" 2.00
  echo "someone else's file" > "$place/victim"
  cp "$place/victim" "$place/victim.before"
  case $plant in
    symlink) ln -s "$place/victim" "$place/tmp/TEMP.LZX" ;;
    hardlink) ln "$place/victim" "$place/tmp/TEMP.LZX" ;;
    dangling) ln -s "$place/created" "$place/tmp/TEMP.LZX" ;;
  esac
  run 0 "1\n" "$UPDATE"
  cmp -s "$place/victim" "$place/victim.before" || fail "written through the planted $plant"
  [ -e "$place/created" ] && fail "the dangling link's target was created"
  grep -qx 'Version=2.04' "$UPDATER_REGISTRY" || fail "the update did not complete"
  [ -e "$place/tmp/TEMP.LZX" ] || [ -L "$place/tmp/TEMP.LZX" ] && fail "temporary archive left"
done
if command -v strace >/dev/null && strace -o /dev/null true 2>/dev/null; then
  fresh temp-opened-once 2.00
  printf '1\n' | strace -f -e trace=open,openat,creat -o "$place/trace" "$UPDATE" >/dev/null 2>&1
  # Not counted: the stand-in's probe whether the file is in use, before
  # it is deleted (O_RDONLY|O_NOFOLLOW, closed at once).
  opens=$(grep 'TEMP\.LZX' "$place/trace" | grep -cv 'O_RDONLY|O_NOFOLLOW')
  [ "$opens" -eq 1 ] || { fail "TEMP.LZX opened $opens times"; grep 'TEMP\.LZX' "$place/trace"; }
else
  echo "note: strace not usable here; the single open of TEMP.LZX is not checked"
fi

# Damaged version files: every run ends in success or one fatal report.
fresh damaged-versions 2.00
cp "$place/Zelk/lzx.ver" "$place/good.ver"
RANDOM=204
for round in $(seq 1 60); do
  cp "$place/good.ver" "$place/Zelk/lzx.ver"
  size=$((RANDOM % (7 * 432 + 50)))
  head -c "$size" "$place/good.ver" > "$place/Zelk/lzx.ver"
  for hit in 1 2 3 4; do
    printf "\\x$(printf %02x $((RANDOM % 256)))" | dd of="$place/Zelk/lzx.ver" bs=1 seek=$((RANDOM % (size + 1))) conv=notrunc status=none
  done
  printf '1\n' | timeout 60 "$UPDATE" >/dev/null 2>"$place/err"
  code=$?
  [ $code -eq 0 ] || [ $code -eq 2 ] || { fail "damaged lzx.ver, round $round: exit $code"; head -3 "$place/err"; }
  sed -i 's/^Version=.*/Version=2.00/' "$UPDATER_REGISTRY"
done

# ---- The Tarvo dialog --------------------------------------------------------------
fresh tarvo
registry Tarvo Location "$place/Tarvo"
mkdir -p "$place/Tarvo"
run 0 "2\n" "$TARVO" -dut
has out "Dialog 3002"
has out "[2001] icon 1004"
has out "[2012] ontwikkelling"
has out "hidden: 2020 2021"
run 0 "2\n" "$TARVO" -eng
has out "hidden: 2018 2019"
has out "[2012] development"
run 0 "1\n" "$TARVO" -eng
[ -f "$place/Tarvo/Zelk.exe" ] || fail "Tarvo build installed nothing"
grep -qx 'Version=2.04' "$UPDATER_REGISTRY" || fail "Version not written under Zelk"

# ---- The demo --------------------------------------------------------------------------
fresh demo
export UPDATER_PROGMAN=$place/progman
UPDATER_WINDIR='D:\WINDOWS' run 0 "2\n" "$DEMO" -eng
has out "[2022] D:\Program Files\Zelk Demo"
has out "[1] Install demo"
run 0 "2022=C:\\\\\\\\\n1\n2022=$place/Games/Zelk\\\\\\\\\n1\n" "$DEMO" -eng
[ -f "$place/Games/Zelk/ZelkDemo.exe" ] || fail "demo not installed"
[ -f "$place/Games/Zelk/Uninstall.exe" ] || fail "uninstaller not installed"
[ -f "$place/Games/Zelk/lzx.ver" ] || fail "demo lzx.ver not written"
has err "Installation finished: Installation completed."
printf '%s\n' "[CreateGroup(Zelk Demo)]" "[ReplaceItem(Zelk Demo)]" \
  "[AddItem(\"$place/Games/Zelk\\ZelkDemo.exe\" , \"Zelk Demo\",,,,,\"$place/Games/Zelk\")]" \
  "[AddItem(\"$place/Games/Zelk\\Uninstall.exe\", \"UnInstall\",,,,,\"$place/Games/Zelk\")]" > "$place/expected"
cmp -s "$place/progman" "$place/expected" || { fail "Program Manager commands"; diff "$place/expected" "$place/progman"; }

fresh demo-noservice
run 0 "2022=$place/Demo\n1\n" "$DEMO" -eng
has err "Error: SendShellCommand(CreateGroup) failed!"
has err "Installation finished: Installation completed."
fresh demo-refused
export UPDATER_PROGMAN=$place/progman UPDATER_PROGMAN_REFUSE=AddItem
run 0 "2022=$place/Demo\n1\n" "$DEMO" -eng
has err "Error: SendShellCommand(AddItem) failed"
grep -q Uninstall "$place/progman" && fail "uninstall item sent after a failed program item"
fresh demo-long
long=$place/$(printf 'd%.0s' $(seq 1 110))
run 0 "2022=$long\n1\n2\n" "$DEMO" -eng
has err "The directory may be at most 104 characters long."
[ -e "$long" ] && fail "installed into a directory too long for the Program Manager"

fresh updates-send-nothing 2.00
export UPDATER_PROGMAN=$place/progman
run 0 "1\n" "$UPDATE"
[ -e "$place/progman" ] && fail "the update build sent DDE commands"

# ---- Unattended runs, the log, a damaged program ---------------------------------------
silent() {  # expected-exit options...: an unattended run shows nothing and logs to %TEMP%
  run "$1" "" "$UPDATE" -silent "${@:2}"
  [ -s "$place/out" ] || [ -s "$place/err" ] && { fail "the unattended run showed something"; cat "$place/out" "$place/err"; }
  has tmp/ZelkUpdate.log "end: exit code $1"
}
fresh silent 2.00
silent 0 -eng
has tmp/ZelkUpdate.log "replaced #Zelk.exe: version 200 -> 204"
has tmp/ZelkUpdate.log "not written #Extra\Dealer.cfg: replaces only an installed copy"
has tmp/ZelkUpdate.log "registry: Software\Zelk Version 2.00 -> 2.04"
has tmp/ZelkUpdate.log "message: Update report: The update has been applied."
grep -qx 'Version=2.04' "$UPDATER_REGISTRY" || fail "registry not updated"
cmp -s "$place/Zelk/Leesmij.txt" "$(dirname "$0")/../../release/zelk-2.04/Leesmij.txt" || fail "Leesmij.txt not replaced"
[ "$(stat -c %s "$place/Zelk/lzx.ver")" -eq $((10 * 432)) ] || fail "lzx.ver not rewritten"
grep -qE '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} \[[0-9]+\] start: ' "$place/tmp/ZelkUpdate.log" \
  || fail "log line format"

fresh silent-kept 2.00
LC_ALL=C perl -e 'open F, "+<", $ARGV[0] or die; binmode F; seek F, 2 * 432 + 260, 0; print F pack("l<", 205)' "$place/Zelk/lzx.ver"
silent 5
has tmp/ZelkUpdate.log "kept #Leesmij.txt: installed version 205 is newer than 204"
has tmp/ZelkUpdate.log "Version left at 2.00"
grep -qx 'Version=2.00' "$UPDATER_REGISTRY" || fail "Version written although a file was kept"

fresh silent-refusals 2.00
hold "$UPDATER_MAPPINGS/Morvil.mapping"
silent 1
has tmp/ZelkUpdate.log "message: Exit program: During updating Zelk should not be active."
kill $holder 2>/dev/null; wait $holder 2>/dev/null
registry Zelk Version 1.9
silent 4
UPDATER_WINVER=3.10 silent 4
chmod a-w "$place/Zelk/Leesmij.txt"
registry Zelk Version 2.00
silent 2
has tmp/ZelkUpdate.log "fatal: File Error : name = [$place/Zelk\Leesmij.txt] code = 206"

# The demo installs into its default directory, below a drive "C:" here.
fresh demo-silent
export UPDATER_PROGMAN=$place/progman
mkdir -p "$place/C:"
cd "$place" && { run 0 "" "$DEMO" -silent; cd - >/dev/null; }
[ -f "$place/C:/Program Files/Zelk Demo/ZelkDemo.exe" ] || fail "demo not installed in its default directory"
has progman "[CreateGroup(Zelk Demo)]"

# An interactive run with a log of its own: the same boxes, and every one logged.
fresh logfile 2.00
mkdir -p "$place/my logs"
run 0 "1\n" "$UPDATE" -eng "-logfile=\"$place/my logs/u.log\""
has err "Update report: The update has been applied."
has "my logs/u.log" "mode: interactive, English texts"
has "my logs/u.log" "message: Update report: The update has been applied."
[ -e "$place/tmp/ZelkUpdate.log" ] && fail "the default log written without -silent"
run 2 "" "$UPDATE" "-logfile=$place/missing/u.log"
has err "The log file cannot be written: $place/missing/u.log"
run 2 "" "$UPDATE" -silent "-logfile=$place/missing/u.log"
run 2 "" "$UPDATE" "-logfile=$place/$(printf 'l%.0s' $(seq 1 300)).log"
has err "The log file's path is too long"
ls "$place" | grep -q lll && fail "a log written at a path cut off"
grep -qx 'Version=2.04' "$UPDATER_REGISTRY" || fail "registry changed by a run without its log"

# -silent anywhere, beside any mistake: nothing shown or waited for, the reason logged.
fresh silent-mistakes 2.00
mkfifo "$place/fifo"
long=$place/$(printf 'l%.0s' $(seq 1 $((250 - ${#place}))))
while IFS='|' read -r want log words text; do
  eval "set -- $words"
  timeout 30 "$UPDATE" "$@" </dev/null >"$place/out" 2>&1; code=$?
  [ $code -eq "$want" ] && [ ! -s "$place/out" ] || { fail "[$words]: exit $code"; cat "$place/out"; }
  has "$log" "$text"
done <<EOF
2|tmp/ZelkUpdate.log|'-logfile="$place/my logs/u.log' -silent|fatal: The command line has a quote that is not closed
2|tmp/ZelkUpdate.log|-eng -logfile=$long$long.log -silent|fatal: The log file's path is too long
2|tmp/ZelkUpdate.log|-SILENT -dutch|fatal: The command line holds a word that is not an option: -dutch
2|tmp/ZelkUpdate.log|-silent -logfile=$place/fifo|fatal: The log file is not a regular file
0|${long#$place/}.log|-logfile=$long.log -silent|end: exit code 0
EOF

# Outside text in the log shows its control characters escaped: no forged line.
forged=$(printf '\r\nend: exit code 0')
bytes() { printf 'hex(1):%s' "$(printf %s "$1" | od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//;s/,$//')"; }
while IFS='|' read -r name setup; do
  fresh "forged-$name" 2.00 && extra= && eval "$setup"
  "$UPDATE" -silent "-logfile=$place/u.log" ${extra:+"$extra"} </dev/null >/dev/null 2>&1
  has u.log "<0D><0A>end: exit code 0"
  grep -vqE '^[0-9-]{10} [0-9:]{8} \[[0-9]+\] ' "$place/u.log" && fail "a log line without its stamp"
done <<'EOF'
version|registry Zelk Version "$(bytes "2.00$forged")"
location|registry Zelk Location "$(bytes "$place/Zelk$forged")"
command-line|extra=$forged
environment|export TMPDIR=$place/t$forged; mkdir "$TMPDIR"
EOF

# One payload byte flipped in a copy of the program: refused before anything
# is touched, with and without a dialog.
fresh damaged 2.00
LC_ALL=C perl -e 'local $/; open P, "<", $ARGV[0] or die; binmode P; my $p = <P>;
  open F, "<", $ARGV[1] or die; binmode F; my $b = <F>; my $at = index($b, substr($p, 0, 64));
  die "payload not found" if $at < 0; substr($b, $at + int(length($p) / 2), 1) ^= "\x01";
  open O, ">", $ARGV[2] or die; binmode O; print O $b' \
  "$BUILD/release/payload-update.lzx" "$UPDATE" "$place/updater" && chmod +x "$place/updater" || fail "no damaged copy"
cp "$UPDATER_REGISTRY" "$place/registry.before"
run 3 "1\n" "$place/updater" -eng
has err "Exit program: The update program is damaged. Download it again."
run 3 "" "$place/updater" -dut -silent
[ -s "$place/err" ] && fail "the unattended run showed a box"
has tmp/ZelkUpdate.log "error: Einde programma: Het update programma is beschadigd. Download het opnieuw."
cmp -s "$UPDATER_REGISTRY" "$place/registry.before" || fail "registry touched by a damaged program"
[ "$(ls "$place/tmp")" = ZelkUpdate.log ] || fail "temporary files written by a damaged program"
grep -qx 'Version=2.00' "$UPDATER_REGISTRY" || fail "a damaged program changed the Version"

if [ "$failures" -eq 0 ]; then echo "updater: all checks passed"; exit 0; fi
echo "updater: $failures failed"
exit 1
