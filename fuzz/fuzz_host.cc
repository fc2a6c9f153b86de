#include "fuzz/fuzz_host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/trailer.h"

fuzz_state fuzz;

namespace {

constexpr size_t TARGET_CAP = 1 << 20;    // bytes kept per target; the rest is counted
constexpr int64_t PARTITION_SIZE = 1 << 20;
constexpr int SOURCE_HANDLE = 100;

struct handle_slot {
    bool open;
    bool source;
    size_t position;
    std::string path;
    int kind;                          // F_PART_WRITE, F_UBI_WRITE or F_FILE_WRITE
};
handle_slot handles[8];
size_t source_position = 0;

// Counts the call; true when the fault is to be injected into it.
bool faulty(fuzz_op op)
{
    ++fuzz.calls[op];
    return fuzz.fault_op == op && fuzz.calls[op] == fuzz.fault_call;
}

// A call that would change the board; none may happen while verifying.
void board(const char* path)
{
    // The slot that a package writes must have left the boot order first.
    fuzz_require(path == nullptr || strcmp(path, "/dev/mmcblk0p3") != 0 || fuzz.unbootable == 1,
                 "a slot written while it could boot");
    ++fuzz.board_calls;
    if (fuzz.source_opens == 1 && fuzz.source_open)
        ++fuzz.board_calls_in_first_phase;
    // Every path the engine hands out must end within its field.
    fuzz_require(path == nullptr || strlen(path) < 256, "path handed to the host too long");
}

int new_handle(const char* path, int kind)
{
    for (int i = 0; i < 8; ++i) {
        if (!handles[i].open) {
            handles[i] = handle_slot{true, false, 0, path, kind};
            ++fuzz.open_handles;
            return i;
        }
    }
    fuzz_require(false, "more than 8 handles open at once");
    return -1;
}

handle_slot* target_handle(int handle, int kind)
{
    if (handle < 0 || handle >= 8 || !handles[handle].open || handles[handle].kind != kind) {
        ++fuzz.bad_handles;
        return nullptr;
    }
    return &handles[handle];
}

int close_target(int handle, fuzz_op op, int kind)
{
    handle_slot* h = target_handle(handle, kind);
    if (h == nullptr)
        return -1;
    h->open = false;
    --fuzz.open_handles;
    return faulty(op) ? -1 : 0;
}

int write_target(fuzz_op op, int kind, int handle, const void* data, int length)
{
    fuzz_require(length >= 0, "negative write length");
    handle_slot* h = target_handle(handle, kind);
    if (faulty(op)) {
        if (fuzz.fault_kind == FAULT_ERROR)
            return -1;
        if (fuzz.fault_kind == FAULT_ZERO)
            return 0;
        length /= 2;
    }
    if (h == nullptr)
        return -1;
    std::string& bytes = fuzz.targets[h->path];
    if (bytes.size() < TARGET_CAP)
        bytes.append(static_cast<const char*>(data),
                     (size_t)length < TARGET_CAP - bytes.size() ? (size_t)length
                                                                : TARGET_CAP - bytes.size());
    return length;
}

int src_open(const char*)
{
    if (faulty(F_SRC_OPEN))
        return -1;
    fuzz_require(!fuzz.source_open, "package opened twice at once");
    fuzz.source_open = true;
    ++fuzz.source_opens;
    source_position = 0;
    ++fuzz.open_handles;
    return SOURCE_HANDLE;
}

int src_close(int handle)
{
    if (handle != SOURCE_HANDLE || !fuzz.source_open) {
        ++fuzz.bad_handles;
        return -1;
    }
    fuzz.source_open = false;
    --fuzz.open_handles;
    return faulty(F_SRC_CLOSE) ? -1 : 0;
}

// Lends the next bytes where the package lies, as the pin lends its checked
// chunks; src_read copies them.
int src_borrow(int handle, const uint8_t** bytes, int length)
{
    fuzz_require(length >= 0, "negative read length");
    if (handle != SOURCE_HANDLE || !fuzz.source_open) {
        ++fuzz.bad_handles;
        return -1;
    }
    size_t left = fuzz.size - source_position;
    size_t n = (size_t)length < left ? (size_t)length : left;
    if (faulty(F_SRC_READ)) {
        if (fuzz.fault_kind == FAULT_ERROR)
            return -1;
        n = fuzz.fault_kind == FAULT_ZERO ? 0 : n / 2;
    }
    *bytes = fuzz.package + source_position;
    source_position += n;
    return (int)n;
}

int src_read(int handle, void* buffer, int length)
{
    const uint8_t* bytes = nullptr;
    int n = src_borrow(handle, &bytes, length);
    if (n > 0)
        memcpy(buffer, bytes, (size_t)n);
    return n;
}

int part_open(const char* path)
{
    board(path);
    return faulty(F_PART_OPEN) ? -1 : new_handle(path, F_PART_WRITE);
}
int part_close(int h) { return close_target(h, F_PART_CLOSE, F_PART_WRITE); }
int part_write(int h, const void* d, int n) { return write_target(F_PART_WRITE, F_PART_WRITE, h, d, n); }

int part_erase(const char* path)
{
    board(path);
    if (faulty(F_PART_ERASE))
        return -1;
    // The package decides through its path which answer the host gives.
    return (int)(strlen(path) % 3) - 1;
}

int64_t part_get_size(const char* path)
{
    board(path);
    return faulty(F_PART_GET_SIZE) ? -1 : PARTITION_SIZE;
}

int ubi_open(const char* path, uint32_t)
{
    board(path);
    return faulty(F_UBI_OPEN) ? -1 : new_handle(path, F_UBI_WRITE);
}
int ubi_close(int h) { return close_target(h, F_UBI_CLOSE, F_UBI_WRITE); }
int ubi_write(int h, const void* d, int n) { return write_target(F_UBI_WRITE, F_UBI_WRITE, h, d, n); }

int file_open(const char* path)
{
    board(path);
    if (faulty(F_FILE_OPEN))
        return -1;
    fuzz.targets[path].clear();
    return new_handle(path, F_FILE_WRITE);
}

int file_create(const char* path, uint32_t)
{
    board(path);
    if (faulty(F_FILE_CREATE))
        return -1;
    fuzz.targets[path].clear();
    return new_handle(path, F_FILE_WRITE);
}

int file_remove(const char* path)
{
    board(path);
    if (faulty(F_FILE_REMOVE))
        return -1;
    return fuzz.targets.erase(path) ? 0 : -1;
}
int file_close(int h) { return close_target(h, F_FILE_CLOSE, F_FILE_WRITE); }
int file_discard(int h) { return close_target(h, F_FILE_DISCARD, F_FILE_WRITE); }
int file_write(int h, const void* d, int n) { return write_target(F_FILE_WRITE, F_FILE_WRITE, h, d, n); }

int apply_patch(const char* old_path, const char* new_path, const char* patch_path)
{
    board(old_path);
    board(new_path);
    board(patch_path);
    fuzz_require(fuzz.open_handles == 1, "patch tool ran while a target was open");
    return faulty(F_APPLY_PATCH) ? -1 : 0;
}

int run_script(const char* text, int length)
{
    board(nullptr);
    fuzz_require(length >= 0, "negative script length");
    fuzz_require(!fuzz.source_open || fuzz.source_opens == 3,
                 "begin or end script ran with the package still open");
    ++fuzz.scripts;
    fuzz.last_script.assign(text, (size_t)length);
    return faulty(F_RUN_SCRIPT) ? -1 : length;
}

uint32_t buffer_size()
{
    return 4096;
}

// Stands in for the board's trust module: no cryptography to forge, so the
// verdict is read off the trailer itself and every path after it is reached.
void trust_begin()
{
    fuzz_require(fuzz.source_opens == 1 && fuzz.source_open, "digest begun outside verification");
    ++fuzz.trust_begins;
    fuzz.digested = 0;
}

void trust_update(const void* bytes, int length)
{
    fuzz_require(bytes != nullptr && length > 0, "empty digest update");
    fuzz_require(fuzz.source_opens == 1 && fuzz.source_open, "digest fed outside verification");
    fuzz.digested += (size_t)length;
    fuzz_require(fuzz.digested <= source_position, "digest fed bytes never read");
}

int trust_check(const uint8_t* trailer, uint32_t length, uint32_t block_count)
{
    fuzz_require(fuzz.source_opens == 1 && fuzz.source_open, "trailer judged outside verification");
    ++fuzz.trust_checks;
    if (trailer == nullptr)
        return fuzz.size % 3 == 0 ? TRUST_NOT_SIGNED : TRUST_ACCEPTED;
    trailer_view view;
    fuzz_require(parse_trailer(trailer, length, block_count, &view) == 0,
                 "a malformed trailer reached the host");
    fuzz_require(fuzz.digested + length <= source_position, "the trailer was digested");
    static const int verdicts[] = {TRUST_INTACT,          TRUST_SIGNED,       TRUST_NOT_SIGNED,
                                   TRUST_UNKNOWN_KEY,     TRUST_DIGEST_MISMATCH,
                                   TRUST_BAD_SIGNATURE,   TRUST_MALFORMED,    TRUST_NO_KEYS};
    int verdict = verdicts[view.head.digest[0] % 8];
    if (verdict >= 0 && view.attributes != nullptr)
        fuzz.attributes.assign(reinterpret_cast<const char*>(view.attributes), view.attr_size);
    return verdict;
}

const uint8_t* policy_attributes(uint32_t* length)
{
    *length = (uint32_t)fuzz.attributes.size();
    return fuzz.attributes.empty() ? nullptr
                                   : reinterpret_cast<const uint8_t*>(fuzz.attributes.data());
}

int set_script_variable(const char* name, const char* value)
{
    fuzz_require(name != nullptr, "a script variable without a name");
    fuzz_require(value != nullptr || strcmp(name, "FWDEPLOY_SLOT") == 0,
                 "an attribute variable unset");
    fuzz_require(value == nullptr || strlen(value) <= TRAILER_MAX_ATTRIBUTES,
                 "a script variable past the attributes");
    fuzz_require(fuzz.board_calls == 0, "script variables set after the board was touched");
    ++fuzz.script_variables;
    return 0;
}

// Slot group "a" lives in the slot that does not run; every other group is
// unknown to this board.
int slot_resolve(const char* name, char* device, uint32_t size)
{
    fuzz_require(fuzz.switches == 0, "a slot target placed after the switch");
    if (strcmp(name, "a") != 0)
        return -1;
    snprintf(device, size, "%s", "/dev/mmcblk0p3");
    fuzz_require(!fuzz.slot_held, "a slot device held twice");
    fuzz.slot_held = true;
    return 0;
}

void slot_release()
{
    fuzz.slot_held = false;
}

// The slot that is not booted is written by its group's name alone.
int slot_guard(const char* path)
{
    return strcmp(path, "/dev/mmcblk0p3") == 0 ? -1 : 0;
}

int slot_make_unbootable()
{
    fuzz_require(fuzz.switches == 0 && fuzz.slot_held, "a slot made unbootable out of turn");
    ++fuzz.unbootable;
    return faulty(F_SLOT_UNBOOTABLE) ? -1 : 0;
}

int slot_switch()
{
    fuzz_require(fuzz.finished && fuzz.failures[2] == 0,
                 "the boot loader switched before the apply pass ended whole");
    fuzz_require(fuzz.targets.count("/dev/mmcblk0p3") != 0,
                 "the boot loader switched to a slot that was not written");
    ++fuzz.switches;
    return 0;
}

int report(const progress_info* info, const char* message)
{
    fuzz_require(info->total_stages == 2 && (info->stage == 1 || info->stage == 2),
                 "report with a bad stage");
    fuzz_require(strlen(message) < 512, "report message too long");
    if (fuzz.finished)
        ++fuzz.reports_after_finish;
    if (info->state == STATE_CHECK_FAILED || info->state == STATE_ERASE_FAILED ||
        info->state == STATE_WRITE_FAILED)
        ++fuzz.failures[info->stage];
    if (info->state == STATE_FINISHED)
        fuzz.finished = true;
    return 0;
}

}  // namespace

