#!/usr/bin/env bash
# The shared library's ABI against the last release's, as abidw recorded it
# in abi/ (`make abi-dump` writes a release's record): with the same SONAME
# nothing may change but functions added. A struct's layout, an enum's
# values, a function's parameters or a name gone all fail, with abidiff's
# report. A new major version (a new SONAME) starts afresh: there is no
# record of its own yet to compare with, and the check says so.
#
# Usage: check_abi.sh LIBTARSK_SO SOURCE_DIR
set -euo pipefail
lib=$1
src=$2
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
command -v abidiff >/dev/null || fail "abidiff is missing (Debian's abigail-tools)"

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
[[ -n $soname ]] || fail "$lib has no SONAME"
baseline=""
while read -r record; do
  grep -q "soname='$soname'" "$record" && baseline=$record
done < <(find "$src/abi" -name 'tarsk-*.abi' | sort -V)
if [[ -z $baseline ]]; then
  echo "no release of $soname recorded in abi/: nothing to compare with"
  exit 0
fi

status=0
report=$(abidiff --no-added-syms --drop-private-types --hd2 "$src/include/tarsk" \
  "$baseline" "$lib" 2>&1) || status=$?
if [[ $status -ne 0 ]]; then
  fail "the ABI differs from $(basename "$baseline") (abidiff status $status):
$report"
fi
echo "ABI of $soname as in $(basename "$baseline")"
