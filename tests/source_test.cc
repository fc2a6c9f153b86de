// The package source: a plain file, or the real gunzip feeding a pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "backends/trust.h"
#include "bundle/writer.h"
#include "common/scoped.h"
#include "engine/trailer.h"
#include "engine/verify.h"
#include "source/pin.h"
#include "source/source.h"
#include "tests/support/e2e_board.h"
#include "tests/support/sandbox.h"

namespace {

void ignore_signal(int) {}

class PackageSource : public ::testing::Test {
protected:
    void SetUp() override
    {
        struct sigaction sa = {};
        sa.sa_handler = ignore_signal;
        sa.sa_flags = SA_RESTART;
        sigaction(SIGPIPE, &sa, nullptr);
        const char* path = getenv("PATH");
        saved_path_ = path != nullptr ? path : "/usr/bin:/bin";
        fds_before_ = count_open_fds();
    }

    void TearDown() override
    {
        release_package_file();       // the lease and descriptor of the last package
        setenv("PATH", saved_path_.c_str(), 1);
        EXPECT_TRUE(child_processes().empty());
        EXPECT_EQ(count_open_fds(), fds_before_);
    }

    // The package as gzip would ship it; `cut` bytes are taken off its end.
    std::string gzipped(const std::vector<uint8_t>& contents, size_t cut = 0)
    {
        std::string plain = board_.write("pkg" + std::to_string(packages_++), contents);
        std::string gz = gzip_copy(plain);
        std::vector<uint8_t> bytes = read_file(gz);
        bytes.resize(bytes.size() - cut);
        write_file(gz, bytes);
        return gz;
    }

    // Everything the source delivers through `read`, in 4096-byte requests as
    // the engine makes them; `last` is the final result (0 or -1).
    static std::vector<uint8_t> drain(int fd, int (*read)(int, void*, int), int* last)
    {
        std::vector<uint8_t> all;
        uint8_t buf[4096];
        int n;
        while ((n = read(fd, buf, (int)sizeof buf)) > 0)
            all.insert(all.end(), buf, buf + n);
        *last = n;
        return all;
    }

