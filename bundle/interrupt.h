// What an interrupting signal (SIGINT, SIGTERM, SIGHUP) must undo before the
// packing tool ends by it: the package being written, the scratch directory of
// patches and a running bsdiff. Each is registered while it exists; the handler
// makes only calls that are safe in a signal handler, then lets the signal end
// the process as it would have without it.
#pragma once

#include <csignal>
#include <cstddef>
#include <sys/types.h>

// Installs the handlers.
void interrupt_watch();

// The temporary package file to remove; null for none.
void interrupt_set_output(const char* path);

// The scratch directory to remove, with the patches in it named patch-0 to
// patch-(count - 1); null for none.
void interrupt_set_scratch(const char* dir, size_t count);

// The child to kill and collect; 0 for none.
void interrupt_set_child(pid_t pid);

// Holds the watched signals back until release() or the end of its scope, so
// that none comes between a fork and the registration of the child.
struct interrupt_hold {
    sigset_t saved;
    bool held;
    interrupt_hold();
    interrupt_hold(const interrupt_hold&) = delete;
    interrupt_hold& operator=(const interrupt_hold&) = delete;
    ~interrupt_hold() { release(); }
    void release();
    // In the forked child, before exec: the signals act as by default again (the
    // child must not clean up after its parent) and are let through.
    void release_in_child();
};
