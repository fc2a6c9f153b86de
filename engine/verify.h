#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"

// Phase 1: checks the header, every block's checksum and, when `trust` is given
// with all its slots, the trailer and where the package came from, then what
// `policy` (may be null) asks of the package, before anything is touched. Returns -1 on any failure (after exactly one failure
// report once the package is open and the buffer allocated), 0 or more when
// the package is sound. A target `@NAME` must be one `slots` resolves (see
// slot_ops; with `slots` null it is not judged); *slot_targets (may be null)
// gets the number of such blocks.
int verify_package(const source_ops* src, const char* package_path,
                   int (*report_progress)(const progress_info*, const char*),
                   uint32_t buffer_size, const trust_ops* trust,
                   const policy_ops* policy = nullptr, const slot_ops* slots = nullptr,
                   uint32_t* slot_targets = nullptr);
