// Starting external programs without disturbing our own output. Nothing here
// knows about packages or devices.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "common/scoped.h"

// Flushes our buffered output, then forks: a child must never print it a second time.
pid_t fork_flushed();

// Exit status a child reports a failed redirection or exec with.
constexpr int EXEC_FAILED = 255;

// True when a raw wait status says the child exited normally with `code`.
bool exited_with(int status, int code);

// Starts `argv[0]`, found through the search path, with one end of a new pipe as
// its descriptor `child_fd` (0: it reads what we write; 1: we read what it
// writes). Returns the child's pid with our end in *our_end (close-on-exec, so
// no later child inherits it), or -1 after printing "pipe" or "error in fork!".
// A child that cannot redirect or exec prints "dup2" or "execlp error!" and
// ends with EXEC_FAILED. With `input_fd` of 0 or more (and child_fd 1) the
// child reads that descriptor as its standard input.
pid_t spawn_piped(char* const argv[], int child_fd, int* our_end, int input_fd = -1);

// Milliseconds on a clock that no one can set back, for deadlines.
int64_t monotonic_ms();

// Waits for `child` until `deadline` (monotonic_ms), then kills it and
// collects it. The raw wait status, or -1 when it had to be killed (or could
// not be waited for).
int wait_until(child_guard* child, int64_t deadline);

// Waits until `fd` has bytes to read (or its end, or an error for the read to
// tell) or `deadline` (monotonic_ms) passes: 1 readable, 0 time ran out, -1
// when poll itself failed (errno set).
int wait_readable_until(int fd, int64_t deadline);

// Reads from `fd` as read_full does, but gives up at `deadline`
// (monotonic_ms): the count, or -1 with errno set (ETIMEDOUT when time ran out).
int read_full_until(int fd, void* buffer, int length, int64_t deadline);

// Makes a write into a pipe whose reader is gone fail with EPIPE, to be reported
// like any failed write, instead of ending the process. Programs we start get
// the default behaviour back at exec.
void make_broken_pipe_harmless();
