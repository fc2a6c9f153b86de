#include <gtest/gtest.h>

#include <cstring>

#include "engine/byte_sum.h"
#include "engine/package_format.h"
#include "engine/trailer.h"
#include "tests/support/fake_host.h"

using namespace fake;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using ReadPackageHeader = FakeHostTest;

struct header_read {
    int result;
    package_header header;
    uint64_t position;                // bytes consumed from the package
    std::string printed;
};

header_read read_header(uint32_t buffer_size, bool with_record = true)
{
    source_ops src = source();
    int handle = src.open("pkg");
    std::vector<uint8_t> buffer(buffer_size);
    header_read r{};
    memset(&r.header, 0xAA, sizeof r.header);
    CaptureStdout();
    r.result = read_package_header(handle, with_record ? &r.header : nullptr, buffer.data(),
                                   src.read, buffer_size);
    r.printed = GetCapturedStdout();
    r.position = host.handles[handle].position;
    src.close(handle);
    return r;
}

bundle_package scripted(size_t begin, size_t end)
{
    bundle_package p;
    p.begin_script = std::string(begin, 'b');
    p.end_script = std::string(end, 'e');
    p.blocks.push_back(make_block(OP_FILE_REPLACE, "/etc/a", pattern(100)));
    return p;
}

std::string checksum_error(uint32_t stored, uint32_t computed)
{
    char text[128];
    snprintf(text, sizeof text, "Shell start data checksum error! head 0x%x cal 0x%x\n", stored,
             computed);
    return text;
}

}  // namespace

TEST(ByteSum, CountsBytesAsUnsignedAndWraps)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(byte_sum(0, abc, 3), 0x126u);
    const uint8_t high[] = {0xFF, 0xFF};
    EXPECT_EQ(byte_sum(0, high, 2), 0x1FEu);
    EXPECT_EQ(byte_sum(0xFFFFFFFFu, high, 1), 0xFEu);
    EXPECT_EQ(byte_sum(7, abc, 0), 7u);
    // Chained over pieces it equals the sum over the whole.
    std::vector<uint8_t> data = pattern(1000);
    EXPECT_EQ(byte_sum(byte_sum(0, data.data(), 333), data.data() + 333, 667),
              byte_sum(0, data.data(), 1000));
}

// Every form of the byte sum this processor may run, held to the plain loop:
// every length to 1,024 at every alignment of a 16-byte vector (a head or
// tail left out, a word read across the end), and a few MiB of random bytes
// and of 0xFF (a 16-bit lane that overflows before it is widened), started
// near the wrap of the 32-bit sum. Under qemu-arm the suite runs this for
// cortex-a7 and for max, each with its NEON.
TEST(ByteSum, EveryFormEqualsThePlainLoopAtEveryLengthAndAlignment)
{
    struct form {
        const char* name;
        uint32_t (*sum)(uint32_t, const uint8_t*, int);
    };
    std::vector<form> forms = {{"byte_sum as chosen", byte_sum}};
#if FWDEPLOY_BYTE_SUM_ARM
    forms.push_back({"USADA8", byte_sum_usada8});
    if (byte_sum_neon_offered())
        forms.push_back({"NEON", byte_sum_neon});
    else
        std::cout << "This core has no NEON: its byte sum form is not checked here.\n";
#endif
    std::vector<uint8_t> random(1024 + 16);
    uint32_t state = 12345;
    for (uint8_t& byte : random) {
        state = state * 1103515245u + 12345u;
        byte = (uint8_t)(state >> 16);
    }
    const size_t large = (3u << 20) + 77;
    std::vector<uint8_t> big_random(large + 16), all_ff(large + 16, 0xFF);
    for (uint8_t& byte : big_random) {
        state = state * 1103515245u + 12345u;
        byte = (uint8_t)(state >> 16);
    }
    for (const form& f : forms) {
        SCOPED_TRACE(f.name);
        for (int align = 0; align < 16; ++align) {
            for (int length = 0; length <= 1024; ++length) {
                const uint8_t* at = random.data() + align;
                uint32_t initial = (uint32_t)length * 0x01000193u;
                ASSERT_EQ(f.sum(initial, at, length), byte_sum_plain(initial, at, length))
                    << length << " bytes at alignment " << align;
            }
            const uint32_t near_wrap = 0xFFFFFF00u;
            ASSERT_EQ(f.sum(near_wrap, big_random.data() + align, (int)large),
                      byte_sum_plain(near_wrap, big_random.data() + align, (int)large))
                << "random MiB at alignment " << align;
            ASSERT_EQ(f.sum(near_wrap, all_ff.data() + align, (int)large),
                      near_wrap + 0xFFu * (uint32_t)large)
                << "0xFF MiB at alignment " << align;
        }
    }
}

