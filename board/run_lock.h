// The lock that keeps a second run from starting beside the first.
#pragma once

#include <cstddef>

#include "common/scoped.h"

// Takes the lock of a run on `path`, or on `fallback` (may be null) when the
// directory of `path` does not exist. The descriptor is close-on-exec, so no
// child keeps the lock once the tool has ended, and the kernel drops it with
// the process however that ends. Run as root, the lock file is root's alone
// (a regular file of mode 0600): anything else at its path is moved aside, so
// that no other user can hold root's runs off. A run as another user never
// removes a lock file. A check (`check_only`) makes and replaces nothing, and
// goes on without the lock when it has no lock file it can open. 0 with *held
// owning the lock (or none, for such a check), or -1 after printing why.
int take_run_lock(const char* path, const char* fallback, bool check_only, unique_fd* held);
