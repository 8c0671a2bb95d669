#!/usr/bin/env bash
# Interim demo: packs the sample game with quarn, lists the payload, extracts
# it with the installer's own extraction code and compares the result with
# the sample. Needs build/native (make native).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
quarn=$root/build/native/tools/quarn
sample=$root/sample
demo=$root/build/demo
payload=$demo/sample.qua
extracted=$demo/extracted

if [ ! -x "$quarn" ]; then
    echo "demo: $quarn is missing; build it with 'make native'" >&2
    exit 1
fi

mkdir -p "$demo"
rm -rf "$extracted" "$demo/compare"

echo "== packing $sample into $payload"
"$quarn" pack "$sample" "$payload"
echo "   $(find "$sample" -type f | wc -l) files, $(find "$sample" -type f -printf "%s\n" | awk "{ s += \$1 } END { print s }") bytes -> $(stat -c %s "$payload") bytes"

echo "== listing the payload"
"$quarn" list "$payload"

echo "== extracting into $extracted"
"$quarn" extract "$payload" "$extracted"

# The archive holds Windows-1252 names, and extraction writes them as they
# stand; turn them back into UTF-8 on a copy before comparing.
cp -a "$extracted" "$demo/compare"
find "$demo/compare" -depth -mindepth 1 -print0 | while IFS= read -r -d '' path; do
    name=$(basename "$path")
    utf8=$(printf '%s' "$name" | iconv -f CP1252 -t UTF-8)
    [ "$name" = "$utf8" ] || mv "$path" "$(dirname "$path")/$utf8"
done

echo "== comparing with diff -r"
diff -r "$sample" "$demo/compare"
rm -rf "$demo/compare"
echo "demo: the extracted tree matches the sample byte for byte"
