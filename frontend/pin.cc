#include "frontend/pin.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#include "backends/trust.h"
#include "common/scoped.h"
#include "engine/trailer.h"
#include "frontend/source.h"

namespace {

using chunk_digest = uint8_t[SHA256_SIZE];

struct pin_state {
    source_ops inner;
    const char* path;                 // as the command line gave it
    int opens;                        // passes so far
    // Recorded by the verification pass.
    bool recording;
    sha256_context chunk_hash;
    uint32_t chunk_filled;            // bytes of the chunk being hashed
    chunk_digest* digests;            // one per chunk, the last may be short
    uint32_t count;
    uint32_t capacity;                // entries the mapping holds
    uint64_t length;                  // of the whole recorded stream
    bool out_of_memory;
    // Later passes.
    bool enforce;                     // a trailer was accepted: hold to the record
    bool changed;                     // found different once: every later pass fails
    byte_buffer chunk;                // the checked chunk being handed on
    uint32_t next;                    // index of the next chunk to load
    uint32_t chunk_size;              // bytes in `chunk`
    uint32_t served;                  // of them already handed on
};

pin_state pin;

int say_out_of_memory()
{
    printf("Package %s cannot be held to its verified bytes: out of memory\n", pin.path);
    return -1;
}

// The record is mapped, not allocated: it grows by remapping, so no copy of it
// and no freed heap around it ever adds to the memory the board spends.
void end_chunk()
{
    if (pin.count == pin.capacity) {
        uint32_t more = pin.capacity == 0 ? 2048 : pin.capacity * 2;
        void* grown = MAP_FAILED;
        if (more > pin.capacity && more <= SIZE_MAX / sizeof(chunk_digest))
            grown = pin.digests == nullptr
                        ? ::mmap(nullptr, sizeof(chunk_digest) * more, PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                        : ::mremap(pin.digests, sizeof(chunk_digest) * pin.capacity,
                                   sizeof(chunk_digest) * more, MREMAP_MAYMOVE);
        if (grown == MAP_FAILED) {
            pin.out_of_memory = true;
            return;
        }
        pin.digests = static_cast<chunk_digest*>(grown);
        pin.capacity = more;
    }
    sha256_finish(&pin.chunk_hash, pin.digests[pin.count++]);
    sha256_start(&pin.chunk_hash);
    pin.chunk_filled = 0;
}

void forget_record()
{
    if (pin.digests != nullptr)
        ::munmap(pin.digests, sizeof(chunk_digest) * pin.capacity);
    pin.digests = nullptr;
    pin.capacity = 0;
}

// Unmaps the record when the program ends.
struct record_owner {
    ~record_owner() { forget_record(); }
} record_owner_instance;

void record(const uint8_t* bytes, uint32_t length)
{
    pin.length += length;
    while (length > 0 && !pin.out_of_memory) {
        uint32_t room = PIN_CHUNK_SIZE - pin.chunk_filled;
        uint32_t take = length < room ? length : room;
        sha256_feed(&pin.chunk_hash, bytes, take);
        pin.chunk_filled += take;
        bytes += take;
        length -= take;
        if (pin.chunk_filled == PIN_CHUNK_SIZE)
            end_chunk();
    }
}

// Reads the next recorded chunk whole and checks it. 0, or -1 after saying why.
int load_chunk(int handle)
{
    uint64_t start = (uint64_t)pin.next * PIN_CHUNK_SIZE;
    uint64_t left = pin.length - start;
    uint32_t size = left < PIN_CHUNK_SIZE ? (uint32_t)left : PIN_CHUNK_SIZE;
    int n = pin.inner.read(handle, pin.chunk.get(), (int)size);
    if (n < 0)
        return -1;
    uint8_t digest[SHA256_SIZE] = {};
    if ((uint32_t)n == size)
        sha256_of(pin.chunk.get(), size, digest);
    if ((uint32_t)n != size || memcmp(digest, pin.digests[pin.next], sizeof digest) != 0) {
        pin.changed = true;
        return say_package_changed(pin.path);
    }
    ++pin.next;
    pin.chunk_size = size;
    pin.served = 0;
    return 0;
}

int pinned_open(const char* path)
{
    pin.path = path;
    if (pin.changed) {
        return say_package_changed(pin.path);
    }
    if (pin.opens > 0 && pin.enforce && pin.out_of_memory)
        return say_out_of_memory();
    int handle = pin.inner.open(path);
    if (handle < 0)
        return -1;
    if (pin.opens++ == 0) {
        bool may_have_trailer = package_may_end_in_trailer(handle);
        trust_skip_digest(!may_have_trailer);
        // A leased file needs no record: the kernel tells us of any writer.
        pin.recording = may_have_trailer && !package_file_leased();
        sha256_start(&pin.chunk_hash);
    } else if (pin.enforce) {
        if (!pin.chunk)
            pin.chunk = allocate_bytes(PIN_CHUNK_SIZE);
        if (!pin.chunk) {
            pin.inner.close(handle);
            return say_out_of_memory();
        }
        pin.next = 0;
        pin.chunk_size = 0;
        pin.served = 0;
    }
    return handle;
}

int pinned_read(int handle, void* buffer, int length)
{
    if (pin.recording) {
        int n = pin.inner.read(handle, buffer, length);
        if (n > 0 && n <= length)
            record(static_cast<const uint8_t*>(buffer), (uint32_t)n);
        return n;
    }
    if (!pin.enforce)
        return pin.inner.read(handle, buffer, length);
    // Nothing beyond the recorded stream is handed on: a later pass never
    // needs more than the verification pass read.
    uint8_t* to = static_cast<uint8_t*>(buffer);
    int total = 0;
    while (total < length) {
        if (pin.served == pin.chunk_size) {
            if (pin.next == pin.count)
                break;
            if (load_chunk(handle) < 0)
                return -1;
        }
        uint32_t left = pin.chunk_size - pin.served;
        uint32_t want = (uint32_t)(length - total);
        uint32_t take = want < left ? want : left;
        memcpy(to + total, pin.chunk.get() + pin.served, take);
        pin.served += take;
        total += (int)take;
    }
    return total;
}

int pinned_close(int handle)
{
    if (pin.recording) {
        pin.recording = false;
        if (pin.chunk_filled > 0)
            end_chunk();
        pin.enforce = trust_trailer_accepted();
    }
    return pin.inner.close(handle);
}

}  // namespace

void pin_source(const source_ops* inner, source_ops* pinned)
{
    forget_record();
    pin = pin_state{};
    pin.inner = *inner;
    pinned->open = pinned_open;
    pinned->close = pinned_close;
    pinned->read = pinned_read;
    // Whatever the source reads to finish the stream lies after the trailer,
    // where no later pass reads.
    pinned->finish = inner->finish;
}
