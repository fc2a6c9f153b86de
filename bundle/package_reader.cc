#include "bundle/package_reader.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/trailer.h"

namespace {

constexpr size_t CHUNK = 1 << 16;

std::string hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08" PRIx32, value);
    return text;
}

// A plain package whose header checksum happens to start with the gzip magic
// still has version 0.4 right after it; a gzip stream there would need a header
// that no compressor writes.
bool looks_compressed(int fd)
{
    uint8_t head[12] = {};
    ssize_t n = ::pread(fd, head, sizeof head, 0);
    if (n < 3 || head[0] != 0x1f || head[1] != 0x8b || head[2] != 0x08)
        return false;
    package_header h{};
    if (n == (ssize_t)sizeof head) {
        memcpy(&h, head, sizeof head);
        if (h.version_major == PACKAGE_VERSION_MAJOR && h.version_minor == PACKAGE_VERSION_MINOR)
            return false;
    }
    return true;
}

// Reads more compressed input; the count, 0 at the end of the file, -1 on error.
int64_t refill(package_reader* r, std::string* error)
{
    for (;;) {
        ssize_t n = ::read(r->fd, r->input.data(), r->input.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = r->path + ": " + strerror(errno);
            return -1;
        }
        r->zs.next_in = r->input.data();
        r->zs.avail_in = (uInt)n;
        return n;
    }
}

// After a gzip member: another member follows, or the stream has ended. Bytes
// that do not start a member (zeros, or the 0xFF of a flash slot the package
// was written into) end it: gunzip ignores them with a warning, busybox
// gunzip silently, and the board takes both as success.
int after_member(package_reader* r, std::string* error)
{
    uint8_t magic[2];
    size_t have = 0;
    while (have < 2) {
        if (r->zs.avail_in == 0) {
            int64_t n = refill(r, error);
            if (n < 0)
                return -1;
            if (n == 0)
                break;
        }
        magic[have++] = *r->zs.next_in;
        ++r->zs.next_in;
        --r->zs.avail_in;
    }
    if (have == 2 && magic[0] == 0x1f && magic[1] == 0x8b) {
        // Hand the magic back to inflate, which reads the member's header itself.
        static const uint8_t GZIP_MAGIC[2] = {0x1f, 0x8b};
        std::vector<uint8_t> rest(r->zs.next_in, r->zs.next_in + r->zs.avail_in);
        r->input.assign(GZIP_MAGIC, GZIP_MAGIC + 2);
        r->input.insert(r->input.end(), rest.begin(), rest.end());
        r->input.resize(std::max(r->input.size(), CHUNK));
        r->zs.next_in = r->input.data();
        r->zs.avail_in = (uInt)(2 + rest.size());
        inflateReset(&r->zs);
        r->in_member = true;
        return 0;
    }
    if (have == 1) {
        // gunzip reads a lone byte as the start of a member cut short.
        *error = r->path + ": compressed stream cut short";
        return -1;
    }
    r->at_end = true;
    return 0;
}

// Inflates up to `length` bytes: the count, short only at the end, or -1.
int64_t inflate_some(package_reader* r, uint8_t* to, size_t length, std::string* error)
{
    size_t got = 0;
    while (got < length && !r->at_end) {
        if (!r->in_member) {
            if (after_member(r, error) < 0)
                return -1;
            continue;
        }
        if (r->zs.avail_in == 0) {
            int64_t n = refill(r, error);
            if (n < 0)
                return -1;
            if (n == 0) {
                *error = r->path + ": compressed stream cut short";
                return -1;
            }
        }
        size_t ask = length - got > (1u << 30) ? (1u << 30) : length - got;
        r->zs.next_out = to + got;
        r->zs.avail_out = (uInt)ask;
        int z = inflate(&r->zs, Z_NO_FLUSH);
        got += ask - r->zs.avail_out;
        if (z == Z_STREAM_END) {
            r->in_member = false;
        } else if (z != Z_OK && z != Z_BUF_ERROR) {
            *error = r->path + ": damaged compressed data: " +
                     (r->zs.msg != nullptr ? r->zs.msg : zError(z));
            return -1;
        }
    }
    return (int64_t)got;
}

