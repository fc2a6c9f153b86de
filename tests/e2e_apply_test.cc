// The built fwdeploy applying packages to a sandbox board: one package per
// operation and a mixed one, plain and gzipped, checked line by line and byte
// by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "backends/file.h"
#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"

namespace {

// Names in a directory, sorted.
std::vector<std::string> listing(const std::string& dir)
{
    run_options o;
    o.program = "ls";
    o.args = {"-A", dir};
    return split_lines(run_program(o).out);
}

}  // namespace

TEST(ApplyRawPartition, FillsExactlyTheEraseSizeThenWritesFromTheStart)
{
    test_board board;
    std::vector<uint8_t> image = pattern_bytes(5000, 11);
    bundle_package p;
    p.blocks.push_back(raw_block(board.emmc, image, 10000));
    run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");

    std::vector<std::string> expected = {
        p2(0, 2), "Write " + board.emmc + " with 0xFF",
        p2(0, 2), p2(0, 2), p2(0, 2), p2(0, 2),   // before the fill, then 40, 81, 100 of it
        p2(0, 2), "######Erase 0x2710 bytes#######",
        p2(0, 3), p2(81, 3), p2(100, 3), p2(100, 3),
        "######Write 0x1388 bytes to " + board.emmc + " #######"};
    append(&expected, finished_ok());
    EXPECT_EQ(apply_lines(r), expected);

    std::vector<uint8_t> device = read_file(board.emmc);
    ASSERT_EQ(device.size(), DEVICE_SIZE);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), device.begin()));
    EXPECT_TRUE(std::all_of(device.begin() + 5000, device.begin() + 10000,
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(device.begin() + 10000, device.end(),
                           board.emmc_before.begin() + 10000));

    // An MTD block device is prepared the same way.
    p.blocks[0] = raw_block(board.mtdblock, image, 6000);
    r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    device = read_file(board.mtdblock);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), device.begin()));
    EXPECT_TRUE(std::all_of(device.begin() + 5000, device.begin() + 6000,
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(device.begin() + 6000, device.end(),
                           board.mtdblock_before.begin() + 6000));
}

TEST(ApplyRawPartition, TooSmallOrUnknownDevicesAreRefusedBeforeAnyWrite)
{
    test_board board;
    bundle_package p;
    p.end_script = "echo end sees $OTA_STATUS\n";
    p.blocks.push_back(raw_block(board.emmc, pattern_bytes(100, 1), DEVICE_SIZE + 1));
    run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(apply_lines(r), (std::vector<std::string>{"Src sz is 0x10000 dst sz is 0x10001",
                                                        p2(0, 5), "OTA UPDATA STATUS: -1",
                                                        "end sees -1"}));
    EXPECT_TRUE(read_file(board.emmc) == board.emmc_before);

    // A path that names no kind of partition.
    std::string odd = board.box.write("board/dev/sda1", std::string(100, 's'));
    p.blocks[0] = raw_block(odd, pattern_bytes(10, 1), 10);
    r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(apply_lines(r), (std::vector<std::string>{"path[" + odd + "] error!",
                                                        "Size of " + odd + " could not be read",
                                                        p2(0, 5), "OTA UPDATA STATUS: -1",
                                                        "end sees -1"}));
    EXPECT_EQ(read_text(odd), std::string(100, 's'));
}

TEST(ApplyRawPartition, LoopDeviceStandsForAnEmmcPartition)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "loop devices need root";
    test_board board;
    std::vector<uint8_t> before = pattern_bytes(256 * 1024, 61);
    std::string backing = board.box.write("loop.img", before);
    run_options attach;
    attach.program = "losetup";
    attach.args = {"-f", "--show", backing};
    run_result a = run_program(attach);
    if (a.exit_code != 0)
        GTEST_SKIP() << "losetup cannot attach a loop device here: " << a.err;
    std::string device = split_lines(a.out).at(0);
    struct detach {
        std::string device;
        ~detach()
        {
            run_options o;
            o.program = "losetup";
            o.args = {"-d", device};
            EXPECT_EQ(run_program(o).exit_code, 0);
        }
    } guard{device};
    // Only the path's text tells the kind: the link names an eMMC partition.
    std::string link = board.path("board/dev/mmcblk0p5");
    ASSERT_EQ(symlink(device.c_str(), link.c_str()), 0);

    std::vector<uint8_t> image = pattern_bytes(5000, 62);
    bundle_package p;
    p.blocks.push_back(raw_block(link, image, 10000));
    run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> expected = {
        p2(0, 2), "Write " + link + " with 0xFF", p2(0, 2), p2(0, 2), p2(0, 2), p2(0, 2),
        p2(0, 2), "######Erase 0x2710 bytes#######",
        p2(0, 3), p2(81, 3), p2(100, 3), p2(100, 3),
        "######Write 0x1388 bytes to " + link + " #######"};
    append(&expected, finished_ok());
    EXPECT_EQ(apply_lines(r), expected);
    std::vector<uint8_t> now = read_file(device);
    ASSERT_EQ(now.size(), before.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), now.begin()));
    EXPECT_TRUE(std::all_of(now.begin() + 5000, now.begin() + 10000,
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(now.begin() + 10000, now.end(), before.begin() + 10000));

    // The device's own length is the partition size.
    p.blocks[0] = raw_block(link, image, before.size() + 1);
    p.end_script = "echo end sees $OTA_STATUS\n";
    r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(apply_lines(r), (std::vector<std::string>{"Src sz is 0x40000 dst sz is 0x40001",
                                                        p2(0, 5), "OTA UPDATA STATUS: -1",
                                                        "end sees -1"}));
    p.blocks[0] = raw_block(link, image, before.size());
    r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(apply_lines(r).back(), "end sees 0");
    now = read_file(device);
    EXPECT_TRUE(std::all_of(now.begin() + 5000, now.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST(ApplyVolume, RegularFileTakesTheDataThoughTheUpdateRequestIsRefused)
{
    test_board board;
    std::string volume = board.box.write("board/data/rootfs.ubi", std::string(100, 'v'));
    bundle_package p;
    p.blocks.push_back(ubi_block(volume, bytes_of("volume image of 30 bytes......")));
    run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> expected = one_chunk_copy(0, 100, 30, volume);
    append(&expected, finished_ok());
    EXPECT_EQ(apply_lines(r), expected);
    // Written from the start, nothing truncated: a volume device has a fixed size.
    EXPECT_EQ(read_text(volume), "volume image of 30 bytes......" + std::string(70, 'v'));
}

TEST(ApplyFiles, ReplaceCreateAndDelete)
{
    test_board board;
    mode_t mask = current_umask();
    std::string replaced = board.box.write("board/data/config", std::string(500, 'o'), 0640);
    std::string created = board.path("board/data/new/deeper/tool");
    std::string second = board.path("board/data/new/readme");
    std::string deleted = board.box.write("board/data/obsolete", "bye");
    std::vector<uint8_t> config = bytes_of("short new config\n");
    std::vector<uint8_t> tool = pattern_bytes(2000, 5);
    bundle_package p;
    p.blocks.push_back(replace_block(replaced, config));
    p.blocks.push_back(create_block(created, tool, 0750));
    p.blocks.push_back(create_block(second, bytes_of("r"), 0604));
    p.blocks.push_back(delete_block(deleted));
    run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");

    uint64_t total = config.size() + tool.size() + 1;
    uint64_t done = config.size();
    std::vector<std::string> expected =
        one_chunk_copy(0, percent(done, total), config.size(), replaced);
    append(&expected, one_chunk_copy(percent(done, total), percent(done + tool.size(), total),
                                     tool.size(), created));
    done += tool.size();
    append(&expected, one_chunk_copy(percent(done, total), 100, 1, second));
    expected.push_back("Delete file: " + deleted);
    append(&expected, finished_ok());
    EXPECT_EQ(apply_lines(r), expected);

    EXPECT_TRUE(read_file(replaced) == config);
    EXPECT_EQ(file_mode(replaced), 0640);
    EXPECT_TRUE(read_file(created) == tool);
    EXPECT_EQ(file_mode(created), (int)(0750 & ~mask));
    EXPECT_EQ(read_text(second), "r");
    EXPECT_EQ(file_mode(second), (int)(0604 & ~mask));
    EXPECT_FALSE(file_exists(deleted));

    // A file with a second name is written through its own inode, so both names
    // see the new contents; shorter ones must not leave the old tail behind.
    std::string linked = board.box.write("board/data/linked", std::string(3000, 'L'), 0640);
    std::string existing = board.box.write("board/data/existing", std::string(3000, 'E'), 0640);
    ASSERT_EQ(link(linked.c_str(), (linked + ".1").c_str()), 0);
    ASSERT_EQ(link(existing.c_str(), (existing + ".1").c_str()), 0);
    bundle_package shorter;
    shorter.blocks.push_back(replace_block(linked, bytes_of("short\n")));
    shorter.blocks.push_back(create_block(existing, bytes_of("made\n"), 0644));
    r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), shorter)});
    EXPECT_EQ(apply_lines(r).back(), "OTA UPDATA STATUS: 0") << r.out;
    for (const std::string& name : {linked, linked + ".1"})
        EXPECT_EQ(read_text(name), "short\n") << name;
    for (const std::string& name : {existing, existing + ".1"})
        EXPECT_EQ(read_text(name), "made\n") << name;
}

