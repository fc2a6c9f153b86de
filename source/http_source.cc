#include "source/http_source.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "common/process.h"
#include "common/scoped.h"
#include "source/http_client.h"
#include "source/package_state.h"
#include "source/pin.h"
#include "source/source.h"

namespace {

// The object's first bytes, kept by the verification pass: a pass that reads no
// further than the pin's first chunk (the scripts' passes, for any package
// whose scripts are not huge) needs no request. A little more than a chunk,
// for the chunk of a gzip package that does not compress.
constexpr uint32_t PREFIX_SIZE = PIN_CHUNK_SIZE + 8 * 1024;
// Compressed bytes on their way from the client to gunzip; and the bytes of a
// plain package read ahead of the engine's small reads, which would otherwise
// cost a wait and a system call each.
constexpr int RELAY_SIZE = 64 * 1024;

struct http_state {
    const char* url;
    int passes;
    // What the first response said of the object; every later one must agree.
    char etag[HTTP_VALIDATOR_SIZE];
    char last_modified[HTTP_VALIDATOR_SIZE];
    bool has_length;
    uint64_t length;
    bool described;                   // the first response's validators are above
    byte_buffer prefix;
    uint32_t prefix_length;
    uint64_t fetched;
    char reason[160];                 // why the last connection failed
    // The pass under way.
    int token;                        // the handle the engine holds for a plain package
    http_exchange x;
    bool connected;
    uint64_t position;                // the next byte of the object the pass hands on
    uint64_t delivered;               // the object's offset of the connection's next byte
    int retries;                      // used in this pass
    bool ended;
    bool failed;
    bool changed;                     // the server has another object now: no pass reads it
    // A gzip package.
    int gunzip_in;                    // our end of gunzip's input, -1 once closed
    byte_buffer relay;
    int relay_start;
    int relay_end;
};

http_state http = {};

void pause_ms(int ms)
{
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) < 0 && errno == EINTR) {
    }
}

const char* validator()
{
    return http.etag[0] != '\0' ? http.etag : http.last_modified;
}

// Whether a full response is the object the first one described.
bool same_object(const http_response& r)
{
    return strcmp(r.etag, http.etag) == 0 && strcmp(r.last_modified, http.last_modified) == 0 &&
           r.has_length == http.has_length && (!r.has_length || r.length == http.length);
}

int fail(const char* why)
{
    printf("Download failed: %s (%s)\n", http.url, why);
    http.failed = true;
    return -1;
}

int changed_on_server()
{
    printf("Package %s changed on the server since it was verified!\n", http.url);
    http.failed = true;
    http.changed = true;
    return -1;
}

// Opens a connection that delivers the object from http.position on: from
// the start when the server is asked for the whole object (the first request
// of a pass, and every retry of busybox wget, which takes no range), from
// that byte on otherwise. 0; 1 when it failed in a way a retry may mend (no
// connection, no answer); -1 after the line that ends the pass.
int connect_from(bool resuming)
{
    http_request request{};
    request.url = http.url;
    // busybox wget takes no range: it is asked for the whole object again.
    bool ranged = resuming && http.position > 0 && http_kind() == HTTP_CURL;
    http_response r{};
    if (ranged) {
        request.from = http.position;
        request.if_range = validator();
    } else {
        request.if_match = http.etag;
        request.if_unmodified_since = http.last_modified;
    }
    if (http_start(&request, &http.x, &r) < 0) {
        if (r.status == 412)
            return changed_on_server();
        if (!r.retryable)
            return fail(r.reason);
        snprintf(http.reason, sizeof http.reason, "%s", r.reason);
        return 1;
    }
    http.connected = true;
    if (ranged) {
        if (r.status != 206 || !r.has_range || r.range_start != http.position ||
            (http.has_length && r.range_total != http.length) ||
            (http.etag[0] != '\0' && strcmp(r.etag, http.etag) != 0)) {
            printf("Download of %s cannot resume at byte %llu: the server answered HTTP %d%s\n",
                   http.url, (unsigned long long)http.position, r.status,
                   r.status == 200 ? " with the whole object" : "");
            http.failed = true;
            return -1;
        }
        http.delivered = http.position;
        return 0;
    }
    if (r.status == 412)
        return changed_on_server();
    if (r.status != 200) {
        char why[32];
        snprintf(why, sizeof why, "HTTP %d", r.status);
        return fail(why);
    }
    if (!http.described) {
        snprintf(http.etag, sizeof http.etag, "%s", r.etag);
        snprintf(http.last_modified, sizeof http.last_modified, "%s", r.last_modified);
        http.has_length = r.has_length;
        http.length = r.length;
        http.described = true;
    } else if (!same_object(r)) {
        return changed_on_server();
    }
    http.delivered = 0;
    return 0;
}

