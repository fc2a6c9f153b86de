// Files and UBI volumes on this machine: real files in a scratch directory; a
// regular file stands for a volume device, which refuses the update request.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <climits>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "backends/file.h"
#include "backends/partition.h"
#include "backends/volume.h"
#include "tests/support/sandbox.h"

namespace {

void write_text(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    write_file(path, bytes_of(text), mode);
}

bool is_dir(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Every name under `dir`, relative to it, sorted.
std::vector<std::string> tree(const std::string& dir)
{
    static std::vector<std::string>* names;
    static size_t prefix;
    std::vector<std::string> found;
    names = &found;
    prefix = dir.size() + 1;
    nftw(dir.c_str(),
         [](const char* p, const struct stat*, int, FTW* ftw) {
             if (ftw->level > 0)
                 names->push_back(std::string(p).substr(prefix));
             return 0;
         },
         16, FTW_PHYS);
    std::sort(found.begin(), found.end());
    return found;
}

// Names a staged write left in `dir`.
std::vector<std::string> staging_names(const std::string& dir)
{
    std::vector<std::string> found;
    for (const std::string& name : dir_entries(dir))
        if (name.rfind(".fwdeploy-", 0) == 0)
            found.push_back(name);
    return found;
}

struct stat stat_of(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// Writes through a created or opened file and closes it as the engine does.
void fill_and_close(int fd, const std::string& text)
{
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write_file(fd, text.data(), (int)text.size()), (int)text.size());
    EXPECT_EQ(close_file(fd), 0);
}

class FileTarget : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = board_.root();
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        saved_umask_ = umask(022);
        fds_before_ = count_open_fds();
    }

    void TearDown() override
    {
        EXPECT_TRUE(child_processes().empty());
        EXPECT_EQ(count_open_fds(), fds_before_);
        umask(saved_umask_);
        EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
    }

    std::string at(const std::string& relative) const { return dir_ + "/" + relative; }

    sandbox_dir board_{"fwdeploy-file"};
    std::string dir_;
    std::string saved_cwd_;
    mode_t saved_umask_ = 022;
    int fds_before_ = 0;
};

TEST_F(FileTarget, CreateMakesParentDirectoriesAndTheFile)
{
    fill_and_close(create_file(at("data/app/new.bin").c_str(), 0640), "new");
    EXPECT_TRUE(is_dir(at("data/app")));
    EXPECT_EQ(read_text(at("data/app/new.bin")), "new");
    EXPECT_EQ(file_mode(at("data/app/new.bin")), 0640);
    // Directories as mkdir makes them: 0777 less the creation mask.
    EXPECT_EQ(file_mode(at("data")), 0755);
    EXPECT_EQ(file_mode(at("data/app")), 0755);

    // The diff temporary file: 0777 less the creation mask, beside the cwd.
    fill_and_close(create_file("./diff_tmp", 0777), "patch");
    EXPECT_EQ(file_mode(at("diff_tmp")), 0755);

    // No "/" at all: the current directory.
    fill_and_close(create_file("plain.bin", 0600), "plain");
    EXPECT_EQ(read_text(at("plain.bin")), "plain");

    // Doubled and relative slashes are still just directories.
    fill_and_close(create_file("rel//deep/./x.bin", 0644), "x");
    EXPECT_EQ(read_text(at("rel/deep/x.bin")), "x");

    // An existing file is cut to nothing and keeps its permission bits.
    write_text(at("data/app/old.bin"), "old contents", 0600);
    fill_and_close(create_file(at("data/app/old.bin").c_str(), 0777), "re");
    EXPECT_EQ(read_text(at("data/app/old.bin")), "re");
    EXPECT_EQ(file_mode(at("data/app/old.bin")), 0600);
}

