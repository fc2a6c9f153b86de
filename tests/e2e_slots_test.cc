// The built fwdeploy on a board with two slots: loop devices as slot A and
// slot B, the real fw_printenv and fw_setenv on a file-backed U-Boot
// environment, and real mounts (in a mount namespace of the run's own).
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "common/scoped.h"
#include "engine/fwdeploy.h"
#include "board/slots.h"
#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"
#include "tests/support/web_server.h"

namespace {

constexpr size_t SLOT_SIZE = 256 * 1024;

run_result run(const std::string& program, const std::vector<std::string>& args)
{
    run_options o;
    o.program = program;
    o.args = args;
    return run_program(o);
}

// A loop device over a file of the sandbox, detached at the end.
struct loop_device {
    std::string image;
    std::string device;
    loop_device(const sandbox_dir& box, const std::string& name, uint32_t seed)
    {
        image = box.path(name);
        write_file(image, pattern_bytes(SLOT_SIZE, seed));
        attach();
    }
    // Over `path` as it is: a device, say.
    explicit loop_device(const std::string& path) : image(path) { attach(); }
    void attach()
    {
        run_result r = run("losetup", {"-f", "--show", image});
        if (r.exit_code == 0)
            device = split_lines(r.out).at(0);
    }
    ~loop_device()
    {
        if (!device.empty()) {
            EXPECT_EQ(run("losetup", {"-d", device}).exit_code, 0);
        }
    }
};

// A loop device over a disk image with a partition table whose first
// partition holds an ext2 file system, the partition's device made with partx.
struct loop_disk {
    loop_device disk;
    std::string partition;
    std::vector<uint8_t> before;
    loop_disk(const sandbox_dir& box) : disk(box, "disk.img", 78)
    {
        if (disk.device.empty())
            return;
        run_options o;
        o.program = "sfdisk";
        o.args = {"-q", disk.device};
        o.input = "label: dos\nstart=64, size=384, type=83\n";
        if (run_program(o).exit_code != 0 || run("partx", {"-a", disk.device}).exit_code != 0)
            return;
        if (run("mkfs.ext2", {"-q", "-F", disk.device + "p1"}).exit_code == 0)
            partition = disk.device + "p1";
        before = read_file(disk.image);
    }
    ~loop_disk()
    {
        if (!disk.device.empty())
            run("partx", {"-d", disk.device});
    }
};

// A board whose slot group `rootfs` is two loop devices, booted from the slot
// the kernel command line names, with its boot state in a U-Boot environment file.
struct slot_board {
    sandbox_dir box{"fwdeploy-slots"};
    loop_device a{box, "slot-a.img", 71};
    loop_device b{box, "slot-b.img", 72};
    std::vector<uint8_t> a_before = pattern_bytes(SLOT_SIZE, 71);
    std::vector<uint8_t> b_before = pattern_bytes(SLOT_SIZE, 72);
    std::string env_config;
    std::vector<std::pair<std::string, std::string>> env;

    bool usable() const { return geteuid() == 0 && !a.device.empty() && !b.device.empty(); }

    slot_board(const std::string& booted = "A", const std::string& boot_env =
                   "BOOT_ORDER=A B\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n")
    {
        box.write("slots", "# name  slot A  slot B\nrootfs " + a.device + " " + b.device +
                               "   # the root file system\n");
        box.write("cmdline", "console=ttyAMA0 root=/dev/ram0 fwslot=" + booted + " quiet\n");
        env_config = box.write("fw_env.config", box.path("uboot.env") + " 0x0000 0x4000\n");
        make_env(boot_env);
        env = {{"FWDEPLOY_TEST_SLOTS_FILE", box.path("slots")},
               {"FWDEPLOY_TEST_CMDLINE_FILE", box.path("cmdline")},
               {"FWDEPLOY_TEST_FW_ENV_CONFIG", env_config},
               {"FWDEPLOY_TEST_LOCK_FILE", box.path("fwdeploy.lock")}};
    }

    // A fresh environment image holding these variables, as U-Boot writes it.
    void make_env(const std::string& variables)
    {
        std::string list = box.write("env.txt", "bootdelay=0\n" + variables);
        EXPECT_EQ(run("mkenvimage", {"-s", "0x4000", "-o", box.path("uboot.env"), list}).exit_code,
                  0);
    }

    void set(const std::string& name, const std::string& value)
    {
        for (auto& e : env)
            if (e.first == name) {
                e.second = value;
                return;
            }
        env.push_back({name, value});
    }

    run_result fwdeploy(const std::vector<std::string>& args, const std::string& wrapper = "")
    {
        run_options o;
        o.args = args;
        o.env = env;
        if (!wrapper.empty()) {
            o.program = "unshare";
            o.args = {"-m", "--propagation", "private", "sh", "-c", wrapper, "sh", FWDEPLOY_BIN};
            o.args.insert(o.args.end(), args.begin(), args.end());
        }
        return run_program(o);
    }

