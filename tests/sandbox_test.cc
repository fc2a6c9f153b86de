// The run harness itself: the end-to-end checks of leftover processes, time
// limits and separate output streams are only as good as what it sees.
#include <gtest/gtest.h>

#include "tests/support/sandbox.h"

namespace {

run_result shell(const std::string& script, int timeout_ms = 30000)
{
    run_options o;
    o.program = "sh";
    o.args = {"-c", script};
    o.timeout_ms = timeout_ms;
    return run_program(o);
}

}  // namespace

TEST(RunProgram, KeepsStreamsApartAndReportsHowItEnded)
{
    run_result r = shell("echo out; echo err >&2; printf tail; exit 3");
    EXPECT_EQ(r.out, "out\ntail");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.leftover_processes, 0);
    EXPECT_EQ(split_lines(r.out), (std::vector<std::string>{"out", "tail"}));

    r = shell("kill -9 $$");
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_EQ(r.signal, 9);

    run_options o;
    o.program = "cat";
    o.input = std::string(200000, 'x');   // more than a pipe holds
    r = run_program(o);
    EXPECT_EQ(r.out, o.input);

    int fds = count_open_fds();
    shell("true");
    EXPECT_EQ(count_open_fds(), fds);
    EXPECT_TRUE(child_processes().empty());
}

TEST(RunProgram, SeesProcessesThatOutliveTheProgram)
{
    // Still running, output elsewhere.
    run_result r = shell("sleep 5 >/dev/null 2>&1 &");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.leftover_processes, 1);

    // Ended, but never waited for by its parent.
    if (collects_orphans()) {
        r = shell("sleep 0.05 & exec sleep 0.3");
        EXPECT_EQ(r.leftover_processes, 1);
        EXPECT_TRUE(child_processes().empty());
    }

    r = shell("sleep 5", 300);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.signal, 9);
    EXPECT_TRUE(child_processes().empty());
}
