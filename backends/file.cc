#include "backends/file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "backends/partition.h"
#include "common/io.h"
#include "common/scoped.h"

namespace {

// A descriptor handed out for a staged file and the target it is to replace.
// The engine holds one file open at a time; a few slots leave room to spare.
struct staged_file {
    bool used;
    int fd;
    struct stat wanted;               // owner, group and mode the target is to have
    char target[PATH_MAX];
};

staged_file staged[4];

staged_file* find_staged(int fd)
{
    for (staged_file& s : staged)
        if (s.used && s.fd == fd)
            return &s;
    return nullptr;
}

staged_file* free_slot()
{
    for (staged_file& s : staged)
        if (!s.used)
            return &s;
    return nullptr;
}

// Writes to a staging file are gathered into pieces of WRITE_BEHIND_SIZE
// bytes: the engine hands data on a few KiB at a time, and a system call for
// each costs more than the copy into this buffer. Only a staging file is
// written late: until its rename nobody reads it, and a write that fails when
// the buffer is flushed fails its block as the write itself would have. A file
// written in place (a device node, a kernel setting) gets every write as it
// comes. One staging file holds the buffer at a time; another one open beside
// it is written straight through.
const int WRITE_BEHIND_SIZE = 32 * 1024;

struct write_behind {
    int fd = -1;
    byte_buffer bytes;
    int filled = 0;
};
write_behind pending;

// A second descriptor of the patch scratch file, kept from its creation until
// the patch runner takes it: bspatch reads the patch through it, so the name in
// the temporary directory, which others may be able to write to, is never
// opened again once the data went in.
struct kept_scratch {
    int fd = -1;
    char path[PATH_MAX];
};
kept_scratch scratch;

// Writes out what waits for `fd` and lets the buffer go. 0, or -1 after
// write_full said why.
int flush_pending(int fd)
{
    if (pending.fd != fd)
        return 0;
    int filled = pending.filled;
    pending.fd = -1;
    pending.filled = 0;
    return write_full(fd, pending.bytes.get(), filled) == filled ? 0 : -1;
}

void forget_pending(int fd)
{
    if (pending.fd == fd) {
        pending.fd = -1;
        pending.filled = 0;
    }
}

uint64_t name_hash(const char* name)
{
    uint64_t hash = 0xcbf29ce484222325ull;    // FNV-1a
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c != '\0'; ++c)
        hash = (hash ^ *c) * 0x100000001b3ull;
    return hash;
}

// The directory part of `path` with its trailing '/', "" for a bare name.
size_t directory_length(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash == nullptr ? 0 : (size_t)(slash - path) + 1;
}

// Whether `path` and `dir` are on one mount. A file bound over another from the
// same file system keeps the device number of its directory: only the mount id
// tells them apart. Where the kernel cannot say, the device numbers decide alone.
bool same_mount(const char* path, const char* dir)
{
#ifdef STATX_MNT_ID
    struct statx file_stx, dir_stx;
    if (::statx(AT_FDCWD, path, 0, STATX_MNT_ID, &file_stx) == 0 &&
        ::statx(AT_FDCWD, dir, 0, STATX_MNT_ID, &dir_stx) == 0 &&
        (file_stx.stx_mask & dir_stx.stx_mask & STATX_MNT_ID) != 0)
        return file_stx.stx_mnt_id == dir_stx.stx_mnt_id;
#else
    (void)path;
    (void)dir;
#endif
    return true;
}

// Whether an existing file can be replaced by renaming a new one over it without
// changing what it is, and where it really lives (links resolved) if so.
bool renamable(const char* path, const struct stat& st, char (&real)[PATH_MAX])
{
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || ::realpath(path, real) == nullptr)
        return false;
    // Entries of /proc and /sys look like regular files but are kernel settings.
    struct statfs fs;
    if (::statfs(real, &fs) < 0 || (uint32_t)fs.f_type == (uint32_t)PROC_SUPER_MAGIC ||
        (uint32_t)fs.f_type == (uint32_t)SYSFS_MAGIC)
        return false;
    // A file mounted over another lives on another device than its directory,
    // and a rename cannot replace a mount point.
    char dir[PATH_MAX];
    size_t length = directory_length(real);
    snprintf(dir, sizeof dir, "%.*s", (int)(length > 1 ? length - 1 : length), real);
    struct stat dir_st;
    if (::stat(dir, &dir_st) < 0 || dir_st.st_dev != st.st_dev || !same_mount(real, dir))
        return false;
    return may_take_owner(st);
}

