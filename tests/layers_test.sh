#!/usr/bin/env bash
# layers_test.sh - the layers keep to the README's Layout table.
#   bash tests/layers_test.sh TOP
#
# The table's third column says which folders a folder's code may use. Every
# quoted include of a file there must be found beside it or in one of those
# folders; only platform/ includes a system header that is not the C++ or C
# standard library's; and in codec/ only cpu.h and x86/ name a builtin or an
# intrinsic. The build already refuses most wrong-way includes (a library
# offers only its own folder); this also catches one that names a path.
set -u
top=$(cd "$1" && pwd)
failures=0
fail() {
  echo "layers: $*"
  failures=$((failures + 1))
}

declare -A may
while IFS= read -r row; do
  folder=$(sed -E 's/^\| `([a-z0-9_]+)\/` \|.*/\1/' <<< "$row")
  uses=$(awk -F' \\| ' '{ print $3 }' <<< "$row")
  may[$folder]=$(grep -oE '`[a-z0-9_]+/`' <<< "$uses" | tr -d '`/' | tr '\n' ' ')
done < <(grep -E '^\| `[a-z0-9_]+/` \|' "$top/README.md" | awk -F' \\| ' 'NF >= 3 && $3 !~ /^—/')
[ "${#may[@]}" -ge 8 ] || fail "the README's Layout table names ${#may[@]} layers with what they may use"
layers=" ${!may[*]} "

# Headers of the C and C++ standard libraries that end in .h; any other
# <name.h> is the system's (or a compiler's intrinsics, codec/cpu.h's alone).
standard=" assert.h ctype.h errno.h float.h inttypes.h limits.h math.h stdarg.h stddef.h stdint.h stdio.h stdlib.h string.h time.h wchar.h "

for folder in "${!may[@]}"; do
  while IFS= read -r file; do
    rel=${file#"$top"/}
    while IFS= read -r name; do
      # As the compiler looks: beside the file, then along the include path.
      path=
      for candidate in "$(dirname "$file")/$name" $(for other in $folder ${may[$folder]} $layers; do echo "$top/$other/$name"; done); do
        [ -e "$candidate" ] && { path=$(realpath "$candidate"); break; }
      done
      [ -n "$path" ] || continue  # generated at build time
      owner=${path#"$top"/}
      owner=${owner%%/*}
      [[ " $folder ${may[$folder]} " == *" $owner "* || $layers != *" $owner "* ]] \
        || fail "$rel includes \"$name\" of $owner/, which $folder/ may not use"
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/p' "$file")
    case $rel in platform/* | *.rc) continue ;; esac
    while IFS= read -r name; do
      case $name in
        *intrin.h) [ "$rel" = codec/cpu.h ] || fail "$rel includes <$name>: intrinsics belong in codec/cpu.h" ;;
        *) [[ $standard == *" $name "* ]] || fail "$rel includes <$name>: only platform/ uses the system's headers" ;;
      esac
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+<([^>]+\.h)>.*/\1/p' "$file")
    # (lzxcore.h, installed alone, says for itself how its functions are exported.)
    if [ "$folder" = codec ] && [ "$rel" != codec/cpu.h ] && [ "$rel" != codec/lzxcore.h ] && [[ $rel != codec/x86/* ]]; then
      grep -nE '__builtin_|_mm[0-9]*_|__m(128|256|512)|__attribute__|\[\[gnu::' "$file" | while IFS= read -r hit; do
        echo "layers: $rel:${hit%%:*}: a builtin or intrinsic outside codec/cpu.h and codec/x86/"
      done | grep . && failures=$((failures + 1))
    fi
  done < <(find "$top/$folder" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' -o -name '*.rc' \))
done

[ "$failures" -eq 0 ] && echo "layers: ${#may[@]} layers keep to the table"
[ "$failures" -eq 0 ]
