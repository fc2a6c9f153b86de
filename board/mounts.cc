#include "board/mounts.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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

// Fixed by the kernel: MTD device N is the character device 90:2N (90:2N+1
// its read-only twin) and the block device 31:N, mtdblockN.
constexpr unsigned MTD_CHAR_MAJOR = 90;
constexpr unsigned MTD_BLOCK_MAJOR = 31;

char kind_of(const struct stat& st, dev_t* number)
{
    *number = st.st_rdev;
    if (S_ISCHR(st.st_mode) && major(st.st_rdev) == MTD_CHAR_MAJOR)
        *number = makedev(MTD_BLOCK_MAJOR, minor(st.st_rdev) / 2);
    else if (!S_ISBLK(st.st_mode))
        return S_ISCHR(st.st_mode) ? 'c' : 0;
    return 'b';
}

// The first line of the sysfs file `path` into `name`; false when there is none.
bool sysfs_name(const char* path, char (&name)[64])
{
    byte_buffer text;
    if (read_small_file(path, sizeof name - 1, &text) <= 0)
        return false;
    snprintf(name, sizeof name, "%s", reinterpret_cast<char*>(text.get()));
    name[strcspn(name, "\n")] = '\0';
    return name[0] != '\0';
}

// The names of MTD device `index`, which its mounts go by.
void name_mtd(unsigned index, const char* sysfs, device_id* id)
{
    snprintf(id->names[0], sizeof id->names[0], "mtd%u", index);
    snprintf(id->names[1], sizeof id->names[1], "/dev/mtdblock%u", index);
    char path[256];
    char name[64];
    snprintf(path, sizeof path, "%s/class/mtd/mtd%u/name", sysfs, index);
    if (sysfs_name(path, name))
        snprintf(id->names[2], sizeof id->names[2], "mtd:%s", name);
}

// A UBI volume's names come from sysfs, not from the spelling of its path: a
// link or a node of another name leads to the same volume.
void name_ubi_volume(const char* sysfs, device_id* id)
{
    char path[256];
    snprintf(path, sizeof path, "%s/dev/char/%u:%u", sysfs, major(id->rdev), minor(id->rdev));
    char* real = realpath(path, nullptr);
    if (real == nullptr)
        return;
    const char* base = strrchr(real, '/') + 1;
    unsigned device = 0;
    unsigned volume = 0;
    int used = 0;
    bool volume_named = sscanf(base, "ubi%u_%u%n", &device, &volume, &used) == 2 &&
                        base[used] == '\0';
    free(real);
    if (!volume_named)
        return;
    snprintf(id->names[0], sizeof id->names[0], "ubi%u_%u", device, volume);
    snprintf(id->names[1], sizeof id->names[1], "/dev/ubi%u_%u", device, volume);
    char name[64];
    strncat(path, "/name", sizeof path - strlen(path) - 1);
    if (!sysfs_name(path, name))
        return;
    snprintf(id->names[2], sizeof id->names[2], "ubi%u:%s", device, name);
    snprintf(id->names[3], sizeof id->names[3], "ubi:%s", name);
}

// The whole disk that block device `rdev` is a partition of, or `rdev` itself
// when it is none (or sysfs cannot tell).
dev_t whole_disk(const char* sysfs, dev_t rdev)
{
    char path[256];
    snprintf(path, sizeof path, "%s/dev/block/%u:%u/partition", sysfs, major(rdev), minor(rdev));
    struct stat st;
    if (::stat(path, &st) < 0)
        return rdev;
    // A partition's directory lies in its disk's: ../dev is the disk's number.
    snprintf(path, sizeof path, "%s/dev/block/%u:%u/../dev", sysfs, major(rdev), minor(rdev));
    byte_buffer text;
    unsigned disk_major = 0;
    unsigned disk_minor = 0;
    if (read_small_file(path, 32, &text) <= 0 ||
        sscanf(reinterpret_cast<char*>(text.get()), "%u:%u", &disk_major, &disk_minor) != 2)
        return rdev;
    return makedev(disk_major, disk_minor);
}

bool mount_of(const mount_entry& entry, const device_id& id)
{
    if ((id.kind == 'b' && makedev(entry.major, entry.minor) == id.rdev) ||
        strcmp(entry.source, id.path) == 0 || strcmp(entry.source, id.real) == 0)
        return true;
    for (const char* name : id.names)
        if (strcmp(entry.source, name) == 0)
            return true;
    // A source given as another path of the device (a link to it, a node of
    // another name) leads to the same device number.
    dev_t number = 0;
    return entry.source[0] == '/' && id.kind != 0 &&
           device_number(entry.source, &number) == id.kind && number == id.rdev;
}

}  // namespace

char device_number(const char* path, dev_t* number)
{
    struct stat st;
    return ::stat(path, &st) < 0 ? 0 : kind_of(st, number);
}

int identify(const char* path, const char* sysfs, device_id* id)
{
    struct stat st;
    if (::stat(path, &st) < 0)
        return -1;
    memset(id, 0, sizeof *id);
    id->path = path;
    id->kind = kind_of(st, &id->rdev);
    char* real = realpath(path, nullptr);
    if (real != nullptr && strlen(real) < sizeof id->real)
        memcpy(id->real, real, strlen(real) + 1);
    free(real);
    if (id->kind == 'b' && major(id->rdev) == MTD_BLOCK_MAJOR)
        name_mtd(minor(id->rdev), sysfs, id);
    else if (id->kind == 'c')
        name_ubi_volume(sysfs, id);
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

int find_loop_over(const char* sysfs, dev_t rdev, char* loop, size_t size)
{
    char path[256];
    snprintf(path, sizeof path, "%s/block", sysfs);
    DIR* dir = ::opendir(path);
    if (dir == nullptr)
        return errno == ENOENT ? 0 : -1;
    dev_t disk = whole_disk(sysfs, rdev);
    int found = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (strncmp(entry->d_name, "loop", 4) != 0)
            continue;
        // Only a bound loop device has a backing file; it names what the loop
        // device was given, a device node or a regular file.
        byte_buffer text;
        if (snprintf(path, sizeof path, "%s/block/%s/loop/backing_file", sysfs, entry->d_name) >=
                (int)sizeof path ||
            read_small_file(path, 4096, &text) <= 0)
            continue;
        char* backing = reinterpret_cast<char*>(text.get());
        backing[strcspn(backing, "\n")] = '\0';
        struct stat st;
        if (::stat(backing, &st) < 0 || !S_ISBLK(st.st_mode))
            continue;
        if (st.st_rdev == rdev || st.st_rdev == disk || whole_disk(sysfs, st.st_rdev) == rdev) {
            snprintf(loop, size, "/dev/%s", entry->d_name);
            found = 1;
            break;
        }
    }
    ::closedir(dir);
    return found;
}
