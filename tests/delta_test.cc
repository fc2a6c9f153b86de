// fwbundle delta between two trees of real files, applied by the built fwdeploy
// to a copy of the old tree and compared with the new one entry by entry.
#include <gtest/gtest.h>

#ifdef FWBUNDLE_BIN

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"

namespace {

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void run_ok(const std::string& program, const std::vector<std::string>& args)
{
    run_options o;
    o.program = program;
    o.args = args;
    run_result r = run_program(o);
    ASSERT_EQ(r.exit_code, 0) << program << ": " << r.err;
}

// Everything about one entry that the board must reproduce.
std::string describe(const std::string& path, const struct stat& st)
{
    std::string d;
    char head[96];
    snprintf(head, sizeof head, "mode %05o owner %u:%u links %lu", st.st_mode & 07777,
             (unsigned)st.st_uid, (unsigned)st.st_gid,
             S_ISDIR(st.st_mode) ? 0ul : (unsigned long)st.st_nlink);
    if (S_ISREG(st.st_mode)) {
        std::vector<uint8_t> bytes = read_file(path);
        d = "file " + std::string(bytes.begin(), bytes.end());
    } else if (S_ISDIR(st.st_mode)) {
        d = "directory";
    } else if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = readlink(path.c_str(), target, sizeof target);
        d = "symlink to " + std::string(target, n > 0 ? (size_t)n : 0);
        return d + " owner " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        d = std::string(S_ISCHR(st.st_mode) ? "char " : "block ") +
            std::to_string(major(st.st_rdev)) + "," + std::to_string(minor(st.st_rdev));
    } else {
        d = "fifo";
    }
    return d + " " + head;
}

void describe_tree(const std::string& root, const std::string& relative,
                   std::map<std::string, std::string>* out,
                   std::map<ino_t, std::vector<std::string>>* inodes)
{
    std::string path = relative.empty() ? root : root + "/" + relative;
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
    (*out)[relative] = describe(path, st);
    if (!S_ISDIR(st.st_mode)) {
        (*inodes)[st.st_ino].push_back(relative);
        return;
    }
    for (const std::string& name : dir_entries(path))
        describe_tree(root, relative.empty() ? name : relative + "/" + name, out, inodes);
}

// Each entry described, with the other names of the tree that are the same
// file: a link count alone does not tell which names share it.
void describe_tree(const std::string& root, std::map<std::string, std::string>* out)
{
    std::map<ino_t, std::vector<std::string>> inodes;
    describe_tree(root, "", out, &inodes);
    for (const auto& [inode, names] : inodes)
        if (names.size() > 1)
            for (const std::string& name : names) {
                std::string group;
                for (const std::string& other : names)
                    if (other != name)
                        group += " " + other;
                (*out)[name] += " same file as" + group;
            }
}

// Every entry of `board` is what it is in `expected`, and no entry is missing
// or left over; a mismatch names the entry.
void expect_same_tree(const std::string& expected, const std::string& board)
{
    std::map<std::string, std::string> want, got;
    describe_tree(expected, &want);
    describe_tree(board, &got);
    for (const auto& [path, what] : want) {
        auto at = got.find(path);
        if (at == got.end())
            ADD_FAILURE() << "missing on the board: " << path;
        else if (at->second != what)
            ADD_FAILURE() << path << ":\n  want " << what.substr(0, 160) << "\n  got  "
                          << at->second.substr(0, 160);
    }
    for (const auto& [path, what] : got)
        if (want.count(path) == 0)
            ADD_FAILURE() << "left over on the board: " << path << " (" << what.substr(0, 80) << ")";
}

// The first file of `candidates` that exists, copied to `to` in the sandbox.
void copy_first(sandbox_dir& box, const std::vector<std::string>& candidates, const std::string& to)
{
    for (const std::string& c : candidates)
        if (file_exists(c)) {
            box.write(to, read_file(c), 0755);
            return;
        }
    FAIL() << "none of " << candidates.front() << "... exists";
}

// An old tree of binaries and libraries from this machine, and a new one made
// from it by every kind of change a delta has to carry.
struct two_trees {
    sandbox_dir box{"fwbundle-delta"};
    std::string old_tree = box.path("old");
    std::string new_tree = box.path("new");

