#include "frontend/mounts.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "common/io.h"
#include "common/scoped.h"

namespace {

constexpr size_t MOUNTINFO_MAX = 1024 * 1024;

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

void name_ubi_volume(const char* path, device_id* id)
{
    const char* base = strrchr(path, '/');
    base = base != nullptr ? base + 1 : path;
    unsigned device = 0;
    unsigned volume = 0;
    int used = 0;
    if (sscanf(base, "ubi%u_%u%n", &device, &volume, &used) != 2 || base[used] != '\0')
        return;
    snprintf(id->ubi_names[0], sizeof id->ubi_names[0], "ubi%u_%u", device, volume);
    char sys_path[80];
    snprintf(sys_path, sizeof sys_path, "/sys/class/ubi/ubi%u_%u/name", device, volume);
    byte_buffer text;
    if (read_small_file(sys_path, 64, &text) <= 0)
        return;
    char* name = reinterpret_cast<char*>(text.get());
    name[strcspn(name, "\n")] = '\0';
    if (name[0] == '\0')
        return;
    snprintf(id->ubi_names[1], sizeof id->ubi_names[1], "ubi%u:%s", device, name);
    snprintf(id->ubi_names[2], sizeof id->ubi_names[2], "ubi:%s", name);
}

bool mount_of(const mount_entry& entry, const device_id& id)
{
    if ((id.block && makedev(entry.major, entry.minor) == id.rdev) ||
        strcmp(entry.source, id.path) == 0)
        return true;
    for (const char* name : id.ubi_names)
        if (name[0] != '\0' && strcmp(entry.source, name) == 0)
            return true;
    return false;
}

}  // namespace

int identify(const char* path, device_id* id)
{
    struct stat st;
    if (::stat(path, &st) < 0)
        return -1;
    memset(id, 0, sizeof *id);
    id->path = path;
    id->block = S_ISBLK(st.st_mode);
    id->rdev = st.st_rdev;
    if (S_ISCHR(st.st_mode))
        name_ubi_volume(path, id);
    return 0;
}

int find_mount(const char* mountinfo, const device_id* id, bool root_only, char* mount_point,
               size_t size, bool* read_write, bool want_read_write)
{
    // Read whole, so that the kernel hands out one consistent list.
    byte_buffer text;
    if (read_small_file(mountinfo, MOUNTINFO_MAX, &text) < 0)
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