// Descriptor of a staging file for `path`, or -1 when the file is to be written
// in place (the caller's own open then reports what is wrong, as it always did).
int open_staged(const char* path, bool may_create, uint32_t mode)
{
    staged_file* slot = free_slot();
    if (slot == nullptr)
        return -1;
    struct stat st;
    bool existing = ::stat(path, &st) == 0;
    if (existing) {
        if (!renamable(path, st, slot->target))
            return -1;
    } else {
        // Only a name that is free; a link leading nowhere is followed by the open.
        struct stat link;
        if (!may_create || errno != ENOENT || ::lstat(path, &link) == 0 ||
            strlen(path) >= sizeof slot->target)
            return -1;
        snprintf(slot->target, sizeof slot->target, "%s", path);
    }
    char staging[PATH_MAX];
    if (staging_path(slot->target, staging) < 0)
        return -1;
    // A new file is created as the open of the file itself would create it.
    int fd = create_staging(staging, existing ? 0600 : (mode_t)mode);
    if (fd < 0)
        return -1;
    if (!existing && ::fstat(fd, &st) < 0) {
        ::close(fd);
        ::unlink(staging);
        return -1;
    }
    slot->used = true;
    slot->fd = fd;
    slot->wanted = st;
    return fd;
}

// Makes every directory along `dir` (which ends with '/'), like mkdir -p, in this
// process: the path comes from the package and must never reach a shell. Each
// directory made is flushed into its parent, or a file created in it could
// vanish with it after a power cut. -1 when such a flush failed.
int make_parents(char* dir)
{
    int result = 0;
    for (char* slash = strchr(dir + 1, '/'); slash != nullptr; slash = strchr(slash + 1, '/')) {
        *slash = '\0';
        if (::mkdir(dir, 0777) == 0) {
            if (sync_directory_of(dir) < 0)
                result = -1;
        } else if (errno != EEXIST) {
            perror("mkdir");
        }
        *slash = '/';
    }
    return result;
}

}  // namespace

int staging_path(const char* path, char (&staging)[PATH_MAX])
{
    size_t dir = directory_length(path);
    int n = snprintf(staging, sizeof staging, "%.*s.fwdeploy-%016llx", (int)dir, path,
                     (unsigned long long)name_hash(path + dir));
    return n < 0 || n >= (int)sizeof staging ? -1 : 0;
}

int create_staging(const char* staging, mode_t mode)
{
    // Left by a run that was cut short; the exclusive create below refuses
    // anything that is still in the way.
    ::unlink(staging);
    // Readable: the patch runner checks and copies what bspatch wrote through
    // this descriptor, never through the name.
    return ::open(staging, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool may_take_owner(const struct stat& st)
{
    uid_t uid = ::geteuid();
    return uid == 0 || (st.st_uid == uid && st.st_gid == ::getegid());
}

int take_identity(int fd, const struct stat& wanted)
{
    struct stat now;
    if (::fstat(fd, &now) < 0) {
        perror("fstat");
        return -1;
    }
    bool chown = now.st_uid != wanted.st_uid || now.st_gid != wanted.st_gid;
    if (chown && ::fchown(fd, wanted.st_uid, wanted.st_gid) < 0) {
        perror("fchown");
        return -1;
    }
    // The chown cleared setuid and setgid, and so does a write by a user other
    // than root: the mode goes on last.
    if ((chown || (now.st_mode & 07777) != (wanted.st_mode & 07777)) &&
        ::fchmod(fd, wanted.st_mode & 07777) < 0) {
        perror("fchmod");
        return -1;
    }
    return 0;
}

int sync_directory_of(const char* path)
{
    // A directory named with a trailing '/' (a deleted one) lives in its parent.
    char name[PATH_MAX];
    snprintf(name, sizeof name, "%s", path);
    for (size_t end = strlen(name); end > 1 && name[end - 1] == '/'; --end)
        name[end - 1] = '\0';
    path = name;
    char dir[PATH_MAX];
    size_t length = directory_length(path);
    if (length == 0)
        snprintf(dir, sizeof dir, ".");
    else
        snprintf(dir, sizeof dir, "%.*s", (int)(length > 1 ? length - 1 : length), path);
    // A directory we may not read cannot be flushed by us; the rename still stands.
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int result = 0;
    if (::fsync(fd) < 0 && errno != EINVAL) {
        perror("fsync");
        result = -1;
    }
    ::close(fd);
    return result;
}

int remove_file(const char* path)
{
    if (scratch.fd >= 0 && strcmp(path, scratch.path) == 0)
        release_scratch_descriptor();
    // As remove(3): an empty directory goes too.
    if (::unlink(path) < 0 && (errno != EISDIR || ::rmdir(path) < 0))
        return -1;
    return sync_directory_of(path);
}

int open_file_truncate(const char* path)
{
    int fd = open_staged(path, false, 0);
    if (fd >= 0)
        return fd;
    fd = ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        perror("open");
        return -1;
    }
    return fd;
}

// Makes the directories `path` lies in. -1 when the path is too long for a target.
static int make_parents_of(const char* path)
{
    char dir[256] = {};
    size_t length = strlen(path);
    if (length >= sizeof dir) {
        printf("Path too long (%zu characters at most): %.64s...\n", sizeof dir - 1, path);
        return -1;
    }
    memcpy(dir, path, length);
    char* last_slash = strrchr(dir, '/');
    if (last_slash != nullptr) {
        last_slash[1] = '\0';         // keep the directory with its trailing '/'
        return make_parents(dir);
    }
    return 0;
}

int create_file(const char* path, uint32_t mode)
{
    if (make_parents_of(path) < 0)
        return -1;
    int fd = open_staged(path, true, mode);
    if (fd >= 0)
        return fd;
    fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, (mode_t)mode);
    if (fd < 0) {
        perror("open");
        return -1;
    }
    return fd;
}

