#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"
#include "engine/package_format.h"

// Checks that the partition holds the block's erase_size, has the host erase it or
// fills that many bytes with 0xFF. 0 when ready to write, -1 after the failure report.
int prepare_partition(const partition_ops* part, const char* target_path,
                      const block_header* block, uint32_t buffer_size,
                      int (*report_progress)(const progress_info*, const char*),
                      uint64_t total_size, const uint64_t* done_bytes);
