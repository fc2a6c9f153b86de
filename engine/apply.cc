#include "engine/apply.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "common/scoped.h"
#include "engine/copy.h"
#include "engine/package_format.h"
#include "engine/prepare.h"
#include "engine/progress.h"
#include "engine/script_block.h"

namespace {

// Everything one pass needs, so that the per-operation steps take one argument.
struct apply_pass {
    const source_ops* src;
    const partition_ops* part;
    const ubi_volume_ops* ubi;
    const file_ops* file;
    int (*apply_patch)(const char*, const char*, const char*);
    const char* temp_dir;
    int (*run_script)(const char*, int);
    const uint8_t* (*result_digest)(uint32_t block_index);
    int (*apply_checked_patch)(const char*, const char*, const char*, const uint8_t*);
    const slot_ops* slots;            // null: slot targets are refused
    uint32_t slot_writes;             // slot targets applied in this pass
    bool slot_unbootable;             // the slot written was made unbootable
    const char* (*script_failure)();  // set when the pass writes a slot
    uint32_t index;                   // of the block being applied
    uint32_t buffer_size;
    report_fn report;
    int handle;                       // the package stream
    uint64_t total_size;
    uint64_t done_bytes;
    progress_info info;
    // The pass's own failure is reported after the source is closed, so it is kept here.
    bool failed;
    char failure[512];
    const char* notice;               // a line printed instead of a report
};

// Records a failure of the pass itself; apply_package closes the source, then reports.
int fail(apply_pass* p, const char* text)
{
    p->failed = true;
    format_message(p->failure, sizeof p->failure, "%s", text);
    return -1;
}

int fail_write(apply_pass* p, const char* name)
{
    char message[512];
    format_message(message, sizeof message, TEXT_WRITE_ERROR, name);
    return fail(p, message);
}

// Copies the block's data into an open target and closes it. A close that fails
// means the data may not have reached storage, so the block is not applied. After
// a failed copy the target is dropped rather than closed: closing could make the
// part that was written take the place of the old contents.
int copy_and_close(apply_pass* p, int target, int (*write)(int, const void*, int),
                   int (*close)(int), int (*drop)(int), const char* name, uint64_t data_size)
{
    if (copy_block_data(p->handle, p->src->read, target, write, name, data_size, p->buffer_size,
                        p->report, p->total_size, &p->done_bytes, p->src->borrow) == -1) {
        drop(target);
        return -1;
    }
    if (close(target) == -1)
        return fail_write(p, name);
    return 0;
}

int apply_raw_partition(apply_pass* p, const block_header* block)
{
    if (prepare_partition(p->part, block->target_path, block, p->buffer_size, p->report,
                          p->total_size, &p->done_bytes) == -1)
        return -1;
    int target = p->part->open(block->target_path);
    if (target < 0)
        return fail(p, "error id 7");
    return copy_and_close(p, target, p->part->write, p->part->close, p->part->close,
                          block->target_path, block->data_size);
}

int apply_ubi_volume(apply_pass* p, const block_header* block)
{
    int target = p->ubi->open(block->target_path, (uint32_t)block->data_size);
    if (target < 0)
        return fail(p, "error id 7");
    return copy_and_close(p, target, p->ubi->write, p->ubi->close, p->ubi->close,
                          block->target_path, block->data_size);
}

int apply_file(apply_pass* p, const block_header* block)
{
    int target = block->operation == OP_FILE_CREATE
                     ? p->file->create(block->target_path, block->file_mode)
                     : p->file->open(block->target_path);
    if (target < 0)
        return fail(p, "error id 7");
    int (*drop)(int) = p->file->discard != nullptr ? p->file->discard : p->file->close;
    return copy_and_close(p, target, p->file->write, p->file->close, drop, block->target_path,
                          block->data_size);
}

int apply_delete(apply_pass* p, const block_header* block)
{
    if (p->file->remove(block->target_path) == -1)
        return fail(p, "error id 2");
    printf("Delete file: %s\n", block->target_path);
    return 0;
}

int apply_diff(apply_pass* p, const block_header* block)
{
    if (p->apply_patch == nullptr) {
        p->notice = "Diff patch not implement!";
        return -1;
    }
    char temp_path[128];
    diff_temp_path(p->temp_dir, temp_path);
    int (*create)(const char*, uint32_t) =
        p->file->create_scratch != nullptr ? p->file->create_scratch : p->file->create;
    int temp = create(temp_path, 0777);
    if (temp < 0)
        return fail(p, "error id 7");
    // The patch data is scratch: what a failed copy wrote is left behind as it is.
    if (copy_and_close(p, temp, p->file->write, p->file->close, p->file->close, temp_path,
                       block->data_size) == -1)
        return -1;
    // A result the package names must be checked before it replaces the old
    // file: a board whose file is not the patch's base would get a wrong one.
    const uint8_t* expected = p->result_digest != nullptr ? p->result_digest(p->index) : nullptr;
    int patched;
    if (expected == nullptr)
        patched = p->apply_patch(block->target_path, block->target_path, temp_path);
    else if (p->apply_checked_patch == nullptr)
        patched = -1;
    else
        patched = p->apply_checked_patch(block->target_path, block->target_path, temp_path,
                                         expected);
    if (patched == -1)
        return fail(p, "error id 3");
    if (p->file->remove(temp_path) == -1)
        return fail(p, "error id 4");
    return 0;
}

int apply_script(apply_pass* p, const block_header* block)
{
    return run_block_script(p->handle, p->src->read, block->target_path,
                            (uint32_t)block->data_size, p->run_script, p->report, p->total_size,
                            &p->done_bytes, p->script_failure);
}

// Lets go of the device a resolve held, on every path out of a slot block.
struct slot_release {
    const slot_ops* slots;
    ~slot_release()
    {
        if (slots != nullptr && slots->release != nullptr)
            slots->release();
    }
};

// A block whose target is a slot group goes to the group's device in the slot
// that does not run. Resolved again rather than remembered from the
// verification pass: a device mounted since then must still be refused, and
// the device stays held until its block is written. Before the first byte of
// the slot is written it stops being bootable: an update that the board has
// not rebooted into yet may have put it first, and a slot cut off halfway
// through must never boot.
int apply_slot_block(apply_pass* p, const block_header* block)
{
    block_header placed = *block;
    char message[TARGET_PATH_SIZE + 64];
    if (p->slots == nullptr || p->slots->resolve == nullptr ||
        p->slots->resolve(block->target_path + 1, placed.target_path,
                          (uint32_t)sizeof placed.target_path) < 0) {
        format_message(message, sizeof message, TEXT_SLOT_REFUSED, block->target_path);
        return fail(p, message);
    }
    slot_release held{p->slots};
    if (!p->slot_unbootable) {
        if (p->slots->make_unbootable == nullptr || p->slots->make_unbootable() < 0) {
            format_message(message, sizeof message, TEXT_SLOT_NOT_UNBOOTABLE,
                           block->target_path);
            return fail(p, message);
        }
        p->slot_unbootable = true;
    }
    int result = block->operation == OP_RAW_PARTITION ? apply_raw_partition(p, &placed)
                                                      : apply_ubi_volume(p, &placed);
    if (result == 0)
        ++p->slot_writes;
    return result;
}

int apply_block(apply_pass* p, const block_header* block)
{
    uint32_t op = block->operation;
    // The count these take is 32 bits; announcing the low half of a larger size
    // would leave the rest of the data in the stream as if it were the next block.
    if ((op == OP_UBI_VOLUME || op == OP_SCRIPT) && block->data_size > UINT32_MAX) {
        char message[512];
        format_message(message, sizeof message, "error id 12, size of %s too large.",
                       block->target_path);
        return fail(p, message);
    }
    if (block->target_path[0] == '@' && (op == OP_RAW_PARTITION || op == OP_UBI_VOLUME))
        return apply_slot_block(p, block);
    switch (op) {
    case OP_RAW_PARTITION: return apply_raw_partition(p, block);
    case OP_UBI_VOLUME:    return apply_ubi_volume(p, block);
    case OP_FILE_REPLACE:
    case OP_FILE_CREATE:   return apply_file(p, block);
    case OP_FILE_DELETE:   return apply_delete(p, block);
    case OP_FILE_PATCH:    return apply_diff(p, block);
    case OP_SCRIPT:        return apply_script(p, block);
    default:
        printf("Not support current file opt %d\n", (int)op);
        return fail(p, "error id 5");
    }
}

bool usable(const source_ops* src, const char* package_path, const partition_ops* part,
            const ubi_volume_ops* ubi, const file_ops* file, int (*run_script)(const char*, int),
            uint32_t buffer_size)
{
    return src != nullptr && package_path != nullptr && part != nullptr && ubi != nullptr &&
           file != nullptr && src->open != nullptr && src->close != nullptr &&
           src->read != nullptr && part->open != nullptr && part->close != nullptr &&
           part->write != nullptr && part->erase != nullptr && part->get_size != nullptr &&
           ubi->open != nullptr && ubi->close != nullptr && ubi->write != nullptr &&
           file->open != nullptr && file->create != nullptr && file->remove != nullptr &&
           file->close != nullptr && file->write != nullptr && run_script != nullptr &&
           buffer_size != 0 && buffer_size <= INT_MAX;
}

// Reads the header and both scripts; 0 with the stream at the first block header.
int read_header(apply_pass* p, package_header* header)
{
    byte_buffer buffer = allocate_bytes(p->buffer_size);
    if (!buffer)
        return -1;
    memset(buffer.get(), 0, p->buffer_size);
    return read_package_header(p->handle, header, buffer.get(), p->src->read, p->buffer_size);
}

}  // namespace