// A file mounted over another (as a board binds a writable copy over a file of
// a read-only root) cannot be renamed over: it is written in place, and what
// is mounted there gets the new contents.
TEST(ApplyFiles, AFileMountedOverATargetIsWrittenThroughTheMount)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "bind mounts need root";
    test_board board;
    std::string writable = board.box.write("board/rw/config", std::string(4000, 'w'), 0640);
    std::string target = board.box.write("board/data/config", std::string(100, 'r'), 0644);
    run_options mount;
    mount.program = "mount";
    mount.args = {"--bind", writable, target};
    run_result m = run_program(mount);
    if (m.exit_code != 0)
        GTEST_SKIP() << "no bind mounts here: " << m.err;
    struct unmount {
        std::string path;
        ~unmount()
        {
            run_options o;
            o.program = "umount";
            o.args = {path};
            EXPECT_EQ(run_program(o).exit_code, 0);
        }
    } guard{target};
    std::vector<uint8_t> contents = bytes_of("new config\n");
    for (const bundle_block& block : {replace_block(target, contents),
                                      create_block(target, contents, 0600)}) {
        write_file(writable, bytes_of(std::string(4000, 'w')), 0640);
        bundle_package p;
        p.blocks.push_back(block);
        run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
        EXPECT_EQ(apply_lines(r).back(), "OTA UPDATA STATUS: 0") << r.out << r.err;
        EXPECT_TRUE(read_file(target) == contents);
        EXPECT_TRUE(read_file(writable) == contents);
        for (const std::string& name : listing(board.path("board/data")))
            EXPECT_EQ(name.rfind(".fwdeploy-", 0), std::string::npos) << name;
    }
}

// A kernel without statx, or one whose statx tells no mount id (before 5.8),
// leaves the device numbers to decide alone: an ordinary file is still
// replaced whole, through a rename (a new inode), not written in place.
TEST(ApplyFiles, WithoutTheMountIdAnOrdinaryFileIsStillReplacedWhole)
{
    test_board board;
    std::string target = board.path("board/data/app.conf");
    std::vector<uint8_t> contents = bytes_of("new settings\n");
    bundle_package p;
    p.blocks.push_back(replace_block(target, contents));
    std::string package = write_package(board.path("pkg.bin"), p);
    for (const char* kernel : {"statx", "statx_mnt_id"}) {
        SCOPED_TRACE(kernel);
        write_file(target, bytes_of(std::string(300, 'o')), 0644);
        struct stat before;
        ASSERT_EQ(stat(target.c_str(), &before), 0);
        std::string note = board.path("statx.note");
        remove(note.c_str());
        run_options o;
        o.args = {"-r", package};
        o.env = preloading(FAIL_SHIM_PATH);
        o.env.insert(o.env.end(), {{"FWDEPLOY_FAIL_CALL", kernel},
                                   {"FWDEPLOY_FAIL_ERRNO", std::to_string(ENOSYS)},
                                   {"FWDEPLOY_FAIL_MATCH", target + "$"},
                                   {"FWDEPLOY_FAIL_NOTE", note}});
        run_result r = run_program(o);
        EXPECT_EQ(apply_lines(r).back(), "OTA UPDATA STATUS: 0") << r.out << r.err;
        EXPECT_TRUE(read_file(target) == contents);
        struct stat after;
        ASSERT_EQ(stat(target.c_str(), &after), 0);
        EXPECT_NE(after.st_ino, before.st_ino);
        if (std::string(kernel) == "statx") {
            EXPECT_EQ(read_text(note), "statx " + target + "\n") << "statx was not refused";
        }
    }
}

TEST(ApplyFiles, PackagesWithoutDataOrWithoutBlocks)
{
    // total_size 0: no measure of progress, yet every step is reported and applied.
    test_board board;
    std::string empty = board.path("board/data/empty");
    bundle_package p;
    p.blocks.push_back(create_block(empty, {}, 0644));
    run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(engine_lines(r),
              (std::vector<std::string>{"(0%)(1/2)(state sub 0)", "blk 0 head 0x0 cal 0x0",
                                        "(0%)(1/2)(state sub 1)", "(100%)(1/2)(state sub 1)",
                                        "No begin scripts!", p2(0, 3), p2(0, 3),
                                        "######Write 0x0 bytes to " + empty + " #######",
                                        p2(100, 7), "OTA UPDATA STATUS: 0"}));
    EXPECT_TRUE(file_exists(empty));
    EXPECT_TRUE(read_file(empty).empty());

    p.blocks.clear();
    r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(engine_lines(r),
              (std::vector<std::string>{"(0%)(1/2)(state sub 0)", "(100%)(1/2)(state sub 1)",
                                        "No begin scripts!", p2(100, 7),
                                        "OTA UPDATA STATUS: 0"}));
}

