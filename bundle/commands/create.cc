#include "bundle/commands/create.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "bundle/diff.h"
#include "bundle/interrupt.h"
#include "bundle/manifest.h"
#include "bundle/messages.h"
#include "bundle/output.h"
#include "bundle/progress_bar.h"
#include "bundle/trailers.h"

namespace fs = std::filesystem;

namespace {


// Makes the patches of file_patch blocks given as old and new files, and
// lists what each patch block's result must be, where that is known.
int make_patches(manifest* m, scratch_dir* scratch, std::vector<trailer_entry>* results,
                 std::string* error)
{
    for (size_t i = 0; i < m->entries.size(); ++i) {
        const manifest_entry& e = m->entries[i];
        if (e.has_result) {
            trailer_entry entry{(uint32_t)i, {}};
            memcpy(entry.result_digest, e.result_sha256, SHA256_SIZE);
            results->push_back(entry);
        }
        if (e.patch_old.empty())
            continue;
        trailer_entry entry{(uint32_t)i, {}};
        if (file_sha256(e.patch_new, entry.result_digest, error) < 0)
            return -1;
        results->push_back(entry);
        if (scratch_make(scratch, error) < 0)
            return -1;
        std::string patch = scratch_patch(scratch, i);
        std::string why;
        if (make_patch(e.patch_old, e.patch_new, patch, &why) < 0) {
            *error = describe_entry(*m, i) + ": " + why;
            return -1;
        }
        m->package.blocks[i].data_file = patch;
    }
    return 0;
}

// Passes the package bytes on to the file and through the digest of the trailer.
struct digesting_sink {
    bundle_sink next;
    sha256_stream* stream;
};

int digest_and_write(void* context, const void* bytes, size_t length)
{
    digesting_sink* d = static_cast<digesting_sink*>(context);
    sha256_update(d->stream, bytes, length);
    return d->next.write(d->next.context, bytes, length);
}

// The trailer for the package bytes that went through `stream`, listing
// `results` and `attributes`. 0, or -1. Signed by `key`, whose id is `id`,
// unless the key is null.
int make_package_trailer(sha256_stream* stream, const std::vector<trailer_entry>& results,
                         const std::string& attributes, EVP_PKEY* key, const uint8_t* id,
                         std::vector<uint8_t>* trailer, std::string* error)
{
    uint8_t digest[SHA256_SIZE];
    uint8_t message[SHA256_SIZE];
    std::vector<uint8_t> signature;
    if (sha256_result(stream, digest, error) < 0)
        return -1;
    std::vector<uint8_t> suffix = signed_suffix(digest, results, attributes);
    sha256_update(stream, suffix.data(), suffix.size());
    if (key != nullptr && (sha256_result(stream, message, error) < 0 ||
                           sign_digest(key, message, &signature, error) < 0))
        return -1;
    *trailer = make_trailer(digest, id, signature, results, attributes);
    return 0;
}

}  // namespace

int write_package_file(const bundle_package& package, const std::vector<trailer_entry>& results,
                       const std::string& source, const std::string& output,
                       const create_options& options, EVP_PKEY* key, const uint8_t* key_id,
                       uint64_t* bytes, std::string* error)
{
    pending_output out;
    sha256_stream stream;
    if (output_open(&out, output, options.gzip, error) < 0 || sha256_begin(&stream, error) < 0)
        return -1;
    digesting_sink sink{output_sink(&out), &stream};
    progress_bar bar;
    progress_start(&bar, "packing");
    int written = bundle_write_to(package, bundle_sink{digest_and_write, &sink}, error,
                                  progress_update, &bar);
    progress_finish(&bar);
    if (written < 0) {
        if (!out.error.empty())
            *error = output + ": write failed: " + out.error;
        else if (!source.empty())
            *error = source + ": " + *error;
        return -1;
    }
    if (options.trailer) {
        // In a compressed package it goes into the same stream: the board's gunzip
        // hands it over after the last block like the plain bytes.
        std::vector<uint8_t> trailer;
        if (make_package_trailer(&stream, results, options.attribute_text, key, key_id, &trailer,
                                 error) < 0)
            return -1;
        if (sink.next.write(sink.next.context, trailer.data(), trailer.size()) < 0) {
            *error = output + ": write failed: " + out.error;
            return -1;
        }
    }
    if (output_commit(&out, error) < 0)
        return -1;
    *bytes = out.bytes;
    return 0;
}

int create_command(const std::string& manifest_path, const std::string& output,
                   const create_options& given)
{
    interrupt_watch();
    manifest m;
    std::string error;
    if (load_manifest(manifest_path, &m, &error) < 0)
        return fail(error);
    create_options options = given;
    std::string manifest_lines;
    if (attribute_lines(m.attributes, "", &manifest_lines, &error) < 0)
        return fail(manifest_path + ": " + error);
    if (attribute_lines(options.attributes, manifest_lines, &options.attribute_text, &error) < 0)
        return fail(error);
    if (!options.trailer && !options.attribute_text.empty())
        return fail(m.attributes.requires_slots
                        ? "a package with slot targets says so in its trailer "
                          "(requires=slots): not with --no-trailer"
                        : "the attributes (compatible, version, description) live in the "
                          "trailer: not with --no-trailer");
    // Before the long part: a passphrase is asked for here, and a wrong key
    // should not cost a whole packing run.
    pkey_ptr key;
    uint8_t id[SHA256_SIZE] = {};
    if (!options.sign_key.empty() && (load_private_key(options.sign_key, &key, &error) < 0 ||
                                      key_id_of(key.get(), id, &error) < 0))
        return fail(error);
    scratch_dir scratch;
    std::vector<trailer_entry> results;
    if (make_patches(&m, &scratch, &results, &error) < 0)
        return fail(error);

    uint64_t bytes = 0;
    if (write_package_file(m.package, results, manifest_path, output, options, key.get(), id,
                           &bytes, &error) < 0)
        return fail(error);

    uint64_t data = 0;
    for (const bundle_block& b : m.package.blocks)
        data += (uint64_t)bundle_block_size(b);
    printf("%s: %zu blocks, %" PRIu64 " bytes of block data, %" PRIu64 " bytes%s\n",
           output.c_str(), m.package.blocks.size(), data, bytes,
           options.gzip ? " compressed" : "");
    if (key)
        printf("%s: signed by key %s\n", output.c_str(), hex_text(id, SHA256_SIZE).c_str());
    return 0;
}