void end_pass()
{
    http_end(&http.x);
    http.connected = false;
}

// Ends the connection and opens it again from http.position, as often as the
// retries of a pass allow. 0, or -1 after the line that ends the pass.
int resume(const char* why)
{
    const http_settings* settings = http_config();
    char reason[160];
    snprintf(reason, sizeof reason, "%s", why);
    for (;;) {
        end_pass();
        if (http.retries >= settings->retries) {
            char told[200];
            snprintf(told, sizeof told, "%s; %d retries used", reason, settings->retries);
            return fail(told);
        }
        ++http.retries;
        int wait = settings->pause_ms;
        for (int i = 1; i < http.retries && wait < INT_MAX / 2; ++i)
            wait *= 2;
        pause_ms(wait);
        printf("Download of %s resumed at byte %llu (retry %d of %d)\n", http.url,
               (unsigned long long)http.position, http.retries, settings->retries);
        int connected = connect_from(true);
        if (connected <= 0)
            return connected;
        snprintf(reason, sizeof reason, "%s", http.reason);
    }
}

// Whether the pass's next bytes are the kept first ones: a later pass hands
// them on from memory while its connection, opened at the start to ask the
// server whether it still has the object, waits.
bool from_prefix()
{
    return http.passes > 1 && http.position < http.prefix_length;
}

// The descriptor to wait on for the next bytes, or -1 when they can be taken
// at once (kept ones, or bytes that came with the head).
int ready_fd()
{
    if (from_prefix() || http.ended || http.failed || !http.connected || http_has_early(&http.x))
        return -1;
    return http.x.body;
}

// One step of the stream: the count of bytes handed on (> 0), 0 at the end of
// the object, -1 after the line that ends the pass, -2 when nothing came this
// time (bytes dropped, a connection opened again) and the caller asks again.
int take(void* buffer, int length)
{
    if (http.failed)
        return -1;
    uint8_t* to = static_cast<uint8_t*>(buffer);
    if (from_prefix()) {
        uint32_t left = http.prefix_length - (uint32_t)http.position;
        int n = length < (int)left ? length : (int)left;
        memcpy(to, http.prefix.get() + http.position, (size_t)n);
        http.position += (uint32_t)n;
        return n;
    }
    if (http.ended)
        return 0;
    if (!http.connected) {
        int connected = connect_from(false);
        if (connected < 0)
            return -1;
        if (connected > 0 && resume(http.reason) < 0)
            return -1;
        return -2;
    }
    int n = http_read(&http.x, to, length);
    if (n < 0)
        return resume("the connection broke") < 0 ? -1 : -2;
    if (n == 0) {
        char why[160];
        bool short_body = http.has_length && http.delivered < http.length;
        if (short_body || http_finish(&http.x, why, sizeof why) < 0)
            return resume(short_body ? "the connection broke" : why) < 0 ? -1 : -2;
        end_pass();
        http.ended = true;
        return 0;
    }
    http.fetched += (uint32_t)n;
    if (http.delivered < http.position) {
        // Bytes handed on before: from the kept first bytes, which an object
        // whose validators stayed the same must still begin with, or from an
        // earlier connection of busybox wget, which starts from the beginning.
        uint64_t behind = http.position - http.delivered;
        uint32_t dropped = behind < (uint64_t)n ? (uint32_t)behind : (uint32_t)n;
        if (http.delivered < http.prefix_length) {
            uint32_t kept = http.prefix_length - (uint32_t)http.delivered;
            if (memcmp(to, http.prefix.get() + http.delivered, kept < dropped ? kept : dropped) != 0)
                return changed_on_server();
        }
        http.delivered += dropped;
        n -= (int)dropped;
        if (n == 0)
            return -2;
        memmove(to, to + dropped, (size_t)n);
    }
    if (http.passes == 1 && http.position < PREFIX_SIZE && http.prefix) {
        uint32_t room = PREFIX_SIZE - (uint32_t)http.position;
        uint32_t keep = (uint32_t)n < room ? (uint32_t)n : room;
        memcpy(http.prefix.get() + http.position, to, keep);
        http.prefix_length = (uint32_t)http.position + keep;
    }
    http.position += (uint32_t)n;
    http.delivered += (uint32_t)n;
    return n;
}

