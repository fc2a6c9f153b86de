// libcrypto's low-level ChaCha20 and Poly1305 calls. Their public route, EVP,
// brings the provider machinery into the static board binary, about 2 MB
// against a budget of a little over 100 KiB. libcrypto.a exports the
// low-level calls, though only an internal header declares them; they are
// declared here as OpenSSL 1.1.1 to 3.x define them, and the build checks
// that they link (backends/CMakeLists.txt): a libcrypto without them
// (LibreSSL, BoringSSL, AWS-LC, or a shared library alone, whose export list
// holds public calls only) stops the build at configure time, saying so.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.h"

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

// A ChaCha20 key as the words ChaCha20_ctr32 takes.
inline void chacha_key_words(const uint8_t key[32], unsigned int words[8])
{
    for (int i = 0; i < 8; ++i)
        words[i] = load_le32(key + 4 * i);
}

// libcrypto's Poly1305 state (240 bytes on 32-bit ARM, 248 on x86-64 in
// OpenSSL 3.0), with room for more; poly1305_state_fits() is asked before
// the first use. It holds doubles and NEON's vectors: on ARM a misaligned one
// is a bus error.
struct poly1305_state {
    alignas(16) unsigned char bytes[512];
    poly1305_context* get() { return reinterpret_cast<poly1305_context*>(bytes); }
};

inline bool poly1305_state_fits()
{
    return Poly1305_ctx_size() <= sizeof(poly1305_state::bytes);
}
