#include "backends/partition.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/process.h"
#include "common/scoped.h"

static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

pid_t nandwrite_pid = 0;

// The pipe end that feeds the running nandwrite child: close_target waits for
// that child only when it closes this very descriptor.
static int nandwrite_fd = -1;

partition_kind classify_partition(const char* path)
{
    const char* mtd = strstr(path, "/dev/mtd");
    if (mtd != nullptr)
        return strncmp(mtd + strlen("/dev/mtd"), "block", 5) == 0 ? PART_MTD_BLOCK
                                                                  : PART_MTD_CHAR;
    if (strstr(path, "/dev/mmcblk") != nullptr)
        return PART_EMMC;
    // Any other block device (SATA, virtio, NVMe, loop) is written as an eMMC
    // partition is: its name is no guide, so the device itself is asked.
    struct stat st;
    if (::stat(path, &st) == 0 && S_ISBLK(st.st_mode))
        return PART_EMMC;
    printf("path[%s] error!\n", path);
    return PART_UNSUPPORTED;
}

static int open_nandwrite(const char* path)
{
    char* const argv[] = {const_cast<char*>("nandwrite"), const_cast<char*>("-p"),
                          const_cast<char*>(path), nullptr};
    int write_end = -1;
    pid_t pid = spawn_piped(argv, STDIN_FILENO, &write_end);
    if (pid < 0)
        return -1;
    nandwrite_pid = pid;
    nandwrite_fd = write_end;
    return write_end;
}

int open_partition(const char* path)
{
    switch (classify_partition(path)) {
    case PART_UNSUPPORTED:
        return -1;
    case PART_MTD_CHAR:
        return open_nandwrite(path);
    default: {
        int fd = ::open(path, O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            perror("open");
        return fd < 0 ? -1 : fd;
    }
    }
}

int close_target(int handle)
{
    int result = 0;
    bool feeds_nandwrite = handle >= 0 && handle == nandwrite_fd;
    // A pipe cannot be flushed to storage (EINVAL); for files and devices a failed
    // flush means the data may be lost, read-only (EROFS) included: a device or
    // file system that turned read-only under us did not keep what we wrote.
    if (!feeds_nandwrite && ::fsync(handle) < 0 && errno != EINVAL) {
        perror("fsync");
        result = -1;
    }
    if (::close(handle) < 0) {
        perror("close");
        result = -1;
    }
    if (feeds_nandwrite) {
        // Closing the pipe ended nandwrite's input; its status tells whether the
        // data reached the flash.
        child_guard child(nandwrite_pid);
        nandwrite_fd = -1;
        int status = child.wait();
        if (!exited_with(status, 0))
            result = -1;
    }
    return result;
}

int write_full(int handle, const void* data, int length)
{
    const char* from = static_cast<const char*>(data);
    int total = 0;
    do {
        ssize_t n = ::write(handle, from + total, (size_t)(length - total));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("write");
            return -1;
        }
        if (n == 0)
            break;
        total += (int)n;
    } while (total < length);
    return total;
}

int erase_partition(const char* path)
{
    switch (classify_partition(path)) {
    case PART_UNSUPPORTED:
        return -1;
    case PART_MTD_BLOCK:
    case PART_EMMC:
        printf("Write %s with 0xFF\n", path);
        return 0;
    case PART_MTD_CHAR:
        break;
    }
    child_guard child(fork_flushed());
    if (child.pid < 0)
        return -1;
    if (child.pid == 0) {
        ::execlp("busybox", "flash_eraseall", path, (char*)nullptr);
        perror("execlp error!");
        _exit(EXEC_FAILED);
    }
    int status = child.wait();
    if (exited_with(status, EXEC_FAILED)) {
        puts("flash_eraseall exec error");
        return -1;
    }
    // An erase that did not finish cleanly must never be followed by a write.
    return exited_with(status, 0) ? 1 : -1;
}

int64_t get_partition_size(const char* path)
{
    switch (classify_partition(path)) {
    case PART_UNSUPPORTED:
        return -1;
    case PART_MTD_CHAR: {
        unique_fd fd(::open(path, O_RDWR | O_CLOEXEC));
        if (fd.fd < 0) {
            perror("open");
            return -1;
        }
        mtd_info_user info{};
        if (::ioctl(fd.fd, MEMGETINFO, &info) < 0) {
            perror("ioctl");
            return -1;
        }
        return (int64_t)(uint64_t)info.size;
    }
    default: {
        unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
        if (fd.fd < 0) {
            perror("open");
            return -1;
        }
        return (int64_t)::lseek(fd.fd, 0, SEEK_END);
    }
    }
}
