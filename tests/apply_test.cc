#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/apply.h"
#include "tests/support/fake_host.h"

using namespace fake;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using ApplyPackage = FakeHostTest;

struct apply_run {
    int result;
    std::string printed;
};

apply_run apply(const upgrade_ops& o, uint32_t buffer_size = 4096)
{
    CaptureStdout();
    int result = apply_package(&o.src, o.package_path, &o.part, &o.ubi, &o.file, o.apply_patch,
                               o.temp_dir, o.run_script, buffer_size, o.report_progress);
    return apply_run{result, GetCapturedStdout()};
}

apply_run apply(uint32_t buffer_size = 4096) { return apply(ops(), buffer_size); }

apply_run apply_trusted(int (*checked)(const char*, const char*, const char*, const uint8_t*))
{
    upgrade_ops o = ops();
    trust_ops t = trust();
    run_record run{};
    run.trust = &t;
    run.apply_checked_patch = checked;
    CaptureStdout();
    int result = apply_package(&o.src, o.package_path, &o.part, &o.ubi, &o.file, o.apply_patch,
                               o.temp_dir, o.run_script, 4096, o.report_progress, &run);
    return apply_run{result, GetCapturedStdout()};
}

report writing(int percent, int sub, const std::string& name)
{
    return report{2, percent, STATE_WRITING, sub, name};
}
report erasing(int sub, const std::string& name) { return report{2, 0, STATE_ERASING, sub, name}; }
const report FINISHED{2, 100, STATE_FINISHED, 100, ""};

bundle_package one(bundle_block block)
{
    bundle_package p;
    p.blocks.push_back(std::move(block));
    return p;
}

bundle_block raw(const std::string& path, size_t size, uint64_t erase_size)
{
    bundle_block b = make_block(OP_RAW_PARTITION, path, pattern(size));
    b.erase_size = erase_size;
    return b;
}

}  // namespace

TEST_F(ApplyPackage, EmptyPackageOnlyFinishes)
{
    load(bundle_package{});
    apply_run r = apply();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(host.reports, std::vector<report>{FINISHED});
    EXPECT_EQ(host.log,
              (std::vector<std::string>{"src.open pkg", "src.read 32", "src.close", "report 7 "}));
}

TEST_F(ApplyPackage, ReportSequenceOfEachOperation)
{
    const std::string tmp = "/tmp/diff_tmp";
    struct {
        const char* what;
        bundle_block block;
        int erase_result;
        std::vector<report> reports;
        const char* printed;
    } cases[] = {
        {"partition erased by the host", raw("/dev/mtd3", 100, 4096), 1,
         {erasing(0, "/dev/mtd3"), erasing(100, "/dev/mtd3"), writing(0, 0, "/dev/mtd3"),
          writing(100, 100, "/dev/mtd3"), writing(100, 100, "/dev/mtd3"), FINISHED},
         "######Erase 0x0 bytes#######\n######Write 0x64 bytes to /dev/mtd3 #######\n"},
        {"partition filled by the engine", raw("/dev/mmcblk0p2", 100, 4096), 0,
         {erasing(0, "/dev/mmcblk0p2"), erasing(0, "/dev/mmcblk0p2"),
          erasing(100, "/dev/mmcblk0p2"), erasing(100, "/dev/mmcblk0p2"),
          writing(0, 0, "/dev/mmcblk0p2"), writing(100, 100, "/dev/mmcblk0p2"),
          writing(100, 100, "/dev/mmcblk0p2"), FINISHED},
         "######Erase 0x1000 bytes#######\n######Write 0x64 bytes to /dev/mmcblk0p2 #######\n"},
        {"volume", make_block(OP_UBI_VOLUME, "/dev/ubi0_1", pattern(10000)), 1,
         {writing(0, 0, "/dev/ubi0_1"), writing(40, 40, "/dev/ubi0_1"),
          writing(81, 81, "/dev/ubi0_1"), writing(100, 100, "/dev/ubi0_1"),
          writing(100, 100, "/dev/ubi0_1"), FINISHED},
         "######Write 0x2710 bytes to /dev/ubi0_1 #######\n"},
        {"delete", make_block(OP_FILE_DELETE, "/etc/old"), 1, {FINISHED},
         "Delete file: /etc/old\n"},
        {"patch", make_block(OP_FILE_PATCH, "/bin/tool", pattern(40)), 1,
         {writing(0, 0, tmp), writing(100, 100, tmp), writing(100, 100, tmp), FINISHED},
         "######Write 0x28 bytes to /tmp/diff_tmp #######\n"},
        {"script", make_block(OP_SCRIPT, "post.sh", {'e', 'c', 'h', 'o', ' ', 'h', 'i', '\n'}), 1,
         {writing(100, 100, "post.sh"), FINISHED},
         "######Run scripts post.sh success size: 0x8 bytes #######\n"},
    };
    for (const auto& c : cases) {
        reset();
        load(one(c.block));
        host.files["/etc/old"] = pattern(5);
        host.erase_results[c.block.target_path] = c.erase_result;
        apply_run r = apply();
        EXPECT_EQ(r.result, 0) << c.what;
        EXPECT_EQ(host.reports, c.reports) << c.what;
        EXPECT_EQ(r.printed, c.printed) << c.what;
    }
    // The fill came first and the data went over its start.
    std::vector<uint8_t> expected = pattern(100);
    expected.resize(4096, 0xFF);
    reset();
    load(one(raw("/dev/mmcblk0p2", 100, 4096)));
    host.erase_results["/dev/mmcblk0p2"] = 0;
    apply();
    EXPECT_EQ(host.files["/dev/mmcblk0p2"], expected);
}

