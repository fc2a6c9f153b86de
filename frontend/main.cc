// fwdeploy: verifies a firmware upgrade package and applies it to this board.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>
#include <unistd.h>

#include "backends/envelope.h"
#include "backends/file.h"
#include "backends/partition.h"
#include "backends/runners.h"
#include "backends/trust.h"
#include "backends/volume.h"
#include "build_info.h"
#include "common/process.h"
#include "engine/fwdeploy.h"
#include "engine/trailer.h"
#include "board/board_files.h"
#include "board/run_lock.h"
#include "source/pin.h"
#include "frontend/progress_print.h"
#include "board/slots.h"
#include "source/envelope_source.h"
#include "source/http_client.h"
#include "source/http_source.h"
#include "source/url_package.h"
#include "source/source.h"
#include "source/url.h"
#include "frontend/usage.h"

namespace {

constexpr size_t ARG_BUFFER_SIZE = 64;

// Copies an option's argument of up to `limit` characters (the buffer's room,
// unless less is allowed); -1 when it does not fit. A cut path could name
// another file, so a long argument is refused rather than shortened.
template <size_t N>
int copy_argument(char (&to)[N], const char* from, char option, size_t limit = N - 1,
                  const char* what = "")
{
    if (strlen(from) > limit) {
        printf("Argument of -%c is too long (%zu characters at most%s)\n", option, limit, what);
        return -1;
    }
    memset(to, 0, sizeof to);
    memcpy(to, from, strlen(from));
    return 0;
}

// A package argument: a path of up to 63 characters, or a URL of up to
// URL_MAX. -1 when it does not fit, as for copy_argument.
int copy_package(char (&to)[URL_MAX + 1], const char* from, char option, bool* url)
{
    *url = looks_like_url(from);
    return *url ? copy_argument(to, from, option, URL_MAX, " for a URL")
                : copy_argument(to, from, option, ARG_BUFFER_SIZE - 1);
}

// A setting fixed at build time; a test build may take it from the environment
// variable `variable` instead (null: no such variable), so that its runs can
// point at a sandbox board.
const char* build_setting(const char* fixed, const char* variable)
{
    if (variable != nullptr) {
        const char* named = getenv(variable);
        if (named != nullptr && named[0] != '\0')
            return named;
    }
    return fixed;
}

// A test build names its own lock per run, so that tests running side by side
// do not refuse each other.
#ifndef FWDEPLOY_LOCK_FILE_VARIABLE
#define FWDEPLOY_LOCK_FILE_VARIABLE nullptr
#define FWDEPLOY_LOCK_FALLBACK_VARIABLE nullptr
#endif
#ifndef FWDEPLOY_SLOTS_FILE_VARIABLE
#define FWDEPLOY_SLOTS_FILE_VARIABLE nullptr
#define FWDEPLOY_CMDLINE_FILE_VARIABLE nullptr
#define FWDEPLOY_MOUNTINFO_FILE_VARIABLE nullptr
#define FWDEPLOY_SYSFS_ROOT_VARIABLE nullptr
#define FWDEPLOY_FW_ENV_CONFIG_VARIABLE nullptr
#define FWDEPLOY_BOOT_ENV_TIMEOUT_VARIABLE nullptr
#endif
#ifndef FWDEPLOY_DECRYPTION_KEY_VARIABLE
#define FWDEPLOY_DECRYPTION_KEY_VARIABLE nullptr
#endif
#ifndef FWDEPLOY_TEST_HTTP_CLIENT
#define FWDEPLOY_TEST_HTTP_CLIENT nullptr
#define FWDEPLOY_TEST_HTTP_CA_FILE nullptr
#define FWDEPLOY_TEST_HTTP_CLIENT_CERT nullptr
#define FWDEPLOY_TEST_HTTP_CLIENT_KEY nullptr
#define FWDEPLOY_TEST_HTTP_HEADER_FILE nullptr
#define FWDEPLOY_TEST_HTTP_USER nullptr
#define FWDEPLOY_TEST_HTTP_STALL_MS nullptr
#define FWDEPLOY_TEST_HTTP_MIN_RATE nullptr
#define FWDEPLOY_TEST_HTTP_IDS nullptr
#define FWDEPLOY_TEST_HTTP_RETRIES nullptr
#define FWDEPLOY_TEST_HTTP_PAUSE_MS nullptr
#endif

// The slot table and where the booted slot and the boot loader's state are read.
int setup_slots()
{
    slot_settings settings{};
    settings.table_path = build_setting(FWDEPLOY_SLOTS_FILE, FWDEPLOY_SLOTS_FILE_VARIABLE);
    settings.cmdline_path = build_setting("/proc/cmdline", FWDEPLOY_CMDLINE_FILE_VARIABLE);
    settings.cmdline_key = FWDEPLOY_SLOT_CMDLINE_KEY;
    settings.mountinfo_path =
        build_setting("/proc/self/mountinfo", FWDEPLOY_MOUNTINFO_FILE_VARIABLE);
    settings.sysfs_root = build_setting("/sys", FWDEPLOY_SYSFS_ROOT_VARIABLE);
    settings.env_config = build_setting(FWDEPLOY_FW_ENV_CONFIG, FWDEPLOY_FW_ENV_CONFIG_VARIABLE);
    settings.attempts = FWDEPLOY_BOOT_ATTEMPTS;
    settings.env_timeout_s =
        atoi(build_setting(FWDEPLOY_BOOT_ENV_TIMEOUT, FWDEPLOY_BOOT_ENV_TIMEOUT_VARIABLE));
    return slots_setup(&settings);
}

// The HTTP client's settings, fixed at build time; a test build may take them,
// and shorter waits, from its environment.
int setup_http(const char* package_url)
{
    http_settings settings{};
    settings.client = build_setting(FWDEPLOY_HTTP_CLIENT, FWDEPLOY_TEST_HTTP_CLIENT);
    settings.ca_file = build_setting(FWDEPLOY_HTTP_CA_FILE, FWDEPLOY_TEST_HTTP_CA_FILE);
    settings.cert_file = build_setting(FWDEPLOY_HTTP_CLIENT_CERT, FWDEPLOY_TEST_HTTP_CLIENT_CERT);
    settings.key_file = build_setting(FWDEPLOY_HTTP_CLIENT_KEY, FWDEPLOY_TEST_HTTP_CLIENT_KEY);
    settings.header_file = build_setting(FWDEPLOY_HTTP_HEADER_FILE, FWDEPLOY_TEST_HTTP_HEADER_FILE);
    settings.user = build_setting(FWDEPLOY_HTTP_USER, FWDEPLOY_TEST_HTTP_USER);
    settings.id_first = FWDEPLOY_HTTP_ID_FIRST;
    settings.id_last = FWDEPLOY_HTTP_ID_LAST;
    const char* ids = build_setting(nullptr, FWDEPLOY_TEST_HTTP_IDS);
    unsigned long first = 0;
    unsigned long last = 0;
    if (ids != nullptr && sscanf(ids, "%lu-%lu", &first, &last) == 2) {
        settings.id_first = (uint32_t)first;
        settings.id_last = (uint32_t)last;
    }
    settings.allow_proxy = FWDEPLOY_HTTP_ALLOW_PROXY != 0;
    settings.signatures_required = FWDEPLOY_REQUIRE_SIGNATURE != 0;
    settings.stall_ms = atoi(build_setting(FWDEPLOY_HTTP_STALL_MS, FWDEPLOY_TEST_HTTP_STALL_MS));
    settings.min_rate =
        atoi(build_setting(FWDEPLOY_HTTP_MIN_RATE, FWDEPLOY_TEST_HTTP_MIN_RATE));
    settings.retries = atoi(build_setting(FWDEPLOY_HTTP_RETRIES, FWDEPLOY_TEST_HTTP_RETRIES));
    settings.pause_ms = atoi(build_setting("1000", FWDEPLOY_TEST_HTTP_PAUSE_MS));
    return http_setup(&settings, package_url);
}

// The board's compatibility string and installed version: the options, else
// the first line of the files fixed at build time. An empty result means the
// board does not check. 0, or -1 after printing why.
int board_identity(char (&compatible)[BOARD_LINE_SIZE], char (&version)[BOARD_LINE_SIZE],
                   bool version_from_option)
{
    if (compatible[0] == '\0' &&
        read_board_line(FWDEPLOY_COMPATIBLE_FILE, "Board compatible file", compatible) < 0)
        return -1;
    if (!version_from_option &&
        read_board_line(FWDEPLOY_VERSION_FILE, "Installed version file", version) < 0)
        return -1;
    if (version[0] != '\0' && !version_valid(version, (uint32_t)strlen(version))) {
        if (version_from_option)
            printf("Installed version %s is not a valid version\n", version);
        else
            printf("Installed version %s in %s is not a valid version\n", version,
                   FWDEPLOY_VERSION_FILE);
        return -1;
    }
    return 0;
}

// The board's decryption keys, and whether it holds any, as a line of -l:
// the ids, never the keys.
int load_decryption_keys()
{
    return decryption_keys_load(
        build_setting(FWDEPLOY_DECRYPTION_KEY, FWDEPLOY_DECRYPTION_KEY_VARIABLE));
}

void list_decryption_keys()
{
    printf("decryption_keys=");
    for (int i = 0; i < decryption_key_count(); ++i) {
        uint8_t id[ENVELOPE_ID_SIZE];
        decryption_key_id(i, id);
        for (int b = 0; b < 8; ++b)
            printf("%02x", id[b]);
        putchar(i + 1 < decryption_key_count() ? ' ' : '\n');
    }
    if (decryption_key_count() == 0)
        putchar('\n');
}

// What -l prints: the slots, then the decryption keys' ids.
int list_board()
{
    if (list_slots() < 0)
        return -1;
    list_decryption_keys();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);      // progress reaches a pipe as it happens
    make_broken_pipe_harmless();
#ifdef M_MMAP_THRESHOLD
    // The large buffers a pass takes (the 64 KiB read-ahead, the pin's chunk)
    // are mapped and go back to the kernel when the pass is done, so that one
    // pass's buffer does not stay in the next pass's memory.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
#endif