TEST(ApplyFiles, CreatedPathsNeverReachAShell)
{
    test_board board;
    std::string mark = board.path("board/pwned");
    std::string dir = board.path("board/data/$(touch " + mark + ")/a;touch " + mark + ";b `touch " +
                                 mark + "`");
    bundle_package p;
    p.blocks.push_back(create_block(dir + "/file name", bytes_of("x"), 0644));
    run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_text(dir + "/file name"), "x");
    EXPECT_FALSE(file_exists(mark));
}

TEST(ApplyPatch, PatchesInPlaceThroughTheDiffTemporaryFile)
{
    test_board board;
    std::vector<uint8_t> old_version = pattern_bytes(3000, 21);
    std::vector<uint8_t> new_version = old_version;
    for (size_t i = 100; i < 3000; i += 97)
        new_version[i] ^= 0x5a;
    std::vector<uint8_t> tail = pattern_bytes(700, 22);
    new_version.insert(new_version.end(), tail.begin(), tail.end());
    std::vector<uint8_t> patch = make_patch(old_version, new_version);
    ASSERT_FALSE(patch.empty());
    ASSERT_LT(patch.size(), 4096u);

    std::string target_dir = board.box.make_dir("board/data/bin");
    std::string target = target_dir + "/app";
    std::string temp = board.box.make_dir("board/tmp");
    bundle_package p;
    p.blocks.push_back(patch_block(target, patch));
    std::string package = write_package(board.path("pkg.bin"), p);

    // With -t the patch data goes to DIR/diff_tmp.
    write_file(target, old_version, 0600);
    run_result r = run_fwdeploy({"-r", package, "-t", temp});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> expected = one_chunk_copy(0, 100, patch.size(), temp + "/diff_tmp");
    append(&expected, finished_ok());
    EXPECT_EQ(apply_lines(r), expected);
    EXPECT_TRUE(read_file(target) == new_version);
    EXPECT_EQ(file_mode(target), 0600);
    EXPECT_TRUE(listing(temp).empty());
    EXPECT_EQ(listing(target_dir), (std::vector<std::string>{"app"}));

    // Without it, to ./diff_tmp in the working directory.
    write_file(target, old_version, 0751);
    std::string cwd = board.box.make_dir("board/cwd");
    r = run_fwdeploy({"-r", package}, cwd);
    EXPECT_EQ(r.exit_code, 0);
    expected = one_chunk_copy(0, 100, patch.size(), "./diff_tmp");
    append(&expected, finished_ok());
    EXPECT_EQ(apply_lines(r), expected);
    EXPECT_TRUE(read_file(target) == new_version);
    EXPECT_EQ(file_mode(target), 0751);
    EXPECT_TRUE(listing(cwd).empty());
    EXPECT_EQ(listing(target_dir), (std::vector<std::string>{"app"}));

    // A patch for another version fails, leaves the target whole and keeps the temporary file.
    std::vector<uint8_t> other = pattern_bytes(3000, 99);
    write_file(target, other, 0600);
    p.blocks[0] = patch_block(target, bytes_of("not a patch at all"));
    r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p), "-t", temp});
    EXPECT_EQ(r.exit_code, 0);
    std::vector<std::string> lines = apply_lines(r);
    EXPECT_EQ(lines.end()[-2], p2(100, 6)) << r.out;
    EXPECT_EQ(lines.back(), "OTA UPDATA STATUS: -1");
    EXPECT_TRUE(read_file(target) == other);
    EXPECT_EQ(listing(target_dir), (std::vector<std::string>{"app"}));
    EXPECT_EQ(listing(temp), (std::vector<std::string>{"diff_tmp"}));

    // What that failure left is ours: the next run takes it away.
    std::string scratch = temp + "/diff_tmp";
    p.blocks[0] = patch_block(target, patch);
    package = write_package(board.path("pkg.bin"), p);
    write_file(target, old_version, 0600);
    r = run_fwdeploy({"-r", package, "-t", temp});
    EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: 0")) << r.out;
    EXPECT_TRUE(read_file(target) == new_version);
    EXPECT_TRUE(listing(temp).empty());

    // Under the scratch name in a shared directory, someone has planted a link
    // to a file of root's, or left a file of their own: neither is followed,
    // written or removed, and the patch is not applied.
    std::string victim = board.box.write("board/etc/victim", "root's own file\n", 0600);
    struct planted {
        const char* what;
        void (*plant)(const std::string& scratch, const std::string& victim);
    };
    const planted cases[] = {
        {"link to a file", [](const std::string& at, const std::string& to) {
             ASSERT_EQ(symlink(to.c_str(), at.c_str()), 0);
         }},
        {"link to nothing yet", [](const std::string& at, const std::string& to) {
             ASSERT_EQ(symlink((to + ".new").c_str(), at.c_str()), 0);
         }},
        {"someone else's file", [](const std::string& at, const std::string&) {
             write_file(at, bytes_of("theirs"), 0666);
             ASSERT_EQ(chown(at.c_str(), 1000, 1000), 0);
         }},
    };
    for (const planted& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(target, old_version, 0600);
        c.plant(scratch, victim);
        struct stat before;
        ASSERT_EQ(lstat(scratch.c_str(), &before), 0);
        r = run_fwdeploy({"-r", package, "-t", temp});
        EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: -1")) << r.out;
        EXPECT_EQ(read_text(victim), "root's own file\n");
        EXPECT_FALSE(file_exists(victim + ".new"));
        EXPECT_TRUE(read_file(target) == old_version);
        struct stat after;
        ASSERT_EQ(lstat(scratch.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
        ASSERT_EQ(unlink(scratch.c_str()), 0);
    }
}

// Another user who can write to the -t directory (no sticky bit), or to the
// target's, swaps its own bytes in while bspatch works: for the patch the tool
// wrote, and for the result bspatch wrote. The bspatch stand-in makes the swap
// as that user at exactly those moments, then runs the real bspatch. The
// package names no result digest, so nothing but the tool's own care stands
// between the intruder and the target: it gets the package's result, or the
// block fails and it keeps its old contents with its owner and mode.
TEST(ApplyPatch, AnotherUserOfTheDirectoriesNeverGetsItsBytesIn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "playing another user needs root";
    test_board board;
    std::vector<uint8_t> old_version = pattern_bytes(3000, 31);
    std::vector<uint8_t> new_version = old_version;
    for (size_t i = 0; i < new_version.size(); i += 61)
        new_version[i] ^= 0x3c;
    std::vector<uint8_t> evil = bytes_of("#!/bin/sh\necho owned\n");
    std::string evil_patch = board.box.write("evil.patch", make_patch(old_version, evil));
    std::string evil_result = board.box.write("evil.bin", evil);
    // The other user must reach the shared directories.
    ASSERT_EQ(chmod(board.box.root().c_str(), 0755), 0);
    ASSERT_EQ(chmod(board.path("board").c_str(), 0755), 0);
    ASSERT_EQ(chmod(board.path("board/data").c_str(), 0755), 0);
    std::string temp = board.box.make_dir("board/tmp");
    std::string bin = board.box.make_dir("board/data/bin");
    std::string target = bin + "/su";
    bundle_package p;
    p.blocks.push_back(patch_block(target, make_patch(old_version, new_version)));
    std::string package = write_package(board.path("pkg.bin"), p);

    struct row {
        const char* what;
        bool shared_target_dir;
        bool swap_patch;
        bool swap_result;
        bool applies;                 // else the block fails and the target is as it was
    };
    const row rows[] = {
        {"patch swapped in the -t directory", false, true, false, true},
        {"result swapped beside the target", true, false, true, false},
        {"both", true, true, true, false},
    };
    for (const row& w : rows) {
        SCOPED_TRACE(w.what);
        ASSERT_EQ(chmod(temp.c_str(), 0777), 0);
        ASSERT_EQ(chmod(bin.c_str(), w.shared_target_dir ? 0777 : 0755), 0);
        write_file(target, old_version, 0755);
        ASSERT_EQ(chmod(target.c_str(), 04755), 0);
        run_options o;
        o.args = {"-r", package, "-t", temp};
        o.path_prefix = TEST_SOURCE_DIR "/standins";
        o.env = {{"STANDIN_INTRUDER", "nobody:nogroup"}, {"STANDIN_INTRUDER_DIR", temp}};
        if (w.swap_patch)
            o.env.push_back({"STANDIN_INTRUDER_PATCH", evil_patch});
        if (w.swap_result)
            o.env.push_back({"STANDIN_INTRUDER_RESULT", evil_result});
        run_result r = run_program(o);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_FALSE(read_file(target) == evil);
        EXPECT_EQ(file_mode(target), 04755);
        if (w.applies) {
            EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: 0\n")) << r.out;
            EXPECT_TRUE(read_file(target) == new_version);
        } else {
            EXPECT_TRUE(contains(r.out, "Patch result for " + target +
                                            " was replaced before it took the file's place: "
                                            "the file keeps its old contents\n"))
                << r.out;
            EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: -1\n")) << r.out;
            EXPECT_TRUE(read_file(target) == old_version);
        }
        EXPECT_EQ(listing(bin), (std::vector<std::string>{"su"}));
        remove_tree(temp);
        board.box.make_dir("board/tmp");
    }
}

TEST(ApplyMixed, EveryOperationInOnePackagePlainAndGzipped)
{
    test_board board;
    mode_t mask = current_umask();
    std::vector<uint8_t> image = pattern_bytes(1000, 31);
    std::string volume = board.box.write("board/data/vol", std::string(600, 'v'));
    std::vector<uint8_t> volume_data = pattern_bytes(500, 32);
    std::string replaced = board.path("board/data/replaced");
    std::vector<uint8_t> replaced_data = pattern_bytes(500, 33);
    std::string created = board.path("board/data/etc/created");
    std::vector<uint8_t> created_data = pattern_bytes(1000, 34);
    std::string deleted = board.path("board/data/deleted");
    std::string patched = board.path("board/data/patched");
    std::vector<uint8_t> patched_old = pattern_bytes(2000, 35);
    std::vector<uint8_t> patched_new = patched_old;
    patched_new[10] ^= 1;
    patched_new.resize(2100, 7);
    std::vector<uint8_t> patch = make_patch(patched_old, patched_new);
    std::string script = "echo mixed script ran\n";
    std::string temp = board.box.make_dir("board/tmp");

    bundle_package p;
    p.end_script = "echo end sees $OTA_STATUS\n";
    p.blocks.push_back(raw_block(board.emmc, image, 3000));
    p.blocks.push_back(ubi_block(volume, volume_data));
    p.blocks.push_back(replace_block(replaced, replaced_data));
    p.blocks.push_back(create_block(created, created_data, 0700));
    p.blocks.push_back(delete_block(deleted));
    p.blocks.push_back(patch_block(patched, patch));
    p.blocks.push_back(script_block("mixed.sh", script));
    std::string package = write_package(board.path("pkg.bin"), p);

    uint64_t total = 1000 + 500 + 500 + 1000 + patch.size() + script.size();
    std::vector<std::string> expected = {
        p2(0, 2), "Write " + board.emmc + " with 0xFF", p2(0, 2), p2(0, 2), p2(0, 2),
        "######Erase 0xbb8 bytes#######"};
    append(&expected, one_chunk_copy(0, percent(1000, total), 1000, board.emmc));
    uint64_t done = 1000;
    auto copied = [&](uint64_t size, const std::string& name) {
        append(&expected, one_chunk_copy(percent(done, total), percent(done + size, total), size,
                                         name));
        done += size;
    };
    copied(500, volume);
    copied(500, replaced);
    copied(1000, created);
    expected.push_back("Delete file: " + deleted);
    copied(patch.size(), temp + "/diff_tmp");
    append(&expected, {"mixed script ran", p2(100, 3),
                       "######Run scripts mixed.sh success size: " + hex(script.size()) +
                           " bytes #######"});
    append(&expected, {p2(100, 7), "OTA UPDATA STATUS: 0", "end sees 0"});

    std::string plain_out;
    for (bool gzipped : {false, true}) {
        SCOPED_TRACE(gzipped ? "gzip" : "plain");
        write_file(board.emmc, board.emmc_before);
        write_file(volume, bytes_of(std::string(600, 'v')));
        write_file(replaced, bytes_of("old"));
        remove_tree(board.path("board/data/etc"));
        write_file(deleted, bytes_of("old"));
        write_file(patched, patched_old, 0640);

        run_result r = run_fwdeploy(
            {gzipped ? "-x" : "-r", gzipped ? gzip_copy(package) : package, "-t", temp});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.leftover_processes, 0);
        EXPECT_EQ(apply_lines(r), expected);
        if (gzipped) {
            EXPECT_EQ(r.out, plain_out);
        }
        plain_out = r.out;

        std::vector<uint8_t> device = read_file(board.emmc);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), device.begin()));
        EXPECT_TRUE(std::all_of(device.begin() + 1000, device.begin() + 3000,
                                [](uint8_t b) { return b == 0xFF; }));
        EXPECT_TRUE(std::equal(device.begin() + 3000, device.end(),
                               board.emmc_before.begin() + 3000));
        std::vector<uint8_t> vol = read_file(volume);
        EXPECT_TRUE(std::equal(volume_data.begin(), volume_data.end(), vol.begin()));
        EXPECT_EQ(vol.size(), 600u);
        EXPECT_TRUE(read_file(replaced) == replaced_data);
        EXPECT_TRUE(read_file(created) == created_data);
        EXPECT_EQ(file_mode(created), (int)(0700 & ~mask));
        EXPECT_FALSE(file_exists(deleted));
        EXPECT_TRUE(read_file(patched) == patched_new);
        EXPECT_EQ(file_mode(patched), 0640);
        EXPECT_TRUE(listing(temp).empty());
    }
}

