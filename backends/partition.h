// Raw partitions: MTD character devices through nandwrite and busybox
// flash_eraseall, MTD block, eMMC and other block devices written directly.
#pragma once

#include <cstdint>
#include <sys/types.h>

enum partition_kind { PART_UNSUPPORTED, PART_MTD_CHAR, PART_MTD_BLOCK, PART_EMMC };

// Tells the kind of a device path by its text, else a block device (any
// other than eMMC) by the device itself: it is written as eMMC is.
partition_kind classify_partition(const char* path);

// Descriptor to write the partition through (a pipe into nandwrite for an MTD
// character device), or -1.
int open_partition(const char* path);

// Flushes and closes a descriptor, and collects the nandwrite child behind it.
// -1 when the data may not have reached storage.
int close_target(int handle);

// Writes all of `data`; the count written (short only when the target stops
// taking bytes), or -1.
int write_full(int handle, const void* data, int length);

// 1 erased here, 0 the caller must fill with 0xFF, -1 failure.
int erase_partition(const char* path);

// Size in bytes, or -1.
int64_t get_partition_size(const char* path);

// Process id of the most recently started nandwrite child, 0 before the first.
extern pid_t nandwrite_pid;
