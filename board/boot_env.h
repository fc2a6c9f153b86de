// The boot loader's state: U-Boot environment variables that fw_printenv
// reads and fw_setenv writes. BOOT_ORDER names the slots in the order the
// boot script tries them; BOOT_A_LEFT and BOOT_B_LEFT count the attempts each
// has left, which the boot script counts down and a confirmation resets.
#pragma once

#include <cstddef>

constexpr size_t BOOT_VALUE_SIZE = 16;

struct boot_state {
    char order[BOOT_VALUE_SIZE];
    char left[2][BOOT_VALUE_SIZE];    // slot A, slot B
};

// How the tools are run: `config` (null or empty: the tools' own) as their
// configuration, and how long they may take. A tool that has not ended by
// then (a stuck boot partition, a lock another program holds) is killed, with
// a line, and counts as failed: it must not hold the run, and its lock, for ever.
struct boot_env {
    const char* config;
    int timeout_s;
};

// Reads BOOT_ORDER, BOOT_A_LEFT and BOOT_B_LEFT. 0, or -1 when fw_printenv
// cannot read the environment or one of them is not set.
int read_boot_state(const boot_env* env, boot_state* boot);

// Sets variables with one call of fw_setenv -s, the `NAME=VALUE` lines of
// `script` on its standard input. 0 when fw_setenv ended well, else -1; only
// reading back tells whether anything was set.
int write_boot_state(const boot_env* env, const char* script);
