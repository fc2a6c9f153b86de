// The patch tool and the shell.
#pragma once

#include <cstdint>

// Runs bspatch OLD NEW PATCH; when OLD and NEW are the same file the result is
// written beside it and renamed over it with the original's owner, group and
// mode bits, or copied into it when the file has other hard links or another
// file is mounted over it. bspatch writes that staging file, and reads a PATCH
// that create_scratch_file made, through our own descriptors (/dev/fd paths):
// neither name is opened again by the tool or by bspatch. 0 or -1.
int run_bspatch(const char* old_path, const char* new_path, const char* patch_path);

// run_bspatch, but the result takes the old file's place only when its SHA-256
// is `result_sha256`; otherwise -1, with a line naming the file, and the old file
// as it was. A file patched in place that already holds the result is left as
// it is (0): a run repeated after a crash goes on past it.
int run_checked_bspatch(const char* old_path, const char* new_path, const char* patch_path,
                        const uint8_t* result_sha256);

// Feeds `length` bytes of shell text to sh. -1 when the shell cannot be started or
// fed; otherwise a count of 0 or more (the script's own status is not examined
// here; last_script_failure tells it).
int run_shell_script(const char* text, int length);

// How the shell of the last run_shell_script ended when that was not with
// status 0 ("exited with status 1", "was killed by signal 9"), else null.
const char* last_script_failure();
