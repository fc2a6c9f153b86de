// Blocks, packages and a sandbox board for the end-to-end tests of the built tool.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "bundle/writer.h"
#include "tests/support/sandbox.h"

bundle_block raw_block(const std::string& path, const std::vector<uint8_t>& data,
                       uint64_t erase_size);
bundle_block ubi_block(const std::string& path, const std::vector<uint8_t>& data);
bundle_block replace_block(const std::string& path, const std::vector<uint8_t>& data);
bundle_block create_block(const std::string& path, const std::vector<uint8_t>& data,
                          uint32_t mode);
bundle_block delete_block(const std::string& path);
bundle_block patch_block(const std::string& path, const std::vector<uint8_t>& patch);
bundle_block script_block(const std::string& name, const std::string& text);

// A binary diff from `from` to `to`, made with the real bsdiff.
std::vector<uint8_t> make_patch(const std::vector<uint8_t>& from, const std::vector<uint8_t>& to);

// A key pair made by the openssl command line, as users make theirs.
struct openssl_key {
    std::string private_pem;
    std::string public_pem;
};
// `style` is "ecparam" (openssl ecparam -genkey) or "genpkey"; other curves and
// kinds through `curve` ("P-384") or "rsa".
openssl_key make_openssl_key(const sandbox_dir& box, const std::string& name,
                             const std::string& style = "ecparam",
                             const std::string& curve = "P-256");

// The PEM PUBLIC KEY of `public_pem` with `extra` bytes after the DER of its
// SubjectPublicKeyInfo, inside the one base64 block: what a careless tool (or
// an attacker) may write, and what neither the board nor fwbundle may take.
std::string public_pem_with_extra_der(const std::string& public_pem, const std::string& extra);
// The same key with the bits `flipped` of the byte at `at` of its DER form flipped.
std::string public_pem_with_der_bits(const std::string& public_pem, size_t at, uint8_t flipped);

// The trailer for `package` (the bytes up to its last block), made with the
// openssl command line: digest, key id and `openssl dgst -sha256 -sign`. Without
// a key, the unsigned trailer.
std::vector<uint8_t> openssl_trailer(const std::vector<uint8_t>& package,
                                     const openssl_key* key);

// `trailer` (as openssl_trailer makes it) with `signature` in place of its own.
std::vector<uint8_t> with_signature(const std::vector<uint8_t>& trailer,
                                    const std::vector<uint8_t>& signature);

// The environment that preloads `libraries` (colon-separated) into the tool,
// with what the sanitizer runtime needs to start behind them.
std::vector<std::pair<std::string, std::string>> preloading(const std::string& libraries);

// SEQUENCE { INTEGER r, INTEGER s } with lengths in one byte, as given: no
// zero put before a number with its top bit set.
std::vector<uint8_t> signature_der(const std::vector<uint8_t>& r, const std::vector<uint8_t>& s);

// Encodings of the DER signature `der` that a lax parser reads as the same
// (r, s) but that are not DER, each with what is wrong with it.
std::vector<std::pair<std::string, std::vector<uint8_t>>> loose_encodings(
    const std::vector<uint8_t>& der);

// The same with signed attributes (`key=value` lines): a version 3 trailer
// listing no results, its signature made over the package followed by the
// trailer as it reads unsigned.
std::vector<uint8_t> openssl_trailer(const std::vector<uint8_t>& package, const openssl_key* key,
                                     const std::string& attributes);

#ifdef FWBUNDLE_BIN
// The built packaging tool with these arguments.
run_result run_fwbundle(const std::vector<std::string>& args, const std::string& cwd = "",
                        const std::vector<std::pair<std::string, std::string>>& env = {},
                        const std::string& path_prefix = "");
#endif

bool contains(const std::string& text, const std::string& part);

// One progress line as the tool prints it.
std::string progress_line(int percent, int stage, int state);

// Lines of `text` that are progress lines, in order.
std::vector<std::string> progress_lines(const std::string& text);

// A temporary board: dev/mmcblk0p1 (64 KiB standing for an eMMC partition),
// dev/mtdblock2 (64 KiB), dev/mtd3 (64 KiB, driven through the nandwrite
// stand-in) and data/ with a few files, each device filled with a known pattern.
struct test_board {
    sandbox_dir box{"fwdeploy-board"};
    std::string emmc;
    std::string mtdblock;
    std::string mtd;
    std::string data;                 // the data directory, no trailing slash
    std::vector<uint8_t> emmc_before;
    std::vector<uint8_t> mtdblock_before;
    std::vector<uint8_t> mtd_before;
    test_board();
    std::string path(const std::string& relative) const { return box.path(relative); }
};

constexpr size_t DEVICE_SIZE = 64 * 1024;

// Standard output after the four banner lines of a run that reached the engine.
std::vector<std::string> engine_lines(const run_result& r);

// Byte sum as the package format defines it, for expected checksum lines.
uint32_t sum_of(const std::vector<uint8_t>& bytes);

// A progress line of the apply pass (stage 2).
std::string p2(int percent, int state);
// "0x..." as the tool prints sizes and sums.
std::string hex(uint64_t value);
// The overall percentage as the tool computes it.
int percent(uint64_t done, uint64_t total);
// The lines of the apply pass and the end script: what follows "No begin scripts!".
std::vector<std::string> apply_lines(const run_result& r);
// The lines of copying one block that fits in one 4096-byte chunk.
std::vector<std::string> one_chunk_copy(int before, int after, uint64_t size,
                                        const std::string& name);
// The last two lines of a run whose every block was applied and whose end script ran.
std::vector<std::string> finished_ok();
void append(std::vector<std::string>* to, const std::vector<std::string>& lines);
mode_t current_umask();
