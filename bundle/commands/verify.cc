// fwbundle verify: the board's own verification pass, fed by a host source that
// inflates with zlib, judged by the board's own trust module. What the host
// accepts is therefore what the board accepts, by construction.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "backends/trust.h"
#include "bundle/commands/examine.h"
#include "bundle/messages.h"
#include "bundle/operations.h"
#include "bundle/package_reader.h"
#include "bundle/progress_bar.h"
#include "bundle/trailers.h"
#include "engine/fwdeploy.h"
#include "engine/trailer.h"
#include "engine/verify.h"
#include "board/slot_table.h"

namespace {

// The one package being verified. The source slots are plain function pointers,
// so their state lives here, as the board's source keeps its gunzip child.
struct verify_host {
    package_reader reader;
    std::string error;                // why the source failed, when it did
    uint64_t offset = 0;              // of the next byte the pass reads
    bool ended = false;               // a read found the end of the package
    package_header header{};
    uint64_t next_block = 0;          // offset of the next block header, once known
    std::vector<block_header> blocks; // as they streamed past
    int verdict = TRUST_ACCEPTED;
    uint8_t key_id[SHA256_SIZE] = {};
    bool signed_trailer = false;
    progress_bar bar;
};

verify_host* host = nullptr;
constexpr int HANDLE = 3;

int source_open(const char* path)
{
    return reader_open(&host->reader, path, &host->error) < 0 ? -1 : HANDLE;
}

int source_close(int)
{
    return 0;
}

// Watches the header and each block header go by: the pass reads a block header
// with one read of its 288 bytes, exactly where the previous block ended.
void watch(const uint8_t* bytes, int length)
{
    if (host->offset == 0 && length >= (int)sizeof host->header) {
        memcpy(&host->header, bytes, sizeof host->header);
        host->next_block = sizeof host->header + (uint64_t)host->header.begin_script_size +
                           host->header.end_script_size;
    } else if (host->offset == host->next_block && length == (int)sizeof(block_header) &&
               host->blocks.size() < host->header.block_count) {
        block_header block;
        memcpy(&block, bytes, sizeof block);
        host->blocks.push_back(block);
        host->next_block += sizeof block + block.data_size;
    }
}

int source_read(int, void* buffer, int length)
{
    int64_t n = reader_read(&host->reader, buffer, (size_t)length, &host->error);
    if (n < 0)
        return -1;
    watch(static_cast<const uint8_t*>(buffer), (int)n);
    host->offset += (uint64_t)n;
    host->ended = host->ended || n < length;
    return (int)n;
}

int source_finish(int)
{
    return reader_finish(&host->reader, &host->error);
}

int show_progress(const progress_info* info, const char* /*message*/)
{
    if (info->percent >= 0 && info->percent <= 100)
        progress_update((uint64_t)info->percent, 100, &host->bar);
    return 0;
}

int check_trailer(const uint8_t* trailer, uint32_t length, uint32_t block_count)
{
    host->verdict = trust_check(trailer, length, block_count);
    trailer_view view;
    if (trailer != nullptr && parse_trailer(trailer, length, block_count, &view) == 0) {
        memcpy(host->key_id, view.head.key_id, sizeof host->key_id);
        host->signed_trailer = view.sig_size != 0;
    }
    return host->verdict;
}

std::string hex_key(const uint8_t* id)
{
    char text[2 * 8 + 1];
    for (int i = 0; i < 8; ++i)
        snprintf(text + 2 * i, 3, "%02x", id[i]);
    return text;
}

// What the board's apply pass would refuse although verification passes.
std::string apply_problem(const block_header& block)
{
    if (operation_name(block.operation).empty())
        return "operation code " + std::to_string(block.operation) + " is unknown to the board";
    if ((block.operation == OP_UBI_VOLUME || block.operation == OP_SCRIPT) &&
        block.data_size > UINT32_MAX)
        return "UBI volumes and scripts must be smaller than 4 GiB";
    if (block.operation == OP_SCRIPT && block.data_size > INT32_MAX)
        return "scripts must be smaller than 2 GiB";
    return "";
}


int load_keys(const std::string& keys)
{
    std::vector<char> text;
    std::string error;
    if (read_small_file(keys, 1 << 20, &text, &error) < 0)
        return fail(error);
    char why[256];
    if (trust_add_keys(reinterpret_cast<const uint8_t*>(text.data()), text.size(), why,
                       sizeof why) < 0)
        return fail(keys + ": unusable key file: " + why);
    return 0;
}

// The board's slot table, when one was given: a slot target must name one of its groups.
const slot_table* board_slots = nullptr;
std::string board_slots_path;

int resolve_on_board(const char* name, char* device, uint32_t size)
{
    for (int g = 0; g < board_slots->count; ++g)
        if (strcmp(board_slots->groups[g].name, name) == 0) {
            snprintf(device, size, "%s", board_slots->groups[g].device[0]);
            return 0;
        }
    printf("Slot target @%s refused: no such group in %s!\n", name, board_slots_path.c_str());
    return -1;
}

}  // namespace

