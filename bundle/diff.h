// Making binary patches for file_patch blocks given as old and new files.
#pragma once

#include <string>

// Runs bsdiff to write the patch that turns old_file into new_file. 0, or -1
// with *error saying why (bsdiff's own complaint has gone to standard error).
int make_patch(const std::string& old_file, const std::string& new_file,
               const std::string& patch_file, std::string* error);