void diff_temp_path(const char* temp_dir, char (&path)[128])
{
    memset(path, 0, sizeof path);
    if (temp_dir == nullptr || temp_dir[0] == '\0')
        snprintf(path, sizeof path, "%s", "./diff_tmp");
    else
        snprintf(path, sizeof path, "%s/%s", temp_dir, "diff_tmp");
}

int apply_package(const source_ops* src, const char* package_path, const partition_ops* part,
                  const ubi_volume_ops* ubi, const file_ops* file,
                  int (*apply_patch)(const char*, const char*, const char*), const char* temp_dir,
                  int (*run_script)(const char*, int), uint32_t buffer_size,
                  int (*report_progress)(const progress_info*, const char*),
                  run_record* run)
{
    if (run != nullptr)
        run->slot_writes = 0;
    if (!usable(src, package_path, part, ubi, file, run_script, buffer_size))
        return -1;
    apply_pass p{};
    p.src = src;
    p.part = part;
    p.ubi = ubi;
    p.file = file;
    p.apply_patch = apply_patch;
    p.temp_dir = temp_dir;
    p.run_script = run_script;
    if (run != nullptr) {
        p.result_digest = run->trust != nullptr ? run->trust->result_digest : nullptr;
        p.apply_checked_patch = run->apply_checked_patch;
        p.slots = run->slots;
        if (run->slot_targets > 0)
            p.script_failure = run->script_failure;
    }
    p.buffer_size = buffer_size;
    p.report = report_progress;
    p.handle = src->open(package_path);
    if (p.handle < 0)
        return -1;
    package_header header{};
    if (read_header(&p, &header) < 0) {
        src->close(p.handle);
        return -1;
    }
    p.total_size = header.total_size;

    for (uint32_t i = 0; i < header.block_count; ++i) {
        block_header block{};
        int result;
        p.index = i;
        if (src->read(p.handle, &block, (int)sizeof block) != (int)sizeof block) {
            // The package changed since it was verified: a partial header is no header.
            char message[64];
            format_message(message, sizeof message, TEXT_BLOCK_READ_ERROR, (int)i);
            result = fail(&p, message);
        } else if (check_block_header(&block) < 0) {
            char message[64];
            format_message(message, sizeof message, TEXT_BLOCK_HEADER_ERROR, (int)i);
            result = fail(&p, message);
        } else {
            result = apply_block(&p, &block);
        }
        if (result < 0) {
            src->close(p.handle);
            if (p.notice != nullptr)
                puts(p.notice);
            if (p.failed)
                send_report(report_progress, &p.info, 2, percent_of(p.done_bytes, p.total_size),
                            STATE_WRITE_FAILED, 0, p.failure);
            return -1;
        }
    }
    src->close(p.handle);
    send_report(report_progress, &p.info, 2, 100, STATE_FINISHED, 100, "");
    if (run != nullptr)
        run->slot_writes = p.slot_writes;
    return 0;
}
