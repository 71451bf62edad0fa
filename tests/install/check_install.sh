#!/usr/bin/env bash
# Installs a build into a fresh prefix, then checks what a user of the
# installed copy gets: the shared library with its SONAME, the static
# library, the header, and a pkg-config file through which a strict C11
# program builds, links and runs.
#
# Usage: check_install.sh BUILD_DIR PROG_C
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 BUILD_DIR PROG_C" >&2
  exit 2
fi
build=$1
prog=$2

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

prefix=$(mktemp -d "${TMPDIR:-/tmp}/tarsk-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1 ||
  fail "cmake --install failed: $(cat "$prefix/install.log")"

pc=$(find "$prefix" -name tarsk.pc -print -quit)
[[ -n $pc ]] || fail "no tarsk.pc under $prefix"
pcdir=$(dirname "$pc")
libdir=$(cd "$pcdir/.." && pwd)

header=$(find "$prefix" -path '*/include/tarsk/dv.h' -print -quit)
[[ -n $header ]] || fail "tarsk/dv.h was not installed"
[[ -f $libdir/libtarsk.a ]] || fail "libtarsk.a is not in $libdir"
[[ -f $libdir/libtarsk.so ]] || fail "libtarsk.so is not in $libdir"

# One version everywhere: the pkg-config file's, the SONAME's major number
# and the library's own tarsk_version_string() (checked below).
version=$(PKG_CONFIG_PATH=$pcdir pkg-config --modversion tarsk)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "pkg-config's version is '$version'"
so=libtarsk.so.${version%%.*}
soname=$(readelf -d "$libdir/libtarsk.so" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
[[ $soname == "$so" ]] || fail "SONAME is '$soname', not $so"
[[ -e $libdir/$soname ]] || fail "$soname is not in $libdir"

flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs tarsk) ||
  fail "pkg-config cannot resolve tarsk"
# The flags must point into the fresh prefix, not at a copy elsewhere.
[[ $flags == *"-I"*"include"* && $flags == *"-L"* && $flags == *"-ltarsk"* ]] ||
  fail "unexpected pkg-config flags: $flags"
incdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=includedir tarsk)
[[ $(cd "$incdir" && pwd) == "$(cd "$(dirname "$header")/.." && pwd)" ]] ||
  fail "pkg-config's includedir $incdir is not the installed one"

exe=$prefix/prog
# shellcheck disable=SC2086 # the flags are words
cc -std=c11 -Wall -Wextra -pedantic -Werror "$prog" -o "$exe" $flags ||
  fail "prog.c does not build against the installed copy (flags: $flags)"

# The program must load the installed library, not one from the build tree.
loaded=$(LD_LIBRARY_PATH=$libdir ldd "$exe" | awk -v so="$so" '$1 == so { print $3 }')
[[ $loaded == "$libdir/$so" ]] || fail "prog loads $so from '$loaded', not from $libdir"

printf '#include <stdio.h>\n#include <tarsk/tarsk.h>\nint main(void) { puts(tarsk_version_string()); return tarsk_version() != TARSK_VERSION; }\n' >"$prefix/version.c"
# shellcheck disable=SC2086
cc -std=c11 -Wall -Wextra -Werror "$prefix/version.c" -o "$prefix/version" $flags ||
  fail "a program calling tarsk_version does not build"
loaded_version=$(LD_LIBRARY_PATH=$libdir "$prefix/version") ||
  fail "the header's version is not the library's: $loaded_version"
[[ $loaded_version == "$version" ]] ||
  fail "tarsk_version_string() says '$loaded_version', pkg-config '$version'"

expected='header: 1
system: 625/50, 720x576, 12 DIF sequences
time code: 12:34:56.07'
check_output() {  # what, output
  if [[ $2 != "$expected" ]]; then
    printf 'FAIL: %s printed\n%s\nexpected\n%s\n' "$1" "$2" "$expected" >&2
    exit 1
  fi
}

output=$(LD_LIBRARY_PATH=$libdir "$exe") || fail "prog failed: $output"
check_output prog "$output"

# The same program linked with the static library: pkg-config --static must
# name everything libtarsk.a needs, the C++ runtime included, since a C
# compiler driver does not add it.
static_flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --static --cflags --libs tarsk)
static_flags=${static_flags/-ltarsk/-Wl,-Bstatic -ltarsk -Wl,-Bdynamic}
static_exe=$prefix/prog-static
# shellcheck disable=SC2086
cc -std=c11 -Wall -Wextra -pedantic -Werror "$prog" -o "$static_exe" $static_flags ||
  fail "prog.c does not link with libtarsk.a (flags: $static_flags)"
