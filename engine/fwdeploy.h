// The engine's whole public face: the host operations table it works through,
// the progress record it reports with, and its single entry point.
#pragma once

#include <cstdint>

// Handles are plain integers (descriptors on this board); negative means failure.
// Lengths handed to read and write are 32-bit signed byte counts.
struct source_ops {
    int (*open)(const char* path);
    int (*close)(int handle);
    int (*read)(int handle, void* buffer, int length);
    // May be null. Called by the verification pass once it has read the whole
    // package: 0 when the source delivered it intact, -1 (after printing why)
    // when it cannot vouch for it, as a decompressor that reports damage at the
    // end of its stream. A plain file has nothing more to read.
    int (*finish)(int handle);
    // May be null. As read, but the bytes stay where the source holds them:
    // up to `length` of them are lent at *bytes, valid until the next call on
    // the handle, so that none is copied on its way to the checks and the
    // write. Returns how many (0 at the end), or -1 as read does.
    int (*borrow)(int handle, const uint8_t** bytes, int length);
    // May be null; open is used instead. Opens the package for a pass that
    // reads no further than its header and scripts: a source may serve such a
    // pass from what it kept of the verification pass, and ask no one.
    int (*open_scripts)(const char* path);
};

// The open for a pass of the scripts: the source's own, else its open.
inline int (*scripts_open_of(const source_ops* src))(const char*)
{
    return src->open_scripts != nullptr ? src->open_scripts : src->open;
}

struct partition_ops {
    int (*open)(const char* path);
    int (*close)(int handle);
    int (*write)(int handle, const void* buffer, int length);
    // < 0 failure, 0 the engine must fill the area with 0xFF, > 0 erased by the host.
    int (*erase)(const char* path);
    int64_t (*get_size)(const char* path);
};

struct ubi_volume_ops {
    int (*open)(const char* path, uint32_t size);
    int (*close)(int handle);
    int (*write)(int handle, const void* buffer, int length);
};

struct file_ops {
    int (*open)(const char* path);
    int (*create)(const char* path, uint32_t mode);
    int (*remove)(const char* path);
    int (*close)(int handle);
    int (*write)(int handle, const void* buffer, int length);
    // Drops what was written through the handle and closes it: the target is left
    // as it was before open or create. Used after a failed copy; may be null, and
    // close is used instead.
    int (*discard)(int handle);
    // Creates the patch scratch file, which must never be a file that already
    // stands under its name: a leftover of our own is removed, anything else
    // refused. May be null; create is used instead.
    int (*create_scratch)(const char* path, uint32_t mode);
};

enum : int32_t {
    STATE_BEGIN = 0,
    STATE_CHECKING = 1,
    STATE_ERASING = 2,
    STATE_WRITING = 3,
    STATE_CHECK_FAILED = 4,
    STATE_ERASE_FAILED = 5,
    STATE_WRITE_FAILED = 6,
    STATE_FINISHED = 7,
};

struct progress_info {
    int32_t total_stages;             // always 2
    int32_t stage;                    // 1 verification, 2 apply
    int32_t percent;                  // through the whole stage
    int32_t state;                    // one of STATE_*
    int32_t sub_percent;              // through the current block or erase
};

// Verdicts of trust_ops.check: accepted when 0 or more.
enum : int {
    TRUST_ACCEPTED = 0,               // no trailer, and none is required
    TRUST_INTACT = 1,                 // the digest matches; no key to check a signature with
    TRUST_SIGNED = 2,                 // the digest matches and a trusted key signed it
    TRUST_NOT_SIGNED = -1,            // keys are trusted but the package carries no signature
    TRUST_UNKNOWN_KEY = -2,           // signed with a key that is not trusted
    TRUST_DIGEST_MISMATCH = -3,
    TRUST_BAD_SIGNATURE = -4,
    TRUST_MALFORMED = -5,             // the trailer cannot be read
    TRUST_NO_KEYS = -6,               // signatures are required and no key is trusted
};

