// Only libcrypto's low-level Poly1305 and ChaCha20 code (backends/lowlevel_crypto.h
// says why, and what a libcrypto without it gets).
#include "backends/chunk_mac.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include "backends/lowlevel_crypto.h"
#include "common/io.h"
#include "common/scoped.h"

namespace {

struct mac_state {
    unsigned int key[8] = {};         // ChaCha20's key words
    poly1305_state chunk;             // the chunk being tagged
    ~mac_state() { chunk_mac_forget(); }
};

mac_state mac;

}  // namespace

int chunk_mac_key(const uint8_t* key)
{
    chunk_mac_forget();
    if (!poly1305_state_fits())
        return -1;
    uint8_t fresh[CHUNK_MAC_KEY_SIZE];
    if (key == nullptr) {
        if (random_bytes(fresh, sizeof fresh) < 0)
            return -1;
        key = fresh;
    }
    chacha_key_words(key, mac.key);
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
    if (!poly1305_state_fits())
        return -1;
    poly1305_state state;
    Poly1305_Init(state.get(), key);
    Poly1305_Update(state.get(), static_cast<const unsigned char*>(bytes), length);
    Poly1305_Final(state.get(), tag);
    OPENSSL_cleanse(state.bytes, sizeof state.bytes);
    return 0;
}
