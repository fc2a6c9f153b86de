#include "backends/runners.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "backends/file.h"
#include "backends/partition.h"
#include "backends/trust.h"
#include "common/io.h"
#include "common/process.h"
#include "common/scoped.h"

// A name through which a child opens the file `fd` is open on (the descriptor
// must reach it): the kernel goes straight to the open file, so no directory
// entry is looked up again, whoever may have renamed something over it since.
static void descriptor_path(int fd, char (&path)[32])
{
    snprintf(path, sizeof path, "/dev/fd/%d", fd);
    if (::access(path, F_OK) != 0)    // a board without the /dev/fd link
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
}

// Runs bspatch and waits. 0 only when it exited with status 0. The descriptors
// in `pass` (up to two, -1 for none) reach bspatch; they stay close-on-exec in
// this process, so no other child ever gets them.
static int exec_bspatch(const char* old_path, const char* new_path, const char* patch_path,
                        const int (&pass)[2])
{
    child_guard child(fork_flushed());
    if (child.pid < 0)
        return -1;
    if (child.pid == 0) {
        for (int fd : pass)
            if (fd >= 0 && ::fcntl(fd, F_SETFD, 0) < 0) {
                perror("fcntl");
                _exit(EXEC_FAILED);
            }
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

// bspatch with the patch read through `patch` when it holds the scratch file
// (else by `patch_path`), and the result written through `result` when it holds
// one (else to `new_path`). `patch` is closed once bspatch is done with it.
static int patch_through(const char* old_path, const char* new_path, const char* patch_path,
                         unique_fd& patch, int result)
{
    char patch_name[32];
    char result_name[32];
    if (patch.fd >= 0) {
        descriptor_path(patch.fd, patch_name);
        patch_path = patch_name;
    }
    if (result >= 0) {
        descriptor_path(result, result_name);
        new_path = result_name;
    }
    int patched = exec_bspatch(old_path, new_path, patch_path, {patch.fd, result});
    if (patch.reset() < 0) {
        perror("close");
        return -1;
    }
    return patched;
}

// Whether `name` still leads to the file `st` describes: in a directory others
// may write to, something else can have been renamed over it.
static bool still_there(const char* name, const struct stat& st)
{
    struct stat now;
    return ::lstat(name, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

static int replaced_meanwhile(const char* path)
{
    printf("Patch result for %s was replaced before it took the file's place: the file "
           "keeps its old contents\n", path);
    return -1;
}

// Gives the patched file, open as `patched`, the original's owner, group and mode
// bits, flushes and closes it and renames it over the original.
static int replace_with(unique_fd& patched, const char* staging, const char* path,
                        const struct stat& original)
{
    if (take_identity(patched.fd, original) < 0)
        return -1;
    if (::fsync(patched.fd) < 0) {
        perror("fsync");
        return -1;
    }
    struct stat ours;
    if (::fstat(patched.fd, &ours) < 0) {
        perror("fstat");
        return -1;
    }
    if (patched.reset() < 0) {
        perror("close");
        return -1;
    }
    // The name is renamed, not the file we checked: if another file stands
    // under it now, the original is kept. (Anyone who can rename files in the
    // target's directory can replace the target itself; what they cannot do is
    // have this tool give their file the original's owner and mode, or call it
    // the patch result.)
    if (!still_there(staging, ours))
        return replaced_meanwhile(path);
    if (::rename(staging, path) < 0) {
        // A file with another mounted over it (a bind mount) cannot be renamed
        // over: it takes the result through its inode, as a hard-linked one does.
        if (errno == EBUSY) {
            int copied = -1;
            unique_fd again(::open(staging, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            if (again.fd < 0 || ::fstat(again.fd, &st) < 0)
                perror("open");
            else if (st.st_dev != ours.st_dev || st.st_ino != ours.st_ino)
                replaced_meanwhile(path);
            else
                copied = copy_from_descriptor(again.fd, path, original);
            ::unlink(staging);
            return copied;
        }
        perror("rename");
        return -1;
    }
    return sync_directory_of(path);
}

// 0 when the file open as `patched` has the SHA-256 `expected` (or nothing is
// expected); -1 after saying that `path` keeps its old contents.
static int check_result(int patched, const char* path, const uint8_t* expected)
{
    if (expected == nullptr)
        return 0;
    uint8_t digest[32];
    if (sha256_of_descriptor(patched, digest) < 0)
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
// Patch tools asked to write the file they read truncate it first. bspatch
// writes the staging file through our own descriptor, and everything after it
// (the check, the owner and mode, the flush, a copy) goes through that
// descriptor too: the name is only created and renamed.
static int patch_in_place(const char* path, const char* patch_path, unique_fd& patch,
                          const uint8_t* expected)
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
    unique_fd staged(create_staging(staging, 0600));
    if (staged.fd < 0) {
        perror("open");
        return -1;
    }
    int result = patch_through(path, staging, patch_path, patch, staged.fd);
    if (result == 0)
        result = check_result(staged.fd, path, expected);
    // A file with other names, or whose owner a new file could not get, is
    // rewritten through its own inode; everything else is renamed over.
    bool rename_over = original.st_nlink == 1 && may_take_owner(original);
    if (result == 0)
        result = rename_over ? replace_with(staged, staging, path, original)
                             : copy_from_descriptor(staged.fd, path, original);
    if (result < 0 || !rename_over)
        ::unlink(staging);
    return result;
}

int run_checked_bspatch(const char* old_path, const char* new_path, const char* patch_path,
                        const uint8_t* result_sha256)
{
    // The scratch file the patch was written to, when the file back end made it.
    unique_fd patch(take_scratch_descriptor(patch_path));
    // The result replaces the file itself, never a link that leads to it: renamed
    // over a link, it would cut the link and leave the file behind it unpatched.
    char old_real[PATH_MAX];
    char new_real[PATH_MAX];
    if (::realpath(old_path, old_real) != nullptr && ::realpath(new_path, new_real) != nullptr &&
        strcmp(old_real, new_real) == 0)
        return patch_in_place(new_real, patch_path, patch, result_sha256);
    if (strcmp(old_path, new_path) == 0)
        return patch_in_place(new_path, patch_path, patch, result_sha256);
    if (patch_through(old_path, new_path, patch_path, patch, -1) < 0)
        return -1;
    if (result_sha256 == nullptr)
        return 0;
    unique_fd written(::open(new_path, O_RDONLY | O_CLOEXEC));
    if (written.fd < 0) {
        perror("open");
        return -1;
    }
    if (check_result(written.fd, new_path, result_sha256) < 0) {
        ::unlink(new_path);           // a wrong result must not stay under its name
        return -1;
    }
    return 0;
}

int run_bspatch(const char* old_path, const char* new_path, const char* patch_path)
{
    return run_checked_bspatch(old_path, new_path, patch_path, nullptr);
}

// How the last shell ended, for last_script_failure.
static char script_failure[48];

const char* last_script_failure()
{
    return script_failure[0] != '\0' ? script_failure : nullptr;
}

static void note_script_status(int status)
{
    script_failure[0] = '\0';
    if (status == -1)
        snprintf(script_failure, sizeof script_failure, "was not waited for");
    else if (WIFSIGNALED(status))
        snprintf(script_failure, sizeof script_failure, "was killed by signal %d",
                 WTERMSIG(status));
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        snprintf(script_failure, sizeof script_failure, "exited with status %d",
                 WEXITSTATUS(status));
}

int run_shell_script(const char* text, int length)
{
    snprintf(script_failure, sizeof script_failure, "did not start");
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
    note_script_status(::pclose(shell));
    return last;
}
