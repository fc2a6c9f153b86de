#include "common/io.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

ssize_t read_some(int fd, void* buffer, size_t length)
{
    ssize_t n;
    do n = ::read(fd, buffer, length); while (n < 0 && errno == EINTR);
    if (n < 0)
        perror("read");
    return n;
}

int read_full(int fd, void* buffer, int length)
{
    char* to = static_cast<char*>(buffer);
    int total = 0;
    do {
        ssize_t n = ::read(fd, to + total, (size_t)(length - total));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        total += (int)n;
    } while (total < length);
    return total;
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
    // One byte more than the limit: a file that fills it is too large.
    int length = read_full(fd.fd, text->get(), (int)(limit + 1));
    if (length < 0)
        return -1;
    if ((size_t)length > limit) {
        errno = EFBIG;
        return -1;
    }
    text->get()[length] = '\0';
    return length;
}

// getrandom is asked not to wait: early in a boot the kernel may not call its
// pool ready for a long time, and an update run then must not hang;
// /dev/urandom answers at once, and what we draw only has to stay unknown to
// others on the board (a key that never leaves the process, a file name).
int random_bytes(void* bytes, size_t size)
{
    ssize_t n;
    do n = ::getrandom(bytes, size, GRND_NONBLOCK); while (n < 0 && errno == EINTR);
    if (n == (ssize_t)size)
        return 0;
    unique_fd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return -1;
    return read_some(fd.fd, bytes, size) == (ssize_t)size ? 0 : -1;
}
