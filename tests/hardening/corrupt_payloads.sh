#!/usr/bin/env bash
# Damaged payloads by the hundred: valid streams and archives with bits
# flipped, cut short, spliced together, and header and index fields
# rewritten, each run through `lzx test`, `lzx list` and `lzx unpack`. Every
# run must end in success or one fatal report (exit 0 or 2) within seconds,
# never by a signal or a sanitizer report, and must write nothing outside its
# target directory.
# Usage: corrupt_payloads.sh BUILD_DIR [COUNT]
set -u
BUILD=$(realpath "$1")
COUNT=${2:-1000}
LZX=$BUILD/tools/lzx
export ASAN_OPTIONS=detect_leaks=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0

# Originals: both payloads, the 2.00 archive, and plain streams in each mode.
cp "$BUILD/release/payload-update.lzx" "$BUILD/release/payload-demo.lzx" "$BUILD/release/zelk-2.00.lzx" .
perl -e 'for (0..700) { print "\xff" x 64; print "Zelk row $_ " x 5 }' > rows.bin
"$LZX" compress rows.bin lz.lzx >/dev/null
"$LZX" compress --huffman rows.bin huf.lzx >/dev/null
"$LZX" compress --sort rows.bin sort.lzx >/dev/null
originals=(payload-update.lzx payload-demo.lzx zelk-2.00.lzx lz.lzx huf.lzx sort.lzx)

# The damaged files, made in one go.
mkdir cases
LC_ALL=C perl -e '
  srand(2003);
  my ($count, @names) = @ARGV;
  my @files = map { open my $f, "<", $_ or die; binmode $f; local $/; scalar <$f> } @names;
  for my $i (1 .. $count) {
    my $d = $files[$i % @files];
    my $kind = $i % 6;
    if ($kind == 0) {        # bits flipped anywhere
      for (1 .. 1 + int(rand(4))) { my $p = int(rand(length $d)); substr($d, $p, 1) = chr(ord(substr($d, $p, 1)) ^ (1 << int(rand(8)))); }
    } elsif ($kind == 1) {   # cut short
      $d = substr($d, 0, int(rand(length $d)));
    } elsif ($kind == 2) {   # spliced with another file
      my $o = $files[int(rand(@files))];
      $d = substr($d, 0, int(rand(length $d))) . substr($o, int(rand(length $o)));
    } elsif ($kind == 3) {   # a header field rewritten
      my @values = (0, 15, 16, 17, length($d) - 1, length($d), 0x7fffffff, 0x80000000, 0xffffffff, int(rand(1 << 31)));
      substr($d, 4 * (1 + int(rand(3))), 4) = pack("V", $values[int(rand(@values))]);
    } elsif ($kind == 4) {   # an index entry rewritten
      my ($io) = unpack("V", substr($d, 4, 4));
      my $n = int((length($d) - $io) / 4);
      substr($d, $io + 4 * int(rand($n)), 4) = pack("V", int(rand(length $d)) - 8) if $n > 0 && $io < length $d;
    } else {                 # bytes of a block record overwritten
      my $p = 16 + int(rand(length($d) - 16)); substr($d, $p, 8) = pack("VV", int(rand(1 << 32)), int(rand(1 << 32)));
    }
    open my $out, ">", sprintf("cases/c%05d.lzx", $i) or die; binmode $out; print $out $d;
  }' "$COUNT" "${originals[@]}"

fatal=0
ok=0
for file in cases/*.lzx; do
  for command in test list unpack; do
    rm -rf jail && mkdir -p jail
    if [ $command = unpack ]; then
      (cd jail && timeout 20 "$LZX" unpack "../$file" target >/dev/null 2>../err.txt)
    else
      timeout 20 "$LZX" $command "$file" >/dev/null 2>err.txt
    fi
    code=$?
    case $code in
      0) ok=$((ok + 1)) ;;
      2) fatal=$((fatal + 1)) ;;
      *) failures=$((failures + 1)); echo "FAIL: $command $file: exit $code"; head -3 err.txt ;;
    esac
    # Nothing but the target directory (and no stray side file) may appear.
    stray=$(cd jail && find . -mindepth 1 -maxdepth 1 ! -name target | head -3)
    [ -z "$stray" ] || { failures=$((failures + 1)); echo "FAIL: $command $file wrote $stray"; }
  done
done
echo "corrupted payloads: $COUNT files, $ok runs succeeded, $fatal ended in a fatal report, $failures failures"
[ "$failures" -eq 0 ]
