// Trusted keys and the trust slots of the host table: the SHA-256 digest of the
// package as it streams past, and the judgement of its trailer (digest, ECDSA
// P-256 signature by a trusted key). Signatures are BearSSL's; SHA-256 is
// OpenSSL's, which picks the CPU's own instructions at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <openssl/sha.h>

constexpr int MAX_TRUSTED_KEYS = 16;
constexpr size_t P256_POINT_SIZE = 65;        // uncompressed: 0x04, X, Y

// Forgets every key and the last verdict; `require_signature` makes a board
// without keys refuse every package.
void trust_reset(bool require_signature);

// Parses PEM text holding one or more EC P-256 PUBLIC KEY blocks and trusts
// them. 0, or -1 with the reason (no key trusted then) in `why`.
int trust_add_keys(const uint8_t* text, size_t length, char* why, size_t why_size);

// Reads the key file at `path`. A missing file is no error when `optional`
// (the board's default path): no key is trusted then. 0, or -1 after printing why.
int trust_load_key_file(const char* path, bool optional);

int trusted_key_count();

// The id of trusted key `index` (0 up to the count); 0, or -1 when there is none.
int trusted_key_id(int index, uint8_t id[32]);

// SHA-256 in pieces. Every digest the board takes goes through sha256_feed.
using sha256_context = SHA256_CTX;
void sha256_start(sha256_context* context);
void sha256_feed(sha256_context* context, const void* bytes, size_t length);
// Writes the digest; the context must be started again before further use.
void sha256_finish(sha256_context* context, uint8_t digest[32]);

// SHA-256 of `length` bytes, for those that must name a digest as the board does.
void sha256_of(const void* bytes, size_t length, uint8_t digest[32]);

// SHA-256 of the file at `path`, read in constant memory. 0, or -1 after perror.
int sha256_of_file(const char* path, uint8_t digest[32]);

// The same for the whole file `fd` is open on (readable), from its first byte.
int sha256_of_descriptor(int fd, uint8_t digest[32]);

// SHA-256 of a P-256 public key as DER SubjectPublicKeyInfo (the point uncompressed):
// the key id a trailer names its signer by.
void p256_key_id(const uint8_t point[P256_POINT_SIZE], uint8_t id[32]);

// `skip` tells that no trailer can end this package: its digest is not taken,
// and a trailer found after all is malformed (the package changed under us).
// Holds until the next trust_reset.
void trust_skip_digest(bool skip);

// Whether the last trust_check accepted a trailer (digest intact, signed where
// keys are trusted).
bool trust_trailer_accepted();

// The trust_ops slots.
void trust_begin();
void trust_update(const void* bytes, int length);
int trust_check(const uint8_t* trailer, uint32_t length, uint32_t block_count);

// After an accepted package whose trailer lists result digests: the SHA-256
// that the result of block `block_index` must have, or null when none is listed.
const uint8_t* trust_result_digest(uint32_t block_index);

// After an accepted package: the attribute lines of its version 3 trailer, or
// null (and *length 0) when it has none.
const uint8_t* trust_attributes(uint32_t* length);
