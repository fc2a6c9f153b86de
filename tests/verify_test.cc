#include <gtest/gtest.h>

#include "engine/verify.h"
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
    EXPECT_EQ(read_sizes(), (std::vector<int>{32, 288, 4096, 4096, 1808, 4096}));
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
        {"read past the last block fails", UINT64_MAX, 6, 9,
         "Package read error after the last block!\n",
         {1, 100, STATE_CHECK_FAILED, 100, "error id 9, package read error!"}},
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

TEST_F(VerifyPackage, BytesAfterTheLastBlockAreReadButNotChecked)
{
    std::vector<uint8_t> bytes = bundle_bytes(blocks_of({10}));
    std::vector<uint8_t> junk = pattern(5000, 9);
    bytes.insert(bytes.end(), junk.begin(), junk.end());
    load(bytes);
    EXPECT_EQ(verify().result, 0);
    EXPECT_EQ(read_sizes(), (std::vector<int>{32, 288, 10, 4096, 4096, 4096}));
    EXPECT_EQ(host.reports.back(), END);
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
