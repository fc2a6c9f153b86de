// Raw partitions on this machine: regular files and loop devices for block
// devices, the nandwrite and busybox stand-ins and the preloaded size shim for
// MTD character devices.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "backends/partition.h"
#include "source/source.h"
#include "common/process.h"
#include "tests/support/sandbox.h"

namespace {

// Started as a probe, this binary reports one partition size and leaves before
// any test runs: a preloaded library only takes effect when a process starts.
int run_size_probe()
{
    const char* device = getenv("FWDEPLOY_SIZE_PROBE");
    if (device == nullptr)
        return 0;
    printf("size %lld\n", (long long)get_partition_size(device));
    fflush(stdout);
    _exit(0);
}
[[maybe_unused]] const int size_probe = run_size_probe();

// True when every child of ours has been collected.
bool no_children_left()
{
    return child_processes().empty();
}

void write_text(const std::string& path, const std::string& text)
{
    write_file(path, bytes_of(text));
}

std::string pattern(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = (char)((i * 7 + i / 251) & 0xff);
    return text;
}

// Descriptors a stand-in logged, as "FD TARGET" lines.
std::vector<std::pair<int, std::string>> logged_fds(const std::string& path)
{
    std::vector<std::pair<int, std::string>> fds;
    for (const std::string& line : split_lines(read_text(path))) {
        size_t space = line.find(' ');
        if (space != std::string::npos)
            fds.emplace_back(atoi(line.c_str()), line.substr(space + 1));
    }
    return fds;
}

std::string pipe_name(int fd)
{
    char link[64];
    char target[256] = {};
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, (size_t)n) : std::string();
}

class RawPartition : public ::testing::Test {
protected:
    void SetUp() override
    {
        make_broken_pipe_harmless();
        dir_ = board_.root();
        board_.make_dir("board/dev");
        board_.make_dir("empty");
        const char* path = getenv("PATH");
        saved_path_ = path != nullptr ? path : "/usr/bin:/bin";
        setenv("PATH", (std::string(TEST_SOURCE_DIR "/standins:") + saved_path_).c_str(), 1);
        setenv("STANDIN_LOG", log().c_str(), 1);
        setenv("STANDIN_FDLOG", fd_log().c_str(), 1);
        fds_before_ = count_open_fds();
    }

    void TearDown() override
    {
        EXPECT_TRUE(no_children_left());
        EXPECT_EQ(count_open_fds(), fds_before_);
        setenv("PATH", saved_path_.c_str(), 1);
        for (const char* knob : {"STANDIN_LOG", "STANDIN_FDLOG", "STANDIN_NANDWRITE_STATUS",
                                 "STANDIN_NANDWRITE_DIE_AFTER", "STANDIN_ERASE_STATUS"})
            unsetenv(knob);
    }

    std::string device(const std::string& name) const { return dir_ + "/board/dev/" + name; }
    std::string log() const { return dir_ + "/calls.log"; }
    std::string fd_log() const { return dir_ + "/fds.log"; }
    // PATH holding none of the programs the back end starts.
    void hide_programs() { setenv("PATH", (dir_ + "/empty").c_str(), 1); }

    sandbox_dir board_{"fwdeploy-part"};
    std::string dir_;
    std::string saved_path_;
    int fds_before_ = 0;
};

