// The low-level SHA-256 calls are all of OpenSSL the board links: its EVP layer
// would pull in the provider machinery, several hundred kilobytes.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "backends/trust.h"

#include <bearssl.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "backends/pem_object.h"
#include "common/io.h"
#include "common/scoped.h"
#include "engine/fwdeploy.h"
#include "engine/trailer.h"

namespace {

struct trusted_key {
    uint8_t id[SHA256_SIZE];
    uint8_t point[P256_POINT_SIZE];
};

struct trust_state {
    trusted_key keys[MAX_TRUSTED_KEYS];
    int key_count;
    bool require_signature;
    bool skip_digest;
    bool accepted;                    // the last check accepted a trailer
    sha256_context digest;
    // The trailer of the last accepted package, for the result digests it lists.
    byte_buffer trailer;
    trailer_view view;
};

trust_state state;

// DER SubjectPublicKeyInfo of an uncompressed P-256 key up to the point itself:
// SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 0 unused bits,
constexpr uint8_t P256_SPKI_PREFIX[] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01,
    0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00,
};
constexpr uint8_t OID_EC_PUBLIC_KEY[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};
constexpr uint8_t OID_RSA[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};
constexpr uint8_t OID_P256[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
constexpr uint8_t OID_P384[] = {0x2b, 0x81, 0x04, 0x00, 0x22};
constexpr uint8_t OID_P521[] = {0x2b, 0x81, 0x04, 0x00, 0x23};

// One DER element: where its contents are, and what follows it.
struct der_item {
    uint8_t tag;
    const uint8_t* body;
    size_t length;
    const uint8_t* next;
};

// Reads the element at `at`; 0, or -1 when it runs past `end`.
int der_read(const uint8_t* at, const uint8_t* end, der_item* item)
{
    if (end - at < 2)
        return -1;
    item->tag = at[0];
    size_t length = at[1];
    at += 2;
    if (length & 0x80) {
        size_t bytes = length & 0x7f;
        if (bytes == 0 || bytes > 2 || (size_t)(end - at) < bytes)
            return -1;
        length = 0;
        for (size_t i = 0; i < bytes; ++i)
            length = (length << 8) | *at++;
    }
    if ((size_t)(end - at) < length)
        return -1;
    item->body = at;
    item->length = length;
    item->next = at + length;
    return 0;
}

template <size_t N>
bool is_oid(const der_item& item, const uint8_t (&oid)[N])
{
    return item.tag == 0x06 && item.length == N && memcmp(item.body, oid, N) == 0;
}

// Takes the P-256 point out of a SubjectPublicKeyInfo. NULL, or the reason it
// is not a key this board can use.
const char* spki_point(const uint8_t* der, size_t length, uint8_t point[P256_POINT_SIZE])
{
    const uint8_t* end = der + length;
    der_item spki, algorithm, oid, parameters, bits;
    if (der_read(der, end, &spki) < 0 || spki.tag != 0x30 || spki.next != end ||
        der_read(spki.body, spki.next, &algorithm) < 0 || algorithm.tag != 0x30 ||
        der_read(algorithm.next, spki.next, &bits) < 0 || bits.tag != 0x03 ||
        der_read(algorithm.body, algorithm.next, &oid) < 0)
        return "not a DER public key";
    if (is_oid(oid, OID_RSA))
        return "an RSA key; only EC P-256 keys are supported";
    if (!is_oid(oid, OID_EC_PUBLIC_KEY))
        return "a key of an unknown kind; only EC P-256 keys are supported";
    if (der_read(oid.next, algorithm.next, &parameters) < 0)
        return "an EC key without its curve";
    if (is_oid(parameters, OID_P384))
        return "an EC P-384 key; only P-256 keys are supported";
    if (is_oid(parameters, OID_P521))
        return "an EC P-521 key; only P-256 keys are supported";
    if (!is_oid(parameters, OID_P256))
        return "an EC key on an unsupported curve; only P-256 keys are supported";
    if (bits.length != 1 + P256_POINT_SIZE || bits.body[0] != 0 || bits.body[1] != 0x04)
        return "an EC P-256 key whose point is not written uncompressed";
    memcpy(point, bits.body + 1, P256_POINT_SIZE);
    // A multiplication by one fails for anything that is not a point on the curve.
    uint8_t copy[P256_POINT_SIZE];
    memcpy(copy, point, sizeof copy);
    static const uint8_t one[1] = {1};
    if (br_ec_p256_m31.mul(copy, sizeof copy, one, sizeof one, BR_EC_secp256r1) != 1)
        return "an EC P-256 key whose point is not on the curve";
    return nullptr;
}

int refuse_keys(char* why, size_t why_size, int object, const char* reason)
{
    snprintf(why, why_size, "block %d is %s", object, reason);
    return -1;
}

}  // namespace