    two_trees()
    {
        const char* tools[] = {"true", "false", "echo", "cat", "env", "head", "tail", "wc",
                               "sort", "cut", "tr", "basename", "dirname", "sleep", "tee", "yes"};
        for (const char* tool : tools)
            copy_first(box, {std::string("/usr/bin/") + tool, std::string("/bin/") + tool},
                       std::string("old/bin/") + tool);
        copy_first(box, {"/usr/lib/x86_64-linux-gnu/libz.so.1", "/lib/x86_64-linux-gnu/libz.so.1",
                         "/usr/lib/arm-linux-gnueabihf/libz.so.1"},
                   "old/lib/libz.so.1.2");
        old_files();
        run_ok("cp", {"-a", old_tree, new_tree});
        new_files();
    }

    std::string o(const std::string& p) const { return old_tree + "/" + p; }
    std::string n(const std::string& p) const { return new_tree + "/" + p; }

    void old_files()
    {
        chmod(o("lib/libz.so.1.2").c_str(), 0644);
        symlink("libz.so.1.2", o("lib/libz.so.1").c_str());
        symlink("../run", o("lib/plugins").c_str());            // becomes a directory
        box.write("old/etc/motd", "firmware 1.0\n");
        box.write("old/etc/app.conf", pattern_bytes(30000, 3));
        box.write("old/share/doc/gone/README", "removed with its directory\n");
        box.write("old/share/doc/gone/deeper/NOTES", "this too\n");
        box.write("old/file-to-dir", "a file, then a directory\n");
        box.write("old/dir-to-file/inside", "a directory, then a file\n");
        box.write("old/dir-to-link/inside", "a directory, then a link\n");
        box.write("old/linked-a", pattern_bytes(5000, 4));
        link(o("linked-a").c_str(), o("linked-b").c_str());     // one file, two names
        box.make_dir("old/run");
        symlink("../run", box.make_dir("old/var").append("/run").c_str());
        box.make_dir("old/srv");
        chmod(o("srv").c_str(), 02775);
        box.make_dir("old/dev");
        mknod(o("dev/null").c_str(), S_IFCHR | 0666, makedev(1, 3));
        mknod(o("dev/gone").c_str(), S_IFCHR | 0600, makedev(1, 8));
        mkfifo(o("dev/initctl").c_str(), 0600);
        chown(o("bin/wc").c_str(), 1000, 1000);
    }

    void new_files()
    {
        // Changed contents: a patch where it pays, a whole file where it does not.
        write_file(n("bin/true"), read_file(o("bin/false")), 0755);
        std::vector<uint8_t> echo = read_file(o("bin/echo"));
        for (size_t i = 1000; i < echo.size(); i += 4099)
            echo[i] ^= 0x55;
        write_file(n("bin/echo"), echo, 0755);
        std::vector<uint8_t> libz = read_file(o("lib/libz.so.1.2"));
        libz.insert(libz.begin() + 5000, 300, 0x90);
        box.write("new/lib/libz.so.1.3", libz);
        unlink(n("lib/libz.so.1.2").c_str());
        unlink(n("lib/libz.so.1").c_str());
        symlink("libz.so.1.3", n("lib/libz.so.1").c_str());    // retargeted
        box.write("new/etc/motd", "firmware 2.0\n");
        box.write("new/etc/app.conf", pattern_bytes(30000, 5));  // nothing in common
        unlink(n("bin/sleep").c_str());
        // New files, with owners, modes that a umask would spoil, setuid.
        write_file(n("bin/new-tool"), read_file(o("bin/head")), 04750);
        chown(n("bin/new-tool").c_str(), 0, 50);
        chmod(n("bin/new-tool").c_str(), 04750);
        box.write("new/opt/app/data/state", "new state\n", 0640);
        chown(n("opt/app/data").c_str(), 1000, 1000);
        chmod(n("opt/app").c_str(), 0750);
        box.make_dir("new/mnt/usb");
        chmod(n("mnt/usb").c_str(), 0700);
        // Modes and owners of files whose contents stay.
        chmod(n("bin/cat").c_str(), 0700);
        chown(n("bin/env").c_str(), 123, 456);
        chmod(n("bin/env").c_str(), 04755);
        chown(n("bin/wc").c_str(), 0, 0);
        chmod(n("srv").c_str(), 0755);
        // Gone, and changes of kind.
        remove_tree(n("share/doc/gone"));
        unlink(n("file-to-dir").c_str());
        box.write("new/file-to-dir/now-inside", "inside\n");
        remove_tree(n("dir-to-file"));
        box.write("new/dir-to-file", "now a file\n");
        remove_tree(n("dir-to-link"));
        symlink("run", n("dir-to-link").c_str());
        // Its file must not land in run/ through the old link.
        unlink(n("lib/plugins").c_str());
        box.write("new/lib/plugins/codec.so", "x\n");
        unlink(n("var/run").c_str());
        symlink("/run", n("var/run").c_str());
        // Hard links: a new one, and an old pair of which one name changes.
        link(n("bin/new-tool").c_str(), n("bin/new-tool-alias").c_str());
        std::vector<uint8_t> a = read_file(o("linked-a"));
        a[10] ^= 1;
        unlink(n("linked-a").c_str());
        write_file(n("linked-a"), a, 0644);
        // Nodes.
        unlink(n("dev/gone").c_str());
        mknod(n("dev/zero").c_str(), S_IFCHR | 0666, makedev(1, 5));
        unlink(n("dev/null").c_str());
        mknod(n("dev/null").c_str(), S_IFCHR | 0666, makedev(1, 7));
        mkfifo(n("dev/fifo").c_str(), 0620);
    }

