#include "engine/policy.h"

#include <cstdio>
#include <cstring>

#include "common/scoped.h"
#include "engine/trailer.h"

namespace {

bool has_key(const trailer_attribute& attribute, const char* key)
{
    return attribute.key_length == strlen(key) &&
           memcmp(attribute.key, key, attribute.key_length) == 0;
}

bool given(const char* text)
{
    return text != nullptr && text[0] != '\0';
}

struct package_attributes {
    const uint8_t* block;
    uint32_t size;
    trailer_attribute version;        // key null when the package names none
    int compatible_count;
    trailer_attribute lacking;        // a `requires` value this board lacks; key null when none
};

void gather(const policy_ops* policy, package_attributes* found)
{
    memset(found, 0, sizeof *found);
    found->block = policy->attributes(&found->size);
    if (found->block == nullptr)
        found->size = 0;
    uint32_t offset = 0;
    trailer_attribute attribute;
    while (trailer_next_attribute(found->block, found->size, &offset, &attribute) == 1) {
        if (has_key(attribute, "version"))
            found->version = attribute;
        else if (has_key(attribute, "compatible"))
            ++found->compatible_count;
        else if (has_key(attribute, "requires") && found->lacking.key == nullptr &&
                 !(policy->has_slots && attribute.value_length == strlen("slots") &&
                   memcmp(attribute.value, "slots", attribute.value_length) == 0))
            found->lacking = attribute;
    }
}

// The package's compatible values joined by `separator`, printed.
void print_compatible(const package_attributes* found, const char* separator)
{
    uint32_t offset = 0;
    trailer_attribute attribute;
    const char* before = "";
    while (trailer_next_attribute(found->block, found->size, &offset, &attribute) == 1) {
        if (!has_key(attribute, "compatible"))
            continue;
        printf("%s%.*s", before, (int)attribute.value_length, attribute.value);
        before = separator;
    }
}

// The compatible value equal to the board's, or null.
const trailer_attribute* matching(const package_attributes* found, const char* board,
                                  trailer_attribute* match)
{
    uint32_t offset = 0;
    size_t length = strlen(board);
    while (trailer_next_attribute(found->block, found->size, &offset, match) == 1)
        if (has_key(*match, "compatible") && match->value_length == length &&
            memcmp(match->value, board, length) == 0)
            return match;
    return nullptr;
}

// The values of every `key` line joined by newlines, as a C string; empty when none.
byte_buffer joined_values(const package_attributes* found, const char* key)
{
    byte_buffer text = allocate_bytes(found->size + 1);
    if (!text)
        return text;
    uint32_t length = 0;
    uint32_t offset = 0;
    trailer_attribute attribute;
    while (trailer_next_attribute(found->block, found->size, &offset, &attribute) == 1) {
        if (!has_key(attribute, key))
            continue;
        if (length > 0)
            text.get()[length++] = '\n';
        memcpy(text.get() + length, attribute.value, attribute.value_length);
        length += attribute.value_length;
    }
    text.get()[length] = '\0';
    return text;
}

}  // namespace

int judge_policy(const policy_ops* policy, const char** report_text)
{
    if (policy == nullptr || policy->attributes == nullptr)
        return 0;
    package_attributes found;
    gather(policy, &found);
    // What the package needs of the board comes first: a board that lacks it
    // would write the package wrongly, whoever it was made for.
    if (found.lacking.key != nullptr) {
        printf("Package requires %.*s, which this board does not have!\n",
               (int)found.lacking.value_length, found.lacking.value);
        *report_text = "error id 22, package requires what this board lacks!";
        return -1;
    }
    trailer_attribute match{};
    const trailer_attribute* matched = nullptr;
    if (given(policy->compatible)) {
        matched = matching(&found, policy->compatible, &match);
        if (matched == nullptr) {
            if (found.compatible_count == 0) {
                puts("Package names no compatible board!");
            } else {
                printf("Package is made for ");
                print_compatible(&found, ", ");
                printf(", not for this board (%s)!\n", policy->compatible);
            }
            *report_text = "error id 19, package not for this board!";
            return -1;
        }
    }
    if (given(policy->installed_version)) {
        const char* installed = policy->installed_version;
        uint32_t installed_length = (uint32_t)strlen(installed);
        int order = found.version.key == nullptr
                        ? -1
                        : version_compare(found.version.value, found.version.value_length,
                                          installed, installed_length);
        if (order < 0 || (order == 0 && policy->refuse_same_version)) {
            if (found.version.key == nullptr)
                printf("Package version none is older than the installed %s!\n", installed);
            else if (order < 0)
                printf("Package version %.*s is older than the installed %s!\n",
                       (int)found.version.value_length, found.version.value, installed);
            else
                printf("Package version %.*s is the installed one; this board takes newer "
                       "versions only!\n",
                       (int)found.version.value_length, found.version.value);
            *report_text = "error id 20, package version too old!";
            return -1;
        }
    }
    if (found.block == nullptr && !given(policy->compatible) &&
        !given(policy->installed_version))
        return 0;                     // as before this board knew of attributes
    if (found.version.key == nullptr)
        printf("Package version none");
    else
        printf("Package version %.*s", (int)found.version.value_length, found.version.value);
    if (matched != nullptr)
        printf(", compatible with %.*s\n", (int)matched->value_length, matched->value);
    else
        puts(", compatibility not checked");
    return 0;
}

void publish_attributes(const policy_ops* policy)
{
    if (policy == nullptr || policy->attributes == nullptr ||
        policy->set_script_variable == nullptr)
        return;
    package_attributes found;
    gather(policy, &found);
    static const char* const names[][2] = {
        {"FWDEPLOY_VERSION", "version"},
        {"FWDEPLOY_COMPATIBLE", "compatible"},
        {"FWDEPLOY_DESCRIPTION", "description"},
    };
    for (const auto& name : names) {
        byte_buffer value = joined_values(&found, name[1]);
        policy->set_script_variable(name[0], value ? (const char*)value.get() : "");
    }
}
