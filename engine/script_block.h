#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"

// Reads a script block whole and runs it; on success adds its length to
// *done_bytes. 0 when it ran, -1 after the failure report. With
// `script_failure` (may be null) the shell must also have ended with status
// 0: otherwise a line names the block and how its shell ended, and it fails.
int run_block_script(int source, int (*read)(int, void*, int), const char* name,
                     uint32_t length, int (*run_script)(const char*, int),
                     int (*report_progress)(const progress_info*, const char*),
                     uint64_t total_size, uint64_t* done_bytes,
                     const char* (*script_failure)() = nullptr);
