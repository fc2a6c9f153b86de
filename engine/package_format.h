// The package as a byte stream: a 32-byte header, the begin and end scripts, then
// per block a 288-byte header and its data. Little-endian, no padding, no index.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "records are read straight from the little-endian stream");

constexpr uint32_t PACKAGE_VERSION_MAJOR = 0;
constexpr uint32_t PACKAGE_VERSION_MINOR = 4;
constexpr size_t TARGET_PATH_SIZE = 256;

struct package_header {
    uint32_t checksum;                // byte_sum of bytes 4..31, the begin and the end script
    uint32_t version_major;
    uint32_t version_minor;
    uint32_t block_count;
    uint64_t total_size;              // sum of all blocks' data_size: the percentage divisor
    uint32_t begin_script_size;
    uint32_t end_script_size;
};

struct block_header {
    uint64_t data_size;
    char target_path[TARGET_PATH_SIZE];   // zero-terminated
    uint64_t erase_size;              // raw partitions only
    uint32_t file_mode;               // file creation only
    uint32_t checksum;                // byte_sum of the data alone
    uint32_t operation;
    uint8_t reserved[4];
};

static_assert(sizeof(package_header) == 32, "package header is 32 bytes on disk");
static_assert(offsetof(package_header, total_size) == 16, "package header layout");
static_assert(offsetof(package_header, end_script_size) == 28, "package header layout");
static_assert(sizeof(block_header) == 288, "block header is 288 bytes on disk");
static_assert(offsetof(block_header, target_path) == 8, "block header layout");
static_assert(offsetof(block_header, erase_size) == 264, "block header layout");
static_assert(offsetof(block_header, file_mode) == 272, "block header layout");
static_assert(offsetof(block_header, checksum) == 276, "block header layout");
static_assert(offsetof(block_header, operation) == 280, "block header layout");

enum : uint32_t {
    OP_RAW_PARTITION = 0,
    OP_UBI_VOLUME = 1,
    OP_FILE_REPLACE = 2,
    OP_FILE_CREATE = 3,
    OP_FILE_DELETE = 4,
    OP_FILE_PATCH = 5,
    OP_SCRIPT = 6,
};

// Adds every byte (0..255) to `initial`, wrapping modulo 2^32; chunked sums chain.
uint32_t byte_sum(uint32_t initial, const uint8_t* bytes, int length);

// 0 when the header can be acted on safely: the target path ends within its field,
// and a delete block carries no data (the apply pass reads none after it). -1 otherwise.
int check_block_header(const block_header* block);

using source_read_fn = int (*)(int handle, void* buffer, int length);

// Reads and checks the header and both scripts. Returns 0 with the stream at the
// first block header, or -1 after printing why.
int read_package_header(int handle, package_header* header, uint8_t* buffer,
                        source_read_fn read, uint32_t buffer_size);
