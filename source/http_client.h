// One HTTP request: the client program the tool starts for it (curl where the
// board has it, else busybox wget), running with no more than it needs, and
// the head of the response it reads. The package's bytes follow the head on a
// pipe; nothing of them is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "source/url.h"

enum http_client_kind { HTTP_CURL, HTTP_WGET };

// How requests are made; fixed at build time (a test build may take some of
// them from its environment).
struct http_settings {
    const char* client;               // "curl", "wget" or "auto": curl when on the path
    const char* ca_file;              // null or empty: the system's store
    const char* cert_file;            // the board's client certificate, or none
    const char* key_file;             // and its key
    const char* header_file;          // extra request headers (an access token), or none
    // When the tool runs as root, the client runs as this user; null or empty:
    // under an id of its own from id_first to id_last, as user and group.
    const char* user;
    uint32_t id_first;
    uint32_t id_last;
    bool allow_proxy;                 // the caller's proxy variables reach the client
    bool signatures_required;         // the board takes signed packages only
    int stall_ms;                     // a connection without a byte for this long is broken
    int min_rate;                     // bytes a second over the stall time, at least; 0: none
    int retries;                      // per pass
    int pause_ms;                     // before the first retry; doubled for each one after
};

// Takes the settings for the run's requests and checks what can be checked
// before anything is read: the client, the files, the client's ids; and
// whether `url` may be fetched with them (busybox wget cannot check a server's
// certificate). The files are read now, by the tool, and handed to each client
// as descriptors: they stay readable by root alone, and the secrets among them
// reach a client through a pipe that it empties. The header file's lines go
// only to the origin of `url`. 0, or -1 after one line.
int http_setup(const http_settings* settings, const char* url);

// The settings http_setup took, and the client they chose.
const http_settings* http_config();
http_client_kind http_kind();

struct http_request {
    const char* url;
    uint64_t from;                    // > 0: from this byte on (curl only)
    bool bounded;                     // and no further than `to` (curl only)
    uint64_t to;
    const char* if_range;             // with `from`: the validator that must still hold
    const char* if_match;             // the object must still have this ETag
    const char* if_unmodified_since;  // or, without one, this Last-Modified
};

constexpr size_t HTTP_VALIDATOR_SIZE = 128;

struct http_response {
    int status;                       // of the last response; 0 when none came
    char etag[HTTP_VALIDATOR_SIZE];
    char last_modified[HTTP_VALIDATOR_SIZE];
    bool has_length;
    uint64_t length;                  // Content-Length
    bool has_range;
    uint64_t range_start;             // Content-Range: bytes START-END/TOTAL
    uint64_t range_total;
    char location[URL_MAX + 1];       // of a redirect
    char reason[160];                 // why no response came, as the client said it
    bool retryable;                   // no response, for a reason a retry may mend
};

// A request under way: the client, the body's pipe and the client's messages.
struct http_exchange {
    pid_t pid;
    int body;
    int messages;
    uint8_t early[2048];              // body bytes that came with the head
    int early_start;
    int early_end;
};

// Starts the client and reads the head of the final response (up to five
// redirects followed, each by a client of its own, never from https to http),
// giving up after the stall time without a byte. 0 with the exchange
// running and *response filled, whatever its status; -1 when no response came
// (the connection failed or stalled, the client could not start), with
// response->reason set and the exchange ended.
int http_start(const http_request* request, http_exchange* exchange, http_response* response);

// Body bytes: what came with the head first, then the pipe. The count, 0 at the
// end of the body, -1 on a read error.
int http_read(http_exchange* exchange, void* buffer, int length);

// Whether body bytes are waiting that no poll of the pipe would show.
bool http_has_early(const http_exchange* exchange);

// After the end of the body: whether the client ended well (the transfer was
// whole as far as it knows), waiting for it the stall time at most; -1 with
// *reason (`size` bytes) saying why not.
int http_finish(http_exchange* exchange, char* reason, size_t size);

// Kills the client if it still runs, collects it and closes the pipes.
void http_end(http_exchange* exchange);
