// Progress arithmetic and the texts of failure reports shared by several passes.
#pragma once

#include <cstdint>

#include "engine/fwdeploy.h"

using report_fn = int (*)(const progress_info* info, const char* message);

// done * 100 / whole in unsigned 64-bit arithmetic, low 32 bits kept.
int32_t percent_of(uint64_t done, uint64_t whole);

// Sets every field of `info` and sends it.
void send_report(report_fn report, progress_info* info, int32_t stage, int32_t percent,
                 int32_t state, int32_t sub_percent, const char* message);

// Recomputes both percentages after a chunk and reports only when one of them moved.
void report_if_moved(report_fn report, progress_info* info, int32_t stage, int32_t percent,
                     int32_t state, int32_t sub_percent, const char* message);

// Formats into `buffer` (cleared first, bounded by `size`), for failure texts.
void format_message(char* buffer, uint32_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Failure texts of reads that came up short and of block headers that cannot be
// acted on; %d is the block index.
constexpr char TEXT_BLOCK_READ_ERROR[] = "error id 9, block %d read error!";
constexpr char TEXT_BLOCK_HEADER_ERROR[] = "error id 8, block %d header error!";
constexpr char TEXT_SLOT_REFUSED[] = "error id 21, slot target %s refused!";
constexpr char TEXT_SLOT_NOT_UNBOOTABLE[] = "error id 23, slot target %s still bootable!";
