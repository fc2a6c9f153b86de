#include "bundle/manifest.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <toml++/toml.h>

#include "bundle/operations.h"
#include "engine/package_format.h"

namespace fs = std::filesystem;

namespace {

// Carries the finished message for the user out of the nested readers below.
struct manifest_error {
    std::string message;
};

constexpr uint64_t MAX_SCRIPT_SIZE = INT32_MAX;  // the board reads scripts with a signed count

// Which keys each operation takes besides `operation` and `target`.
struct operation_keys {
    bool source;
    bool erase_size;
    bool mode;
    bool old_new;
};

operation_keys keys_of(uint32_t operation)
{
    switch (operation) {
    case OP_RAW_PARTITION: return {true, true, false, false};
    case OP_FILE_CREATE:   return {true, false, true, false};
    case OP_FILE_DELETE:   return {false, false, false, false};
    case OP_FILE_PATCH:    return {true, false, false, true};
    default:               return {true, false, false, false};
    }
}

uint32_t line_of(const toml::node* node)
{
    return node != nullptr ? (uint32_t)node->source().begin.line : 0;
}

std::string in_quotes(const std::string& text)
{
    return "\"" + text + "\"";
}

// Everything the readers of one manifest share.
struct reader {
    std::string path;                 // as the user named it, for messages
    fs::path base;                    // the manifest's directory: sources are relative to it
};

// Reading one [[block]] table.
struct block_context {
    const reader* r;
    size_t index;
    const toml::table* table;
    manifest_entry entry;
};

[[noreturn]] void refuse_at(const reader& r, uint32_t line, const std::string& what,
                            const std::string& why)
{
    std::string where = r.path + (line != 0 ? ":" + std::to_string(line) : std::string());
    throw manifest_error{where + ": " + what + ": " + why};
}

std::string block_label(const block_context& b)
{
    std::string label = "block " + std::to_string(b.index);
    if (!b.entry.operation.empty())
        label += " (" + b.entry.operation + (b.entry.target.empty() ? "" : " " + b.entry.target) + ")";
    return label;
}

// Points at the offending value when there is one, else at the [[block]] line.
[[noreturn]] void refuse(const block_context& b, const toml::node* at, const std::string& why)
{
    refuse_at(*b.r, at != nullptr ? line_of(at) : line_of(b.table), block_label(b), why);
}

std::string string_value(const block_context& b, const char* key, const toml::node* node)
{
    if (!node->is_string())
        refuse(b, node, std::string(key) + " must be text in quotes");
    return node->as_string()->get();
}

fs::path resolve(const reader& r, const std::string& name)
{
    fs::path p(name);
    return (p.is_absolute() ? p : r.base / p).lexically_normal();
}

// The reason a file cannot be packed ("NAME": why), or empty when it can.
std::string unreadable(const fs::path& file)
{
    struct stat st;
    if (::stat(file.c_str(), &st) < 0)
        return in_quotes(file.string()) + ": " + strerror(errno);
    if (!S_ISREG(st.st_mode))
        return in_quotes(file.string()) + " is not a regular file";
    FILE* probe = fopen(file.c_str(), "rb");
    if (probe == nullptr)
        return in_quotes(file.string()) + ": " + strerror(errno);
    fclose(probe);
    return "";
}

std::string source_file(const block_context& b, const char* key, const toml::node* node)
{
    std::string name = string_value(b, key, node);
    if (name.empty())
        refuse(b, node, std::string(key) + " is empty");
    fs::path file = resolve(*b.r, name);
    std::string why = unreadable(file);
    if (!why.empty())
        refuse(b, node, std::string(key) + " " + why);
    return file.string();
}

uint64_t file_size(const std::string& file)
{
    struct stat st;
    return ::stat(file.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

// Permission bits, as octal text ("0644") or a TOML octal number (0o644). A plain
// decimal number is refused: 644 written without its zero means something else.
uint32_t file_mode(const block_context& b, const toml::node* node)
{
    const char* hint = " (write it as octal text such as \"0644\")";
    if (const auto* number = node->as_integer()) {
        bool octal = (number->flags() & toml::value_flags::format_as_octal) != toml::value_flags::none;
        if (!octal)
            refuse(b, node, "mode " + std::to_string(number->get()) + " is a decimal number" + hint);
        if (number->get() < 0 || number->get() > 07777)
            refuse(b, node, "mode is not a permission value (0 to 07777)");
        return (uint32_t)number->get();
    }
    if (!node->is_string())
        refuse(b, node, std::string("mode must be octal text") + hint);
    std::string text = node->as_string()->get();
    size_t digits = text.find_first_not_of('0');
    if (text.empty() || text.find_first_not_of("01234567") != std::string::npos ||
        (digits != std::string::npos && text.size() - digits > 4))
        refuse(b, node, "bad mode " + in_quotes(text) + hint);
    uint32_t mode = (uint32_t)std::stoul(text, nullptr, 8);
    if (mode > 07777)
        refuse(b, node, "mode " + in_quotes(text) + " is not a permission value (0 to 07777)");
    return mode;
}

uint64_t erase_size(const block_context& b, const toml::node* node)
{
    const auto* number = node->as_integer();
    if (number == nullptr)
        refuse(b, node, "erase_size must be a whole number of bytes");
    if (number->get() < 0)
        refuse(b, node, "erase_size must not be negative");
    return (uint64_t)number->get();
}

// The board erases and writes MTD devices and block devices; which a path in
// /dev is, only the board can tell.
bool names_partition(const std::string& target)
{
    return target.find("/dev/mtd") != std::string::npos ||
           target.find("/dev/mmcblk") != std::string::npos || target.rfind("/dev/", 0) == 0;
}

// `@NAME`: a group of the board's slot table, written in the slot that does not run.
bool slot_name_valid(const std::string& name)
{
    if (name.empty() || name.size() >= 32)
        return false;
    for (char c : name)
        if (!isalnum((unsigned char)c) && c != '_' && c != '-')
            return false;
    return true;
}

void refuse_misplaced_key(const block_context& b, const std::string& key, const toml::node* node)
{
    if (key == "erase_size")
        refuse(b, node, "erase_size applies only to raw_partition blocks");
    if (key == "mode")
        refuse(b, node, "mode applies only to file_create blocks");
    if (key == "old" || key == "new" || key == "result_sha256")
        refuse(b, node, key + " applies only to file_patch blocks");
    if (key == "source")
        refuse(b, node, "a file_delete block carries no data: remove source");
    refuse(b, node, "unknown key " + in_quotes(key) +
                        " (known: operation, target, source, erase_size, mode, old, new, result_sha256)");
}

void check_keys(const block_context& b, uint32_t operation)
{
    operation_keys allowed = keys_of(operation);
    for (auto&& [key, node] : *b.table) {
        const std::string k(key.str());
        bool ok = k == "operation" || k == "target" || (k == "source" && allowed.source) ||
                  (k == "erase_size" && allowed.erase_size) || (k == "mode" && allowed.mode) ||
                  ((k == "old" || k == "new" || k == "result_sha256") && allowed.old_new);
        if (!ok)
            refuse_misplaced_key(b, k, &node);
    }
}

// The SHA-256, as 64 hexadecimal digits, that the patched file must have.
void read_result(block_context& b, const toml::node* node)
{
    std::string text = string_value(b, "result_sha256", node);
    if (text.size() != 64 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        refuse(b, node, "result_sha256 must be 64 hexadecimal digits");
    for (size_t i = 0; i < 32; ++i)
        b.entry.result_sha256[i] = (uint8_t)std::stoul(text.substr(2 * i, 2), nullptr, 16);
    b.entry.has_result = true;
}

void read_patch_source(block_context& b, bundle_block& block)
{
    const toml::node* source = b.table->get("source");
    const toml::node* old_file = b.table->get("old");
    const toml::node* new_file = b.table->get("new");
    if (source != nullptr && (old_file != nullptr || new_file != nullptr))
        refuse(b, source, "give either source (a ready patch) or old and new, not both");
    if (source != nullptr) {
        block.data_file = source_file(b, "source", source);
        if (const toml::node* result = b.table->get("result_sha256"))
            read_result(b, result);
        return;
    }
    if (const toml::node* result = b.table->get("result_sha256"))
        refuse(b, result, "result_sha256 goes with a ready patch (source); with old and new "
                          "it is taken from new");
    if (old_file == nullptr || new_file == nullptr)
        refuse(b, old_file != nullptr ? old_file : new_file,
               "needs source (a ready patch) or both old and new files");
    b.entry.patch_old = source_file(b, "old", old_file);
    b.entry.patch_new = source_file(b, "new", new_file);
}

void check_sizes(const block_context& b, bundle_block& block, const toml::node* source)
{
    uint64_t size = file_size(block.data_file);
    if (block.operation == OP_RAW_PARTITION) {
        const toml::node* erase = b.table->get("erase_size");
        block.erase_size = erase != nullptr ? erase_size(b, erase) : size;
        if (size > block.erase_size)
            refuse(b, erase, "image of " + std::to_string(size) +
                                 " bytes is larger than its erase_size of " +
                                 std::to_string(block.erase_size));
    }
    if (block.operation == OP_UBI_VOLUME && size > UINT32_MAX)
        refuse(b, source, "UBI volume image of " + std::to_string(size) +
                              " bytes: volumes must be smaller than 4 GiB");
    if (block.operation == OP_SCRIPT && size > MAX_SCRIPT_SIZE)
        refuse(b, source, "script of " + std::to_string(size) +
                              " bytes: scripts must be smaller than 2 GiB");
}

bundle_block read_block(block_context& b)
{
    bundle_block block;
    const toml::node* op = b.table->get("operation");
    if (op == nullptr)
        refuse(b, nullptr, "missing operation (one of " + operation_names() + ")");
    std::string name = string_value(b, "operation", op);
    int64_t code = operation_code(name);
    if (code < 0)
        refuse(b, op, "unknown operation " + in_quotes(name) + " (one of " + operation_names() + ")");
    block.operation = (uint32_t)code;
    b.entry.operation = name;

    const toml::node* target = b.table->get("target");
    const toml::node* source = b.table->get("source");
    if (target != nullptr) {
        b.entry.target = string_value(b, "target", target);
    } else if (block.operation == OP_SCRIPT && source != nullptr && source->is_string()) {
        // A script's target only names it in the board's messages.
        b.entry.target = fs::path(source->as_string()->get()).filename().string();
    } else {
        refuse(b, nullptr, "missing target");
    }
    block.target_path = b.entry.target;
    if (block.target_path.empty())
        refuse(b, target, "target is empty");
    if (block.target_path.size() >= TARGET_PATH_SIZE)
        refuse(b, target, "target of " + std::to_string(block.target_path.size()) +
                              " characters; the board takes 255 at most");
    if (block.target_path.find('\0') != std::string::npos)
        refuse(b, target, "target contains a zero character");
    if (block.target_path[0] == '@' && block.operation != OP_SCRIPT) {
        if (block.operation != OP_RAW_PARTITION && block.operation != OP_UBI_VOLUME)
            refuse(b, target, "file blocks take no slot group (@NAME) as their target: only "
                              "raw_partition and ubi_volume blocks do");
        if (!slot_name_valid(block.target_path.substr(1)))
            refuse(b, target, "a slot group is @ and up to 31 letters, digits, - and _");
    } else if (block.operation == OP_RAW_PARTITION && !names_partition(block.target_path)) {
        refuse(b, target, "a raw_partition target must name a device (a path in /dev, or "
                          "one containing /dev/mtd or /dev/mmcblk) or a slot group (@NAME)");
    }
    check_keys(b, block.operation);

    if (block.operation == OP_FILE_PATCH) {
        read_patch_source(b, block);
    } else if (block.operation != OP_FILE_DELETE) {
        if (source == nullptr)
            refuse(b, nullptr, "missing source");
        block.data_file = source_file(b, "source", source);
    }
    if (block.operation == OP_FILE_CREATE) {
        const toml::node* mode = b.table->get("mode");
        block.file_mode = mode != nullptr ? file_mode(b, mode) : 0644;
    }
    if (!block.data_file.empty())
        check_sizes(b, block, source);
    // The writer's own rules stand behind the ones above.
    std::string why;
    if (bundle_check_block(block, &why) < 0)
        refuse(b, nullptr, why);
    return block;
}

std::string read_script(const reader& r, const char* key, const toml::node* node)
{
    uint32_t line = line_of(node);
    if (!node->is_string())
        refuse_at(r, line, key, "must be the name of a file, in quotes");
    fs::path file = resolve(r, node->as_string()->get());
    std::string why = unreadable(file);
    if (!why.empty())
        refuse_at(r, line, key, why);
    uint64_t size = file_size(file.string());
    if (size > MAX_SCRIPT_SIZE)
        refuse_at(r, line, key, "script of " + std::to_string(size) +
                                     " bytes: scripts must be smaller than 2 GiB");
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        refuse_at(r, line, key, "cannot read " + in_quotes(file.string()));
    return text;
}

void read_manifest(const reader& r, const toml::table& top, manifest* out)
{
    for (auto&& [key, node] : top) {
        const std::string k(key.str());
        if (k != "begin_script" && k != "end_script" && k != "block" && k != "compatible" &&
            k != "version" && k != "description")
            refuse_at(r, line_of(&node), in_quotes(k),
                      "unknown key (known: begin_script, end_script, compatible, version, "
                      "description, [[block]])");
    }
    // The signed attributes: which boards the package fits, and its version.
    if (const toml::node* compatible = top.get("compatible")) {
        if (const auto* one = compatible->as_string()) {
            out->attributes.compatible.push_back(one->get());
        } else if (const toml::array* list = compatible->as_array()) {
            for (const toml::node& value : *list) {
                if (!value.is_string())
                    refuse_at(r, line_of(&value), "compatible", "not a string");
                out->attributes.compatible.push_back(*value.value<std::string>());
            }
            if (list->empty())
                refuse_at(r, line_of(compatible), "compatible", "an empty list");
        } else {
            refuse_at(r, line_of(compatible), "compatible", "not a string or a list of strings");
        }
    }
    for (const char* key : {"version", "description"}) {
        const toml::node* node = top.get(key);
        if (node == nullptr)
            continue;
        if (!node->is_string())
            refuse_at(r, line_of(node), key, "not a string");
        bool version = strcmp(key, "version") == 0;
        (version ? out->attributes.has_version : out->attributes.has_description) = true;
        (version ? out->attributes.version : out->attributes.description) =
            *node->value<std::string>();
    }
    if (const toml::node* begin = top.get("begin_script"))
        out->package.begin_script = read_script(r, "begin_script", begin);
    if (const toml::node* end = top.get("end_script"))
        out->package.end_script = read_script(r, "end_script", end);

    const toml::node* blocks = top.get("block");
    if (blocks == nullptr)
        return;
    const toml::array* list = blocks->as_array();
    if (list == nullptr)
        refuse_at(r, line_of(blocks), "block", "blocks are written as [[block]] tables");
    for (size_t i = 0; i < list->size(); ++i) {
        const toml::node& node = (*list)[i];
        block_context b{&r, i, node.as_table(), {}};
        if (b.table == nullptr)
            refuse_at(r, line_of(&node), "block " + std::to_string(i), "not a table");
        b.entry.line = line_of(b.table);
        out->package.blocks.push_back(read_block(b));
        out->entries.push_back(b.entry);
        // An older board would take the group for a path and fail the block
        // halfway through the package; the attribute lets a newer one refuse
        // whatever it cannot place, and says what the package needs.
        if (b.entry.target[0] == '@' && out->package.blocks.back().operation != OP_SCRIPT)
            out->attributes.requires_slots = true;
    }
}

}  // namespace

int load_manifest(const std::string& path, manifest* out, std::string* error)
{
    *out = manifest{};
    out->path = path;
    reader r{path, fs::path(path).parent_path()};
    try {
        // The parser's own word for these is less helpful than the system's.
        struct stat st;
        FILE* probe = fopen(path.c_str(), "rb");
        if (probe == nullptr)
            throw manifest_error{path + ": " + strerror(errno)};
        bool regular = fstat(fileno(probe), &st) == 0 && S_ISREG(st.st_mode);
        fclose(probe);
        if (!regular)
            throw manifest_error{path + ": not a regular file"};
        toml::table top = toml::parse_file(path);
        read_manifest(r, top, out);
    } catch (const toml::parse_error& e) {
        *error = path + ":" + std::to_string(e.source().begin.line) + ": " +
                 std::string(e.description());
        return -1;
    } catch (const manifest_error& e) {
        *error = e.message;
        return -1;
    }
    return 0;
}

std::string describe_entry(const manifest& m, size_t index)
{
    const manifest_entry& e = m.entries[index];
    std::string where = m.path + (e.line != 0 ? ":" + std::to_string(e.line) : std::string());
    return where + ": block " + std::to_string(index) + " (" + e.operation + " " + e.target + ")";
}

std::string toml_string(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

bool valid_utf8(const std::string& text)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        unsigned char c = *p++;
        if (c < 0x80)
            continue;
        int more;
        uint32_t code;
        if ((c & 0xe0) == 0xc0) {
            more = 1;
            code = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            more = 2;
            code = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            more = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (end - p < more)
            return false;
        for (int i = 0; i < more; ++i, ++p) {
            if ((*p & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (*p & 0x3f);
        }
        // Overlong forms, surrogates and values past the last code point.
        static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[more] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff)
            return false;
    }
    return true;
}