namespace {

// What a file target holds: nothing, or these bytes with these mode bits.
struct file_state {
    bool exists = false;
    std::vector<uint8_t> contents;
    int mode = 0;
    bool operator==(const file_state& o) const
    {
        return exists == o.exists && contents == o.contents && mode == o.mode;
    }
};

file_state state_of(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) < 0)
        return file_state{};
    return file_state{true, read_file(path), (int)(st.st_mode & 07777)};
}

// Environment that has fwdeploy kill itself before its `at`-th storage call.
std::vector<std::pair<std::string, std::string>> kill_at(int at)
{
    std::vector<std::pair<std::string, std::string>> env = preloading(KILL_SHIM_PATH);
    env.push_back({"FWDEPLOY_KILL_AT", std::to_string(at)});
    return env;
}

}  // namespace

// A deleted file, and the directories made for a created one, are flushed into
// their directories before the tool goes on, as a renamed file is: reported
// done, neither comes back or vanishes after a power cut. An empty directory
// goes as remove(3) takes it, named with or without a final '/', and is
// flushed out of its parent just the same.
TEST(ApplyCrash, DeletesAndNewDirectoriesAreFlushedIntoTheirParents)
{
    test_board board;
    std::string log = board.box.write("board/data/old.log", "log");
    std::string empty = board.box.make_dir("board/data/empty.d");
    std::string slashed = board.box.make_dir("board/data/slashed.d") + "/";
    std::string tool = board.data + "/new/deeper/tool";
    char real[PATH_MAX];
    ASSERT_NE(realpath(board.data.c_str(), real), nullptr);
    std::string data = real;              // as a flushed descriptor names it
    bundle_package p;
    p.blocks = {delete_block(log), delete_block(empty), delete_block(slashed),
                create_block(tool, pattern_bytes(900, 81), 0750)};
    std::string package = write_package(board.path("pkg.bin"), p);
    run_options o;
    o.args = {"-r", package};
    o.env = kill_at(0);
    o.env.push_back({"FWDEPLOY_TRACE_CALLS", "1"});
    run_result r = run_program(o);
    EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: 0")) << r.out;
    char staging[PATH_MAX];
    ASSERT_EQ(staging_path(tool.c_str(), staging), 0);
    std::vector<std::string> calls;
    for (const std::string& line : split_lines(r.err))
        if (line.rfind("call: ", 0) == 0)
            calls.push_back(line.substr(6));
    std::string staged = std::string(staging).substr(board.data.size());
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "unlink " + log, "fsync " + data,
                         "unlink " + empty, "rmdir " + empty, "fsync " + data,
                         "unlink " + slashed, "rmdir " + slashed, "fsync " + data,
                         "fsync " + data, "fsync " + data + "/new",
                         "unlink " + board.data + staged, "fsync " + data + staged,
                         "rename " + board.data + staged + " " + tool,
                         "fsync " + data + "/new/deeper"}));
    EXPECT_TRUE(contains(r.out, "Delete file: " + empty + "\nDelete file: " + slashed + "\n"))
        << r.out;
    EXPECT_FALSE(file_exists(empty));
    EXPECT_FALSE(file_exists(slashed));

    // A directory that is not empty stays whole, and its block fails.
    std::string full = board.box.write("board/data/full.d/kept", "kept");
    p.blocks = {delete_block(board.data + "/full.d")};
    r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(apply_lines(r).end()[-2], p2(0, 6)) << r.out;   // the package has no data
    EXPECT_EQ(apply_lines(r).back(), "OTA UPDATA STATUS: -1");
    EXPECT_EQ(read_text(full), "kept");
}

