#!/usr/bin/env bash
# Boots an emulated 32-bit ARM board (QEMU's virt machine) through Debian's
# U-Boot, Debian's armmp kernel and a busybox initramfs holding the armhf
# fwdeploy, and runs the A/B update scenarios on it. Each scenario starts from
# a fresh disk; every boot tells on the serial console what it saw, and the
# run fails on any difference from the expected lines.
#
#   bash scripts/board-test.sh              every scenario
#   bash scripts/board-test.sh update       only the named ones (see the list below)
#   FWDEPLOY_ARMHF=... FWBUNDLE=... bash scripts/board-test.sh
#                                           with those binaries instead of building
#
# Scenarios:
#   bootscript  the boot script alone, one copy of the state: a switch made by
#               hand with fw_setenv, attempts counted down, the fallback, no
#               attempts left anywhere, a state file with a bad CRC
#   copies      two copies of the state: the newer one wins, also where its
#               flag has wrapped; the newer one damaged, the other one's state
#               boots; both damaged, the defaults
#   update      booted from A, a package writes @rootfs; the board reboots into
#               B, which confirms with fwdeploy -g, and the next boot stays on B
#   fallback    B never confirms: once its attempts are used up A boots again
#   killed      the machine dies during the apply pass: A boots, B out of the order
#   refused     a package naming the booted slot's device is warned about, one
#               whose @ target is mounted is refused
#   second      after an update, before its reboot, a second one dies while it
#               writes B again: A boots, and B is out of the order with 0 left
#
# Work files and the downloaded Debian packages (kept for reruns) go to
# build-board/ (BOARD_DIR overrides). Needs Debian 12; missing packages are
# installed first (as root, or through sudo).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${BOARD_DIR:-$root/build-board}
all_scenarios=(bootscript copies update fallback killed refused second)
# One boot takes 6-11 s here; a boot that has not ended by this many seconds hangs.
readonly boot_timeout=90