    // The boot variables as fw_printenv reads them.
    std::string boot_state()
    {
        return run("fw_printenv", {"-c", env_config, "BOOT_ORDER", "BOOT_A_LEFT", "BOOT_B_LEFT"})
            .out;
    }
};

#define REQUIRE_SLOTS(board)                                                              \
    if (!(board).usable())                                                                \
    GTEST_SKIP() << "needs root and loop devices"

// Lines that the package's scripts leave in the sandbox, to tell what ran.
std::string note(const slot_board& s, const std::string& what)
{
    return "echo \"" + what + "\" >> " + s.box.path("ran") + "\n";
}

std::string replace_all(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::vector<uint8_t> prefix_of(const std::vector<uint8_t>& all, size_t n)
{
    return std::vector<uint8_t>(all.begin(), all.begin() + (long)std::min(n, all.size()));
}

std::vector<uint8_t> prefix(const std::string& path, size_t n)
{
    return prefix_of(read_file(path), n);
}

const std::string DEFAULT_STATE = "BOOT_ORDER=A B\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n";

}  // namespace

namespace {

// A table of `count` groups, each with two devices of its own.
std::string many_groups(int count)
{
    std::string text;
    for (int g = 0; g < count; ++g)
        text += "group" + std::to_string(g) + " /dev/vd" + std::to_string(2 * g) + " /dev/vd" +
                std::to_string(2 * g + 1) + "\n";
    return text;
}

// A table of one group and comment lines, `size` bytes in all.
std::string padded_table(size_t size)
{
    std::string text = "rootfs /dev/vda2 /dev/vda3\n";
    while (text.size() + 200 < size)
        text += "#" + std::string(198, '-') + "\n";
    text += "#" + std::string(size - text.size() - 2, '-') + "\n";
    return text;
}

}  // namespace

TEST(SlotTable, AMalformedTableStopsTheRunBeforeThePackageIsRead)
{
    sandbox_dir box("fwdeploy-slots");
    struct table_case {
        std::string text;
        std::string line;             // after "Slot table FILE " (before a colon, no space)
        bool nodes = false;           // names the device nodes below, which need root
    };
    // One device under two names: a link and its target, an MTD character
    // device and its mtdblock twin.
    const std::string mmc = box.path("dev/mmcblk0p3");
    const std::string link = box.path("by-partlabel/rootfs_b");
    const std::string mtd = box.path("dev/mtd4");
    const std::string mtdblock = box.path("dev/mtdblock4");
    box.make_dir("dev");
    box.make_dir("by-partlabel");
    bool nodes = mknod(mmc.c_str(), S_IFBLK | 0600, makedev(179, 3)) == 0 &&
                 mknod(mtd.c_str(), S_IFCHR | 0600, makedev(90, 8)) == 0 &&
                 mknod(mtdblock.c_str(), S_IFBLK | 0600, makedev(31, 4)) == 0 &&
                 symlink("../dev/mmcblk0p3", link.c_str()) == 0;
    const std::vector<table_case> cases = {
        {"rootfs /dev/vda2\n", "line 1: a group is a name and the devices of slot A and slot B"},
        {"# two\n\nrootfs /dev/vda2 /dev/vda3 /dev/vda4\n",
         "line 3: a group is a name and the devices of slot A and slot B"},
        {"root@fs /dev/vda2 /dev/vda3\n",
         "line 1: group name root@fs is not up to 31 letters, digits, - and _"},
        {"rootfs dev/vda2 /dev/vda3\n",
         "line 1: device dev/vda2 is not an absolute path of up to 63 characters"},
        {"rootfs /dev/vda2 /dev/vda2\n", "line 1: slot A and slot B are the same device"},
        {"rootfs /dev/vda2 /dev/vda3\nrootfs /dev/vda5 /dev/vda6\n",
         "line 2: group rootfs is named twice"},
        {"rootfs /dev/vda2 /dev/vda3\nkernel /dev/mtd4 /dev/vda2\n",
         "line 2: device /dev/vda2 is also in group rootfs"},
        {std::string(300, ' ') + "\n", "line 1: longer than 255 characters"},
        {"# two\n#" + std::string(255, '-') + "\n", "line 2: longer than 255 characters"},
        {std::string(32, 'g') + " /dev/vda2 /dev/vda3\n",
         "line 1: group name " + std::string(32, 'g') + " is not up to 31 letters, digits, - and _"},
        {many_groups(17), "line 17: more than 16 groups"},
        {padded_table(8193), "is larger than 8192 bytes"},
        {"rootfs " + mmc + " " + link + "\n",
         ": device " + mmc + " and device " + link + " are the same device", true},
        {"kernel " + mtd + " /dev/vda5\nrootfs /dev/vda2 " + mtdblock + "\n",
         ": device " + mtd + " and device " + mtdblock + " are the same device", true},
    };
    for (const table_case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.nodes && !nodes)
            continue;                 // not root: no device nodes
        std::string table = box.write("slots", c.text);
        run_options o;
        o.args = {"-r", box.path("never-read.bin")};
        o.env = {{"FWDEPLOY_TEST_SLOTS_FILE", table},
                 {"FWDEPLOY_TEST_LOCK_FILE", box.path("lock")}};
        run_result r = run_program(o);
        EXPECT_EQ(r.exit_code, 255);
        std::vector<std::string> lines = split_lines(r.out);
        ASSERT_EQ(lines.size(), 3u) << r.out;
        EXPECT_EQ(lines[2], "Slot table " + table + (c.line[0] == ':' ? "" : " ") + c.line);
        EXPECT_EQ(r.err, "");         // the package was never opened
    }
    // As many groups as a table holds, and names as long as it takes, are taken:
    // the run goes on to open its package.
    for (const std::string& text : {many_groups(16), std::string(31, 'g') + " /dev/vda2 /dev/vda3\n",
                                    padded_table(8192), "#" + std::string(254, '-') + "\n"}) {
        run_options o;
        o.args = {"-r", box.path("never-there.bin")};
        o.env = {{"FWDEPLOY_TEST_SLOTS_FILE", box.write("slots", text)},
                 {"FWDEPLOY_TEST_LOCK_FILE", box.path("lock")}};
        run_result r = run_program(o);
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_FALSE(contains(r.out, "Slot table")) << r.out;
        EXPECT_TRUE(contains(r.err, "No such file or directory")) << r.err;
    }
}