TEST_F(RawPartition, ClassifiesDevicePathsByText)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(classify_partition("/dev/mtd3"), PART_MTD_CHAR);
    EXPECT_EQ(classify_partition("/dev/mtdblock3"), PART_MTD_BLOCK);
    EXPECT_EQ(classify_partition("/dev/mmcblk0p5"), PART_EMMC);
    EXPECT_EQ(classify_partition("/board/dev/mtd"), PART_MTD_CHAR);
    EXPECT_EQ(classify_partition("/dev/mtdBlock1"), PART_MTD_CHAR);
    EXPECT_EQ(classify_partition("/mnt/dev/mtd2"), PART_MTD_CHAR);
    EXPECT_EQ(classify_partition("/dev/mtdblock"), PART_MTD_BLOCK);
    // The first "/dev/mtd" decides, wherever an eMMC name follows.
    EXPECT_EQ(classify_partition("/dev/mtd1/dev/mmcblk0"), PART_MTD_CHAR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // Every path operation refuses an unknown kind on its own, before touching it.
    testing::internal::CaptureStdout();
    EXPECT_EQ(open_partition("/dev/sda1"), -1);
    EXPECT_EQ(erase_partition("/dev/sda1"), -1);
    EXPECT_EQ(get_partition_size("/dev/sda1"), -1);
    EXPECT_EQ(get_partition_size("/dev/MTD3"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "path[/dev/sda1] error!\npath[/dev/sda1] error!\npath[/dev/sda1] error!\n"
              "path[/dev/MTD3] error!\n");
    EXPECT_EQ(read_text(log()), "");
}

TEST_F(RawPartition, WriteFullKeepsWritingUntilEverythingIsTaken)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);

    // Length 0 writes nothing and is no failure.
    EXPECT_EQ(write_full(fds[1], "x", 0), 0);

    // A reader that takes small pieces while a timer keeps interrupting the
    // writer makes the system hand back partial counts.
    const std::string data = pattern(4 << 20);
    std::string received;
    sigset_t alarm_set;
    sigemptyset(&alarm_set);
    sigaddset(&alarm_set, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_set, nullptr);
    std::thread reader([&] {
        char piece[1000];
        ssize_t n;
        while ((n = read(fds[0], piece, sizeof piece)) > 0) {
            received.append(piece, (size_t)n);
            usleep(10);
        }
    });
    pthread_sigmask(SIG_UNBLOCK, &alarm_set, nullptr);
    struct sigaction sa = {}, old_sa = {};
    sa.sa_handler = [](int) {};       // only to interrupt the writes
    sa.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &sa, &old_sa);
    itimerval every = {{0, 300}, {0, 300}}, off = {};
    setitimer(ITIMER_REAL, &every, nullptr);
    int written = write_full(fds[1], data.data(), (int)data.size());
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old_sa, nullptr);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(written, (int)data.size());
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

TEST_F(RawPartition, WriteFullReportsAReaderThatIsGone)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_full(fds[1], "data", 4), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "write: Broken pipe\n");
    close(fds[1]);
}