int create_scratch_file(const char* path, uint32_t mode)
{
    if (make_parents_of(path) < 0)
        return -1;
    // Only a file we made ourselves is taken away: in a directory others may
    // write to, the name can hold a link to a file of ours or a file of theirs.
    struct stat st;
    if (::lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
        ::unlink(path);
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, (mode_t)mode);
    if (fd < 0) {
        perror("open");
        return -1;
    }
    release_scratch_descriptor();
    if (strlen(path) >= sizeof scratch.path) {
        ::close(fd);
        ::unlink(path);
        return -1;
    }
    scratch.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (scratch.fd < 0) {
        perror("dup");
        ::close(fd);
        ::unlink(path);
        return -1;
    }
    snprintf(scratch.path, sizeof scratch.path, "%s", path);
    return fd;
}

int take_scratch_descriptor(const char* path)
{
    if (scratch.fd < 0 || strcmp(path, scratch.path) != 0)
        return -1;
    int fd = scratch.fd;
    scratch.fd = -1;
    return fd;
}

void release_scratch_descriptor()
{
    if (scratch.fd >= 0)
        ::close(scratch.fd);
    scratch.fd = -1;
}

int copy_into(const char* from, const char* path, const struct stat& identity)
{
    unique_fd source(::open(from, O_RDONLY | O_CLOEXEC));
    if (source.fd < 0) {
        perror("open");
        return -1;
    }
    return copy_from_descriptor(source.fd, path, identity);
}

int copy_from_descriptor(int from, const char* path, const struct stat& identity)
{
    unique_fd to(::open(path, O_WRONLY | O_CLOEXEC));
    if (to.fd < 0) {
        perror("open");
        return -1;
    }
    if (::lseek(from, 0, SEEK_SET) < 0) {
        perror("lseek");
        return -1;
    }
    char buffer[4096];
    off_t total = 0;
    for (;;) {
        ssize_t n = read_some(from, buffer, sizeof buffer);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        if (write_full(to.fd, buffer, (int)n) != (int)n)
            return -1;
        total += n;
    }
    if (::ftruncate(to.fd, total) < 0) {
        perror("ftruncate");
        return -1;
    }
    // A write by a user other than root clears setuid and setgid.
    if (take_identity(to.fd, identity) < 0)
        return -1;
    if (::fsync(to.fd) < 0) {
        perror("fsync");
        return -1;
    }
    if (to.reset() < 0) {
        perror("close");
        return -1;
    }
    return 0;
}

int write_file(int handle, const void* data, int length)
{
    bool buffered = find_staged(handle) != nullptr && (pending.fd < 0 || pending.fd == handle);
    if (!buffered || length < 0)
        return write_full(handle, data, length);
    if (pending.filled + length > WRITE_BEHIND_SIZE && flush_pending(handle) < 0)
        return -1;
    if (!pending.bytes)
        pending.bytes = allocate_bytes(WRITE_BEHIND_SIZE);
    if (length >= WRITE_BEHIND_SIZE || !pending.bytes)
        return write_full(handle, data, length);
    pending.fd = handle;
    memcpy(pending.bytes.get() + pending.filled, data, (size_t)length);
    pending.filled += length;
    return length;
}

int close_file(int handle)
{
    staged_file* s = find_staged(handle);
    if (s == nullptr)
        return close_target(handle);
    s->used = false;
    char staging[PATH_MAX];
    staging_path(s->target, staging);     // it fitted when the file was staged
    int result = 0;
    // Owner and mode last, after every write: a write by a user other than root
    // clears setuid and setgid.
    if (flush_pending(handle) < 0) {
        result = -1;
    } else if (take_identity(handle, s->wanted) < 0) {
        result = -1;
    } else if (::fsync(handle) < 0 && errno != EINVAL) {
        perror("fsync");
        result = -1;
    }
    if (::close(handle) < 0) {
        perror("close");
        result = -1;
    }
    bool renamed = false;
    if (result == 0) {
        if (::rename(staging, s->target) == 0) {
            renamed = true;
        } else if (errno == EBUSY) {
            // Something is mounted over the target (a bind mount of a file on the
            // same filesystem looks like any other file until now): it takes the
            // new contents through its inode instead.
            result = copy_into(staging, s->target, s->wanted);
        } else {
            perror("rename");
            result = -1;
        }
    }
    if (!renamed)
        ::unlink(staging);
    if (result < 0)
        return -1;
    return renamed ? sync_directory_of(s->target) : 0;
}

int discard_file(int handle)
{
    staged_file* s = find_staged(handle);
    if (s == nullptr)
        return close_target(handle);
    s->used = false;
    forget_pending(handle);
    char staging[PATH_MAX];
    staging_path(s->target, staging);
    int result = ::close(handle);
    ::unlink(staging);
    return result < 0 ? -1 : 0;
}
