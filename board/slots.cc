#include "board/slots.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board/boot_env.h"
#include "board/mounts.h"
#include "common/io.h"
#include "common/scoped.h"

namespace {

constexpr size_t CMDLINE_MAX = 4096;
const char SLOT_LETTER[2] = {'A', 'B'};

struct slot_state {
    slot_settings settings;
    bool present;
    slot_table table;
    int booted;                       // 0 A, 1 B, -1 unknown
    int held;                         // the slot device the last resolve holds, or -1
    boot_env env;
};

// Zero-initialised, so that its tables take no room in the binary; the
// booted slot is found in slots_setup.
slot_state state;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Whether a parameter's name is `key`, as the kernel compares them: a dash
// and an underscore are the same.
bool key_is(const char* name, size_t length, const char* key)
{
    if (strlen(key) != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        char a = name[i] == '-' ? '_' : name[i];
        char b = key[i] == '-' ? '_' : key[i];
        if (a != b)
            return false;
    }
    return true;
}

}  // namespace

int cmdline_slot(char* text, const char* key)
{
    int slot = -1;
    char* at = text;
    for (;;) {
        while (is_space(*at))
            ++at;
        if (*at == '\0')
            break;
        // One parameter, read as the kernel reads it: blanks inside double
        // quotes belong to it, quotes around it or around its value do not.
        bool quoted = *at == '"';
        if (quoted)
            ++at;
        char* param = at;
        char* equals = nullptr;
        bool in_quote = quoted;
        while (*at != '\0' && (in_quote || !is_space(*at))) {
            if (equals == nullptr && *at == '=')
                equals = at;
            if (*at == '"')
                in_quote = !in_quote;
            ++at;
        }
        char* end = at;
        if (*at != '\0')
            ++at;
        *end = '\0';
        char* value = nullptr;
        if (equals != nullptr) {
            *equals = '\0';
            value = equals + 1;
            if (*value == '"') {
                ++value;
                if (end > value && end[-1] == '"')
                    end[-1] = '\0';
            }
        }
        if (quoted && end > param && end[-1] == '"')
            end[-1] = '\0';
        // What follows "--" is for init, not the kernel.
        if (equals == nullptr && strcmp(param, "--") == 0)
            break;
        if (key_is(param, strlen(param), key)) {
            // The last one counts, as for the kernel; a value that names no
            // slot leaves the booted slot unknown rather than guessed.
            slot = value != nullptr && strcmp(value, "A") == 0   ? 0
                   : value != nullptr && strcmp(value, "B") == 0 ? 1
                                                                 : -2;
        }
    }
    return slot;
}

