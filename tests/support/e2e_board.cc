#include "tests/support/e2e_board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <sys/stat.h>

namespace {

bundle_block block(uint32_t operation, const std::string& path, const std::vector<uint8_t>& data)
{
    bundle_block b;
    b.operation = operation;
    b.target_path = path;
    b.data = data;
    return b;
}

}  // namespace

bundle_block raw_block(const std::string& path, const std::vector<uint8_t>& data,
                       uint64_t erase_size)
{
    bundle_block b = block(OP_RAW_PARTITION, path, data);
    b.erase_size = erase_size;
    return b;
}

bundle_block ubi_block(const std::string& path, const std::vector<uint8_t>& data)
{
    return block(OP_UBI_VOLUME, path, data);
}

bundle_block replace_block(const std::string& path, const std::vector<uint8_t>& data)
{
    return block(OP_FILE_REPLACE, path, data);
}

bundle_block create_block(const std::string& path, const std::vector<uint8_t>& data,
                          uint32_t mode)
{
    bundle_block b = block(OP_FILE_CREATE, path, data);
    b.file_mode = mode;
    return b;
}

bundle_block delete_block(const std::string& path)
{
    return block(OP_FILE_DELETE, path, {});
}

bundle_block patch_block(const std::string& path, const std::vector<uint8_t>& patch)
{
    return block(OP_FILE_PATCH, path, patch);
}

bundle_block script_block(const std::string& name, const std::string& text)
{
    return block(OP_SCRIPT, name, bytes_of(text));
}

std::vector<uint8_t> make_patch(const std::vector<uint8_t>& from, const std::vector<uint8_t>& to)
{
    sandbox_dir work("fwdeploy-bsdiff");
    std::string old_path = work.write("old", from);
    std::string new_path = work.write("new", to);
    run_options o;
    o.program = "bsdiff";
    o.args = {old_path, new_path, work.path("patch")};
    run_result r = run_program(o);
    EXPECT_EQ(r.exit_code, 0) << "bsdiff: " << r.err;
    return read_file(work.path("patch"));
}

namespace {

std::string openssl(const std::vector<std::string>& args, const std::string& input = "")
{
    run_options o;
    o.program = "openssl";
    o.args = args;
    o.input = input;
    run_result r = run_program(o);
    EXPECT_EQ(r.exit_code, 0) << "openssl " << args.at(0) << ": " << r.err;
    return r.out;
}

}  // namespace

openssl_key make_openssl_key(const sandbox_dir& box, const std::string& name,
                             const std::string& style, const std::string& curve)
{
    openssl_key key{box.path(name + ".pem"), box.path(name + ".pub.pem")};
    if (style == "rsa")
        openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out",
                 key.private_pem});
    else if (style == "genpkey")
        openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + curve, "-out",
                 key.private_pem});
    else
        openssl({"ecparam", "-name", curve == "P-256" ? "prime256v1" : "secp384r1", "-genkey",
                 "-noout", "-out", key.private_pem});
    openssl({"pkey", "-in", key.private_pem, "-pubout", "-out", key.public_pem});
    return key;
}

namespace {

std::string public_der(const std::string& public_pem)
{
    std::string der = openssl({"pkey", "-pubin", "-in", public_pem, "-outform", "DER"});
    EXPECT_FALSE(der.empty());
    return der;
}

std::string public_pem_of(const std::string& der)
{
    return "-----BEGIN PUBLIC KEY-----\n" + openssl({"base64"}, der) + "-----END PUBLIC KEY-----\n";
}

}  // namespace

std::string public_pem_with_extra_der(const std::string& public_pem, const std::string& extra)
{
    return public_pem_of(public_der(public_pem) + extra);
}

std::string public_pem_with_der_bits(const std::string& public_pem, size_t at, uint8_t flipped)
{
    std::string der = public_der(public_pem);
    EXPECT_LT(at, der.size());
    if (at < der.size())
        der[at] = (char)(der[at] ^ flipped);
    return public_pem_of(der);
}