// Waits up to the stall time for `fd`; 1 ready, 0 stalled, and the
// connection opened again (or the pass ended: http.failed).
int wait_for_bytes(int fd)
{
    if (wait_readable_until(fd, monotonic_ms() + http_config()->stall_ms) == 0) {
        resume("no byte for too long");
        return 0;
    }
    return 1;                         // bytes, or a fault the read will name
}

// Fills http.relay (of a plain package: its read-ahead) with what one step of
// the stream brings. The count, 0 at the end, -1 after the line that ends the pass.
int fill_ahead()
{
    for (;;) {
        int fd = ready_fd();
        if (fd >= 0 && wait_for_bytes(fd) == 0)
            continue;
        int n = take(http.relay.get(), RELAY_SIZE);
        if (n != -2)
            return n;
    }
}

// A new pass over the object.
int begin_pass(const char* url)
{
    http.url = url;
    if (http.changed)
        return changed_on_server();
    ++http.passes;
    if (http.passes == 1) {
        http.prefix = allocate_bytes(PREFIX_SIZE);
        http.prefix_length = 0;
        http.relay = allocate_bytes(RELAY_SIZE);
    }
    if (!http.relay) {
        puts("Package read-ahead: out of memory");
        return -1;
    }
    http.connected = false;
    http.position = 0;
    http.delivered = 0;
    http.relay_start = http.relay_end = 0;
    http.retries = 0;
    http.ended = false;
    http.failed = false;
    http.x = http_exchange{};
    http.x.pid = -1;
    http.x.body = http.x.messages = -1;
    // Every pass asks at once: a server that refuses the package, or that has
    // another object under the URL now, is named before the pass reads a byte.
    // A later pass that finds no server may need no more than the kept first
    // bytes (the end script's pass after a download failed): it asks again,
    // retries and all, only when it needs more.
    int connected = connect_from(false);
    if (connected < 0 ||
        (connected > 0 && http.prefix_length == 0 && resume(http.reason) < 0)) {
        http_end(&http.x);
        return -1;
    }
    return 0;
}

}  // namespace

int open_http_source(const char* url)
{
    if (begin_pass(url) < 0)
        return -1;
    // A handle of our own that stays the same while connections come and go.
    http.token = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (http.token < 0) {
        perror("open");
        end_pass();
    }
    return http.token;
}

int read_http_source(int handle, void* buffer, int length)
{
    if (handle != http.token)
        return -1;
    uint8_t* to = static_cast<uint8_t*>(buffer);
    int total = 0;
    while (total < length) {
        if (http.relay_start < http.relay_end) {
            int n = http.relay_end - http.relay_start;
            if (n > length - total)
                n = length - total;
            memcpy(to + total, http.relay.get() + http.relay_start, (size_t)n);
            http.relay_start += n;
            total += n;
            continue;
        }
        int n = fill_ahead();
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        http.relay_start = 0;
        http.relay_end = n;
    }
    return total;
}

int close_http_source(int handle)
{
    end_pass();
    if (handle == http.token)
        http.token = -1;
    return ::close(handle);
}

