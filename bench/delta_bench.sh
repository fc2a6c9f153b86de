#!/usr/bin/env bash
# A delta between two large trees of real files: OLD is a copy of a directory of
# shared libraries (the machine's multiarch library directory by default), NEW
# is OLD with files changed, replaced, added and removed, modes and links
# changed. Prints the number of files, the package's size against NEW's size
# and against a gzip tarball of NEW, the time fwbundle delta takes and the time
# fwdeploy takes to apply it to a copy of OLD, and checks that the copy then
# matches NEW entry by entry (type, mode, owner, size, contents, link target).
#   usage: bench/delta_bench.sh [SOURCE_DIR]   (run as root: owners are kept)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-bench}
source_dir=${1:-/usr/lib/$(gcc -print-multiarch)}

# The run lock lives in the build folder: /run is for root, and this needs none.
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFWDEPLOY_TESTS=OFF \
    -DFWDEPLOY_LOCK_FILE="$build/fwdeploy.lock" >/dev/null
make -C "$build" -j2 fwdeploy fwbundle >/dev/null
fwbundle=$build/bundle/fwbundle
fwdeploy=$build/frontend/fwdeploy

work=$(mktemp -d "${TMPDIR:-/tmp}/fwdeploy-delta-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
seconds() { awk "BEGIN { printf \"%.2f\", $2 - $1 }"; }

cp -a "$source_dir" "$work/old"
cp -a "$work/old" "$work/new"
cd "$work/new"

# Regular files of 16 KiB to 1 MiB, in a fixed order, to pick changes from.
mapfile -t files < <(find . -type f -size +16k -size -1024k | LC_ALL=C sort)
(( ${#files[@]} >= 200 )) || { echo "too few files in $source_dir" >&2; exit 1; }
pick() { echo "${files[$(( ($1 * 7919) % ${#files[@]} ))]}"; }

for i in $(seq 1 40); do                     # a new build of the same library
    f=$(pick "$i")
    size=$(stat -c %s "$f")
    for at in 1000 $((size / 3)) $((size / 2)); do
        printf '\x5a\x5a\x5a\x5a' | dd of="$f" bs=1 seek="$at" conv=notrunc status=none
    done
    head -c 300 /dev/urandom >> "$f"
done
for i in $(seq 41 45); do                    # nothing in common with before
    f=$(pick "$i")
    head -c "$(stat -c %s "$f")" /dev/urandom > "$f"
done
for i in $(seq 46 65); do rm -f "$(pick "$i")"; done
mkdir -p plugins/new/a plugins/new/b
for tool in gzip bsdiff bspatch true false echo cat env head tail; do
    cp "$(type -P "$tool")" "plugins/new/a/$tool"
done
for i in $(seq 66 75); do f=$(pick "$i"); [ -f "$f" ] && chmod 0700 "$f"; done
mapfile -t links < <(find . -type l | LC_ALL=C sort | head -n 10)
for l in "${links[@]:0:5}"; do ln -sfn "retargeted-$(basename "$l")" "$l"; done
for i in 1 2 3 4 5; do ln -s "../$(pick "$i")" "plugins/new/b/link-$i"; done
ln plugins/new/a/gzip plugins/new/a/gunzip-link
cd "$work"

count=$(find new | wc -l)
# Each file once, however many names it has, as fwbundle counts it.
new_bytes=$(find new -type f -printf '%i %s\n' | sort -u -k1,1 | awk '{ s += $2 } END { print s }')
tar czf new.tar.gz -C new .
tarball=$(stat -c %s new.tar.gz)

for kind in plain gzip; do
    pkg=$work/delta-$kind.bin
    flag=(); [ $kind = gzip ] && flag=(--gzip)
    start=$(now)
    "$fwbundle" delta "${flag[@]}" old new -o "$pkg" --prefix "$work/board" >"$work/summary" </dev/null
    built=$(seconds "$start" "$(now)")
    size=$(stat -c %s "$pkg")
    rm -rf board && cp -a old board
    start=$(now)
    (cd "$work" && "$fwdeploy" $([ $kind = gzip ] && echo -x || echo -r) "$pkg" -t "$work" >"$work/apply.log")
    applied=$(seconds "$start" "$(now)")
    grep -q 'OTA UPDATA STATUS: 0' "$work/apply.log" || { echo "apply failed" >&2; tail "$work/apply.log" >&2; exit 1; }
    listing() { (cd "$1" && find . -printf '%y %m %U:%G %s %l %p\n' | LC_ALL=C sort); }
    diff <(listing new) <(listing board) >/dev/null && diff -r --no-dereference new board >/dev/null ||
        { echo "the board does not match NEW" >&2; exit 1; }
    echo "== $kind package"
    sed 's|^[^:]*: ||' "$work/summary"
    awk -v p="$size" -v n="$new_bytes" -v t="$tarball" -v c="$count" -v b="$built" -v a="$applied" 'BEGIN {
        printf "entries in NEW: %d, %.1f MiB in its files, tar.gz of NEW %.1f MiB\n", c, n / 1048576, t / 1048576
        printf "package %d bytes: %.2f%% of NEW, %.2f%% of its tar.gz\n", p, 100 * p / n, 100 * p / t
        printf "delta built in %s s, applied in %s s; the board matches NEW\n", b, a }'
done