void fuzz_reset(const uint8_t* data, size_t size)
{
    fuzz = fuzz_state{};
    fuzz.package = data;
    fuzz.size = size;
    for (handle_slot& h : handles)
        h = handle_slot{};
}

upgrade_ops fuzz_ops()
{
    upgrade_ops ops{};
    ops.package_path = "package";
    ops.temp_dir = "/tmp";
    // Every other size of input lends its block data instead of copying it.
    ops.src = {src_open, src_close, src_read, nullptr,
               (fuzz.size / 2) % 2 == 0 ? src_borrow : nullptr, nullptr};
    ops.part = {part_open, part_close, part_write, part_erase, part_get_size};
    ops.ubi = {ubi_open, ubi_close, ubi_write};
    ops.file = {file_open, file_create, file_remove, file_close, file_write, file_discard, nullptr};
    ops.apply_patch = apply_patch;
    ops.run_script = run_script;
    ops.get_buffer_size = buffer_size;
    ops.report_progress = report;
    ops.trust = {trust_begin, trust_update, trust_check, nullptr};
    // A board policy on some inputs, none on others, so that both paths are reached.
    ops.policy.attributes = policy_attributes;
    ops.policy.compatible = fuzz.size % 2 == 0 ? "fuzz-board" : nullptr;
    ops.policy.installed_version = fuzz.size % 3 == 0 ? "1.2" : nullptr;
    ops.policy.refuse_same_version = fuzz.size % 5 == 0;
    ops.policy.set_script_variable = set_script_variable;
    ops.slots.resolve = slot_resolve;
    ops.slots.release = slot_release;
    ops.slots.make_unbootable = slot_make_unbootable;
    ops.slots.switch_boot = slot_switch;
    ops.slots.guard_device = slot_guard;
    ops.slots.writing = "B";
    return ops;
}

