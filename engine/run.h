// What later features add to a run's passes, in one record: what a pass may
// use beyond the original arguments of its phase, and what it reports back to
// the run. A new feature adds a field here, not a parameter to every phase.
#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"

struct run_record {
    // What the passes may use; a null one is a feature this run does without.
    const trust_ops* trust;           // the trailer and where the package came from
    const policy_ops* policy;         // what this board takes
    const slot_ops* slots;            // slot targets and the boot switch
    // As upgrade_ops.apply_checked_patch.
    int (*apply_checked_patch)(const char* old_path, const char* new_path,
                               const char* patch_path, const uint8_t* result_sha256);
    const char* (*script_failure)();  // as upgrade_ops.script_failure

    // What the passes report back.
    // verification: blocks that write a slot; the apply pass holds its script
    // blocks to their shell's status when there are any
    uint32_t slot_targets;
    uint32_t slot_writes;             // apply: slot blocks applied; 0 unless the whole pass was
};

// The record of a run through the host table `ops`.
run_record run_of(const upgrade_ops* ops);
