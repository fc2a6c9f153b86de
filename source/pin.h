// Holds every pass after the first to the bytes that the first, the
// verification pass, read. Checking the file's identity between passes is not
// enough: a FIFO hands out other bytes at every open, and a file can be
// rewritten in place while a pass reads it. A regular file that the source
// holds under a lease is safe as it is (the kernel tells of any writer). For
// any other package the verification pass records a SHA-256 digest of every
// PIN_CHUNK_SIZE bytes of the package stream, and once a trailer was accepted,
// a later pass reads each chunk whole and checks it before any of its bytes go
// further. Without a trailer nothing was verified beyond the checksums, and
// later passes read as before.
#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"

constexpr uint32_t PIN_CHUNK_SIZE = 128 * 1024;

// Fills `pinned` with slots that read through `inner` (copied), pinning its
// bytes, and forgets any earlier record. The first open after it is taken to
// be the verification pass. At that open the
// pin also decides whether the package needs a digest at all: when no trailer
// can end the file (see package_may_end_in_trailer), neither the trust digest
// nor the pin is taken, and a trailer found after all is refused as malformed.
void pin_source(const source_ops* inner, source_ops* pinned);
