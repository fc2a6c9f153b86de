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
#include "engine/package_format.h"
#include "engine/trailer.h"
#include "source/http_client.h"
#include "source/package_state.h"
#include "source/pin.h"
#include "source/envelope_source.h"
#include "source/source.h"
#include "source/stream_watch.h"

namespace {

// The object's first bytes are kept by the verification pass, as many as the
// passes of the scripts read: the pin hands a later pass whole chunks, so
// those passes read every chunk up to the end of the end script. Of a gzip
// package, the compressed bytes that gunzip was fed by the time its output
// reached that far. Room for one chunk (of a gzip package that does not
// compress, with what gunzip holds ahead of its output) is taken at once;
// scripts that need more than KEPT_MAX are read from the server again.
constexpr uint32_t KEPT_FIRST_GZIP = PIN_CHUNK_SIZE + 128 * 1024;
constexpr uint32_t KEPT_MAX = 1024 * 1024;
// Compressed bytes on their way from the client to gunzip; and the bytes of a
// plain package read ahead of the engine's small reads, which would otherwise
// cost a wait and a system call each.
constexpr int RELAY_SIZE = 64 * 1024;

struct http_state {
    const char* url;
    int passes;
    bool gzip;
    // What the first response said of the object; every later one must agree.
    char etag[HTTP_VALIDATOR_SIZE];
    char last_modified[HTTP_VALIDATOR_SIZE];
    bool has_length;
    uint64_t length;
    bool described;                   // the first response's validators are above
    // The kept first bytes.
    byte_buffer prefix;
    uint32_t prefix_room;
    uint32_t prefix_length;
    bool keeping;                     // the verification pass still adds to them
    bool prefix_suffices;             // the scripts' passes need no more
    bool kept_whole;                  // the whole object is kept
    uint64_t keep_until;              // of the package stream, what those passes read
    stream_watch watch;               // the package stream as the verification pass hands it on
    bool sealed;                      // the object is an envelope: its bytes are no package
    bool priming;                     // the first bytes are being taken, their kind unknown
    bool primed;                      // they are in the relay, for the pass's open
    uint64_t fetched;
    uint64_t package_length;          // once the verification pass read it whole
    bool package_known;
    char reason[160];                 // why the last connection failed
    // The pass under way.
    bool scripts_only;                // it reads the header and the scripts alone
    int token;                        // the handle the engine holds for a plain package
    http_exchange x;
    bool connected;
    uint64_t position;                // the next byte of the object the pass hands on
    uint64_t delivered;               // the object's offset of the connection's next byte
    int retries;                      // used in this pass
    bool ended;
    bool failed;
    bool changed;                     // the server has another object now: no pass reads it
    // The rate over the stall time: time spent waiting for the server, and
    // what came in that time.
    int64_t window_waited;
    uint64_t window_bytes;
    // A gzip package.
    int gunzip_in;                    // our end of gunzip's input, -1 once closed
    byte_buffer relay;
    int relay_start;
    int relay_end;
    uint64_t out_count;               // gunzip's output handed on in this pass
    feed_bound bound;                 // what gunzip may be fed in this pass
    bool cut;                         // gunzip's input was ended before the object's
};

http_state http = {};

void pause_ms(int ms)
{
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) < 0 && errno == EINTR) {
    }
}

// Validators that a server compares strongly: a weak ETag ("W/...") never
// matches there, so it is not sent back; the modification time is.
const char* strong_etag()
{
    return strncmp(http.etag, "W/", 2) == 0 ? "" : http.etag;
}

const char* range_validator()
{
    return strong_etag()[0] != '\0' ? strong_etag() : http.last_modified;
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
        request.if_range = range_validator();
    } else {
        request.if_match = strong_etag();
        request.if_unmodified_since = http.last_modified;
    }
    http.window_waited = 0;
    http.window_bytes = 0;
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
// them on from memory, and asks the server only for what lies beyond.
bool from_prefix()
{
    return http.passes > 1 && http.position < http.prefix_length;
}

// The verification pass sees the package stream go by: its header says how
// far the scripts' passes read.
void see(const uint8_t* bytes, uint32_t n)
{
    watch_stream(&http.watch, bytes, n);
    // An envelope's reader knows no more of the package than its bytes: as
    // much as may be kept is kept, and a pass of the scripts that needs more
    // asks for it.
    http.sealed = http.sealed || (http.watch.seen >= ENVELOPE_MAGIC_SIZE &&
                                  is_envelope(http.watch.head, ENVELOPE_MAGIC_SIZE));
    if (http.sealed)
        http.keep_until = KEPT_MAX;
    else if (http.watch.blocks_end_known)
        http.keep_until = http.watch.scripts_need;
}

