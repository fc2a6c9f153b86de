// Whether a slot device is mounted, however the mount list names it: device
// nodes made in a sandbox, a fake sysfs beside them, one mount list a row.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "board/mounts.h"
#include "tests/support/sandbox.h"

TEST(Mounts, ADeviceIsFoundUnderEveryNameItsMountGoesBy)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make device nodes";
    sandbox_dir box("fwdeploy-mounts");
    box.make_dir("dev");
    const struct {
        const char* name;
        mode_t type;
        dev_t number;
    } nodes[] = {
        {"dev/mmcblk0p2", S_IFBLK, makedev(179, 2)}, {"dev/mmcblk0p3", S_IFBLK, makedev(179, 3)},
        {"dev/mtd4", S_IFCHR, makedev(90, 8)},       {"dev/mtdblock4", S_IFBLK, makedev(31, 4)},
        {"dev/data-b", S_IFCHR, makedev(240, 4)},    {"dev/ubi0_1", S_IFCHR, makedev(240, 2)},
    };
    for (const auto& n : nodes)
        ASSERT_EQ(mknod(box.path(n.name).c_str(), n.type | 0600, n.number), 0) << n.name;
    box.make_dir("by-partlabel");
    ASSERT_EQ(symlink("../dev/mmcblk0p3", box.path("by-partlabel/rootfs_b").c_str()), 0);
    // The kernel's own view: MTD names by index, UBI volumes by device number.
    box.write("sys/class/mtd/mtd4/name", "kernel_b\n");
    box.write("sys/devices/virtual/ubi/ubi0/ubi0_3/name", "rootfs_b\n");
    box.write("sys/devices/virtual/ubi/ubi0/ubi0_1/name", "data\n");
    const std::string volumes = "../../devices/virtual/ubi/ubi0/";
    const std::string numbers = box.make_dir("sys/dev/char") + "/";
    ASSERT_EQ(symlink((volumes + "ubi0_3").c_str(), (numbers + "240:4").c_str()), 0);
    ASSERT_EQ(symlink((volumes + "ubi0_1").c_str(), (numbers + "240:2").c_str()), 0);

    struct mount_case {
        std::string name;
        std::string device;           // as the slot table names it
        std::string number;           // the mount's MAJ:MIN
        std::string type;
        std::string source;
        bool mounted;
    };
    const std::string mmc = box.path("dev/mmcblk0p3");
    const std::string link = box.path("by-partlabel/rootfs_b");
    const std::string mtd = box.path("dev/mtd4");
    const std::vector<mount_case> cases = {
        {"ext4 by number, as /dev/root", mmc, "179:3", "ext4", "/dev/root", true},
        {"ext4 on another minor", mmc, "179:2", "ext4", box.path("dev/mmcblk0p2"), false},
        {"btrfs, the table naming a link", link, "0:31", "btrfs", mmc, true},
        {"btrfs, the source a link", mmc, "0:31", "btrfs", link, true},
        {"btrfs on another device", link, "0:31", "btrfs", box.path("dev/mmcblk0p2"), false},
        // jffs2 shows the number of the block twin; the names are matched alone.
        {"jffs2 on the block twin", mtd, "31:4", "jffs2", "mtd:kernel_b", true},
        {"mtdN alone", mtd, "0:40", "jffs2", "mtd4", true},
        {"mtd:NAME alone", mtd, "0:40", "jffs2", "mtd:kernel_b", true},
        {"/dev/mtdblockN alone", mtd, "0:40", "jffs2", "/dev/mtdblock4", true},
        {"the char minor is not the index", mtd, "31:8", "jffs2", "mtd8", false},
        {"mtdblockN by its char twin's name", box.path("dev/mtdblock4"), "0:40", "jffs2",
         "mtd:kernel_b", true},
        {"ubifs as ubiX_Y", box.path("dev/data-b"), "0:25", "ubifs", "ubi0_3", true},
        {"ubifs as ubiX:NAME", box.path("dev/data-b"), "0:25", "ubifs", "ubi0:rootfs_b", true},
        {"ubifs as ubi:NAME", box.path("dev/data-b"), "0:25", "ubifs", "ubi:rootfs_b", true},
        {"ubifs as /dev/ubiX_Y", box.path("dev/data-b"), "0:25", "ubifs", "/dev/ubi0_3", true},
        {"another volume's name", box.path("dev/data-b"), "0:25", "ubifs", "ubi0:data", false},
        {"ubi0_10 is not ubi0_1", box.path("dev/ubi0_1"), "0:25", "ubifs", "ubi0_10", false},
        // A plain file is no device, and neither is a source that is not there:
        // two things that are no device are not one device.
        {"a file under a source that does not exist", box.write("data/app.bin", "x"), "0:45",
         "tmpfs", box.path("no-such-source"), false},
    };
    for (const mount_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string mountinfo = box.write(
            "mountinfo", "20 1 179:2 / / ro,relatime shared:1 - ext4 /dev/mmcblk0p2 ro\n"
                         "36 20 " + c.number + " / /mnt/slot rw,relatime shared:7 - " + c.type +
                             " " + c.source + " rw\n");
        device_id id;
        ASSERT_EQ(identify(c.device.c_str(), box.path("sys").c_str(), &id), 0);
        char at[64] = "";
        bool read_write = false;
        EXPECT_EQ(find_mount(mountinfo.c_str(), &id, false, at, sizeof at, &read_write, false),
                  c.mounted ? 1 : 0);
        EXPECT_STREQ(at, c.mounted ? "/mnt/slot" : "");
    }
}
