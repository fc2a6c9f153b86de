// The built fwdeploy on whole packages: console output of a run, and packages
// that are empty, cut short or damaged, which must change nothing on the board.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/scoped.h"
#include "source/pin.h"
#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"

namespace {

// A package whose begin script leaves a mark, with one replace and one delete
// block: small enough to run once per truncation point.
struct marked_package {
    test_board board;
    std::string target;
    std::string doomed;
    std::string begin_mark;
    std::string end_mark;
    std::vector<uint8_t> bytes;
    std::string path;

    marked_package()
    {
        target = board.box.write("board/data/a.txt", "old contents");
        doomed = board.box.write("board/data/b.txt", "to be deleted");
        begin_mark = board.path("board/begin_ran");
        end_mark = board.path("board/end_ran");
        bundle_package p;
        p.begin_script = "touch " + begin_mark + "\n";
        p.end_script = "touch " + end_mark + "\n";
        p.blocks.push_back(replace_block(target, bytes_of("0123456789")));
        p.blocks.push_back(delete_block(doomed));
        bytes = bundle_bytes(p);
        path = board.path("pkg.bin");
    }

    // Puts the board back as it was before a run that applied the package.
    void restore() const
    {
        write_file(target, bytes_of("old contents"));
        write_file(doomed, bytes_of("to be deleted"));
        remove_tree(begin_mark);
        remove_tree(end_mark);
    }

    // Nothing of the package reached the board, and no script ran.
    void expect_untouched() const
    {
        EXPECT_EQ(read_text(target), "old contents");
        EXPECT_TRUE(file_exists(doomed));
        EXPECT_FALSE(file_exists(begin_mark));
        EXPECT_FALSE(file_exists(end_mark));
        EXPECT_TRUE(read_file(board.emmc) == board.emmc_before);
    }

    // A run on these bytes fails in verification: exit 255, a failure report last.
    void expect_refused(const std::vector<uint8_t>& package, bool gzipped = false) const
    {
        write_file(path, package);
        std::string file = gzipped ? gzip_copy(path) : path;
        run_result r = run_fwdeploy({gzipped ? "-x" : "-r", file});
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.signal, 0);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.leftover_processes, 0);
        std::vector<std::string> reports = progress_lines(r.out);
        ASSERT_FALSE(reports.empty()) << r.out;
        EXPECT_NE(reports.back().find("(1/2)(state sub 4)"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("(2/2)"), std::string::npos) << r.out;
        if (!gzipped) {
            EXPECT_EQ(r.err, "");
        }
        expect_untouched();
    }
};

}  // namespace

TEST(WholeRun, PrintsEveryLineOfBothPassesInOrder)
{
    test_board board;
    std::string a = board.box.write("board/data/a.txt", "old");
    std::string c = board.path("board/data/new/c.txt");
    std::vector<uint8_t> a_data(100, 'A');
    std::vector<uint8_t> c_data = pattern_bytes(300, 7);
    bundle_package p;
    p.begin_script = "echo begin script ran\n";
    p.blocks.push_back(replace_block(a, a_data));
    p.blocks.push_back(create_block(c, c_data, 0644));
    std::string package = write_package(board.path("pkg.bin"), p);

    std::string sum_a = hex(sum_of(a_data));
    std::string sum_c = hex(sum_of(c_data));
    std::vector<std::string> expected = {
        "(0%)(1/2)(state sub 0)",
        "(25%)(1/2)(state sub 1)",
        "blk 0 head " + sum_a + " cal " + sum_a,
        "(25%)(1/2)(state sub 1)",
        "(100%)(1/2)(state sub 1)",
        "blk 1 head " + sum_c + " cal " + sum_c,
        "(100%)(1/2)(state sub 1)",
        "(100%)(1/2)(state sub 1)",
        "begin script ran",
        "(0%)(2/2)(state sub 3)",
        "(25%)(2/2)(state sub 3)",
        "(25%)(2/2)(state sub 3)",
        "######Write 0x64 bytes to " + a + " #######",
        "(25%)(2/2)(state sub 3)",
        "(100%)(2/2)(state sub 3)",
        "(100%)(2/2)(state sub 3)",
        "######Write 0x12c bytes to " + c + " #######",
        "(100%)(2/2)(state sub 7)",
        "OTA UPDATA STATUS: 0",
    };
    run_result plain = run_fwdeploy({"-r", package});
    EXPECT_EQ(plain.exit_code, 0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(engine_lines(plain), expected);
    EXPECT_TRUE(read_file(a) == a_data);
    EXPECT_TRUE(read_file(c) == c_data);

    // The same package through the real gunzip prints the same.
    write_file(a, bytes_of("old"));
    remove_tree(board.path("board/data/new"));
    run_result gz = run_fwdeploy({"-x", gzip_copy(package), "-t", board.path("board")});
    EXPECT_EQ(gz.exit_code, 0);
    EXPECT_EQ(gz.err, "");
    EXPECT_EQ(gz.out, plain.out);
    EXPECT_EQ(gz.leftover_processes, 0);
    EXPECT_TRUE(read_file(c) == c_data);
}

TEST(BadPackage, EmptyFileAndVersionConflict)
{
    marked_package m;
    write_file(m.path, {});
    run_result r = run_fwdeploy({"-r", m.path});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(engine_lines(r),
              (std::vector<std::string>{"File header read error!", "(0%)(1/2)(state sub 4)"}));
    m.expect_untouched();

    // The same through gunzip: an empty stream.
    r = run_fwdeploy({"-x", gzip_copy(m.path)});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(engine_lines(r),
              (std::vector<std::string>{"File header read error!", "(0%)(1/2)(state sub 4)"}));
    EXPECT_EQ(r.leftover_processes, 0);

    // The conflict message has no line feed of its own: the report follows on its line.
    std::vector<uint8_t> old = m.bytes;
    old[8] = 3;
    write_file(m.path, old);
    r = run_fwdeploy({"-r", m.path});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(engine_lines(r), (std::vector<std::string>{
                                   "[VERSION CONFLICT!] Fwbundle tool version is 0.3, fwdeploy "
                                   "is 0.4(0%)(1/2)(state sub 4)"}));
    m.expect_untouched();
}

TEST(BadPackage, ChecksumMismatchNamesTheBlock)
{
    test_board board;
    std::string a = board.box.write("board/data/a.txt", "old");
    bundle_package p;
    p.blocks.push_back(replace_block(a, std::vector<uint8_t>(100, 'A')));
    p.blocks.push_back(replace_block(a, std::vector<uint8_t>(300, 'B')));
    std::vector<uint8_t> bytes = bundle_bytes(p);
    bytes.back() = 'C';               // the last data byte of block 1
    std::string package = board.path("pkg.bin");
    write_file(package, bytes);

    run_result r = run_fwdeploy({"-r", package});
    EXPECT_EQ(r.exit_code, 255);
    std::vector<std::string> lines = engine_lines(r);
    std::vector<std::string> tail(lines.end() - 3, lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "(100%)(1/2)(state sub 1)",
                        "Block 1 checksum error! head " + hex(300 * 'B') + " cal " +
                            hex(299 * 'B' + 'C'),
                        "(100%)(1/2)(state sub 4)"}));
    EXPECT_EQ(read_text(a), "old");

    // A header changed after packing fails the header checksum.
    bytes = bundle_bytes(p);
    bytes[16] ^= 1;                   // total_size
    write_file(package, bytes);
    r = run_fwdeploy({"-r", package});
    EXPECT_EQ(r.exit_code, 255);
    lines = engine_lines(r);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].rfind("Shell start data checksum error! head 0x", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "(0%)(1/2)(state sub 4)");
}

TEST(BadPackage, EveryTruncationPointIsRefusedWithoutWriting)
{
    marked_package m;
    size_t size = m.bytes.size();
    // Cuts inside a script or inside a target path field are alike (a short
    // section or a short block header), so every 8th of them stands for the rest.
    size_t begin_size = ("touch " + m.begin_mark + "\n").size();
    size_t end_size = ("touch " + m.end_mark + "\n").size();
    size_t header = 32 + begin_size + end_size;
    std::vector<std::pair<size_t, size_t>> uniform = {{32, 32 + begin_size},
                                                      {32 + begin_size, header}};
    for (size_t block_start : {header, header + 288 + 10})
        uniform.emplace_back(block_start + 8, block_start + 264);
    auto alike = [&](size_t at) {
        for (const auto& range : uniform)
            if (at > range.first + 1 && at + 1 < range.second && at % 8 != 0)
                return true;
        return false;
    };
    int runs = 0;
    for (size_t length = 0; length < size; ++length) {
        if (alike(length))
            continue;
        ++runs;
        SCOPED_TRACE("package cut to " + std::to_string(length) + " of " + std::to_string(size));
        m.expect_refused(std::vector<uint8_t>(m.bytes.begin(), m.bytes.begin() + length));
        if (HasFailure())
            break;
    }
    EXPECT_GT(runs, 100);
}

TEST(BadPackage, TruncatedGzipStreamIsRefusedWithoutWriting)
{
    marked_package m;
    write_file(m.path, m.bytes);
    std::vector<uint8_t> gz = read_file(gzip_copy(m.path));
    sandbox_dir work("fwdeploy-gz");
    for (size_t length : {size_t(0), size_t(5), size_t(10), size_t(18), gz.size() / 4,
                          gz.size() / 2, gz.size() * 3 / 4, gz.size() - 12}) {
        SCOPED_TRACE("gzip stream cut to " + std::to_string(length));
        std::vector<uint8_t> cut(gz.begin(), gz.begin() + length);
        std::string file = work.write("cut.bin.gz", cut);
        run_result r = run_fwdeploy({"-x", file});
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.leftover_processes, 0);
        EXPECT_NE(r.err, "");          // gunzip's own complaint
        m.expect_untouched();
        if (HasFailure())
            break;
    }
}

