#include "backends/volume.h"

#include <cstdio>
#include <fcntl.h>
#include <mtd/ubi-user.h>
#include <sys/ioctl.h>

int open_ubi_volume(const char* path, uint32_t size)
{
    int64_t bytes = (int64_t)(uint64_t)size;
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("open");
        return -1;
    }
    // The kernel takes the next `bytes` written as the volume's new contents. A
    // refused request is left to show up in the writes that follow.
    (void)::ioctl(fd, UBI_IOCVOLUP, &bytes);
    return fd;
}
