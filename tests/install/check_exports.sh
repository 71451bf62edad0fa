#!/usr/bin/env bash
# The shared library exports exactly the names of its map file, and the map
# names exactly the two C APIs: every function tarsk.h declares, every
# function and table dv.h declares, and nothing else (no C++ symbol, no
# internal helper).
#
# Usage: check_exports.sh LIBTARSK_SO SOURCE_DIR
set -euo pipefail
lib=$1
src=$2
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tarsk-exports.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

nm -D --defined-only "$lib" | awk '$3 != "" {print $3}' | sed 's/@.*//' | sort -u >"$tmp/exported"
sed -n '/global:/,/local:/p' "$src/src/tarsk.map" | grep -oE '^\s+[A-Za-z_][A-Za-z0-9_]*;' |
  tr -d ' ;' | sort -u >"$tmp/map"
[[ -s $tmp/map ]] || fail "no names in the map"
# The version node itself shows as an absolute symbol.
grep -vxE 'TARSK_[0-9.]+' "$tmp/exported" >"$tmp/exported_names" || true
if ! diff -u "$tmp/map" "$tmp/exported_names" >"$tmp/diff"; then
  fail "exports differ from the map (- map only, + exported only):
$(cat "$tmp/diff")"
fi

# Every name in the map is declared in a public header.
for name in $(cat "$tmp/map"); do
  grep -qw -- "$name" "$src/include/tarsk/tarsk.h" "$src/include/tarsk/dv.h" ||
    fail "$name is exported but no public header declares it"
done
# Every function the headers declare is in the map.
{
  grep -oP '\btarsk_\w+(?=\s*\()' "$src/include/tarsk/tarsk.h"
  grep -oP '^(?!typedef|.*\(\*)(?:extern\s+)?(?:const\s+)?(?:unsigned\s+|struct\s+|enum\s+)?\w+[\s\*]+\**\K\w+(?=\s*\()' \
    "$src/include/tarsk/dv.h"
} | sort -u >"$tmp/declared"
missing=$(comm -23 "$tmp/declared" "$tmp/map")
[[ -z $missing ]] || fail "declared in a public header but not exported: $missing"
echo "exports: $(wc -l <"$tmp/map") names, all declared, no others"
