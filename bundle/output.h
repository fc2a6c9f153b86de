// The package file being written: it lives under a temporary name beside its
// final one and takes the final name only once complete and on storage, so an
// interrupted or failed run never leaves a half-written package that looks whole.
#pragma once

#include <string>
#include <zlib.h>

#include "bundle/writer.h"

struct pending_output {
    std::string final_path;
    std::string temp_path;
    int fd = -1;
    gzFile gz = nullptr;              // when compressing
    std::string error;                // why the last write failed, when the sink knows better than errno
    uint64_t bytes = 0;               // written to the file (compressed, when compressing)

    pending_output() = default;
    pending_output(const pending_output&) = delete;
    pending_output& operator=(const pending_output&) = delete;
    ~pending_output();                // removes the temporary file unless committed
};

// Creates the temporary file beside `path`, or beside the file a link at `path`
// leads to (the link stays). 0, or -1 with *error set, also when `path` is
// something other than a regular file, which the rename would replace, or a
// file with other hard links, which the rename would part from.
int output_open(pending_output* out, const std::string& path, bool gzip, std::string* error);

// The sink that the package writer streams into.
bundle_sink output_sink(pending_output* out);

// Finishes the stream, flushes it to storage and renames it to its final name.
// 0, or -1 with *error set (the temporary file is then removed).
int output_commit(pending_output* out, std::string* error);
