#include "engine/verify.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "common/scoped.h"
#include "engine/package_format.h"
#include "engine/policy.h"
#include "engine/progress.h"
#include "engine/trailer.h"

namespace {

struct verify_state {
    const source_ops* src;
    const trust_ops* trust;           // null when no trailer is looked for
    const policy_ops* policy;         // null when the board has none
    const slot_ops* slots;            // null when the board has none
    uint32_t slot_targets;            // blocks that write a slot
    int handle;
    report_fn report;
    uint8_t* buffer;
    uint32_t buffer_size;
    uint64_t total_size;
    uint64_t read_bytes;              // block data read in this pass, all blocks
    progress_info info;
};

void digest(verify_state* s, const void* bytes, int length)
{
    if (s->trust != nullptr)
        s->trust->update(bytes, length);
}

// Reads for the header reader, feeding the digest on the way: its slot takes no
// context, so the state of the one pass in progress is kept here.
verify_state* digesting = nullptr;

int read_and_digest(int handle, void* buffer, int length)
{
    int n = digesting->src->read(handle, buffer, length);
    if (n > 0 && n <= length)
        digest(digesting, buffer, n);
    return n;
}

void fail(verify_state* s, const char* text)
{
    send_report(s->report, &s->info, 1, percent_of(s->read_bytes, s->total_size),
                STATE_CHECK_FAILED, 100, text);
}

// Streams one block's data through the checksum. -1 when the package ends early.
int sum_block(verify_state* s, const block_header* block, uint32_t* sum)
{
    uint64_t count = 0;
    while (count < block->data_size) {
        uint64_t left = block->data_size - count;
        uint32_t chunk = left < s->buffer_size ? (uint32_t)left : s->buffer_size;
        const uint8_t* bytes = s->buffer;
        int n = s->src->borrow != nullptr ? s->src->borrow(s->handle, &bytes, (int)chunk)
                                          : s->src->read(s->handle, s->buffer, (int)chunk);
        if (n <= 0 || (uint32_t)n > chunk)
            return -1;
        digest(s, bytes, n);
        count += (uint32_t)n;
        s->read_bytes += (uint32_t)n;
        *sum = byte_sum(*sum, bytes, n);
        report_if_moved(s->report, &s->info, 1, percent_of(s->read_bytes, s->total_size),
                        STATE_CHECKING, percent_of(count, block->data_size), block->target_path);
    }
    return 0;
}

// The failure report of a block whose target the board will not place.
int refuse_slot_target(verify_state* s, const block_header* block)
{
    char text[TARGET_PATH_SIZE + 64];
    format_message(text, sizeof text, TEXT_SLOT_REFUSED, block->target_path);
    fail(s, text);
    return -1;
}

// A slot target is resolved here, before anything runs, so that a package the
// board cannot place is refused whole instead of failing halfway through. 0, or
// -1 after the line saying why and the failure report.
int check_slot_target(verify_state* s, const block_header* block, uint32_t index)
{
    bool writes_device = block->operation == OP_RAW_PARTITION || block->operation == OP_UBI_VOLUME;
    // A script block's target only names it in messages.
    if (block->target_path[0] != '@' || block->operation == OP_SCRIPT) {
        if (writes_device && s->slots != nullptr && s->slots->guard_device != nullptr &&
            s->slots->guard_device(block->target_path) < 0)
            return refuse_slot_target(s, block);
        if (writes_device && s->slots != nullptr && s->slots->warn_mounted != nullptr)
            s->slots->warn_mounted(block->target_path);
        return 0;
    }
    char device[TARGET_PATH_SIZE];
    if (!writes_device) {
        printf("Block %d: slot target %s on a file block!\n",
               (int)index, block->target_path);
    } else if (s->slots == nullptr) {
        return 0;                     // not judged here: the packaging host has no board
    } else if (s->slots->resolve == nullptr) {
        printf("Slot target %s refused: this board has no slot table!\n", block->target_path);
    } else if (s->slots->resolve(block->target_path + 1, device, sizeof device) == 0) {
        // Held only from the apply pass's own resolve to the end of its write:
        // the begin script may still use the device.
        if (s->slots->release != nullptr)
            s->slots->release();
        ++s->slot_targets;
        return 0;
    }
    return refuse_slot_target(s, block);
}

// One block: header, data, checksum. 0 on a match, -1 after the failure report.
int verify_block(verify_state* s, uint32_t index)
{
    // A buffer of its own: a small I/O buffer would cut the failure texts.
    char text[64];
    block_header block{};
    if (s->src->read(s->handle, &block, (int)sizeof block) != (int)sizeof block) {
        printf("Block %d header read error!\n", (int)index);
        format_message(text, sizeof text, TEXT_BLOCK_READ_ERROR, (int)index);
        fail(s, text);
        return -1;
    }
    digest(s, &block, (int)sizeof block);
    if (check_block_header(&block) < 0) {
        printf("Block %d header error!\n", (int)index);
        format_message(text, sizeof text, TEXT_BLOCK_HEADER_ERROR, (int)index);
        fail(s, text);
        return -1;
    }
    uint32_t sum = 0;
    if (sum_block(s, &block, &sum) < 0) {
        printf("Block %d data read error!\n", (int)index);
        format_message(text, sizeof text, TEXT_BLOCK_READ_ERROR, (int)index);
        fail(s, text);
        return -1;
    }
    if (sum != block.checksum) {
        printf("Block %d checksum error! head 0x%x cal 0x%x\n", (int)index, block.checksum, sum);
        format_message(text, sizeof text, "error id 1, block %d checksum error!", (int)index);
        fail(s, text);
        return -1;
    }
    printf("blk %d head 0x%x cal 0x%x\n", (int)index, block.checksum, sum);
    if (check_slot_target(s, &block, index) < 0)
        return -1;
    send_report(s->report, &s->info, 1, percent_of(s->read_bytes, s->total_size),
                STATE_CHECKING, 100, "");
    return 0;
}

int read_error_after_blocks(verify_state* s)
{
    puts("Package read error after the last block!");
    fail(s, "error id 9, package read error!");
    return -1;
}

// The trailer, when the bytes after the last block begin with one: read whole
// (its size is bounded by the block count) and checked for layout, into
// *trailer and *length (length 0 when there is none). A plain source is read
// no further than the trailer and one byte beyond it, which must not exist.
// Returns 0, TRUST_MALFORMED, or -1 after the failure report of a read error.
int read_trailer(verify_state* s, uint32_t block_count, byte_buffer* trailer, uint32_t* length)
{
    uint8_t probe[TRAILER_PROBE_SIZE];
    int n = s->src->read(s->handle, probe, (int)sizeof probe);
    if (n < 0 || n > (int)sizeof probe)
        return read_error_after_blocks(s);
    *length = 0;
    if (trailer_version(probe, (uint32_t)n) == 0)
        return 0;                     // not a trailer: ignored, as always
    uint32_t size = 0;
    if (n == (int)sizeof probe)
        memcpy(&size, probe + offsetof(trailer_head, trailer_size), sizeof size);
    if (n < (int)sizeof probe || size < sizeof probe || size > trailer_size_limit(block_count))
        return TRUST_MALFORMED;
    *trailer = allocate_bytes(size);
    if (!*trailer) {
        fail(s, "error id 9, package read error!");
        return -1;
    }
    memcpy(trailer->get(), probe, sizeof probe);
    int rest = (int)(size - sizeof probe);
    n = s->src->read(s->handle, trailer->get() + sizeof probe, rest);
    if (n < 0 || n > rest)
        return read_error_after_blocks(s);
    if (n < rest)
        return TRUST_MALFORMED;       // cut short
    uint8_t beyond;
    n = s->src->read(s->handle, &beyond, 1);
    if (n < 0 || n > 1)
        return read_error_after_blocks(s);
    if (n == 1)
        return TRUST_MALFORMED;       // anything after the trailer
    trailer_view view;
    if (parse_trailer(trailer->get(), size, block_count, &view) < 0)
        return TRUST_MALFORMED;
    *length = size;
    return 0;
}

// Prints what the trust verdict means; -1 after the failure report when the
// package is refused.
int judge(verify_state* s, int verdict, const uint8_t* trailer)
{
    char key[2 * 8 + 1] = "";
    if (trailer != nullptr)
        for (int i = 0; i < 8; ++i)
            snprintf(key + 2 * i, 3, "%02x", trailer[offsetof(trailer_head, key_id) + i]);
    switch (verdict) {
    case TRUST_ACCEPTED:
        return 0;
    case TRUST_INTACT:
        puts("Package digest OK, signature not checked (no trusted keys)");
        return 0;
    case TRUST_SIGNED:
        printf("Package signed by key %s\n", key);
        return 0;
    case TRUST_NOT_SIGNED:
        puts("Package is not signed!");
        fail(s, "error id 13, package not signed!");
        return -1;
    case TRUST_UNKNOWN_KEY:
        printf("Package signed by an unknown key %s!\n", key);
        fail(s, "error id 14, unknown key!");
        return -1;
    case TRUST_DIGEST_MISMATCH:
        puts("Package digest mismatch!");
        fail(s, "error id 15, digest mismatch!");
        return -1;
    case TRUST_BAD_SIGNATURE:
        puts("Package signature is bad!");
        fail(s, "error id 16, bad signature!");
        return -1;
    case TRUST_NO_KEYS:
        puts("No trusted keys: signed packages only!");
        fail(s, "error id 18, no trusted keys!");
        return -1;
    default:
        puts("Package trailer is malformed!");
        fail(s, "error id 17, malformed trailer!");
        return -1;
    }
}

// What follows the last block: the trailer, the source's own last word on the
// stream, the trust verdict and the board's policy. 0, or -1 after the
// failure report.
int finish_package(verify_state* s, uint32_t block_count)
{
    byte_buffer trailer;
    uint32_t length = 0;
    int layout = 0;
    if (s->trust != nullptr) {
        layout = read_trailer(s, block_count, &trailer, &length);
        if (layout == -1)
            return -1;
    }
    if (s->src->finish != nullptr && s->src->finish(s->handle) < 0)
        return read_error_after_blocks(s);
    if (s->trust != nullptr) {
        int verdict = layout == TRUST_MALFORMED
                          ? TRUST_MALFORMED
                          : s->trust->check(length != 0 ? trailer.get() : nullptr, length,
                                            block_count);
        if (judge(s, verdict, length != 0 ? trailer.get() : nullptr) < 0)
            return -1;
    }
    const char* refusal = nullptr;
    if (judge_policy(s->policy, &refusal) < 0) {
        fail(s, refusal);
        return -1;
    }
    return 0;
}

}  // namespace

