#!/usr/bin/env bash
# The board's cost, counted instruction by instruction: the armhf fwdeploy,
# static and unstripped, applies plain, signed, gzip and encrypted (a plain
# package sealed in an envelope for the board's key) packages of two sizes
# under qemu-arm for each CPU model, QEMU logs every translated block and every
# execution of one (-d in_asm,exec,nochain), and bench/arm_cost_count.py weighs
# the executions by the blocks' sizes: an exact count, the same as QEMU's
# one-instruction-per-block mode gives. Instructions per byte of package are
# the slope between the two sizes, both passes, so that start-up cancels; split
# by the symbols of the binary (the envelope's cipher, MACs, SHA-256, byte
# sums, copies, the rest) and
# the children (gunzip: an armhf busybox's, since the host's is no ARM program).
# No time is measured: the figures are the same on any machine.
#
#   usage: bench/arm_cost.sh [SMALL LARGE]   (data sizes; default: 1M 2M, K for KiB)
#   CPUS="cortex-a7 max"  KINDS="plain signed gzip encrypted"  JOBS=2
#   IPC=0.7 MHZ=1000      the assumptions of the seconds estimate
#   CHECK=1               also count a short run in one-instruction-per-block
#                         mode and require the same total
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# Data bytes of a size such as 2M or 256K.
bytes_in() {
    case $1 in
        *[Mm]) echo $((${1%?} * 1048576)) ;;
        *[Kk]) echo $((${1%?} * 1024)) ;;
        *) echo "$1" ;;
    esac
}
small=${1:-1M}
large=${2:-2M}
cpus=(${CPUS:-cortex-a7 max})
kinds=(${KINDS:-plain signed gzip encrypted})
jobs=${JOBS:-2}
ipc=${IPC:-0.7}
mhz=${MHZ:-1000}
arm_build=${ARM_BUILD_DIR:-$top/build-armhf-cost}
host_build=${HOST_BUILD_DIR:-$top/build-bench}
(($(bytes_in "$small") < $(bytes_in "$large"))) || { echo "the first size must be the smaller" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/fwdeploy-arm-cost.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "building the armhf fwdeploy (static, unstripped) and the host packaging tool" >&2
cmake -S "$top" -B "$arm_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf-toolchain.cmake" -DFWDEPLOY_STATIC=ON \
    -DFWDEPLOY_TESTS=OFF -DFWDEPLOY_BUNDLE_TOOL=OFF \
    -DFWDEPLOY_LOCK_FILE=fwdeploy.lock -DFWDEPLOY_DECRYPTION_KEY=decryption-key.pem >/dev/null
cmake --build "$arm_build" -j "$jobs" --target fwdeploy >/dev/null
cmake -S "$top" -B "$host_build" -DCMAKE_BUILD_TYPE=Release -DFWDEPLOY_TESTS=OFF \
    -DFWDEPLOY_LOCK_FILE="$host_build/fwdeploy.lock" >/dev/null
cmake --build "$host_build" -j "$jobs" --target make_bench_package fwbundle >/dev/null
fwdeploy=$arm_build/frontend/fwdeploy

# An armhf gunzip for -x: busybox-static's, downloaded once (not installed).
gunzip_dir=$arm_build/armhf-gunzip
if [[ ! -x $gunzip_dir/bin/gunzip ]]; then
    mkdir -p "$gunzip_dir/deb"
    (cd "$gunzip_dir/deb" && apt-get download -q busybox-static:armhf 2>&1 |
        grep -v '^W: Download is performed unsandboxed' || true)
    if compgen -G "$gunzip_dir/deb/busybox-static_*_armhf.deb" >/dev/null; then
        dpkg-deb -x "$(compgen -G "$gunzip_dir/deb/busybox-static_*_armhf.deb" | head -n 1)" \
            "$gunzip_dir/root"
        mkdir -p "$gunzip_dir/bin"
        ln -sf ../root/bin/busybox "$gunzip_dir/bin/gunzip"
    fi
fi
if [[ -x $gunzip_dir/bin/gunzip ]]; then
    children="busybox gunzip (armhf)"
else
    children="not counted: no armhf busybox could be had, the host's gunzip ran"
    mkdir -p "$gunzip_dir/bin"
fi

# Firmware-like data that compresses as firmware does: ARM code and its tables.
data_source=/usr/lib/arm-linux-gnueabihf/libcrypto.a
[[ -r $data_source ]] || data_source=$fwdeploy
openssl ecparam -name prime256v1 -genkey -noout -out "$work/key.pem" 2>/dev/null
openssl pkey -in "$work/key.pem" -pubout -out "$work/key.pub.pem"
# shellcheck source=bench/sign_package.sh
. "$top/bench/sign_package.sh"
for mib in "$small" "$large"; do
    data=$work/data-$mib.bin
    : >"$data"
    while (($(stat -c %s "$data") < $(bytes_in "$mib"))); do cat "$data_source" >>"$data"; done
    truncate -s "$(bytes_in "$mib")" "$data"
done

# A run's package, writing into the run's own folder: runs side by side
# never share a target, and each writes a new file.
make_package() {
    local kind=$1 mib=$2 dir=$3
    "$host_build/bench/make_bench_package" "$dir/plain.bin" "$work/data-$mib.bin" \
        "$dir/image.bin" - 0
    case $kind in
        signed) sign_package "$work/key.pem" "$work/key.pub.pem" "$dir/plain.bin" "$dir/signed.bin" ;;
        gzip) gzip -6 -c "$dir/plain.bin" >"$dir/gzip.bin.gz" ;;
        encrypted) "$host_build/bundle/fwbundle" encrypt --to "$work/key.pub.pem" \
                       -o "$dir/sealed.bin" "$dir/plain.bin" >/dev/null ;;
    esac
}