// The tool is killed before each of its writes, flushes, renames and unlinks in
// turn, all through the apply pass; after every kill each file target must hold
// its old state or its new one in full, mode bits included. Raw partitions are
// written in place by nature and are not looked at.
TEST(ApplyCrash, EveryFileIsWholeOldOrWholeNewWhereverTheToolIsKilled)
{
    test_board board;
    mode_t mask = current_umask();
    std::string temp = board.box.make_dir("board/tmp");
    std::string etc = board.box.make_dir("board/data/etc");
    std::string bin = board.box.make_dir("board/data/bin");
    std::vector<uint8_t> su_old = pattern_bytes(30000, 71);
    std::vector<uint8_t> su_new(su_old.begin() + 500, su_old.end());
    std::vector<uint8_t> lib_old = pattern_bytes(40000, 72);
    std::vector<uint8_t> lib_new = lib_old;
    for (size_t i = 0; i < lib_new.size(); i += 301)
        lib_new[i] ^= 0x33;
    struct target {
        std::string path;
        file_state before, after;
    };
    const std::vector<target> targets = {
        {etc + "/config", {true, pattern_bytes(5000, 73), 0640}, {true, pattern_bytes(20000, 74), 0640}},
        {bin + "/su", {true, su_old, 04755}, {true, su_new, 04755}},
        {board.path("board/data/new/tool"), {}, {true, pattern_bytes(9000, 75), (int)(0750 & ~mask)}},
        {etc + "/profile", {true, bytes_of("old\n"), 02755}, {true, pattern_bytes(3000, 76), 02755}},
        {bin + "/libc.so", {true, lib_old, 0644}, {true, lib_new, 0644}},
        {board.path("board/data/old.log"), {true, bytes_of("log"), 0600}, {}},
        {etc + "/" + std::string(255 - etc.size() - 1, 'n'), {true, bytes_of("x"), 0600}, {true, pattern_bytes(6000, 77), 0600}},
    };
    bundle_package p;
    p.blocks = {replace_block(targets[0].path, targets[0].after.contents),
                raw_block(board.emmc, pattern_bytes(12000, 78), 16384),
                patch_block(targets[1].path, make_patch(su_old, su_new)),
                create_block(targets[2].path, targets[2].after.contents, 0750),
                create_block(targets[3].path, targets[3].after.contents, 0644),
                raw_block(board.mtdblock, pattern_bytes(8000, 79), 8192),
                patch_block(targets[4].path, make_patch(lib_old, lib_new)),
                delete_block(targets[5].path),
                replace_block(targets[6].path, targets[6].after.contents)};
    std::string package = write_package(board.path("pkg.bin"), p);

    int kills = 0, all_old = 0, all_new = 0;
    run_result r;
    for (int at = 1; at < 500; ++at) {
        // Each run starts from the old board; what killed runs left beside the
        // targets stays, for the runs after them to clear away.
        for (const target& t : targets)
            if (t.before.exists)
                write_file(t.path, t.before.contents, (mode_t)t.before.mode);
            else
                remove(t.path.c_str());
        run_options o;
        o.args = {"-r", package, "-t", temp};
        o.env = kill_at(at);
        r = run_program(o);
        if (r.signal != SIGKILL)
            break;
        ++kills;
        size_t old_files = 0, new_files = 0;
        for (const target& t : targets) {
            file_state now = state_of(t.path);
            old_files += now == t.before;
            new_files += now == t.after;
            EXPECT_TRUE(now == t.before || now == t.after)
                << t.path << " is neither old nor new after a kill at call " << at;
        }
        all_old += old_files == targets.size();
        all_new += new_files == targets.size();
    }
    RecordProperty("kill_points", kills);
    EXPECT_GE(kills, 50);
    // Killed before the first file changed, after the last one did, and in between.
    EXPECT_GT(all_old, 0);
    EXPECT_GT(all_new, 0);
    EXPECT_GT(kills - all_old - all_new, kills / 2);

    // The run that was not killed applied everything and left nothing behind.
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(apply_lines(r).back(), "OTA UPDATA STATUS: 0");
    for (const target& t : targets)
        EXPECT_TRUE(state_of(t.path) == t.after) << t.path;
    for (const std::string& dir : {etc, bin, board.path("board/data/new"), board.data})
        for (const std::string& name : listing(dir))
            EXPECT_NE(name.rfind(".fwdeploy-", 0), 0u) << dir << "/" << name;
    EXPECT_TRUE(listing(temp).empty());
}

