#include "tests/support/fake_host.h"

#include <algorithm>
#include <cstring>

namespace fake {

host_state host;

std::ostream& operator<<(std::ostream& out, const report& r)
{
    return out << "{stage " << r.stage << "/" << r.total_stages << ", percent " << r.percent
               << ", state " << r.state << ", sub " << r.sub_percent << ", \"" << r.message
               << "\"}";
}

void reset() { host = host_state{}; }

void load(const std::vector<uint8_t>& bytes)
{
    host.package.clear();
    host.package.push_back(segment{bytes, 0});
}

void load(const bundle_package& package) { load(bundle_bytes(package)); }

namespace {

// Counts the call and tells whether the switch for this call is set.
bool failing(const std::string& slot)
{
    int n = ++host.calls[slot];
    auto it = host.fail_at.find(slot);
    return it != host.fail_at.end() && it->second == n;
}

void note(const std::string& entry) { host.log.push_back(entry); }

int add_handle(const std::string& slot, const std::string& path)
{
    int handle = host.next_handle++;
    host.handles[handle] = open_target{slot, path, 0};
    return handle;
}

uint64_t package_size()
{
    uint64_t size = 0;
    for (const segment& s : host.package)
        size += s.bytes.empty() ? s.synthetic : s.bytes.size();
    return std::min(size, host.truncate_at);
}

int src_open(const char* path)
{
    note(std::string("src.open ") + path);
    if (failing("src.open"))
        return -1;
    return add_handle("src", path);
}

int src_read(int handle, void* buffer, int length)
{
    note("src.read " + std::to_string(length));
    if (failing("src.read"))
        return -1;
    auto it = host.handles.find(handle);
    if (it == host.handles.end() || it->second.slot != "src" || length < 0)
        return -1;
    uint64_t& position = it->second.position;
    uint64_t end = package_size();
    uint64_t n = std::min<uint64_t>((uint64_t)length, end > position ? end - position : 0);
    if (host.max_piece != 0 && position >= host.piece_from)
        n = std::min<uint64_t>(n, host.max_piece);
    // Walk the segments, copying stored bytes and passing over synthetic ones.
    uint8_t* to = static_cast<uint8_t*>(buffer);
    uint64_t start = 0, done = 0;
    for (const segment& s : host.package) {
        uint64_t size = s.bytes.empty() ? s.synthetic : s.bytes.size();
        uint64_t from = position + done;
        if (done < n && from < start + size) {
            uint64_t take = std::min(n - done, start + size - from);
            if (!s.bytes.empty())
                memcpy(to + done, s.bytes.data() + (from - start), (size_t)take);
            done += take;
        }
        start += size;
    }
    position += n;
    // An engine that keeps asking after the end would hang the suite: fail instead.
    host.empty_reads = n == 0 && length > 0 ? host.empty_reads + 1 : 0;
    if (host.empty_reads > 100) {
        ADD_FAILURE() << "the package is read on after its end";
        return -1;
    }
    if (host.long_read.call == host.calls["src.read"])
        return (int)std::min<int64_t>((int64_t)length + host.long_read.extra, INT32_MAX);
    return (int)n;
}

int close_handle(const std::string& slot, int handle)
{
    auto it = host.handles.find(handle);
    if (it == host.handles.end() || it->second.slot != slot) {
        note(slot + ".close ?");
        ++host.bad_closes;
        return -1;
    }
    note(slot + ".close " + (slot == "src" ? std::string() : it->second.path));
    if (slot == "src")
        host.log.back().pop_back();
    host.handles.erase(it);
    return failing(slot + ".close") ? -1 : 0;
}

int src_close(int handle) { return close_handle("src", handle); }

int write_handle(const std::string& slot, int handle, const void* buffer, int length)
{
    auto it = host.handles.find(handle);
    std::string path = it == host.handles.end() ? "?" : it->second.path;
    note(slot + ".write " + path + " " + std::to_string(length));
    int call = host.calls[slot + ".write"] + 1;
    if (failing(slot + ".write") || it == host.handles.end() || it->second.slot != slot)
        return -1;
    int taken = length;
    auto rule = host.short_writes.find(slot + ".write");
    if (rule != host.short_writes.end() && rule->second.call == call)
        taken = rule->second.accept;
    uint64_t& position = it->second.position;
    if (host.discard.count(path) != 0) {
        host.discarded[path] += (uint64_t)taken;
    } else if (taken > 0) {
        std::vector<uint8_t>& file = host.files[path];
        if (file.size() < position + taken)
            file.resize((size_t)(position + taken));
        memcpy(file.data() + position, buffer, (size_t)taken);
    }
    position += (uint64_t)taken;
    return taken;
}

int part_open(const char* path)
{
    note(std::string("part.open ") + path);
    if (failing("part.open"))
        return -1;
    host.files[path];                 // a partition keeps what it held: no truncation
    return add_handle("part", path);
}

int part_close(int handle) { return close_handle("part", handle); }

int part_write(int handle, const void* buffer, int length)
{
    return write_handle("part", handle, buffer, length);
}

int part_erase(const char* path)
{
    note(std::string("part.erase ") + path);
    if (failing("part.erase"))
        return -1;
    auto it = host.erase_results.find(path);
    return it == host.erase_results.end() ? 1 : it->second;
}

int64_t part_get_size(const char* path)
{
    note(std::string("part.get_size ") + path);
    if (failing("part.get_size"))
        return -1;
    auto it = host.part_sizes.find(path);
    return it == host.part_sizes.end() ? (int64_t)1 << 30 : it->second;
}

int ubi_open(const char* path, uint32_t size)
{
    note(std::string("ubi.open ") + path + " " + std::to_string(size));
    if (failing("ubi.open"))
        return -1;
    host.files[path].clear();
    host.ubi_sizes[path] = size;
    return add_handle("ubi", path);
}

int ubi_close(int handle) { return close_handle("ubi", handle); }

int ubi_write(int handle, const void* buffer, int length)
{
    return write_handle("ubi", handle, buffer, length);
}

int file_open(const char* path)
{
    note(std::string("file.open ") + path);
    if (failing("file.open") || host.files.count(path) == 0)
        return -1;
    host.files[path].clear();
    return add_handle("file", path);
}

int file_create(const char* path, uint32_t mode)
{
    note(std::string("file.create ") + path + " " + std::to_string(mode));
    if (failing("file.create"))
        return -1;
    host.files[path].clear();
    host.modes[path] = mode;
    return add_handle("file", path);
}

int file_remove(const char* path)
{
    note(std::string("file.remove ") + path);
    if (failing("file.remove") || host.files.erase(path) == 0)
        return -1;
    return 0;
}

int file_close(int handle) { return close_handle("file", handle); }

int file_discard(int handle)
{
    auto it = host.handles.find(handle);
    note("file.discard " + (it == host.handles.end() ? std::string("?") : it->second.path));
    if (it == host.handles.end() || it->second.slot != "file") {
        ++host.bad_closes;
        return -1;
    }
    host.handles.erase(it);
    return failing("file.discard") ? -1 : 0;
}

int file_write(int handle, const void* buffer, int length)
{
    return write_handle("file", handle, buffer, length);
}

uint32_t get_buffer_size()
{
    note("get_buffer_size");
    size_t call = (size_t)host.calls["get_buffer_size"]++;
    return host.buffer_sizes[std::min(call, host.buffer_sizes.size() - 1)];
}

}  // namespace

int run_script(const char* text, int length)
{
    note("run_script " + std::to_string(length));
    host.scripts.push_back(script_run{std::string(text, (size_t)length), length});
    if (failing("run_script"))
        return -1;
    return host.script_result;
}

int apply_patch(const char* old_path, const char* new_path, const char* patch_path)
{
    note(std::string("apply_patch ") + old_path + " " + new_path + " " + patch_path);
    host.patches.push_back(patch_call{old_path, new_path, patch_path, host.files[patch_path],
                                      (int)host.handles.size()});
    if (failing("apply_patch"))
        return -1;
    return host.patch_result;
}

int apply_checked_patch(const char* old_path, const char* new_path, const char* patch_path,
                        const uint8_t* result_sha256)
{
    char first[3];
    snprintf(first, sizeof first, "%02x", result_sha256[0]);
    note(std::string("apply_checked_patch ") + old_path + " " + new_path + " " + patch_path + " " +
         first);
    if (failing("apply_checked_patch"))
        return -1;
    return host.patch_result;
}

int report_progress(const progress_info* info, const char* message)
{
    note("report " + std::to_string(info->state) + " " + message);
    host.reports.push_back(report{info->stage, info->percent, info->state, info->sub_percent,
                                  message, info->total_stages});
    return 0;
}

int src_finish(int handle)
{
    note("src.finish");
    if (failing("src.finish") || host.handles.count(handle) == 0)
        return -1;
    return 0;
}

source_ops source() { return source_ops{src_open, src_close, src_read, nullptr, nullptr, nullptr}; }

namespace {

void trust_begin()
{
    note("trust.begin");
    host.digested.clear();
}

void trust_update(const void* bytes, int length)
{
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    host.digested.insert(host.digested.end(), p, p + length);
}

int trust_check(const uint8_t* trailer, uint32_t length, uint32_t /*block_count*/)
{
    note("trust.check " + std::to_string(length));
    host.trailer.clear();
    if (trailer != nullptr)
        host.trailer.assign(trailer, trailer + length);
    return host.trust_verdict;
}

const uint8_t* result_digest(uint32_t block_index)
{
    auto it = host.result_digests.find(block_index);
    return it == host.result_digests.end() ? nullptr : it->second.data();
}

}  // namespace

trust_ops trust() { return trust_ops{trust_begin, trust_update, trust_check, result_digest}; }

partition_ops partitions()
{
    return partition_ops{part_open, part_close, part_write, part_erase, part_get_size};
}

ubi_volume_ops volumes() { return ubi_volume_ops{ubi_open, ubi_close, ubi_write}; }

file_ops files()
{
    return file_ops{file_open, file_create, file_remove, file_close, file_write, file_discard,
                    nullptr};
}

upgrade_ops ops()
{
    upgrade_ops o{};
    o.package_path = "pkg";
    o.temp_dir = "/tmp";
    o.src = source();
    o.part = partitions();
    o.ubi = volumes();
    o.file = files();
    o.apply_patch = apply_patch;
    o.run_script = run_script;
    o.get_buffer_size = get_buffer_size;
    o.report_progress = report_progress;
    return o;
}

int find(const std::string& prefix, size_t from)
{
    for (size_t i = from; i < host.log.size(); ++i)
        if (host.log[i].compare(0, prefix.size(), prefix) == 0)
            return (int)i;
    return -1;
}

int count(const std::string& prefix)
{
    int n = 0;
    for (int i = find(prefix); i >= 0; i = find(prefix, (size_t)i + 1))
        ++n;
    return n;
}

std::vector<int> read_sizes()
{
    std::vector<int> sizes;
    for (const std::string& entry : host.log)
        if (entry.compare(0, 9, "src.read ") == 0)
            sizes.push_back(std::stoi(entry.substr(9)));
    return sizes;
}

std::vector<uint8_t> pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = (uint8_t)(seed + i * 7 + (i >> 8));
    return bytes;
}

