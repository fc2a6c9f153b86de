/* Preloaded into fwdeploy by the crash test: the process kills itself with
 * SIGKILL just before its N-th call that changes storage (write, fsync,
 * rename, unlink), N taken from FWDEPLOY_KILL_AT. That is a crash at that
 * point; a power cut at the same point can lose less, since everything the
 * tool relies on was flushed before it went on.
 *
 * Only the tool's own calls count: the C library's buffered output does not go
 * through these names, and the shim takes itself and its setting out of the
 * environment when loaded, so the programs the tool starts run without it. The
 * same package therefore reaches the same call at the same N on every run. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

static long calls_left;

__attribute__((constructor)) static void arm(void)
{
    const char* at = getenv("FWDEPLOY_KILL_AT");
    calls_left = at != NULL ? strtol(at, NULL, 10) : 0;
    unsetenv("FWDEPLOY_KILL_AT");
    unsetenv("LD_PRELOAD");
}

static void count_call(void)
{
    if (calls_left > 0 && --calls_left == 0)
        kill(getpid(), SIGKILL);
}

static void* next(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

ssize_t write(int fd, const void* data, size_t length)
{
    count_call();
    return ((ssize_t (*)(int, const void*, size_t))next("write"))(fd, data, length);
}

int fsync(int fd)
{
    count_call();
    return ((int (*)(int))next("fsync"))(fd);
}

int rename(const char* from, const char* to)
{
    count_call();
    return ((int (*)(const char*, const char*))next("rename"))(from, to);
}

int unlink(const char* path)
{
    count_call();
    return ((int (*)(const char*))next("unlink"))(path);
}
