#include "backends/envelope.h"

#include <bearssl.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backends/lowlevel_crypto.h"
#include "backends/pem_object.h"
#include "backends/trust.h"
#include "common/io.h"
#include "common/scoped.h"

namespace {

struct decryption_key {
    uint8_t scalar[32];               // the private key, big-endian, left-padded
    uint8_t point[ENVELOPE_POINT_SIZE];
    uint8_t id[ENVELOPE_ID_SIZE];
};

struct key_ring {
    decryption_key keys[MAX_DECRYPTION_KEYS];
    int count;
    ~key_ring() { decryption_keys_forget(); }
};

key_ring ring;

constexpr char WRAP_INFO[] = "fwdeploy envelope key wrap";
constexpr char HEADER_INFO[] = "fwdeploy envelope header";
constexpr char PAYLOAD_INFO[] = "fwdeploy envelope payload";

// HKDF-SHA-256 of 32 bytes.
void hkdf(const void* salt, size_t salt_length, const void* ikm, size_t ikm_length,
          const char* info, uint8_t out[32])
{
    br_hkdf_context hkdf;
    br_hkdf_init(&hkdf, &br_sha256_vtable, salt, salt_length);
    br_hkdf_inject(&hkdf, ikm, ikm_length);
    br_hkdf_flip(&hkdf);
    br_hkdf_produce(&hkdf, info, strlen(info), out, 32);
    OPENSSL_cleanse(&hkdf, sizeof hkdf);
}

// One private key of DER (SEC 1 or PKCS#8) into `key`. nullptr, or why not.
const char* take_key(const uint8_t* der, size_t length, decryption_key* key)
{
    br_skey_decoder_context decoder;
    br_skey_decoder_init(&decoder);
    br_skey_decoder_push(&decoder, der, length);
    const char* problem = nullptr;
    const br_ec_private_key* ec = nullptr;
    if (br_skey_decoder_last_error(&decoder) != 0)
        problem = "not a private key BearSSL can read";
    else if (br_skey_decoder_key_type(&decoder) != BR_KEYTYPE_EC)
        problem = "not an EC key; only EC P-256 keys are supported";
    else if ((ec = br_skey_decoder_get_ec(&decoder))->curve != BR_EC_secp256r1)
        problem = "an EC key on another curve; only P-256 keys are supported";
    else if (ec->xlen == 0 || ec->xlen > sizeof key->scalar)
        problem = "an EC P-256 key of the wrong size";
    if (problem == nullptr) {
        memset(key->scalar, 0, sizeof key->scalar);
        memcpy(key->scalar + sizeof key->scalar - ec->xlen, ec->x, ec->xlen);
        uint8_t buffer[BR_EC_KBUF_PUB_MAX_SIZE];
        br_ec_public_key pub;
        if (br_ec_compute_pub(&br_ec_p256_m31, &pub, buffer, ec) != ENVELOPE_POINT_SIZE)
            problem = "an EC P-256 key that is not valid";
        else
            memcpy(key->point, buffer, ENVELOPE_POINT_SIZE);
        p256_key_id(key->point, key->id);
    }
    OPENSSL_cleanse(&decoder, sizeof decoder);
    return problem;
}

// The keys of PEM text, or of one DER key. nullptr, or why not, into `where`
// naming the block.
const char* take_keys(const uint8_t* text, size_t length, decryption_key* keys, int* count,
                      int* block)
{
    *count = 0;
    *block = 0;
    if (length == 0 || memmem(text, length, "-----BEGIN", 10) == nullptr) {
        *block = 1;
        const char* problem = take_key(text, length, &keys[0]);
        *count = problem == nullptr ? 1 : 0;
        return problem;
    }
    static pem_object object;
    br_pem_decoder_context pem;
    br_pem_decoder_init(&pem);
    bool inside = false;
    const char* problem = nullptr;
    static const uint8_t final_newline[1] = {'\n'};
    for (int pass = 0; pass < 2 && problem == nullptr; ++pass) {
        const uint8_t* at = pass == 0 ? text : final_newline;
        size_t left = pass == 0 ? length : 1;
        while (left > 0 && problem == nullptr) {
            size_t taken = br_pem_decoder_push(&pem, at, left);
            at += taken;
            left -= taken;
            switch (br_pem_decoder_event(&pem)) {
            case BR_PEM_BEGIN_OBJ:
                ++*block;
                inside = true;
                object = pem_object{};
                if (strcmp(br_pem_decoder_name(&pem), "EC PRIVATE KEY") != 0 &&
                    strcmp(br_pem_decoder_name(&pem), "PRIVATE KEY") != 0)
                    problem = "not an EC PRIVATE KEY or a PRIVATE KEY";
                br_pem_decoder_setdest(&pem, pem_append, &object);
                break;
            case BR_PEM_END_OBJ:
                inside = false;
                if (object.overflow)
                    problem = "too large for a P-256 key";
                else if (*count == MAX_DECRYPTION_KEYS)
                    problem = "one key more than the board holds";
                else if ((problem = take_key(object.der, object.length, &keys[*count])) == nullptr)
                    ++*count;
                break;
            case BR_PEM_ERROR:
                ++*block;
                problem = "not valid PEM";
                break;
            default:
                break;
            }
        }
    }
    OPENSSL_cleanse(&object, sizeof object);
    if (problem == nullptr && inside)
        problem = "not ended by its END line";
    if (problem == nullptr && *count == 0) {
        *block = 1;
        problem = "no key";
    }
    return problem;
}

void load_counter(uint32_t block, const uint8_t nonce[12], unsigned int counter[4])
{
    counter[0] = block;
    for (int i = 0; i < 3; ++i)
        counter[1 + i] = load_le32(nonce + 4 * i);
}

// The Poly1305 tag of RFC 8439's AEAD over the additional data and the
// ciphertext, keyed from ChaCha20's block 0.
void aead_tag(const unsigned int words[8], const uint8_t nonce[12], const uint8_t* aad,
              size_t aad_length, const uint8_t* ciphertext, size_t length,
              uint8_t tag[ENVELOPE_TAG_SIZE])
{
    unsigned int counter[4];
    load_counter(0, nonce, counter);
    uint8_t block[64] = {};
    ChaCha20_ctr32(block, block, sizeof block, words, counter);
    poly1305_state state;
    Poly1305_Init(state.get(), block);
    static const uint8_t zeros[16] = {};
    Poly1305_Update(state.get(), aad, aad_length);
    Poly1305_Update(state.get(), zeros, (16 - aad_length % 16) % 16);
    Poly1305_Update(state.get(), ciphertext, length);
    Poly1305_Update(state.get(), zeros, (16 - length % 16) % 16);
    uint8_t lengths[16];
    for (int i = 0; i < 8; ++i) {
        lengths[i] = (uint8_t)((uint64_t)aad_length >> (8 * i));
        lengths[8 + i] = (uint8_t)((uint64_t)length >> (8 * i));
    }
    Poly1305_Update(state.get(), lengths, sizeof lengths);
    Poly1305_Final(state.get(), tag);
    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(&state, sizeof state);
}

}  // namespace