// The verification pass keeps what it takes of the object while it must.
void keep(const uint8_t* bytes, uint32_t n)
{
    if (!http.keeping)
        return;
    // A plain package's own bytes: as far as the scripts' passes read. A gzip
    // package's compressed ones: until its output has come that far.
    uint64_t target = http.gzip ? KEPT_MAX : http.keep_until;
    if (target > KEPT_MAX)
        target = KEPT_MAX;
    uint32_t want = target > http.prefix_length ? (uint32_t)(target - http.prefix_length) : 0;
    uint32_t take = n < want ? n : want;
    if (http.prefix_length + take > http.prefix_room) {
        uint32_t room = http.prefix_room * 2;
        if (room < http.prefix_length + take)
            room = http.prefix_length + take;
        if (room > KEPT_MAX)
            room = KEPT_MAX;
        byte_buffer grown = allocate_bytes(room);
        if (!grown) {
            http.keeping = false;     // the scripts' passes will ask the server
            return;
        }
        memcpy(grown.get(), http.prefix.get(), http.prefix_length);
        http.prefix = static_cast<byte_buffer&&>(grown);
        http.prefix_room = room;
    }
    memcpy(http.prefix.get() + http.prefix_length, bytes, take);
    http.prefix_length += take;
    if (!http.gzip && !http.sealed && http.watch.blocks_end_known &&
        http.prefix_length >= http.keep_until) {
        http.keeping = false;
        http.prefix_suffices = true;
    } else if (take < n) {
        http.keeping = false;         // more than KEPT_MAX
    }
}

// A gzip package's output as it is handed on: in the verification pass, once
// it has come as far as the scripts' passes read, the compressed bytes kept
// are all they need; once it has come to the package's end, gunzip is fed
// only what the end of its stream needs.
void watch_output(const uint8_t* bytes, int n)
{
    if (n <= 0)
        return;
    http.out_count += (uint32_t)n;
    if (http.passes != 1) {
        bound_output(&http.bound, nullptr, http.out_count);
        return;
    }
    see(bytes, (uint32_t)n);
    if (http.keeping && http.watch.blocks_end_known && http.out_count >= http.keep_until) {
        // gunzip made this output of no more than what it was fed; what was
        // taken beyond that is not needed.
        http.keeping = false;
        http.prefix_suffices = true;
        if (http.prefix_length > http.bound.fed)
            http.prefix_length = (uint32_t)http.bound.fed;
    }
    bound_output(&http.bound, &http.watch, http.out_count);
}

// The descriptor to wait on for the next bytes, or -1 when they can be taken
// at once (kept ones, or bytes that came with the head).
int ready_fd()
{
    if (from_prefix() || http.ended || http.failed || !http.connected || http_has_early(&http.x))
        return -1;
    return http.x.body;
}

// The end of the object in this pass.
int object_ended()
{
    end_pass();
    http.ended = true;
    if (http.keeping) {
        // The whole object is kept: nothing can be missing.
        http.keeping = false;
        http.prefix_suffices = true;
        http.kept_whole = true;
    }
    return 0;
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
    if (http.ended || (http.kept_whole && http.passes > 1 && !http.connected))
        return 0;
    // Handed on whole, by its length: whatever the connection still holds
    // (or the break it met since) changes nothing.
    if (http.has_length && http.position >= http.length && http.passes > 1)
        return object_ended();
    if (!http.connected) {
        // A pass of the scripts past the kept bytes. gunzip reads ahead of what
        // it writes: it is told that its input ended once what was kept is all
        // the pass needs.
        if (http.scripts_only && http.gzip && http.prefix_suffices) {
            http.ended = true;
            return 0;
        }
        int connected = connect_from(http.position > 0);
        if (connected < 0)
            return -1;
        if (connected > 0 && resume(http.reason) < 0)
            return -1;
        return -2;
    }
    if (http.has_length && http.delivered >= http.length)
        return object_ended();        // whole by its length, whatever else comes
    if (http.has_length && (uint64_t)length > http.length - http.delivered)
        length = (int)(http.length - http.delivered);
    int n = http_read(&http.x, to, length);
    if (n < 0)
        return resume("the connection broke") < 0 ? -1 : -2;
    if (n == 0) {
        char why[160];
        bool short_body = http.has_length && http.delivered < http.length;
        if (short_body || http_finish(&http.x, why, sizeof why) < 0)
            return resume(short_body ? "the connection broke" : why) < 0 ? -1 : -2;
        return object_ended();
    }
    http.fetched += (uint32_t)n;
    http.window_bytes += (uint32_t)n;
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
    if (http.passes == 1 && !http.priming) {
        keep(to, (uint32_t)n);
        if (!http.gzip)
            see(to, (uint32_t)n);
    }
    http.position += (uint32_t)n;
    http.delivered += (uint32_t)n;
    return n;
}

