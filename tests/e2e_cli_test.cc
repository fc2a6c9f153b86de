// The built fwdeploy on its command line: banners, usage, option handling.
#include <gtest/gtest.h>

#include <csignal>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <grp.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/scoped.h"

#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"

namespace {

const std::vector<std::string> USAGE = {
    "This tool can unpackage the file you give to do upgrade.",
    "Unpackage support compressed or normal file by using different option.",
    "'bspatch' is inside to do differential upgrade.",
    "Usage:",
    "To unpackage compressed file.",
    "    fwdeploy -x NorvaleOta.bin.gz",
    "To unpackage a normal file.",
    "    fwdeploy -r NorvaleOta.bin",
    "If the package has data to do differential upgrade, you should provide a writable path to "
    "store temporary file.",
    "    fwdeploy -r NorvaleOta.bin -t /tmp",
    "    fwdeploy -x NorvaleOta.bin.gz -t /tmp",
    "Option -p [file] is to show the pictures(jpeg, png) while upgrading",
    "    fwdeploy -x NorvaleOta.bin.gz -t /tmp -p logo.jpg",
    "Option -s [opt] is to show the ui rotation while upgrading. 0: no rotation 1: 90 2: 180 3 "
    "270",
    "Option -k [file] names the trusted public keys (PEM) whose signature a package must carry",
    "Option -c [string] is this board's compatibility string, which a package must name",
    "Option -m [version] is the installed version: older packages are refused",
    "Option -n only checks the package: nothing runs and nothing is written",
    "Option -l lists the slots and the boot loader's state as key=value lines",
    "Option -g confirms the booted slot: its boot attempts go back to the maximum",
};

// The lines after the front end's two banner lines, which every run prints first.
std::vector<std::string> after_banner(const run_result& r)
{
    std::vector<std::string> lines = split_lines(r.out);
    EXPECT_GE(lines.size(), 2u) << r.out;
    if (lines.size() < 2)
        return {};
    EXPECT_EQ(lines[0].rfind(std::string(FWDEPLOY_BIN) + " commit: ", 0), 0u) << lines[0];
    return std::vector<std::string>(lines.begin() + 2, lines.end());
}

// A valid package of one file replacement, and the board it applies to.
struct small_setup {
    sandbox_dir box;
    std::string package;
    std::string target;
    small_setup()
    {
        target = box.write("board/data/app.bin", std::string(40, 'o'));
        bundle_package p;
        p.blocks.push_back(replace_block(target, bytes_of("new contents")));
        package = write_package(box.path("pkg.bin"), p);
    }
};

}  // namespace

TEST(CommandLine, BannerLinesHaveTheirShapes)
{
    run_result r = run_fwdeploy({});
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(FWDEPLOY_BIN) + " commit: \\S+")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("Build by .+, date: .+"))) << lines[1];

    small_setup s;
    r = run_fwdeploy({"-r", s.package});
    lines = split_lines(r.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("libfwdeploy version 0\\.2 commit: \\S+")))
        << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3], std::regex("Build by .+, date: .+"))) << lines[3];

    // argv[0] is printed as given, whatever the path to the program.
    run_options o;
    o.argv0 = "fwdeploy";
    r = run_program(o);
    EXPECT_EQ(split_lines(r.out)[0].rfind("fwdeploy commit: ", 0), 0u) << r.out;
}

