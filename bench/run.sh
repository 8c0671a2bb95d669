#!/usr/bin/env bash
# Measures quarn on a ~90 MB game-like tree it generates, and on each folder
# given (bench/run.sh DIR..., or make bench BENCH_DIRS="DIR ..."), in one run:
# - packing: the payload's size, and quarn pack's time and peak memory,
#   against gzip -9 and zlib alone at level 9 on the same archive bytes;
# - extraction: quarn extract of the payload against the same archive as a
#   zlib level 9 payload;
# - on the generated tree also quarn extract against tar -xzf of the tree at
#   the same level and against zlib alone inflating the payload, and its
#   memory.
# Rounds alternate the contenders so that the machine's mood hits them alike;
# medians are reported. Needs build/native-release (make bench builds it).
# ROUNDS=5 extraction rounds and PACK_ROUNDS=3 pack rounds by default.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/native-release
quarn=$build/tools/quarn
inflate_only=$build/bench/inflate_only
deflate_only=$build/bench/deflate_only
make_tree=$build/bench/make_bench_tree
work=$root/build/bench-data
rounds=${ROUNDS:-5}
pack_rounds=${PACK_ROUNDS:-3}
dirs=()
for dir in "$@" ${BENCH_DIRS:-}; do
    dirs+=("$(cd "$dir" && pwd)")
done

for tool in "$quarn" "$inflate_only" "$deflate_only" "$make_tree" /usr/bin/time; do
    if [ ! -x "$tool" ]; then
        echo "bench: $tool is missing (make bench builds and installs what it needs)" >&2
        exit 1
    fi
done

rm -rf "$work"
mkdir -p "$work"
cd "$work"

