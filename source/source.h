// The package source: a plain file, or a gunzip child feeding a pipe.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "common/io.h"

// Read-only descriptor of the package, or -1 after saying why. Every open after
// the first of a path checks that the file is still the one first opened
// (device, inode, size, modification and change time): a package swapped or
// changed between the phases of a run is refused. A regular file is also held
// under a read lease from its first open on, where the kernel allows one and
// its filesystem lets no write pass by it (not an overlay or FUSE, say):
// later opens read the very descriptor the first one read, and once anyone
// opens the file for writing, every read and open says the package changed.
int open_plain_source(const char* path);

// Prints that the package at `path` is no longer the one verified; returns -1.
int say_package_changed(const char* path);

// read_full, and -1 once the package's lease was broken, or when the data
// ends early because the file is no longer as it was first opened. A regular
// file is read ahead in large pieces, whatever size the caller asks for.
int read_plain_source(int handle, void* buffer, int length);

// read_plain_source, but the bytes are lent where the read-ahead holds them
// (see source_ops::borrow).
int borrow_plain_source(int handle, const uint8_t** bytes, int length);

// Closes a handle of open_plain_source, and forgets what was read ahead for it.
int close_plain_source(int handle);

// Whether the package file is held under an unbroken lease: nobody can have
// changed it since its first open without this turning false.
bool package_file_leased();

// Whether the package is no regular file but a FIFO (or another kind of file
// that hands out a stream), as its first open found.
bool package_is_pipe();

// Gives up the kept descriptor and its lease; the next open is a first one.
void release_package_file();

// Read end of a pipe carrying the decompressed package, or -1. The file is
// opened and checked as by open_plain_source, and gunzip reads that descriptor.
int open_gzip_source(const char* path);

// Ends the gunzip child (it may still be writing) and closes the pipe. Returns 0.
int close_gzip_source(int handle);

// read_full for the gunzip pipe. At the end of the data it collects gunzip and
// returns -1 when gunzip failed: a damaged stream can end in a bad CRC or an
// early end after data that looked complete.
int read_gzip_source(int handle, void* buffer, int length);

// The verification pass's last read: reads the stream to its end so that
// gunzip's verdict on it is heard. 0, or -1 when the stream is damaged.
int finish_gzip_source(int handle);

// Whether a package trailer may end the file behind `handle`: false only for a
// regular file in whose last bytes no trailer magic stands at the place where a
// trailer of the size it states would end exactly at the end of the file.
// Reads with pread, so the position that the passes read from stays.
bool package_may_end_in_trailer(int handle);

// Whether the last `length` bytes of a package may be a trailer: the magic at
// a place where the size it states ends exactly at their end.
bool tail_may_hold_trailer(const uint8_t* bytes, uint32_t length);

// Process id of the running gunzip child, 0 when none runs.
pid_t gzip_child();