TEST_F(ReadPackageHeader, AcceptsVersion04AndStopsAtTheFirstBlockHeader)
{
    // The worked example: 12-byte begin script, no end script, a data block and a delete.
    bundle_package p;
    p.begin_script = "echo start\n\n";
    p.blocks.push_back(make_block(OP_FILE_REPLACE, "/etc/a", pattern(100)));
    p.blocks.push_back(make_block(OP_FILE_DELETE, "/etc/b"));
    std::vector<uint8_t> bytes = bundle_bytes(p);
    ASSERT_EQ(bytes.size(), 720u);
    load(bytes);
    header_read r = read_header(4096);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.printed, "");
    EXPECT_EQ(r.position, 44u);
    EXPECT_EQ(r.header.block_count, 2u);
    EXPECT_EQ(r.header.total_size, 100u);
    EXPECT_EQ(r.header.begin_script_size, 12u);
    EXPECT_EQ(r.header.end_script_size, 0u);

    reset();
    load(scripted(0, 0));
    r = read_header(4096);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.position, 32u);
    EXPECT_EQ(read_sizes(), std::vector<int>{32});
}

TEST_F(ReadPackageHeader, RefusesOtherVersionsBeforeReadingTheScripts)
{
    struct { uint32_t major, minor; const char* printed; } cases[] = {
        {0, 3, "[VERSION CONFLICT!] Fwbundle tool version is 0.3, fwdeploy is 0.4"},
        {1, 4, "[VERSION CONFLICT!] Fwbundle tool version is 1.4, fwdeploy is 0.4"},
    };
    for (const auto& c : cases) {
        reset();
        std::vector<uint8_t> bytes = bundle_bytes(scripted(10, 10));
        put_u32(bytes, 4, c.major);
        put_u32(bytes, 8, c.minor);
        load(bytes);
        header_read r = read_header(4096);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.printed, c.printed);   // no line feed of its own
        EXPECT_EQ(read_sizes(), std::vector<int>{32});
    }
}

TEST_F(ReadPackageHeader, ChecksumCoversHeaderFieldsAndBothScripts)
{
    bundle_package p = scripted(20, 30);
    const std::vector<uint8_t> good = bundle_bytes(p);
    uint32_t stored;
    memcpy(&stored, good.data(), 4);
    struct { const char* what; size_t offset; } changes[] = {
        {"block_count", 12},
        {"total_size", 16},
        {"begin script", 32 + 5},
        {"end script", 32 + 20 + 29},
    };
    for (const auto& c : changes) {
        reset();
        std::vector<uint8_t> bytes = good;
        bytes[c.offset] += 1;
        load(bytes);
        header_read r = read_header(4096);
        EXPECT_EQ(r.result, -1) << c.what;
        EXPECT_EQ(r.printed, checksum_error(stored, stored + 1)) << c.what;
    }
    // Block data is the blocks' own business.
    reset();
    std::vector<uint8_t> bytes = good;
    bytes.back() ^= 0xFF;
    load(bytes);
    EXPECT_EQ(read_header(4096).result, 0);
}

