// A gzip package whose compressed bytes come from another source (the content
// of an envelope): this process feeds gunzip what that source reads, and
// reads what gunzip writes, within the bounds a server's body is held to.
#pragma once

#include "engine/fwdeploy.h"

// Fills `relayed` with slots that read gunzip's output of what `inner`
// (copied) reads.
void gzip_relay_source(const source_ops* inner, source_ops* relayed);
