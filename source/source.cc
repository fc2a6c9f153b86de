// The plain package source: the package file read from its start, through the
// read-ahead, with every read refused once the file is known to have changed.
#include "source/source.h"

#include <unistd.h>

#include "source/package_state.h"

int open_plain_source(const char* path)
{
    int handle = open_package_file(path);
    if (handle >= 0)
        claim_read_ahead(handle);
    return handle;
}

int read_plain_source(int handle, void* buffer, int length)
{
    if (handle >= 0 && handle == package.ahead.owner)
        return read_ahead_of(buffer, length);
    return unless_changed(read_full(handle, buffer, length), length);
}

int borrow_plain_source(int handle, const uint8_t** bytes, int length)
{
    return borrow_read_ahead(handle, bytes, length);
}

int close_plain_source(int handle)
{
    drop_read_ahead(handle);
    return ::close(handle);
}
