// Only libcrypto's low-level Poly1305 and ChaCha20 code: its public route,
// EVP_MAC, brings the provider machinery into the static board binary, about
// 2 MB against a budget of 112 KiB. libcrypto.a exports the low-level calls,
// though only an internal header declares them; they are declared here as
// OpenSSL 1.1.1 to 3.x define them, and the build checks that they link (see
// backends/CMakeLists.txt). A libcrypto without them (LibreSSL, BoringSSL,
// AWS-LC, or a shared library alone, whose export list holds public calls
// only) stops the build at configure time with a message saying so.
#include "backends/chunk_mac.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/random.h>
#include <unistd.h>

#include "common/io.h"
#include "common/scoped.h"

extern "C" {
struct poly1305_context;
size_t Poly1305_ctx_size(void);
void Poly1305_Init(poly1305_context* ctx, const unsigned char key[32]);
void Poly1305_Update(poly1305_context* ctx, const unsigned char* bytes, size_t length);
void Poly1305_Final(poly1305_context* ctx, unsigned char mac[16]);
// ChaCha20 of `length` bytes of `in` into `out`; counter[0] is the block
// counter, counter[1..3] the 96-bit nonce, all as little-endian words.
void ChaCha20_ctr32(unsigned char* out, const unsigned char* in, size_t length,
                    const unsigned int key[8], const unsigned int counter[4]);
}

namespace {

// libcrypto's Poly1305 state (240 bytes on 32-bit ARM, 248 on x86-64 in
// OpenSSL 3.0), with room for more; its size is checked before every use. It
// holds doubles and NEON's vectors: on ARM a misaligned one is a bus error.
struct poly1305_state {
    alignas(16) unsigned char bytes[512];
    poly1305_context* get() { return reinterpret_cast<poly1305_context*>(bytes); }
};

bool state_fits()
{
    return Poly1305_ctx_size() <= sizeof(poly1305_state::bytes);
}

struct mac_state {
    unsigned int key[8] = {};         // ChaCha20's key words
    poly1305_state chunk;             // the chunk being tagged
    ~mac_state() { chunk_mac_forget(); }
};

mac_state mac;

// The kernel's random bytes. getrandom is asked not to wait: early in a boot
// the kernel may not call its pool ready for a long time, and an update run
// then must not hang; /dev/urandom answers at once, and a key that only has to
// stay unknown to a writer outside this process needs no more.
int random_key(uint8_t* key, size_t size)
{
    ssize_t n;
    do n = ::getrandom(key, size, GRND_NONBLOCK); while (n < 0 && errno == EINTR);
    if (n == (ssize_t)size)
        return 0;
    unique_fd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return -1;
    return read_some(fd.fd, key, size) == (ssize_t)size ? 0 : -1;
}

uint32_t le32(const uint8_t* bytes)
{
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
           (uint32_t)bytes[3] << 24;
}

}  // namespace

int chunk_mac_key(const uint8_t* key)
{
    chunk_mac_forget();
    if (!state_fits())
        return -1;
    uint8_t fresh[CHUNK_MAC_KEY_SIZE];
    if (key == nullptr) {
        if (random_key(fresh, sizeof fresh) < 0)
            return -1;
        key = fresh;
    }
    for (int i = 0; i < 8; ++i)
        mac.key[i] = le32(key + 4 * i);
    OPENSSL_cleanse(fresh, sizeof fresh);
    return 0;
}

void chunk_mac_begin(uint64_t number)
{
    // The one-time key: ChaCha20's first block under the run's key, with the
    // nonce 32 zero bits and then the chunk's number, little-endian.
    const unsigned int counter[4] = {0, 0, (unsigned int)number, (unsigned int)(number >> 32)};
    uint8_t one_time[32] = {};
    ChaCha20_ctr32(one_time, one_time, sizeof one_time, mac.key, counter);
    Poly1305_Init(mac.chunk.get(), one_time);
    OPENSSL_cleanse(one_time, sizeof one_time);
}

void chunk_mac_feed(const void* bytes, size_t length)
{
    Poly1305_Update(mac.chunk.get(), static_cast<const unsigned char*>(bytes), length);
}

void chunk_mac_end(uint8_t tag[CHUNK_MAC_SIZE])
{
    Poly1305_Final(mac.chunk.get(), tag);
}

void chunk_mac_forget()
{
    OPENSSL_cleanse(mac.key, sizeof mac.key);
    OPENSSL_cleanse(mac.chunk.bytes, sizeof mac.chunk.bytes);
}

int poly1305_tag(const uint8_t key[32], const void* bytes, size_t length,
                 uint8_t tag[CHUNK_MAC_SIZE])
{
    if (!state_fits())
        return -1;
    poly1305_state state;
    Poly1305_Init(state.get(), key);
    Poly1305_Update(state.get(), static_cast<const unsigned char*>(bytes), length);
    Poly1305_Final(state.get(), tag);
    OPENSSL_cleanse(state.bytes, sizeof state.bytes);
    return 0;
}
