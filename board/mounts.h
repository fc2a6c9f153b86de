// The mounts of this board, as the kernel lists them with their device
// numbers, and whether a device is among them.
#pragma once

#include <cstddef>
#include <sys/types.h>

// A device as the mounts may name it. A mount shows the number of its block
// device, or an anonymous 0:N (btrfs, UBIFS) with only its source to tell the
// device: the path it was given (the device, or a link to it), or a name of an
// MTD device (mtd4, mtd:NAME, /dev/mtdblock4; its mounts show the block twin's
// number) or of a UBI volume (ubi0_3, ubi0:NAME, ubi:NAME, /dev/ubi0_3).
struct device_id {
    const char* path;                 // as given
    char real[128];                   // with every link resolved; empty when it does not fit
    char kind;                        // 'b' block, 'c' character, 0 no device
    dev_t rdev;                       // an MTD character device: its mtdblock twin, kind 'b'
    char names[4][96];                // of an MTD device or a UBI volume; empty where none
};

// 'b' or 'c' with *number set for the device at `path`, an MTD character
// device (or its read-only twin) counted as its mtdblock twin; 0 when it is no
// device or cannot be found.
char device_number(const char* path, dev_t* number);

// 0 with *id describing the device at `path` (kept, not copied), its names read
// from the sysfs mounted at `sysfs`, or -1 with errno set when it cannot be found.
int identify(const char* path, const char* sysfs, device_id* id);

// Where `id` is mounted according to `mountinfo` (a /proc/self/mountinfo):
// 1 with the mount point in `mount_point` (the last such mount, the one on
// top) and *read_write set, 0 when nowhere, -1 when the mounts cannot be read.
// With `root_only` only a mount on / counts, with `want_read_write` only a
// writable one.
int find_mount(const char* mountinfo, const device_id* id, bool root_only, char* mount_point,
               size_t size, bool* read_write, bool want_read_write);

// A loop device that reads from the block device `rdev`, from one of its
// partitions, or from the whole disk it is a partition of: the mounts name the
// loop device, not what it reads, and it does not claim that device. Found
// through the sysfs at `sysfs`; 1 with its name (as "/dev/loop9") in `loop`,
// 0 when there is none (also without a sysfs that lists block devices), -1
// when the list cannot be read.
int find_loop_over(const char* sysfs, dev_t rdev, char* loop, size_t size);
