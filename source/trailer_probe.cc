// Whether a package file can end in a trailer at all, looked at from its end.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "common/scoped.h"
#include "engine/package_format.h"
#include "engine/trailer.h"
#include "source/envelope_source.h"
#include "source/source.h"

bool package_may_end_in_trailer(int handle)
{
    // An envelope's reader looks at the end of what it holds.
    int sealed = envelope_may_end_in_trailer(handle);
    if (sealed >= 0)
        return sealed == 1;
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
    return tail_may_hold_trailer(bytes.get(), tail);
}

bool tail_may_hold_trailer(const uint8_t* bytes, uint32_t tail)
{
    // Any trailer version: the magic's first seven bytes, and the size it states
    // reaching exactly to the end.
    for (uint32_t at = 0; at + TRAILER_PROBE_SIZE <= tail; ++at) {
        uint32_t stated;
        memcpy(&stated, bytes + at + TRAILER_MAGIC_SIZE, sizeof stated);
        if (memcmp(bytes + at, TRAILER_MAGIC_V1, TRAILER_MAGIC_SIZE - 1) == 0 &&
            stated == tail - at)
            return true;
    }
    return false;
}
