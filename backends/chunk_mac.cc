// Only the low-level AES and GCM calls of libcrypto: its EVP layer would pull
// in the provider machinery, several hundred kilobytes.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "backends/chunk_mac.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/aes.h>
#include <openssl/crypto.h>
#include <openssl/modes.h>
#include <unistd.h>

#include "common/io.h"
#include "common/scoped.h"

namespace {

struct mac_state {
    AES_KEY key;
    GCM128_CONTEXT* gcm = nullptr;    // holds GHASH's key, derived from `key`
    ~mac_state() { chunk_mac_forget(); }
};

mac_state mac;

}  // namespace

int chunk_mac_key(const uint8_t* key)
{
    uint8_t fresh[CHUNK_MAC_KEY_SIZE];
    if (key == nullptr) {
        if (random_bytes(fresh, sizeof fresh) < 0)
            return -1;
        key = fresh;
    }
    chunk_mac_forget();
    int set = AES_set_encrypt_key(key, 8 * CHUNK_MAC_KEY_SIZE, &mac.key);
    OPENSSL_cleanse(fresh, sizeof fresh);
    if (set != 0)
        return -1;
    mac.gcm = CRYPTO_gcm128_new(&mac.key, reinterpret_cast<block128_f>(AES_encrypt));
    return mac.gcm != nullptr ? 0 : -1;
}

void chunk_mac_begin(uint64_t number)
{
    // GCM's 96-bit nonce: the chunk's number, little-endian, then zeros.
    uint8_t nonce[12] = {};
    for (int i = 0; i < 8; ++i)
        nonce[i] = (uint8_t)(number >> (8 * i));
    CRYPTO_gcm128_setiv(mac.gcm, nonce, sizeof nonce);
}

void chunk_mac_feed(const void* bytes, size_t length)
{
    // Only the authenticated data is fed, so its limit (2^61 bytes) is the
    // only one that could fail, and no chunk comes near it.
    CRYPTO_gcm128_aad(mac.gcm, static_cast<const unsigned char*>(bytes), length);
}

void chunk_mac_end(uint8_t tag[CHUNK_MAC_SIZE])
{
    CRYPTO_gcm128_tag(mac.gcm, tag, CHUNK_MAC_SIZE);
}

void chunk_mac_forget()
{
    if (mac.gcm != nullptr)
        CRYPTO_gcm128_release(mac.gcm);   // cleansed as it is freed
    mac.gcm = nullptr;
    OPENSSL_cleanse(&mac.key, sizeof mac.key);
}
