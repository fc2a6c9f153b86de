// fwbundle, the host packaging tool, held against the board tool it packs for:
// manifests in, packages out, and fwdeploy's verdict on the bytes it wrote.
#include <gtest/gtest.h>

#ifdef FWBUNDLE_BIN

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "backends/trust.h"
#include "bundle/writer.h"
#include "engine/trailer.h"
#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"

namespace {

// A file of `size` bytes that takes no room: only its size is ever looked at.
void make_sparse(const std::string& path, uint64_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, (off_t)size), 0);
    ::close(fd);
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t from, size_t length)
{
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + length);
}

void append_u32(std::vector<uint8_t>* to, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        to->push_back((uint8_t)(value >> (8 * i)));
}

// Standard output of a real tool (openssl, sha256sum, gunzip) that must succeed.
std::string tool_output(const std::string& program, const std::vector<std::string>& args)
{
    run_options options;
    options.program = program;
    options.args = args;
    run_result r = run_program(options);
    EXPECT_EQ(r.exit_code, 0) << program << ": " << r.err;
    return r.out;
}

std::string sha256_hex(const std::string& path)
{
    return tool_output("sha256sum", {path}).substr(0, 64);
}

std::vector<uint8_t> from_hex(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back((uint8_t)std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::vector<uint8_t> sha256_of(const std::string& path)
{
    return from_hex(sha256_hex(path));
}

// The uncompressed bytes of a package, plain or gzip.
std::vector<uint8_t> unpacked(const std::string& path)
{
    std::vector<uint8_t> bytes = read_file(path);
    if (bytes.size() < 2 || bytes[0] != 0x1f || bytes[1] != 0x8b)
        return bytes;
    return bytes_of(tool_output("gunzip", {"-c", path}));
}

// fwbundle without a controlling terminal: OpenSSL then asks for a passphrase
// on standard error and reads it from standard input.
run_result run_fwbundle_fed(const std::vector<std::string>& args, const std::string& input)
{
    run_options options;
    options.program = "setsid";
    options.args = {"-w", FWBUNDLE_BIN};
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.input = input;
    return run_program(options);
}

struct key_files {
    std::string private_key;
    std::string public_key;
};

// A key pair made by the openssl command line (or by fwbundle keygen) in the
// sandbox, named after how it was made. The "encrypted" one has the passphrase
// "secret"; the "compressed" one keeps its point compressed in the private key file.
key_files make_key(const sandbox_dir& box, const std::string& kind)
{
    key_files k{box.path(kind + ".pem"), box.path(kind + ".pub.pem")};
    if (kind == "keygen") {
        run_result r = run_fwbundle({"keygen", box.path(kind)});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return k;
    }
    std::vector<std::string> make;
    if (kind == "ecparam")
        make = {"ecparam", "-name", "prime256v1", "-genkey"};
    else if (kind == "rsa")
        make = {"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024"};
    else
        make = {"genpkey", "-algorithm", "EC", "-pkeyopt",
                kind == "p384" ? "ec_paramgen_curve:P-384" : "ec_paramgen_curve:P-256"};
    if (kind == "encrypted")
        make.insert(make.end(), {"-aes256", "-pass", "pass:secret"});
    make.insert(make.end(), {"-out", k.private_key});
    tool_output("openssl", make);
    if (kind == "compressed")
        tool_output("openssl", {"ec", "-in", k.private_key, "-conv_form", "compressed", "-out", k.private_key});
    // The board takes public keys with the point uncompressed only.
    tool_output("openssl", {"ec", "-in", k.private_key, "-passin", "pass:secret", "-pubout",
                            "-conv_form", "uncompressed", "-out", k.public_key});
    return k;
}

// The key id as the openssl command line gives it: SHA-256 of the DER public key.
std::string openssl_key_id(const sandbox_dir& box, const std::string& public_key)
{
    std::string der = box.path("key.der");
    tool_output("openssl", {"pkey", "-pubin", "-in", public_key, "-outform", "DER", "-out", der});
    return sha256_hex(der);
}

// The key id as the board computes it from the key's point.
std::string board_key_id(const sandbox_dir& box, const std::string& public_key)
{
    std::string der = box.path("key.der");
    tool_output("openssl", {"pkey", "-pubin", "-in", public_key, "-outform", "DER", "-out", der});
    std::vector<uint8_t> bytes = read_file(der);
    if (bytes.size() < P256_POINT_SIZE)
        return "";
    uint8_t id[SHA256_SIZE];
    p256_key_id(bytes.data() + bytes.size() - P256_POINT_SIZE, id);
    std::string text;
    char pair[3];
    for (uint8_t b : id) {
        snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

// A manifest with one block of every operation, aimed at a sandbox board.
struct every_operation {
    test_board board;
    std::vector<uint8_t> kernel = pattern_bytes(5000, 11);
    std::vector<uint8_t> rootfs = pattern_bytes(3000, 12);
    std::vector<uint8_t> volume = pattern_bytes(2000, 13);
    std::vector<uint8_t> motd = bytes_of("firmware 2.0\n");
    std::vector<uint8_t> tool = bytes_of("#!/bin/sh\necho tool\n");
    std::vector<uint8_t> app_old = pattern_bytes(20000, 14);
    std::vector<uint8_t> app_new;
    std::string volume_path, motd_path, tool_path, conf_path, doomed, marks;
    std::string manifest;

    every_operation()
    {
        app_new = app_old;
        for (size_t i = 100; i < app_new.size(); i += 997)
            app_new[i] ^= 0x5a;
        app_new.insert(app_new.end(), kernel.begin(), kernel.begin() + 700);

        sandbox_dir& box = board.box;
        box.write("src/kernel.img", kernel);
        box.write("src/rootfs.img", rootfs);
        box.write("src/volume.img", volume);
        box.write("src/motd", motd);
        box.write("src/tool.sh", tool);
        box.write("src/old/app.conf", app_old);
        box.write("src/new/app.conf", app_new);
        marks = box.make_dir("marks");
        box.write("src/begin.sh", "touch " + marks + "/begin\n");
        box.write("src/end.sh", "echo \"$OTA_STATUS\" > " + marks + "/status\n");
        box.write("src/post.sh", "echo ran > " + marks + "/post\n");
        box.make_dir("tmp");

        volume_path = box.write("board/dev/ubi0_1", "");
        motd_path = box.write("board/data/motd", "firmware 1.0\n");
        conf_path = box.write("board/data/app.conf", app_old);
        doomed = box.write("board/data/debug.log", "old log");
        tool_path = board.path("board/data/bin/new/tool");

        manifest = box.write("src/manifest.toml",
            "begin_script = \"begin.sh\"\n"
            "end_script = \"end.sh\"\n"
            "\n"
            "[[block]]\noperation = \"raw_partition\"\ntarget = \"" + board.emmc + "\"\n"
            "source = \"kernel.img\"\nerase_size = 8192\n\n"
            "[[block]]\noperation = \"raw_partition\"\ntarget = \"" + board.mtdblock + "\"\n"
            "source = \"rootfs.img\"\n\n"
            "[[block]]\noperation = \"ubi_volume\"\ntarget = \"" + volume_path + "\"\n"
            "source = \"volume.img\"\n\n"
            "[[block]]\noperation = \"file_replace\"\ntarget = \"" + motd_path + "\"\n"
            "source = \"motd\"\n\n"
            "[[block]]\noperation = \"file_create\"\ntarget = \"" + tool_path + "\"\n"
            "source = \"tool.sh\"\nmode = \"0750\"\n\n"
            "[[block]]\noperation = \"file_patch\"\ntarget = \"" + conf_path + "\"\n"
            "old = \"old/app.conf\"\nnew = \"new/app.conf\"\n\n"
            "[[block]]\noperation = \"file_delete\"\ntarget = \"" + doomed + "\"\n\n"
            "[[block]]\noperation = \"script\"\nsource = \"post.sh\"\n");
    }

    // Every target holds what the package meant, byte for byte.
    void expect_applied() const
    {
        std::vector<uint8_t> emmc = read_file(board.emmc);
        ASSERT_EQ(emmc.size(), DEVICE_SIZE);
        EXPECT_TRUE(slice(emmc, 0, kernel.size()) == kernel);
        EXPECT_TRUE(slice(emmc, kernel.size(), 8192 - kernel.size()) ==
                    std::vector<uint8_t>(8192 - kernel.size(), 0xFF));
        EXPECT_TRUE(slice(emmc, 8192, DEVICE_SIZE - 8192) ==
                    slice(board.emmc_before, 8192, DEVICE_SIZE - 8192));
        std::vector<uint8_t> mtd = read_file(board.mtdblock);
        ASSERT_EQ(mtd.size(), DEVICE_SIZE);
        EXPECT_TRUE(slice(mtd, 0, rootfs.size()) == rootfs);
        EXPECT_TRUE(slice(mtd, rootfs.size(), DEVICE_SIZE - rootfs.size()) ==
                    slice(board.mtdblock_before, rootfs.size(), DEVICE_SIZE - rootfs.size()));
        EXPECT_TRUE(read_file(volume_path) == volume);
        EXPECT_TRUE(read_file(motd_path) == motd);
        EXPECT_TRUE(read_file(tool_path) == tool);
        EXPECT_EQ(file_mode(tool_path), 0750);
        EXPECT_TRUE(read_file(conf_path) == app_new);
        EXPECT_FALSE(file_exists(doomed));
        EXPECT_TRUE(file_exists(marks + "/begin"));
        EXPECT_EQ(read_text(marks + "/post"), "ran\n");
        EXPECT_EQ(read_text(marks + "/status"), "0\n");
    }
};

}  // namespace

TEST(FwbundleRoundTrip, EveryOperationReachesTheBoardByteForByte)
{
    for (bool gzip : {false, true}) {
        SCOPED_TRACE(gzip ? "gzip" : "plain");
        every_operation pack;
        std::string pkg = pack.board.path(gzip ? "pkg.bin.gz" : "pkg.bin");
        std::vector<std::string> args = {"create", "-o", pkg, pack.manifest};
        if (gzip)
            args.insert(args.begin() + 1, "--gzip");
        run_result created = run_fwbundle(args);
        ASSERT_EQ(created.exit_code, 0) << created.err;
        EXPECT_EQ(created.err, "");  // no progress bar when standard error is not a terminal
        EXPECT_TRUE(contains(created.out, "8 blocks")) << created.out;

        run_result listed = run_fwbundle({"list", pkg});
        ASSERT_EQ(listed.exit_code, 0) << listed.err;
        // Block 0 starts right after the 32-byte header and both scripts.
        size_t scripts = read_file(pack.board.path("src/begin.sh")).size() +
                         read_file(pack.board.path("src/end.sh")).size();
        EXPECT_TRUE(contains(listed.out, "    0  " + std::string(12 - std::to_string(32 + scripts).size(), ' ') +
                                             std::to_string(32 + scripts) + "  raw_partition"))
            << listed.out;
        EXPECT_TRUE(contains(listed.out, "erase 8192")) << listed.out;
        EXPECT_TRUE(contains(listed.out, "erase 3000")) << listed.out;
        EXPECT_TRUE(contains(listed.out, "mode 0750")) << listed.out;
        for (const char* op : {"ubi_volume", "file_replace", "file_create", "file_patch",
                               "file_delete", "script"})
            EXPECT_TRUE(contains(listed.out, op)) << op;
        EXPECT_TRUE(contains(listed.out, "post.sh")) << "a script is named after its file";
        EXPECT_EQ(contains(listed.out, "(gzip)"), gzip);
        // The patch made from old and new: the board checks its result.
        EXPECT_TRUE(contains(listed.out, "trailer: version 2, unsigned, 1 result digests"))
            << listed.out;

        run_result verified = run_fwbundle({"verify", pkg});
        EXPECT_EQ(verified.exit_code, 0) << verified.err;
        EXPECT_TRUE(contains(verified.out, "OK, 8 blocks")) << verified.out;

        run_result applied = run_fwdeploy({gzip ? "-x" : "-r", pkg, "-t", pack.board.path("tmp")});
        EXPECT_EQ(applied.exit_code, 0) << applied.out;
        EXPECT_TRUE(contains(applied.out, "(100%)(2/2)(state sub 7)")) << applied.out;
        pack.expect_applied();
    }
}

TEST(FwbundleRoundTrip, GzipOutputIsTheSamePackageThroughRealGunzip)
{
    every_operation pack;
    std::string plain = pack.board.path("pkg.bin");
    std::string gz = pack.board.path("pkg.gz");
    ASSERT_EQ(run_fwbundle({"create", "-o", plain, pack.manifest}).exit_code, 0);
    ASSERT_EQ(run_fwbundle({"create", "--gzip", "-o", gz, pack.manifest}).exit_code, 0);
    run_options gunzip;
    gunzip.program = "gunzip";
    gunzip.args = {"-c", gz};
    run_result r = run_program(gunzip);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(bytes_of(r.out) == read_file(plain));
}

TEST(FwbundleRoundTrip, ExtractedManifestPacksTheSamePackageAgain)
{
    every_operation pack;
    std::string pkg = pack.board.path("pkg.bin");
    ASSERT_EQ(run_fwbundle({"create", "-o", pkg, pack.manifest}).exit_code, 0);
    std::string dir = pack.board.path("unpacked");
    run_result r = run_fwbundle({"extract", pkg, dir});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_text(dir + "/begin.sh"), read_text(pack.board.path("src/begin.sh")));
    EXPECT_EQ(read_text(dir + "/end.sh"), read_text(pack.board.path("src/end.sh")));
    EXPECT_TRUE(read_file(dir + "/block-000.bin") == pack.kernel);
    EXPECT_TRUE(read_file(dir + "/block-004.bin") == pack.tool);
    EXPECT_FALSE(file_exists(dir + "/block-006.bin")) << "a delete block has no data";
    EXPECT_TRUE(contains(read_text(dir + "/manifest.toml"), "source = \"block-005.bin\"\n"
                                                            "result_sha256 = \""));

    std::string again = pack.board.path("again.bin");
    run_result repacked = run_fwbundle({"create", "-o", again, dir + "/manifest.toml"});
    ASSERT_EQ(repacked.exit_code, 0) << repacked.err;
    EXPECT_TRUE(read_file(again) == read_file(pkg));

    // The package's attributes come back as the manifest's keys.
    std::string with_attributes = pack.board.path("attributes.bin");
    ASSERT_EQ(run_fwbundle({"create", "-o", with_attributes, pack.manifest, "--compatible", "a",
                            "--compatible", "b \"c\"", "--version", "1.0", "--description",
                            "für \\ x"})
                  .exit_code,
              0);
    r = run_fwbundle({"extract", with_attributes, pack.board.path("attributes")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    repacked = run_fwbundle({"create", "-o", again, pack.board.path("attributes/manifest.toml")});
    ASSERT_EQ(repacked.exit_code, 0) << repacked.err;
    EXPECT_TRUE(read_file(again) == read_file(with_attributes));

    // A damaged package is unpacked as far as it goes, and said to be damaged.
    std::vector<uint8_t> bytes = read_file(pkg);
    // The last data byte, before the trailer that lists the patch block's result.
    bytes[bytes.size() - TRAILER_V2_FIXED_SIZE - sizeof(trailer_entry) - 1] ^= 1;
    write_file(pkg, bytes);
    r = run_fwbundle({"extract", pkg, pack.board.path("damaged")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.err, "block 7 (post.sh): checksum error")) << r.err;
    EXPECT_TRUE(file_exists(pack.board.path("damaged/block-007.bin")));
}

TEST(FwbundleCreate, WritesTheBytesOfTheWriterLibrary)
{
    // The tool and the library the tests build packages with must agree on every byte.
    sandbox_dir box("fwbundle");
    std::vector<uint8_t> image = pattern_bytes(3000, 21);
    box.write("image", image);
    box.write("file", "contents\n");
    box.write("begin", "echo begin\n");
    std::string manifest = box.write("m.toml",
        "begin_script = \"begin\"\n"
        "[[block]]\noperation = \"raw_partition\"\ntarget = \"/dev/mmcblk0p3\"\nsource = \"image\"\n"
        "erase_size = 0x10000\n"
        "[[block]]\noperation = \"file_create\"\ntarget = \"/etc/x\"\nsource = \"file\"\nmode = 0o600\n"
        "[[block]]\noperation = \"file_delete\"\ntarget = \"/etc/y\"\n"
        "[[block]]\noperation = \"script\"\ntarget = \"say\"\nsource = \"file\"\n");
    ASSERT_EQ(run_fwbundle({"create", "-o", box.path("out"), manifest}).exit_code, 0);
    ASSERT_EQ(run_fwbundle({"create", "--no-trailer", "-o", box.path("bare"), manifest}).exit_code, 0);

    bundle_package p;
    p.begin_script = "echo begin\n";
    bundle_block raw = raw_block("/dev/mmcblk0p3", image, 0x10000);
    p.blocks = {raw, create_block("/etc/x", bytes_of("contents\n"), 0600), delete_block("/etc/y"),
                script_block("say", "contents\n")};
    std::vector<uint8_t> bytes = bundle_bytes(p);
    EXPECT_TRUE(read_file(box.path("bare")) == bytes);
    // By default an unsigned trailer follows: magic, size 80, the SHA-256 of
    // every byte before it, a zero key id and no signature.
    std::vector<uint8_t> trailer = bytes_of("FWTRAIL1");
    append_u32(&trailer, 80);
    std::vector<uint8_t> digest = sha256_of(box.path("bare"));
    trailer.insert(trailer.end(), digest.begin(), digest.end());
    trailer.insert(trailer.end(), 32, 0);
    append_u32(&trailer, 0);
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    EXPECT_TRUE(read_file(box.path("out")) == bytes);
}

TEST(FwbundleCreate, WritesThroughALinkAndRefusesWhatIsNoFile)
{
    sandbox_dir box("fwbundle");
    box.write("file", "contents\n");
    std::string manifest = box.write("m.toml",
        "[[block]]\noperation = \"file_create\"\ntarget = \"/etc/x\"\nsource = \"file\"\n");
    ASSERT_EQ(run_fwbundle({"create", "-o", box.path("direct"), manifest}).exit_code, 0);
    const std::vector<uint8_t> package = read_file(box.path("direct"));
    box.make_dir("out");

    // A link stays a link; the file it leads to takes the package, also one not there yet.
    box.write("out/real", "old package");
    ASSERT_EQ(symlink("out/real", box.path("link").c_str()), 0);
    ASSERT_EQ(symlink("out/new", box.path("dangling").c_str()), 0);
    for (const char* name : {"link", "dangling"}) {
        SCOPED_TRACE(name);
        run_result r = run_fwbundle({"create", "-o", box.path(name), manifest});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        struct stat st;
        ASSERT_EQ(lstat(box.path(name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_TRUE(read_file(box.path(name)) == package);
    }
    EXPECT_EQ(dir_entries(box.path("out")), (std::vector<std::string>{"new", "real"}));

    // Renaming over these would replace them with a regular file (as root, even
    // the host's /dev/null): refused, and they stay what they were.
    ASSERT_EQ(mkfifo(box.path("fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("fifo", box.path("to-fifo").c_str()), 0);
    for (const char* name : {"fifo", "to-fifo", "out"}) {
        SCOPED_TRACE(name);
        run_result r = run_fwbundle({"create", "-o", box.path(name), manifest});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "fwbundle: " + box.path(name) + ": exists and is not a regular file\n");
    }
    struct stat st;
    ASSERT_EQ(stat(box.path("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(dir_entries(box.path("out")), (std::vector<std::string>{"new", "real"}));

    // A package under two names: a new file under one would leave the other with
    // the old package and reset the mode, so neither create nor sign writes.
    std::string key = box.path("key");
    ASSERT_EQ(run_fwbundle({"keygen", key}).exit_code, 0);
    box.write("linked/a.bin", package, 0640);
    ASSERT_EQ(link(box.path("linked/a.bin").c_str(), box.path("linked/b.bin").c_str()), 0);
    ASSERT_EQ(symlink("linked/a.bin", box.path("to-linked").c_str()), 0);
    const std::vector<std::vector<std::string>> writes = {
        {"create", "-o", box.path("linked/b.bin"), manifest},
        {"create", "-o", box.path("to-linked"), manifest},
        {"sign", "-k", key + ".pem", box.path("linked/a.bin")},
    };
    for (const std::vector<std::string>& args : writes) {
        SCOPED_TRACE(args[0] + " " + args[2]);
        run_result r = run_fwbundle(args);
        EXPECT_EQ(r.exit_code, 1);
        std::string named = args[0] == "sign" ? args[3] : args[2];
        EXPECT_EQ(r.err, "fwbundle: " + named + ": a file with 2 hard links, which a new file "
                         "would part from; nothing written (remove the other names, or write "
                         "elsewhere)\n");
        EXPECT_EQ(stat(box.path("linked/a.bin").c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 2u);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_TRUE(read_file(box.path("linked/b.bin")) == package);
        EXPECT_EQ(dir_entries(box.path("linked")), (std::vector<std::string>{"a.bin", "b.bin"}));
    }
}

TEST(FwbundleManifest, ErrorsNameTheEntryTheLineAndTheReason)
{
    sandbox_dir box("fwbundle");
    box.write("a.img", pattern_bytes(100, 31));
    make_sparse(box.path("huge.img"), 4ull << 30);
    make_sparse(box.path("big.sh"), (2ull << 30) + 1);
    const std::string ok_block = "[[block]]\noperation = \"file_replace\"\ntarget = \"/a\"\nsource = \"a.img\"\n";
    struct bad_manifest {
        const char* name;
        std::string text;
        std::string expected;         // in standard error
    };
    const std::vector<bad_manifest> cases = {
        {"target of 256 characters",
         "[[block]]\noperation = \"file_create\"\ntarget = \"/" + std::string(255, 'x') +
             "\"\nsource = \"a.img\"\n",
         "m.toml:3: block 0 (file_create /xxx"},
        {"target of 256 characters (reason)",
         "[[block]]\noperation = \"file_create\"\ntarget = \"/" + std::string(255, 'x') +
             "\"\nsource = \"a.img\"\n",
         "target of 256 characters; the board takes 255 at most"},
        {"missing source", ok_block + "\n[[block]]\noperation = \"ubi_volume\"\ntarget = \"/v\"\n"
                                      "source = \"nothing.img\"\n",
         "m.toml:9: block 1 (ubi_volume /v): source \"nothing.img\": No such file or directory"},
        {"unknown operation", "[[block]]\noperation = \"copy\"\ntarget = \"/a\"\n",
         "m.toml:2: block 0: unknown operation \"copy\" (one of raw_partition, ubi_volume,"},
        {"missing operation", "[[block]]\ntarget = \"/a\"\n", "m.toml:1: block 0: missing operation"},
        {"mode with a digit 9",
         "[[block]]\noperation = \"file_create\"\ntarget = \"/a\"\nsource = \"a.img\"\nmode = \"0999\"\n",
         "m.toml:5: block 0 (file_create /a): bad mode \"0999\""},
        {"mode above 07777",
         "[[block]]\noperation = \"file_create\"\ntarget = \"/a\"\nsource = \"a.img\"\nmode = \"17777\"\n",
         "bad mode \"17777\""},
        {"decimal mode",
         "[[block]]\noperation = \"file_create\"\ntarget = \"/a\"\nsource = \"a.img\"\nmode = 755\n",
         "m.toml:5: block 0 (file_create /a): mode 755 is a decimal number"},
        {"image larger than erase_size",
         "[[block]]\noperation = \"raw_partition\"\ntarget = \"/dev/mtd4\"\nsource = \"a.img\"\n"
         "erase_size = 99\n",
         "m.toml:5: block 0 (raw_partition /dev/mtd4): image of 100 bytes is larger than its "
         "erase_size of 99"},
        {"raw target that is no device",
         "[[block]]\noperation = \"raw_partition\"\ntarget = \"/data/kernel\"\nsource = \"a.img\"\n",
         "m.toml:3: block 0 (raw_partition /data/kernel): a raw_partition target must name a "
         "device (a path in /dev, or one containing /dev/mtd or /dev/mmcblk) or a slot group"},
        {"slot group on a file block",
         "[[block]]\noperation = \"file_replace\"\ntarget = \"@rootfs\"\nsource = \"a.img\"\n",
         "m.toml:3: block 0 (file_replace @rootfs): file blocks take no slot group (@NAME) as "
         "their target: only raw_partition and ubi_volume blocks do"},
        {"slot group that no table can name",
         "[[block]]\noperation = \"ubi_volume\"\ntarget = \"@root fs\"\nsource = \"a.img\"\n",
         "m.toml:3: block 0 (ubi_volume @root fs): a slot group is @ and up to 31 letters, "
         "digits, - and _"},
        {"UBI volume of 4 GiB",
         "[[block]]\noperation = \"ubi_volume\"\ntarget = \"/dev/ubi0_0\"\nsource = \"huge.img\"\n",
         "m.toml:4: block 0 (ubi_volume /dev/ubi0_0): UBI volume image of 4294967296 bytes: "
         "volumes must be smaller than 4 GiB"},
        {"script over 2 GiB", "[[block]]\noperation = \"script\"\nsource = \"big.sh\"\n",
         "m.toml:3: block 0 (script big.sh): script of 2147483649 bytes: scripts must be smaller "
         "than 2 GiB"},
        {"begin script over 2 GiB", "begin_script = \"big.sh\"\n",
         "m.toml:1: begin_script: script of 2147483649 bytes"},
        {"delete with data",
         "[[block]]\noperation = \"file_delete\"\ntarget = \"/a\"\nsource = \"a.img\"\n",
         "m.toml:4: block 0 (file_delete /a): a file_delete block carries no data"},
        {"misspelt key",
         "[[block]]\noperation = \"raw_partition\"\ntarget = \"/dev/mmcblk0p1\"\nsource = \"a.img\"\n"
         "erase-size = 4096\n",
         "m.toml:5: block 0 (raw_partition /dev/mmcblk0p1): unknown key \"erase-size\""},
        {"key of another operation", ok_block + "mode = \"0644\"\n",
         "m.toml:5: block 0 (file_replace /a): mode applies only to file_create blocks"},
        {"patch without data",
         "[[block]]\noperation = \"file_patch\"\ntarget = \"/a\"\nold = \"a.img\"\n",
         "m.toml:4: block 0 (file_patch /a): needs source (a ready patch) or both old and new"},
        {"result of a patch made here",
         "[[block]]\noperation = \"file_patch\"\ntarget = \"/a\"\nold = \"a.img\"\nnew = \"a.img\"\n"
         "result_sha256 = \"" + std::string(64, '0') + "\"\n",
         "m.toml:6: block 0 (file_patch /a): result_sha256 goes with a ready patch (source)"},
        {"result that is no digest",
         "[[block]]\noperation = \"file_patch\"\ntarget = \"/a\"\nsource = \"a.img\"\n"
         "result_sha256 = \"abc\"\n",
         "m.toml:5: block 0 (file_patch /a): result_sha256 must be 64 hexadecimal digits"},
        {"missing begin script", "begin_script = \"begin.sh\"\n",
         "m.toml:1: begin_script: \"begin.sh\": No such file or directory"},
        {"TOML syntax", ok_block + "target = \n", "m.toml:5: "},
        {"block that is no table", "block = [1]\n", "m.toml:1: block 0: not a table"},
    };
    std::string existing = box.write("out.bin", "the previous package");
    for (const bad_manifest& c : cases) {
        SCOPED_TRACE(c.name);
        std::string manifest = box.write("m.toml", c.text);
        run_result r = run_fwbundle({"create", "-o", existing, "m.toml"}, box.root());
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(contains(r.err, c.expected)) << r.err;
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(read_text(existing), "the previous package");
    }
    // The limits themselves are accepted, and so is every spelling of a block
    // device in /dev, and a digest in capitals, which is the same digest.
    std::string accepted = "[[block]]\noperation = \"file_create\"\ntarget = \"/" +
                           std::string(254, 'x') + "\"\nsource = \"a.img\"\nmode = \"7777\"\n"
                           "[[block]]\noperation = \"raw_partition\"\ntarget = \"/dev/mtd4\"\n"
                           "source = \"a.img\"\nerase_size = 100\n";
    for (const char* device : {"/dev/sda", "/dev/vda2", "/dev/nvme0n1p3"})
        accepted += "[[block]]\noperation = \"raw_partition\"\ntarget = \"" + std::string(device) +
                    "\"\nsource = \"a.img\"\n";
    const std::string digest = "0123456789abcdef00112233445566778899aabbccddeeff0a1b2c3d4e5f6a7b";
    std::string upper = digest;
    for (char& c : upper)
        c = (char)toupper((unsigned char)c);
    box.write("m.toml", accepted + "[[block]]\noperation = \"file_patch\"\ntarget = \"/a\"\n"
                                   "source = \"a.img\"\nresult_sha256 = \"" + upper + "\"\n");
    run_result r = run_fwbundle({"create", "-o", existing, "m.toml"}, box.root());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<uint8_t> in_capitals = read_file(existing);
    const std::vector<uint8_t> binary = from_hex(digest);
    EXPECT_NE(std::search(in_capitals.begin(), in_capitals.end(), binary.begin(), binary.end()),
              in_capitals.end());
    box.write("m.toml", accepted + "[[block]]\noperation = \"file_patch\"\ntarget = \"/a\"\n"
                                   "source = \"a.img\"\nresult_sha256 = \"" + digest + "\"\n");
    r = run_fwbundle({"create", "-o", existing, "m.toml"}, box.root());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(read_file(existing) == in_capitals);
    EXPECT_EQ(dir_entries(box.root()),
              (std::vector<std::string>{"a.img", "big.sh", "huge.img", "m.toml", "out.bin"}));
}

namespace {

// A sink that changes the source of block 1 once its header has gone out: after
// the checksum pass over the file and before the copy.
struct changing_sink {
    std::function<void()> change;
    int headers = 0;
    std::vector<uint8_t> bytes;

    static int write(void* context, const void* data, size_t length)
    {
        changing_sink* s = static_cast<changing_sink*>(context);
        const uint8_t* p = static_cast<const uint8_t*>(data);
        s->bytes.insert(s->bytes.end(), p, p + length);
        if (length == sizeof(block_header) && ++s->headers == 2 && s->change)
            s->change();
        return 0;
    }
};

}  // namespace

// The checksum in a block header comes from a first reading of the source, the
// data from a second: a file that changes in between, whatever stays the same
// (its size, even its byte sum), must not be packed.
TEST(FwbundleCreate, ASourceThatChangesBetweenItsTwoReadingsIsRefused)
{
    sandbox_dir box("fwbundle");
    const std::vector<uint8_t> original = pattern_bytes(200000, 9);
    std::string source = box.path("image.bin");
    bundle_package package;
    package.blocks.push_back(replace_block("/first", bytes_of("first block")));
    bundle_block second;
    second.operation = OP_FILE_REPLACE;
    second.target_path = "/second";
    second.data_file = source;
    package.blocks.push_back(second);

    auto rewrite = [&](std::vector<uint8_t> bytes) {
        return [&, bytes] {
            // Written in place, as an editor or a build writing into the file would.
            FILE* f = fopen(source.c_str(), "r+b");
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
            ASSERT_EQ(fflush(f), 0);
            ASSERT_EQ(ftruncate(fileno(f), (off_t)bytes.size()), 0);
            fclose(f);
        };
    };
    std::vector<uint8_t> one_byte = original;
    one_byte[150000] ^= 0x40;
    std::vector<uint8_t> swapped = original;    // same size, same byte sum
    std::swap(swapped[10], swapped[199990]);
    ASSERT_NE(swapped, original);
    std::vector<uint8_t> grown = original;
    grown.push_back(1);
    std::vector<uint8_t> shrunk(original.begin(), original.end() - 1);
    struct change {
        const char* what;
        std::function<void()> act;
    };
    const std::vector<change> changes = {
        {"a byte changed", rewrite(one_byte)},
        {"two bytes swapped", rewrite(swapped)},
        {"a byte longer", rewrite(grown)},
        {"a byte shorter", rewrite(shrunk)},
    };
    for (const change& c : changes) {
        SCOPED_TRACE(c.what);
        write_file(source, original);
        changing_sink sink;
        sink.change = c.act;
        std::string error;
        EXPECT_EQ(bundle_write_to(package, bundle_sink{changing_sink::write, &sink}, &error), -1);
        EXPECT_EQ(error, "block 1: " + source + " changed while packing");
        EXPECT_EQ(sink.headers, 2);
    }
    // Left alone, the same file packs.
    write_file(source, original);
    changing_sink sink;
    std::string error;
    EXPECT_EQ(bundle_write_to(package, bundle_sink{changing_sink::write, &sink}, &error), 0)
        << error;
    EXPECT_EQ(sink.bytes.size(), 32 + 2 * sizeof(block_header) + 11 + original.size());
}

TEST(FwbundleCreate, AFailedRunLeavesNothingUnderTheOutputName)
{
    sandbox_dir box("fwbundle");
    box.write("big.img", pattern_bytes(1 << 20, 41));
    box.write("old.conf", "one\n");
    box.write("new.conf", "two\n");
    std::string manifest = box.write("m.toml",
        "[[block]]\noperation = \"file_replace\"\ntarget = \"/big\"\nsource = \"big.img\"\n");
    std::string out = box.make_dir("out") + "/pkg.bin";

    // The file system refuses the write midway: the size limit stands in for a full disk.
    run_options limited;
    limited.program = "sh";
    limited.args = {"-c", "trap '' XFSZ; ulimit -f 64; exec \"$0\" create --gzip -o \"$1\" \"$2\"",
                    FWBUNDLE_BIN, out, manifest};
    run_result r = run_program(limited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.err, "write failed: File too large")) << r.err;
    EXPECT_EQ(dir_entries(box.path("out")), std::vector<std::string>{});

    // An older package under the name survives a failure untouched.
    write_file(out, bytes_of("old package"));
    r = run_program(limited);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(read_text(out), "old package");
    EXPECT_EQ(dir_entries(box.path("out")), std::vector<std::string>{"pkg.bin"});

    // bsdiff failing: no package, and its scratch directory is gone too.
    box.write("standins/bsdiff", "#!/bin/sh\necho 'bsdiff: out of memory' >&2\nexit 1\n", 0755);
    box.write("m.toml", "[[block]]\noperation = \"file_patch\"\ntarget = \"/etc/c\"\n"
                        "old = \"old.conf\"\nnew = \"new.conf\"\n");
    std::string scratch = box.make_dir("scratch");
    r = run_fwbundle({"create", "-o", out, manifest}, "", {{"TMPDIR", scratch}}, box.path("standins"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.err, "m.toml:1: block 0 (file_patch /etc/c): bsdiff failed")) << r.err;
    EXPECT_EQ(read_text(out), "old package");
    EXPECT_EQ(dir_entries(scratch), std::vector<std::string>{});

    // Interrupted while bsdiff runs: bsdiff ends with the tool, and its scratch
    // directory goes too. The stand-in signals the tool after writing part of a patch.
    for (const char* signal : {"TERM", "INT"}) {
        SCOPED_TRACE(signal);
        box.write("standins/bsdiff",
                  std::string("#!/bin/sh\nprintf partial > \"$3\"\nkill -") + signal +
                      " $PPID\nexec sleep 30\n", 0755);
        r = run_fwbundle({"create", "-o", out, manifest}, "", {{"TMPDIR", scratch}},
                         box.path("standins"));
        EXPECT_EQ(r.signal, std::string(signal) == "TERM" ? SIGTERM : SIGINT);
        EXPECT_EQ(r.leftover_processes, 0);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(read_text(out), "old package");
        EXPECT_EQ(dir_entries(scratch), std::vector<std::string>{});
    }
}

#ifndef __SANITIZE_ADDRESS__  // the sanitizer reserves far more address space than any limit here
TEST(FwbundleCreate, StreamsSourcesLargerThanItsMemory)
{
    // 48 MiB of block data through a tool held to 16 MiB of address space: only
    // streaming, never loading a source or the package whole, gets through.
    sandbox_dir box("fwbundle");
    make_sparse(box.path("big.img"), 48ull << 20);
    std::string manifest = box.write("m.toml",
        "[[block]]\noperation = \"file_replace\"\ntarget = \"/big\"\nsource = \"big.img\"\n");
    for (const char* command : {"create --gzip -o \"$1\" \"$2\"", "verify \"$1\"", "list \"$1\""}) {
        SCOPED_TRACE(command);
        run_options limited;
        limited.program = "sh";
        limited.args = {"-c", std::string("ulimit -v 16384; exec \"$0\" ") + command, FWBUNDLE_BIN,
                        box.path("p.gz"), manifest};
        run_result r = run_program(limited);
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
}
#endif

TEST(FwbundleCreate, DrawsProgressOnlyOnATerminal)
{
    sandbox_dir box("fwbundle");
    box.write("img", pattern_bytes(1 << 18, 51));
    std::string manifest = box.write("m.toml",
        "[[block]]\noperation = \"file_replace\"\ntarget = \"/img\"\nsource = \"img\"\n");
    // script(1) gives the tool a terminal and copies what it drew to our pipe.
    run_options tty;
    tty.program = "script";
    tty.args = {"-qec", std::string(FWBUNDLE_BIN) + " create -o " + box.path("p") + " " + manifest,
                "/dev/null"};
    run_result r = run_program(tty);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "\rpacking [##############################] 100%")) << r.out;

    r = run_fwbundle({"create", "-o", box.path("q"), manifest});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(contains(r.out, "\r"));
}

namespace {

// One package that fwdeploy may safely apply in a sandbox, and ways to damage it.
struct agreement_fixture {
    sandbox_dir box{"fwbundle-agree"};
    std::string doomed;
    std::vector<uint8_t> bytes;
    size_t block0 = 0;                // offset of the first block header
    size_t block1 = 0;
    size_t block2 = 0;

    agreement_fixture()
    {
        doomed = box.path("doomed");
        bundle_package p;
        p.begin_script = "true\n";
        p.end_script = "true\n";
        p.blocks.push_back(create_block(box.path("made"), pattern_bytes(5000, 61), 0644));
        p.blocks.push_back(delete_block(doomed));
        p.blocks.push_back(script_block("s", "echo script\n"));
        bytes = bundle_bytes(p);
        block0 = 32 + 10;
        block1 = block0 + 288 + 5000;
        block2 = block1 + 288;
    }

    // Fixes the header checksum after a header field was changed on purpose.
    static void reseal(std::vector<uint8_t>& b)
    {
        package_header h;
        memcpy(&h, b.data(), sizeof h);
        uint32_t sum = 0;
        for (size_t i = 4; i < 32 + h.begin_script_size + h.end_script_size; ++i)
            sum += b[i];
        memcpy(b.data(), &sum, 4);
    }

    template <typename T>
    static void poke(std::vector<uint8_t>& b, size_t at, T value)
    {
        memcpy(b.data() + at, &value, sizeof value);
    }
};

struct damage {
    std::string name;
    std::vector<uint8_t> bytes;
    bool accepted;
    std::string message;              // in fwbundle's standard error, when refused
};

// fwbundle verify and fwdeploy give the same verdict on `file`.
void expect_agreement(agreement_fixture& f, const damage& d, const std::string& file, bool gzipped)
{
    SCOPED_TRACE(d.name + (gzipped ? " (gzip)" : ""));
    write_file(f.doomed, bytes_of("x"));
    // Told what the board is told: -x means through gunzip.
    run_result mine = run_fwbundle(gzipped ? std::vector<std::string>{"verify", "--gzip", file}
                                           : std::vector<std::string>{"verify", file});
    run_result board = run_fwdeploy({gzipped ? "-x" : "-r", file}, f.box.root());
    EXPECT_EQ(mine.exit_code, d.accepted ? 0 : 1) << mine.out << mine.err;
    EXPECT_EQ(board.exit_code, d.accepted ? 0 : 255) << board.out;
    if (!d.accepted) {
        EXPECT_TRUE(contains(mine.err, d.message)) << mine.err;
    }
}

}  // namespace

TEST(FwbundleVerify, AgreesWithTheBoardOnCutAndDamagedPackages)
{
    agreement_fixture f;
    const std::vector<uint8_t>& good = f.bytes;
    auto cut = [&](size_t length) { return std::vector<uint8_t>(good.begin(), good.begin() + length); };
    auto changed = [&](auto change) {
        std::vector<uint8_t> b = good;
        change(b);
        return b;
    };
    using F = agreement_fixture;
    std::vector<damage> cases = {
        {"intact", good, true, ""},
        {"empty", {}, false, "refused: File header read error!"},
        {"cut inside the header", cut(31), false, "File header read error!"},
        {"cut after the header", cut(32), false, "Shell script read error!"},
        {"cut inside the end script", cut(40), false, "Shell script read error!"},
        {"cut before block 0", cut(f.block0), false, "Block 0 header read error!"},
        {"cut inside block 0's header", cut(f.block0 + 287), false, "Block 0 header read error!"},
        {"cut before block 0's data", cut(f.block0 + 288), false, "Block 0 data read error! (the package ends after " + std::to_string(f.block0 + 288) + " bytes)"},
        {"cut inside block 0's data", cut(f.block1 - 1), false, "Block 0 data read error!"},
        {"cut inside the delete block", cut(f.block2 - 1), false, "Block 1 header read error!"},
        {"cut inside the script block", cut(good.size() - 1), false, "Block 2 data read error!"},
        {"bytes after the last block", changed([](auto& b) { b.push_back(7); }), true, ""},
        {"version 0.3", changed([](auto& b) { F::poke<uint32_t>(b, 8, 3); F::reseal(b); }), false,
         "[VERSION CONFLICT!] Fwbundle tool version is 0.3, fwdeploy is 0.4"},
        {"version 1.4", changed([](auto& b) { F::poke<uint32_t>(b, 4, 1); F::reseal(b); }), false,
         "tool version is 1.4"},
        {"header checksum", changed([](auto& b) { b[0] ^= 1; }), false, "Shell start data checksum error!"},
        {"begin script byte", changed([](auto& b) { b[33] ^= 1; }), false, "Shell start data checksum error!"},
        {"block count raised", changed([](auto& b) { F::poke<uint32_t>(b, 12, 4); F::reseal(b); }),
         false, "Block 3 header read error!"},
        {"block count lowered", changed([](auto& b) { F::poke<uint32_t>(b, 12, 2); F::reseal(b); }),
         true, ""},
        {"total size off", changed([](auto& b) { F::poke<uint64_t>(b, 16, 1); F::reseal(b); }), true, ""},
        {"data byte", changed([&](auto& b) { b[f.block0 + 288 + 10] ^= 0x10; }), false,
         "Block 0 checksum error! head"},
        {"stored block checksum", changed([&](auto& b) { b[f.block2 + 276] ^= 1; }), false,
         "Block 2 checksum error!"},
        {"target without its zero",
         changed([&](auto& b) { memset(b.data() + f.block1 + 8, 'a', 256); }), false,
         "Block 1 header error!"},
        {"delete block with data", changed([&](auto& b) {
             F::poke<uint64_t>(b, f.block1, 1);
             b.insert(b.begin() + f.block2, 0);  // one zero byte: its sum matches the stored 0
         }), false, "Block 1 header error!"},
        {"unknown operation", changed([&](auto& b) { F::poke<uint32_t>(b, f.block2 + 280, 9); }), true, ""},
    };
    std::string plain = f.box.path("p.bin");
    for (const damage& d : cases) {
        write_file(plain, d.bytes);
        expect_agreement(f, d, plain, false);
    }
    // Through gzip, the same verdicts for a few of them.
    for (size_t i : {0u, 3u, 9u, 11u, 19u, 22u}) {
        write_file(plain, cases[i].bytes);
        expect_agreement(f, cases[i], gzip_copy(plain), true);
    }
    // list, extract and sign read a package cut inside a script or inside block
    // data as far as it goes, say where it ends, and wait for nothing more; sign
    // leaves it as it was.
    key_files key = make_key(f.box, "keygen");
    const std::pair<size_t, std::string> cuts[] = {
        {4, "package ends after 3 bytes of its 5 bytes end script"},
        {8, "block 0 (" + f.box.path("made") + "): package ends after 4999 bytes of its 5000 "
            "bytes of data"},
    };
    for (const auto& [i, ends] : cuts) {
        for (bool gzipped : {false, true}) {
            write_file(plain, cases[i].bytes);
            std::string file = gzipped ? gzip_copy(plain) : plain;
            std::vector<uint8_t> before = read_file(file);
            for (const std::vector<std::string>& args :
                 {std::vector<std::string>{"list", file},
                  {"extract", file, f.box.path("unpacked-" + std::to_string(i))},
                  {"sign", "-k", key.private_key, file}}) {
                SCOPED_TRACE(cases[i].name + ": " + args[0] + (gzipped ? " (gzip)" : ""));
                run_options o;
                o.program = FWBUNDLE_BIN;
                o.args = args;
                o.timeout_ms = 20000;
                run_result r = run_program(o);
                EXPECT_FALSE(r.timed_out);
                EXPECT_EQ(r.exit_code, 1);
                EXPECT_TRUE(contains(r.err, "fwbundle: " + file + ": " + ends + "\n")) << r.err;
                EXPECT_TRUE(read_file(file) == before);
            }
        }
    }
}

TEST(FwbundleVerify, AgreesWithTheBoardOnDamagedCompression)
{
    agreement_fixture f;
    std::string plain = f.box.path("p.bin");
    write_file(plain, f.bytes);
    std::vector<uint8_t> gz = read_file(gzip_copy(plain));
    auto with = [&](auto change) {
        std::vector<uint8_t> b = gz;
        change(b);
        return b;
    };
    // The package split over two gzip members, as concatenated files are.
    write_file(plain, std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + 1000));
    std::vector<uint8_t> two = read_file(gzip_copy(plain));
    write_file(plain, std::vector<uint8_t>(f.bytes.begin() + 1000, f.bytes.end()));
    std::vector<uint8_t> second = read_file(gzip_copy(plain));
    two.insert(two.end(), second.begin(), second.end());

    const std::vector<damage> cases = {
        {"intact", gz, true, ""},
        {"two members", two, true, ""},
        {"trailing zeros", with([](auto& b) { b.insert(b.end(), 16, 0); }), true, ""},
        // Padding after the stream (a fixed-size slot, erased flash) is no damage.
        {"trailing garbage", with([](auto& b) { b.push_back('x'); b.push_back('y'); }), true, ""},
        {"one stray byte", with([](auto& b) { b.push_back('x'); }), false, "cut short"},
        {"0xFF padding", with([](auto& b) { b.insert(b.end(), 4096, 0xFF); }), true, ""},
        {"check value", with([](auto& b) { b[b.size() - 8] ^= 1; }), false, "damaged compressed data"},
        {"length field cut", with([](auto& b) { b.resize(b.size() - 4); }), false, "cut short"},
        {"cut midway", with([](auto& b) { b.resize(b.size() / 2); }), false, "cut short"},
        {"deflate data", with([](auto& b) { b[b.size() / 2] ^= 0xff; }), false, ""},
        // What a look at the content would read as a plain package, gunzip refuses.
        {"not gzip at all", f.bytes, false, "p.bin.gz: not in gzip format"},
        {"gzip's first byte only", with([](auto& b) { b[1] = 0x00; }), false,
         "not in gzip format"},
        {"a lone first byte", {0x1f}, false, ""},
        {"unknown method", with([](auto& b) { b[2] = 7; }), false, "unknown compression method"},
    };
    std::string file = f.box.path("p.bin.gz");
    for (const damage& d : cases) {
        write_file(file, d.bytes);
        expect_agreement(f, d, file, true);
    }
}

TEST(FwbundleList, ReadsAPlainPackageWhoseChecksumLooksLikeGzip)
{
    // A header checksum whose low bytes are 1f 8b 08 makes a plain package start
    // like a gzip file; it must still be read as the plain package it is.
    sandbox_dir box("fwbundle");
    bundle_package p;
    std::vector<uint8_t> bytes;
    for (size_t length = 4000; length < 9000; ++length) {
        p.begin_script.assign(length, ' ');
        package_header h = bundle_package_header(p, 0);
        uint32_t want = 0x00088b1f;
        if (h.checksum > want)
            break;
        uint32_t extra = want - h.checksum;  // raise some spaces (32) up to '~' (126)
        if (extra > 94 * length)
            continue;
        for (size_t i = 0; extra > 0; ++i) {
            uint32_t step = extra < 94 ? extra : 94;
            p.begin_script[i] = (char)(' ' + step);
            extra -= step;
        }
        bytes = bundle_bytes(p);
        break;
    }
    ASSERT_GE(bytes.size(), 3u);
    ASSERT_EQ(bytes[0], 0x1f);
    ASSERT_EQ(bytes[1], 0x8b);
    ASSERT_EQ(bytes[2], 0x08);
    std::string pkg = box.write("p.bin", bytes);
    run_result r = run_fwbundle({"list", pkg});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "header checksum: 0x00088b1f")) << r.out;
    EXPECT_FALSE(contains(r.out, "(gzip)"));
    EXPECT_EQ(run_fwbundle({"verify", pkg}).exit_code, 0);
}

TEST(FwbundleExamples, TheDemoPackageAppliesToItsSandboxBoard)
{
    // What examples/demo.sh does, without building: the example must keep working.
    const std::string examples = std::string(TEST_SOURCE_DIR) + "/../examples";
    sandbox_dir box("fwbundle-demo");
    run_result r = run_fwbundle({"keygen", box.path("release")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = run_fwbundle({"create", "--sign", box.path("release.pem"), "--gzip", "-o",
                      box.path("update.bin.gz"), examples + "/manifest.toml"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    box.write("board/dev/mmcblk0p1", std::vector<uint8_t>(65536, 0));
    box.write("board/dev/mtdblock2", std::vector<uint8_t>(65536, 0));
    box.write("board/dev/ubi0_1", "");
    box.write("board/data/etc/motd", "firmware 1.0\n");
    box.write("board/data/etc/app.conf", read_file(examples + "/files/app-1.0.conf"));
    box.write("board/data/tmp/debug.log", "old\n");
    r = run_fwdeploy({"-x", "update.bin.gz", "-k", box.path("release.pub.pem")}, box.root());
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "Package signed by key ")) << r.out;
    EXPECT_TRUE(contains(r.out, "end script: update applied")) << r.out;
    EXPECT_EQ(read_text(box.path("board/data/ota-status")), "0\n");
    EXPECT_TRUE(read_file(box.path("board/data/etc/app.conf")) ==
                read_file(examples + "/files/app-2.0.conf"));
    EXPECT_EQ(file_mode(box.path("board/data/bin/hello")), 0755);
    EXPECT_FALSE(file_exists(box.path("board/data/tmp/debug.log")));
}

TEST(FwbundleCommandLine, RefusesUsageErrorsWithStatusTwo)
{
    run_result r = run_fwbundle({});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(contains(r.err + r.out, "create")) << "the usage names the subcommands";
    EXPECT_EQ(run_fwbundle({"pack", "x"}).exit_code, 2);
    EXPECT_EQ(run_fwbundle({"create", "m.toml"}).exit_code, 2) << "-o is required";
    EXPECT_EQ(run_fwbundle({"verify"}).exit_code, 2);
    r = run_fwbundle({"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(contains(r.out, "package format 0.4")) << r.out;
    r = run_fwbundle({"list", "/nonexistent/pkg"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "fwbundle: /nonexistent/pkg: No such file or directory\n");
}

namespace {

// A package of one block that a sandbox board can apply, without a trailer.
struct signing_fixture {
    sandbox_dir box{"fwbundle-sign"};
    std::string manifest;
    std::vector<uint8_t> bare;

    signing_fixture()
    {
        box.write("f", "signed contents\n");
        manifest = box.write("m.toml", "[[block]]\noperation = \"file_create\"\ntarget = \"out/f\"\n"
                                       "source = \"f\"\n");
        run_result r = run_fwbundle({"create", "--no-trailer", "-o", box.path("bare.bin"), manifest});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        bare = read_file(box.path("bare.bin"));
    }

    // Sandbox paths relative to its root: fwdeploy takes arguments of 63 characters at most.
    std::string relative(const std::string& path) const { return path.substr(box.root().size() + 1); }

    // fwdeploy, trusting `public_key`, applies `package`: it names the key and writes the file.
    void expect_board_accepts(const std::string& package, const std::string& public_key,
                              const std::string& key_id)
    {
        bool gzip = read_file(package).at(0) == 0x1f;
        run_result r = run_fwdeploy({gzip ? "-x" : "-r", relative(package), "-k", relative(public_key)},
                                    box.root());
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_TRUE(contains(r.out, "Package signed by key " + key_id.substr(0, 16) + "\n")) << r.out;
        EXPECT_EQ(read_text(box.path("out/f")), "signed contents\n");
        remove_tree(box.path("out"));
    }
};

}  // namespace

TEST(FwbundleSign, KeysFromOpensslAndKeygenMakePackagesTheBoardAccepts)
{
    signing_fixture f;
    std::string pkg = f.box.path("p.bin");
    std::string gz = f.box.path("p.gz");
    std::string payload = f.box.path("payload");
    std::string sig = f.box.path("sig.der");
    for (std::string kind : {"ecparam", "genpkey", "encrypted", "compressed", "keygen"}) {
        SCOPED_TRACE(kind);
        key_files key = make_key(f.box, kind);
        std::string id = openssl_key_id(f.box, key.public_key);
        EXPECT_EQ(board_key_id(f.box, key.public_key), id);
        std::string passphrase = kind == "encrypted" ? "secret\n" : "";
        auto fwbundle = [&](const std::vector<std::string>& args) {
            run_result r = run_fwbundle_fed(args, passphrase);
            EXPECT_EQ(r.exit_code, 0) << r.err;
            return r;
        };
        auto openssl_signs_payload = [&](const std::string& file) {
            run_result r = run_fwbundle({"payload", file});
            EXPECT_EQ(r.exit_code, 0) << r.err;
            write_file(payload, bytes_of(r.out));
            tool_output("openssl", {"dgst", "-sha256", "-sign", key.private_key, "-passin",
                                    "pass:secret", "-out", sig, payload});
            return fwbundle({"attach-signature", file, sig, "--pubkey", key.public_key});
        };
        struct route {
            const char* name;
            std::string file;
            std::function<run_result()> sign;
        };
        const std::vector<route> routes = {
            {"create --sign", pkg, [&] {
                 return fwbundle({"create", "--sign", key.private_key, "-o", pkg, f.manifest});
             }},
            {"sign a plain package", pkg, [&] {
                 fwbundle({"create", "-o", pkg, f.manifest});
                 return fwbundle({"sign", "--key", key.private_key, pkg});
             }},
            {"sign a gzip package", gz, [&] {
                 fwbundle({"create", "--gzip", "-o", gz, f.manifest});
                 return fwbundle({"sign", "-k", key.private_key, gz});
             }},
            {"attach a signature by openssl", gz, [&] {
                 fwbundle({"create", "--gzip", "-o", gz, f.manifest});
                 return openssl_signs_payload(gz);
             }},
        };
        for (const route& r : routes) {
            SCOPED_TRACE(r.name);
            run_result signed_run = r.sign();
            EXPECT_TRUE(contains(signed_run.out, r.file + ": signed by key " + id + "\n"))
                << signed_run.out;

            // The payload is the package up to its trailer, and the signature in
            // the trailer is openssl's kind over exactly those bytes.
            run_result p = run_fwbundle({"payload", r.file});
            ASSERT_EQ(p.exit_code, 0) << p.err;
            EXPECT_TRUE(bytes_of(p.out) == f.bare);
            std::vector<uint8_t> whole = unpacked(r.file);
            ASSERT_GT(whole.size(), f.bare.size() + sizeof(trailer_head));
            write_file(payload, f.bare);
            write_file(sig, slice(whole, f.bare.size() + sizeof(trailer_head),
                                  whole.size() - f.bare.size() - sizeof(trailer_head)));
            EXPECT_EQ(tool_output("openssl", {"dgst", "-sha256", "-verify", key.public_key,
                                              "-signature", sig, payload}),
                      "Verified OK\n");
            f.expect_board_accepts(r.file, key.public_key, id);
        }
    }
}

TEST(FwbundleSign, ReplacesWhateverFollowsTheLastBlock)
{
    signing_fixture f;
    key_files old_key = make_key(f.box, "genpkey");
    key_files new_key = make_key(f.box, "ecparam");
    std::string new_id = openssl_key_id(f.box, new_key.public_key);
    std::string pkg = f.box.path("p.bin");
    std::string gz = f.box.path("p.gz");
    auto created = [&](const std::vector<std::string>& options, const std::string& out) {
        std::vector<std::string> args = {"create", "-o", out, f.manifest};
        args.insert(args.begin() + 1, options.begin(), options.end());
        EXPECT_EQ(run_fwbundle(args).exit_code, 0);
        return read_file(out);
    };
    std::vector<uint8_t> unsigned_plain = created({}, pkg);
    std::vector<uint8_t> unsigned_trailer = slice(unsigned_plain, f.bare.size(), sizeof(trailer_head));
    std::vector<uint8_t> signed_gzip = created({"--gzip", "--sign", old_key.private_key}, gz);
    // A trailer added to an old .gz as a member of its own.
    write_file(pkg, f.bare);
    std::vector<uint8_t> two_members = read_file(gzip_copy(pkg));
    write_file(pkg, unsigned_trailer);
    std::vector<uint8_t> member = read_file(gzip_copy(pkg));
    two_members.insert(two_members.end(), member.begin(), member.end());
    std::vector<uint8_t> junk = f.bare;
    junk.insert(junk.end(), {'j', 'u', 'n', 'k'});
    std::vector<uint8_t> extra = unsigned_plain;
    extra.push_back(0);

    struct start {
        const char* name;
        std::string file;
        std::vector<uint8_t> bytes;
        std::string warning;          // standard error
    };
    const std::vector<start> starts = {
        {"unsigned trailer", pkg, unsigned_plain, ""},
        {"signed gzip", gz, signed_gzip, ""},
        {"trailer in a second gzip member", gz, two_members, ""},
        {"no trailer", pkg, f.bare, ""},
        {"bytes that are no trailer", pkg, junk,
         "fwbundle: warning: " + pkg + ": left out 4 bytes after the last block that were not a trailer\n"},
        {"malformed trailer", pkg, extra,
         "fwbundle: warning: " + pkg + ": replaced a malformed trailer (1 byte after it)\n"},
    };
    for (const start& s : starts) {
        SCOPED_TRACE(s.name);
        write_file(s.file, s.bytes, 0640);
        bool gzip = s.bytes[0] == 0x1f;
        run_result r = run_fwbundle({"sign", "--key", new_key.private_key, s.file});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, s.warning);
        EXPECT_EQ(read_file(s.file)[0] == 0x1f, gzip) << "the compression is kept";
        EXPECT_EQ(file_mode(s.file), 0640);

        // The bytes up to the last block, then a trailer of the new key alone.
        std::vector<uint8_t> whole = unpacked(s.file);
        ASSERT_GT(whole.size(), f.bare.size() + sizeof(trailer_head));
        EXPECT_TRUE(slice(whole, 0, f.bare.size()) == f.bare);
        uint32_t sig_size = (uint32_t)(whole.size() - f.bare.size() - sizeof(trailer_head));
        std::vector<uint8_t> head = bytes_of("FWTRAIL1");
        append_u32(&head, (uint32_t)sizeof(trailer_head) + sig_size);
        std::vector<uint8_t> digest = sha256_of(f.box.path("bare.bin"));
        head.insert(head.end(), digest.begin(), digest.end());
        std::vector<uint8_t> id = from_hex(new_id);
        head.insert(head.end(), id.begin(), id.end());
        append_u32(&head, sig_size);
        EXPECT_TRUE(slice(whole, f.bare.size(), sizeof(trailer_head)) == head);

        f.expect_board_accepts(s.file, new_key.public_key, new_id);
        run_result old = run_fwdeploy({gzip ? "-x" : "-r", f.relative(s.file), "-k",
                                       f.relative(old_key.public_key)}, f.box.root());
        EXPECT_EQ(old.exit_code, 255);
        EXPECT_TRUE(contains(old.out, "Package signed by an unknown key")) << old.out;
    }

    // Through a symbolic link the file behind it is signed; the link stays.
    write_file(pkg, unsigned_plain);
    std::string link = f.box.path("link.bin");
    ASSERT_EQ(::symlink("p.bin", link.c_str()), 0);
    run_result r = run_fwbundle({"sign", "--key", new_key.private_key, link});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    f.expect_board_accepts(pkg, new_key.public_key, new_id);
}

TEST(FwbundleSign, RefusesKeysSignaturesAndPackagesTheBoardCouldNotTrust)
{
    signing_fixture f;
    key_files key = make_key(f.box, "genpkey");
    key_files other = make_key(f.box, "ecparam");
    key_files rsa = make_key(f.box, "rsa");
    key_files p384 = make_key(f.box, "p384");
    key_files encrypted = make_key(f.box, "encrypted");
    std::string pkg = f.box.path("p.bin");
    ASSERT_EQ(run_fwbundle({"create", "-o", pkg, f.manifest}).exit_code, 0);
    const std::vector<uint8_t> good = read_file(pkg);
    std::vector<uint8_t> damaged = good;
    damaged[f.bare.size() - 1] ^= 1;
    std::string damaged_pkg = f.box.write("damaged.bin", damaged);

    std::string payload = f.box.write("payload", f.bare);
    std::string other_bytes = f.box.write("other", bytes_of("not the package"));
    std::string sig = f.box.path("sig.der");
    std::string other_sig = f.box.path("other.der");
    // Signed again until the encoding has room for a byte more within the 72
    // a trailer holds: the loose encodings below must fail as signatures.
    do
        tool_output("openssl", {"dgst", "-sha256", "-sign", key.private_key, "-out", sig, payload});
    while (read_file(sig).size() > 71);
    tool_output("openssl", {"dgst", "-sha256", "-sign", key.private_key, "-out", other_sig, other_bytes});
    std::string raw_sig = f.box.write("raw.sig", pattern_bytes(64, 5));
    // A SEQUENCE on the outside that OpenSSL cannot parse: its verify then
    // answers with an error, which is no match either.
    std::vector<uint8_t> cut_der = read_file(sig);
    cut_der.resize(cut_der.size() / 2);
    std::string cut_sig = f.box.write("cut.der", cut_der);
    std::vector<uint8_t> no_integers = {0x30, 0x06, 0x04, 0x01, 0x01, 0x04, 0x01, 0x01};
    std::string odd_sig = f.box.write("odd.der", no_integers);
    const std::string not_a_signature = ": not a signature of the payload of " + pkg + " by the key in ";

    struct refusal {
        const char* name;
        std::vector<std::string> args;
        std::string input;
        std::string expected;         // a whole line of standard error
    };
    std::vector<refusal> cases = {
        {"RSA key", {"sign", "-k", rsa.private_key, pkg}, "",
         rsa.private_key + ": an RSA key; only EC P-256 keys are supported"},
        {"P-384 key", {"sign", "-k", p384.private_key, pkg}, "",
         p384.private_key + ": an EC P-384 key; only P-256 keys are supported"},
        {"RSA key to create", {"create", "--sign", rsa.private_key, "-o", pkg, f.manifest}, "",
         rsa.private_key + ": an RSA key; only EC P-256 keys are supported"},
        {"P-384 key to create", {"create", "--sign", p384.private_key, "-o", pkg, f.manifest}, "",
         p384.private_key + ": an EC P-384 key; only P-256 keys are supported"},
        {"public key to sign with",
         {"create", "--sign", key.public_key, "-o", pkg, f.manifest}, "",
         key.public_key + ": a public key; signing needs the private key"},
        {"wrong passphrase",
         {"create", "--sign", encrypted.private_key, "-o", pkg, f.manifest}, "wrong\n",
         encrypted.private_key + ": cannot decrypt the private key: wrong passphrase, or none given"},
        {"damaged package", {"sign", "-k", key.private_key, damaged_pkg}, "",
         damaged_pkg + ": block 0 (out/f): checksum error: stored"},
        {"payload of a damaged package", {"payload", damaged_pkg}, "",
         damaged_pkg + ": block 0 (out/f): checksum error: stored"},
        {"signature of other bytes", {"attach-signature", pkg, other_sig, "--pubkey", key.public_key}, "",
         other_sig + not_a_signature + key.public_key +
             " (made over other bytes, or with another key); nothing changed"},
        {"signature by another key", {"attach-signature", pkg, sig, "--pubkey", other.public_key}, "",
         sig + not_a_signature + other.public_key},
        {"signature that is no DER", {"attach-signature", pkg, raw_sig, "--pubkey", key.public_key}, "",
         raw_sig + ": not an ECDSA P-256 signature in DER"},
        {"signature cut in half", {"attach-signature", pkg, cut_sig, "--pubkey", key.public_key}, "",
         cut_sig + ": not an ECDSA P-256 signature in DER"},
        {"signature of no integers", {"attach-signature", pkg, odd_sig, "--pubkey", key.public_key}, "",
         odd_sig + ": not an ECDSA P-256 signature in DER"},
        {"private key to check with", {"attach-signature", pkg, sig, "--pubkey", key.private_key}, "",
         key.private_key + ": a private key; give the public key (PEM PUBLIC KEY)"},
    };
    // A public key whose DER goes on after its SubjectPublicKeyInfo: OpenSSL's
    // decoder would take it, the board refuses it.
    for (const std::string& extra : {std::string(1, '\0'), std::string("\x30\x00", 2)}) {
        std::string padded = f.box.write("padded" + std::to_string(extra.size()) + ".pub.pem",
                                         public_pem_with_extra_der(key.public_key, extra));
        std::string bytes = extra.size() == 1 ? "1 byte" : "2 bytes";
        cases.push_back({"public key with bytes after its DER",
                         {"attach-signature", pkg, sig, "--pubkey", padded}, "",
                         padded + ": the public key's DER has " + bytes +
                             " after its SubjectPublicKeyInfo, which the board refuses"});
        cases.push_back({"trusted key with bytes after its DER", {"verify", "--keys", padded, pkg},
                         "", padded + ": unusable key file: block 1 is not a DER public key"});
    }
    // The good signature in encodings a lax parser takes, but the board does not.
    const auto loose = loose_encodings(read_file(sig));
    for (size_t i = 0; i < loose.size(); ++i) {
        std::string file = f.box.write("loose" + std::to_string(i) + ".der", loose[i].second);
        cases.push_back({loose[i].first.c_str(),
                         {"attach-signature", pkg, file, "--pubkey", key.public_key}, "",
                         file + ": not an ECDSA P-256 signature in DER"});
    }
    const std::vector<std::string> files = dir_entries(f.box.root());
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run_fwbundle_fed(c.args, c.input);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(contains(r.err, "fwbundle: " + c.expected)) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(read_file(pkg) == good);
        EXPECT_TRUE(read_file(damaged_pkg) == damaged);
        EXPECT_EQ(dir_entries(f.box.root()), files) << "no file left behind";
    }
    // verify judges a trailer with such a signature as the board does.
    std::string signed_pkg = f.box.write("signed.bin", good);
    ASSERT_EQ(run_fwbundle({"attach-signature", signed_pkg, sig, "--pubkey", key.public_key})
                  .exit_code, 0);
    std::vector<uint8_t> attached = read_file(signed_pkg);
    std::vector<uint8_t> trailer(attached.begin() + (long)f.bare.size(), attached.end());
    ASSERT_EQ(trailer.size(), 80 + read_file(sig).size());
    ASSERT_TRUE(std::equal(trailer.begin(), trailer.begin() + 8, "FWTRAIL1"));
    for (const auto& [how, bytes] : loose) {
        SCOPED_TRACE(how + " (verify)");
        std::vector<uint8_t> loose_pkg = f.bare;
        std::vector<uint8_t> loose_trailer = with_signature(trailer, bytes);
        loose_pkg.insert(loose_pkg.end(), loose_trailer.begin(), loose_trailer.end());
        write_file(signed_pkg, loose_pkg);
        run_result r = run_fwbundle({"verify", "--keys", key.public_key, signed_pkg});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(contains(r.err, signed_pkg + ": refused: Package signature is bad!")) << r.err;
    }
    remove(signed_pkg.c_str());

    // Nor are binary bytes sent to a terminal (script(1) gives it one).
    run_options tty;
    tty.program = "script";
    tty.args = {"-qec", std::string(FWBUNDLE_BIN) + " payload " + pkg, "/dev/null"};
    run_result r = run_program(tty);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "fwbundle: payload: standard output is a terminal; send it to a file or a pipe\r\n");
}

TEST(FwbundleKeygen, WritesAKeyPairAndOverwritesNothing)
{
    sandbox_dir box("fwbundle-keygen");
    struct umask_case {
        const char* mask;
        int public_mode;
    };
    for (const umask_case& c : {umask_case{"0", 0666}, umask_case{"022", 0644}, umask_case{"0277", 0400}}) {
        SCOPED_TRACE(c.mask);
        std::string name = box.path(std::string("k") + c.mask);
        run_options o;
        o.program = "sh";
        o.args = {"-c", std::string("umask ") + c.mask + "; exec \"$0\" keygen \"$1\"", FWBUNDLE_BIN, name};
        run_result r = run_program(o);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "private key: " + name + ".pem\npublic key: " + name + ".pub.pem\nkey id: " +
                             openssl_key_id(box, name + ".pub.pem") + "\n");
        EXPECT_EQ(file_mode(name + ".pem"), 0600);
        EXPECT_EQ(file_mode(name + ".pub.pem"), c.public_mode);
        EXPECT_TRUE(contains(read_text(name + ".pub.pem"), "-----BEGIN PUBLIC KEY-----\n"));
    }

    // Either name taken stops it before anything is written.
    std::string name = box.path("k0");
    const std::string private_text = read_text(name + ".pem");
    remove_tree(name + ".pub.pem");
    run_result r = run_fwbundle({"keygen", name});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "fwbundle: " + name + ".pem: already exists; not overwritten\n");
    EXPECT_EQ(read_text(name + ".pem"), private_text);
    EXPECT_FALSE(file_exists(name + ".pub.pem"));
    name = box.path("k022");
    remove_tree(name + ".pem");
    r = run_fwbundle({"keygen", name});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "fwbundle: " + name + ".pub.pem: already exists; not overwritten\n");
    EXPECT_FALSE(file_exists(name + ".pem"));
}

// Every file fwbundle makes has the mode any tool that makes files gives it:
// 0666 less the umask. Only the private key of keygen is 0600 whatever the umask.
TEST(FwbundleKeygen, EveryFileWrittenHasTheModeTheUmaskLeaves)
{
    signing_fixture f;
    key_files key = make_key(f.box, "genpkey");
    f.box.write("old/same", "same");
    f.box.write("old/changed", std::string(3000, 'o'));
    f.box.write("new/same", "same");
    f.box.write("new/changed", std::string(2990, 'o') + "new");
    f.box.write("new/created", "created");
    ASSERT_EQ(::symlink("created", f.box.path("new/link").c_str()), 0);   // a script block
    // fwbundle with this umask; the command must succeed.
    auto under = [&](const std::string& mask, const std::vector<std::string>& args) {
        run_options o;
        o.program = "sh";
        o.args = {"-c", "umask " + mask + "; exec \"$0\" \"$@\"", FWBUNDLE_BIN};
        o.args.insert(o.args.end(), args.begin(), args.end());
        run_result r = run_program(o);
        EXPECT_EQ(r.exit_code, 0) << r.err;
    };
    struct made {
        const char* what;
        std::function<void(const std::string& mask)> run;
        std::vector<std::string> files;   // relative to the sandbox; a trailing '/' for all in it
    };
    const std::string sig = f.box.path("sig.der");
    const std::vector<made> cases = {
        {"create", [&](const std::string& m) { under(m, {"create", "-o", f.box.path("c.bin"), f.manifest}); },
         {"c.bin"}},
        {"create --gzip", [&](const std::string& m) {
             under(m, {"create", "--gzip", "-o", f.box.path("c.gz"), f.manifest});
         }, {"c.gz"}},
        {"sign", [&](const std::string& m) {
             under(m, {"create", "-o", f.box.path("s.bin"), f.manifest});
             under(m, {"sign", "-k", key.private_key, f.box.path("s.bin")});
         }, {"s.bin"}},
        {"create --sign", [&](const std::string& m) {
             under(m, {"create", "--sign", key.private_key, "-o", f.box.path("cs.bin"), f.manifest});
         }, {"cs.bin"}},
        {"attach-signature", [&](const std::string& m) {
             under(m, {"create", "--gzip", "-o", f.box.path("a.gz"), f.manifest});
             run_result payload = run_fwbundle({"payload", f.box.path("a.gz")});
             std::string message = f.box.write("payload", payload.out);
             tool_output("openssl", {"dgst", "-sha256", "-sign", key.private_key, "-out", sig, message});
             under(m, {"attach-signature", f.box.path("a.gz"), sig, "--pubkey", key.public_key});
         }, {"a.gz"}},
        {"delta", [&](const std::string& m) {
             under(m, {"delta", f.box.path("old"), f.box.path("new"), "-o", f.box.path("d.bin"),
                       "--manifest-out", f.box.path("dm/delta.toml"), "--sign", key.private_key});
         }, {"d.bin", "dm/"}},
        {"extract", [&](const std::string& m) {
             under(m, {"extract", f.box.path("d.bin"), f.box.path("x")});
         }, {"x/"}},
        {"keygen", [&](const std::string& m) { under(m, {"keygen", f.box.path("k")}); },
         {"k.pub.pem"}},
    };
    for (const std::string mask : {"022", "077"}) {
        const int expected = 0666 & ~(int)std::stoi(mask, nullptr, 8);
        for (const char* name : {"c.bin", "c.gz", "s.bin", "cs.bin", "a.gz", "d.bin", "dm",
                                        "x", "k.pem", "k.pub.pem"})
            remove_tree(f.box.path(name));
        f.box.make_dir("dm");
        for (const made& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", umask " + mask);
            c.run(mask);
            std::vector<std::string> paths;
            for (const std::string& file : c.files) {
                if (file.back() != '/') {
                    paths.push_back(f.box.path(file));
                    continue;
                }
                std::vector<std::string> entries = dir_entries(f.box.path(file));
                EXPECT_GE(entries.size(), 2u) << file;
                for (const std::string& entry : entries)
                    paths.push_back(f.box.path(file) + entry);
            }
            for (const std::string& path : paths)
                EXPECT_EQ(file_mode(path), expected) << path;
        }
        EXPECT_EQ(file_mode(f.box.path("k.pem")), 0600);
    }
}

TEST(FwbundleList, ShowsTheTrailerAsTheBoardJudgesIt)
{
    signing_fixture f;
    key_files key = make_key(f.box, "genpkey");
    std::string id = openssl_key_id(f.box, key.public_key);
    std::string digest = sha256_hex(f.box.path("bare.bin"));
    std::string pkg = f.box.path("p.bin");
    ASSERT_EQ(run_fwbundle({"create", "-o", pkg, f.manifest}).exit_code, 0);
    const std::vector<uint8_t> unsigned_bytes = read_file(pkg);
    ASSERT_EQ(run_fwbundle({"create", "--sign", key.private_key, "-o", pkg, f.manifest}).exit_code, 0);
    const std::vector<uint8_t> signed_bytes = read_file(pkg);
    const size_t sig_size = signed_bytes.size() - unsigned_bytes.size();
    auto changed = [&](std::vector<uint8_t> b, auto change) {
        change(b);
        return b;
    };
    const size_t at = f.bare.size();

    struct listed {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string shown;            // the end of the listing
        std::string board;            // in fwdeploy's output, run without keys
    };
    const std::vector<listed> cases = {
        {"no trailer", f.bare, "\ntrailer: none\n", ""},
        {"unsigned", unsigned_bytes,
         "\ntrailer: version 1, unsigned\ndigest: " + digest + "\nkey id: none\n",
         "Package digest OK, signature not checked (no trusted keys)"},
        {"signed", signed_bytes,
         "\ntrailer: version 1, signed (" + std::to_string(sig_size) + "-byte signature)\ndigest: " +
             digest + "\nkey id: " + id + "\n",
         "Package digest OK, signature not checked (no trusted keys)"},
        {"bytes that are no trailer", changed(f.bare, [](auto& b) { b.insert(b.end(), 3, 'x'); }),
         "\ntrailer: none (3 bytes after the last block, which the board ignores)\n", ""},
        {"a byte after the trailer", changed(unsigned_bytes, [](auto& b) { b.push_back(0); }),
         "\ntrailer: malformed (1 byte after it)\n", "Package trailer is malformed!"},
        {"cut short", slice(unsigned_bytes, 0, unsigned_bytes.size() - 1),
         "\ntrailer: malformed (cut short after 79 bytes of its 80 bytes)\n",
         "Package trailer is malformed!"},
        {"sizes that disagree", changed(unsigned_bytes, [&](auto& b) { b[at + 76] = 1; }),
         "\ntrailer: malformed (trailer_size 80 does not match what it holds)\n",
         "Package trailer is malformed!"},
        {"signature over 72 bytes", changed(signed_bytes, [&](auto& b) {
             b[at + 8] = 80 + 73;
             b[at + 76] = 73;
             b.insert(b.end(), 73 - sig_size, 0);
         }), "\ntrailer: malformed (sig_size 73 is over 72)\n", "Package trailer is malformed!"},
    };
    for (const listed& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(pkg, c.bytes);
        run_result r = run_fwbundle({"list", pkg});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        ASSERT_GE(r.out.size(), c.shown.size());
        EXPECT_EQ(r.out.substr(r.out.size() - c.shown.size()), c.shown) << r.out;
        run_result board = run_fwdeploy({"-r", "p.bin"}, f.box.root());
        EXPECT_EQ(board.exit_code, c.board == "Package trailer is malformed!" ? 255 : 0) << board.out;
        EXPECT_TRUE(contains(board.out, c.board)) << board.out;
    }
}

// The largest trailer the board takes: an entry for every block, the last one
// included, the most attributes and the longest signature. list shows it as a
// trailer, extract keeps every result digest and the attributes, sign keeps
// them too; one byte less of room and all three would call it malformed.
TEST(FwbundleList, TheLargestTrailerTheBoardTakesIsReadWhole)
{
    sandbox_dir box("fwbundle");
    bundle_package p;
    p.blocks = {patch_block("/a", pattern_bytes(100, 41)), patch_block("/b", pattern_bytes(100, 42))};
    std::string pkg = write_package(box.path("max.bin"), p);
    std::vector<uint8_t> bytes = read_file(pkg);
    auto u32 = [](uint32_t value) {
        std::vector<uint8_t> b(4);
        memcpy(b.data(), &value, 4);
        return b;
    };
    auto append = [&](const std::vector<uint8_t>& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
    };
    const std::string description = std::string(4096 - 13, 'd');
    const std::string attributes = "description=" + description + "\n";
    const uint32_t size = TRAILER_V3_FIXED_SIZE + 2 * sizeof(trailer_entry) +
                          (uint32_t)attributes.size() + TRAILER_MAX_SIGNATURE;
    ASSERT_EQ(size, trailer_size_limit(2));
    append(bytes_of("FWTRAIL3"));
    append(u32(size));
    append(sha256_of(pkg));
    append(std::vector<uint8_t>(32, 0x5a));               // key id
    append(u32(TRAILER_MAX_SIGNATURE));
    append(u32(2));
    for (uint32_t block = 0; block < 2; ++block) {
        append(u32(block));
        append(std::vector<uint8_t>(32, (uint8_t)(0x11 * (block + 1))));
    }
    append(u32((uint32_t)attributes.size()));
    append(bytes_of(attributes));
    append(std::vector<uint8_t>(TRAILER_MAX_SIGNATURE, 0x30));
    write_file(pkg, bytes);

    run_result r = run_fwbundle({"list", pkg});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\ntrailer: version 3, signed (72-byte signature), 2 result "
                                "digests\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nattribute: description=" + description + "\n"));

    r = run_fwbundle({"extract", pkg, box.path("out")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string manifest = read_text(box.path("out/manifest.toml"));
    EXPECT_TRUE(contains(manifest, "description = \"" + description + "\"\n")) << manifest;
    EXPECT_TRUE(contains(manifest, "source = \"block-001.bin\"\nresult_sha256 = \"" +
                                       std::string(64, '2') + "\"\n")) << manifest;

    key_files key = make_key(box, "keygen");
    r = run_fwbundle({"sign", "-k", key.private_key, pkg});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(contains(r.err, "malformed")) << r.err;
    r = run_fwbundle({"list", pkg});
    EXPECT_TRUE(contains(r.out, " 2 result digests\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nattribute: description=" + description + "\n"));
}

TEST(FwbundleAttributes, EveryRouteWritesWhatTheBoardJudges)
{
    signing_fixture f;
    key_files key = make_key(f.box, "genpkey");
    std::string pkg = f.box.path("p.bin");
    std::string gz = f.box.path("p.gz");
    std::string manifest = f.box.write(
        "attributes.toml", "compatible = [\"board-a\", \"board-b\"]\nversion = \"1.2\"\n" +
                               read_text(f.manifest));
    auto fwbundle = [&](const std::vector<std::string>& args) {
        run_result r = run_fwbundle(args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return r;
    };
    auto attributes_of = [&](const std::string& file) {
        std::string shown;
        for (const std::string& line : split_lines(fwbundle({"list", file}).out))
            if (line.rfind("attribute: ", 0) == 0)
                shown += line.substr(11) + "\n";
        return shown;
    };
    // What the board and fwbundle verify say, for a board with these options.
    auto board_says = [&](const std::string& file, const std::vector<std::string>& options,
                          const std::string& line, bool accepted) {
        SCOPED_TRACE(line);
        bool gzip = read_file(file).at(0) == 0x1f;
        std::vector<std::string> args = {gzip ? "-x" : "-r", f.relative(file)};
        std::vector<std::string> verify = {"verify", file};
        for (size_t i = 0; i < options.size(); i += 2) {
            const std::string& o = options[i];
            std::string value = o == "-k" ? f.relative(options[i + 1]) : options[i + 1];
            args.insert(args.end(), {o, value});
            verify.insert(verify.end(), {o == "-c"   ? "--compatible"
                                         : o == "-m" ? "--installed-version"
                                                     : "--keys",
                                         options[i + 1]});
        }
        run_result board = run_fwdeploy(args, f.box.root());
        EXPECT_EQ(board.exit_code, accepted ? 0 : 255) << board.out;
        EXPECT_TRUE(contains(board.out, line + "\n")) << board.out;
        run_result host = run_fwbundle(verify);
        EXPECT_EQ(host.exit_code, accepted ? 0 : 1) << host.err;
        EXPECT_TRUE(contains(accepted ? host.out : host.err, line)) << host.out << host.err;
        remove_tree(f.box.path("out"));
    };

    // From the manifest, the command line replacing a key of it.
    fwbundle({"create", "-o", pkg, manifest});
    EXPECT_EQ(attributes_of(pkg), "compatible=board-a\ncompatible=board-b\nversion=1.2\n");
    EXPECT_TRUE(contains(fwbundle({"list", pkg}).out, "trailer: version 3, unsigned"));
    board_says(pkg, {"-c", "board-c"},
               "Package is made for board-a, board-b, not for this board (board-c)!", false);
    board_says(pkg, {"-c", "board-b", "-m", "1.1"}, "Package version 1.2, compatible with board-b",
               true);
    fwbundle({"create", "-o", pkg, manifest, "--version", "1.10", "--description", "für A/B"});
    EXPECT_EQ(attributes_of(pkg),
              "compatible=board-a\ncompatible=board-b\nversion=1.10\ndescription=für A/B\n");
    board_says(pkg, {"-m", "1.9"}, "Package version 1.10, compatibility not checked", true);
    board_says(pkg, {"-m", "1.10.0"}, "Package version 1.10, compatibility not checked", true);
    // verify judges as a board built to take newer versions only when asked.
    for (const std::string installed : {"1.9", "1.10.0", "1.10.1"}) {
        SCOPED_TRACE(installed);
        run_options o;
        o.program = FWDEPLOY_NEWER_ONLY_BIN;
        o.args = {"-n", "-r", pkg, "-m", installed};
        run_result board = run_program(o);
        run_result host = run_fwbundle({"verify", "--refuse-same-version", "--installed-version",
                                        installed, pkg});
        EXPECT_EQ(board.exit_code, installed == "1.9" ? 0 : 255) << board.out;
        EXPECT_EQ(host.exit_code, installed == "1.9" ? 0 : 1) << host.err;
        std::string line = installed == "1.9"
                               ? "Package version 1.10, compatibility not checked"
                           : installed == "1.10.0"
                               ? "Package version 1.10 is the installed one; this board takes "
                                 "newer versions only!"
                               : "Package version 1.10 is older than the installed 1.10.1!";
        EXPECT_TRUE(contains(board.out, line + "\n")) << board.out;
        EXPECT_TRUE(contains(host.out + host.err, line)) << host.out << host.err;
    }

    // Signing keeps them; a key given anew replaces only that key. The signer
    // is shown what the signature is to cover before it is made.
    run_result signing = fwbundle({"sign", "-k", key.private_key, pkg, "--compatible", "board-c"});
    EXPECT_EQ(attributes_of(pkg), "version=1.10\ndescription=für A/B\ncompatible=board-c\n");
    EXPECT_EQ(signing.out, pkg + ": signing attribute version=1.10\n" + pkg +
                               ": signing attribute description=für A/B\n" + pkg +
                               ": signing attribute compatible=board-c\n" + pkg +
                               ": signed by key " + openssl_key_id(f.box, key.public_key) + "\n");
    // Keys that may appear once are replaced, never repeated.
    std::string again = f.box.write("again.bin", read_file(pkg));
    fwbundle({"sign", "-k", key.private_key, again, "--description", "second", "--version", "1.11"});
    EXPECT_EQ(attributes_of(again), "compatible=board-c\nversion=1.11\ndescription=second\n");
    fwbundle({"sign", "-k", key.private_key, again});
    EXPECT_EQ(attributes_of(again), "compatible=board-c\nversion=1.11\ndescription=second\n");
    board_says(again, {"-k", key.public_key, "-c", "board-c", "-m", "1.11"},
               "Package version 1.11, compatible with board-c", true);
    remove_tree(again);
    // Each rule's edge on the side the board takes is taken here too.
    const std::string edges = "\t ~\xc2\xa0\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80"
                              "\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"
                              "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\t";
    std::string edged = f.box.path("edges.bin");
    fwbundle({"create", "-o", edged, f.manifest, "--description", edges, "--compatible", edges});
    EXPECT_EQ(attributes_of(edged), "compatible=" + edges + "\ndescription=" + edges + "\n");
    board_says(edged, {"-c", edges}, "Package version none, compatible with " + edges, true);
    fwbundle({"sign", "-k", key.private_key, edged, "--description", edges + "x"});
    board_says(edged, {"-k", key.public_key}, "Package version none, compatibility not checked",
               true);
    remove_tree(edged);
    board_says(pkg, {"-k", key.public_key, "-c", "board-c", "-m", "1.10"},
               "Package version 1.10, compatible with board-c", true);
    board_says(pkg, {"-k", key.public_key, "-m", "1.10.1"},
               "Package version 1.10 is older than the installed 1.10.1!", false);

    // Signed elsewhere: the payload is the unsigned package file, attributes
    // and all, and attaching the signature keeps them.
    fwbundle({"create", "--gzip", "-o", gz, manifest});
    const std::vector<uint8_t> unsigned_file = unpacked(gz);
    run_result payload = fwbundle({"payload", gz});
    EXPECT_TRUE(bytes_of(payload.out) == unsigned_file);
    std::string message = f.box.write("payload", payload.out);
    tool_output("openssl", {"dgst", "-sha256", "-sign", key.private_key, "-out",
                            f.box.path("sig.der"), message});
    fwbundle({"attach-signature", gz, f.box.path("sig.der"), "--pubkey", key.public_key});
    EXPECT_EQ(attributes_of(gz), "compatible=board-a\ncompatible=board-b\nversion=1.2\n");
    board_says(gz, {"-k", key.public_key, "-c", "board-a"},
               "Package version 1.2, compatible with board-a", true);
    fwbundle({"create", "--sign", key.private_key, "-o", pkg, f.manifest, "--version", "3"});
    board_says(pkg, {"-k", key.public_key, "-c", "board-a"}, "Package names no compatible board!",
               false);

    // What the board would refuse is refused here, and nothing is written.
    remove_tree(pkg);
    struct refusal {
        std::vector<std::string> args;
        std::string why;
    };
    const std::string big(4096, 'x');
    std::vector<refusal> refusals = {
        {{"create", "-o", pkg, f.manifest, "--version", "1.x"},
         "version \"1.x\" is not a version (decimal numbers joined by dots, as 1.10.3)"},
        {{"create", "-o", pkg, f.manifest, "--version", "2", "--no-trailer"},
         "live in the trailer: not with --no-trailer"},
        {{"create", "-o", pkg, f.manifest, "--description", big},
         "the attributes take 4109 bytes; the board reads at most 4096"},
        {{"create", "-o", pkg, f.manifest, "--compatible", "a\nb"},
         "the compatible value holds a line feed (0x0a) at byte 2"},
        {{"create", "-o", pkg, f.box.write("int.toml", "version = 2\n" + read_text(f.manifest))},
         "int.toml:1: version: not a string"},
        {{"sign", "-k", key.private_key, gz, "--version", "v2"}, "is not a version"},
        {{"verify", gz, "--installed-version", "2.x"}, "--installed-version: \"2.x\" is not a version"},
    };
    // A second attribute smuggled in through a line feed, on every way in.
    const std::string smuggled = "Fixes CVE-1\nversion=99.0";
    const std::string lf = " holds a line feed (0x0a) at byte ";
    auto toml_with = [&](const std::string& name, const std::string& line) {
        return f.box.write(name, line + "\n" + read_text(f.manifest));
    };
    f.box.write("old/a", "a");
    f.box.write("new/a", "b");
    refusals.insert(refusals.end(), {
        {{"create", "-o", pkg, f.manifest, "--description", smuggled},
         "the description value" + lf + "12"},
        {{"create", "-o", pkg, f.manifest, "--compatible", "board-a",
          "--compatible", "board-b\ncompatible=board-a"},
         "the compatible value" + lf + "8"},
        {{"create", "-o", pkg, f.manifest, "--version", "1\nversion=99"},
         "the version value" + lf + "2"},
        {{"create", "-o", pkg, toml_with("lf.toml", "description = \"Fixes CVE-1\\nversion=99.0\"")},
         "lf.toml: the description value" + lf + "12"},
        {{"create", "-o", pkg, toml_with("lf2.toml", "compatible = [\"a\", \"b\\ncompatible=a\"]")},
         "lf2.toml: the compatible value" + lf + "2"},
        {{"create", "-o", pkg, toml_with("cr.toml", "compatible = \"board-b\\r\"")},
         "cr.toml: the compatible value holds a carriage return (0x0d) at byte 8"},
        {{"create", "-o", pkg, toml_with("nul.toml", "description = \"a\\u0000b\"")},
         "nul.toml: the description value holds the control character 0x00 at byte 2"},
        {{"create", "-o", pkg, toml_with("del.toml", "description = \"ab\\u007f\"")},
         "del.toml: the description value holds the control character 0x7f at byte 3"},
        {{"create", "-o", pkg, toml_with("nel.toml", "description = \"a\\u0085b\"")},
         "nel.toml: the description value holds the control character U+0085 at byte 2"},
        {{"sign", "-k", key.private_key, gz, "--description", smuggled},
         "the description value" + lf + "12"},
        {{"sign", "-k", key.private_key, gz, "--compatible", "board-b\ncompatible=board-a"},
         "the compatible value" + lf + "8"},
        {{"delta", f.box.path("old"), f.box.path("new"), "-o", pkg, "--description", smuggled},
         "the description value" + lf + "12"},
        {{"delta", f.box.path("old"), f.box.path("new"), "-o", pkg, "--compatible", "a\rb",
          "--manifest-out", f.box.path("delta.toml")},
         "the compatible value holds a carriage return (0x0d) at byte 2"},
        // Empty forms where a value is required.
        {{"create", "-o", pkg, f.manifest, "--compatible", ""},
         "the compatible value is empty: it must name a board"},
        {{"create", "-o", pkg, f.manifest, "--compatible", "board-a", "--compatible", ""},
         "the compatible value is empty: it must name a board"},
        {{"sign", "-k", key.private_key, gz, "--compatible", ""},
         "the compatible value is empty: it must name a board"},
        {{"delta", f.box.path("old"), f.box.path("new"), "-o", pkg, "--compatible", ""},
         "the compatible value is empty: it must name a board"},
        {{"create", "-o", pkg, toml_with("none.toml", "compatible = []")},
         "none.toml:1: compatible: an empty list"},
        {{"create", "-o", pkg, toml_with("empty.toml", "compatible = \"\"")},
         "empty.toml: the compatible value is empty: it must name a board"},
        {{"create", "-o", pkg, toml_with("empties.toml", "compatible = [\"a\", \"\"]")},
         "empties.toml: the compatible value is empty: it must name a board"},
        {{"create", "-o", pkg, f.manifest, "--version", ""}, "version \"\" is not a version"},
        {{"create", "-o", pkg, toml_with("nov.toml", "version = \"\"")},
         "nov.toml: version \"\" is not a version"},
    });
    // Each rule the board holds a value to, in its variants, through the
    // options of create and sign: control characters at both ends of the
    // range and in both places, overlong forms of every length, surrogates and
    // code points past U+10FFFF.
    const std::string control = " value holds the control character ";
    const std::string not_utf8 = " value is not UTF-8 text";
    const std::string bidi = " value holds the bidirectional control ";
    const std::vector<std::pair<std::string, std::string>> values = {
        {"a\x01" "b", control + "0x01 at byte 2"},
        {"ab\x01", control + "0x01 at byte 3"},
        {"a\x1f" "b", control + "0x1f at byte 2"},
        {"\x1f", control + "0x1f at byte 1"},
        {"a\x7f" "b", control + "0x7f at byte 2"},
        {"ab\x7f", control + "0x7f at byte 3"},
        {"\x1b[2J", control + "0x1b at byte 1"},
        {"a\rb", " value holds a carriage return (0x0d) at byte 2"},
        {"ab\r", " value holds a carriage return (0x0d) at byte 3"},
        {"a\xc2\x85" "b", control + "U+0085 at byte 2"},
        {"\xc2\x80", control + "U+0080 at byte 1"},
        {"ab\xc2\x9f", control + "U+009F at byte 3"},
        {"a\xe2\x80\xa8" "b", " value holds the line separator U+2028 at byte 2"},
        {"\xe2\x80\xa9", " value holds the paragraph separator U+2029 at byte 1"},
        {"\xe2\x80\xaa" "abc", bidi + "U+202A at byte 1"},
        {"abc\xe2\x80\xae", bidi + "U+202E at byte 4"},
        {"\xe2\x81\xa6" "a", bidi + "U+2066 at byte 1"},
        {"a\xe2\x81\xa9", bidi + "U+2069 at byte 2"},
        {"a\nb", " value" + lf + "2"},
        {"ab\n", " value" + lf + "3"},
        {"caf\xe9", not_utf8},
        {"\xc0\xaf", not_utf8},
        {"\xc1\xbf", not_utf8},
        {"\xe0\x80\xaf", not_utf8},
        {"\xe0\x9f\xbf", not_utf8},
        {"\xf0\x80\x80\xaf", not_utf8},
        {"\xf0\x8f\xbf\xbf", not_utf8},
        {"a\xed\xa0\x80", not_utf8},
        {"\xed\xbf\xbf", not_utf8},
        {"\xf4\x90\x80\x80", not_utf8},
        {"\xf5\x80\x80\x80", not_utf8},
        {"\xe2\x82", not_utf8},
        {"\x80", not_utf8},
    };
    for (const auto& [value, why] : values) {
        refusals.push_back({{"create", "-o", pkg, f.manifest, "--description", value},
                            "the description" + why});
        refusals.push_back({{"create", "-o", pkg, f.manifest, "--compatible", value},
                            "the compatible" + why});
        refusals.push_back({{"sign", "-k", key.private_key, gz, "--description", value},
                            "the description" + why});
    }
    const std::vector<uint8_t> gz_before = read_file(gz);
    for (const refusal& c : refusals) {
        SCOPED_TRACE(c.why);
        run_result r = run_fwbundle(c.args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(contains(r.err, c.why)) << r.err;
        EXPECT_FALSE(file_exists(pkg));
        EXPECT_FALSE(file_exists(f.box.path("delta.toml")));
        EXPECT_TRUE(read_file(gz) == gz_before);
        EXPECT_EQ(r.out, "") << "nothing signed, nothing shown as signed";
    }
}

TEST(FwbundleSlots, SlotTargetsArePackedListedAndCheckedAgainstATable)
{
    sandbox_dir box("fwbundle");
    box.write("rootfs.img", pattern_bytes(3000, 41));
    std::string manifest = box.write(
        "m.toml", "[[block]]\noperation = \"raw_partition\"\ntarget = \"@rootfs\"\n"
                  "source = \"rootfs.img\"\nerase_size = 8192\n"
                  "[[block]]\noperation = \"ubi_volume\"\ntarget = \"@data_B-2\"\n"
                  "source = \"rootfs.img\"\n");
    std::string pkg = box.path("slots.bin");
    run_result r = run_fwbundle({"create", "-o", pkg, manifest});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The target as written, and the attribute that makes a board check it can place it.
    std::string listed = run_fwbundle({"list", pkg}).out;
    EXPECT_TRUE(contains(listed, " @rootfs\n")) << listed;
    EXPECT_TRUE(contains(listed, " @data_B-2\n")) << listed;
    EXPECT_TRUE(contains(listed, "attribute: requires=slots\n")) << listed;
    // Packed with attributes of its own too, the attribute is there once.
    ASSERT_EQ(run_fwbundle({"create", "-o", pkg, manifest, "--version", "2"}).exit_code, 0);
    listed = run_fwbundle({"list", pkg}).out;
    EXPECT_TRUE(contains(listed, "attribute: requires=slots\nattribute: version=2\n")) << listed;

    struct slots_case {
        std::string table;            // empty: verify without --slots
        int status;
        std::string said;             // in standard error
    };
    const std::vector<slots_case> cases = {
        {"", 0, ""},
        {"rootfs /dev/vda2 /dev/vda3\ndata_B-2 /dev/ubi0_1 /dev/ubi0_2\n", 0, ""},
        {"rootfs /dev/vda2 /dev/vda3\n", 1,
         "Slot target @data_B-2 refused: no such group in " + box.path("table") + "!"},
        {"rootfs /dev/vda2\n", 1,
         "Slot table " + box.path("table") +
             " line 1: a group is a name and the devices of slot A and slot B"},
    };
    for (const slots_case& c : cases) {
        SCOPED_TRACE(c.table);
        std::vector<std::string> args = {"verify", pkg};
        if (!c.table.empty())
            args.insert(args.end(), {"--slots", box.write("table", c.table)});
        r = run_fwbundle(args);
        EXPECT_EQ(r.exit_code, c.status) << r.out << r.err;
        EXPECT_TRUE(contains(r.err, c.said)) << r.err;
    }

    // A script's target only names it, also when it begins with @: the package
    // needs no slots, and a board without any runs it.
    box.write("@setup.sh", "echo set up > " + box.path("ran") + "\n");
    std::string script_only = box.write(
        "script.toml", "[[block]]\noperation = \"script\"\nsource = \"@setup.sh\"\n");
    ASSERT_EQ(run_fwbundle({"create", "-o", box.path("script.bin"), script_only}).exit_code, 0);
    listed = run_fwbundle({"list", box.path("script.bin")}).out;
    EXPECT_TRUE(contains(listed, " @setup.sh\n")) << listed;
    EXPECT_FALSE(contains(listed, "requires=slots")) << listed;
    r = run_fwdeploy({"-r", box.path("script.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: 0\n")) << r.out;
    EXPECT_EQ(read_text(box.path("ran")), "set up\n");

    // A group name as long as the board's table takes is packed and placed; one
    // character more is refused by both, so no package names a group no table can.
    for (size_t length : {31, 32}) {
        SCOPED_TRACE(length);
        std::string name(length, 'g');
        std::string named = box.write(
            "named.toml", "[[block]]\noperation = \"raw_partition\"\ntarget = \"@" + name +
                              "\"\nsource = \"rootfs.img\"\n");
        r = run_fwbundle({"create", "-o", box.path("named.bin"), named});
        EXPECT_EQ(r.exit_code, length == 31 ? 0 : 1) << r.err;
        if (length == 31) {
            r = run_fwbundle({"verify", box.path("named.bin"), "--slots",
                              box.write("table", name + " /dev/vda2 /dev/vda3\n")});
            EXPECT_EQ(r.exit_code, 0) << r.err;
        } else {
            EXPECT_TRUE(contains(r.err, "a slot group is @ and up to 31 letters, digits, - and _"))
                << r.err;
            r = run_fwbundle({"verify", pkg, "--slots",
                              box.write("table", name + " /dev/vda2 /dev/vda3\n")});
            EXPECT_TRUE(contains(r.err, "line 1: group name " + name + " is not up to 31 letters"))
                << r.err;
        }
    }

    // Without its trailer an older board could not be told what the package needs.
    r = run_fwbundle({"create", "--no-trailer", "-o", box.path("bare.bin"), manifest});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.err, "a package with slot targets says so in its trailer "
                                "(requires=slots): not with --no-trailer"))
        << r.err;
    EXPECT_FALSE(file_exists(box.path("bare.bin")));
}

// Encrypted packages on the host: fwbundle seals for the boards named, opens
// with a board's key through the board's own reader, lists recipients and
// verifies the package inside; what it seals the independent Python check
// opens, and what Python seals fwbundle opens.
TEST(FwbundleEncrypt, SealsForTheBoardsAndOpensAsTheBoardDoes)
{
    sandbox_dir box("fwbundle-encrypt");
    run_result r = run_fwbundle({"keygen", "--encryption", box.path("board")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "encryption: give " + box.path("board") + ".pub.pem to fwbundle "
                                "encrypt --to"))
        << r.out;
    openssl_key other = make_openssl_key(box, "other");
    ::chmod(other.private_pem.c_str(), 0600);
    box.write("data.bin", pattern_bytes(200 * 1024, 8));
    std::string manifest = box.write("m.toml", "[[block]]\noperation = \"file_create\"\n"
                                               "target = \"/data/app.bin\"\nsource = \"data.bin\"\n");
    std::string pkg = box.path("pkg.bin");
    ASSERT_EQ(run_fwbundle({"create", "-o", pkg, manifest}).exit_code, 0);
    std::string recipients = box.write("fleet", "# the fleet\nboard.pub.pem\n\n" +
                                                    other.public_pem + "\n");
    std::string sealed = box.path("pkg.enc");
    r = run_fwbundle({"encrypt", "--recipients", recipients, "-o", sealed, pkg});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, sealed + ": encrypted for 2 recipients\n");

    // list: the recipients' ids; with a key, the package inside too.
    r = run_fwbundle({"list", sealed});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0], "Envelope: ChaCha20-Poly1305, chunks of 65536 bytes, 2 recipients");
    r = run_fwbundle({"list", "--key", box.path("board.pem"), sealed});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, sealed + " (inside)\n")) << r.out;

    // decrypt and verify as the board does, with either board's key.
    for (const std::string& key : {box.path("board.pem"), other.private_pem}) {
        SCOPED_TRACE(key);
        std::string back = box.path("back.bin");
        ::unlink(back.c_str());
        r = run_fwbundle({"decrypt", "--key", key, "-o", back, sealed});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(read_file(back) == read_file(pkg));
        r = run_fwbundle({"verify", "--key", key, sealed});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(contains(r.out, sealed + ": OK, 1 blocks")) << r.out;
    }
    // A board of neither: refused in the board's words; nothing written.
    openssl_key stranger = make_openssl_key(box, "stranger");
    ::chmod(stranger.private_pem.c_str(), 0600);
    r = run_fwbundle({"decrypt", "--key", stranger.private_pem, "-o", box.path("no.bin"), sealed});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "fwbundle: " + sealed + ": Package is encrypted for other boards\n");
    EXPECT_FALSE(file_exists(box.path("no.bin")));
    r = run_fwbundle({"verify", sealed});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.err, "encrypted: give the board's key with --key")) << r.err;
    r = run_fwbundle({"encrypt", "--to", other.public_pem, "-o", box.path("twice.enc"), sealed});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.err, "already encrypted")) << r.err;

    // create --encrypt-to seals what it made, gzip and signed included.
    std::string made = box.path("made.enc");
    r = run_fwbundle({"create", "-z", "--sign", box.path("board.pem"), "--encrypt-to",
                      box.path("board.pub.pem"), "-o", made, manifest});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = run_fwbundle({"verify", "-z", "--key", box.path("board.pem"), "--keys",
                      box.path("board.pub.pem"), made});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "signed by key")) << r.out;

    // The independent check opens fwbundle's envelope, and fwbundle Python's.
    run_options python;
    python.program = "/usr/bin/python3";
    python.args = {"-c", "import cryptography.hazmat.primitives.ciphers.aead"};
    if (run_program(python).exit_code != 0)
        GTEST_SKIP() << "no python3-cryptography";
    python.args = {std::string(TEST_SOURCE_DIR) + "/support/envelope_check.py", "open",
                   box.path("py.bin"), sealed, other.private_pem};
    r = run_program(python);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(read_file(box.path("py.bin")) == read_file(pkg));
    python.args = {std::string(TEST_SOURCE_DIR) + "/support/envelope_check.py", "seal",
                   box.path("py.enc"), pkg, box.path("board.pub.pem")};
    ASSERT_EQ(run_program(python).exit_code, 0);
    r = run_fwbundle({"decrypt", "--key", box.path("board.pem"), "-o", box.path("py-back.bin"),
                      box.path("py.enc")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(read_file(box.path("py-back.bin")) == read_file(pkg));
}

#endif  // FWBUNDLE_BIN
