// A gzip package: the real gunzip reads the package file and feeds a pipe.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/process.h"
#include "common/scoped.h"
#include "source/package_state.h"
#include "source/source.h"

int start_gunzip(int input)
{
    char* const argv[] = {const_cast<char*>("gunzip"), const_cast<char*>("-c"), nullptr};
    int read_end = -1;
    pid_t pid = spawn_piped(argv, STDOUT_FILENO, &read_end, input);
    if (pid < 0)
        return -1;
    package.gzip_pid = pid;
    return read_end;
}

int start_fed_gunzip(int* input)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) < 0) {
        perror("pipe");
        return -1;
    }
    unique_fd gunzip_reads(ends[0]);
    unique_fd we_write(ends[1]);
    int read_end = start_gunzip(gunzip_reads.fd);
    if (read_end < 0)
        return -1;
    ::fcntl(we_write.fd, F_SETFL, O_NONBLOCK);
    *input = we_write.release();
    return read_end;
}

int open_gzip_source(const char* path)
{
    // gunzip reads the descriptor we opened and checked, never the path again:
    // the file under the path could be another by then.
    unique_fd file(open_package_file(path));
    if (file.fd < 0)
        return -1;
    return start_gunzip(file.fd);
}

int close_gzip_source(int handle)
{
    // gunzip may still be writing the rest of the package into the pipe: it would
    // never end by itself once we stop reading, so it is killed before the wait.
    child_guard child(package.gzip_pid);
    package.gzip_pid = 0;
    if (child.pid > 0)
        ::kill(child.pid, SIGKILL);
    child.wait();
    ::close(handle);
    return 0;
}

int gunzip_verdict(bool input_cut)
{
    if (package.gzip_pid <= 0)
        return 0;
    // The pipe has ended, so gunzip has finished writing: its status says whether
    // what it wrote is the whole package.
    child_guard child(package.gzip_pid);
    package.gzip_pid = 0;
    int status = child.wait();
    // Status 2 is gunzip's warning that it ignored bytes after the compressed
    // stream (a package padded to fill a flash slot): the package is whole.
    if (!exited_with(status, 0) && !exited_with(status, 2) &&
        !(input_cut && exited_with(status, 1))) {
        if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 255)
            puts("gunzip could not be run");
        else if (status >= 0 && WIFEXITED(status))
            printf("gunzip failed with status %d: the package stream is damaged\n",
                   WEXITSTATUS(status));
        else
            puts("gunzip did not finish: the package stream is incomplete");
        return -1;
    }
    return 0;
}

int read_gzip_source(int handle, void* buffer, int length)
{
    int n = unless_changed(read_full(handle, buffer, length), length);
    if (n < 0 || n == length)
        return n;
    return gunzip_verdict() < 0 ? -1 : n;
}

int read_to_the_end(int handle, int (*read)(int, void*, int))
{
    // The check value at the stream's end is tested only once gunzip reaches it.
    uint8_t rest[4096];
    int n;
    while ((n = read(handle, rest, (int)sizeof rest)) == (int)sizeof rest) {
    }
    return n < 0 ? -1 : 0;
}

int finish_gzip_source(int handle)
{
    return read_to_the_end(handle, read_gzip_source);
}

pid_t gzip_child()
{
    return package.gzip_pid;
}