    // A copy of the old tree at `name` in the sandbox, as a board holds it.
    std::string board_copy(const std::string& name)
    {
        std::string board = box.path(name);
        run_ok("cp", {"-a", old_tree, board});
        return board;
    }

    // fwdeploy with these arguments, under a umask that would spoil every mode
    // it makes itself.
    run_result apply(const std::vector<std::string>& args)
    {
        run_options o;
        o.program = "sh";
        o.args = {"-c", "umask 077; exec \"$0\" \"$@\"", FWDEPLOY_BIN, "-t", box.make_dir("tmp")};
        o.args.insert(o.args.end(), args.begin(), args.end());
        return run_program(o);
    }

    // A copy of the old tree whose bin/echo, the first file the delta patches,
    // is not what the old tree holds; returns the board's own bin/echo.
    std::vector<uint8_t> spoil_echo(const std::string& board)
    {
        std::vector<uint8_t> local = read_file(board + "/bin/echo");
        local[500] ^= 1;
        write_file(board + "/bin/echo", local, 0755);
        return local;
    }
};

}  // namespace

TEST(FwbundleDelta, TurnsACopyOfTheOldTreeIntoTheNewOne)
{
    two_trees t;
    std::string board = t.board_copy("board");
    std::string pkg = t.box.path("delta.bin");
    run_result r = run_fwbundle({"delta", t.old_tree, t.new_tree, "-o", pkg, "--prefix", board});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // bin/echo and bin/true are patched; etc/motd and etc/app.conf are too small
    // or too different for a patch to pay; the old pair linked-a and linked-b is
    // taken apart, each name made anew.
    EXPECT_TRUE(contains(r.out, pkg + ": 2 files patched, 2 replaced, 8 created, 4 deleted; "))
        << r.out;

    run_result applied = t.apply({"-r", pkg});
    EXPECT_EQ(applied.exit_code, 0) << applied.out << applied.err;
    EXPECT_TRUE(contains(applied.out, "OTA UPDATA STATUS: 0")) << applied.out;
    expect_same_tree(t.new_tree, board);
    EXPECT_TRUE(read_file(t.old_tree + "/linked-b") == read_file(board + "/linked-b"));
}

