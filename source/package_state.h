// The state of the open package, shared by the files of the package source
// (identity and lease, read-ahead, gunzip, the trailer probe). Only the source
// includes this; the rest of the board sees source/source.h.
#pragma once

#include <csignal>
#include <sys/stat.h>
#include <sys/types.h>

#include "common/scoped.h"

// Reads of a plain package file go through one buffer of READ_AHEAD_SIZE
// bytes: the engine asks for a few KiB at a time, and as many system calls
// (each with its lease check) would cost more than the copy they make.
constexpr int READ_AHEAD_SIZE = 64 * 1024;

struct read_ahead {
    int owner = -1;                   // the handle the buffer belongs to
    byte_buffer bytes;
    byte_buffer lent;                 // what a handle without the buffer borrows
    int start = 0;                    // next byte to hand on
    int end = 0;                      // bytes read into the buffer
    bool ended = false;               // the file ended within the buffer
};

struct package_state {
    // What the first open of the package found: every later phase must read
    // the very file the verification pass read, not one put in its place since.
    char path[256] = {};
    struct stat st = {};
    // The descriptor the verification pass read, kept under a read lease so
    // that later passes read the same file without opening its path again.
    // -1 when the file could not be leased (a FIFO, a filesystem without
    // leases or whose files change without breaking one, another user's
    // file): later passes then open the path again.
    int kept = -1;
    read_ahead ahead;
    pid_t gzip_pid = 0;               // the running gunzip child, 0 when none
};

extern package_state package;

// Set from the signal handler when the kernel breaks the lease: someone
// opened the file for writing or truncated it. Apart from the struct, as a
// handler may touch nothing but a sig_atomic_t.
extern volatile sig_atomic_t lease_broken;

// package_file.cc: the file, its identity and its lease.
int open_package_file(const char* path);
bool lease_holds();
bool still_same_file();
int unless_changed(int count, int length);

// gzip_source.cc: starts gunzip on `input` (the child gets its own copy) as
// the package's gunzip child; the read end of its output, or -1.
int start_gunzip(int input);
// Starts gunzip on a pipe that we feed: the read end of its output, and in
// `input` our non-blocking end of its input; or -1 after saying why.
int start_fed_gunzip(int* input);
// Collects the gunzip child once its output has ended. 0 when
// what it wrote is the whole package, -1 after saying why not. With
// `input_cut`, its input was ended on purpose after the package's end had
// come out, and its complaint of an early end is about nothing the package holds.
int gunzip_verdict(bool input_cut = false);
// Reads a gunzip stream to its end through `read`, so that gunzip's verdict
// on the whole of it is heard. 0, or -1 when the stream is damaged.
int read_to_the_end(int handle, int (*read)(int, void*, int));

// read_ahead.cc
void claim_read_ahead(int handle);
int read_ahead_of(void* buffer, int length);
int borrow_read_ahead(int handle, const uint8_t** bytes, int length);
void drop_read_ahead(int handle);
