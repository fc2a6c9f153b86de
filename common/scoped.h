// Owners for descriptors, child processes and buffers, so that every path out of
// a function releases what it took. Nothing here knows about packages or devices.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

struct unique_fd {                    // owns one descriptor; -1 means none
    int fd = -1;
    explicit unique_fd(int f = -1) : fd(f) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& o) noexcept : fd(o.release()) {}
    ~unique_fd() { reset(); }
    int release() { int f = fd; fd = -1; return f; }   // hand it to the caller
    // Closes now and reports the result of close, so a failed close can be seen.
    int reset()
    {
        if (fd < 0)
            return 0;
        int r = ::close(fd);
        fd = -1;
        return r;
    }
};

struct child_guard {                  // a forked child is always waited for
    pid_t pid;
    explicit child_guard(pid_t p) : pid(p) {}
    child_guard(const child_guard&) = delete;
    child_guard& operator=(const child_guard&) = delete;
    ~child_guard() { wait(); }
    pid_t release() { pid_t p = pid; pid = -1; return p; }
    int wait()                        // raw wait status, or -1
    {
        if (pid <= 0)
            return -1;
        int status = 0;
        pid_t r;
        do r = ::waitpid(pid, &status, 0); while (r < 0 && errno == EINTR);
        pid = -1;
        return r < 0 ? -1 : status;
    }
};

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

using byte_buffer = std::unique_ptr<uint8_t[]>;

// Returns a buffer of `size` bytes, or null when memory is short: board code is
// built without exceptions, so a plain new would abort instead of reporting.
inline byte_buffer allocate_bytes(size_t size)
{
    return byte_buffer(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
}
