#include "engine/prepare.h"

#include <cstdio>
#include <cstring>

#include "common/scoped.h"
#include "engine/progress.h"

namespace {

struct fill_job {
    const partition_ops* part;
    const char* target_path;
    uint64_t erase_size;
    uint32_t buffer_size;
    report_fn report;
    int32_t percent;                  // done_bytes does not move while preparing
    progress_info* info;
};

void report_erase(const fill_job& job, int32_t state, int32_t sub_percent, const char* message)
{
    send_report(job.report, job.info, 2, job.percent, state, sub_percent, message);
}

// Writes 0xFF over the first erase_size bytes. -1 after the failure report.
int fill_partition(const fill_job& job, uint64_t* filled)
{
    int handle = job.part->open(job.target_path);
    if (handle < 0) {
        report_erase(job, STATE_ERASE_FAILED, 0, "error id 6");
        return -1;
    }
    byte_buffer buffer = allocate_bytes(job.buffer_size);
    if (!buffer) {
        report_erase(job, STATE_ERASE_FAILED, 0, job.target_path);
        job.part->close(handle);
        return -1;
    }
    memset(buffer.get(), 0xFF, job.buffer_size);
    report_erase(job, STATE_ERASING, 0, job.target_path);
    while (*filled < job.erase_size) {
        uint64_t left = job.erase_size - *filled;
        int chunk = (int)(left < job.buffer_size ? left : job.buffer_size);
        int n = job.part->write(handle, buffer.get(), chunk);
        // A write that makes no progress would be asked again forever.
        if (n <= 0 || n > chunk) {
            report_erase(job, STATE_ERASE_FAILED, percent_of(*filled, job.erase_size),
                         job.target_path);
            buffer.reset();
            job.part->close(handle);
            return -1;
        }
        *filled += (uint32_t)n;
        report_if_moved(job.report, job.info, 2, job.percent, STATE_ERASING,
                        percent_of(*filled, job.erase_size), job.target_path);
    }
    // Fill bytes that never reached the device leave the partition unprepared.
    if (job.part->close(handle) == -1) {
        report_erase(job, STATE_ERASE_FAILED, 100, job.target_path);
        return -1;
    }
    return 0;
}

}  // namespace

int prepare_partition(const partition_ops* part, const char* target_path,
                      const block_header* block, uint32_t buffer_size,
                      int (*report_progress)(const progress_info*, const char*),
                      uint64_t total_size, const uint64_t* done_bytes)
{
    progress_info info{};
    fill_job job{part, target_path, block->erase_size, buffer_size, report_progress,
                 percent_of(*done_bytes, total_size), &info};

    // A size that cannot be read is unknown, not huge: refuse it, saying so (the
    // back end has printed why it failed), never as a partition too small.
    int64_t size = part->get_size(target_path);
    if (size < 0) {
        printf("Size of %s could not be read\n", target_path);
        report_erase(job, STATE_ERASE_FAILED, 0, "block size read fail");
        return -1;
    }
    if ((uint64_t)size < block->erase_size) {
        printf("Src sz is 0x%llx dst sz is 0x%llx\n", (unsigned long long)size,
               (unsigned long long)block->erase_size);
        report_erase(job, STATE_ERASE_FAILED, 0, "block not enough");
        return -1;
    }
    report_erase(job, STATE_ERASING, 0, target_path);
    int erased = part->erase(target_path);
    if (erased < 0) {
        report_erase(job, STATE_ERASE_FAILED, 0, "block erase fail");
        return -1;
    }
    uint64_t filled = 0;
    if (erased == 0 && fill_partition(job, &filled) < 0)
        return -1;
    report_erase(job, STATE_ERASING, 100, target_path);
    printf("######Erase 0x%llx bytes#######\n", (unsigned long long)filled);
    return 0;
}