void fuzz_require(bool condition, const char* what)
{
    if (condition)
        return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

// The status the end script received, or 1 when it did not run.
static int end_status()
{
    const std::string& text = fuzz.last_script;
    for (int status : {0, -1}) {
        char prefix[64];
        int n = snprintf(prefix, sizeof prefix,
                         "OTA_STATUS=%d\necho OTA UPDATA STATUS: ${OTA_STATUS}\n", status);
        if (text.size() > (size_t)n && text.compare(0, (size_t)n + 1, std::string(prefix, (size_t)n + 1)) == 0)
            return status;
    }
    return 1;
}

void fuzz_check_common(int result)
{
    fuzz_require(fuzz.open_handles == 0 && !fuzz.source_open, "a handle was left open");
    fuzz_require(!fuzz.slot_held, "a slot device was left held");
    fuzz_require(fuzz.unbootable <= 1, "a slot taken out of the boot order twice");
    fuzz_require(fuzz.bad_handles == 0, "a handle was used that was not open");
    fuzz_require(fuzz.board_calls_in_first_phase == 0, "the board was touched while verifying");
    fuzz_require(fuzz.failures[1] <= 1, "more than one failure report while verifying");
    fuzz_require(fuzz.failures[2] <= 1, "more than one failure report while applying");
    fuzz_require(fuzz.reports_after_finish == 0, "a report after the finish");
    fuzz_require(fuzz.trust_begins <= 1 && fuzz.trust_checks <= 1, "a package judged twice");
    fuzz_require(!(fuzz.finished && fuzz.failures[2] != 0), "finished after a failure");
    if (fuzz.failures[1] != 0)
        fuzz_require(result == -1 && fuzz.board_calls == 0,
                     "a failed verification went on to the board");
    // The end script is the last script; when it ran and the run succeeded, its
    // prefix carries the apply status: -1 exactly when a block failed.
    if (result == 0) {
        int status = end_status();
        fuzz_require(status != 1, "end script text does not start with the status prefix");
        if (fuzz.finished)
            fuzz_require(status == 0, "a finished pass handed -1 to the end script");
        if (fuzz.failures[2] != 0)
            fuzz_require(status == -1, "a failed block handed 0 to the end script");
    }
}
