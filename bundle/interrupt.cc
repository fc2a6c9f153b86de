#include "bundle/interrupt.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int WATCHED[] = {SIGINT, SIGTERM, SIGHUP};

// A registration is cleared before its text changes and set after, so the
// handler never reads a half-written path.
char output_path[PATH_MAX];
volatile sig_atomic_t output_set = 0;
char scratch_path[PATH_MAX];
size_t scratch_count = 0;
volatile sig_atomic_t scratch_set = 0;
volatile sig_atomic_t child_pid = 0;

// Appends within PATH_MAX; safe in a signal handler, unlike the formatted output.
void append(char (&to)[PATH_MAX], size_t* at, const char* text)
{
    while (*text != '\0' && *at + 1 < sizeof to)
        to[(*at)++] = *text++;
    to[*at] = '\0';
}

void append_number(char (&to)[PATH_MAX], size_t* at, size_t number)
{
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (n > 0 && *at + 1 < sizeof to)
        to[(*at)++] = digits[--n];
    to[*at] = '\0';
}

void clean_up_and_die(int signal)
{
    pid_t child = child_pid;
    // Only a child of ours that has not been collected: its pid cannot have
    // been given to another process yet.
    if (child > 0 && ::waitpid(child, nullptr, WNOHANG) == 0) {
        ::kill(child, SIGKILL);
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (output_set)
        ::unlink(output_path);
    if (scratch_set) {
        for (size_t i = 0; i < scratch_count; ++i) {
            char name[PATH_MAX];
            size_t at = 0;
            append(name, &at, scratch_path);
            append(name, &at, "/patch-");
            append_number(name, &at, i);
            ::unlink(name);
        }
        ::rmdir(scratch_path);
    }
    // Blocked while the handler runs, the signal ends the process on return.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

bool copy_path(char (&to)[PATH_MAX], const char* path)
{
    if (path == nullptr || path[0] == '\0' || strlen(path) >= sizeof to)
        return false;
    memcpy(to, path, strlen(path) + 1);
    return true;
}

sigset_t watched_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : WATCHED)
        sigaddset(&set, s);
    return set;
}

}  // namespace

void interrupt_watch()
{
    struct sigaction sa = {};
    sa.sa_handler = clean_up_and_die;
    sa.sa_mask = watched_set();       // one cleanup at a time
    for (int s : WATCHED)
        sigaction(s, &sa, nullptr);
}

void interrupt_set_output(const char* path)
{
    output_set = 0;
    output_set = copy_path(output_path, path);
}

void interrupt_set_scratch(const char* dir, size_t count)
{
    scratch_set = 0;
    scratch_count = count;
    scratch_set = copy_path(scratch_path, dir);
}

void interrupt_set_child(pid_t pid)
{
    child_pid = pid;
}

interrupt_hold::interrupt_hold() : held(true)
{
    sigset_t set = watched_set();
    sigprocmask(SIG_BLOCK, &set, &saved);
}

void interrupt_hold::release()
{
    if (held)
        sigprocmask(SIG_SETMASK, &saved, nullptr);
    held = false;
}

void interrupt_hold::release_in_child()
{
    for (int s : WATCHED)
        ::signal(s, SIG_DFL);
    release();
}