if ldd "$static_exe" | grep -q libtarsk; then
  fail "the statically linked prog still loads libtarsk"
fi
output=$("$static_exe") || fail "statically linked prog failed: $output"
check_output "statically linked prog" "$output"

# The README's examples of tarsk.h (C11) and tarsk.hpp (C++17), built
# against the installed copy: the C++ one writes three frames, the C one
# reads them and must print what the README says it prints.
readme=$(dirname "$prog")/../../README.md
example() {  # the fenced block after <!-- NAME -->
  awk -v mark="<!-- $1 -->" '$0 == mark { on = 1; next }
    on == 1 && /^```/ { on = 2; next }
    on == 2 && /^```/ { exit }
    on == 2 { print }' "$readme"
}
example example.c >"$prefix/example.c"
example example.cpp >"$prefix/example.cpp"
[[ -s $prefix/example.c && -s $prefix/example.cpp ]] || fail "the README's examples are missing"
# shellcheck disable=SC2086
cc -std=c11 -Wall -Wextra -pedantic -Werror "$prefix/example.c" -o "$prefix/example-c" $flags ||
  fail "the README's C example does not build against the installed copy"
# shellcheck disable=SC2086
c++ -std=c++17 -Wall -Wextra -pedantic -Werror "$prefix/example.cpp" -o "$prefix/example-cpp" \
  $flags || fail "the README's C++ example does not build against the installed copy"
output=$(LD_LIBRARY_PATH=$libdir "$prefix/example-cpp" "$prefix/clip.dv") ||
  fail "the C++ example failed: $output"
[[ $output == "wrote 3 frames" ]] || fail "the C++ example printed: $output"
output=$(LD_LIBRARY_PATH=$libdir "$prefix/example-c" "$prefix/clip.dv") ||
  fail "the C example failed: $output"
readme_says=$(awk '/^program reads it and prints/ { on = 1; next }
  on == 1 && /^```/ { on = 2; next }
  on == 2 && /^```/ { exit }
  on == 2 { print }' "$readme")
[[ -n $readme_says && $output == "$readme_says" ]] ||
  fail "the C example printed
$output
where the README says
$readme_says"

# The version the header says is the one pkg-config and the library say.
printf '#include <stdio.h>\n#include <tarsk/tarsk.h>\nint main(void) { printf("%%s %%d\\n", tarsk_version_string(), tarsk_version() == TARSK_VERSION); return 0; }\n' \
  >"$prefix/version.c"
# shellcheck disable=SC2086
cc -std=c11 "$prefix/version.c" -o "$prefix/version" $flags || fail "version.c does not build"
version=$(LD_LIBRARY_PATH=$libdir "$prefix/version")
pc_version=$(PKG_CONFIG_PATH=$pcdir pkg-config --modversion tarsk)
[[ $version == "$pc_version 1" ]] ||
  fail "the library says version '$version', pkg-config '$pc_version'"

# The tarsk tool built on its own against the installed copy: public
# headers and exports are all it needs. It must read the C++ example's clip.
tool_build=$prefix/tool-build
PKG_CONFIG_PATH=$pcdir cmake -S "$(dirname "$prog")/../../tools/tarsk" -B "$tool_build" \
  -DCMAKE_BUILD_TYPE=Release >"$prefix/tool.log" 2>&1 &&
  PKG_CONFIG_PATH=$pcdir cmake --build "$tool_build" -j "$(nproc)" >>"$prefix/tool.log" 2>&1 ||
  fail "the tool does not build against the installed copy: $(tail -30 "$prefix/tool.log")"
loaded=$(LD_LIBRARY_PATH=$libdir ldd "$tool_build/tarsk" | awk -v so="$so" '$1 == so { print $3 }')
[[ $loaded == "$libdir/$so" ]] || fail "the tool loads $so from '$loaded'"
output=$(LD_LIBRARY_PATH=$libdir "$tool_build/tarsk" info "$prefix/clip.dv" 2>&1) ||
  fail "the tool built on the installed copy failed: $output"
grep -q 'system: *525/60' <<<"$output" && grep -q 'frames: *3 ' <<<"$output" ||
  fail "the tool built on the installed copy says
$output"

echo "installed copy OK"
