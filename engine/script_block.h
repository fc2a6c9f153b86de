#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"

// Reads a script block whole and runs it; on success adds its length to
// *done_bytes. 0 when it ran, -1 after the failure report.
int run_block_script(int source, int (*read)(int, void*, int), const char* name,
                     uint32_t length, int (*run_script)(const char*, int),
                     int (*report_progress)(const progress_info*, const char*),
                     uint64_t total_size, uint64_t* done_bytes);
