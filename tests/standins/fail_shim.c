/* Preloaded into fwdeploy by the failure tests: the N-th call of one named
 * function fails with a chosen errno, as the kernel or the C library would fail
 * it (a full disk, a flash that stopped answering, a shell that went away).
 *
 *   FWDEPLOY_FAIL_CALL   the function: open, fsync, fchown, fchmod, rename, close,
 *                        write, ftruncate, fwrite, fflush, statx, or mmap and
 *                        mremap of anonymous memory (named "anonymous"; the C
 *                        library's own allocator maps without passing through
 *                        here); or "statx_mnt_id": statx answers every call as
 *                        a kernel before 5.8 does, without the mount id; or
 *                        "getrandom": the chosen call answers zeros instead of
 *                        failing, as a source that repeats itself would
 *   FWDEPLOY_FAIL_AT     which of its calls fails, counting from 1 (default 1)
 *   FWDEPLOY_FAIL_ERRNO  the errno it fails with (default EIO)
 *   FWDEPLOY_FAIL_MATCH  only calls on a file whose path contains this count;
 *                        a trailing '$' anchors it at the end. Descriptors and
 *                        streams are named through /proc/self/fd ("pipe:[..]").
 *   FWDEPLOY_FAIL_NOTE   a file that gets one line, "<function> <path>", when
 *                        the failure was injected: tells a run that never got
 *                        that far from one that shrugged the failure off
 *
 * A failed close still releases the descriptor, as close(2) does on Linux. Like
 * the kill shim, it takes itself out of the environment when loaded, so the
 * programs the tool starts (sh, bspatch, nandwrite) run without it. */
#define _GNU_SOURCE
/* Both names of ftruncate are defined below, whichever of them the tool calls. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static char call[32];
static char match[1024];
static char note[1024];
static long calls_left;
static int fail_errno = EIO;

__attribute__((constructor)) static void arm(void)
{
    const char* name = getenv("FWDEPLOY_FAIL_CALL");
    const char* at = getenv("FWDEPLOY_FAIL_AT");
    const char* error = getenv("FWDEPLOY_FAIL_ERRNO");
    const char* m = getenv("FWDEPLOY_FAIL_MATCH");
    const char* n = getenv("FWDEPLOY_FAIL_NOTE");
    snprintf(call, sizeof call, "%s", name != NULL ? name : "");
    snprintf(match, sizeof match, "%s", m != NULL ? m : "");
    snprintf(note, sizeof note, "%s", n != NULL ? n : "");
    calls_left = at != NULL ? strtol(at, NULL, 10) : 1;
    if (error != NULL)
        fail_errno = (int)strtol(error, NULL, 10);
    const char* names[] = {"FWDEPLOY_FAIL_CALL", "FWDEPLOY_FAIL_AT", "FWDEPLOY_FAIL_ERRNO",
                           "FWDEPLOY_FAIL_MATCH", "FWDEPLOY_FAIL_NOTE", "LD_PRELOAD"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        unsetenv(names[i]);
}

static void* next(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

static int matches(const char* path)
{
    size_t want = strlen(match);
    if (want == 0)
        return 1;
    if (path == NULL)
        return 0;
    if (match[want - 1] == '$') {
        size_t have = strlen(path);
        return have >= want - 1 && memcmp(path + have - (want - 1), match, want - 1) == 0;
    }
    return strstr(path, match) != NULL;
}

static void fd_path(int fd, char* path, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, size - 1);
    path[n < 0 ? 0 : n] = '\0';
}

static void write_note(const char* name, const char* path)
{
    if (note[0] == '\0')
        return;
    int (*real_close)(int) = (int (*)(int))next("close");
    ssize_t (*real_write)(int, const void*, size_t) =
        (ssize_t (*)(int, const void*, size_t))next("write");
    int (*real_open)(const char*, int, ...) = (int (*)(const char*, int, ...))next("open");
    int fd = real_open(note, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char line[1200];
    int length = snprintf(line, sizeof line, "%s %s\n", name, path);
    if (length > 0 && real_write(fd, line, (size_t)length) < 0)
        perror("fail_shim");
    real_close(fd);
}

/* Whether this call, on `path`, is the one to fail; counts it when it matches. */
static int fails(const char* name, const char* path)
{
    if (calls_left <= 0 || strcmp(name, call) != 0 || !matches(path))
        return 0;
    if (--calls_left != 0)
        return 0;
    write_note(name, path);
    return 1;
}

static int fails_fd(const char* name, int fd)
{
    if (calls_left <= 0 || strcmp(name, call) != 0)
        return 0;
    char path[1024];
    fd_path(fd, path, sizeof path);
    return fails(name, path);
}

/* open and its 64-bit name fail before anything is opened, as for a file the
 * caller may not read (EACCES), which root could not otherwise be shown. */
static int open_with(const char* name, const char* path, int flags, va_list args)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        mode = (mode_t)va_arg(args, int);
    if (fails("open", path)) {
        errno = fail_errno;
        return -1;
    }
    return ((int (*)(const char*, int, ...))next(name))(path, flags, mode);
}

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    int fd = open_with("open", path, flags, args);
    va_end(args);
    return fd;
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    int fd = open_with("open64", path, flags, args);
    va_end(args);
    return fd;
}

