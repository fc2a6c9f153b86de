#include <gtest/gtest.h>

#include <climits>

#include "engine/scripts.h"
#include "tests/support/fake_host.h"

using namespace fake;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using BeginScript = FakeHostTest;
using EndScript = FakeHostTest;

bundle_package with_scripts(const std::string& begin, const std::string& end)
{
    bundle_package p;
    p.begin_script = begin;
    p.end_script = end;
    p.blocks.push_back(make_block(OP_FILE_REPLACE, "/etc/a", pattern(10)));
    return p;
}

std::string text_of(size_t size, char seed)
{
    std::string text(size, ' ');
    for (size_t i = 0; i < size; ++i)
        text[i] = (char)(seed + i % 23);
    return text;
}

int begin(std::string* printed = nullptr)
{
    source_ops src = source();
    CaptureStdout();
    int result = run_begin_script(&src, "pkg", run_script);
    std::string out = GetCapturedStdout();
    if (printed != nullptr)
        *printed = out;
    return result;
}

int end(uint32_t buffer_size, int status)
{
    source_ops src = source();
    return run_end_script(&src, "pkg", run_script, buffer_size, status);
}

std::string prefix(int status)
{
    return "OTA_STATUS=" + std::to_string(status) + "\necho OTA UPDATA STATUS: ${OTA_STATUS}\n";
}

}  // namespace

TEST_F(BeginScript, IsHandedOverWholeAfterThePackageIsClosed)
{
    // Larger than any buffer: the begin phase reads it in one piece.
    const std::string script = text_of(10000, 'a');
    load(with_scripts(script, "echo end\n"));
    host.script_result = 7;
    EXPECT_EQ(begin(), 7);            // passed on unchanged
    ASSERT_EQ(host.scripts.size(), 1u);
    EXPECT_EQ(host.scripts[0].length, 10000);
    EXPECT_EQ(host.scripts[0].text, script);
    EXPECT_EQ(read_sizes(), (std::vector<int>{32, 10000}));
    EXPECT_LT(find("src.close"), find("run_script"));

    // A source that hands out pieces still gives the whole script.
    reset();
    load(with_scripts(script, ""));
    host.max_piece = 999;
    host.piece_from = 32;
    host.fail_at["run_script"] = 1;
    EXPECT_EQ(begin(), -1);
    ASSERT_EQ(host.scripts.size(), 1u);
    EXPECT_EQ(host.scripts[0].text, script);
}

TEST_F(BeginScript, MissingScriptOrUnreadablePackage)
{
    std::string printed;
    load(with_scripts("", "echo end\n"));
    EXPECT_EQ(begin(&printed), 0);
    EXPECT_EQ(printed, "No begin scripts!\n");
    EXPECT_EQ(count("run_script"), 0);

    std::vector<uint8_t> bytes = bundle_bytes(with_scripts("echo begin\n", ""));
    struct { const char* what; uint64_t truncate; int failing_read; const char* printed; } cases[] = {
        {"header cut", 31, 0, "File header read error!\n"},
        {"script cut", 40, 0, ""},
        {"script read fails", UINT64_MAX, 2, ""},
    };
    for (const auto& c : cases) {
        reset();
        load(bytes);
        host.truncate_at = c.truncate;
        if (c.failing_read != 0)
            host.fail_at["src.read"] = c.failing_read;
        EXPECT_EQ(begin(&printed), -1) << c.what;
        EXPECT_EQ(printed, c.printed) << c.what;
        EXPECT_EQ(count("run_script"), 0) << c.what;
        EXPECT_EQ(count("src.close"), 1) << c.what;
    }

    reset();
    load(bytes);
    source_ops src = source();
    src.read = nullptr;
    EXPECT_EQ(run_begin_script(&src, "pkg", run_script), -1);
    EXPECT_EQ(run_begin_script(nullptr, "pkg", run_script), -1);
    src = source();
    EXPECT_EQ(run_begin_script(&src, "pkg", nullptr), -1);
    EXPECT_TRUE(host.log.empty());
    host.fail_at["src.open"] = 1;
    EXPECT_EQ(begin(), -1);
    EXPECT_EQ(count("src.read"), 0);
}

