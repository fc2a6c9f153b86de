// The patch and shell runners with the real bspatch (patches made by the real
// bsdiff) and the real sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "backends/chunk_mac.h"
#include "backends/file.h"
#include "backends/runners.h"
#include "backends/trust.h"
#include "common/process.h"
#include "tests/support/sandbox.h"

namespace {

void write_text(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    write_file(path, bytes_of(text), mode);
}

std::string pattern(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes = pattern_bytes(size, seed);
    return std::string(bytes.begin(), bytes.end());
}

class Runner : public ::testing::Test {
protected:
    void SetUp() override
    {
        make_broken_pipe_harmless();
        dir_ = sandbox_.root();
        sandbox_.make_dir("board");
        sandbox_.make_dir("empty");
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd_ = cwd;
        ASSERT_EQ(chdir(at("board").c_str()), 0);
        const char* path = getenv("PATH");
        saved_path_ = path != nullptr ? path : "/usr/bin:/bin";
        fds_before_ = count_open_fds();
    }

    void TearDown() override
    {
        EXPECT_TRUE(child_processes().empty());
        EXPECT_EQ(count_open_fds(), fds_before_);
        setenv("PATH", saved_path_.c_str(), 1);
        EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
    }

    std::string at(const std::string& relative) const { return dir_ + "/" + relative; }
    void hide_programs() { setenv("PATH", at("empty").c_str(), 1); }

    // Makes a patch from `from` to `to` with the real bsdiff; returns its path.
    std::string make_patch(const std::string& from, const std::string& to)
    {
        write_text(at("from"), from);
        write_text(at("to"), to);
        const std::string patch = at("board/diff_tmp");
        EXPECT_EQ(system(("bsdiff '" + at("from") + "' '" + at("to") + "' '" + patch + "'").c_str()),
                  0);
        remove(at("from").c_str());
        remove(at("to").c_str());
        return patch;
    }

