#include "bundle/envelope.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <unistd.h>

#include "backends/envelope.h"
#include "bundle/messages.h"
#include "bundle/output.h"
#include "common/bytes.h"
#include "common/io.h"
#include "common/scoped.h"
#include "source/envelope_source.h"

namespace fs = std::filesystem;

namespace {

struct cipher_ctx_free {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct pkey_ctx_free {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct bn_free {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};

// A file of recipients' keys: the fleet's, a few hundred bytes each.
constexpr size_t KEYS_FILE_LIMIT = 1 << 20;

int refuse(std::string* error, const std::string& why)
{
    *error = why;
    return -1;
}

// The key's public point, uncompressed, however the key was written.
int point_of(EVP_PKEY* key, uint8_t point[ENVELOPE_POINT_SIZE])
{
    BIGNUM* x = nullptr;
    BIGNUM* y = nullptr;
    int ok = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
             EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1;
    std::unique_ptr<BIGNUM, bn_free> own_x(x), own_y(y);
    point[0] = 0x04;
    if (!ok || BN_bn2binpad(x, point + 1, 32) != 32 || BN_bn2binpad(y, point + 33, 32) != 32)
        return -1;
    return 0;
}

// HKDF-SHA-256 of 32 bytes.
int hkdf(const uint8_t* salt, size_t salt_length, const uint8_t* ikm, size_t ikm_length,
         const char* info, uint8_t out[32])
{
    std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_free> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
    size_t length = 32;
    return ctx && EVP_PKEY_derive_init(ctx.get()) == 1 &&
                   EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) == 1 &&
                   EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), salt, (int)salt_length) == 1 &&
                   EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), ikm, (int)ikm_length) == 1 &&
                   EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), reinterpret_cast<const uint8_t*>(info),
                                               (int)strlen(info)) == 1 &&
                   EVP_PKEY_derive(ctx.get(), out, &length) == 1 && length == 32
               ? 0
               : -1;
}

// ChaCha20-Poly1305 in place, the tag after the bytes.
int seal(const uint8_t key[32], const uint8_t nonce[12], const uint8_t* aad, size_t aad_length,
         uint8_t* data, size_t length, uint8_t tag[ENVELOPE_TAG_SIZE])
{
    std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_free> ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    int tail = 0;
    return ctx && EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key, nonce) == 1 &&
                   (aad_length == 0 ||
                    EVP_EncryptUpdate(ctx.get(), nullptr, &n, aad, (int)aad_length) == 1) &&
                   (length == 0 || EVP_EncryptUpdate(ctx.get(), data, &n, data, (int)length) == 1) &&
                   EVP_EncryptFinal_ex(ctx.get(), data + (length == 0 ? 0 : n), &tail) == 1 &&
                   EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, (int)ENVELOPE_TAG_SIZE,
                                       tag) == 1
               ? 0
               : -1;
}

// One recipient line: a fresh ephemeral key, ECDH with the recipient's, and
// the content key wrapped under what they share.
int recipient_line(EVP_PKEY* recipient, const uint8_t content_key[ENVELOPE_KEY_SIZE],
                   uint8_t line[ENVELOPE_RECIPIENT_SIZE], std::string* error)
{
    uint8_t* id = line;
    uint8_t* ephemeral_point = line + ENVELOPE_ID_SIZE;
    uint8_t* wrapped = ephemeral_point + ENVELOPE_POINT_SIZE;
    if (key_id_of(recipient, id, error) < 0)
        return -1;
    pkey_ptr ephemeral(EVP_EC_gen("P-256"));
    uint8_t recipient_point[ENVELOPE_POINT_SIZE];
    if (!ephemeral || point_of(ephemeral.get(), ephemeral_point) < 0 ||
        point_of(recipient, recipient_point) < 0)
        return refuse(error, "an EC P-256 key cannot be made or read");
    std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_free> ctx(EVP_PKEY_CTX_new(ephemeral.get(), nullptr));
    uint8_t shared[32];
    size_t shared_length = sizeof shared;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer(ctx.get(), recipient) != 1 ||
        EVP_PKEY_derive(ctx.get(), shared, &shared_length) != 1 || shared_length != 32)
        return refuse(error, "ECDH with a recipient's key failed");
    uint8_t salt[2 * ENVELOPE_POINT_SIZE];
    memcpy(salt, ephemeral_point, ENVELOPE_POINT_SIZE);
    memcpy(salt + ENVELOPE_POINT_SIZE, recipient_point, ENVELOPE_POINT_SIZE);
    uint8_t wrap_key[32];
    int derived = hkdf(salt, sizeof salt, shared, sizeof shared, "fwdeploy envelope key wrap",
                       wrap_key);
    OPENSSL_cleanse(shared, sizeof shared);
    memcpy(wrapped, content_key, ENVELOPE_KEY_SIZE);
    static const uint8_t zero_nonce[12] = {};
    int sealed = derived == 0 ? seal(wrap_key, zero_nonce, id, ENVELOPE_ID_SIZE, wrapped,
                                     ENVELOPE_KEY_SIZE, wrapped + ENVELOPE_KEY_SIZE)
                              : -1;
    OPENSSL_cleanse(wrap_key, sizeof wrap_key);
    return sealed == 0 ? 0 : refuse(error, "the content key cannot be wrapped");
}