bundle_block make_block(uint32_t operation, const std::string& path, std::vector<uint8_t> data)
{
    bundle_block block;
    block.operation = operation;
    block.target_path = path;
    block.data = std::move(data);
    if (operation == OP_RAW_PARTITION)
        block.erase_size = block.data.size();
    if (operation == OP_FILE_CREATE)
        block.file_mode = 0644;
    return block;
}

size_t block_offset(const bundle_package& package, size_t index)
{
    size_t offset = sizeof(package_header) + package.begin_script.size() +
                    package.end_script.size();
    for (size_t i = 0; i < index; ++i)
        offset += sizeof(block_header) + package.blocks[i].data.size();
    return offset;
}

void put_u32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    memcpy(bytes.data() + offset, &value, sizeof value);
}

void put_u64(std::vector<uint8_t>& bytes, size_t offset, uint64_t value)
{
    memcpy(bytes.data() + offset, &value, sizeof value);
}

void set_total_size(std::vector<uint8_t>& bytes, uint64_t total_size)
{
    uint32_t checksum;
    memcpy(&checksum, bytes.data(), sizeof checksum);
    checksum -= byte_sum(0, bytes.data() + 16, 8);
    put_u64(bytes, 16, total_size);
    checksum += byte_sum(0, bytes.data() + 16, 8);
    put_u32(bytes, 0, checksum);
}

}  // namespace fake
