#include "source/stream_watch.h"

#include <cstring>

#include "source/pin.h"

void watch_stream(stream_watch* w, const uint8_t* bytes, uint32_t n)
{
    uint64_t at = w->seen;
    w->seen += n;
    if (at < sizeof w->head) {
        uint32_t take = (uint32_t)(sizeof w->head - at) < n ? (uint32_t)(sizeof w->head - at) : n;
        memcpy(w->head + at, bytes, take);
        if (w->seen >= sizeof w->head) {
            package_header header;
            memcpy(&header, w->head, sizeof header);
            uint64_t scripts =
                sizeof header + (uint64_t)header.begin_script_size + header.end_script_size;
            w->scripts_need = (scripts + PIN_CHUNK_SIZE - 1) / PIN_CHUNK_SIZE * PIN_CHUNK_SIZE;
            w->blocks_end = scripts + (uint64_t)header.block_count * sizeof(block_header) +
                            header.total_size;
            w->blocks_end_known = true;
            w->package_end = w->blocks_end;
        }
    }
    if (!w->blocks_end_known)
        return;
    uint64_t probe_end = w->blocks_end + sizeof w->probe;
    if (w->seen > w->blocks_end && at < probe_end) {
        uint64_t from = at > w->blocks_end ? at : w->blocks_end;
        uint64_t to = w->seen < probe_end ? w->seen : probe_end;
        memcpy(w->probe + (from - w->blocks_end), bytes + (from - at), (size_t)(to - from));
        uint32_t stated = 0;
        memcpy(&stated, w->probe + TRAILER_MAGIC_SIZE, sizeof stated);
        if (to == probe_end && trailer_version(w->probe, sizeof w->probe) != 0 &&
            stated >= sizeof w->probe)
            w->package_end = w->blocks_end + stated;
    }
}

void bound_output(feed_bound* bound, const stream_watch* watch, uint64_t out_count)
{
    bound->fed_silent = 0;
    if (watch == nullptr)
        return;
    if (!bound->finishing && watch->blocks_end_known && out_count >= watch->blocks_end) {
        bound->finishing = true;
        bound->limit = bound->fed + FINISH_ALLOWANCE;
    }
    if (bound->finishing && !bound->trailer_allowed && watch->package_end > watch->blocks_end) {
        bound->trailer_allowed = true;    // its bytes may still be on their way in
        bound->limit += watch->package_end - watch->blocks_end;
    }
}

void bound_finish(feed_bound* bound)
{
    if (!bound->finishing)
        bound->limit = bound->fed + FINISH_ALLOWANCE;
    bound->finishing = true;
}

uint64_t feed_room(const feed_bound* bound)
{
    uint64_t room = bound->fed_silent < SILENT_INPUT_LIMIT ? SILENT_INPUT_LIMIT - bound->fed_silent
                                                           : 0;
    if (bound->finishing) {
        uint64_t left = bound->limit > bound->fed ? bound->limit - bound->fed : 0;
        room = left < room ? left : room;
    }
    return room;
}

void bound_fed(feed_bound* bound, uint64_t written)
{
    bound->fed += written;
    bound->fed_silent += written;
}
