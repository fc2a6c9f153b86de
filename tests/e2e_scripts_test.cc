// The built fwdeploy running scripts and meeting failures: the order in which
// its own lines and those of the scripts reach a pipe, scripts that fail or are
// large, a console reader that goes away, blocks that cannot be applied and a
// package cut short between the passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"

TEST(ApplyScripts, ToolAndScriptLinesReachThePipeInOrderAndOnce)
{
    test_board board;
    std::string a = board.box.write("board/data/a", "old a\n");
    bundle_package p;
    // The begin script runs after verification and before any block.
    p.begin_script = "cat " + a + "\necho begin done\n";
    p.end_script = "echo end sees $OTA_STATUS\n";
    p.blocks.push_back(replace_block(a, bytes_of("new a\n")));
    p.blocks.push_back(script_block("post.sh", "cat " + a + "\necho script block ran\n"));
    std::string script = "cat " + a + "\necho script block ran\n";
    run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    uint64_t total = 6 + script.size();
    std::vector<std::string> expected = {
        "(0%)(1/2)(state sub 0)",
        progress_line(percent(6, total), 1, 1),
    };
    std::vector<std::string> lines = engine_lines(r);
    ASSERT_GT(lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2), expected);
    auto begin = std::find(lines.begin(), lines.end(), "old a");
    ASSERT_NE(begin, lines.end()) << r.out;
    EXPECT_EQ(begin[-1], "(100%)(1/2)(state sub 1)");
    expected = {"old a", "begin done"};
    append(&expected, one_chunk_copy(0, percent(6, total), 6, a));
    append(&expected, {"new a", "script block ran", p2(100, 3),
                       "######Run scripts post.sh success size: " + hex(script.size()) +
                           " bytes #######",
                       p2(100, 7), "OTA UPDATA STATUS: 0", "end sees 0"});
    EXPECT_EQ(std::vector<std::string>(begin, lines.end()), expected);
}

TEST(ApplyScripts, ScriptStatusIsNotExaminedAndLargeScriptsRunWhole)
{
    test_board board;
    std::string mark = board.path("board/large_ran");
    // Far more than a pipe holds, so the shell must be fed while it runs.
    std::string large;
    while (large.size() < 300 * 1024)
        large += "# padding line of a large script block, never executed........\n";
    large += "touch " + mark + "\necho large done\n";
    bundle_package p;
    p.begin_script = "echo begin fails\nexit 3\n";
    p.end_script = "echo end sees $OTA_STATUS\nexit 4\n";
    p.blocks.push_back(script_block("large.sh", large));
    p.blocks.push_back(script_block("fails.sh", "false\n"));
    run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(file_exists(mark));
    std::vector<std::string> lines = engine_lines(r);
    auto begin = std::find(lines.begin(), lines.end(), "begin fails");
    ASSERT_NE(begin, lines.end()) << r.out;
    uint64_t total = large.size() + 6;
    EXPECT_EQ(std::vector<std::string>(begin, lines.end()),
              (std::vector<std::string>{
                  "begin fails", "large done", p2(percent(large.size(), total), 3),
                  "######Run scripts large.sh success size: " + hex(large.size()) +
                      " bytes #######",
                  p2(100, 3), "######Run scripts fails.sh success size: 0x6 bytes #######",
                  p2(100, 7), "OTA UPDATA STATUS: 0", "end sees 0"}));
}

// A script whose last line has no line feed: its last character still reaches
// the shell, wherever the script stands in the package.
TEST(ApplyScripts, TheLastLineNeedsNoLineFeed)
{
    test_board board;
    enum where { BEGIN, BLOCK, END };
    struct row {
        const char* what;
        where at;
        const char* text;
        const char* line;             // printed by the shell
    };
    const row rows[] = {
        {"begin script, last command echo", BEGIN, "echo x\necho abc", "abc"},
        {"begin script, last command exit", BEGIN, "trap 'echo status $?' EXIT\nexit 3",
         "status 3"},
        {"script block, last command echo", BLOCK, "echo x\necho abc", "abc"},
        {"script block, last command exit", BLOCK, "trap 'echo status $?' EXIT\nexit 3",
         "status 3"},
        {"end script, last command echo", END, "echo x\necho abc", "abc"},
        {"end script, last command exit", END, "trap 'echo status $?' EXIT\nexit 3",
         "status 3"},
    };
    for (const row& w : rows) {
        SCOPED_TRACE(w.what);
        bundle_package p;
        if (w.at == BEGIN)
            p.begin_script = w.text;
        else if (w.at == END)
            p.end_script = w.text;
        else
            p.blocks.push_back(script_block("last.sh", w.text));
        run_result r = run_fwdeploy({"-r", write_package(board.path("pkg.bin"), p)});
        EXPECT_EQ(r.exit_code, 0);
        std::vector<std::string> lines = engine_lines(r);
        EXPECT_NE(std::find(lines.begin(), lines.end(), w.line), lines.end()) << r.out;
    }
}

