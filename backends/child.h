// Starting external programs without disturbing our own output.
#pragma once

#include <sys/types.h>

// Flushes our buffered output, then forks: a child must never print it a second time.
pid_t fork_flushed();

// Exit status a child reports a failed redirection or exec with.
constexpr int EXEC_FAILED = 255;

// True when a raw wait status says the child exited normally with `code`.
bool exited_with(int status, int code);
