#include "bundle/trailers.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Key files are a few hundred bytes; anything much larger is not one.
constexpr size_t KEY_FILE_LIMIT = 64 * 1024;

struct bio_free {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using bio_ptr = std::unique_ptr<BIO, bio_free>;

struct pkey_ctx_free {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_free>;

struct ecdsa_sig_free {
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};

// The text of a key file; a private key's is wiped before the memory is given back.
struct key_text {
    std::vector<char> bytes;
    key_text() = default;
    key_text(const key_text&) = delete;
    key_text& operator=(const key_text&) = delete;
    ~key_text()
    {
        if (!bytes.empty())
            OPENSSL_cleanse(bytes.data(), bytes.size());
    }
    bool has(const char* part) const
    {
        return std::search(bytes.begin(), bytes.end(), part, part + strlen(part)) != bytes.end();
    }
};

// OpenSSL's reason for the oldest error it queued; the queue is left empty.
std::string openssl_reason()
{
    unsigned long code = ERR_peek_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : "unknown error";
}

int refuse(std::string* error, const std::string& why)
{
    *error = why;
    ERR_clear_error();
    return -1;
}

int read_key_file(const std::string& path, key_text* text, std::string* error)
{
    if (read_small_file(path, KEY_FILE_LIMIT, &text->bytes, error) < 0)
        return -1;
    if (text->bytes.size() > KEY_FILE_LIMIT)
        return refuse(error, path + ": too large for a key file");
    return 0;
}


// Empty when the key is EC P-256, else what it is instead.
std::string key_problem(EVP_PKEY* key)
{
    if (EVP_PKEY_is_a(key, "EC")) {
        char group[80] = "";
        size_t length = 0;
        if (EVP_PKEY_get_group_name(key, group, sizeof group, &length) != 1)
            return "an EC key without a named curve; only P-256 keys are supported";
        if (strcmp(group, SN_X9_62_prime256v1) == 0)
            return "";
        const char* name = strcmp(group, SN_secp384r1) == 0   ? "P-384"
                           : strcmp(group, SN_secp521r1) == 0 ? "P-521"
                                                              : group;
        return std::string("an EC ") + name + " key; only P-256 keys are supported";
    }
    if (EVP_PKEY_is_a(key, "RSA"))
        return "an RSA key; only EC P-256 keys are supported";
    const char* type = EVP_PKEY_get0_type_name(key);
    return std::string("a key of type ") + (type != nullptr ? type : "unknown") +
           "; only EC P-256 keys are supported";
}

// Refuses a key that was read but is not an EC P-256 key.
int refuse_other_kinds(const std::string& path, pkey_ptr* key, std::string* error)
{
    ERR_clear_error();
    std::string problem = key_problem(key->get());
    if (problem.empty())
        return 0;
    key->reset();
    return refuse(error, path + ": " + problem);
}

// A copy of the key that encodes its point uncompressed, as the board reads it:
// a key file written with a compressed point must still have one key id.
int uncompressed_copy(EVP_PKEY* key, pkey_ptr* copy, std::string* error)
{
    copy->reset(EVP_PKEY_dup(key));
    if (!*copy ||
        EVP_PKEY_set_utf8_string_param(copy->get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                       OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_UNCOMPRESSED) != 1)
        return refuse(error, "cannot encode the public key: " + openssl_reason());
    return 0;
}

int digest_context(EVP_PKEY* key, bool sign, pkey_ctx_ptr* ctx)
{
    ctx->reset(EVP_PKEY_CTX_new(key, nullptr));
    if (!*ctx)
        return -1;
    int started = sign ? EVP_PKEY_sign_init(ctx->get()) : EVP_PKEY_verify_init(ctx->get());
    if (started <= 0 || EVP_PKEY_CTX_set_signature_md(ctx->get(), EVP_sha256()) <= 0)
        return -1;
    return 0;
}

}  // namespace

int sha256_begin(sha256_stream* s, std::string* error)
{
    s->ctx.reset(EVP_MD_CTX_new());
    s->failed = false;
    if (!s->ctx || EVP_DigestInit_ex(s->ctx.get(), EVP_sha256(), nullptr) != 1)
        return refuse(error, "cannot start SHA-256: " + openssl_reason());
    return 0;
}

void sha256_update(sha256_stream* s, const void* bytes, size_t length)
{
    if (length > 0 && EVP_DigestUpdate(s->ctx.get(), bytes, length) != 1)
        s->failed = true;
}

int sha256_result(const sha256_stream* s, uint8_t digest[SHA256_SIZE], std::string* error)
{
    // Finished on a copy, so that the stream can take more bytes afterwards.
    // OpenSSL writes up to EVP_MAX_MD_SIZE bytes, whatever digest it finishes.
    std::unique_ptr<EVP_MD_CTX, md_ctx_free> copy(EVP_MD_CTX_new());
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (s->failed || !copy || EVP_MD_CTX_copy_ex(copy.get(), s->ctx.get()) != 1 ||
        EVP_DigestFinal_ex(copy.get(), out, &length) != 1 || length != SHA256_SIZE)
        return refuse(error, "SHA-256 failed: " + openssl_reason());
    memcpy(digest, out, SHA256_SIZE);
    return 0;
}

// Reads a key file and opens OpenSSL's reader over its text. 0, or -1 with *error set.
int open_key_file(const std::string& path, key_text* text, bio_ptr* bio, std::string* error)
{
    if (read_key_file(path, text, error) < 0)
        return -1;
    bio->reset(BIO_new_mem_buf(text->bytes.data(), (int)text->bytes.size()));
    if (!*bio)
        return refuse(error, path + ": " + openssl_reason());
    return 0;
}

int load_private_key(const std::string& path, pkey_ptr* key, std::string* error)
{
    key_text text;
    bio_ptr bio;
    if (open_key_file(path, &text, &bio, error) < 0)
        return -1;
    ERR_clear_error();
    // No callback: OpenSSL's own asks for the passphrase of an encrypted key.
    key->reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!*key) {
        if (text.has("ENCRYPTED"))
            return refuse(error, path + ": cannot decrypt the private key: wrong passphrase, "
                                        "or none given");
        if (text.has("-----BEGIN PUBLIC KEY-----"))
            return refuse(error, path + ": a public key; signing needs the private key");
        return refuse(error, path + ": no PEM private key in it");
    }
    return refuse_other_kinds(path, key, error);
}

