// Plain files on the board: replaced, created with their parent directories.
//
// A regular file with a single name is never written where it stands: the new
// contents go to a staging file beside it, which takes the target's name only
// once complete and on storage, so a crash leaves the old file or the new one,
// never a cut one. Whatever cannot be renamed over without changing what it is
// (a device node, an entry of /proc or /sys, a file with other hard links, a file
// mounted over another, and, unless we are root, a file someone else owns) is
// truncated and written in place as it always was. A bind mount of a file from
// the same filesystem shows only when the rename over it fails: the staged
// contents are then copied into it.
#pragma once

#include <climits>
#include <cstdint>
#include <sys/stat.h>

// Descriptor to write the new contents of an existing file through, or -1.
int open_file_truncate(const char* path);

// Makes the parent directories, then returns a descriptor to write the file
// through, or -1. A new file gets permission bits `mode` less the file-creation
// mask; an existing one keeps its owner, group and mode bits.
int create_file(const char* path, uint32_t mode);

// Makes the parent directories, then creates the patch scratch file `path`
// with permission bits `mode` less the file-creation mask. A regular file of
// ours left there by an earlier run is removed first; whatever else stands
// under the name (a link planted in a shared directory, someone else's file)
// is never followed, opened or removed: the create fails. Descriptor, or -1.
// A second descriptor of the file is kept for take_scratch_descriptor.
int create_scratch_file(const char* path, uint32_t mode);

// The kept descriptor of the scratch file last made at `path`, now the
// caller's to close (close-on-exec, open for writing: a child opens it
// afresh through /dev/fd), or -1 when there is none for that path.
int take_scratch_descriptor(const char* path);

// Closes the kept scratch descriptor, if any: a block whose patch never ran.
void release_scratch_descriptor();

// Removes a file (or an empty directory) as remove(3) does, and flushes the
// directory it was in, as after a rename. 0, or -1.
int remove_file(const char* path);

// Writes `length` bytes to a descriptor from either opener: write_full, except
// that what goes to a staging file may wait in a buffer until a later write or
// the close, which then fail as this write would have. Returns `length`, or
// -1 (or a short count) after saying why.
int write_file(int handle, const void* data, int length);

// Closes a descriptor from either opener. A staged file is flushed, given the
// target's owner and mode, renamed over the target and the directory flushed.
// -1 when any step failed; a staged target is then left as it was.
int close_file(int handle);

// Closes a descriptor from either opener without letting a staged file take the
// target's place: the staging file is removed. 0 or -1.
int discard_file(int handle);

// For the patch runner, which stages the patched file the same way.

// The staging name for `path`: in the same directory, ".fwdeploy-" and a hash of
// the file's name. It always fits a directory entry, and a run interrupted before
// the rename leaves it under a name the next run of the same target finds again.
// -1 when the whole path would pass PATH_MAX.
int staging_path(const char* path, char (&staging)[PATH_MAX]);

// Removes a leftover at `staging` and creates the file anew, exclusively and
// without following a link planted there. Descriptor open for reading and
// writing, or -1 with errno set.
int create_staging(const char* staging, mode_t mode);

// Whether this process can give a new file the owner and group of `st`: root
// can, others only their own.
bool may_take_owner(const struct stat& st);

// Gives a staged file the owner, group and permission bits of `wanted`, the
// owner first: changing it clears setuid and setgid. 0, or -1 after printing
// "fchown" or "fchmod" with the system error.
int take_identity(int fd, const struct stat& wanted);

// Copies the file at `from` into the file at `path` through its own inode (every
// name and mount of it sees the new contents), gives it the owner, group and
// mode of `identity` and flushes it. Not atomic. 0, or -1 after printing why.
int copy_into(const char* from, const char* path, const struct stat& identity);

// copy_into from the whole file `from` is open on (readable), from its first byte.
int copy_from_descriptor(int from, const char* path, const struct stat& identity);

// Flushes the directory entry of a rename or unlink of `path` to storage. 0, or
// -1 after printing why.
int sync_directory_of(const char* path);
