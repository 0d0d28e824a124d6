#!/usr/bin/env bash
# The real updater programs under Wine, driven through their windows: each
# case in a fresh prefix with a Zelk 2.00 installation on its C: drive and
# the product's registry values, as a user's machine has them.
# Usage: updater_e2e.sh TOP
set -u
source "$(dirname "$0")/common.sh" "$1" updater
e2e_display

UPDATE=$E2E_BUILD/updater/updater.exe
DEMO=$E2E_BUILD/updater/updater-demo.exe
TARVO=$E2E_BUILD/updater/updater-tarvo.exe
LZX=$E2E_BUILD/host-tools/tools/lzx
RELEASE=$E2E_TOP/release/zelk-2.04
TITLE="Zelk update 16-dec-2003"

# ---- A case's prefix, its registry and its files --------------------------------

fresh() {  # name [installed version]
  case=$1
  e2e_prefix "$E2E_WORK/$1"
  C=$WINEPREFIX/drive_c
  ZELK=$C/Zelk
  if [ $# -ge 2 ]; then
    "$LZX" unpack "$E2E_BUILD/release/zelk-2.00.lzx" "$ZELK" --table "$ZELK/lzx.ver" >/dev/null || fail "2.00 installation"
    reg_set Zelk Location 'C:\Zelk' ${2:+Version "$2"}
  fi
}
reg_set() {  # product name value [name value]
  local product=$1 file=$E2E_WORK/set.reg
  shift
  { printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\%s]\n' "$product"
    while [ $# -ge 2 ]; do printf '"%s"="%s"\n' "$1" "$(printf '%s' "$2" | sed 's/\\/\\\\/g')"; shift 2; done
  } > "$file"
  w regedit /S "$(winpath "$file")" || fail "registry not seeded"
}
reg_version() {  # product: its Version value, or "none"
  w reg query "HKCU\\Software\\$1" /v Version 2>/dev/null | tr -d '\r' | awk '$1 == "Version" { print $3; found = 1 } END { if (!found) print "none" }'
}
field() {  # version-file record offset: a 32-bit field of record n
  LC_ALL=C perl -e 'open F, "<", $ARGV[0] or die; binmode F; seek F, $ARGV[1] * 432 + $ARGV[2], 0; read F, $b, 4; print unpack("l<", $b)' "$1" "$2" "$3"
}
temp_archive() { find "$C/users" -iname TEMP.LZX 2>/dev/null | head -1; }
silent_log() { find "$C/users" -name ZelkUpdate.log 2>/dev/null | head -1; }
logged() {  # text: a line of the unattended run's log
  local log
  log=$(silent_log)
  [ -n "$log" ] && grep -qF -- "$1" "$log" || { fail "'$1' not logged"; [ -n "$log" ] && sed 's/^/    /' "$log"; }
}
snapshot() { (cd "$ZELK" && find . -type f -exec sha1sum {} + | sort) > "$E2E_WORK/$1"; }
unchanged() {  # snapshot name
  snapshot after
  cmp -s "$E2E_WORK/$1" "$E2E_WORK/after" || { fail "files changed"; diff "$E2E_WORK/$1" "$E2E_WORK/after" | head; }
}

# ---- Running a program and answering its windows -----------------------------------

launch() {  # program options...: runs in the background
  rm -f "$E2E_WORK/$case.rc"
  ( w "$@" >"$E2E_WORK/$case.out" 2>&1; echo $? >"$E2E_WORK/$case.rc" ) &
}
finish() {  # expected exit code: waits for the program with a time limit
  local i
  for i in $(seq 1 $((E2E_WAIT_MS / 50))); do
    [ -s "$E2E_WORK/$case.rc" ] && break
    sleep 0.05
  done
  if [ ! -s "$E2E_WORK/$case.rc" ]; then
    fail "still running after $((E2E_WAIT_MS / 1000)) s"
    WINEPREFIX=$WINEPREFIX wineserver -k
    return
  fi
  local code
  code=$(cat "$E2E_WORK/$case.rc")
  [ "$code" = "$1" ] || fail "exit code $code, expected $1"
}
dialog() {  # the dialog is there
  drv wait "$TITLE" "$E2E_WAIT_MS" >/dev/null || fail "no dialog"
}
box() {  # caption expected-text: reads a message box and presses OK
  local got
  got=$(drv box "$1" "$E2E_WAIT_MS") || { fail "no box \"$1\" (or it stayed)"; return; }
  [ "$got" = "$1: $2" ] || fail "box reads [$got], expected [$1: $2]"
}
controls() {  # expected list (id, class, text, visible; one per line): the dialog's controls
  drv controls "$TITLE" | cut -f1-4 > "$E2E_WORK/controls"
  printf '%s\n' "$@" | tr '|' '\t' > "$E2E_WORK/expected"
  cmp -s "$E2E_WORK/controls" "$E2E_WORK/expected" || { fail "dialog controls"; diff "$E2E_WORK/expected" "$E2E_WORK/controls"; }
}
team=('2007|Static|"Programmeur"|visible' '2008|Static|"Bridge-expert"|visible' '2009|Static|"Vormgever"|visible'
      '2010|Static|"Tester"|visible')
icons=('2001|Static|"<icon>"|visible' '2013|Static|"<icon>"|visible')

# ---- The update, in both languages ------------------------------------------------
for language in eng dut; do
  fresh "update-$language" 2.00
  echo "mijn eigen schema" > "$ZELK/Toernooi.ini"
  launch "$UPDATE" "-$language"
  dialog
  if [ $language = eng ]; then
    controls "${icons[@]}" '2017|Button|"update information"|visible' '2014|Static|"Version 2.04 for Zelk"|visible' \
      '2015|Static|"Version 2.04 of the bid book"|visible' '2016|Static|""|visible' '2012|Button|"the Zelk team"|visible' \
      "${team[@]}" '2011|Static|"Copyright (c) 1998-2003 Zelk"|visible' '-1|Button|"internet"|visible' \
      '2020|Static|"E-mail: support@zelk.nl"|visible' '2021|Static|"Web: www.zelk.nl/english"|visible' \
      '1|Button|"Install update"|visible' '2|Button|"Cancel"|visible'
    report=("Update report" "The update has been applied.")
  else
    controls "${icons[@]}" '2017|Button|"update informatie"|visible' '2014|Static|"Versie 2.04 van Zelk"|visible' \
      '2015|Static|"Versie 2.04 van het biedboek"|visible' '2016|Static|""|visible' '2012|Button|"het Zelk team"|visible' \
      "${team[@]}" '2011|Static|"Copyright (c) 1998-2003 Zelk"|visible' '-1|Button|"internet"|visible' \
      '2020|Static|"E-mail: info@zelk.nl"|visible' '2021|Static|"Internet: www.zelk.nl"|visible' \
      '1|Button|"Installeer update"|visible' '2|Button|"Annuleer"|visible'
    report=("Update verslag" "De update is aangebracht.")
  fi
  shot "dialog-$language" "$TITLE" >/dev/null
  drv click "$TITLE" 1
  drv wait "${report[0]}" "$E2E_WAIT_MS" >/dev/null && shot "report-$language" "${report[0]}" >/dev/null
  box "${report[@]}"
  finish 0
  for file in Zelk.hlp Leesmij.txt Biedboek.dat Toernooi.ini Help/Inleiding.txt Help/Introduction.txt Data/Conventies.dat; do
    cmp -s "$ZELK/$file" "$RELEASE/$file" || fail "$file is not the 2.04 file"
  done
  cmp -s "$ZELK/Zelk.exe" "$E2E_BUILD/release/Zelk.exe" || fail "Zelk.exe is not the 2.04 program"
  [ -e "$ZELK/Extra/Dealer.cfg" ] || [ -e "$ZELK/Extra/Oefenspellen.pbn" ] && fail "R=1 files written where none existed"
  [ "$(stat -c %s "$ZELK/lzx.ver")" -eq $((10 * 432)) ] || fail "lzx.ver holds $(($(stat -c %s "$ZELK/lzx.ver") / 432)) records, not 10"
  for i in $(seq 0 9); do
    [ "$(field "$ZELK/lzx.ver" "$i" 264)" = 0 ] && [ "$(field "$ZELK/lzx.ver" "$i" 260)" = 204 ] || fail "lzx.ver record $i"
  done
  [ "$(reg_version Zelk)" = 2.04 ] || fail "registry Version $(reg_version Zelk), not 2.04"
  [ -z "$(temp_archive)" ] || fail "TEMP.LZX left behind"
done

# ---- Cancel, by the button and by Escape ---------------------------------------------
for how in button escape; do
  fresh "cancel-$how" 2.00
  snapshot before
  launch "$UPDATE"
  dialog
  if [ $how = button ]; then drv click "$TITLE" 2; else drv key "$TITLE" escape; fi
  finish 0
  unchanged before
  [ "$(reg_version Zelk)" = 2.00 ] || fail "Version changed by cancelling"
  [ -z "$(temp_archive)" ] || fail "TEMP.LZX written by cancelling"
done

# ---- The system's language, without an option ------------------------------------------
for lang in nl_NL.UTF-8 en_US.UTF-8; do
  fresh "language-${lang%%_*}" 2.00
  LANG=$lang LC_ALL=$lang launch "$UPDATE"
  dialog
  want="Install update"
  [ "$lang" = nl_NL.UTF-8 ] && want="Installeer update"
  drv controls "$TITLE" | grep -qP "^1\tButton\t\"$want\"" || fail "system language $lang: the button does not read $want"
  drv click "$TITLE" 2
  finish 0
done

# ---- Refusals before the dialog ------------------------------------------------------------
fresh win31 2.00
w reg add 'HKCU\Software\Wine' /v Version /d win31 /f >/dev/null
launch "$UPDATE" -eng
box "Einde" "Zelk werkt niet onder Windows 3.1 [3, 10]"
finish 0
[ "$(reg_version Zelk)" = 2.00 ] || fail "Version changed"

fresh running 2.00
if [ "$E2E_ARCH" = i686 ]; then
  # The product itself, which holds its mapping while it runs.
  ( w "$ZELK/Zelk.exe" >/dev/null 2>&1 & )
  drv wait "Zelk 2.00" "$E2E_WAIT_MS" >/dev/null || fail "Zelk.exe did not start"
else
  # The release's Zelk.exe is a 32-bit program: hold its mapping for it.
  drv hold Morvil > "$E2E_WORK/held" 2>&1 &
  for i in $(seq 1 400); do grep -q held "$E2E_WORK/held" && break; sleep 0.05; done
fi
launch "$UPDATE" -eng
box "Exit program" "During updating Zelk should not be active."
finish 1

fresh second 2.00
launch "$UPDATE" -eng
dialog
case=second-run
launch "$UPDATE" -eng
box "Exit program" "During updating Zelk should not be active."
finish 1
case=second
drv click "$TITLE" 2
finish 0

fresh nokey
launch "$UPDATE" -eng
box "Exit program" "Zelk directory not found"
finish 0

fresh old-version 1.9
snapshot before
launch "$UPDATE" -eng
box "Exit program" "You need Zelk version 2.0 to be able to use this update."
finish 0
unchanged before

# ---- Installations that end otherwise --------------------------------------------------------
fresh no-lzxver 2.00
rm "$ZELK/lzx.ver"
snapshot before
launch "$UPDATE" -eng
dialog
drv click "$TITLE" 1
box "Einde" 'C:\Zelk\lzx.ver not found'
finish 4
unchanged before

fresh newer-kept 2.00
LC_ALL=C perl -e 'open F, "+<", $ARGV[0] or die; binmode F; seek F, 2 * 432 + 260, 0; print F pack("l<", 205)' "$ZELK/lzx.ver"
cp "$ZELK/Leesmij.txt" "$E2E_WORK/leesmij"
launch "$UPDATE" -dut
dialog
drv click "$TITLE" 1
box "Update verslag" 'De update is aangebracht.\n1 bestanden niet vervangen.'
box "Update verslag" "De update is aangebracht."
finish 0
cmp -s "$ZELK/Leesmij.txt" "$E2E_WORK/leesmij" || fail "the newer Leesmij.txt was replaced"
[ "$(reg_version Zelk)" = 2.00 ] || fail "Version written although a file was kept"

# All or nothing: a read-only file, or one another program holds with no
# sharing, refuses the update before anything changes.
fresh readonly 2.00
chmod a-w "$ZELK/Leesmij.txt"
snapshot before
launch "$UPDATE" -eng
dialog
drv click "$TITLE" 1
box "Einde programma" '\nFile Error : name = [C:\Zelk\Leesmij.txt] code = 206'
finish 2
unchanged before
[ "$(reg_version Zelk)" = 2.00 ] || fail "Version written after a fatal error"

fresh held-file 2.00
snapshot before
drv holdfile 'C:\Zelk\Zelk.hlp' >"$E2E_WORK/holder" 2>&1 &
holder=$!
for _ in $(seq 200); do grep -q held "$E2E_WORK/holder" && break; sleep 0.05; done
launch "$UPDATE" -check -silent
finish 2
grep -q 'Zelk.hlp\] is in use by another program' "$(silent_log)" || fail "-check does not name the held file"
rm -f "$(silent_log)"
launch "$UPDATE" -silent
finish 2
wineserver -k  # the holder too
grep -q 'Zelk.hlp\] is in use by another program' "$(silent_log)" || fail "the held file is not named in the log"
unchanged before
[ "$(reg_version Zelk)" = 2.00 ] || fail "Version written although nothing was installed"

# -check on a clean 2.00: what the run would do, its code, and nothing changed.
fresh check 2.00
snapshot before
launch "$UPDATE" -check -silent
finish 0
logged 'would replace #Zelk.exe: version 200 -> 204'
logged 'would write #Help\Introduction.txt: version 204, not listed before'
launch "$UPDATE" -check -eng
drv wait "Update report" "$E2E_WAIT_MS" >/dev/null && shot check-eng "Update report" >/dev/null
box "Update report" 'The update can be applied.'
finish 0
unchanged before
[ -z "$(temp_archive)" ] || fail "-check left TEMP.LZX"
[ ! -e "$ZELK/.lzx-update" ] || fail "-check made the staging folder"
[ "$(reg_version Zelk)" = 2.00 ] || fail "-check changed the registry's Version"

# ---- Second names, spellings of the product directory, killed and planted runs ------------------
# Files are put in place here by copying into them (Wine renames by path): a
# second name of a product file is never written through, whether it was
# there before the run, was made during it, or was planted for the recovery.
# C:\Zelk\ and c:\zelk are C:\Zelk: a failed run undoes itself, a killed one
# is recovered by the next, whatever the spelling of each.
fresh link-before 2.00
reg_set Zelk Location 'C:\Zelk\'
ln "$ZELK/lzx.ver" "$C/keep.ver"  # as a backup tool may keep it: unchanged with lzx.ver
snapshot before
launch "$UPDATE" -silent
finish 2
grep -q 'lzx.ver\] is a file with 2 names (hard links); refused' "$(silent_log)" || fail "the second name is not named"
unchanged before

# Made while the run waits for another update's staging folder, once its
# first pass has planned.
fresh link-during 2.00
snapshot before
mkdir -p "$ZELK/.lzx-update" && : > "$ZELK/.lzx-update/hold"
drv holdfile 'C:\Zelk\.lzx-update\hold' 'C:\go' >"$E2E_WORK/holder" 2>&1 &
for _ in $(seq 200); do grep -q held "$E2E_WORK/holder" && break; sleep 0.05; done
launch "$UPDATE" -silent
for _ in $(seq 400); do [ -n "$(temp_archive)" ] && break; sleep 0.05; done
sleep 1
ln "$ZELK/Zelk.hlp" "$C/spy.hlp"  # unchanged with Zelk.hlp
touch "$C/go"
finish 2
grep -q 'Zelk.hlp\] is a file with 2 names (hard links); refused' "$(silent_log)" || fail "the second name is not named"
unchanged before

kill_when_journal() {  # registry Location: a silent run, killed once its journal exists
  for attempt in $(seq 10); do
    fresh "$case" 2.00
    reg_set Zelk Location "$1"
    launch "$UPDATE" -silent
    for _ in $(seq 2000); do [ -e "$ZELK/.lzx-update/journal" ] || [ -s "$E2E_WORK/$case.rc" ] && break; sleep 0.005; done
    [ -e "$ZELK/.lzx-update/journal" ] && break
    finish 0
  done
  wineserver -k
  for _ in $(seq 200); do [ -s "$E2E_WORK/$case.rc" ] && break; sleep 0.05; done
}
case=killed
kill_when_journal 'C:\Zelk\'
echo "someone else's" > "$C/victim.txt"
rm -f "$ZELK/Zelk.hlp" && ln "$C/victim.txt" "$ZELK/Zelk.hlp"
reg_set Zelk Location 'c:\zelk'
launch "$UPDATE" -silent
finish 2
grep -q 'recovered: ' "$(silent_log)" || fail "the rerun did not say what it recovered"
[ "$(cat "$C/victim.txt")" = "someone else's" ] || fail "the planted second name was written through"
rm "$ZELK/Zelk.hlp"
launch "$UPDATE" -silent
finish 0
cmp -s "$ZELK/Zelk.exe" "$E2E_BUILD/release/Zelk.exe" || fail "Zelk.exe is not the new one"
[ "$(find "$ZELK" -name '*.tmp' -o -name '*.old' -o -name .lzx-update | wc -l)" = 0 ] || fail "leftovers of the killed run"
[ "$(reg_version Zelk)" = 2.04 ] || fail "the rerun did not complete the update"

# A journal planted in another installation (copied from a killed run's):
# refused, and nothing there is touched.
case=planted
kill_when_journal 'C:\Zelk'
mkdir -p "$C/Other" && "$LZX" unpack "$E2E_BUILD/release/zelk-2.00.lzx" "$C/Other" --table "$C/Other/lzx.ver" >/dev/null
cp -r "$ZELK/.lzx-update" "$C/Other/" && rm -f "$C/Other/.lzx-update/hold"
reg_set Zelk Location 'C:\Other'
ZELK=$C/Other snapshot before
launch "$UPDATE" -silent
finish 2
grep -q 'was written for another folder than \[C:\\Other\]; nothing was changed' "$(silent_log)" \
  || fail "the planted journal was not refused"
ZELK=$C/Other unchanged before

# ---- Tarvo: the contact lines follow the language --------------------------------------------
for language in eng dut; do
  fresh "tarvo-$language"
  mkdir -p "$C/Tarvo"
  reg_set Tarvo Location 'C:\Tarvo'
  launch "$TARVO" "-$language"
  dialog
  drv controls "$TITLE" | cut -f1,3,4 | grep -E '^20(18|19|20|21)\b' > "$E2E_WORK/contact"
  if [ $language = eng ]; then
    want=$'2020\t"E-mail: info@zelk.nl"\tvisible\n2021\t"Internet: www.zelk.nl"\tvisible\n2018\t"E-mail: info@tarvo.nl"\thidden\n2019\t"Internet: www.tarvo.nl"\thidden'
  else
    want=$'2020\t"E-mail: info@zelk.nl"\thidden\n2021\t"Internet: www.zelk.nl"\thidden\n2018\t"E-mail: info@tarvo.nl"\tvisible\n2019\t"Internet: www.tarvo.nl"\tvisible'
  fi
  [ "$(sort "$E2E_WORK/contact")" = "$(sort <<<"$want")" ] || { fail "contact lines"; cat "$E2E_WORK/contact"; }
  shot "tarvo-$language" "$TITLE" >/dev/null
  drv click "$TITLE" 2
  finish 0
done

# ---- The demo: a typed directory, Program Manager items through Wine's own service --------------
fresh demo
launch "$DEMO" -eng
dialog
drv controls "$TITLE" | grep -qP '^2022\tEdit\t"C:\\Program Files\\Zelk Demo"' || fail "demo directory field"
drv type "$TITLE" 2022 'C:\\'
drv click "$TITLE" 1
drv wait "$TITLE" 2000 >/dev/null || fail "C:\\ closed the dialog"
drv type "$TITLE" 2022 'C:\Games\Zelk Demo'
shot demo-dialog "$TITLE" >/dev/null
drv click "$TITLE" 1
box "Installation finished" "Installation completed."
finish 0
for file in ZelkDemo.exe Uninstall.exe lzx.ver; do
  [ -f "$C/Games/Zelk Demo/$file" ] || fail "demo: $file not installed"
done
group=$(find "$C/users" -type d -name "Zelk Demo" -path "*Start Menu*" | head -1)
[ -n "$group" ] || fail "no Program Manager group \"Zelk Demo\" in the Start Menu"
for item in "Zelk Demo.lnk" "UnInstall.lnk"; do
  [ -n "$group" ] && [ -f "$group/$item" ] || fail "no item $item in the group"
done

# ---- Administrators: the manifest, unattended runs, a damaged program -------------------------
case=manifest
for program in "$UPDATE" "$DEMO" "$TARVO"; do
  manifest=$(drv manifest "$(winpath "$program")") || { fail "no manifest in ${program##*/}"; continue; }
  for want in 'requestedExecutionLevel level="highestAvailable"' 'Microsoft.Windows.Common-Controls' \
              '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a'; do
    grep -qF "$want" <<<"$manifest" || fail "${program##*/}: the manifest lacks $want"
  done
done

# Version resources, as Explorer's Details tab reads them, and the
# signatures, as Windows checks them (the build is signed where it was
# configured with a certificate: scripts/test does that).
LZXEXE=$E2E_BUILD/tools/lzx.exe
cert=$(sed -n 's/^UPDATER_SIGN_CERT:FILEPATH=//p; s/^UPDATER_SIGN_PKCS12:FILEPATH=\(..*\)/pkcs12/p' "$E2E_BUILD/CMakeCache.txt")
if [ -n "$cert" ]; then echo "e2e updater: the programs are signed ($cert)"; else echo "e2e updater: the programs are not signed"; fi
for program in "$UPDATE" "$DEMO" "$TARVO" "$LZXEXE"; do
  case=version-${program##*/}
  version=2.04
  [ "$program" = "$LZXEXE" ] && version=$(w "$LZXEXE" -V | tr -d '\r' | cut -d' ' -f2)
  drv version "$(winpath "$program")" | tr -d '\r' > "$E2E_WORK/version" || fail "no version resource"
  for line in "${version%%.*}.$((10#${version#*.})).0.0" "FileVersion=$version" "ProductVersion=$version" \
              "OriginalFilename=${program##*/}" "CompanyName=Zelk" FileDescription= LegalCopyright= ProductName=; do
    # A line that ends in "=" only has to be there with some text.
    grep -qx -- "$(sed 's/[.]/[.]/g; s/=$/=..*/' <<<"$line")" "$E2E_WORK/version" || { fail "no $line"; cat "$E2E_WORK/version"; }
  done
  case=signature-${program##*/}
  verdict=$(drv trust "$(winpath "$program")" | tr -d '\r')
  if [ -z "$cert" ]; then
    [ "$verdict" = 800B0100 ] || fail "an unsigned build: WinVerifyTrust says $verdict, not TRUST_E_NOSIGNATURE"
  else
    [ "$verdict" = 00000000 ] || fail "WinVerifyTrust says $verdict: not signed, or changed since"
    [ "$cert" = pkcs12 ] || osslsigncode verify -CAfile "$cert" -in "$program" >/dev/null 2>&1 || fail "osslsigncode verify"
  fi
done

fresh silent 2.00
launch "$UPDATE" -silent
finish 0
cmp -s "$ZELK/Leesmij.txt" "$RELEASE/Leesmij.txt" || fail "Leesmij.txt is not the 2.04 file"
[ "$(stat -c %s "$ZELK/lzx.ver")" -eq $((10 * 432)) ] || fail "lzx.ver not rewritten"
[ "$(reg_version Zelk)" = 2.04 ] || fail "registry Version $(reg_version Zelk), not 2.04"
logged ', intact'  # a signature appended to the program leaves its payload as it was
logged 'replaced #Zelk.exe: version 200 -> 204'
logged 'registry: Software\Zelk Version 2.00 -> 2.04'
logged 'end: exit code 0'

# -verify after the update, after a byte of a file is changed and after a
# file is removed; it changes nothing, and TEMP.LZX comes and goes.
rm -f "$(silent_log)"
launch "$UPDATE" -verify -silent
finish 0
logged 'verify: 8 same, 0 differ, 0 missing, 0 newer kept, 2 not installed'
printf x | dd of="$ZELK/Leesmij.txt" bs=1 seek=3 conv=notrunc status=none
rm "$ZELK/Help/Introduction.txt"
snapshot verified
launch "$UPDATE" -verify -silent
finish 6
logged 'verify: differs #Leesmij.txt (other bytes)'
logged 'verify: missing #Help\Introduction.txt'
launch "$UPDATE" -verify -eng
drv wait "Update report" "$E2E_WAIT_MS" >/dev/null && shot verify-eng "Update report" >/dev/null
box "Update report" '2 files differ from Zelk 2.04 or are missing:\nLeesmij.txt (differs)\nHelp\Introduction.txt (missing)'
finish 6
unchanged verified
[ -z "$(temp_archive)" ] || fail "-verify left TEMP.LZX"
[ "$(reg_version Zelk)" = 2.04 ] || fail "-verify changed the registry's Version"

fresh silent-kept 2.00
LC_ALL=C perl -e 'open F, "+<", $ARGV[0] or die; binmode F; seek F, 2 * 432 + 260, 0; print F pack("l<", 205)' "$ZELK/lzx.ver"
launch "$UPDATE" -silent -dut
finish 5
[ "$(reg_version Zelk)" = 2.00 ] || fail "Version written although a file was kept"
logged 'kept #Leesmij.txt: installed version 205 is newer than 204'

fresh silent-running 2.00
drv hold Morvil > "$E2E_WORK/held" 2>&1 &
for i in $(seq 1 400); do grep -q held "$E2E_WORK/held" && break; sleep 0.05; done
launch "$UPDATE" -silent -eng
finish 1
logged 'message: Exit program: During updating Zelk should not be active.'

# -silent beside a mistake: the run ends in time (a window would wait) and logs why.
fresh silent-mistakes 2.00
long=$(printf 'l%.0s' $(seq 1 230)) && mkdir "$C/users/$long"
while IFS='|' read -r want words text; do
  find "$C/users" -name ZelkUpdate.log -delete
  launch "$E2E_BUILD/tests/wine/uidriver.exe" run "\"$(winpath "$UPDATE")\" $words"
  finish "$want"
  logged "$text"
done <<EOF
2|-logfile="C:\\My Logs\\z.log -silent|fatal: The command line has a quote that is not closed
2|-eng -logfile=C:\\$long$long.log -silent|fatal: The log file's path is too long
2|-SILENT -logfile=NUL|fatal: The log file is not a regular file
0|-logfile=C:\\users\\$long\\ZelkUpdate.log -silent|end: exit code 0
EOF

# TEMP too long for the system (both modes), or full: never the current directory, no TEMP.LZX left.
fresh temp-long 2.00
long='C:\'$(printf 't%.0s' $(seq 1 300)) && w reg add 'HKCU\Environment' /v TMP /d "$long" /f >/dev/null
mkdir "$E2E_WORK/cwd"
(cd "$E2E_WORK/cwd" && launch "$UPDATE" -silent) && finish 2
(cd "$E2E_WORK/cwd" && launch "$UPDATE" -eng) && dialog && drv click "$TITLE" 1
box "Einde programma" "The temporary directory is too long for the update (at most 71 characters): $long\\"
finish 2
[ -z "$(ls -A "$E2E_WORK/cwd")" ] || fail "written to the current directory: $(ls -A "$E2E_WORK/cwd")"
# The full TEMP's run also has a registry Version holding CR LF and a line of its own: logged escaped.
fresh temp-full 2.00
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Zelk]\n"Version"=hex(1):%s\n' 32,2e,30,30,0d,0a,65,6e,64,3a,20,30,00 >"$E2E_WORK/v.reg"
w regedit /S "$(winpath "$E2E_WORK/v.reg")"
( trap '' XFSZ; ulimit -f 8; launch "$UPDATE" -silent )
finish 2
logged 'installed version 2.00<0D><0A>end: 0'
logged 'TEMP.LZX] code = 205'
[ -z "$(temp_archive)" ] || fail "TEMP.LZX left in a full TEMP"

# One payload byte flipped: refused before anything is touched, in both modes.
fresh damaged 2.00
snapshot before
LC_ALL=C perl -e 'local $/; open P, "<", $ARGV[0] or die; binmode P; my $p = <P>;
  open F, "<", $ARGV[1] or die; binmode F; my $b = <F>; my $at = index($b, substr($p, 0, 64));
  die "payload not found" if $at < 0; substr($b, $at + int(length($p) / 2), 1) ^= "\x01";
  open O, ">", $ARGV[2] or die; binmode O; print O $b' \
  "$E2E_BUILD/release/payload-update.lzx" "$UPDATE" "$C/updater.exe" || fail "no damaged copy"
launch "$C/updater.exe" -eng
box "Exit program" "The update program is damaged. Download it again."
finish 3
launch "$C/updater.exe" -silent
finish 3
logged 'payload: '
logged 'damaged'
unchanged before
[ "$(reg_version Zelk)" = 2.00 ] || fail "a damaged program changed the Version"
[ -z "$(temp_archive)" ] || fail "TEMP.LZX written by a damaged program"

e2e_end
