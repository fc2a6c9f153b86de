#include "common/process.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
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
