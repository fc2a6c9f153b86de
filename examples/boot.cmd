# A/B boot script for U-Boot: picks slot A or slot B, counts one boot attempt
# against it, and boots the kernel telling it which slot it runs from.
#
# Build it into the boot.scr that U-Boot's distro boot runs from the boot
# partition:
#     mkimage -A arm -T script -C none -n "A/B boot" -d boot.cmd boot.scr
#
# The state lives in three variables, kept in the standard environment file
# uboot.env on the same (FAT) partition, 0x4000 bytes with a CRC in front:
#   BOOT_ORDER    the slots in the order they are tried, such as "A B"
#   BOOT_A_LEFT   boot attempts slot A has left (one decimal digit, 0 to 9)
#   BOOT_B_LEFT   boot attempts slot B has left
# One digit because setexpr below reads numbers as hexadecimal: a count of 10
# would be taken for 16. fwdeploy's build refuses FWDEPLOY_BOOT_ATTEMPTS
# outside 1 to 9 for that reason.
# Linux reads and writes the same file with fw_printenv/fw_setenv, through
# an /etc/fw_env.config line such as "/boot/uboot.env 0x0000 0x4000".
# fwdeploy puts the freshly written slot first with fresh attempts after a
# wholly successful update, and "fwdeploy -g" on the new system confirms it;
# a system that never confirms uses up its attempts here, and the other slot
# boots again.
#
# Adapt to a board: the root devices below, the console, and where kernel and
# initramfs come from (here the boot partition, shared by both slots; a board
# that keeps its kernel in the slot loads it from there instead).

# The defaults: what a board starts with, and what this script uses whenever
# uboot.env is missing or unreadable.
setenv BOOT_ORDER "A B"
setenv BOOT_A_LEFT 3
setenv BOOT_B_LEFT 3

# Distro boot sets devtype, devnum and distro_bootpart to the partition this
# script came from. The file is read to kernel_addr_r, which the kernel
# overwrites only later: scriptaddr holds this very script while it runs.
#
# uboot.env is a single copy, rewritten in place. When its CRC does not match
# (a write cut short by a power loss, or a damaged file), env import refuses
# it and the defaults above stand: slot A first, every slot with all its
# attempts. A board that had switched to B then boots A again until an update
# or a confirmation writes the file anew.
#
# Only the three variables are imported, so nothing else that Linux might have
# put into the file reaches U-Boot's own environment.
if load ${devtype} ${devnum}:${distro_bootpart} ${kernel_addr_r} uboot.env; then
    if env import -c ${kernel_addr_r} 0x4000 BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT; then
        echo "fwboot: state from uboot.env"
    else
        echo "fwboot: uboot.env has a bad CRC: using the defaults"
        setenv BOOT_ORDER "A B"
        setenv BOOT_A_LEFT 3
        setenv BOOT_B_LEFT 3
    fi
else
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
    env export -c -s 0x4000 ${kernel_addr_r} BOOT_ORDER BOOT_A_LEFT BOOT_B_LEFT
    fatwrite ${devtype} ${devnum}:${distro_bootpart} ${kernel_addr_r} uboot.env 0x4000
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
    # An order that names one slot only: that one; none at all: A.
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