TEST_F(EndScript, TextIsStatusPrefixZeroByteAndScript)
{
    struct { int status; std::string script; uint32_t buffer; size_t prefix_length; } cases[] = {
        {0, "echo done\n", 4096, 51},
        {-1, "test $OTA_STATUS = 0 || reboot\n", 4096, 52},
        {0, "", 4096, 51},
        // The prefix has a buffer of its own, so a tiny I/O buffer cannot cut it.
        {INT_MIN, "x", 16, 61},
    };
    for (const auto& c : cases) {
        reset();
        load(with_scripts("echo begin\n", c.script));
        host.script_result = 5;
        EXPECT_EQ(end(c.buffer, c.status), 5);
        ASSERT_EQ(host.scripts.size(), 1u);
        std::string expected = prefix(c.status) + std::string(1, '\0') + c.script;
        EXPECT_EQ(prefix(c.status).size(), c.prefix_length);
        EXPECT_EQ(host.scripts[0].text, expected);
        EXPECT_EQ(host.scripts[0].length, (int)expected.size());
        EXPECT_LT(find("src.close"), find("run_script"));
    }
}

TEST_F(EndScript, SkipsTheBeginScriptShortPieceFirst)
{
    struct { size_t begin; std::vector<int> reads; } cases[] = {
        {10000, {32, 1808, 4096, 4096, 4}},
        {8192, {32, 4096, 4096, 4}},
        {100, {32, 100, 4}},
        {0, {32, 4}},
    };
    for (const auto& c : cases) {
        reset();
        load(with_scripts(text_of(c.begin, 'b'), "tail"));
        EXPECT_EQ(end(4096, 0), 0);
        EXPECT_EQ(read_sizes(), c.reads) << c.begin;
        ASSERT_EQ(host.scripts.size(), 1u);
        EXPECT_EQ(host.scripts[0].text, prefix(0) + std::string(1, '\0') + "tail");
    }

    // No end script: nothing is read after the skip.
    reset();
    load(with_scripts("", ""));
    EXPECT_EQ(end(4096, 0), 0);
    EXPECT_EQ(read_sizes(), std::vector<int>{32});
    EXPECT_EQ(host.scripts[0].length, 52);

    // A source that delivers pieces must not make the skip run into the end script.
    reset();
    load(with_scripts(text_of(10000, 'b'), "tail"));
    host.max_piece = 999;
    host.piece_from = 32;
    EXPECT_EQ(end(4096, 0), 0);
    ASSERT_EQ(host.scripts.size(), 1u);
    EXPECT_EQ(host.scripts[0].text, prefix(0) + std::string(1, '\0') + "tail");
}

TEST_F(EndScript, UnreadablePackageFailsBeforeAnyScriptRuns)
{
    std::vector<uint8_t> bytes = bundle_bytes(with_scripts(text_of(5000, 'b'), "echo end\n"));
    struct { const char* what; uint64_t truncate; int failing_read; } cases[] = {
        {"header cut", 12, 0},
        {"begin script cut", 32 + 4000, 0},
        {"end script cut", 32 + 5000 + 3, 0},
        {"skip read fails", UINT64_MAX, 3},
        {"end script read fails", UINT64_MAX, 4},
    };
    for (const auto& c : cases) {
        reset();
        load(bytes);
        host.truncate_at = c.truncate;
        if (c.failing_read != 0)
            host.fail_at["src.read"] = c.failing_read;
        CaptureStdout();
        EXPECT_EQ(end(4096, 0), -1) << c.what;
        GetCapturedStdout();
        EXPECT_EQ(count("run_script"), 0) << c.what;
        EXPECT_EQ(count("src.close"), 1) << c.what;
    }

    reset();
    load(bytes);
    host.fail_at["run_script"] = 1;
    EXPECT_EQ(end(4096, 0), -1);

    reset();
    load(bytes);
    source_ops src = source();
    EXPECT_EQ(run_end_script(&src, "pkg", run_script, 0, 0), -1);
    EXPECT_EQ(run_end_script(&src, "pkg", nullptr, 4096, 0), -1);
    src.close = nullptr;
    EXPECT_EQ(run_end_script(&src, "pkg", run_script, 4096, 0), -1);
    EXPECT_TRUE(host.log.empty());
}