// The preparation reports its own failure; the pass adds none and writes nothing.
TEST_F(ApplyPackage, PartitionThatCannotBePreparedIsNotWritten)
{
    const std::string path = "/dev/mmcblk0p2";
    auto refused = [&](int sub, const std::string& message) {
        return report{2, 0, STATE_ERASE_FAILED, sub, message};
    };
    struct { const char* what; std::function<void()> setup; std::vector<report> reports; } cases[] = {
        {"too small", [&] { host.part_sizes[path] = 4095; }, {refused(0, "block not enough")}},
        {"erase fails", [&] { host.erase_results[path] = -1; },
         {erasing(0, path), refused(0, "block erase fail")}},
        {"fill not opened", [&] { host.erase_results[path] = 0; host.fail_at["part.open"] = 1; },
         {erasing(0, path), refused(0, "error id 6")}},
        {"fill write fails", [&] { host.erase_results[path] = 0; host.fail_at["part.write"] = 1; },
         {erasing(0, path), erasing(0, path), refused(0, path)}},
    };
    for (const auto& c : cases) {
        reset();
        load(one(raw(path, 100, 4096)));
        c.setup();
        apply_run r = apply();
        EXPECT_EQ(r.result, -1) << c.what;
        EXPECT_EQ(host.reports, c.reports) << c.what;
        EXPECT_EQ(host.files[path], std::vector<uint8_t>{}) << c.what;
        EXPECT_EQ(count("src.read"), 2) << c.what;    // the data was never read
        EXPECT_EQ(host.log.back(), "src.close") << c.what;
    }
}