int write_all(pending_output* out, const uint8_t* bytes, size_t length, std::string* error)
{
    bundle_sink sink = output_sink(out);
    if (sink.write(sink.context, bytes, length) < 0)
        return refuse(error, out->final_path + ": " +
                                 (out->error.empty() ? strerror(errno) : out->error));
    return 0;
}

// Reads a whole small file. 0, or -1 with *error set.
int read_text_file(const std::string& path, std::string* text, std::string* error)
{
    std::vector<char> bytes;
    if (read_small_file(path, KEYS_FILE_LIMIT, &bytes, error) < 0)
        return -1;
    if (bytes.size() > KEYS_FILE_LIMIT)
        return refuse(error, path + ": too large");
    text->assign(bytes.begin(), bytes.end());
    return 0;
}

}  // namespace

int load_recipients(const std::vector<std::string>& key_files, const std::string& recipients_file,
                    std::vector<pkey_ptr>* keys, std::string* error)
{
    for (const std::string& file : key_files)
        if (load_public_keys(file, KEYS_FILE_LIMIT, keys, error) < 0)
            return -1;
    if (!recipients_file.empty()) {
        std::string text;
        if (read_text_file(recipients_file, &text, error) < 0)
            return -1;
        fs::path base = fs::path(recipients_file).parent_path();
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            std::string line = text.substr(at, end == std::string::npos ? end : end - at);
            at = end == std::string::npos ? text.size() : end + 1;
            while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
                line.pop_back();
            if (line.empty() || line[0] == '#')
                continue;
            fs::path path = fs::path(line).is_absolute() ? fs::path(line) : base / line;
            if (load_public_keys(path.string(), KEYS_FILE_LIMIT, keys, error) < 0)
                return -1;
        }
    }
    if (keys->empty())
        return refuse(error, "no recipient: give --to or --recipients");
    if (keys->size() > ENVELOPE_MAX_RECIPIENTS)
        return refuse(error, "more than " + std::to_string(ENVELOPE_MAX_RECIPIENTS) +
                                 " recipients");
    return 0;
}

int seal_package(const std::string& in, const std::vector<pkey_ptr>& recipients,
                 const std::string& out, std::string* error)
{
    unique_fd input(::open(in.c_str(), O_RDONLY | O_CLOEXEC));
    if (input.fd < 0)
        return refuse(error, in + ": " + strerror(errno));
    uint8_t content_key[ENVELOPE_KEY_SIZE];
    uint8_t header[ENVELOPE_FIXED_SIZE] = {};
    memcpy(header, ENVELOPE_MAGIC, ENVELOPE_MAGIC_SIZE);
    store_le32(header + 8, (uint32_t)(ENVELOPE_FIXED_SIZE +
                                      recipients.size() * ENVELOPE_RECIPIENT_SIZE +
                                      ENVELOPE_MAC_SIZE));
    store_le16(header + 12, ENVELOPE_CHACHA20_POLY1305);
    store_le32(header + 16, ENVELOPE_CHUNK);
    store_le32(header + 20, (uint32_t)recipients.size());
    const uint8_t* salt = header + 24;
    if (RAND_bytes(content_key, sizeof content_key) != 1 ||
        RAND_bytes(header + 24, ENVELOPE_SALT_SIZE) != 1)
        return refuse(error, "no random bytes");
    pending_output output;
    if (output_open(&output, out, false, error) < 0)
        return -1;
    sha256_stream digest;
    if (sha256_begin(&digest, error) < 0 || write_all(&output, header, sizeof header, error) < 0)
        return -1;
    sha256_update(&digest, header, sizeof header);
    for (const pkey_ptr& recipient : recipients) {
        uint8_t line[ENVELOPE_RECIPIENT_SIZE];
        if (recipient_line(recipient.get(), content_key, line, error) < 0 ||
            write_all(&output, line, sizeof line, error) < 0)
            return -1;
        sha256_update(&digest, line, sizeof line);
    }
    uint8_t header_digest[SHA256_SIZE];
    uint8_t mac_key[32];
    uint8_t payload_key[32];
    uint8_t mac[ENVELOPE_MAC_SIZE];
    size_t mac_length = 0;
    if (sha256_result(&digest, header_digest, error) < 0 ||
        hkdf(salt, ENVELOPE_SALT_SIZE, content_key, sizeof content_key, "fwdeploy envelope header",
             mac_key) < 0 ||
        hkdf(salt, ENVELOPE_SALT_SIZE, content_key, sizeof content_key,
             "fwdeploy envelope payload", payload_key) < 0 ||
        EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, mac_key, sizeof mac_key,
                  header_digest, sizeof header_digest, mac, sizeof mac, &mac_length) == nullptr ||
        mac_length != sizeof mac)
        return refuse(error, "the header's keys cannot be derived");
    OPENSSL_cleanse(content_key, sizeof content_key);
    OPENSSL_cleanse(mac_key, sizeof mac_key);
    if (write_all(&output, mac, sizeof mac, error) < 0)
        return -1;
    // The chunks: one read ahead, so that the last one is known as such.
    std::vector<uint8_t> chunk(ENVELOPE_CHUNK + ENVELOPE_TAG_SIZE);
    std::vector<uint8_t> next(ENVELOPE_CHUNK + ENVELOPE_TAG_SIZE);
    int length = read_full(input.fd, chunk.data(), (int)ENVELOPE_CHUNK);
    uint64_t number = 0;
    while (length >= 0) {
        int following = length == (int)ENVELOPE_CHUNK
                            ? read_full(input.fd, next.data(), (int)ENVELOPE_CHUNK)
                            : 0;
        if (following < 0)
            break;
        bool last = following == 0;
        uint8_t nonce[12];
        envelope_chunk_nonce(number, last, nonce);
        if (seal(payload_key, nonce, nullptr, 0, chunk.data(), (size_t)length,
                 chunk.data() + length) < 0)
            return refuse(error, "a chunk cannot be sealed");
        if (write_all(&output, chunk.data(), (size_t)length + ENVELOPE_TAG_SIZE, error) < 0)
            return -1;
        if (last) {
            OPENSSL_cleanse(payload_key, sizeof payload_key);
            return output_commit(&output, error);
        }
        chunk.swap(next);
        length = following;
        ++number;
    }
    OPENSSL_cleanse(payload_key, sizeof payload_key);
    return refuse(error, in + ": " + strerror(errno));
}

