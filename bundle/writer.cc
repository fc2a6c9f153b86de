#include "bundle/writer.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace {

constexpr size_t CHUNK = 1 << 16;

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Calls `each` with every chunk of the block's data until it returns false.
// 0, or -1 when reading fails.
template <typename Fn>
int for_each_chunk(const bundle_block& block, Fn each)
{
    if (block.data_file.empty()) {
        if (!block.data.empty())
            each(block.data.data(), block.data.size());
        return 0;
    }
    file_ptr in(fopen(block.data_file.c_str(), "rb"));
    if (!in)
        return -1;
    std::vector<uint8_t> buffer(CHUNK);
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), in.get())) > 0)
        if (!each(buffer.data(), n))
            return 0;
    return ferror(in.get()) ? -1 : 0;
}

int write_to_file(void* context, const void* bytes, size_t length)
{
    return fwrite(bytes, 1, length, static_cast<FILE*>(context)) == length ? 0 : -1;
}

// The board's byte_sum, over lengths beyond what one call of it takes.
uint32_t sum_bytes(uint32_t sum, const uint8_t* bytes, size_t length)
{
    while (length > 0) {
        int chunk = length < (size_t)INT_MAX ? (int)length : INT_MAX;
        sum = byte_sum(sum, bytes, chunk);
        bytes += chunk;
        length -= (size_t)chunk;
    }
    return sum;
}

// FNV-1a, 64 bits: tells the two readings of a source apart where the byte sum
// cannot, since bytes that trade places keep their sum.
uint64_t hash_bytes(uint64_t hash, const uint8_t* bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    return hash;
}

constexpr uint64_t HASH_START = 0xcbf29ce484222325ull;

}  // namespace

int64_t bundle_block_size(const bundle_block& block)
{
    if (block.data_file.empty())
        return (int64_t)block.data.size();
    struct stat st;
    if (stat(block.data_file.c_str(), &st) < 0 || !S_ISREG(st.st_mode))
        return -1;
    return (int64_t)st.st_size;
}

int bundle_block_checksum(const bundle_block& block, uint32_t* checksum)
{
    uint32_t sum = 0;
    int r = for_each_chunk(block, [&](const uint8_t* p, size_t n) {
        sum = sum_bytes(sum, p, n);
        return true;
    });
    *checksum = sum;
    return r;
}

block_header bundle_block_header(const bundle_block& block, uint64_t data_size,
                                 uint32_t checksum)
{
    block_header h{};
    h.data_size = data_size;
    size_t n = block.target_path.size() < sizeof h.target_path ? block.target_path.size()
                                                                : sizeof h.target_path;
    memcpy(h.target_path, block.target_path.data(), n);
    h.erase_size = block.erase_size;
    h.file_mode = block.file_mode;
    h.checksum = checksum;
    h.operation = block.operation;
    return h;
}

package_header bundle_package_header(const bundle_package& package, uint64_t total_size)
{
    package_header h{};
    h.version_major = PACKAGE_VERSION_MAJOR;
    h.version_minor = PACKAGE_VERSION_MINOR;
    h.block_count = (uint32_t)package.blocks.size();
    h.total_size = total_size;
    h.begin_script_size = (uint32_t)package.begin_script.size();
    h.end_script_size = (uint32_t)package.end_script.size();
    uint32_t sum = sum_bytes(0, reinterpret_cast<const uint8_t*>(&h) + 4, sizeof h - 4);
    sum = sum_bytes(sum, reinterpret_cast<const uint8_t*>(package.begin_script.data()),
                    package.begin_script.size());
    sum = sum_bytes(sum, reinterpret_cast<const uint8_t*>(package.end_script.data()),
                    package.end_script.size());
    h.checksum = sum;
    return h;
}

int bundle_check_block(const bundle_block& b, std::string* error)
{
    auto refuse = [&](const std::string& why) {
        *error = why;
        return -1;
    };
    if (b.operation > OP_SCRIPT)
        return refuse("unknown operation " + std::to_string(b.operation));
    if (b.target_path.empty())
        return refuse("empty target path");
    if (b.target_path.size() >= TARGET_PATH_SIZE)
        return refuse("target path of " + std::to_string(b.target_path.size()) +
                      " characters (255 at most): " + b.target_path.substr(0, 40) + "...");
    if (b.target_path.find('\0') != std::string::npos)
        return refuse("target path contains a zero byte");
    int64_t size = bundle_block_size(b);
    if (size < 0)
        return refuse("cannot read source file " + b.data_file);
    if (b.operation == OP_FILE_DELETE && size != 0)
        return refuse("a delete block carries no data");
    if (b.operation == OP_RAW_PARTITION && (uint64_t)size > b.erase_size)
        return refuse("image of " + std::to_string(size) +
                      " bytes is larger than its erase_size of " + std::to_string(b.erase_size));
    if ((b.operation == OP_UBI_VOLUME || b.operation == OP_SCRIPT) && size > (int64_t)UINT32_MAX)
        return refuse("UBI volumes and scripts must be smaller than 4 GiB");
    if (b.operation == OP_SCRIPT && size > INT32_MAX)
        return refuse("scripts must be smaller than 2 GiB");
    return 0;
}