TEST_F(ApplyPackage, EveryTargetReceivesItsData)
{
    bundle_package p;
    p.blocks = {make_block(OP_FILE_REPLACE, "/etc/r", pattern(30, 1)),
                make_block(OP_FILE_CREATE, "/etc/c", pattern(20, 2)),
                make_block(OP_UBI_VOLUME, "/dev/ubi0_2", pattern(50, 3)),
                make_block(OP_FILE_PATCH, "/bin/p", pattern(40, 4)),
                make_block(OP_FILE_DELETE, "/etc/d"),
                make_block(OP_SCRIPT, "s.sh", {'t', 'r', 'u', 'e', '\n'})};
    p.blocks[1].file_mode = 0750;
    load(p);
    host.files["/etc/r"] = pattern(1000, 9);
    host.files["/etc/d"] = pattern(3);
    EXPECT_EQ(apply().result, 0);
    EXPECT_EQ(host.files["/etc/r"], pattern(30, 1));   // truncated, then written
    EXPECT_EQ(host.files["/etc/c"], pattern(20, 2));
    EXPECT_EQ(host.modes["/etc/c"], 0750u);
    EXPECT_EQ(host.files["/dev/ubi0_2"], pattern(50, 3));
    EXPECT_EQ(host.ubi_sizes["/dev/ubi0_2"], 50u);
    EXPECT_EQ(host.files.count("/etc/d"), 0u);
    EXPECT_EQ(host.scripts.at(0).text, "true\n");

    // The patch data went to the temporary file, which was closed before the tool
    // ran (only the package is open then) and removed after it.
    ASSERT_EQ(host.patches.size(), 1u);
    EXPECT_EQ(host.patches[0].old_path, "/bin/p");
    EXPECT_EQ(host.patches[0].new_path, "/bin/p");
    EXPECT_EQ(host.patches[0].patch_path, "/tmp/diff_tmp");
    EXPECT_EQ(host.patches[0].patch, pattern(40, 4));
    EXPECT_EQ(host.patches[0].handles_open, 1);
    EXPECT_GE(find("file.create /tmp/diff_tmp 511"), 0);
    EXPECT_LT(find("file.close /tmp/diff_tmp"), find("apply_patch"));
    EXPECT_GT(find("file.remove /tmp/diff_tmp"), find("apply_patch"));
    EXPECT_EQ(host.files.count("/tmp/diff_tmp"), 0u);
}