    printf("%s commit: %s\n", argv[0], FWDEPLOY_COMMIT);
    printf("Build by %s, date: %s\n", FWDEPLOY_BUILDER, FWDEPLOY_BUILD_DATE);
    if (argc == 1) {
        usage();
        return -1;
    }

    static char package_path[URL_MAX + 1] = {};
    bool url = false;
    char temp_dir[ARG_BUFFER_SIZE] = {};
    char picture_path[ARG_BUFFER_SIZE] = {};  // accepted for compatibility; nothing shows it
    char key_path[ARG_BUFFER_SIZE] = {};
    char compatible_option[ARG_BUFFER_SIZE] = {};
    char version_option[ARG_BUFFER_SIZE] = {};
    bool version_given = false;
    bool check_only = false;
    bool compressed = false;
    bool list = false;
    bool confirm = false;
    int opt;
    while ((opt = getopt(argc, argv, "x:r:t:p:s:k:c:m:nlg")) != -1) {
        int copied = 0;
        switch (opt) {
        case 'x':
            compressed = true;
            copied = copy_package(package_path, optarg, 'x', &url);
            break;
        case 'r':
            compressed = false;
            copied = copy_package(package_path, optarg, 'r', &url);
            break;
        case 't': copied = copy_argument(temp_dir, optarg, 't'); break;
        case 'p': copied = copy_argument(picture_path, optarg, 'p'); break;
        case 'k': copied = copy_argument(key_path, optarg, 'k'); break;
        case 'c': copied = copy_argument(compatible_option, optarg, 'c'); break;
        case 'm':
            version_given = true;
            copied = copy_argument(version_option, optarg, 'm');
            break;
        case 'n': check_only = true; break;
        case 'l': list = true; break;
        case 'g': confirm = true; break;
        case 's': break;
        default:  copied = -1; break;
        }
        if (copied < 0) {
            usage();
            return -1;
        }
    }
    // -l and -g are about the board alone; with a package they would leave it
    // open which of the two was meant. -g writes, which -n promises not to.
    if ((list || confirm) != (package_path[0] == '\0') || (confirm && check_only)) {
        usage();
        return -1;
    }
    // A URL the tool will not fetch is refused before anything runs.
    if (url && check_url(package_path) < 0)
        return -1;

