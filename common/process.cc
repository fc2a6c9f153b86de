#include "common/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/scoped.h"

pid_t fork_flushed()
{
    fflush(stdout);
    fflush(stderr);
    return ::fork();
}

bool exited_with(int status, int code)
{
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

pid_t spawn_piped(char* const argv[], int child_fd, int* our_end, int input_fd)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) {
        perror("pipe");
        return -1;
    }
    // fds[0] is the read end: the child's when it reads (child_fd 0).
    unique_fd child_end(child_fd == STDIN_FILENO ? fds[0] : fds[1]);
    unique_fd parent_end(child_fd == STDIN_FILENO ? fds[1] : fds[0]);
    pid_t pid = fork_flushed();
    if (pid < 0) {
        perror("error in fork!");
        return -1;
    }
    if (pid == 0) {
        parent_end.reset();
        // Out of the way of 0 and 1 first: either may be taken by the moves below.
        int input = input_fd >= 0 ? ::fcntl(input_fd, F_DUPFD_CLOEXEC, 3) : -1;
        if (input_fd >= 0 && input < 0) {
            perror("dup2");
            _exit(EXEC_FAILED);
        }
        // Started with our standard descriptors closed, the pipe may already sit
        // on child_fd: dup2 would then leave it close-on-exec and the child
        // without its input or output.
        int moved = child_end.fd == child_fd ? ::fcntl(child_fd, F_SETFD, 0)
                                             : ::dup2(child_end.fd, child_fd);
        if (moved < 0 || (input >= 0 && ::dup2(input, STDIN_FILENO) < 0)) {
            perror("dup2");
            _exit(EXEC_FAILED);
        }
        ::execvp(argv[0], argv);
        perror("execlp error!");
        _exit(EXEC_FAILED);           // never flush stdio or run atexit in the child
    }
    *our_end = parent_end.release();
    return pid;
}

static void ignore_signal(int) {}

void make_broken_pipe_harmless()
{
    // Caught rather than ignored: an ignored signal would stay ignored in every
    // program we exec, the shells of scripts included.
    struct sigaction sa = {};
    sa.sa_handler = ignore_signal;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);
}

int64_t monotonic_ms()
{
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

int wait_until(child_guard* child, int64_t deadline)
{
    if (child->pid <= 0)
        return -1;
    // No signal tells us when the child ends without a handler of the whole
    // process; looking every few milliseconds costs nothing next to the
    // programs waited for this way.
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(child->pid, &status, WNOHANG);
        if (r == child->pid) {
            child->release();
            return status;
        }
        if (r < 0 && errno != EINTR) {
            child->release();
            return -1;
        }
        if (monotonic_ms() >= deadline) {
            ::kill(child->pid, SIGKILL);
            child->wait();
            return -1;
        }
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

int wait_readable_until(int fd, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            return 0;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = ::poll(&p, 1, left > 60000 ? 60000 : (int)left);
        if (ready > 0)
            return 1;
        if (ready < 0 && errno != EINTR)
            return -1;
    }
}

int read_full_until(int fd, void* buffer, int length, int64_t deadline)
{
    char* to = static_cast<char*>(buffer);
    int total = 0;
    while (total < length) {
        int ready = wait_readable_until(fd, deadline);
        if (ready == 0)
            errno = ETIMEDOUT;
        if (ready <= 0)
            return -1;
        ssize_t n = ::read(fd, to + total, (size_t)(length - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += (int)n;
    }
    return total;
}
