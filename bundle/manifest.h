// Reads a package manifest (TOML) into a package description for the writer,
// refusing whatever the board tool would refuse or misread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle/trailers.h"
#include "bundle/writer.h"

// Where a block was described, so that every later message can point at it.
struct manifest_entry {
    uint32_t line = 0;                // of the [[block]] table; 0 when unknown
    std::string operation;
    std::string target;
    // A file_patch block given as old and new files: the patch is made at packing time.
    std::string patch_old;
    std::string patch_new;
    // A file_patch block given as a ready patch: the SHA-256 its result must have.
    bool has_result = false;
    uint8_t result_sha256[32] = {};
};

struct manifest {
    std::string path;                 // as the user named it
    bundle_package package;           // block data by file name, never loaded whole
    std::vector<manifest_entry> entries;  // one per block, same order
    attribute_options attributes;     // compatible, version and description
};

// Parses and checks the manifest at `path`; source paths are taken relative to the
// manifest's own directory. 0, or -1 with *error naming the file, line and entry.
int load_manifest(const std::string& path, manifest* out, std::string* error);

// "FILE:LINE: block N (OPERATION TARGET)", the prefix of messages about one block.
std::string describe_entry(const manifest& m, size_t index);

// A TOML basic string. Control characters are escaped; other bytes pass as
// they are, so text that is not UTF-8 gives a manifest no TOML reader takes.
std::string toml_string(const std::string& text);

// Whether `text` is valid UTF-8, as every TOML document must be.
bool valid_utf8(const std::string& text);