// Block 0 (a 10-byte script) succeeds, block 1 fails, block 2 is never read.
TEST_F(ApplyPackage, FailingBlockIsReportedOnceAfterTheSourceIsClosed)
{
    const std::string ran = "######Run scripts zero success size: 0xa bytes #######\n";
    using mutation = std::function<void(std::vector<uint8_t>& bytes, size_t block)>;
    auto set_operation = [](uint32_t op) {
        return mutation([op](std::vector<uint8_t>& b, size_t at) { put_u32(b, at + 280, op); });
    };
    auto set_size = [](uint64_t size) {
        return mutation([size](std::vector<uint8_t>& b, size_t at) { put_u64(b, at, size); });
    };
    auto fail = [](const char* slot) { return [slot] { host.fail_at[slot] = 1; }; };
    bundle_block volume = make_block(OP_UBI_VOLUME, "/dev/ubi1", pattern(10));
    bundle_block create = make_block(OP_FILE_CREATE, "/etc/c", pattern(10));
    bundle_block patch = make_block(OP_FILE_PATCH, "/bin/p", pattern(10));
    bundle_block del = make_block(OP_FILE_DELETE, "/etc/missing");
    const char* wrote_tmp = "######Write 0xa bytes to /tmp/diff_tmp #######\n";
    struct {
        const char* what;
        bundle_block block;
        std::function<void()> setup;
        mutation mutate;
        int percent;
        const char* text;
        const char* printed;
    } cases[] = {
        {"volume not opened", volume, fail("ubi.open"), nullptr, 33, "error id 7", ""},
        {"file to replace missing", make_block(OP_FILE_REPLACE, "/etc/none", pattern(10)),
         nullptr, nullptr, 33, "error id 7", ""},
        {"file not created", create, fail("file.create"), nullptr, 33, "error id 7", ""},
        {"diff file not created", patch, fail("file.create"), nullptr, 33, "error id 7", ""},
        {"nothing to delete", del, nullptr, nullptr, 50, "error id 2", ""},
        {"patch tool fails", patch, [] { host.patch_result = -1; }, nullptr, 66, "error id 3",
         wrote_tmp},
        {"diff file not removed", patch, fail("file.remove"), nullptr, 66, "error id 4", wrote_tmp},
        {"unknown operation", create, nullptr, set_operation(7), 33, "error id 5",
         "Not support current file opt 7\n"},
        {"negative operation", create, nullptr, set_operation(0xFFFFFFFF), 33, "error id 5",
         "Not support current file opt -1\n"},
        {"partition close fails", raw("/dev/mmcblk0p1", 10, 10), fail("part.close"), nullptr, 66,
         "error id 11, write /dev/mmcblk0p1 err.",
         "######Erase 0x0 bytes#######\n######Write 0xa bytes to /dev/mmcblk0p1 #######\n"},
        {"volume close fails", volume, fail("ubi.close"), nullptr, 66,
         "error id 11, write /dev/ubi1 err.", "######Write 0xa bytes to /dev/ubi1 #######\n"},
        {"file close fails", create, fail("file.close"), nullptr, 66,
         "error id 11, write /etc/c err.", "######Write 0xa bytes to /etc/c #######\n"},
        {"diff file close fails", patch, fail("file.close"), nullptr, 66,
         "error id 11, write /tmp/diff_tmp err.", wrote_tmp},
        {"block header cut", create, [] { host.truncate_at = 32 + 298 + 100; }, nullptr, 33,
         "error id 9, block 1 read error!", ""},
        {"target path without end", create, nullptr,
         [](std::vector<uint8_t>& b, size_t at) { memset(&b[at + 8], 'a', 256); }, 33,
         "error id 8, block 1 header error!", ""},
        {"delete carrying data", del, nullptr, set_size(4), 50,
         "error id 8, block 1 header error!", ""},
        {"volume of 4 GiB", volume, nullptr, set_size(1ull << 32), 33,
         "error id 12, size of /dev/ubi1 too large.", ""},
        {"script of 4 GiB", make_block(OP_SCRIPT, "big.sh", pattern(10)), nullptr,
         set_size(1ull << 32), 33, "error id 12, size of big.sh too large.", ""},
    };
    for (const auto& c : cases) {
        reset();
        bundle_package p;
        p.blocks = {make_block(OP_SCRIPT, "zero", {'e', 'c', 'h', 'o', ' ', 'z', 'e', 'r', 'o', '\n'}),
                    c.block, make_block(OP_FILE_REPLACE, "/etc/next", pattern(10))};
        std::vector<uint8_t> bytes = bundle_bytes(p);
        if (c.mutate)
            c.mutate(bytes, block_offset(p, 1));
        load(bytes);
        host.files["/etc/next"] = {};
        if (c.setup)
            c.setup();
        apply_run r = apply();
        EXPECT_EQ(r.result, -1) << c.what;
        EXPECT_EQ(r.printed, ran + c.printed) << c.what;
        ASSERT_FALSE(host.reports.empty()) << c.what;
        EXPECT_EQ(host.reports.back(), (report{2, c.percent, STATE_WRITE_FAILED, 0, c.text}))
            << c.what;
        int failures = 0;
        for (const report& rep : host.reports)
            failures += rep.state == STATE_WRITE_FAILED;
        EXPECT_EQ(failures, 1) << c.what;
        ASSERT_GE(host.log.size(), 2u);
        EXPECT_EQ(host.log[host.log.size() - 2], "src.close") << c.what;
        EXPECT_EQ(count("src.read 288"), 2) << c.what;
        EXPECT_TRUE(host.files["/etc/next"].empty()) << c.what;
        if (std::string(c.text).find("id 12") != std::string::npos) {
            EXPECT_EQ(count("ubi.open"), 0) << c.what;     // refused before anything starts
            EXPECT_EQ(count("run_script"), 1) << c.what;
        }
    }
}

// What a failed copy wrote must never take a file's place: the target is dropped,
// not closed. The patch data is scratch and is closed as it always was.
TEST_F(ApplyPackage, FailedCopyDropsAFileTarget)
{
    struct { const char* what; bundle_block block; bool host_drops; const char* ending; } cases[] = {
        {"replace", make_block(OP_FILE_REPLACE, "/etc/r", pattern(9000)), true, "file.discard /etc/r"},
        {"create", make_block(OP_FILE_CREATE, "/etc/c", pattern(9000)), true, "file.discard /etc/c"},
        {"host that cannot drop", make_block(OP_FILE_CREATE, "/etc/c", pattern(9000)), false,
         "file.close /etc/c"},
        {"patch data", make_block(OP_FILE_PATCH, "/bin/p", pattern(9000)), true,
         "file.close /tmp/diff_tmp"},
    };
    for (const auto& c : cases) {
        reset();
        load(one(c.block));
        host.files["/etc/r"] = pattern(3);
        host.fail_at["file.write"] = 2;
        upgrade_ops o = ops();
        if (!c.host_drops)
            o.file.discard = nullptr;
        EXPECT_EQ(apply(o).result, -1) << c.what;
        EXPECT_EQ(count("file.close") + count("file.discard"), 1) << c.what;
        EXPECT_GE(find(c.ending), 0) << c.what;
    }
}

