#!/usr/bin/env bash
# The same sources give the same setup.exe whoever builds it and whenever:
# `make installer` twice, into two build folders at different absolute paths,
# the second under a clock years ahead, and the two programs compared byte
# for byte.
#
#   reproducible_test.sh WORK [MAKE_VARIABLE=VALUE...]
set -uo pipefail

work=$1
shift
root=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work"
mkdir -p "$work"

build() {
    env -u MAKEFLAGS -u MAKELEVEL "$@" make -C "$root" -o tools installer "${variables[@]}" >"$log" 2>&1 ||
        { echo "FAIL the build failed: $(grep -v '^gmake\|^\[' "$log" | tail -n 5)"; exit 1; }
}
variables=("$@" WIN32_BUILD="$work/first")
log=$work/first.log build
variables=("$@" WIN32_BUILD="$work/a second folder, elsewhere/win32")
log=$work/second.log build faketime -f '@2031-03-04 05:06:07'

first=$work/first/setup.exe
second="$work/a second folder, elsewhere/win32/setup.exe"
if ! cmp "$first" "$second"; then
    echo "FAIL two builds of the same sources differ; first bytes that differ (offset, first, second):"
    cmp -l "$first" "$second" | head -n 8
    exit 1
fi
echo "reproducible: both builds are $(stat -c %s "$first") bytes, $(sha256sum <"$first" | cut -c1-16)..."
rm -rf "$work"