namespace {

// The first PUBLIC KEY block of `bytes`, read from `path`. 0, or -1 with
// *error set.
int public_key_of(const std::string& path, const char* bytes, size_t size, pkey_ptr* key,
                  std::string* error)
{
    bio_ptr bio(BIO_new_mem_buf(bytes, (int)size));
    if (!bio)
        return refuse(error, path + ": " + openssl_reason());
    // The first PUBLIC KEY block, as PEM_read_bio_PUBKEY would take it, but its
    // DER must end where the SubjectPublicKeyInfo does: OpenSSL's decoder
    // ignores bytes after it, and the board refuses such a key.
    char* name = nullptr;
    unsigned char* der = nullptr;
    long length = 0;
    key->reset();
    ERR_clear_error();
    if (PEM_bytes_read_bio(&der, &length, &name, PEM_STRING_PUBLIC, bio.get(), nullptr,
                           nullptr) == 1) {
        const unsigned char* at = der;
        key->reset(d2i_PUBKEY(nullptr, &at, length));
        long left = length - (long)(at - der);
        OPENSSL_free(name);
        OPENSSL_free(der);
        if (*key && left != 0) {
            key->reset();
            return refuse(error, path + ": the public key's DER has " + std::to_string(left) +
                                     (left == 1 ? " byte" : " bytes") +
                                     " after its SubjectPublicKeyInfo, which the board refuses");
        }
    }
    if (!*key) {
        static const char PRIVATE[] = "PRIVATE KEY-----";
        if (std::search(bytes, bytes + size, PRIVATE, PRIVATE + strlen(PRIVATE)) != bytes + size)
            return refuse(error, path + ": a private key; give the public key (PEM PUBLIC KEY)");
        return refuse(error, path + ": no PEM public key in it");
    }
    return refuse_other_kinds(path, key, error);
}

}  // namespace

