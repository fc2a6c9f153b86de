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

// Reads BOOT_ORDER, BOOT_A_LEFT and BOOT_B_LEFT (empty where not set), with
// `config` (null or empty: the tools' own) as fw_printenv's configuration. 0,
// or -1 when fw_printenv cannot read the environment.
int read_boot_state(const char* config, boot_state* boot);

// Sets variables with one call of fw_setenv -s, the `NAME=VALUE` lines of
// `script` on its standard input. 0 when fw_setenv ended well, else -1; only
// reading back tells whether anything was set.
int write_boot_state(const char* config, const char* script);
