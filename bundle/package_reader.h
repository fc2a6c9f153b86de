// Reading a package back, plain or gzip-compressed, and walking it by the same
// rules as the board's verification pass, so that what fwbundle accepts the
// board accepts too.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <zlib.h>

#include "engine/package_format.h"

// Compressed packages are inflated here rather than through zlib's file layer,
// so that what follows the last gzip member is judged as the board's gunzip
// judges it: another member is read, anything else ends the stream.
struct package_reader {
    std::string path;
    int fd = -1;
    bool compressed = false;
    // Set before reader_open: the file must be gzip, as the board's gunzip
    // takes it, never a plain package that a look at its content would allow.
    bool gzip_only = false;
    z_stream zs{};
    bool zs_ready = false;            // inflateInit2 succeeded: inflateEnd is owed
    bool in_member = false;           // inside a gzip member, which must be finished
    bool at_end = false;              // the stream ended cleanly
    std::vector<uint8_t> input;       // compressed bytes read ahead
    uint64_t offset = 0;              // position in the uncompressed package
    // Sees every byte that reader_read delivers, in order; -1 (with *error set)
    // fails the read.
    std::function<int(const uint8_t* bytes, size_t length, std::string* error)> tap;

    package_reader() = default;
    package_reader(const package_reader&) = delete;
    package_reader& operator=(const package_reader&) = delete;
    ~package_reader();
};

// True when the package is gzip-compressed. Decided by content, not by name.
inline bool reader_compressed(const package_reader& r)
{
    return r.compressed;
}

// 0, or -1 with *error set.
int reader_open(package_reader* r, const std::string& path, std::string* error);

// Reads up to `length` bytes: the count, short only where the package ends, or
// -1 with *error set when the file or its compression is damaged.
int64_t reader_read(package_reader* r, void* buffer, size_t length, std::string* error);

// For a compressed package, reads to the end of the stream so that its own
// check value is tested; the bytes are ignored, as the board ignores them.
// 0, or -1 with *error set.
int reader_finish(package_reader* r, std::string* error);

// What a walk reports; every member may be left empty.
struct walk_handler {
    // After the version check, before the scripts are read.
    std::function<void(const package_header&)> header;
    // Script bytes; `section` is 0 for the begin script, 1 for the end script.
    std::function<void(int section, const uint8_t* bytes, size_t length)> script;
    // A block header that passed the board's checks, with its offset in the package.
    std::function<void(uint32_t index, uint64_t offset, const block_header&)> block;
    // The current block's data.
    std::function<void(const uint8_t* bytes, size_t length)> data;
    // A block whose data matched its checksum.
    std::function<void(uint32_t index, const block_header&)> block_ok;
    // A checksum that does not match, with the message to show. True reads on;
    // without a handler the walk stops, as the board does.
    std::function<bool(const std::string& message)> mismatch;
};

// Walks header, scripts and blocks in order. 0 when every block was read (and,
// unless a mismatch handler said to go on, matched); -1 with *error describing
// the first problem that ended the walk.
int walk_package(package_reader* r, const walk_handler& handler, std::string* error);

// What follows the last block.
struct package_tail {
    uint64_t length = 0;              // bytes after the last block
    int version = 0;                  // of the trailer they begin with; 0 when they begin with none
    std::vector<uint8_t> trailer;     // the whole trailer, when it is well formed
    std::string problem;              // why the trailer is malformed; empty when it is not
};

// Reads from the end of the last block of a package of `block_count` blocks to
// the end of the file and, when compressed, of its stream, judging a trailer
// there as the board does. 0, or -1 with *error set when the file or its
// compression is damaged.
int read_tail(package_reader* r, uint32_t block_count, package_tail* tail, std::string* error);

// "block N (TARGET)": how messages name a block.
std::string block_name(uint32_t index, const block_header& block);