    sandbox_dir sandbox_{"fwdeploy-run"};
    std::string dir_;
    std::string saved_cwd_;
    std::string saved_path_;
    int fds_before_ = 0;
};

using PatchRunner = Runner;
using ShellRunner = Runner;

TEST_F(PatchRunner, PatchesInPlaceWholeOrNotAtAll)
{
    const std::string old_contents = pattern(100000, 1);
    std::string new_contents = old_contents;
    new_contents.replace(5000, 300, pattern(700, 2));
    new_contents += "appended tail";
    const std::string patch = make_patch(old_contents, new_contents);
    const std::string target = at("board/app.bin");
    write_text(target, old_contents, 0750);

    EXPECT_EQ(run_bspatch(target.c_str(), target.c_str(), patch.c_str()), 0);
    EXPECT_TRUE(read_text(target) == new_contents);
    EXPECT_EQ(file_mode(target), 0750);
    EXPECT_EQ(dir_entries(at("board")), (std::vector<std::string>{"app.bin", "diff_tmp"}));

    // Old and new apart: the old file stays as it was.
    const std::string copy = at("board/copy.bin");
    write_text(target, old_contents, 0644);
    EXPECT_EQ(run_bspatch(target.c_str(), copy.c_str(), patch.c_str()), 0);
    EXPECT_TRUE(read_text(copy) == new_contents);
    EXPECT_TRUE(read_text(target) == old_contents);
}

// A board whose file is not the patch's base gets a wrong result from bspatch,
// which checks nothing: with the result's digest known, it never replaces the file.
TEST_F(PatchRunner, ACheckedPatchReplacesTheFileOnlyWithTheExpectedResult)
{
    const std::string old_contents = pattern(30000, 5);
    std::string new_contents = old_contents;
    new_contents.replace(100, 50, pattern(80, 6));
    const std::string patch = make_patch(old_contents, new_contents);
    uint8_t expected[32];
    sha256_of(new_contents.data(), new_contents.size(), expected);
    const std::string target = at("board/app.bin");
    const std::string other = at("board/other.bin");
    std::string drifted = old_contents;
    drifted[20000] ^= 1;              // not the base the patch was made from
    struct {
        const char* what;
        const std::string* start;
        const std::string* path;       // the new path; the target itself when in place
        bool linked;                   // the target has a second name
        int result;
    } cases[] = {
        {"the base", &old_contents, &target, false, 0},
        {"another base", &drifted, &target, false, -1},
        {"another base, hard-linked", &drifted, &target, true, -1},
        {"the base, hard-linked", &old_contents, &target, true, 0},
        {"another base, to a new file", &drifted, &other, false, -1},
        {"the result already", &new_contents, &target, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        remove(at("board/link").c_str());
        remove(other.c_str());
        write_text(target, *c.start, 04755);
        if (c.linked) {
            ASSERT_EQ(link(target.c_str(), at("board/link").c_str()), 0);
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(run_checked_bspatch(target.c_str(), c.path->c_str(), patch.c_str(), expected),
                  c.result);
        std::string printed = testing::internal::GetCapturedStdout();
        bool in_place = c.path == &target;
        if (c.result == 0) {
            EXPECT_TRUE(read_text(*c.path) == new_contents);
            EXPECT_EQ(printed, c.start == &new_contents
                                   ? target + " already holds the patch result: left as it is\n"
                                   : "");
        } else {
            EXPECT_EQ(printed, "Patch result for " + *c.path +
                                   " does not match the package: the file keeps its old contents\n");
            EXPECT_FALSE(!in_place && file_exists(other));
        }
        if (in_place && c.result != 0) {
            EXPECT_TRUE(read_text(target) == *c.start);
        }
        EXPECT_EQ(file_mode(target), 04755);
        std::vector<std::string> expected_entries = {"app.bin", "diff_tmp"};
        if (c.linked)
            expected_entries.push_back("link");
        if (!in_place && c.result == 0)
            expected_entries.push_back("other.bin");
        EXPECT_EQ(dir_entries(at("board")), expected_entries);
    }
}

// A file with another bind-mounted over it cannot be renamed over: the result
// goes into the mounted file's own inode, checked or not, and nothing is left
// beside it.
TEST_F(PatchRunner, PatchesAFileWithAnotherMountedOverIt)
{
    const std::string old_contents = pattern(30000, 11);
    std::string new_contents = old_contents;
    new_contents.replace(2000, 40, pattern(90, 12));
    const std::string patch = make_patch(old_contents, new_contents);
    struct patching {
        std::string target, patch;
        uint8_t expected[32];
        bool checked;
    } p{at("board/app.bin"), patch, {}, false};
    sha256_of(new_contents.data(), new_contents.size(), p.expected);
    const std::string mounted = at("data.bin");
    for (bool checked : {false, true}) {
        SCOPED_TRACE(checked ? "checked" : "unchecked");
        write_text(p.target, "what the mount hides", 0644);
        write_text(mounted, old_contents, 04750);
        p.checked = checked;
        int result = with_bind_mount(mounted, p.target, [](void* context) {
            const patching* q = static_cast<const patching*>(context);
            return run_checked_bspatch(q->target.c_str(), q->target.c_str(), q->patch.c_str(),
                                       q->checked ? q->expected : nullptr) == 0 ? 0 : 1;
        }, &p);
        if (result < 0)
            GTEST_SKIP() << "this machine does not let the test bind-mount a file";
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(read_text(mounted) == new_contents);
        EXPECT_EQ(file_mode(mounted), 04750);
        EXPECT_EQ(read_text(p.target), "what the mount hides");
        EXPECT_EQ(dir_entries(at("board")), (std::vector<std::string>{"app.bin", "diff_tmp"}));
    }
}

// Patching a setuid su or busybox must leave it setuid; a file with other names
// is patched through its own inode so that every name sees the new contents.
TEST_F(PatchRunner, PatchedFileKeepsItsOwnerModeAndLinks)
{
    const bool root = geteuid() == 0;
    const std::string old_contents = pattern(30000, 7);
    const std::string new_contents = old_contents.substr(100) + "patched";
    const std::string patch = make_patch(old_contents, new_contents);
    struct { const char* what; std::string name; mode_t mode; bool other_name; } cases[] = {
        {"setuid", "su", 04755, false},
        {"setgid", "busybox", 02755, false},
        {"sticky", "sticky", 01755, false},
        {"hard link", "lib.so", 06750, true},
        {"name of 250 characters", std::string(250, 'n'), 0700, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string target = at("board/" + c.name);
        const std::string other = at("board/other");
        write_text(target, old_contents, c.mode);
        if (root) {
            ASSERT_EQ(chown(target.c_str(), 1234, 1234), 0);
            ASSERT_EQ(chmod(target.c_str(), c.mode), 0);
        }
        if (c.other_name) {
            ASSERT_EQ(link(target.c_str(), other.c_str()), 0);
        }
        // What a run killed before its rename left behind goes first.
        char staging[PATH_MAX];
        ASSERT_EQ(staging_path(target.c_str(), staging), 0);
        write_text(staging, "leftover", 0600);
        struct stat before;
        ASSERT_EQ(stat(target.c_str(), &before), 0);

        EXPECT_EQ(run_bspatch(target.c_str(), target.c_str(), patch.c_str()), 0);
        struct stat after;
        ASSERT_EQ(stat(target.c_str(), &after), 0);
        EXPECT_TRUE(read_text(target) == new_contents);
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        if (c.other_name) {
            EXPECT_TRUE(read_text(other) == new_contents);
            EXPECT_EQ(after.st_ino, before.st_ino);
            EXPECT_EQ(after.st_nlink, 2u);
            remove(other.c_str());
        }
        remove(target.c_str());
        EXPECT_EQ(dir_entries(at("board")), std::vector<std::string>{"diff_tmp"});
    }
}

TEST_F(PatchRunner, PatchesTheFileBehindALink)
{
    const std::string old_contents = pattern(20000, 5);
    const std::string new_contents = old_contents + "more";
    const std::string patch = make_patch(old_contents, new_contents);
    const std::string real = sandbox_.make_dir("data") + "/app.bin";
    write_text(real, old_contents, 0700);
    const std::string link = at("board/app.bin");
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);

    EXPECT_EQ(run_bspatch(link.c_str(), link.c_str(), patch.c_str()), 0);
    char target[4096] = {};
    EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << "the link is gone";
    EXPECT_EQ(std::string(target), real);
    EXPECT_TRUE(read_text(real) == new_contents);
    EXPECT_EQ(file_mode(real), 0700);
    EXPECT_EQ(dir_entries(at("data")), std::vector<std::string>{"app.bin"});
    EXPECT_EQ(dir_entries(at("board")), (std::vector<std::string>{"app.bin", "diff_tmp"}));

    // Two spellings of one file are patched in place too.
    write_text(real, old_contents, 0700);
    EXPECT_EQ(run_bspatch(real.c_str(), (at("data") + "/./app.bin").c_str(), patch.c_str()), 0);
    EXPECT_TRUE(read_text(real) == new_contents);
    EXPECT_EQ(dir_entries(at("data")), std::vector<std::string>{"app.bin"});
}

TEST_F(PatchRunner, FailedPatchLeavesTheTargetUntouched)
{
    const std::string old_contents = pattern(50000, 3);
    std::string new_contents = pattern(50000, 4);
    const std::string patch = make_patch(old_contents, new_contents);
    const std::string target = at("board/app.bin");
    write_text(target, old_contents, 0640);

    // bspatch refuses a cut patch with a status of its own: never applied.
    std::string cut = read_text(patch);
    write_text(patch, cut.substr(0, cut.size() / 2));
    testing::internal::CaptureStderr();         // bspatch's own complaints
    EXPECT_EQ(run_bspatch(target.c_str(), target.c_str(), patch.c_str()), -1);
    write_text(patch, "not a patch at all");
    EXPECT_EQ(run_bspatch(target.c_str(), target.c_str(), patch.c_str()), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(read_text(target) == old_contents);
    EXPECT_EQ(file_mode(target), 0640);
    EXPECT_EQ(dir_entries(at("board")), (std::vector<std::string>{"app.bin", "diff_tmp"}));

    // Nothing to patch.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_bspatch(at("board/none").c_str(), at("board/none").c_str(), patch.c_str()), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(dir_entries(at("board")), (std::vector<std::string>{"app.bin", "diff_tmp"}));

    // A patch tool that fails or dies after writing part of its result.
    write_text(patch, cut);
    const std::string tools = sandbox_.make_dir("tools");
    setenv("PATH", (tools + ":" + saved_path_).c_str(), 1);
    for (const char* ending : {"exit 1", "kill -KILL $$"}) {
        SCOPED_TRACE(ending);
        write_text(tools + "/bspatch", std::string("#!/bin/sh\nprintf partial > \"$2\"\n") + ending + "\n",
                   0755);
        EXPECT_EQ(run_bspatch(target.c_str(), target.c_str(), patch.c_str()), -1);
        EXPECT_TRUE(read_text(target) == old_contents);
        EXPECT_EQ(dir_entries(at("board")), (std::vector<std::string>{"app.bin", "diff_tmp"}));
    }

    // No patch tool on the board.
    hide_programs();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    printf("pending, ");               // printed once, before the child's words
    EXPECT_EQ(run_bspatch(target.c_str(), target.c_str(), patch.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "execlp error!: No such file or directory\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "pending, bspatch exec error\n");
    EXPECT_TRUE(read_text(target) == old_contents);
    EXPECT_EQ(dir_entries(at("board")), (std::vector<std::string>{"app.bin", "diff_tmp"}));
}

TEST_F(ShellRunner, RunsTheTextAndIgnoresTheScriptsStatus)
{
    const std::string script = "echo ran > out\nexit 3\n";
    EXPECT_EQ(run_shell_script(script.data(), (int)script.size()), (int)script.size());
    EXPECT_EQ(read_text(at("board/out")), "ran\n");

    // No final newline and no terminating zero needed: only `length` bytes count.
    const std::string unterminated = "echo last > tail; echo never > never";
    EXPECT_EQ(run_shell_script(unterminated.data(), 16), 16);
    EXPECT_EQ(read_text(at("board/tail")), "last\n");
    EXPECT_EQ(access(at("board/never").c_str(), F_OK), -1);

    EXPECT_EQ(run_shell_script("", 0), 0);

    // The shell shares our output, which it must not overtake.
    testing::internal::CaptureStdout();
    printf("before the script\n");
    const std::string echo = "echo from the script\n";
    EXPECT_EQ(run_shell_script(echo.data(), (int)echo.size()), (int)echo.size());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "before the script\nfrom the script\n");
}

TEST_F(ShellRunner, DeliversTextsLargerThanThePipe)
{
    std::string body;
    while (body.size() < 200000)
        body += "line " + std::to_string(body.size()) + " of a long here-document\n";
    const std::string script = "cat > big <<'END'\n" + body + "END\necho done > done\n";
    EXPECT_EQ(run_shell_script(script.data(), (int)script.size()), (int)script.size());
    EXPECT_TRUE(read_text(at("board/big")) == body);
    EXPECT_EQ(read_text(at("board/done")), "done\n");
}

TEST_F(ShellRunner, AShellThatStopsReadingIsAFailedWrite)
{
    // The shell leaves after the first line; the rest cannot be handed over.
    std::string script = "exit 0\n";
    while (script.size() < (1u << 20))
        script += "# filler that no shell will ever read\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_shell_script(script.data(), (int)script.size()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "fwrite: Broken pipe\n");

    // popen starts /bin/sh, which then finds no "sh" on PATH: the same failure,
    // once the text is too large to vanish into the pipe unread.
    hide_programs();
    script = "echo ran > ran\n" + script.substr(7);
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_shell_script(script.data(), (int)script.size()), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(err.size() >= 20 && err.compare(err.size() - 20, 20, "fwrite: Broken pipe\n") == 0)
        << err;
    EXPECT_EQ(access(at("board/ran").c_str(), F_OK), -1);
}

TEST_F(ShellRunner, AShellThatCannotStartIsAFailure)
{
    // No descriptor left for the pipe: popen itself fails.
    testing::internal::CaptureStdout();
    int lowest_free = open("/dev/null", O_RDONLY);
    ASSERT_GE(lowest_free, 0);
    close(lowest_free);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit tight = saved;
    tight.rlim_cur = (rlim_t)lowest_free;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const std::string script = "echo ran > ran\n";
    int result = run_shell_script(script.data(), (int)script.size());
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(access(at("board/ran").c_str(), F_OK), -1);
}

// The board's one SHA-256, OpenSSL's, on whichever code path the CPU (or the
// OPENSSL_ia32cap / OPENSSL_armcap / QEMU_CPU settings of the test's
// environment) selects: every length around the 64-byte block edges, fed in
// odd pieces, must give what sha256sum says. The build runs this group once
// per code path; FWDEPLOY_DIGEST_PATH names the path such a run must be on.
#if defined(__x86_64__)
extern "C" unsigned int OPENSSL_ia32cap_P[4];
#elif defined(__arm__)
extern "C" unsigned int OPENSSL_armcap_P;
#endif

// The SHA-256 code OpenSSL runs, by its own rule over the capability words:
// SHA extensions, else AVX2 with BMI1 and BMI2, else AVX with SSSE3 but only
// on an Intel processor, else SSSE3, else plain code.
std::string digest_path_taken()
{
#if defined(__x86_64__)
    const unsigned int* cap = OPENSSL_ia32cap_P;
    const unsigned int avx2_bmi = 1u << 3 | 1u << 5 | 1u << 8;
    if (cap[2] & (1u << 29))
        return "shaext";
    if ((cap[2] & avx2_bmi) == avx2_bmi)
        return "avx2";
    bool ssse3 = cap[1] & (1u << 9);
    if ((cap[0] & (1u << 30)) && (cap[1] & (1u << 28)) && ssse3)
        return "avx";
    return ssse3 ? "ssse3" : "x86_64";
#elif defined(__arm__)
    if (OPENSSL_armcap_P & (1u << 4))
        return "armv8";
    return (OPENSSL_armcap_P & 1u) ? "neon" : "armv4";
#else
    return "";
#endif
}

// Whether this processor offers what `path` needs. The settings that force a
// path only take away the bits of the paths above it, so what is missing now
// was never there: AVX2 on an older processor, or the Intel mark that
// OpenSSL's AVX code asks for on an AMD one.
bool digest_path_offered(const std::string& path)
{
#if defined(__x86_64__)
    const unsigned int* cap = OPENSSL_ia32cap_P;
    bool ssse3 = cap[1] & (1u << 9);
    if (path == "shaext")
        return cap[2] & (1u << 29);
    if (path == "avx2")
        return (cap[2] & (1u << 3 | 1u << 5 | 1u << 8)) == (1u << 3 | 1u << 5 | 1u << 8);
    if (path == "avx")
        return (cap[0] & (1u << 30)) && (cap[1] & (1u << 28)) && ssse3;
    if (path == "ssse3")
        return ssse3;
    return path == "x86_64";
#elif defined(__arm__)
    if (path == "armv8")
        return OPENSSL_armcap_P & (1u << 4);
    if (path == "neon")
        return OPENSSL_armcap_P & 1u;
    return path == "armv4";
#else
    return false;
#endif
}

// A run meant for one code path is on it, or says why it cannot be.
void expect_digest_path()
{
    const char* path = getenv("FWDEPLOY_DIGEST_PATH");
    if (path == nullptr)
        return;
    if (!digest_path_offered(path)) {
        std::cout << "The " << path << " code path cannot be reached on this processor; "
                  << "the " << digest_path_taken() << " path OpenSSL takes instead is checked.\n";
        return;
    }
    ASSERT_EQ(digest_path_taken(), path)
        << "the environment did not select the " << path << " code path";
}

TEST(Digest, EveryLengthAndPieceSizeMatchesSha256sum)
{
    expect_digest_path();
    sandbox_dir box("fwdeploy-digest");
    const size_t sizes[] = {0, 1, 55, 56, 63, 64, 65, 119, 120, 4095, 4096, 4097,
                            (3u << 20) + 5};
    const size_t pieces[] = {1, 7, 63, 64, 65, 1000, 4096, 70001};
    for (size_t size : sizes) {
        SCOPED_TRACE(std::to_string(size) + " bytes");
        std::vector<uint8_t> data = pattern_bytes(size, (uint32_t)size);
        std::string file = box.write("data", data);
        run_options sum;
        sum.program = "sha256sum";
        sum.args = {file};
        std::string expected = run_program(sum).out.substr(0, 64);
        ASSERT_EQ(expected.size(), 64u);
        uint8_t digest[32];
        sha256_of(data.data(), data.size(), digest);
        EXPECT_EQ(hex_of(digest, sizeof digest), expected) << "in one piece";
        ASSERT_EQ(sha256_of_file(file.c_str(), digest), 0);
        EXPECT_EQ(hex_of(digest, sizeof digest), expected) << "from the file";
        // Pieces that cross the block edges at every offset, the first piece
        // size changing with each round.
        for (size_t first : pieces) {
            sha256_context context;
            sha256_start(&context);
            size_t at = 0;
            for (size_t i = 0; at < size; ++i) {
                size_t n = std::min(size - at, i == 0 ? first : pieces[i % 8]);
                sha256_feed(&context, data.data() + at, n);
                at += n;
            }
            sha256_finish(&context, digest);
            ASSERT_EQ(hex_of(digest, sizeof digest), expected) << "first piece " << first;
        }
    }
}

// Poly1305 on the same code paths (libcrypto picks its NEON, ARMv8 or AVX2
// code by the same capability words): RFC 8439's known answers, among them
// the ones made to catch a carry lost in the last reduction.
TEST(Digest, Poly1305GivesTheKnownAnswersOfRfc8439)
{
    expect_digest_path();
    struct row {
        const char* what;
        const char* key;
        std::string message;
        const char* tag;
    };
    const std::string ff16(16, '\xff');
    const std::string e3 = std::string("\xe3\x35\x94\xd7\x50\x5e\x43\xb9", 8) + std::string(8, '\0') +
                           std::string("\x33\x94\xd7\x50\x5e\x43\x79\xcd\x01", 9) +
                           std::string(23, '\0');
    const row rows[] = {
        {"2.5.2", "85d6be7857556d337f4452fe42d506a80103808afb0db2fd4abff6af4149f51b",
         "Cryptographic Forum Research Group", "a8061dc1305136c6c22b8baf0c0127a9"},
        {"A.3 #1: all zero", "0000000000000000000000000000000000000000000000000000000000000000",
         std::string(64, '\0'), "00000000000000000000000000000000"},
        {"A.3 #5: h reaches p", "0200000000000000000000000000000000000000000000000000000000000000",
         ff16, "03000000000000000000000000000000"},
        {"A.3 #6: h + s wraps", "02000000000000000000000000000000ffffffffffffffffffffffffffffffff",
         std::string("\x02", 1) + std::string(15, '\0'), "03000000000000000000000000000000"},
        {"A.3 #7: carry through every limb",
         "0100000000000000000000000000000000000000000000000000000000000000",
         ff16 + "\xf0" + std::string(15, '\xff') + "\x11" + std::string(15, '\0'),
         "05000000000000000000000000000000"},
        {"A.3 #8: h is p exactly", "0100000000000000000000000000000000000000000000000000000000000000",
         ff16 + "\xfb" + std::string(15, '\xfe') + std::string(16, '\x01'),
         "00000000000000000000000000000000"},
        {"A.3 #9: h is p - 3", "0200000000000000000000000000000000000000000000000000000000000000",
         "\xfd" + std::string(15, '\xff'), "faffffffffffffffffffffffffffffff"},
        {"A.3 #10: 130-bit product", "0100000000000000040000000000000000000000000000000000000000000000",
         e3 + std::string("\x01", 1) + std::string(15, '\0'), "14000000000000005500000000000000"},
        {"A.3 #11: the same, a block less",
         "0100000000000000040000000000000000000000000000000000000000000000", e3.substr(0, 48),
         "13000000000000000000000000000000"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<uint8_t> key = bytes_of_hex(r.key);
        uint8_t tag[CHUNK_MAC_SIZE];
        ASSERT_EQ(poly1305_tag(key.data(), r.message.data(), r.message.size(), tag), 0);
        EXPECT_EQ(hex_of(tag, sizeof tag), r.tag);
    }
}

// The pin's chunk MAC against the openssl command line, which derives the
// one-time key (ChaCha20's first 32 bytes of keystream: 32 zero bytes
// encrypted, the IV the block counter 0 and the nonce) and computes Poly1305
// under it, for every length around the 16-byte block edges, fed in odd
// pieces: a nonce of another layout, a reused key or a lost piece shows. The
// first row's nonce is RFC 8439's 2.6.2, whose key it must derive.
TEST(Digest, ChunkMacIsPoly1305UnderAChaCha20KeyAsTheOpensslCommandLineComputesIt)
{
    expect_digest_path();
    sandbox_dir box("fwdeploy-mac");
    uint8_t key[CHUNK_MAC_KEY_SIZE];
    for (size_t i = 0; i < sizeof key; ++i)
        key[i] = (uint8_t)(0x80 + i);
    ASSERT_EQ(chunk_mac_key(key), 0);
    const size_t sizes[] = {0, 1, 15, 16, 17, 255, 256, 4097, 128 * 1024};
    const size_t pieces[] = {1, 15, 16, 17, 100, 4096, 65536};
    const uint64_t numbers[] = {0x0706050403020100ull, 0, 1, 0x100000000ull};
    std::string zeros = box.write("zeros", std::vector<uint8_t>(32, 0));
    for (uint64_t number : numbers) {
        char iv[33];
        snprintf(iv, sizeof iv, "0000000000000000");
        for (int i = 0; i < 8; ++i)
            snprintf(iv + 16 + 2 * i, 3, "%02x", (unsigned)(uint8_t)(number >> (8 * i)));
        run_options derive;
        derive.program = "openssl";
        derive.args = {"enc", "-chacha20", "-K", hex_of(key, sizeof key), "-iv", iv,
                       "-in", zeros, "-out", box.path("one-time")};
        ASSERT_EQ(run_program(derive).exit_code, 0);
        std::vector<uint8_t> one_time = read_file(box.path("one-time"));
        ASSERT_EQ(one_time.size(), 32u);
        if (number == numbers[0]) {
            ASSERT_EQ(hex_of(one_time.data(), 32),
                      "8ad5a08b905f81cc815040274ab29471a833b637e3fd0da508dbb8e2fdd1a646");
        }
        for (size_t size : sizes) {
            SCOPED_TRACE(std::to_string(size) + " bytes, chunk " + std::to_string(number));
            std::vector<uint8_t> data = pattern_bytes(size, (uint32_t)size + 5);
            std::string file = box.write("chunk", data);
            run_options mac;
            mac.program = "openssl";
            mac.args = {"mac", "-macopt", "hexkey:" + hex_of(one_time.data(), 32), "-in", file,
                        "Poly1305"};
            std::string expected = run_program(mac).out.substr(0, 32);
            std::transform(expected.begin(), expected.end(), expected.begin(), ::tolower);
            ASSERT_EQ(expected.size(), 32u);
            for (size_t first : pieces) {
                chunk_mac_begin(number);
                size_t at = 0;
                for (size_t i = 0; at < size; ++i) {
                    size_t n = std::min(size - at, i == 0 ? first : pieces[i % 7]);
                    chunk_mac_feed(data.data() + at, n);
                    at += n;
                }
                uint8_t tag[CHUNK_MAC_SIZE];
                chunk_mac_end(tag);
                ASSERT_EQ(hex_of(tag, sizeof tag), expected) << "first piece " << first;
            }
        }
    }
    chunk_mac_forget();
}

}  // namespace
