#include <gtest/gtest.h>

#include <cstring>

#include "engine/prepare.h"
#include "tests/support/fake_host.h"

using namespace fake;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using PreparePartition = FakeHostTest;

const char PATH[] = "/dev/mmcblk0p3";

struct prepare_run {
    int result;
    std::string printed;
};

// A quarter of the package is applied: every report carries percent 25.
prepare_run prepare(uint64_t erase_size, uint32_t buffer_size = 4096)
{
    block_header block{};
    block.erase_size = erase_size;
    strcpy(block.target_path, PATH);
    partition_ops part = partitions();
    const uint64_t done_bytes = 50;
    CaptureStdout();
    int result = prepare_partition(&part, PATH, &block, buffer_size, report_progress, 200,
                                   &done_bytes);
    return prepare_run{result, GetCapturedStdout()};
}

report erasing(int sub) { return report{2, 25, STATE_ERASING, sub, PATH}; }
report refused(int sub, const std::string& message)
{
    return report{2, 25, STATE_ERASE_FAILED, sub, message};
}

}  // namespace

TEST_F(PreparePartition, HostEraseOrEngineFill)
{
    prepare_run r = prepare(10000);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.printed, "######Erase 0x0 bytes#######\n");
    EXPECT_EQ(host.reports, (std::vector<report>{erasing(0), erasing(100)}));
    EXPECT_EQ(host.log, (std::vector<std::string>{
                            std::string("part.get_size ") + PATH, std::string("report 2 ") + PATH,
                            std::string("part.erase ") + PATH, std::string("report 2 ") + PATH}));

    // The host asks for the fill: 0xFF over exactly erase_size bytes from the start.
    reset();
    host.erase_results[PATH] = 0;
    host.files[PATH] = std::vector<uint8_t>(20000, 0);
    r = prepare(10000);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.printed, "######Erase 0x2710 bytes#######\n");
    EXPECT_EQ(host.reports, (std::vector<report>{erasing(0), erasing(0), erasing(40), erasing(81),
                                                 erasing(100), erasing(100)}));
    std::vector<uint8_t> expected(10000, 0xFF);
    expected.resize(20000, 0);
    EXPECT_EQ(host.files[PATH], expected);
    EXPECT_EQ(count("part.write"), 3);
    EXPECT_EQ(host.log[host.log.size() - 4], std::string("part.write ") + PATH + " 1808");

    // Nothing to fill: opened and closed, never written.
    reset();
    host.erase_results[PATH] = 0;
    r = prepare(0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.printed, "######Erase 0x0 bytes#######\n");
    EXPECT_EQ(host.reports, (std::vector<report>{erasing(0), erasing(0), erasing(100)}));
    EXPECT_EQ(count("part.open"), 1);
    EXPECT_EQ(count("part.write"), 0);

    // A partition of exactly erase_size is big enough.
    reset();
    host.part_sizes[PATH] = 10000;
    EXPECT_EQ(prepare(10000).result, 0);
}

TEST_F(PreparePartition, EachFailureEndsWithOneReport)
{
    struct {
        const char* what;
        int64_t size;
        int erase;
        const char* failing;
        int call;
        bool writes_nothing;
        std::vector<report> reports;
    } cases[] = {
        {"too small", 9999, 1, nullptr, 0, false, {refused(0, "block not enough")}},
        {"size unknown", -1, 1, nullptr, 0, false, {refused(0, "block size read fail")}},
        {"erase fails", 1 << 20, -1, nullptr, 0, false,
         {erasing(0), refused(0, "block erase fail")}},
        {"fill open fails", 1 << 20, 0, "part.open", 1, false,
         {erasing(0), refused(0, "error id 6")}},
        {"fill write fails", 1 << 20, 0, "part.write", 3, false,
         {erasing(0), erasing(0), erasing(40), erasing(81), refused(81, PATH)}},
        {"fill write takes nothing", 1 << 20, 0, nullptr, 0, true,
         {erasing(0), erasing(0), refused(0, PATH)}},
        {"fill close fails", 1 << 20, 0, "part.close", 1, false,
         {erasing(0), erasing(0), erasing(40), erasing(81), erasing(100), refused(100, PATH)}},
    };
    for (const auto& c : cases) {
        reset();
        host.part_sizes[PATH] = c.size;
        host.erase_results[PATH] = c.erase;
        if (c.failing != nullptr)
            host.fail_at[c.failing] = c.call;
        if (c.writes_nothing)
            host.short_writes["part.write"] = {1, 0};
        prepare_run r = prepare(10000);
        EXPECT_EQ(r.result, -1) << c.what;
        EXPECT_EQ(host.reports, c.reports) << c.what;
        std::string printed = c.size == 9999 ? "Src sz is 0x270f dst sz is 0x2710\n"
                              : c.size < 0   ? "Size of " + std::string(PATH) + " could not be read\n"
                                             : "";
        EXPECT_EQ(r.printed, printed) << c.what;
        EXPECT_EQ(count("part.erase"), c.reports.size() == 1 ? 0 : 1) << c.what;
    }
}
