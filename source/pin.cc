#include "source/pin.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>
#include <sys/mman.h>

#include "backends/chunk_mac.h"
#include "backends/trust.h"
#include "common/scoped.h"
#include "engine/trailer.h"
#include "source/source.h"

namespace {

using chunk_digest = uint8_t[CHUNK_MAC_SIZE];

struct pin_state {
    source_ops inner;
    const char* path;                 // as the command line gave it
    int opens;                        // passes so far
    // Recorded by the verification pass.
    bool recording;
    uint32_t chunk_filled;            // bytes of the chunk being recorded
    chunk_digest* digests;            // a MAC per chunk, the last may be short
    uint32_t count;
    uint32_t capacity;                // entries the mapping holds
    uint64_t length;                  // of the whole recorded stream
    bool out_of_memory;
    // Later passes.
    bool enforce;                     // the record is whole: hold to it
    bool changed;                     // found different once: every later pass fails
    byte_buffer chunk;                // the checked chunk being handed on
    uint32_t next;                    // index of the next chunk to load
    uint32_t chunk_size;              // bytes in `chunk`
    uint32_t served;                  // of them already handed on
    uint64_t taken;                   // bytes this pass read from the source
};

pin_state pin;

int say_out_of_memory()
{
    printf("Package %s cannot be held to its verified bytes: out of memory\n", pin.path);
    return -1;
}

// Whether a record of `count` entries can be mapped at all: on 32-bit ARM
// its size in bytes may pass what a size_t holds.
bool mappable(uint64_t count)
{
    return count <= SIZE_MAX / sizeof(chunk_digest);
}

// The record is mapped, not allocated: it grows by remapping, so no copy of it
// and no freed heap around it ever adds to the memory the board spends.
void end_chunk()
{
    if (pin.count == pin.capacity) {
        uint32_t more = pin.capacity == 0 ? 2048 : pin.capacity * 2;
        void* grown = MAP_FAILED;
        if (more > pin.capacity && mappable(more))
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
    chunk_mac_end(pin.digests[pin.count]);
    chunk_mac_begin(++pin.count);
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
        chunk_mac_feed(bytes, take);
        pin.chunk_filled += take;
        bytes += take;
        length -= take;
        if (pin.chunk_filled == PIN_CHUNK_SIZE)
            end_chunk();
    }
}

// The chunk buffer, taken at the first pass that needs it. False when memory
// is short.
bool have_chunk_buffer()
{
    if (!pin.chunk)
        pin.chunk = allocate_bytes(PIN_CHUNK_SIZE);
    return pin.chunk != nullptr;
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
    pin.taken += (uint32_t)n;
    uint8_t tag[CHUNK_MAC_SIZE] = {};
    if ((uint32_t)n == size) {
        chunk_mac_begin(pin.next);
        chunk_mac_feed(pin.chunk.get(), size);
        chunk_mac_end(tag);
    }
    if ((uint32_t)n != size || CRYPTO_memcmp(tag, pin.digests[pin.next], sizeof tag) != 0) {
        pin.changed = true;
        return say_package_changed(pin.path);
    }
    ++pin.next;
    pin.chunk_size = size;
    pin.served = 0;
    return 0;
}

// Opens a pass through `open`, the source's open of its kind.
int open_pass(const char* path, int (*open)(const char*))
{
    pin.path = path;
    if (pin.changed) {
        return say_package_changed(pin.path);
    }
    if (pin.opens > 0 && pin.enforce && pin.out_of_memory)
        return say_out_of_memory();
    int handle = open(path);
    if (handle < 0)
        return -1;
    if (pin.opens++ == 0) {
        trust_skip_digest(!package_may_end_in_trailer(handle));
        // Every package, leased or not: a lease tells only of writers through
        // this kernel, not of storage that answers a second read otherwise.
        if (chunk_mac_key(nullptr) < 0) {
            pin.inner.close(handle);
            printf("Package %s cannot be held to its verified bytes: no key for its record\n",
                   pin.path);
            return -1;
        }
        pin.recording = true;
        chunk_mac_begin(0);
    } else if (pin.enforce) {
        if (!have_chunk_buffer()) {
            pin.inner.close(handle);
            return say_out_of_memory();
        }
        pin.next = 0;
        pin.chunk_size = 0;
        pin.served = 0;
        pin.taken = 0;
    }
    return handle;
}

int pinned_open(const char* path)
{
    return open_pass(path, pin.inner.open);
}

int pinned_open_scripts(const char* path)
{
    return open_pass(path, scripts_open_of(&pin.inner));
}

// Lends the next bytes: in a later pass straight from the checked chunk; in
// the verification pass from the source's own buffer, recorded there, or
// where the source lends none, read into the chunk buffer first.
int pinned_borrow(int handle, const uint8_t** bytes, int length)
{
    if (pin.enforce && !pin.recording) {
        if (pin.served == pin.chunk_size) {
            if (pin.next == pin.count)
                return 0;
            if (load_chunk(handle) < 0)
                return -1;
        }
        uint32_t left = pin.chunk_size - pin.served;
        uint32_t take = (uint32_t)length < left ? (uint32_t)length : left;
        *bytes = pin.chunk.get() + pin.served;
        pin.served += take;
        return (int)take;
    }
    int n;
    if (pin.inner.borrow != nullptr) {
        n = pin.inner.borrow(handle, bytes, length);
    } else {
        if (!have_chunk_buffer())
            return say_out_of_memory();
        int want = length < (int)PIN_CHUNK_SIZE ? length : (int)PIN_CHUNK_SIZE;
        *bytes = pin.chunk.get();
        n = pin.inner.read(handle, pin.chunk.get(), want);
    }
    if (pin.recording && n > 0 && n <= length)
        record(*bytes, (uint32_t)n);
    return n;
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

// A pass that ends before the package does leaves the rest of a FIFO's copy
// unread, and its writer, cut off, may still hold bytes of it in the pipe when
// the next pass opens: that pass would read them first. The rest is read here,
// up to what the verification pass read and never past it (a writer may keep
// the FIFO open after the package), so each pass takes one whole copy. Of a
// gzip package, gunzip is let to read its stream to the end as the
// verification pass let it, rather than killed while its input still waits.
void finish_copy(int handle)
{
    if (!package_is_pipe() || pin.changed || !pin.chunk)
        return;
    while (pin.taken < pin.length) {
        uint64_t left = pin.length - pin.taken;
        int want = left < PIN_CHUNK_SIZE ? (int)left : (int)PIN_CHUNK_SIZE;
        int n = pin.inner.read(handle, pin.chunk.get(), want);
        if (n <= 0)
            return;
        pin.taken += (uint32_t)n;
    }
    if (pin.inner.finish != nullptr)
        pin.inner.finish(handle);
}

int pinned_close(int handle)
{
    if (pin.enforce && !pin.recording)
        finish_copy(handle);
    if (pin.recording) {
        pin.recording = false;
        if (pin.chunk_filled > 0)
            end_chunk();
        pin.enforce = true;
    }
    return pin.inner.close(handle);
}

}  // namespace

void pin_source(const source_ops* inner, source_ops* pinned)
{
    forget_record();
    chunk_mac_forget();
    pin = pin_state{};
    pin.inner = *inner;
    pinned->open = pinned_open;
    pinned->open_scripts = pinned_open_scripts;
    pinned->close = pinned_close;
    pinned->read = pinned_read;
    pinned->borrow = pinned_borrow;
    // Whatever the source reads to finish the stream lies after the trailer,
    // where no later pass reads.
    pinned->finish = inner->finish;
}