void trust_reset(bool require_signature)
{
    state.key_count = 0;
    state.require_signature = require_signature;
    state.skip_digest = false;
    trust_begin();
}

void p256_key_id(const uint8_t point[P256_POINT_SIZE], uint8_t id[32])
{
    sha256_context hash;
    sha256_start(&hash);
    sha256_feed(&hash, P256_SPKI_PREFIX, sizeof P256_SPKI_PREFIX);
    sha256_feed(&hash, point, P256_POINT_SIZE);
    sha256_finish(&hash, id);
}

int trust_add_keys(const uint8_t* text, size_t length, char* why, size_t why_size)
{
    trusted_key found[MAX_TRUSTED_KEYS];
    int count = 0;
    int objects = 0;
    bool inside = false;
    pem_object object{};
    br_pem_decoder_context pem;
    br_pem_decoder_init(&pem);
    // The decoder needs a line end after the last line, which a file may lack.
    static const uint8_t final_newline[1] = {'\n'};
    for (int pass = 0; pass < 2; ++pass) {
        const uint8_t* at = pass == 0 ? text : final_newline;
        size_t left = pass == 0 ? length : 1;
        while (left > 0) {
            size_t taken = br_pem_decoder_push(&pem, at, left);
            at += taken;
            left -= taken;
            switch (br_pem_decoder_event(&pem)) {
            case BR_PEM_BEGIN_OBJ:
                ++objects;
                inside = true;
                object = pem_object{};
                if (strcmp(br_pem_decoder_name(&pem), "PUBLIC KEY") != 0) {
                    const char* name = br_pem_decoder_name(&pem);
                    if (strstr(name, "PRIVATE") != nullptr)
                        return refuse_keys(why, why_size, objects,
                                           "a private key: install the public key only");
                    char reason[192];
                    snprintf(reason, sizeof reason, "a \"%.128s\", not a PUBLIC KEY", name);
                    return refuse_keys(why, why_size, objects, reason);
                }
                br_pem_decoder_setdest(&pem, pem_append, &object);
                break;
            case BR_PEM_END_OBJ: {
                inside = false;
                if (object.overflow)
                    return refuse_keys(why, why_size, objects, "too large for a public key");
                if (count == MAX_TRUSTED_KEYS) {
                    snprintf(why, why_size, "more than %d keys", MAX_TRUSTED_KEYS);
                    return -1;
                }
                const char* problem = spki_point(object.der, object.length, found[count].point);
                if (problem != nullptr)
                    return refuse_keys(why, why_size, objects, problem);
                p256_key_id(found[count].point, found[count].id);
                ++count;
                break;
            }
            case BR_PEM_ERROR:
                return refuse_keys(why, why_size, objects + (inside ? 0 : 1), "not valid PEM");
            default:
                break;
            }
        }
    }
    if (inside)
        return refuse_keys(why, why_size, objects, "not ended by its END line");
    if (count == 0) {
        snprintf(why, why_size, "no PUBLIC KEY block");
        return -1;
    }
    if (state.key_count + count > MAX_TRUSTED_KEYS) {
        snprintf(why, why_size, "more than %d keys", MAX_TRUSTED_KEYS);
        return -1;
    }
    memcpy(state.keys + state.key_count, found, sizeof found[0] * (size_t)count);
    state.key_count += count;
    return 0;
}

