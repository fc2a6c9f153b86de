// The package file: its identity as first opened, and the read lease that
// tells of any writer from then on.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "common/scoped.h"
#include "source/package_state.h"
#include "source/source.h"

package_state package;
volatile sig_atomic_t lease_broken = 0;

namespace {

// How often a later pass opens a FIFO again whose writer left without a byte
// for it: the writer of the last copy leaves once; one that comes and goes
// again and again serves no package.
constexpr int FIFO_REOPENS = 4;

void on_lease_break(int)
{
    lease_broken = 1;
    // Let the writer go on now rather than after the kernel's lease break
    // time: whatever it writes is refused, since the mark is set first.
    int saved = errno;
    if (package.kept >= 0)
        ::fcntl(package.kept, F_SETLEASE, F_UNLCK);
    errno = saved;
}

// A read lease on `fd`: the kernel refuses it while anyone has the file open
// for writing, and tells us (SIGIO) when anyone opens it for writing later.
bool take_lease(int fd)
{
    struct sigaction sa = {};
    sa.sa_handler = on_lease_break;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    if (::sigaction(SIGIO, &sa, nullptr) < 0)
        return false;
    // Whoever started us may have left SIGIO blocked, and a blocked signal
    // never reaches the handler: the kernel would take the lease away after
    // its break time, and the writer would write while we read on unaware.
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    if (::sigprocmask(SIG_UNBLOCK, &io, nullptr) < 0)
        return false;
    return ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
}

// Filesystems where every write to a file breaks the leases on it: each
// write goes through an open of that very inode in this kernel. Elsewhere the
// kernel may grant a lease all the same, but it says nothing: an overlay's
// upper file is written through its own path, and a FUSE file holds whatever
// its server says; neither breaks a lease on the file that we opened. Magic
// numbers as statfs reports them, compared unsigned (f_type is signed on
// 32-bit ARM).
const uint32_t lease_keeping_filesystems[] = {
    0xEF53,                           // ext2, ext3, ext4
    0x01021994,                       // tmpfs
    0x858458F6,                       // ramfs
    0x9123683E,                       // btrfs
    0x58465342,                       // xfs
    0xF2F52010,                       // f2fs
    0x4D44,                           // vfat
    0x2011BAB0,                       // exfat
    0x24051905,                       // ubifs
    0x72B6,                           // jffs2
};

bool lease_covers_every_write(int fd)
{
    struct statfs fs;
    if (::fstatfs(fd, &fs) < 0)
        return false;
    for (uint32_t type : lease_keeping_filesystems)
        if ((uint32_t)fs.f_type == type)
            return true;
    return false;
}

bool same_file(const struct stat& a, const struct stat& b)
{
    if (a.st_dev != b.st_dev || a.st_ino != b.st_ino || (a.st_mode & S_IFMT) != (b.st_mode & S_IFMT))
        return false;
    // A FIFO's times change with every write that feeds it, and its size says
    // nothing: whether it serves the same bytes again is for the pin to judge.
    if (!S_ISREG(a.st_mode))
        return true;
    // The change time too: a writer can put the modification time back, but
    // not that.
    return a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// A later pass stops reading a FIFO once it has a whole copy, and closes. A
// writer that serves a copy at every open (`cat` in a loop) may still hold its
// end for a moment after its last bytes: an open right then joins that writer,
// and a read would take its close for the end of this pass's copy, with no
// byte of it. Such a pass opens the FIFO again, and meets the writer's next
// open. Whether the writer of the FIFO open on `fd` left without writing a
// byte; false once one came, or when poll fails (the read will tell).
bool writer_left_unheard(int fd)
{
    pollfd ready{fd, POLLIN, 0};
    int n;
    do n = ::poll(&ready, 1, -1); while (n < 0 && errno == EINTR);
    return n == 1 && (ready.revents & (POLLIN | POLLHUP)) == POLLHUP;
}

// A later pass of a leased package: the kept file from its start, as long as
// nobody opened it for writing and the path still names it.
int reopen_kept(const char* path)
{
    struct stat st;
    if (!lease_holds() || ::stat(path, &st) < 0 || !same_file(st, package.st))
        return say_package_changed(path);
    if (::lseek(package.kept, 0, SEEK_SET) < 0) {
        perror("lseek");
        return -1;
    }
    int fd = ::fcntl(package.kept, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        perror("dup");
    return fd;
}

}  // namespace

// Whether the kept file's lease still stands. The kernel is asked as well as
// the mark: it takes a lease away once a writer has waited out the break time,
// whether or not its signal was ever handled.
bool lease_holds()
{
    return !lease_broken && ::fcntl(package.kept, F_GETLEASE) == F_RDLCK;
}

// Opens the package file for reading; -1 after saying why, also when it is no
// longer the file that an earlier phase of this run opened under that path.
int open_package_file(const char* path)
{
    bool again = strcmp(package.path, path) == 0;
    if (again && package.kept >= 0)
        return reopen_kept(path);
    unique_fd fd;
    struct stat st;
    for (int reopens = 0;; ++reopens) {
        fd.reset();
        fd.fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd.fd < 0) {
            perror("open");
            return -1;
        }
        if (::fstat(fd.fd, &st) < 0) {
            perror("fstat");
            return -1;
        }
        if (!again || !S_ISFIFO(st.st_mode) || reopens == FIFO_REOPENS ||
            !writer_left_unheard(fd.fd))
            break;
    }
    if (again)
        return same_file(st, package.st) ? fd.release() : say_package_changed(path);
    release_package_file();
    snprintf(package.path, sizeof package.path, "%s", path);
    package.st = st;
    if (S_ISREG(st.st_mode) && lease_covers_every_write(fd.fd) && take_lease(fd.fd)) {
        // Never one of the standard descriptors, which a child may be given.
        package.kept = ::fcntl(fd.fd, F_DUPFD_CLOEXEC, 3);
        if (package.kept < 0) {
            ::fcntl(fd.fd, F_SETLEASE, F_UNLCK);
            perror("dup");
            return -1;
        }
    }
    return fd.release();
}

// Whether the package file still looks as at its first open. A FIFO cannot
// tell: its times change with every write that feeds it.
bool still_same_file()
{
    struct stat st;
    if (package.kept >= 0)
        return ::fstat(package.kept, &st) == 0 && same_file(st, package.st);
    if (!S_ISREG(package.st.st_mode))
        return true;
    return ::stat(package.path, &st) == 0 && same_file(st, package.st);
}

// -1 after saying so when the lease on the package broke: bytes read since
// may not be the verified ones. An early end is looked at too: whoever may
// write the file can empty it with an open for reading and O_TRUNC, which
// breaks no read lease, and the change must be told as such rather than as
// a short package or a damaged gzip stream.
int unless_changed(int count, int length)
{
    if (count < 0)
        return count;
    if ((package.kept >= 0 && !lease_holds()) || (count < length && !still_same_file()))
        return say_package_changed(package.path);
    return count;
}

int say_package_changed(const char* path)
{
    printf("Package %s changed since it was verified!\n", path);
    return -1;
}

bool package_file_leased()
{
    return package.kept >= 0 && lease_holds();
}

bool package_is_pipe()
{
    return package.path[0] != '\0' && !S_ISREG(package.st.st_mode);
}

void release_package_file()
{
    if (package.kept >= 0) {
        ::fcntl(package.kept, F_SETLEASE, F_UNLCK);
        ::close(package.kept);
    }
    package.path[0] = '\0';
    package.st = {};
    package.kept = -1;
    lease_broken = 0;
}