int load_public_key(const std::string& path, pkey_ptr* key, std::string* error)
{
    key_text text;
    if (read_key_file(path, &text, error) < 0)
        return -1;
    return public_key_of(path, text.bytes.data(), text.bytes.size(), key, error);
}

int load_public_keys(const std::string& path, size_t limit, std::vector<pkey_ptr>* keys,
                     std::string* error)
{
    std::vector<char> bytes;
    if (read_small_file(path, limit, &bytes, error) < 0)
        return -1;
    if (bytes.size() > limit)
        return refuse(error, path + ": too large for a file of keys");
    const std::string text(bytes.begin(), bytes.end());
    const std::string begin = "-----BEGIN PUBLIC KEY-----";
    const std::string end = "-----END PUBLIC KEY-----";
    size_t at = 0;
    size_t found = 0;
    while ((at = text.find(begin, at)) != std::string::npos) {
        size_t stop = text.find(end, at);
        if (stop == std::string::npos)
            return refuse(error, path + ": a PUBLIC KEY block is not ended");
        stop += end.size();
        pkey_ptr key;
        if (public_key_of(path, text.data() + at, stop - at, &key, error) < 0)
            return -1;
        keys->push_back(std::move(key));
        ++found;
        at = stop;
    }
    if (found == 0)
        return refuse(error, path + ": no PUBLIC KEY block");
    return 0;
}

int generate_key(pkey_ptr* key, std::string* error)
{
    key->reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!*key)
        return refuse(error, "cannot generate a key: " + openssl_reason());
    return 0;
}

int key_id_of(EVP_PKEY* key, uint8_t id[SHA256_SIZE], std::string* error)
{
    pkey_ptr copy;
    if (uncompressed_copy(key, &copy, error) < 0)
        return -1;
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(copy.get(), &der);
    if (length <= 0)
        return refuse(error, "cannot encode the public key: " + openssl_reason());
    unsigned char out[EVP_MAX_MD_SIZE];       // what EVP_Digest may write
    unsigned int digest_length = 0;
    int ok = EVP_Digest(der, (size_t)length, out, &digest_length, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    if (ok != 1 || digest_length != SHA256_SIZE)
        return refuse(error, "SHA-256 failed: " + openssl_reason());
    memcpy(id, out, SHA256_SIZE);
    return 0;
}

int sign_digest(EVP_PKEY* key, const uint8_t digest[SHA256_SIZE],
                std::vector<uint8_t>* signature, std::string* error)
{
    pkey_ctx_ptr ctx;
    size_t length = 0;
    if (digest_context(key, true, &ctx) < 0 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &length, digest, SHA256_SIZE) <= 0)
        return refuse(error, "cannot sign: " + openssl_reason());
    signature->resize(length);
    if (EVP_PKEY_sign(ctx.get(), signature->data(), &length, digest, SHA256_SIZE) <= 0)
        return refuse(error, "cannot sign: " + openssl_reason());
    signature->resize(length);
    if (length > TRAILER_MAX_SIGNATURE)
        return refuse(error, "cannot sign: a signature of " + std::to_string(length) + " bytes");
    return 0;
}

bool strict_der_signature(const std::vector<uint8_t>& signature)
{
    const unsigned char* at = signature.data();
    std::unique_ptr<ECDSA_SIG, ecdsa_sig_free> parsed(
        d2i_ECDSA_SIG(nullptr, &at, (long)signature.size()));
    unsigned char* again = nullptr;
    int length = parsed ? i2d_ECDSA_SIG(parsed.get(), &again) : -1;
    bool same = length > 0 && (size_t)length == signature.size() &&
                memcmp(again, signature.data(), signature.size()) == 0;
    OPENSSL_free(again);
    ERR_clear_error();
    return same;
}