// Reads `size` bytes in chunks into `each`: the count delivered, short where the
// package ends, or -1.
int64_t stream(package_reader* r, uint64_t size, std::vector<uint8_t>& buffer,
               const std::function<void(const uint8_t*, size_t)>& each, std::string* error)
{
    uint64_t done = 0;
    while (done < size) {
        size_t chunk = size - done < buffer.size() ? (size_t)(size - done) : buffer.size();
        int64_t n = reader_read(r, buffer.data(), chunk, error);
        if (n < 0)
            return -1;
        if (n > 0 && each)
            each(buffer.data(), (size_t)n);
        done += (uint64_t)n;
        if ((size_t)n < chunk)
            break;
    }
    return (int64_t)done;
}

// Shows what a read delivered to the reader's tap: the read's result, or -1.
int64_t tapped(package_reader* r, const uint8_t* bytes, int64_t n, std::string* error)
{
    if (n > 0 && r->tap && r->tap(bytes, (size_t)n, error) < 0)
        return -1;
    return n;
}

std::string bytes_of(uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// Why the trailer whose bytes arrived in `bytes` is malformed, `length` counting
// every byte after the last block; empty when it is not.
std::string trailer_problem(const std::vector<uint8_t>& bytes, uint64_t length,
                            uint32_t block_count)
{
    if (bytes.size() < TRAILER_PROBE_SIZE)
        return "cut short after " + bytes_of(bytes.size());
    uint32_t size;
    memcpy(&size, bytes.data() + offsetof(trailer_head, trailer_size), sizeof size);
    if (size < sizeof(trailer_head) || size > trailer_size_limit(block_count))
        return "trailer_size " + std::to_string(size) + " is out of range";
    if (bytes.size() < size)
        return "cut short after " + bytes_of(bytes.size()) + " of its " + bytes_of(size);
    if (length > size)
        return bytes_of(length - size) + " after it";
    trailer_view view;
    if (parse_trailer(bytes.data(), size, block_count, &view) == 0)
        return "";
    uint32_t sig_size;
    memcpy(&sig_size, bytes.data() + offsetof(trailer_head, sig_size), sizeof sig_size);
    if (sig_size > TRAILER_MAX_SIGNATURE)
        return "sig_size " + std::to_string(sig_size) + " is over " +
               std::to_string(TRAILER_MAX_SIGNATURE);
    if (trailer_version(bytes.data(), size) == 3 && size >= TRAILER_V3_FIXED_SIZE) {
        uint32_t count;
        memcpy(&count, bytes.data() + sizeof(trailer_head), sizeof count);
        uint64_t at = sizeof(trailer_head) + 4 + (uint64_t)count * sizeof(trailer_entry);
        if (at + 4 <= size) {
            uint32_t attr_size;
            memcpy(&attr_size, bytes.data() + at, sizeof attr_size);
            if (attr_size > TRAILER_MAX_ATTRIBUTES)
                return "attr_size " + std::to_string(attr_size) + " is over " +
                       std::to_string(TRAILER_MAX_ATTRIBUTES);
            if (at + 4 + attr_size + sig_size == size)
                return "its attributes or its list of results break the rules";
        }
    }
    return "trailer_size " + std::to_string(size) + " does not match what it holds";
}

}  // namespace

package_reader::~package_reader()
{
    if (zs_ready)
        inflateEnd(&zs);
    if (fd >= 0)
        ::close(fd);
}

