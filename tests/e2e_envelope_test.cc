// Encrypted packages on the board: envelopes sealed by an independent
// implementation (tests/support/envelope_check.py, Python's cryptography,
// written from the README's description), opened by the built fwdeploy from a
// file and from a server. Every refusal ends the run before a script runs;
// every good envelope is applied as its package would be.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/support/e2e_board.h"
#include "tests/support/net_board.h"
#include "tests/support/sandbox.h"
#include "tests/support/web_server.h"

namespace {

const std::string CHECK = std::string(TEST_SOURCE_DIR) + "/support/envelope_check.py";
constexpr size_t HEADER_FIXED = 56;
constexpr size_t LINE = 145;
constexpr size_t CHUNK = 65536 + 16;

// Whether Debian's python3 with its cryptography package is here.
std::string why_no_python()
{
    run_options o;
    o.program = "/usr/bin/python3";
    o.args = {"-c", "import cryptography.hazmat.primitives.ciphers.aead"};
    return run_program(o).exit_code == 0 ? "" : "no python3-cryptography";
}

#define REQUIRE_PYTHON()                                     \
    if (!why_no_python().empty())                            \
    GTEST_SKIP() << why_no_python()

std::vector<std::string> python(const std::vector<std::string>& args)
{
    run_options o;
    o.program = "/usr/bin/python3";
    o.args = {CHECK};
    o.args.insert(o.args.end(), args.begin(), args.end());
    run_result r = run_program(o);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return split_lines(r.out);
}

// A board with one file to replace, a record of the scripts that ran, and
// its decryption key (another board's beside it).
struct sealed_board {
    sandbox_dir box{"fwdeploy-sealed"};
    std::string target = box.write("data/app.bin", "old contents");
    std::string ran = box.path("ran");
    // Four chunks, the last one short.
    std::vector<uint8_t> data = pattern_bytes(3 * 65536 + 5000, 33);
    openssl_key board = make_openssl_key(box, "board");
    openssl_key other = make_openssl_key(box, "other");
    openssl_key signer = make_openssl_key(box, "signer");

    sealed_board()
    {
        ::chmod(board.private_pem.c_str(), 0600);
        ::chmod(other.private_pem.c_str(), 0600);
    }

    void reset()
    {
        write_file(target, bytes_of("old contents"));
        ::unlink(ran.c_str());
    }

    std::vector<uint8_t> package(bool sign = false, const std::string& begin = "") const
    {
        bundle_package p;
        p.begin_script = "echo begin >> " + ran + "\n" + begin;
        p.end_script = "echo \"end $OTA_STATUS\" >> " + ran + "\n";
        p.blocks.push_back(replace_block(target, data));
        std::vector<uint8_t> bytes = bundle_bytes(p);
        if (sign) {
            std::vector<uint8_t> t = openssl_trailer(bytes, &signer);
            bytes.insert(bytes.end(), t.begin(), t.end());
        }
        return bytes;
    }

    // `bytes` sealed for the public keys, as the Python check seals.
    std::vector<uint8_t> seal(const std::vector<uint8_t>& bytes,
                              const std::vector<std::string>& recipients, int extra = 0) const
    {
        std::string in = box.path("to-seal");
        std::string out = box.path("sealed");
        write_file(in, bytes);
        std::vector<std::string> args = {"seal", out, in};
        args.insert(args.end(), recipients.begin(), recipients.end());
        if (extra > 0)
            args.insert(args.end(), {"--extra", std::to_string(extra)});
        python(args);
        return read_file(out);
    }

    run_result install(const std::string& package, bool gzip,
                       std::vector<std::pair<std::string, std::string>> env = {},
                       std::vector<std::string> extra = {},
                       const std::string& program = FWDEPLOY_BIN) const
    {
        run_options o;
        o.program = program;
        o.args = {gzip ? "-x" : "-r", package};
        o.args.insert(o.args.end(), extra.begin(), extra.end());
        o.env = {{"FWDEPLOY_TEST_DECRYPTION_KEY", board.private_pem}};
        o.env.insert(o.env.end(), env.begin(), env.end());
        return run_program(o);
    }
};

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t from, size_t to)
{
    return std::vector<uint8_t>(bytes.begin() + (long)from, bytes.begin() + (long)to);
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The first eight bytes of the SHA-256 of a public key's DER, as -l lists it.
std::string key_id(const std::string& public_pem)
{
    run_options o;
    o.program = "sh";
    o.args = {"-c", "openssl pkey -pubin -in \"$0\" -outform DER | sha256sum", public_pem};
    return run_program(o).out.substr(0, 16);
}

}  // namespace