// Where a package came from, judged by the host: the engine hands over every
// package byte before the trailer and then the trailer, and stays free of
// cryptography. With any slot null no trailer is looked for.
struct trust_ops {
    void (*begin)();                  // a new package: restart the digest
    void (*update)(const void* bytes, int length);
    // The whole trailer (null and 0 when the package has none), already checked
    // for layout. Returns one of TRUST_*.
    int (*check)(const uint8_t* trailer, uint32_t length, uint32_t block_count);
    // May be null. After a package was accepted: the SHA-256 that the result of
    // patch block `block_index` must have, or null when its trailer names none.
    const uint8_t* (*result_digest)(uint32_t block_index);
};

// What this board takes beyond a sound package from a trusted source: the
// boards a package names and its version, both from the signed attributes of
// its trailer. With `attributes` null the board has no policy: nothing is
// refused for what it claims to be and the scripts' environment stays as it is.
struct policy_ops {
    // After the trailer was accepted: its attribute lines, or null with
    // *length 0 when it has none.
    const uint8_t* (*attributes)(uint32_t* length);
    const char* compatible;           // this board's; null or empty: not checked
    const char* installed_version;    // a valid version; null or empty: no floor
    int refuse_same_version;          // nonzero: the installed version is refused too
    // May be null. Sets a variable of the environment the package's scripts
    // see, or unsets it when `value` is null.
    int (*set_script_variable)(const char* name, const char* value);
    int has_slots;                    // nonzero: the board has a slot table
};

// Two copies of what is written in place, slot A and slot B, of which the board
// runs one. A raw-partition or UBI-volume block whose target is `@NAME` writes
// the device of group NAME in the slot that does not run. Before the first byte
// of a slot is written that slot stops being bootable, and after a whole apply
// pass that wrote one, the boot loader is switched to it. With `resolve` null
// every slot target is refused.
struct slot_ops {
    // The device of group `name` in the slot not booted, into `device` (`size`
    // bytes with its zero). 0, or -1 after printing why it is refused: the board
    // cannot tell, or the device is in use. The device is held so that nothing
    // can take it (mount it, say) until `release`.
    int (*resolve)(const char* name, char* device, uint32_t size);
    // May be null. Lets go of the device the last resolve held.
    void (*release)();
    // Makes the slot that slot targets write unbootable until the switch: the
    // booted slot alone in the boot order, the other with no attempts left. 0,
    // or -1 after printing why. Without it no slot is written.
    int (*make_unbootable)();
    // Makes the boot loader boot the written slot next. 0, or -1 after printing why.
    int (*switch_boot)();
    // May be null. Prints a warning when a plain target is mounted read-write.
    void (*warn_mounted)(const char* path);
    // May be null. 0 when a block may write the device `path` by its name;
    // -1 after a line when it is a slot's device, which a package writes by
    // its group alone (@NAME): by its name it would be written while it could
    // still boot, or while it runs.
    int (*guard_device)(const char* path);
    const char* writing;              // "A" or "B", the slot resolve names; null when unknown
};

struct upgrade_ops {
    const char* package_path;
    const char* temp_dir;             // may be null or empty
    source_ops src;
    partition_ops part;
    ubi_volume_ops ubi;
    file_ops file;
    int (*apply_patch)(const char* old_path, const char* new_path, const char* patch_path);
    int (*run_script)(const char* text, int length);
    uint32_t (*get_buffer_size)();
    // The engine ignores the result; the host must not keep `info` after returning.
    int (*report_progress)(const progress_info* info, const char* message);
    trust_ops trust;
    // May be null. As apply_patch, but the result replaces the old file only when
    // its SHA-256 is `result_sha256`; otherwise -1 and the old file stays as it was.
    int (*apply_checked_patch)(const char* old_path, const char* new_path, const char* patch_path,
                               const uint8_t* result_sha256);
    policy_ops policy;
    // Nonzero: the verification pass only, every policy included; nothing runs
    // and nothing is written.
    int check_only;
    slot_ops slots;
    // May be null. How the shell of the last run_script ended when that was
    // not with status 0 ("exited with status 1", "was killed by signal 9"),
    // else null. A pass that writes a slot fails on such a script block: the
    // boot must not switch to a slot whose install step failed.
    const char* (*script_failure)();
};

// Verifies the package, runs its begin script, applies its blocks, switches the
// boot slot when it wrote one, and runs its end script. Returns 0 when the end
// script phase ran (also after a failed apply pass or switch), -1 otherwise. With check_only, 0 when the package would be accepted, else -1.
int upgrade_run(const upgrade_ops* ops);
