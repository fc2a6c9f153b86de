#include "board/run_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <cstdint>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/io.h"

namespace {

// How often a root run clears the lock path before it gives up: each time,
// someone else put something there again between our removal and our create.
constexpr int LOCK_ATTEMPTS = 4;

// Random names drawn for what is moved aside before giving up: a second is
// needed only when the first is taken, by chance alone.
constexpr int ASIDE_ATTEMPTS = 8;

int open_lock(const char* path)
{
    // No link is followed: where the lock lives in a directory others may write
    // to, a planted link must not make this tool create a file elsewhere.
    return ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

// Whether `st` is a lock file no one but root can open: flock needs no more than
// a descriptor open for reading, so anyone who can open it can hold it.
bool root_only(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & 07777) == 0600 &&
           st.st_nlink == 1;
}

void describe(const struct stat& st, char (&what)[64])
{
    if (S_ISLNK(st.st_mode))
        snprintf(what, sizeof what, "a symbolic link");
    else if (!S_ISREG(st.st_mode))
        snprintf(what, sizeof what, "not a regular file");
    else if (st.st_uid != 0)
        snprintf(what, sizeof what, "owned by user %u", (unsigned)st.st_uid);
    else if (st.st_nlink != 1)
        snprintf(what, sizeof what, "a file with %u names", (unsigned)st.st_nlink);
    else
        snprintf(what, sizeof what, "a file of mode %04o", (unsigned)(st.st_mode & 07777));
}

// Moves whatever stands at `path` to a name of its own beside it, never
// replacing anything: root removes nothing of another user's, and a directory
// full of files moves as easily as an empty one. The name ends in 64 random
// bits: where others may write to the lock's directory, a name they could
// foresee (from our process id, say) they could take first, every one of them,
// and so stop root's runs. Another draw follows only a name that is taken by
// chance. 0 with the new name in `aside`, or -1 with errno set.
int move_aside(const char* path, char (&aside)[PATH_MAX])
{
    for (int attempt = 0; attempt < ASIDE_ATTEMPTS; ++attempt) {
        uint64_t bits = 0;
        if (random_bytes(&bits, sizeof bits) < 0) {
            errno = EAGAIN;
            return -1;
        }
        if (snprintf(aside, sizeof aside, "%s.aside-%016llx", path, (unsigned long long)bits) >=
            (int)sizeof aside) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int moved = ::renameat2(AT_FDCWD, path, AT_FDCWD, aside, RENAME_NOREPLACE);
        // A file system that cannot promise to replace nothing: look first.
        struct stat st;
        if (moved < 0 && errno == EINVAL && ::lstat(aside, &st) < 0 && errno == ENOENT)
            moved = ::rename(path, aside);
        if (moved == 0)
            return 0;
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// The lock file of a root run: root's own, mode 0600, or made so. Whatever
// else stands at `path` (another user's file, which they may hold for as long
// as they like; a file others can read, and so lock; a link; a directory) is
// moved aside, with a line naming it, and a fresh file is made. Descriptor,
// or -1 with errno set.
int open_root_lock(const char* path)
{
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            if (::fchmod(fd, 0600) == 0)  // whatever the umask took away
                return fd;
            int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        if (errno != EEXIST)
            return -1;
        struct stat st;
        if (::lstat(path, &st) < 0) {
            if (errno == ENOENT)
                continue;
            return -1;
        }
        if (root_only(st)) {
            // Only root can rename or write in a directory where it may be used,
            // or the sticky bit keeps others from renaming root's file; the
            // descriptor is checked all the same.
            unique_fd existing(::open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
            struct stat opened;
            if (existing.fd >= 0 && ::fstat(existing.fd, &opened) == 0 &&
                opened.st_dev == st.st_dev && opened.st_ino == st.st_ino && root_only(opened))
                return existing.release();
            continue;
        }
        char what[64];
        describe(st, what);
        char aside[PATH_MAX];
        if (move_aside(path, aside) < 0) {
            if (errno == ENOENT)
                continue;
            return -1;
        }
        printf("Replaced lock file %s: it was %s, now %s\n", path, what, aside);
    }
    errno = EEXIST;
    return -1;
}

// The lock of a check: an existing lock file, opened for reading, never made or
// replaced, since a check writes nothing. Root takes its own file only. -1 with
// errno set when there is none it can use.
int open_check_lock(const char* path)
{
    unique_fd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (fd.fd < 0 || ::fstat(fd.fd, &st) < 0)
        return -1;
    if (::geteuid() == 0 ? !root_only(st) : !S_ISREG(st.st_mode)) {
        errno = EPERM;
        return -1;
    }
    return fd.release();
}

// Whether the directory that `path` names its file in is missing. A check
// opens no lock file it did not find, so its ENOENT alone cannot tell.
bool directory_missing(const char* path)
{
    char dir[PATH_MAX];
    const char* slash = strrchr(path, '/');
    if (slash == nullptr)
        return false;
    size_t length = slash == path ? 1 : (size_t)(slash - path);
    if (length >= sizeof dir)
        return false;
    memcpy(dir, path, length);
    dir[length] = '\0';
    struct stat st;
    return ::stat(dir, &st) < 0 && errno == ENOENT;
}

}  // namespace

int take_run_lock(const char* path, const char* fallback, bool check_only, unique_fd* held)
{
    int (*open_one)(const char*) =
        check_only ? open_check_lock : ::geteuid() == 0 ? open_root_lock : open_lock;
    const char* used = path;
    unique_fd fd(open_one(path));
    if (fd.fd < 0 && errno == ENOENT && fallback != nullptr && fallback[0] != '\0' &&
        directory_missing(path)) {
        used = fallback;
        fd.fd = open_one(fallback);
    }
    if (fd.fd < 0 && check_only) {
        // No lock file this check can use: another user's tool checking a
        // package before handing it to root must not be refused for that.
        held->reset();
        return 0;
    }
    if (fd.fd < 0) {
        int error = errno;
        printf("Lock file %s cannot be opened: %s\n", used, strerror(error));
        return -1;
    }
    int r;
    do r = ::flock(fd.fd, LOCK_EX | LOCK_NB); while (r < 0 && errno == EINTR);
    if (r < 0) {
        int error = errno;
        if (error == EWOULDBLOCK)
            printf("Another fwdeploy is running (lock %s)\n", used);
        else
            printf("Lock file %s cannot be locked: %s\n", used, strerror(error));
        return -1;
    }
    held->reset();
    held->fd = fd.release();
    return 0;
}
