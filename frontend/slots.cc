#include "frontend/slots.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/io.h"
#include "common/scoped.h"
#include "frontend/boot_env.h"
#include "frontend/mounts.h"

namespace {

constexpr size_t SLOT_TABLE_MAX = 8192;
constexpr size_t CMDLINE_MAX = 4096;
const char SLOT_LETTER[2] = {'A', 'B'};

struct slot_state {
    slot_settings settings;
    bool present;
    slot_table table;
    int booted;                       // 0 A, 1 B, -1 unknown
};

// Zero-initialised, so that its tables take no room in the binary; the
// booted slot is found in slots_setup.
slot_state state;

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

bool name_valid(const char* name)
{
    if (name[0] == '\0')
        return false;
    for (const char* c = name; *c != '\0'; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
              *c == '_' || *c == '-'))
            return false;
    return true;
}

// Why one line of a slot table cannot be taken, or null when it can.
const char* judge_line(char* const words[], int count, const slot_table* table, char* why,
                       size_t why_size)
{
    if (count != 3)
        return "a group is a name and the devices of slot A and slot B";
    if (strlen(words[0]) >= SLOT_NAME_SIZE || !name_valid(words[0])) {
        snprintf(why, why_size, "group name %.64s is not up to %zu letters, digits, - and _",
                 words[0], SLOT_NAME_SIZE - 1);
        return why;
    }
    for (int i = 1; i < 3; ++i) {
        if (words[i][0] != '/' || strlen(words[i]) >= SLOT_DEVICE_SIZE) {
            snprintf(why, why_size, "device %.64s is not an absolute path of up to %zu characters",
                     words[i], SLOT_DEVICE_SIZE - 1);
            return why;
        }
    }
    if (strcmp(words[1], words[2]) == 0)
        return "slot A and slot B are the same device";
    if (table->count == SLOT_GROUPS_MAX) {
        snprintf(why, why_size, "more than %d groups", SLOT_GROUPS_MAX);
        return why;
    }
    for (int g = 0; g < table->count; ++g) {
        const slot_group& group = table->groups[g];
        if (strcmp(group.name, words[0]) == 0) {
            snprintf(why, why_size, "group %s is named twice", words[0]);
            return why;
        }
        for (int i = 1; i < 3; ++i)
            if (strcmp(group.device[0], words[i]) == 0 || strcmp(group.device[1], words[i]) == 0) {
                snprintf(why, why_size, "device %s is also in group %s", words[i], group.name);
                return why;
            }
    }
    return nullptr;
}

// The slot the kernel command line names, or -1.
int slot_on_cmdline()
{
    byte_buffer text;
    if (read_small_file(state.settings.cmdline_path, CMDLINE_MAX, &text) < 0)
        return -1;
    size_t key_length = strlen(state.settings.cmdline_key);
    int slot = -1;
    char* word = reinterpret_cast<char*>(text.get());
    while (*word != '\0') {
        while (*word == ' ' || *word == '\n' || *word == '\t')
            ++word;
        char* end = word;
        while (*end != '\0' && *end != ' ' && *end != '\n' && *end != '\t')
            ++end;
        if ((size_t)(end - word) == key_length + 2 &&
            strncmp(word, state.settings.cmdline_key, key_length) == 0 && word[key_length] == '=')
            slot = word[key_length + 1] == 'A' ? 0 : word[key_length + 1] == 'B' ? 1 : -1;
        word = end;
    }
    return slot;
}

// The slot whose device is mounted on /, or -1.
int slot_on_root()
{
    for (int g = 0; g < state.table.count; ++g)
        for (int s = 0; s < 2; ++s) {
            device_id id;
            char at[2];
            bool read_write;
            if (identify(state.table.groups[g].device[s], state.settings.sysfs_root, &id) == 0 &&
                find_mount(state.settings.mountinfo_path, &id, true, at, sizeof at, &read_write,
                           false) == 1)
                return s;
        }
    return -1;
}

const slot_group* find_group(const char* name)
{
    for (int g = 0; g < state.table.count; ++g)
        if (strcmp(state.table.groups[g].name, name) == 0)
            return &state.table.groups[g];
    return nullptr;
}

// Two spellings of one device in the table (a link and its target, an MTD
// character device and its mtdblock twin) would let a slot target write the
// running slot under its other name. Only the board has the devices to tell,
// so this is not part of parsing the table. 0, or -1 after printing which two.
int check_distinct_devices()
{
    char kind[SLOT_GROUPS_MAX * 2];
    dev_t number[SLOT_GROUPS_MAX * 2];
    int count = state.table.count * 2;
    for (int i = 0; i < count; ++i) {
        kind[i] = device_number(state.table.groups[i / 2].device[i % 2], &number[i]);
        for (int j = 0; j < i; ++j)
            if (kind[i] != 0 && kind[i] == kind[j] && number[i] == number[j]) {
                printf("Slot table %s: device %s and device %s are the same device\n",
                       state.settings.table_path, state.table.groups[j / 2].device[j % 2],
                       state.table.groups[i / 2].device[i % 2]);
                return -1;
            }
    }
    return 0;
}

