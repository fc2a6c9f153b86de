#include "bundle/operations.h"

#include "engine/package_format.h"

namespace {

// Indexed by operation code.
const char* const NAMES[] = {
    "raw_partition", "ubi_volume", "file_replace", "file_create",
    "file_delete",   "file_patch", "script",
};
constexpr uint32_t NAME_COUNT = sizeof NAMES / sizeof NAMES[0];
static_assert(NAME_COUNT == OP_SCRIPT + 1, "one name per operation code");

}  // namespace

std::string operation_name(uint32_t operation)
{
    return operation < NAME_COUNT ? NAMES[operation] : "";
}

int64_t operation_code(const std::string& name)
{
    for (uint32_t i = 0; i < NAME_COUNT; ++i)
        if (name == NAMES[i])
            return i;
    return -1;
}

std::string operation_names()
{
    std::string all;
    for (uint32_t i = 0; i < NAME_COUNT; ++i)
        all += (i == 0 ? "" : ", ") + std::string(NAMES[i]);
    return all;
}