namespace {

// A file target in full: contents, every mode bit, owner and group.
struct file_identity {
    bool exists = false;
    std::vector<uint8_t> contents;
    struct stat st {};
    bool operator==(const file_identity& o) const
    {
        return exists == o.exists && contents == o.contents &&
               (!exists || (st.st_mode == o.st.st_mode && st.st_uid == o.st.st_uid &&
                            st.st_gid == o.st.st_gid));
    }
};

file_identity identity_of(const std::string& path)
{
    file_identity id;
    if (lstat(path.c_str(), &id.st) < 0)
        return id;
    id.exists = true;
    id.contents = read_file(path);
    return id;
}

// One package with one block, the board it starts from and what it leaves.
struct failure_scene {
    std::string name;
    std::string target;
    std::string package;
    std::vector<std::string> dirs;    // where no staging file may be left
    file_identity before, after;      // `after` is taken from a run without faults
    bool in_place = false;            // written through the target itself: no old state to keep
    std::function<void()> reset;      // puts the board back as it was
};

// Environment that has fwdeploy's `n`-th `call` on a path containing `match` fail.
std::vector<std::pair<std::string, std::string>> fail_at(const std::string& call,
                                                          const std::string& match, int n,
                                                          const std::string& note,
                                                          int error = EIO)
{
    std::vector<std::pair<std::string, std::string>> env =
        preloading(MTD_SHIM_PATH ":" FAIL_SHIM_PATH);
    env.insert(env.end(), {{"FWDEPLOY_FAIL_CALL", call},
                           {"FWDEPLOY_FAIL_MATCH", match},
                           {"FWDEPLOY_FAIL_AT", std::to_string(n)},
                           {"FWDEPLOY_FAIL_ERRNO", std::to_string(error)},
                           {"FWDEPLOY_FAIL_NOTE", note}});
    return env;
}

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

// bspatch gets the scratch file and its result file as descriptors, and no other
// child ever does: not a script that runs after it, nor the end script after a
// patch block whose data could not be written (its scratch descriptor is kept
// for bspatch until then).
TEST(ApplyPatch, OnlyBspatchGetsTheScratchAndResultDescriptors)
{
    test_board board;
    std::vector<uint8_t> old_version = pattern_bytes(2000, 51);
    std::vector<uint8_t> new_version(old_version.begin() + 100, old_version.end());
    std::string temp = board.box.make_dir("board/tmp");
    std::string target = board.data + "/app";
    std::string fd_log = board.path("fd.log");
    std::string listing = board.path("script-fds");
    bundle_package p;
    p.blocks.push_back(patch_block(target, make_patch(old_version, new_version)));
    p.blocks.push_back(script_block("list.sh", "ls -l /proc/$$/fd >> " + listing + "\n"));
    p.end_script = "ls -l /proc/$$/fd >> " + listing + "\n";
    std::string package = write_package(board.path("pkg.bin"), p);
    std::string note = board.path("failed.txt");
    for (bool write_fails : {false, true}) {
        SCOPED_TRACE(write_fails ? "scratch write fails" : "patched");
        write_file(target, old_version, 0644);
        remove_tree(fd_log);
        remove_tree(listing);
        run_options o;
        o.args = {"-r", package, "-t", temp};
        o.path_prefix = TEST_SOURCE_DIR "/standins";
        if (write_fails)
            o.env = fail_at("write", "tmp/diff_tmp", 1, note);
        o.env.push_back({"STANDIN_FDLOG", fd_log});
        run_result r = run_program(o);
        EXPECT_TRUE(contains(r.out, write_fails ? "OTA UPDATA STATUS: -1\n"
                                                : "OTA UPDATA STATUS: 0\n"))
            << r.out << r.err;
        EXPECT_TRUE(read_file(target) == (write_fails ? old_version : new_version));
        std::vector<std::string> passed;
        for (const std::string& line : split_lines(read_text(fd_log)))
            if (line.find(" /dev/") == std::string::npos &&
                line.find(TEST_SOURCE_DIR "/standins/") == std::string::npos &&
                line.find(" pipe:") == std::string::npos)
                passed.push_back(line.substr(line.find(' ') + 1));
        if (write_fails) {
            EXPECT_TRUE(passed.empty());
        } else {
            char staging[PATH_MAX];
            ASSERT_EQ(staging_path(target.c_str(), staging), 0);
            std::sort(passed.begin(), passed.end());
            EXPECT_EQ(passed, (std::vector<std::string>{std::string(staging), temp + "/diff_tmp"}));
        }
        std::string fds = read_text(listing);
        EXPECT_FALSE(fds.empty());
        EXPECT_FALSE(contains(fds, "diff_tmp")) << fds;
        EXPECT_FALSE(contains(fds, ".fwdeploy-")) << fds;
    }
}

// Each system call the file, partition and runner back ends make on the way to
// storage or to the shell fails in turn, with EIO, through a preloaded library.
// Whatever fails, the block fails with exactly one report and one error line,
// the run's status says so, nothing is announced as done or finished, a staged
// target keeps its old contents, owner and mode, and no staging file is left
// beside it.
TEST(ApplyCrash, EveryFailingSystemCallOfTheBackEndsFailsItsBlockOnce)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving files another owner needs root";
    test_board board;
    std::string etc = board.box.make_dir("board/data/etc");
    std::string bin = board.box.make_dir("board/data/bin");
    std::string temp = board.box.make_dir("board/tmp");
    std::string note = board.path("failed.txt");