void say_booted_unknown()
{
    printf("Booted slot is unknown: no %s=A or %s=B on the kernel command line, and / is on "
           "no slot device!\n",
           state.settings.cmdline_key, state.settings.cmdline_key);
}

}  // namespace

int parse_slot_table(const char* text, size_t length, const char* path, slot_table* table)
{
    memset(table, 0, sizeof *table);
    char line[256];
    int number = 0;
    size_t at = 0;
    while (at < length) {
        ++number;
        const char* end = static_cast<const char*>(memchr(text + at, '\n', length - at));
        size_t line_length = (end != nullptr ? (size_t)(end - text) : length) - at;
        if (line_length >= sizeof line) {
            printf("Slot table %s line %d: longer than %zu characters\n", path, number,
                   sizeof line - 1);
            return -1;
        }
        memcpy(line, text + at, line_length);
        line[line_length] = '\0';
        at += line_length + 1;
        if (memchr(line, '\0', line_length) != nullptr) {
            printf("Slot table %s line %d: holds a zero byte\n", path, number);
            return -1;
        }
        char* comment = strchr(line, '#');
        if (comment != nullptr)
            *comment = '\0';
        char* words[4];
        int count = 0;
        for (char* p = line; *p != '\0';) {
            while (is_blank(*p))
                *p++ = '\0';
            if (*p == '\0')
                break;
            if (count == 4)
                break;
            words[count++] = p;
            while (*p != '\0' && !is_blank(*p))
                ++p;
        }
        if (count == 0)
            continue;
        char why[160];
        const char* refusal = judge_line(words, count, table, why, sizeof why);
        if (refusal != nullptr) {
            printf("Slot table %s line %d: %s\n", path, number, refusal);
            return -1;
        }
        slot_group& group = table->groups[table->count++];
        snprintf(group.name, sizeof group.name, "%s", words[0]);
        snprintf(group.device[0], sizeof group.device[0], "%s", words[1]);
        snprintf(group.device[1], sizeof group.device[1], "%s", words[2]);
    }
    return 0;
}

int read_slot_table(const char* path, slot_table* table)
{
    memset(table, 0, sizeof *table);
    byte_buffer text;
    long length = read_small_file(path, SLOT_TABLE_MAX, &text);
    if (length < 0) {
        int error = errno;
        if (error == ENOENT)
            return 0;
        if (error == EFBIG)
            printf("Slot table %s is larger than %zu bytes\n", path, SLOT_TABLE_MAX);
        else
            printf("Slot table %s cannot be read: %s\n", path, strerror(error));
        return -1;
    }
    return parse_slot_table(reinterpret_cast<const char*>(text.get()), (size_t)length, path,
                            table) < 0
               ? -1
               : 1;
}

int slots_setup(const slot_settings* settings)
{
    state.settings = *settings;
    state.present = false;
    state.booted = -1;
    int read = read_slot_table(settings->table_path, &state.table);
    if (read < 0)
        return -1;
    if (read == 1 && check_distinct_devices() < 0)
        return -1;
    state.present = read == 1;
    state.booted = slot_on_cmdline();
    if (state.booted < 0)
        state.booted = slot_on_root();
    return 0;
}

bool slots_present()
{
    return state.present;
}

const char* slot_to_write()
{
    static const char* const names[2] = {"B", "A"};
    return state.booted < 0 ? nullptr : names[state.booted];
}

int resolve_slot_target(const char* name, char* device, uint32_t size)
{
    if (!state.present) {
        printf("Slot target @%s refused: this board has no slot table!\n", name);
        return -1;
    }
    const slot_group* group = find_group(name);
    if (group == nullptr) {
        printf("Slot target @%s refused: no such group in %s!\n", name,
               state.settings.table_path);
        return -1;
    }
    if (state.booted < 0) {
        printf("Slot target @%s refused: the booted slot is unknown!\n", name);
        return -1;
    }
    const char* path = group->device[1 - state.booted];
    device_id id;
    if (identify(path, state.settings.sysfs_root, &id) < 0) {
        int error = errno;
        printf("Slot target @%s refused: %s: %s!\n", name, path, strerror(error));
        return -1;
    }
    // The kernel command line may name a slot that is not the one running: the
    // device mounted on / is never written, whatever the line says.
    char at[256];
    bool read_write = false;
    const char* mounts = state.settings.mountinfo_path;
    int root = find_mount(mounts, &id, true, at, sizeof at, &read_write, false);
    int mounted = root == 1 ? 1 : find_mount(mounts, &id, false, at, sizeof at, &read_write, false);
    if (root < 0 || mounted < 0) {
        printf("Slot target @%s refused: the mounts in %s cannot be read!\n", name,
               state.settings.mountinfo_path);
        return -1;
    }
    if (root == 1) {
        printf("Slot target @%s refused: %s is the booted one!\n", name, path);
        return -1;
    }
    if (mounted == 1) {
        printf("Slot target @%s refused: %s is mounted on %s!\n", name, path, at);
        return -1;
    }
    if (strlen(path) >= size)
        return -1;
    snprintf(device, size, "%s", path);
    return 0;
}

