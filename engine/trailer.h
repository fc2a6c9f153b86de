// The trailer that may follow a package's last block: a SHA-256 digest of every
// byte before it, and optionally an ECDSA P-256 signature. Boards that read only
// what the header announces never look there, so a signed package still applies
// on them. This file knows the layout only; no cryptography happens here.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t TRAILER_MAGIC_SIZE = 8;
// Version 1: digest, key id and signature. Version 2 adds, for blocks whose
// result can be checked, the SHA-256 that the result must have.
constexpr char TRAILER_MAGIC_V1[TRAILER_MAGIC_SIZE + 1] = "FWTRAIL1";
constexpr char TRAILER_MAGIC_V2[TRAILER_MAGIC_SIZE + 1] = "FWTRAIL2";
// Version 3 adds, after version 2's list, signed attributes: lines of
// `key=value` that say which boards the package fits and which version it is.
constexpr char TRAILER_MAGIC_V3[TRAILER_MAGIC_SIZE + 1] = "FWTRAIL3";
constexpr uint32_t TRAILER_MAX_ATTRIBUTES = 4096;

constexpr uint32_t SHA256_SIZE = 32;
// An ECDSA P-256 signature in ASN.1 DER is at most 72 bytes long.
constexpr uint32_t TRAILER_MAX_SIGNATURE = 72;
// magic and trailer_size: enough to tell a trailer and how long it is.
constexpr uint32_t TRAILER_PROBE_SIZE = 12;

// The fixed part of every trailer, at its start.
struct trailer_head {
    char magic[TRAILER_MAGIC_SIZE];
    uint32_t trailer_size;            // of the whole trailer, signature included
    uint8_t digest[SHA256_SIZE];      // of every package byte before the trailer
    uint8_t key_id[SHA256_SIZE];      // SHA-256 of the signer's public key (DER); zero when unsigned
    uint32_t sig_size;                // 0 when unsigned
};

static_assert(sizeof(trailer_head) == 80, "trailer head is 80 bytes on disk");
static_assert(offsetof(trailer_head, trailer_size) == 8, "trailer layout");
static_assert(offsetof(trailer_head, digest) == 12, "trailer layout");
static_assert(offsetof(trailer_head, key_id) == 44, "trailer layout");
static_assert(offsetof(trailer_head, sig_size) == 76, "trailer layout");

// Version 2 only: after the head, a count and one entry per checked block,
// in ascending block order.
struct trailer_entry {
    uint32_t block_index;
    uint8_t result_digest[SHA256_SIZE];
};

static_assert(sizeof(trailer_entry) == 36, "trailer entry is 36 bytes on disk");

constexpr uint32_t TRAILER_V1_FIXED_SIZE = sizeof(trailer_head);
constexpr uint32_t TRAILER_V2_FIXED_SIZE = sizeof(trailer_head) + 4;
// Version 3: the version 2 fields, then attr_size and the attributes.
constexpr uint32_t TRAILER_V3_FIXED_SIZE = sizeof(trailer_head) + 8;

// A trailer that passed the structural checks; pointers into the caller's bytes.
struct trailer_view {
    int version;                      // 1, 2 or 3
    trailer_head head;                // a copy: the bytes need not be aligned
    const uint8_t* entries;           // versions 2 and 3: entry_count entries of 36 bytes
    uint32_t entry_count;
    const uint8_t* signature;         // sig_size bytes
    uint32_t sig_size;
    const uint8_t* attributes;        // version 3: attr_size bytes of lines, else null
    uint32_t attr_size;
    // Versions 2 and 3: trailer bytes the signature covers after the package
    // bytes, taken as an unsigned trailer would hold them (see
    // trailer_unsigned_head). 0 for version 1, whose signature covers the
    // package bytes alone.
    uint32_t signed_length;
};

// One `key=value` line of a version 3 trailer; pointers into the trailer.
struct trailer_attribute {
    const char* key;
    uint32_t key_length;
    const char* value;
    uint32_t value_length;
};

// 1, 2 or 3 when `bytes` start with a trailer magic, else 0. Needs TRAILER_MAGIC_SIZE bytes.
int trailer_version(const uint8_t* bytes, uint32_t length);

// Whether a character refused in attribute values although it is UTF-8
// text: a C1 control (U+0080-U+009F), the line or paragraph separator, or a
// bidirectional override or isolate (U+202A-U+202E, U+2066-U+2069).
bool attribute_character_refused(uint32_t code);

// The largest trailer a package of `block_count` blocks can carry: bounds the
// memory a board spends on reading one.
uint64_t trailer_size_limit(uint32_t block_count);

// Checks the layout of a whole trailer of `length` bytes (exactly its
// trailer_size) for a package of `block_count` blocks: known magic, sizes that
// add up, a signature of at most 72 bytes, entries in ascending block order
// below block_count, and for version 3 at most 4 KiB of attribute lines whose
// keys are lower-case letters, digits and '-', whose values are UTF-8 text, and
// whose `version` (once at most) is a valid version. 0 with *view filled, or
// -1 when malformed.
int parse_trailer(const uint8_t* bytes, uint32_t length, uint32_t block_count,
                  trailer_view* view);

// The head as the same trailer reads before it is signed: trailer_size without
// the signature, key id zero, sig_size 0. A version 2 signature covers the
// package bytes, this head, then the trailer's bytes from the head's end up to
// signed_length (version 3 alike). So the message to sign is the unsigned package file itself,
// and an external signer needs nothing but that file.
void trailer_unsigned_head(const trailer_view* view, trailer_head* head);

// The result digest version 2 lists for `block_index`, or null.
const uint8_t* trailer_result_digest(const trailer_view* view, uint32_t block_index);

// The attribute line at *offset of an attribute block that parse_trailer
// accepted, moving *offset past it: 1, or 0 at the end of the block.
int trailer_next_attribute(const uint8_t* block, uint32_t size, uint32_t* offset,
                           trailer_attribute* attribute);

// Whether `length` bytes are a version: decimal numbers joined by dots.
bool version_valid(const char* text, uint32_t length);

// Compares two valid versions field by field as unsigned numbers, a missing
// field counting as 0 (1.10 > 1.9, 1.2 == 1.2.0): <0, 0 or >0.
int version_compare(const char* a, uint32_t a_length, const char* b, uint32_t b_length);