TEST_F(ApplyPackage, DiffBlockWithoutPatchToolIsOnlyPrinted)
{
    load(one(make_block(OP_FILE_PATCH, "/bin/p", pattern(10))));
    upgrade_ops o = ops();
    o.apply_patch = nullptr;
    apply_run r = apply(o);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed, "Diff patch not implement!\n");
    EXPECT_TRUE(host.reports.empty());
    EXPECT_EQ(count("file.create"), 0);
    EXPECT_EQ(host.log.back(), "src.close");
}

TEST_F(ApplyPackage, PatchesWhoseResultIsNamedAreAppliedOnlyWhenChecked)
{
    bundle_package p;
    p.blocks = {make_block(OP_FILE_PATCH, "/a", pattern(10)), make_block(OP_FILE_PATCH, "/b", pattern(10))};
    host.result_digests[1] = std::vector<uint8_t>(32, 0xab);
    load(p);
    EXPECT_EQ(apply_trusted(apply_checked_patch).result, 0);
    EXPECT_EQ(find("apply_patch /a /a /tmp/diff_tmp"), find("apply_patch"));
    EXPECT_GE(find("apply_checked_patch /b /b /tmp/diff_tmp ab"), 0);
    EXPECT_EQ(count("apply_patch"), 1);

    // A result that does not match fails the block as a failed patch would.
    reset();
    host.result_digests[1] = std::vector<uint8_t>(32, 0xab);
    load(p);
    host.fail_at["apply_checked_patch"] = 1;
    EXPECT_EQ(apply_trusted(apply_checked_patch).result, -1);
    EXPECT_EQ(host.reports.back(), (report{2, 100, STATE_WRITE_FAILED, 0, "error id 3"}));

    // A host that cannot check a named result never patches blind.
    reset();
    host.result_digests[1] = std::vector<uint8_t>(32, 0xab);
    load(p);
    EXPECT_EQ(apply_trusted(nullptr).result, -1);
    EXPECT_EQ(count("apply_patch"), 1);
    EXPECT_EQ(host.reports.back(), (report{2, 100, STATE_WRITE_FAILED, 0, "error id 3"}));
}

// Slot groups of a board that runs slot A: the device each names in slot B.
int resolve_in_b(const char* name, char* device, uint32_t size)
{
    host.log.push_back(std::string("slots.resolve ") + name);
    const char* path = strcmp(name, "rootfs") == 0 ? "/dev/mmcblk0p3"
                       : strcmp(name, "data") == 0 ? "/dev/ubi0_5"
                                                   : nullptr;
    if (path == nullptr)
        return -1;
    snprintf(device, size, "%s", path);
    return 0;
}

void release_slot() { host.log.push_back("slots.release"); }

int make_unbootable()
{
    host.log.push_back("slots.make_unbootable");
    return host.fail_at.count("slots.make_unbootable") != 0 ? -1 : 0;
}

slot_ops slots_of_b()
{
    slot_ops slots{};
    slots.resolve = resolve_in_b;
    slots.release = release_slot;
    slots.make_unbootable = make_unbootable;
    slots.writing = "B";
    return slots;
}

// How the last script's shell ended, as the fake host tells it.
const char* shell_failure = nullptr;
const char* script_failure() { return shell_failure; }

