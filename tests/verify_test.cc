#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <unistd.h>

#include "backends/file.h"
#include "backends/partition.h"
#include "backends/trust.h"
#include "engine/package_format.h"
#include "engine/trailer.h"
#include "engine/verify.h"
#include "tests/support/e2e_board.h"
#include "tests/support/fake_host.h"

using namespace fake;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using VerifyPackage = FakeHostTest;

struct outcome {
    int result;
    std::string printed;
};

outcome verify(uint32_t buffer_size = 4096)
{
    source_ops src = source();
    CaptureStdout();
    int result = verify_package(&src, "pkg", report_progress, buffer_size);
    return outcome{result, GetCapturedStdout()};
}

uint32_t get_u32(const std::vector<uint8_t>& bytes, size_t offset)
{
    uint32_t value = 0;
    if (offset + 4 <= bytes.size())
        memcpy(&value, bytes.data() + offset, 4);
    return value;
}

report checking(int percent, int sub, const std::string& message)
{
    return report{1, percent, STATE_CHECKING, sub, message};
}

const report START{1, 0, STATE_BEGIN, 0, ""};
const report END{1, 100, STATE_CHECKING, 100, ""};

std::string match_line(int index, const std::vector<uint8_t>& data)
{
    char line[64];
    uint32_t sum = byte_sum(0, data.data(), (int)data.size());
    snprintf(line, sizeof line, "blk %d head 0x%x cal 0x%x\n", index, sum, sum);
    return line;
}

bundle_package blocks_of(std::vector<size_t> sizes)
{
    bundle_package p;
    for (size_t i = 0; i < sizes.size(); ++i)
        p.blocks.push_back(make_block(OP_FILE_REPLACE, "/d/" + std::to_string(i),
                                      pattern(sizes[i], (uint8_t)i)));
    return p;
}

}  // namespace

TEST_F(VerifyPackage, LargeBlockReportsOncePerPercentStep)
{
    bundle_package p = blocks_of({10000});
    load(p);
    outcome o = verify(4096);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.printed, match_line(0, p.blocks[0].data));
    EXPECT_EQ(host.reports,
              (std::vector<report>{START, checking(40, 40, "/d/0"), checking(81, 81, "/d/0"),
                                   checking(100, 100, "/d/0"), checking(100, 100, ""), END}));
    // Header, block header, three chunks, then the read that finds the end of the stream.
    EXPECT_EQ(read_sizes(), (std::vector<int>{32, 288, 4096, 4096, 1808}));
    EXPECT_EQ(find("src.close"), (int)host.log.size() - 1);

    // With 50-byte chunks only every second chunk moves a percentage.
    reset();
    load(p);
    EXPECT_EQ(verify(50).result, 0);
    ASSERT_EQ(host.reports.size(), 103u);
    for (int i = 1; i <= 100; ++i)
        EXPECT_EQ(host.reports[i], checking(i, i, "/d/0"));
}

TEST_F(VerifyPackage, SmallBlocksReportOnlyWhenAPercentageMoves)
{
    // The 1-byte block leaves both percentages where the previous block-end report
    // left them (4950 and 4951 of 10000 are both 49%): it gets only its block-end report.
    bundle_package p = blocks_of({4950, 1, 5049});
    load(p);
    outcome o = verify(8192);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.printed, match_line(0, p.blocks[0].data) + match_line(1, p.blocks[1].data) +
                             match_line(2, p.blocks[2].data));
    EXPECT_EQ(host.reports,
              (std::vector<report>{START, checking(49, 100, "/d/0"), checking(49, 100, ""),
                                   checking(49, 100, ""), checking(100, 100, "/d/2"),
                                   checking(100, 100, ""), END}));
}