// After `waited` ms spent waiting for the server: a connection that brought
// less than the floor rate over a stall time is opened again, as a stalled
// one is, so that a server sending a little just inside every stall time
// cannot hold a pass (and the run lock) for days. 1 when it was.
int judge_rate(int64_t waited)
{
    const http_settings* settings = http_config();
    http.window_waited += waited;
    if (http.window_waited < settings->stall_ms)
        return 0;
    uint64_t floor = (uint64_t)settings->min_rate * (uint64_t)settings->stall_ms / 1000;
    bool slow = http.window_bytes < floor;
    http.window_waited = 0;
    http.window_bytes = 0;
    if (!slow)
        return 0;
    char why[64];
    snprintf(why, sizeof why, "slower than %d bytes a second", settings->min_rate);
    resume(why);
    return 1;
}

// Waits up to the stall time for `fd`; 1 ready, 0 stalled or too slow, and
// the connection opened again (or the pass ended: http.failed).
int wait_for_bytes(int fd)
{
    int64_t start = monotonic_ms();
    if (wait_readable_until(fd, start + http_config()->stall_ms) == 0) {
        resume("no byte for too long");
        return 0;
    }
    return judge_rate(monotonic_ms() - start) ? 0 : 1;
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

// A new pass over the object. The verification and apply passes ask the
// server at once: one that refuses the package, or has another object under
// the URL now, is named before the pass reads a byte (and before the apply
// pass erases anything). A pass of the scripts asks only when it needs more
// than the kept bytes.
int begin_pass(const char* url, bool scripts_only, bool gzip)
{
    http.url = url;
    if (http.changed)
        return changed_on_server();
    ++http.passes;
    if (http.passes == 1) {
        http.gzip = gzip;
        uint32_t room = gzip ? KEPT_FIRST_GZIP : PIN_CHUNK_SIZE;
        http.prefix = allocate_bytes(room);
        http.prefix_room = http.prefix ? room : 0;
        http.prefix_length = 0;
        http.keeping = http.prefix != nullptr;
        http.keep_until = PIN_CHUNK_SIZE;
        http.relay = allocate_bytes(RELAY_SIZE);
    }
    if (!http.relay) {
        puts("Package read-ahead: out of memory");
        return -1;
    }
    http.scripts_only = scripts_only && http.passes > 1;
    http.connected = false;
    http.position = 0;
    http.delivered = 0;
    http.relay_start = http.relay_end = 0;
    http.retries = 0;
    http.ended = false;
    http.failed = false;
    http.out_count = 0;
    http.bound = feed_bound{};
    http.cut = false;
    http.x = http_exchange{};
    http.x.pid = -1;
    http.x.body = http.x.messages = -1;
    if (http.scripts_only)
        return 0;
    int connected = connect_from(false);
    if (connected < 0 || (connected > 0 && resume(http.reason) < 0)) {
        http_end(&http.x);
        return -1;
    }
    return 0;
}

// The open of a pass: the primed verification pass goes on from its first bytes.
int open_pass(const char* url, bool scripts_only, bool gzip)
{
    if (http.primed) {
        http.primed = false;
        return 0;
    }
    return begin_pass(url, scripts_only, gzip);
}

int open_plain(const char* url, bool scripts_only)
{
    if (open_pass(url, scripts_only, false) < 0)
        return -1;
    // A handle of our own that stays the same while connections come and go.
    http.token = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (http.token < 0) {
        perror("open");
        end_pass();
    }
    return http.token;
}

int open_gzip(const char* url, bool scripts_only)
{
    if (open_pass(url, scripts_only, true) < 0)
        return -1;
    int read_end = start_fed_gunzip(&http.gunzip_in);
    if (read_end < 0)
        end_pass();
    return read_end;
}

// Writes what the relay holds into gunzip, as far as it may be fed.
void feed_gunzip()
{
    uint64_t n = (uint64_t)(http.relay_end - http.relay_start);
    if (n > feed_room(&http.bound))
        n = feed_room(&http.bound);
    ssize_t written = n > 0 ? ::write(http.gunzip_in, http.relay.get() + http.relay_start,
                                      (size_t)n)
                            : 0;
    if (written > 0) {
        http.relay_start += (int)written;
        bound_fed(&http.bound, (uint64_t)written);
    } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
        ::close(http.gunzip_in);      // gunzip has gone: its output says why
        http.gunzip_in = -1;
    }
    if (http.relay_start == http.relay_end)
        http.relay_start = http.relay_end = 0;
}