int reader_open(package_reader* r, const std::string& path, std::string* error)
{
    r->path = path;
    r->offset = 0;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + strerror(errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        *error = path + ": is a directory";
        return -1;
    }
    r->fd = fd;
    r->compressed = looks_compressed(fd);
    if (r->gzip_only && !r->compressed) {
        // gunzip decides by the magic alone; whatever follows it is zlib's to judge.
        uint8_t magic[2] = {};
        if (::pread(fd, magic, sizeof magic, 0) != (ssize_t)sizeof magic || magic[0] != 0x1f ||
            magic[1] != 0x8b) {
            *error = path + ": not in gzip format";
            return -1;
        }
        r->compressed = true;
    }
    if (!r->compressed)
        return 0;
    // 16 + window bits: gzip members, header and check value included.
    if (inflateInit2(&r->zs, 16 + MAX_WBITS) != Z_OK) {
        *error = path + ": cannot start decompression";
        return -1;
    }
    r->zs_ready = true;
    r->in_member = true;
    r->input.resize(CHUNK);
    return 0;
}

int64_t reader_read(package_reader* r, void* buffer, size_t length, std::string* error)
{
    uint8_t* to = static_cast<uint8_t*>(buffer);
    if (r->compressed) {
        int64_t n = inflate_some(r, to, length, error);
        if (n > 0)
            r->offset += (uint64_t)n;
        return tapped(r, to, n, error);
    }
    size_t got = 0;
    while (got < length) {
        ssize_t n = ::read(r->fd, to + got, length - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = r->path + ": " + strerror(errno);
            return -1;
        }
        if (n == 0)
            break;
        got += (size_t)n;
        r->offset += (uint64_t)n;
    }
    return tapped(r, to, (int64_t)got, error);
}

int reader_finish(package_reader* r, std::string* error)
{
    if (!r->compressed)
        return 0;
    std::vector<uint8_t> buffer(CHUNK);
    int64_t n;
    while ((n = reader_read(r, buffer.data(), buffer.size(), error)) > 0) {
    }
    return n < 0 ? -1 : 0;
}

std::string block_name(uint32_t index, const block_header& block)
{
    const char* end = static_cast<const char*>(memchr(block.target_path, 0, sizeof block.target_path));
    std::string target(block.target_path, end != nullptr ? end : block.target_path + sizeof block.target_path);
    return "block " + std::to_string(index) + " (" + target + ")";
}