TEST_F(VerifyPackage, EmptyOrWrongTotalsStillGoThrough)
{
    load(bundle_package{});
    outcome o = verify();
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.printed, "");
    EXPECT_EQ(host.reports, (std::vector<report>{START, END}));

    // Delete blocks only: no data anywhere, every divisor is 0.
    reset();
    bundle_package deletes;
    deletes.blocks = {make_block(OP_FILE_DELETE, "/a"), make_block(OP_FILE_DELETE, "/b")};
    load(deletes);
    o = verify();
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.printed, "blk 0 head 0x0 cal 0x0\nblk 1 head 0x0 cal 0x0\n");
    EXPECT_EQ(host.reports,
              (std::vector<report>{START, checking(0, 100, ""), checking(0, 100, ""), END}));

    struct { uint64_t total; int percent; } totals[] = {{0, 0}, {5, 200}, {20, 50}};
    for (const auto& t : totals) {
        reset();
        std::vector<uint8_t> bytes = bundle_bytes(blocks_of({10}));
        set_total_size(bytes, t.total);
        load(bytes);
        EXPECT_EQ(verify().result, 0);
        EXPECT_EQ(host.reports,
                  (std::vector<report>{START, checking(t.percent, 100, "/d/0"),
                                       checking(t.percent, 100, ""), END}))
            << "total_size " << t.total;
    }
}

TEST_F(VerifyPackage, MismatchStopsAtTheFailingBlock)
{
    bundle_package p = blocks_of({10, 10, 10, 10, 10});
    std::vector<uint8_t> bytes = bundle_bytes(p);
    bytes[block_offset(p, 2) + 288 + 3] += 2;
    load(bytes);
    uint32_t stored = byte_sum(0, p.blocks[2].data.data(), 10);
    char mismatch[96];
    snprintf(mismatch, sizeof mismatch, "Block 2 checksum error! head 0x%x cal 0x%x\n", stored,
             stored + 2);
    outcome o = verify();
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.printed,
              match_line(0, p.blocks[0].data) + match_line(1, p.blocks[1].data) + mismatch);
    EXPECT_EQ(host.reports,
              (std::vector<report>{START, checking(20, 100, "/d/0"), checking(20, 100, ""),
                                   checking(40, 100, "/d/1"), checking(40, 100, ""),
                                   checking(60, 100, "/d/2"),
                                   report{1, 60, STATE_CHECK_FAILED, 100,
                                          "error id 1, block 2 checksum error!"}}));
    // Header, then header and data of blocks 0 to 2; blocks 3 and 4 are never read.
    EXPECT_EQ(read_sizes(), (std::vector<int>{32, 288, 10, 288, 10, 288, 10}));
}

TEST_F(VerifyPackage, UnusableHeaderIsReportedAsErrorIdZero)
{
    bundle_package p = blocks_of({10});
    p.begin_script = "echo begin\n";
    const std::vector<uint8_t> good = bundle_bytes(p);
    struct { const char* what; int byte; uint64_t truncate; const char* printed; } cases[] = {
        {"empty", -1, 0, "File header read error!\n"},
        {"version", 8, UINT64_MAX,
         "[VERSION CONFLICT!] Fwbundle tool version is 0.5, fwdeploy is 0.4"},
        {"checksum", 1, UINT64_MAX, nullptr},
        {"script cut", -1, 40, "Shell script read error!\n"},
    };
    for (const auto& c : cases) {
        reset();
        std::vector<uint8_t> bytes = good;
        if (c.byte >= 0)
            bytes[(size_t)c.byte] += 1;
        load(bytes);
        host.truncate_at = c.truncate;
        outcome o = verify();
        EXPECT_EQ(o.result, -1) << c.what;
        if (c.printed != nullptr) {
            EXPECT_EQ(o.printed, c.printed) << c.what;
        }
        EXPECT_EQ(host.reports,
                  (std::vector<report>{report{1, 0, STATE_CHECK_FAILED, 100, "Error id 0"}}))
            << c.what;
        EXPECT_EQ(count("src.close"), 1) << c.what;
    }
    // An encrypted package on a board that reads packages only (as every
    // board did before envelopes): its first bytes are no package header, so
    // it is refused in the verification pass and no ciphertext is written.
    reset();
    std::vector<uint8_t> envelope = bytes_of("FWCRYPT1");
    const uint8_t fixed[] = {0x89, 0x01, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 2, 0, 0, 0};
    envelope.insert(envelope.end(), std::begin(fixed), std::end(fixed));
    envelope.resize(4096, 0x5a);
    load(envelope);
    outcome o = verify();
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(host.reports,
              (std::vector<report>{report{1, 0, STATE_CHECK_FAILED, 100, "Error id 0"}}));
}

