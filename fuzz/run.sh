#!/usr/bin/env bash
# Runs each libFuzzer target of build/fuzz for SECONDS seconds (default 600)
# over a corpus that grows from run to run (build/fuzz/corpus-long, seeded by
# make_seeds.sh). Findings go to build/fuzz/findings, logs to build/fuzz/logs.
# Prints each target's executions per second; exits 1 if any target found a
# crash, a leak or a sanitizer report.
# usage: run.sh [SECONDS]
set -uo pipefail

seconds=${1:-600}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
targets=()
for source in "$root"/fuzz/*_fuzzer.cpp; do
    targets+=("$(basename "$source" .cpp)")
done

quarn=$root/build/native/tools/quarn
[ -x "$quarn" ] || quarn=
"$root/fuzz/make_seeds.sh" "$build/corpus-long" "$build/fuzz" $quarn || exit 1
mkdir -p "$build/findings" "$build/logs"

failed=0
summary=()
for target in "${targets[@]}"; do
    log=$build/logs/$target.log
    echo "fuzz: $target for $seconds s (log $log)"
    if "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=25 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$target-" "$build/corpus-long/$target" > "$log" 2>&1; then
        result=ok
    else
        result="FAILED, see $log"
        failed=1
    fi
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    if [ -z "$rate" ]; then
        rate=$(grep -o 'exec/s: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    fi
    summary+=("$(printf '%-16s %8s exec/s  %s' "$target" "${rate:-?}" "$result")")
done

printf '%s\n' "${summary[@]}"
exit $failed
