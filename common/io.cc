#include "common/io.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

ssize_t read_some(int fd, void* buffer, size_t length)
{
    ssize_t n;
    do n = ::read(fd, buffer, length); while (n < 0 && errno == EINTR);
    if (n < 0)
        perror("read");
    return n;
}