int decryption_keys_load(const char* path)
{
    decryption_keys_forget();
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.fd < 0) {
        if (errno == ENOENT)
            return 0;
        int error = errno;
        printf("Decryption key file %s cannot be read: %s\n", path, strerror(error));
        return -1;
    }
    struct stat st;
    if (::fstat(fd.fd, &st) < 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        printf("Decryption key file %s must be a file of the tool's user that no one else may "
               "read (mode 0600)\n", path);
        return -1;
    }
    // A key file is small; a large one is not a key file.
    static uint8_t text[16 * 1024];
    int length = read_full(fd.fd, text, (int)sizeof text);
    uint8_t beyond;
    if (length < 0 || (length == (int)sizeof text && read_full(fd.fd, &beyond, 1) != 0)) {
        printf("Decryption key file %s cannot be read: %s\n", path,
               length < 0 ? strerror(errno) : "larger than 16 KiB");
        OPENSSL_cleanse(text, sizeof text);
        return -1;
    }
    int count = 0;
    int block = 0;
    const char* problem = take_keys(text, (size_t)length, ring.keys, &count, &block);
    OPENSSL_cleanse(text, sizeof text);
    if (problem != nullptr) {
        decryption_keys_forget();
        printf("Decryption key file %s is refused: block %d is %s\n", path, block, problem);
        return -1;
    }
    ring.count = count;
    return 0;
}

int decryption_key_count()
{
    return ring.count;
}

void decryption_key_id(int index, uint8_t id[ENVELOPE_ID_SIZE])
{
    memcpy(id, ring.keys[index].id, ENVELOPE_ID_SIZE);
}

void decryption_keys_forget()
{
    OPENSSL_cleanse(ring.keys, sizeof ring.keys);
    ring.count = 0;
}

