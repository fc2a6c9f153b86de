#!/usr/bin/env bash
# Applies a large package (one file block, one raw-partition block, incompressible
# data) to a sandbox board, plain and gzip, and prints throughput, peak memory and
# the ratio of fwdeploy's wall time to a lower bound measured in the same run:
# reading the package twice (verification and apply each read it whole) plus
# writing the data once per block.
#   usage: bench/apply_bench.sh [SIZE_MIB...]   (default: 64 256)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-bench}
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(64 256)

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFWDEPLOY_TESTS=OFF >/dev/null
make -C "$build" -j2 fwdeploy make_bench_package byte_sum_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/fwdeploy-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/board/dev" "$work/board/data"

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
elapsed() { calc "$2 - $1"; }

# Wall seconds and peak RSS (KiB) of one command, output discarded.
measure() {
    local start end
    start=$(now)
    /usr/bin/time -f "%M" -o "$work/rss" "$@" >/dev/null 2>"$work/stderr" || {
        cat "$work/stderr" >&2; return 1; }
    end=$(now)
    wall=$(elapsed "$start" "$end")
    rss=$(tail -n 1 "$work/rss")
}

printf '%-6s %-5s %9s %9s %10s %9s %7s\n' MiB kind "wall s" "MB/s" "peak KiB" "bound s" ratio
for mib in "${sizes[@]}"; do
    bytes=$((mib * 1024 * 1024))
    head -c "$bytes" /dev/urandom >"$work/data.bin"
    part="$work/board/dev/mmcblk0p1"
    "$build/bench/make_bench_package" "$work/pkg.bin" "$work/data.bin" \
        "$work/board/data/image.bin" "$part" "$bytes"
    gzip -1 -c "$work/pkg.bin" >"$work/pkg.bin.gz"
    for kind in plain gzip; do
        truncate -s "$bytes" "$part"
        rm -f "$work/board/data/image.bin"
        if [ "$kind" = plain ]; then
            measure "$build/frontend/fwdeploy" -r "$work/pkg.bin" -t "$work"
            tool=$wall
            start=$(now)
            cat "$work/pkg.bin" >/dev/null; cat "$work/pkg.bin" >/dev/null
        else
            measure "$build/frontend/fwdeploy" -x "$work/pkg.bin.gz" -t "$work"
            tool=$wall
            start=$(now)
            gunzip -c "$work/pkg.bin.gz" >/dev/null; gunzip -c "$work/pkg.bin.gz" >/dev/null
        fi
        # Writing the data: the file block, then the partition (0xFF fill and data).
        cat "$work/data.bin" >"$work/board/data/copy.bin"; sync "$work/board/data/copy.bin"
        cat "$work/data.bin" >"$work/board/data/copy2.bin"; sync "$work/board/data/copy2.bin"
        cat "$work/data.bin" >"$work/board/data/copy3.bin"; sync "$work/board/data/copy3.bin"
        end=$(now)
        rm -f "$work"/board/data/copy*.bin
        bound=$(elapsed "$start" "$end")
        mbs=$(calc "2 * $bytes / $tool / 1000000")
        ratio=$(calc "$tool / $bound")
        printf '%-6s %-5s %9.2f %9.1f %10s %9.2f %7.2f\n' "$mib" "$kind" "$tool" "$mbs" "$rss" \
            "$bound" "$ratio"
    done
done
echo
"$build/bench/byte_sum_bench" --benchmark_min_time=0.2 2>/dev/null | grep -E 'byte_sum|Benchmark'
