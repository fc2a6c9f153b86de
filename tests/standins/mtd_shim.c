/* Preloaded stand-in for the kernel's MTD size request on a machine without
 * MTD devices: a regular file whose path contains "/dev/mtd" answers
 * MEMGETINFO with its own length as the partition size, like a NAND partition
 * with 128 KiB erase blocks and 2 KiB pages. Every other request goes to the
 * C library untouched.
 *
 * It takes itself out of LD_PRELOAD when loaded, so the programs the preloaded
 * process starts (shells, stand-in scripts, possibly of another architecture)
 * run without it.
 *
 * Under AddressSanitizer, add verify_asan_link_order=0 to ASAN_OPTIONS: the
 * runtime otherwise refuses to start behind a preloaded library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/ioctl.h>
#include <mtd/mtd-abi.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* <sys/ioctl.h> is left out on purpose: with 64-bit time on 32-bit ARM it
 * renames ioctl to __ioctl_time64, and both names must be defined here. */

typedef int (*ioctl_fn)(int, unsigned long, ...);

__attribute__((constructor)) static void leave_children_alone(void)
{
    unsetenv("LD_PRELOAD");
}

static int is_mtd_stand_in(int fd)
{
    char link[64];
    char target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0)
        return 0;
    target[n] = '\0';
    return strstr(target, "/dev/mtd") != NULL;
}

static int answer_meminfo(int fd, void* arg)
{
    struct stat st;
    if (fstat(fd, &st) < 0)
        return -1;
    struct mtd_info_user info;
    memset(&info, 0, sizeof info);
    info.type = MTD_NANDFLASH;
    info.flags = MTD_CAP_NANDFLASH;
    info.size = (__u32)st.st_size;
    info.erasesize = 128 * 1024;
    info.writesize = 2048;
    info.oobsize = 64;
    memcpy(arg, &info, sizeof info);
    return 0;
}

static int forward(const char* name, int fd, unsigned long request, void* arg)
{
    ioctl_fn next = (ioctl_fn)dlsym(RTLD_NEXT, name);
    if (next == NULL)
        next = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return next(fd, request, arg);
}

static int shim(const char* name, int fd, unsigned long request, void* arg)
{
    if ((unsigned int)request == (unsigned int)MEMGETINFO && is_mtd_stand_in(fd))
        return answer_meminfo(fd, arg);
    return forward(name, fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return shim("ioctl", fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return shim("__ioctl_time64", fd, request, arg);
}
