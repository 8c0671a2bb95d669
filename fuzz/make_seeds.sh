#!/usr/bin/env bash
# Writes the fuzz targets' starting corpora to OUT/TARGET, one for each
# fuzz/TARGET.cpp named *_fuzzer.cpp: its built-in seeds (from its replay
# program's --write-seeds) and, given quarn, payloads packed from a few small
# trees made here (for the reader, behind a few op headers).
# --fresh empties OUT first; otherwise what a fuzzer added there stays.
# usage: make_seeds.sh [--fresh] OUT REPLAY_DIR [QUARN]
set -euo pipefail

fresh=false
if [ "${1:-}" = --fresh ]; then
    fresh=true
    shift
fi
if [ $# -lt 2 ]; then
    echo "usage: $0 [--fresh] OUT REPLAY_DIR [QUARN]" >&2
    exit 2
fi
out=$1 replay=$2 quarn=${3:-}

if $fresh; then
    rm -rf "$out"
fi
for source in "$(dirname "$0")"/*_fuzzer.cpp; do
    target=$(basename "$source" .cpp)
    mkdir -p "$out/$target"
    "$replay/${target}_replay" --write-seeds "$out/$target"
done
[ -n "$quarn" ] || exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Nested folders, an empty file and an empty folder, CRLF text, every byte
# value, a name with a space and one outside ASCII, and a body that spans
# several of the reader's blocks.
tree=$work/tree
mkdir -p "$tree/sub/deeper" "$tree/empty folder" "$tree/données"
printf 'hello\n' > "$tree/a.txt"
: > "$tree/sub/empty"
printf 'one\r\ntwo\r\n' > "$tree/sub/deeper/crlf.txt"
for i in $(seq 0 255); do printf "\\$(printf %03o "$i")"; done > "$tree/données/bytes.bin"
printf 'a line that repeats\n%.0s' $(seq 6000) > "$tree/sub/lines.txt"
mkdir -p "$work/lone"
printf 'x' > "$work/lone/x"

"$quarn" pack "$tree" "$out/extract_fuzzer/pack-tree-9" --level 9
# Stored blocks, without the large file: inputs stay small.
rm "$tree/sub/lines.txt"
"$quarn" pack "$tree" "$out/extract_fuzzer/pack-tree-0" --level 0
"$quarn" pack "$work/lone" "$out/extract_fuzzer/pack-lone"

# Reader inputs: mode 0 (the stream as it stands), op count, slice count, ops,
# slices. Ops: 0x3f a 5000-byte line; 0x40|s, 0x80|s, 0xc0|s copies to a
# file, /dev/null and a broken file. Slices: n+1 bytes, 0xfc all, 0xfd none.
headers=(
    '\x00\x03\x00\x3f\x3f\x3f'
    '\x00\x04\x00\x3f\x3f\x75\x3f'
    '\x00\x03\x02\x3f\x40\x3f\x05\xfc'
    '\x00\x04\x01\x3f\x00\x81\xff\x3f'
    '\x00\x03\x02\x3f\xc5\x3f\x10\xfd'
)
for payload in "$out"/extract_fuzzer/pack-*; do
    for i in "${!headers[@]}"; do
        { printf "${headers[$i]}"; cat "$payload"; } > "$out/reader_fuzzer/$(basename "$payload")-$i"
    done
done
