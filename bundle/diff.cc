#include "bundle/diff.h"

#include <cstdio>
#include <cstring>
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
