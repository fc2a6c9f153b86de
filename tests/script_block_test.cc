#include <gtest/gtest.h>

#include "engine/script_block.h"
#include "tests/support/fake_host.h"

using namespace fake;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using RunBlockScript = FakeHostTest;

struct script_block_run {
    int result;
    uint64_t done_bytes;
    std::string printed;
};

// The package here is the bare script text.
script_block_run run(uint32_t length, uint64_t total_size, uint64_t done_before)
{
    source_ops src = source();
    int in = src.open("pkg");
    script_block_run r{0, done_before, ""};
    CaptureStdout();
    r.result = run_block_script(in, src.read, "post.sh", length, run_script, report_progress,
                                total_size, &r.done_bytes);
    r.printed = GetCapturedStdout();
    src.close(in);
    return r;
}

}  // namespace

TEST_F(RunBlockScript, RunsTheWholeScriptAndCountsIt)
{
    const std::vector<uint8_t> script = pattern(300);
    load(script);
    script_block_run r = run(300, 1000, 100);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.done_bytes, 400u);
    EXPECT_EQ(r.printed, "######Run scripts post.sh success size: 0x12c bytes #######\n");
    EXPECT_EQ(read_sizes(), std::vector<int>{300});
    ASSERT_EQ(host.scripts.size(), 1u);
    EXPECT_EQ(host.scripts[0].text, std::string(script.begin(), script.end()));
    EXPECT_EQ(host.reports, (std::vector<report>{{2, 40, STATE_WRITING, 100, "post.sh"}}));

    // Delivered in two pieces, laid one after the other.
    reset();
    load(script);
    host.max_piece = 200;
    EXPECT_EQ(run(300, 1000, 0).result, 0);
    EXPECT_EQ(read_sizes(), (std::vector<int>{300, 100}));
    EXPECT_EQ(host.scripts[0].text, std::string(script.begin(), script.end()));

    struct { uint64_t total, before, after; int percent; } counts[] = {
        {100000000, 60000000, 60000300, 60},             // 64-bit percentage arithmetic
        {0x200000000ull, 0xFFFFFF00u, 0x10000002Cull, 50},  // carry into the upper half
    };
    for (const auto& c : counts) {
        reset();
        load(script);
        r = run(300, c.total, c.before);
        EXPECT_EQ(r.done_bytes, c.after);
        EXPECT_EQ(host.reports.back().percent, c.percent);
    }

    // An empty script is still handed over.
    reset();
    load(script);
    r = run(0, 1000, 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(host.scripts[0].length, 0);
}

TEST_F(RunBlockScript, FailureLeavesDoneBytesAlone)
{
    const std::vector<uint8_t> script = pattern(300);
    struct {
        const char* what;
        uint64_t truncate;
        const char* failing;
        const char* text;
        int scripts_run;
    } cases[] = {
        {"shell fails", UINT64_MAX, "run_script", "error id 10, run script post.sh err.", 1},
        {"read fails", UINT64_MAX, "src.read", "error id 10, read script post.sh err.", 0},
        {"package ends early", 200, nullptr, "error id 10, read script post.sh err.", 0},
    };
    for (const auto& c : cases) {
        reset();
        load(script);
        host.truncate_at = c.truncate;
        if (c.failing != nullptr)
            host.fail_at[c.failing] = 1;
        script_block_run r = run(300, 1000, 100);
        EXPECT_EQ(r.result, -1) << c.what;
        EXPECT_EQ(r.done_bytes, 100u) << c.what;
        EXPECT_EQ(r.printed, "") << c.what;
        EXPECT_EQ((int)host.scripts.size(), c.scripts_run) << c.what;
        EXPECT_EQ(host.reports, (std::vector<report>{{2, 10, STATE_WRITE_FAILED, 0, c.text}}))
            << c.what;
    }
}
