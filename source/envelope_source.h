// An encrypted package: the package file (plain or gzip, signed or not)
// sealed in an envelope that only the boards it names can open. The envelope
// is read from an inner source of the object's bytes (a file or a server) in
// every pass, and hands on the package file's bytes, each chunk checked
// before any of its bytes go further.
//
// Layout, all integers little-endian:
//   0   8  magic "FWCRYPT1"
//   8   4  header size: 56 + 145 * recipients + 32
//   12  2  cipher: 1 = ChaCha20-Poly1305
//   14  2  0
//   16  4  chunk size: 1 KiB to 1 MiB (65536 as fwbundle writes it)
//   20  4  recipients: 1 to 65535
//   24  32 salt, random
//   56  145 a recipient: the SHA-256 of its public key's SubjectPublicKeyInfo
//       (32), an ephemeral P-256 public key, uncompressed (65), and the
//       content key wrapped for it (32 and a tag of 16)
//   ..  32 MAC: HMAC-SHA-256 under the header key of the SHA-256 of the bytes
//       before it
// then the package in chunks of the chunk size (the last one 1 to chunk size
// bytes; 0 only when the package is empty), each followed by its tag.
//
// The content key (32 random bytes) is wrapped for a recipient with
// ChaCha20-Poly1305 under HKDF-SHA-256(salt: ephemeral point || recipient's
// point, key: the ECDH shared x coordinate, info: "fwdeploy envelope key
// wrap"), nonce 0, the recipient's id as additional data. The header key and
// the chunks' key are HKDF-SHA-256(salt: the header's salt, key: the content
// key, info: "fwdeploy envelope header" or "fwdeploy envelope payload"). Chunk
// N is sealed with ChaCha20-Poly1305 under the chunks' key, its nonce N as 11
// bytes most significant first and then 1 for the last chunk, else 0, and no
// additional data: no chunk can be changed, dropped, repeated, moved, or the
// envelope cut at a chunk's end without the board noticing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/fwdeploy.h"

constexpr size_t ENVELOPE_MAGIC_SIZE = 8;
constexpr char ENVELOPE_MAGIC[ENVELOPE_MAGIC_SIZE + 1] = "FWCRYPT1";
constexpr size_t ENVELOPE_FIXED_SIZE = 56;
constexpr uint32_t ENVELOPE_MAX_RECIPIENTS = 65535;
constexpr uint32_t ENVELOPE_MIN_CHUNK = 1024;
constexpr uint32_t ENVELOPE_MAX_CHUNK = 1024 * 1024;
constexpr uint16_t ENVELOPE_CHACHA20_POLY1305 = 1;

// Whether `bytes` (at least `length`) begin with the envelope's magic.
bool is_envelope(const uint8_t* bytes, size_t length);

// Fills `sealed` with slots that open the envelope read through `inner`
// (copied): every open reads and checks the header, and every read hands on
// the package file's bytes. `required`: a package that is no envelope is
// refused too. The open of the first pass finds this board's line; later
// passes check the header against the content key it gave.
void envelope_source(const source_ops* inner, bool required, source_ops* sealed);

// The package as a board reads it from an envelope read through `object`:
// the envelope's content, through gunzip when it is `compressed`.
void envelope_package_source(const source_ops* object, bool required, bool compressed,
                             source_ops* package);

// Whether the package file at `path` must be read through the envelope's
// reader: a regular file that begins with the envelope's magic, or a file
// that cannot be looked at first (a FIFO). False when it cannot be read (its
// open says why later); the reader refuses what it turns out not to be.
bool file_may_be_envelope(const char* path);

// For the handle of an envelope's reader: 1 when the package inside may end
// in a trailer, 0 when it cannot (its last chunks, read from the file's end,
// say so); -1 for any other handle. An envelope read from a server, or one
// that cannot be looked at, may.
int envelope_may_end_in_trailer(int handle);

// Forgets the content key and every key derived from it.
void envelope_forget();