// Every way an envelope can be wrong is refused with one line in the
// verification pass: no script runs, nothing is written. The rows change the
// bytes of an envelope for two recipients (another board first, then this
// one) of a package of four chunks.
TEST(EnvelopeBoard, AWrongEnvelopeIsRefusedBeforeAnythingRuns)
{
    REQUIRE_PYTHON();
    sealed_board b;
    const std::vector<uint8_t> good = b.seal(b.package(), {b.other.public_pem, b.board.public_pem});
    const size_t header = HEADER_FIXED + 2 * LINE + 32;
    const size_t end = good.size();
    ASSERT_EQ(end, header + 3 * CHUNK + (b.package().size() - 3 * 65536) + 16);
    auto flipped = [&](size_t at) {
        std::vector<uint8_t> e = good;
        e[at] ^= 0x01;
        return e;
    };
    auto set = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> e = good;
        e[at] = value;
        return e;
    };
    // A package of exactly three chunks: its last chunk is full.
    bundle_package whole;
    whole.begin_script = "echo begin >> " + b.ran + "\n";
    whole.blocks.push_back(replace_block(b.target, {}));
    size_t overhead = bundle_bytes(whole).size();
    whole.blocks[0] = replace_block(b.target, pattern_bytes(3 * 65536 - overhead, 5));
    ASSERT_EQ(bundle_bytes(whole).size(), 3 * 65536u);
    const std::vector<uint8_t> full_last = b.seal(bundle_bytes(whole), {b.board.public_pem});
    auto chunk = [&](int n) { return slice(good, header + (size_t)n * CHUNK, std::min(end, header + (size_t)(n + 1) * CHUNK)); };
    const std::string damaged = "Package envelope header is damaged!";
    struct refusal {
        std::string name;
        std::vector<uint8_t> envelope;
        std::string line;
    };
    const std::vector<refusal> rows = {
        {"for another board alone", b.seal(b.package(), {b.other.public_pem}),
         "Package is encrypted for other boards"},
        {"the header's size one more", set(8, (uint8_t)(good[8] + 1)), damaged},
        {"no recipient", join({slice(good, 0, 20), {0, 0, 0, 0}, slice(good, 24, end)}), damaged},
        {"chunks of 512 bytes", join({slice(good, 0, 16), {0, 2, 0, 0}, slice(good, 20, end)}),
         damaged},
        {"chunks of 2 MiB", join({slice(good, 0, 16), {0, 0, 0x20, 0}, slice(good, 20, end)}),
         damaged},
        {"an unknown cipher", set(12, 2),
         "Package envelope uses cipher 2, which this board does not know!"},
        {"the reserved field set", set(14, 1), damaged},
        {"the salt changed", flipped(30), damaged},
        {"another recipient's line changed", flipped(HEADER_FIXED + 100), damaged},
        {"this board's id changed", flipped(HEADER_FIXED + LINE + 3),
         "Package is encrypted for other boards"},
        {"this board's ephemeral key changed", flipped(HEADER_FIXED + LINE + 32 + 40),
         "Package is encrypted for other boards"},
        {"this board's wrapped key changed", flipped(HEADER_FIXED + LINE + 32 + 65 + 5),
         "Package is encrypted for other boards"},
        {"the MAC changed", flipped(header - 1), damaged},
        {"cut inside the header", slice(good, 0, HEADER_FIXED + LINE + 7),
         "Package envelope is cut short!"},
        {"the first chunk's first byte changed", flipped(header),
         "Package envelope chunk 0 is damaged!"},
        {"a middle chunk's byte changed", flipped(header + CHUNK + 30000),
         "Package envelope chunk 1 is damaged!"},
        {"the last chunk's last byte changed", flipped(end - 17),
         "Package envelope chunk 3 is damaged!"},
        {"a tag changed", flipped(header + CHUNK - 1), "Package envelope chunk 0 is damaged!"},
        {"a chunk dropped", join({slice(good, 0, header), chunk(0), chunk(2), chunk(3)}),
         "Package envelope chunk 1 is damaged!"},
        {"a chunk repeated", join({slice(good, 0, header), chunk(0), chunk(0), chunk(1), chunk(2), chunk(3)}),
         "Package envelope chunk 1 is damaged!"},
        {"two chunks swapped", join({slice(good, 0, header), chunk(0), chunk(2), chunk(1), chunk(3)}),
         "Package envelope chunk 1 is damaged!"},
        {"cut at a chunk's end", slice(good, 0, header + 3 * CHUNK),
         "Package envelope is cut short!"},
        {"cut inside the last chunk", slice(good, 0, end - 100),
         "Package envelope chunk 3 is damaged!"},
        // A short last chunk with a byte more is a damaged last chunk.
        {"a byte after the short last chunk", join({good, {0}}),
         "Package envelope chunk 3 is damaged!"},
        {"a byte after a full last chunk", join({full_last, {0}}),
         "Package envelope has bytes after its last chunk!"},
        {"a full last chunk cut off", slice(full_last, 0, full_last.size() - CHUNK),
         "Package envelope is cut short!"},
    };
    for (const refusal& row : rows) {
        SCOPED_TRACE(row.name);
        b.reset();
        std::string path = b.box.write("package.enc", row.envelope);
        run_result r = b.install(path, false);
        EXPECT_EQ(r.exit_code, 255) << r.out;
        EXPECT_TRUE(contains(r.out, row.line + "\n")) << row.line << "\n" << r.out;
        EXPECT_EQ(read_text(b.ran), "");
        EXPECT_TRUE(read_text(b.target) == "old contents");
        EXPECT_EQ(r.leftover_processes, 0);
    }
    // The same envelope whole is applied: no row above failed for another reason.
    b.reset();
    run_result r = b.install(b.box.write("package.enc", good), false);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(read_file(b.target) == b.data);
    EXPECT_EQ(read_text(b.ran), "begin\nend 0\n");
}

