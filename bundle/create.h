// Packing: manifest in, package file out.
#pragma once

#include <string>

struct create_options {
    bool gzip = false;
    bool trailer = true;              // the digest trailer after the last block
    std::string sign_key;             // a private key (PEM) that signs the trailer; empty: unsigned
};

// Builds the package the manifest describes into `output`. Exit status: 0, or 1
// with the reason printed and no file left under the output name.
int create_command(const std::string& manifest_path, const std::string& output,
                   const create_options& options);
