#!/usr/bin/env bash
# Applies a large package (one file block of incompressible data) to a sandbox
# board, plain and gzip, unsigned and signed (a trailer made with the openssl
# command line, checked with -k), and prints throughput, peak memory and the
# ratio of fwdeploy's wall time to an honest lower bound measured right after
# it in the same round:
#   plain:        reading the package once, then dd of the data into a file with fsync
#   plain-signed: one `openssl dgst -sha256` pass over the package, then the same dd
#   gzip:         two gunzip passes over the package (one per pass of the tool), then the same dd
#   gzip-signed:  as gzip; its last column, the time over gzip's, is the one to watch
#   encrypted:    the plain package sealed for the board's key; the plain bound
# Then the speed of the board's SHA-256 and chunk MAC on each code path this CPU
# offers.
#   usage: bench/apply_bench.sh [SIZE_MIB...]   (default: 64 256; ROUNDS=3)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-bench}
rounds=${ROUNDS:-3}
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(64 256)

# The run lock lives in the build folder: /run is for root, and this needs none.
# The board's decryption key is the benchmark's own, in its work folder.
work=$(mktemp -d "${TMPDIR:-/tmp}/fwdeploy-bench.XXXXXX")
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFWDEPLOY_TESTS=OFF \
    -DFWDEPLOY_LOCK_FILE="$build/fwdeploy.lock" \
    -DFWDEPLOY_DECRYPTION_KEY="$work/decryption-key.pem" >/dev/null
make -C "$build" -j2 fwdeploy fwbundle make_bench_package byte_sum_bench digest_bench >/dev/null

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
install -m 0600 "$work/key.pem" "$work/decryption-key.pem"
# shellcheck source=bench/sign_package.sh
. "$top/bench/sign_package.sh"

printf '%-6s %-5s %-12s %9s %9s %10s %9s %7s %9s\n' MiB round kind "wall s" "MB/s" "peak KiB" \
    "bound s" ratio "/unsigned"
for mib in "${sizes[@]}"; do
    bytes=$((mib * 1024 * 1024))
    head -c "$bytes" /dev/urandom >"$work/data.bin"
    target="$work/board/data/image.bin"
    "$build/bench/make_bench_package" "$work/pkg.bin" "$work/data.bin" "$target" - 0
    gzip -1 -c "$work/pkg.bin" >"$work/pkg.bin.gz"
    sign_package "$work/key.pem" "$work/key.pub.pem" "$work/pkg.bin" "$work/signed.bin"
    gzip -1 -c "$work/signed.bin" >"$work/signed.bin.gz"
    "$build/bundle/fwbundle" encrypt --to "$work/key.pub.pem" -o "$work/sealed.bin" \
        "$work/pkg.bin" >/dev/null
    for round in $(seq "$rounds"); do
        for kind in plain plain-signed gzip gzip-signed encrypted; do
            rm -f "$target"           # every run allocates what it writes
            sync                      # no writeback of earlier runs in this one's time
            case $kind in
                plain) args=(-r "$work/pkg.bin") ;;
                plain-signed) args=(-r "$work/signed.bin" -k "$work/key.pub.pem") ;;
                gzip) args=(-x "$work/pkg.bin.gz") ;;
                gzip-signed) args=(-x "$work/signed.bin.gz" -k "$work/key.pub.pem") ;;
                encrypted) args=(-r "$work/sealed.bin") ;;
            esac
            # The same start for every row and its bound: the package in the page cache.
            cat "${args[1]}" >/dev/null
            measure "$build/frontend/fwdeploy" "${args[@]}" -t "$work"
            tool=$wall
            [[ $kind == *-signed || $kind == encrypted ]] || unsigned=$tool
            rm -f "$target"
            sync
            start=$(now)
            case $kind in
                plain|encrypted) cat "${args[1]}" >/dev/null ;;
                plain-signed) openssl dgst -sha256 "${args[1]}" >/dev/null ;;
                gzip*) gunzip -c "${args[1]}" >/dev/null; gunzip -c "${args[1]}" >/dev/null ;;
            esac
            dd if="$work/data.bin" of="$work/board/data/copy.bin" bs=1M conv=fsync status=none
            end=$(now)
            rm -f "$work/board/data/copy.bin"
            bound=$(elapsed "$start" "$end")
            mbs=$(calc "$bytes / $tool / 1000000")
            ratio=$(calc "$tool / $bound")
            printf '%-6s %-5s %-12s %9.2f %9.1f %10s %9.2f %7.2f %9.2f\n' "$mib" "$round" "$kind" \
                "$tool" "$mbs" "$rss" "$bound" "$ratio" "$(calc "$tool / $unsigned")"
        done
    done
done
echo
"$build/bench/byte_sum_bench" --benchmark_min_time=0.2 2>/dev/null | grep -E 'byte_sum|Benchmark'
echo
# The SHA-256 code paths of x86-64 OpenSSL, each forced off in turn; elsewhere
# the CPU's own choice only.
if [[ $(uname -m) == x86_64 ]]; then
    "$build/bench/digest_bench" shaext bearssl
    OPENSSL_ia32cap="~0x0:~0x20000000" "$build/bench/digest_bench" avx2
    OPENSSL_ia32cap="~0x0:~0x20000020" "$build/bench/digest_bench" avx
    OPENSSL_ia32cap="~0x1000000000000000:~0x20000020" "$build/bench/digest_bench" ssse3
    OPENSSL_ia32cap="~0x1000020000000000:~0x20000020" "$build/bench/digest_bench" x86_64
    # No carry-less multiply.
    OPENSSL_ia32cap="~0x1000020200000000:~0x20000020" "$build/bench/digest_bench" no-pclmul
else
    "$build/bench/digest_bench" "$(uname -m)" bearssl
fi
