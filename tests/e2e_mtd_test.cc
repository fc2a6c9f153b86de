// The built fwdeploy writing an MTD character device: the nandwrite and busybox
// stand-ins play the tools, a preloaded shim answers the size request, and a
// plain file plays the flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"

namespace {

struct mtd_run {
    test_board board;
    std::string log = board.path("standin.log");
    std::string fd_log = board.path("standin-fd.log");
    std::string path_prefix = TEST_SOURCE_DIR "/standins";
    std::vector<std::pair<std::string, std::string>> knobs;

    run_result run(const std::string& package, bool gzipped = false)
    {
        run_options o;
        o.args = {gzipped ? "-x" : "-r", gzipped ? gzip_copy(package) : package};
        o.path_prefix = path_prefix;
        o.env = preloading(MTD_SHIM_PATH);
        o.env.insert(o.env.end(), {{"STANDIN_LOG", log}, {"STANDIN_FDLOG", fd_log}});
        o.env.insert(o.env.end(), knobs.begin(), knobs.end());
        return run_program(o);
    }

    // Descriptors the stand-ins were started with, other than 0, 1 and 2.
    std::vector<std::string> inherited_extras() const
    {
        std::vector<std::string> extras;
        for (const std::string& line : split_lines(read_text(fd_log))) {
            std::string fd = line.substr(0, line.find(' '));
            if (fd != "0" && fd != "1" && fd != "2" && !is_own(line))
                extras.push_back(line);
        }
        return extras;
    }

    // The stand-in shell's own descriptor for its script file.
    static bool is_own(const std::string& line)
    {
        return line.find(TEST_SOURCE_DIR "/standins/") != std::string::npos;
    }
};

std::vector<std::string> lines_from(const run_result& r, const std::string& first)
{
    std::vector<std::string> lines = engine_lines(r);
    auto at = std::find(lines.begin(), lines.end(), first);
    return std::vector<std::string>(at, lines.end());
}

int failure_reports(const run_result& r)
{
    static const std::regex failed("\\([0-9]+%\\)\\(2/2\\)\\(state sub [56]\\)");
    int count = 0;
    for (const std::string& line : progress_lines(r.out))
        count += std::regex_match(line, failed) ? 1 : 0;
    return count;
}

}  // namespace

TEST(ApplyMtd, ErasedByTheToolThenWrittenThroughNandwrite)
{
    mtd_run m;
    std::vector<uint8_t> image = pattern_bytes(5000, 41);
    bundle_package p;
    p.blocks.push_back(raw_block(m.board.mtd, image, 10000));
    run_result r = m.run(write_package(m.board.path("pkg.bin"), p));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.leftover_processes, 0);
    // The host erased it: no 0xFF fill by the engine, nothing counted as filled.
    EXPECT_EQ(lines_from(r, "No begin scripts!"),
              (std::vector<std::string>{
                  "No begin scripts!", p2(0, 2), p2(0, 2), "######Erase 0x0 bytes#######",
                  p2(0, 3), p2(81, 3), p2(100, 3), p2(100, 3),
                  "######Write 0x1388 bytes to " + m.board.mtd + " #######", p2(100, 7),
                  "OTA UPDATA STATUS: 0"}));
    EXPECT_EQ(read_text(m.log),
              "flash_eraseall " + m.board.mtd + "\nnandwrite -p " + m.board.mtd + "\n");
    std::vector<uint8_t> device = read_file(m.board.mtd);
    ASSERT_EQ(device.size(), DEVICE_SIZE);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), device.begin()));
    EXPECT_TRUE(
        std::all_of(device.begin() + 5000, device.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(m.inherited_extras(), std::vector<std::string>{});

    // Through gunzip the package pipe is open while nandwrite runs: it must not
    // reach the writer, nor the descriptor feeding it reach the eraser.
    remove_tree(m.log);
    remove_tree(m.fd_log);
    write_file(m.board.mtd, m.board.mtd_before);
    run_result gz = m.run(write_package(m.board.path("pkg.bin"), p), true);
    EXPECT_EQ(gz.exit_code, 0);
    EXPECT_EQ(gz.out, r.out);
    EXPECT_TRUE(read_file(m.board.mtd) == device);
    EXPECT_EQ(split_lines(read_text(m.fd_log)).size(), 8u);
    EXPECT_EQ(m.inherited_extras(), std::vector<std::string>{});
}

TEST(ApplyMtd, NandwriteDyingMidBlockFailsTheBlockAndLeavesNothingBehind)
{
    mtd_run m;
    // Larger than a pipe holds, so the tool is still writing when the reader goes.
    std::vector<uint8_t> image = pattern_bytes(400 * 1024, 42);
    write_file(m.board.mtd, pattern_bytes(512 * 1024, 43));
    std::string later = m.board.box.write("board/data/later", "untouched");
    bundle_package p;
    p.end_script = "echo end sees $OTA_STATUS\n";
    p.blocks.push_back(raw_block(m.board.mtd, image, image.size()));
    p.blocks.push_back(replace_block(later, bytes_of("applied")));
    std::string package = write_package(m.board.path("pkg.bin"), p);
    m.knobs = {{"STANDIN_NANDWRITE_DIE_AFTER", "1000"}};
    run_result r = m.run(package, true);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.leftover_processes, 0);
    EXPECT_EQ(r.err, "write: Broken pipe\n");
    EXPECT_EQ(failure_reports(r), 1) << r.out;
    std::vector<std::string> lines = engine_lines(r);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines.end()[-3],
                                 std::regex("\\([0-9]+%\\)\\(2/2\\)\\(state sub 6\\)")))
        << r.out;
    EXPECT_EQ(lines.end()[-2], "OTA UPDATA STATUS: -1");
    EXPECT_EQ(lines.back(), "end sees -1");
    EXPECT_EQ(read_text(later), "untouched");
    EXPECT_EQ(m.inherited_extras(), std::vector<std::string>{});
    EXPECT_TRUE(child_processes().empty());
}

