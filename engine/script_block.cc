#include "engine/script_block.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "common/scoped.h"
#include "engine/progress.h"

int run_block_script(int source, int (*read)(int, void*, int), const char* name,
                     uint32_t length, int (*run_script)(const char*, int),
                     int (*report_progress)(const progress_info*, const char*),
                     uint64_t total_size, uint64_t* done_bytes,
                     const char* (*script_failure)())
{
    progress_info info{};
    char message[512];
    byte_buffer script = length <= INT_MAX ? allocate_bytes(length) : byte_buffer();
    if (!script) {
        send_report(report_progress, &info, 2, percent_of(*done_bytes, total_size),
                    STATE_WRITE_FAILED, 0, name);
        return -1;
    }
    memset(script.get(), 0, length);
    uint32_t gathered = 0;
    do {
        int n = read(source, script.get() + gathered, (int)(length - gathered));
        // 0 before the script is whole means the package ended: asking again would spin.
        bool stalled = n == 0 && gathered < length;
        if (n < 0 || stalled || (uint32_t)n > length - gathered) {
            format_message(message, sizeof message, "error id 10, read script %s err.", name);
            send_report(report_progress, &info, 2, percent_of(*done_bytes, total_size),
                        STATE_WRITE_FAILED, 0, message);
            return -1;
        }
        gathered += (uint32_t)n;
    } while (gathered < length);

    bool ran = run_script(reinterpret_cast<const char*>(script.get()), (int)length) != -1;
    const char* failure = ran && script_failure != nullptr ? script_failure() : nullptr;
    if (failure != nullptr)
        printf("Script block %s failed: its shell %s!\n", name, failure);
    if (!ran || failure != nullptr) {
        format_message(message, sizeof message, "error id 10, run script %s err.", name);
        send_report(report_progress, &info, 2, percent_of(*done_bytes, total_size),
                    STATE_WRITE_FAILED, 0, message);
        return -1;
    }
    *done_bytes += length;
    send_report(report_progress, &info, 2, percent_of(*done_bytes, total_size), STATE_WRITING,
                100, name);
    printf("######Run scripts %s success size: 0x%x bytes #######\n", name, length);
    return 0;
}