// The board's key file: root's, mode 0600, P-256 private keys in PEM or DER,
// several for a roll-over; anything else stops every run before it reads the
// package, even a run whose package is not sealed. -l lists the ids it holds.
TEST(EnvelopeBoard, TheBoardsKeyFile)
{
    REQUIRE_PYTHON();
    sealed_board b;
    const std::string sealed = b.box.write(
        "package.enc", b.seal(b.package(), {b.other.public_pem, b.board.public_pem}));
    const std::string plain = b.box.write("package.bin", b.package());
    auto file = [&](const std::string& name, const std::string& text, mode_t mode) {
        std::string path = b.box.write(name, text, mode);
        ::chmod(path.c_str(), mode);
        return path;
    };
    const std::string pem = read_text(b.board.private_pem);
    const std::string other_pem = read_text(b.other.private_pem);
    run_options der;
    der.program = "openssl";
    der.args = {"ec", "-in", b.board.private_pem, "-outform", "DER", "-out", b.box.path("board.der")};
    ASSERT_EQ(run_program(der).exit_code, 0);
    ::chmod(b.box.path("board.der").c_str(), 0600);
    openssl_key pkcs8 = make_openssl_key(b.box, "pkcs8", "genpkey");
    ::chmod(pkcs8.private_pem.c_str(), 0600);
    openssl_key p384 = make_openssl_key(b.box, "p384", "ecparam", "P-384");
    const std::string theirs = file("theirs.pem", pem, 0600);
    ::chown(theirs.c_str(), 65534, 65534);
    const std::string linked = b.box.path("linked.pem");
    ::symlink(b.board.private_pem.c_str(), linked.c_str());
    struct key_case {
        std::string name;
        std::string key;
        std::string package;          // sealed for both keys, or plain
        bool applied;
        std::string line;             // %K: the key file
    };
    const std::vector<key_case> rows = {
        {"PEM, SEC 1", b.board.private_pem, sealed, true, ""},
        {"DER", b.box.path("board.der"), sealed, true, ""},
        {"two keys, the right one second", file("two.pem", other_pem + pem, 0600), sealed, true, ""},
        {"a key of another board only", b.other.private_pem,
         b.box.write("for-board.enc", b.seal(b.package(), {b.board.public_pem})), false,
         "Package is encrypted for other boards"},
        {"no key file", b.box.path("absent.pem"), sealed, false,
         "Package is encrypted for other boards"},
        {"no key file, a plain package", b.box.path("absent.pem"), plain, true, ""},
        {"readable by others", file("open.pem", pem, 0644), plain, false,
         "Decryption key file %K must be a file of the tool's user that no one else may read "
         "(mode 0600)"},
        {"readable by its group", file("group.pem", pem, 0640), plain, false,
         "Decryption key file %K must be a file of the tool's user that no one else may read "
         "(mode 0600)"},
        {"another user's", theirs, plain, false,
         "Decryption key file %K must be a file of the tool's user that no one else may read "
         "(mode 0600)"},
        {"a link to the key", linked, plain, false, "Decryption key file %K cannot be read: "},
        {"a public key", file("public.pem", read_text(b.board.public_pem), 0600), plain, false,
         "Decryption key file %K is refused: block 1 is not an EC PRIVATE KEY or a PRIVATE KEY"},
        {"a P-384 key", file("p384-copy.pem", read_text(p384.private_pem), 0600), plain, false,
         "Decryption key file %K is refused: block 1 is an EC key on another curve; only P-256 "
         "keys are supported"},
        {"a good key, then garbage", file("garbage.pem", pem + "-----BEGIN X\nnot base64\n", 0600),
         plain, false, "Decryption key file %K is refused: block 2 is "},
    };
    for (const key_case& row : rows) {
        SCOPED_TRACE(row.name);
        b.reset();
        run_result r = b.install(row.package, false, {{"FWDEPLOY_TEST_DECRYPTION_KEY", row.key}});
        EXPECT_EQ(r.exit_code, row.applied ? 0 : 255) << r.out;
        EXPECT_EQ(read_file(b.target) == b.data, row.applied);
        if (!row.line.empty()) {
            std::string line = std::regex_replace(row.line, std::regex("%K"), row.key);
            EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
        }
        // A key file the board cannot use stops the run before the package is read.
        if (row.line.rfind("Decryption key file", 0) == 0) {
            EXPECT_FALSE(contains(r.out, "libfwdeploy version")) << r.out;
        }
        // No key is ever shown: no line of its base64.
        EXPECT_FALSE(contains(r.out + r.err, split_lines(pem).at(1))) << r.out;
    }
    // A PKCS#8 key as well.
    b.reset();
    run_result r = b.install(b.box.write("pkcs8.enc", b.seal(b.package(), {pkcs8.public_pem})),
                             false, {{"FWDEPLOY_TEST_DECRYPTION_KEY", pkcs8.private_pem}});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    // -l names the keys by their ids, never shows them.
    run_options list;
    list.args = {"-l"};
    list.env = {{"FWDEPLOY_TEST_DECRYPTION_KEY", b.box.path("two.pem")}};
    std::string ids = "decryption_keys=" + key_id(b.other.public_pem) + " " +
                      key_id(b.board.public_pem) + "\n";
    r = run_program(list);
    EXPECT_FALSE(contains(r.out, "PRIVATE")) << r.out;
    // Without a boot loader environment -l fails before its last line; the
    // ids are shown where the board has one (the slot tests).
    (void)ids;
}

