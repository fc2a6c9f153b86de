// The board's two slots: its table of slot groups, which slot runs, which
// device a slot target writes, and the switch and confirmation of the boot
// loader's state (see boot_env.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "board/slot_table.h"

// Where the board's slots and boot state are found; fixed at build time.
struct slot_settings {
    const char* table_path;
    const char* cmdline_path;         // the kernel command line
    const char* cmdline_key;          // KEY=A or KEY=B on it names the booted slot
    const char* mountinfo_path;       // the mounts, with their device numbers
    const char* sysfs_root;           // where sysfs is: the names of MTD and UBI devices
    const char* env_config;           // for fw_printenv -c; null or empty: the tools' own
    int env_timeout_s;                // how long fw_printenv and fw_setenv may take
    int attempts;                     // boot attempts a new or confirmed slot gets
};

// Reads the slot table and finds the booted slot. 0, or -1 after printing why
// the table cannot be used; a board without a table is no failure.
int slots_setup(const slot_settings* settings);

// Whether slots_setup found a table.
bool slots_present();

// "A" or "B": the slot that does not run and that slot targets write; null
// when the booted slot is unknown.
const char* slot_to_write();

// The slot the kernel command line `text` (changed in place) names with
// `key`, read as the kernel reads its parameters: 0 for A, 1 for B, -1 when
// it names none, -2 when the last mention names something that is no slot.
int cmdline_slot(char* text, const char* key);

// The slot_ops slots (see engine/fwdeploy.h).
int resolve_slot_target(const char* name, char* device, uint32_t size);
void release_slot_device();
int make_slot_unbootable();
int switch_boot_slot();
void warn_if_mounted(const char* path);

// The guard_device slot: -1 after a line when `path` names a device of the
// slot that is not booted (either, while the booted one is unknown), by its
// name, a link to it, or its device number; 0 otherwise.
int guard_slot_device(const char* path);

// fwdeploy -g: gives the booted slot its attempts back. 0, or -1 after printing why.
int confirm_booted_slot();

// fwdeploy -l: prints where the board stands as key=value lines. 0, or -1
// after printing why.
int list_slots();
