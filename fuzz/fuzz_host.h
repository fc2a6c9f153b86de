// A small, fast in-memory host for fuzzing the engine: the package is the fuzzer's
// bytes, targets are byte vectors, scripts and patches are recorded, never run.
// It watches the engine's behaviour so the targets can check their invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "engine/fwdeploy.h"

// Host operations a fault can be injected into.
enum fuzz_op {
    F_SRC_OPEN, F_SRC_READ, F_SRC_CLOSE,
    F_PART_OPEN, F_PART_CLOSE, F_PART_WRITE, F_PART_ERASE, F_PART_GET_SIZE,
    F_UBI_OPEN, F_UBI_CLOSE, F_UBI_WRITE,
    F_FILE_OPEN, F_FILE_CREATE, F_FILE_REMOVE, F_FILE_CLOSE, F_FILE_WRITE,
    F_APPLY_PATCH, F_RUN_SCRIPT, F_FILE_DISCARD, F_SLOT_UNBOOTABLE,
    F_OP_COUNT
};

// How the chosen call fails: -1, 0 (no progress), or half of what was asked.
enum fuzz_fault { FAULT_ERROR, FAULT_ZERO, FAULT_SHORT };

struct fuzz_state {
    const uint8_t* package;
    size_t size;

    // The fault to inject, if any.
    int fault_op = -1;
    uint32_t fault_call = 0;          // counts from 1
    fuzz_fault fault_kind = FAULT_ERROR;
    uint32_t calls[F_OP_COUNT] = {};

    // What the engine did.
    std::map<std::string, std::string> targets;
    int open_handles = 0;
    int bad_handles = 0;              // uses of handles that were not open
    int source_opens = 0;
    bool source_open = false;
    int board_calls = 0;              // anything that touches a target, a patch or a script
    int board_calls_in_first_phase = 0;
    int reports_after_finish = 0;
    int failures[3] = {};             // failure reports per stage
    bool finished = false;
    int scripts = 0;
    std::string last_script;
    int trust_begins = 0;
    int trust_checks = 0;
    size_t digested = 0;              // package bytes handed to the digest
    std::string attributes;           // of the last trailer the stand-in accepted
    int script_variables = 0;         // set for the package's scripts
    int switches = 0;                 // of the boot loader to the written slot
    int unbootable = 0;               // the slot written taken out of the boot order
    bool slot_held = false;           // a resolve holds the slot device
};

extern fuzz_state fuzz;

// Clears the state and points the source at `data`.
void fuzz_reset(const uint8_t* data, size_t size);

// A table with every slot wired to the fuzz host.
upgrade_ops fuzz_ops();

// Aborts with `what` when `condition` is false: an invariant the engine broke.
void fuzz_require(bool condition, const char* what);

// The checks that hold whatever the package and whatever fault was injected.
void fuzz_check_common(int result);