TEST_F(ApplyPackage, SlotTargetsGoToTheDeviceOfTheSlotNotBooted)
{
    slot_ops slots = slots_of_b();
    auto apply_slots = [&](const slot_ops* with, uint32_t* written) {
        upgrade_ops o = ops();
        run_record run{};
        run.slots = with;
        CaptureStdout();
        int result = apply_package(&o.src, o.package_path, &o.part, &o.ubi, &o.file,
                                   o.apply_patch, o.temp_dir, o.run_script, 4096,
                                   o.report_progress, &run);
        *written = run.slot_writes;
        return apply_run{result, GetCapturedStdout()};
    };
    bundle_package p;
    p.blocks = {raw("@rootfs", 40, 4096), make_block(OP_UBI_VOLUME, "@data", pattern(30, 5)),
                make_block(OP_FILE_REPLACE, "/etc/r", pattern(10, 6))};
    load(p);
    host.files["/etc/r"] = {};
    uint32_t written = 99;
    apply_run r = apply_slots(&slots, &written);
    EXPECT_EQ(r.result, 0) << r.printed;
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(host.files["/dev/mmcblk0p3"], pattern(40));
    EXPECT_EQ(host.files["/dev/ubi0_5"], pattern(30, 5));
    EXPECT_EQ(host.files.count("@rootfs") + host.files.count("@data"), 0u);
    EXPECT_TRUE(r.printed.find("######Write 0x28 bytes to /dev/mmcblk0p3 #######") !=
                std::string::npos)
        << r.printed;
    // Asked at the block itself, not only in the verification pass: a device
    // that got mounted in between is refused there.
    EXPECT_LT(find("slots.resolve rootfs"), find("part.open /dev/mmcblk0p3"));
    EXPECT_LT(find("part.close"), find("slots.resolve data"));

    // A group the board cannot place, or no slots at all, fails its block, and
    // a pass that failed reports no slot written, whatever it wrote before.
    struct refused_case {
        const char* what;
        const char* before;           // the target of a volume block before it
        const char* target;
        const slot_ops* slots;
    } cases[] = {
        {"an unknown group", "@data", "@kernel", &slots},
        {"a board without slots", "/dev/ubi0_1", "@rootfs", nullptr},
    };
    for (const refused_case& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        bundle_package q;
        q.blocks = {make_block(OP_UBI_VOLUME, c.before, pattern(30, 5)), raw(c.target, 40, 4096)};
        load(q);
        written = 99;
        r = apply_slots(c.slots, &written);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(written, 0u);
        ASSERT_FALSE(host.reports.empty());
        EXPECT_EQ(host.reports.back().state, STATE_WRITE_FAILED);
        EXPECT_EQ(host.reports.back().message,
                  std::string("error id 21, slot target ") + c.target + " refused!");
        EXPECT_EQ(host.calls["part.open"], 0);
    }
}