// Trees that differ in nothing but what a file is besides its bytes: owners
// and groups (of links too, which a chown without -h would pass on to what
// they point at), every mode bit, setuid and setgid through a change of
// owner, link targets, which names are one file, device numbers.
TEST(FwbundleDelta, ChangesOfMetadataAloneReachTheBoard)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "owners and device nodes need root";
    sandbox_dir box("fwbundle-delta");
    auto in = [&](const std::string& tree, const std::string& p) { return box.path(tree + "/" + p); };
    std::vector<uint8_t> tool = pattern_bytes(3000, 7);
    for (const char* tree : {"old", "new"}) {
        box.write(std::string(tree) + "/bin/su", tool, 0755);
        box.write(std::string(tree) + "/bin/mount", tool, 0755);
        box.write(std::string(tree) + "/bin/crontab", tool, 0755);
        box.write(std::string(tree) + "/etc/shadow", "secret\n", 0644);
        box.write(std::string(tree) + "/etc/target", "pointed at\n", 0644);
        box.write(std::string(tree) + "/etc/other", "also pointed at\n", 0644);
        box.write(std::string(tree) + "/lib/a.so", tool, 0644);
        box.write(std::string(tree) + "/lib/b.so", tool, 0644);
        box.write(std::string(tree) + "/lib/c.so", tool, 0644);
        box.write(std::string(tree) + "/lib/d.so", tool, 0644);
        box.make_dir(std::string(tree) + "/srv/spool");
        box.make_dir(std::string(tree) + "/dev");
    }
    // Old: plain modes and root's; pairs that are one file, or two.
    chmod(in("old", "bin/su").c_str(), 04755);
    chmod(in("old", "bin/crontab").c_str(), 02755);
    chown(in("old", "bin/mount").c_str(), 1000, 1000);
    chmod(in("old", "bin/mount").c_str(), 04750);
    symlink("target", in("old", "etc/link").c_str());
    symlink("target", in("old", "etc/retargeted").c_str());
    chmod(in("old", "srv/spool").c_str(), 0755);
    ASSERT_EQ(link(in("old", "lib/a.so").c_str(), in("old", "lib/a.so.1").c_str()), 0);
    ASSERT_EQ(link(in("old", "lib/c.so").c_str(), in("old", "lib/c.so.1").c_str()), 0);
    mknod(in("old", "dev/ttyS0").c_str(), S_IFCHR | 0620, makedev(4, 64));
    mknod(in("old", "dev/mmcblk0").c_str(), S_IFBLK | 0660, makedev(179, 0));
    mknod(in("old", "dev/kind").c_str(), S_IFCHR | 0600, makedev(8, 1));
    // New: the same bytes everywhere.
    chown(in("new", "bin/su").c_str(), 0, 50);            // setuid survives the chown
    chmod(in("new", "bin/su").c_str(), 04755);
    chown(in("new", "bin/crontab").c_str(), 0, 107);      // setgid too
    chmod(in("new", "bin/crontab").c_str(), 02755);
    chown(in("new", "bin/mount").c_str(), 0, 0);
    chmod(in("new", "bin/mount").c_str(), 04750);
    chmod(in("new", "etc/shadow").c_str(), 0640);         // mode alone
    chown(in("new", "etc/shadow").c_str(), 0, 42);
    symlink("target", in("new", "etc/link").c_str());
    ASSERT_EQ(lchown(in("new", "etc/link").c_str(), 1000, 1001), 0);
    symlink("other", in("new", "etc/retargeted").c_str());
    chmod(in("new", "srv/spool").c_str(), 01777);          // sticky
    chown(in("new", "srv/spool").c_str(), 1000, 1000);
    // a.so and a.so.1 are taken apart; b.so and b.so.1 become one file; c.so.1
    // leaves c.so for d.so.
    write_file(in("new", "lib/a.so.1"), tool, 0644);
    ASSERT_EQ(link(in("new", "lib/b.so").c_str(), in("new", "lib/b.so.1").c_str()), 0);
    ASSERT_EQ(link(in("new", "lib/d.so").c_str(), in("new", "lib/c.so.1").c_str()), 0);
    mknod(in("new", "dev/ttyS0").c_str(), S_IFCHR | 0620, makedev(4, 65));
    mknod(in("new", "dev/mmcblk0").c_str(), S_IFBLK | 0660, makedev(179, 8));
    mknod(in("new", "dev/kind").c_str(), S_IFBLK | 0600, makedev(8, 1));
    // The comparison itself tells the trees apart, and a changed hard-link
    // group is seen by the names that share the file.
    std::map<std::string, std::string> old_described, new_described;
    describe_tree(box.path("old"), &old_described);
    describe_tree(box.path("new"), &new_described);
    EXPECT_NE(old_described["lib/c.so"], new_described["lib/c.so"]);
    EXPECT_NE(old_described["etc/link"], new_described["etc/link"]);

    run_ok("cp", {"-a", box.path("old"), box.path("board")});
    std::string board = box.path("board");
    expect_same_tree(box.path("old"), board);
    std::string pkg = box.path("delta.bin");
    run_result r = run_fwbundle({"delta", box.path("old"), box.path("new"), "-o", pkg,
                                 "--prefix", board});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    run_options o;
    o.program = "sh";
    o.args = {"-c", "umask 077; exec \"$0\" \"$@\"", FWDEPLOY_BIN, "-t", box.make_dir("tmp"),
              "-r", pkg};
    run_result applied = run_program(o);
    EXPECT_TRUE(contains(applied.out, "OTA UPDATA STATUS: 0")) << applied.out;
    EXPECT_EQ(applied.err, "");
    expect_same_tree(box.path("new"), board);
}