bool signature_matches(EVP_PKEY* key, const uint8_t digest[SHA256_SIZE],
                       const std::vector<uint8_t>& signature)
{
    pkey_ctx_ptr ctx;
    bool matches = digest_context(key, false, &ctx) == 0 &&
                   EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest,
                                   SHA256_SIZE) == 1;
    ERR_clear_error();
    return matches;
}

int public_key_pem(EVP_PKEY* key, std::string* text, std::string* error)
{
    pkey_ptr copy;
    if (uncompressed_copy(key, &copy, error) < 0)
        return -1;
    bio_ptr bio(BIO_new(BIO_s_mem()));
    char* data = nullptr;
    long length = 0;
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), copy.get()) != 1 ||
        (length = BIO_get_mem_data(bio.get(), &data)) <= 0)
        return refuse(error, "cannot write the public key: " + openssl_reason());
    text->assign(data, (size_t)length);
    return 0;
}

int write_private_key(EVP_PKEY* key, int fd, std::string* error)
{
    bio_ptr bio(BIO_new_fd(fd, BIO_NOCLOSE));
    errno = 0;
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        BIO_flush(bio.get()) != 1) {
        int saved = errno;
        std::string reason = openssl_reason();
        return refuse(error, saved != 0 ? strerror(saved) : reason);
    }
    return 0;
}

std::vector<uint8_t> make_trailer(const uint8_t digest[SHA256_SIZE], const uint8_t* key_id,
                                  const std::vector<uint8_t>& signature,
                                  const std::vector<trailer_entry>& results,
                                  const std::string& attributes)
{
    bool attributed = !attributes.empty();
    bool listed = attributed || !results.empty();
    uint32_t fixed = attributed ? TRAILER_V3_FIXED_SIZE
                     : listed   ? TRAILER_V2_FIXED_SIZE
                                : TRAILER_V1_FIXED_SIZE;
    uint32_t entries = (uint32_t)(results.size() * sizeof(trailer_entry));
    trailer_head head{};
    memcpy(head.magic, attributed ? TRAILER_MAGIC_V3 : listed ? TRAILER_MAGIC_V2 : TRAILER_MAGIC_V1,
           TRAILER_MAGIC_SIZE);
    head.trailer_size = (uint32_t)(fixed + entries + attributes.size() + signature.size());
    memcpy(head.digest, digest, SHA256_SIZE);
    if (!signature.empty())
        memcpy(head.key_id, key_id, SHA256_SIZE);
    head.sig_size = (uint32_t)signature.size();
    std::vector<uint8_t> bytes(head.trailer_size);
    memcpy(bytes.data(), &head, sizeof head);
    uint8_t* at = bytes.data() + sizeof head;
    if (listed) {
        uint32_t count = (uint32_t)results.size();
        memcpy(at, &count, sizeof count);
        at += sizeof count;
        if (entries > 0)
            memcpy(at, results.data(), entries);
        at += entries;
    }
    if (attributed) {
        uint32_t size = (uint32_t)attributes.size();
        memcpy(at, &size, sizeof size);
        at += sizeof size;
        memcpy(at, attributes.data(), attributes.size());
        at += attributes.size();
    }
    if (!signature.empty())
        memcpy(at, signature.data(), signature.size());
    return bytes;
}

std::vector<uint8_t> signed_suffix(const uint8_t digest[SHA256_SIZE],
                                   const std::vector<trailer_entry>& results,
                                   const std::string& attributes)
{
    if (results.empty() && attributes.empty())
        return {};
    return make_trailer(digest, nullptr, {}, results, attributes);
}

