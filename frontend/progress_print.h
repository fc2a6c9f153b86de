#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"

// The report_progress slot: one line per report on standard output.
int print_progress(const progress_info* info, const char* message);

// The get_buffer_size slot: the engine streams through buffers of 4096 bytes.
uint32_t io_buffer_size();
