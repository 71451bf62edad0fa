#!/usr/bin/env bash
# The layering of the library's folders, from their #include lines.
#
#   layering_check.sh SRC      checks the folders of SRC (the library's src/)
#   layering_check.sh --self   runs the check on small planted trees: a clean
#                              one must pass, each faulty one must fail
#
# A folder may include only the folders below it in the table, and itself.
# An include of a folder the table does not allow fails, and so does one
# that climbs out of its folder with "..", or a folder the table does not
# know. Apart from the table, any two folders that include each other
# (directly or round a longer ring) fail too. Files at the top of SRC (the
# library's set-up) stand above every folder and are not checked.
set -euo pipefail

declare -A allowed=(
  [common]="common"
  [dsp]="common dsp"
  [io]="common io"
  [decode]="common dsp decode"
  [encode]="common dsp encode"
  # api/ reaches classic/ for one thing: tarsk.h's encoders add their
  # tallies to the process-wide counters that dv_show_statistics prints.
  [api]="common dsp io decode encode classic api"
  [classic]="common dsp decode encode classic"
)

# Prints every fault of the tree at $1, one a line; returns 1 when there is any.
check() {
  local src=$1 faults=0 edges="" dir folder hit file text target
  for dir in "$src"/*/; do
    folder=$(basename "$dir")
    if [[ -z ${allowed[$folder]+set} ]]; then
      echo "$folder/: a folder the layering table does not place"
      faults=1
      continue
    fi
    while IFS= read -r hit; do
      file=${hit%%:*}
      text=${hit#*:}
      text=${text#*:}
      target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$text")
      if [[ $target == ../* || $target == */../* ]]; then
        echo "${file#"$src"/}: $target climbs out of its folder"
        faults=1
        continue
      fi
      [[ $target == */* ]] || continue  # a header beside it, or at the top
      target=${target%%/*}
      if [[ $target != "$folder" ]]; then edges+="$folder $target"$'\n'; fi
      if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
        echo "${file#"$src"/}: $folder/ includes $target/ (allowed: ${allowed[$folder]})"
        faults=1
      fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir" || true)
  done
  # tsort finds a ring of folders that include each other, of any length.
  if [[ -n $edges ]] && ! sort -u <<<"$edges" | tsort >/dev/null 2>&1; then
    echo "folders include each other:"
    sort -u <<<"$edges" | tsort 2>&1 >/dev/null | grep -v 'input contains a loop' |
      sed 's/^tsort: /  /' || true
    faults=1
  fi
  return $faults
}

# A tree of the given files ("path:include target" pairs) under a new folder.
plant() {
  local root=$1 entry path target
  shift
  for entry in "$@"; do
    path=${entry%%:*}
    target=${entry#*:}
    mkdir -p "$root/$(dirname "$path")"
    printf '#include <tarsk/dv.h>\n#include "%s"\n' "$target" >>"$root/$path"
  done
}

self_test() {
  local work failed=0 name out
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  local clean=("common/a.cpp:common/a.h" "dsp/k.cpp:common/a.h" "decode/d.cpp:dsp/dsp.h"
               "encode/e.cpp:common/a.h" "classic/c.cpp:encode/e.h" "classic/c.cpp:decode/d.h"
               "decode/output/o.cpp:decode/d.h" "top.cpp:classic/c.h")
  # name, the fault's words in the report, and the faulty files added to the clean tree.
  local cases=(
    "upward|common/ includes dsp/|common/dct.cpp:dsp/dsp.h"
    "sibling|decode/ includes encode/|decode/output/o.cpp:encode/encode.h"
    "pair|folders include each other|encode/f.h:classic/registry.h"
    "climb|climbs out of its folder|encode/g.cpp:../decode/frame.h"
    "unknown|input/: a folder the layering table does not place|input/fill.cpp:encode/fill.h"
  )
  plant "$work/clean" "${clean[@]}"
  if ! out=$(check "$work/clean"); then
    echo "self-test: the clean tree fails: $out"
    failed=1
  fi
  for c in "${cases[@]}"; do
    IFS='|' read -r name words bad <<<"$c"
    plant "$work/$name" "${clean[@]}" "$bad"
    if out=$(check "$work/$name"); then
      echo "self-test: the $name tree passes"
      failed=1
    elif [[ $out != *"$words"* ]]; then
      echo "self-test: the $name tree fails without saying '$words': $out"
      failed=1
    fi
  done
  [[ $failed == 0 ]] && echo "self-test: the clean tree passes, ${#cases[@]} faulty trees fail"
  return $failed
}

case ${1:-} in
  --self) self_test ;;
  "") echo "usage: $0 SRC | --self" >&2; exit 2 ;;
  *) check "$1" && echo "layering: every folder of $1 includes only the folders below it" ;;
esac
