// Read-ahead of a plain package file. Only a regular file is read ahead: a
// pipe's writer may keep it open after the package, and a read for bytes
// nobody needs would wait on it. The buffer belongs to one open handle at a
// time; another one open beside it reads unbuffered, so no handle ever loses
// bytes that were read ahead for it.
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "source/package_state.h"
#include "source/source.h"

namespace {

// The buffer is taken at the first read that needs it: a reader that asks for
// large pieces alone (the pinned passes) never does. False when memory is
// short; reads then go straight to the caller.
bool have_read_ahead_buffer()
{
    if (!package.ahead.bytes)
        package.ahead.bytes = allocate_bytes(READ_AHEAD_SIZE);
    return package.ahead.bytes != nullptr;
}

// Reads up to `length` bytes of the buffer's owner. Bytes read while the
// lease stood are the verified ones, however long they wait in the buffer.
int read_while_leased(void* buffer, int length)
{
    int n = read_full(package.ahead.owner, buffer, length);
    if (n >= 0 && package.kept >= 0 && !lease_holds())
        return say_package_changed(package.path);
    return n;
}

// Brings the next bytes of the file into the buffer.
int refill_read_ahead()
{
    int n = read_while_leased(package.ahead.bytes.get(), READ_AHEAD_SIZE);
    if (n < 0)
        return -1;
    package.ahead.start = 0;
    package.ahead.end = n;
    package.ahead.ended = n < READ_AHEAD_SIZE;
    return 0;
}

}  // namespace

void claim_read_ahead(int handle)
{
    // Another handle holds the buffer: this one reads unbuffered. A handle
    // that reuses the owner's number means the owner was closed without a
    // word: what was read ahead for it is dropped below.
    if (package.ahead.owner >= 0 && package.ahead.owner != handle)
        return;
    struct stat st;
    if (::fstat(handle, &st) < 0 || !S_ISREG(st.st_mode))
        return;
    package.ahead = read_ahead{};
    package.ahead.owner = handle;
}

int read_ahead_of(void* buffer, int length)
{
    char* to = static_cast<char*>(buffer);
    int total = 0;
    while (total < length) {
        if (lease_broken)
            return say_package_changed(package.path);
        int want = length - total;
        if (package.ahead.start == package.ahead.end) {
            if (package.ahead.ended)
                break;
            // A request as large as the buffer goes straight to the caller.
            if (want >= READ_AHEAD_SIZE || !have_read_ahead_buffer()) {
                int n = read_while_leased(to + total, want);
                if (n < 0)
                    return -1;
                package.ahead.ended = n < want;
                total += n;
            } else if (refill_read_ahead() < 0) {
                return -1;
            }
            continue;
        }
        int take = want < package.ahead.end - package.ahead.start ? want : package.ahead.end - package.ahead.start;
        memcpy(to + total, package.ahead.bytes.get() + package.ahead.start, (size_t)take);
        package.ahead.start += take;
        total += take;
    }
    // The lease was asked about as the bytes came in; an early end is looked
    // at as in unless_changed.
    if (total < length && !still_same_file())
        return say_package_changed(package.path);
    return total;
}

// Lends the next bytes where the buffer holds them. A handle without the
// buffer (a FIFO, one open beside the owner) is lent from a buffer of its own,
// read for exactly the bytes asked: nobody asks for bytes it does not need.
int borrow_read_ahead(int handle, const uint8_t** bytes, int length)
{
    if (handle != package.ahead.owner || !have_read_ahead_buffer()) {
        if (!package.ahead.lent)
            package.ahead.lent = allocate_bytes(READ_AHEAD_SIZE);
        if (!package.ahead.lent)
            return -1;
        int want = length < READ_AHEAD_SIZE ? length : READ_AHEAD_SIZE;
        *bytes = package.ahead.lent.get();
        if (handle == package.ahead.owner)
            return read_ahead_of(package.ahead.lent.get(), want);
        return unless_changed(read_full(handle, package.ahead.lent.get(), want), want);
    }
    if (lease_broken)
        return say_package_changed(package.path);
    if (package.ahead.start == package.ahead.end && !package.ahead.ended &&
        refill_read_ahead() < 0)
        return -1;
    int left = package.ahead.end - package.ahead.start;
    int take = length < left ? length : left;
    // An early end is looked at as in unless_changed.
    if (take == 0 && length > 0 && !still_same_file())
        return say_package_changed(package.path);
    *bytes = package.ahead.bytes.get() + package.ahead.start;
    package.ahead.start += take;
    return take;
}

void drop_read_ahead(int handle)
{
    if (handle == package.ahead.owner)
        package.ahead = read_ahead{};
}
