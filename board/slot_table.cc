#include "board/slot_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/io.h"
#include "common/scoped.h"

namespace {

constexpr size_t SLOT_TABLE_MAX = 8192;

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

bool name_valid(const char* name)
{
    if (name[0] == '\0')
        return false;
    for (const char* c = name; *c != '\0'; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
              *c == '_' || *c == '-'))
            return false;
    return true;
}

// Why one line of a slot table cannot be taken, or null when it can.
const char* judge_line(char* const words[], int count, const slot_table* table, char* why,
                       size_t why_size)
{
    if (count != 3)
        return "a group is a name and the devices of slot A and slot B";
    if (strlen(words[0]) >= SLOT_NAME_SIZE || !name_valid(words[0])) {
        snprintf(why, why_size, "group name %.64s is not up to %zu letters, digits, - and _",
                 words[0], SLOT_NAME_SIZE - 1);
        return why;
    }
    for (int i = 1; i < 3; ++i) {
        if (words[i][0] != '/' || strlen(words[i]) >= SLOT_DEVICE_SIZE) {
            snprintf(why, why_size, "device %.64s is not an absolute path of up to %zu characters",
                     words[i], SLOT_DEVICE_SIZE - 1);
            return why;
        }
    }
    if (strcmp(words[1], words[2]) == 0)
        return "slot A and slot B are the same device";
    if (table->count == SLOT_GROUPS_MAX) {
        snprintf(why, why_size, "more than %d groups", SLOT_GROUPS_MAX);
        return why;
    }
    for (int g = 0; g < table->count; ++g) {
        const slot_group& group = table->groups[g];
        if (strcmp(group.name, words[0]) == 0) {
            snprintf(why, why_size, "group %s is named twice", words[0]);
            return why;
        }
        for (int i = 1; i < 3; ++i)
            if (strcmp(group.device[0], words[i]) == 0 || strcmp(group.device[1], words[i]) == 0) {
                snprintf(why, why_size, "device %s is also in group %s", words[i], group.name);
                return why;
            }
    }
    return nullptr;
}

}  // namespace

int parse_slot_table(const char* text, size_t length, const char* path, slot_table* table)
{
    memset(table, 0, sizeof *table);
    char line[256];
    int number = 0;
    size_t at = 0;
    while (at < length) {
        ++number;
        const char* end = static_cast<const char*>(memchr(text + at, '\n', length - at));
        size_t line_length = (end != nullptr ? (size_t)(end - text) : length) - at;
        if (line_length >= sizeof line) {
            printf("Slot table %s line %d: longer than %zu characters\n", path, number,
                   sizeof line - 1);
            return -1;
        }
        memcpy(line, text + at, line_length);
        line[line_length] = '\0';
        at += line_length + 1;
        if (memchr(line, '\0', line_length) != nullptr) {
            printf("Slot table %s line %d: holds a zero byte\n", path, number);
            return -1;
        }
        char* comment = strchr(line, '#');
        if (comment != nullptr)
            *comment = '\0';
        char* words[4];
        int count = 0;
        for (char* p = line; *p != '\0';) {
            while (is_blank(*p))
                *p++ = '\0';
            if (*p == '\0')
                break;
            if (count == 4)
                break;
            words[count++] = p;
            while (*p != '\0' && !is_blank(*p))
                ++p;
        }
        if (count == 0)
            continue;
        char why[160];
        const char* refusal = judge_line(words, count, table, why, sizeof why);
        if (refusal != nullptr) {
            printf("Slot table %s line %d: %s\n", path, number, refusal);
            return -1;
        }
        slot_group& group = table->groups[table->count++];
        snprintf(group.name, sizeof group.name, "%s", words[0]);
        snprintf(group.device[0], sizeof group.device[0], "%s", words[1]);
        snprintf(group.device[1], sizeof group.device[1], "%s", words[2]);
    }
    return 0;
}

int read_slot_table(const char* path, slot_table* table)
{
    memset(table, 0, sizeof *table);
    byte_buffer text;
    long length = read_small_file(path, SLOT_TABLE_MAX, &text);
    if (length < 0) {
        int error = errno;
        if (error == ENOENT)
            return 0;
        if (error == EFBIG)
            printf("Slot table %s is larger than %zu bytes\n", path, SLOT_TABLE_MAX);
        else
            printf("Slot table %s cannot be read: %s\n", path, strerror(error));
        return -1;
    }
    return parse_slot_table(reinterpret_cast<const char*>(text.get()), (size_t)length, path,
                            table) < 0
               ? -1
               : 1;
}
