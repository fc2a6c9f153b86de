#include "frontend/source.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "common/process.h"
#include "common/scoped.h"
#include "engine/package_format.h"
#include "engine/trailer.h"

pid_t gzip_pid = 0;

namespace {

// What the first open of the package found: every later phase must read the
// very file the verification pass read, not one put in its place since.
struct package_identity {
    char path[256];
    struct stat st;
    // The descriptor the verification pass read, kept under a read lease so
    // that later passes read the same file without opening its path again.
    // -1 when the file could not be leased (a FIFO, a filesystem without
    // leases or whose files change without breaking one, another user's
    // file): later passes then open the path again.
    int kept;
};
package_identity verified{{}, {}, -1};

// Set when the kernel breaks the lease: someone opened the file for writing
// or truncated it. From then on the file is taken as changed.
volatile sig_atomic_t lease_broken = 0;

void on_lease_break(int)
{
    lease_broken = 1;
    // Let the writer go on now rather than after the kernel's lease break
    // time: whatever it writes is refused, since the mark is set first.
    int saved = errno;
    if (verified.kept >= 0)
        ::fcntl(verified.kept, F_SETLEASE, F_UNLCK);
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

// Whether the kept file's lease still stands. The kernel is asked as well as
// the mark: it takes a lease away once a writer has waited out the break time,
// whether or not its signal was ever handled.
bool lease_holds()
{
    return !lease_broken && ::fcntl(verified.kept, F_GETLEASE) == F_RDLCK;
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
    // The change time too: a writer can put the modification time back, but
    // not that.
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}


// A later pass of a leased package: the kept file from its start, as long as
// nobody opened it for writing and the path still names it.
int reopen_kept(const char* path)
{
    struct stat st;
    if (!lease_holds() || ::stat(path, &st) < 0 || !same_file(st, verified.st))
        return say_package_changed(path);
    if (::lseek(verified.kept, 0, SEEK_SET) < 0) {
        perror("lseek");
        return -1;
    }
    int fd = ::fcntl(verified.kept, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        perror("dup");
    return fd;
}

// Opens the package file for reading; -1 after saying why, also when it is no
// longer the file that an earlier phase of this run opened under that path.
int open_package_file(const char* path)
{
    bool again = strcmp(verified.path, path) == 0;
    if (again && verified.kept >= 0)
        return reopen_kept(path);
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) {
        perror("open");
        return -1;
    }
    struct stat st;
    if (::fstat(fd.fd, &st) < 0) {
        perror("fstat");
        return -1;
    }
    if (again)
        return same_file(st, verified.st) ? fd.release() : say_package_changed(path);
    release_package_file();
    snprintf(verified.path, sizeof verified.path, "%s", path);
    verified.st = st;
    if (S_ISREG(st.st_mode) && lease_covers_every_write(fd.fd) && take_lease(fd.fd)) {
        // Never one of the standard descriptors, which a child may be given.
        verified.kept = ::fcntl(fd.fd, F_DUPFD_CLOEXEC, 3);
        if (verified.kept < 0) {
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
    if (verified.kept >= 0)
        return ::fstat(verified.kept, &st) == 0 && same_file(st, verified.st);
    if (!S_ISREG(verified.st.st_mode))
        return true;
    return ::stat(verified.path, &st) == 0 && same_file(st, verified.st);
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
    if ((verified.kept >= 0 && !lease_holds()) || (count < length && !still_same_file()))
        return say_package_changed(verified.path);
    return count;
}

// Reads of a plain package file go through one buffer of READ_AHEAD_SIZE
// bytes: the engine asks for a few KiB at a time, and as many system calls
// (each with its lease check) would cost more than the copy they make. Only a
// regular file is read ahead: a pipe's writer may keep it open after the
// package, and a read for bytes nobody needs would wait on it. The buffer
// belongs to one open handle at a time; another one open beside it reads
// unbuffered, so no handle ever loses bytes that were read ahead for it.
const int READ_AHEAD_SIZE = 64 * 1024;

struct read_ahead {
    int owner = -1;
    byte_buffer bytes;
    int start = 0;                    // next byte to hand on
    int end = 0;                      // bytes read into the buffer
    bool ended = false;               // the file ended within the buffer
};
read_ahead ahead;

void claim_read_ahead(int handle)
{
    // Another handle holds the buffer: this one reads unbuffered. A handle
    // that reuses the owner's number means the owner was closed without a
    // word: what was read ahead for it is dropped below.
    if (ahead.owner >= 0 && ahead.owner != handle)
        return;
    struct stat st;
    if (::fstat(handle, &st) < 0 || !S_ISREG(st.st_mode))
        return;
    ahead = read_ahead{};
    ahead.owner = handle;
}

// The buffer is taken at the first read that needs it: a reader that asks for
// large pieces alone (the pinned passes) never does. False when memory is
// short; reads then go straight to the caller.
bool have_read_ahead_buffer()
{
    if (!ahead.bytes)
        ahead.bytes = allocate_bytes(READ_AHEAD_SIZE);
    return ahead.bytes != nullptr;
}

// Reads up to `length` bytes of the buffer's owner. Bytes read while the
// lease stood are the verified ones, however long they wait in the buffer.
int read_while_leased(void* buffer, int length)
{
    int n = read_full(ahead.owner, buffer, length);
    if (n >= 0 && verified.kept >= 0 && !lease_holds())
        return say_package_changed(verified.path);
    return n;
}

// Brings the next bytes of the file into the buffer.
int refill_read_ahead()
{
    int n = read_while_leased(ahead.bytes.get(), READ_AHEAD_SIZE);
    if (n < 0)
        return -1;
    ahead.start = 0;
    ahead.end = n;
    ahead.ended = n < READ_AHEAD_SIZE;
    return 0;
}

int read_ahead_of(void* buffer, int length)
{
    char* to = static_cast<char*>(buffer);
    int total = 0;
    while (total < length) {
        if (lease_broken)
            return say_package_changed(verified.path);
        int want = length - total;
        if (ahead.start == ahead.end) {
            if (ahead.ended)
                break;
            // A request as large as the buffer goes straight to the caller.
            if (want >= READ_AHEAD_SIZE || !have_read_ahead_buffer()) {
                int n = read_while_leased(to + total, want);
                if (n < 0)
                    return -1;
                ahead.ended = n < want;
                total += n;
            } else if (refill_read_ahead() < 0) {
                return -1;
            }
            continue;
        }
        int take = want < ahead.end - ahead.start ? want : ahead.end - ahead.start;
        memcpy(to + total, ahead.bytes.get() + ahead.start, (size_t)take);
        ahead.start += take;
        total += take;
    }
    // The lease was asked about as the bytes came in; an early end is looked
    // at as in unless_changed.
    if (total < length && !still_same_file())
        return say_package_changed(verified.path);
    return total;
}

}  // namespace

int say_package_changed(const char* path)
{
    printf("Package %s changed since it was verified!\n", path);
    return -1;
}

int open_plain_source(const char* path)
{
    int handle = open_package_file(path);
    if (handle >= 0)
        claim_read_ahead(handle);
    return handle;
}

int read_plain_source(int handle, void* buffer, int length)
{
    if (handle >= 0 && handle == ahead.owner)
        return read_ahead_of(buffer, length);
    return unless_changed(read_full(handle, buffer, length), length);
}

int close_plain_source(int handle)
{
    if (handle == ahead.owner)
        ahead = read_ahead{};
    return ::close(handle);
}

bool package_file_leased()
{
    return verified.kept >= 0 && lease_holds();
}

void release_package_file()
{
    if (verified.kept >= 0) {
        ::fcntl(verified.kept, F_SETLEASE, F_UNLCK);
        ::close(verified.kept);
    }
    verified = package_identity{{}, {}, -1};
    lease_broken = 0;
}

int open_gzip_source(const char* path)
{
    // gunzip reads the descriptor we opened and checked, never the path again:
    // the file under the path could be another by then.
    unique_fd file(open_package_file(path));
    if (file.fd < 0)
        return -1;
    char* const argv[] = {const_cast<char*>("gunzip"), const_cast<char*>("-c"), nullptr};
    int read_end = -1;
    pid_t pid = spawn_piped(argv, STDOUT_FILENO, &read_end, file.fd);
    if (pid < 0)
        return -1;
    gzip_pid = pid;
    return read_end;
}

int close_gzip_source(int handle)
{
    // gunzip may still be writing the rest of the package into the pipe: it would
    // never end by itself once we stop reading, so it is killed before the wait.
    child_guard child(gzip_pid);
    gzip_pid = 0;
    if (child.pid > 0)
        ::kill(child.pid, SIGKILL);
    child.wait();
    ::close(handle);
    return 0;
}

int read_gzip_source(int handle, void* buffer, int length)
{
    int n = unless_changed(read_full(handle, buffer, length), length);
    if (n < 0 || n == length || gzip_pid <= 0)
        return n;
    // The pipe has ended, so gunzip has finished writing: its status says whether
    // what it wrote is the whole package.
    child_guard child(gzip_pid);
    gzip_pid = 0;
    int status = child.wait();
    // Status 2 is gunzip's warning that it ignored bytes after the compressed
    // stream (a package padded to fill a flash slot): the package is whole.
    if (!exited_with(status, 0) && !exited_with(status, 2)) {
        if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 255)
            puts("gunzip could not be run");
        else if (status >= 0 && WIFEXITED(status))
            printf("gunzip failed with status %d: the package stream is damaged\n",
                   WEXITSTATUS(status));
        else
            puts("gunzip did not finish: the package stream is incomplete");
        return -1;
    }
    return n;
}

int finish_gzip_source(int handle)
{
    // The check value at the stream's end is tested only once gunzip reaches it.
    uint8_t rest[4096];
    int n;
    while ((n = read_gzip_source(handle, rest, (int)sizeof rest)) == (int)sizeof rest) {
    }
    return n < 0 ? -1 : 0;
}

bool package_may_end_in_trailer(int handle)
{
    struct stat st;
    if (::fstat(handle, &st) < 0 || !S_ISREG(st.st_mode))
        return true;                  // a pipe cannot be looked at from its end
    package_header header{};
    if (::pread(handle, &header, sizeof header, 0) != (ssize_t)sizeof header)
        return true;
    uint64_t size = (uint64_t)st.st_size;
    uint64_t limit = trailer_size_limit(header.block_count);
    uint32_t tail = (uint32_t)(size < limit ? size : limit);
    byte_buffer bytes = allocate_bytes(tail);
    if (!bytes)
        return true;
    uint32_t got = 0;
    while (got < tail) {
        ssize_t n = ::pread(handle, bytes.get() + got, tail - got, (off_t)(size - tail + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        got += (uint32_t)n;
    }
    // Any trailer version: the magic's first seven bytes, and the size it states
    // reaching exactly to the end.
    for (uint32_t at = 0; at + TRAILER_PROBE_SIZE <= tail; ++at) {
        uint32_t stated;
        memcpy(&stated, bytes.get() + at + TRAILER_MAGIC_SIZE, sizeof stated);
        if (memcmp(bytes.get() + at, TRAILER_MAGIC_V1, TRAILER_MAGIC_SIZE - 1) == 0 &&
            stated == tail - at)
            return true;
    }
    return false;
}

int read_full(int handle, void* buffer, int length)
{
    char* to = static_cast<char*>(buffer);
    int total = 0;
    do {
        ssize_t n = ::read(handle, to + total, (size_t)(length - total));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        total += (int)n;
    } while (total < length);
    return total;
}
