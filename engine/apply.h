#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"
#include "engine/run.h"

// Phase 3: applies every block in package order. 0 when all were applied and
// STATE_FINISHED was reported; -1 at the first failing block, after at most one
// failure report. A patch block whose result the trusted trailer names (through
// run->trust->result_digest) is applied only through run->apply_checked_patch.
// A partition or volume block whose target is `@NAME` writes the device that
// run->slots->resolve names; run->slot_writes gets the number of those
// applied, and stays 0 unless the whole pass succeeded. `run` may be null:
// slot targets are refused and patch results not checked.
int apply_package(const source_ops* src, const char* package_path, const partition_ops* part,
                  const ubi_volume_ops* ubi, const file_ops* file,
                  int (*apply_patch)(const char*, const char*, const char*), const char* temp_dir,
                  int (*run_script)(const char*, int), uint32_t buffer_size,
                  int (*report_progress)(const progress_info*, const char*),
                  run_record* run = nullptr);

// The diff temporary path: "diff_tmp" in temp_dir, or "./diff_tmp" when temp_dir
// is absent or empty, cut to 127 characters.
void diff_temp_path(const char* temp_dir, char (&path)[128]);