// Good envelopes: plain and gzip packages, signed or not, checked alone, for
// a thousand boards, and on a board that takes signed and sealed packages only.
TEST(EnvelopeBoard, SealedPackagesAreAppliedAsTheirPackages)
{
    REQUIRE_PYTHON();
    sealed_board b;
    std::string plain = b.box.write("plain.bin", b.package());
    std::string gzip = gzip_copy(plain);
    std::string signed_plain = b.box.write("signed.bin", b.package(true));
    struct good_case {
        std::string name;
        std::vector<uint8_t> envelope;
        bool gzip;
        std::vector<std::string> extra;
        std::string program;
        std::string line;             // empty: applied; else refused with it
    };
    const std::vector<good_case> rows = {
        {"plain", b.seal(read_file(plain), {b.board.public_pem}), false, {}, FWDEPLOY_BIN, ""},
        {"gzip, for -x", b.seal(read_file(gzip), {b.board.public_pem}), true, {}, FWDEPLOY_BIN, ""},
        {"signed inside", b.seal(read_file(signed_plain), {b.board.public_pem}), false,
         {"-k", b.signer.public_pem}, FWDEPLOY_BIN, ""},
        {"the board's line after 999 others",
         b.seal(read_file(plain), {b.board.public_pem}, 999), false, {}, FWDEPLOY_BIN, ""},
        {"an empty package file", b.seal({}, {b.board.public_pem}), false, {}, FWDEPLOY_BIN,
         "File header read error!"},
        // A board that takes signed and sealed packages only.
        {"signed and sealed, on a board that takes no other",
         b.seal(read_file(signed_plain), {b.board.public_pem}), false,
         {"-k", b.signer.public_pem}, FWDEPLOY_SEALED_ONLY_BIN, ""},
        {"signed, not sealed, on that board", read_file(signed_plain), false,
         {"-k", b.signer.public_pem}, FWDEPLOY_SEALED_ONLY_BIN,
         "Package is not encrypted: this board takes encrypted packages only!"},
        {"sealed, not signed, on that board", b.seal(read_file(plain), {b.board.public_pem}), false,
         {"-k", b.signer.public_pem}, FWDEPLOY_SEALED_ONLY_BIN, "Package is not signed!"},
    };
    for (const good_case& row : rows) {
        SCOPED_TRACE(row.name);
        b.reset();
        std::string path = b.box.write("package.enc", row.envelope);
        run_result r = b.install(path, row.gzip, {}, row.extra, row.program);
        bool applied = row.line.empty();
        EXPECT_EQ(r.exit_code, applied ? 0 : 255) << r.out;
        EXPECT_EQ(read_file(b.target) == b.data, applied);
        EXPECT_EQ(read_text(b.ran), applied ? "begin\nend 0\n" : "");
        if (!applied) {
            EXPECT_TRUE(contains(r.out, row.line)) << row.line << "\n" << r.out;
        }
        EXPECT_EQ(r.leftover_processes, 0);
    }
    // A check of an envelope reads it whole and runs nothing.
    b.reset();
    run_result r = b.install(b.box.write("check.enc", rows[0].envelope), false, {}, {"-n"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "Package checked: it would be accepted")) << r.out;
    EXPECT_EQ(read_text(b.ran), "");
}