// A slot stops being bootable before its first byte is written, and a pass
// that writes one holds its script blocks to their shell's status: the boot
// must never go to a slot that is half written or whose install step failed.
TEST_F(ApplyPackage, ASlotIsUnbootableWhileWrittenAndItsPassNeedsEveryScriptToEndWell)
{
    struct slot_pass_case {
        const char* what;
        std::vector<bundle_block> blocks;
        uint32_t slot_targets;        // what the verification pass counted
        bool unbootable_fails;
        const char* shell;            // how the shell of every script ends; null: well
        bool unbootable_null;
        int result;
        uint32_t writes;
        std::vector<std::string> order;  // log entries that must come in this order
        const char* message;          // of the failure report
        const char* line;             // printed
    };
    bundle_block slot = raw("@rootfs", 40, 4096);
    bundle_block volume = make_block(OP_UBI_VOLUME, "@data", pattern(30, 5));
    const std::string exit_1 = "exit 1\n";
    bundle_block script =
        make_block(OP_SCRIPT, "install", std::vector<uint8_t>(exit_1.begin(), exit_1.end()));
    const std::vector<slot_pass_case> cases = {
        {"two slot blocks: unbootable once, before the first erase",
         {slot, volume}, 2, false, nullptr, false, 0, 2,
         {"slots.resolve rootfs", "slots.make_unbootable", "part.erase /dev/mmcblk0p3",
          "part.close", "slots.release", "slots.resolve data", "ubi.open /dev/ubi0_5",
          "ubi.close", "slots.release"},
         nullptr, nullptr},
        {"the environment cannot be written: nothing reaches any slot",
         {slot, volume}, 2, true, nullptr, false, -1, 0,
         {"slots.resolve rootfs", "slots.make_unbootable", "slots.release"},
         "error id 23, slot target @rootfs still bootable!", nullptr},
        {"a host that cannot take a slot out of the boot order writes none",
         {volume}, 1, false, nullptr, true, -1, 0, {"slots.resolve data", "slots.release"},
         "error id 23, slot target @data still bootable!", nullptr},
        {"a script after the slot block exits 1",
         {slot, script}, 1, false, "exited with status 1", false, -1, 0,
         {"slots.make_unbootable", "part.close", "run_script 7"},
         "error id 10, run script install err.",
         "Script block install failed: its shell exited with status 1!"},
        {"a script before the slot block is killed: the slot is never written",
         {script, slot}, 1, false, "was killed by signal 9", false, -1, 0, {"run_script 7"},
         "error id 10, run script install err.",
         "Script block install failed: its shell was killed by signal 9!"},
        {"a pass that writes no slot does not look at the shell's status",
         {script}, 0, false, "exited with status 1", false, 0, 0, {"run_script 7"}, nullptr,
         nullptr},
    };
    for (const slot_pass_case& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        bundle_package p;
        p.blocks = c.blocks;
        load(p);
        if (c.unbootable_fails)
            host.fail_at["slots.make_unbootable"] = 1;
        shell_failure = c.shell;
        slot_ops slots = slots_of_b();
        if (c.unbootable_null)
            slots.make_unbootable = nullptr;
        upgrade_ops o = ops();
        run_record run{};
        run.slots = &slots;
        run.script_failure = script_failure;
        run.slot_targets = c.slot_targets;
        CaptureStdout();
        int result = apply_package(&o.src, o.package_path, &o.part, &o.ubi, &o.file,
                                   o.apply_patch, o.temp_dir, o.run_script, 4096,
                                   o.report_progress, &run);
        std::string printed = GetCapturedStdout();
        shell_failure = nullptr;
        EXPECT_EQ(result, c.result) << printed;
        EXPECT_EQ(run.slot_writes, c.writes);
        EXPECT_LE(count("slots.make_unbootable"), 1);
        int at = 0;
        for (const std::string& entry : c.order) {
            int next = find(entry, (size_t)at);
            EXPECT_GE(next, at) << entry;
            at = next < 0 ? at : next + 1;
        }
        if (c.message != nullptr) {
            ASSERT_FALSE(host.reports.empty());
            EXPECT_EQ(host.reports.back(),
                      (report{2, host.reports.back().percent, STATE_WRITE_FAILED, 0, c.message}));
        }
        if (c.line != nullptr) {
            EXPECT_NE(printed.find(std::string(c.line) + "\n"), std::string::npos) << printed;
        }
        if (c.unbootable_fails || c.unbootable_null || c.blocks[0].operation == OP_SCRIPT) {
            EXPECT_EQ(host.calls["part.erase"] + host.calls["part.open"] + host.calls["ubi.open"],
                      0);
        }
    }
}

TEST_F(ApplyPackage, DiffTemporaryPath)
{
    const std::string long_dir = "/" + std::string(150, 'd');
    struct { const char* temp_dir; std::string path; } cases[] = {
        {nullptr, "./diff_tmp"},
        {"", "./diff_tmp"},
        {"/tmp", "/tmp/diff_tmp"},
        {long_dir.c_str(), (long_dir + "/diff_tmp").substr(0, 127)},
    };
    for (const auto& c : cases) {
        char path[128];
        memset(path, 'x', sizeof path);
        diff_temp_path(c.temp_dir, path);
        EXPECT_EQ(std::string(path), c.path);
    }
    load(one(make_block(OP_FILE_PATCH, "/bin/p", pattern(10))));
    upgrade_ops o = ops();
    o.temp_dir = nullptr;
    EXPECT_EQ(apply(o).result, 0);
    EXPECT_GE(find("file.create ./diff_tmp 511"), 0);
    EXPECT_EQ(host.patches.at(0).patch_path, "./diff_tmp");
}

