#include <gtest/gtest.h>

#include <algorithm>

#include "engine/fwdeploy.h"
#include "tests/support/fake_host.h"

using namespace fake;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using UpgradeRun = FakeHostTest;

struct upgrade_result {
    int result;
    std::string printed;
};

upgrade_result upgrade(const upgrade_ops& o)
{
    CaptureStdout();
    int result = upgrade_run(&o);
    return upgrade_result{result, GetCapturedStdout()};
}

upgrade_result upgrade() { return upgrade(ops()); }

// Files /f/0 ... /f/(n-1), each already on the board with old contents.
bundle_package replacing(int n)
{
    bundle_package p;
    p.begin_script = "echo begin\n";
    p.end_script = "echo end\n";
    for (int i = 0; i < n; ++i) {
        std::string path = "/f/" + std::to_string(i);
        p.blocks.push_back(make_block(OP_FILE_REPLACE, path, pattern(100, (uint8_t)i)));
        host.files[path] = {'o', 'l', 'd'};
    }
    return p;
}

// Entries of the log from the n-th opening of the package (from 1) to the next.
std::vector<std::string> phase(int n)
{
    int from = -1;
    for (int i = 0; i < n; ++i)
        from = find("src.open", (size_t)(from + 1));
    int to = find("src.open", (size_t)(from + 1));
    return std::vector<std::string>(host.log.begin() + from,
                                    to < 0 ? host.log.end() : host.log.begin() + to);
}

int count_in(const std::vector<std::string>& entries, const std::string& entry)
{
    return (int)std::count(entries.begin(), entries.end(), entry);
}

}  // namespace

TEST_F(UpgradeRun, RunsTheFourPhasesInOrder)
{
    bundle_package p = replacing(2);
    load(p);
    upgrade_result r = upgrade();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.printed.rfind("libfwdeploy version 0.2 commit: ", 0), 0u);
    EXPECT_NE(r.printed.find("\nBuild by "), std::string::npos);
    EXPECT_EQ(count("src.open"), 4);
    EXPECT_EQ(count("src.close"), 4);
    EXPECT_EQ(count("get_buffer_size"), 3);
    ASSERT_EQ(host.scripts.size(), 2u);
    EXPECT_EQ(host.scripts[0].text, "echo begin\n");
    EXPECT_EQ(host.scripts[1].text.substr(0, 14), "OTA_STATUS=0\ne");
    // The begin script runs before anything is written.
    EXPECT_LT(find("run_script"), find("file.open"));
    EXPECT_EQ(host.files["/f/1"], pattern(100, 1));
    EXPECT_EQ(host.reports.back(), (report{2, 100, STATE_FINISHED, 100, ""}));
}

TEST_F(UpgradeRun, FailedVerificationOrBeginScriptTouchesNothing)
{
    bundle_package p = replacing(2);
    std::vector<uint8_t> bytes = bundle_bytes(p);
    bytes[block_offset(p, 1) + 288] ^= 1;
    load(bytes);
    EXPECT_EQ(upgrade().result, -1);
    EXPECT_EQ(count("src.open"), 1);
    EXPECT_EQ(count("run_script"), 0);
    EXPECT_EQ(count("file."), 0);
    EXPECT_EQ(host.files["/f/0"], (std::vector<uint8_t>{'o', 'l', 'd'}));

    reset();
    load(replacing(2));
    host.fail_at["run_script"] = 1;
    EXPECT_EQ(upgrade().result, -1);
    EXPECT_EQ(count("src.open"), 2);
    EXPECT_EQ(count("file."), 0);

    // A failing end script fails the run after everything was applied.
    reset();
    load(replacing(2));
    host.fail_at["run_script"] = 2;
    EXPECT_EQ(upgrade().result, -1);
    EXPECT_EQ(host.files["/f/1"], pattern(100, 1));

    reset();
    upgrade_ops o = ops();
    o.get_buffer_size = nullptr;
    EXPECT_EQ(upgrade(o).result, -1);
    EXPECT_TRUE(host.log.empty());
    CaptureStdout();
    EXPECT_EQ(upgrade_run(nullptr), -1);
    GetCapturedStdout();
}

TEST_F(UpgradeRun, FailureInTheFourthOfSixBlocksStillRunsTheEndScript)
{
    bundle_package p = replacing(6);
    load(p);
    host.files.erase("/f/3");         // the fourth block's file is gone
    upgrade_result r = upgrade();
    EXPECT_EQ(r.result, 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(host.files["/f/" + std::to_string(i)], pattern(100, (uint8_t)i));
    for (int i = 4; i < 6; ++i)
        EXPECT_EQ(host.files["/f/" + std::to_string(i)], (std::vector<uint8_t>{'o', 'l', 'd'}));
    std::vector<std::string> applying = phase(3);
    EXPECT_EQ(count_in(applying, "src.read 288"), 4);
    EXPECT_EQ(count_in(applying, "report 6 error id 7"), 1);
    ASSERT_EQ(host.scripts.size(), 2u);
    EXPECT_EQ(host.scripts[1].text,
              "OTA_STATUS=-1\necho OTA UPDATA STATUS: ${OTA_STATUS}\n" + std::string(1, '\0') +
                  "echo end\n");
}

TEST_F(UpgradeRun, AsksForTheBufferSizeBeforePhasesOneThreeAndFour)
{
    bundle_package p = replacing(1);
    p.begin_script = std::string(40, '#');
    load(p);
    host.buffer_sizes = {4096, 30, 16};
    EXPECT_EQ(upgrade().result, 0);
    std::vector<std::string> verifying = phase(1);
    EXPECT_EQ(count_in(verifying, "src.read 40"), 1);    // the whole begin script at once
    EXPECT_EQ(count_in(verifying, "src.read 100"), 1);
    EXPECT_EQ(count_in(phase(3), "file.write /f/0 30"), 3);
    EXPECT_EQ(count_in(phase(3), "file.write /f/0 10"), 1);
    std::vector<std::string> ending = phase(4);
    EXPECT_EQ(std::vector<std::string>(ending.begin() + 1, ending.begin() + 5),
              (std::vector<std::string>{"src.read 32", "src.read 8", "src.read 16",
                                        "src.read 16"}));
}
