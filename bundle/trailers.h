// The host side of package trailers: EC P-256 keys, their key ids, SHA-256 and
// ECDSA signatures, all of it done by OpenSSL, and the trailer bytes the board
// reads after the last block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <openssl/evp.h>
#include <string>
#include <vector>

#include "engine/trailer.h"

struct pkey_free {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_free>;

struct md_ctx_free {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// A SHA-256 over bytes that arrive in pieces.
struct sha256_stream {
    std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx;
    bool failed = false;              // an update failed: the result would be wrong
};

// 0, or -1 with *error set.
int sha256_begin(sha256_stream* s, std::string* error);
void sha256_update(sha256_stream* s, const void* bytes, size_t length);
// The digest of everything so far; the stream can go on. 0, or -1 with *error set.
int sha256_result(const sha256_stream* s, uint8_t digest[SHA256_SIZE], std::string* error);

// Reads an EC P-256 private key from a PEM file (SEC 1 or PKCS#8); for an
// encrypted one OpenSSL asks for the passphrase on the terminal. 0, or -1 with
// *error naming the file and saying why, other kinds of keys included.
int load_private_key(const std::string& path, pkey_ptr* key, std::string* error);

// Reads an EC P-256 public key (a PEM PUBLIC KEY). 0, or -1 with *error set.
int load_public_key(const std::string& path, pkey_ptr* key, std::string* error);
// Every PEM PUBLIC KEY block of a file of up to `limit` bytes, each as
// load_public_key takes one; none at all is refused. 0, or -1 with *error set.
int load_public_keys(const std::string& path, size_t limit, std::vector<pkey_ptr>* keys,
                     std::string* error);

// A fresh P-256 key pair. 0, or -1 with *error set.
int generate_key(pkey_ptr* key, std::string* error);

// SHA-256 of the key's DER SubjectPublicKeyInfo with the point uncompressed,
// however the key was written: the id a trailer names its signer by, the same
// the board computes from its trusted keys. 0, or -1 with *error set.
int key_id_of(EVP_PKEY* key, uint8_t id[SHA256_SIZE], std::string* error);

// The ECDSA signature of a SHA-256 digest in ASN.1 DER, as `openssl dgst -sha256
// -sign` writes it for the bytes of that digest. 0, or -1 with *error set.
int sign_digest(EVP_PKEY* key, const uint8_t digest[SHA256_SIZE],
                std::vector<uint8_t>* signature, std::string* error);

// True when `signature` is the one DER encoding of an ECDSA (r, s): no
// redundant zero bytes, no lengths in long form, nothing after it. The board
// refuses every other encoding, even of a good signature.
bool strict_der_signature(const std::vector<uint8_t>& signature);

// True when `signature` (DER) is the key's signature of the digest.
bool signature_matches(EVP_PKEY* key, const uint8_t digest[SHA256_SIZE],
                       const std::vector<uint8_t>& signature);

// PEM text of the public key, as the board's trusted-keys file takes it.
int public_key_pem(EVP_PKEY* key, std::string* text, std::string* error);

// Writes the private key as unencrypted PKCS#8 PEM to `fd`. 0, or -1 with *error set.
int write_private_key(EVP_PKEY* key, int fd, std::string* error);

// A trailer: the digest of the package bytes before it, and either no
// signature (key id zero) or `signature` by the key `key_id` names. Version 3
// when there are `attributes` (`key=value` lines), else version 2 when there
// are `results` to list, else version 1.
std::vector<uint8_t> make_trailer(const uint8_t digest[SHA256_SIZE], const uint8_t* key_id,
                                  const std::vector<uint8_t>& signature,
                                  const std::vector<trailer_entry>& results = {},
                                  const std::string& attributes = "");

// What a signature covers after the package bytes: nothing for version 1; for
// versions 2 and 3 the trailer as it reads unsigned, so that the whole message
// is the unsigned package file.
std::vector<uint8_t> signed_suffix(const uint8_t digest[SHA256_SIZE],
                                   const std::vector<trailer_entry>& results,
                                   const std::string& attributes);

// The result digests a well-formed trailer lists (none for version 1).
std::vector<trailer_entry> trailer_results(const std::vector<uint8_t>& trailer,
                                           uint32_t block_count);

// The attribute lines of a well-formed version 3 trailer, else empty.
std::string trailer_attributes(const std::vector<uint8_t>& trailer, uint32_t block_count);

// Attributes given on the command line or in a manifest.
struct attribute_options {
    std::vector<std::string> compatible;
    bool has_version = false;
    std::string version;
    bool has_description = false;
    std::string description;
    bool requires_slots = false;      // `requires=slots`: the package has slot targets
    bool any() const
    {
        return !compatible.empty() || has_version || has_description || requires_slots;
    }
};

// The attribute lines of a trailer: those `kept` from an earlier trailer,
// except keys `given` anew, then the given ones. 0, or -1 with *error set when
// the board would refuse them (a version that is not one, too large, a value
// that is not a line of text).
int attribute_lines(const attribute_options& given, const std::string& kept, std::string* lines,
                    std::string* error);

// SHA-256 of the file at `path`, read in pieces. 0, or -1 with *error set.
int file_sha256(const std::string& path, uint8_t digest[SHA256_SIZE], std::string* error);

// Reads a small file whole: at most `limit` bytes, one more when it is larger
// (so the caller can tell). 0, or -1 with *error naming the file.
int read_small_file(const std::string& path, size_t limit, std::vector<char>* bytes,
                    std::string* error);

// Lower-case hexadecimal.
std::string hex_text(const uint8_t* bytes, size_t length);