TEST(ApplyScripts, UpdateGoesOnWhenTheConsoleReaderIsGone)
{
    // Whoever reads the progress may go away mid-update; the board must still
    // be updated completely, not left half written by a broken pipe.
    test_board board;
    std::string a = board.box.write("board/data/a", "old");
    std::vector<uint8_t> image = pattern_bytes(20000, 51);
    std::vector<uint8_t> data = pattern_bytes(30000, 52);
    bundle_package p;
    p.blocks.push_back(raw_block(board.emmc, image, 30000));
    p.blocks.push_back(replace_block(a, data));
    std::string package = write_package(board.path("pkg.bin"), p);
    std::string status = board.path("status");
    run_options o;
    o.program = "sh";
    o.args = {"-c", "{ \"$0\" -r \"$1\"; echo $? > \"$2\"; } | true", FWDEPLOY_BIN,
              package, status};
    run_result r = run_program(o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.leftover_processes, 0);
    EXPECT_EQ(read_text(status), "0\n");
    EXPECT_TRUE(read_file(a) == data);
    std::vector<uint8_t> device = read_file(board.emmc);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), device.begin()));
    EXPECT_TRUE(std::all_of(device.begin() + 20000, device.begin() + 30000,
                            [](uint8_t b) { return b == 0xFF; }));
}

TEST(ApplyScripts, ProgressReachesThePipeWhileThePackageIsStillArriving)
{
    // A gunzip that delivers the first phase's stream in two parts with a pause:
    // lines printed before the pause must be in the pipe before it ends.
    test_board board;
    run_options which;
    which.program = "sh";
    which.args = {"-c", "command -v gunzip"};
    std::string real_gunzip = split_lines(run_program(which).out).at(0);
    std::string a = board.box.write("board/data/a", "old");
    bundle_package p;
    p.blocks.push_back(replace_block(a, pattern_bytes(1000, 1)));
    p.blocks.push_back(replace_block(a, pattern_bytes(1000, 2)));
    std::string package = write_package(board.path("pkg.bin"), p);
    size_t first_part = 32 + 288 + 1000;
    std::string mark = board.path("slow_done");
    board.box.write("bin/gunzip",
                    "#!/bin/sh\n"
                    "if [ ! -e " + mark + " ]; then\n"
                    "  : > " + mark + "\n"
                    "  " + real_gunzip + " -c > " + mark + "\n"
                    "  dd if=" + mark + " bs=" + std::to_string(first_part) +
                        " count=1 2>/dev/null\n"
                    "  sleep 1\n"
                    "  exec dd if=" + mark + " bs=" + std::to_string(first_part) +
                        " skip=1 2>/dev/null\n"
                    "fi\n"
                    "exec " + real_gunzip + " \"$@\"\n",
                    0755);
    run_result r = run_fwdeploy({"-x", gzip_copy(package)}, "", board.path("bin"));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), r.out_line_ms.size());
    auto at = [&](const std::string& prefix) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0)
                return r.out_line_ms[i];
        ADD_FAILURE() << "no line " << prefix << " in\n" << r.out;
        return 0;
    };
    EXPECT_GE(at("blk 1 ") - at("blk 0 "), 500);
    EXPECT_GE(at("blk 1 ") - at("(0%)(1/2)(state sub 0)"), 500);
}

