/* Preloaded into fwdeploy by the crash test: the process kills itself with
 * SIGKILL just before its N-th call that changes storage (write, fsync,
 * rename, unlink, rmdir), N taken from FWDEPLOY_KILL_AT. That is a crash at
 * that point; a power cut at the same point can lose less, since everything the
 * tool relies on was flushed before it went on.
 *
 * Only the tool's own calls count: the C library's buffered output does not go
 * through these names, and the shim takes itself and its setting out of the
 * environment when loaded, so the programs the tool starts run without it. The
 * same package therefore reaches the same call at the same N on every run.
 *
 * With FWDEPLOY_KILL_WRITE_TO=PATH instead, it kills itself just before its
 * first write to a descriptor open on PATH (a device, say).
 *
 * With FWDEPLOY_TRACE_CALLS set, every fsync, rename, unlink and rmdir is also
 * told on standard error as "call: fsync PATH" (the file the descriptor names),
 * "call: rename FROM TO", "call: unlink PATH" or "call: rmdir PATH", so that a
 * test sees what the tool flushes and in which order. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static long calls_left;
static int tracing;
static char kill_path[4096];

__attribute__((constructor)) static void arm(void)
{
    const char* at = getenv("FWDEPLOY_KILL_AT");
    calls_left = at != NULL ? strtol(at, NULL, 10) : 0;
    unsetenv("FWDEPLOY_KILL_AT");
    const char* path = getenv("FWDEPLOY_KILL_WRITE_TO");
    if (path != NULL)
        snprintf(kill_path, sizeof kill_path, "%s", path);
    unsetenv("FWDEPLOY_KILL_WRITE_TO");
    tracing = getenv("FWDEPLOY_TRACE_CALLS") != NULL;
    unsetenv("FWDEPLOY_TRACE_CALLS");
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

static void trace(const char* call, const char* first, const char* second)
{
    if (!tracing)
        return;
    char line[2 * 4096 + 64];
    int n = snprintf(line, sizeof line, "call: %s %s%s%s\n", call, first,
                     second != NULL ? " " : "", second != NULL ? second : "");
    if (n > (int)sizeof line - 1)
        n = (int)sizeof line - 1;
    /* Straight to the next write: this one is not the tool's own call. */
    ((ssize_t (*)(int, const void*, size_t))next("write"))(2, line, (size_t)n);
}

/* The path the descriptor is open on, or "" */
static void path_of(int fd, char (*path)[4096])
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, *path, sizeof *path - 1);
    (*path)[n > 0 ? n : 0] = '\0';
}

ssize_t write(int fd, const void* data, size_t length)
{
    count_call();
    if (kill_path[0] != '\0') {
        char path[4096];
        path_of(fd, &path);
        if (strcmp(path, kill_path) == 0)
            kill(getpid(), SIGKILL);
    }
    return ((ssize_t (*)(int, const void*, size_t))next("write"))(fd, data, length);
}

int fsync(int fd)
{
    count_call();
    if (tracing) {
        char path[4096];
        path_of(fd, &path);
        trace("fsync", path, NULL);
    }
    return ((int (*)(int))next("fsync"))(fd);
}

int rename(const char* from, const char* to)
{
    count_call();
    trace("rename", from, to);
    return ((int (*)(const char*, const char*))next("rename"))(from, to);
}

int unlink(const char* path)
{
    count_call();
    trace("unlink", path, NULL);
    return ((int (*)(const char*))next("unlink"))(path);
}

int rmdir(const char* path)
{
    count_call();
    trace("rmdir", path, NULL);
    return ((int (*)(const char*))next("rmdir"))(path);
}
