// Packing: manifest in, package file out.
#pragma once

#include <cstdint>
#include <openssl/evp.h>
#include <string>

#include <vector>

#include "bundle/trailers.h"
#include "bundle/writer.h"
#include "engine/trailer.h"

struct create_options {
    bool gzip = false;
    bool trailer = true;              // the digest trailer after the last block
    std::string sign_key;             // a private key (PEM) that signs the trailer; empty: unsigned
    // Attributes from the command line; they replace the manifest's keys of
    // the same name.
    attribute_options attributes;
    // The attribute lines the trailer carries (write_package_file); empty: none.
    std::string attribute_text;
};

// Builds the package the manifest describes into `output`. Exit status: 0, or 1
// with the reason printed and no file left under the output name.
int create_command(const std::string& manifest_path, const std::string& output,
                   const create_options& options);

// Streams `package` into `output` and ends it with the trailer `options` ask
// for, listing `results` (in ascending block order) and options.attribute_text,
// and signed by `key`
// (whose id is `key_id`) unless that is null. 0 with
// *bytes the size of the file, or -1 with *error set (naming `source`, where
// the package was described, when a block cannot be packed) and no file left
// under the output name.
int write_package_file(const bundle_package& package, const std::vector<trailer_entry>& results,
                       const std::string& source, const std::string& output,
                       const create_options& options, EVP_PKEY* key, const uint8_t* key_id,
                       uint64_t* bytes, std::string* error);