TEST(FwbundleDelta, APatchedFileThatIsNotItsBaseIsRefusedAndKeepsItsContents)
{
    two_trees t;
    std::string board = t.board_copy("board");
    std::string pkg = t.box.path("delta.bin");
    ASSERT_EQ(run_fwbundle({"delta", t.old_tree, t.new_tree, "-o", pkg, "--prefix", board})
                  .exit_code, 0);
    run_result listed = run_fwbundle({"list", pkg});
    EXPECT_TRUE(contains(listed.out, "trailer: version 2, unsigned, 2 result digests"))
        << listed.out;

    std::vector<uint8_t> local = t.spoil_echo(board);
    run_result r = t.apply({"-r", pkg});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "Patch result for " + board + "/bin/echo does not match the "
                                "package: the file keeps its old contents\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: -1")) << r.out;
    // The first block failed: the board is the old tree with its own bin/echo,
    // and nothing of the patch is left beside it.
    write_file(t.old_tree + "/bin/echo", local, 0755);
    expect_same_tree(t.old_tree, board);
}

TEST(FwbundleDelta, SignedAndSignedAgainTheListStaysChecked)
{
    two_trees t;
    openssl_key key = make_openssl_key(t.box, "release");
    openssl_key other = make_openssl_key(t.box, "other");
    std::string board = t.board_copy("board");
    std::string plain = t.box.path("unsigned.bin");
    std::string pkg = t.box.path("delta.bin.gz");
    std::vector<std::string> delta = {"delta", t.old_tree, t.new_tree, "--prefix", board, "-o"};
    ASSERT_EQ(run_fwbundle(delta + std::vector<std::string>{plain}).exit_code, 0);
    run_result r = run_fwbundle(delta + std::vector<std::string>{pkg, "--gzip", "--sign",
                                                                  key.private_pem});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, pkg + ": signed by key ")) << r.out;
    r = t.apply({"-x", pkg, "-k", key.public_pem});
    EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: 0")) << r.out;
    expect_same_tree(t.new_tree, board);

    // Signed elsewhere: what the signer gets is the unsigned package file.
    run_result payload = run_fwbundle({"payload", pkg});
    ASSERT_EQ(payload.exit_code, 0) << payload.err;
    EXPECT_TRUE(bytes_of(payload.out) == read_file(plain));
    std::string message = t.box.write("payload", payload.out);
    run_options openssl;
    openssl.program = "openssl";
    openssl.args = {"dgst", "-sha256", "-sign", other.private_pem, "-out", t.box.path("sig"), message};
    ASSERT_EQ(run_program(openssl).exit_code, 0);
    r = run_fwbundle({"attach-signature", pkg, t.box.path("sig"), "--pubkey", other.public_pem});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(run_fwbundle({"verify", "--keys", other.public_pem, pkg}).exit_code, 0);
    // And signed again here: the list is still there, and still checked.
    r = run_fwbundle({"sign", "-k", key.private_pem, pkg});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    run_result listed = run_fwbundle({"list", pkg});
    EXPECT_TRUE(contains(listed.out, "trailer: version 2, signed (")) << listed.out;
    EXPECT_TRUE(contains(listed.out, ", 2 result digests")) << listed.out;
    remove_tree(board);
    board = t.board_copy("board");
    t.spoil_echo(board);
    r = t.apply({"-x", pkg, "-k", key.public_pem});
    EXPECT_TRUE(contains(r.out, "Patch result for " + board + "/bin/echo does not match"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: -1")) << r.out;
}

// Setuid and setgid files on a board where the package stopped after any of its
// blocks, or inside the finish script after the owners and before the modes:
// a file that carries either bit has exactly the contents, owner and mode one
// of the trees gives it.
TEST(FwbundleDelta, NoStopLeavesSetuidOnContentsOrOwnersItWasNotMeantFor)
{
    sandbox_dir box("fwbundle-delta");
    std::string old_tree = box.path("old"), new_tree = box.path("new");
    std::vector<uint8_t> su = pattern_bytes(40000, 7);
    box.write("old/bin/su", su, 04755);                    // patched, stays setuid root
    box.write("old/bin/shell", pattern_bytes(3000, 8), 04755);  // becomes a plain tool
    box.write("old/bin/kept", "setuid, unchanged\n", 04711);
    box.write("old/bin/group", "old group tool\n", 02755);
    run_ok("cp", {"-a", old_tree, new_tree});
    su[1000] ^= 0x20;
    write_file(new_tree + "/bin/su", su, 04755);
    write_file(new_tree + "/bin/shell", pattern_bytes(3000, 9), 0755);
    box.write("new/bin/group", "new group tool\n", 02755);
    box.write("new/bin/tool", "runs as its user\n", 04750);  // setuid for a plain user
    chown(box.path("new/bin/tool").c_str(), 1000, 50);
    chmod(box.path("new/bin/tool").c_str(), 04750);
    box.write("new/etc/late", "the last file block\n");
    for (const char* name : {"su", "shell", "kept", "group"})
        chmod((new_tree + "/bin/" + name).c_str(), file_mode(new_tree + "/bin/" + name));

    std::string manifest = box.make_dir("m") + "/delta.toml";
    run_result made = run_fwbundle({"delta", old_tree, new_tree, "-o", box.path("full.bin"),
                                    "--prefix", box.path("board"), "--manifest-out", manifest});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    EXPECT_TRUE(contains(made.out, ": 1 files patched, 2 replaced, 2 created, 0 deleted; "))
        << made.out;

    // The package cut after its first `count` blocks, as a power cut leaves it;
    // `finish_cut` ends it with the finish script's lines before its first chmod.
    std::string text = read_text(manifest);
    std::vector<std::string> blocks;
    for (size_t at = text.find("\n[[block]]\n"); at != std::string::npos;) {
        size_t next = text.find("\n[[block]]\n", at + 1);
        blocks.push_back(text.substr(at, next == std::string::npos ? next : next - at));
        at = next;
    }
    ASSERT_EQ(blocks.size(), 7u);
    ASSERT_TRUE(contains(blocks.front(), "delta-strip-setid")) << blocks.front();
    ASSERT_TRUE(contains(blocks.back(), "delta-finish")) << blocks.back();
    std::string finish = read_text(box.path("m/delta-delta-finish.sh"));
    size_t chown_at = finish.find("chown ");
    size_t chmod_at = finish.find("chmod ");
    ASSERT_TRUE(chown_at != std::string::npos && chown_at < chmod_at) << finish;
    box.write("m/cut-finish.sh", finish.substr(0, chmod_at));

    auto cut = [&](size_t count, bool finish_cut) {
        std::string toml;
        for (size_t i = 0; i < count; ++i)
            toml += blocks[i];
        if (finish_cut)
            toml += "\n[[block]]\noperation = \"script\"\ntarget = \"cut\"\n"
                    "source = \"cut-finish.sh\"\n";
        box.write("m/cut.toml", toml);
        run_result r = run_fwbundle({"create", "-o", box.path("cut.bin"), box.path("m/cut.toml")});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return box.path("cut.bin");
    };
    auto tree_file = [](const std::string& path, struct stat* st) {
        return lstat(path.c_str(), st) == 0 ? read_file(path) : std::vector<uint8_t>{};
    };
    for (size_t count = 0; count <= blocks.size(); ++count) {
        bool finish_cut = count == blocks.size() - 1;
        SCOPED_TRACE("stopped after " + std::to_string(count) + " blocks" +
                     (finish_cut ? " and the owners" : ""));
        std::string board = box.path("board");
        run_ok("cp", {"-a", old_tree, board});
        run_result r = run_fwdeploy({"-r", count == blocks.size() ? box.path("full.bin")
                                                                  : cut(count, finish_cut)});
        EXPECT_TRUE(contains(r.out, "OTA UPDATA STATUS: 0")) << r.out;
        for (const std::string& name : dir_entries(board + "/bin")) {
            struct stat st, o, n;
            std::vector<uint8_t> bytes = tree_file(board + "/bin/" + name, &st);
            if ((st.st_mode & 06000) == 0)
                continue;
            std::vector<uint8_t> old_bytes = tree_file(old_tree + "/bin/" + name, &o);
            std::vector<uint8_t> new_bytes = tree_file(new_tree + "/bin/" + name, &n);
            auto same = [&](const struct stat& t, const std::vector<uint8_t>& b) {
                return b == bytes && t.st_uid == st.st_uid && t.st_gid == st.st_gid &&
                       t.st_mode == st.st_mode;
            };
            EXPECT_TRUE(same(n, new_bytes) || same(o, old_bytes))
                << "bin/" << name << " is setuid or setgid, owner " << st.st_uid << ":"
                << st.st_gid;
        }
        if (count == blocks.size())
            expect_same_tree(new_tree, board);
        remove_tree(board);
    }
}

// NEW unpacked into a directory made by mktemp -d is 0700; with the default
// prefix a chmod of the top directory would lock every service out of "/".
TEST(FwbundleDelta, TheTopDirectoryIsLeftAloneUnlessAskedFor)
{
    sandbox_dir box("fwbundle-delta");
    box.write("old/etc/motd", "1.0\n");
    box.write("new/etc/motd", "2.0\n");
    chmod(box.path("old").c_str(), 0755);
    chmod(box.path("new").c_str(), 0700);
    ASSERT_EQ(chown(box.path("new").c_str(), 1000, 50), 0);
    std::string pkg = box.path("p.bin");
    std::string board = box.path("board");
    for (bool asked : {false, true}) {
        SCOPED_TRACE(asked ? "--root-attributes" : "by default");
        run_ok("cp", {"-a", box.path("old"), board});
        std::vector<std::string> args = {"delta", box.path("old"), box.path("new"), "-o", pkg,
                                         "--prefix", board};
        if (asked)
            args.push_back("--root-attributes");
        run_result r = run_fwbundle(args);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        std::string note = pkg + ": the top directories differ (" + box.path("old") +
                           " 0755 0:0, " + box.path("new") + " 0700 1000:50); the board's is "
                           "left as it is (--root-attributes sets it)\n";
        EXPECT_EQ(contains(r.out, note), !asked) << r.out;
        run_result applied = run_fwdeploy({"-r", pkg});
        EXPECT_TRUE(contains(applied.out, "OTA UPDATA STATUS: 0")) << applied.out;
        struct stat st;
        ASSERT_EQ(stat(board.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, asked ? 0700u : 0755u);
        EXPECT_EQ(st.st_uid, asked ? 1000u : 0u);
        EXPECT_EQ(read_text(board + "/etc/motd"), "2.0\n");
        remove_tree(board);
    }
    // Alike, they give no note.
    chmod(box.path("new").c_str(), 0755);
    ASSERT_EQ(chown(box.path("new").c_str(), 0, 0), 0);
    run_result r = run_fwbundle({"delta", box.path("old"), box.path("new"), "-o", pkg});
    EXPECT_FALSE(contains(r.out, "top directories")) << r.out;
}

TEST(FwbundleDelta, SameTreesGiveTheSameBytesAndTheManifestPacksThem)
{
    two_trees t;
    std::string first = t.box.path("first.bin");
    std::string second = t.box.path("second.bin");
    std::string manifest = t.box.path("m/delta.toml");
    t.box.make_dir("m");
    for (bool gzip : {false, true}) {
        SCOPED_TRACE(gzip ? "gzip" : "plain");
        auto delta = [&](const std::string& out) {
            // Attributes too: the manifest carries them, quotes and all.
            std::vector<std::string> args = {"delta", t.old_tree, t.new_tree, "--prefix", "/",
                                             "--manifest-out", manifest, "-o", out,
                                             "--compatible", "board-a", "--compatible",
                                             "board \"b\"", "--version", "2.0",
                                             "--description", "a\\b"};
            if (gzip)
                args.insert(args.begin() + 1, "--gzip");
            return run_fwbundle(args).exit_code;
        };
        ASSERT_EQ(delta(first), 0);
        ASSERT_EQ(delta(second), 0);
        EXPECT_TRUE(read_file(first) == read_file(second));
        std::vector<std::string> create = {"create", "-o", second, manifest};
        if (gzip)
            create.insert(create.begin() + 1, "--gzip");
        run_result r = run_fwbundle(create);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(read_file(first) == read_file(second));
    }
    EXPECT_EQ(dir_entries(t.box.path("m")),
              (std::vector<std::string>{"delta-delta-finish.sh", "delta-delta-prepare.sh",
                                        "delta.toml"}));
}

TEST(FwbundleDelta, ATreeAgainstItselfHoldsNoBlocks)
{
    two_trees t;
    std::string pkg = t.box.path("none.bin");
    run_result r = run_fwbundle({"delta", t.new_tree, t.new_tree + "/", "-o", pkg});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, pkg + ": 0 files patched, 0 replaced, 0 created, 0 deleted; "
                                      "0 script lines\n")) << r.out;
    run_result listed = run_fwbundle({"list", pkg});
    EXPECT_TRUE(contains(listed.out, "format version 0.4, 0 blocks")) << listed.out;
}

