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

bool key_character(uint8_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Length of the UTF-8 character at `at` (at most `left` bytes), or 0 when it is
// not one: overlong forms, surrogates and code points past U+10FFFF included.
// Control characters other than tab are refused too: values are text that the
// console and the scripts' environment show, and a NUL would cut them short.
// So are the characters that break a line on some terminals (U+0085, U+2028,
// U+2029) or make a value read otherwise than it is (bidirectional controls).
uint32_t text_character(const uint8_t* at, uint32_t left)
{
    uint8_t c = at[0];
    if (c < 0x80)
        return (c >= 0x20 && c != 0x7f) || c == '\t' ? 1 : 0;
    uint32_t length;
    uint32_t code;
    uint32_t least;
    if ((c & 0xe0) == 0xc0) {
        length = 2, code = c & 0x1f, least = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
        length = 3, code = c & 0x0f, least = 0x800;
    } else if ((c & 0xf8) == 0xf0) {
        length = 4, code = c & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (length > left)
        return 0;
    for (uint32_t i = 1; i < length; ++i) {
        if ((at[i] & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (at[i] & 0x3f);
    }
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) ||
        attribute_character_refused(code))
        return 0;
    return length;
}

// The line at *offset split into key and value, *offset moved past its newline.
// 0, or -1 when the line breaks the rules.
int split_attribute(const uint8_t* block, uint32_t size, uint32_t* offset,
                    trailer_attribute* attribute)
{
    uint32_t at = *offset;
    uint32_t key_start = at;
    while (at < size && key_character(block[at]))
        ++at;
    if (at == key_start || at == size || block[at] != '=')
        return -1;
    uint32_t key_end = at++;
    uint32_t value_start = at;
    while (at < size && block[at] != '\n') {
        uint32_t n = text_character(block + at, size - at);
        if (n == 0)
            return -1;
        at += n;
    }
    if (at == size)
        return -1;                    // every line ends with a newline
    attribute->key = (const char*)block + key_start;
    attribute->key_length = key_end - key_start;
    attribute->value = (const char*)block + value_start;
    attribute->value_length = at - value_start;
    *offset = at + 1;
    return 0;
}

bool is_key(const trailer_attribute& attribute, const char* key)
{
    return attribute.key_length == strlen(key) &&
           memcmp(attribute.key, key, attribute.key_length) == 0;
}

// Checks every line of an attribute block. A second `version` or `description`
// would leave it open which one the board went by, so it is malformed too.
int check_attributes(const uint8_t* block, uint32_t size)
{
    uint32_t offset = 0;
    int versions = 0;
    int descriptions = 0;
    while (offset < size) {
        trailer_attribute attribute;
        if (split_attribute(block, size, &offset, &attribute) < 0)
            return -1;
        if (is_key(attribute, "version")) {
            if (++versions > 1 || !version_valid(attribute.value, attribute.value_length))
                return -1;
        } else if (is_key(attribute, "description") && ++descriptions > 1) {
            return -1;
        }
    }
    return 0;
}

// The next dotted field of a valid version, leading zeros skipped; an ended
// version yields empty fields, which count as 0.
void next_field(const char** at, const char* end, const char** field, uint32_t* length)
{
    const char* p = *at;
    while (p < end && *p == '0' && p + 1 < end && p[1] != '.')
        ++p;
    *field = p;
    while (p < end && *p != '.')
        ++p;
    *length = (uint32_t)(p - *field);
    if (*length == 1 && **field == '0')
        *length = 0;
    *at = p < end ? p + 1 : p;
}

}  // namespace

bool attribute_character_refused(uint32_t code)
{
    return (code >= 0x80 && code <= 0x9f) || (code >= 0x2028 && code <= 0x202e) ||
           (code >= 0x2066 && code <= 0x2069);
}

int trailer_version(const uint8_t* bytes, uint32_t length)
{
    if (length < TRAILER_MAGIC_SIZE)
        return 0;
    if (memcmp(bytes, TRAILER_MAGIC_V1, TRAILER_MAGIC_SIZE) == 0)
        return 1;
    if (memcmp(bytes, TRAILER_MAGIC_V2, TRAILER_MAGIC_SIZE) == 0)
        return 2;
    if (memcmp(bytes, TRAILER_MAGIC_V3, TRAILER_MAGIC_SIZE) == 0)
        return 3;
    return 0;
}

uint64_t trailer_size_limit(uint32_t block_count)
{
    uint64_t v3 = TRAILER_V3_FIXED_SIZE + (uint64_t)block_count * sizeof(trailer_entry) +
                  TRAILER_MAX_ATTRIBUTES + TRAILER_MAX_SIGNATURE;
    return v3 < TRAILER_HARD_LIMIT ? v3 : TRAILER_HARD_LIMIT;
}

int parse_trailer(const uint8_t* bytes, uint32_t length, uint32_t block_count,
                  trailer_view* view)
{
    memset(view, 0, sizeof *view);
    int version = trailer_version(bytes, length);
    uint32_t fixed = version == 3   ? TRAILER_V3_FIXED_SIZE
                     : version == 2 ? TRAILER_V2_FIXED_SIZE
                                    : TRAILER_V1_FIXED_SIZE;
    if (version == 0 || length < fixed)
        return -1;
    uint32_t trailer_size = get_u32(bytes + offsetof(trailer_head, trailer_size));
    uint32_t sig_size = get_u32(bytes + offsetof(trailer_head, sig_size));
    if (trailer_size != length || sig_size > TRAILER_MAX_SIGNATURE)
        return -1;
    uint64_t entries_size = 0;
    uint32_t entry_count = 0;
    if (version >= 2) {
        entry_count = get_u32(bytes + sizeof(trailer_head));
        entries_size = (uint64_t)entry_count * sizeof(trailer_entry);
    }
    // 64-bit sums: a huge entry count must not wrap into a plausible size.
    if ((uint64_t)fixed + entries_size + sig_size > length)
        return -1;
    const uint8_t* entries = bytes + sizeof(trailer_head) + 4;
    uint32_t attr_size = 0;
    if (version == 3) {
        attr_size = get_u32(entries + entries_size);
        if (attr_size > TRAILER_MAX_ATTRIBUTES)
            return -1;
    }
    if ((uint64_t)fixed + entries_size + attr_size + sig_size != length)
        return -1;
    const uint8_t* attributes = version == 3 ? entries + entries_size + 4 : nullptr;
    if (version == 3 && check_attributes(attributes, attr_size) < 0)
        return -1;
    for (uint32_t i = 0; i < entry_count; ++i) {
        uint32_t index = get_u32(entries + (uint64_t)i * sizeof(trailer_entry));
        if (index >= block_count)
            return -1;
        if (i > 0 && index <= get_u32(entries + (uint64_t)(i - 1) * sizeof(trailer_entry)))
            return -1;
    }
    view->version = version;
    memcpy(&view->head, bytes, sizeof view->head);
    view->entries = version >= 2 ? entries : nullptr;
    view->entry_count = entry_count;
    view->signature = bytes + length - sig_size;
    view->sig_size = sig_size;
    view->attributes = attributes;
    view->attr_size = attr_size;
    view->signed_length = version >= 2 ? (uint32_t)(fixed + entries_size + attr_size) : 0;
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

int trailer_next_attribute(const uint8_t* block, uint32_t size, uint32_t* offset,
                           trailer_attribute* attribute)
{
    if (block == nullptr || *offset >= size)
        return 0;
    return split_attribute(block, size, offset, attribute) == 0 ? 1 : 0;
}

bool version_valid(const char* text, uint32_t length)
{
    bool digit_before = false;
    for (uint32_t i = 0; i < length; ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            digit_before = true;
        } else if (text[i] == '.' && digit_before) {
            digit_before = false;
        } else {
            return false;
        }
    }
    return digit_before;
}

int version_compare(const char* a, uint32_t a_length, const char* b, uint32_t b_length)
{
    // Fields are compared as digit strings: no number is too large to compare.
    const char* a_at = a;
    const char* b_at = b;
    while (a_at < a + a_length || b_at < b + b_length) {
        const char* a_field;
        const char* b_field;
        uint32_t a_field_length;
        uint32_t b_field_length;
        next_field(&a_at, a + a_length, &a_field, &a_field_length);
        next_field(&b_at, b + b_length, &b_field, &b_field_length);
        if (a_field_length != b_field_length)
            return a_field_length < b_field_length ? -1 : 1;
        int order = memcmp(a_field, b_field, a_field_length);
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
}