// Whether gunzip has had all the input it gets: the whole object, or all it
// may have (then the rest of the body is not wanted).
bool input_done()
{
    bool limit = feed_room(&http.bound) == 0;
    if (limit && !http.ended && !http.failed) {
        end_pass();
        http.cut = true;
    }
    return limit || ((http.ended || http.failed) && http.relay_start == http.relay_end);
}

}  // namespace

int open_http_source(const char* url)
{
    return open_plain(url, false);
}

int open_scripts_http_source(const char* url)
{
    return open_plain(url, true);
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

int finish_http_source(int)
{
    // The engine has read the package whole; an envelope's reader, the
    // whole object.
    http.package_length = http.sealed ? http.position : http.watch.package_end;
    http.package_known = true;
    return 0;
}

int open_gzip_http_source(const char* url)
{
    return open_gzip(url, false);
}

int open_scripts_gzip_http_source(const char* url)
{
    return open_gzip(url, true);
}

// Moves compressed bytes from the connection into gunzip while reading what
// gunzip writes, until `length` bytes came out or gunzip's output ended.
int read_gzip_http_source(int handle, void* buffer, int length)
{
    uint8_t* to = static_cast<uint8_t*>(buffer);
    int total = 0;
    int stall = http_config()->stall_ms;
    while (total < length) {
        bool wanted = http.relay_end < RELAY_SIZE && !http.ended && !http.failed &&
                      (uint64_t)(http.relay_end - http.relay_start) < feed_room(&http.bound);
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
        bool feeding = http.gunzip_in >= 0 && (http.relay_start < http.relay_end || input_done());
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
        int64_t start = monotonic_ms();
        int ready = ::poll(fds, (nfds_t)count, body_slot >= 0 ? stall : -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            resume("no byte for too long");
            continue;
        }
        // Time that gunzip waited on the server alone counts against its rate.
        if (body_slot >= 0 && http.relay_start == http.relay_end &&
            judge_rate(monotonic_ms() - start))
            continue;
        if (fds[0].revents != 0) {
            ssize_t n = ::read(handle, to + total, (size_t)(length - total));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                return gunzip_verdict(http.cut) < 0 || http.failed ? -1 : total;
            watch_output(to + total, (int)n);
            total += (int)n;
        }
        if (in_slot >= 0 && fds[in_slot].revents != 0) {
            if (http.relay_start < http.relay_end && !input_done()) {
                feed_gunzip();
            } else if (input_done()) {
                ::close(http.gunzip_in);          // all of its input went in
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
    // gunzip's verdict on the stream is heard, but it is fed no more than
    // its stream's end needs: a body that goes on after the package must not
    // keep the pass reading for ever.
    bound_finish(&http.bound);
    int result = read_to_the_end(handle, read_gzip_http_source);
    if (result == 0) {
        http.package_length = http.watch.package_end;
        http.package_known = true;
    }
    return result;
}

int http_prime(const char* url, const uint8_t** bytes)
{
    if (begin_pass(url, false, false) < 0)
        return -1;
    http.priming = true;
    while (http.relay_end < (int)ENVELOPE_MAGIC_SIZE && !http.ended && !http.failed) {
        int fd = ready_fd();
        if (fd >= 0 && wait_for_bytes(fd) == 0)
            continue;
        int n = take(http.relay.get() + http.relay_end, RELAY_SIZE - http.relay_end);
        if (n == -2)
            continue;
        if (n <= 0)
            break;
        http.relay_end += n;
    }
    http.priming = false;
    if (http.failed) {
        end_pass();
        return -1;
    }
    http.primed = true;
    *bytes = http.relay.get();
    return http.relay_end;
}

void http_primed_as(bool gzip)
{
    http.gzip = gzip;
    keep(http.relay.get(), (uint32_t)http.relay_end);
    if (!gzip)
        see(http.relay.get(), (uint32_t)http.relay_end);
}

uint64_t http_bytes_fetched()
{
    return http.fetched;
}

bool http_package_length(uint64_t* length)
{
    *length = http.package_length;
    return http.package_known;
}
