#!/bin/sh
# Builds fwdeploy and fwbundle, packs the example package, lays out a sandbox
# board of plain files and applies the package to it, then shows what changed.
# Needs no root and no network: regular files stand for the board's partitions.
#
#   examples/demo.sh            build into ./build-demo, work in ./work-demo
#   BUILD_DIR=... WORK_DIR=... examples/demo.sh
set -eu

examples=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$examples")
build=${BUILD_DIR:-$root/build-demo}
work=${WORK_DIR:-$root/work-demo}

step() {
    printf '\n=== %s\n' "$*"
}

# Mode, size and first line of every file on the board.
show_board() {
    (cd "$work" && find board -type f | LC_ALL=C sort | while read -r f; do
        first=$(head -c 200 "$f" | head -n 1 | tr -d '\n' | tr -c '[:print:]' '.' | cut -c1-44)
        printf '  %s %6s  %-28s %s\n' "$(stat -c %A "$f")" "$(stat -c %s "$f")" "$f" "$first"
    done)
}

bash "$root/scripts/deps.sh"        # compilers and libraries, on a fresh machine
step "building fwdeploy and fwbundle in $build"
cmake -S "$root" -B "$build" -DFWDEPLOY_TESTS=OFF >/dev/null
cmake --build "$build" --target fwdeploy fwbundle -j2 >/dev/null
fwdeploy=$build/frontend/fwdeploy
fwbundle=$build/bundle/fwbundle

rm -rf "$work"
mkdir -p "$work"
step "packing examples/manifest.toml"
"$fwbundle" create --gzip -o "$work/update.bin.gz" "$examples/manifest.toml"
"$fwbundle" list "$work/update.bin.gz"
"$fwbundle" verify "$work/update.bin.gz"

# The package names its targets relative to the folder fwdeploy runs in, so
# the board below stands in for / on a real device.
step "laying out the sandbox board in $work/board"
cd "$work"
mkdir -p board/dev board/data/etc board/data/tmp
dd if=/dev/zero of=board/dev/mmcblk0p1 bs=1024 count=64 2>/dev/null    # an eMMC partition
dd if=/dev/zero of=board/dev/mtdblock2 bs=1024 count=64 2>/dev/null    # an MTD block partition
: > board/dev/ubi0_1                                                    # a UBI volume
echo "Welcome to the demo board, firmware 1.0." > board/data/etc/motd
cp "$examples/files/app-1.0.conf" board/data/etc/app.conf
echo "debug output of firmware 1.0" > board/data/tmp/debug.log
show_board

step "fwdeploy -x update.bin.gz"
status=0
"$fwdeploy" -x update.bin.gz || status=$?
echo "fwdeploy exit status: $status"

step "the board afterwards"
show_board
printf '\nOTA_STATUS seen by the end script: %s\n' "$(cat board/data/ota-status)"
echo "board/data/etc/app.conf, patched from 1.0:"
sed 's/^/  | /' board/data/etc/app.conf
echo "board/dev/mmcblk0p1 after the image: $(od -An -tx1 -j 206 -N 4 board/dev/mmcblk0p1)" \
     "(the prepared erase_size of 4096 bytes is 0xFF)"
exit "$status"
