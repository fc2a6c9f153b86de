// The cryptography of encrypted packages (envelopes) on the board: its
// decryption keys, the unwrapping of a package's content key, the header's MAC
// and each chunk's seal. ECDH, HKDF and HMAC are BearSSL's; ChaCha20 and
// Poly1305 are libcrypto's, which picks the CPU's own code (NEON, AVX2) at run
// time. The layout the envelope has on the wire is in source/envelope_source.h.
//
// An envelope: a header (the cipher, the chunk size, a random salt, one line
// for each recipient that wraps the content key for its P-256 key, and a MAC
// over all of it), then the package in chunks, each sealed with
// ChaCha20-Poly1305 under a key derived from the content key, its nonce the
// chunk's number and whether it is the last one.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t ENVELOPE_KEY_SIZE = 32;
constexpr size_t ENVELOPE_TAG_SIZE = 16;
constexpr size_t ENVELOPE_ID_SIZE = 32;       // SHA-256 of the recipient's SubjectPublicKeyInfo
constexpr size_t ENVELOPE_POINT_SIZE = 65;    // an uncompressed P-256 point
constexpr size_t ENVELOPE_SALT_SIZE = 32;
constexpr size_t ENVELOPE_WRAPPED_SIZE = ENVELOPE_KEY_SIZE + ENVELOPE_TAG_SIZE;
constexpr size_t ENVELOPE_RECIPIENT_SIZE =
    ENVELOPE_ID_SIZE + ENVELOPE_POINT_SIZE + ENVELOPE_WRAPPED_SIZE;   // 145
constexpr size_t ENVELOPE_MAC_SIZE = 32;
constexpr int MAX_DECRYPTION_KEYS = 8;

// Reads the board's decryption keys: P-256 private keys, PEM (one or more
// "EC PRIVATE KEY" or "PRIVATE KEY" blocks, for a roll-over) or a single DER
// key. A missing file is no error: the board then holds no key. The file must
// be a regular file of the tool's user that no one else may read (mode 0600):
// else, or when it holds anything but such keys, the run stops before it reads
// the package. 0, or -1 after one line naming the file.
int decryption_keys_load(const char* path);

// How many keys the board holds, and the id of key `index`.
int decryption_key_count();
void decryption_key_id(int index, uint8_t id[ENVELOPE_ID_SIZE]);

// Wipes the keys and every secret derived from them.
void decryption_keys_forget();

// Opens a recipient line: when its id names one of the board's keys and the
// wrapped key opens under that key, writes the content key. 1 then, 0 when the
// line is not for this board (or does not open for it).
int envelope_unwrap(const uint8_t line[ENVELOPE_RECIPIENT_SIZE],
                    uint8_t content_key[ENVELOPE_KEY_SIZE]);

// The keys a content key gives: the header's MAC key and the chunks' key, both
// with the header's salt.
void envelope_header_key(const uint8_t content_key[ENVELOPE_KEY_SIZE],
                         const uint8_t salt[ENVELOPE_SALT_SIZE], uint8_t mac_key[32]);
void envelope_payload_key(const uint8_t content_key[ENVELOPE_KEY_SIZE],
                          const uint8_t salt[ENVELOPE_SALT_SIZE], uint8_t payload_key[32]);

// Whether `mac` is the HMAC-SHA-256 under `mac_key` of `header_digest` (the
// SHA-256 of every header byte before the MAC), compared in constant time.
bool envelope_mac_matches(const uint8_t mac_key[32], const uint8_t header_digest[32],
                          const uint8_t mac[ENVELOPE_MAC_SIZE]);

// ChaCha20-Poly1305 (RFC 8439) with a 96-bit nonce and additional data: opens
// `length` bytes of `data` in place when `tag` is theirs. 0, or -1 with `data`
// untouched.
int aead_open(const uint8_t key[32], const uint8_t nonce[12], const uint8_t* aad,
              size_t aad_length, uint8_t* data, size_t length,
              const uint8_t tag[ENVELOPE_TAG_SIZE]);

// Seals in place, writing the tag: for the tests, which check the board's
// opening against what another implementation sealed, and the other way round.
void aead_seal(const uint8_t key[32], const uint8_t nonce[12], const uint8_t* aad,
               size_t aad_length, uint8_t* data, size_t length, uint8_t tag[ENVELOPE_TAG_SIZE]);

// The nonce of chunk `number`: the number as 11 bytes, most significant
// first, then 1 for the last chunk, else 0.
void envelope_chunk_nonce(uint64_t number, bool last, uint8_t nonce[12]);