TEST(CommandLine, UsageErrorsPrintTheUsageTextAndExit255)
{
    run_result r = run_fwdeploy({});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(after_banner(r), USAGE);
    EXPECT_EQ(r.err, "");

    r = run_fwdeploy({"-t", "/tmp"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(after_banner(r), USAGE);

    // An unknown option after a valid -r: getopt complains, the engine never starts.
    small_setup s;
    r = run_fwdeploy({"-r", s.package, "-q"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(after_banner(r), USAGE);
    EXPECT_NE(r.err.find("-- 'q'"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("libfwdeploy"), std::string::npos);
    EXPECT_EQ(read_text(s.target), std::string(40, 'o'));

    // An option without its argument.
    r = run_fwdeploy({"-r"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(after_banner(r), USAGE);
    EXPECT_NE(r.err.find("requires an argument"), std::string::npos) << r.err;
}

TEST(CommandLine, OptionsThatChangeNothingAndTheLastPackageOptionWins)
{
    small_setup s;
    run_result plain = run_fwdeploy({"-r", s.package});
    ASSERT_EQ(plain.exit_code, 0) << plain.out << plain.err;
    EXPECT_EQ(read_text(s.target), "new contents");

    s.box.write("board/data/app.bin", std::string(40, 'o'));
    run_result extra = run_fwdeploy({"-s", "1", "-p", "logo.jpg", "-r", s.package});
    EXPECT_EQ(extra.exit_code, 0);
    EXPECT_EQ(extra.out, plain.out);
    EXPECT_EQ(read_text(s.target), "new contents");

    // -x names a missing file, but the later -r decides both path and kind.
    s.box.write("board/data/app.bin", std::string(40, 'o'));
    run_result last = run_fwdeploy({"-x", s.box.path("a.gz"), "-r", s.package});
    EXPECT_EQ(last.exit_code, 0);
    EXPECT_EQ(last.out, plain.out);
    EXPECT_EQ(last.err, "");
    EXPECT_EQ(read_text(s.target), "new contents");
}

TEST(CommandLine, ArgumentsOf64CharactersAreRefusedWhole)
{
    small_setup s;
    std::string name63 = std::string(55, 'p') + ".pkg.bin";
    std::string name64 = std::string(56, 'p') + ".pkg.bin";
    ASSERT_EQ(name63.size(), 63u);
    s.box.write(name63, read_file(s.package));
    s.box.write(name64, read_file(s.package));
    std::string dir63(63, 'd');
    std::string dir64(64, 'd');
    s.box.make_dir(dir63);
    s.box.make_dir(dir64);

    for (const char* option : {"-x", "-r", "-t", "-p", "-k", "-c", "-m"}) {
        SCOPED_TRACE(option);
        std::string value = std::string(option) == "-t" ? dir64 : name64;
        std::vector<std::string> args{"-r", name63, option, value};
        run_result r = run_fwdeploy(args, s.box.root());
        EXPECT_EQ(r.exit_code, 255);
        std::vector<std::string> lines = after_banner(r);
        ASSERT_EQ(lines.size(), USAGE.size() + 1) << r.out;
        EXPECT_NE(lines[0].find(option), std::string::npos) << lines[0];
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), USAGE);
        EXPECT_EQ(r.out.find("libfwdeploy"), std::string::npos);
    }

    // 63 characters are taken unchanged.
    run_result r = run_fwdeploy({"-r", name63, "-t", dir63, "-p", name63}, s.box.root());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(read_text(s.target), "new contents");
    std::string gz = gzip_copy(s.box.path(name63));
    std::string gz63 = std::string(52, 'g') + ".pkg.bin.gz";
    ASSERT_EQ(gz63.size(), 63u);
    s.box.write(gz63, read_file(gz));
    s.box.write("board/data/app.bin", std::string(40, 'o'));
    r = run_fwdeploy({"-x", gz63}, s.box.root());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(read_text(s.target), "new contents");
}

TEST(CommandLine, MissingPackageIsReportedOnStandardError)
{
    sandbox_dir box;
    run_result r = run_fwdeploy({"-r", box.path("absent.bin")});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "open: No such file or directory\n");
    EXPECT_EQ(after_banner(r).size(), 2u) << r.out;   // the engine banner, nothing more
    EXPECT_EQ(r.leftover_processes, 0);
}

TEST(CompressedPackage, PathsReachGunzipAsOneArgumentAndNonGzipIsRefused)
{
    small_setup s;
    std::string mark = s.box.path("pwned");
    // Relative, to stay within 63 characters.
    std::string odd = "a b;touch pwned;$(touch pwned)`touch pwned`.gz";
    s.box.write(odd, read_file(gzip_copy(s.package)));
    run_result r = run_fwdeploy({"-x", odd}, s.box.root());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(read_text(s.target), "new contents");
    EXPECT_FALSE(file_exists(mark));
    EXPECT_EQ(r.leftover_processes, 0);

    // A plain package given as compressed: gunzip's own words, then the refusal.
    s.box.write("board/data/app.bin", std::string(40, 'o'));
    r = run_fwdeploy({"-x", s.package});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_NE(r.err.find("gzip"), std::string::npos) << r.err;
    std::vector<std::string> reports = progress_lines(r.out);
    ASSERT_FALSE(reports.empty()) << r.out;
    EXPECT_EQ(reports.back(), "(0%)(1/2)(state sub 4)");
    EXPECT_EQ(r.leftover_processes, 0);
    EXPECT_EQ(read_text(s.target), std::string(40, 'o'));

    // A compressed package that is missing or unreadable is said to be so, as a
    // plain one is, before gunzip is started at all.
    std::string locked = s.box.write("locked.gz", read_file(gzip_copy(s.package)), 0);
    for (const std::string& path : {s.box.path("absent.gz"), locked}) {
        SCOPED_TRACE(path);
        if (path == locked && geteuid() == 0)
            continue;                 // root reads it all the same
        r = run_fwdeploy({"-x", path});
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.err, path == locked ? "open: Permission denied\n"
                                        : "open: No such file or directory\n");
        EXPECT_EQ(after_banner(r).size(), 2u) << r.out;
        EXPECT_EQ(r.leftover_processes, 0);
    }
}

namespace {

// A package whose begin script holds the run until the test lets it go: it
// writes to the FIFO `ready` once it runs (the pid of the fwdeploy that runs
// it, and the descriptors the script holds), then waits for a line on `go`.
struct held_run {
    sandbox_dir box{"fwdeploy-lock"};
    std::string lock = box.path("fwdeploy.lock");
    std::string fallback = box.path("fallback.lock");
    std::string ready = box.path("ready");
    std::string go = box.path("go");
    std::string target = box.write("board/data/app.bin", std::string(40, 'o'));
    std::string package;
    std::thread first;
    run_result first_result;
    unique_fd go_end;
    bool released = false;

    held_run()
    {
        EXPECT_EQ(::mkfifo(ready.c_str(), 0600), 0);
        EXPECT_EQ(::mkfifo(go.c_str(), 0600), 0);
        // Read and write: opening it never waits, and the script's open for
        // reading finds a writer at once.
        go_end.fd = ::open(go.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_GE(go_end.fd, 0);
        bundle_package p;
        // fwdeploy is the ancestor whose parent is this test process.
        p.begin_script = "p=$$\n"
                         "while [ \"$p\" -gt 1 ] && [ \"$(cut -d' ' -f4 /proc/$p/stat)\" != " +
                         std::to_string(getpid()) +
                         " ]; do p=$(cut -d' ' -f4 /proc/$p/stat); done\n"
                         "{ echo $p; ls -l /proc/$$/fd; } > " + ready + "\n"
                         "read line < " + go + "\n";
        p.blocks.push_back(replace_block(target, bytes_of("new contents")));
        package = write_package(box.path("pkg.bin"), p);
    }

    run_result run(const std::vector<std::string>& args) const
    {
        run_options o;
        o.args = args;
        o.env = {{"FWDEPLOY_TEST_LOCK_FILE", lock}, {"FWDEPLOY_TEST_LOCK_FALLBACK", fallback}};
        return run_program(o);
    }

    // Starts the first run and returns what its begin script wrote once it
    // runs; empty when it never got there (the run's own time limit ends it).
    std::string start()
    {
        unique_fd fd(::open(ready.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        first = std::thread([this] { first_result = run({"-r", package}); });
        std::string text;
        char buffer[4096];
        for (;;) {
            // A FIFO that never had a writer reports nothing, so this waits
            // for the script, not for a length of time.
            pollfd p{fd.fd, POLLIN, 0};
            if (::poll(&p, 1, 60000) <= 0)
                break;
            ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
            if (n > 0)
                text.append(buffer, (size_t)n);
            else if (n == 0 || errno != EAGAIN)
                break;
        }
        return text;
    }

    // Lets the begin script go on, whether it waits on `go` already or not:
    // the line waits in the FIFO, which this end keeps open, until it reads.
    void release()
    {
        if (!released) {
            EXPECT_EQ(::write(go_end.fd, "\n", 1), 1);
        }
        released = true;
    }

    ~held_run()
    {
        release();
        if (first.joinable())
            first.join();
    }
};

}  // namespace

TEST(OneRunAtATime, ASecondRunIsRefusedBeforeItReadsThePackage)
{
    held_run h;
    std::string seen = h.start();
    ASSERT_FALSE(seen.empty());
    // The script, a child of the tool, does not hold the lock.
    EXPECT_EQ(seen.find(h.lock), std::string::npos) << seen;

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-r", h.package}, {"-x", h.package + ".gz"},
          {"-n", "-r", h.package}}) {
        run_result r = h.run(args);
        EXPECT_EQ(r.exit_code, 255);
        std::vector<std::string> lines = split_lines(r.out);
        ASSERT_EQ(lines.size(), 3u) << r.out;
        EXPECT_EQ(lines[2], "Another fwdeploy is running (lock " + h.lock + ")");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(read_text(h.target), std::string(40, 'o'));

    h.release();
    h.first.join();
    EXPECT_EQ(h.first_result.exit_code, 0) << h.first_result.out;
    EXPECT_EQ(read_text(h.target), "new contents");
}

TEST(OneRunAtATime, AKilledRunLeavesNoStaleLock)
{
    held_run h;
    std::string seen = h.start();
    pid_t tool = (pid_t)atoi(seen.c_str());
    ASSERT_GT(tool, 1) << seen;
    ASSERT_EQ(::kill(tool, SIGKILL), 0);
    h.release();
    h.first.join();
    EXPECT_EQ(h.first_result.signal, SIGKILL);
    EXPECT_EQ(read_text(h.target), std::string(40, 'o'));

    // The lock file is still there, and no one holds it.
    EXPECT_TRUE(file_exists(h.lock));
    h.box.write("pkg2.bin", read_file(h.package));
    bundle_package p;
    p.blocks.push_back(replace_block(h.target, bytes_of("second run")));
    write_package(h.box.path("pkg2.bin"), p);
    run_result r = h.run({"-r", h.box.path("pkg2.bin")});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(read_text(h.target), "second run");
}

TEST(OneRunAtATime, WithoutTheLockDirectoryTheFallbackLocks)
{
    held_run h;
    h.lock = h.box.path("no-such-dir/fwdeploy.lock");
    ASSERT_FALSE(h.start().empty());
    run_result r = h.run({"-r", h.package});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_TRUE(contains(r.out, "Another fwdeploy is running (lock " + h.fallback + ")\n"))
        << r.out;
    EXPECT_FALSE(file_exists(h.box.path("no-such-dir")));
    // A check whose lock directory is there, without a lock file in it, has
    // nothing to do with the fallback and the run that holds it.
    std::string missing_lock = h.lock;
    h.lock = h.box.path("fwdeploy.lock");
    r = h.run({"-n", "-r", h.package});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_FALSE(file_exists(h.lock));
    h.lock = missing_lock;
    h.release();
    h.first.join();
    EXPECT_EQ(h.first_result.exit_code, 0) << h.first_result.out;

    // A lock that cannot be made at all stops the run before the package is read.
    h.box.write("not-a-dir", "");
    h.lock = h.box.path("not-a-dir/fwdeploy.lock");
    r = h.run({"-r", h.package});
    EXPECT_EQ(r.exit_code, 255);
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[2], "Lock file " + h.lock + " cannot be opened: Not a directory");
}

namespace {

// Another user's process holding an flock on `path`, as anyone may who can open
// the file for reading. It opens the file as user and group 65534 (creating it
// when `create`), locks it, says so through a pipe and holds the lock until the
// test closes its end of a second pipe.
struct foreign_holder {
    pid_t pid = -1;
    unique_fd hold_end;

    bool start(const std::string& path, bool create)
    {
        int ready[2], hold[2];
        if (::pipe2(ready, O_CLOEXEC) < 0 || ::pipe2(hold, O_CLOEXEC) < 0)
            return false;
        pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            if (::setgroups(0, nullptr) < 0 || ::setgid(65534) < 0 || ::setuid(65534) < 0)
                _exit(1);
            int fd = ::open(path.c_str(), create ? O_RDWR | O_CREAT | O_NOFOLLOW : O_RDONLY, 0644);
            if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) < 0)
                _exit(2);
            char c = 'r';
            if (::write(ready[1], &c, 1) != 1)
                _exit(3);
            ssize_t n = ::read(hold[0], &c, 1);  // the end of input lets it go
            _exit(n == 0 ? 0 : 4);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        hold_end.fd = hold[1];
        char c = 0;
        ssize_t n = pid > 0 ? ::read(ready[0], &c, 1) : -1;
        ::close(ready[0]);
        return n == 1;
    }

    ~foreign_holder()
    {
        hold_end.reset();
        if (pid > 0) {
            int status = 0;
            EXPECT_EQ(::waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
    }
};

// fwdeploy run as user and group 65534.
run_result run_as_other_user(const std::vector<std::string>& args, const std::string& lock)
{
    run_options o;
    o.program = "setpriv";
    o.args = {"--reuid=65534", "--regid=65534", "--clear-groups", FWDEPLOY_BIN};
    o.args.insert(o.args.end(), args.begin(), args.end());
    o.env = {{"FWDEPLOY_TEST_LOCK_FILE", lock}};
    return run_program(o);
}

}  // namespace

// Where the lock lives in a directory others can write to (the /tmp fallback,
// or a board whose /run is not root's alone), no other user can stop or delay
// a root run: whatever is not root's own 0600 file at the lock path is put
// aside, with a line naming it, and the run goes on with a fresh lock file.
TEST(OneRunAtATime, NoOtherUserCanHoldARootRunOff)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "playing another user needs root";
    small_setup s;
    ASSERT_EQ(chmod(s.box.root().c_str(), 0755), 0);
    std::string dir = s.box.make_dir("locks");
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    std::string lock = dir + "/fwdeploy.lock";
    std::string elsewhere = s.box.path("elsewhere");

    struct planted {
        const char* what;
        const char* named;            // as the replacement line names it
        enum { HOLDER_CREATES, HOLDER_OPENS, NOT_HELD } holder;
        void (*plant)(const std::string& lock, const std::string& elsewhere);
    };
    const planted rows[] = {
        {"another user's file, held by them", "owned by user 65534", planted::HOLDER_CREATES,
         [](const std::string&, const std::string&) {}},
        // Mode 0600 keeps no one out of a file that is theirs.
        {"another user's file of mode 0600, held by them", "owned by user 65534",
         planted::HOLDER_OPENS,
         [](const std::string& at, const std::string&) {
             write_file(at, {}, 0600);
             ASSERT_EQ(chown(at.c_str(), 65534, 65534), 0);
         }},
        {"root's file that others can read, held by another user", "a file of mode 0644",
         planted::HOLDER_OPENS,
         [](const std::string& at, const std::string&) { write_file(at, {}, 0644); }},
        {"link to nothing yet", "a symbolic link", planted::NOT_HELD,
         [](const std::string& at, const std::string& to) {
             ASSERT_EQ(symlink(to.c_str(), at.c_str()), 0);
         }},
        {"link to root's own file", "a symbolic link", planted::NOT_HELD,
         [](const std::string& at, const std::string& to) {
             write_file(to, bytes_of("root's own\n"), 0600);
             ASSERT_EQ(symlink(to.c_str(), at.c_str()), 0);
         }},
        // Anyone who can write where the second name lives can open the file.
        {"root's own file with a second name", "a file with 2 names", planted::NOT_HELD,
         [](const std::string& at, const std::string& to) {
             write_file(at, bytes_of("root's own\n"), 0600);
             ASSERT_EQ(link(at.c_str(), to.c_str()), 0);
         }},
        // No directory can be removed while it holds a file, and root must not
        // go through another user's directory removing what is in it.
        {"another user's directory with a file in it", "not a regular file", planted::NOT_HELD,
         [](const std::string& at, const std::string&) {
             ASSERT_EQ(mkdir(at.c_str(), 0755), 0);
             write_file(at + "/theirs", bytes_of("kept\n"), 0644);
             ASSERT_EQ(chown(at.c_str(), 65534, 65534), 0);
             ASSERT_EQ(chown((at + "/theirs").c_str(), 65534, 65534), 0);
         }},
    };
    for (const planted& w : rows) {
        SCOPED_TRACE(w.what);
        remove_tree(lock);
        remove_tree(elsewhere);
        for (const std::string& name : dir_entries(dir))
            remove_tree(dir + "/" + name);
        s.box.write("board/data/app.bin", std::string(40, 'o'));
        w.plant(lock, elsewhere);
        bool linked_file = file_exists(elsewhere);
        foreign_holder holder;
        if (w.holder != planted::NOT_HELD) {
            ASSERT_TRUE(holder.start(lock, w.holder == planted::HOLDER_CREATES));
        }
        run_options o;
        o.args = {"-r", s.package};
        o.env = {{"FWDEPLOY_TEST_LOCK_FILE", lock}};
        run_result r = run_program(o);
        EXPECT_EQ(r.exit_code, 0) << r.out;
        std::vector<std::string> lines = split_lines(r.out);
        ASSERT_GE(lines.size(), 3u) << r.out;
        // What stood there is moved aside whole, under a name of its own.
        std::string replaced = "Replaced lock file " + lock + ": it was " + w.named + ", now ";
        EXPECT_EQ(lines[2].substr(0, replaced.size()), replaced);
        std::string aside = lines[2].substr(std::min(replaced.size(), lines[2].size()));
        EXPECT_EQ(aside.rfind(lock + ".aside-", 0), 0u) << aside;
        struct stat moved;
        EXPECT_EQ(lstat(aside.c_str(), &moved), 0) << aside;
        if (S_ISDIR(moved.st_mode)) {
            EXPECT_EQ(read_text(aside + "/theirs"), "kept\n");
        }
        EXPECT_EQ(read_text(s.target), "new contents");
        struct stat st;
        ASSERT_EQ(lstat(lock.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        // What a link led to is neither made, written, nor given another mode.
        EXPECT_EQ(file_exists(elsewhere), linked_file);
        if (linked_file) {
            EXPECT_EQ(read_text(elsewhere), "root's own\n");
            EXPECT_EQ(file_mode(elsewhere), 0600);
        }
        // Root's own lock file is taken as it is, by the next run too.
        s.box.write("board/data/app.bin", std::string(40, 'o'));
        r = run_program(o);
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_FALSE(contains(r.out, "Replaced")) << r.out;
        struct stat again;
        ASSERT_EQ(lstat(lock.c_str(), &again), 0);
        EXPECT_EQ(again.st_ino, st.st_ino);
    }

    // The name something is moved aside to cannot be foreseen. Another user
    // takes, before the run, every name that its process id and a count would
    // give (the planting shell becomes the run, so its id is known), and
    // holds a lock file of their own: the run goes on all the same, leaves
    // their names alone, and the next such run picks another name.
    for (const std::string& name : dir_entries(dir))
        remove_tree(dir + "/" + name);
    std::vector<std::string> asides;
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE("names taken in advance, run " + std::to_string(attempt));
        write_file(lock, {}, 0644);
        ASSERT_EQ(chown(lock.c_str(), 65534, 65534), 0);
        s.box.write("board/data/app.bin", std::string(40, 'o'));
        run_options o;
        o.program = "sh";
        o.args = {"-c",
                  "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "
                  "'n=0; while [ $n -lt 1000 ]; do : > \"$1.aside-$2-$n\"; n=$((n+1)); done' "
                  "sh \"$FWDEPLOY_TEST_LOCK_FILE\" $$ && exec \"$0\" \"$@\"",
                  FWDEPLOY_BIN, "-r", s.package};
        o.env = {{"FWDEPLOY_TEST_LOCK_FILE", lock}};
        run_result r = run_program(o);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_EQ(read_text(s.target), "new contents");
        std::vector<std::string> lines = split_lines(r.out);
        ASSERT_GE(lines.size(), 3u) << r.out;
        std::string replaced = "Replaced lock file " + lock + ": it was owned by user 65534, now " +
                               lock + ".aside-";
        ASSERT_EQ(lines[2].substr(0, replaced.size()), replaced);
        std::string bits = lines[2].substr(replaced.size());
        EXPECT_EQ(bits.size(), 16u) << bits;
        EXPECT_EQ(bits.find_first_not_of("0123456789abcdef"), std::string::npos) << bits;
        asides.push_back(lock + ".aside-" + bits);
        struct stat moved;
        ASSERT_EQ(lstat(asides.back().c_str(), &moved), 0);
        EXPECT_EQ(moved.st_uid, 65534u);
    }
    EXPECT_NE(asides.at(0), asides.at(1));
    // Both runs' planted names are still there, beside the two moved aside and the lock.
    EXPECT_EQ(dir_entries(dir).size(), 2000u + 2u + 1u);

    // A name that is taken all the same (here the random source repeats
    // itself) is never replaced: another is drawn.
    for (const std::string& name : dir_entries(dir))
        remove_tree(dir + "/" + name);
    std::string taken = lock + ".aside-0000000000000000";
    write_file(taken, bytes_of("theirs\n"), 0644);
    write_file(lock, {}, 0644);
    ASSERT_EQ(chown(lock.c_str(), 65534, 65534), 0);
    s.box.write("board/data/app.bin", std::string(40, 'o'));
    std::string note = s.box.path("getrandom.note");
    {
        run_options o;
        o.args = {"-r", s.package};
        o.env = preloading(FAIL_SHIM_PATH);
        o.env.insert(o.env.end(), {{"FWDEPLOY_TEST_LOCK_FILE", lock},
                                   {"FWDEPLOY_FAIL_CALL", "getrandom"},
                                   {"FWDEPLOY_FAIL_NOTE", note}});
        run_result r = run_program(o);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_EQ(read_text(note), "getrandom \n") << "the first name was not zeros";
        EXPECT_EQ(read_text(taken), "theirs\n");
        std::vector<std::string> lines = split_lines(r.out);
        ASSERT_GE(lines.size(), 3u) << r.out;
        EXPECT_EQ(lines[2].rfind("Replaced lock file " + lock + ": it was owned by user 65534, now " +
                                     lock + ".aside-", 0), 0u) << lines[2];
        EXPECT_FALSE(contains(lines[2], taken)) << lines[2];
        EXPECT_EQ(dir_entries(dir).size(), 3u);
    }

    // A umask that takes every bit away still leaves root a lock file it can use,
    // and a check takes it as it is.
    remove_tree(lock);
    s.box.write("board/data/app.bin", std::string(40, 'o'));
    run_options o;
    o.program = "sh";
    o.args = {"-c", "umask 0777 && exec \"$0\" \"$@\"", FWDEPLOY_BIN, "-r", s.package};
    o.env = {{"FWDEPLOY_TEST_LOCK_FILE", lock}};
    run_result r = run_program(o);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(file_mode(lock), 0600);
    o.args = {"-c", "umask 0777 && exec \"$0\" \"$@\"", FWDEPLOY_BIN, "-n", "-r", s.package};
    r = run_program(o);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_FALSE(contains(r.out, "Replaced")) << r.out;
}

// A download agent that is not root asks whether the board would take a
// package: root's lock file, which it cannot open, does not stop the check; a
// run of its own is refused, and neither touches root's lock file.
TEST(OneRunAtATime, AnotherUsersCheckGoesOnWithoutRootsLock)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "playing another user needs root";
    small_setup s;
    ASSERT_EQ(chmod(s.box.root().c_str(), 0755), 0);
    std::string lock = s.box.path("fwdeploy.lock");
    run_options o;
    o.args = {"-n", "-r", s.package};
    o.env = {{"FWDEPLOY_TEST_LOCK_FILE", lock}};
    run_result by_root = run_program(o);
    ASSERT_EQ(by_root.exit_code, 0) << by_root.out;
    EXPECT_FALSE(file_exists(lock));  // a check writes nothing
    write_file(lock, {}, 0600);
    struct stat before;
    ASSERT_EQ(stat(lock.c_str(), &before), 0);

    run_result r = run_as_other_user({"-n", "-r", s.package}, lock);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(split_lines(r.out).size(), split_lines(by_root.out).size()) << r.out;
    EXPECT_FALSE(contains(r.out, "Lock file")) << r.out;
    EXPECT_EQ(r.err, "");

    r = run_as_other_user({"-r", s.package}, lock);
    EXPECT_EQ(r.exit_code, 255);
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[2], "Lock file " + lock + " cannot be opened: Permission denied");
    EXPECT_EQ(read_text(s.target), std::string(40, 'o'));

    struct stat after;
    ASSERT_EQ(stat(lock.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0600u);
    EXPECT_EQ(after.st_uid, 0u);

    // Root's check beside another user's lock file, which they hold: it goes
    // on without that lock, which it neither takes nor replaces (a check
    // writes nothing).
    remove_tree(lock);
    write_file(lock, {}, 0644);
    ASSERT_EQ(chown(lock.c_str(), 65534, 65534), 0);
    ASSERT_EQ(stat(lock.c_str(), &before), 0);
    {
        foreign_holder holder;
        ASSERT_TRUE(holder.start(lock, false));
        r = run_program(o);
    }
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_FALSE(contains(r.out, "Replaced")) << r.out;
    ASSERT_EQ(stat(lock.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, 65534u);
    EXPECT_EQ(after.st_mode & 07777, 0644u);

    // A FIFO at the lock path, which an open would wait on for a writer:
    // root's check and another user's go on without a lock, and leave it.
    remove_tree(lock);
    ASSERT_EQ(mkfifo(lock.c_str(), 0666), 0);
    o.timeout_ms = 10000;
    r = run_program(o);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_FALSE(r.timed_out);
    r = run_as_other_user({"-n", "-r", s.package}, lock);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_FALSE(r.timed_out);
    ASSERT_EQ(lstat(lock.c_str(), &after), 0);
    EXPECT_TRUE(S_ISFIFO(after.st_mode));

    // Another user's run whose lock path is a link (planted where anyone may
    // write) is refused; it makes nothing where the link leads.
    remove_tree(lock);
    std::string shared = s.box.make_dir("shared");
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    std::string planted_lock = shared + "/fwdeploy.lock";
    std::string led_to = shared + "/made-by-the-link";
    ASSERT_EQ(symlink(led_to.c_str(), planted_lock.c_str()), 0);
    r = run_as_other_user({"-r", s.package}, planted_lock);
    EXPECT_EQ(r.exit_code, 255) << r.out;
    EXPECT_TRUE(contains(r.out, "Lock file " + planted_lock + " cannot be opened: ")) << r.out;
    EXPECT_FALSE(file_exists(led_to));
}
