#include "bundle/commands/examine.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "bundle/messages.h"
#include "bundle/operations.h"
#include "bundle/package_reader.h"
#include "bundle/trailers.h"
#include "engine/trailer.h"

namespace {

std::string target_of(const block_header& block)
{
    // The walker has checked that the path ends within its field.
    return std::string(block.target_path);
}

std::string operation_label(uint32_t operation)
{
    std::string name = operation_name(operation);
    return name.empty() ? "unknown " + std::to_string(operation) : name;
}

// What follows the blocks, as the board would take it.
void print_tail(const package_tail& tail, uint32_t block_count)
{
    if (!tail.problem.empty()) {
        printf("\ntrailer: malformed (%s)\n", tail.problem.c_str());
        return;
    }
    if (tail.version == 0) {
        if (tail.length == 0)
            printf("\ntrailer: none\n");
        else
            printf("\ntrailer: none (%" PRIu64 " bytes after the last block, which the board ignores)\n",
                   tail.length);
        return;
    }
    trailer_view view;
    parse_trailer(tail.trailer.data(), (uint32_t)tail.trailer.size(), block_count, &view);
    const trailer_head& head = view.head;
    printf("\ntrailer: version %d, ", view.version);
    if (view.sig_size == 0)
        printf("unsigned");
    else
        printf("signed (%u-byte signature)", view.sig_size);
    if (view.version >= 2)
        printf(", %u result digests", view.entry_count);
    printf("\ndigest: %s\nkey id: %s\n", hex_text(head.digest, sizeof head.digest).c_str(),
           view.sig_size == 0 ? "none" : hex_text(head.key_id, sizeof head.key_id).c_str());
    uint32_t offset = 0;
    trailer_attribute attribute;
    while (trailer_next_attribute(view.attributes, view.attr_size, &offset, &attribute) == 1)
        printf("attribute: %.*s=%.*s\n", (int)attribute.key_length, attribute.key,
               (int)attribute.value_length, attribute.value);
}


}  // namespace

int list_command(const std::string& package, const std::string& shown)
{
    const std::string& name = shown.empty() ? package : shown;
    package_reader reader;
    std::string error;
    if (reader_open(&reader, package, &error) < 0)
        return fail(error);
    uint32_t block_count = 0;
    walk_handler handler;
    handler.header = [&](const package_header& h) {
        block_count = h.block_count;
        printf("%s%s\n", name.c_str(), reader_compressed(reader) ? " (gzip)" : "");
        printf("format version %u.%u, %u blocks, %" PRIu64 " bytes of block data\n",
               h.version_major, h.version_minor, h.block_count, h.total_size);
        printf("begin script: %u bytes\nend script: %u bytes\nheader checksum: 0x%08x\n\n",
               h.begin_script_size, h.end_script_size, h.checksum);
        printf("%5s  %12s  %-13s  %12s  %-16s  %-10s  %s\n", "index", "offset", "operation",
               "data size", "erase/mode", "checksum", "target");
    };
    handler.block = [&](uint32_t index, uint64_t offset, const block_header& b) {
        char detail[40] = "";
        if (b.operation == OP_RAW_PARTITION)
            snprintf(detail, sizeof detail, "erase %" PRIu64, b.erase_size);
        else if (b.operation == OP_FILE_CREATE)
            snprintf(detail, sizeof detail, "mode %04o", b.file_mode);
        printf("%5u  %12" PRIu64 "  %-13s  %12" PRIu64 "  %-16s  0x%08x  %s\n", index, offset,
               operation_label(b.operation).c_str(), b.data_size, detail, b.checksum,
               target_of(b).c_str());
    };
    // Listing shows the stored checksums; judging them is verify's job.
    handler.mismatch = [](const std::string&) { return true; };
    package_tail tail;
    if (walk_package(&reader, handler, &error) < 0 ||
        read_tail(&reader, block_count, &tail, &error) < 0)
        return fail(error);
    print_tail(tail, block_count);
    return 0;
}
