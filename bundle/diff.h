// Making binary patches for file_patch blocks given as old and new files.
#pragma once

#include <cstddef>
#include <string>

// Runs bsdiff to write the patch that turns old_file into new_file. 0, or -1
// with *error saying why (bsdiff's own complaint has gone to standard error).
int make_patch(const std::string& old_file, const std::string& new_file,
               const std::string& patch_file, std::string* error);

// A private directory for the patches bsdiff makes, removed with everything in
// it, also by an interrupting signal (see interrupt.h).
struct scratch_dir {
    std::string path;                 // empty until made
    scratch_dir() = default;
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    ~scratch_dir();
};

// Makes the directory unless it exists. 0, or -1 with *error set.
int scratch_make(scratch_dir* scratch, std::string* error);

// The path of patch number `index` in it, registered so that an interrupting
// signal removes it too; patches are numbered from 0 up.
std::string scratch_patch(scratch_dir* scratch, size_t index);
