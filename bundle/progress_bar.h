// A progress bar on standard error, drawn only when that is a terminal: piped or
// logged output gets no carriage-return noise.
#pragma once

#include <cstdint>
#include <string>

struct progress_bar {
    bool enabled = false;
    std::string label;
    int shown = -1;                   // the per-mille last drawn
};

// Decides whether to draw at all (standard error is a terminal).
void progress_start(progress_bar* bar, const std::string& label);

// A bundle_progress_fn: `context` is the progress_bar.
void progress_update(uint64_t done, uint64_t total, void* context);

// Ends the bar's line, if one was drawn.
void progress_finish(progress_bar* bar);
