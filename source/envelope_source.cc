#include "source/envelope_source.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backends/envelope.h"
#include "backends/trust.h"
#include "common/bytes.h"
#include "common/scoped.h"
#include "engine/package_format.h"
#include "engine/trailer.h"
#include "source/gzip_relay.h"
#include "source/source.h"

namespace {

enum envelope_kind { UNKNOWN, SEALED, PLAIN };

// What a package file may hold after the package itself.
constexpr uint64_t FINISH_DRAIN = 1024 * 1024;

struct envelope_state {
    source_ops inner;
    bool required;
    envelope_kind kind;               // as the first pass found the package
    bool refused;                     // a pass found it wrong: every later one fails
    // The content key the first pass unwrapped, and what it gives.
    bool keyed;
    uint8_t content_key[ENVELOPE_KEY_SIZE];
    uint8_t payload_key[32];
    // The pass under way.
    int inner_handle;
    int token;
    uint8_t peeked[ENVELOPE_MAGIC_SIZE];   // of a plain package, handed on first
    uint32_t peeked_served;
    uint32_t header_size;
    uint32_t chunk_size;
    byte_buffer chunk;                // a chunk and its tag; its opened bytes in front
    uint32_t chunk_room;
    uint64_t chunk_number;            // of the next chunk
    uint32_t plain_length;            // of the opened chunk
    uint32_t served;                  // of it
    bool last_done;                   // the last chunk was opened
};

envelope_state envelope = {};

int refuse(const char* line)
{
    puts(line);
    envelope.refused = true;
    return -1;
}

// Reads up to `length` bytes of the inner source, as many as there are: the
// count, or -1.
int read_inner(void* buffer, int length)
{
    uint8_t* to = static_cast<uint8_t*>(buffer);
    int total = 0;
    while (total < length) {
        int n = envelope.inner.read(envelope.inner_handle, to + total, length - total);
        if (n < 0 || n > length - total)
            return -1;
        if (n == 0)
            break;
        total += n;
    }
    return total;
}

// Reads exactly `length` bytes of the header. 0, -1 after a line when the
// envelope ends first, -2 when the source failed (it said why).
int read_header_bytes(void* buffer, int length)
{
    int n = read_inner(buffer, length);
    if (n < 0)
        return -2;
    if (n < length) {
        refuse("Package envelope is cut short!");
        return -1;
    }
    return 0;
}

// Reads and checks the header; the first pass finds this board's line and
// the content key, later ones check the header against it. 0, or -1.
int open_header(const uint8_t magic[ENVELOPE_MAGIC_SIZE])
{
    uint8_t fixed[ENVELOPE_FIXED_SIZE];
    memcpy(fixed, magic, ENVELOPE_MAGIC_SIZE);
    if (read_header_bytes(fixed + ENVELOPE_MAGIC_SIZE,
                          (int)(sizeof fixed - ENVELOPE_MAGIC_SIZE)) < 0)
        return -1;
    uint32_t header_size = load_le32(fixed + 8);
    uint32_t cipher = load_le16(fixed + 12);
    uint32_t reserved = load_le16(fixed + 14);
    uint32_t chunk_size = load_le32(fixed + 16);
    uint32_t recipients = load_le32(fixed + 20);
    const uint8_t* salt = fixed + 24;
    // Every size is checked before anything is read or allocated for it.
    if (recipients == 0 || recipients > ENVELOPE_MAX_RECIPIENTS || reserved != 0 ||
        chunk_size < ENVELOPE_MIN_CHUNK || chunk_size > ENVELOPE_MAX_CHUNK ||
        header_size != ENVELOPE_FIXED_SIZE + (uint64_t)recipients * ENVELOPE_RECIPIENT_SIZE +
                           ENVELOPE_MAC_SIZE)
        return refuse("Package envelope header is damaged!");
    if (cipher != ENVELOPE_CHACHA20_POLY1305) {
        printf("Package envelope uses cipher %u, which this board does not know!\n", cipher);
        envelope.refused = true;
        return -1;
    }
    sha256_context digest;
    sha256_start(&digest);
    sha256_feed(&digest, fixed, sizeof fixed);
    uint8_t content_key[ENVELOPE_KEY_SIZE];
    bool found = envelope.keyed;
    if (found)
        memcpy(content_key, envelope.content_key, sizeof content_key);
    for (uint32_t i = 0; i < recipients; ++i) {
        uint8_t line[ENVELOPE_RECIPIENT_SIZE];
        int read = read_header_bytes(line, (int)sizeof line);
        if (read < 0)
            return -1;
        sha256_feed(&digest, line, sizeof line);
        if (!found)
            found = envelope_unwrap(line, content_key) == 1;
    }
    uint8_t mac[ENVELOPE_MAC_SIZE];
    if (read_header_bytes(mac, (int)sizeof mac) < 0)
        return -1;
    if (!found)
        return refuse("Package is encrypted for other boards");
    uint8_t header_digest[32];
    sha256_finish(&digest, header_digest);
    uint8_t mac_key[32];
    envelope_header_key(content_key, salt, mac_key);
    bool sound = envelope_mac_matches(mac_key, header_digest, mac);
    OPENSSL_cleanse(mac_key, sizeof mac_key);
    if (!sound) {
        OPENSSL_cleanse(content_key, sizeof content_key);
        return refuse("Package envelope header is damaged!");
    }
    if (!envelope.keyed) {
        memcpy(envelope.content_key, content_key, sizeof content_key);
        envelope.keyed = true;
    }
    envelope_payload_key(content_key, salt, envelope.payload_key);
    OPENSSL_cleanse(content_key, sizeof content_key);
    if (!envelope.chunk || envelope.chunk_room < chunk_size + ENVELOPE_TAG_SIZE) {
        envelope.chunk = allocate_bytes(chunk_size + ENVELOPE_TAG_SIZE);
        envelope.chunk_room = envelope.chunk ? chunk_size + (uint32_t)ENVELOPE_TAG_SIZE : 0;
        if (!envelope.chunk) {
            puts("Package envelope: out of memory");
            return -1;
        }
    }
    envelope.chunk_size = chunk_size;
    envelope.header_size = header_size;
    return 0;
}

// Whether `sealed` bytes at `bytes` (a chunk and its tag) open in place as
// chunk `number`, last or not.
bool opens_as(uint64_t number, bool last, uint8_t* bytes, uint32_t sealed)
{
    uint8_t nonce[12];
    envelope_chunk_nonce(number, last, nonce);
    uint32_t length = sealed - (uint32_t)ENVELOPE_TAG_SIZE;
    return aead_open(envelope.payload_key, nonce, nullptr, 0, bytes, length, bytes + length) == 0;
}

// Whether `n` bytes of the chunk buffer open as the next chunk, last or not.
bool opens(uint32_t n, bool last)
{
    return opens_as(envelope.chunk_number, last, envelope.chunk.get(), n);
}

// Reads and opens the next chunk. 0, or -1 after a line (or the source's).
int next_chunk()
{
    uint32_t full = envelope.chunk_size + (uint32_t)ENVELOPE_TAG_SIZE;
    int n = read_inner(envelope.chunk.get(), (int)full);
    if (n < 0)
        return -1;
    // The last chunk may be full: it says so in its nonce, and the envelope
    // must end right after it. A short one can only be the last.
    bool last = false;
    if ((uint32_t)n == full && opens(full, false)) {
        last = false;
    } else if ((uint32_t)n >= ENVELOPE_TAG_SIZE && opens((uint32_t)n, true) &&
               ((uint32_t)n > ENVELOPE_TAG_SIZE || envelope.chunk_number == 0)) {
        last = true;
    } else if ((uint32_t)n < ENVELOPE_TAG_SIZE && (n > 0 || envelope.chunk_number > 0)) {
        return refuse("Package envelope is cut short!");
    } else {
        printf("Package envelope chunk %llu is damaged!\n",
               (unsigned long long)envelope.chunk_number);
        envelope.refused = true;
        return -1;
    }
    if (last) {
        uint8_t beyond;
        int more = read_inner(&beyond, 1);
        if (more < 0)
            return -1;
        if (more > 0)
            return refuse("Package envelope has bytes after its last chunk!");
        envelope.last_done = true;
    }
    ++envelope.chunk_number;
    envelope.plain_length = (uint32_t)n - (uint32_t)ENVELOPE_TAG_SIZE;
    envelope.served = 0;
    return 0;
}

int open_with(const char* path, int (*open)(const char*))
{
    if (envelope.refused) {
        printf("Package %s changed since it was verified!\n", path);
        return -1;
    }
    envelope.inner_handle = open(path);
    if (envelope.inner_handle < 0)
        return -1;
    envelope.chunk_number = 0;
    envelope.plain_length = envelope.served = 0;
    envelope.last_done = false;
    envelope.peeked_served = ENVELOPE_MAGIC_SIZE;
    uint8_t magic[ENVELOPE_MAGIC_SIZE] = {};
    int n = read_inner(magic, (int)sizeof magic);
    int result = n < 0 ? -1 : 0;
    envelope_kind kind = n == (int)sizeof magic && is_envelope(magic, sizeof magic) ? SEALED : PLAIN;
    if (result == 0 && kind == PLAIN && envelope.required)
        result = refuse("Package is not encrypted: this board takes encrypted packages only!");
    else if (result == 0 && envelope.kind != UNKNOWN && kind != envelope.kind)
        result = refuse("Package changed since it was verified: it is sealed in one pass and "
                        "not in another!");
    if (result == 0 && kind == SEALED)
        result = open_header(magic);
    if (result == 0 && kind == PLAIN) {
        // Not sealed, on a board that takes such packages: handed on as read.
        envelope.peeked_served = ENVELOPE_MAGIC_SIZE - (uint32_t)n;
        memmove(envelope.peeked + envelope.peeked_served, magic, (size_t)n);
    }
    // A handle of our own: the package cannot be looked at from its end.
    if (result == 0)
        envelope.token = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (result < 0 || envelope.token < 0) {
        envelope.inner.close(envelope.inner_handle);
        envelope.inner_handle = -1;
        return -1;
    }
    envelope.kind = kind;
    return envelope.token;
}

int sealed_open(const char* path)
{
    return open_with(path, envelope.inner.open);
}

int sealed_open_scripts(const char* path)
{
    return open_with(path, scripts_open_of(&envelope.inner));
}

int sealed_read(int handle, void* buffer, int length)
{
    if (handle != envelope.token || envelope.refused)
        return -1;
    uint8_t* to = static_cast<uint8_t*>(buffer);
    int total = 0;
    if (envelope.kind == PLAIN) {
        while (total < length && envelope.peeked_served < ENVELOPE_MAGIC_SIZE)
            to[total++] = envelope.peeked[envelope.peeked_served++];
        if (total == length)
            return total;
        int n = envelope.inner.read(envelope.inner_handle, to + total, length - total);
        return n < 0 ? -1 : total + n;
    }
    while (total < length) {
        if (envelope.served < envelope.plain_length) {
            uint32_t left = envelope.plain_length - envelope.served;
            uint32_t take = (uint32_t)(length - total) < left ? (uint32_t)(length - total) : left;
            memcpy(to + total, envelope.chunk.get() + envelope.served, take);
            envelope.served += take;
            total += (int)take;
            continue;
        }
        if (envelope.last_done)
            break;
        if (next_chunk() < 0)
            return -1;
    }
    return total;
}

int sealed_close(int handle)
{
    if (envelope.inner_handle >= 0)
        envelope.inner.close(envelope.inner_handle);
    envelope.inner_handle = -1;
    if (handle == envelope.token)
        envelope.token = -1;
    return ::close(handle);
}

// The verification pass has read the whole package: the chunks after it are
// opened too, so that no tag goes unchecked and a cut envelope is told, as
// far as a package file may go on after the package (padding); an envelope
// that goes on beyond is refused rather than read for ever.
int sealed_finish(int handle)
{
    if (envelope.kind == SEALED) {
        uint64_t drained = 0;
        while (!envelope.last_done) {
            drained += envelope.plain_length - envelope.served;
            envelope.served = envelope.plain_length;
            if (drained > FINISH_DRAIN)
                return refuse("Package envelope goes on after the package!");
            if (envelope.refused || next_chunk() < 0)
                return -1;
        }
    }
    return envelope.inner.finish != nullptr ? envelope.inner.finish(envelope.inner_handle)
                                            : (handle == envelope.token ? 0 : -1);
}

// Reads sealed chunk `index` of the file (`sealed` bytes with its tag) with
// pread and opens it into `to`: true when it opens.
bool open_chunk_at(int fd, uint64_t index, bool last, uint32_t sealed, uint8_t* to)
{
    uint64_t at = envelope.header_size + index * (envelope.chunk_size + ENVELOPE_TAG_SIZE);
    uint32_t got = 0;
    while (got < sealed) {
        ssize_t n = ::pread(fd, to + got, sealed - got, (off_t)(at + got));
        if (n <= 0)
            return false;
        got += (uint32_t)n;
    }
    return opens_as(index, last, to, sealed);
}

// Wipes the keys when the program ends.
struct envelope_owner {
    ~envelope_owner() { envelope_forget(); }
} envelope_owner_instance;

}  // namespace