    auto put = [](const std::string& path, const std::vector<uint8_t>& data, mode_t mode) {
        remove(path.c_str());
        write_file(path, data, mode);
        // Another owner than the tool's: the staged copy must be given it.
        EXPECT_EQ(chown(path.c_str(), 1234, 1235), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);   // chown cleared setuid
    };
    std::vector<failure_scene> scenes;
    {
        failure_scene s;
        s.name = "replace";
        s.target = etc + "/config";
        std::vector<uint8_t> old_data = pattern_bytes(6000, 81);
        s.reset = [=] { put(s.target, old_data, 0640); };
        bundle_package p;
        // Large enough that the staged copy is written out twice as its
        // buffer fills, and once more at the close.
        p.blocks = {replace_block(s.target, pattern_bytes(150000, 82))};
        s.package = write_package(board.path("replace.bin"), p);
        s.dirs = {etc};
        scenes.push_back(s);
    }
    {
        failure_scene s;
        s.name = "create";
        s.target = etc + "/fresh";
        s.reset = [=] { remove(s.target.c_str()); };
        bundle_package p;
        p.blocks = {create_block(s.target, pattern_bytes(5000, 83), 0750)};
        s.package = write_package(board.path("create.bin"), p);
        s.dirs = {etc};
        scenes.push_back(s);
    }
    {
        // A delete is made durable by flushing its directory.
        failure_scene s;
        s.name = "delete";
        s.target = etc + "/obsolete";
        s.reset = [=] { put(s.target, pattern_bytes(100, 88), 0644); };
        bundle_package p;
        p.blocks = {delete_block(s.target)};
        s.package = write_package(board.path("delete.bin"), p);
        s.dirs = {etc};
        scenes.push_back(s);
    }
    {
        // A directory the tool makes for a new file is flushed into its parent.
        failure_scene s;
        s.name = "create-in-new-dir";
        s.target = etc + "/new.d/fresh";
        s.reset = [=] { remove_tree(etc + "/new.d"); };
        bundle_package p;
        p.blocks = {create_block(s.target, pattern_bytes(3000, 89), 0644)};
        s.package = write_package(board.path("create-new-dir.bin"), p);
        s.dirs = {etc};
        scenes.push_back(s);
    }
    {
        failure_scene s;
        s.name = "patch";
        s.target = bin + "/su";
        std::vector<uint8_t> old_data = pattern_bytes(20000, 84);
        std::vector<uint8_t> new_data(old_data.begin() + 300, old_data.end());
        s.reset = [=] { put(s.target, old_data, 04755); };
        bundle_package p;
        p.blocks = {patch_block(s.target, make_patch(old_data, new_data))};
        s.package = write_package(board.path("patch.bin"), p);
        s.dirs = {bin, temp};
        scenes.push_back(s);
    }
    {
        // A file with a second name is patched through its own inode.
        failure_scene s;
        s.name = "patch-linked";
        s.target = bin + "/lib.so";
        s.in_place = true;
        std::vector<uint8_t> old_data = pattern_bytes(20000, 85);
        std::vector<uint8_t> new_data = old_data;
        for (size_t i = 0; i < new_data.size(); i += 199)
            new_data[i] ^= 0x5c;
        std::string other = bin + "/lib.so.1";
        s.reset = [=] {
            put(s.target, old_data, 0755);
            remove(other.c_str());
            EXPECT_EQ(link(s.target.c_str(), other.c_str()), 0);
        };
        bundle_package p;
        p.blocks = {patch_block(s.target, make_patch(old_data, new_data))};
        s.package = write_package(board.path("linked.bin"), p);
        s.dirs = {bin, temp};
        scenes.push_back(s);
    }
    {
        failure_scene s;
        s.name = "partition";
        s.target = board.emmc;
        s.in_place = true;
        s.reset = [&board] { write_file(board.emmc, board.emmc_before); };
        bundle_package p;
        p.blocks = {raw_block(board.emmc, pattern_bytes(12000, 86), 16384)};
        s.package = write_package(board.path("partition.bin"), p);
        scenes.push_back(s);
    }
    {
        failure_scene s;
        s.name = "mtd";
        s.target = board.mtd;
        s.in_place = true;
        s.reset = [&board] { write_file(board.mtd, board.mtd_before); };
        bundle_package p;
        p.blocks = {raw_block(board.mtd, pattern_bytes(20000, 87), 20000)};
        s.package = write_package(board.path("mtd.bin"), p);
        scenes.push_back(s);
    }
    {
        failure_scene s;
        s.name = "script";
        s.target = board.path("board/data/ran");
        s.reset = [=] { remove(s.target.c_str()); };
        bundle_package p;
        p.blocks = {script_block("post.sh", "echo ran > '" + s.target + "'\n")};
        s.package = write_package(board.path("script.bin"), p);
        scenes.push_back(s);
    }
    for (failure_scene& s : scenes) {
        s.reset();
        s.before = identity_of(s.target);
        run_options o;
        o.args = {"-r", s.package, "-t", temp};
        o.path_prefix = TEST_SOURCE_DIR "/standins";
        o.env = fail_at("none", "", 1, "");
        run_result r = run_program(o);
        ASSERT_EQ(apply_lines(r).back(), "OTA UPDATA STATUS: 0") << s.name << "\n" << r.out;
        s.after = identity_of(s.target);
        ASSERT_FALSE(s.after == s.before) << s.name;
        // A replaced or patched file keeps its owner, group and every mode bit.
        if (s.name.compare(0, 5, "patch") == 0 || s.name == "replace") {
            EXPECT_EQ(s.after.st.st_mode, s.before.st.st_mode) << s.name;
            EXPECT_EQ(s.after.st.st_uid, 1234u) << s.name;
            EXPECT_EQ(s.after.st.st_gid, 1235u) << s.name;
        }
        remove_tree(temp + "/diff_tmp");
    }