int open_gzip_http_source(const char* url)
{
    if (begin_pass(url) < 0)
        return -1;
    int input[2];
    if (::pipe2(input, O_CLOEXEC) < 0) {
        perror("pipe");
        end_pass();
        return -1;
    }
    unique_fd gunzip_reads(input[0]);
    unique_fd we_write(input[1]);
    int read_end = start_gunzip(gunzip_reads.fd);
    if (read_end < 0) {
        end_pass();
        return -1;
    }
    ::fcntl(we_write.fd, F_SETFL, O_NONBLOCK);
    http.gunzip_in = we_write.release();
    return read_end;
}

// Moves compressed bytes from the connection into gunzip while reading what
// gunzip writes, until `length` bytes came out or gunzip's output ended.
int read_gzip_http_source(int handle, void* buffer, int length)
{
    uint8_t* to = static_cast<uint8_t*>(buffer);
    int total = 0;
    int stall = http_config()->stall_ms;
    while (total < length) {
        bool wanted = http.relay_end < RELAY_SIZE && !http.ended && !http.failed;
        int body = wanted ? ready_fd() : -1;
        if (wanted && body < 0) {
            // Bytes to be had at once, or a connection to open.
            int n = take(http.relay.get() + http.relay_end, RELAY_SIZE - http.relay_end);
            if (n > 0)
                http.relay_end += n;
            // At 0 or -1 the input is whole, or it never will be: gunzip hears
            // the end below and, for a stream cut short, says so.
            if (n != 0 && n != -1)
                continue;
        }
        pollfd fds[3];
        int count = 0;
        fds[count++] = pollfd{handle, POLLIN, 0};
        int in_slot = -1;
        int body_slot = -1;
        bool feeding = http.gunzip_in >= 0 &&
                       (http.relay_start < http.relay_end || http.ended || http.failed);
        if (feeding) {
            in_slot = count;
            fds[count++] = pollfd{http.gunzip_in, POLLOUT, 0};
        }
        if (body >= 0) {
            body_slot = count;
            fds[count++] = pollfd{body, POLLIN, 0};
        }
        // Nothing at all for the stall time while the connection is waited
        // on: gunzip has had every byte, and none came.
        int ready = ::poll(fds, (nfds_t)count, body_slot >= 0 ? stall : -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            resume("no byte for too long");
            continue;
        }
        if (fds[0].revents != 0) {
            ssize_t n = ::read(handle, to + total, (size_t)(length - total));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                return gunzip_verdict() < 0 || http.failed ? -1 : total;
            total += (int)n;
        }
        if (in_slot >= 0 && fds[in_slot].revents != 0) {
            if (http.relay_start < http.relay_end) {
                ssize_t n = ::write(http.gunzip_in, http.relay.get() + http.relay_start,
                                    (size_t)(http.relay_end - http.relay_start));
                if (n > 0)
                    http.relay_start += (int)n;
                else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    ::close(http.gunzip_in);      // gunzip has gone: its output says why
                    http.gunzip_in = -1;
                }
                if (http.relay_start == http.relay_end)
                    http.relay_start = http.relay_end = 0;
            } else {
                ::close(http.gunzip_in);          // the whole object went in
                http.gunzip_in = -1;
            }
        }
        if (body_slot >= 0 && fds[body_slot].revents != 0) {
            int n = take(http.relay.get() + http.relay_end, RELAY_SIZE - http.relay_end);
            if (n > 0)
                http.relay_end += n;
        }
    }
    return total;
}

int close_gzip_http_source(int handle)
{
    if (http.gunzip_in >= 0)
        ::close(http.gunzip_in);
    http.gunzip_in = -1;
    end_pass();
    return close_gzip_source(handle);
}

int finish_gzip_http_source(int handle)
{
    return read_to_the_end(handle, read_gzip_http_source);
}

uint64_t http_bytes_fetched()
{
    return http.fetched;
}

bool http_object_length(uint64_t* length)
{
    *length = http.length;
    return http.has_length;
}