# Wall time in seconds of one command; its peak RSS in KB goes to rss.txt.
timed() {
    local start end
    start=$EPOCHREALTIME
    /usr/bin/time -f %M -o rss.txt "$@" >/dev/null
    end=$EPOCHREALTIME
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
calc() { awk "BEGIN { print $1 }"; }
verdict() { if [ "$(calc "(($1) ? 1 : 0)")" = 1 ]; then echo met; else echo MISSED; fi; }
size_of() { stat -c %s "$1"; }

# Packs TREE into NAME/ with quarn, gzip -9 and zlib 9, extracts both zlib
# payloads, and prints the figures.
measure() {
    local tree=$1 name=$2
    mkdir -p "$name"
    cd "$name"
    : >pack.times
    : >pack.rss
    : >gzip.times
    : >zlib.times
    for round in $(seq "$pack_rounds"); do
        timed "$quarn" pack "$tree" payload.qua >>pack.times
        cat rss.txt >>pack.rss
        [ -e archive ] || "$inflate_only" payload.qua archive >/dev/null
        timed gzip -9 -k -f archive >>gzip.times
        timed "$deflate_only" 9 archive zlib9.qua >>zlib.times
        printf '   pack round %d: quarn %.2f s, gzip -9 %.2f s, zlib 9 %.2f s\n' "$round" \
            "$(tail -n1 pack.times)" "$(tail -n1 gzip.times)" "$(tail -n1 zlib.times)"
    done
    "$inflate_only" zlib9.qua zlib9.archive >/dev/null
    cmp -s archive zlib9.archive || { echo "bench: the zlib 9 payload holds other bytes" >&2; exit 1; }
    rm zlib9.archive

    : >extract.times
    : >extract9.times
    for round in $(seq "$rounds"); do
        rm -rf out && sync
        timed "$quarn" extract payload.qua out >>extract.times
        rm -rf out && sync
        timed "$quarn" extract zlib9.qua out >>extract9.times
        printf '   extract round %d: payload %.3f s, zlib 9 payload %.3f s\n' "$round" \
            "$(tail -n1 extract.times)" "$(tail -n1 extract9.times)"
    done
    rm -rf out

    local archive_bytes payload_bytes zlib_bytes gzip_bytes pack_s gzip_s zlib_s rss_kb x_s x9_s
    archive_bytes=$(size_of archive)
    payload_bytes=$(size_of payload.qua)
    zlib_bytes=$(size_of zlib9.qua)
    gzip_bytes=$(size_of archive.gz)
    pack_s=$(median <pack.times)
    gzip_s=$(median <gzip.times)
    zlib_s=$(median <zlib.times)
    rss_kb=$(sort -g pack.rss | tail -n1)
    x_s=$(median <extract.times)
    x9_s=$(median <extract9.times)
    local size_ratio time_ratio extract_ratio
    size_ratio=$(calc "$payload_bytes / $zlib_bytes")
    time_ratio=$(calc "$pack_s / $gzip_s")
    extract_ratio=$(calc "$x_s / $x9_s")
    echo "== $name: archive $archive_bytes bytes; medians of $pack_rounds pack and $rounds extract rounds"
    printf 'payload            quarn %d, zlib 9 %d, gzip -9 %d bytes\n' "$payload_bytes" "$zlib_bytes" "$gzip_bytes"
    printf 'size quarn/zlib 9  %.3f\n' "$size_ratio"
    printf 'pack               quarn %.2f s, gzip -9 %.2f s, zlib 9 %.2f s\n' "$pack_s" "$gzip_s" "$zlib_s"
    printf 'pack quarn/gzip -9 %.3f\n' "$time_ratio"
    printf 'pack peak RSS      %.0f MB (archive %.0f MB, payload %.0f MB)\n' "$(calc "$rss_kb / 1024")" \
        "$(calc "$archive_bytes / 1048576")" "$(calc "$payload_bytes / 1048576")"
    printf 'extract            payload %.3f s, zlib 9 payload %.3f s\n' "$x_s" "$x9_s"
    printf 'extract / zlib 9   %.3f   (target <= 1.05: %s)\n' "$extract_ratio" "$(verdict "$extract_ratio <= 1.05")"
    cd "$work"
}

echo "== tree: $("$make_tree" tree)"
measure "$work/tree" generated
for dir in "${dirs[@]}"; do
    measure "$dir" "$(basename "$dir")"
done

# The generated tree's extraction against tar and against zlib alone.
payload=generated/payload.qua
tar -cf - -C tree . | gzip -9 >tree.tar.gz
payload_bytes=$(size_of "$payload")
: >quarn.times
: >tar.times
: >inflate.times
: >quarn.rss
for round in $(seq "$rounds"); do
    rm -rf out && sync
    timed "$quarn" extract "$payload" out >>quarn.times
    cat rss.txt >>quarn.rss
    rm -rf out && mkdir out && sync
    timed tar -xzf tree.tar.gz -C out >>tar.times
    timed "$inflate_only" "$payload" >>inflate.times
    printf '   round %d: quarn %.3f s, tar %.3f s, inflate_only %.3f s\n' "$round" \
        "$(tail -n1 quarn.times)" "$(tail -n1 tar.times)" "$(tail -n1 inflate.times)"
done
diff -r tree out >/dev/null || { echo "bench: tar's tree differs" >&2; exit 1; }
rm -rf out
"$quarn" extract "$payload" out
diff -r tree out >/dev/null || { echo "bench: quarn's tree differs" >&2; exit 1; }

quarn_s=$(median <quarn.times)
tar_s=$(median <tar.times)
inflate_s=$(median <inflate.times)
rss_kb=$(sort -g quarn.rss | tail -n1)
beyond_mb=$(calc "($rss_kb * 1024 - $payload_bytes) / 1048576")
tar_ratio=$(calc "$tar_s / $quarn_s")
inflate_ratio=$(calc "$quarn_s / $inflate_s")
echo "== generated: extraction, medians of $rounds rounds"
printf 'quarn extract      %.3f s\n' "$quarn_s"
printf 'tar -xzf           %.3f s\n' "$tar_s"
printf 'inflate_only       %.3f s\n' "$inflate_s"
printf 'tar / quarn        %.2f   (target >= 1.25: %s)\n' "$tar_ratio" "$(verdict "$tar_ratio >= 1.25")"
printf 'quarn / inflate    %.2f   (target <= 1.30: %s)\n' "$inflate_ratio" "$(verdict "$inflate_ratio <= 1.3")"
printf 'quarn peak RSS     %d KB, %.1f MB beyond the payload (target < 16: %s)\n' "$rss_kb" "$beyond_mb" \
    "$(verdict "$beyond_mb < 16")"
