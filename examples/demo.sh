#!/bin/sh
# Builds fwdeploy and fwbundle, makes a signing key, packs and signs the example
# package, lays out a sandbox board of plain files that trusts that key and
# applies the package to it, then shows what changed and that a tampered copy
# is refused. Needs no root and no network: regular files stand for the board's
# partitions.
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
# The run lock lives in the build folder: /run is for root, and this needs none.
cmake -S "$root" -B "$build" -DFWDEPLOY_TESTS=OFF -DFWDEPLOY_LOCK_FILE="$build/fwdeploy.lock" \
    >/dev/null
cmake --build "$build" --target fwdeploy fwbundle -j2 >/dev/null
fwdeploy=$build/frontend/fwdeploy
fwbundle=$build/bundle/fwbundle

rm -rf "$work"
mkdir -p "$work"
step "making the release key (the board gets only its public half)"
"$fwbundle" keygen "$work/release"
step "packing and signing examples/manifest.toml"
"$fwbundle" create --sign "$work/release.pem" --gzip -o "$work/update.bin.gz" \
    "$examples/manifest.toml"
"$fwbundle" list "$work/update.bin.gz"
"$fwbundle" verify --keys "$work/release.pub.pem" "$work/update.bin.gz"

# The package names its targets relative to the folder fwdeploy runs in, so
# the board below stands in for / on a real device.
step "laying out the sandbox board in $work/board"
cd "$work"
mkdir -p board/dev board/data/etc board/data/tmp board/etc/fwdeploy
cp release.pub.pem board/etc/fwdeploy/trusted-keys.pem                  # what the board trusts
dd if=/dev/zero of=board/dev/mmcblk0p1 bs=1024 count=64 2>/dev/null    # an eMMC partition
dd if=/dev/zero of=board/dev/mtdblock2 bs=1024 count=64 2>/dev/null    # an MTD block partition
: > board/dev/ubi0_1                                                    # a UBI volume
echo "Welcome to the demo board, firmware 1.0." > board/data/etc/motd
cp "$examples/files/app-1.0.conf" board/data/etc/app.conf
echo "debug output of firmware 1.0" > board/data/tmp/debug.log
show_board

step "a tampered copy: a reserved byte of block 0's header changed, which no checksum covers"
gunzip -c update.bin.gz > tampered.bin
block0=$("$fwbundle" list tampered.bin | awk '$1 == "0" { print $2 }')
printf 'X' | dd of=tampered.bin bs=1 seek=$((block0 + 284)) conv=notrunc 2>/dev/null
tampered=0
"$fwdeploy" -r tampered.bin -k board/etc/fwdeploy/trusted-keys.pem || tampered=$?
echo "fwdeploy exit status: $tampered (refused before anything ran; the board is unchanged)"

step "fwdeploy -x update.bin.gz -k board/etc/fwdeploy/trusted-keys.pem"
status=0
"$fwdeploy" -x update.bin.gz -k board/etc/fwdeploy/trusted-keys.pem || status=$?
echo "fwdeploy exit status: $status"

step "the board afterwards"
show_board
printf '\nOTA_STATUS seen by the end script: %s\n' "$(cat board/data/ota-status)"
echo "board/data/etc/app.conf, patched from 1.0:"
sed 's/^/  | /' board/data/etc/app.conf
echo "board/dev/mmcblk0p1 after the image: $(od -An -tx1 -j 206 -N 4 board/dev/mmcblk0p1)" \
     "(the prepared erase_size of 4096 bytes is 0xFF)"
exit "$status"
