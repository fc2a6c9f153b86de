// What a source learns of the package stream as it goes by, and the bounds it
// keeps on gunzip's input from it: shared by every source that feeds gunzip
// itself (a server's body, an envelope's content), where a body that goes on
// after the package must not keep a pass reading for ever.
#pragma once

#include <cstdint>

#include "engine/package_format.h"
#include "engine/trailer.h"

// The package stream as a pass hands it on: its header says how far the
// passes of the scripts read and where the blocks end; what stands there says
// whether a trailer follows, and how long it is.
struct stream_watch {
    uint64_t seen;
    uint8_t head[sizeof(package_header)];
    bool blocks_end_known;
    uint64_t blocks_end;
    uint64_t scripts_need;            // whole pin chunks up to the end of the end script
    uint8_t probe[TRAILER_PROBE_SIZE];
    uint64_t package_end;             // the blocks' end, or the trailer's once seen
};

void watch_stream(stream_watch* watch, const uint8_t* bytes, uint32_t length);

// Once gunzip's output has reached the blocks' end, it is fed at most
// FINISH_ALLOWANCE more (and the trailer's size): enough for the end of the
// compressed stream and its check value, never a body without end (zeros,
// which gunzip takes for padding until its input ends). And gunzip never
// takes SILENT_INPUT_LIMIT without writing a byte from a stream of the
// package's own: whatever it is fed then (padding, empty blocks) is no
// package, and a pass waiting for more output would wait for ever.
constexpr uint32_t FINISH_ALLOWANCE = 64 * 1024;
constexpr uint32_t SILENT_INPUT_LIMIT = 1024 * 1024;

struct feed_bound {
    uint64_t fed;                     // compressed bytes gunzip was given in this pass
    uint64_t fed_silent;              // of them since gunzip last wrote a byte
    bool finishing;                   // the blocks' end has come out
    uint64_t limit;
    bool trailer_allowed;             // the limit makes room for the trailer
};

// gunzip has written `out_count` bytes in this pass, which `watch` has seen
// (null: the pass does not look at the stream).
void bound_output(feed_bound* bound, const stream_watch* watch, uint64_t out_count);

// The verification pass has read the whole package: the allowance starts now
// if it has not before.
void bound_finish(feed_bound* bound);

// How many more compressed bytes gunzip may be given now.
uint64_t feed_room(const feed_bound* bound);

// `written` bytes went into gunzip.
void bound_fed(feed_bound* bound, uint64_t written);
