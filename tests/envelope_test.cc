// The board's own envelope cryptography held to what an independent
// implementation (Python's cryptography package, tests/support/envelope_check.py)
// computes for fixed inputs: the content key unwrapped from a recipient line,
// the keys derived from it, and chunks sealed under the chunks' key.
#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>

#include "backends/envelope.h"
#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"

TEST(EnvelopeCrypto, TheBoardAgreesWithAnIndependentImplementation)
{
    run_options probe;
    probe.program = "/usr/bin/python3";
    probe.args = {"-c", "import cryptography.hazmat.primitives.ciphers.aead"};
    if (run_program(probe).exit_code != 0)
        GTEST_SKIP() << "no python3-cryptography";
    sandbox_dir box("fwdeploy-kat");
    openssl_key key = make_openssl_key(box, "board");
    ::chmod(key.private_pem.c_str(), 0600);
    run_options o;
    o.program = "/usr/bin/python3";
    o.args = {std::string(TEST_SOURCE_DIR) + "/support/envelope_check.py", "known-answers",
              key.private_pem};
    run_result r = run_program(o);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::map<std::string, std::vector<uint8_t>> known;
    for (const std::string& line : split_lines(r.out))
        known[line.substr(0, line.find(' '))] = bytes_of_hex(line.substr(line.find(' ') + 1));
    ASSERT_EQ(known["line"].size(), ENVELOPE_RECIPIENT_SIZE);

    ASSERT_EQ(decryption_keys_load(key.private_pem.c_str()), 0);
    ASSERT_EQ(decryption_key_count(), 1);
    uint8_t content_key[ENVELOPE_KEY_SIZE] = {};
    EXPECT_EQ(envelope_unwrap(known["line"].data(), content_key), 1);
    EXPECT_EQ(hex_of(content_key, sizeof content_key), hex_of(known["content_key"].data(), 32));
    // One bit of the wrapped key or its tag changed: not for this board.
    for (size_t at : {ENVELOPE_ID_SIZE + ENVELOPE_POINT_SIZE, ENVELOPE_RECIPIENT_SIZE - 1}) {
        std::vector<uint8_t> line = known["line"];
        line[at] ^= 0x80;
        uint8_t unused[ENVELOPE_KEY_SIZE];
        EXPECT_EQ(envelope_unwrap(line.data(), unused), 0) << at;
    }
    uint8_t payload_key[32];
    uint8_t header_key[32];
    envelope_payload_key(content_key, known["salt"].data(), payload_key);
    envelope_header_key(content_key, known["salt"].data(), header_key);
    EXPECT_EQ(hex_of(payload_key, 32), hex_of(known["payload_key"].data(), 32));
    EXPECT_EQ(hex_of(header_key, 32), hex_of(known["header_key"].data(), 32));

    const std::vector<uint8_t>& data = known["data"];
    struct chunk_case {
        const char* name;
        uint64_t number;
        bool last;
    };
    for (const chunk_case& c : {chunk_case{"chunk_0_0", 0, false}, chunk_case{"chunk_5_1", 5, true},
                                chunk_case{"chunk_1099511627776_0", 1ULL << 40, false}}) {
        SCOPED_TRACE(c.name);
        uint8_t nonce[12];
        envelope_chunk_nonce(c.number, c.last, nonce);
        std::vector<uint8_t> sealed = data;
        uint8_t tag[ENVELOPE_TAG_SIZE];
        aead_seal(payload_key, nonce, nullptr, 0, sealed.data(), sealed.size(), tag);
        sealed.insert(sealed.end(), tag, tag + sizeof tag);
        EXPECT_EQ(hex_of(sealed.data(), sealed.size()), hex_of(known[c.name].data(), known[c.name].size()));
        // And the board opens what the other sealed, but not as another chunk.
        std::vector<uint8_t> theirs = known[c.name];
        EXPECT_EQ(aead_open(payload_key, nonce, nullptr, 0, theirs.data(), data.size(),
                            theirs.data() + data.size()),
                  0);
        EXPECT_TRUE(std::vector<uint8_t>(theirs.begin(), theirs.begin() + (long)data.size()) == data);
        uint8_t other[12];
        envelope_chunk_nonce(c.number, !c.last, other);
        theirs = known[c.name];
        EXPECT_EQ(aead_open(payload_key, other, nullptr, 0, theirs.data(), data.size(),
                            theirs.data() + data.size()),
                  -1);
    }
    decryption_keys_forget();
    EXPECT_EQ(decryption_key_count(), 0);
}
