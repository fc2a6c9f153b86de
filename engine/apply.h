#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"

// Phase 3: applies every block in package order. 0 when all were applied and
// STATE_FINISHED was reported; -1 at the first failing block, after at most one
// failure report. A patch block whose result the trusted trailer names (through
// trust->result_digest) is applied only through apply_checked_patch. A
// partition or volume block whose target is `@NAME` writes the device that
// slots->resolve names; *slot_writes (may be null) gets the number of those
// applied, and stays 0 unless the whole pass succeeded.
int apply_package(const source_ops* src, const char* package_path, const partition_ops* part,
                  const ubi_volume_ops* ubi, const file_ops* file,
                  int (*apply_patch)(const char*, const char*, const char*), const char* temp_dir,
                  int (*run_script)(const char*, int), uint32_t buffer_size,
                  int (*report_progress)(const progress_info*, const char*),
                  const trust_ops* trust = nullptr,
                  int (*apply_checked_patch)(const char*, const char*, const char*,
                                             const uint8_t*) = nullptr,
                  const slot_ops* slots = nullptr, uint32_t* slot_writes = nullptr);

// The diff temporary path: "diff_tmp" in temp_dir, or "./diff_tmp" when temp_dir
// is absent or empty, cut to 127 characters.
void diff_temp_path(const char* temp_dir, char (&path)[128]);
