#include "frontend/source.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "common/process.h"
#include "common/scoped.h"

pid_t gzip_pid = 0;

int open_plain_source(const char* path)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("open");
        return -1;
    }
    return fd;
}

int open_gzip_source(const char* path)
{
    char* const argv[] = {const_cast<char*>("gunzip"), const_cast<char*>("-c"),
                          const_cast<char*>(path), nullptr};
    int read_end = -1;
    pid_t pid = spawn_piped(argv, STDOUT_FILENO, &read_end);
    if (pid < 0)
        return -1;
    gzip_pid = pid;
    return read_end;
}

int close_gzip_source(int handle)
{
    // gunzip may still be writing the rest of the package into the pipe: it would
    // never end by itself once we stop reading, so it is killed before the wait.
    child_guard child(gzip_pid);
    gzip_pid = 0;
    if (child.pid > 0)
        ::kill(child.pid, SIGKILL);
    child.wait();
    ::close(handle);
    return 0;
}

int read_gzip_source(int handle, void* buffer, int length)
{
    int n = read_full(handle, buffer, length);
    if (n < 0 || n == length || gzip_pid <= 0)
        return n;
    // The pipe has ended, so gunzip has finished writing: its status says whether
    // what it wrote is the whole package.
    child_guard child(gzip_pid);
    gzip_pid = 0;
    int status = child.wait();
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 255)
            puts("gunzip could not be run");
        else if (status >= 0 && WIFEXITED(status))
            printf("gunzip failed with status %d: the package stream is damaged\n",
                   WEXITSTATUS(status));
        else
            puts("gunzip did not finish: the package stream is incomplete");
        return -1;
    }
    return n;
}

int read_full(int handle, void* buffer, int length)
{
    char* to = static_cast<char*>(buffer);
    int total = 0;
    do {
        ssize_t n = ::read(handle, to + total, (size_t)(length - total));
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
