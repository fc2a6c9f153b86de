/* Preloaded into fwdeploy to stand in for a filesystem without file leases
 * (NFS, FUSE, a kernel with leases turned off): every F_SETLEASE fails with
 * EINVAL as it does there, and every other fcntl goes through unchanged. The
 * tool must then hold later passes to the verified bytes by their content. */
#define _GNU_SOURCE
/* Each name below is defined as itself, not as the one these select. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>

typedef int (*fcntl_fn)(int, int, ...);

__attribute__((constructor)) static void unload_from_children(void)
{
    unsetenv("LD_PRELOAD");
}

static int pass_on(const char* name, int fd, int cmd, va_list ap)
{
    void* arg = va_arg(ap, void*);
    if (cmd == F_SETLEASE) {
        errno = EINVAL;
        return -1;
    }
    fcntl_fn real = (fcntl_fn)dlsym(RTLD_NEXT, name);
    return real(fd, cmd, arg);
}

/* The names a caller reaches, with and without 64-bit offsets and times. */
#define SHIM(name)                               \
    int name(int fd, int cmd, ...)               \
    {                                            \
        va_list ap;                              \
        va_start(ap, cmd);                       \
        int r = pass_on(#name, fd, cmd, ap);     \
        va_end(ap);                              \
        return r;                                \
    }
SHIM(fcntl)
SHIM(fcntl64)
SHIM(__fcntl_time64)