int trust_load_key_file(const char* path, bool optional)
{
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) {
        if (optional && errno == ENOENT)
            return 0;
        int error = errno;
        printf("Trusted key file %s cannot be read: %s\n", path, strerror(error));
        return -1;
    }
    // A key file is small; a large one is not a key file.
    static uint8_t text[16 * 1024];
    size_t length = 0;
    for (;;) {
        ssize_t n = ::read(fd.fd, text + length, sizeof text - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            printf("Trusted key file %s cannot be read: %s\n", path, strerror(error));
            return -1;
        }
        if (n == 0)
            break;
        length += (size_t)n;
        if (length == sizeof text) {
            printf("Trusted key file %s is too large for a key file\n", path);
            return -1;
        }
    }
    char why[256];
    if (trust_add_keys(text, length, why, sizeof why) < 0) {
        printf("Trusted key file %s is unusable: %s\n", path, why);
        return -1;
    }
    return 0;
}

int trusted_key_count()
{
    return state.key_count;
}

int trusted_key_id(int index, uint8_t id[32])
{
    if (index < 0 || index >= state.key_count)
        return -1;
    memcpy(id, state.keys[index].id, SHA256_SIZE);
    return 0;
}

void sha256_start(sha256_context* context)
{
    SHA256_Init(context);
}

void sha256_feed(sha256_context* context, const void* bytes, size_t length)
{
    SHA256_Update(context, bytes, length);
}

void sha256_finish(sha256_context* context, uint8_t digest[32])
{
    SHA256_Final(digest, context);
}

void sha256_of(const void* bytes, size_t length, uint8_t digest[32])
{
    sha256_context hash;
    sha256_start(&hash);
    sha256_feed(&hash, bytes, length);
    sha256_finish(&hash, digest);
}

int sha256_of_file(const char* path, uint8_t digest[32])
{
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) {
        perror("open");
        return -1;
    }
    return sha256_of_descriptor(fd.fd, digest);
}

int sha256_of_descriptor(int fd, uint8_t digest[32])
{
    if (::lseek(fd, 0, SEEK_SET) < 0) {
        perror("lseek");
        return -1;
    }
    sha256_context hash;
    sha256_start(&hash);
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = read_some(fd, buffer, sizeof buffer);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        sha256_feed(&hash, buffer, (size_t)n);
    }
    sha256_finish(&hash, digest);
    return 0;
}

void trust_begin()
{
    state.trailer.reset();
    state.accepted = false;
    state.view = trailer_view{};
    sha256_start(&state.digest);
}

void trust_update(const void* bytes, int length)
{
    if (length > 0 && !state.skip_digest)
        sha256_feed(&state.digest, bytes, (size_t)length);
}

// Whether `signature` is the one DER encoding of its (r, s): BearSSL's check
// also takes redundant zero bytes and lengths in long form, which would give
// one signature several encodings. Re-encoded from its values, it must come
// back byte for byte.
static bool strict_der(const uint8_t* signature, size_t size)
{
    // A P-256 number takes 32 bytes, 33 with the zero that keeps it positive.
    // Anything longer is no P-256 signature, and BearSSL would widen both
    // numbers to the longer one while converting in place.
    constexpr size_t NUMBER_MAX = 33;
    if (size > TRAILER_MAX_SIGNATURE)
        return false;
    der_item sequence, r, s;
    const uint8_t* end = signature + size;
    if (der_read(signature, end, &sequence) < 0 || sequence.tag != 0x30 ||
        sequence.next != end ||
        der_read(sequence.body, end, &r) < 0 || r.tag != 0x02 || r.length > NUMBER_MAX ||
        der_read(r.next, end, &s) < 0 || s.tag != 0x02 || s.length > NUMBER_MAX)
        return false;
    // br_ecdsa_asn1_to_raw converts in place and documents its output as less
    // than twice its input; br_ecdsa_raw_to_asn1 as at most 9 bytes longer
    // than its own. Sized for both, whatever the numbers above let through.
    uint8_t buffer[2 * TRAILER_MAX_SIGNATURE + 9];
    memcpy(buffer, signature, size);
    size_t raw = br_ecdsa_asn1_to_raw(buffer, size);
    return raw != 0 && br_ecdsa_raw_to_asn1(buffer, raw) == size &&
           memcmp(buffer, signature, size) == 0;
}