std::vector<trailer_entry> trailer_results(const std::vector<uint8_t>& trailer,
                                           uint32_t block_count)
{
    trailer_view view;
    if (trailer.empty() ||
        parse_trailer(trailer.data(), (uint32_t)trailer.size(), block_count, &view) < 0)
        return {};
    std::vector<trailer_entry> results(view.entry_count);
    if (!results.empty())
        memcpy(results.data(), view.entries, results.size() * sizeof(trailer_entry));
    return results;
}

std::string trailer_attributes(const std::vector<uint8_t>& trailer, uint32_t block_count)
{
    trailer_view view;
    if (trailer.empty() ||
        parse_trailer(trailer.data(), (uint32_t)trailer.size(), block_count, &view) < 0 ||
        view.attributes == nullptr)
        return {};
    return std::string(reinterpret_cast<const char*>(view.attributes), view.attr_size);
}

namespace {

// The character at `at` when it is UTF-8 text that the board refuses all the
// same (a C1 control, a line or paragraph separator, a bidirectional control),
// else 0. Each has a two-byte form led by 0xc2 or a three-byte one led by 0xe2.
uint32_t refused_character(const std::string& value, size_t at)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(value.data()) + at;
    size_t left = value.size() - at;
    uint32_t code = 0;
    if (left >= 2 && p[0] == 0xc2)
        code = p[1];
    else if (left >= 3 && p[0] == 0xe2 && (p[1] & 0xc0) == 0x80 && (p[2] & 0xc0) == 0x80)
        code = 0x2000 | (uint32_t)(p[1] & 0x3f) << 6 | (p[2] & 0x3f);
    return attribute_character_refused(code) ? code : 0;
}

// What the board would refuse in one attribute value, named after its key:
// empty when it takes the value. Each value is checked on its own before the
// lines are joined: a line feed in one would otherwise end it and start a
// second attribute the board reads as given (`description=x\nversion=99`).
std::string value_problem(const char* key, const std::string& value)
{
    const std::string what = std::string("the ") + key + " value";
    for (size_t i = 0; i < value.size(); ++i) {
        unsigned char c = (unsigned char)value[i];
        uint32_t wide = refused_character(value, i);
        if (wide == 0 && ((c >= 0x20 && c != 0x7f) || c == '\t'))
            continue;
        char code[16];
        snprintf(code, sizeof code, wide != 0 ? "U+%04X" : "0x%02x", wide != 0 ? wide : c);
        std::string name = c == '\n'        ? std::string("a line feed (0x0a)")
                           : c == '\r'      ? std::string("a carriage return (0x0d)")
                           : wide == 0x2028 ? std::string("the line separator ") + code
                           : wide == 0x2029 ? std::string("the paragraph separator ") + code
                           : wide >= 0x202a ? std::string("the bidirectional control ") + code
                                            : std::string("the control character ") + code;
        return what + " holds " + name + " at byte " + std::to_string(i + 1) +
               ": an attribute value is one line of text, without control characters "
               "other than tab, line or paragraph separators or bidirectional controls";
    }
    if (strcmp(key, "compatible") == 0 && value.empty())
        return what + " is empty: it must name a board (a compatibility string)";
    // The board's own reader judges the encoding, on this value alone under a
    // key without rules of its own (a version's are judged by the caller).
    std::string line = "x=" + value + "\n";
    if (line.size() > TRAILER_MAX_ATTRIBUTES)
        return "";                    // the size is judged with all the lines
    uint8_t digest[SHA256_SIZE] = {};
    std::vector<uint8_t> trailer = make_trailer(digest, nullptr, {}, {}, line);
    trailer_view view;
    if (parse_trailer(trailer.data(), (uint32_t)trailer.size(), 0, &view) < 0)
        return what + " is not UTF-8 text (a broken sequence, an overlong form, a surrogate "
                      "or a code point past U+10FFFF), which the board refuses";
    return "";
}

}  // namespace

