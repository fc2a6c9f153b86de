#include "bundle/diff.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "bundle/interrupt.h"
#include "common/scoped.h"

int make_patch(const std::string& old_file, const std::string& new_file,
               const std::string& patch_file, std::string* error)
{
    fflush(stdout);                   // the child must not print our pending output again
    fflush(stderr);
    // An interrupting signal must find bsdiff registered, to end it with us.
    interrupt_hold hold;
    child_guard child(::fork());
    if (child.pid < 0) {
        *error = std::string("cannot start bsdiff: ") + strerror(errno);
        return -1;
    }
    if (child.pid == 0) {
        hold.release_in_child();
        ::execlp("bsdiff", "bsdiff", old_file.c_str(), new_file.c_str(), patch_file.c_str(),
                 (char*)nullptr);
        // Only async-signal-safe calls in the child: stdio buffers belong to the parent.
        const char text[] = "fwbundle: cannot run bsdiff (is it installed?)\n";
        (void)!::write(STDERR_FILENO, text, sizeof text - 1);
        _exit(127);
    }
    interrupt_set_child(child.pid);
    hold.release();
    int status = child.wait();
    interrupt_set_child(0);
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127)
            *error = "bsdiff could not be run";
        else
            *error = "bsdiff failed on " + old_file + " and " + new_file;
        return -1;
    }
    return 0;
}

scratch_dir::~scratch_dir()
{
    if (path.empty())
        return;
    interrupt_set_scratch(nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

int scratch_make(scratch_dir* scratch, std::string* error)
{
    if (!scratch->path.empty())
        return 0;
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / "fwbundle-XXXXXX").string();
    if (ec || ::mkdtemp(pattern.data()) == nullptr) {
        *error = "cannot make a temporary directory for patches: " +
                 (ec ? ec.message() : std::string(strerror(errno)));
        return -1;
    }
    scratch->path = pattern;
    interrupt_set_scratch(pattern.c_str(), 0);
    return 0;
}

std::string scratch_patch(scratch_dir* scratch, size_t index)
{
    interrupt_set_scratch(scratch->path.c_str(), index + 1);
    return scratch->path + "/patch-" + std::to_string(index);
}