TEST(BadPackage, SingleByteChangesInHeaderScriptsAndDataAreRefused)
{
    marked_package m;
    size_t scripts_end = 32 + ("touch " + m.begin_mark + "\n").size() +
                         ("touch " + m.end_mark + "\n").size();
    size_t data_start = scripts_end + 288;
    // Every header byte; a script's bytes are alike, so its ends and every 8th.
    std::vector<size_t> offsets;
    for (size_t i = 0; i < scripts_end; ++i)
        if (i < 34 || i % 8 == 0 || i + 2 >= scripts_end)
            offsets.push_back(i);
    for (size_t i = data_start; i < data_start + 10; ++i)
        offsets.push_back(i);
    for (size_t at : offsets) {
        SCOPED_TRACE("byte " + std::to_string(at) + " changed");
        std::vector<uint8_t> damaged = m.bytes;
        damaged[at] = (uint8_t)(damaged[at] + 1);
        m.expect_refused(damaged);
        if (HasFailure())
            break;
    }
}

namespace {

// Keys made by the openssl command line, and a board whose key file trusts some.
struct signing_setup {
    marked_package m;
    sandbox_dir keys{"fwdeploy-keys"};
    openssl_key a = make_openssl_key(keys, "a", "ecparam");
    openssl_key b = make_openssl_key(keys, "b", "genpkey");
    std::string trusted_a = a.public_pem;

    std::vector<uint8_t> with(const std::vector<uint8_t>& tail) const
    {
        std::vector<uint8_t> bytes = m.bytes;
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return bytes;
    }

