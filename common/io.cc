#include "common/io.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

ssize_t read_some(int fd, void* buffer, size_t length)
{
    ssize_t n;
    do n = ::read(fd, buffer, length); while (n < 0 && errno == EINTR);
    if (n < 0)
        perror("read");
    return n;
}

long read_small_file(const char* path, size_t limit, byte_buffer* text)
{
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return -1;
    *text = allocate_bytes(limit + 1);
    if (!*text) {
        errno = ENOMEM;
        return -1;
    }
    size_t length = 0;
    for (;;) {
        ssize_t n = ::read(fd.fd, text->get() + length, limit + 1 - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        length += (size_t)n;
        if (length > limit) {
            errno = EFBIG;
            return -1;
        }
    }
    text->get()[length] = '\0';
    return (long)length;
}