std::vector<uint8_t> openssl_trailer(const std::vector<uint8_t>& package, const openssl_key* key)
{
    sandbox_dir work("fwdeploy-sign");
    std::string file = work.write("package.bin", package);
    std::string digest = openssl({"dgst", "-sha256", "-binary", file});
    std::string key_id(32, '\0');
    std::string signature;
    if (key != nullptr) {
        std::string der = openssl({"pkey", "-pubin", "-in", key->public_pem, "-outform", "DER"});
        key_id = openssl({"dgst", "-sha256", "-binary"}, der);
        signature = openssl({"dgst", "-sha256", "-sign", key->private_pem, file});
    }
    EXPECT_EQ(digest.size(), 32u);
    EXPECT_EQ(key_id.size(), 32u);
    std::vector<uint8_t> t = bytes_of("FWTRAIL1");
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            t.push_back((uint8_t)(v >> (8 * i)));
    };
    put32(80 + (uint32_t)signature.size());
    t.insert(t.end(), digest.begin(), digest.end());
    t.insert(t.end(), key_id.begin(), key_id.end());
    put32((uint32_t)signature.size());
    t.insert(t.end(), signature.begin(), signature.end());
    return t;
}

std::vector<uint8_t> with_signature(const std::vector<uint8_t>& trailer,
                                    const std::vector<uint8_t>& signature)
{
    // Sized first and copied into: GCC 12 at -O3 takes an insert after the
    // head for a write past its end (a false -Warray-bounds).
    std::vector<uint8_t> t(80 + signature.size());
    std::copy(trailer.begin(), trailer.begin() + 80, t.begin());
    std::copy(signature.begin(), signature.end(), t.begin() + 80);
    for (size_t at : {8, 76})
        for (int i = 0; i < 4; ++i)
            t[at + i] = (uint8_t)(((at == 8 ? 80 : 0) + signature.size()) >> (8 * i));
    return t;
}

std::vector<uint8_t> openssl_trailer(const std::vector<uint8_t>& package, const openssl_key* key,
                                     const std::string& attributes)
{
    std::vector<uint8_t> t = bytes_of("FWTRAIL3");
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            t[at + i] = (uint8_t)(v >> (8 * i));
    };
    const uint32_t unsigned_size = 88 + (uint32_t)attributes.size();
    t.resize(unsigned_size);
    put32(8, unsigned_size);
    put32(84, (uint32_t)attributes.size());   // after a count of 0 results
    std::copy(attributes.begin(), attributes.end(), t.begin() + 88);
    sandbox_dir work("fwdeploy-sign");
    std::string file = work.write("package.bin", package);
    std::string digest = openssl({"dgst", "-sha256", "-binary", file});
    EXPECT_EQ(digest.size(), 32u);
    std::copy(digest.begin(), digest.end(), t.begin() + 12);
    if (key == nullptr)
        return t;
    std::vector<uint8_t> message = package;
    message.insert(message.end(), t.begin(), t.end());
    std::string signed_file = work.write("message.bin", message);
    std::string der = openssl({"pkey", "-pubin", "-in", key->public_pem, "-outform", "DER"});
    std::string key_id = openssl({"dgst", "-sha256", "-binary"}, der);
    std::string signature = openssl({"dgst", "-sha256", "-sign", key->private_pem, signed_file});
    EXPECT_EQ(key_id.size(), 32u);
    std::copy(key_id.begin(), key_id.end(), t.begin() + 44);
    put32(8, unsigned_size + (uint32_t)signature.size());
    put32(76, (uint32_t)signature.size());
    t.insert(t.end(), signature.begin(), signature.end());
    return t;
}