int walk_package(package_reader* r, const walk_handler& handler, std::string* error)
{
    std::vector<uint8_t> buffer(CHUNK);
    auto cut_short = [&](const std::string& what) {
        *error = r->path + ": " + what;
        return -1;
    };

    package_header header{};
    int64_t n = reader_read(r, &header, sizeof header, error);
    if (n < 0)
        return -1;
    if (n != (int64_t)sizeof header)
        return cut_short("package of " + bytes_of((uint64_t)n) + " is shorter than its 32-byte header");
    if (header.version_major != PACKAGE_VERSION_MAJOR || header.version_minor != PACKAGE_VERSION_MINOR) {
        *error = r->path + ": format version " + std::to_string(header.version_major) + "." +
                 std::to_string(header.version_minor) + "; the board reads version " +
                 std::to_string(PACKAGE_VERSION_MAJOR) + "." + std::to_string(PACKAGE_VERSION_MINOR) +
                 " only";
        return -1;
    }
    if (handler.header)
        handler.header(header);

    uint32_t sum = byte_sum(0, reinterpret_cast<const uint8_t*>(&header) + 4, (int)sizeof header - 4);
    const uint32_t sizes[2] = {header.begin_script_size, header.end_script_size};
    const char* names[2] = {"begin script", "end script"};
    for (int section = 0; section < 2; ++section) {
        n = stream(r, sizes[section], buffer, [&](const uint8_t* p, size_t len) {
            sum = byte_sum(sum, p, (int)len);
            if (handler.script)
                handler.script(section, p, len);
        }, error);
        if (n < 0)
            return -1;
        if ((uint64_t)n != sizes[section])
            return cut_short("package ends after " + bytes_of((uint64_t)n) + " of its " +
                             bytes_of(sizes[section]) + " " + names[section]);
    }
    if (sum != header.checksum) {
        std::string message = r->path + ": header checksum error: stored " + hex(header.checksum) +
                              ", computed " + hex(sum);
        if (!handler.mismatch || !handler.mismatch(message)) {
            *error = message;
            return -1;
        }
    }

    for (uint32_t i = 0; i < header.block_count; ++i) {
        uint64_t offset = r->offset;
        block_header block{};
        n = reader_read(r, &block, sizeof block, error);
        if (n < 0)
            return -1;
        if (n != (int64_t)sizeof block)
            return cut_short("block " + std::to_string(i) + " of " + std::to_string(header.block_count) +
                             ": package ends " + bytes_of((uint64_t)n) +
                             " into its 288-byte header, at offset " + std::to_string(offset));
        if (check_block_header(&block) < 0) {
            if (memchr(block.target_path, 0, sizeof block.target_path) == nullptr)
                *error = r->path + ": block " + std::to_string(i) +
                         ": target path has no terminating zero within its 256 bytes";
            else
                *error = r->path + ": " + block_name(i, block) + ": a file_delete block carries " +
                         bytes_of(block.data_size) + " of data, which the board would read as the next block";
            return -1;
        }
        if (handler.block)
            handler.block(i, offset, block);
        uint32_t block_sum = 0;
        n = stream(r, block.data_size, buffer, [&](const uint8_t* p, size_t len) {
            block_sum = byte_sum(block_sum, p, (int)len);
            if (handler.data)
                handler.data(p, len);
        }, error);
        if (n < 0)
            return -1;
        if ((uint64_t)n != block.data_size)
            return cut_short(block_name(i, block) + ": package ends after " + bytes_of((uint64_t)n) +
                             " of its " + bytes_of(block.data_size) + " of data");
        if (block_sum != block.checksum) {
            std::string message = r->path + ": " + block_name(i, block) + ": checksum error: stored " +
                                  hex(block.checksum) + ", computed " + hex(block_sum);
            if (!handler.mismatch || !handler.mismatch(message)) {
                *error = message;
                return -1;
            }
        } else if (handler.block_ok) {
            handler.block_ok(i, block);
        }
    }
    return 0;
}

int read_tail(package_reader* r, uint32_t block_count, package_tail* tail, std::string* error)
{
    *tail = package_tail{};
    std::vector<uint8_t> bytes(TRAILER_PROBE_SIZE);
    int64_t n = reader_read(r, bytes.data(), bytes.size(), error);
    if (n < 0)
        return -1;
    bytes.resize((size_t)n);
    tail->length = (uint64_t)n;
    tail->version = trailer_version(bytes.data(), (uint32_t)bytes.size());
    if (tail->version != 0 && bytes.size() == TRAILER_PROBE_SIZE) {
        uint32_t size;
        memcpy(&size, bytes.data() + offsetof(trailer_head, trailer_size), sizeof size);
        // Bounded as the board bounds it: the size field alone must not make us
        // read a whole damaged file into memory.
        if (size > TRAILER_PROBE_SIZE && size <= trailer_size_limit(block_count)) {
            bytes.resize(size);
            n = reader_read(r, bytes.data() + TRAILER_PROBE_SIZE, size - TRAILER_PROBE_SIZE, error);
            if (n < 0)
                return -1;
            bytes.resize(TRAILER_PROBE_SIZE + (size_t)n);
            tail->length += (uint64_t)n;
        }
    }
    // On to the end: of the file, and of a compressed stream with its check value.
    std::vector<uint8_t> buffer(CHUNK);
    while ((n = reader_read(r, buffer.data(), buffer.size(), error)) > 0)
        tail->length += (uint64_t)n;
    if (n < 0)
        return -1;
    if (tail->version == 0)
        return 0;
    tail->problem = trailer_problem(bytes, tail->length, block_count);
    if (tail->problem.empty())
        tail->trailer = std::move(bytes);
    return 0;
}
