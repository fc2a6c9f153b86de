# A/B boot script for U-Boot: picks slot A or slot B, counts one boot attempt
# against it, and boots the kernel telling it which slot it runs from.
#
# Build it into the boot.scr that U-Boot's distro boot runs from the boot
# partition:
#     mkimage -A arm -T script -C none -n "A/B boot" -d boot.cmd boot.scr
#
# The state lives in three variables, kept in U-Boot environment files of
# 0x4000 bytes on the same (FAT) partition:
#   BOOT_ORDER    the slots in the order they are tried, such as "A B"
#   BOOT_A_LEFT   boot attempts slot A has left (one decimal digit, 0 to 9)
#   BOOT_B_LEFT   boot attempts slot B has left
# One digit because setexpr below reads numbers as hexadecimal: a count of 10
# would be taken for 16. fwdeploy's build refuses FWDEPLOY_BOOT_ATTEMPTS
# outside 1 to 9 for that reason.
#
# Linux reads and writes the same files with fw_printenv/fw_setenv, as
# /etc/fw_env.config names them. A board keeps either two copies (a redundant
# environment), so that a power cut during a write leaves the other one sound:
#     /boot/uboot.env         0x0000 0x4000
#     /boot/uboot-redund.env  0x0000 0x4000
# both made with "mkenvimage -r -s 0x4000", each a CRC, a flag byte and the
# data; or one copy, the first line alone and uboot.env made without -r, a CRC
# and the data. This script reads two copies whenever the partition holds
# uboot-redund.env, and uboot.env alone as a single copy otherwise.
#
# fwdeploy puts the freshly written slot first with fresh attempts after a
# wholly successful update, and "fwdeploy -g" on the new system confirms it;
# a system that never confirms uses up its attempts here, and the other slot
# boots again.
#
# Adapt to a board: the root devices below, the console, and where kernel and
# initramfs come from (here the boot partition, shared by both slots; a board
# that keeps its kernel in the slot loads it from there instead).

# The defaults: what a board starts with, and what this script uses whenever
# no state file is sound.
setenv BOOT_ORDER "A B"
setenv BOOT_A_LEFT 3
setenv BOOT_B_LEFT 3

