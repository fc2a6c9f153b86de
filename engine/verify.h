#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"
#include "engine/run.h"

// Phase 1: checks the header, every block's checksum and, when run->trust is
// given with all its slots, the trailer and where the package came from, then
// what run->policy asks of the package, before anything is touched. Returns -1
// on any failure (after exactly one failure report once the package is open
// and the buffer allocated), 0 or more when the package is sound. A target
// `@NAME` must be one run->slots resolves (see slot_ops; with no slots it is
// not judged), and run->slot_targets gets the number of such blocks. `run`
// may be null: nothing beyond the checksums is judged.
int verify_package(const source_ops* src, const char* package_path,
                   int (*report_progress)(const progress_info*, const char*),
                   uint32_t buffer_size, run_record* run = nullptr);
