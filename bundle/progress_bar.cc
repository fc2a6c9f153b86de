#include "bundle/progress_bar.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int WIDTH = 30;

std::string human(uint64_t bytes)
{
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = (double)bytes;
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace

void progress_start(progress_bar* bar, const std::string& label)
{
    bar->enabled = ::isatty(STDERR_FILENO) == 1;
    bar->label = label;
    bar->shown = -1;
}

void progress_update(uint64_t done, uint64_t total, void* context)
{
    progress_bar* bar = static_cast<progress_bar*>(context);
    if (!bar->enabled)
        return;
    // Per mille, so a bar over gigabytes moves visibly without a redraw per chunk.
    int mille = total == 0 ? 1000 : (int)(done >= total ? 1000 : done * 1000 / total);
    if (mille == bar->shown)
        return;
    bar->shown = mille;
    char cells[WIDTH + 1];
    int full = mille * WIDTH / 1000;
    for (int i = 0; i < WIDTH; ++i)
        cells[i] = i < full ? '#' : '.';
    cells[WIDTH] = '\0';
    fprintf(stderr, "\r%s [%s] %3d%% %s / %s\x1b[K", bar->label.c_str(), cells, mille / 10,
            human(done).c_str(), human(total).c_str());
    fflush(stderr);
}

void progress_finish(progress_bar* bar)
{
    if (bar->enabled && bar->shown >= 0)
        fputc('\n', stderr);
    bar->shown = -1;
}
