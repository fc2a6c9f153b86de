// Plain descriptor reads. Nothing here knows about packages or devices.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "common/scoped.h"

// read(2) that carries on after a signal: the count, 0 at the end, or -1 after
// printing "read" and the system error.
ssize_t read_some(int fd, void* buffer, size_t length);

// Reads until `length` bytes arrived or the data ended, carrying on after a
// signal; the count, or -1 (errno set, nothing printed).
int read_full(int fd, void* buffer, int length);

// Reads a whole small file into a zero-terminated heap buffer of at most
// `limit` bytes. Its length, or -1 with errno set (EFBIG when it is larger).
long read_small_file(const char* path, size_t limit, byte_buffer* text);

// `size` bytes from the kernel's random source, without waiting for its pool
// to be called ready (see io.cc). 0, or -1 when none could be had.
int random_bytes(void* bytes, size_t size);