int fsync(int fd)
{
    if (fails_fd("fsync", fd)) {
        errno = fail_errno;
        return -1;
    }
    return ((int (*)(int))next("fsync"))(fd);
}

int fchown(int fd, uid_t uid, gid_t gid)
{
    if (fails_fd("fchown", fd)) {
        errno = fail_errno;
        return -1;
    }
    return ((int (*)(int, uid_t, gid_t))next("fchown"))(fd, uid, gid);
}

int fchmod(int fd, mode_t mode)
{
    if (fails_fd("fchmod", fd)) {
        errno = fail_errno;
        return -1;
    }
    return ((int (*)(int, mode_t))next("fchmod"))(fd, mode);
}

int ftruncate(int fd, off_t length)
{
    if (fails_fd("ftruncate", fd)) {
        errno = fail_errno;
        return -1;
    }
    return ((int (*)(int, off_t))next("ftruncate"))(fd, length);
}

/* 32-bit builds with 64-bit file offsets call this name instead. */
int ftruncate64(int fd, off64_t length)
{
    if (fails_fd("ftruncate", fd)) {
        errno = fail_errno;
        return -1;
    }
    return ((int (*)(int, off64_t))next("ftruncate64"))(fd, length);
}

int close(int fd)
{
    int failed = fails_fd("close", fd);
    int result = ((int (*)(int))next("close"))(fd);
    if (failed) {
        errno = fail_errno;
        return -1;
    }
    return result;
}

ssize_t write(int fd, const void* data, size_t length)
{
    if (fails_fd("write", fd)) {
        errno = fail_errno;
        return -1;
    }
    return ((ssize_t (*)(int, const void*, size_t))next("write"))(fd, data, length);
}

int rename(const char* from, const char* to)
{
    if (calls_left > 0 && strcmp(call, "rename") == 0 &&
        (matches(from) || matches(to)) && fails("rename", matches(from) ? from : to)) {
        errno = fail_errno;
        return -1;
    }
    return ((int (*)(const char*, const char*))next("rename"))(from, to);
}

/* A stream whose write failed has its error indicator set, as after a failed
 * write(2) underneath, and nothing of what it held reaches the file. */
static int fails_stream(const char* name, FILE* stream)
{
    return stream != NULL && fails_fd(name, fileno(stream));
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    if (fails_stream("fwrite", stream)) {
        stream->_flags |= _IO_ERR_SEEN;
        errno = fail_errno;
        return 0;
    }
    return ((size_t (*)(const void*, size_t, size_t, FILE*))next("fwrite"))(data, size, count,
                                                                             stream);
}

int fflush(FILE* stream)
{
    if (fails_stream("fflush", stream)) {
        __fpurge(stream);
        stream->_flags |= _IO_ERR_SEEN;
        errno = fail_errno;
        return EOF;
    }
    return ((int (*)(FILE*))next("fflush"))(stream);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset)
{
    if ((flags & MAP_ANONYMOUS) && fails("mmap", "anonymous")) {
        errno = fail_errno;
        return MAP_FAILED;
    }
    void* (*real)(void*, size_t, int, int, int, off_t) = next("mmap");
    return real(address, length, protection, flags, fd, offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd, off64_t offset)
{
    if ((flags & MAP_ANONYMOUS) && fails("mmap", "anonymous")) {
        errno = fail_errno;
        return MAP_FAILED;
    }
    void* (*real)(void*, size_t, int, int, int, off64_t) = next("mmap64");
    return real(address, length, protection, flags, fd, offset);
}

void* mremap(void* old, size_t old_length, size_t length, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    void* wanted = (flags & MREMAP_FIXED) ? va_arg(args, void*) : NULL;
    va_end(args);
    if (fails("mremap", "anonymous")) {
        errno = fail_errno;
        return MAP_FAILED;
    }
    void* (*real)(void*, size_t, size_t, int, ...) = next("mremap");
    return real(old, old_length, length, flags, wanted);
}

#ifdef STATX_MNT_ID
/* statx fails as on a kernel that has none (ENOSYS), or, as "statx_mnt_id",
 * leaves the mount id out of its answer: its field then holds whatever it
 * held, another value at every call. */
int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* buf)
{
    static unsigned long long stale = 1000;
    if (fails("statx", path)) {
        errno = fail_errno;
        return -1;
    }
    int r = ((int (*)(int, const char*, int, unsigned int, struct statx*))next("statx"))(
        dirfd, path, flags, mask, buf);
    if (r == 0 && strcmp(call, "statx_mnt_id") == 0 && matches(path)) {
        buf->stx_mask &= ~(unsigned int)STATX_MNT_ID;
        buf->stx_mnt_id = ++stale;
    }
    return r;
}
#endif

ssize_t getrandom(void* buffer, size_t length, unsigned int flags)
{
    if (fails("getrandom", "")) {
        memset(buffer, 0, length);
        return (ssize_t)length;
    }
    return ((ssize_t (*)(void*, size_t, unsigned int))next("getrandom"))(buffer, length, flags);
}
