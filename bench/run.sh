#!/usr/bin/env bash
# Measures quarn on a ~90 MB game-like tree it generates, and on each folder
# given (bench/run.sh DIR..., or make bench BENCH_DIRS="DIR ..."), in one run:
# - packing: quarn pack's time on 1 thread and on all of them against gzip -9
#   on the same archive bytes (and libdeflate 12 in one call, as quarn packed
#   before chunks, and zlib alone at level 9); the payload's size against
#   zlib 9's and the one-call payload's; its peak memory;
# - extraction: quarn extract of the payload against the one-call payload and
#   the zlib 9 one;
# - on the generated tree also quarn extract against tar -xzf of the tree at
#   the same level and against zlib alone inflating the payload, and its
#   memory.
# Rounds alternate the contenders so that the machine's mood hits them alike;
# medians are reported, and a table at the end puts the trees side by side.
# Needs build/native-release (make bench builds it). ROUNDS=5 extraction
# rounds and PACK_ROUNDS=3 pack rounds by default.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/native-release
quarn=$build/tools/quarn
inflate_only=$build/bench/inflate_only
deflate_only=$build/bench/deflate_only
deflate_whole=$build/bench/deflate_whole
make_tree=$build/bench/make_bench_tree
work=$root/build/bench-data
rounds=${ROUNDS:-5}
pack_rounds=${PACK_ROUNDS:-3}
dirs=()
for dir in "$@" ${BENCH_DIRS:-}; do
    dirs+=("$(cd "$dir" && pwd)")
done

for tool in "$quarn" "$inflate_only" "$deflate_only" "$deflate_whole" "$make_tree" /usr/bin/time; do
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

# The payload is the same archive as FILE's.
same_archive() {
    "$inflate_only" "$1" check.archive >/dev/null
    cmp -s archive check.archive || { echo "bench: $1 holds other bytes" >&2; exit 1; }
    rm check.archive
}

# One row per tree for the table at the end.
summary=$work/summary.txt
: >"$summary"

