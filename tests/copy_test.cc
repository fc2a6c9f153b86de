#include <gtest/gtest.h>

#include "engine/copy.h"
#include "tests/support/fake_host.h"

using namespace fake;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using CopyBlockData = FakeHostTest;

struct copy_run {
    int result;
    uint64_t done_bytes;
    std::string printed;
};

// A source that lends its bytes, as the pin does: read into a buffer of its
// own, which the copy must hand to the target as they are.
int lend(int handle, const uint8_t** bytes, int length)
{
    static std::vector<uint8_t> held(1 << 20);
    *bytes = held.data();
    return source().read(handle, held.data(), std::min(length, (int)held.size()));
}

// Copies `size` bytes of the package (which is the bare data here) to "/t",
// read into the copy's buffer or, with `lent`, lent by the source.
copy_run copy(uint64_t size, uint32_t buffer_size, uint64_t total_size, uint64_t done_before,
              bool lent = false)
{
    source_ops src = source();
    file_ops out = files();
    int in = src.open("pkg");
    int target = out.create("/t", 0644);
    copy_run r{0, done_before, ""};
    CaptureStdout();
    r.result = copy_block_data(in, src.read, target, out.write, "/t", size, buffer_size,
                               report_progress, total_size, &r.done_bytes,
                               lent ? lend : nullptr);
    r.printed = GetCapturedStdout();
    out.close(target);
    src.close(in);
    return r;
}

report writing(int percent, int sub) { return report{2, percent, STATE_WRITING, sub, "/t"}; }

std::vector<int> write_sizes()
{
    std::vector<int> sizes;
    for (const std::string& entry : host.log)
        if (entry.compare(0, 14, "file.write /t ") == 0)
            sizes.push_back(std::stoi(entry.substr(14)));
    return sizes;
}

}  // namespace

TEST_F(CopyBlockData, MovesTheDataInBufferSizedChunks)
{
    const std::vector<uint8_t> data = pattern(10000);
    load(data);
    // Half of the package was applied before this block.
    copy_run r = copy(10000, 4096, 20000, 10000);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.done_bytes, 20000u);
    EXPECT_EQ(r.printed, "######Write 0x2710 bytes to /t #######\n");
    EXPECT_EQ(host.files["/t"], data);
    EXPECT_EQ(read_sizes(), (std::vector<int>{4096, 4096, 1808}));
    EXPECT_EQ(write_sizes(), (std::vector<int>{4096, 4096, 1808}));
    EXPECT_EQ(host.reports, (std::vector<report>{writing(50, 0), writing(70, 40), writing(90, 81),
                                                 writing(100, 100), writing(100, 100)}));

    reset();
    r = copy(0, 4096, 20000, 10000);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.printed, "######Write 0x0 bytes to /t #######\n");
    EXPECT_EQ(count("src.read"), 0);
    EXPECT_EQ(count("file.write"), 0);
    EXPECT_EQ(host.reports, (std::vector<report>{writing(50, 0), writing(50, 100)}));

    // Pieces from the source are passed on as they come when read; lent
    // ones are made whole, as a file is written fastest at page boundaries.
    // The block arrives whole either way.
    for (bool lent : {false, true}) {
        reset();
        load(data);
        host.max_piece = 1000;
        EXPECT_EQ(copy(10000, 4096, 10000, 0, lent).result, 0);
        EXPECT_EQ(host.files["/t"], data);
        EXPECT_EQ(write_sizes(), lent ? (std::vector<int>{4096, 4096, 1808})
                                      : std::vector<int>(10, 1000));
    }

    // One report per step of a percentage, not one per chunk.
    reset();
    load(pattern(100000));
    EXPECT_EQ(copy(100000, 100, 100000, 0).result, 0);
    EXPECT_EQ(count("src.read"), 1000);
    ASSERT_EQ(host.reports.size(), 102u);
    EXPECT_EQ(host.reports[37], writing(37, 37));
}

TEST_F(CopyBlockData, FailureReportsTheNameAndKeepsWhatWasWritten)
{
    const std::vector<uint8_t> data = pattern(10000);
    struct {
        const char* what;
        uint64_t truncate;
        const char* failing;          // slot whose call fails
        int call;
        int accept;                   // for a short write: bytes the target takes
        uint64_t done;
        std::vector<report> reports;  // after the opening report
        const char* text;
    } cases[] = {
        {"read fails after two chunks", UINT64_MAX, "src.read", 3, -1, 8192,
         {writing(40, 40), writing(81, 81)}, "error id 10, write /t err."},
        {"package ends early", 5000, nullptr, 0, -1, 5000, {writing(40, 40), writing(50, 50)},
         "error id 10, write /t err."},
        {"write fails", UINT64_MAX, "file.write", 2, -1, 4096, {writing(40, 40)},
         "error id 11, write /t err."},
        {"short write", UINT64_MAX, "file.write", 2, 100, 4196, {writing(40, 40)},
         "error id 11, write /t err."},
        {"write takes nothing", UINT64_MAX, "file.write", 1, 0, 0, {},
         "error id 11, write /t err."},
    };
    for (bool lent : {false, true}) {
      for (const auto& c : cases) {
        SCOPED_TRACE(lent ? "lent" : "read");
        reset();
        load(data);
        host.truncate_at = c.truncate;
        if (c.failing != nullptr && c.accept < 0)
            host.fail_at[c.failing] = c.call;
        if (c.accept >= 0)
            host.short_writes["file.write"] = {c.call, c.accept};
        copy_run r = copy(10000, 4096, 10000, 0, lent);
        EXPECT_EQ(r.result, -1) << c.what;
        EXPECT_EQ(r.done_bytes, c.done) << c.what;
        EXPECT_EQ(r.printed, "") << c.what;
        std::vector<report> expected{writing(0, 0)};
        expected.insert(expected.end(), c.reports.begin(), c.reports.end());
        expected.push_back(report{2, (int)(c.done * 100 / 10000), STATE_WRITE_FAILED, 0, c.text});
        EXPECT_EQ(host.reports, expected) << c.what;
        EXPECT_EQ(host.files["/t"],
                  std::vector<uint8_t>(data.begin(), data.begin() + (long)c.done))
            << c.what;
      }
    }
}