TEST_F(FileTarget, CreateRefusesWhatIsNoFile)
{
    // A directory path: the directories stay, the open fails.
    testing::internal::CaptureStderr();
    EXPECT_EQ(create_file("dir/sub/", 0644), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open: Is a directory\n");
    EXPECT_TRUE(is_dir(at("dir/sub")));

    // A plain file where a parent directory should be.
    write_text(at("blocker"), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(create_file("blocker/x.bin", 0644), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open: Not a directory\n");
}

TEST_F(FileTarget, CreateNeverHandsThePathToAShell)
{
    // A package names its targets; none of these may run anything, here or in
    // the directory the tool was started from.
    const std::vector<std::string> names = {
        "a $(touch PWNED1)/b.bin",
        "c;touch PWNED2;/d.bin",
        "e`touch PWNED3`/f.bin",
        "g && touch PWNED4 #/h.bin",
        "i'\"|touch PWNED5/j.bin",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        fill_and_close(create_file(at(name).c_str(), 0644), "literal");
        EXPECT_EQ(read_text(at(name)), "literal");
    }
    for (const std::string& name : tree(dir_))
        EXPECT_FALSE(name.find("PWNED") == 0 || name.find("/PWNED") != std::string::npos) << name;
    // "mkdir -p" would have seen "touch" and "PWNED..." as directories to make.
    EXPECT_FALSE(file_exists(at("touch")));
}

TEST_F(FileTarget, CreateTakesPathsUpTo255Characters)
{
    // Build a path of exactly 255 characters under the scratch directory.
    std::string longest = dir_ + "/";
    while (longest.size() < 255 - 12)
        longest += std::string(std::min<size_t>(100, 255 - 12 - longest.size()), 'd') + "/";
    longest += std::string(255 - longest.size(), 'f');
    ASSERT_EQ(longest.size(), 255u);
    fill_and_close(create_file(longest.c_str(), 0644), "fits");
    EXPECT_EQ(read_text(longest), "fits");

    // One more character would be cut by the 256-byte field: refused, and nothing
    // comes into being, not even a directory.
    const std::string too_long = dir_ + "/toolong/" + std::string(256 - dir_.size() - 9, 'x');
    ASSERT_EQ(too_long.size(), 256u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(create_file(too_long.c_str(), 0644), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(file_exists(at("toolong")));
}

TEST_F(FileTarget, OpenTruncateReplacesOnlyAnExistingFile)
{
    write_text(at("config.txt"), "a long old configuration", 0604);
    fill_and_close(open_file_truncate(at("config.txt").c_str()), "new");
    EXPECT_EQ(read_text(at("config.txt")), "new");
    EXPECT_EQ(file_mode(at("config.txt")), 0604);

    testing::internal::CaptureStderr();
    EXPECT_EQ(open_file_truncate(at("missing.txt").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open: No such file or directory\n");
    EXPECT_FALSE(file_exists(at("missing.txt")));

    testing::internal::CaptureStderr();
    EXPECT_EQ(open_file_truncate(dir_.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open: Is a directory\n");
}

// A crash before the close leaves the old file whole: the new contents take its
// place only once complete, with its owner, group and every mode bit.
TEST_F(FileTarget, NewContentsTakeTheTargetsPlaceOnlyWhenClosed)
{
    const bool root = geteuid() == 0;
    struct { const char* what; std::string name; mode_t before; bool create; mode_t expected; } cases[] = {
        {"replace setuid", "su", 04755, false, 04755},
        {"replace setgid", "lib.so", 02750, false, 02750},
        {"create over an existing file", "conf", 06711, true, 06711},
        {"name of 250 characters", std::string(250, 'n'), 0640, false, 0640},
        {"new file", "tool", 0, true, 04755},   // 04777 less the mask
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = at(c.name);
        if (c.before != 0) {
            write_text(path, "old contents", c.before);
            // Root can show the owner kept, and that setuid survives the chown.
            if (root) {
                ASSERT_EQ(chown(path.c_str(), 1234, 1234), 0);
                ASSERT_EQ(chmod(path.c_str(), c.before), 0);
            }
        }
        int fd = c.create ? create_file(path.c_str(), 04777) : open_file_truncate(path.c_str());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(write_file(fd, "new", 3), 3);
        EXPECT_EQ(read_text(path), c.before != 0 ? "old contents" : "");
        EXPECT_EQ(file_exists(path), c.before != 0);
        EXPECT_EQ(staging_names(dir_).size(), 1u);
        EXPECT_EQ(close_file(fd), 0);
        EXPECT_EQ(read_text(path), "new");
        EXPECT_EQ(file_mode(path), (int)c.expected);
        if (root && c.before != 0) {
            EXPECT_EQ(stat_of(path).st_uid, 1234u);
            EXPECT_EQ(stat_of(path).st_gid, 1234u);
        }
        EXPECT_TRUE(staging_names(dir_).empty());
    }

    // Dropped after a failed copy: the old file stays, a free name stays free.
    write_text(at("config"), "old", 0644);
    int fd = open_file_truncate(at("config").c_str());
    EXPECT_EQ(write_file(fd, "half", 4), 4);
    EXPECT_EQ(discard_file(fd), 0);
    EXPECT_EQ(read_text(at("config")), "old");
    fd = create_file(at("fresh").c_str(), 0644);
    EXPECT_EQ(write_file(fd, "half", 4), 4);
    EXPECT_EQ(discard_file(fd), 0);
    EXPECT_FALSE(file_exists(at("fresh")));
    EXPECT_TRUE(staging_names(dir_).empty());

    // Nothing of a file that was closed or dropped reaches the next target,
    // which gets the same descriptor number: no bytes still waiting in the
    // buffer, no staging state, no rename to the first one's name.
    write_text(at("linked"), "old", 0644);
    ASSERT_EQ(link(at("linked").c_str(), at("linked.1").c_str()), 0);
    struct {
        const char* what;
        const char* first;            // the first target, relative
        bool create;
        bool keep;                    // closed, else dropped
        const char* first_after;      // what the first holds then ("": absent)
    } after[] = {
        {"a dropped new file", "next", true, false, ""},
        {"a closed staged file", "first", true, true, "first"},
        {"a closed file replaced through a staging file", "config", false, true, "first"},
        {"a closed file written in place", "linked", false, true, "first"},
    };
    for (const auto& a : after) {
        SCOPED_TRACE(a.what);
        const std::string first = at(a.first);
        fd = a.create ? create_file(first.c_str(), 0644) : open_file_truncate(first.c_str());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(write_file(fd, "first", 5), 5);
        EXPECT_EQ(a.keep ? close_file(fd) : discard_file(fd), 0);
        remove(at("second").c_str());
        int next = create_file(at("second").c_str(), 0644);
        ASSERT_EQ(next, fd) << "the descriptor number was not taken again";
        EXPECT_EQ(write_file(next, "second", 6), 6);
        EXPECT_EQ(read_text(first), a.first_after);
        EXPECT_EQ(close_file(next), 0);
        EXPECT_EQ(read_text(at("second")), "second");
        EXPECT_EQ(read_text(first), a.first_after);
        EXPECT_TRUE(staging_names(dir_).empty());
    }
}

TEST_F(FileTarget, StagedContentsArriveWholeAndInOrder)
{
    // Pieces of every size against the buffer staged writes wait in: smaller
    // than it, filling it exactly, overflowing it, larger than it while bytes
    // wait, and a second staged file written beside the first.
    std::vector<uint8_t> bytes = pattern_bytes(400000, 21);
    std::vector<uint8_t> beside_bytes = pattern_bytes(100000, 22);
    write_text(at("image.bin"), "old", 0644);
    int fd = open_file_truncate(at("image.bin").c_str());
    ASSERT_GE(fd, 0);
    std::vector<int> pieces = {1, 4095};
    for (int i = 0; i < 40; ++i)
        pieces.push_back(4096);       // as the engine writes: the buffer fills exactly
    for (int piece : {3, 70000, 5000, 131072, 1})
        pieces.push_back(piece);
    size_t at_byte = 0;
    for (int piece : pieces) {
        ASSERT_EQ(write_file(fd, bytes.data() + at_byte, piece), piece) << "at " << at_byte;
        at_byte += (size_t)piece;
    }
    int beside = create_file(at("beside.bin").c_str(), 0644);
    ASSERT_GE(beside, 0);
    for (size_t from = 0; from < 12288; from += 4096)
        ASSERT_EQ(write_file(beside, beside_bytes.data() + from, 4096), 4096);
    ASSERT_EQ(write_file(fd, bytes.data() + at_byte, (int)(bytes.size() - at_byte)),
              (int)(bytes.size() - at_byte));
    ASSERT_EQ(write_file(beside, beside_bytes.data() + 12288, 100000 - 12288), 100000 - 12288);
    EXPECT_EQ(read_text(at("image.bin")), "old");
    EXPECT_EQ(close_file(beside), 0);
    EXPECT_EQ(close_file(fd), 0);
    EXPECT_TRUE(read_file(at("image.bin")) == bytes);
    EXPECT_TRUE(read_file(at("beside.bin")) == beside_bytes);
    EXPECT_TRUE(staging_names(dir_).empty());
}

TEST_F(FileTarget, LeftoverOfAnInterruptedRunIsRemovedNeverFollowed)
{
    write_text(at("config"), "old", 0644);
    write_text(at("victim"), "victim", 0644);
    char staging[PATH_MAX];
    ASSERT_EQ(staging_path(at("config").c_str(), staging), 0);
    EXPECT_EQ(std::string(staging).rfind(dir_ + "/.fwdeploy-", 0), 0u) << staging;
    EXPECT_EQ(strlen(staging), dir_.size() + 1 + 26);

    // A link planted under the staging name is replaced, not written through.
    ASSERT_EQ(symlink(at("victim").c_str(), staging), 0);
    fill_and_close(open_file_truncate(at("config").c_str()), "new");
    EXPECT_EQ(read_text(at("victim")), "victim");
    EXPECT_EQ(read_text(at("config")), "new");

    // A half-written file left by a run that was killed.
    write_text(staging, "half", 0600);
    fill_and_close(create_file(at("config").c_str(), 0644), "newer");
    EXPECT_EQ(read_text(at("config")), "newer");
    EXPECT_EQ(dir_entries(dir_), (std::vector<std::string>{"config", "victim"}));
}

// Renaming over these would change what they are: they are written where they stand.
TEST_F(FileTarget, WhatARenameWouldChangeIsWrittenInPlace)
{
    // Every name of a hard-linked file sees the new contents.
    write_text(at("a"), "old", 0644);
    ASSERT_EQ(link(at("a").c_str(), at("b").c_str()), 0);
    ino_t inode = stat_of(at("a")).st_ino;
    int fd = open_file_truncate(at("a").c_str());
    ASSERT_GE(fd, 0);
    // Written in place, every write lands as it comes: nothing waits for the close.
    EXPECT_EQ(write_file(fd, "new", 3), 3);
    EXPECT_EQ(read_text(at("b")), "new");
    EXPECT_EQ(close_file(fd), 0);
    EXPECT_EQ(read_text(at("b")), "new");
    EXPECT_EQ(stat_of(at("a")).st_ino, inode);

    // A link stays a link; the file it names takes the contents, staged.
    write_text(at("real"), "old", 0600);
    ASSERT_EQ(symlink("real", at("link").c_str()), 0);
    fill_and_close(create_file(at("link").c_str(), 0644), "through the link");
    EXPECT_TRUE(S_ISLNK(stat_of(at("link")).st_mode));
    EXPECT_EQ(read_text(at("real")), "through the link");
    EXPECT_EQ(file_mode(at("real")), 0600);

    // A device stays a device.
    fill_and_close(open_file_truncate("/dev/null"), "into the void");
    EXPECT_TRUE(S_ISCHR(stat_of("/dev/null").st_mode));
    EXPECT_TRUE(staging_names(dir_).empty());
}

// A bind mount of a file from the same filesystem looks like any other file
// until the rename over it fails: the new contents go through its inode.
TEST_F(FileTarget, AFileWithAnotherMountedOverItIsWrittenThrough)
{
    write_text(at("config"), "what the mount hides", 0644);
    write_text(at("data"), "old", 0640);
    std::string target = at("config");
    int result = with_bind_mount(at("data"), target, [](void* path) {
        int fd = open_file_truncate(static_cast<std::string*>(path)->c_str());
        if (fd < 0 || write_full(fd, "new", 3) != 3)
            return 1;
        return close_file(fd) == 0 ? 0 : 2;
    }, &target);
    if (result < 0)
        GTEST_SKIP() << "this machine does not let the test bind-mount a file";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_text(at("data")), "new");
    EXPECT_EQ(file_mode(at("data")), 0640);
    EXPECT_EQ(read_text(at("config")), "what the mount hides");
    EXPECT_TRUE(staging_names(dir_).empty());
}

TEST_F(FileTarget, VolumeUpdateOpensTheDeviceEvenWhenTheRequestIsRefused)
{
    // A regular file does not know the update request; the descriptor comes
    // back all the same, without a word, and the writes decide.
    write_text(at("ubi0_1"), "0123456789");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int fd = open_ubi_volume(at("ubi0_1").c_str(), 6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write_full(fd, "volume", 6), 6);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(read_text(at("ubi0_1")), "volume6789");

    // A zero-byte update is announced like any other.
    fd = open_ubi_volume(at("ubi0_1").c_str(), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(close(fd), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(open_ubi_volume(at("ubi9_9").c_str(), 6), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open: No such file or directory\n");
    EXPECT_FALSE(file_exists(at("ubi9_9")));
}

}  // namespace
