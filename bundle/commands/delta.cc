#include "bundle/commands/delta.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bundle/commands/create.h"
#include "bundle/diff.h"
#include "bundle/interrupt.h"
#include "bundle/manifest.h"
#include "bundle/messages.h"
#include "bundle/operations.h"
#include "bundle/output.h"
#include "bundle/progress_bar.h"
#include "bundle/shell_script.h"
#include "bundle/trailers.h"
#include "bundle/tree.h"
#include "bundle/writer.h"

namespace fs = std::filesystem;

namespace {

// How the generated scripts are named in the board's messages.
constexpr char PREPARE_SCRIPT[] = "delta-prepare";
constexpr char FINISH_SCRIPT[] = "delta-finish";
constexpr char STRIP_SCRIPT[] = "delta-strip-setid";

// Setuid and setgid: a file holds them only once it has its final contents and
// owner, which only the finish script gives it.
constexpr uint32_t SET_ID_BITS = 06000;

// Carries the finished message out of the comparison.
struct delta_error {
    std::string message;
};

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// A patch costs the board a bspatch run and a check of its result: it is used
// only where it is clearly smaller than the file it makes.
bool patch_pays(uint64_t patch_size, uint64_t file_size)
{
    return patch_size * 4 < file_size * 3;
}

struct planned_block {
    bundle_block block;
    std::string old_file;             // file_patch: the files the patch was made from
    std::string new_file;
    std::string script_name;          // script: the file a manifest keeps it in
    uint8_t result[SHA256_SIZE];      // file_patch: what the patched file must hash to
};

// Everything one comparison gathers, kept apart by where it goes in the package.
struct delta_run {
    const tree* old_tree = nullptr;
    const tree* new_tree = nullptr;
    std::string prefix;               // without a trailing '/', except "/" itself
    bool root_attributes = false;
    bool root_differs = false;        // in mode or owner, and left alone
    scratch_dir scratch;
    size_t patch_count = 0;
    // Old directories that the prepare script removes whole, with what is in them.
    std::set<std::string> cleared;
    // Runs first: setuid and setgid come off every old file whose contents
    // change, so that a package cut short never leaves them on contents or an
    // owner they were not meant for. Taking them off a board that turns out
    // not to hold the old tree only drops privileges.
    shell_script strip;
    // Next, so that a board whose files are not the old tree fails before
    // anything else changes.
    std::vector<planned_block> patches;
    // Removes what stands where the file blocks must make something else.
    shell_script prepare;
    std::vector<planned_block> files;  // replace, create and delete, in path order
    // The sections of the script that runs last, in this order.
    shell_script removals;            // non-directories that go or are made anew
    std::vector<std::string> removed_dirs;
    shell_script creations;           // directories, symbolic links, nodes: parents first
    shell_script hard_links;
    command_batches owners;           // chown before chmod: chown clears setuid and setgid
    command_batches modes;
    uint64_t new_bytes = 0;           // in NEW's regular files, each counted once
    uint64_t compared = 0;
    progress_bar bar;
};

std::string board_path(const delta_run& r, const std::string& path)
{
    if (path.empty())
        return r.prefix;
    return r.prefix == "/" ? "/" + path : r.prefix + "/" + path;
}

void add_block(std::vector<planned_block>* to, uint32_t operation, const std::string& target,
               const std::string& data_file, uint32_t mode = 0)
{
    if (target.size() >= TARGET_PATH_SIZE)
        throw delta_error{target + ": a target of " + std::to_string(target.size()) +
                          " characters; the board takes 255 at most"};
    planned_block p{};
    p.block.operation = operation;
    p.block.target_path = target;
    p.block.data_file = data_file;
    p.block.file_mode = mode;
    to->push_back(p);
}

bool same_content(const std::string& a, const std::string& b)
{
    file_ptr fa(fopen(a.c_str(), "rb"));
    file_ptr fb(fopen(b.c_str(), "rb"));
    if (!fa || !fb)
        throw delta_error{(!fa ? a : b) + ": " + strerror(errno)};
    std::vector<char> ba(1 << 16), bb(1 << 16);
    for (;;) {
        size_t na = fread(ba.data(), 1, ba.size(), fa.get());
        size_t nb = fread(bb.data(), 1, bb.size(), fb.get());
        if (ferror(fa.get()) || ferror(fb.get()))
            throw delta_error{(ferror(fa.get()) ? a : b) + ": cannot be read"};
        if (na != nb || memcmp(ba.data(), bb.data(), na) != 0)
            return false;
        if (na == 0)
            return true;
    }
}

std::string octal_mode(uint32_t mode)
{
    // Five digits: GNU chmod keeps a directory's setgid bit unless the mode
    // says otherwise in a digit of its own.
    char text[16];
    snprintf(text, sizeof text, "%05o", mode & 07777);
    return text;
}

// Makes owner and mode at `target` those of `n`. `o` is what the board holds
// there now, or null for what this package makes afresh (by root, under a
// umask nobody here knows). `stripped`: the package takes setuid and setgid off
// the board's file before it changes it.
void set_attributes(delta_run* r, const tree_entry& n, const std::string& target,
                    const tree_entry* o, bool stripped = false)
{
    uint32_t uid = o != nullptr ? o->uid : 0;
    uint32_t gid = o != nullptr ? o->gid : 0;
    bool chown = n.uid != uid || n.gid != gid;
    if (chown)
        batch_add(&r->owners, "chown -h " + std::to_string(n.uid) + ":" + std::to_string(n.gid),
                  target);
    if (n.kind == entry_kind::symlink)
        return;
    bool set_id = (n.mode & SET_ID_BITS) != 0;
    if (o == nullptr || n.mode != o->mode || ((chown || stripped) && set_id))
        batch_add(&r->modes, "chmod " + octal_mode(n.mode), target);
}

// Whether the regular file at `path` has the same names in both trees.
bool links_kept(const delta_run& r, const std::string& path)
{
    return link_names(*r.old_tree, path) == link_names(*r.new_tree, path);
}

void changed_file(delta_run* r, const tree_entry& o, const tree_entry& n,
                  const std::string& target)
{
    std::string old_file = host_path(*r->old_tree, o.path);
    std::string new_file = host_path(*r->new_tree, n.path);
    // bsdiff has nothing to work with in an empty file.
    if (o.size > 0 && n.size > 0) {
        std::string error;
        if (scratch_make(&r->scratch, &error) < 0)
            throw delta_error{error};
        std::string patch = scratch_patch(&r->scratch, r->patch_count++);
        if (make_patch(old_file, new_file, patch, &error) < 0)
            throw delta_error{error};
        struct stat st;
        if (::stat(patch.c_str(), &st) < 0)
            throw delta_error{patch + ": " + strerror(errno)};
        if (patch_pays((uint64_t)st.st_size, n.size)) {
            add_block(&r->patches, OP_FILE_PATCH, target, patch);
            planned_block& p = r->patches.back();
            p.old_file = old_file;
            p.new_file = new_file;
            if (file_sha256(new_file, p.result, &error) < 0)
                throw delta_error{error};
            return;
        }
        ::unlink(patch.c_str());
    }
    add_block(&r->files, OP_FILE_REPLACE, target, new_file);
}

void regular_file(delta_run* r, const tree_entry* o, const tree_entry& n,
                  const std::string& target)
{
    r->compared += n.size;
    const std::vector<std::string>& names = link_names(*r->new_tree, n.path);
    if (!names.empty() && names.front() != n.path) {
        // A further name of a file that its first name brings: a hard link, made
        // once that file is complete. Owner and mode are the file's.
        if (o == nullptr || !links_kept(*r, names.front()))
            add_command(&r->hard_links, "ln -f", {board_path(*r, names.front()), target});
        return;
    }
    r->new_bytes += n.size;
    std::string new_file = host_path(*r->new_tree, n.path);
    if (o != nullptr && !link_names(*r->old_tree, o->path).empty() && !links_kept(*r, o->path)) {
        // Written through its inode, the file would change its other names on
        // the board too: it gets an inode of its own instead.
        add_command(&r->prepare, "rm -f", {target});
        o = nullptr;
    }
    bool stripped = false;
    if (o == nullptr) {
        add_block(&r->files, OP_FILE_CREATE, target, new_file, n.mode & ~SET_ID_BITS);
    } else if (o->size != n.size || !same_content(host_path(*r->old_tree, o->path), new_file)) {
        // The board keeps the old file's owner and mode for its new contents.
        stripped = (o->mode & SET_ID_BITS) != 0;
        if (stripped)
            add_command(&r->strip, "chmod ug-s", {target});
        changed_file(r, *o, n, target);
    }
    set_attributes(r, n, target, o, stripped);
}

void removed(delta_run* r, const tree_entry& o, const std::string& target)
{
    if (o.kind == entry_kind::regular)
        add_block(&r->files, OP_FILE_DELETE, target, "");
    else if (o.kind == entry_kind::directory)
        r->removed_dirs.push_back(target);
    else
        add_command(&r->removals, "rm -f", {target});
}

std::vector<std::string> node_operands(const tree_entry& n, const std::string& target)
{
    if (n.kind == entry_kind::fifo)
        return {target, "p"};
    return {target, n.kind == entry_kind::char_device ? "c" : "b", std::to_string(n.major),
            std::to_string(n.minor)};
}

bool inside_cleared(const delta_run& r, const std::string& path)
{
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (r.cleared.count(path.substr(0, slash)) != 0)
            return true;
    return false;
}

void compare_entry(delta_run* r, const tree_entry* o, const tree_entry* n)
{
    const std::string& path = o != nullptr ? o->path : n->path;
    if (o != nullptr && inside_cleared(*r, path))
        o = nullptr;
    if (o == nullptr && n == nullptr)
        return;
    std::string target = board_path(*r, path);
    if (o != nullptr && n != nullptr && o->kind != n->kind) {
        // What stands there must be gone before the file blocks make the new
        // entry, or a file block would write through an old link.
        if (o->kind == entry_kind::directory) {
            add_command(&r->prepare, "rm -rf", {target});
            r->cleared.insert(path);
        } else {
            add_command(&r->prepare, "rm -f", {target});
        }
        o = nullptr;
    }
    if (n == nullptr) {
        removed(r, *o, target);
        return;
    }
    switch (n->kind) {
    case entry_kind::regular:
        regular_file(r, o, *n, target);
        return;
    case entry_kind::directory:
        if (o == nullptr)
            add_command(&r->creations, "mkdir -p", {target});
        break;
    case entry_kind::symlink:
        if (o != nullptr && o->link_target != n->link_target) {
            add_command(&r->removals, "rm -f", {target});
            o = nullptr;
        }
        if (o == nullptr)
            add_command(&r->creations, "ln -s", {n->link_target, target});
        break;
    default:
        if (o != nullptr && (o->major != n->major || o->minor != n->minor)) {
            add_command(&r->removals, "rm -f", {target});
            o = nullptr;
        }
        if (o == nullptr)
            add_command(&r->creations, "mknod", node_operands(*n, target));
        break;
    }
    if (path.empty() && !r->root_attributes) {
        // The top directory is the prefix on the board, "/" by default: its mode
        // and owner are the system's, not whatever the trees were unpacked with
        // (a tree made with mktemp -d is 0700 and would lock out every service).
        r->root_differs = o->mode != n->mode || o->uid != n->uid || o->gid != n->gid;
        return;
    }
    set_attributes(r, *n, target, o);
}

void compare_trees(delta_run* r)
{
    const std::vector<tree_entry>& olds = r->old_tree->entries;
    const std::vector<tree_entry>& news = r->new_tree->entries;
    uint64_t total = 0;
    for (const tree_entry& e : news)
        total += e.size;
    progress_start(&r->bar, "comparing");
    size_t i = 0, j = 0;
    while (i < olds.size() || j < news.size()) {
        const tree_entry* o = nullptr;
        const tree_entry* n = nullptr;
        if (j == news.size() || (i < olds.size() && olds[i].path < news[j].path)) {
            o = &olds[i++];
        } else if (i == olds.size() || news[j].path < olds[i].path) {
            n = &news[j++];
        } else {
            o = &olds[i++];
            n = &news[j++];
        }
        compare_entry(r, o, n);
        progress_update(r->compared, total, &r->bar);
    }
    progress_finish(&r->bar);
}

planned_block script_block(const std::string& name, const shell_script& script)
{
    planned_block p{};
    p.block.operation = OP_SCRIPT;
    p.block.target_path = name;
    p.block.data.assign(script.text.begin(), script.text.end());
    p.script_name = name;
    return p;
}

// The blocks in the order the board applies them.
std::vector<planned_block> package_blocks(const delta_run& r, size_t* script_lines)
{
    std::vector<planned_block> blocks;
    if (r.strip.lines > 0)
        blocks.push_back(script_block(STRIP_SCRIPT, r.strip));
    blocks.insert(blocks.end(), r.patches.begin(), r.patches.end());
    if (r.prepare.lines > 0)
        blocks.push_back(script_block(PREPARE_SCRIPT, r.prepare));
    blocks.insert(blocks.end(), r.files.begin(), r.files.end());
    shell_script finish = r.removals;
    // Deepest first: a directory is empty only once those in it are gone.
    for (auto at = r.removed_dirs.rbegin(); at != r.removed_dirs.rend(); ++at)
        add_command(&finish, "rmdir", {*at});
    append_script(&finish, r.creations);
    append_script(&finish, r.hard_links);
    batch_write(r.owners, &finish);
    batch_write(r.modes, &finish);
    if (finish.lines > 0)
        blocks.push_back(script_block(FINISH_SCRIPT, finish));
    *script_lines = r.strip.lines + r.prepare.lines + finish.lines;
    return blocks;
}

std::string script_file(const std::string& manifest, const std::string& name)
{
    return fs::path(manifest).stem().string() + "-" + name + ".sh";
}

std::string manifest_value(const std::string& text)
{
    if (!valid_utf8(text))
        throw delta_error{"--manifest-out: " + toml_string(text) +
                          " is not UTF-8, which a TOML manifest cannot hold"};
    return toml_string(text);
}

// The manifest from which `fwbundle create` packs the same package: patches as
// the old and new files they are made from, file data from NEW, and the
// scripts in files beside the manifest.
std::string manifest_text(const std::vector<planned_block>& blocks, const std::string& manifest,
                          const std::string& old_root, const std::string& new_root,
                          const attribute_options& attributes)
{
    std::string text = "# Made by fwbundle delta from " + old_root + " to " + new_root +
                       "; fwbundle create packs the same package from it.\n";
    if (!attributes.compatible.empty()) {
        text += "compatible = [";
        for (size_t i = 0; i < attributes.compatible.size(); ++i)
            text += (i > 0 ? ", " : "") + toml_string(attributes.compatible[i]);
        text += "]\n";
    }
    if (attributes.has_version)
        text += "version = " + toml_string(attributes.version) + "\n";
    if (attributes.has_description)
        text += "description = " + toml_string(attributes.description) + "\n";
    for (const planned_block& p : blocks) {
        const bundle_block& b = p.block;
        text += "\n[[block]]\noperation = " + toml_string(operation_name(b.operation)) +
                "\ntarget = " + manifest_value(b.target_path) + "\n";
        if (b.operation == OP_FILE_PATCH)
            text += "old = " + manifest_value(p.old_file) + "\nnew = " +
                    manifest_value(p.new_file) + "\n";
        else if (b.operation == OP_SCRIPT)
            text += "source = " + manifest_value(script_file(manifest, p.script_name)) + "\n";
        else if (b.operation != OP_FILE_DELETE)
            text += "source = " + manifest_value(b.data_file) + "\n";
        if (b.operation == OP_FILE_CREATE)
            text += "mode = " + toml_string(octal_mode(b.file_mode).substr(1)) + "\n";
    }
    return text;
}

int write_text_file(const std::string& path, const std::string& text, std::string* error)
{
    pending_output out;
    if (output_open(&out, path, false, error) < 0)
        return -1;
    bundle_sink sink = output_sink(&out);
    if (sink.write(sink.context, text.data(), text.size()) < 0) {
        *error = path + ": write failed: " + out.error;
        return -1;
    }
    return output_commit(&out, error);
}


// The tree's root as an absolute path without a trailing '/'.
std::string root_path(const std::string& root)
{
    std::error_code ec;
    std::string path = fs::absolute(root, ec).lexically_normal().string();
    if (ec)
        path = root;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

}  // namespace

int delta_command(const std::string& old_root, const std::string& new_root,
                  const std::string& output, const delta_options& options)
{
    interrupt_watch();
    if (options.prefix.empty())
        return fail("--prefix: an empty directory name");
    std::string error;
    std::string attribute_text;
    if (attribute_lines(options.attributes, "", &attribute_text, &error) < 0)
        return fail(error);
    // Before the long part: a passphrase is asked for here.
    pkey_ptr key;
    uint8_t id[SHA256_SIZE] = {};
    if (!options.sign_key.empty() && (load_private_key(options.sign_key, &key, &error) < 0 ||
                                      key_id_of(key.get(), id, &error) < 0))
        return fail(error);
    tree old_tree, new_tree;
    if (scan_tree(root_path(old_root), &old_tree, &error) < 0 ||
        scan_tree(root_path(new_root), &new_tree, &error) < 0)
        return fail(error);
    for (const tree* t : {&old_tree, &new_tree})
        for (const std::string& path : t->skipped)
            warn(host_path(*t, path) + ": a socket, which no package can carry: left out");

    delta_run r;
    r.old_tree = &old_tree;
    r.new_tree = &new_tree;
    r.prefix = options.prefix;
    r.root_attributes = options.root_attributes;
    while (r.prefix.size() > 1 && r.prefix.back() == '/')
        r.prefix.pop_back();
    std::vector<planned_block> blocks;
    size_t script_lines = 0;
    std::string manifest;
    try {
        compare_trees(&r);
        blocks = package_blocks(r, &script_lines);
        if (!options.manifest_out.empty())
            manifest = manifest_text(blocks, options.manifest_out, old_tree.root, new_tree.root,
                                     options.attributes);
    } catch (const delta_error& e) {
        return fail(e.message);
    }

    // The board checks every patch's result against the trailer before it
    // replaces the old file.
    bundle_package package;
    std::vector<trailer_entry> results;
    for (const planned_block& p : blocks) {
        if (p.block.operation == OP_FILE_PATCH) {
            trailer_entry e{(uint32_t)package.blocks.size(), {}};
            memcpy(e.result_digest, p.result, SHA256_SIZE);
            results.push_back(e);
        }
        package.blocks.push_back(p.block);
    }
    create_options written;
    written.gzip = options.gzip;
    written.sign_key = options.sign_key;
    written.attribute_text = attribute_text;
    uint64_t bytes = 0;
    if (write_package_file(package, results, "", output, written, key.get(), id, &bytes, &error) < 0)
        return fail(error);

    if (!options.manifest_out.empty()) {
        fs::path dir = fs::path(options.manifest_out).parent_path();
        for (const planned_block& p : blocks)
            if (!p.script_name.empty() &&
                write_text_file((dir / script_file(options.manifest_out, p.script_name)).string(),
                                std::string(p.block.data.begin(), p.block.data.end()), &error) < 0)
                return fail(error);
        if (write_text_file(options.manifest_out, manifest, &error) < 0)
            return fail(error);
    }

    size_t count[OP_SCRIPT + 1] = {};
    for (const bundle_block& b : package.blocks)
        ++count[b.operation];
    printf("%s: %zu files patched, %zu replaced, %zu created, %zu deleted; %zu script lines\n",
           output.c_str(), count[OP_FILE_PATCH], count[OP_FILE_REPLACE], count[OP_FILE_CREATE],
           count[OP_FILE_DELETE], script_lines);
    double share = r.new_bytes == 0 ? 0.0 : 100.0 * (double)bytes / (double)r.new_bytes;
    printf("%s: %" PRIu64 " bytes%s, %.1f%% of the %" PRIu64 " bytes in the files of %s\n",
           output.c_str(), bytes, options.gzip ? " compressed" : "", share, r.new_bytes,
           new_root.c_str());
    if (r.root_differs) {
        const tree_entry& o = old_tree.entries.front();
        const tree_entry& n = new_tree.entries.front();
        printf("%s: the top directories differ (%s %s %u:%u, %s %s %u:%u); the board's is left "
               "as it is (--root-attributes sets it)\n",
               output.c_str(), old_root.c_str(), octal_mode(o.mode).substr(1).c_str(), o.uid,
               o.gid, new_root.c_str(), octal_mode(n.mode).substr(1).c_str(), n.uid, n.gid);
    }
    if (key)
        printf("%s: signed by key %s\n", output.c_str(), hex_text(id, SHA256_SIZE).c_str());
    return 0;
}
