// Makes every host call of a run that uses every operation fail in turn, one at a
// time, and checks what must hold whatever fails: the board is untouched until
// the package is verified, each pass reports at most one failure and nothing after
// its finish, every handle is closed, the end script learns the apply status, and
// the failure report carries the text the failing operation owes.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/support/fake_host.h"

namespace {

using fake::host;

bundle_package every_operation()
{
    bundle_package p;
    p.begin_script = "echo begin\n";
    p.end_script = "echo end\n";
    p.blocks = {fake::make_block(OP_RAW_PARTITION, "/dev/mmcblk0p1", fake::pattern(9000, 1)),
                fake::make_block(OP_RAW_PARTITION, "/dev/mtd3", fake::pattern(300, 2)),
                fake::make_block(OP_UBI_VOLUME, "/dev/ubi0_1", fake::pattern(5000, 3)),
                fake::make_block(OP_FILE_REPLACE, "/data/a.bin", fake::pattern(100, 4)),
                fake::make_block(OP_FILE_CREATE, "/data/new/b.bin", fake::pattern(4097, 5)),
                fake::make_block(OP_FILE_DELETE, "/data/old.bin"),
                fake::make_block(OP_FILE_PATCH, "/data/c.bin", fake::pattern(64, 6)),
                fake::make_block(OP_SCRIPT, "post.sh", {'e', 'c', 'h', 'o', '\n'})};
    p.blocks[0].erase_size = 10000;   // filled by the engine, in three writes
    return p;
}

void prepare_host(const bundle_package& package)
{
    fake::reset();
    fake::load(package);
    host.erase_results["/dev/mmcblk0p1"] = 0;
    host.files["/data/a.bin"] = {1, 2, 3};
    host.files["/data/old.bin"] = {4};
    host.files["/data/c.bin"] = {5};
}

std::set<std::string> texts_owed(const std::string& slot)
{
    const char* data_targets[] = {"/dev/mmcblk0p1", "/dev/mtd3", "/dev/ubi0_1", "/data/a.bin",
                                  "/data/new/b.bin", "/tmp/diff_tmp"};
    std::set<std::string> t;
    // "error id N, write %s err." for each path.
    auto per_target = [&](const std::string& prefix, std::initializer_list<const char*> paths) {
        for (const char* path : paths)
            t.insert(prefix + ", write " + path + " err.");
    };
    if (slot == "src.read") {
        for (const char* path : data_targets)
            per_target("error id 10", {path});
        t.insert("error id 10, read script post.sh err.");
        for (int i = 0; i < 8; ++i)
            t.insert("error id 9, block " + std::to_string(i) + " read error!");
    } else if (slot == "part.get_size") {
        t = {"block size read fail"};
    } else if (slot == "part.erase") {
        t = {"block erase fail"};
    } else if (slot == "part.open") {
        t = {"error id 6", "error id 7"};
    } else if (slot == "part.write" || slot == "part.close") {
        t = {"/dev/mmcblk0p1"};       // the fill's own failure names the partition
        per_target("error id 11", {"/dev/mmcblk0p1", "/dev/mtd3"});
    } else if (slot == "ubi.open" || slot == "file.open" || slot == "file.create") {
        t = {"error id 7"};
    } else if (slot == "ubi.write" || slot == "ubi.close") {
        per_target("error id 11", {"/dev/ubi0_1"});
    } else if (slot == "file.write" || slot == "file.close") {
        per_target("error id 11", {"/data/a.bin", "/data/new/b.bin", "/tmp/diff_tmp"});
    } else if (slot == "file.remove") {
        t = {"error id 2", "error id 4"};
    } else if (slot == "apply_patch") {
        t = {"error id 3"};
    } else if (slot == "run_script") {
        t = {"error id 10, run script post.sh err."};
    }
    return t;
}

// Runs the engine with the console output held back: hundreds of runs would bury
// the test report.
int quiet_run(bool digesting = false)
{
    upgrade_ops ops = fake::ops();
    if (digesting)
        ops.trust = fake::trust();    // every byte read is digested as well
    testing::internal::CaptureStdout();
    int result = upgrade_run(&ops);
    testing::internal::GetCapturedStdout();
    return result;
}

bool touches_board(const std::string& entry)
{
    for (const char* prefix : {"part.", "ubi.", "file.", "apply_patch", "run_script"})
        if (entry.compare(0, strlen(prefix), prefix) == 0)
            return true;
    return false;
}

// The checks that hold whatever failed; `trace` names the injected fault.
void check_run(int result, const std::string& slot, const std::string& trace)
{
    SCOPED_TRACE(trace);
    EXPECT_TRUE(host.handles.empty()) << "a handle was left open";
    EXPECT_EQ(host.bad_closes, 0);

    // Nothing touches the board before the first pass closed the package.
    int verified_at = fake::find("src.close");
    for (size_t i = 0; i < host.log.size(); ++i)
        if (touches_board(host.log[i])) {
            EXPECT_GT((int)i, verified_at) << host.log[i] << " before verification ended";
        }

    int failures[3] = {};
    bool finished = false;
    const fake::report* failure = nullptr;
    for (const fake::report& r : host.reports) {
        EXPECT_FALSE(finished) << "a report after the finish: " << r;
        if (r.state == STATE_FINISHED)
            finished = true;
        if (r.state == STATE_CHECK_FAILED || r.state == STATE_ERASE_FAILED ||
            r.state == STATE_WRITE_FAILED) {
            ++failures[r.stage];
            if (r.stage == 2)
                failure = &r;
        }
    }
    EXPECT_LE(failures[1], 1);
    EXPECT_LE(failures[2], 1);
    if (failures[1] != 0) {
        EXPECT_EQ(result, -1);
        for (const std::string& entry : host.log) {
            EXPECT_FALSE(touches_board(entry)) << entry << " after a failed verification";
        }
    }
    if (failure != nullptr && slot != "src.read") {
        std::set<std::string> owed = texts_owed(slot);
        EXPECT_EQ(owed.count(failure->message), 1u) << "unexpected failure text " << *failure;
        bool erase_step = failure->message == "block not enough" ||
                          failure->message == "block size read fail" ||
                          failure->message == "block erase fail" ||
                          failure->message == "error id 6" || failure->message == "/dev/mmcblk0p1";
        EXPECT_EQ(failure->state, erase_step ? STATE_ERASE_FAILED : STATE_WRITE_FAILED);
    }
    if (failure != nullptr && slot == "src.read") {
        EXPECT_EQ(texts_owed(slot).count(failure->message), 1u) << *failure;
    }

    if (result == 0) {
        ASSERT_FALSE(host.scripts.empty());
        const std::string& end = host.scripts.back().text;
        bool failed_status = end.compare(0, 14, "OTA_STATUS=-1\n") == 0;
        EXPECT_TRUE(failed_status || end.compare(0, 13, "OTA_STATUS=0\n") == 0) << end;
        EXPECT_EQ(!failed_status, finished) << "the end script got the wrong status";
        if (failures[2] != 0) {
            EXPECT_TRUE(failed_status);
        }
    }
}

TEST(FaultInjection, EveryCallOfEveryHostOperationFailsCleanly)
{
    bundle_package package = every_operation();
    prepare_host(package);
    ASSERT_EQ(quiet_run(), 0);
    ASSERT_EQ(fake::count("report 7"), 1) << "the run without faults must finish";
    std::map<std::string, int> reached = host.calls;
    ASSERT_GT(reached["part.write"], 3);

    int runs = 0;
    for (const auto& [slot, calls] : reached) {
        if (slot == "get_buffer_size")
            continue;                 // not a call that can fail
        for (int n = 1; n <= calls; ++n) {
            prepare_host(package);
            host.fail_at[slot] = n;
            int result = quiet_run();
            check_run(result, slot, slot + " call " + std::to_string(n));
            ++runs;
            // A failing board operation owes exactly one report, except a begin or
            // end script, whose failure ends the run instead.
            bool board_slot = touches_board(slot) && slot != "run_script";
            if (board_slot) {
                int failures = 0;
                for (const fake::report& r : host.reports)
                    failures += r.stage == 2 && (r.state == STATE_ERASE_FAILED ||
                                                 r.state == STATE_WRITE_FAILED);
                EXPECT_EQ(failures, 1) << slot << " call " << n;
                EXPECT_EQ(result, 0) << slot << " call " << n;
            }
        }
    }
    EXPECT_GT(runs, 40);
}

TEST(FaultInjection, WritesThatTakeLessOrNothingFailTheBlock)
{
    bundle_package package = every_operation();
    for (const char* slot : {"part.write", "ubi.write", "file.write"}) {
        prepare_host(package);
        ASSERT_EQ(quiet_run(), 0);
        int calls = host.calls[slot];
        for (int accept : {0, 1}) {
            for (int n = 1; n <= calls; ++n) {
                prepare_host(package);
                host.short_writes[slot] = {n, accept};
                int result = quiet_run();
                std::string trace = std::string(slot) + " call " + std::to_string(n) +
                                    " takes " + std::to_string(accept);
                check_run(result, slot, trace);
                EXPECT_EQ(result, 0) << trace;
            }
        }
    }
}

// A source whose read claims more bytes than it was asked for, at every read of
// a run in turn, by one byte or by far: the pass that got it fails, with the
// read's own failure text, and nothing past the buffer is summed, digested or
// written (the sanitizer build sees any byte of it touched): the package digest
// is taken on the way, as on a board that checks signatures.
TEST(FaultInjection, ReadsThatClaimMoreThanAskedFailTheirPass)
{
    bundle_package package = every_operation();
    prepare_host(package);
    ASSERT_EQ(quiet_run(true), 0);
    int reads = host.calls["src.read"];
    ASSERT_GT(reads, 20);
    // Reads after the apply pass finished belong to the end script.
    int apply_reads = 0;
    for (int i = 0; i < fake::find("report 7"); ++i)
        apply_reads += host.log[(size_t)i].rfind("src.read", 0) == 0;
    ASSERT_LT(apply_reads, reads);
    for (int extra : {1, 4096, INT32_MAX}) {
        for (int n = 1; n <= reads; ++n) {
            prepare_host(package);
            host.long_read = {n, extra};
            int result = quiet_run(true);
            std::string trace = "src.read call " + std::to_string(n) + " claims " +
                                std::to_string(extra) + " more";
            check_run(result, "src.read", trace);
            SCOPED_TRACE(trace);
            bool finished = false;
            for (const fake::report& r : host.reports)
                finished = finished || r.state == STATE_FINISHED;
            if (n > apply_reads) {
                // The end script is not run from what a bad read left.
                EXPECT_EQ(result, -1);
                for (const fake::script_run& run : host.scripts)
                    EXPECT_NE(run.text.rfind("OTA_STATUS=", 0), 0u) << run.text;
                continue;
            }
            EXPECT_FALSE(finished) << "a run that read too much finished";
            if (result == 0) {
                ASSERT_FALSE(host.scripts.empty());
                EXPECT_EQ(host.scripts.back().text.compare(0, 14, "OTA_STATUS=-1\n"), 0);
            }
        }
    }
}

}  // namespace
