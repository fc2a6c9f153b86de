#include "engine/trailer.h"

#include <cstring>

namespace {

// Board memory bounds what a trailer may hold, whatever the header claims.
constexpr uint64_t TRAILER_HARD_LIMIT = 4u << 20;

uint32_t get_u32(const uint8_t* at)
{
    uint32_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace

int trailer_version(const uint8_t* bytes, uint32_t length)
{
    if (length < TRAILER_MAGIC_SIZE)
        return 0;
    if (memcmp(bytes, TRAILER_MAGIC_V1, TRAILER_MAGIC_SIZE) == 0)
        return 1;
    if (memcmp(bytes, TRAILER_MAGIC_V2, TRAILER_MAGIC_SIZE) == 0)
        return 2;
    return 0;
}

uint64_t trailer_size_limit(uint32_t block_count)
{
    uint64_t v2 = TRAILER_V2_FIXED_SIZE + (uint64_t)block_count * sizeof(trailer_entry) +
                  TRAILER_MAX_SIGNATURE;
    return v2 < TRAILER_HARD_LIMIT ? v2 : TRAILER_HARD_LIMIT;
}

int parse_trailer(const uint8_t* bytes, uint32_t length, uint32_t block_count,
                  trailer_view* view)
{
    memset(view, 0, sizeof *view);
    int version = trailer_version(bytes, length);
    uint32_t fixed = version == 2 ? TRAILER_V2_FIXED_SIZE : TRAILER_V1_FIXED_SIZE;
    if (version == 0 || length < fixed)
        return -1;
    uint32_t trailer_size = get_u32(bytes + offsetof(trailer_head, trailer_size));
    uint32_t sig_size = get_u32(bytes + offsetof(trailer_head, sig_size));
    if (trailer_size != length || sig_size > TRAILER_MAX_SIGNATURE)
        return -1;
    uint64_t entries_size = 0;
    uint32_t entry_count = 0;
    if (version == 2) {
        entry_count = get_u32(bytes + sizeof(trailer_head));
        entries_size = (uint64_t)entry_count * sizeof(trailer_entry);
    }
    // 64-bit sum: a huge entry count must not wrap into a plausible size.
    if ((uint64_t)fixed + entries_size + sig_size != length)
        return -1;
    const uint8_t* entries = bytes + fixed;
    for (uint32_t i = 0; i < entry_count; ++i) {
        uint32_t index = get_u32(entries + (uint64_t)i * sizeof(trailer_entry));
        if (index >= block_count)
            return -1;
        if (i > 0 && index <= get_u32(entries + (uint64_t)(i - 1) * sizeof(trailer_entry)))
            return -1;
    }
    view->version = version;
    memcpy(&view->head, bytes, sizeof view->head);
    view->entries = version == 2 ? entries : nullptr;
    view->entry_count = entry_count;
    view->signature = bytes + length - sig_size;
    view->sig_size = sig_size;
    view->signed_length = version == 2 ? (uint32_t)(fixed + entries_size) : 0;
    return 0;
}

void trailer_unsigned_head(const trailer_view* view, trailer_head* head)
{
    *head = view->head;
    head->trailer_size = view->signed_length != 0 ? view->signed_length
                                                  : TRAILER_V1_FIXED_SIZE;
    memset(head->key_id, 0, sizeof head->key_id);
    head->sig_size = 0;
}

const uint8_t* trailer_result_digest(const trailer_view* view, uint32_t block_index)
{
    // Entries are in ascending order: a binary search keeps large deltas cheap.
    uint32_t low = 0;
    uint32_t high = view->entry_count;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        const uint8_t* entry = view->entries + (uint64_t)middle * sizeof(trailer_entry);
        uint32_t index = get_u32(entry);
        if (index == block_index)
            return entry + offsetof(trailer_entry, result_digest);
        if (index < block_index)
            low = middle + 1;
        else
            high = middle;
    }
    return nullptr;
}