TEST_F(ApplyPackage, MissingSlotsAndUnusableHeadersEndWithoutReports)
{
    using change = std::function<void(upgrade_ops&)>;
    const std::vector<change> changes = {
        [](upgrade_ops& o) { o.src.open = nullptr; },
        [](upgrade_ops& o) { o.src.close = nullptr; },
        [](upgrade_ops& o) { o.src.read = nullptr; },
        [](upgrade_ops& o) { o.part.open = nullptr; },
        [](upgrade_ops& o) { o.part.close = nullptr; },
        [](upgrade_ops& o) { o.part.write = nullptr; },
        [](upgrade_ops& o) { o.part.erase = nullptr; },
        [](upgrade_ops& o) { o.part.get_size = nullptr; },
        [](upgrade_ops& o) { o.ubi.open = nullptr; },
        [](upgrade_ops& o) { o.ubi.close = nullptr; },
        [](upgrade_ops& o) { o.ubi.write = nullptr; },
        [](upgrade_ops& o) { o.file.open = nullptr; },
        [](upgrade_ops& o) { o.file.create = nullptr; },
        [](upgrade_ops& o) { o.file.remove = nullptr; },
        [](upgrade_ops& o) { o.file.close = nullptr; },
        [](upgrade_ops& o) { o.file.write = nullptr; },
        [](upgrade_ops& o) { o.run_script = nullptr; },
        [](upgrade_ops& o) { o.package_path = nullptr; },
    };
    load(bundle_package{});
    for (size_t i = 0; i < changes.size(); ++i) {
        upgrade_ops o = ops();
        changes[i](o);
        EXPECT_EQ(apply(o).result, -1) << "change " << i;
    }
    EXPECT_EQ(apply(0).result, -1);
    upgrade_ops o = ops();
    EXPECT_EQ(apply_package(nullptr, "pkg", &o.part, &o.ubi, &o.file, nullptr, nullptr,
                            run_script, 4096, report_progress), -1);
    EXPECT_EQ(apply_package(&o.src, "pkg", &o.part, nullptr, &o.file, nullptr, nullptr,
                            run_script, 4096, report_progress), -1);
    EXPECT_TRUE(host.log.empty());

    // The patch tool and the temporary directory may be absent.
    o.apply_patch = nullptr;
    o.temp_dir = nullptr;
    EXPECT_EQ(apply(o).result, 0);

    reset();
    host.fail_at["src.open"] = 1;
    EXPECT_EQ(apply().result, -1);
    EXPECT_TRUE(host.reports.empty());

    reset();
    std::vector<uint8_t> bytes = bundle_bytes(one(make_block(OP_SCRIPT, "s", pattern(3))));
    bytes[12] += 1;                   // block_count changed after packing
    load(bytes);
    apply_run r = apply();
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed.compare(0, 33, "Shell start data checksum error! "), 0);
    EXPECT_TRUE(host.reports.empty());
    EXPECT_EQ(host.log.back(), "src.close");
}

// 6 GiB are copied from a source that makes them up and a target that only counts
// them; a 32-bit count would show 25% instead of 75%.
TEST_F(ApplyPackage, DoneBytesCountBeyondFourGiB)
{
    const uint64_t big = 6ull << 30;
    bundle_package p;
    p.blocks = {make_block(OP_FILE_REPLACE, "/big"), make_block(OP_SCRIPT, "after.sh")};
    package_header header = bundle_package_header(p, 8ull << 30);
    block_header copy_header = bundle_block_header(p.blocks[0], big, 0);
    block_header script_header = bundle_block_header(p.blocks[1], 3, 'a' + 'b' + 'c');
    auto bytes_of = [](const void* record, size_t size) {
        const uint8_t* b = static_cast<const uint8_t*>(record);
        return std::vector<uint8_t>(b, b + size);
    };
    std::vector<uint8_t> after = bytes_of(&script_header, sizeof script_header);
    after.insert(after.end(), {'a', 'b', 'c'});
    host.package = {segment{bytes_of(&header, sizeof header), 0},
                    segment{bytes_of(&copy_header, sizeof copy_header), 0}, segment{{}, big},
                    segment{after, 0}};
    host.files["/big"] = {};
    host.discard.insert("/big");
    apply_run r = apply(16u << 20);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(host.discarded["/big"], big);
    EXPECT_EQ(r.printed, "######Write 0x180000000 bytes to /big #######\n"
                         "######Run scripts after.sh success size: 0x3 bytes #######\n");
    ASSERT_GE(host.reports.size(), 3u);
    EXPECT_EQ(host.reports[host.reports.size() - 3], writing(75, 100, "/big"));
    EXPECT_EQ(host.reports[host.reports.size() - 2], writing(75, 100, "after.sh"));
    EXPECT_EQ(host.reports.back(), FINISHED);
}