# Distro boot sets devtype, devnum and distro_bootpart to the partition this
# script came from. The state is handled at kernel_addr_r and above, which
# the kernel overwrites only later (scriptaddr holds this very script while
# it runs): uboot.env and uboot-redund.env as read at fw_file1 and fw_file2,
# and of two copies each once more at fw_env1 and fw_env2, the way env import
# -c reads it; the file written back is put together at fw_file1. A file is
# read 0x4000 bytes at most, so that a longer one cannot spill into the
# buffer after its own.
setexpr fw_file1 ${kernel_addr_r} + 0
setexpr fw_file2 ${kernel_addr_r} + 0x4000
setexpr fw_env1 ${kernel_addr_r} + 0x8000
setexpr fw_env2 ${kernel_addr_r} + 0xc000
#
# Only the three variables are imported, so nothing else that Linux might have
# put into the state reaches U-Boot's own environment.
setenv fw_copy
if load ${devtype} ${devnum}:${distro_bootpart} ${fw_file2} uboot-redund.env 0x4000; then
    # Two copies. Each is a CRC, a flag byte, then the data the CRC covers;
    # env import -c expects the data right after the CRC, so each copy is
    # rearranged that way into a buffer of its own and checked there by
    # importing a name the state never holds: that tests the CRC and changes
    # nothing.
    setenv fw_copies 2
    setenv fw_why2 "has a bad CRC"
    cp.b ${fw_file2} ${fw_env2} 4
    setexpr fw_from ${fw_file2} + 5
    setexpr fw_to ${fw_env2} + 4
    cp.b ${fw_from} ${fw_to} 0x3ffb
    if env import -c ${fw_env2} 0x3fff fw_crc_only; then
        setenv fw_why2
    fi
    setenv fw_why1 "is missing"
    if load ${devtype} ${devnum}:${distro_bootpart} ${fw_file1} uboot.env 0x4000; then
        setenv fw_why1 "has a bad CRC"
        cp.b ${fw_file1} ${fw_env1} 4
        setexpr fw_from ${fw_file1} + 5
        setexpr fw_to ${fw_env1} + 4
        cp.b ${fw_from} ${fw_to} 0x3ffb
        if env import -c ${fw_env1} 0x3fff fw_crc_only; then
            setenv fw_why1
        fi
    fi
    setexpr fw_at ${fw_file1} + 4
    setexpr.b fw_flag1 *${fw_at}
    setexpr fw_at ${fw_file2} + 4
    setexpr.b fw_flag2 *${fw_at}
    # Of two sound copies the newer wins, as in fw_printenv: the higher flag,
    # except that 0 follows 0xff; equal flags, the first copy.
    if test -z "${fw_why1}" && test -z "${fw_why2}"; then
        setenv fw_copy 1
        if itest ${fw_flag2} -gt ${fw_flag1}; then
            setenv fw_copy 2
        fi
        if itest ${fw_flag1} == 0xff && itest ${fw_flag2} == 0; then
            setenv fw_copy 2
        fi
        if itest ${fw_flag2} == 0xff && itest ${fw_flag1} == 0; then
            setenv fw_copy 1
        fi
        echo "fwboot: state from the newer of two copies"
    elif test -z "${fw_why1}"; then
        echo "fwboot: uboot-redund.env ${fw_why2}"
        echo "fwboot: state from uboot.env"
        setenv fw_copy 1
    elif test -z "${fw_why2}"; then
        echo "fwboot: uboot.env ${fw_why1}"
        echo "fwboot: state from uboot-redund.env"
        setenv fw_copy 2
    fi
    # The copy not read is the one written back, with the flag one above the
    # one read, as fw_setenv does.
    if test "${fw_copy}" = 1; then
        env import -c ${fw_env1} 0x3fff BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
        setenv fw_write uboot-redund.env
        setenv fw_flag ${fw_flag1}
    elif test "${fw_copy}" = 2; then
        env import -c ${fw_env2} 0x3fff BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
        setenv fw_write uboot.env
        setenv fw_flag ${fw_flag2}
    else
        echo "fwboot: uboot.env ${fw_why1}, uboot-redund.env ${fw_why2}: using the defaults"
        setenv fw_write uboot.env
        setenv fw_flag 0
    fi
    if itest ${fw_flag} == 0xff; then
        setenv fw_flag 0
    else
        setexpr fw_flag ${fw_flag} + 1
    fi
elif load ${devtype} ${devnum}:${distro_bootpart} ${fw_file1} uboot.env 0x4000; then
    # One copy, rewritten in place. When its CRC does not match (a write cut
    # short by a power loss, or a damaged file), env import refuses it and the
    # defaults above stand: slot A first, every slot with all its attempts. A
    # board that had switched to B then boots A again until an update or a
    # confirmation writes the file anew.
    setenv fw_copies 1
    if env import -c ${fw_file1} 0x4000 BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT; then
        echo "fwboot: state from uboot.env"
    else
        echo "fwboot: uboot.env has a bad CRC: using the defaults"
        setenv BOOT_ORDER "A B"
        setenv BOOT_A_LEFT 3
        setenv BOOT_B_LEFT 3
    fi
else
    setenv fw_copies 1
    echo "fwboot: no uboot.env: using the defaults"
fi
# A file that is sound but lacks a variable leaves it unset: default it alone.
if test -z "${BOOT_ORDER}"; then
    setenv BOOT_ORDER "A B"
fi
if test -z "${BOOT_A_LEFT}"; then
    setenv BOOT_A_LEFT 3
fi
if test -z "${BOOT_B_LEFT}"; then
    setenv BOOT_B_LEFT 3
fi
echo "fwboot: order ${BOOT_ORDER}, A has ${BOOT_A_LEFT} left, B has ${BOOT_B_LEFT} left"

