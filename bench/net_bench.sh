#!/usr/bin/env bash
# Applies a large package (one file block of incompressible data) read from a
# web server: nginx with examples/nginx.conf on 127.0.0.1, in a network
# namespace of this script's own, and `fwdeploy -r URL` writing a file on the
# file system of the temporary folder. Prints, for each round, fwdeploy's wall
# time against an honest lower bound measured right after it in the same
# round, the two downloads its two passes need (`curl -o /dev/null`, twice)
# and the write of the data with fsync (`dd conv=fsync`), their ratio; then
# the same bound with each download piped through `cat`, as the tool reads
# its client's output through a pipe (on a machine of two cores the pipe alone
# costs about as much again as the download), and the ratio to it; and peak
# memory: fwdeploy's own (its VmHWM, read while it runs) and /usr/bin/time's
# figure, which is that of the largest among fwdeploy and the children it
# waited for (curl). The last row is the median of the rounds.
#   usage: bench/net_bench.sh [SIZE_MIB]   (default 256; ROUNDS=3; as root)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-bench}
rounds=${ROUNDS:-3}
mib=${1:-256}
port=8080                         # where examples/nginx.conf listens

if [[ ${FWDEPLOY_NET_BENCH:-} != inside ]]; then
    if [[ $EUID -ne 0 ]]; then
        echo "bench/net_bench.sh makes a network namespace: run it as root" >&2
        exit 1
    fi
    # nginx, curl and the rest, without starting the machine's own nginx;
    # and /usr/bin/time for the peak memory of fwdeploy with its clients.
    bash "$top/scripts/deps.sh"
    if [[ ! -x /usr/bin/time ]]; then
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends time
    fi
    # The run lock lives in the build folder, as for bench/apply_bench.sh.
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFWDEPLOY_TESTS=OFF \
        -DFWDEPLOY_LOCK_FILE="$build/fwdeploy.lock" >/dev/null
    cmake --build "$build" -j2 --target fwdeploy make_bench_package >/dev/null
    # The server is reachable from the namespace alone, over its loopback.
    exec env FWDEPLOY_NET_BENCH=inside BUILD_DIR="$build" \
        unshare --net -- bash "$top/bench/net_bench.sh" "$@"
fi

ip link set lo up
# nginx's workers run as nobody: the folder must be readable to them.
work=$(mktemp -d "${TMPDIR:-/tmp}/fwdeploy-net-bench.XXXXXX")
chmod 755 "$work"
mkdir -p "$work/srv/packages" "$work/board/data"
nginx_pid=
finish() {
    if [[ -n $nginx_pid ]]; then
        kill -TERM "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap finish EXIT

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
elapsed() { calc "$2 - $1"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

bytes=$((mib * 1024 * 1024))
head -c "$bytes" /dev/urandom >"$work/data.bin"
target=$work/board/data/image.bin
"$build/bench/make_bench_package" "$work/srv/packages/pkg.bin" "$work/data.bin" "$target" - 0
package_bytes=$(stat -c %s "$work/srv/packages/pkg.bin")
url=http://127.0.0.1:$port/pkg.bin

nginx -p "$work/srv/" -c "$top/examples/nginx.conf" -e "$work/srv/error.log" -g 'daemon off;' &
nginx_pid=$!
for _ in $(seq 50); do              # until it listens: 5 s at most
    curl -s -o /dev/null -I "$url" && break
    sleep 0.1
done

# A pipe no one writes: `read -t` on it is a pause without a process.
mkfifo "$work/never"
exec {never}<>"$work/never"

# Wall seconds, /usr/bin/time's peak RSS (KiB) and fwdeploy's own VmHWM (KiB,
# its last reading before it ended) of one run; its output kept for a look.
measure_fwdeploy() {
    local start end pid hwm=0 key value rest
    start=$(now)
    /usr/bin/time -f "%M" -o "$work/rss" "$build/frontend/fwdeploy" "$@" >"$work/stdout" \
        2>"$work/stderr" &
    local timer=$!
    pid=
    while [[ -z $pid ]] && kill -0 "$timer" 2>/dev/null; do
        pid=$(pgrep -P "$timer" -x fwdeploy || true)
    done
    while [[ -n $pid ]] && [[ -r /proc/$pid/status ]]; do
        while read -r key value rest; do
            [[ $key == VmHWM: ]] && hwm=$value
        done <"/proc/$pid/status" 2>/dev/null || true
        read -r -t 0.05 -u "$never" || true
    done
    wait "$timer" || { cat "$work/stderr" >&2; return 1; }
    end=$(now)
    wall=$(elapsed "$start" "$end")
    rss=$(tail -n 1 "$work/rss")
    own=$hwm
}

echo "package: $package_bytes bytes (one file block of $mib MiB), $url"
printf '%-5s %9s %9s %9s %8s %9s %8s %11s %10s %11s\n' round "wall s" "MB/s" "bound s" ratio \
    "piped s" ratio "own KiB" "time KiB" "fetched"
walls=() bounds=() ratios=() pipeds=() pratios=() owns=() rsss=()
for round in $(seq "$rounds"); do
    rm -f "$target"                   # every run allocates what it writes
    sync                              # no writeback of earlier runs in this one's time
    cat "$work/srv/packages/pkg.bin" >/dev/null   # the server reads from the page cache
    measure_fwdeploy -r "$url" -t "$work"
    fetched=$(sed -n 's/^Fetched \([0-9]*\) bytes.*/\1/p' "$work/stdout")
    tool=$wall
    rm -f "$target"
    sync
    start=$(now)
    curl -sS -o /dev/null "$url"
    curl -sS -o /dev/null "$url"
    dd if="$work/data.bin" of="$work/board/data/copy.bin" bs=1M conv=fsync status=none
    end=$(now)
    rm -f "$work/board/data/copy.bin"
    bound=$(elapsed "$start" "$end")
    ratio=$(calc "$tool / $bound")
    sync
    start=$(now)
    curl -sS "$url" | cat >/dev/null
    curl -sS "$url" | cat >/dev/null
    dd if="$work/data.bin" of="$work/board/data/copy.bin" bs=1M conv=fsync status=none
    end=$(now)
    rm -f "$work/board/data/copy.bin"
    piped=$(elapsed "$start" "$end")
    pratio=$(calc "$tool / $piped")
    printf '%-5s %9.2f %9.1f %9.2f %8.2f %9.2f %8.2f %11s %10s %11s\n' "$round" "$tool" \
        "$(calc "$bytes / $tool / 1000000")" "$bound" "$ratio" "$piped" "$pratio" "$own" "$rss" \
        "$fetched"
    walls+=("$tool") bounds+=("$bound") ratios+=("$ratio") pipeds+=("$piped") pratios+=("$pratio")
    owns+=("$own") rsss+=("$rss")
done
tool=$(median "${walls[@]}")
printf '%-5s %9.2f %9.1f %9.2f %8.2f %9.2f %8.2f %11s %10s\n' median "$tool" \
    "$(calc "$bytes / $tool / 1000000")" "$(median "${bounds[@]}")" "$(median "${ratios[@]}")" \
    "$(median "${pipeds[@]}")" "$(median "${pratios[@]}")" "$(median "${owns[@]}")" \
    "$(median "${rsss[@]}")"
