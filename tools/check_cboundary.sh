#!/usr/bin/env bash
# Checks the library from the outside, as a C program sees it: installs the
# build into a scratch prefix, builds tests/c/capi_check.c with a C compiler
# and the flags pkg-config gives for that prefix, runs it against the
# installed shared library and compares its output.  Then checks that the
# shared library exports nothing but tarvik_* symbols.
#
# usage: check_cboundary.sh BUILD_DIR SOURCE_DIR C_COMPILER [EXTRA_CFLAGS...]
set -euo pipefail
build=$1
src=$2
cc=$3
shift 3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
pcfile=$(find "$prefix" -name tarvik.pc | head -n 1)
if [[ -z $pcfile ]]; then
  echo "no tarvik.pc installed under $prefix" >&2
  exit 1
fi
export PKG_CONFIG_PATH=$(dirname "$pcfile")
# shellcheck disable=SC2046  # the flags are meant to split
"$cc" -std=c99 -Wall -Wextra -pedantic -Werror "$@" -o "$work/capi_check" \
  "$src/tests/c/capi_check.c" $(pkg-config --cflags --libs tarvik)

libdir=$(pkg-config --variable=libdir tarvik)
LD_LIBRARY_PATH=$libdir "$work/capi_check" >"$work/out.txt"
diff -u "$src/tests/c/capi_check.expected" "$work/out.txt"

lib=$libdir/libtarvik.so
if [[ ! -e $lib ]]; then
  echo "$lib not installed" >&2
  exit 1
fi
# AddressSanitizer adds an __odr_asan.<name> marker beside each exported
# variable; the marker is the sanitizer's, the name must still be ours.
stray=$(nm -D --defined-only "$lib" | awk 'NF == 3 && $2 != "A" { sub(/^__odr_asan\./, "", $3); print $3 }' |
  grep -v '^tarvik_' || true)
if [[ -n $stray ]]; then
  echo "libtarvik.so exports symbols outside the public interface:" >&2
  echo "$stray" >&2
  exit 1
fi
echo "C boundary ok"