namespace {

// The slot the kernel command line names: 0 or 1; -1 when it names none, -2
// when it names something that is no slot.
int slot_on_cmdline()
{
    byte_buffer text;
    if (read_small_file(state.settings.cmdline_path, CMDLINE_MAX, &text) < 0)
        return -1;
    return cmdline_slot(reinterpret_cast<char*>(text.get()), state.settings.cmdline_key);
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

// Holds a block device so that nothing can mount it, or have it held by
// device-mapper or md, until release_slot_device: the kernel refuses an
// exclusive open while the device or any of its partitions is in use, and
// refuses those users while we hold it. 0, or -1 with errno set (EBUSY: in
// use). Character devices are left as they are: UBI takes a volume for
// itself when it is updated, and nandwrite opens the MTD device.
int hold_device(const char* path)
{
    struct stat st;
    if (::stat(path, &st) < 0)
        return -1;
    if (!S_ISBLK(st.st_mode))
        return 0;
    int fd = ::open(path, O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0)
        return -1;
    state.held = fd;
    return 0;
}

// Writes BOOT_ORDER and BOOT_<slot>_LEFT with one call of fw_setenv and reads
// them back: fw_setenv may end well without having set anything (it ignores
// lines it does not take), so only what the environment reads back counts.
// 0 when both read back as written; -1 with *tools_failed set when fw_setenv
// or fw_printenv failed, else with *now holding what was read back.
int set_boot_state(const char* order, int slot, int left, boot_state* now, bool* tools_failed)
{
    char script[128];
    snprintf(script, sizeof script, "BOOT_ORDER=%s\nBOOT_%c_LEFT=%d\n", order, SLOT_LETTER[slot],
             left);
    int written = write_boot_state(&state.env, script);
    int read = read_boot_state(&state.env, now);
    *tools_failed = written < 0 || read < 0;
    char value[BOOT_VALUE_SIZE];
    snprintf(value, sizeof value, "%d", left);
    if (*tools_failed || strcmp(now->order, order) != 0 || strcmp(now->left[slot], value) != 0)
        return -1;
    return 0;
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
    state.held = -1;
    state.env.config = settings->env_config;
    state.env.timeout_s = settings->env_timeout_s;
    int named = slot_on_cmdline();
    state.booted = named == -1 ? slot_on_root() : named < 0 ? -1 : named;
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
    release_slot_device();
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
    // The mounts name no whole disk whose partition is mounted, nor a device
    // that device-mapper holds; the kernel knows.
    if (hold_device(path) < 0) {
        int error = errno;
        if (error == EBUSY)
            printf("Slot target @%s refused: %s is in use!\n", name, path);
        else
            printf("Slot target @%s refused: %s: %s!\n", name, path, strerror(error));
        return -1;
    }
    // Nor a loop device that reads the slot (`mount -o loop` of it, or of its
    // disk or partition): it claims nothing, so the hold above succeeds, and
    // the mounts name only the loop device. Looked at once the slot is held,
    // so that no mount can come between.
    if (id.kind == 'b') {
        char loop[64];
        int looped = find_loop_over(state.settings.sysfs_root, id.rdev, loop, sizeof loop);
        if (looped != 0) {
            release_slot_device();
            if (looped < 0)
                printf("Slot target @%s refused: the loop devices in %s cannot be read!\n", name,
                       state.settings.sysfs_root);
            else
                printf("Slot target @%s refused: %s is in use by %s!\n", name, path, loop);
            return -1;
        }
    }
    snprintf(device, size, "%s", path);
    return 0;
}

void release_slot_device()
{
    if (state.held >= 0)
        ::close(state.held);
    state.held = -1;
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

namespace {

// Whether two devices are one: the same device number, or the same file once
// every link is resolved.
bool same_device(const device_id& a, const device_id& b)
{
    if (a.kind != 0 && a.kind == b.kind && a.rdev == b.rdev)
        return true;
    return a.real[0] != '\0' && strcmp(a.real, b.real) == 0;
}

}  // namespace

int guard_slot_device(const char* path)
{
    if (!state.present)
        return 0;
    device_id target;
    bool known = identify(path, state.settings.sysfs_root, &target) == 0;
    // The slot that slot blocks write, or both while the booted one is
    // unknown: written by its name, it would be written while it could boot.
    for (int g = 0; g < state.table.count; ++g) {
        const slot_group& group = state.table.groups[g];
        for (int slot = 0; slot < 2; ++slot) {
            if (slot == state.booted)
                continue;
            device_id device;
            bool same = strcmp(path, group.device[slot]) == 0 ||
                        (known && identify(group.device[slot], state.settings.sysfs_root,
                                           &device) == 0 &&
                         same_device(target, device));
            if (same) {
                printf("Target %s refused: it is slot %c of group %s, which a package writes "
                       "as @%s!\n", path, SLOT_LETTER[slot], group.name, group.name);
                return -1;
            }
        }
    }
    return 0;
}

int switch_boot_slot()
{
    if (state.booted < 0) {
        say_booted_unknown();
        return -1;
    }
    int next = 1 - state.booted;
    char order[8];
    snprintf(order, sizeof order, "%c %c", SLOT_LETTER[next], SLOT_LETTER[state.booted]);
    boot_state now;
    bool tools_failed = false;
    if (set_boot_state(order, next, state.settings.attempts, &now, &tools_failed) < 0) {
        if (tools_failed)
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

int make_slot_unbootable()
{
    if (state.booted < 0) {
        say_booted_unknown();
        return -1;
    }
    // The booted slot alone in the order: a boot script that finds no slot
    // with attempts left boots one of the order, and must not find this one.
    int other = 1 - state.booted;
    char order[2] = {SLOT_LETTER[state.booted], '\0'};
    boot_state now;
    bool tools_failed = false;
    if (set_boot_state(order, other, 0, &now, &tools_failed) < 0) {
        if (tools_failed)
            printf("Slot %c cannot be taken out of the boot order: fw_setenv or fw_printenv "
                   "failed!\n", SLOT_LETTER[other]);
        else
            printf("Slot %c cannot be taken out of the boot order: BOOT_ORDER=%s, BOOT_%c_LEFT=%s "
                   "read back!\n", SLOT_LETTER[other], now.order, SLOT_LETTER[other],
                   now.left[other]);
        return -1;
    }
    printf("Slot %c taken out of the boot order while it is written: BOOT_ORDER=%s, "
           "BOOT_%c_LEFT=%s\n", SLOT_LETTER[other], now.order, SLOT_LETTER[other],
           now.left[other]);
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
    if (read_boot_state(&state.env, &before) < 0) {
        puts("Boot loader environment cannot be read!");
        return -1;
    }
    char script[64];
    snprintf(script, sizeof script, "BOOT_%c_LEFT=%d\n", slot, state.settings.attempts);
    char left[BOOT_VALUE_SIZE];
    snprintf(left, sizeof left, "%d", state.settings.attempts);
    boot_state after;
    if (write_boot_state(&state.env, script) < 0 || read_boot_state(&state.env, &after) < 0 ||
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
    if (read_boot_state(&state.env, &boot) < 0) {
        puts("Boot loader environment cannot be read!");
        return -1;
    }
    // fw_printenv names a variable that is not set as if it were empty; an
    // empty value here would read as if the board had none of it.
    static const char* const names[3] = {"BOOT_ORDER", "BOOT_A_LEFT", "BOOT_B_LEFT"};
    const char* values[3] = {boot.order, boot.left[0], boot.left[1]};
    for (int i = 0; i < 3; ++i)
        if (values[i][0] == '\0') {
            printf("Boot loader environment has no %s!\n", names[i]);
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
