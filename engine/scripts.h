#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"

// Phase 2: hands the begin script to run_script. 0 when there is none, -1 when it
// cannot be read, otherwise the result of run_script unchanged.
int run_begin_script(const source_ops* src, const char* package_path,
                     int (*run_script)(const char*, int));

// Phase 4: runs the end script behind the OTA_STATUS prefix carrying `status`.
// -1 when it cannot be read, otherwise the result of run_script unchanged.
int run_end_script(const source_ops* src, const char* package_path,
                   int (*run_script)(const char*, int), uint32_t buffer_size, int status);
