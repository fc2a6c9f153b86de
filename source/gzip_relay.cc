#include "source/gzip_relay.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "common/scoped.h"
#include "source/package_state.h"
#include "source/source.h"
#include "source/stream_watch.h"

namespace {

constexpr int RELAY_SIZE = 64 * 1024;

struct relay_state {
    source_ops inner;
    int passes;
    int inner_handle;
    int gunzip_in;                    // our end of gunzip's input, -1 once closed
    byte_buffer relay;
    int start;
    int end;
    bool ended;                       // the inner source has no more
    bool failed;
    bool cut;                         // gunzip's input ended before the inner source's
    uint64_t out_count;
    stream_watch watch;               // of the verification pass
    feed_bound bound;
};

relay_state relay = {};

void close_input()
{
    if (relay.gunzip_in >= 0)
        ::close(relay.gunzip_in);
    relay.gunzip_in = -1;
}

// Brings the next compressed bytes from the inner source, as many as gunzip
// may still take. It may wait (a server), while gunzip waits for us.
void fetch()
{
    uint64_t room = feed_room(&relay.bound);
    int want = room < (uint64_t)RELAY_SIZE ? (int)room : RELAY_SIZE;
    int n = relay.inner.read(relay.inner_handle, relay.relay.get(), want);
    relay.start = 0;
    relay.end = n > 0 ? n : 0;
    relay.ended = n == 0;
    relay.failed = n < 0;
}

void feed()
{
    uint64_t room = feed_room(&relay.bound);
    int n = relay.end - relay.start;
    if ((uint64_t)n > room)
        n = (int)room;
    ssize_t written = ::write(relay.gunzip_in, relay.relay.get() + relay.start, (size_t)n);
    if (written > 0) {
        relay.start += (int)written;
        bound_fed(&relay.bound, (uint64_t)written);
    } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
        close_input();                // gunzip has gone: its output says why
    }
}

int open_with(const char* path, int (*open)(const char*))
{
    ++relay.passes;
    if (!relay.relay)
        relay.relay = allocate_bytes(RELAY_SIZE);
    if (!relay.relay) {
        puts("Package relay: out of memory");
        return -1;
    }
    relay.start = relay.end = 0;
    relay.ended = relay.failed = relay.cut = false;
    relay.out_count = 0;
    relay.bound = feed_bound{};
    relay.inner_handle = open(path);
    if (relay.inner_handle < 0)
        return -1;
    int read_end = start_fed_gunzip(&relay.gunzip_in);
    if (read_end < 0) {
        relay.inner.close(relay.inner_handle);
        relay.inner_handle = -1;
    }
    return read_end;
}

int relay_open(const char* path)
{
    return open_with(path, relay.inner.open);
}

int relay_open_scripts(const char* path)
{
    return open_with(path, scripts_open_of(&relay.inner));
}

int relay_read(int handle, void* buffer, int length)
{
    uint8_t* to = static_cast<uint8_t*>(buffer);
    int total = 0;
    bool waited = false;
    while (total < length) {
        if (relay.failed) {
            close_input();
            return -1;                // the inner source said why
        }
        bool pending = relay.start < relay.end;
        bool done = !pending && (relay.ended || feed_room(&relay.bound) == 0);
        if (relay.gunzip_in >= 0 && done) {
            relay.cut = !relay.ended;
            close_input();            // all of its input went in
        }
        pollfd fds[2] = {{handle, POLLIN, 0}, {relay.gunzip_in, POLLOUT, 0}};
        nfds_t count = relay.gunzip_in >= 0 && pending ? 2 : 1;
        // Output first, input when gunzip takes it; new input only when
        // neither is ready, since it may make us wait.
        int ready = ::poll(fds, count, waited || relay.gunzip_in < 0 || done ? -1 : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return -1;
        waited = false;
        if (fds[0].revents != 0) {
            ssize_t n = ::read(handle, to + total, (size_t)(length - total));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                return gunzip_verdict(relay.cut) < 0 ? -1 : total;
            relay.out_count += (uint64_t)n;
            if (relay.passes == 1)
                watch_stream(&relay.watch, to + total, (uint32_t)n);
            bound_output(&relay.bound, relay.passes == 1 ? &relay.watch : nullptr,
                         relay.out_count);
            total += (int)n;
            continue;
        }
        if (count == 2 && fds[1].revents != 0) {
            feed();
            continue;
        }
        if (!pending && !done && relay.gunzip_in >= 0) {
            fetch();
            continue;
        }
        waited = true;
    }
    return total;
}

int relay_close(int handle)
{
    close_input();
    if (relay.inner_handle >= 0)
        relay.inner.close(relay.inner_handle);
    relay.inner_handle = -1;
    return close_gzip_source(handle);
}

int relay_finish(int handle)
{
    bound_finish(&relay.bound);
    if (read_to_the_end(handle, relay_read) < 0)
        return -1;
    // What the inner source would read to finish lies after what gunzip
    // took; once gunzip's input was cut, that may go on for ever.
    if (relay.cut || relay.inner.finish == nullptr)
        return 0;
    return relay.inner.finish(relay.inner_handle);
}

}  // namespace

void gzip_relay_source(const source_ops* inner, source_ops* relayed)
{
    relay.relay.reset();
    relay = relay_state{};
    relay.inner = *inner;
    relay.inner_handle = relay.gunzip_in = -1;
    *relayed = source_ops{};
    relayed->open = relay_open;
    relayed->open_scripts = relay_open_scripts;
    relayed->read = relay_read;
    relayed->close = relay_close;
    relayed->finish = relay_finish;
}