TEST(FwbundleDelta, OddNamesSurviveTheScriptsUnchanged)
{
    // Names the shell would split, expand, glob or take for options, as files,
    // directories, links and link targets; the prefix itself starts with a dash.
    sandbox_dir box("fwbundle-delta");
    const std::vector<std::string> names = {
        "with space", "it's", "$HOME", "`id`", "$(id)", "new\nline", "-rf", "--", "-",
        "*", "a\\b", "tab\there", "semi;colon", "amp&er", "pipe|x", "\"quoted\"", "~user",
        "#hash", "{a,b}", "ünïcode"};
    box.make_dir("old");
    box.make_dir("new");
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        box.write("old/files/" + name, "old " + name);
        box.write("new/files/" + name, "new " + name, i % 2 == 0 ? 0600 : 0755);
        box.make_dir("new/dirs/" + name + "/" + name);
        chmod(box.path("new/dirs/" + name).c_str(), 0751);
        symlink(name.c_str(), box.path("new/links-" + std::to_string(i)).c_str());
        box.write("old/gone/" + name, "old");
        symlink("x", box.path("old/gone/" + name + "-link").c_str());
        mkfifo(box.path("new/fifo " + name).c_str(), 0640);
    }
    std::string cwd = box.make_dir("work");
    run_ok("cp", {"-a", box.path("old"), cwd + "/-board"});
    run_result r = run_fwbundle({"delta", box.path("old"), box.path("new"), "-o", box.path("p.bin"),
                                 "--prefix=-board"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The script as a board runs it: busybox's shell and tools.
    std::string tools = box.make_dir("busybox");
    for (const char* tool : {"sh", "rm", "ln", "mkdir", "rmdir", "chmod", "chown", "mknod"})
        ASSERT_EQ(symlink(file_exists("/usr/bin/busybox") ? "/usr/bin/busybox" : "/bin/busybox",
                          (tools + "/" + tool).c_str()), 0);
    run_options o;
    o.program = FWDEPLOY_BIN;
    o.args = {"-r", box.path("p.bin")};
    o.cwd = cwd;
    o.path_prefix = tools;
    run_result applied = run_program(o);
    EXPECT_TRUE(contains(applied.out, "OTA UPDATA STATUS: 0")) << applied.out;
    EXPECT_EQ(applied.err, "");
    expect_same_tree(box.path("new"), cwd + "/-board");
    EXPECT_EQ(dir_entries(cwd), std::vector<std::string>{"-board"});
}

TEST(FwbundleDelta, RefusesWhatItCannotCarryAndLeavesNothing)
{
    sandbox_dir box("fwbundle-delta");
    box.write("old/a", "a");
    box.write("new/a", "b");
    box.write("file", "not a tree");
    box.write("long/" + std::string(200, 'x') + "/" + std::string(60, 'y'), "deep");
    box.write("bad/\xff\xfe", "not UTF-8");
    std::string out = box.make_dir("out") + "/p.bin";
    struct refused {
        const char* name;
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<refused> cases = {
        {"missing tree", {box.path("none"), box.path("new")}, box.path("none") + ": No such file"},
        {"file for a tree", {box.path("old"), box.path("file")}, box.path("file") + ": not a directory"},
        {"target too long", {box.path("old"), box.path("long"), "--prefix", "/data/apps"},
         "/data/apps/" + std::string(200, 'x') + "/" + std::string(60, 'y') +
             ": a target of 272 characters; the board takes 255 at most"},
        {"empty prefix", {box.path("old"), box.path("new"), "--prefix", ""},
         "--prefix: an empty directory name"},
        {"name a manifest cannot hold",
         {box.path("old"), box.path("bad"), "--manifest-out", box.path("out/m.toml")},
         "is not UTF-8, which a TOML manifest cannot hold"},
    };
    for (const refused& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"delta", "-o", out};
        args.insert(args.end(), c.args.begin(), c.args.end());
        run_result r = run_fwbundle(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(contains(r.err, "fwbundle: ")) << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_EQ(dir_entries(box.path("out")), std::vector<std::string>{});
    }

    // A socket cannot travel: it is left out with a warning.
    std::string socket_path = box.path("new/sock");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
    run_result r = run_fwbundle({"delta", box.path("old"), box.path("new"), "-o", out});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "fwbundle: warning: " + socket_path +
                         ": a socket, which no package can carry: left out\n");

    // Interrupted while bsdiff runs: no package, no scratch directory, no bsdiff.
    write_file(out, bytes_of("old package"));
    box.write("standins/bsdiff", "#!/bin/sh\nprintf partial > \"$3\"\nkill -TERM $PPID\nexec sleep 30\n",
              0755);
    box.write("old/big", pattern_bytes(4000, 1));
    box.write("new/big", pattern_bytes(4000, 2));
    std::string scratch = box.make_dir("scratch");
    r = run_fwbundle({"delta", box.path("old"), box.path("new"), "-o", out}, "",
                     {{"TMPDIR", scratch}}, box.path("standins"));
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(r.leftover_processes, 0);
    EXPECT_EQ(read_text(out), "old package");
    EXPECT_EQ(dir_entries(box.path("out")), std::vector<std::string>{"p.bin"});
    EXPECT_EQ(dir_entries(scratch), std::vector<std::string>{});
}

#endif  // FWBUNDLE_BIN
