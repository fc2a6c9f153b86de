#include "backends/runners.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Flushes the directory entry of a rename to storage.
static void sync_parent(const char* path)
{
    char copy[PATH_MAX];
    snprintf(copy, sizeof copy, "%s", path);
    unique_fd dir(::open(dirname(copy), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0)
        ::fsync(dir.fd);
}

// Patches `path` in place without ever leaving it half written: bspatch writes a
// temporary file beside it, which replaces the original only once complete and
// on storage. Patch tools asked to write the file they read truncate it first.
static int patch_in_place(const char* path, const char* patch_path)
{
    struct stat original;
    if (::stat(path, &original) < 0) {
        perror("stat");
        return -1;
    }
    char temp[PATH_MAX];
    if (snprintf(temp, sizeof temp, "%s.XXXXXX", path) >= (int)sizeof temp) {
        puts("bspatch: path too long");
        return -1;
    }
    unique_fd temp_fd(::mkstemp(temp));
    if (temp_fd.fd < 0) {
        perror("mkstemp");
        return -1;
    }
    temp_fd.reset();
    if (exec_bspatch(path, temp, patch_path) < 0) {
        ::unlink(temp);
        return -1;
    }
    unique_fd done(::open(temp, O_RDONLY | O_CLOEXEC));
    bool ok = done.fd >= 0 && ::fchmod(done.fd, original.st_mode & 07777) == 0;
    if (ok) {
        // Keep the owner where we may; a failure only leaves the file ours.
        (void)!::fchown(done.fd, original.st_uid, original.st_gid);
        ok = ::fsync(done.fd) == 0 && done.reset() == 0;
    }
    if (!ok || ::rename(temp, path) < 0) {
        perror("bspatch result");
        ::unlink(temp);
        return -1;
    }
    sync_parent(path);
    return 0;
}

int run_bspatch(const char* old_path, const char* new_path, const char* patch_path)
{
    // The result replaces the file itself, never a link that leads to it: renamed
    // over a link, it would cut the link and leave the file behind it unpatched.
    char old_real[PATH_MAX];
    char new_real[PATH_MAX];
    if (::realpath(old_path, old_real) != nullptr && ::realpath(new_path, new_real) != nullptr &&
        strcmp(old_real, new_real) == 0)
        return patch_in_place(new_real, patch_path);
    if (strcmp(old_path, new_path) == 0)
        return patch_in_place(new_path, patch_path);
    return exec_bspatch(old_path, new_path, patch_path);
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
