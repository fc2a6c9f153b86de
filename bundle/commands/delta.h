// fwbundle delta: the package that turns a board holding one directory tree
// (a root file system, say) into another, file by file.
#pragma once

#include <string>

#include "bundle/trailers.h"

struct delta_options {
    bool gzip = false;
    std::string sign_key;             // a private key (PEM) that signs the trailer; empty: unsigned
    std::string prefix = "/";         // where the trees' root lies on the board
    std::string manifest_out;         // also write the manifest that packs the same package
    // Give the top directory (the prefix on the board) NEW's mode and owner too.
    bool root_attributes = false;
    attribute_options attributes;     // signed attributes of the trailer
};

// Compares the trees under `old_root` and `new_root` and writes the package
// into `output`. Exit status: 0, or 1 with the reason printed and no file left
// under the output name.
int delta_command(const std::string& old_root, const std::string& new_root,
                  const std::string& output, const delta_options& options);