int trust_check(const uint8_t* trailer, uint32_t length, uint32_t block_count)
{
    if (trailer == nullptr) {
        if (state.key_count > 0)
            return TRUST_NOT_SIGNED;
        return state.require_signature ? TRUST_NO_KEYS : TRUST_ACCEPTED;
    }
    trailer_view view;
    if (state.skip_digest || parse_trailer(trailer, length, block_count, &view) < 0)
        return TRUST_MALFORMED;
    // Finished on a copy: the signed message of version 2 goes on from here.
    uint8_t digest[SHA256_SIZE];
    sha256_context package = state.digest;
    sha256_finish(&package, digest);
    if (memcmp(digest, view.head.digest, sizeof digest) != 0)
        return TRUST_DIGEST_MISMATCH;
    int verdict = TRUST_INTACT;
    if (state.key_count == 0) {
        if (state.require_signature)
            return TRUST_NO_KEYS;
    } else {
        if (view.sig_size == 0)
            return TRUST_NOT_SIGNED;
        const trusted_key* key = nullptr;
        for (int i = 0; i < state.key_count && key == nullptr; ++i)
            if (memcmp(state.keys[i].id, view.head.key_id, SHA256_SIZE) == 0)
                key = &state.keys[i];
        if (key == nullptr)
            return TRUST_UNKNOWN_KEY;
        uint8_t hash[SHA256_SIZE];
        memcpy(hash, digest, sizeof hash);
        if (view.version >= 2) {
            // The signature covers the trailer's list and attributes too, as
            // they read unsigned.
            sha256_context message = state.digest;
            trailer_head head;
            trailer_unsigned_head(&view, &head);
            sha256_feed(&message, &head, sizeof head);
            sha256_feed(&message, trailer + sizeof head, view.signed_length - sizeof head);
            sha256_finish(&message, hash);
        }
        uint8_t point[P256_POINT_SIZE];
        memcpy(point, key->point, sizeof point);
        br_ec_public_key public_key{BR_EC_secp256r1, point, sizeof point};
        if (!strict_der(view.signature, view.sig_size) ||
            br_ecdsa_i31_vrfy_asn1(&br_ec_p256_m31, hash, sizeof hash, &public_key,
                                   view.signature, view.sig_size) != 1)
            return TRUST_BAD_SIGNATURE;
        verdict = TRUST_SIGNED;
    }
    // Kept for the apply pass: the results it must check against are listed here.
    state.trailer = allocate_bytes(length);
    if (state.trailer) {
        memcpy(state.trailer.get(), trailer, length);
        parse_trailer(state.trailer.get(), length, block_count, &state.view);
    } else if (view.entry_count > 0 || view.attr_size > 0) {
        return TRUST_MALFORMED;       // cannot keep what the later checks need
    }
    state.accepted = true;
    return verdict;
}

void trust_skip_digest(bool skip)
{
    state.skip_digest = skip;
}

bool trust_trailer_accepted()
{
    return state.accepted;
}

const uint8_t* trust_result_digest(uint32_t block_index)
{
    if (!state.trailer || state.view.version < 2)
        return nullptr;
    return trailer_result_digest(&state.view, block_index);
}

const uint8_t* trust_attributes(uint32_t* length)
{
    *length = state.trailer ? state.view.attr_size : 0;
    return state.trailer ? state.view.attributes : nullptr;
}
