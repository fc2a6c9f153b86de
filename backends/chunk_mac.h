// A MAC over the chunks of the package stream, keyed afresh for each run, that
// holds later passes to the bytes the verification pass read. Poly1305 from
// libcrypto, under a one-time key for each chunk: the first 32 bytes of the
// ChaCha20 keystream under the run's key drawn from the kernel's random
// source, with the chunk's number as the nonce, as ChaCha20-Poly1305 derives
// its key for each message. Like SHA-256, libcrypto picks the CPU's own code
// at run time (NEON on 32-bit ARM, AVX2 on x86-64).
//
// The key never leaves this process, and a run ends at the first chunk that
// differs, so a writer who cannot read our memory has one blind try per run:
// Poly1305 of two different messages of L 16-byte blocks under a one-time key
// agrees with probability at most 8L/2^106, so a forged 128 KiB chunk (8,192
// blocks) passes with a probability of about 2^-90. A one-time key is never
// used for two chunks: every chunk of a run has its own number.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t CHUNK_MAC_SIZE = 16;
constexpr size_t CHUNK_MAC_KEY_SIZE = 32;

// Keys the MAC: with `key` null, a fresh one from the kernel. 0, or -1 when no
// random key could be had or the linked libcrypto's state does not fit.
int chunk_mac_key(const uint8_t* key);

// One chunk's MAC, in pieces: begin with the chunk's number, feed its bytes,
// end with its tag. Every chunk of a run needs its own number.
void chunk_mac_begin(uint64_t number);
void chunk_mac_feed(const void* bytes, size_t length);
void chunk_mac_end(uint8_t tag[CHUNK_MAC_SIZE]);

// Wipes the key and the one-time key in use; chunk_mac_key must be called
// again before further use.
void chunk_mac_forget();

// Poly1305 of `length` bytes under a one-time key, as the chunks are tagged.
// 0, or -1 when the linked libcrypto's state does not fit.
int poly1305_tag(const uint8_t key[32], const void* bytes, size_t length,
                 uint8_t tag[CHUNK_MAC_SIZE]);