// A package that ends or fails inside a block, or whose block header cannot be
// acted on, ends the pass with one failure report instead of working on stale data.
TEST_F(VerifyPackage, ShortReadsAndUnusableBlockHeadersFail)
{
    bundle_package p = blocks_of({10, 10});
    const size_t second = block_offset(p, 1);
    struct {
        const char* what;
        uint64_t truncate;
        int failing_read;
        size_t fill_path_of;          // block whose target_path loses its terminator, or 9
        const char* printed;          // after the lines of the blocks that matched
        report failure;
    } cases[] = {
        {"block header cut", second + 100, 0, 9, "Block 1 header read error!\n",
         {1, 50, STATE_CHECK_FAILED, 100, "error id 9, block 1 read error!"}},
        {"data cut", second + 288 + 4, 0, 9, "Block 1 data read error!\n",
         {1, 70, STATE_CHECK_FAILED, 100, "error id 9, block 1 read error!"}},
        {"data read fails", UINT64_MAX, 5, 9, "Block 1 data read error!\n",
         {1, 50, STATE_CHECK_FAILED, 100, "error id 9, block 1 read error!"}},
        {"path without end", UINT64_MAX, 0, 1, "Block 1 header error!\n",
         {1, 50, STATE_CHECK_FAILED, 100, "error id 8, block 1 header error!"}},
    };
    for (const auto& c : cases) {
        reset();
        std::vector<uint8_t> bytes = bundle_bytes(p);
        if (c.fill_path_of != 9)
            memset(&bytes[block_offset(p, c.fill_path_of) + 8], 'a', 256);
        load(bytes);
        host.truncate_at = c.truncate;
        if (c.failing_read != 0)
            host.fail_at["src.read"] = c.failing_read;
        outcome o = verify();
        EXPECT_EQ(o.result, -1) << c.what;
        std::string matched = match_line(0, p.blocks[0].data);
        if (c.failure.percent == 100)
            matched += match_line(1, p.blocks[1].data);
        EXPECT_EQ(o.printed, matched + c.printed) << c.what;
        ASSERT_FALSE(host.reports.empty());
        EXPECT_EQ(host.reports.back(), c.failure) << c.what;
        int failures = 0;
        for (const report& r : host.reports)
            failures += r.state == STATE_CHECK_FAILED;
        EXPECT_EQ(failures, 1) << c.what;
    }

    // A delete block that claims data would derail the apply pass.
    reset();
    bundle_package deletes;
    deletes.blocks = {make_block(OP_FILE_DELETE, "/a")};
    std::vector<uint8_t> bytes = bundle_bytes(deletes);
    put_u64(bytes, block_offset(deletes, 0), 4);
    bytes.resize(bytes.size() + 4);
    load(bytes);
    outcome o = verify();
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(host.reports.back(),
              (report{1, 0, STATE_CHECK_FAILED, 100, "error id 8, block 0 header error!"}));
}

std::vector<uint8_t> trailer_v1(uint32_t sig_size)
{
    std::vector<uint8_t> t(80 + sig_size, 0x5a);
    memcpy(t.data(), "FWTRAIL1", 8);
    put_u32(t, 8, 80 + sig_size);
    for (int i = 0; i < 32; ++i)
        t[44 + i] = (uint8_t)(0x10 + i);     // the key id
    put_u32(t, 76, sig_size);
    return t;
}

// Verifies `package` followed by `after`, the trust host answering `verdict`.
outcome verify_trusted(const std::vector<uint8_t>& package, const std::vector<uint8_t>& after,
                       int verdict)
{
    reset();
    std::vector<uint8_t> bytes = package;
    bytes.insert(bytes.end(), after.begin(), after.end());
    load(bytes);
    host.trust_verdict = verdict;
    source_ops src = source();
    trust_ops trust = fake::trust();
    CaptureStdout();
    run_record run{};
    run.trust = &trust;
    int result = verify_package(&src, "pkg", report_progress, 4096, &run);
    return outcome{result, GetCapturedStdout()};
}

