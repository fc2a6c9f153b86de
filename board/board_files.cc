#include "board/board_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "common/scoped.h"

int read_board_line(const char* path, const char* what, char (&line)[BOARD_LINE_SIZE])
{
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) {
        if (errno == ENOENT)
            return 0;
        int error = errno;
        printf("%s %s cannot be read: %s\n", what, path, strerror(error));
        return -1;
    }
    // Only the first line counts, so the file is read no further than a line
    // longer than any this board takes.
    size_t length = 0;
    for (;;) {
        ssize_t n = ::read(fd.fd, line + length, sizeof line - 1 - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            printf("%s %s cannot be read: %s\n", what, path, strerror(error));
            return -1;
        }
        length += (size_t)n;
        if (n == 0 || memchr(line, '\n', length) != nullptr || length == sizeof line - 1)
            break;
    }
    line[length] = '\0';
    char* end = strchr(line, '\n');
    if (end == nullptr && length == sizeof line - 1) {
        printf("%s %s has a first line longer than %zu characters\n", what, path,
               sizeof line - 2);
        return -1;
    }
    if (end != nullptr)
        *end = '\0';
    // A file written on another system may end its line in a carriage return,
    // or an editor leave blanks after the value: neither is part of it.
    size_t kept = strlen(line);
    while (kept > 0 && (line[kept - 1] == ' ' || line[kept - 1] == '\t' || line[kept - 1] == '\r'))
        line[--kept] = '\0';
    if (line[0] == '\0') {
        printf("%s %s has an empty first line\n", what, path);
        return -1;
    }
    return 1;
}

int set_script_variable(const char* name, const char* value)
{
    return value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}