# The first slot in the order that has an attempt left boots, and that attempt
# is used up now, before the kernel starts: a system that hangs or resets
# before it confirms has still spent it. setexpr computes in hexadecimal,
# which agrees with decimal for the single digits the counters hold.
setenv fw_slot
for fw_try in ${BOOT_ORDER}; do
    if test -z "${fw_slot}"; then
        if test "${fw_try}" = A && test ${BOOT_A_LEFT} -gt 0; then
            setexpr BOOT_A_LEFT ${BOOT_A_LEFT} - 1
            setenv fw_slot A
        fi
        if test "${fw_try}" = B && test ${BOOT_B_LEFT} -gt 0; then
            setexpr BOOT_B_LEFT ${BOOT_B_LEFT} - 1
            setenv fw_slot B
        fi
    fi
done

if test -n "${fw_slot}"; then
    # Written back before the boot, so the attempt counts even if the kernel
    # never comes up. Exactly 0x4000 bytes: the size fw_env.config gives Linux.
    if test "${fw_copies}" = 2; then
        # CRC and data as env export -c makes them, then the file: the CRC,
        # the flag, the data. The copy that was read stays as it was, so a
        # power cut during this write still leaves one sound copy.
        env export -c -s 0x3fff ${fw_env1} BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
        cp.b ${fw_env1} ${fw_file1} 4
        setexpr fw_at ${fw_file1} + 4
        mw.b ${fw_at} ${fw_flag}
        setexpr fw_from ${fw_env1} + 4
        setexpr fw_to ${fw_file1} + 5
        cp.b ${fw_from} ${fw_to} 0x3ffb
        fatwrite ${devtype} ${devnum}:${distro_bootpart} ${fw_file1} ${fw_write} 0x4000
    else
        env export -c -s 0x4000 ${fw_file1} BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
        fatwrite ${devtype} ${devnum}:${distro_bootpart} ${fw_file1} uboot.env 0x4000
    fi
    echo "fwboot: booting slot ${fw_slot}, A has ${BOOT_A_LEFT} left, B has ${BOOT_B_LEFT} left"
else
    # No slot has an attempt left: rather than not booting at all, one slot
    # boots without counting, until Linux confirms it or an update gives a
    # slot fresh attempts. Not the first of the order: fwdeploy's switch
    # writes BOOT_ORDER=<new> <old>, so the first is the slot an update wrote,
    # which has just used up every attempt it got without confirming. The
    # second is the slot that update came from, which ran before it.
    setenv fw_first
    for fw_try in ${BOOT_ORDER}; do
        if test "${fw_try}" = A || test "${fw_try}" = B; then
            if test -z "${fw_first}"; then
                setenv fw_first ${fw_try}
            elif test -z "${fw_slot}" && test "${fw_try}" != "${fw_first}"; then
                setenv fw_slot ${fw_try}
            fi
        fi
    done
    # An order that names one slot only (fwdeploy names the booted slot alone
    # while it writes the other): that one; none at all: A.
    if test -z "${fw_slot}"; then
        setenv fw_slot ${fw_first}
    fi
    if test -z "${fw_slot}"; then
        setenv fw_slot A
    fi
    echo "fwboot: no slot has attempts left: booting slot ${fw_slot} uncounted"
fi

# Each slot's root device; the kernel command line names the slot and its root.
if test "${fw_slot}" = A; then
    setenv fw_root /dev/vda2
else
    setenv fw_root /dev/vda3
fi
setenv bootargs "console=ttyAMA0 root=${fw_root} fwslot=${fw_slot} quiet"

load ${devtype} ${devnum}:${distro_bootpart} ${ramdisk_addr_r} initrd.img
setenv fw_initrd_size ${filesize}
load ${devtype} ${devnum}:${distro_bootpart} ${kernel_addr_r} zImage
bootz ${kernel_addr_r} ${ramdisk_addr_r}:${fw_initrd_size} ${fdt_addr}
echo "fwboot: slot ${fw_slot} did not boot"