# One run, counted: "group count" lines into RESULT.
count_run() {
    local cpu=$1 kind=$2 mib=$3 result=$4
    local dir=$work/run-$cpu-$kind-$mib args pid status=0
    mkdir -p "$dir"
    make_package "$kind" "$mib" "$dir"
    # Names as short as the command line wants them (under 64 characters).
    cp "$work/key.pub.pem" "$dir/key.pem"
    install -m 0600 "$work/key.pem" "$dir/decryption-key.pem"
    case $kind in
        plain) args=(-r plain.bin) ;;
        signed) args=(-r signed.bin -k key.pem) ;;
        gzip) args=(-x gzip.bin.gz) ;;
        encrypted) args=(-r sealed.bin) ;;
    esac
    # Through binfmt, so that QEMU's settings reach the armhf children too;
    # every process logs to a file named by its pid. The run lock is relative:
    # each run takes its own, in its own folder.
    cd "$dir"
    env QEMU_CPU="$cpu" QEMU_LOG=in_asm,exec,nochain QEMU_LOG_FILENAME="$dir/log.%d" \
        PATH="$gunzip_dir/bin:$PATH" "$fwdeploy" "${args[@]}" -t . >"$dir/out" 2>&1 &
    pid=$!
    wait "$pid" || status=$?
    if ((status != 0)) || ! grep -q '^######Write' "$dir/out"; then
        echo "fwdeploy ${args[*]} on $cpu failed (status $status):" >&2
        tail -n 20 "$dir/out" >&2
        return 1
    fi
    local logs=("$dir/log.$pid")
    local log
    for log in "$dir"/log.*; do
        [[ $log == "$dir/log.$pid" ]] || logs+=("$log")
    done
    python3 "$top/bench/arm_cost_count.py" "${logs[@]}" >"$result"
    rm -rf "$dir"
}

if [[ ${CHECK:-0} == 1 ]]; then
    # The weighting against QEMU's own one-instruction blocks, on a small
    # package: the two counts must agree to the instruction.
    mkdir -p "$work/check"
    head -c 65536 "$data_source" >"$work/data-check.bin"
    make_package plain check "$work/check"
    for mode in blocks single; do
        rm -f "$work/check/image.bin" "$work/check/fwdeploy.lock"   # each run as the first
        flags=(-d in_asm,exec,nochain)
        [[ $mode == blocks ]] || flags=(-singlestep -d exec,nochain)
        (cd "$work/check" && QEMU_CPU=cortex-a7 qemu-arm-static "${flags[@]}" -D "$mode.log" \
            "$fwdeploy" -r plain.bin -t . >/dev/null 2>&1) || { echo "check run failed" >&2; exit 1; }
    done
    weighted=$(python3 "$top/bench/arm_cost_count.py" "$work/check/blocks.log" |
        awk '{ s += $2 } END { print s }')
    single=$(grep -c '^Trace' "$work/check/single.log")
    echo "check: $weighted instructions weighted by block, $single one by one" >&2
    [[ $weighted == "$single" ]] || { echo "FAIL: the counts differ" >&2; exit 1; }
    rm -rf "$work/check"
