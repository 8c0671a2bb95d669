#!/usr/bin/env bash
# Measures extraction speed and memory on a ~90 MB game-like tree: quarn
# extract against tar -xzf of the same tree at the same level, and against
# zlib alone inflating the payload. Rounds alternate the three so that the
# machine's mood hits them alike; medians are reported.
# Needs build/native-release (make bench builds it). ROUNDS=5 by default.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/native-release
quarn=$build/tools/quarn
inflate_only=$build/bench/inflate_only
make_tree=$build/bench/make_bench_tree
work=$root/build/bench-data
rounds=${ROUNDS:-5}

for tool in "$quarn" "$inflate_only" "$make_tree" /usr/bin/time; do
    if [ ! -x "$tool" ]; then
        echo "bench: $tool is missing (make bench builds and installs what it needs)" >&2
        exit 1
    fi
done

rm -rf "$work"
mkdir -p "$work"
cd "$work"
echo "== tree: $("$make_tree" tree)"
"$quarn" pack tree payload.qua --level 9
tar -cf - -C tree . | gzip -9 >tree.tar.gz
payload_bytes=$(stat -c %s payload.qua)
echo "== quarn payload $payload_bytes bytes, tar.gz $(stat -c %s tree.tar.gz) bytes"

# Wall time in seconds of one command; its peak RSS in KB goes to rss.txt.
timed() {
    local start end
    start=$EPOCHREALTIME
    /usr/bin/time -f %M -o rss.txt "$@" >/dev/null
    end=$EPOCHREALTIME
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >quarn.times
: >tar.times
: >inflate.times
: >quarn.rss
for round in $(seq "$rounds"); do
    rm -rf out && sync
    timed "$quarn" extract payload.qua out >>quarn.times
    cat rss.txt >>quarn.rss
    rm -rf out && mkdir out && sync
    timed tar -xzf tree.tar.gz -C out >>tar.times
    timed "$inflate_only" payload.qua >>inflate.times
    printf '   round %d: quarn %.3f s, tar %.3f s, inflate_only %.3f s\n' "$round" \
        "$(tail -n1 quarn.times)" "$(tail -n1 tar.times)" "$(tail -n1 inflate.times)"
done
diff -r tree out >/dev/null || { echo "bench: tar's tree differs" >&2; exit 1; }
rm -rf out
"$quarn" extract payload.qua out
diff -r tree out >/dev/null || { echo "bench: quarn's tree differs" >&2; exit 1; }

quarn_s=$(median <quarn.times)
tar_s=$(median <tar.times)
inflate_s=$(median <inflate.times)
rss_kb=$(sort -g quarn.rss | tail -n1)
calc() { awk "BEGIN { print $1 }"; }
beyond_mb=$(calc "($rss_kb * 1024 - $payload_bytes) / 1048576")
verdict() { if [ "$(calc "(($1) ? 1 : 0)")" = 1 ]; then echo met; else echo MISSED; fi; }
tar_ratio=$(calc "$tar_s / $quarn_s")
inflate_ratio=$(calc "$quarn_s / $inflate_s")
echo "== medians of $rounds rounds"
printf 'quarn extract      %.3f s\n' "$quarn_s"
printf 'tar -xzf           %.3f s\n' "$tar_s"
printf 'inflate_only       %.3f s\n' "$inflate_s"
printf 'tar / quarn        %.2f   (target >= 1.25: %s)\n' "$tar_ratio" "$(verdict "$tar_ratio >= 1.25")"
printf 'quarn / inflate    %.2f   (target <= 1.30: %s)\n' "$inflate_ratio" "$(verdict "$inflate_ratio <= 1.3")"
printf 'quarn peak RSS     %d KB, %.1f MB beyond the payload (target < 16: %s)\n' "$rss_kb" "$beyond_mb" \
    "$(verdict "$beyond_mb < 16")"