TEST(ApplyFailure, FailingBlockStopsThePassAndTheEndScriptSeesIt)
{
    test_board board;
    std::string a = board.path("board/data/a");
    std::string missing = board.path("board/data/missing");
    std::string c = board.path("board/data/c");
    bundle_package p;
    p.end_script = "echo end sees $OTA_STATUS\n";
    p.blocks.push_back(create_block(a, std::vector<uint8_t>(500, 'a'), 0644));
    p.blocks.push_back(replace_block(missing, std::vector<uint8_t>(500, 'm')));
    p.blocks.push_back(create_block(c, std::vector<uint8_t>(500, 'c'), 0644));
    std::string package = write_package(board.path("pkg.bin"), p);
    for (bool gzipped : {false, true}) {
        SCOPED_TRACE(gzipped ? "gzip" : "plain");
        remove_tree(a);
        run_result r =
            run_fwdeploy({gzipped ? "-x" : "-r", gzipped ? gzip_copy(package) : package});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "open: No such file or directory\n");
        EXPECT_EQ(r.leftover_processes, 0);
        std::vector<std::string> expected = one_chunk_copy(0, 33, 500, a);
        append(&expected, {p2(33, 6), "OTA UPDATA STATUS: -1", "end sees -1"});
        EXPECT_EQ(apply_lines(r), expected);
        EXPECT_EQ(read_text(a), std::string(500, 'a'));
        EXPECT_FALSE(file_exists(missing));
        EXPECT_FALSE(file_exists(c));
    }

    // A directory where a file is expected, and a delete of a missing file.
    std::string dir = board.box.make_dir("board/data/adir");
    p.blocks[1] = replace_block(dir, std::vector<uint8_t>(500, 'm'));
    run_result r = run_fwdeploy({"-r", write_package(package, p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "open: Is a directory\n");
    EXPECT_EQ(apply_lines(r).end()[-3], p2(33, 6));
    EXPECT_FALSE(file_exists(c));
    p.blocks[1] = delete_block(missing);
    r = run_fwdeploy({"-r", write_package(package, p)});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(apply_lines(r).end()[-3], p2(50, 6));
    EXPECT_FALSE(file_exists(c));
}

TEST(ApplyFailure, PackageChangedAfterVerificationIsNeitherAppliedNorEnded)
{
    // The begin script runs between verification and the apply pass: it changes
    // the package under the tool, as a second writer or an attacker might. No
    // later pass may read what was never verified, and the end script never runs.
    test_board board;
    std::string a = board.path("board/data/a");
    std::string end_mark = board.path("end_ran");
    bundle_package other;
    other.blocks.push_back(create_block(a, bytes_of("not verified"), 0644));
    std::string replacement = write_package(board.path("other.bin"), other);
    struct change {
        const char* what;
        bool gzipped;
        std::string command;          // %s: the package path
    };
    for (const change& c : std::vector<change>{
             {"cut short", false, "truncate -s 600 %s"},
             {"replaced by another file", false, "cp " + replacement + " %s.new && mv %s.new %s"},
             {"rewritten in place", false, "cat " + replacement + " > %s"},
             {"compressed, replaced", true, "gzip -c " + replacement + " > %s.new && mv %s.new %s"},
         }) {
        SCOPED_TRACE(c.what);
        remove_tree(a);
        remove_tree(end_mark);
        std::string package = board.path(c.gzipped ? "pkg.bin.gz" : "pkg.bin");
        std::string command = std::regex_replace(c.command, std::regex("%s"), package);
        bundle_package p;
        p.begin_script = command + "\n";
        p.end_script = "touch " + end_mark + "\n";
        p.blocks.push_back(create_block(a, std::vector<uint8_t>(1000, 'a'), 0644));
        std::string plain = write_package(board.path("pkg.bin"), p);
        if (c.gzipped)
            gzip_copy(plain);
        run_result r = run_fwdeploy({c.gzipped ? "-x" : "-r", package});
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.leftover_processes, 0);
        std::string changed = "Package " + package + " changed since it was verified!";
        std::vector<std::string> lines = engine_lines(r);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), changed), 2) << r.out;
        EXPECT_EQ(r.out.find("(2/2)"), std::string::npos) << r.out;
        EXPECT_FALSE(file_exists(a));
        EXPECT_FALSE(file_exists(end_mark));
    }
}
