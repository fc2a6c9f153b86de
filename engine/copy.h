#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"

// Streams `data_size` bytes from the package to an open target, adding every byte
// the target took to *done_bytes. 0 when all arrived, -1 after the failure report.
// With `borrow`, the target is handed the bytes where the source holds them,
// in pieces of buffer_size as from `read`.
int copy_block_data(int source, int (*read)(int, void*, int), int target,
                    int (*write)(int, const void*, int), const char* name, uint64_t data_size,
                    uint32_t buffer_size, int (*report_progress)(const progress_info*, const char*),
                    uint64_t total_size, uint64_t* done_bytes,
                    int (*borrow)(int, const uint8_t**, int) = nullptr);

// The failure texts of a copy; %s is the block's target path or the diff temporary path.
constexpr char TEXT_READ_ERROR[] = "error id 10, write %s err.";
constexpr char TEXT_WRITE_ERROR[] = "error id 11, write %s err.";