TEST_F(RawPartition, MtdCharacterDeviceIsWrittenThroughNandwrite)
{
    const std::string dev = device("mtd3");
    write_text(dev, std::string(65536, '\xaa'));
    const std::string data = pattern(200000);

    // A package source is open while the partition is written, as in a run.
    const std::string package = gzip_copy(board_.write("pkg", "package"));
    int source = open_gzip_source(package.c_str());
    ASSERT_GE(source, 0);

    int fd = open_partition(dev.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_GT(nandwrite_pid, 0);
    EXPECT_EQ(write_full(fd, data.data(), (int)data.size()), (int)data.size());
    const std::string pipe_to_nandwrite = pipe_name(fd);
    EXPECT_EQ(close_target(fd), 0);
    const std::string gzip_pipe = pipe_name(source);
    close_gzip_source(source);
    release_package_file();

    EXPECT_EQ(read_text(log()), "nandwrite -p " + dev + "\n");
    std::string flash = read_text(dev);
    ASSERT_EQ(flash.size(), data.size());
    EXPECT_TRUE(flash == data);

    // nandwrite holds its pipe only as standard input: a second end would keep it
    // from ever seeing the end of its input. Nor may the package pipe reach it.
    ASSERT_EQ(pipe_to_nandwrite.rfind("pipe:", 0), 0u);
    int holders = 0;
    for (const auto& [number, target] : logged_fds(fd_log())) {
        EXPECT_NE(target, gzip_pipe) << "descriptor " << number;
        if (target == pipe_to_nandwrite) {
            ++holders;
            EXPECT_EQ(number, 0);
        }
    }
    EXPECT_EQ(holders, 1);
}

TEST_F(RawPartition, NandwriteGetsItsInputWhenOursIsClosed)
{
    // A tool started with its standard input closed hands descriptor 0 to the
    // first pipe it makes.
    const std::string dev = device("mtd2");
    write_text(dev, "");
    int saved_stdin = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    ASSERT_GE(saved_stdin, 0);
    close(STDIN_FILENO);
    int fd = open_partition(dev.c_str());
    int written = write_full(fd, "through fd 0", 12);
    int closed = close_target(fd);
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(written, 12);
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(read_text(dev), "through fd 0");
}

TEST_F(RawPartition, NandwriteFailuresAreReported)
{
    const std::string dev = device("mtd4");
    write_text(dev, std::string(4096, '\0'));
    const std::string data = pattern(1 << 20);

    // Took everything, then failed.
    setenv("STANDIN_NANDWRITE_STATUS", "1", 1);
    int fd = open_partition(dev.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write_full(fd, "abc", 3), 3);
    EXPECT_EQ(close_target(fd), -1);
    EXPECT_TRUE(no_children_left());
    unsetenv("STANDIN_NANDWRITE_STATUS");

    // Killed while waiting for data.
    fd = open_partition(dev.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kill(nandwrite_pid, SIGKILL), 0);
    EXPECT_EQ(close_target(fd), -1);
    EXPECT_TRUE(no_children_left());

    // Stopped reading midway: the writer gets a failed write, not a fatal signal.
    setenv("STANDIN_NANDWRITE_DIE_AFTER", "100", 1);
    fd = open_partition(dev.c_str());
    ASSERT_GE(fd, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_full(fd, data.data(), (int)data.size()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "write: Broken pipe\n");
    EXPECT_EQ(close_target(fd), -1);
    EXPECT_TRUE(no_children_left());
    unsetenv("STANDIN_NANDWRITE_DIE_AFTER");

    // Not on PATH: the child says so, the data has nowhere to go.
    hide_programs();
    testing::internal::CaptureStderr();
    fd = open_partition(dev.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write_full(fd, data.data(), (int)data.size()), -1);
    EXPECT_EQ(close_target(fd), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "execlp error!: No such file or directory\nwrite: Broken pipe\n");
}

TEST_F(RawPartition, CloseTargetWaitsOnlyForItsOwnNandwrite)
{
    const std::string dev = device("mtd5");
    write_text(dev, "");
    const std::string file = dir_ + "/plain.bin";
    write_text(file, "");

    int pipe_fd = open_partition(dev.c_str());
    ASSERT_GE(pipe_fd, 0);
    pid_t writer = nandwrite_pid;

    // nandwrite is still waiting for input: waiting for it here would never end,
    // so a wrong wait shows up as this alarm ending the test.
    alarm(30);
    int file_fd = open(file.c_str(), O_WRONLY);
    ASSERT_GE(file_fd, 0);
    EXPECT_EQ(write_full(file_fd, "file", 4), 4);
    EXPECT_EQ(close_target(file_fd), 0);
    alarm(0);
    EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "nandwrite was collected by another close";

    EXPECT_EQ(write_full(pipe_fd, "flash", 5), 5);
    EXPECT_EQ(close_target(pipe_fd), 0);
    EXPECT_EQ(read_text(dev), "flash");

    // Later closes of other targets find no child of theirs and succeed.
    file_fd = open(file.c_str(), O_WRONLY);
    ASSERT_GE(file_fd, 0);
    EXPECT_EQ(close_target(file_fd), 0);
    EXPECT_EQ(read_text(file), "file");
}

TEST_F(RawPartition, BlockDevicesAreWrittenInPlace)
{
    for (const char* name : {"mtdblock3", "mmcblk0p5"}) {
        SCOPED_TRACE(name);
        const std::string dev = device(name);
        write_text(dev, std::string(8192, '\xaa'));

        EXPECT_EQ(get_partition_size(dev.c_str()), 8192);
        testing::internal::CaptureStdout();
        EXPECT_EQ(erase_partition(dev.c_str()), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Write " + dev + " with 0xFF\n");

        int fd = open_partition(dev.c_str());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(write_full(fd, "written", 7), 7);
        EXPECT_EQ(close_target(fd), 0);
        EXPECT_EQ(read_text(dev), "written" + std::string(8192 - 7, '\xaa'));
    }
    EXPECT_EQ(read_text(log()), "") << "no program runs for a block device";

    // A device missing from the board.
    const std::string missing = device("mmcblk1p1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_partition(missing.c_str()), -1);
    EXPECT_EQ(get_partition_size(missing.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "open: No such file or directory\nopen: No such file or directory\n");

    // Sizes past 4 GiB come back whole, also where long is 32 bits.
    const std::string big = device("mmcblk0p6");
    write_text(big, "");
    ASSERT_EQ(truncate(big.c_str(), 5LL << 30), 0);
    EXPECT_EQ(get_partition_size(big.c_str()), 5LL << 30);
}

TEST_F(RawPartition, MtdCharacterDeviceIsErasedThroughBusybox)
{
    const std::string dev = device("mtd6");
    write_text(dev, std::string(4096, '\0'));
    EXPECT_EQ(erase_partition(dev.c_str()), 1);
    EXPECT_EQ(read_text(log()), "flash_eraseall " + dev + "\n");
    EXPECT_EQ(read_text(dev), std::string(4096, '\xff'));

    // A failed erase must not pass for one that worked.
    write_text(dev, std::string(4096, '\0'));
    setenv("STANDIN_ERASE_STATUS", "1", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(erase_partition(dev.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    unsetenv("STANDIN_ERASE_STATUS");
    EXPECT_TRUE(no_children_left());

    // Output still in our buffer is printed once: the child that fails to start
    // must neither flush it nor print before it.
    hide_programs();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    printf("pending, ");
    EXPECT_EQ(erase_partition(dev.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "execlp error!: No such file or directory\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "pending, flash_eraseall exec error\n");
    EXPECT_EQ(read_text(dev), std::string(4096, '\0'));
}

TEST_F(RawPartition, MtdCharacterDeviceSizeComesFromTheSizeRequest)
{
    const std::string dev = device("mtd7");
    write_text(dev, std::string((3 << 20) + 5, 'x'));

    // A plain file refuses the request (qemu-user answers requests it does not
    // know with ENOSYS).
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_partition_size(dev.c_str()), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(err == "ioctl: Inappropriate ioctl for device\n" ||
                err == "ioctl: Function not implemented\n")
        << err;

    // Through the shim, in a process of its own.
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        setenv("LD_PRELOAD", MTD_SHIM_PATH, 1);
        setenv("FWDEPLOY_SIZE_PROBE", dev.c_str(), 1);
        const char* asan = getenv("ASAN_OPTIONS");
        std::string options = "verify_asan_link_order=0";
        if (asan != nullptr && *asan != '\0')
            options = std::string(asan) + ":" + options;
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        execl(self, self, (char*)nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string report;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        report.append(buf, (size_t)n);
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(report, "size " + std::to_string((3 << 20) + 5) + "\n");
}

// A real block device: a loop device behind the eMMC name of the board.
TEST(LoopDevice, EmmcPartitionBehindALoopDevice)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "loop devices need root";
    sandbox_dir board("fwdeploy-loop");
    const std::string image = board.write("image", std::string(1 << 20, '\xaa'));

    struct attached_loop {
        std::string device;
        ~attached_loop()
        {
            if (!device.empty()) {
                EXPECT_EQ(system(("losetup -d '" + device + "'").c_str()), 0);
            }
        }
    } loop;
    if (FILE* p = popen(("losetup -f --show '" + image + "' 2>/dev/null").c_str(), "r")) {
        char line[256] = {};
        if (fgets(line, sizeof line, p) != nullptr && strchr(line, '\n') != nullptr)
            loop.device.assign(line, strchr(line, '\n'));
        if (pclose(p) != 0)
            loop.device.clear();
    }
    if (loop.device.empty())
        GTEST_SKIP() << "losetup cannot attach a loop device here";
    const std::string dev = board.make_dir("board/dev") + "/mmcblk0p5";
    ASSERT_EQ(symlink(loop.device.c_str(), dev.c_str()), 0);

    int fds_before = count_open_fds();
    EXPECT_EQ(get_partition_size(dev.c_str()), 1 << 20);
    const std::string data = pattern(100000);
    int fd = open_partition(dev.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write_full(fd, data.data(), (int)data.size()), (int)data.size());
    EXPECT_EQ(close_target(fd), 0);
    EXPECT_EQ(count_open_fds(), fds_before);
    EXPECT_TRUE(no_children_left());

    // What went through the device sits in the image it is made of.
    std::string contents = read_text(image);
    EXPECT_TRUE(contents == data + std::string((1 << 20) - data.size(), '\xaa'));

    // Under its own name, which no eMMC text matches, the device itself tells
    // that it is a block device: sized, filled with 0xFF and written alike.
    const char* own = loop.device.c_str();
    testing::internal::CaptureStdout();
    EXPECT_EQ(classify_partition(own), PART_EMMC);
    EXPECT_EQ(get_partition_size(own), 1 << 20);
    EXPECT_EQ(erase_partition(own), 0);
    fd = open_partition(own);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write_full(fd, "slot", 4), 4);
    EXPECT_EQ(close_target(fd), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Write " + loop.device + " with 0xFF\n");
    EXPECT_EQ(read_text(image).substr(0, 4), "slot");
}

}  // namespace