    // One run at a time: two runs writing the same partitions would each leave
    // the other's work half done. The lock is taken before the package is read,
    // and a check-only run takes it too where it can, as it reads the package
    // the same way; so does -l, which must not read the boot state in the
    // middle of a switch.
    unique_fd lock;
    const char* lock_file = build_setting(FWDEPLOY_LOCK_FILE, FWDEPLOY_LOCK_FILE_VARIABLE);
    bool reads_only = check_only || (list && !confirm);
    const char* fallback =
        build_setting(FWDEPLOY_LOCK_FALLBACK, FWDEPLOY_LOCK_FALLBACK_VARIABLE);
    if (take_run_lock(lock_file, fallback, reads_only, &lock) < 0)
        return -1;
    if (list && !confirm) {
        if (load_decryption_keys() < 0 || setup_slots() < 0)
            return -1;
        return list_board();
    }
    // A table that cannot be read stops every run: the packages written for
    // this board may name its groups.
    if (setup_slots() < 0)
        return -1;
    if (confirm) {
        if (confirm_booted_slot() < 0)
            return -1;
        if (!list)
            return 0;
        if (load_decryption_keys() < 0)
            return -1;
        return list_board();
    }

    // What the board is and runs is settled before the package is read: a
    // version file that is there but unusable must stop the run, never leave
    // the board without its floor.
    char compatible[BOARD_LINE_SIZE] = {};
    char installed_version[BOARD_LINE_SIZE] = {};
    memcpy(compatible, compatible_option, sizeof compatible_option);
    memcpy(installed_version, version_option, sizeof version_option);
    if (version_given && installed_version[0] == '\0') {
        puts("Installed version is empty");
        return -1;
    }
    if (board_identity(compatible, installed_version, version_given) < 0)
        return -1;

