// A MAC over the chunks of the package stream, keyed afresh for each run, that
// holds later passes to the bytes the verification pass read. GMAC from
// libcrypto's low-level GCM code: GHASH under a key drawn from the kernel's
// random source, masked by AES of the chunk's number. Like SHA-256, libcrypto
// picks the CPU's own instructions at run time (carry-less multiply on x86-64,
// PMULL or NEON on ARM).
//
// The key never leaves this process, and a run ends at the first chunk that
// differs, so a writer who cannot read our memory has one blind try per run:
// GHASH of two different chunks of L 16-byte blocks agrees for at most L+1
// of the 2^128 keys, so a forged 128 KiB chunk (8,193 blocks with the length
// block) passes with a probability below 2^-114.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t CHUNK_MAC_SIZE = 16;
constexpr size_t CHUNK_MAC_KEY_SIZE = 16;

// Keys the MAC: with `key` null, a fresh one from the kernel. 0, or -1 when no
// random key could be had or memory is short.
int chunk_mac_key(const uint8_t* key);

// One chunk's MAC, in pieces: begin with the chunk's number, feed its bytes,
// end with its tag. Every chunk of a run needs its own number.
void chunk_mac_begin(uint64_t number);
void chunk_mac_feed(const void* bytes, size_t length);
void chunk_mac_end(uint8_t tag[CHUNK_MAC_SIZE]);

// Wipes the key; chunk_mac_key must be called again before further use.
void chunk_mac_forget();
