#include "bundle/create.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "bundle/diff.h"
#include "bundle/interrupt.h"
#include "bundle/manifest.h"
#include "bundle/output.h"
#include "bundle/progress_bar.h"

namespace fs = std::filesystem;

namespace {

// A private directory for the patches bsdiff makes, removed with everything in it.
struct scratch_dir {
    std::string path;
    scratch_dir() = default;
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    ~scratch_dir()
    {
        std::error_code ignored;
        if (!path.empty()) {
            interrupt_set_scratch(nullptr, 0);
            fs::remove_all(path, ignored);
        }
    }
};

int fail(const std::string& message)
{
    fflush(stdout);
    fprintf(stderr, "fwbundle: %s\n", message.c_str());
    return 1;
}

// Makes the patches of file_patch blocks given as old and new files.
int make_patches(manifest* m, scratch_dir* scratch, std::string* error)
{
    for (size_t i = 0; i < m->entries.size(); ++i) {
        const manifest_entry& e = m->entries[i];
        if (e.patch_old.empty())
            continue;
        if (scratch->path.empty()) {
            std::error_code ec;
            std::string pattern = (fs::temp_directory_path(ec) / "fwbundle-XXXXXX").string();
            if (ec || ::mkdtemp(pattern.data()) == nullptr) {
                *error = "cannot make a temporary directory for patches: " +
                         (ec ? ec.message() : std::string(strerror(errno)));
                return -1;
            }
            scratch->path = pattern;
            interrupt_set_scratch(pattern.c_str(), m->entries.size());
        }
        std::string patch = (fs::path(scratch->path) / ("patch-" + std::to_string(i))).string();
        std::string why;
        if (make_patch(e.patch_old, e.patch_new, patch, &why) < 0) {
            *error = describe_entry(*m, i) + ": " + why;
            return -1;
        }
        m->package.blocks[i].data_file = patch;
    }
    return 0;
}

}  // namespace

int create_command(const std::string& manifest_path, const std::string& output, bool gzip)
{
    interrupt_watch();
    manifest m;
    std::string error;
    if (load_manifest(manifest_path, &m, &error) < 0)
        return fail(error);
    scratch_dir scratch;
    if (make_patches(&m, &scratch, &error) < 0)
        return fail(error);

    pending_output out;
    if (output_open(&out, output, gzip, &error) < 0)
        return fail(error);
    progress_bar bar;
    progress_start(&bar, "packing");
    int written = bundle_write_to(m.package, output_sink(&out), &error, progress_update, &bar);
    progress_finish(&bar);
    if (written < 0)
        return fail(out.error.empty() ? manifest_path + ": " + error
                                      : output + ": write failed: " + out.error);
    if (output_commit(&out, &error) < 0)
        return fail(error);

    uint64_t data = 0;
    for (const bundle_block& b : m.package.blocks)
        data += (uint64_t)bundle_block_size(b);
    printf("%s: %zu blocks, %" PRIu64 " bytes of block data, %" PRIu64 " bytes%s\n",
           output.c_str(), m.package.blocks.size(), data, out.bytes, gzip ? " compressed" : "");
    return 0;
}