    sandbox_dir board_{"fwdeploy-source"};
    std::string saved_path_;
    int packages_ = 0;
    int fds_before_ = 0;
};

TEST_F(PackageSource, GunzipDeliversTheWholePackage)
{
    const std::vector<uint8_t> contents = pattern_bytes(300000, 1);
    const std::string gz = gzipped(contents);

    int fd = open_gzip_source(gz.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_GT(gzip_child(), 0);
    int last = -2;
    EXPECT_TRUE(drain(fd, read_gzip_source, &last) == contents);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(close_gzip_source(fd), 0);

    // A phase that stops early: gunzip, blocked on a full pipe, is ended.
    const std::string big = gzipped(pattern_bytes(4 << 20, 2));
    fd = open_gzip_source(big.c_str());
    ASSERT_GE(fd, 0);
    uint8_t buf[4096];
    EXPECT_EQ(read_full(fd, buf, (int)sizeof buf), (int)sizeof buf);
    alarm(30);                        // a close that waits without ending gunzip never returns
    EXPECT_EQ(close_gzip_source(fd), 0);
    alarm(0);

    // Every phase opens the package anew from its first byte.
    for (int phase = 0; phase < 4; ++phase) {
        fd = open_gzip_source(gz.c_str());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(read_full(fd, buf, 16), 16);
        EXPECT_TRUE(std::equal(buf, buf + 16, contents.begin()));
        EXPECT_EQ(close_gzip_source(fd), 0);
    }
}

TEST_F(PackageSource, GunzipGetsItsOutputWhenOursIsClosed)
{
    // Started with descriptors 0 and 1 closed, the pipe's write end is 1 already.
    const std::vector<uint8_t> contents = pattern_bytes(5000, 7);
    const std::string gz = gzipped(contents);
    fflush(stdout);
    int saved_in = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    int saved_out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(saved_in, 0);
    ASSERT_GE(saved_out, 0);
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    int fd = open_gzip_source(gz.c_str());
    std::vector<uint8_t> got(contents.size() + 1);
    int n = fd >= 0 ? read_gzip_source(fd, got.data(), (int)got.size()) : -1;
    if (fd >= 0)
        close_gzip_source(fd);
    dup2(saved_in, STDIN_FILENO);
    dup2(saved_out, STDOUT_FILENO);
    close(saved_in);
    close(saved_out);
    EXPECT_GE(fd, 0);
    ASSERT_EQ(n, (int)contents.size());
    got.resize(contents.size());
    EXPECT_TRUE(got == contents);
}

TEST_F(PackageSource, DamagedOrMissingStreamsFail)
{
    const std::vector<uint8_t> contents = pattern_bytes(100000, 3);
    const std::string cut = gzipped(contents, 1000);
    const std::string not_gzip = board_.write("plain.bin", "this is no gzip stream\n");
    for (const std::string& path : {cut, not_gzip}) {
        SCOPED_TRACE(path);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();   // gunzip's own complaints
        int last = -2;

        // Plain reads see a short stream...
        int fd = open_gzip_source(path.c_str());
        ASSERT_GE(fd, 0);
        std::vector<uint8_t> got = drain(fd, read_full, &last);
        EXPECT_LT(got.size(), contents.size());
        EXPECT_EQ(last, 0);
        EXPECT_EQ(close_gzip_source(fd), 0);

        // ...which the package reads turn into a failure at its end.
        fd = open_gzip_source(path.c_str());
        ASSERT_GE(fd, 0);
        drain(fd, read_gzip_source, &last);
        EXPECT_EQ(last, -1);
        EXPECT_EQ(close_gzip_source(fd), 0);

        testing::internal::GetCapturedStderr();
        EXPECT_NE(testing::internal::GetCapturedStdout(), "");
    }

    // A missing file is said to be missing, and no gunzip is started for it.
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_gzip_source(board_.path("missing.gz").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open: No such file or directory\n");
    EXPECT_EQ(gzip_child(), 0);
}

TEST_F(PackageSource, PaddingAfterTheStreamIsAcceptedByEveryGunzip)
{
    // A package written into a fixed-size slot or an erased flash partition
    // ends in 0xFF bytes after the gzip stream. GNU gunzip warns (status 2),
    // busybox gunzip says nothing; neither is damage. A bad check value is.
    const std::vector<uint8_t> contents = pattern_bytes(20000, 8);
    std::string padded = gzipped(contents);
    std::vector<uint8_t> bytes = read_file(padded);
    bytes.insert(bytes.end(), 5000, 0xFF);
    write_file(padded, bytes);
    std::string damaged = gzipped(contents);
    bytes = read_file(damaged);
    bytes[bytes.size() - 8] ^= 1;     // the CRC
    write_file(damaged, bytes);

    std::string busybox_dir = board_.make_dir("busybox");
    ASSERT_EQ(symlink("/bin/busybox", (busybox_dir + "/gunzip").c_str()), 0);
    for (const std::string& path_dir : {std::string(), busybox_dir}) {
        SCOPED_TRACE(path_dir.empty() ? "GNU gunzip" : "busybox gunzip");
        if (!path_dir.empty())
            setenv("PATH", (path_dir + ":" + saved_path_).c_str(), 1);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int fd = open_gzip_source(padded.c_str());
        ASSERT_GE(fd, 0);
        std::vector<uint8_t> got(contents.size());
        EXPECT_EQ(read_gzip_source(fd, got.data(), (int)got.size()), (int)got.size());
        EXPECT_EQ(finish_gzip_source(fd), 0);
        EXPECT_EQ(close_gzip_source(fd), 0);
        EXPECT_TRUE(got == contents);

        // The verdict at the very end is heard however much of the stream the
        // reads before left to finish: none, or more than one 4 KiB piece.
        for (size_t left : {(size_t)0, (size_t)5000}) {
            SCOPED_TRACE(std::to_string(left) + " bytes left to finish");
            fd = open_gzip_source(damaged.c_str());
            ASSERT_GE(fd, 0);
            int want = (int)(contents.size() - left);
            EXPECT_EQ(read_gzip_source(fd, got.data(), want), want);
            EXPECT_EQ(finish_gzip_source(fd), -1);
            EXPECT_EQ(close_gzip_source(fd), 0);
        }
        testing::internal::GetCapturedStderr();
        EXPECT_NE(testing::internal::GetCapturedStdout().find("the package stream is damaged"),
                  std::string::npos);
    }
}

// `length` bytes of a plain source, read or lent (a lender may lend fewer
// than asked: asked again until they are all there); how many came, or -1.
int take_plain(int fd, uint8_t* to, int length, bool lent)
{
    if (!lent)
        return read_plain_source(fd, to, length);
    int total = 0;
    while (total < length) {
        const uint8_t* bytes = nullptr;
        int n = borrow_plain_source(fd, &bytes, length - total);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        memcpy(to + total, bytes, (size_t)n);
        total += n;
    }
    return total;
}

TEST_F(PackageSource, AFileChangedAfterItsFirstOpenIsRefused)
{
    // Each phase of a run opens the package anew: from the second open on it
    // must still be the very file the first one found.
    std::string path = board_.write("pkg.bin", pattern_bytes(1000, 9));
    std::string other = board_.write("other.bin", pattern_bytes(1000, 10));
    int fd = open_plain_source(path.c_str());
    ASSERT_GE(fd, 0);
    close(fd);
    fd = open_plain_source(path.c_str());
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(open_plain_source(path.c_str()), -1);
    EXPECT_EQ(open_gzip_source(path.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Package " + path + " changed since it was verified!\n"
              "Package " + path + " changed since it was verified!\n");
}

TEST_F(PackageSource, ALeaseEndsWithTheFirstOpenForWritingEvenIfItsSignalIsHeldBack)
{
    // A package on a local disk is held by a lease rather than by a digest of
    // its content. An open for writing ends the lease at once, and the kernel's
    // word counts even while its signal waits in a blocked mask: otherwise the
    // kernel would drop the lease after its break time and let the writer write
    // with nobody the wiser. So for bytes read and bytes lent.
  for (bool lent : {false, true}) {
    SCOPED_TRACE(lent ? "lent" : "read");
    std::vector<uint8_t> bytes = pattern_bytes(10000, 9);
    std::string path = board_.write(lent ? "lent.bin" : "pkg.bin", bytes);
    int fd = open_plain_source(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(package_file_leased()) << "the sandbox's filesystem keeps no leases?";
    sigset_t io, before;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &io, &before), 0);
    errno = 0;
    int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    int open_error = errno;
    uint8_t buf[100];
    testing::internal::CaptureStdout();
    int n = take_plain(fd, buf, (int)sizeof buf, lent);
    bool leased = package_file_leased();
    std::string said = testing::internal::GetCapturedStdout();
    close(fd);
    // The held-back signal arrives here, and its handler lets the writer in.
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    EXPECT_EQ(writer, -1);
    EXPECT_EQ(open_error, EWOULDBLOCK);
    EXPECT_EQ(n, -1);
    EXPECT_FALSE(leased);
    EXPECT_EQ(said, "Package " + path + " changed since it was verified!\n");
    if (writer >= 0)
        close(writer);

    // The broken lease was that package's: the next package a process opens
    // starts with a lease of its own.
    release_package_file();
    std::string next = board_.write(lent ? "lent-next.bin" : "next.bin", bytes);
    fd = open_plain_source(next.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(package_file_leased());
    EXPECT_EQ(take_plain(fd, buf, (int)sizeof buf, lent), (int)sizeof buf);
    close_plain_source(fd);
    release_package_file();
  }
}

TEST_F(PackageSource, MissingGunzipEndsTheStream)
{
    const std::string gz = gzipped(pattern_bytes(1000, 4));
    setenv("PATH", board_.make_dir("empty").c_str(), 1);

    testing::internal::CaptureStderr();
    int fd = open_gzip_source(gz.c_str());
    ASSERT_GE(fd, 0);
    uint8_t buf[64];
    EXPECT_EQ(read_full(fd, buf, (int)sizeof buf), 0);
    EXPECT_EQ(close_gzip_source(fd), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "execlp error!: No such file or directory\n");

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fd = open_gzip_source(gz.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read_gzip_source(fd, buf, (int)sizeof buf), -1);
    EXPECT_EQ(close_gzip_source(fd), 0);   // gunzip was collected already
    testing::internal::GetCapturedStderr();
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
}

TEST_F(PackageSource, PlainFileAndPipeReads)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_plain_source(board_.path("missing.bin").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open: No such file or directory\n");

    const std::string path = board_.write("pkg.bin", pattern_bytes(10000, 5));
    int fd = open_plain_source(path.c_str());
    ASSERT_GE(fd, 0);
    uint8_t buf[4096];
    EXPECT_EQ(read_full(fd, buf, 0), 0);
    EXPECT_EQ(read_full(fd, buf, 4096), 4096);
    EXPECT_EQ(read_full(fd, buf, 4096), 4096);
    EXPECT_EQ(read_full(fd, buf, 4096), 10000 - 8192);
    EXPECT_EQ(read_full(fd, buf, 4096), 0);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(read_full(fd, buf, 16), -1);

    // A pipe that brings the data in small pieces still fills the whole request.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::vector<uint8_t> data = pattern_bytes(3000, 6);
    std::thread writer([&] {
        for (size_t at = 0; at < data.size(); at += 7) {
            size_t n = std::min<size_t>(7, data.size() - at);
            EXPECT_EQ(write(fds[1], data.data() + at, n), (ssize_t)n);
            usleep(50);
        }
        close(fds[1]);
    });
    std::vector<uint8_t> got(4096);
    EXPECT_EQ(read_full(fds[0], got.data(), 2000), 2000);
    EXPECT_EQ(read_full(fds[0], got.data() + 2000, 2000), 1000);
    writer.join();
    close(fds[0]);
    got.resize(3000);
    EXPECT_TRUE(got == data);
}

TEST_F(PackageSource, AFileReadAheadHandsOnEveryByteOnceInOrder)
{
    // Requests of every kind of size against the read-ahead buffer: smaller
    // than it, straddling its refills, as large as it and larger, and one
    // asked for while bytes still wait in it; read, lent, or by turns.
  for (int lending : {0, 1, 2}) {
    SCOPED_TRACE(lending == 0 ? "read" : lending == 1 ? "lent" : "read and lent by turns");
    auto lent = [&](int turn) { return lending == 1 || (lending == 2 && turn % 2 == 1); };
    const std::vector<uint8_t> data = pattern_bytes(400000, 11);
    const std::string path = board_.write("pkg.bin", data);
    const std::vector<uint8_t> other = pattern_bytes(70000, 12);
    const std::string other_path = board_.write("other.bin", other);
    int fd = open_plain_source(path.c_str());
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> got(data.size() + 100);
    size_t at = 0;
    int turn = 0;
    for (int piece : {1, 4095, 4096, 70000, 3, 65536, 65533, 131072, 7}) {
        int n = take_plain(fd, got.data() + at, piece, lent(turn++));
        ASSERT_EQ(n, piece) << "at " << at;
        at += (size_t)n;
    }
    // A second package open beside the first never takes its buffer: both
    // read on where they stood.
    int beside = open_plain_source(other_path.c_str());
    ASSERT_GE(beside, 0);
    std::vector<uint8_t> other_got(other.size());
    ASSERT_EQ(take_plain(beside, other_got.data(), 5000, lent(turn++)), 5000);
    int n = take_plain(fd, got.data() + at, 100000, lent(turn++));
    EXPECT_EQ(n, (int)(data.size() - at));
    at += (size_t)(n > 0 ? n : 0);
    EXPECT_EQ(take_plain(fd, got.data(), 10, lent(turn++)), 0);
    ASSERT_EQ(take_plain(beside, other_got.data() + 5000, 65000, lent(turn++)), 65000);
    EXPECT_TRUE(other_got == other);
    got.resize(at);
    EXPECT_TRUE(got == data);
    EXPECT_EQ(close_plain_source(beside), 0);

    // Closed without a word, and its number given to the next package: what
    // was read ahead for the first must not come out of the second.
    ASSERT_EQ(read_plain_source(fd, got.data(), 0), 0);
    close(fd);
    fd = open_plain_source(path.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(read_plain_source(fd, got.data(), 10), 10);
    close(fd);
    int reused = open_plain_source(other_path.c_str());
    ASSERT_EQ(reused, fd) << "the descriptor number was not taken again";
    std::vector<uint8_t> head(10);
    EXPECT_EQ(take_plain(reused, head.data(), 10, lent(turn++)), 10);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), other.begin()));
    EXPECT_EQ(close_plain_source(reused), 0);
  }
}

TEST_F(PackageSource, APipeIsNeverReadPastWhatWasAskedFor)
{
    // A FIFO's writer may keep it open after the package: a read ahead would
    // wait for bytes that come only when the writer goes, and the writer here
    // goes only when told, after the reader has had what it asked for. Should
    // the reader read ahead anyway, the writer gives up after a while so that
    // the test fails rather than hangs.
  for (bool lent : {false, true}) {
    SCOPED_TRACE(lent ? "lent" : "read");
    const std::string fifo = board_.path(lent ? "lent.fifo" : "pkg.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int told[2];
    ASSERT_EQ(pipe(told), 0);
    const std::vector<uint8_t> data = pattern_bytes(200, 13);
    std::thread writer([&] {
        int w = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        EXPECT_EQ(write(w, data.data(), data.size()), (ssize_t)data.size());
        pollfd word{told[0], POLLIN, 0};
        poll(&word, 1, 20000);
        close(w);
    });
    int fd = open_plain_source(fifo.c_str());
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> got(100);
    EXPECT_EQ(take_plain(fd, got.data(), 100, lent), 100);
    int waiting = -1;
    EXPECT_EQ(ioctl(fd, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 100) << "the rest of the pipe was taken before it was asked for";
    EXPECT_EQ(write(told[1], "", 1), 1);
    writer.join();
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    EXPECT_EQ(close_plain_source(fd), 0);
    close(told[0]);
    close(told[1]);
  }
}

}  // namespace

namespace {

TEST_F(PackageSource, OnlyATrailerThatCanEndTheFileCallsForTheDigest)
{
    // The digest is skipped only where no trailer can end the file: a wrong
    // "no" here would accept a signed package's trailer unchecked (it is then
    // refused as malformed), a wrong "yes" only costs time.
    bundle_package p;
    p.blocks.push_back(bundle_block{});
    const std::vector<uint8_t> package = bundle_bytes(p);
    const uint32_t limit = (uint32_t)trailer_size_limit(1);
    auto trailer = [](const char* magic, uint32_t stated, size_t size) {
        std::vector<uint8_t> t(size, 0x5a);
        memcpy(t.data(), magic, 8);
        memcpy(t.data() + 8, &stated, 4);
        return t;
    };
    struct tail_case {
        const char* what;
        std::vector<uint8_t> tail;
        bool may;
    };
    const std::vector<tail_case> cases = {
        {"nothing after the last block", {}, false},
        {"0xFF padding", std::vector<uint8_t>(4096, 0xFF), false},
        {"a version 1 trailer", trailer("FWTRAIL1", 152, 152), true},
        {"a version 2 trailer", trailer("FWTRAIL2", 84, 84), true},
        {"a version this board does not know", trailer("FWTRAIL9", 100, 100), true},
        {"the smallest trailer that states its size", trailer("FWTRAIL1", 12, 12), true},
        {"a size one short of the end", trailer("FWTRAIL1", 151, 152), false},
        {"a size one past the end", trailer("FWTRAIL1", 153, 152), false},
        {"another magic", trailer("FWTRAXL1", 152, 152), false},
        {"a trailer followed by a byte", [&] { auto t = trailer("FWTRAIL1", 152, 152);
                                                t.push_back(0); return t; }(), false},
        // The largest trailer one block allows, and one byte more, which the
        // pass refuses anyway.
        {"a trailer at the size limit", trailer("FWTRAIL3", limit, limit), true},
        {"a trailer past the size limit", trailer("FWTRAIL3", limit + 1, limit + 1), false},
    };
    for (const tail_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = package;
        bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
        std::string path = board_.write("tail.bin", bytes);
        unique_fd fd(open(path.c_str(), O_RDONLY));
        ASSERT_GE(fd.fd, 0);
        ASSERT_EQ(lseek(fd.fd, 40, SEEK_SET), 40);
        EXPECT_EQ(package_may_end_in_trailer(fd.fd), c.may);
        EXPECT_EQ(lseek(fd.fd, 0, SEEK_CUR), 40) << "the position the passes read from moved";
    }
    // A file shorter than a package header, and a pipe, which has no end to look at.
    unique_fd tiny(open(board_.write("tiny.bin", std::vector<uint8_t>(5, 0)).c_str(), O_RDONLY));
    EXPECT_TRUE(package_may_end_in_trailer(tiny.fd));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_TRUE(package_may_end_in_trailer(fds[0]));
    close(fds[0]);
    close(fds[1]);
}

}  // namespace

namespace {

// The plain file read straight, without the identity check: the pin alone
// must hold later passes to the verified bytes.
int open_unchecked(const char* path)
{
    return open(path, O_RDONLY | O_CLOEXEC);
}

int no_report(const progress_info*, const char*)
{
    return 0;
}

TEST_F(PackageSource, APinnedPassHandsOnNoByteOfAChangedChunk)
{
    // Three chunks and a bit of block data; the change is made in place, so
    // that only the pin can see it.
    const std::vector<uint8_t> data = pattern_bytes(3 * PIN_CHUNK_SIZE + 100, 21);
    bundle_package p;
    p.blocks.push_back(replace_block(board_.path("target"), data));
    const std::vector<uint8_t> bare = bundle_bytes(p);
    source_ops inner{};
    inner.open = open_unchecked;
    inner.close = close;
    inner.read = read_full;
    trust_ops trust{trust_begin, trust_update, trust_check, trust_result_digest};
    // The package written and verified through a fresh pin: its bytes and path.
    source_ops pinned{};
    auto verified = [&](bool with_trailer, std::vector<uint8_t>* bytes) {
        *bytes = bare;
        if (with_trailer) {
            std::vector<uint8_t> t = openssl_trailer(bare, nullptr);
            bytes->insert(bytes->end(), t.begin(), t.end());
        }
        std::string path = board_.write("pinned.bin", *bytes);
        trust_reset(false);
        pin_source(&inner, &pinned);
        testing::internal::CaptureStdout();
        run_record run{};
        run.trust = &trust;
        EXPECT_EQ(verify_package(&pinned, path.c_str(), no_report, 4096, &run), 0);
        testing::internal::GetCapturedStdout();
        return path;
    };
    // A later pass as the engine reads it: copied out, or lent (block data).
    auto lent = [&](int fd, int* last) {
        std::vector<uint8_t> all;
        const uint8_t* bytes = nullptr;
        int n;
        while ((n = pinned.borrow(fd, &bytes, 4096)) > 0)
            all.insert(all.end(), bytes, bytes + n);
        *last = n;
        return all;
    };

    // One byte changed at the first, a middle and the last byte of a whole
    // chunk and of the last, partial one (the stream's last byte: the
    // trailer's, where there is one).
    const size_t chunk = PIN_CHUNK_SIZE;
    struct change {
        const char* where;
        size_t chunk_index;
        size_t at;                    // SIZE_MAX: the stream's last byte
    };
    const change changes[] = {
        {"first byte of a chunk", 1, chunk},
        {"middle of a chunk", 1, chunk + chunk / 2},
        {"last byte of a chunk", 1, 2 * chunk - 1},
        {"first byte of the last chunk", 3, 3 * chunk},
        {"middle of the last chunk", 3, 3 * chunk + 150},
        {"last byte of the last chunk", 3, SIZE_MAX},
    };
    for (bool with_trailer : {true, false}) {
      for (const change& c : changes) {
        for (bool borrowed : {false, true}) {
            SCOPED_TRACE(std::string(with_trailer ? "with a trailer, " : "without a trailer, ") +
                         c.where + (borrowed ? ", lent" : ", read"));
            std::vector<uint8_t> bytes;
            std::string path = verified(with_trailer, &bytes);
            size_t at = c.at == SIZE_MAX ? bytes.size() - 1 : c.at;
            ASSERT_LT(at, bytes.size());
            ASSERT_EQ(at / chunk, c.chunk_index);

            // In place: same inode, same size.
            unique_fd w(open(path.c_str(), O_WRONLY));
            uint8_t other = (uint8_t)(bytes[at] ^ 0x01);
            ASSERT_EQ(pwrite(w.fd, &other, 1, (off_t)at), 1);
            int last = 0;
            testing::internal::CaptureStdout();
            int fd = pinned.open(path.c_str());
            ASSERT_GE(fd, 0);
            std::vector<uint8_t> got = borrowed ? lent(fd, &last) : drain(fd, pinned.read, &last);
            pinned.close(fd);
            std::string said = testing::internal::GetCapturedStdout();
            // Signed or not: every chunk before the changed one, and not a
            // byte of that one.
            EXPECT_EQ(last, -1);
            EXPECT_EQ(got.size(), c.chunk_index * chunk);
            EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
            EXPECT_EQ(said, "Package " + path + " changed since it was verified!\n");
            // Every later pass is refused at its open.
            testing::internal::CaptureStdout();
            EXPECT_EQ(pinned.open(path.c_str()), -1);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), said);
        }
      }
    }

    // A pass that ends early (a begin script pass) and one that asks for more
    // than was verified: nothing past the verified stream is handed on.
    std::vector<uint8_t> bytes;
    std::string path = verified(true, &bytes);
    unique_fd a(open(path.c_str(), O_WRONLY | O_APPEND));
    ASSERT_EQ(write(a.fd, "more", 4), 4);
    int fd = pinned.open(path.c_str());
    uint8_t head[100];
    EXPECT_EQ(pinned.read(fd, head, (int)sizeof head), (int)sizeof head);
    pinned.close(fd);
    int last = 0;
    fd = pinned.open(path.c_str());
    EXPECT_TRUE(drain(fd, pinned.read, &last) == bytes);
    EXPECT_EQ(last, 0);
    pinned.close(fd);
}

TEST_F(PackageSource, ATrailerWhereTheFileHadNoneIsMalformed)
{
    // The end of the file showed no trailer, so no digest was taken; the pass
    // then reads one (the file changed between the look and the pass). It must
    // be refused, never accepted unchecked.
    bundle_package p;
    p.blocks.push_back(replace_block(board_.path("target"), pattern_bytes(5000, 3)));
    const std::vector<uint8_t> bare = bundle_bytes(p);
    std::vector<uint8_t> signed_bytes = bare;
    std::vector<uint8_t> t = openssl_trailer(bare, nullptr);
    signed_bytes.insert(signed_bytes.end(), t.begin(), t.end());
    static std::string looked_at, read_from;
    static unique_fd other;
    looked_at = board_.write("looked.bin", bare);
    read_from = board_.write("read.bin", signed_bytes);
    source_ops inner{};
    inner.open = [](const char*) { return open(looked_at.c_str(), O_RDONLY | O_CLOEXEC); };
    inner.read = [](int fd, void* buffer, int length) {
        if (other.fd < 0 || lseek(fd, 0, SEEK_CUR) == 0) {
            other.reset();
            other.fd = open(read_from.c_str(), O_RDONLY | O_CLOEXEC);
            lseek(fd, 1, SEEK_SET);
        }
        return read_full(other.fd, buffer, length);
    };
    inner.close = [](int fd) {
        other.reset();
        return close(fd);
    };
    trust_ops trust{trust_begin, trust_update, trust_check, trust_result_digest};
    trust_reset(false);
    source_ops pinned{};
    pin_source(&inner, &pinned);
    testing::internal::CaptureStdout();
    run_record run{};
    run.trust = &trust;
    EXPECT_EQ(verify_package(&pinned, looked_at.c_str(), no_report, 4096, &run), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Package trailer is malformed!"),
              std::string::npos);
    trust_reset(false);
}

}  // namespace