TEST(ApplyMtd, FailedEraseOrWriterStatusFailsTheBlock)
{
    mtd_run m;
    std::vector<uint8_t> image = pattern_bytes(5000, 44);
    std::string later = m.board.box.write("board/data/later", "untouched");
    bundle_package p;
    p.blocks.push_back(raw_block(m.board.mtd, image, 10000));
    p.blocks.push_back(replace_block(later, bytes_of("applied")));
    std::string package = write_package(m.board.path("pkg.bin"), p);

    // An erase that failed is never followed by a write.
    m.knobs = {{"STANDIN_ERASE_STATUS", "1"}};
    run_result r = m.run(package);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(lines_from(r, "No begin scripts!"),
              (std::vector<std::string>{"No begin scripts!", p2(0, 2), p2(0, 5),
                                        "OTA UPDATA STATUS: -1"}));
    EXPECT_EQ(read_text(m.log), "flash_eraseall " + m.board.mtd + "\n");
    EXPECT_TRUE(read_file(m.board.mtd) == m.board.mtd_before);
    EXPECT_EQ(read_text(later), "untouched");

    // nandwrite took everything but failed: the data is not on the flash.
    remove_tree(m.log);
    m.knobs = {{"STANDIN_NANDWRITE_STATUS", "1"}};
    r = m.run(package);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.leftover_processes, 0);
    // All of it went into the pipe; the failure shows when the writer is waited for.
    EXPECT_EQ(lines_from(r, p2(99, 3)),
              (std::vector<std::string>{p2(99, 3), p2(99, 3),
                                        "######Write 0x1388 bytes to " + m.board.mtd + " #######",
                                        p2(99, 6), "OTA UPDATA STATUS: -1"}));
    EXPECT_EQ(read_text(later), "untouched");
}

TEST(ApplyMtd, MissingToolsAreReportedWithoutDuplicatingOutput)
{
    mtd_run m;
    std::vector<uint8_t> image = pattern_bytes(5000, 45);
    bundle_package p;
    p.blocks.push_back(raw_block(m.board.mtd, image, 10000));
    std::string package = write_package(m.board.path("pkg.bin"), p);

    // No busybox on the search path at all.
    std::string only_nandwrite = m.board.box.make_dir("bin-nandwrite");
    ASSERT_EQ(
        symlink(TEST_SOURCE_DIR "/standins/nandwrite", (only_nandwrite + "/nandwrite").c_str()),
        0);
    run_options which_sh;             // the end script still needs its shell
    which_sh.program = "sh";
    which_sh.args = {"-c", "command -v sh"};
    ASSERT_EQ(symlink(split_lines(run_program(which_sh).out).at(0).c_str(),
                      (only_nandwrite + "/sh").c_str()), 0);
    m.knobs = {{"PATH", only_nandwrite}};
    run_result r = m.run(package);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "execlp error!: No such file or directory\n");
    EXPECT_EQ(lines_from(r, "No begin scripts!"),
              (std::vector<std::string>{"No begin scripts!", p2(0, 2), "flash_eraseall exec error",
                                        p2(0, 5), "OTA UPDATA STATUS: -1"}));
    EXPECT_TRUE(read_file(m.board.mtd) == m.board.mtd_before);
    m.knobs.clear();

    // No nandwrite: the child reports its failed exec once, and nothing the tool
    // printed before it started shows up a second time.
    std::string only_busybox = m.board.box.make_dir("bin-busybox");
    ASSERT_EQ(symlink(TEST_SOURCE_DIR "/standins/busybox", (only_busybox + "/busybox").c_str()), 0);
    m.path_prefix = only_busybox;
    run_options which;
    which.program = "sh";
    which.args = {"-c", "command -v nandwrite"};
    if (!run_program(which).out.empty())
        GTEST_SKIP() << "a real nandwrite is installed on this machine";
    r = m.run(package);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.leftover_processes, 0);
    EXPECT_NE(r.err.find("execlp error!: No such file or directory\n"), std::string::npos) << r.err;
    EXPECT_EQ(failure_reports(r), 1) << r.out;
    std::vector<std::string> lines = split_lines(r.out);
    for (const std::string& once : {lines.at(0), lines.at(2), std::string("No begin scripts!"),
                                    std::string("######Erase 0x0 bytes#######")})
        EXPECT_EQ(std::count(lines.begin(), lines.end(), once), 1) << once << " in\n" << r.out;
    EXPECT_EQ(lines.back(), "OTA UPDATA STATUS: -1");
}