int envelope_unwrap(const uint8_t line[ENVELOPE_RECIPIENT_SIZE],
                    uint8_t content_key[ENVELOPE_KEY_SIZE])
{
    const uint8_t* id = line;
    const uint8_t* ephemeral = line + ENVELOPE_ID_SIZE;
    const uint8_t* wrapped = ephemeral + ENVELOPE_POINT_SIZE;
    for (int i = 0; i < ring.count; ++i) {
        const decryption_key& key = ring.keys[i];
        if (CRYPTO_memcmp(id, key.id, ENVELOPE_ID_SIZE) != 0)
            continue;
        // ECDH: the shared secret is the x coordinate of our scalar times
        // the sender's ephemeral point; the multiplication refuses a point
        // that is not on the curve.
        uint8_t shared[ENVELOPE_POINT_SIZE];
        memcpy(shared, ephemeral, sizeof shared);
        if (br_ec_p256_m31.mul(shared, sizeof shared, key.scalar, sizeof key.scalar,
                               BR_EC_secp256r1) != 1)
            continue;
        uint8_t salt[2 * ENVELOPE_POINT_SIZE];
        memcpy(salt, ephemeral, ENVELOPE_POINT_SIZE);
        memcpy(salt + ENVELOPE_POINT_SIZE, key.point, ENVELOPE_POINT_SIZE);
        uint8_t wrap_key[32];
        hkdf(salt, sizeof salt, shared + 1, 32, WRAP_INFO, wrap_key);
        OPENSSL_cleanse(shared, sizeof shared);
        uint8_t opened[ENVELOPE_KEY_SIZE];
        memcpy(opened, wrapped, sizeof opened);
        static const uint8_t zero_nonce[12] = {};
        int result = aead_open(wrap_key, zero_nonce, id, ENVELOPE_ID_SIZE, opened, sizeof opened,
                               wrapped + ENVELOPE_KEY_SIZE);
        OPENSSL_cleanse(wrap_key, sizeof wrap_key);
        if (result == 0) {
            memcpy(content_key, opened, ENVELOPE_KEY_SIZE);
            OPENSSL_cleanse(opened, sizeof opened);
            return 1;
        }
    }
    return 0;
}

void envelope_header_key(const uint8_t content_key[ENVELOPE_KEY_SIZE],
                         const uint8_t salt[ENVELOPE_SALT_SIZE], uint8_t mac_key[32])
{
    hkdf(salt, ENVELOPE_SALT_SIZE, content_key, ENVELOPE_KEY_SIZE, HEADER_INFO, mac_key);
}

void envelope_payload_key(const uint8_t content_key[ENVELOPE_KEY_SIZE],
                          const uint8_t salt[ENVELOPE_SALT_SIZE], uint8_t payload_key[32])
{
    hkdf(salt, ENVELOPE_SALT_SIZE, content_key, ENVELOPE_KEY_SIZE, PAYLOAD_INFO, payload_key);
}

bool envelope_mac_matches(const uint8_t mac_key[32], const uint8_t header_digest[32],
                          const uint8_t mac[ENVELOPE_MAC_SIZE])
{
    br_hmac_key_context key;
    br_hmac_key_init(&key, &br_sha256_vtable, mac_key, 32);
    br_hmac_context hmac;
    br_hmac_init(&hmac, &key, 0);
    br_hmac_update(&hmac, header_digest, 32);
    uint8_t expected[ENVELOPE_MAC_SIZE];
    br_hmac_out(&hmac, expected);
    bool same = CRYPTO_memcmp(expected, mac, sizeof expected) == 0;
    OPENSSL_cleanse(&key, sizeof key);
    OPENSSL_cleanse(&hmac, sizeof hmac);
    return same;
}

int aead_open(const uint8_t key[32], const uint8_t nonce[12], const uint8_t* aad,
              size_t aad_length, uint8_t* data, size_t length,
              const uint8_t tag[ENVELOPE_TAG_SIZE])
{
    if (!poly1305_state_fits())
        return -1;                    // a libcrypto whose state outgrew ours
    unsigned int words[8];
    chacha_key_words(key, words);
    uint8_t expected[ENVELOPE_TAG_SIZE];
    aead_tag(words, nonce, aad, aad_length, data, length, expected);
    int result = -1;
    if (CRYPTO_memcmp(expected, tag, sizeof expected) == 0) {
        unsigned int counter[4];
        load_counter(1, nonce, counter);
        ChaCha20_ctr32(data, data, length, words, counter);
        result = 0;
    }
    OPENSSL_cleanse(words, sizeof words);
    return result;
}

void aead_seal(const uint8_t key[32], const uint8_t nonce[12], const uint8_t* aad,
               size_t aad_length, uint8_t* data, size_t length, uint8_t tag[ENVELOPE_TAG_SIZE])
{
    unsigned int words[8];
    chacha_key_words(key, words);
    unsigned int counter[4];
    load_counter(1, nonce, counter);
    ChaCha20_ctr32(data, data, length, words, counter);
    aead_tag(words, nonce, aad, aad_length, data, length, tag);
    OPENSSL_cleanse(words, sizeof words);
}

void envelope_chunk_nonce(uint64_t number, bool last, uint8_t nonce[12])
{
    memset(nonce, 0, 12);
    for (int i = 0; i < 8; ++i)
        nonce[10 - i] = (uint8_t)(number >> (8 * i));
    nonce[11] = last ? 1 : 0;
}
