// Host-side package writer: lays out blocks and scripts in the board tool's
// format with correct checksums. Used by the packaging tool and by the tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/package_format.h"

struct bundle_block {
    uint32_t operation = OP_FILE_REPLACE;
    std::string target_path;
    uint64_t erase_size = 0;          // raw partitions
    uint32_t file_mode = 0;           // file creation
    std::vector<uint8_t> data;        // the data, unless data_file is set
    std::string data_file;            // a file whose contents are streamed as the data
};

struct bundle_package {
    std::string begin_script;
    std::string end_script;
    std::vector<bundle_block> blocks;
};

// Called after each chunk written; `done` and `total` count block data bytes.
using bundle_progress_fn = void (*)(uint64_t done, uint64_t total, void* context);

// The data size of a block (stats data_file); -1 when the file cannot be read.
int64_t bundle_block_size(const bundle_block& block);

// Byte sum of a block's data (reads data_file through once); 0 or -1.
int bundle_block_checksum(const bundle_block& block, uint32_t* checksum);

// The 288-byte header of a block with the given size and checksum.
block_header bundle_block_header(const bundle_block& block, uint64_t data_size,
                                 uint32_t checksum);

// The 32-byte package header for scripts and blocks of the given total data size.
package_header bundle_package_header(const bundle_package& package, uint64_t total_size);

// Refuses a block the board tool would refuse or misread. 0, or -1 with *error
// saying why (without naming the block).
int bundle_check_block(const bundle_block& block, std::string* error);

// Refuses what the board tool would refuse or misread. 0, or -1 with *error set
// (naming the block by index).
int bundle_check(const bundle_package& package, std::string* error);

// Receives the package bytes in order. `write` returns 0, or -1 when the bytes
// could not be stored (with errno set, or a reason the sink keeps for itself).
struct bundle_sink {
    int (*write)(void* context, const void* bytes, size_t length);
    void* context;
};

// Streams the whole package into `sink`. 0, or -1 with *error set. A source file
// that changes between the checksum pass and the copy is refused, not packed.
int bundle_write_to(const bundle_package& package, bundle_sink sink, std::string* error,
                    bundle_progress_fn progress = nullptr, void* context = nullptr);

// Streams the whole package to `out`. 0, or -1 with *error set.
int bundle_write(const bundle_package& package, FILE* out, std::string* error,
                 bundle_progress_fn progress = nullptr, void* context = nullptr);

// The whole package in memory (in-memory data only; for tests and small packages).
std::vector<uint8_t> bundle_bytes(const bundle_package& package);