int attribute_lines(const attribute_options& given, const std::string& kept, std::string* lines,
                    std::string* error)
{
    for (const std::string& c : given.compatible) {
        std::string problem = value_problem("compatible", c);
        if (!problem.empty())
            return refuse(error, problem);
    }
    for (const char* key : {"version", "description"}) {
        bool version = strcmp(key, "version") == 0;
        if (!(version ? given.has_version : given.has_description))
            continue;
        std::string problem = value_problem(key, version ? given.version : given.description);
        if (!problem.empty())
            return refuse(error, problem);
    }
    std::string out;
    // Keys given anew replace every line of that key the package had.
    uint32_t offset = 0;
    trailer_attribute a;
    const uint8_t* block = reinterpret_cast<const uint8_t*>(kept.data());
    while (trailer_next_attribute(block, (uint32_t)kept.size(), &offset, &a) == 1) {
        std::string key(a.key, a.key_length);
        if ((key == "compatible" && !given.compatible.empty()) ||
            (key == "version" && given.has_version) ||
            (key == "description" && given.has_description) ||
            (key == "requires" && given.requires_slots &&
             std::string(a.value, a.value_length) == "slots"))
            continue;
        out += key + "=" + std::string(a.value, a.value_length) + "\n";
    }
    for (const std::string& c : given.compatible)
        out += "compatible=" + c + "\n";
    if (given.has_version) {
        if (!version_valid(given.version.data(), (uint32_t)given.version.size()))
            return refuse(error, "version \"" + given.version +
                                     "\" is not a version (decimal numbers joined by dots, as 1.10.3)");
        out += "version=" + given.version + "\n";
    }
    if (given.has_description)
        out += "description=" + given.description + "\n";
    if (given.requires_slots)
        out += "requires=slots\n";
    if (out.size() > TRAILER_MAX_ATTRIBUTES)
        return refuse(error, "the attributes take " + std::to_string(out.size()) +
                                 " bytes; the board reads at most " +
                                 std::to_string(TRAILER_MAX_ATTRIBUTES));
    // The board's own reader judges the rest: a value it would refuse is refused here.
    uint8_t digest[SHA256_SIZE] = {};
    std::vector<uint8_t> trailer = make_trailer(digest, nullptr, {}, {}, out);
    trailer_view view;
    if (!out.empty() && parse_trailer(trailer.data(), (uint32_t)trailer.size(), 0, &view) < 0)
        return refuse(error, "the attributes break the board's rules (a key given twice that "
                             "may appear once, or a value that is not a line of UTF-8 text)");
    *lines = out;
    return 0;
}

int file_sha256(const std::string& path, uint8_t digest[SHA256_SIZE], std::string* error)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return refuse(error, path + ": " + strerror(errno));
    sha256_stream stream;
    int result = sha256_begin(&stream, error);
    std::vector<uint8_t> buffer(1 << 16);
    while (result == 0) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            result = refuse(error, path + ": " + strerror(errno));
        else if (n == 0)
            break;
        else
            sha256_update(&stream, buffer.data(), (size_t)n);
    }
    ::close(fd);
    return result == 0 ? sha256_result(&stream, digest, error) : -1;
}

int read_small_file(const std::string& path, size_t limit, std::vector<char>* bytes,
                    std::string* error)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return refuse(error, path + ": " + strerror(errno));
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return refuse(error, path + ": is a directory");
    }
    bytes->resize(limit + 1);
    size_t length = 0;
    while (length < bytes->size()) {
        ssize_t n = ::read(fd, bytes->data() + length, bytes->size() - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int saved = errno;
            ::close(fd);
            return refuse(error, path + ": " + strerror(saved));
        }
        if (n == 0)
            break;
        length += (size_t)n;
    }
    ::close(fd);
    bytes->resize(length);
    return 0;
}

std::string hex_text(const uint8_t* bytes, size_t length)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += DIGITS[bytes[i] >> 4];
        text += DIGITS[bytes[i] & 15];
    }
    return text;
}
