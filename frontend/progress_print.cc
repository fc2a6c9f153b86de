#include "frontend/progress_print.h"

#include <cstdio>

int print_progress(const progress_info* info, const char* /*message*/)
{
    printf("(%d%%)(%d/%d)(state sub %d)\n", info->percent, info->stage, info->total_stages,
           info->state);
    return 0;
}

uint32_t io_buffer_size()
{
    return 4096;
}