int verify_command(const std::string& package, const std::string& keys, bool gzip,
                   const std::string& compatible, const std::string& installed_version,
                   bool refuse_same_version, const std::string& slots_file,
                   const std::string& shown)
{
    const std::string& name = shown.empty() ? package : shown;
    trust_reset(false);
    if (!installed_version.empty() &&
        !version_valid(installed_version.data(), (uint32_t)installed_version.size()))
        return fail("--installed-version: \"" + installed_version +
                    "\" is not a version (decimal numbers joined by dots, as 1.10.3)");
    if (!keys.empty() && load_keys(keys) != 0)
        return 1;
    slot_table table{};
    if (!slots_file.empty()) {
        int read = 0;
        std::string said =
            capture_stdout([&] { read = read_slot_table(slots_file.c_str(), &table); });
        if (read < 0)
            return fail(said.empty() ? slots_file + ": cannot be read"
                                     : said.substr(0, said.size() - 1));
        if (read == 0)
            return fail(slots_file + ": " + strerror(ENOENT));
    }
    board_slots = &table;
    board_slots_path = slots_file;
    // Without a table slot targets are not judged: the host does not know the board.
    slot_ops slots{};
    slots.resolve = resolve_on_board;
    verify_host state;
    state.reader.gzip_only = gzip;
    host = &state;
    source_ops src{source_open, source_close, source_read, source_finish, nullptr, nullptr};
    trust_ops trust{trust_begin, trust_update, check_trailer, nullptr};
    // The board's policy, as a board with this compatibility string and this
    // installed version applies it, built with FWDEPLOY_REFUSE_SAME_VERSION or
    // without. Slots are judged only against a table given.
    policy_ops policy{trust_attributes, compatible.c_str(), installed_version.c_str(),
                      refuse_same_version ? 1 : 0, nullptr, 1};
    progress_start(&state.bar, "verifying");
    int result = 0;
    std::string printed = capture_stdout([&] {
        run_record run{};
        run.trust = &trust;
        run.policy = &policy;
        run.slots = slots_file.empty() ? nullptr : &slots;
        result = verify_package(&src, package.c_str(), show_progress, 4096, &run);
    });
    progress_finish(&state.bar);
    host = nullptr;
    if (result < 0) {
        // The board's own words, without the lines of blocks that matched.
        std::string why = state.error;
        size_t at = 0;
        while (at < printed.size()) {
            size_t end = printed.find('\n', at);
            std::string line = printed.substr(at, end == std::string::npos ? end : end - at);
            at = end == std::string::npos ? printed.size() : end + 1;
            if (line.empty() || line.rfind("blk ", 0) == 0 || line.rfind("Package signed", 0) == 0 ||
                line.rfind("Package digest OK", 0) == 0)
                continue;
            why += (why.empty() ? "" : "; ") + line;
        }
        if (state.ended && state.offset < state.next_block)
            why += " (the package ends after " + std::to_string(state.offset) + " bytes)";
        return fail(name + ": refused: " + (why.empty() ? "cannot be read" : why));
    }
    for (size_t i = 0; i < state.blocks.size(); ++i) {
        std::string problem = apply_problem(state.blocks[i]);
        if (!problem.empty())
            warn(block_name((uint32_t)i, state.blocks[i]) + ": " + problem +
                 ": the board verifies it but would refuse to apply it");
    }
    std::string trailer;
    switch (state.verdict) {
    case TRUST_SIGNED: trailer = "signed by key " + hex_key(state.key_id); break;
    case TRUST_INTACT:
        trailer = state.signed_trailer ? "digest OK, signed by key " + hex_key(state.key_id) +
                                             " (not checked: no --keys given)"
                                       : "digest OK, not signed";
        break;
    default: trailer = "no trailer"; break;
    }
    printf("%s: OK, %u blocks, %" PRIu64 " bytes of block data, %s\n", name.c_str(),
           state.header.block_count, state.header.total_size, trailer.c_str());
    // The board's line on the version and the board it matched.
    size_t line = printed.find("Package version ");
    if (line != std::string::npos)
        printf("%s: %s\n", name.c_str(),
               printed.substr(line, printed.find('\n', line) - line).c_str());
    return 0;
}
