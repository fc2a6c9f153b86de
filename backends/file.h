// Plain files on the board: replaced, created with their parent directories.
#pragma once

#include <cstdint>

// Descriptor of the existing file, truncated to length 0, or -1.
int open_file_truncate(const char* path);

// Makes the parent directories, then creates or truncates the file with
// permission bits `mode` for a new file. Descriptor or -1.
int create_file(const char* path, uint32_t mode);