std::vector<std::pair<std::string, std::string>> preloading(const std::string& libraries)
{
    // The sanitizer runtime refuses to start behind a preloaded library otherwise.
    const char* asan = getenv("ASAN_OPTIONS");
    std::string asan_options = asan != nullptr ? asan : "";
    asan_options += (asan_options.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    return {{"LD_PRELOAD", libraries}, {"ASAN_OPTIONS", asan_options}};
}

std::vector<uint8_t> signature_der(const std::vector<uint8_t>& r, const std::vector<uint8_t>& s)
{
    // Byte by byte: GCC 12 at -O3 takes inserts of short lists here for
    // writes past the end (a false -Warray-bounds).
    std::vector<uint8_t> der;
    der.reserve(6 + r.size() + s.size());
    der.push_back(0x30);
    der.push_back((uint8_t)(4 + r.size() + s.size()));
    for (const std::vector<uint8_t>* number : {&r, &s}) {
        der.push_back(0x02);
        der.push_back((uint8_t)number->size());
        der.insert(der.end(), number->begin(), number->end());
    }
    return der;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> loose_encodings(
    const std::vector<uint8_t>& der)
{
    // SEQUENCE { INTEGER r, INTEGER s }, every length in one byte for P-256.
    EXPECT_TRUE(der.size() > 8 && der[0] == 0x30 && der[1] == der.size() - 2 && der[2] == 0x02);
    size_t r_size = der[3];
    std::vector<uint8_t> r(der.begin() + 4, der.begin() + 4 + (long)r_size);
    std::vector<uint8_t> s(der.begin() + 6 + (long)r_size, der.end());
    auto sequence = signature_der;
    auto zero_before = [](std::vector<uint8_t> v) {
        v.insert(v.begin(), 0x00);
        return v;
    };
    std::vector<uint8_t> long_form = der;
    long_form.insert(long_form.begin() + 1, 0x81);
    std::vector<uint8_t> trailing = der;
    trailing.push_back(0x00);
    return {{"a redundant zero before r", sequence(zero_before(r), s)},
            {"a redundant zero before s", sequence(r, zero_before(s))},
            {"a length in long form", long_form},
            {"a byte after the sequence", trailing}};
}

#ifdef FWBUNDLE_BIN
run_result run_fwbundle(const std::vector<std::string>& args, const std::string& cwd,
                        const std::vector<std::pair<std::string, std::string>>& env,
                        const std::string& path_prefix)
{
    run_options options;
    options.program = FWBUNDLE_BIN;
    options.args = args;
    options.cwd = cwd;
    options.env = env;
    options.path_prefix = path_prefix;
    return run_program(options);
}
#endif

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string progress_line(int percent, int stage, int state)
{
    char line[64];
    snprintf(line, sizeof line, "(%d%%)(%d/2)(state sub %d)", percent, stage, state);
    return line;
}

std::vector<std::string> progress_lines(const std::string& text)
{
    // A report may follow text printed without a line feed, so it is found at a line's end.
    static const std::regex report("\\(-?[0-9]+%\\)\\([0-9]+/[0-9]+\\)\\(state sub -?[0-9]+\\)$");
    std::vector<std::string> out;
    std::smatch match;
    for (const std::string& line : split_lines(text))
        if (std::regex_search(line, match, report))
            out.push_back(match.str());
    return out;
}

test_board::test_board()
{
    emmc_before = pattern_bytes(DEVICE_SIZE, 1);
    mtdblock_before = pattern_bytes(DEVICE_SIZE, 2);
    mtd_before = pattern_bytes(DEVICE_SIZE, 3);
    emmc = box.write("board/dev/mmcblk0p1", emmc_before);
    mtdblock = box.write("board/dev/mtdblock2", mtdblock_before);
    mtd = box.write("board/dev/mtd3", mtd_before);
    data = box.make_dir("board/data");
}

std::vector<std::string> engine_lines(const run_result& r)
{
    std::vector<std::string> lines = split_lines(r.out);
    if (lines.size() < 4 || lines[2].rfind("libfwdeploy version 0.2 commit: ", 0) != 0) {
        ADD_FAILURE() << "no engine banner in:\n" << r.out;
        return lines;
    }
    return std::vector<std::string>(lines.begin() + 4, lines.end());
}

uint32_t sum_of(const std::vector<uint8_t>& bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return sum;
}

std::string p2(int percent, int state)
{
    return progress_line(percent, 2, state);
}

std::string hex(uint64_t value)
{
    char text[32];
    snprintf(text, sizeof text, "0x%llx", (unsigned long long)value);
    return text;
}

int percent(uint64_t done, uint64_t total)
{
    return (int)(done * 100 / total);
}

std::vector<std::string> apply_lines(const run_result& r)
{
    std::vector<std::string> lines = engine_lines(r);
    auto at = std::find(lines.begin(), lines.end(), "No begin scripts!");
    if (at == lines.end()) {
        ADD_FAILURE() << "no begin phase in:\n" << r.out;
        return lines;
    }
    return std::vector<std::string>(at + 1, lines.end());
}

std::vector<std::string> one_chunk_copy(int before, int after, uint64_t size,
                                        const std::string& name)
{
    return {p2(before, 3), p2(after, 3), p2(after, 3),
            "######Write " + hex(size) + " bytes to " + name + " #######"};
}

std::vector<std::string> finished_ok()
{
    return {p2(100, 7), "OTA UPDATA STATUS: 0"};
}

void append(std::vector<std::string>* to, const std::vector<std::string>& lines)
{
    to->insert(to->end(), lines.begin(), lines.end());
}

mode_t current_umask()
{
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}