bool file_is_sealed(const std::string& path)
{
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    uint8_t magic[ENVELOPE_MAGIC_SIZE];
    return fd.fd >= 0 && read_full(fd.fd, magic, (int)sizeof magic) == (int)sizeof magic &&
           is_envelope(magic, sizeof magic);
}

namespace {

int file_open(const char* path)
{
    return ::open(path, O_RDONLY | O_CLOEXEC);
}

int file_read(int handle, void* buffer, int length)
{
    return read_full(handle, buffer, length);
}

int file_close(int handle)
{
    return ::close(handle);
}

}  // namespace

int open_package(const std::string& in, const std::string& key_file, const std::string& out,
                 std::string* error)
{
    int result = -1;
    std::string said = capture_stdout([&] {
        if (decryption_keys_load(key_file.c_str()) < 0)
            return;
        if (decryption_key_count() == 0) {
            printf("Decryption key file %s cannot be read: %s\n", key_file.c_str(),
                   strerror(ENOENT));
            return;
        }
        source_ops file{file_open, file_close, file_read, nullptr, nullptr, nullptr};
        source_ops sealed{};
        envelope_source(&file, true, &sealed);
        int handle = sealed.open(in.c_str());
        if (handle < 0)
            return;
        pending_output output;
        std::vector<uint8_t> buffer(ENVELOPE_CHUNK);
        int n;
        while ((n = sealed.read(handle, buffer.data(), (int)buffer.size())) > 0)
            if (output.fd < 0 && output_open(&output, out, false, error) < 0)
                break;
            else if (write_all(&output, buffer.data(), (size_t)n, error) < 0)
                break;
        if (n == 0 && output.fd < 0 && output_open(&output, out, false, error) < 0)
            n = -1;
        if (n == 0 && error->empty() && sealed.finish(handle) == 0 &&
            output_commit(&output, error) == 0)
            result = 0;
        sealed.close(handle);
    });
    envelope_forget();
    decryption_keys_forget();
    if (result < 0 && error->empty()) {
        while (!said.empty() && said.back() == '\n')
            said.pop_back();
        for (char& c : said)
            if (c == '\n')
                c = ' ';
        *error = in + ": " + (said.empty() ? "cannot be opened" : said);
    }
    return result;
}

int describe_envelope(const std::string& path, std::string* text, std::string* error)
{
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return refuse(error, path + ": " + strerror(errno));
    uint8_t fixed[ENVELOPE_FIXED_SIZE];
    if (read_full(fd.fd, fixed, (int)sizeof fixed) != (int)sizeof fixed ||
        !is_envelope(fixed, sizeof fixed))
        return refuse(error, path + ": not an envelope, or cut short");
    uint32_t cipher = load_le16(fixed + 12);
    uint32_t count = load_le32(fixed + 20);
    if (count > ENVELOPE_MAX_RECIPIENTS)
        return refuse(error, path + ": its header is damaged");
    *text = "Envelope: " + std::string(cipher == ENVELOPE_CHACHA20_POLY1305 ? "ChaCha20-Poly1305"
                                                                            : "cipher " +
                                                                                  std::to_string(cipher)) +
            ", chunks of " + std::to_string(load_le32(fixed + 16)) + " bytes, " +
            std::to_string(count) + " recipient" + (count == 1 ? "" : "s") + "\n";
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t line[ENVELOPE_RECIPIENT_SIZE];
        if (read_full(fd.fd, line, (int)sizeof line) != (int)sizeof line)
            return refuse(error, path + ": its header is cut short");
        *text += "recipient " + hex_text(line, ENVELOPE_ID_SIZE) + "\n";
    }
    return 0;
}
