// An in-memory host for the engine: the package as bytes, targets as byte vectors
// keyed by path, a log of every call and switches that make chosen calls fail.
// The table's slots are plain function pointers, so the state lives in one
// file-level object that each test resets through FakeHostTest.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "bundle/writer.h"
#include "engine/fwdeploy.h"
#include "engine/package_format.h"

namespace fake {

struct report {
    int32_t stage;
    int32_t percent;
    int32_t state;
    int32_t sub_percent;
    std::string message;
    int32_t total_stages = 2;
    bool operator==(const report& o) const
    {
        return stage == o.stage && percent == o.percent && state == o.state &&
               sub_percent == o.sub_percent && message == o.message &&
               total_stages == o.total_stages;
    }
};
std::ostream& operator<<(std::ostream& out, const report& r);

struct open_target {
    std::string slot;                 // "part", "ubi", "file" or "src"
    std::string path;
    uint64_t position;
};

// A stretch of the package: stored bytes, or `synthetic` bytes that are counted
// but never stored or copied (for packages larger than memory).
struct segment {
    std::vector<uint8_t> bytes;
    uint64_t synthetic = 0;
};

struct script_run {
    std::string text;                 // exactly `length` bytes, zero bytes included
    int length;
};

struct patch_call {
    std::string old_path, new_path, patch_path;
    std::vector<uint8_t> patch;       // the patch file's contents at the time of the call
    int handles_open;                 // handles still open when the patch tool ran
};

struct host_state {
    // The package and how the source delivers it.
    std::vector<segment> package;
    size_t max_piece = 0;             // a read delivers at most this many bytes (0: no limit)
    uint64_t piece_from = 0;          // ... when it starts at or after this offset
    uint64_t truncate_at = UINT64_MAX;  // the package ends here

    // Targets and the host's answers.
    std::map<std::string, std::vector<uint8_t>> files;
    std::map<std::string, uint32_t> modes;      // from file.create
    std::map<std::string, uint32_t> ubi_sizes;  // from ubi.open
    std::set<std::string> discard;              // targets that count bytes without keeping them
    std::map<std::string, uint64_t> discarded;
    std::map<std::string, int64_t> part_sizes;  // get_size; 1 GiB when not listed
    std::map<std::string, int> erase_results;   // erase; 1 (host erased) when not listed
    int patch_result = 0;
    int script_result = 0;
    std::vector<uint32_t> buffer_sizes{4096};   // get_buffer_size, one per call, last repeats
    int trust_verdict = TRUST_ACCEPTED;         // what trust.check answers
    std::map<uint32_t, std::vector<uint8_t>> result_digests;  // trust.result_digest, by block

    // Switches, by slot name ("src.read", "part.write", "file.close", ...): the
    // n-th call of the slot (from 1) returns -1 without doing anything else (a
    // close still closes the handle), or a write takes only `accept` bytes.
    std::map<std::string, int> fail_at;
    struct short_write { int call; int accept; };
    std::map<std::string, short_write> short_writes;
    // The `call`-th src.read claims `extra` bytes more than it was asked for
    // (it stores only what was asked): a broken or hostile source.
    struct long_read { int call; int extra; };
    long_read long_read{0, 0};

    // What happened.
    std::map<std::string, int> calls;
    std::vector<std::string> log;     // "slot" or "slot argument", in call order
    std::vector<report> reports;
    std::vector<script_run> scripts;
    std::vector<patch_call> patches;
    std::map<int, open_target> handles;
    int next_handle = 3;
    int bad_closes = 0;               // closes of handles that were not open
    int empty_reads = 0;              // reads in a row that found the end
    std::vector<uint8_t> digested;    // every byte handed to trust.update since trust.begin
    std::vector<uint8_t> trailer;     // what trust.check was last given
};

extern host_state host;

void reset();

// The whole package as one stored segment.
void load(const std::vector<uint8_t>& bytes);
void load(const bundle_package& package);

// A table with every slot wired to this host; temp_dir is "/tmp".
upgrade_ops ops();
source_ops source();                  // without finish
int src_finish(int handle);           // "src.finish"; fails on the switch or an unknown handle
trust_ops trust();
partition_ops partitions();
ubi_volume_ops volumes();
file_ops files();
int run_script(const char* text, int length);
int apply_patch(const char* old_path, const char* new_path, const char* patch_path);
// Logged as "apply_checked_patch OLD NEW PATCH XX", XX the digest's first byte in hex.
int apply_checked_patch(const char* old_path, const char* new_path, const char* patch_path,
                        const uint8_t* result_sha256);
int report_progress(const progress_info* info, const char* message);

// Position of the first log entry from `from` on that starts with `prefix`, or -1.
int find(const std::string& prefix, size_t from = 0);
int count(const std::string& prefix);
// The argument of every "src.read N" entry, in order.
std::vector<int> read_sizes();

// Packages for the tests.
std::vector<uint8_t> pattern(size_t size, uint8_t seed = 1);
bundle_block make_block(uint32_t operation, const std::string& path,
                        std::vector<uint8_t> data = {});
// Offset of block `index`'s header in the bytes bundle_bytes writes for `package`.
size_t block_offset(const bundle_package& package, size_t index);
void put_u32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
void put_u64(std::vector<uint8_t>& bytes, size_t offset, uint64_t value);
// Sets total_size and recomputes the header checksum, as a packer that got the
// total wrong would have written it.
void set_total_size(std::vector<uint8_t>& bytes, uint64_t total_size);

}  // namespace fake

// Resets the host before each test and checks afterwards that every handle the
// engine opened was closed once.
class FakeHostTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override
    {
        EXPECT_TRUE(fake::host.handles.empty()) << "handles left open";
        EXPECT_EQ(fake::host.bad_closes, 0) << "closes of handles that were not open";
    }
};