    // Keys are read before anything runs: a key file that is there but unusable
    // must stop the run, never leave the board trusting nothing. The default key
    // file and whether a board without keys refuses everything come from the build.
    trust_reset(FWDEPLOY_REQUIRE_SIGNATURE != 0);
    bool named = key_path[0] != '\0';
    if (trust_load_key_file(named ? key_path : FWDEPLOY_TRUSTED_KEYS, !named) < 0)
        return -1;

    // As for the trusted keys: a key file that is there but unusable stops
    // the run before the package is read.
    if (load_decryption_keys() < 0)
        return -1;

    if (url && setup_http(package_path) < 0)
        return -1;

    upgrade_ops ops{};                        // every slot null until wired in
    ops.package_path = package_path;
    ops.temp_dir = temp_dir;
    source_ops package{};
    bool require_encryption = FWDEPLOY_REQUIRE_ENCRYPTION != 0;
    if (url) {
        // An envelope or not, as the object's first bytes say.
        url_package_source(compressed, require_encryption, &package);
    } else if (require_encryption || file_may_be_envelope(package_path)) {
        // The envelope is read from the file; its content is the package
        // file, plain or gzip.
        source_ops file{};
        file.open = open_plain_source;
        file.close = close_plain_source;
        file.read = read_plain_source;
        envelope_package_source(&file, require_encryption, compressed, &package);
    } else if (compressed) {
        package.open = open_gzip_source;
        package.close = close_gzip_source;
        package.read = read_gzip_source;
        package.finish = finish_gzip_source;
    } else {
        package.open = open_plain_source;
        package.close = close_plain_source;
        package.read = read_plain_source;
        package.borrow = borrow_plain_source;
    }
    // Every pass after verification reads the very bytes that were verified.
    pin_source(&package, &ops.src);
    ops.part.open = open_partition;
    ops.part.close = close_target;
    ops.part.write = write_full;
    ops.part.erase = erase_partition;
    ops.part.get_size = get_partition_size;
    ops.ubi.open = open_ubi_volume;
    ops.ubi.close = ::close;
    ops.ubi.write = write_full;
    ops.file.open = open_file_truncate;
    ops.file.create = create_file;
    ops.file.remove = remove_file;
    ops.file.close = close_file;
    ops.file.write = write_file;
    ops.file.discard = discard_file;
    ops.file.create_scratch = create_scratch_file;
    ops.apply_patch = run_bspatch;
    ops.run_script = run_shell_script;
    ops.get_buffer_size = io_buffer_size;
    ops.report_progress = print_progress;
    ops.trust.begin = trust_begin;
    ops.trust.update = trust_update;
    ops.trust.check = trust_check;
    ops.trust.result_digest = trust_result_digest;
    ops.apply_checked_patch = run_checked_bspatch;
    ops.policy.attributes = trust_attributes;
    ops.policy.compatible = compatible;
    ops.policy.installed_version = installed_version;
    ops.policy.refuse_same_version = FWDEPLOY_REFUSE_SAME_VERSION;
    ops.policy.set_script_variable = set_script_variable;
    ops.check_only = check_only ? 1 : 0;
    ops.policy.has_slots = slots_present() ? 1 : 0;
    ops.slots.resolve = resolve_slot_target;
    ops.slots.release = release_slot_device;
    ops.slots.make_unbootable = make_slot_unbootable;
    ops.slots.switch_boot = switch_boot_slot;
    ops.slots.warn_mounted = warn_if_mounted;
    ops.slots.guard_device = guard_slot_device;
    ops.slots.writing = slot_to_write();
    ops.script_failure = last_script_failure;
    int result = upgrade_run(&ops);
    if (url) {
        // Each pass read the package from the server: what that cost, in one line.
        uint64_t length = 0;
        bool known = http_package_length(&length);
        printf("Fetched %llu bytes from the server in all passes",
               (unsigned long long)http_bytes_fetched());
        if (known)
            printf(" for a package of %llu bytes", (unsigned long long)length);
        putchar('\n');
    }
    release_package_file();
    release_scratch_descriptor();             // a patch block that failed before its patch
    envelope_forget();
    decryption_keys_forget();
    return result;
}

// Board code allocates only with new (std::nothrow) and frees with delete. The
// C++ runtime's own versions of these are built with exceptions, and would
// bring its whole exception machinery into a binary that never throws; these
// ask the C library directly. Sanitizer builds keep the runtime's, which the
// sanitizers watch.
#if !defined(__SANITIZE_ADDRESS__)
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return malloc(size != 0 ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return malloc(size != 0 ? size : 1);
}
void operator delete(void* p) noexcept
{
    free(p);
}
void operator delete[](void* p) noexcept
{
    free(p);
}
void operator delete(void* p, size_t) noexcept
{
    free(p);
}
void operator delete[](void* p, size_t) noexcept
{
    free(p);
}
#endif

// The board binary carries its own C++ runtime (linked statically). Its default
// handler for a fatal C++ error would pull in the whole symbol demangler, about
// a third of the binary, to print a name nobody reads on the board: end plainly.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    abort();
}
}  // namespace __gnu_cxx