TEST(SlotSwitch, AWholePassWritesTheOtherSlotThenSwitchesOnce)
{
    slot_board s;
    REQUIRE_SLOTS(s);
    std::string printenv = "fw_printenv -c " + s.env_config + " BOOT_ORDER";
    std::vector<uint8_t> image = pattern_bytes(5000, 73);
    bundle_package p;
    // The begin script may still use the slot it prepares: the verification
    // pass let go of its device (mke2fs opens it exclusively).
    p.begin_script = note(s, "begin $FWDEPLOY_SLOT") + printenv + " >> " + s.box.path("ran") +
                     "\ncase $FWDEPLOY_SLOT in A) d=" + s.a.device + ";; *) d=" + s.b.device +
                     ";; esac\nmkfs.ext2 -q -F $d && " + note(s, "made");
    p.end_script = note(s, "end $FWDEPLOY_SLOT $OTA_STATUS") + printenv + " >> " +
                   s.box.path("ran") + "\n";
    p.blocks.push_back(raw_block("@rootfs", image, 16384));
    // A block after the slot's: the boot order must not have moved while the pass runs.
    p.blocks.push_back(script_block("probe", printenv + " >> " + s.box.path("ran") + "\n"));
    run_result r = s.fwdeploy({"-r", write_package(s.box.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "######Write 0x1388 bytes to " + s.b.device + " #######\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, progress_line(100, 2, STATE_FINISHED) + "\n"
                                "Boot switched to slot B: BOOT_ORDER=B A, BOOT_B_LEFT=3\n"))
        << r.out;
    // While the pass runs, slot B is out of the boot order.
    EXPECT_TRUE(contains(r.out, "Slot B taken out of the boot order while it is written: "
                                "BOOT_ORDER=A, BOOT_B_LEFT=0\n"))
        << r.out;
    EXPECT_EQ(read_text(s.box.path("ran")),
              "begin B\nBOOT_ORDER=A B\nmade\nBOOT_ORDER=A\nend B 0\nBOOT_ORDER=B A\n");
    EXPECT_EQ(prefix(s.b.image, image.size()), image);
    EXPECT_EQ(read_file(s.a.image), s.a_before);
    EXPECT_EQ(s.boot_state(), "BOOT_ORDER=B A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n");

    // Booted from B, the same package writes A and puts it first.
    s.box.write("cmdline", "fwslot=B\n");
    s.make_env("BOOT_ORDER=B A\nBOOT_A_LEFT=0\nBOOT_B_LEFT=2\n");
    unlink(s.box.path("ran").c_str());
    r = s.fwdeploy({"-r", s.box.path("pkg.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(prefix(s.a.image, image.size()), image);
    EXPECT_EQ(s.boot_state(), "BOOT_ORDER=A B\nBOOT_A_LEFT=3\nBOOT_B_LEFT=2\n");
    EXPECT_EQ(read_text(s.box.path("ran")),
              "begin A\nBOOT_ORDER=B A\nmade\nBOOT_ORDER=B\nend A 0\nBOOT_ORDER=A B\n");
}

// Only a whole pass switches the boot, and a slot being written never boots:
// not when a later block or a script of the pass fails, not when the boot
// state cannot be written, and not after an update that the board has not
// rebooted into yet had put that very slot first.
TEST(SlotSwitch, NoSwitchWithoutAWholePassOrASlotTarget)
{
    slot_board s;
    REQUIRE_SLOTS(s);
    std::vector<uint8_t> image = pattern_bytes(5000, 74);
    const std::string pending = "BOOT_ORDER=B A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n";
    const std::string b_out = "BOOT_ORDER=A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=0\n";
    struct pass_case {
        std::string name;
        std::vector<bundle_block> blocks;
        int status;                   // OTA_STATUS the end script sees
        std::string environment;      // of the boot loader, to start with; empty: bad CRC
        std::string after;            // the boot state afterwards; empty: as it was
        std::string line;             // expected in the output, or empty
        std::string slot;             // FWDEPLOY_SLOT as the end script sees it
        bool b_written;               // slot B got the image
    };
    std::string target = s.box.write("data/app.bin", "old");
    bundle_block slot = raw_block("@rootfs", image, 16384);
    bundle_block missing = replace_block(s.box.path("missing/app.bin"), bytes_of("x"));
    const std::vector<pass_case> cases = {
        {"a block after the slot's fails", {slot, missing}, -1, DEFAULT_STATE, b_out, "", "B",
         true},
        {"a block after the slot's fails, B already first from an update not booted yet",
         {slot, missing}, -1, pending, b_out, "", "B", true},
        {"a script after the slot's exits 1",
         {slot, script_block("install", "echo installing\nexit 1\n")}, -1, pending, b_out,
         "Script block install failed: its shell exited with status 1!\n", "B", true},
        // The shell that runs the script may be the one killed, or the one
        // that started it and tells of the kill: either way it did not end well.
        {"a script before the slot's is killed: the slot is not touched",
         {script_block("install", "kill -9 $$\n"), slot}, -1, DEFAULT_STATE, "",
         "Script block install failed: its shell ", "B", false},
        {"no slot target: the shell's status is not looked at",
         {replace_block(target, bytes_of("new")), script_block("s", "exit 1\n")}, 0,
         DEFAULT_STATE, "", "", "unset", false},
        {"a script named like a group", {script_block("@setup", "true\n")}, 0, DEFAULT_STATE,
         "", "", "unset", false},
        {"the environment cannot be written: the slot is not touched", {slot}, -1, "", "",
         "Slot B cannot be taken out of the boot order: fw_setenv or fw_printenv failed!\n", "B",
         false},
    };
    for (const pass_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(s.b.image, s.b_before);
        if (c.environment.empty())
            write_file(s.box.path("uboot.env"), std::vector<uint8_t>(0x4000, 0));  // bad CRC
        else
            s.make_env(c.environment);
        std::string before = s.boot_state();
        bundle_package p;
        p.end_script = "echo \"status $OTA_STATUS slot ${FWDEPLOY_SLOT-unset}\"\n";
        p.blocks = c.blocks;
        // A value the tool's caller had set must not reach the scripts.
        s.set("FWDEPLOY_SLOT", "inherited");
        run_result r = s.fwdeploy({"-r", write_package(s.box.path("pkg.bin"), p)});
        s.env.pop_back();
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_EQ(s.boot_state(), c.after.empty() ? before : c.after);
        EXPECT_TRUE(contains(r.out, "status " + std::to_string(c.status) + " slot " + c.slot))
            << r.out;
        EXPECT_FALSE(contains(r.out, "Boot switched")) << r.out;
        if (!c.line.empty()) {
            EXPECT_TRUE(contains(r.out, c.line)) << r.out;
        }
        if (c.b_written) {
            EXPECT_TRUE(prefix(s.b.image, image.size()) == image);
        } else {
            EXPECT_TRUE(read_file(s.b.image) == s.b_before);
        }
    }
}

// A second update before the reboot, killed at its first write to the slot:
// the slot that the first update put first must not boot half written.
TEST(SlotSwitch, ARunKilledAtItsFirstWriteOfTheSlotLeavesItUnbootable)
{
    slot_board s("A", "BOOT_ORDER=B A\nBOOT_A_LEFT=2\nBOOT_B_LEFT=3\n");
    REQUIRE_SLOTS(s);
    bundle_package p;
    p.blocks.push_back(raw_block("@rootfs", pattern_bytes(5000, 77), 16384));
    std::string package = write_package(s.box.path("pkg.bin"), p);
    for (const auto& e : preloading(KILL_SHIM_PATH))
        s.set(e.first, e.second);
    s.set("FWDEPLOY_KILL_WRITE_TO", s.b.device);
    run_result r = s.fwdeploy({"-r", package});
    EXPECT_EQ(r.signal, SIGKILL) << r.out << r.err;
    EXPECT_EQ(s.boot_state(), "BOOT_ORDER=A\nBOOT_A_LEFT=2\nBOOT_B_LEFT=0\n");
    EXPECT_TRUE(read_file(s.b.image) == s.b_before);
}

TEST(SlotTargets, RefusedBeforeAnythingRuns)
{
    slot_board s;
    REQUIRE_SLOTS(s);
    std::vector<uint8_t> image = pattern_bytes(5000, 75);
    struct stat a_stat{};
    ASSERT_EQ(stat(s.a.device.c_str(), &a_stat), 0);
    // / on slot A's device, as the kernel would list it; this machine's own root
    // cannot be moved for a test.
    std::string root_on_a = s.box.write(
        "mountinfo", "20 1 " + std::to_string(major(a_stat.st_rdev)) + ":" +
                         std::to_string(minor(a_stat.st_rdev)) + " / / rw,relatime - ext4 " +
                         s.a.device + " rw\n");
    std::string mount_b = "mkdir -p " + s.box.path("mnt") + " && mount " + s.b.device + " " +
                          s.box.path("mnt") + " && exec \"$@\"";
    ASSERT_EQ(run("mkfs.ext2", {"-q", "-F", s.b.image}).exit_code, 0);
    std::vector<uint8_t> b_formatted = read_file(s.b.image);

    struct refusal_case {
        std::string name;
        bundle_block block;
        std::vector<std::pair<std::string, std::string>> env;  // changed for the run
        std::string wrapper;          // a shell that mounts before the run
        std::string line;
        bool held = false;            // slot B's device open exclusively by another
        std::string looped{};         // a device that a loop device reads during the run;
                                      // LOOP in `wrapper` and `line` is that loop device
    };
    // UBI volumes: character devices, which a UBIFS mount names by their own
    // name rather than a device number. Which volume a node is, sysfs says,
    // whatever the node is called.
    std::string ubi_a = s.box.path("dev/data-a");
    std::string ubi_b = s.box.path("dev/data-b");
    s.box.make_dir("dev");
    ASSERT_EQ(mknod(ubi_a.c_str(), S_IFCHR | 0600, makedev(240, 3)), 0);
    ASSERT_EQ(mknod(ubi_b.c_str(), S_IFCHR | 0600, makedev(240, 4)), 0);
    s.box.write("sys/devices/virtual/ubi/ubi0/ubi0_3/name", "data_b\n");
    std::string volume_b = s.box.make_dir("sys/dev/char") + "/240:4";
    ASSERT_EQ(symlink("../../devices/virtual/ubi/ubi0/ubi0_3", volume_b.c_str()), 0);
    std::string ubi_slots = s.box.write("ubi-slots", "data " + ubi_a + " " + ubi_b + "\n");
    std::string ubi_mounted =
        s.box.write("ubi-mountinfo", "30 20 0:25 / /data rw,relatime - ubifs ubi0_3 rw\n");
    // A slot that is a whole disk: the mounts name only its partition.
    loop_disk disk(s.box);
    ASSERT_FALSE(disk.partition.empty()) << "no partition on a loop device";
    std::string disk_slots =
        s.box.write("disk-slots", "system " + s.a.device + " " + disk.disk.device + "\n");
    std::string partition_slots =
        s.box.write("partition-slots", "system " + s.a.device + " " + disk.partition + "\n");
    std::string mount_partition = "mkdir -p " + s.box.path("mnt") + " && mount " +
                                  disk.partition + " " + s.box.path("mnt") + " && exec \"$@\"";
    const std::string b_link = s.box.path("b-link");
    ASSERT_EQ(symlink(s.b.device.c_str(), b_link.c_str()), 0);
    const std::vector<refusal_case> cases = {
        {"an unknown group", raw_block("@kernel", image, 16384), {}, "",
         "Slot target @kernel refused: no such group in " + s.box.path("slots") + "!"},
        // By its name, a link to it or another node of it, the slot that is
        // not booted would be written while it could still boot.
        {"the slot not booted, by its device's name", raw_block(s.b.device, image, 16384), {}, "",
         "Target " + s.b.device + " refused: it is slot B of group rootfs, which a package "
         "writes as @rootfs!"},
        {"the slot not booted, by a link to its device", raw_block(b_link, image, 16384), {}, "",
         "Target " + b_link + " refused: it is slot B of group rootfs, which a package writes "
         "as @rootfs!"},
        {"the slot not booted, as a UBI volume", ubi_block(s.b.device, image), {}, "",
         "Target " + s.b.device + " refused: it is slot B of group rootfs, which a package "
         "writes as @rootfs!"},
        {"either slot, the booted one unknown", raw_block(s.a.device, image, 16384),
         {{"FWDEPLOY_TEST_CMDLINE_FILE", s.box.path("no-cmdline")}}, "",
         "Target " + s.a.device + " refused: it is slot A of group rootfs, which a package "
         "writes as @rootfs!"},
        {"a board without a slot table", raw_block("@rootfs", image, 16384),
         {{"FWDEPLOY_TEST_SLOTS_FILE", s.box.path("no-slots")}}, "",
         "Slot target @rootfs refused: this board has no slot table!"},
        {"the booted slot unknown", ubi_block("@rootfs", image),
         {{"FWDEPLOY_TEST_CMDLINE_FILE", s.box.path("no-cmdline")}}, "",
         "Slot target @rootfs refused: the booted slot is unknown!"},
        {"a file block", replace_block("@rootfs", image), {}, "",
         "Block 0: slot target @rootfs on a file block!"},
        {"the command line names the slot that is not on /", raw_block("@rootfs", image, 16384),
         {{"FWDEPLOY_TEST_CMDLINE_FILE", s.box.write("cmdline-b", "fwslot=B\n")},
          {"FWDEPLOY_TEST_MOUNTINFO_FILE", root_on_a}},
         "", "Slot target @rootfs refused: " + s.a.device + " is the booted one!"},
        {"a UBI volume mounted by its name", ubi_block("@data", image),
         {{"FWDEPLOY_TEST_SLOTS_FILE", ubi_slots}, {"FWDEPLOY_TEST_MOUNTINFO_FILE", ubi_mounted},
          {"FWDEPLOY_TEST_SYSFS_ROOT", s.box.path("sys")}},
         "", "Slot target @data refused: " + ubi_b + " is mounted on /data!"},
        {"the slot device mounted", raw_block("@rootfs", image, 16384), {}, mount_b,
         "Slot target @rootfs refused: " + s.b.device + " is mounted on " + s.box.path("mnt") +
             "!"},
        {"a whole disk whose partition is mounted", raw_block("@system", image, 16384),
         {{"FWDEPLOY_TEST_SLOTS_FILE", disk_slots}}, mount_partition,
         "Slot target @system refused: " + disk.disk.device + " is in use!"},
        {"the slot device held by another exclusive opener", raw_block("@rootfs", image, 16384),
         {}, "", "Slot target @rootfs refused: " + s.b.device + " is in use!", true},
        // A loop device claims nothing it reads, and the mounts name the loop device.
        {"the slot device mounted through a loop device", raw_block("@rootfs", image, 16384), {},
         "mkdir -p " + s.box.path("mnt") + " && mount LOOP " + s.box.path("mnt") +
             " && exec \"$@\"",
         "Slot target @rootfs refused: " + s.b.device + " is in use by LOOP!", false, s.b.device},
        {"a whole disk whose partition a loop device reads", raw_block("@system", image, 16384),
         {{"FWDEPLOY_TEST_SLOTS_FILE", disk_slots}}, "",
         "Slot target @system refused: " + disk.disk.device + " is in use by LOOP!", false,
         disk.partition},
        {"a partition that a loop device reads", raw_block("@system", image, 16384),
         {{"FWDEPLOY_TEST_SLOTS_FILE", partition_slots}}, "",
         "Slot target @system refused: " + disk.partition + " is in use by LOOP!", false,
         disk.partition},
        {"a partition whose whole disk a loop device reads", raw_block("@system", image, 16384),
         {{"FWDEPLOY_TEST_SLOTS_FILE", partition_slots}}, "",
         "Slot target @system refused: " + disk.partition + " is in use by LOOP!", false,
         disk.disk.device},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.name);
        slot_board& board = s;
        auto saved = board.env;
        for (const auto& e : c.env)
            board.set(e.first, e.second);
        unlink(s.box.path("ran").c_str());
        bundle_package p;
        p.begin_script = note(s, "begin");
        p.end_script = note(s, "end");
        p.blocks = {c.block};
        unique_fd holder(c.held ? open(s.b.device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC) : -1);
        ASSERT_EQ(holder.fd >= 0, c.held);
        std::unique_ptr<loop_device> loop;
        std::string wrapper = c.wrapper;
        std::string line = c.line;
        if (!c.looped.empty()) {
            loop.reset(new loop_device(c.looped));
            ASSERT_FALSE(loop->device.empty());
            wrapper = replace_all(wrapper, "LOOP", loop->device);
            line = replace_all(line, "LOOP", loop->device);
        }
        run_result r = board.fwdeploy({"-r", write_package(s.box.path("pkg.bin"), p)}, wrapper);
        holder.reset();
        loop.reset();
        board.env = saved;
        EXPECT_EQ(r.exit_code, 255) << r.out << r.err;
        EXPECT_TRUE(contains(r.out, line + "\n" +
                                        progress_line(100, 1, STATE_CHECK_FAILED) + "\n"))
            << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(file_exists(s.box.path("ran")));
        EXPECT_EQ(read_file(s.a.image), s.a_before);
        // Mounting updates the superblock; the first KiB, where a write would start, stays.
        EXPECT_EQ(prefix(s.b.image, 1024), std::vector<uint8_t>(b_formatted.begin(),
                                                                b_formatted.begin() + 1024));
        EXPECT_EQ(s.boot_state(), DEFAULT_STATE);
        // The partition table and the mounted file system are where they were.
        EXPECT_EQ(prefix(disk.disk.image, 2048), prefix_of(disk.before, 2048));
    }
}

TEST(SlotTargets, AMountedPlainTargetIsWrittenWithAWarning)
{
    slot_board s;
    REQUIRE_SLOTS(s);
    ASSERT_EQ(run("mkfs.ext2", {"-q", "-F", s.a.image}).exit_code, 0);
    std::string mnt = s.box.make_dir("mnt");
    std::string mount_a = "mount " + s.a.device + " " + mnt + " && exec \"$@\"";
    std::string mount_a_ro = "mount -o ro " + s.a.device + " " + mnt + " && exec \"$@\"";
    bundle_package p;
    p.blocks.push_back(raw_block(s.a.device, pattern_bytes(100, 76), 512));
    std::string package = write_package(s.box.path("pkg.bin"), p);
    std::string warning = "Warning: " + s.a.device + " is mounted read-write on " + mnt + "\n";

    run_result r = s.fwdeploy({"-r", package}, mount_a);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "blk 0 head " + hex(sum_of(pattern_bytes(100, 76))) + " cal " +
                                    hex(sum_of(pattern_bytes(100, 76))) + "\n" + warning))
        << r.out;
    EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: 0\n")) << r.out;
    EXPECT_EQ(s.boot_state(), DEFAULT_STATE);

    // Read-only, or on a board without a slot table: no warning, as before.
    r = s.fwdeploy({"-r", package}, mount_a_ro);
    EXPECT_FALSE(contains(r.out, "Warning")) << r.out;
    s.set("FWDEPLOY_TEST_SLOTS_FILE", s.box.path("no-slots"));
    r = s.fwdeploy({"-r", package}, mount_a);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(contains(r.out, "Warning")) << r.out;
}

TEST(SlotConfirm, ConfirmGivesTheBootedSlotItsAttemptsBackAndListShowsTheBoard)
{
    slot_board s("B", "BOOT_ORDER=B A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=1\n");
    REQUIRE_SLOTS(s);
    auto lines = [](const run_result& r) {
        std::vector<std::string> all = split_lines(r.out);
        return std::vector<std::string>(all.begin() + std::min<long>(2, (long)all.size()),
                                        all.end());
    };
    run_result r = s.fwdeploy({"-l"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(lines(r), (std::vector<std::string>{"booted=B", "order=B A", "A.left=3", "B.left=1",
                                                  "rootfs.A=" + s.a.device,
                                                  "rootfs.B=" + s.b.device,
                                                  "decryption_keys="}));

    // The ids of the keys the board decrypts with, never the keys.
    openssl_key first = make_openssl_key(s.box, "first");
    openssl_key second = make_openssl_key(s.box, "second");
    std::string keys = s.box.write("decryption.pem", read_text(first.private_pem) +
                                                         read_text(second.private_pem), 0600);
    ::chmod(keys.c_str(), 0600);
    auto id_of = [](const std::string& public_pem) {
        run_options o;
        o.program = "sh";
        o.args = {"-c", "openssl pkey -pubin -in \"$0\" -outform DER | sha256sum", public_pem};
        return run_program(o).out.substr(0, 16);
    };
    std::vector<std::pair<std::string, std::string>> saved = s.env;
    s.set("FWDEPLOY_TEST_DECRYPTION_KEY", keys);
    r = s.fwdeploy({"-l"});
    s.env = saved;
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(lines(r).back(),
              "decryption_keys=" + id_of(first.public_pem) + " " + id_of(second.public_pem));
    EXPECT_FALSE(contains(r.out, split_lines(read_text(first.private_pem)).at(1))) << r.out;

    r = s.fwdeploy({"-g"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(lines(r), std::vector<std::string>{"Slot B confirmed: BOOT_B_LEFT=3"});
    EXPECT_EQ(s.boot_state(), "BOOT_ORDER=B A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n");

    // Without the command line, / on a slot device tells the booted slot.
    struct stat a_stat{};
    ASSERT_EQ(stat(s.a.device.c_str(), &a_stat), 0);
    const std::string root_on_a = "20 1 " + std::to_string(major(a_stat.st_rdev)) + ":" +
                                  std::to_string(minor(a_stat.st_rdev)) +
                                  " / / ro,relatime shared:1 - ext4 /dev/root ro\n";
    s.set("FWDEPLOY_TEST_CMDLINE_FILE", s.box.path("no-cmdline"));
    s.set("FWDEPLOY_TEST_MOUNTINFO_FILE", s.box.write("mountinfo", root_on_a));
    s.make_env("BOOT_ORDER=B A\nBOOT_A_LEFT=0\nBOOT_B_LEFT=0\n");
    r = s.fwdeploy({"-g", "-l"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(lines(r), (std::vector<std::string>{"Slot A confirmed: BOOT_A_LEFT=3", "booted=A",
                                                  "order=B A", "A.left=3", "B.left=0",
                                                  "rootfs.A=" + s.a.device,
                                                  "rootfs.B=" + s.b.device,
                                                  "decryption_keys="}));

    // Nothing to confirm, or no environment to confirm it in: 255 and a line.
    struct confirm_failure {
        std::string name;
        std::vector<std::string> args;
        std::string line;
        std::string mountinfo = "";
        std::string cmdline = "";     // empty: none
    };
    const std::vector<confirm_failure> failures = {
        {"booted slot unknown", {"-g"},
         "Booted slot is unknown: no fwslot=A or fwslot=B on the kernel command line, and / is "
         "on no slot device!"},
        {"a package as well", {"-g", "-r", "pkg.bin"},
         "This tool can unpackage the file you give to do upgrade."},
        {"-n, which writes nothing", {"-n", "-g"},
         "This tool can unpackage the file you give to do upgrade."},
        // Only the device mounted on / is the booted one.
        {"slot A's device mounted elsewhere", {"-g"},
         "Booted slot is unknown: no fwslot=A or fwslot=B on the kernel command line, and / is "
         "on no slot device!",
         "20 1 " + std::to_string(major(a_stat.st_rdev)) + ":" +
             std::to_string(minor(a_stat.st_rdev)) + " / /data rw,relatime - ext4 " + s.a.device +
             " rw\n"},
        // A line that names something else than a slot is no line without a
        // slot: the booted slot stays unknown rather than guessed from /.
        {"the command line naming no slot while slot A is on /", {"-g"},
         "Booted slot is unknown: no fwslot=A or fwslot=B on the kernel command line, and / is "
         "on no slot device!",
         root_on_a, "quiet fwslot=C\n"},
        // The kernel command line is read up to 4096 bytes: a longer one is not
        // read at all, and / tells no slot either.
        {"a command line one byte longer than the board reads", {"-g"},
         "Booted slot is unknown: no fwslot=A or fwslot=B on the kernel command line, and / is "
         "on no slot device!",
         "", std::string(4097 - 10, 'q') + " fwslot=A\n"},
    };
    for (const confirm_failure& f : failures) {
        SCOPED_TRACE(f.name);
        s.set("FWDEPLOY_TEST_MOUNTINFO_FILE", s.box.write("mountinfo", f.mountinfo));
        s.set("FWDEPLOY_TEST_CMDLINE_FILE",
              f.cmdline.empty() ? s.box.path("no-cmdline") : s.box.write("cmdline-row", f.cmdline));
        r = s.fwdeploy(f.args);
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(lines(r).at(0), f.line);
    }
    EXPECT_EQ(s.boot_state(), "BOOT_ORDER=B A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=0\n");  // -n -g wrote nothing
    // A command line of exactly the 4096 bytes the board reads names the slot.
    s.set("FWDEPLOY_TEST_CMDLINE_FILE",
          s.box.write("cmdline-row", std::string(4096 - 10, 'q') + " fwslot=B\n"));
    r = s.fwdeploy({"-l"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(lines(r).at(0), "booted=B");
    s.set("FWDEPLOY_TEST_CMDLINE_FILE", s.box.path("cmdline"));
    write_file(s.box.path("uboot.env"), std::vector<uint8_t>(0x4000, 0));
    for (const char* option : {"-g", "-l"}) {
        r = s.fwdeploy({option});
        EXPECT_EQ(r.exit_code, 255) << option;
        EXPECT_EQ(lines(r), std::vector<std::string>{"Boot loader environment cannot be read!"});
    }
    // -l reads nothing while a run holds the lock: it could be in the middle of
    // a switch. Nor does -g write, alone or with -l.
    s.make_env("BOOT_ORDER=A B\nBOOT_A_LEFT=1\nBOOT_B_LEFT=3\n");
    std::string lock = s.box.path("fwdeploy.lock");
    write_file(lock, {}, 0600);
    {
        unique_fd held(open(lock.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_EQ(flock(held.fd, LOCK_EX), 0);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"-l"}, {"-g"}, {"-g", "-l"}}) {
            SCOPED_TRACE(args.back() + " after " + args.front());
            r = s.fwdeploy(args);
            EXPECT_EQ(r.exit_code, 255) << r.out;
            EXPECT_EQ(lines(r), std::vector<std::string>{"Another fwdeploy is running (lock " +
                                                         lock + ")"});
        }
    }
    EXPECT_EQ(s.boot_state(), "BOOT_ORDER=A B\nBOOT_A_LEFT=1\nBOOT_B_LEFT=3\n");
    // -l alone only reads, as a check does: it makes no lock file. With -g it
    // writes, and takes the lock as every run that writes: its file is made.
    remove_tree(lock);
    r = s.fwdeploy({"-l"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_FALSE(file_exists(lock));
    r = s.fwdeploy({"-g", "-l"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(file_mode(lock), 0600);
    s.make_env(DEFAULT_STATE);
    // fw_printenv shows a variable that is not set as empty, and ends well.
    s.make_env("BOOT_ORDER=B A\nBOOT_A_LEFT=3\n");
    r = s.fwdeploy({"-l"});
    EXPECT_EQ(r.exit_code, 255) << r.out;
    EXPECT_EQ(lines(r), std::vector<std::string>{"Boot loader environment has no BOOT_B_LEFT!"});
}

TEST(SlotCmdline, TheBootedSlotIsReadAsTheKernelReadsItsParameters)
{
    struct cmdline_case {
        const char* text;
        int slot;                     // 0 A, 1 B, -1 none named, -2 named but no slot
        const char* key = "fwslot";
    };
    const cmdline_case cases[] = {
        {"console=ttyAMA0 root=/dev/vda2 fwslot=B quiet\n", 1},
        {"fwslot=A", 0},
        {"quiet\tfwslot=B\n", 1},
        {"fwslot=\"B\"", 1},                        // quotes around a value are not part of it
        {"\"fwslot=B\" quiet", 1},                  // nor around the whole parameter
        {"foo=\"a fwslot=B\" bar", -1},             // inside another parameter's value
        {"foo=\"a fwslot=B\" fwslot=A", 0},
        {"fwslot=A -- fwslot=B", 0},                // after "--": init's, not the kernel's
        {"-- fwslot=B", -1},
        {"x=-- fwslot=B", 1},                       // "--" as a value ends nothing
        {"fwslot=A fwslot=B", 1},                   // the last one counts
        {"fwslot=B fwslot=C", -2},                  // ... also when it names no slot
        {"fwslot=", -2},
        {"fwslot", -2},
        {"fwslot=AB", -2},
        {"fwslot=a", -2},
        {"fwslot=\"A B\"", -2},
        {"xfwslot=B fwslot_x=A", -1},
        {"", -1},
        {"fw_slot=B", 1, "fw-slot"},                // a dash and an underscore are the same
        {"fw-slot=B", 1, "fw_slot"},                // ... whichever of them the key has
    };
    for (const cmdline_case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        EXPECT_EQ(cmdline_slot(&text[0], c.key), c.slot);
    }
}

// A boot loader tool that never ends (a stuck boot partition, a lock another
// program holds) is killed after the build's time: the run goes on and says so.
TEST(SlotSwitch, ABootLoaderToolThatNeverEndsIsKilled)
{
    slot_board s;
    REQUIRE_SLOTS(s);
    // Stand-ins that hand over to the real tools until their N-th call, from
    // which on they hang.
    std::string bin = s.box.make_dir("bin");
    for (const char* tool : {"fw_setenv", "fw_printenv"}) {
        std::string real = "/usr/bin/" + std::string(tool);
        s.box.write(std::string("bin/") + tool,
                    "#!/bin/sh\nn=$(cat " + s.box.path(tool) + ".calls 2>/dev/null || echo 0)\n"
                    "n=$((n + 1))\necho $n > " + s.box.path(tool) + ".calls\n"
                    "[ $n -ge \"${HANG_" + tool + ":-99}\" ] && exec sleep 600\n"
                    "[ $n -ge \"${FAIL_" + tool + ":-99}\" ] && { " + real + " \"$@\"; exit 1; }\n"
                    "d=\"${DROP_" + tool + "-}\"\n"
                    "[ \"${d%% *}\" = $n ] && { grep -v \"^${d#* }=\" | " + real + " \"$@\"; exit; }\n"
                    "exec " + real + " \"$@\"\n",
                    0755);
    }
    struct hang_case {
        std::string name;
        std::vector<std::string> args;
        std::pair<std::string, std::string> hang;  // tool and the call from which it hangs
        int exit_code;
        std::vector<std::string> lines;  // in this order in the output
        std::string after;               // the boot state afterwards
    };
    bundle_package p;
    p.end_script = "echo \"status $OTA_STATUS\"\n";
    p.blocks.push_back(raw_block("@rootfs", pattern_bytes(3000, 79), 16384));
    std::string package = write_package(s.box.path("pkg.bin"), p);
    const std::vector<hang_case> cases = {
        {"fw_setenv at the switch", {"-r", package}, {"HANG_fw_setenv", "2"}, 0,
         {"fw_setenv did not end within 1 s: killed",
          "Boot switch to slot B failed: fw_setenv or fw_printenv failed!", "status -1"},
         "BOOT_ORDER=A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=0\n"},
        {"fw_setenv before the slot is written", {"-r", package}, {"HANG_fw_setenv", "1"}, 0,
         {"fw_setenv did not end within 1 s: killed",
          "Slot B cannot be taken out of the boot order: fw_setenv or fw_printenv failed!",
          "status -1"},
         DEFAULT_STATE},
        {"fw_printenv for -l", {"-l"}, {"HANG_fw_printenv", "1"}, 255,
         {"fw_printenv did not end within 1 s: killed",
          "Boot loader environment cannot be read!"},
         DEFAULT_STATE},
        {"fw_setenv for -g", {"-g"}, {"HANG_fw_setenv", "1"}, 255,
         {"fw_setenv did not end within 1 s: killed", "Boot loader environment cannot be written!"},
         DEFAULT_STATE},
        // A tool that says it failed has failed, whatever it left behind.
        {"fw_setenv fails at the switch after setting the values", {"-r", package},
         {"FAIL_fw_setenv", "2"}, 0,
         {"Boot switch to slot B failed: fw_setenv or fw_printenv failed!", "status -1"},
         "BOOT_ORDER=B A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n"},
        {"fw_setenv fails for -g after setting the value", {"-g"}, {"FAIL_fw_setenv", "1"}, 255,
         {"Boot loader environment cannot be written!"}, DEFAULT_STATE},
        // A tool that ends well is believed only as far as the values read back.
        {"fw_setenv leaves the order as it was at the switch", {"-r", package},
         {"DROP_fw_setenv", "2 BOOT_ORDER"}, 0,
         {"Boot switch to slot B failed: BOOT_ORDER=A, BOOT_B_LEFT=3 read back!", "status -1"},
         "BOOT_ORDER=A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n"},
        {"fw_setenv leaves the attempts as they were before the slot is written", {"-r", package},
         {"DROP_fw_setenv", "1 BOOT_B_LEFT"}, 0,
         {"Slot B cannot be taken out of the boot order: BOOT_ORDER=A, BOOT_B_LEFT=3 read back!",
          "status -1"},
         "BOOT_ORDER=A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n"},
    };
    for (const hang_case& c : cases) {
        SCOPED_TRACE(c.name);
        s.make_env(DEFAULT_STATE);
        unlink((s.box.path("fw_setenv") + ".calls").c_str());
        unlink((s.box.path("fw_printenv") + ".calls").c_str());
        run_options o;
        o.args = c.args;
        o.env = s.env;
        o.env.push_back({"FWDEPLOY_TEST_BOOT_ENV_TIMEOUT", "1"});
        o.env.push_back(c.hang);
        o.path_prefix = bin;
        run_result r = run_program(o);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.out;
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.leftover_processes, 0);
        size_t at = 0;
        for (const std::string& line : c.lines) {
            size_t found = r.out.find(line + "\n", at);
            EXPECT_NE(found, std::string::npos) << line << "\n" << r.out;
            at = found == std::string::npos ? at : found;
        }
        EXPECT_EQ(s.boot_state(), c.after);
    }
}

// A slot written from a package on a server switches the boot only after a
// whole pass; one whose download fails in the apply pass leaves the slot out
// of the boot order, as any failed pass does.
TEST(SlotSwitch, ASlotWrittenFromAServerSwitchesOnlyAfterAWholePass)
{
    web_server server;
    if (!server.running())
        GTEST_SKIP() << "no web server: " << server.why_not;
    slot_board s;
    REQUIRE_SLOTS(s);
    std::vector<uint8_t> image = pattern_bytes(SLOT_SIZE, 80);
    std::string url = server.url("slot.bin");
    enum { WHOLE, BROKEN, GONE, WITHDRAWN, FORBIDDEN, WITHDRAWN_GZIP, WITHDRAWN_SEALED };
    // A board key for the encrypted package, sealed by the independent check.
    openssl_key board = make_openssl_key(s.box, "board");
    ::chmod(board.private_pem.c_str(), 0600);
    run_options python;
    python.program = "/usr/bin/python3";
    python.args = {"-c", "import cryptography.hazmat.primitives.ciphers.aead"};
    bool can_seal = run_program(python).exit_code == 0;
    for (int row : {WITHDRAWN, FORBIDDEN, WITHDRAWN_GZIP, WITHDRAWN_SEALED}) {
        if (row == WITHDRAWN_SEALED && !can_seal)
            continue;
        // The last block moves the package away, or makes the server refuse
        // it: the passes after the apply pass need only the kept first bytes,
        // so the board, switched, still runs its end script.
        SCOPED_TRACE(row == WITHDRAWN        ? "withdrawn after the apply pass (404)"
                     : row == FORBIDDEN      ? "forbidden after the apply pass (403)"
                     : row == WITHDRAWN_GZIP ? "a gzip package withdrawn after the apply pass"
                                             : "an encrypted package withdrawn after the apply pass");
        write_file(s.b.image, s.b_before);
        s.make_env(DEFAULT_STATE);
        bool gzip = row == WITHDRAWN_GZIP;
        bool sealed = row == WITHDRAWN_SEALED;
        std::string name = gzip ? "slot.bin.gz" : sealed ? "slot.enc" : "slot.bin";
        std::string served = server.www + "/" + name;
        bundle_package p;
        p.end_script = "echo \"status $OTA_STATUS slot $FWDEPLOY_SLOT\"\n";
        p.blocks.push_back(raw_block("@rootfs", image, SLOT_SIZE));
        p.blocks.push_back(script_block("release", row == FORBIDDEN
                                                       ? "touch " + server.www + "/forbidden.flag\n"
                                                       : "mv " + served + " " + served + ".gone\n"));
        write_package(server.www + "/slot.bin", p);
        if (gzip)
            gzip_copy(server.www + "/slot.bin");
        if (sealed) {
            python.args = {std::string(TEST_SOURCE_DIR) + "/support/envelope_check.py", "seal",
                           served, server.www + "/slot.bin", board.public_pem};
            ASSERT_EQ(run_program(python).exit_code, 0);
        }
        std::vector<std::pair<std::string, std::string>> saved = s.env;
        s.set("FWDEPLOY_TEST_DECRYPTION_KEY", board.private_pem);
        run_result r = s.fwdeploy({gzip ? "-x" : "-r", server.url(name)});
        s.env = saved;
        ::unlink((server.www + "/forbidden.flag").c_str());
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_EQ(prefix(s.b.image, image.size()), image);
        EXPECT_TRUE(contains(r.out, "Boot switched to slot B: BOOT_ORDER=B A, BOOT_B_LEFT=3\n"))
            << r.out;
        EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: 0\nstatus 0 slot B\n")) << r.out;
        EXPECT_EQ(s.boot_state(), "BOOT_ORDER=B A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n");
    }
    for (int row : {WHOLE, BROKEN, GONE}) {
        SCOPED_TRACE(row == WHOLE    ? "a whole pass"
                     : row == BROKEN ? "the download fails half-way through the apply pass"
                                     : "the server is gone when the apply pass starts");
        write_file(s.b.image, s.b_before);
        s.make_env(DEFAULT_STATE);
        // From the begin script on, every connection stalls after a quarter
        // of the slot (a retry too), or the server answers nothing: the
        // apply pass asks at its start, before it makes the slot unbootable.
        bundle_package p;
        p.begin_script = row == BROKEN ? stall_after(SLOT_SIZE / 4) + "\n"
                         : row == GONE ? stall_after(0) + "\n"
                                       : "";
        p.end_script = "echo \"status $OTA_STATUS slot $FWDEPLOY_SLOT\"\n";
        p.blocks.push_back(raw_block("@rootfs", image, SLOT_SIZE));
        write_package(server.www + "/slot.bin", p);
        std::vector<std::pair<std::string, std::string>> saved = s.env;
        for (const auto& e : std::vector<std::pair<std::string, std::string>>{
                 {"FWDEPLOY_TEST_HTTP_STALL_MS", "1000"},
                 {"FWDEPLOY_TEST_HTTP_PAUSE_MS", "20"},
                 {"FWDEPLOY_TEST_HTTP_RETRIES", "1"}})
            s.set(e.first, e.second);
        run_result r = s.fwdeploy({"-r", url});
        s.env = saved;
        web_server::run("iptables-legacy -F");
        if (row == WHOLE) {
            EXPECT_EQ(r.exit_code, 0) << r.out;
            EXPECT_EQ(prefix(s.b.image, image.size()), image);
            EXPECT_TRUE(contains(r.out, progress_line(100, 2, STATE_FINISHED) + "\n"
                                        "Boot switched to slot B: BOOT_ORDER=B A, BOOT_B_LEFT=3\n"))
                << r.out;
            EXPECT_TRUE(contains(r.out, "status 0 slot B\n")) << r.out;
            EXPECT_EQ(s.boot_state(), "BOOT_ORDER=B A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=3\n");
        } else {
            EXPECT_EQ(r.exit_code, 0) << r.out;
            EXPECT_FALSE(contains(r.out, "Boot switched")) << r.out;
            EXPECT_TRUE(contains(r.out, "Download failed: " + url)) << r.out;
            EXPECT_EQ(s.boot_state(), row == BROKEN
                                          ? "BOOT_ORDER=A\nBOOT_A_LEFT=3\nBOOT_B_LEFT=0\n"
                                          : DEFAULT_STATE);
            EXPECT_TRUE(contains(r.out, "status -1 slot B\n")) << r.out;
            if (row == GONE) {
                EXPECT_EQ(read_file(s.b.image), s.b_before);
            }
        }
    }
}