scenarios=("$@")
((${#scenarios[@]})) || scenarios=("${all_scenarios[@]}")
for s in "${scenarios[@]}"; do
    [[ " ${all_scenarios[*]} " == *" $s "* ]] || { echo "unknown scenario: $s" >&2; exit 2; }
done

step() {
    printf '=== %s\n' "$*"
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# ---------------------------------------------------------------- the parts

bash "$root/scripts/deps.sh" board

as_root() {
    if [[ $EUID -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

# apt-get download as root warns that its sandbox user cannot write here.
download() {
    (cd "$work/debs" && apt-get download -q "$1:armhf" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
    compgen -G "$work/debs/${1}_*_armhf.deb" >/dev/null
}

# The Debian packages of the board, for armhf, downloaded once into the work
# directory and unpacked there: nothing of them is installed on the host.
fetch_board_packages() {
    local kernel
    # The meta package names the current kernel package.
    kernel=$(apt-cache depends linux-image-armmp:armhf | sed -n 's/^ *Depends: \(linux-image-[^ ]*-armmp\).*/\1/p' | head -n 1)
    [[ -n $kernel ]] || fail "no armhf armmp kernel package known to apt (apt-get update?)"
    mkdir -p "$work/debs"
    local pkg
    for pkg in "$kernel" busybox-static libubootenv-tool libubootenv0.1 zlib1g; do
        if ! compgen -G "$work/debs/${pkg}_*_armhf.deb" >/dev/null; then
            # Package lists older than the archive name versions it no longer
            # has: one update, then the second try.
            download "$pkg" || { as_root apt-get update -q >/dev/null; download "$pkg"; } \
                || fail "could not download $pkg:armhf"
        fi
    done
    rm -rf "$work/unpacked"
    mkdir -p "$work/unpacked"
    local deb
    for pkg in "$kernel" busybox-static libubootenv-tool libubootenv0.1 zlib1g; do
        for deb in "$work/debs/${pkg}"_*_armhf.deb; do
            dpkg-deb -x "$deb" "$work/unpacked"
        done
    done
}

# The armhf fwdeploy for the board, the host fwbundle for the packages: built
# when missing, brought up to date otherwise; FWDEPLOY_ARMHF and FWBUNDLE name
# ready ones instead.
build_tools() {
    if [[ -n ${FWDEPLOY_ARMHF:-} && -n ${FWBUNDLE:-} ]]; then
        fwdeploy=$FWDEPLOY_ARMHF
        fwbundle=$FWBUNDLE
        return
    fi
    if [[ ! -f $root/build-armhf/CMakeCache.txt ]]; then
        cmake -S "$root" -B "$root/build-armhf" -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
            -DFWDEPLOY_TESTS=OFF -DFWDEPLOY_BUNDLE_TOOL=OFF >/dev/null
    fi
    cmake --build "$root/build-armhf" -j 2 --target fwdeploy >/dev/null
    if [[ ! -f $root/build/CMakeCache.txt ]]; then
        cmake -S "$root" -B "$root/build" -DFWDEPLOY_TESTS=OFF >/dev/null
    fi
    cmake --build "$root/build" -j 2 --target fwbundle >/dev/null
    fwdeploy=$root/build-armhf/frontend/fwdeploy
    fwbundle=$root/build/bundle/fwbundle
}

# The initramfs is the board's whole userland: busybox, the init script, the
# kernel modules for the virtio disk and FAT, fwdeploy, and fw_printenv /
# fw_setenv with the libraries they need.
make_initramfs() {
    local u=$work/unpacked ir=$work/initramfs kver
    kver=$(ls "$u/lib/modules")
    rm -rf "$ir"
    mkdir -p "$ir"/{bin,etc/fwdeploy,lib/modules,lib/arm-linux-gnueabihf,usr/bin,run,tmp}
    cp "$u/bin/busybox" "$ir/bin/busybox"
    ln -s busybox "$ir/bin/sh"
    install -m 0755 "$root/tests/board/init" "$ir/init"
    local m
    for m in drivers/virtio/virtio_mmio drivers/block/virtio_blk fs/fat/fat fs/fat/vfat \
             fs/nls/nls_cp437 fs/nls/nls_ascii; do
        cp "$u/lib/modules/$kver/kernel/$m.ko" "$ir/lib/modules/"
    done
    cp "$fwdeploy" "$ir/usr/bin/fwdeploy"
    cp "$u/usr/bin/fw_printenv" "$u/usr/bin/fw_setenv" "$ir/usr/bin/"
    # The C library and loader are the ones fwdeploy was linked against
    # (libc6:armhf, installed for the cross build).
    cp -L "$u/usr/lib/arm-linux-gnueabihf/libubootenv.so.0" "$u/lib/arm-linux-gnueabihf/libz.so.1" \
        /usr/lib/arm-linux-gnueabihf/libc.so.6 "$ir/lib/arm-linux-gnueabihf/"
    cp -L /usr/lib/arm-linux-gnueabihf/ld-linux-armhf.so.3 "$ir/lib/"
    # Two copies of the boot state, as the boot script reads them.
    printf '%s\n' "/boot/uboot.env 0x0000 0x4000" "/boot/uboot-redund.env 0x0000 0x4000" \
        > "$ir/etc/fw_env.config"
    echo "rootfs /dev/vda2 /dev/vda3" > "$ir/etc/fwdeploy/slots"
    (cd "$ir" && find . | LC_ALL=C sort | busybox cpio -o -H newc -R 0:0 2>/dev/null) \
        | gzip -9n > "$work/initrd.img"
}

# U-Boot keeps its own environment in the second flash bank (64 MiB at
# 0x4000000, 0x40000 bytes of it). An environment found there replaces the
# built-in one whole, so the image holds the built-in one, read out of
# u-boot.bin, with two changes: no autoboot delay, and only the virtio disk
# searched for a boot script.
make_flash() {
    local uboot=/usr/lib/u-boot/qemu_arm/u-boot.bin
    LC_ALL=C tr '\0' '\n' < "$uboot" | sed -n '/^bootcmd=run distro_bootcmd$/,/^$/p' | sed '/^$/d' \
        | sed -e 's/^bootdelay=.*/bootdelay=0/' -e 's/^boot_targets=.*/boot_targets=virtio0/' \
        > "$work/u-boot-env.txt"
    grep -qx 'bootdelay=0' "$work/u-boot-env.txt" && grep -qx 'boot_targets=virtio0' "$work/u-boot-env.txt" \
        || fail "no built-in environment found in $uboot"
    mkenvimage -s 0x40000 -o "$work/flash1.img" "$work/u-boot-env.txt"
    truncate -s 64M "$work/flash1.img"
}

# A slot: a small FAT file system whose slot-id file names what it holds. The
# same bytes every run (no random serial, fixed times), so that the checksums
# the board prints stay the same.
make_slot_image() {
    local image=$1 id=$2
    rm -f "$image"
    mkfs.vfat --invariant -C -n SLOT "$image" 1024 >/dev/null
    printf '%s\n' "$id" > "$work/slot-id"
    touch -d '2020-01-01 00:00:00 UTC' "$work/slot-id"
    TZ=UTC mcopy -m -i "$image" "$work/slot-id" ::slot-id
}

# 128 MiB, MBR: the FAT boot partition (kernel, initramfs, boot.scr, the two
# copies of the state, uboot.env and uboot-redund.env), then slot A and slot B.
# The state of a board that keeps one copy is left beside it for new_board.
make_disk() {
    local disk=$work/disk.img
    rm -f "$disk"
    truncate -s 128M "$disk"
    sfdisk -q "$disk" <<'EOF'
label: dos
start=2048, size=129024, type=e, bootable
start=131072, size=65536, type=83
start=196608, size=65536, type=83
EOF
    local boot=$work/boot-part.img
    rm -f "$boot"
    mkfs.vfat -C -n BOOT "$boot" $((129024 / 2)) >/dev/null
    mkimage -A arm -T script -C none -n "A/B boot" -d "$root/examples/boot.cmd" "$work/boot.scr" >/dev/null
    # The state a new board starts with: A first, all attempts left.
    printf 'BOOT_ORDER=A B\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n' | mkenvimage -r -s 0x4000 -o "$work/uboot.env" -
    cp "$work/uboot.env" "$work/uboot-redund.env"
    printf 'BOOT_ORDER=A B\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n' | mkenvimage -s 0x4000 -o "$work/uboot-one.env" -
    echo "/boot/uboot.env 0x0000 0x4000" > "$work/fw_env-one.config"
    local kver
    kver=$(ls "$work/unpacked/lib/modules")
    cp "$work/unpacked/boot/vmlinuz-$kver" "$work/zImage"
    mcopy -i "$boot" "$work/zImage" "$work/initrd.img" "$work/boot.scr" "$work/uboot.env" \
        "$work/uboot-redund.env" ::
    dd if="$boot" of="$disk" bs=512 seek=2048 conv=notrunc status=none
    make_slot_image "$work/slot-a.img" rootfs-A
    make_slot_image "$work/slot-b.img" rootfs-B
    dd if="$work/slot-a.img" of="$disk" bs=512 seek=131072 conv=notrunc status=none
    dd if="$work/slot-b.img" of="$disk" bs=512 seek=196608 conv=notrunc status=none
}

# The packages, made with the host fwbundle. update.bin.gz writes @rootfs, the
# rootfs slot that is not running, with a new slot image; killed.bin.gz does
# the same and then stops in a script block until the host kills the machine;
# plain.bin.gz names slot A's device itself as a plain raw-partition target,
# with the bytes it already holds.
make_packages() {
    local p=$work/packages
    rm -rf "$p"
    mkdir -p "$p"
    make_slot_image "$p/rootfs-2.0.img" "rootfs 2.0"
    cp "$work/slot-a.img" "$p/rootfs-A.img"
    cat > "$p/update.toml" <<'EOF'
[[block]]
operation = "raw_partition"
target = "@rootfs"
source = "rootfs-2.0.img"
EOF
    cat > "$p/killed.toml" <<'EOF'
[[block]]
operation = "raw_partition"
target = "@rootfs"
source = "rootfs-2.0.img"

[[block]]
operation = "script"
target = "pause"
source = "pause.sh"
EOF
    # The host kills the machine on this line; until then the script waits.
    cat > "$p/pause.sh" <<'EOF'
echo "board: the apply pass waits in its script block" > /dev/console
while :; do sleep 1; done
EOF
    cat > "$p/plain.toml" <<'EOF'
[[block]]
operation = "raw_partition"
target = "/dev/vda2"
source = "rootfs-A.img"
EOF
    local name
    for name in update killed plain; do
        "$fwbundle" create --gzip -o "$p/$name.bin.gz" "$p/$name.toml" >/dev/null \
            || fail "fwbundle could not make the package $name"
    done
}

# ---------------------------------------------------------------- the board

# The boot partition of the scenario's disk, for mtools.
boot_fs() {
    echo "$run/disk.img@@$((2048 * 512))"
}

# Puts a file onto the boot partition of the scenario's disk.
put_boot_file() {
    MTOOLS_SKIP_CHECK=1 mcopy -o -i "$(boot_fs)" "$1" "::$2"
}

# Starts a scenario on fresh copies of the disk and of U-Boot's flash. With
# "one", the board keeps its state in a single copy: uboot.env alone, and the
# fw_env.config of one line that the board's init takes from the partition.
new_board() {
    run=$work/run/$1
    rm -rf "$run"
    mkdir -p "$run"
    cp --sparse=always "$work/disk.img" "$run/disk.img"
    cp --sparse=always "$work/flash1.img" "$run/flash1.img"
    boots=0
    if [[ ${2:-} == one ]]; then
        MTOOLS_SKIP_CHECK=1 mdel -i "$(boot_fs)" ::uboot-redund.env
        put_boot_file "$work/uboot-one.env" uboot.env
        put_boot_file "$work/fw_env-one.config" fw_env.config
    fi
}

# Leaves the shell fragment the board's init runs on its next boot.
next_step() {
    printf '%s\n' "$1" > "$run/test-step"
    put_boot_file "$run/test-step" test-step
}

# Powers the board on and reads its console until it resets (QEMU runs with
# -no-reboot, so a reset ends it); with a pattern, kills QEMU as soon as a
# console line matches it instead. The console goes to boot-N.log; a boot
# that does not end within boot_timeout seconds fails the run.
boot() {
    local kill_on=${1:-}
    boots=$((boots + 1))
    local log=$run/boot-$boots.log fifo=$run/console
    rm -f "$fifo"
    mkfifo "$fifo"
    qemu-system-arm -M virt -cpu cortex-a15 -m 512 -nographic -no-reboot -nic none \
        -bios /usr/lib/u-boot/qemu_arm/u-boot.bin \
        -drive if=pflash,format=raw,index=1,file="$run/flash1.img" \
        -drive if=none,id=disk,format=raw,file="$run/disk.img" \
        -device virtio-blk-device,drive=disk \
        < /dev/null > "$fifo" 2>&1 &
    local qemu=$!
    exec {console}< "$fifo"
    local deadline=$((SECONDS + boot_timeout)) line status=0 killed=0
    : > "$log"
    while :; do
        local left=$((deadline - SECONDS))
        if ((left <= 0)); then
            status=142
            break
        fi
        IFS= read -r -t "$left" -u "$console" line || { status=$?; break; }
        line=${line%$'\r'}
        printf '%s\n' "$line" >> "$log"
        if [[ -n $kill_on && $line == *"$kill_on"* ]]; then
            kill -KILL "$qemu"
            killed=1
            break
        fi
    done
    exec {console}<&-
    if ((status > 128)); then
        kill -KILL "$qemu" 2>/dev/null || true
        wait "$qemu" 2>/dev/null || true
        tail -n 30 "$log" >&2
        fail "$scenario: boot $boots did not end within ${boot_timeout}s (console in $log)"
    fi
    wait "$qemu" 2>/dev/null || true
    if [[ -n $kill_on ]] && ((!killed)); then
        tail -n 30 "$log" >&2
        fail "$scenario: boot $boots ended before the console showed: $kill_on"
    fi
}

# Compares what the last boot reported (its "fwboot:" and "board:" lines) with
# the expected lines given on standard input.
expect() {
    local log=$run/boot-$boots.log
    grep -a -E '^(fwboot|board):' "$log" > "$run/seen-$boots" || true
    cat > "$run/expected-$boots"
    if ! diff -u "$run/expected-$boots" "$run/seen-$boots" > "$run/diff-$boots"; then
        echo "--- $scenario, boot $boots: expected (-) and seen on the console (+):" >&2
        cat "$run/diff-$boots" >&2
        fail "$scenario: boot $boots differs (console in $log)"
    fi
    echo "$scenario, boot $boots: as expected"
    sed 's/^/    /' "$run/seen-$boots"
}

# ---------------------------------------------------------------- scenarios

# The boot script on its own on a board that keeps one copy of its state,
# written by hand: B first with one attempt and A with one. B boots, then A, then neither has an attempt left
# and A, second in the order (the slot an update to B came from), boots
# uncounted; then a state file with a bad CRC means the defaults.
scenario_bootscript() {
    new_board bootscript one
    next_step 'show fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
printf "BOOT_ORDER=B A\nBOOT_A_LEFT=1\nBOOT_B_LEFT=1\n" > /tmp/switch
show fw_setenv -s /tmp/switch'
    boot
    expect <<'EOF'
fwboot: state from uboot.env
fwboot: order A B, A has 3 left, B has 3 left
fwboot: booting slot A, A has 2 left, B has 3 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: $ fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
board: | BOOT_ORDER=A B
board: | BOOT_A_LEFT=2
board: | BOOT_B_LEFT=3
board: exit 0
board: $ fw_setenv -s /tmp/switch
board: exit 0
board: rebooting
EOF
    next_step 'show fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT'
    boot
    expect <<'EOF'
fwboot: state from uboot.env
fwboot: order B A, A has 1 left, B has 1 left
fwboot: booting slot B, A has 1 left, B has 0 left
board: booted slot B, root /dev/vda3 holds: rootfs-B
board: $ fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
board: | BOOT_ORDER=B A
board: | BOOT_A_LEFT=1
board: | BOOT_B_LEFT=0
board: exit 0
board: rebooting
EOF
    next_step ':'
    boot
    expect <<'EOF'
fwboot: state from uboot.env
fwboot: order B A, A has 1 left, B has 0 left
fwboot: booting slot A, A has 0 left, B has 0 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: rebooting
EOF
    # Nothing is counted any more; this boot damages the state file the way a
    # write cut short would.
    next_step 'damage /boot/uboot.env'
    boot
    expect <<'EOF'
fwboot: state from uboot.env
fwboot: order B A, A has 0 left, B has 0 left
fwboot: no slot has attempts left: booting slot A uncounted
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: rebooting
EOF
    next_step 'show fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT'
    boot
    expect <<'EOF'
fwboot: uboot.env has a bad CRC: using the defaults
fwboot: order A B, A has 3 left, B has 3 left
fwboot: booting slot A, A has 2 left, B has 3 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: $ fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
board: | BOOT_ORDER=A B
board: | BOOT_A_LEFT=2
board: | BOOT_B_LEFT=3
board: exit 0
board: rebooting
EOF
}

# A state file for a board with two copies, with the flag byte given: the CRC
# in front covers the data only, so the flag that mkenvimage -r set can change.
state_copy() {
    local file=$1 flag=$2 vars=$3
    printf "$vars" | mkenvimage -r -s 0x4000 -o "$file" -
    printf "\\x$flag" | dd of="$file" bs=1 seek=4 conv=notrunc status=none
}

# Two copies of the state, each newer than the other in turn. The board starts
# with flags 0xff and 0, where the count wraps: the copy flagged 0, B first, is
# the newer. The boot script writes the older copy, which fw_printenv then
# reads as the newer one; that copy is damaged as a write cut short would leave
# it, and the next boot takes the other copy's state, not the defaults. Then
# fwdeploy -g writes a copy, both copies are damaged, and only now the defaults
# stand.
scenario_copies() {
    new_board copies
    state_copy "$run/uboot.env" ff 'BOOT_ORDER=A B\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n'
    state_copy "$run/uboot-redund.env" 00 'BOOT_ORDER=B A\nBOOT_A_LEFT=2\nBOOT_B_LEFT=2\n'
    put_boot_file "$run/uboot.env" uboot.env
    put_boot_file "$run/uboot-redund.env" uboot-redund.env
    next_step 'show fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
damage /boot/uboot.env'
    boot
    expect <<'EOF'
fwboot: state from the newer of two copies
fwboot: order B A, A has 2 left, B has 2 left
fwboot: booting slot B, A has 2 left, B has 1 left
board: booted slot B, root /dev/vda3 holds: rootfs-B
board: $ fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
board: | BOOT_ORDER=B A
board: | BOOT_A_LEFT=2
board: | BOOT_B_LEFT=1
board: exit 0
board: rebooting
EOF
    next_step 'show fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
show fwdeploy -g
show fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
damage /boot/uboot.env
damage /boot/uboot-redund.env'
    boot
    expect <<'EOF'
fwboot: uboot.env has a bad CRC
fwboot: state from uboot-redund.env
fwboot: order B A, A has 2 left, B has 2 left
fwboot: booting slot B, A has 2 left, B has 1 left
board: booted slot B, root /dev/vda3 holds: rootfs-B
board: $ fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
board: | BOOT_ORDER=B A
board: | BOOT_A_LEFT=2
board: | BOOT_B_LEFT=1
board: exit 0
board: $ fwdeploy -g
board: | Slot B confirmed: BOOT_B_LEFT=3
board: exit 0
board: $ fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
board: | BOOT_ORDER=B A
board: | BOOT_A_LEFT=2
board: | BOOT_B_LEFT=3
board: exit 0
board: rebooting
EOF
    next_step 'show fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT'
    boot
    expect <<'EOF'
fwboot: uboot.env has a bad CRC, uboot-redund.env has a bad CRC: using the defaults
fwboot: order A B, A has 3 left, B has 3 left
fwboot: booting slot A, A has 2 left, B has 3 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: $ fw_printenv BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
board: | BOOT_ORDER=A B
board: | BOOT_A_LEFT=2
board: | BOOT_B_LEFT=3
board: exit 0
board: rebooting
EOF
}

# The first boot of scenarios that update: booted from A, the package writes
# slot B and switches the boot to it.
boot_and_update() {
    put_boot_file "$work/packages/update.bin.gz" update.bin.gz
    next_step 'show fwdeploy -l
show fwdeploy -x /boot/update.bin.gz'
    boot
    expect <<'EOF'
fwboot: state from the newer of two copies
fwboot: order A B, A has 3 left, B has 3 left
fwboot: booting slot A, A has 2 left, B has 3 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: $ fwdeploy -l
board: | booted=A
board: | order=A B
board: | A.left=2
board: | B.left=3
board: | rootfs.A=/dev/vda2
board: | rootfs.B=/dev/vda3
board: | decryption_keys=
board: exit 0
board: $ fwdeploy -x /boot/update.bin.gz
board: | (0%)(1/2)(state sub 0) .. (100%)(1/2)(state sub 1)
board: | blk 0 head 0x5154 cal 0x5154
board: | (100%)(1/2)(state sub 1)
board: | Package digest OK, signature not checked (no trusted keys)
board: | Package version none, compatibility not checked
board: | (100%)(1/2)(state sub 1)
board: | No begin scripts!
board: | Slot B taken out of the boot order while it is written: BOOT_ORDER=A, BOOT_B_LEFT=0
board: | (0%)(2/2)(state sub 2)
board: | Write /dev/vda3 with 0xFF
board: | (0%)(2/2)(state sub 2)
board: | ######Erase 0x100000 bytes#######
board: | (0%)(2/2)(state sub 3) .. (100%)(2/2)(state sub 3)
board: | ######Write 0x100000 bytes to /dev/vda3 #######
board: | (100%)(2/2)(state sub 7)
board: | Boot switched to slot B: BOOT_ORDER=B A, BOOT_B_LEFT=3
board: | OTA UPDATA STATUS: 0
board: exit 0
board: rebooting
EOF
}

# Booted from A, a package writes @rootfs; the board reboots into B, which
# confirms itself, and the next boot stays on B.
scenario_update() {
    new_board update
    boot_and_update
    next_step 'show fwdeploy -g
show fwdeploy -l'
    boot
    expect <<'EOF'
fwboot: state from the newer of two copies
fwboot: order B A, A has 2 left, B has 3 left
fwboot: booting slot B, A has 2 left, B has 2 left
board: booted slot B, root /dev/vda3 holds: rootfs 2.0
board: $ fwdeploy -g
board: | Slot B confirmed: BOOT_B_LEFT=3
board: exit 0
board: $ fwdeploy -l
board: | booted=B
board: | order=B A
board: | A.left=2
board: | B.left=3
board: | rootfs.A=/dev/vda2
board: | rootfs.B=/dev/vda3
board: | decryption_keys=
board: exit 0
board: rebooting
EOF
    next_step 'show fwdeploy -l'
    boot
    expect <<'EOF'
fwboot: state from the newer of two copies
fwboot: order B A, A has 2 left, B has 3 left
fwboot: booting slot B, A has 2 left, B has 2 left
board: booted slot B, root /dev/vda3 holds: rootfs 2.0
board: $ fwdeploy -l
board: | booted=B
board: | order=B A
board: | A.left=2
board: | B.left=2
board: | rootfs.A=/dev/vda2
board: | rootfs.B=/dev/vda3
board: | decryption_keys=
board: exit 0
board: rebooting
EOF
}

# B never confirms: it boots until its attempts are used up, then A boots
# again and says so.
scenario_fallback() {
    new_board fallback
    boot_and_update
    local left
    for left in 2 1 0; do
        next_step ':'
        boot
        expect <<EOF
fwboot: state from the newer of two copies
fwboot: order B A, A has 2 left, B has $((left + 1)) left
fwboot: booting slot B, A has 2 left, B has $left left
board: booted slot B, root /dev/vda3 holds: rootfs 2.0
board: rebooting
EOF
    done
    next_step 'show fwdeploy -l'
    boot
    expect <<'EOF'
fwboot: state from the newer of two copies
fwboot: order B A, A has 2 left, B has 0 left
fwboot: booting slot A, A has 1 left, B has 0 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: $ fwdeploy -l
board: | booted=A
board: | order=B A
board: | A.left=1
board: | B.left=0
board: | rootfs.A=/dev/vda2
board: | rootfs.B=/dev/vda3
board: | decryption_keys=
board: exit 0
board: rebooting
EOF
}

# The machine dies in the middle of the apply pass, after slot B was written
# and before the switch: A boots next, the order as it was.
scenario_killed() {
    new_board killed
    put_boot_file "$work/packages/killed.bin.gz" killed.bin.gz
    next_step 'show fwdeploy -x /boot/killed.bin.gz'
    boot "board: the apply pass waits in its script block"
    expect <<'EOF'
fwboot: state from the newer of two copies
fwboot: order A B, A has 3 left, B has 3 left
fwboot: booting slot A, A has 2 left, B has 3 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: $ fwdeploy -x /boot/killed.bin.gz
board: the apply pass waits in its script block
EOF
    # Slot B got its new image before the machine died, while it was out of
    # the boot order: A boots.
    next_step 'mount -t vfat -o ro /dev/vda3 /mnt/other || die "mount /dev/vda3"
show cat /mnt/other/slot-id
umount /mnt/other
show fwdeploy -l'
    boot
    expect <<'EOF'
fwboot: state from the newer of two copies
fwboot: order A, A has 2 left, B has 0 left
fwboot: booting slot A, A has 1 left, B has 0 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: $ cat /mnt/other/slot-id
board: | rootfs 2.0
board: exit 0
board: $ fwdeploy -l
board: | booted=A
board: | order=A
board: | A.left=1
board: | B.left=0
board: | rootfs.A=/dev/vda2
board: | rootfs.B=/dev/vda3
board: | decryption_keys=
board: exit 0
board: rebooting
EOF
}

# A plain target naming the booted slot's device (mounted read-write as the
# running root) is warned about; an @ target whose device is mounted is
# refused, and the boot order stays.
scenario_refused() {
    new_board refused
    put_boot_file "$work/packages/plain.bin.gz" plain.bin.gz
    put_boot_file "$work/packages/update.bin.gz" update.bin.gz
    next_step 'show fwdeploy -x /boot/plain.bin.gz
mount -t vfat /dev/vda3 /mnt/other || die "mount /dev/vda3"
show fwdeploy -x /boot/update.bin.gz
umount /mnt/other
show fwdeploy -l'
    boot
    expect <<'EOF'
fwboot: state from the newer of two copies
fwboot: order A B, A has 3 left, B has 3 left
fwboot: booting slot A, A has 2 left, B has 3 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: $ fwdeploy -x /boot/plain.bin.gz
board: | (0%)(1/2)(state sub 0) .. (100%)(1/2)(state sub 1)
board: | blk 0 head 0x5110 cal 0x5110
board: | Warning: /dev/vda2 is mounted read-write on /mnt/root
board: | (100%)(1/2)(state sub 1)
board: | Package digest OK, signature not checked (no trusted keys)
board: | (100%)(1/2)(state sub 1)
board: | No begin scripts!
board: | (0%)(2/2)(state sub 2)
board: | Write /dev/vda2 with 0xFF
board: | (0%)(2/2)(state sub 2)
board: | ######Erase 0x100000 bytes#######
board: | (0%)(2/2)(state sub 3) .. (100%)(2/2)(state sub 3)
board: | ######Write 0x100000 bytes to /dev/vda2 #######
board: | (100%)(2/2)(state sub 7)
board: | OTA UPDATA STATUS: 0
board: exit 0
board: $ fwdeploy -x /boot/update.bin.gz
board: | (0%)(1/2)(state sub 0) .. (100%)(1/2)(state sub 1)
board: | blk 0 head 0x5154 cal 0x5154
board: | Slot target @rootfs refused: /dev/vda3 is mounted on /mnt/other!
board: | (100%)(1/2)(state sub 4)
board: exit 255
board: $ fwdeploy -l
board: | booted=A
board: | order=A B
board: | A.left=2
board: | B.left=3
board: | rootfs.A=/dev/vda2
board: | rootfs.B=/dev/vda3
board: | decryption_keys=
board: exit 0
board: rebooting
EOF
}

# A second update before the reboot that the first one asked for: the first
# switched the boot to B, the second writes B again and the machine dies in
# its apply pass, after the slot write began and before any switch. B must
# not boot as it was left: before its first byte is written, fwdeploy takes
# it out of the boot order, so A boots, and B stays out with no attempts.
scenario_second() {
    new_board second
    put_boot_file "$work/packages/update.bin.gz" update.bin.gz
    put_boot_file "$work/packages/killed.bin.gz" killed.bin.gz
    next_step 'fwdeploy -x /boot/update.bin.gz > /tmp/first 2>&1
say "first update: exit $?"
show fwdeploy -l
show fwdeploy -x /boot/killed.bin.gz'
    boot "board: the apply pass waits in its script block"
    expect <<'EOF'
fwboot: state from the newer of two copies
fwboot: order A B, A has 3 left, B has 3 left
fwboot: booting slot A, A has 2 left, B has 3 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: first update: exit 0
board: $ fwdeploy -l
board: | booted=A
board: | order=B A
board: | A.left=2
board: | B.left=3
board: | rootfs.A=/dev/vda2
board: | rootfs.B=/dev/vda3
board: | decryption_keys=
board: exit 0
board: $ fwdeploy -x /boot/killed.bin.gz
board: the apply pass waits in its script block
EOF
    next_step 'show fwdeploy -l'
    boot
    expect <<'EOF'
fwboot: state from the newer of two copies
fwboot: order A, A has 2 left, B has 0 left
fwboot: booting slot A, A has 1 left, B has 0 left
board: booted slot A, root /dev/vda2 holds: rootfs-A
board: $ fwdeploy -l
board: | booted=A
board: | order=A
board: | A.left=1
board: | B.left=0
board: | rootfs.A=/dev/vda2
board: | rootfs.B=/dev/vda3
board: | decryption_keys=
board: exit 0
board: rebooting
EOF
}

# ---------------------------------------------------------------- main

step "board parts in $work"
mkdir -p "$work"
fetch_board_packages
build_tools
make_initramfs
make_flash
make_disk
if [[ " ${scenarios[*]} " != " bootscript " ]]; then
    make_packages
fi

started=$SECONDS
for scenario in "${scenarios[@]}"; do
    step "scenario $scenario"
    "scenario_$scenario"
done
step "all board scenarios passed: ${scenarios[*]} ($((SECONDS - started)) s)"