# Packs TREE into NAME/ with quarn on 1 and on all threads, with gzip -9,
# zlib 9 and libdeflate 12 in one call, extracts the payloads, and prints the
# figures.
measure() {
    local tree=$1 name=$2
    mkdir -p "$name"
    cd "$name"
    : >pack1.times
    : >pack.times
    : >pack.rss
    : >gzip.times
    : >zlib.times
    : >whole.times
    for round in $(seq "$pack_rounds"); do
        timed "$quarn" pack "$tree" one.qua --threads 1 >>pack1.times
        timed "$quarn" pack "$tree" payload.qua >>pack.times
        cat rss.txt >>pack.rss
        [ -e archive ] || "$inflate_only" payload.qua archive >/dev/null
        timed gzip -9 -k -f archive >>gzip.times
        timed "$deflate_only" 9 archive zlib9.qua >>zlib.times
        timed "$deflate_whole" 12 archive whole.qua >>whole.times
        printf '   pack round %d: quarn 1 thread %.2f s, all %.2f s, gzip -9 %.2f s, zlib 9 %.2f s, one call %.2f s\n' \
            "$round" "$(tail -n1 pack1.times)" "$(tail -n1 pack.times)" "$(tail -n1 gzip.times)" \
            "$(tail -n1 zlib.times)" "$(tail -n1 whole.times)"
    done
    cmp -s one.qua payload.qua || { echo "bench: 1 thread and $threads threads packed other bytes" >&2; exit 1; }
    same_archive zlib9.qua
    same_archive whole.qua

    : >extract.times
    : >extract_whole.times
    : >extract9.times
    for round in $(seq "$rounds"); do
        rm -rf out && sync
        timed "$quarn" extract payload.qua out >>extract.times
        rm -rf out && sync
        timed "$quarn" extract whole.qua out >>extract_whole.times
        rm -rf out && sync
        timed "$quarn" extract zlib9.qua out >>extract9.times
        printf '   extract round %d: payload %.3f s, one-call payload %.3f s, zlib 9 payload %.3f s\n' "$round" \
            "$(tail -n1 extract.times)" "$(tail -n1 extract_whole.times)" "$(tail -n1 extract9.times)"
    done
    rm -rf out

    local archive_bytes payload_bytes zlib_bytes whole_bytes gzip_bytes pack1_s pack_s gzip_s zlib_s whole_s rss_kb
    local x_s xw_s x9_s
    archive_bytes=$(size_of archive)
    payload_bytes=$(size_of payload.qua)
    zlib_bytes=$(size_of zlib9.qua)
    whole_bytes=$(size_of whole.qua)
    gzip_bytes=$(size_of archive.gz)
    pack1_s=$(median <pack1.times)
    pack_s=$(median <pack.times)
    gzip_s=$(median <gzip.times)
    zlib_s=$(median <zlib.times)
    whole_s=$(median <whole.times)
    rss_kb=$(sort -g pack.rss | tail -n1)
    x_s=$(median <extract.times)
    xw_s=$(median <extract_whole.times)
    x9_s=$(median <extract9.times)
    local size_zlib size_whole time1 time_all time_whole extract_whole extract9
    size_zlib=$(calc "$payload_bytes / $zlib_bytes")
    size_whole=$(calc "$payload_bytes / $whole_bytes")
    time1=$(calc "$pack1_s / $gzip_s")
    time_all=$(calc "$pack_s / $gzip_s")
    time_whole=$(calc "$whole_s / $gzip_s")
    extract_whole=$(calc "$x_s / $xw_s")
    extract9=$(calc "$x_s / $x9_s")
    echo "== $name: archive $archive_bytes bytes; medians of $pack_rounds pack and $rounds extract rounds"
    printf 'payload            quarn %d, one call %d, zlib 9 %d, gzip -9 %d bytes\n' "$payload_bytes" \
        "$whole_bytes" "$zlib_bytes" "$gzip_bytes"
    printf 'size / one call    %.4f   (target <= 1.003: %s)\n' "$size_whole" "$(verdict "$size_whole <= 1.003")"
    printf 'size / zlib 9      %.4f\n' "$size_zlib"
    printf 'pack               quarn %.2f s on 1 thread, %.2f s on %d; gzip -9 %.2f s, zlib 9 %.2f s, one call %.2f s\n' \
        "$pack1_s" "$pack_s" "$threads" "$gzip_s" "$zlib_s" "$whole_s"
    printf 'pack / gzip -9     1 thread %.3f, %d threads %.3f (target <= 0.6: %s), one call %.3f\n' "$time1" \
        "$threads" "$time_all" "$(verdict "$time_all <= 0.6")" "$time_whole"
    printf 'pack peak RSS      %.0f MB (archive %.0f MB, payload %.0f MB)\n' "$(calc "$rss_kb / 1024")" \
        "$(calc "$archive_bytes / 1048576")" "$(calc "$payload_bytes / 1048576")"
    printf 'extract            payload %.3f s, one-call payload %.3f s, zlib 9 payload %.3f s\n' "$x_s" "$xw_s" "$x9_s"
    printf 'extract / one call %.3f   (target <= 1.05: %s)\n' "$extract_whole" "$(verdict "$extract_whole <= 1.05")"
    printf 'extract / zlib 9   %.3f\n' "$extract9"
    printf '%-14s %8.1f %8.3f %8.3f %-6s %8.3f %8.4f %8.4f %-6s %8.3f %-6s\n' "$name" \
        "$(calc "$archive_bytes / 1e6")" "$time1" "$time_all" "$(verdict "$time_all <= 0.6")" "$time_whole" \
        "$size_zlib" "$size_whole" "$(verdict "$size_whole <= 1.003")" "$extract_whole" \
        "$(verdict "$extract_whole <= 1.05")" >>"$summary"
    cd "$work"
}

threads=$(nproc)
echo "== $threads cores; load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
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

echo "== side by side: pack time / gzip -9's (1 thread, $threads threads, one call), size / zlib 9's and the one call's,"
echo "   extraction / the one-call payload's; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %8s %8s %8s %-6s %8s %8s %8s %-6s %8s %-6s
' tree "MB" "1 thr" "all" "<=0.6" "1 call"     "/zlib9" "/1 call" "<=1.003" "extract" "<=1.05"
cat "$summary"