    // "Package signed by key ..." names the first 8 bytes of the key id.
    static std::string key_line(const std::vector<uint8_t>& trailer, const std::string& before,
                                const std::string& after)
    {
        char id[17];
        for (int i = 0; i < 8; ++i)
            snprintf(id + 2 * i, 3, "%02x", trailer.at(44 + i));
        return before + id + after;
    }
};

bool has_line(const run_result& r, const std::string& line)
{
    std::vector<std::string> lines = split_lines(r.out);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST(SignedPackage, SignaturesMadeWithOpensslAreAcceptedByTheBoard)
{
    signing_setup s;
    // Several keys in one file: a board keeps the old key while a new one comes in.
    std::string both = s.keys.write("trusted.pem", read_text(s.a.public_pem) + "\n" +
                                                       read_text(s.b.public_pem));
    for (const openssl_key* key : {&s.a, &s.b}) {
        std::vector<uint8_t> trailer = openssl_trailer(s.m.bytes, key);
        write_file(s.m.path, s.with(trailer));
        std::string gz = s.m.path + ".gz";
        for (bool gzipped : {false, true}) {
            SCOPED_TRACE(std::string(key == &s.a ? "ecparam key" : "genpkey key") +
                         (gzipped ? ", gzip" : ", plain"));
            std::string file = s.m.path;
            if (gzipped) {
                // The trailer as one more gzip member after the compressed package.
                sandbox_dir work("fwdeploy-members");
                std::vector<uint8_t> first = read_file(gzip_copy(work.write("p", s.m.bytes)));
                std::vector<uint8_t> second = read_file(gzip_copy(work.write("t", trailer)));
                first.insert(first.end(), second.begin(), second.end());
                write_file(gz, first);
                file = gz;
            }
            s.m.restore();
            run_result r = run_fwdeploy({gzipped ? "-x" : "-r", file, "-k", both});
            EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
            EXPECT_TRUE(has_line(r, signing_setup::key_line(trailer, "Package signed by key ", "")))
                << r.out;
            EXPECT_EQ(read_text(s.m.target), "0123456789");
            EXPECT_EQ(r.leftover_processes, 0);
        }
    }
}

TEST(SignedPackage, RefusedPackagesRunAndWriteNothing)
{
    signing_setup s;
    const std::vector<uint8_t> trailer = openssl_trailer(s.m.bytes, &s.a);
    const std::vector<uint8_t> good = s.with(trailer);
    const size_t end = s.m.bytes.size();
    const size_t block0 = end - 2 * 288 - 10;
    auto flipped = [&](size_t at) {
        std::vector<uint8_t> bytes = good;
        bytes.at(at) ^= 0x01;
        return bytes;
    };
    const std::string not_signed = "Package is not signed!";
    const std::string digest = "Package digest mismatch!";
    const std::string malformed = "Package trailer is malformed!";
    struct refusal {
        const char* what;
        std::vector<uint8_t> bytes;
        std::string line;             // the board's reason
    };
    std::vector<refusal> cases = {
        {"no trailer", s.m.bytes, not_signed},
        {"an unsigned trailer", s.with(openssl_trailer(s.m.bytes, nullptr)), not_signed},
        {"signed by a key not in the file", s.with(openssl_trailer(s.m.bytes, &s.b)),
         signing_setup::key_line(openssl_trailer(s.m.bytes, &s.b), "Package signed by an unknown key ", "!")},
        {"padding and no trailer", s.with(std::vector<uint8_t>(300, 0xFF)), not_signed},
        {"trailer cut short", std::vector<uint8_t>(good.begin(), good.end() - 1), malformed},
        {"a byte after the trailer", s.with([&] { auto t = trailer; t.push_back(0); return t; }()),
         malformed},
        // Block headers are covered by no byte sum: only the digest sees these.
        {"block header: target path", flipped(block0 + 8 + 3), digest},
        {"block header: reserved bytes", flipped(block0 + 284), digest},
        {"package header", flipped(12), "Shell start data checksum error! head"},
        {"begin script", flipped(33), "Shell start data checksum error! head"},
        {"block data", flipped(block0 + 288 + 2), "Block 0 checksum error! head"},
        {"trailer digest", flipped(end + 12 + 5), digest},
        {"trailer key id", flipped(end + 44 + 31), "Package signed by an unknown key"},
        {"signature", flipped(good.size() - 1), "Package signature is bad!"},
    };
    // A good signature in encodings that are not DER: one signature, one encoding.
    // Signed again until a byte more still fits the 72 a trailer holds.
    std::vector<uint8_t> shorter = trailer;
    while (shorter.size() > 80 + 71)
        shorter = openssl_trailer(s.m.bytes, &s.a);
    const auto loose = loose_encodings(std::vector<uint8_t>(shorter.begin() + 80, shorter.end()));
    for (const auto& [how, bytes] : loose)
        cases.push_back({how.c_str(), s.with(with_signature(shorter, bytes)),
                         "Package signature is bad!"});
    // Numbers that no P-256 signature has, in encodings a forger may send:
    // every split of the 66 bytes of numbers that a signature of the largest
    // size holds (converting them widened both to the longer one, past the
    // buffer, before the signature was checked), and values out of range.
    auto der_of = signature_der;
    auto number = [](size_t size, uint8_t top) {
        std::vector<uint8_t> v(size, 0x5a);
        v[0] = top;
        return v;
    };
    std::vector<std::pair<std::string, std::vector<uint8_t>>> forged;
    for (size_t r = 1; r <= 65; ++r)
        forged.push_back({"r of " + std::to_string(r) + " bytes, s of " + std::to_string(66 - r),
                          der_of(number(r, 0x41), number(66 - r, 0x41))});
    const std::vector<uint8_t> n = {0x00, 0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff,
                                    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xbc, 0xe6, 0xfa, 0xad, 0xa7,
                                    0x17, 0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51};
    const std::vector<uint8_t> all_ones = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                           0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                           0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                           0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const std::vector<uint8_t> zero = {0x00}, negative = number(32, 0x80);
    const std::vector<uint8_t> valid = number(32, 0x41);
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::vector<uint8_t>>>{
             {"zero", zero}, {"negative", negative}, {"the group order", n}, {"2^256 - 1", all_ones}}) {
        forged.push_back({"r " + name, der_of(value, valid)});
        forged.push_back({"s " + name, der_of(valid, value)});
    }
    for (const auto& [how, bytes] : forged) {
        EXPECT_LE(bytes.size(), 72u) << how;
        cases.push_back({how.c_str(), s.with(with_signature(shorter, bytes)),
                         "Package signature is bad!"});
    }
    for (const refusal& c : cases) {
        for (bool gzipped : {false, true}) {
            if (gzipped && c.line != digest && c.line != not_signed)
                continue;             // one gzip run per kind of reason is enough
            SCOPED_TRACE(std::string(c.what) + (gzipped ? " (gzip)" : ""));
            write_file(s.m.path, c.bytes);
            std::string file = gzipped ? gzip_copy(s.m.path) : s.m.path;
            run_result r = run_fwdeploy({gzipped ? "-x" : "-r", file, "-k", s.trusted_a});
            EXPECT_EQ(r.exit_code, 255);
            EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
            std::vector<std::string> reports = progress_lines(r.out);
            ASSERT_FALSE(reports.empty()) << r.out;
            EXPECT_NE(reports.back().find("(1/2)(state sub 4)"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("(2/2)"), std::string::npos) << r.out;
            EXPECT_EQ(r.leftover_processes, 0);
            s.m.expect_untouched();
        }
    }
}

TEST(SignedPackage, UnusableKeyFilesStopTheRunBeforeAnythingIsRead)
{
    signing_setup s;
    write_file(s.m.path, s.with(openssl_trailer(s.m.bytes, &s.a)));
    openssl_key p384 = make_openssl_key(s.keys, "p384", "ecparam", "P-384");
    openssl_key rsa = make_openssl_key(s.keys, "rsa", "rsa");
    std::string locked = s.keys.write("locked.pem", read_text(s.a.public_pem), 0);
    struct {
        std::string file;
        std::string why;
    } cases[] = {
        {s.keys.path("missing.pem"), "cannot be read: No such file or directory"},
        {locked, "cannot be read: Permission denied"},
        {p384.public_pem, "is unusable: block 1 is an EC P-384 key; only P-256 keys are supported"},
        {rsa.public_pem, "is unusable: block 1 is an RSA key; only EC P-256 keys are supported"},
        {s.a.private_pem, "is unusable: block 1 is a private key: install the public key only"},
        {s.keys.write("empty.pem", ""), "is unusable: no PUBLIC KEY block"},
        {s.keys.write("bad.pem", "-----BEGIN PUBLIC KEY-----\n!!!!\n-----END PUBLIC KEY-----\n"),
         "is unusable: block 1 is not valid PEM"},
        // Bytes after the SubjectPublicKeyInfo inside the PEM block: a zero, a
        // whole (empty) DER element.
        {s.keys.write("extra.pem", public_pem_with_extra_der(s.a.public_pem, std::string(1, '\0'))),
         "is unusable: block 1 is not a DER public key"},
        {s.keys.write("extra2.pem", public_pem_with_extra_der(s.a.public_pem, "\x30")),
         "is unusable: block 1 is not a DER public key"},
        {s.keys.write("extra3.pem", public_pem_with_extra_der(s.a.public_pem, std::string("\x30\x00", 2))),
         "is unusable: block 1 is not a DER public key"},
        // One field of the SubjectPublicKeyInfo damaged at a time: the kind of
        // key, the curve, the bit string's unused bits, the point's form and the
        // point itself.
        {s.keys.write("kind.pem", public_pem_with_der_bits(s.a.public_pem, 12, 0x03)),
         "is unusable: block 1 is a key of an unknown kind; only EC P-256 keys are supported"},
        {s.keys.write("curve.pem", public_pem_with_der_bits(s.a.public_pem, 22, 0x01)),
         "is unusable: block 1 is an EC key on an unsupported curve; only P-256 keys are "
         "supported"},
        {s.keys.write("unused.pem", public_pem_with_der_bits(s.a.public_pem, 25, 0x01)),
         "is unusable: block 1 is an EC P-256 key whose point is not written uncompressed"},
        {s.keys.write("form.pem", public_pem_with_der_bits(s.a.public_pem, 26, 0x06)),
         "is unusable: block 1 is an EC P-256 key whose point is not written uncompressed"},
        {s.keys.write("point.pem", public_pem_with_der_bits(s.a.public_pem, 90, 0x01)),
         "is unusable: block 1 is an EC P-256 key whose point is not on the curve"},
        // A good key after a bad one: the file is refused whole, never half trusted.
        {s.keys.write("mixed.pem", read_text(s.a.public_pem) + read_text(p384.public_pem)),
         "is unusable: block 2 is an EC P-384 key; only P-256 keys are supported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        if (c.file == locked && geteuid() == 0)
            continue;                 // root reads it all the same
        run_result r = run_fwdeploy({"-r", s.m.path, "-k", c.file});
        EXPECT_EQ(r.exit_code, 255);
        std::vector<std::string> lines = split_lines(r.out);
        ASSERT_EQ(lines.size(), 3u) << r.out;   // the banners and the reason: no engine
        EXPECT_EQ(lines[2], "Trusted key file " + c.file + " " + c.why);
        s.m.expect_untouched();
    }
}

TEST(SignedPackage, BoardsWithoutKeysApplyWhatTheyAlwaysDid)
{
    signing_setup s;
    auto run = [&](const std::vector<uint8_t>& bytes, const std::string& program = FWDEPLOY_BIN,
                   std::vector<std::string> extra = {}) {
        s.m.restore();
        write_file(s.m.path, bytes);
        run_options o;
        o.program = program;
        o.args = {"-r", s.m.path};
        o.args.insert(o.args.end(), extra.begin(), extra.end());
        return run_program(o);
    };
    // A package without trailer: the same lines as ever, padding or not.
    run_result plain = run(s.m.bytes);
    EXPECT_EQ(plain.exit_code, 0);
    run_result padded = run(s.with(std::vector<uint8_t>(5000, 0xFF)));
    EXPECT_EQ(padded.exit_code, 0);
    EXPECT_EQ(engine_lines(padded), engine_lines(plain));

    // A signed package: its digest is checked, its signature cannot be.
    std::vector<uint8_t> trailer = openssl_trailer(s.m.bytes, &s.a);
    for (const std::vector<uint8_t>& t : {trailer, openssl_trailer(s.m.bytes, nullptr)}) {
        run_result r = run(s.with(t));
        EXPECT_EQ(r.exit_code, 0) << r.out;
        std::vector<std::string> expected = engine_lines(plain);
        // Before the report that ends the verification pass.
        auto apply = std::find(expected.begin(), expected.end(), "(0%)(2/2)(state sub 3)");
        expected.insert(apply - 1, "Package digest OK, signature not checked (no trusted keys)");
        EXPECT_EQ(engine_lines(r), expected);
        EXPECT_EQ(read_text(s.m.target), "0123456789");
    }
    std::vector<uint8_t> damaged = s.with(trailer);
    damaged[s.m.bytes.size() + 20] ^= 0x80;
    run_result r = run(damaged);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_TRUE(has_line(r, "Package digest mismatch!")) << r.out;
    s.m.expect_untouched();

    // A board built to require signatures refuses everything while it has no
    // key file, and takes signed packages once it has one.
    r = run(s.m.bytes, FWDEPLOY_STRICT_BIN);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_TRUE(has_line(r, "No trusted keys: signed packages only!")) << r.out;
    s.m.expect_untouched();
    r = run(s.with(openssl_trailer(s.m.bytes, nullptr)), FWDEPLOY_STRICT_BIN);
    EXPECT_EQ(r.exit_code, 255);
    s.m.expect_untouched();
    r = run(s.with(trailer), FWDEPLOY_STRICT_BIN, {"-k", s.trusted_a});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(read_text(s.m.target), "0123456789");
}

TEST(SignedPackage, LaterPassesRunOnlyTheBytesThatWereVerified)
{
    // Each attacker gets a genuine signed package verified, then has other
    // bytes read in a later pass: none of them may reach the shell or a target,
    // and the end script of a package that changed never runs.
    signing_setup s;
    const std::string target = s.m.target;
    const std::string evil_mark = s.m.board.path("board/evil_ran");
    const std::string pkg = s.m.board.path("attack.bin");
    // 1 MiB of block data: the bytes changed at its end lie well past what the
    // tool (and gunzip before it) has read when the change is made.
    const std::vector<uint8_t> data = pattern_bytes(1 << 20, 77);
    auto signed_package = [&](const std::string& begin, const std::string& during) {
        bundle_package p;
        p.begin_script = begin;
        p.end_script = "touch " + s.m.end_mark + "\n";
        if (!during.empty())
            p.blocks.push_back(script_block("during", during));
        p.blocks.push_back(replace_block(target, data));
        std::vector<uint8_t> bytes = bundle_bytes(p);
        std::vector<uint8_t> trailer = openssl_trailer(bytes, &s.a);
        bytes.insert(bytes.end(), trailer.begin(), trailer.end());
        return bytes;
    };
    bundle_package evil;
    evil.begin_script = "touch " + evil_mark + "\n";
    evil.blocks.push_back(replace_block(target, bytes_of("not verified")));
    const std::vector<uint8_t> evil_bytes = bundle_bytes(evil);

    // %P: the package file (the .gz one for gzip); %S: its size less 2000.
    const std::string overwrite_end =
        "printf XXXXXXXXXXXXXXXX | dd of=%P bs=1 seek=%S conv=notrunc 2>/dev/null\n";
    // The leases that the script's ancestors (fwdeploy among them) hold, as
    // the kernel lists them.
    const std::string lease_list = s.m.board.path("leases");
    const std::string list_leases =
        "p=$$; while [ \"$p\" -gt 1 ]; do grep \"^[0-9]*: LEASE  *ACTIVE  *READ $p \" /proc/locks; "
        "p=$(awk '/^PPid:/ { print $2 }' /proc/$p/status); done > " + lease_list + "\n";
    struct attack {
        const char* what;
        bool fifo;
        std::string begin;            // the signed package's begin script
        std::string during;           // a script block before the big block, or none
        // Started with SIGIO blocked (a launcher that blocks signals and does not
        // unblock them for its children): the kernel then takes the lease away
        // once the writer has waited out the break time, and nobody says so.
        bool sigio_blocked;
        // Read through an overlay whose upper layer holds the package, which the
        // writer rewrites by its own path there: the kernel grants a lease on
        // the overlay's file, and no write to the upper file ever breaks it.
        bool overlay;
    };
    const std::vector<attack> attacks = {
        {"a FIFO that feeds another package after the first pass", true, "", "", false, false},
        {"rewritten in place by the begin script, time put back", false,
         "cp -p %P %P.time\n" + overwrite_end + "touch -r %P.time %P\n", "", false, false},
        {"rewritten in place while the apply pass reads it", false, "", list_leases + overwrite_end,
         false, false},
        {"rewritten in place while the apply pass reads it, SIGIO blocked", false, "",
         overwrite_end, true, false},
        {"rewritten in an overlay's upper layer while the apply pass reads it", false, "",
         list_leases + overwrite_end, false, true},
        // An open for reading with O_TRUNC empties the file and breaks no read lease.
        {"emptied by an open for reading while the apply pass reads it", false, "",
         "perl -MFcntl -e 'sysopen(my $f, $ARGV[0], O_RDONLY | O_TRUNC) or die $!' %P\n", false,
         false},
    };
    const std::string layers = s.m.board.path("layers");
    for (const attack& a : attacks) {
      for (std::string leases : {"granted", "refused"}) {
        // A FIFO is never leased; without a lease no signal is awaited, and an
        // overlay's file is read as any other that cannot be leased.
        if ((a.fifo || a.sigio_blocked || a.overlay) && leases == "refused")
            continue;
        for (bool gzipped : {false, true}) {
            SCOPED_TRACE(std::string(a.what) + (gzipped ? " (gzip)" : "") + ", leases " + leases);
            s.m.restore();
            remove_tree(evil_mark);
            remove_tree(lease_list);
            remove_tree(pkg);
            remove_tree(pkg + ".gz");
            remove_tree(layers);
            // Where the package is made and where the scripts write it (%P), and
            // the path the tool is given.
            std::string made = a.overlay ? layers + "/upper/attack.bin" : pkg;
            std::string file = gzipped ? made + ".gz" : made;
            std::string given = file;
            if (a.overlay) {
                for (const char* dir : {"", "/lower", "/upper", "/work", "/merged"})
                    ASSERT_EQ(::mkdir((layers + dir).c_str(), 0755), 0);
                given = layers + "/merged/" + file.substr(file.rfind('/') + 1);
            }
            // Scripts name the package and an offset that is only known once
            // the package is made: the size is the same either way.
            auto fill = [&](std::string text, uint64_t size) {
                text = std::regex_replace(text, std::regex("%P"), file);
                return std::regex_replace(text, std::regex("%S"), std::to_string(size - 2000));
            };
            uint64_t size = 0;
            for (int round = 0; round < 2; ++round) {
                write_file(made, signed_package(fill(a.begin, size), fill(a.during, size)));
                if (gzipped)
                    gzip_copy(made);
                size = read_file(file).size();
            }
            run_result r;
            if (a.fifo) {
                // The writer feeds the signed package, waits for the line that
                // names its key, then feeds an unsigned one to every later open.
                // It keeps on after a failed write: one that still finds the
                // first pass reading gets a broken pipe once that pass closes.
                std::string good = s.m.board.path("good.bin");
                std::string bad = s.m.board.path("bad.bin");
                write_file(good, read_file(file));
                write_file(bad, evil_bytes);
                if (gzipped)
                    write_file(bad, read_file(gzip_copy(bad)));
                remove_tree(file);
                ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
                run_options o;
                o.program = "bash";
                o.args = {"-c",
                          "set -o pipefail\n"
                          "cat \"$GOOD\" > \"$FIFO\" &\n"
                          "\"$FW\" \"$MODE\" \"$FIFO\" -k \"$KEY\" | while IFS= read -r line; do\n"
                          "  printf '%s\\n' \"$line\"\n"
                          "  case $line in 'Package signed by key '*)\n"
                          "    (while :; do cat \"$BAD\" > \"$FIFO\"; done) 2>/dev/null & ;;\n"
                          "  esac\n"
                          "done\n"};
                o.env = {{"GOOD", good}, {"BAD", bad}, {"FIFO", file}, {"FW", FWDEPLOY_BIN},
                         {"MODE", gzipped ? "-x" : "-r"}, {"KEY", s.trusted_a}};
                r = run_program(o);
                // The first pass did accept the genuine package.
                EXPECT_NE(r.out.find("Package signed by key "), std::string::npos) << r.out;
            } else {
                // Where the file can be leased, the kernel tells of the writer;
                // where it cannot, the content pin must see the change.
                run_options o;
                o.args = {gzipped ? "-x" : "-r", file, "-k", s.trusted_a};
                if (a.overlay) {
                    // Mounted in a mount namespace of the run's own, gone with it.
                    o.program = "unshare";
                    o.args = {"--mount", "--propagation", "private", "sh", "-c",
                              "mount -t overlay overlay -o \"lowerdir=$L/lower,upperdir=$L/upper,"
                              "workdir=$L/work\" \"$L/merged\" || exit 125\n"
                              "exec \"$FW\" \"$MODE\" \"$PKG\" -k \"$KEY\"\n"};
                    o.env = {{"L", layers}, {"FW", FWDEPLOY_BIN}, {"MODE", gzipped ? "-x" : "-r"},
                             {"PKG", given}, {"KEY", s.trusted_a}};
                }
                if (leases == "refused")
                    o.env = preloading(LEASE_SHIM_PATH);
                // The mask is inherited across fork and exec.
                sigset_t io, before;
                sigemptyset(&io);
                sigaddset(&io, SIGIO);
                if (a.sigio_blocked)
                    pthread_sigmask(SIG_BLOCK, &io, &before);
                r = run_program(o);
                if (a.sigio_blocked)
                    pthread_sigmask(SIG_SETMASK, &before, nullptr);
                EXPECT_EQ(r.leftover_processes, 0);
                if (a.overlay && r.exit_code == 125) {
                    std::cout << "No overlay can be mounted here: " << r.err;
                    continue;
                }
            }
            EXPECT_EQ(r.exit_code, 255) << r.out;
            EXPECT_TRUE(has_line(r, "Package " + given + " changed since it was verified!"))
                << r.out;
            // The failing pass reports the change itself, not a short read or a
            // damaged stream that follows from it.
            size_t changed_at = r.out.find(" changed since it was verified!");
            EXPECT_LT(changed_at, r.out.find("(state sub 6)")) << r.out;
            EXPECT_LT(changed_at, r.out.find("gunzip failed")) << r.out;
            EXPECT_EQ(r.out.find("OTA UPDATA STATUS"), std::string::npos) << r.out;
            EXPECT_FALSE(file_exists(evil_mark));
            EXPECT_FALSE(file_exists(s.m.end_mark));
            EXPECT_EQ(read_text(target), "old contents");
            // A lease only where it tells of every write: never on an overlay,
            // whose upper file is written by its own path; there the pin alone holds.
            if (file_exists(lease_list)) {
                EXPECT_EQ(read_text(lease_list).empty(), leases == "refused" || a.overlay)
                    << read_text(lease_list);
            }
            remove_tree(file);
            remove_tree(layers);
        }
      }
    }
}

// Storage under the package that answers a second read otherwise, with no
// write through this kernel to the file: a filesystem image on a loop device
// whose backing file the begin script changes, the file's cached pages then
// dropped. No lease breaks and the file looks the same, so only the content
// pin can tell; it must, for every package, signed or not.
TEST(SignedPackage, StorageThatReadsBackOtherBytesIsRefused)
{
    signing_setup s;
    const std::string target = s.m.target;
    sandbox_dir work("fwdeploy-storage");
    const std::string image = work.path("fs.img");
    const std::string offset_file = work.path("offset");   // written once the image is made
    const std::string mounted = work.path("mnt");
    ASSERT_EQ(::mkdir(mounted.c_str(), 0755), 0);
    // Incompressible, so that gzip stores it as it is and a change in the .gz
    // comes out of gunzip as other bytes, not as a broken stream.
    const std::vector<uint8_t> data = pattern_bytes(1 << 20, 91);
    for (const char* fs : {"ext4", "vfat"}) {
        for (bool keys : {true, false}) {
            for (bool gzipped : {false, true}) {
                SCOPED_TRACE(std::string(fs) + (keys ? ", signed" : ", unsigned") +
                             (gzipped ? ", gzip" : ""));
                s.m.restore();
                const std::string name = gzipped ? "pkg.bin.gz" : "pkg.bin";
                const std::string given = mounted + "/" + name;
                bundle_package p;
                p.begin_script = "printf XXXXXXXXXXXXXXXX | dd of=" + image +
                                 " bs=1 seek=$(cat " + offset_file +
                                 ") conv=notrunc status=none\n"
                                 "dd if=" + given + " iflag=nocache count=0 status=none\n";
                p.end_script = "touch " + s.m.end_mark + "\n";
                p.blocks.push_back(replace_block(target, data));
                std::vector<uint8_t> bytes = bundle_bytes(p);
                if (keys) {
                    std::vector<uint8_t> t = openssl_trailer(bytes, &s.a);
                    bytes.insert(bytes.end(), t.begin(), t.end());
                }
                // The image holds the one file: gzip stores this data as it is,
                // so a plain copy beside would hold the same bytes.
                sandbox_dir content("fwdeploy-fs");
                if (gzipped)
                    bytes = read_file(gzip_copy(work.write("pkg.bin", bytes)));
                std::string file = content.write(name, bytes);
                remove_tree(image);
                run_options make;
                if (std::string(fs) == "ext4") {
                    make.program = "mkfs.ext4";
                    make.args = {"-q", "-F", "-d", content.path(""), image, "16M"};
                } else {
                    make.program = "sh";
                    make.args = {"-c", "mkfs.vfat -C \"$1\" 16384 >/dev/null && "
                                       "mcopy -i \"$1\" \"$2\" ::" + name, "sh", image, file};
                }
                ASSERT_EQ(run_program(make).exit_code, 0) << make.program;
                // Where 16 bytes well inside the block data lie in the image.
                std::vector<uint8_t> packed = read_file(file);
                std::vector<uint8_t> fs_bytes = read_file(image);
                auto mark = packed.begin() + (long)packed.size() - 3000;
                auto at = std::search(fs_bytes.begin(), fs_bytes.end(), mark, mark + 16);
                ASSERT_NE(at, fs_bytes.end());
                work.write("offset", std::to_string(at - fs_bytes.begin()));

                run_options o;
                o.program = "unshare";
                o.args = {"--mount", "--propagation", "private", "sh", "-c",
                          "mount -o loop \"$IMG\" \"$MNT\" || exit 125\n"
                          "exec \"$FW\" \"$MODE\" \"$PKG\" $KEYS\n"};
                o.env = {{"IMG", image}, {"MNT", mounted}, {"FW", FWDEPLOY_BIN},
                         {"MODE", gzipped ? "-x" : "-r"}, {"PKG", given},
                         {"KEYS", keys ? "-k " + s.trusted_a : ""}};
                run_result r = run_program(o);
                if (r.exit_code == 125) {
                    std::cout << "No " << fs << " image can be mounted here: " << r.err;
                    continue;
                }
                EXPECT_EQ(r.exit_code, 255) << r.out << r.err;
                EXPECT_TRUE(has_line(r, "Package " + given + " changed since it was verified!"))
                    << r.out;
                EXPECT_EQ(r.out.find("OTA UPDATA STATUS"), std::string::npos) << r.out;
                EXPECT_FALSE(file_exists(s.m.end_mark));
                EXPECT_TRUE(read_text(target) == "old contents");
                EXPECT_EQ(r.leftover_processes, 0);
            }
        }
    }
}

// A FIFO is opened again for every pass. One that serves the same bytes each
// time holds a package like any file; one that serves others after the first
// is refused by the pin, whether the package is signed or not: one byte
// changed at the first, a middle or the last byte of a whole chunk or of the
// last, partial one.
TEST(SignedPackage, AFifoMustServeTheVerifiedBytesAtEveryOpen)
{
    signing_setup s;
    const std::vector<uint8_t> data = pattern_bytes(300 * 1024, 17);
    bundle_package p;
    p.end_script = "touch " + s.m.end_mark + "\n";
    p.blocks.push_back(replace_block(s.m.target, data));
    const std::vector<uint8_t> bare = bundle_bytes(p);
    // Where a later copy differs: -1 nowhere. Chunks 0 and 1 are whole, 2 is
    // the last and partial.
    const long chunk = PIN_CHUNK_SIZE, size = (long)bare.size();
    ASSERT_EQ(size / chunk, 2);
    const std::vector<long> every_place = {chunk, chunk + chunk / 2, 2 * chunk - 1,
                                           2 * chunk, (2 * chunk + size) / 2, size - 1};
    sandbox_dir work("fwdeploy-fifo");
    const std::string fifo = work.path("pkg");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct sigaction ignore = {}, before = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &before);
    for (bool keys : {true, false}) {
        for (bool gzipped : {false, true}) {
          // How the writer ends each copy after the first, which closes so that
          // the verification pass sees the end. A writer slow to close keeps
          // its end open and feeds the next pass through it: what a pass that
          // stopped early left in the pipe would then reach the next one. One
          // that closes late (`cat` in a loop, still on its way out) holds its
          // end until the next pass has opened, which joins it and sees its
          // close before the next copy. gunzip waits for the end of its input,
          // and so does the verification pass, so only the later passes of a
          // plain package can meet such writers.
          enum { CLOSES, KEEPS_OPEN, CLOSES_LATE };
          for (int ends : {CLOSES, KEEPS_OPEN, CLOSES_LATE}) {
            if (ends != CLOSES && gzipped)
                continue;
            // Every place for the plain package from a prompt writer, one for
            // the others.
            std::vector<long> places = {-1, size - 100};
            if (ends == CLOSES && !gzipped)
                places.insert(places.end(), every_place.begin(), every_place.end());
            for (long place : places) {
                const bool same = place < 0;
                std::vector<uint8_t> other_bare = bare;
                if (!same)
                    other_bare[(size_t)place] ^= 0x20;   // its checksum aside
                SCOPED_TRACE(std::string(keys ? "signed" : "unsigned") + (gzipped ? ", gzip" : "") +
                             (ends == KEEPS_OPEN    ? ", slow to close"
                              : ends == CLOSES_LATE ? ", closes late"
                                                    : "") +
                             (same ? ", the same bytes" : ", byte " + std::to_string(place) +
                                                              " changed"));
                s.m.restore();
                remove_tree(s.m.end_mark);
                // One trailer for both: a signature is new at every signing.
                const std::vector<uint8_t> trailer =
                    keys ? openssl_trailer(bare, &s.a) : std::vector<uint8_t>{};
                auto packed = [&](std::vector<uint8_t> bytes) {
                    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
                    if (gzipped)
                        bytes = read_file(gzip_copy(work.write("plain", bytes)));
                    return bytes;
                };
                const std::vector<uint8_t> first = packed(bare);
                const std::vector<uint8_t> later = packed(other_bare);
                // One whole copy per open. The writer closes after it, so that
                // the verification pass sees the end, and opens again once the
                // reader has closed its end (inotify tells). The kernel tells
                // of that close before the reader is gone, so an open right
                // then may still join the pass that is going.
                unique_fd events(inotify_init1(IN_CLOEXEC));
                ASSERT_GE(inotify_add_watch(events.fd, fifo.c_str(),
                                            IN_CLOSE_NOWRITE | IN_OPEN | IN_ACCESS),
                          0);
                std::atomic<bool> stop{false};
                // Waits for the next event of `mask`, in the order they came;
                // false once the test is over.
                std::deque<uint32_t> seen;
                auto wait_for = [&](uint32_t mask) {
                    alignas(inotify_event) char buffer[4096];
                    for (;;) {
                        while (!seen.empty()) {
                            uint32_t event = seen.front();
                            seen.pop_front();
                            if (event & mask)
                                return true;
                        }
                        // Woken now and then to see whether the test is over.
                        pollfd ready{events.fd, POLLIN, 0};
                        while (!stop && poll(&ready, 1, 20) == 0) {
                        }
                        if (stop)
                            return false;
                        ssize_t n = read(events.fd, buffer, sizeof buffer);
                        if (n <= 0)
                            return false;
                        for (ssize_t at = 0; at < n;) {
                            const inotify_event* e = reinterpret_cast<inotify_event*>(buffer + at);
                            seen.push_back(e->mask);
                            at += (ssize_t)sizeof *e + e->len;
                        }
                    }
                };
                std::thread writer([&] {
                    for (int opens = 0; !stop; ++opens) {
                        unique_fd w(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
                        if (w.fd < 0 || stop)
                            return;
                        // Room for a whole copy: a write either puts all of it
                        // in the pipe or, where the open joined a pass that was
                        // going, none (the pipe has no reader left). Nothing is
                        // ever cut in the middle, whoever comes when.
                        if (fcntl(w.fd, F_SETPIPE_SZ, 1 << 20) < (int)later.size())
                            return;
                        const std::vector<uint8_t>& bytes = opens == 0 ? first : later;
                        ssize_t n = write(w.fd, bytes.data(), bytes.size());
                        if (n < 0 && errno == EPIPE) {
                            --opens;
                            continue;
                        }
                        // Held until this copy's reader has read from it: closed
                        // any sooner, with the open joined to a pass that was
                        // going, the copy would go with the pipe.
                        if (n != (ssize_t)bytes.size() || !wait_for(IN_ACCESS))
                            return;
                        if (ends == KEEPS_OPEN && opens > 0) {
                            // The same descriptor feeds every later pass: a copy
                            // each time the reader has closed and the next opened.
                            while (wait_for(IN_CLOSE_NOWRITE) && wait_for(IN_OPEN)) {
                                if (write(w.fd, bytes.data(), bytes.size()) < 0 && errno != EPIPE)
                                    return;
                            }
                            return;
                        }
                        // Held until the next pass has joined it, which then
                        // meets its close.
                        if (ends == CLOSES_LATE && opens > 0 &&
                            (!wait_for(IN_CLOSE_NOWRITE) || !wait_for(IN_OPEN)))
                            return;
                        w.reset();
                        if (!wait_for(IN_CLOSE_NOWRITE))
                            return;
                    }
                });
                run_options o;
                o.program = FWDEPLOY_BIN;
                o.args = {gzipped ? "-x" : "-r", fifo};
                if (keys)
                    o.args.insert(o.args.end(), {"-k", s.trusted_a});
                run_result r = run_program(o);
                stop = true;
                unique_fd wake(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
                writer.join();
                if (same) {
                    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
                    EXPECT_TRUE(read_file(s.m.target) == data);
                    EXPECT_TRUE(file_exists(s.m.end_mark));
                } else {
                    EXPECT_EQ(r.exit_code, 255) << r.out;
                    EXPECT_TRUE(has_line(r, "Package " + fifo + " changed since it was verified!"))
                        << r.out;
                    EXPECT_EQ(read_text(s.m.target), "old contents");
                    EXPECT_FALSE(file_exists(s.m.end_mark));
                }
                EXPECT_EQ(r.leftover_processes, 0);
            }
          }
        }
    }
    sigaction(SIGPIPE, &before, nullptr);
}

// The record of what the verification pass read is the only memory the pin
// asks for as it goes: when the kernel refuses it, every later pass is refused
// at its open, before the begin script or any block, never half-way through.
TEST(SignedPackage, APinWithoutMemoryForItsRecordRefusesEveryLaterPass)
{
    signing_setup s;
    const std::string note = s.m.board.path("mmap.note");
    for (bool keys : {true, false}) {
        for (bool gzipped : {false, true}) {
            SCOPED_TRACE(std::string(keys ? "signed" : "unsigned") + (gzipped ? ", gzip" : ""));
            s.m.restore();
            remove_tree(note);
            write_file(s.m.path, keys ? s.with(openssl_trailer(s.m.bytes, &s.a)) : s.m.bytes);
            run_options o;
            o.program = FWDEPLOY_BIN;
            std::string given = gzipped ? gzip_copy(s.m.path) : s.m.path;
            o.args = {gzipped ? "-x" : "-r", given};
            if (keys)
                o.args.insert(o.args.end(), {"-k", s.trusted_a});
            o.env = preloading(FAIL_SHIM_PATH);
            o.env.insert(o.env.end(), {{"FWDEPLOY_FAIL_CALL", "mmap"},
                                       {"FWDEPLOY_FAIL_ERRNO", std::to_string(ENOMEM)},
                                       {"FWDEPLOY_FAIL_NOTE", note}});
            run_result r = run_program(o);
            EXPECT_EQ(read_text(note), "mmap anonymous\n") << "the record was never asked for";
            EXPECT_EQ(r.exit_code, 255) << r.out;
            EXPECT_TRUE(has_line(r, "Package " + given +
                                        " cannot be held to its verified bytes: out of memory"))
                << r.out;
            EXPECT_EQ(r.out.find("(2/2)"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("OTA UPDATA STATUS"), std::string::npos) << r.out;
            s.m.expect_untouched();
            EXPECT_EQ(r.leftover_processes, 0);
        }
    }
}

namespace {

// Runs `program` on the marked package written as `bytes`, gzipped or not,
// with the board options `extra`.
run_result run_on(const marked_package& m, const std::vector<uint8_t>& bytes, bool gzipped,
                  const std::vector<std::string>& extra,
                  const std::string& program = FWDEPLOY_BIN)
{
    write_file(m.path, bytes);
    run_options o;
    o.program = program;
    o.args = {gzipped ? "-x" : "-r", gzipped ? gzip_copy(m.path) : m.path};
    o.args.insert(o.args.end(), extra.begin(), extra.end());
    return run_program(o);
}

// A refusal in the verification pass: exit 255, the reason, a single failure
// report ending stage 1, and nothing run or written.
void expect_policy_refusal(const marked_package& m, const run_result& r, const std::string& line)
{
    EXPECT_EQ(r.exit_code, 255) << r.out;
    EXPECT_TRUE(has_line(r, line)) << r.out;
    std::vector<std::string> reports = progress_lines(r.out);
    ASSERT_FALSE(reports.empty()) << r.out;
    EXPECT_NE(reports.back().find("(1/2)(state sub 4)"), std::string::npos) << r.out;
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                            [](const std::string& l) {
                                return l.find("(state sub 4)") != std::string::npos;
                            }),
              1)
        << r.out;
    EXPECT_EQ(r.out.find("(2/2)"), std::string::npos) << r.out;
    EXPECT_EQ(r.leftover_processes, 0);
    m.expect_untouched();
}

}  // namespace

TEST(BoardPolicy, PackagesForOtherBoardsOrOlderVersionsAreRefused)
{
    signing_setup s;
    struct policy_case {
        const char* what;
        std::string attributes;
        std::vector<std::string> board;   // -c and -m
        std::string line;                 // the board's verdict
        bool accepted;
    };
    const std::vector<std::string> b = {"-c", "board-b"};
    const std::vector<policy_case> cases = {
        {"wrong board", "compatible=board-a\nversion=2\n", b,
         "Package is made for board-a, not for this board (board-b)!", false},
        {"several values, none this board", "compatible=board-a\ncompatible=board-c\n", b,
         "Package is made for board-a, board-c, not for this board (board-b)!", false},
        {"a value that only begins like the board's", "compatible=board-bb\ncompatible=board\n", b,
         "Package is made for board-bb, board, not for this board (board-b)!", false},
        {"several values, one this board", "compatible=board-a\ncompatible=board-b\nversion=2\n", b,
         "Package version 2, compatible with board-b", true},
        {"no compatible value", "version=2\ndescription=for every board\n", b,
         "Package names no compatible board!", false},
        {"older", "version=1.9\n", {"-m", "1.10"},
         "Package version 1.9 is older than the installed 1.10!", false},
        {"older by a missing field", "version=1.2\n", {"-m", "1.2.0.1"},
         "Package version 1.2 is older than the installed 1.2.0.1!", false},
        {"no version", "compatible=board-b\n", {"-m", "1"},
         "Package version none is older than the installed 1!", false},
        {"the same version, written otherwise", "version=1.2\n", {"-m", "1.2.0"},
         "Package version 1.2, compatibility not checked", true},
        {"newer", "version=2\n", {"-m", "1.99.99"},
         "Package version 2, compatibility not checked", true},
        {"newer by numbers past 32 bits", "version=1.99999999999999999999\n",
         {"-m", "1.99999999999999999998"},
         "Package version 1.99999999999999999999, compatibility not checked", true},
        {"both checks", "x-build=42\ncompatible=board-b\nversion=3.0\n",
         {"-c", "board-b", "-m", "2.7"}, "Package version 3.0, compatible with board-b", true},
        {"the right board, too old", "compatible=board-b\nversion=2.6\n",
         {"-c", "board-b", "-m", "2.7"}, "Package version 2.6 is older than the installed 2.7!",
         false},
        {"a board without policy", "compatible=board-a\nversion=1\nx-unknown=kept\n", {},
         "Package version 1, compatibility not checked", true},
        {"slots on a board without a slot table", "version=2\nrequires=slots\n", {},
         "Package requires slots, which this board does not have!", false},
        {"a need no board knows, for the right board", "compatible=board-b\nrequires=frobs\n", b,
         "Package requires frobs, which this board does not have!", false},
    };
    for (const policy_case& c : cases) {
        for (bool keyed : {false, true}) {
            std::vector<uint8_t> bytes =
                s.with(openssl_trailer(s.m.bytes, keyed ? &s.a : nullptr, c.attributes));
            for (bool gzipped : {false, true}) {
                SCOPED_TRACE(std::string(c.what) + (keyed ? ", signed" : ", no keys") +
                             (gzipped ? ", gzip" : ", plain"));
                std::vector<std::string> options = c.board;
                if (keyed)
                    options.insert(options.end(), {"-k", s.trusted_a});
                s.m.restore();
                run_result r = run_on(s.m, bytes, gzipped, options);
                if (!c.accepted) {
                    expect_policy_refusal(s.m, r, c.line);
                    continue;
                }
                EXPECT_EQ(r.exit_code, 0) << r.out;
                EXPECT_TRUE(has_line(r, c.line)) << r.out;
                EXPECT_EQ(read_text(s.m.target), "0123456789");
                EXPECT_TRUE(file_exists(s.m.end_mark));
            }
        }
    }

    // Packages without attributes on a board with a policy: nothing to match.
    for (const std::vector<uint8_t>& bytes :
         {s.m.bytes, s.with(openssl_trailer(s.m.bytes, nullptr))}) {
        s.m.restore();
        expect_policy_refusal(s.m, run_on(s.m, bytes, false, b),
                              "Package names no compatible board!");
        expect_policy_refusal(s.m, run_on(s.m, bytes, false, {"-m", "0"}),
                              "Package version none is older than the installed 0!");
    }

    // The attributes are signed: changed after signing, the signature fails.
    std::vector<uint8_t> trailer =
        openssl_trailer(s.m.bytes, &s.a, "compatible=board-a\nversion=1\n");
    std::vector<uint8_t> moved = s.with(trailer);
    moved[s.m.bytes.size() + 88 + strlen("compatible=board-")] = 'b';
    expect_policy_refusal(s.m, run_on(s.m, moved, false, {"-c", "board-b", "-k", s.trusted_a}),
                          "Package signature is bad!");

    // A board built to take newer versions only refuses the installed one too.
    const std::vector<uint8_t> v12 = s.with(openssl_trailer(s.m.bytes, nullptr, "version=1.2\n"));
    s.m.restore();
    expect_policy_refusal(s.m, run_on(s.m, v12, false, {"-m", "1.2.0"}, FWDEPLOY_NEWER_ONLY_BIN),
                          "Package version 1.2 is the installed one; this board takes newer "
                          "versions only!");
    run_result r = run_on(s.m, v12, false, {"-m", "1.1.9"}, FWDEPLOY_NEWER_ONLY_BIN);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(read_text(s.m.target), "0123456789");
}

TEST(BoardPolicy, AttributesOutsideTheRulesAreAMalformedTrailer)
{
    signing_setup s;
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"too large", "description=" + std::string(4096 - 13 + 1, 'x') + "\n"},
        {"an upper-case key", "Version=1\n"},
        {"an underscore in a key", "build_id=1\n"},
        {"an empty key", "=1\n"},
        {"no '='", "compatible\n"},
        {"a last line without newline", "compatible=board-a"},
        {"letters in a version", "version=1.2a\n"},
        {"an empty version field", "version=1..2\n"},
        {"a version ending in a dot", "version=1.\n"},
        {"an empty version", "version=\n"},
        {"a negative version", "version=-1\n"},
        {"two versions", "version=1\nversion=2\n"},
        {"two descriptions", "description=a\ndescription=b\n"},
        {"two descriptions apart", "description=a\ncompatible=x\ndescription=a\n"},
        {"a value that is not UTF-8", "description=caf\xe9\n"},
        {"an overlong UTF-8 form", "description=\xc0\xaf\n"},
        {"an overlong 2-byte form of U+007F", "description=\xc1\xbf\n"},
        {"an overlong 3-byte form", "description=\xe0\x80\xaf\n"},
        {"an overlong 3-byte form of U+07FF", "description=\xe0\x9f\xbf\n"},
        {"an overlong 4-byte form", "description=\xf0\x80\x80\xaf\n"},
        {"an overlong 4-byte form of U+FFFF", "description=\xf0\x8f\xbf\xbf\n"},
        {"the surrogate U+D800", "description=a\xed\xa0\x80\n"},
        {"the surrogate U+DFFF", "description=\xed\xbf\xbf\n"},
        {"U+110000, past U+10FFFF", "description=\xf4\x90\x80\x80\n"},
        {"a lead byte past U+10FFFF", "description=\xf5\x80\x80\x80\n"},
        {"a 5-byte lead", "description=\xf8\x88\x80\x80\x80\n"},
        // Past 0xf7 no byte leads a sequence, though its low bits would make one
        // of U+50000 or U+FFFFF.
        {"the lead byte 0xf9", "description=\xf9\x90\x80\x80\n"},
        {"the lead byte 0xfb", "description=\xfb\xbf\xbf\xbf\n"},
        {"the byte 0xff", "description=a\xff" "b\n"},
        {"a lone continuation byte", "description=\x80\n"},
        {"a sequence cut by the line end", "description=\xe2\x82\n"},
        {"a sequence cut by the block end", "description=\xf0\x9f\x98"},
        {"a NUL in a value", std::string("description=a\0b\n", 16)},
        {"a control character", "description=\x1b[2J\n"},
        {"0x01 in a value", "description=a\x01" "b\n"},
        {"0x1f at the end of a value", "description=ab\x1f\n"},
        {"0x7f (DEL) in a value", "description=a\x7f" "b\n"},
        {"0x7f (DEL) at the end of a value", "compatible=board-b\x7f\n"},
        {"a carriage return in a value", "compatible=board\rb\n"},
        {"a carriage return at the end of a value", "compatible=board-b\r\n"},
        {"a line feed in a value: a line without '='", "description=Fixes\nCVE-1\n"},
        {"a line feed at the end of a value: an empty line", "description=Fixes\n\n"},
        {"the C1 control U+0085, a line break on some terminals", "description=a\xc2\x85" "b\n"},
        {"U+0080, the first C1 control", "description=\xc2\x80\n"},
        {"U+009F, the last C1 control", "compatible=board-b\xc2\x9f\n"},
        {"the line separator U+2028", "description=a\xe2\x80\xa8" "b\n"},
        {"the paragraph separator U+2029", "description=\xe2\x80\xa9\n"},
        {"the bidirectional embedding U+202A", "description=\xe2\x80\xaa" "abc\n"},
        {"the right-to-left override U+202E", "compatible=board-b\xe2\x80\xae\n"},
        {"the isolate U+2066", "description=\xe2\x81\xa6" "a\n"},
        {"the end of an isolate U+2069", "description=a\xe2\x81\xa9\n"},
        {"0x01 in a version", "version=1\x01\n"},
    };
    for (const auto& c : cases) {
        for (bool keyed : {false, true}) {
            SCOPED_TRACE(std::string(c.first) + (keyed ? ", signed" : ", no keys"));
            std::vector<uint8_t> bytes =
                s.with(openssl_trailer(s.m.bytes, keyed ? &s.a : nullptr, c.second));
            std::vector<std::string> options;
            if (keyed)
                options = {"-k", s.trusted_a};
            expect_policy_refusal(s.m, run_on(s.m, bytes, false, options),
                                  "Package trailer is malformed!");
        }
    }
    // At the limit, in other scripts and with '=' in a value, all is well.
    std::string full = "description=Fix für Ö=";
    full += std::string(4096 - full.size() - 1, 'x') + "\n";
    ASSERT_EQ(full.size(), 4096u);
    run_result r = run_on(s.m, s.with(openssl_trailer(s.m.bytes, &s.a, full)), false,
                          {"-k", s.trusted_a});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(has_line(r, "Package version none, compatibility not checked")) << r.out;
    // Each rule's edge on the side it takes: tab, space and '~' around the
    // control characters, U+00A0 after the C1 controls, the least and the
    // greatest code point of every length, the code points beside the
    // surrogates, the separators and the bidirectional controls, and keys that may repeat.
    const std::string edges = "description=\t ~\xc2\xa0\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf"
                              "\xee\x80\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"
                              "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\t\n"
                              "compatible=board-a\ncompatible=board-b\nx-note=1\nx-note=2\n";
    s.m.restore();
    r = run_on(s.m, s.with(openssl_trailer(s.m.bytes, &s.a, edges)), false,
               {"-k", s.trusted_a, "-c", "board-b"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(has_line(r, "Package version none, compatible with board-b")) << r.out;
}

namespace {

// The compatible and version files of the board build that reads them, which
// only the test below writes; removed before and after it.
struct board_files {
    std::string dir = std::string(TEST_BINARY_DIR) + "/board-files";
    std::string compatible = dir + "/compatible";
    std::string version = dir + "/version";
    board_files() { remove_tree(dir); }
    ~board_files() { remove_tree(dir); }
    void write(const std::string& path, const std::string& text) const
    {
        std::filesystem::create_directories(dir);
        write_file(path, bytes_of(text));
    }
};

}  // namespace

TEST(BoardPolicy, BoardFilesAreReadBeforeThePackage)
{
    signing_setup s;
    board_files files;
    const std::vector<uint8_t> bytes =
        s.with(openssl_trailer(s.m.bytes, nullptr, "compatible=board-b\nversion=1.5\n"));

    // The first line of each file counts; the options go before the files.
    files.write(files.compatible, "board-a\nboard-b\n");
    expect_policy_refusal(s.m, run_on(s.m, bytes, false, {}, FWDEPLOY_BOARD_FILES_BIN),
                          "Package is made for board-b, not for this board (board-a)!");
    files.write(files.version, "1.6\n1.0\n");
    run_result r = run_on(s.m, bytes, false, {"-c", "board-b"}, FWDEPLOY_BOARD_FILES_BIN);
    expect_policy_refusal(s.m, r, "Package version 1.5 is older than the installed 1.6!");
    r = run_on(s.m, bytes, false, {"-c", "board-b", "-m", "1.5"}, FWDEPLOY_BOARD_FILES_BIN);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(has_line(r, "Package version 1.5, compatible with board-b")) << r.out;
    s.m.restore();
    files.write(files.compatible, "board-b");   // no line feed at all
    files.write(files.version, "1.4\n");
    r = run_on(s.m, bytes, false, {}, FWDEPLOY_BOARD_FILES_BIN);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(has_line(r, "Package version 1.5, compatible with board-b")) << r.out;
    // Files written on another system, or by an editor that leaves blanks:
    // neither the carriage return nor the blanks before it are part of the value.
    for (const auto& [compatible, version] :
         {std::pair<std::string, std::string>{"board-b\r\n", "1.4\r\n"},
          {"board-b \t\r\nboard-a\n", "1.4 \n"},
          {"board-b\t", "1.4\r"}}) {
        SCOPED_TRACE(compatible + "|" + version);
        s.m.restore();
        files.write(files.compatible, compatible);
        files.write(files.version, version);
        r = run_on(s.m, bytes, false, {}, FWDEPLOY_BOARD_FILES_BIN);
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_TRUE(has_line(r, "Package version 1.5, compatible with board-b")) << r.out;
    }
    // A first line as long as the board takes, with its line feed or without.
    const std::string longest(254, 'w');
    for (const std::string& text : {longest + "\n", longest}) {
        s.m.restore();
        files.write(files.compatible, text);
        files.write(files.version, "1.4\n");
        expect_policy_refusal(s.m, run_on(s.m, bytes, false, {}, FWDEPLOY_BOARD_FILES_BIN),
                              "Package is made for board-b, not for this board (" + longest +
                                  ")!");
    }
    s.m.restore();
    files.write(files.compatible, "board-a\r\n");
    files.write(files.version, "1.6\r\n");
    expect_policy_refusal(s.m, run_on(s.m, bytes, false, {}, FWDEPLOY_BOARD_FILES_BIN),
                          "Package is made for board-b, not for this board (board-a)!");
    expect_policy_refusal(s.m, run_on(s.m, bytes, false, {"-c", "board-b"},
                                      FWDEPLOY_BOARD_FILES_BIN),
                          "Package version 1.5 is older than the installed 1.6!");

    // What the board cannot make sense of stops the run before the package is
    // read: only the banners and the reason are printed.
    struct unusable {
        const char* what;
        std::string compatible;           // file contents; "/" makes a directory
        std::string version;
        std::vector<std::string> options;
        std::string line;
        std::string denied = "";          // a file whose open fails with EACCES
    };
    const std::string too_long(256, 'v');
    const std::vector<unusable> cases = {
        {"a version file that is no version", "board-b\n", "v1.6\n", {},
         "Installed version v1.6 in " + files.version + " is not a valid version"},
        {"an option that is no version", "board-b\n", "1.6\n", {"-m", "1.6-rc1"},
         "Installed version 1.6-rc1 is not a valid version"},
        {"an empty option", "board-b\n", "1.6\n", {"-m", ""}, "Installed version is empty"},
        {"a version file that is a directory", "board-b\n", "/", {},
         "Installed version file " + files.version + " cannot be read: Is a directory"},
        {"a compatible file that is a directory", "/", "1.0\n", {},
         "Board compatible file " + files.compatible + " cannot be read: Is a directory"},
        {"an empty version file", "board-b\n", "", {},
         "Installed version file " + files.version + " has an empty first line"},
        {"an empty compatible file", "\nboard-b\n", "1.0\n", {},
         "Board compatible file " + files.compatible + " has an empty first line"},
        {"a first line that is too long", too_long + "\n", "1.0\n", {},
         "Board compatible file " + files.compatible +
             " has a first line longer than 254 characters"},
        {"a first line one character too long, without its line feed", std::string(255, 'v'),
         "1.0\n", {},
         "Board compatible file " + files.compatible +
             " has a first line longer than 254 characters"},
        {"a first line one character too long: with its line feed, the buffer's size", "1.0\n",
         std::string(255, '1') + "\n", {},
         "Installed version file " + files.version + " has a first line longer than 254 characters"},
        {"a version file of blanks and a carriage return", "board-b\n", " \t\r\n1.0\n", {},
         "Installed version file " + files.version + " has an empty first line"},
        {"a compatible file of a carriage return", "\r\n", "1.0\n", {},
         "Board compatible file " + files.compatible + " has an empty first line"},
        // Root reads every file: the failing-call stand-in refuses the open.
        {"a version file that may not be read", "board-b\n", "1.0\n", {},
         "Installed version file " + files.version + " cannot be read: Permission denied",
         files.version},
        {"a compatible file that may not be read", "board-b\n", "1.0\n", {},
         "Board compatible file " + files.compatible + " cannot be read: Permission denied",
         files.compatible},
        {"a version file that may not be read, with -c given", "board-b\n", "1.0\n",
         {"-c", "board-b"},
         "Installed version file " + files.version + " cannot be read: Permission denied",
         files.version},
    };
    s.m.restore();
    for (const unusable& c : cases) {
        SCOPED_TRACE(c.what);
        remove_tree(files.dir);
        for (const auto& [path, text] : {std::pair{files.compatible, c.compatible},
                                          std::pair{files.version, c.version}}) {
            if (text == "/")
                std::filesystem::create_directories(path);
            else
                files.write(path, text);
        }
        if (c.denied.empty()) {
            r = run_on(s.m, bytes, false, c.options, FWDEPLOY_BOARD_FILES_BIN);
        } else {
            write_file(s.m.path, bytes);
            run_options o;
            o.program = FWDEPLOY_BOARD_FILES_BIN;
            o.args = {"-r", s.m.path};
            o.args.insert(o.args.end(), c.options.begin(), c.options.end());
            o.env = preloading(FAIL_SHIM_PATH);
            o.env.insert(o.env.end(), {{"FWDEPLOY_FAIL_CALL", "open"},
                                       {"FWDEPLOY_FAIL_MATCH", c.denied + "$"},
                                       {"FWDEPLOY_FAIL_ERRNO", std::to_string(EACCES)},
                                       {"FWDEPLOY_FAIL_NOTE", files.dir + "/../board-files.note"}});
            remove((files.dir + "/../board-files.note").c_str());
            r = run_program(o);
            EXPECT_EQ(read_text(files.dir + "/../board-files.note"), "open " + c.denied + "\n")
                << "the open was not refused";
            remove((files.dir + "/../board-files.note").c_str());
        }
        EXPECT_EQ(r.exit_code, 255);
        std::vector<std::string> lines = split_lines(r.out);
        ASSERT_EQ(lines.size(), 3u) << r.out;
        EXPECT_EQ(lines[2], c.line);
        s.m.expect_untouched();
    }
}

TEST(BoardPolicy, ScriptsSeeThePackageAttributes)
{
    test_board board;
    // Each script records the three variables, telling an unset one from an empty one.
    auto record = [&](const std::string& name) {
        return "printf '%s|%s|%s' \"${FWDEPLOY_VERSION-unset}\" \"${FWDEPLOY_COMPATIBLE-unset}\" "
               "\"${FWDEPLOY_DESCRIPTION-unset}\" > " +
               board.path(name) + "\n";
    };
    bundle_package p;
    p.begin_script = record("begin.env");
    p.end_script = record("end.env");
    p.blocks.push_back(script_block("block.sh", record("block.env")));
    const std::vector<uint8_t> bytes = bundle_bytes(p);
    const std::string path = board.path("pkg.bin");
    struct attributes_case {
        const char* what;
        std::vector<uint8_t> tail;
        std::string seen;
    };
    const std::vector<attributes_case> cases = {
        {"all three", openssl_trailer(bytes, nullptr,
                                      "compatible=board-a\nversion=2.1\nx-other=1\n"
                                      "description=Fix für $HOME; `id`\ncompatible=board-b\n"),
         "2.1|board-a\nboard-b|Fix für $HOME; `id`"},
        {"joined values whose first is one character", openssl_trailer(bytes, nullptr,
                                      "compatible=a\ncompatible=b\ncompatible=board-c\n"),
         "|a\nb\nboard-c|"},
        {"none of them", openssl_trailer(bytes, nullptr, "x-other=1\n"), "||"},
        {"a version 2 trailer", openssl_trailer(bytes, nullptr), "||"},
        {"no trailer", {}, "||"},
    };
    for (const attributes_case& c : cases) {
        for (bool gzipped : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (gzipped ? ", gzip" : ", plain"));
            std::vector<uint8_t> package = bytes;
            package.insert(package.end(), c.tail.begin(), c.tail.end());
            write_file(path, package);
            run_options o;
            o.args = {gzipped ? "-x" : "-r", gzipped ? gzip_copy(path) : path};
            // Values the tool was started with never reach the scripts as the package's.
            o.env = {{"FWDEPLOY_VERSION", "9.9"}, {"FWDEPLOY_DESCRIPTION", "stale"}};
            run_result r = run_program(o);
            EXPECT_EQ(r.exit_code, 0) << r.out;
            for (const char* name : {"begin.env", "block.env", "end.env"})
                EXPECT_EQ(read_text(board.path(name)), c.seen) << name;
        }
    }
}

namespace {

// Every file under `root` with its mode and contents.
std::map<std::string, std::string> snapshot(const std::string& root)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        std::string key = entry.path().string() + " " +
                          std::to_string((int)entry.symlink_status().permissions());
        files[key] = entry.is_regular_file() ? read_text(entry.path().string()) : "";
    }
    return files;
}

}  // namespace

