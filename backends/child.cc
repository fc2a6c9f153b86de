#include "backends/child.h"

#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

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
