#include "bundle/commands/extract.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "bundle/manifest.h"
#include "bundle/messages.h"
#include "bundle/operations.h"
#include "bundle/package_reader.h"
#include "bundle/trailers.h"

namespace fs = std::filesystem;

namespace {

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

std::string block_file(uint32_t index)
{
    char name[32];
    snprintf(name, sizeof name, "block-%03u.bin", index);
    return name;
}

// The manifest entry that packs this block again from its extracted data.
std::string manifest_entry_text(uint32_t index, const block_header& b)
{
    std::string name = operation_name(b.operation);
    std::string target(b.target_path);
    if (name.empty())
        return "# block " + std::to_string(index) + ": operation code " +
               std::to_string(b.operation) + " has no name and cannot be packed; data in " +
               block_file(index) + ", target " + toml_string(target) + "\n\n";
    std::string text = "[[block]]\noperation = " + toml_string(name) + "\ntarget = " + toml_string(target) + "\n";
    if (b.operation != OP_FILE_DELETE)
        text += "source = " + toml_string(block_file(index)) + "\n";
    if (b.operation == OP_RAW_PARTITION)
        text += "erase_size = " + std::to_string(b.erase_size) + "\n";
    if (b.operation == OP_FILE_CREATE) {
        char mode[16];
        snprintf(mode, sizeof mode, "%04o", b.file_mode);
        text += "mode = " + toml_string(mode) + "\n";
    }
    return text + "\n";
}

}  // namespace

int extract_command(const std::string& package, const std::string& dir)
{
    std::string error;
    bool damaged = false;
    auto fail = [&](const std::string& message) {
        fprintf(stderr, "fwbundle: %s\n", message.c_str());
        return 1;
    };
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        return fail(dir + ": " + ec.message());

    package_reader reader;
    if (reader_open(&reader, package, &error) < 0)
        return fail(error);

    std::string manifest = "# Unpacked by fwbundle extract from " + package + "\n";
    file_ptr out;
    std::string out_name;
    std::string write_error;          // the first file that could not be written, and why
    auto failed = [&]() {
        if (write_error.empty())
            write_error = out_name + ": " + strerror(errno);
    };
    auto open_out = [&](const std::string& name) {
        out_name = (fs::path(dir) / name).string();
        out.reset(fopen(out_name.c_str(), "wb"));
        if (!out)
            failed();
    };
    auto put = [&](const uint8_t* p, size_t n) {
        if (out && fwrite(p, 1, n, out.get()) != n)
            failed();
    };
    auto close_out = [&]() {
        if (out && fclose(out.release()) != 0)
            failed();
    };

    walk_handler handler;
    int section_open = -1;
    handler.header = [&](const package_header& h) {
        if (h.begin_script_size > 0)
            manifest += "begin_script = \"begin.sh\"\n";
        if (h.end_script_size > 0)
            manifest += "end_script = \"end.sh\"\n";
        manifest += "\n";
    };
    handler.script = [&](int section, const uint8_t* p, size_t n) {
        if (section != section_open) {
            close_out();
            open_out(section == 0 ? "begin.sh" : "end.sh");
            section_open = section;
        }
        put(p, n);
    };
    std::vector<std::string> entries;  // one per block: the result digests come last
    uint32_t block_count = 0;
    handler.block = [&](uint32_t index, uint64_t, const block_header& b) {
        close_out();
        entries.push_back(manifest_entry_text(index, b));
        block_count = index + 1;
        if (b.operation != OP_FILE_DELETE)
            open_out(block_file(index));
    };
    handler.data = put;
    handler.mismatch = [&](const std::string& message) {
        fprintf(stderr, "fwbundle: %s\n", message.c_str());
        damaged = true;
        return true;
    };
    int walked = walk_package(&reader, handler, &error);
    close_out();
    if (!write_error.empty())
        return fail(write_error);
    // A patch's expected result, as the trailer lists it, stays with its block.
    package_tail tail;
    int finished = walked < 0 ? -1 : read_tail(&reader, block_count, &tail, &error);
    for (const trailer_entry& e : trailer_results(tail.trailer, block_count)) {
        std::string& text = entries[e.block_index];
        text.insert(text.size() - 1, "result_sha256 = \"" +
                                         hex_text(e.result_digest, SHA256_SIZE) + "\"\n");
    }
    // So do the package's attributes, as the manifest's top-level keys.
    std::string attributes = trailer_attributes(tail.trailer, block_count);
    std::string compatible;
    uint32_t offset = 0;
    trailer_attribute a;
    const uint8_t* block = reinterpret_cast<const uint8_t*>(attributes.data());
    while (trailer_next_attribute(block, (uint32_t)attributes.size(), &offset, &a) == 1) {
        std::string key(a.key, a.key_length);
        std::string value = toml_string(std::string(a.value, a.value_length));
        if (key == "compatible")
            compatible += (compatible.empty() ? "" : ", ") + value;
        else if (key == "version" || key == "description")
            manifest += key + " = " + value + "\n";
        else
            warn(dir + "/manifest.toml: the attribute " + key +
                 " has no manifest key and is left out");
    }
    if (!compatible.empty())
        manifest += "compatible = [" + compatible + "]\n";
    if (!attributes.empty())
        manifest += "\n";
    for (const std::string& text : entries)
        manifest += text;
    // Whatever was read is kept: a cut-off package is worth looking at too.
    file_ptr m(fopen((fs::path(dir) / "manifest.toml").c_str(), "wb"));
    if (!m || fwrite(manifest.data(), 1, manifest.size(), m.get()) != manifest.size() ||
        fclose(m.release()) != 0)
        return fail(dir + "/manifest.toml: " + strerror(errno));
    if (finished < 0)
        return fail(error);
    return damaged ? 1 : 0;
}
