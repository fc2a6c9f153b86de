// The board's table of slot groups: which two devices, slot A and slot B, each
// group names. Read by the board, and by fwbundle to check a package against it.
#pragma once

#include <cstddef>

constexpr int SLOT_GROUPS_MAX = 16;
constexpr size_t SLOT_NAME_SIZE = 32;
constexpr size_t SLOT_DEVICE_SIZE = 64;

struct slot_group {
    char name[SLOT_NAME_SIZE];
    char device[2][SLOT_DEVICE_SIZE];   // slot A, slot B
};

struct slot_table {
    int count;
    slot_group groups[SLOT_GROUPS_MAX];
};

// Parses the text of a slot table: one group a line, its name and the devices
// of slot A and slot B, `#` to the end of a line a comment. 0, or -1 after
// printing "Slot table PATH line N: why".
int parse_slot_table(const char* text, size_t length, const char* path, slot_table* table);

// Reads the table at `path`: 1 when read, 0 when there is none, -1 after
// printing why it cannot be used.
int read_slot_table(const char* path, slot_table* table);
