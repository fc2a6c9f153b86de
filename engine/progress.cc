#include "engine/progress.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int32_t percent_of(uint64_t done, uint64_t whole)
{
    // An empty whole (a zeroed header after a short read, or a package whose blocks
    // carry no data) gives no measure of progress: report 0 rather than divide by
    // zero. The passes send 100 explicitly when they finish.
    if (whole == 0)
        return 0;
    return (int32_t)(uint32_t)(done * 100 / whole);
}

void send_report(report_fn report, progress_info* info, int32_t stage, int32_t percent,
                 int32_t state, int32_t sub_percent, const char* message)
{
    info->total_stages = 2;
    info->stage = stage;
    info->percent = percent;
    info->state = state;
    info->sub_percent = sub_percent;
    report(info, message);
}

void report_if_moved(report_fn report, progress_info* info, int32_t stage, int32_t percent,
                     int32_t state, int32_t sub_percent, const char* message)
{
    if (percent == info->percent && sub_percent == info->sub_percent)
        return;
    send_report(report, info, stage, percent, state, sub_percent, message);
}

void format_message(char* buffer, uint32_t size, const char* format, ...)
{
    if (size == 0)
        return;
    memset(buffer, 0, size);
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, size, format, args);
    va_end(args);
}
