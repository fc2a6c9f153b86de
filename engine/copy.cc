#include "engine/copy.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/scoped.h"
#include "engine/progress.h"

int copy_block_data(int source, int (*read)(int, void*, int), int target,
                    int (*write)(int, const void*, int), const char* name, uint64_t data_size,
                    uint32_t buffer_size, int (*report_progress)(const progress_info*, const char*),
                    uint64_t total_size, uint64_t* done_bytes,
                    int (*borrow)(int, const uint8_t**, int))
{
    progress_info info{};
    byte_buffer buffer;
    if (borrow == nullptr)
        buffer = allocate_bytes(buffer_size);
    if (borrow == nullptr && !buffer) {
        send_report(report_progress, &info, 2, percent_of(*done_bytes, total_size),
                    STATE_WRITE_FAILED, 0, name);
        return -1;
    }
    if (buffer)
        memset(buffer.get(), 0, buffer_size);
    send_report(report_progress, &info, 2, percent_of(*done_bytes, total_size), STATE_WRITING, 0,
                name);

    char message[512];
    uint64_t written = 0;
    uint64_t read_count = 0;
    while (written < data_size) {
        uint64_t left = data_size - written;
        int chunk = (int)(left < buffer_size ? left : buffer_size);
        const uint8_t* bytes = buffer.get();
        int n = borrow != nullptr ? borrow(source, &bytes, chunk) : read(source, buffer.get(), chunk);
        // 0 before the block is complete means the package ended: asking again would spin.
        if (n <= 0 || n > chunk) {
            format_message(message, sizeof message, TEXT_READ_ERROR, name);
            send_report(report_progress, &info, 2, percent_of(*done_bytes, total_size),
                        STATE_WRITE_FAILED, 0, message);
            return -1;
        }
        read_count += (uint32_t)n;
        int w = write(target, bytes, n);
        uint32_t taken = w <= 0 ? 0 : (uint32_t)(w > n ? n : w);
        *done_bytes += taken;
        written += taken;
        // A target that took less than it was given has lost bytes of this block;
        // going on would also size the next read past the block's end.
        if (w != n) {
            format_message(message, sizeof message, TEXT_WRITE_ERROR, name);
            send_report(report_progress, &info, 2, percent_of(*done_bytes, total_size),
                        STATE_WRITE_FAILED, 0, message);
            return -1;
        }
        report_if_moved(report_progress, &info, 2, percent_of(*done_bytes, total_size),
                        STATE_WRITING, percent_of(written, data_size), name);
    }
    send_report(report_progress, &info, 2, percent_of(*done_bytes, total_size), STATE_WRITING,
                100, name);
    printf("######Write 0x%llx bytes to %s #######\n", (unsigned long long)read_count, name);
    return 0;
}
