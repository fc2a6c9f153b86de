// What the board says about itself before a package is read: which boards'
// packages it takes, the version it runs, and that no other run is under way.
#pragma once

#include <cstddef>

#include "common/scoped.h"

// Longest compatibility string or version a board file may hold.
constexpr size_t BOARD_LINE_SIZE = 256;

// The first line of the file at `path` into `line`, without its line feed and
// without the blanks and carriage return before it (a file written elsewhere).
// 1 when it was read, 0 when the file does not exist, -1 after printing why
// (`what` names the file in the line): it cannot be read, its first line is
// empty or longer than BOARD_LINE_SIZE - 1 bytes.
int read_board_line(const char* path, const char* what, char (&line)[BOARD_LINE_SIZE]);

// Takes the lock of a run on `path`, or on `fallback` (may be null) when the
// directory of `path` does not exist. The descriptor is close-on-exec, so no
// child keeps the lock once the tool has ended, and the kernel drops it with
// the process however that ends. Run as root, the lock file is root's alone
// (a regular file of mode 0600): anything else at its path is replaced, so
// that no other user can hold root's runs off. A run as another user never
// removes a lock file. A check (`check_only`) makes and replaces nothing, and
// goes on without the lock when it has no lock file it can open. 0 with *held
// owning the lock (or none, for such a check), or -1 after printing why.
int take_run_lock(const char* path, const char* fallback, bool check_only, unique_fd* held);

// The policy slot that sets one variable of the scripts' environment, or
// unsets it when `value` is null.
int set_script_variable(const char* name, const char* value);