void warn_if_mounted(const char* path)
{
    // Only a board with slots has said which devices must stay untouched; on
    // others the console stays as it always was.
    if (!state.present)
        return;
    device_id id;
    if (identify(path, state.settings.sysfs_root, &id) < 0)
        return;
    char at[256];
    bool read_write = false;
    const char* mounts = state.settings.mountinfo_path;
    if (find_mount(mounts, &id, false, at, sizeof at, &read_write, true) == 1)
        printf("Warning: %s is mounted read-write on %s\n", path, at);
}

int switch_boot_slot()
{
    if (state.booted < 0) {
        say_booted_unknown();
        return -1;
    }
    int next = 1 - state.booted;
    char script[128];
    snprintf(script, sizeof script, "BOOT_ORDER=%c %c\nBOOT_%c_LEFT=%d\n", SLOT_LETTER[next],
             SLOT_LETTER[state.booted], SLOT_LETTER[next], state.settings.attempts);
    // fw_setenv may end well without having set anything (it ignores lines it
    // does not take), so only what the environment reads back counts.
    int written = write_boot_state(state.settings.env_config, script);
    boot_state now;
    int read = read_boot_state(state.settings.env_config, &now);
    char order[BOOT_VALUE_SIZE];
    char left[BOOT_VALUE_SIZE];
    snprintf(order, sizeof order, "%c %c", SLOT_LETTER[next], SLOT_LETTER[state.booted]);
    snprintf(left, sizeof left, "%d", state.settings.attempts);
    if (written < 0 || read < 0 || strcmp(now.order, order) != 0 ||
        strcmp(now.left[next], left) != 0) {
        if (written < 0 || read < 0)
            printf("Boot switch to slot %c failed: fw_setenv or fw_printenv failed!\n",
                   SLOT_LETTER[next]);
        else
            printf("Boot switch to slot %c failed: BOOT_ORDER=%s, BOOT_%c_LEFT=%s read back!\n",
                   SLOT_LETTER[next], now.order, SLOT_LETTER[next], now.left[next]);
        return -1;
    }
    printf("Boot switched to slot %c: BOOT_ORDER=%s, BOOT_%c_LEFT=%s\n", SLOT_LETTER[next],
           now.order, SLOT_LETTER[next], now.left[next]);
    return 0;
}

int confirm_booted_slot()
{
    if (state.booted < 0) {
        say_booted_unknown();
        return -1;
    }
    char slot = SLOT_LETTER[state.booted];
    boot_state before;
    if (read_boot_state(state.settings.env_config, &before) < 0) {
        puts("Boot loader environment cannot be read!");
        return -1;
    }
    char script[64];
    snprintf(script, sizeof script, "BOOT_%c_LEFT=%d\n", slot, state.settings.attempts);
    char left[BOOT_VALUE_SIZE];
    snprintf(left, sizeof left, "%d", state.settings.attempts);
    boot_state after;
    const char* config = state.settings.env_config;
    if (write_boot_state(config, script) < 0 || read_boot_state(config, &after) < 0 ||
        strcmp(after.left[state.booted], left) != 0) {
        puts("Boot loader environment cannot be written!");
        return -1;
    }
    printf("Slot %c confirmed: BOOT_%c_LEFT=%s\n", slot, slot, after.left[state.booted]);
    return 0;
}

int list_slots()
{
    boot_state boot;
    if (read_boot_state(state.settings.env_config, &boot) < 0) {
        puts("Boot loader environment cannot be read!");
        return -1;
    }
    printf("booted=%s\n", state.booted < 0 ? "" : state.booted == 0 ? "A" : "B");
    printf("order=%s\n", boot.order);
    printf("A.left=%s\n", boot.left[0]);
    printf("B.left=%s\n", boot.left[1]);
    for (int g = 0; g < state.table.count; ++g) {
        const slot_group& group = state.table.groups[g];
        printf("%s.A=%s\n", group.name, group.device[0]);
        printf("%s.B=%s\n", group.name, group.device[1]);
    }
    return 0;
}
