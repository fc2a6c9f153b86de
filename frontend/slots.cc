#include "frontend/slots.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "backends/partition.h"
#include "common/process.h"
#include "common/scoped.h"

namespace {

constexpr size_t SLOT_TABLE_MAX = 8192;
constexpr size_t CMDLINE_MAX = 4096;
constexpr size_t MOUNTINFO_MAX = 1024 * 1024;
constexpr size_t ENV_VALUE_SIZE = 16;
const char SLOT_LETTER[2] = {'A', 'B'};

struct slot_state {
    slot_settings settings;
    bool present;
    slot_table table;
    int booted;                       // 0 A, 1 B, -1 unknown
};

slot_state state = {{}, false, {}, -1};

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

// Reads a whole small file into a zero-terminated heap buffer of at most
// `limit` bytes. Its length, or -1 with errno set (EFBIG when it is larger).
long read_small_file(const char* path, size_t limit, byte_buffer* text)
{
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return -1;
    *text = allocate_bytes(limit + 1);
    if (!*text) {
        errno = ENOMEM;
        return -1;
    }
    size_t length = 0;
    for (;;) {
        ssize_t n = ::read(fd.fd, text->get() + length, limit + 1 - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        length += (size_t)n;
        if (length > limit) {
            errno = EFBIG;
            return -1;
        }
    }
    text->get()[length] = '\0';
    return (long)length;
}

// One line of /proc/self/mountinfo: the device number, the mount point, whether
// this mount is writable, and the source the filesystem was mounted from.
struct mount_entry {
    unsigned major;
    unsigned minor;
    const char* mount_point;
    bool read_write;
    const char* source;
};

int parse_mount(char* line, mount_entry* entry)
{
    char* fields[16];
    int count = 0;
    for (char* p = line; *p != '\0' && count < 16;) {
        while (*p == ' ')
            *p++ = '\0';
        if (*p == '\0')
            break;
        fields[count++] = p;
        while (*p != '\0' && *p != ' ')
            ++p;
    }
    // Optional fields stand between the options and a lone "-"; the source is
    // the second field after it.
    int dash = 6;
    while (dash < count && strcmp(fields[dash], "-") != 0)
        ++dash;
    if (count < 6 || dash + 2 >= count)
        return -1;
    if (sscanf(fields[2], "%u:%u", &entry->major, &entry->minor) != 2)
        return -1;
    entry->mount_point = fields[4];
    entry->read_write = strncmp(fields[5], "rw", 2) == 0 && (fields[5][2] == ',' ||
                                                             fields[5][2] == '\0');
    entry->source = fields[dash + 2];
    return 0;
}

// A device as the mounts name it: its number when it is a block device, and its path.
struct device_id {
    const char* path;
    bool block;
    dev_t rdev;
};

int identify(const char* path, device_id* id)
{
    struct stat st;
    if (::stat(path, &st) < 0)
        return -1;
    id->path = path;
    id->block = S_ISBLK(st.st_mode);
    id->rdev = st.st_rdev;
    return 0;
}

bool mount_of(const mount_entry& entry, const device_id& id)
{
    return (id.block && makedev(entry.major, entry.minor) == id.rdev) ||
           strcmp(entry.source, id.path) == 0;
}

// The mounts, read whole so that the kernel hands out a consistent list.
long read_mounts(byte_buffer* text)
{
    return read_small_file(state.settings.mountinfo_path, MOUNTINFO_MAX, text);
}

// Where `id` is mounted: 1 with *found filled (the last such mount, which is
// the one on top), 0 when nowhere, -1 when the mounts cannot be read. With
// `root_only`, only a mount on / counts.
int find_mount(const device_id* id, bool root_only, char* mount_point, size_t size,
               bool* read_write, bool want_read_write)
{
    byte_buffer text;
    if (read_mounts(&text) < 0)
        return -1;
    int found = 0;
    char* line = reinterpret_cast<char*>(text.get());
    while (line != nullptr && *line != '\0') {
        char* next = strchr(line, '\n');
        if (next != nullptr)
            *next++ = '\0';
        mount_entry entry;
        if (parse_mount(line, &entry) == 0 && mount_of(entry, *id) &&
            (!root_only || strcmp(entry.mount_point, "/") == 0) &&
            (!want_read_write || entry.read_write)) {
            found = 1;
            snprintf(mount_point, size, "%s", entry.mount_point);
            *read_write = entry.read_write;
        }
        line = next;
    }
    return found;
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
            if (identify(state.table.groups[g].device[s], &id) == 0 &&
                find_mount(&id, true, at, sizeof at, &read_write, false) == 1)
                return s;
        }
    return -1;
}

// Runs fw_printenv or fw_setenv with the board's configuration, if named.
// argv holds the tool and room for "-c FILE" after it.
void with_config(const char* tool, char* argv[], int* count)
{
    argv[(*count)++] = const_cast<char*>(tool);
    const char* config = state.settings.env_config;
    if (config != nullptr && config[0] != '\0') {
        argv[(*count)++] = const_cast<char*>("-c");
        argv[(*count)++] = const_cast<char*>(config);
    }
}

struct boot_state {
    char order[ENV_VALUE_SIZE];
    char left[2][ENV_VALUE_SIZE];
};

// Reads BOOT_ORDER, BOOT_A_LEFT and BOOT_B_LEFT (empty where not set). 0, or
// -1 when fw_printenv cannot read the environment.
int read_boot_state(boot_state* boot)
{
    memset(boot, 0, sizeof *boot);
    char* argv[8];
    int count = 0;
    with_config("fw_printenv", argv, &count);
    argv[count++] = const_cast<char*>("BOOT_ORDER");
    argv[count++] = const_cast<char*>("BOOT_A_LEFT");
    argv[count++] = const_cast<char*>("BOOT_B_LEFT");
    argv[count] = nullptr;
    int output = -1;
    child_guard child(spawn_piped(argv, STDOUT_FILENO, &output));
    if (child.pid < 0)
        return -1;
    char text[512];
    size_t length = 0;
    {
        unique_fd from(output);
        for (;;) {
            ssize_t n = ::read(from.fd, text + length, sizeof text - 1 - length);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            length += (size_t)n;
            if (length == sizeof text - 1)
                break;                // more than the three lines asked for: read no further
        }
    }
    text[length] = '\0';
    if (!exited_with(child.wait(), 0))
        return -1;
    static const char* const names[3] = {"BOOT_ORDER=", "BOOT_A_LEFT=", "BOOT_B_LEFT="};
    char* values[3] = {boot->order, boot->left[0], boot->left[1]};
    int seen = 0;
    for (char* line = text; line != nullptr && *line != '\0';) {
        char* next = strchr(line, '\n');
        if (next != nullptr)
            *next++ = '\0';
        for (int i = 0; i < 3; ++i) {
            size_t name_length = strlen(names[i]);
            if (strncmp(line, names[i], name_length) == 0) {
                snprintf(values[i], ENV_VALUE_SIZE, "%s", line + name_length);
                seen |= 1 << i;
            }
        }
        line = next;
    }
    return seen == 7 ? 0 : -1;
}

// Sets variables with one call of fw_setenv -s, the `NAME=VALUE` lines of
// `script` on its standard input. 0 when fw_setenv ended well, else -1.
int write_boot_state(const char* script)
{
    char* argv[8];
    int count = 0;
    with_config("fw_setenv", argv, &count);
    argv[count++] = const_cast<char*>("-s");
    argv[count++] = const_cast<char*>("-");
    argv[count] = nullptr;
    int input = -1;
    child_guard child(spawn_piped(argv, STDIN_FILENO, &input));
    if (child.pid < 0)
        return -1;
    int length = (int)strlen(script);
    int written;
    {
        unique_fd to(input);
        written = write_full(to.fd, script, length);
    }
    return exited_with(child.wait(), 0) && written == length ? 0 : -1;
}

const slot_group* find_group(const char* name)
{
    for (int g = 0; g < state.table.count; ++g)
        if (strcmp(state.table.groups[g].name, name) == 0)
            return &state.table.groups[g];
    return nullptr;
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
    if (identify(path, &id) < 0) {
        int error = errno;
        printf("Slot target @%s refused: %s: %s!\n", name, path, strerror(error));
        return -1;
    }
    // The kernel command line may name a slot that is not the one running: the
    // device mounted on / is never written, whatever the line says.
    char at[256];
    bool read_write = false;
    int root = find_mount(&id, true, at, sizeof at, &read_write, false);
    int mounted = root == 1 ? 1 : find_mount(&id, false, at, sizeof at, &read_write, false);
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
    if (identify(path, &id) < 0)
        return;
    char at[256];
    bool read_write = false;
    if (find_mount(&id, false, at, sizeof at, &read_write, true) == 1)
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
    int written = write_boot_state(script);
    boot_state now;
    int read = read_boot_state(&now);
    char order[ENV_VALUE_SIZE];
    char left[ENV_VALUE_SIZE];
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
    if (read_boot_state(&before) < 0) {
        puts("Boot loader environment cannot be read!");
        return -1;
    }
    char script[64];
    snprintf(script, sizeof script, "BOOT_%c_LEFT=%d\n", slot, state.settings.attempts);
    char left[ENV_VALUE_SIZE];
    snprintf(left, sizeof left, "%d", state.settings.attempts);
    boot_state after;
    if (write_boot_state(script) < 0 || read_boot_state(&after) < 0 ||
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
    if (read_boot_state(&boot) < 0) {
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