bool is_envelope(const uint8_t* bytes, size_t length)
{
    return length >= ENVELOPE_MAGIC_SIZE && memcmp(bytes, ENVELOPE_MAGIC, ENVELOPE_MAGIC_SIZE) == 0;
}

void envelope_source(const source_ops* inner, bool required, source_ops* sealed)
{
    envelope_forget();
    envelope.chunk.reset();
    envelope = envelope_state{};
    envelope.inner = *inner;
    envelope.required = required;
    envelope.inner_handle = envelope.token = -1;
    *sealed = source_ops{};
    sealed->open = sealed_open;
    sealed->open_scripts = sealed_open_scripts;
    sealed->read = sealed_read;
    sealed->close = sealed_close;
    sealed->finish = sealed_finish;
}

void envelope_package_source(const source_ops* object, bool required, bool compressed,
                             source_ops* package)
{
    source_ops sealed{};
    envelope_source(object, required, &sealed);
    if (compressed)
        gzip_relay_source(&sealed, package);
    else
        *package = sealed;
}

bool file_may_be_envelope(const char* path)
{
    // A FIFO cannot be looked at without taking its bytes: the envelope's
    // reader takes it, and hands a plain package on as it is.
    struct stat st;
    if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode))
        return true;
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    uint8_t magic[ENVELOPE_MAGIC_SIZE];
    return fd.fd >= 0 && ::pread(fd.fd, magic, sizeof magic, 0) == (ssize_t)sizeof magic &&
           is_envelope(magic, sizeof magic);
}

