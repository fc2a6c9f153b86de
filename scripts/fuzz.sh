#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one.
#   scripts/fuzz.sh [SECONDS]          run each target for SECONDS (default 60)
#   FUZZ_RUNS=N scripts/fuzz.sh        run each target for N executions instead
# New findings are left as crash-* files in the build directory and fail the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-fuzz}
seconds=${1:-60}

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFWDEPLOY_FUZZ=ON -DFWDEPLOY_WERROR=ON -DFWDEPLOY_TESTS=OFF -DFWDEPLOY_BUNDLE_TOOL=OFF >/dev/null
make -C "$build" -j2 package_fuzz fault_fuzz trust_fuzz envelope_fuzz make_fuzz_seeds >/dev/null

corpus=$build/corpus
mkdir -p "$corpus/package" "$corpus/fault" "$corpus/trust" "$corpus/envelope"
"$build/fuzz/make_fuzz_seeds" "$corpus/package" "$corpus/fault" "$corpus/trust"
# Envelopes sealed for the fuzz board's key (fuzz/envelope_fuzz.cc), by the
# independent Python check, so that the fuzzer starts from headers and chunks
# that open; without Python's cryptography it starts from a bare header.
board_public=$corpus/envelope-board.pub.pem
printf '%s\n' '-----BEGIN PUBLIC KEY-----' \
    'MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEt6KIqG/vgMUlbYXVfkc2ej+j2313' \
    'XVplhAY03+rPjDThHiBTADLPYI07fKabz/zYq+l2s8LfB0qbIfSRtYhnFA==' \
    '-----END PUBLIC KEY-----' >"$board_public"
for seed in $(ls "$corpus"/package/* | head -n 24); do
    [ -f "$seed" ] || continue
    /usr/bin/python3 "$top/tests/support/envelope_check.py" seal \
        "$corpus/envelope/$(basename "$seed")" "$seed" "$board_public" 2>/dev/null || break
done
printf 'FWCRYPT1\x89\x00\x00\x00\x01\x00\x00\x00\x00\x00\x01\x00\x01\x00\x00\x00' \
    >"$corpus/envelope/bare-header"

limit=(-max_total_time="$seconds")
[ -n "${FUZZ_RUNS:-}" ] && limit=(-runs="$FUZZ_RUNS")
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in package fault trust envelope; do
    echo "== ${target}_fuzz"
    (cd "$build" && "./fuzz/${target}_fuzz" "${limit[@]}" -print_final_stats=1 \
        "$corpus/$target" 2>&1 | grep -E '^(stat::number_of_executed_units|stat::peak_rss|#[0-9]+ +DONE|==[0-9]+==|invariant|SUMMARY|Done)' || true)
    # Any one kind of finding fails the run (ls of all three fails unless
    # every kind is there).
    findings=$(find "$build" -maxdepth 1 \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \) -print)
    if [[ -n $findings ]]; then
        echo "findings:"; echo "$findings"
        exit 1
    fi
done