fi

echo "counting $(( ${#cpus[@]} * ${#kinds[@]} * 2 )) runs under qemu-arm, $jobs at a time" >&2
running=0
failed=0
for cpu in "${cpus[@]}"; do
    for kind in "${kinds[@]}"; do
        for mib in "$small" "$large"; do
            count_run "$cpu" "$kind" "$mib" "$work/result-$cpu-$kind-$mib" &
            if ((++running >= jobs)); then
                wait -n || failed=1
                ((running--))
            fi
        done
    done
done
while ((running > 0)); do
    wait -n || failed=1
    ((running--))
done
((failed == 0)) || exit 1

# Both packages are the data and the same few hundred bytes more.
delta=$(($(bytes_in "$large") - $(bytes_in "$small")))
groups=(cipher mac sha256 byte_sums copies rest children)
declare -A label=([cipher]="ChaCha20" [mac]="Poly1305" [sha256]="SHA-256" [byte_sums]="byte sums"
                  [copies]="copies (memcpy)" [rest]="the rest" [children]="children (gunzip)")

printf '\nInstructions per byte of package (slope from %s to %s of data, both passes)\n\n' "$small" "$large"
printf '| %-18s |' ""
for cpu in "${cpus[@]}"; do for kind in "${kinds[@]}"; do printf ' %12s |' "$kind, $cpu"; done; done
printf '\n|%s|' "$(printf -- '-%.0s' $(seq 20))"
for cpu in "${cpus[@]}"; do for kind in "${kinds[@]}"; do printf '%s:|' "$(printf -- '-%.0s' $(seq 13))"; done; done
echo
declare -A total
for group in "${groups[@]}" total; do
    if [[ $group == total ]]; then printf '| %-18s |' "**total**"; else printf '| %-18s |' "${label[$group]}"; fi
    for cpu in "${cpus[@]}"; do
        for kind in "${kinds[@]}"; do
            if [[ $group == total ]]; then
                printf ' %12s |' "**${total[$cpu-$kind]}**"
                continue
            fi
            a=$(awk -v g="$group" '$1 == g { print $2 }' "$work/result-$cpu-$kind-$small")
            b=$(awk -v g="$group" '$1 == g { print $2 }' "$work/result-$cpu-$kind-$large")
            per=$(awk -v a="$a" -v b="$b" -v d="$delta" 'BEGIN { printf "%.2f", (b - a) / d }')
            total[$cpu-$kind]=$(awk -v t="${total[$cpu-$kind]:-0}" -v p="$per" 'BEGIN { printf "%.2f", t + p }')
            printf ' %12s |' "$per"
        done
    done
    echo
done

printf '\nSeconds of CPU for a 256 MiB package on a %s MHz Cortex-A7 (both passes):\n' "$mhz"
for kind in "${kinds[@]}"; do
    [[ -n ${total[cortex-a7-$kind]:-} ]] || continue
    awk -v k="$kind" -v t="${total[cortex-a7-$kind]}" -v ipc="$ipc" -v mhz="$mhz" \
        'BEGIN { printf "  %-7s %6.2f s  (%s instructions per byte)\n", k, t * 268435456 / (ipc * mhz * 1e6), t }'
done
cat <<EOF
Assumptions: instructions as counted here for QEMU's cortex-a7 model (NEON,
no crypto extensions), executed at $ipc instructions per cycle (IPC=; an
in-order core that pairs some instructions and stalls on others) at $mhz MHz
(MHZ=); no time for the storage, the kernel's copies or page-cache misses.
Children: $children; gzip -6 of firmware-like data.
EOF