int envelope_may_end_in_trailer(int handle)
{
    if (handle < 0 || handle != envelope.token)
        return -1;
    if (envelope.kind == PLAIN)
        return package_may_end_in_trailer(envelope.inner_handle) ? 1 : 0;
    // The chunks' layout from the file's size: the last one's length, and the
    // package's. Whatever does not add up may be anything: the reader says.
    struct stat st;
    int fd = envelope.inner_handle;
    if (::fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) ||
        (uint64_t)st.st_size < envelope.header_size)
        return 1;
    uint64_t full = envelope.chunk_size + ENVELOPE_TAG_SIZE;
    uint64_t body = (uint64_t)st.st_size - envelope.header_size;
    uint64_t chunks = (body + full - 1) / full;
    uint64_t last_sealed = chunks == 0 ? 0 : body - (chunks - 1) * full;
    if (chunks == 0 || last_sealed < ENVELOPE_TAG_SIZE)
        return 1;
    uint64_t length = (chunks - 1) * envelope.chunk_size + last_sealed - ENVELOPE_TAG_SIZE;
    if (length < sizeof(package_header))
        return 1;
    byte_buffer chunk = allocate_bytes((size_t)full);
    if (!chunk ||
        !open_chunk_at(fd, 0, chunks == 1, chunks == 1 ? (uint32_t)last_sealed : (uint32_t)full,
                       chunk.get()))
        return 1;
    package_header header;
    memcpy(&header, chunk.get(), sizeof header);
    uint64_t limit = trailer_size_limit(header.block_count);
    uint32_t tail = (uint32_t)(length < limit ? length : limit);
    byte_buffer bytes = allocate_bytes(tail);
    if (!bytes)
        return 1;
    // The chunks that hold the last `tail` bytes of the package.
    uint64_t from = length - tail;
    for (uint64_t i = from / envelope.chunk_size; i < chunks; ++i) {
        bool last = i == chunks - 1;
        if (!open_chunk_at(fd, i, last, last ? (uint32_t)last_sealed : (uint32_t)full,
                           chunk.get()))
            return 1;
        uint64_t start = i * envelope.chunk_size;
        uint64_t end = start + (last ? last_sealed - ENVELOPE_TAG_SIZE : envelope.chunk_size);
        uint64_t a = start > from ? start : from;
        memcpy(bytes.get() + (a - from), chunk.get() + (a - start), (size_t)(end - a));
    }
    return tail_may_hold_trailer(bytes.get(), tail) ? 1 : 0;
}

void envelope_forget()
{
    OPENSSL_cleanse(envelope.content_key, sizeof envelope.content_key);
    OPENSSL_cleanse(envelope.payload_key, sizeof envelope.payload_key);
    envelope.keyed = false;
}