TEST(CheckOnly, ChecksEverythingAndTouchesNothing)
{
    signing_setup s;
    const std::vector<uint8_t> good =
        s.with(openssl_trailer(s.m.bytes, &s.a, "compatible=board-b\nversion=2\n"));
    std::vector<uint8_t> damaged = good;
    damaged.at(s.m.bytes.size() - 288 - 8) ^= 1;  // the data of block 0
    struct check_case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::vector<std::string> board;
        std::string line;
        int exit_code;
    };
    const std::vector<check_case> cases = {
        {"a good package", good, {"-c", "board-b", "-m", "1"},
         "Package version 2, compatible with board-b", 0},
        {"the wrong board", good, {"-c", "board-a"},
         "Package is made for board-b, not for this board (board-a)!", 255},
        {"an older version", good, {"-m", "2.0.1"},
         "Package version 2 is older than the installed 2.0.1!", 255},
        {"damaged data", damaged, {}, "Block 0 checksum error! head", 255},
        {"not signed", s.with(openssl_trailer(s.m.bytes, nullptr, "version=2\n")), {},
         "Package is not signed!", 255},
    };
    for (const check_case& c : cases) {
        for (bool gzipped : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (gzipped ? ", gzip" : ", plain"));
            std::vector<std::string> options = c.board;
            options.insert(options.end(), {"-k", s.trusted_a, "-n"});
            write_file(s.m.path, c.bytes);
            std::string file = gzipped ? gzip_copy(s.m.path) : s.m.path;
            std::map<std::string, std::string> before = snapshot(s.m.board.box.root());
            run_options o;
            o.args = {gzipped ? "-x" : "-r", file};
            o.args.insert(o.args.end(), options.begin(), options.end());
            run_result r = run_program(o);
            EXPECT_EQ(r.exit_code, c.exit_code) << r.out;
            EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
            EXPECT_EQ(has_line(r, "Package checked: it would be accepted; nothing was run or "
                                  "written"),
                      c.exit_code == 0)
                << r.out;
            EXPECT_EQ(r.out.find("(2/2)"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("begin scripts"), std::string::npos) << r.out;
            EXPECT_EQ(r.leftover_processes, 0);
            EXPECT_TRUE(snapshot(s.m.board.box.root()) == before);
        }
    }
}
