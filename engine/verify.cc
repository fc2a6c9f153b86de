#include "engine/verify.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "common/scoped.h"
#include "engine/package_format.h"
#include "engine/progress.h"

namespace {

struct verify_state {
    const source_ops* src;
    int handle;
    report_fn report;
    uint8_t* buffer;
    uint32_t buffer_size;
    uint64_t total_size;
    uint64_t read_bytes;              // block data read in this pass, all blocks
    progress_info info;
};

void fail(verify_state* s, const char* text)
{
    send_report(s->report, &s->info, 1, percent_of(s->read_bytes, s->total_size),
                STATE_CHECK_FAILED, 100, text);
}

// Streams one block's data through the checksum. -1 when the package ends early.
int sum_block(verify_state* s, const block_header* block, uint32_t* sum)
{
    uint64_t count = 0;
    while (count < block->data_size) {
        uint64_t left = block->data_size - count;
        uint32_t chunk = left < s->buffer_size ? (uint32_t)left : s->buffer_size;
        int n = s->src->read(s->handle, s->buffer, (int)chunk);
        if (n <= 0 || (uint32_t)n > chunk)
            return -1;
        count += (uint32_t)n;
        s->read_bytes += (uint32_t)n;
        *sum = byte_sum(*sum, s->buffer, n);
        report_if_moved(s->report, &s->info, 1, percent_of(s->read_bytes, s->total_size),
                        STATE_CHECKING, percent_of(count, block->data_size), block->target_path);
    }
    return 0;
}

// One block: header, data, checksum. 0 on a match, -1 after the failure report.
int verify_block(verify_state* s, uint32_t index)
{
    // A buffer of its own: a small I/O buffer would cut the failure texts.
    char text[64];
    block_header block{};
    if (s->src->read(s->handle, &block, (int)sizeof block) != (int)sizeof block) {
        printf("Block %d header read error!\n", (int)index);
        format_message(text, sizeof text, TEXT_BLOCK_READ_ERROR, (int)index);
        fail(s, text);
        return -1;
    }
    if (check_block_header(&block) < 0) {
        printf("Block %d header error!\n", (int)index);
        format_message(text, sizeof text, TEXT_BLOCK_HEADER_ERROR, (int)index);
        fail(s, text);
        return -1;
    }
    uint32_t sum = 0;
    if (sum_block(s, &block, &sum) < 0) {
        printf("Block %d data read error!\n", (int)index);
        format_message(text, sizeof text, TEXT_BLOCK_READ_ERROR, (int)index);
        fail(s, text);
        return -1;
    }
    if (sum != block.checksum) {
        printf("Block %d checksum error! head 0x%x cal 0x%x\n", (int)index, block.checksum, sum);
        format_message(text, sizeof text, "error id 1, block %d checksum error!", (int)index);
        fail(s, text);
        return -1;
    }
    printf("blk %d head 0x%x cal 0x%x\n", (int)index, block.checksum, sum);
    send_report(s->report, &s->info, 1, percent_of(s->read_bytes, s->total_size),
                STATE_CHECKING, 100, "");
    return 0;
}

// Reads whatever follows the last block, to the end of the stream. Nothing there
// is interpreted, but a source can only tell at its end whether it delivered the
// package intact (a decompressor reports a damaged stream when it finishes).
int drain(verify_state* s)
{
    int n;
    while ((n = s->src->read(s->handle, s->buffer, (int)s->buffer_size)) > 0) {
    }
    if (n < 0) {
        puts("Package read error after the last block!");
        fail(s, "error id 9, package read error!");
        return -1;
    }
    return 0;
}

}  // namespace

int verify_package(const source_ops* src, const char* package_path,
                   int (*report_progress)(const progress_info*, const char*),
                   uint32_t buffer_size)
{
    if (src == nullptr || src->open == nullptr || src->close == nullptr ||
        src->read == nullptr || report_progress == nullptr || buffer_size == 0 ||
        buffer_size > INT_MAX)
        return -1;
    verify_state s{};
    s.src = src;
    s.report = report_progress;
    s.buffer_size = buffer_size;
    s.handle = src->open(package_path);
    if (s.handle < 0)
        return -1;
    byte_buffer buffer = allocate_bytes(buffer_size);
    if (!buffer) {
        src->close(s.handle);
        return -1;
    }
    s.buffer = buffer.get();
    memset(s.buffer, 0, buffer_size);

    int result = 0;
    package_header header{};
    if (read_package_header(s.handle, &header, s.buffer, src->read, buffer_size) < 0) {
        result = -1;
        s.total_size = header.total_size;
        fail(&s, "Error id 0");
    } else {
        s.total_size = header.total_size;
        send_report(report_progress, &s.info, 1, 0, STATE_BEGIN, 0, "");
        for (uint32_t i = 0; i < header.block_count; ++i) {
            if (verify_block(&s, i) < 0) {
                result = -1;
                break;
            }
        }
        if (result == 0)
            result = drain(&s);
        if (result == 0)
            send_report(report_progress, &s.info, 1, 100, STATE_CHECKING, 100, "");
    }
    buffer.reset();
    src->close(s.handle);
    return result;
}