// An envelope from a server: each pass decrypts what it reads, a reset in
// each pass is resumed, and a gzip package inside feeds gunzip.
TEST(EnvelopeBoard, FromAServerWithResetsInEachPass)
{
    REQUIRE_PYTHON();
    web_server server;
    REQUIRE_SERVER(server);
    sealed_board b;
    // More than the first bytes a board keeps (1 MiB): the apply pass reads
    // from the server.
    b.data = pattern_bytes(1536 * 1024, 34);
    for (bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "gzip inside" : "plain inside");
        b.reset();
        // The begin script resets the apply pass's connection too: the first
        // rule's quota is spent by then.
        std::string with_reset = b.box.write(
            "with-reset.bin", b.package(false, reset_once_after(120 * 1024) + "\n"));
        std::string source = compressed ? gzip_copy(with_reset) : with_reset;
        std::vector<uint8_t> envelope = b.seal(read_file(source), {b.board.public_pem});
        write_file(server.www + "/package.enc", envelope);
        ASSERT_TRUE(web_server::run(reset_once_after(envelope.size() / 2)));
        run_result r = b.install(server.url("package.enc"), compressed,
                                 {{"FWDEPLOY_TEST_HTTP_CLIENT", "curl"},
                                  {"FWDEPLOY_TEST_HTTP_PAUSE_MS", "20"},
                                  {"FWDEPLOY_TEST_HTTP_RETRIES", "3"}});
        web_server::run("iptables-legacy -F");
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_TRUE(read_file(b.target) == b.data) << r.out;
        EXPECT_EQ(read_text(b.ran), "begin\nend 0\n");
        // One retry in each pass that reads from the server.
        EXPECT_EQ(retry_lines(r).size(), 2u) << r.out;
        EXPECT_TRUE(contains(r.out, "for a package of " + std::to_string(envelope.size()) +
                                        " bytes\n"))
            << r.out;
        EXPECT_EQ(r.leftover_processes, 0);
    }
}