int verify_package(const source_ops* src, const char* package_path,
                   int (*report_progress)(const progress_info*, const char*),
                   uint32_t buffer_size, run_record* run)
{
    const trust_ops* trust = run != nullptr ? run->trust : nullptr;
    if (src == nullptr || src->open == nullptr || src->close == nullptr ||
        src->read == nullptr || report_progress == nullptr || buffer_size == 0 ||
        buffer_size > INT_MAX)
        return -1;
    verify_state s{};
    s.src = src;
    if (trust != nullptr && trust->begin != nullptr && trust->update != nullptr &&
        trust->check != nullptr)
        s.trust = trust;
    s.policy = run != nullptr ? run->policy : nullptr;
    s.slots = run != nullptr ? run->slots : nullptr;
    s.report = report_progress;
    s.buffer_size = buffer_size;
    s.handle = src->open(package_path);
    if (s.handle < 0)
        return -1;
    byte_buffer buffer = allocate_bytes(buffer_size);
    if (!buffer) {
        src->close(s.handle);
        return -1;
    }
    s.buffer = buffer.get();
    memset(s.buffer, 0, buffer_size);

    int result = 0;
    if (s.trust != nullptr)
        s.trust->begin();
    digesting = &s;
    package_header header{};
    int header_read = read_package_header(s.handle, &header, s.buffer, read_and_digest,
                                          buffer_size);
    digesting = nullptr;
    if (header_read < 0) {
        result = -1;
        s.total_size = header.total_size;
        fail(&s, "Error id 0");
    } else {
        s.total_size = header.total_size;
        send_report(report_progress, &s.info, 1, 0, STATE_BEGIN, 0, "");
        for (uint32_t i = 0; i < header.block_count; ++i) {
            if (verify_block(&s, i) < 0) {
                result = -1;
                break;
            }
        }
        if (result == 0)
            result = finish_package(&s, header.block_count);
        if (result == 0)
            send_report(report_progress, &s.info, 1, 100, STATE_CHECKING, 100, "");
    }
    buffer.reset();
    src->close(s.handle);
    if (run != nullptr)
        run->slot_targets = s.slot_targets;
    return result;
}
