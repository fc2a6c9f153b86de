#!/usr/bin/env bash
# Applies a large package (one file block, one raw-partition block, incompressible
# data) to a sandbox board, plain and gzip, and prints throughput, peak memory and
# the ratio of fwdeploy's wall time to a lower bound measured in the same run:
# reading the package twice (verification and apply each read it whole) plus
# writing the data once per block. The same package signed (a trailer made with
# the openssl command line, checked with -k) shows what verifying the signature
# costs: the digest is taken while the verification pass reads the package.
#   usage: bench/apply_bench.sh [SIZE_MIB...]   (default: 64 256)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-bench}
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(64 256)

# The run lock lives in the build folder: /run is for root, and this needs none.
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFWDEPLOY_TESTS=OFF \
    -DFWDEPLOY_LOCK_FILE="$build/fwdeploy.lock" >/dev/null
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

# The package signed as a user would: digest, key id and signature by openssl.
openssl ecparam -name prime256v1 -genkey -noout -out "$work/key.pem" 2>/dev/null
openssl pkey -in "$work/key.pem" -pubout -out "$work/key.pub.pem"
le32() {
    printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) \
        $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}
sign() {
    openssl dgst -sha256 -sign "$work/key.pem" -out "$work/sig.der" "$1"
    local size
    size=$(stat -c %s "$work/sig.der")
    {
        cat "$1"
        printf 'FWTRAIL1'
        printf "$(le32 $((80 + size)))"
        openssl dgst -sha256 -binary "$1"
        openssl pkey -pubin -in "$work/key.pub.pem" -outform DER | openssl dgst -sha256 -binary
        printf "$(le32 "$size")"
        cat "$work/sig.der"
    } >"$2"
}

printf '%-6s %-12s %9s %9s %10s %9s %7s %9s\n' MiB kind "wall s" "MB/s" "peak KiB" "bound s" ratio \
    "/unsigned"
for mib in "${sizes[@]}"; do
    bytes=$((mib * 1024 * 1024))
    head -c "$bytes" /dev/urandom >"$work/data.bin"
    part="$work/board/dev/mmcblk0p1"
    "$build/bench/make_bench_package" "$work/pkg.bin" "$work/data.bin" \
        "$work/board/data/image.bin" "$part" "$bytes"
    gzip -1 -c "$work/pkg.bin" >"$work/pkg.bin.gz"
    sign "$work/pkg.bin" "$work/signed.bin"
    gzip -1 -c "$work/signed.bin" >"$work/signed.bin.gz"
    for kind in plain plain-signed gzip gzip-signed; do
        rm -f "$part" "$work/board/data/image.bin"   # every run allocates what it writes
        truncate -s "$bytes" "$part"
        sync                          # no writeback of earlier runs in this one's time
        case $kind in
            plain) args=(-r "$work/pkg.bin") ;;
            plain-signed) args=(-r "$work/signed.bin" -k "$work/key.pub.pem") ;;
            gzip) args=(-x "$work/pkg.bin.gz") ;;
            gzip-signed) args=(-x "$work/signed.bin.gz" -k "$work/key.pub.pem") ;;
        esac
        # The same start for every row: the package in the page cache, as the
        # bound below finds it (the machine may reclaim idle cache meanwhile).
        cat "${args[1]}" >/dev/null
        measure "$build/frontend/fwdeploy" "${args[@]}" -t "$work"
        tool=$wall
        [[ $kind == *-signed ]] || unsigned=$tool
        start=$(now)
        if [[ $kind == plain* ]]; then
            cat "$work/pkg.bin" >/dev/null; cat "$work/pkg.bin" >/dev/null
        else
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
        printf '%-6s %-12s %9.2f %9.1f %10s %9.2f %7.2f %9.2f\n' "$mib" "$kind" "$tool" "$mbs" \
            "$rss" "$bound" "$ratio" "$(calc "$tool / $unsigned")"
    done
done
echo
"$build/bench/byte_sum_bench" --benchmark_min_time=0.2 2>/dev/null | grep -E 'byte_sum|Benchmark'