TEST_F(VerifyPackage, BytesAfterTheLastBlockAreNotReadWithoutATrailerToLookFor)
{
    std::vector<uint8_t> bytes = bundle_bytes(blocks_of({10}));
    std::vector<uint8_t> junk = pattern(5000, 9);
    bytes.insert(bytes.end(), junk.begin(), junk.end());
    load(bytes);
    EXPECT_EQ(verify().result, 0);
    EXPECT_EQ(read_sizes(), (std::vector<int>{32, 288, 10}));
    EXPECT_EQ(host.reports.back(), END);

    // A source that can tell only at its end whether it delivered the whole
    // stream (a decompressor) is asked once, after the last block.
    for (int fails = 0; fails < 2; ++fails) {
        reset();
        load(bytes);
        source_ops src = source();
        src.finish = src_finish;
        if (fails)
            host.fail_at["src.finish"] = 1;
        CaptureStdout();
        EXPECT_EQ(verify_package(&src, "pkg", report_progress, 4096), fails ? -1 : 0);
        std::string printed = GetCapturedStdout();
        EXPECT_EQ(count("src.finish"), 1);
        if (fails) {
            EXPECT_NE(printed.find("Package read error after the last block!\n"), std::string::npos);
            EXPECT_EQ(host.reports.back(),
                      (report{1, 100, STATE_CHECK_FAILED, 100, "error id 9, package read error!"}));
        }
    }
}

