#include "backends/runners.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backends/file.h"
#include "backends/partition.h"
#include "backends/trust.h"
#include "common/io.h"
#include "common/process.h"
#include "common/scoped.h"

// Runs bspatch and waits. 0 only when it exited with status 0.
static int exec_bspatch(const char* old_path, const char* new_path, const char* patch_path)
{
    child_guard child(fork_flushed());
    if (child.pid < 0)
        return -1;
    if (child.pid == 0) {
        ::execlp("bspatch", "bspatch", old_path, new_path, patch_path, (char*)nullptr);
        perror("execlp error!");
        _exit(EXEC_FAILED);
    }
    int status = child.wait();
    if (exited_with(status, EXEC_FAILED)) {
        puts("bspatch exec error");
        return -1;
    }
    // A damaged patch or a tool killed midway must never count as applied.
    return exited_with(status, 0) ? 0 : -1;
}

// Copies the patched file into the original's own inode, so that every name of
// a hard-linked file sees the new contents. This cannot be atomic.
static int rewrite_in_place(const char* patched, const char* path, const struct stat& original)
{
    unique_fd from(::open(patched, O_RDONLY | O_CLOEXEC));
    unique_fd to(::open(path, O_WRONLY | O_CLOEXEC));
    if (from.fd < 0 || to.fd < 0) {
        perror("open");
        return -1;
    }
    char buffer[4096];
    off_t total = 0;
    for (;;) {
        ssize_t n = read_some(from.fd, buffer, sizeof buffer);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        if (write_full(to.fd, buffer, (int)n) != (int)n)
            return -1;
        total += n;
    }
    if (::ftruncate(to.fd, total) < 0) {
        perror("ftruncate");
        return -1;
    }
    // A write by a user other than root clears setuid and setgid.
    if (take_identity(to.fd, original) < 0)
        return -1;
    if (::fsync(to.fd) < 0) {
        perror("fsync");
        return -1;
    }
    if (to.reset() < 0) {
        perror("close");
        return -1;
    }
    return 0;
}

// Gives the patched file the original's owner, group and mode bits, flushes it
// and renames it over the original.
static int replace_with(const char* patched, const char* path, const struct stat& original)
{
    unique_fd done(::open(patched, O_RDONLY | O_CLOEXEC));
    if (done.fd < 0) {
        perror("open");
        return -1;
    }
    if (take_identity(done.fd, original) < 0)
        return -1;
    if (::fsync(done.fd) < 0 || done.reset() < 0) {
        perror("fsync");
        return -1;
    }
    if (::rename(patched, path) < 0) {
        perror("rename");
        return -1;
    }
    return sync_directory_of(path);
}

// 0 when the file at `patched` has the SHA-256 `expected` (or nothing is
// expected); -1 after saying that `path` keeps its old contents.
static int check_result(const char* patched, const char* path, const uint8_t* expected)
{
    if (expected == nullptr)
        return 0;
    uint8_t digest[32];
    if (sha256_of_file(patched, digest) < 0)
        return -1;
    if (memcmp(digest, expected, sizeof digest) != 0) {
        printf("Patch result for %s does not match the package: the file keeps its old "
               "contents\n", path);
        return -1;
    }
    return 0;
}

// Patches `path` in place without ever leaving it half written: bspatch writes a
// staging file beside it, which replaces the original only once complete, on
// storage and, when the package names it, found to be the expected result.
// Patch tools asked to write the file they read truncate it first.
static int patch_in_place(const char* path, const char* patch_path, const uint8_t* expected)
{
    struct stat original;
    if (::stat(path, &original) < 0) {
        perror("stat");
        return -1;
    }
    // A run that is repeated after a crash finds files it patched already: the
    // result is there, and patching it again would only fail the check.
    uint8_t digest[32];
    if (expected != nullptr && sha256_of_file(path, digest) == 0 &&
        memcmp(digest, expected, sizeof digest) == 0) {
        printf("%s already holds the patch result: left as it is\n", path);
        return 0;
    }
    char staging[PATH_MAX];
    if (staging_path(path, staging) < 0) {
        puts("bspatch: path too long");
        return -1;
    }
    unique_fd staging_fd(create_staging(staging, 0600));
    if (staging_fd.fd < 0) {
        perror("open");
        return -1;
    }
    staging_fd.reset();
    int result = exec_bspatch(path, staging, patch_path);
    if (result == 0)
        result = check_result(staging, path, expected);
    // A file with other names, or whose owner a new file could not get, is
    // rewritten through its own inode; everything else is renamed over.
    bool rename_over = original.st_nlink == 1 && may_take_owner(original);
    if (result == 0)
        result = rename_over ? replace_with(staging, path, original)
                             : rewrite_in_place(staging, path, original);
    if (result < 0 || !rename_over)
        ::unlink(staging);
    return result;
}

int run_checked_bspatch(const char* old_path, const char* new_path, const char* patch_path,
                        const uint8_t* result_sha256)
{
    // The result replaces the file itself, never a link that leads to it: renamed
    // over a link, it would cut the link and leave the file behind it unpatched.
    char old_real[PATH_MAX];
    char new_real[PATH_MAX];
    if (::realpath(old_path, old_real) != nullptr && ::realpath(new_path, new_real) != nullptr &&
        strcmp(old_real, new_real) == 0)
        return patch_in_place(new_real, patch_path, result_sha256);
    if (strcmp(old_path, new_path) == 0)
        return patch_in_place(new_path, patch_path, result_sha256);
    if (exec_bspatch(old_path, new_path, patch_path) < 0)
        return -1;
    if (check_result(new_path, new_path, result_sha256) < 0) {
        ::unlink(new_path);           // a wrong result must not stay under its name
        return -1;
    }
    return 0;
}

int run_bspatch(const char* old_path, const char* new_path, const char* patch_path)
{
    return run_checked_bspatch(old_path, new_path, patch_path, nullptr);
}

int run_shell_script(const char* text, int length)
{
    fflush(stdout);                   // the shell shares our output: ours goes first
    fflush(stderr);
    FILE* shell = ::popen("sh", "we");
    if (shell == nullptr)
        return -1;
    int total = 0;
    int last = 0;
    while (total < length) {
        size_t n = fwrite(text + total, 1, (size_t)(length - total), shell);
        if (ferror(shell))
            break;
        last = (int)n;
        if (n == 0)
            break;
        total += (int)n;
    }
    // Bytes still buffered in the stream reach the shell only here; a shell that
    // has gone shows up as a failed flush.
    if (ferror(shell) || fflush(shell) != 0) {
        perror("fwrite");
        ::pclose(shell);
        return -1;
    }
    ::pclose(shell);                  // the script's own status is not examined
    return last;
}