int bundle_check(const bundle_package& package, std::string* error)
{
    if (package.begin_script.size() > INT32_MAX || package.end_script.size() > INT32_MAX) {
        *error = "begin and end scripts must be smaller than 2 GiB";
        return -1;
    }
    if (package.blocks.size() > UINT32_MAX) {
        *error = "too many blocks";
        return -1;
    }
    for (size_t i = 0; i < package.blocks.size(); ++i) {
        std::string why;
        if (bundle_check_block(package.blocks[i], &why) < 0) {
            *error = "block " + std::to_string(i) + ": " + why;
            return -1;
        }
    }
    return 0;
}

int bundle_write_to(const bundle_package& package, bundle_sink sink, std::string* error,
                    bundle_progress_fn progress, void* context)
{
    if (bundle_check(package, error) < 0)
        return -1;
    std::vector<uint64_t> sizes;
    uint64_t total = 0;
    for (const bundle_block& b : package.blocks) {
        sizes.push_back((uint64_t)bundle_block_size(b));
        total += sizes.back();
    }
    auto put = [&](const void* p, size_t n) { return n == 0 || sink.write(sink.context, p, n) == 0; };
    auto write_failed = [&]() {
        *error = std::string("write failed: ") + strerror(errno);
        return -1;
    };
    package_header header = bundle_package_header(package, total);
    if (!put(&header, sizeof header) ||
        !put(package.begin_script.data(), package.begin_script.size()) ||
        !put(package.end_script.data(), package.end_script.size()))
        return write_failed();
    uint64_t done = 0;
    for (size_t i = 0; i < package.blocks.size(); ++i) {
        const bundle_block& b = package.blocks[i];
        // The checksum sits in the header before the data: read the source twice
        // rather than hold it in memory.
        uint32_t checksum = 0;
        uint64_t hash = HASH_START;
        if (for_each_chunk(b, [&](const uint8_t* p, size_t n) {
                checksum = sum_bytes(checksum, p, n);
                hash = hash_bytes(hash, p, n);
                return true;
            }) < 0) {
            *error = "block " + std::to_string(i) + ": cannot read " + b.data_file;
            return -1;
        }
        block_header h = bundle_block_header(b, sizes[i], checksum);
        if (!put(&h, sizeof h))
            return write_failed();
        bool ok = true;
        uint64_t written = 0;
        uint32_t copied_sum = 0;
        uint64_t copied_hash = HASH_START;
        int r = for_each_chunk(b, [&](const uint8_t* p, size_t n) {
            // Never write more than the header announced: the surplus would be
            // read by the board as the next block header.
            if (written + n > sizes[i]) {
                written += n;
                return false;
            }
            ok = put(p, n);
            written += n;
            done += n;
            copied_sum = sum_bytes(copied_sum, p, n);
            copied_hash = hash_bytes(copied_hash, p, n);
            if (ok && progress != nullptr)
                progress(done, total, context);
            return ok;
        });
        if (!ok)
            return write_failed();
        // Same size but other bytes would leave a checksum that no longer matches,
        // or one that matches by chance over bytes the first reading never saw.
        if (r < 0 || written != sizes[i] || copied_sum != checksum || copied_hash != hash) {
            *error = "block " + std::to_string(i) + ": " + b.data_file + " changed while packing";
            return -1;
        }
    }
    return 0;
}

int bundle_write(const bundle_package& package, FILE* out, std::string* error,
                 bundle_progress_fn progress, void* context)
{
    if (bundle_write_to(package, bundle_sink{write_to_file, out}, error, progress, context) < 0)
        return -1;
    if (fflush(out) != 0) {
        *error = std::string("write failed: ") + strerror(errno);
        return -1;
    }
    return 0;
}

std::vector<uint8_t> bundle_bytes(const bundle_package& package)
{
    uint64_t total = 0;
    for (const bundle_block& b : package.blocks)
        total += b.data.size();
    package_header header = bundle_package_header(package, total);
    std::vector<uint8_t> out;
    auto append = [&](const void* p, size_t n) {
        const uint8_t* bytes = static_cast<const uint8_t*>(p);
        out.insert(out.end(), bytes, bytes + n);
    };
    append(&header, sizeof header);
    append(package.begin_script.data(), package.begin_script.size());
    append(package.end_script.data(), package.end_script.size());
    for (const bundle_block& b : package.blocks) {
        block_header h = bundle_block_header(b, b.data.size(),
                                             sum_bytes(0, b.data.data(), b.data.size()));
        append(&h, sizeof h);
        append(b.data.data(), b.data.size());
    }
    return out;
}