    enum expectation { EVERY_CALL_FAILS, SOME_CALL_FAILS };
    struct row {
        const char* scene;
        const char* call;
        const char* match;            // see the shim: a substring, '$' anchors at the end
        expectation expect;
        bool after_rename = false;    // the target holds its new contents already
        int calls = 40;               // how many of them belong to the block
        int error = EIO;              // what the call fails with
    };
    const std::string etc_dir = etc + "$", bin_dir = bin + "$";
    const row rows[] = {
        // The staged copy of a replaced or created file: written, given the
        // owner and mode, flushed, closed, renamed over; then the directory.
        {"replace", "write", ".fwdeploy-", EVERY_CALL_FAILS},
        {"replace", "fchown", ".fwdeploy-", EVERY_CALL_FAILS},
        {"replace", "fchmod", ".fwdeploy-", EVERY_CALL_FAILS},
        {"replace", "fsync", ".fwdeploy-", EVERY_CALL_FAILS},
        {"replace", "close", ".fwdeploy-", EVERY_CALL_FAILS},
        {"replace", "rename", ".fwdeploy-", EVERY_CALL_FAILS},
        {"replace", "fsync", etc_dir.c_str(), EVERY_CALL_FAILS, true},
        {"create", "write", ".fwdeploy-", EVERY_CALL_FAILS},
        {"create", "fsync", ".fwdeploy-", EVERY_CALL_FAILS},
        {"create", "close", ".fwdeploy-", EVERY_CALL_FAILS},
        {"create", "rename", ".fwdeploy-", EVERY_CALL_FAILS},
        {"create", "fsync", etc_dir.c_str(), EVERY_CALL_FAILS, true},
        {"delete", "fsync", etc_dir.c_str(), EVERY_CALL_FAILS, true},
        {"create-in-new-dir", "fsync", etc_dir.c_str(), EVERY_CALL_FAILS},
        // The patch data written to its scratch file in the temporary
        // directory, and the patched copy that bspatch wrote beside the target.
        {"patch", "write", "tmp/diff_tmp", EVERY_CALL_FAILS},
        {"patch", "fsync", "tmp/diff_tmp", EVERY_CALL_FAILS},
        {"patch", "close", "tmp/diff_tmp", EVERY_CALL_FAILS},
        {"patch", "fchown", "bin/.fwdeploy-", EVERY_CALL_FAILS},
        {"patch", "fchmod", "bin/.fwdeploy-", EVERY_CALL_FAILS},
        {"patch", "fsync", "bin/.fwdeploy-", EVERY_CALL_FAILS},
        {"patch", "close", "bin/.fwdeploy-", SOME_CALL_FAILS},
        {"patch", "rename", "bin/.fwdeploy-", EVERY_CALL_FAILS},
        {"patch", "fsync", bin_dir.c_str(), EVERY_CALL_FAILS, true},
        // Patched through the file's own inode.
        {"patch-linked", "write", "lib.so$", EVERY_CALL_FAILS},
        {"patch-linked", "ftruncate", "lib.so$", EVERY_CALL_FAILS},
        {"patch-linked", "fsync", "lib.so$", EVERY_CALL_FAILS},
        {"patch-linked", "close", "lib.so$", SOME_CALL_FAILS},
        // A raw partition: the fill, the data, the flush and the close.
        {"partition", "write", "mmcblk0p1", EVERY_CALL_FAILS},
        {"partition", "fsync", "mmcblk0p1", EVERY_CALL_FAILS},
        // A device that went read-only under us: its data is not on storage.
        {"partition", "fsync", "mmcblk0p1", EVERY_CALL_FAILS, false, 40, EROFS},
        {"partition", "close", "mmcblk0p1", SOME_CALL_FAILS},
        // The pipe that feeds nandwrite.
        {"mtd", "write", "pipe:", EVERY_CALL_FAILS},
        {"mtd", "close", "pipe:", SOME_CALL_FAILS},
        // The script on its way to the shell.
        // The script on its way to the shell; the end script's own calls follow.
        {"script", "fwrite", "pipe:", EVERY_CALL_FAILS, false, 1},
        {"script", "fflush", "pipe:", SOME_CALL_FAILS, false, 3},
    };
    int injected = 0;
    for (const row& w : rows) {
        const failure_scene* s = nullptr;
        for (const failure_scene& candidate : scenes)
            if (candidate.name == w.scene)
                s = &candidate;
        ASSERT_NE(s, nullptr) << w.scene;
        int reached = 0, failed_runs = 0;
        for (int n = 1; n <= w.calls; ++n) {
            s->reset();
            remove_tree(temp);
            board.box.make_dir("board/tmp");
            remove(note.c_str());
            run_options o;
            o.args = {"-r", s->package, "-t", temp};
            o.path_prefix = TEST_SOURCE_DIR "/standins";   // nandwrite and busybox
            o.env = fail_at(w.call, w.match, n, note, w.error);
            run_result r = run_program(o);
            std::string failed_call = read_text(note);
            if (failed_call.empty())
                break;                // fewer than n such calls
            ++reached;
            ++injected;
            std::string trace = std::string(w.scene) + ": " + w.call + " call " +
                                std::to_string(n) + " on " + w.match + " (" + failed_call + ")";
            SCOPED_TRACE(trace);
            ASSERT_EQ(r.signal, 0) << r.out << r.err;
            EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
            std::vector<std::string> lines = apply_lines(r);
            ASSERT_FALSE(lines.empty());
            bool failed = lines.back() == "OTA UPDATA STATUS: -1";
            EXPECT_TRUE(failed || lines.back() == "OTA UPDATA STATUS: 0") << r.out;
            failed_runs += failed;
            if (w.expect == EVERY_CALL_FAILS) {
                EXPECT_TRUE(failed) << r.out << r.err;
            }
            int failure_reports = 0;
            for (const std::string& line : progress_lines(r.out))
                failure_reports += line.find("(2/2)(state sub 5)") != std::string::npos ||
                                   line.find("(2/2)(state sub 6)") != std::string::npos;
            EXPECT_EQ(failure_reports, failed ? 1 : 0) << r.out;
            // The failure is told once; one that was shrugged off is not told at all.
            EXPECT_EQ(occurrences(r.err, strerror(w.error)), failed ? 1u : 0u) << r.err;
            if (failed) {
                EXPECT_FALSE(contains(r.out, "success")) << r.out;
                EXPECT_FALSE(contains(r.out, "(2/2)(state sub 7)")) << r.out;
            }
            file_identity now = identity_of(s->target);
            if (!failed) {
                EXPECT_TRUE(now == s->after);
            } else if (!s->in_place) {
                EXPECT_TRUE(w.after_rename ? now == s->after : now == s->before)
                    << s->target << " is not as it should be";
            }
            for (const std::string& dir : s->dirs)
                for (const std::string& name : dir_entries(dir))
                    EXPECT_EQ(name.find(".fwdeploy-"), std::string::npos) << dir << "/" << name;
        }
        EXPECT_GT(reached, 0) << w.scene << ": no " << w.call << " on " << w.match;
        if (w.expect == SOME_CALL_FAILS) {
            EXPECT_GT(failed_runs, 0) << w.scene << ": no failing " << w.call;
        }
    }
    RecordProperty("injected_failures", injected);
}
