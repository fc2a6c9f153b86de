#include "engine/copy.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/scoped.h"
#include "engine/progress.h"

namespace {

// Up to `length` bytes as lent by the source, at *bytes. A piece the source
// cuts short where its own buffer ends is completed in `buffer`: the target
// gets whole pieces, as from a read, since a write that starts off a page
// boundary of a file costs the kernel a third more for every write after it.
// How many bytes (fewer only at the end of the package), or -1.
int take_lent(int source, int (*borrow)(int, const uint8_t**, int), uint8_t* buffer, int length,
              const uint8_t** bytes)
{
    int n = borrow(source, bytes, length);
    if (n <= 0 || n >= length)
        return n;
    memcpy(buffer, *bytes, (size_t)n);
    *bytes = buffer;
    while (n < length) {
        const uint8_t* more = nullptr;
        int m = borrow(source, &more, length - n);
        if (m < 0 || m > length - n)
            return -1;
        if (m == 0)
            break;
        memcpy(buffer + n, more, (size_t)m);
        n += m;
    }
    return n;
}

}  // namespace

int copy_block_data(int source, int (*read)(int, void*, int), int target,
                    int (*write)(int, const void*, int), const char* name, uint64_t data_size,
                    uint32_t buffer_size, int (*report_progress)(const progress_info*, const char*),
                    uint64_t total_size, uint64_t* done_bytes,
                    int (*borrow)(int, const uint8_t**, int))
{
    progress_info info{};
    byte_buffer buffer = allocate_bytes(buffer_size);
    if (!buffer) {
        send_report(report_progress, &info, 2, percent_of(*done_bytes, total_size),
                    STATE_WRITE_FAILED, 0, name);
        return -1;
    }
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
        int n = borrow != nullptr ? take_lent(source, borrow, buffer.get(), chunk, &bytes)
                                  : read(source, buffer.get(), chunk);
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
