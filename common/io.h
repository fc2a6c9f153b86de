// Plain descriptor reads. Nothing here knows about packages or devices.
#pragma once

#include <cstddef>
#include <sys/types.h>

// read(2) that carries on after a signal: the count, 0 at the end, or -1 after
// printing "read" and the system error.
ssize_t read_some(int fd, void* buffer, size_t length);
