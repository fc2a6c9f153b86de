// The mounts of this board, as the kernel lists them with their device
// numbers, and whether a device is among them.
#pragma once

#include <cstddef>
#include <sys/types.h>

// A device as the mounts name it: its number when it is a block device, and its
// path. UBIFS shows no device number, and is mounted by the volume's name as
// often as by its device: a UBI volume also goes by ubiN_M, ubiN:NAME and ubi:NAME.
struct device_id {
    const char* path;
    bool block;
    dev_t rdev;
    char ubi_names[3][96];            // empty where not a UBI volume
};

// 0 with *id describing the device at `path` (kept, not copied), or -1 with
// errno set when it cannot be found.
int identify(const char* path, device_id* id);

// Where `id` is mounted according to `mountinfo` (a /proc/self/mountinfo):
// 1 with the mount point in `mount_point` (the last such mount, the one on
// top) and *read_write set, 0 when nowhere, -1 when the mounts cannot be read.
// With `root_only` only a mount on / counts, with `want_read_write` only a
// writable one.
int find_mount(const char* mountinfo, const device_id* id, bool root_only, char* mount_point,
               size_t size, bool* read_write, bool want_read_write);