TEST_F(ReadPackageHeader, ReadsEachScriptInChunksOfAtMostTheBufferSize)
{
    struct { size_t begin, end; uint32_t buffer; std::vector<int> reads; } cases[] = {
        {16, 17, 16, {32, 16, 16, 1}},
        {10000, 0, 4096, {32, 4096, 4096, 1808}},
        {0, 5, 4096, {32, 5}},
        {3, 3, 4, {32, 3, 3}},        // no chunk straddles the two scripts
    };
    for (const auto& c : cases) {
        reset();
        load(scripted(c.begin, c.end));
        header_read r = read_header(c.buffer);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.position, 32 + c.begin + c.end);
        EXPECT_EQ(read_sizes(), c.reads);
    }
    // A source that hands out small pieces gives the same sum and position.
    reset();
    load(scripted(100, 50));
    host.max_piece = 7;
    host.piece_from = 32;
    header_read r = read_header(64);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.position, 182u);
}

TEST_F(ReadPackageHeader, ShortPackageKeepsWhatArrivedAndZerosTheRest)
{
    std::vector<uint8_t> bytes = bundle_bytes(scripted(0, 0));
    bytes.resize(20);
    load(bytes);
    header_read r = read_header(4096);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed, "File header read error!\n");
    const uint8_t* record = reinterpret_cast<const uint8_t*>(&r.header);
    EXPECT_EQ(std::vector<uint8_t>(record, record + 20), bytes);
    EXPECT_EQ(std::vector<uint8_t>(record + 20, record + 32), std::vector<uint8_t>(12, 0));

    reset();
    load(std::vector<uint8_t>{});
    EXPECT_EQ(read_header(4096).printed, "File header read error!\n");

    reset();
    load(scripted(0, 0));
    r = read_header(4096, false);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed, "");
    EXPECT_EQ(count("src.read"), 0);
}

TEST_F(ReadPackageHeader, ScriptSectionThatEndsEarlyOrFailsIsAnError)
{
    // Ends inside the end script; then a failed read inside the begin script.
    std::vector<uint8_t> bytes = bundle_bytes(scripted(10, 10));
    host.truncate_at = 32 + 10 + 4;
    load(bytes);
    header_read r = read_header(4096);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed, "Shell script read error!\n");
    EXPECT_EQ(read_sizes(), (std::vector<int>{32, 10, 10, 6}));

    reset();
    load(bytes);
    host.fail_at["src.read"] = 2;
    r = read_header(4096);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed, "Shell script read error!\n");
}

TEST(TrailerVersion, ComparesFieldByFieldAsUnsignedNumbers)
{
    struct order {
        const char* a;
        const char* b;
        int expected;                 // sign of a compared with b
    } cases[] = {
        {"1.10", "1.9", 1},
        {"1.2", "1.2.0", 0},
        {"1.2.0.0", "1.2", 0},
        {"2", "1.99.99", 1},
        {"1.02", "1.2", 0},
        {"01.0", "1", 0},
        {"0", "0.0.0", 0},
        {"1.0.1", "1", 1},
        {"10", "9", 1},
        {"4294967296", "4294967295", 1},          // past 32 bits
        {"18446744073709551616", "18446744073709551615", 1},   // past 64 bits
        {"1.100", "1.99", 1},
        {"1.09", "1.10", -1},
    };
    for (const order& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        int forward = version_compare(c.a, (uint32_t)strlen(c.a), c.b, (uint32_t)strlen(c.b));
        int backward = version_compare(c.b, (uint32_t)strlen(c.b), c.a, (uint32_t)strlen(c.a));
        EXPECT_EQ((forward > 0) - (forward < 0), c.expected);
        EXPECT_EQ((backward > 0) - (backward < 0), -c.expected);
    }
    for (const char* valid : {"0", "2", "1.10.3", "007.1"})
        EXPECT_TRUE(version_valid(valid, (uint32_t)strlen(valid))) << valid;
    for (const char* invalid : {"", ".", "1.", ".1", "1..2", "1.2a", "v1", "-1", "1,2", " 1"})
        EXPECT_FALSE(version_valid(invalid, (uint32_t)strlen(invalid))) << invalid;
}
