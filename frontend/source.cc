#include "frontend/source.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

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
    int fds[2];
    // Close-on-exec: no later child (nandwrite, sh) may hold a pipe end it does not own.
    if (::pipe2(fds, O_CLOEXEC) < 0) {
        perror("pipe");
        return -1;
    }
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);
    fflush(stdout);                   // pending output must not be written twice
    fflush(stderr);
    pid_t pid = ::fork();
    if (pid < 0) {
        perror("error in fork!");
        return -1;
    }
    if (pid == 0) {
        read_end.reset();
        // Started with descriptors 0 and 1 closed, the write end may already be 1:
        // dup2 would leave it close-on-exec and gunzip without an output.
        int moved = write_end.fd == STDOUT_FILENO ? ::fcntl(STDOUT_FILENO, F_SETFD, 0)
                                                  : ::dup2(write_end.fd, STDOUT_FILENO);
        if (moved < 0) {
            perror("dup2");
            _exit(255);
        }
        ::execlp("gunzip", "gunzip", "-c", path, (char*)nullptr);
        perror("execlp error!");
        _exit(255);                   // never flush stdio or run atexit in the child
    }
    gzip_pid = pid;
    return read_end.release();
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