TEST_F(VerifyPackage, TheTrailerIsReadWholeAndJudgedByTheHost)
{
    bundle_package p = blocks_of({10, 20});
    const std::vector<uint8_t> package = bundle_bytes(p);
    const std::string tail = match_line(0, p.blocks[0].data) + match_line(1, p.blocks[1].data);
    struct {
        const char* what;
        std::vector<uint8_t> after;   // bytes after the last block
        int verdict;
        bool checked;                 // the host was asked, with the trailer (or none)
        std::string printed;          // after the block lines
        const char* failure;          // the report's text, or null when accepted
    } cases[] = {
        {"nothing", {}, TRUST_ACCEPTED, true, "", nullptr},
        {"not a trailer", pattern(5000, 3), TRUST_ACCEPTED, true, "", nullptr},
        {"signed", trailer_v1(71), TRUST_SIGNED, true, "Package signed by key 1011121314151617\n",
         nullptr},
        {"intact", trailer_v1(0), TRUST_INTACT, true,
         "Package digest OK, signature not checked (no trusted keys)\n", nullptr},
        {"unsigned where keys are trusted", {}, TRUST_NOT_SIGNED, true,
         "Package is not signed!\n", "error id 13, package not signed!"},
        {"unknown key", trailer_v1(72), TRUST_UNKNOWN_KEY, true,
         "Package signed by an unknown key 1011121314151617!\n", "error id 14, unknown key!"},
        {"digest", trailer_v1(0), TRUST_DIGEST_MISMATCH, true, "Package digest mismatch!\n",
         "error id 15, digest mismatch!"},
        {"signature", trailer_v1(70), TRUST_BAD_SIGNATURE, true, "Package signature is bad!\n",
         "error id 16, bad signature!"},
        {"no keys on a strict board", {}, TRUST_NO_KEYS, true,
         "No trusted keys: signed packages only!\n", "error id 18, no trusted keys!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        outcome o = verify_trusted(package, c.after, c.verdict);
        EXPECT_EQ(o.result, c.failure ? -1 : 0);
        EXPECT_EQ(o.printed, tail + c.printed);
        EXPECT_EQ(count("trust.begin"), 1);
        EXPECT_EQ(count("trust.check"), c.checked ? 1 : 0);
        // The digest covers the package up to its last block, nothing after.
        EXPECT_TRUE(host.digested == package);
        bool trailer = c.after.size() == trailer_v1(0).size() + get_u32(c.after, 76);
        EXPECT_TRUE(host.trailer == (trailer ? c.after : std::vector<uint8_t>()));
        report last = c.failure ? report{1, 100, STATE_CHECK_FAILED, 100, c.failure} : END;
        EXPECT_EQ(host.reports.back(), last);
    }
}

TEST_F(VerifyPackage, AMalformedTrailerIsRefusedWithoutAskingTheHost)
{
    bundle_package p = blocks_of({10});
    const std::vector<uint8_t> package = bundle_bytes(p);
    auto with = [&](std::vector<uint8_t> t, auto change) {
        change(t);
        return t;
    };
    const std::vector<uint8_t> good = trailer_v1(71);
    struct {
        const char* what;
        std::vector<uint8_t> after;
    } cases[] = {
        {"cut in its size", std::vector<uint8_t>(good.begin(), good.begin() + 10)},
        {"cut in its signature", std::vector<uint8_t>(good.begin(), good.end() - 1)},
        {"a byte after it", with(good, [](auto& t) { t.push_back(0); })},
        {"size and signature disagree", with(good, [](auto& t) { put_u32(t, 76, 70); })},
        {"signature too long", with(trailer_v1(73), [](auto&) {})},
        {"size beyond any trailer", with(good, [](auto& t) { put_u32(t, 8, 0x7fffffff); })},
        {"size below its head", with(good, [](auto& t) { put_u32(t, 8, 4); })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        outcome o = verify_trusted(package, c.after, TRUST_SIGNED);
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.printed, match_line(0, p.blocks[0].data) + "Package trailer is malformed!\n");
        EXPECT_EQ(count("trust.check"), 0);
        EXPECT_EQ(host.reports.back(),
                  (report{1, 100, STATE_CHECK_FAILED, 100, "error id 17, malformed trailer!"}));
        // Never more than the trailer's bounded size and one byte past it.
        uint64_t read = 0;
        for (int n : read_sizes())
            read += (uint64_t)n;
        EXPECT_LE(read, package.size() + std::max<size_t>(c.after.size() + 1, 12));
    }
}

TEST_F(VerifyPackage, MissingSlotsOrAFailedOpenEndWithoutReports)
{
    load(blocks_of({10}));
    source_ops src = source();
    source_ops broken[3] = {src, src, src};
    broken[0].open = nullptr;
    broken[1].close = nullptr;
    broken[2].read = nullptr;
    for (const source_ops& b : broken)
        EXPECT_EQ(verify_package(&b, "pkg", report_progress, 4096), -1);
    EXPECT_EQ(verify_package(nullptr, "pkg", report_progress, 4096), -1);
    EXPECT_EQ(verify_package(&src, "pkg", nullptr, 4096), -1);
    EXPECT_EQ(verify_package(&src, "pkg", report_progress, 0), -1);
    EXPECT_TRUE(host.log.empty());

    host.fail_at["src.open"] = 1;
    EXPECT_EQ(verify_package(&src, "pkg", report_progress, 4096), -1);
    EXPECT_TRUE(host.reports.empty());
    EXPECT_EQ(count("src.close"), 0);
}

namespace {

// A version 2 trailer listing these block indices, with a signature of
// `sig_size` bytes; `count` overrides the entry count it states.
std::vector<uint8_t> trailer_v2(const std::vector<uint32_t>& indices, uint32_t sig_size,
                                int64_t count = -1)
{
    uint32_t size = TRAILER_V2_FIXED_SIZE + (uint32_t)indices.size() * 36 + sig_size;
    std::vector<uint8_t> t(size, 0x5a);
    memcpy(t.data(), "FWTRAIL2", 8);
    put_u32(t, 8, size);
    put_u32(t, 76, sig_size);
    put_u32(t, 80, count < 0 ? (uint32_t)indices.size() : (uint32_t)count);
    for (size_t i = 0; i < indices.size(); ++i)
        put_u32(t, 84 + 36 * i, indices[i]);
    return t;
}

// A version 3 trailer: version 2's fields, then `attributes` (key=value lines).
std::vector<uint8_t> trailer_v3(const std::vector<uint32_t>& indices, const std::string& attributes,
                                uint32_t sig_size)
{
    std::vector<uint8_t> t = trailer_v2(indices, sig_size);
    memcpy(t.data(), "FWTRAIL3", 8);
    size_t at = TRAILER_V2_FIXED_SIZE + indices.size() * 36;
    std::vector<uint8_t> block(4 + attributes.size());
    put_u32(block, 0, (uint32_t)attributes.size());
    memcpy(block.data() + 4, attributes.data(), attributes.size());
    t.insert(t.begin() + (long)at, block.begin(), block.end());
    put_u32(t, 8, (uint32_t)t.size());
    return t;
}

// Whether the board takes the package of `blocks` followed by `trailer` (its
// layout: the host's verdict is fixed).
bool board_takes_trailer(const bundle_package& blocks, const std::vector<uint8_t>& trailer)
{
    outcome o = verify_trusted(bundle_bytes(blocks), trailer, TRUST_SIGNED);
    return o.result == 0;
}

// PEM text of `count` distinct P-256 public keys, made once by the openssl command.
std::string public_keys(const sandbox_dir& box, int count)
{
    static std::vector<std::string> made;
    for (int i = (int)made.size(); i < count; ++i)
        made.push_back(read_text(make_openssl_key(box, "k" + std::to_string(i)).public_pem));
    std::string text;
    for (int i = 0; i < count; ++i)
        text += made[(size_t)i];
    return text;
}

bool trust_takes(const std::vector<std::string>& texts)
{
    trust_reset(false);
    char why[256];
    for (const std::string& text : texts)
        if (trust_add_keys(reinterpret_cast<const uint8_t*>(text.data()), text.size(), why,
                           sizeof why) < 0)
            return false;
    return true;
}

}  // namespace

// Every limit on sizes, counts and lengths, tried exactly at the limit (which
// must be taken) and one past it (which must be refused). A limit checked with
// `>` where `>=` was meant, or the reverse, fails one side; a buffer sized one
// short overflows at the limit itself, which the sanitizer build sees.
TEST_F(VerifyPackage, LimitsTakeExactlyTheLimitAndRefuseOnePast)
{
    sandbox_dir box("fwdeploy-limits");
    const bundle_package two = blocks_of({10, 20});
    const bundle_package three = blocks_of({10, 20, 30});
    struct limit {
        const char* what;
        std::function<bool(bool past)> taken;
    };
    const std::vector<limit> limits = {
        // The board reads a trailer of at most this size: every entry, the
        // most attributes and the longest signature.
        {"trailer size", [&](bool past) {
             std::string attributes = "description=" + std::string(4096 - 13, 'd') + "\n";
             std::vector<uint8_t> t = trailer_v3({0, 1}, attributes, TRAILER_MAX_SIGNATURE);
             EXPECT_EQ(t.size(), trailer_size_limit(2));
             if (past) {
                 t.push_back(0);
                 put_u32(t, 8, (uint32_t)t.size());
             }
             return board_takes_trailer(two, t);
         }},
        {"signature in the trailer", [&](bool past) {
             return board_takes_trailer(two, trailer_v2({1}, TRAILER_MAX_SIGNATURE + past));
         }},
        {"entry for the last block", [&](bool past) {
             return board_takes_trailer(three, trailer_v2({0, past ? 3u : 2u}, 70));
         }},
        {"entries in ascending order", [&](bool past) {
             return board_takes_trailer(three, trailer_v2({1, past ? 1u : 2u}, 70));
         }},
        // 1 + 2^30 entries of 36 bytes add up to 36 modulo 2^32: the size sum
        // must not wrap into the one entry that is there.
        {"entry count", [&](bool past) {
             return board_takes_trailer(two, trailer_v2({1}, 0, past ? 1 + (1ll << 30) : 1));
         }},
        {"trusted keys in one file", [&](bool past) {
             return trust_takes({public_keys(box, MAX_TRUSTED_KEYS + past)});
         }},
        {"trusted keys from two files", [&](bool past) {
             std::string first = public_keys(box, MAX_TRUSTED_KEYS / 2);
             std::string all = public_keys(box, MAX_TRUSTED_KEYS + past);
             return trust_takes({first, all.substr(first.size())});
         }},
        // The board reads its key file into 16 KiB and must see the end of it.
        {"board key file", [&](bool past) {
             std::string text = public_keys(box, 1);
             text += std::string(16 * 1024 - 1 - text.size() + past, '\n');
             std::string path = box.write("board.pem", text);
             trust_reset(false);
             testing::internal::CaptureStdout();
             int result = trust_load_key_file(path.c_str(), false);
             std::string printed = testing::internal::GetCapturedStdout();
             EXPECT_EQ(printed.empty(), result == 0) << printed;
             return result == 0 && trusted_key_count() == 1;
         }},
        // 255 characters fit the header's 256-byte field with its terminator.
        {"target path on the board", [&](bool past) {
             std::string dir = box.make_dir("t");
             std::string path = dir + "/" + std::string(255 - dir.size() - 1 + past, 'p');
             testing::internal::CaptureStdout();
             int fd = create_file(path.c_str(), 0644);
             bool written = fd >= 0 && write_full(fd, "x", 1) == 1 && close_file(fd) == 0;
             testing::internal::GetCapturedStdout();
             bool there = read_text(path) == "x";
             EXPECT_EQ(written, there);
             remove(path.c_str());
             return written && there;
         }},
        {"target path in the package writer", [&](bool past) {
             bundle_block b = make_block(OP_FILE_DELETE, "/" + std::string(254 + past, 'w'));
             std::string error;
             return bundle_check_block(b, &error) == 0;
         }},
        // Each argument of fwdeploy is copied into 64 bytes.
        {"fwdeploy argument", [&](bool past) {
             std::string dir = std::string(63 + past, 'd');
             box.make_dir(dir);
             run_result r = run_fwdeploy({"-r", "missing.bin", "-t", dir}, box.root());
             return !contains(r.out, "too long") && contains(r.out, "libfwdeploy");
         }},
#ifdef FWBUNDLE_BIN
        {"target path in a manifest", [&](bool past) {
             box.write("a.img", "a");
             box.write("m.toml", "[[block]]\noperation = \"file_replace\"\ntarget = \"/" +
                                     std::string(254 + past, 'm') + "\"\nsource = \"a.img\"\n");
             return run_fwbundle({"create", "-o", "out.bin", "m.toml"}, box.root()).exit_code == 0;
         }},
        {"target path in a delta", [&](bool past) {
             remove_tree(box.path("old"));
             remove_tree(box.path("new"));
             box.make_dir("old");
             std::string name = std::string(255 - strlen("/data/") + past, 'n');
             box.write("new/" + name, "new");
             run_result r = run_fwbundle({"delta", box.path("old"), box.path("new"), "--prefix",
                                          "/data", "-o", box.path("delta.bin")});
             // Refused by the delta itself, which names the target, not later by the writer.
             if (past) {
                 EXPECT_TRUE(contains(r.err, ": a target of 256 characters; the board takes 255 at most"))
                     << r.err;
             }
             return r.exit_code == 0;
         }},
        {"mode as a TOML integer", [&](bool past) {
             box.write("a.img", "a");
             box.write("m.toml", std::string("[[block]]\noperation = \"file_create\"\ntarget = \"/a\"\n"
                                             "source = \"a.img\"\nmode = ") +
                                     (past ? "0o10000" : "0o7777") + "\n");
             run_result r = run_fwbundle({"create", "-o", "out.bin", "m.toml"}, box.root());
             if (r.exit_code == 0) {
                 // The bits reach the block header as they were written.
                 std::vector<uint8_t> bytes = read_file(box.path("out.bin"));
                 EXPECT_EQ(get_u32(bytes, sizeof(package_header) + offsetof(block_header, file_mode)),
                           07777u);
             }
             return r.exit_code == 0;
         }},
        // fwbundle writes attributes of exactly the size the board reads, and
        // the board takes what it wrote; one byte more both refuse.
        {"attributes written by fwbundle create", [&](bool past) {
             box.write("a.img", "a");
             std::string manifest = box.write(
                 "attr.toml", "compatible = \"board-a\"\n[[block]]\noperation = \"file_replace\"\n"
                              "target = \"/nonexistent/a\"\nsource = \"a.img\"\n");
             std::string kept = "compatible=board-a\nversion=1.0\n";
             std::string value(4096 - kept.size() - strlen("description=\n") + past, 'd');
             remove(box.path("attr.bin").c_str());
             run_result made = run_fwbundle({"create", "-o", "attr.bin", manifest, "--version", "1.0",
                                             "--description", value}, box.root());
             bool board = board_takes_trailer(
                 two, trailer_v3({}, kept + "description=" + value + "\n", 0));
             EXPECT_EQ(made.exit_code == 0, board) << "fwbundle and the board disagree: " << made.err;
             if (past) {
                 EXPECT_TRUE(contains(made.err, "the attributes take 4097 bytes; the board reads "
                                                "at most 4096"))
                     << made.err;
             }
             if (made.exit_code != 0)
                 return false;
             run_result r = run_fwdeploy({"-n", "-r", "attr.bin", "-c", "board-a"}, box.root());
             EXPECT_EQ(r.exit_code, 0) << r.out;
             return board && r.exit_code == 0;
         }},
        {"attributes kept and given by fwbundle sign", [&](bool past) {
             box.write("a.img", "a");
             std::string manifest = box.write(
                 "attr.toml", "[[block]]\noperation = \"file_replace\"\n"
                              "target = \"/nonexistent/a\"\nsource = \"a.img\"\n");
             openssl_key key = make_openssl_key(box, "attr");
             EXPECT_EQ(run_fwbundle({"create", "-o", "attr.bin", manifest, "--compatible",
                                     "board-a", "--compatible", "board-b", "--version", "2"},
                                    box.root()).exit_code, 0);
             std::string kept = "compatible=board-a\ncompatible=board-b\nversion=2\n";
             std::string value(4096 - kept.size() - strlen("description=\n") + past, 's');
             run_result made = run_fwbundle({"sign", "-k", key.private_pem, "attr.bin",
                                             "--description", value}, box.root());
             bool board = board_takes_trailer(
                 two, trailer_v3({}, kept + "description=" + value + "\n", 0));
             EXPECT_EQ(made.exit_code == 0, board) << "fwbundle and the board disagree: " << made.err;
             if (past) {
                 EXPECT_TRUE(contains(made.err, "the attributes take 4097 bytes; the board reads "
                                                "at most 4096"))
                     << made.err;
             }
             if (made.exit_code != 0)
                 return false;
             std::string trusted = box.path("attr.pub.pem").substr(box.root().size() + 1);
             run_result r = run_fwdeploy({"-n", "-r", "attr.bin", "-k", trusted, "-c", "board-b"},
                                         box.root());
             EXPECT_EQ(r.exit_code, 0) << r.out;
             return board && r.exit_code == 0;
         }},
        {"key file on the host", [&](bool past) {
             std::vector<uint8_t> package = bundle_bytes(two);
             std::string bare = box.write("bare.bin", package);
             openssl_key key = make_openssl_key(box, "host");
             std::string sig = box.path("host.der");
             run_options o;
             o.program = "openssl";
             o.args = {"dgst", "-sha256", "-sign", key.private_pem, "-out", sig, bare};
             EXPECT_EQ(run_program(o).exit_code, 0);
             std::string text = read_text(key.public_pem);
             text += std::string(64 * 1024 - text.size() + past, '\n');
             std::string padded = box.write("padded.pub.pem", text);
             return run_fwbundle({"attach-signature", bare, sig, "--pubkey", padded}).exit_code == 0;
         }},
        // A DER ECDSA P-256 signature is 72 bytes when both of its numbers
        // have their top bit set; about one signature in four.
        {"signature file", [&](bool past) {
             std::vector<uint8_t> package = bundle_bytes(two);
             std::string bare = box.write("bare.bin", package);
             openssl_key key = make_openssl_key(box, "long");
             std::string sig = box.path("long.der");
             for (int attempt = 0; attempt < 200 && (!file_exists(sig) || read_file(sig).size() != 72);
                  ++attempt) {
                 run_options o;
                 o.program = "openssl";
                 o.args = {"dgst", "-sha256", "-sign", key.private_pem, "-out", sig, bare};
                 EXPECT_EQ(run_program(o).exit_code, 0);
             }
             std::vector<uint8_t> bytes = read_file(sig);
             EXPECT_EQ(bytes.size(), 72u);
             if (past)
                 bytes.push_back(0);
             write_file(sig, bytes);
             return run_fwbundle({"attach-signature", bare, sig, "--pubkey", key.public_pem})
                        .exit_code == 0;
         }},
#endif
    };
    for (const limit& l : limits) {
        SCOPED_TRACE(l.what);
        EXPECT_TRUE(l.taken(false)) << l.what << ": the limit itself is refused";
        EXPECT_FALSE(l.taken(true)) << l.what << ": one past the limit is taken";
    }
}
