#include "engine/scripts.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "common/scoped.h"
#include "engine/package_format.h"
#include "engine/progress.h"

namespace {

bool usable(const source_ops* src, int (*run_script)(const char*, int))
{
    return src != nullptr && src->open != nullptr && src->close != nullptr &&
           src->read != nullptr && run_script != nullptr;
}

// Closes the package through the table on every path out of a phase.
struct source_guard {
    const source_ops* src;
    int handle;
    ~source_guard() { close(); }
    void close()
    {
        if (handle >= 0)
            src->close(handle);
        handle = -1;
    }
};

int read_header(const source_guard& source, package_header* header)
{
    memset(header, 0, sizeof *header);
    if (source.src->read(source.handle, header, (int)sizeof *header) != (int)sizeof *header) {
        puts("File header read error!");
        return -1;
    }
    return 0;
}

// Reads exactly `length` bytes; a short or failed read is -1, so no byte that was
// never read reaches the shell.
int read_exact(const source_guard& source, uint8_t* to, uint32_t length)
{
    uint32_t got = 0;
    while (got < length) {
        uint32_t left = length - got;
        int ask = left > INT_MAX ? INT_MAX : (int)left;
        int n = source.src->read(source.handle, to + got, ask);
        if (n <= 0 || n > ask)
            return -1;
        got += (uint32_t)n;
    }
    return 0;
}

// Skips the begin script, the short piece first so that every later read asks for
// a whole buffer. -1 when the package ends early or a read fails.
int skip_section(const source_guard& source, uint32_t size, uint8_t* buffer,
                 uint32_t buffer_size)
{
    uint32_t skipped = 0;
    uint32_t piece = size % buffer_size;
    while (skipped < size) {
        uint32_t chunk = piece != 0 ? piece : buffer_size;
        piece = 0;
        // After a short read a whole buffer would run on into the end script.
        if (chunk > size - skipped)
            chunk = size - skipped;
        int n = source.src->read(source.handle, buffer, (int)chunk);
        if (n <= 0 || (uint32_t)n > chunk)
            return -1;
        skipped += (uint32_t)n;
    }
    return 0;
}

}  // namespace

int run_begin_script(const source_ops* src, const char* package_path,
                     int (*run_script)(const char*, int))
{
    if (!usable(src, run_script))
        return -1;
    // From what the source kept of the verification pass, where it can.
    source_guard source{src, scripts_open_of(src)(package_path)};
    if (source.handle < 0)
        return -1;
    package_header header{};
    if (read_header(source, &header) < 0)
        return -1;
    uint32_t size = header.begin_script_size;
    if (size == 0) {
        puts("No begin scripts!");
        return 0;
    }
    if (size > INT_MAX)               // run_script takes a signed 32-bit length
        return -1;
    byte_buffer text = allocate_bytes(size);
    if (!text)
        return -1;
    if (read_exact(source, text.get(), size) < 0)
        return -1;
    source.close();                   // no package reader stays alive while the script runs
    return run_script(reinterpret_cast<const char*>(text.get()), (int)size);
}

int run_end_script(const source_ops* src, const char* package_path,
                   int (*run_script)(const char*, int), uint32_t buffer_size, int status)
{
    if (!usable(src, run_script) || buffer_size == 0 || buffer_size > INT_MAX)
        return -1;
    source_guard source{src, scripts_open_of(src)(package_path)};
    if (source.handle < 0)
        return -1;
    byte_buffer buffer = allocate_bytes(buffer_size);
    if (!buffer)
        return -1;
    package_header header{};
    if (read_header(source, &header) < 0)
        return -1;
    if (skip_section(source, header.begin_script_size, buffer.get(), buffer_size) < 0)
        return -1;

    // A buffer of its own: the longest prefix (status INT_MIN) takes 61 characters,
    // which a small I/O buffer would cut.
    char prefix[64];
    format_message(prefix, sizeof prefix, "OTA_STATUS=%d\necho OTA UPDATA STATUS: ${OTA_STATUS}\n",
                   status);
    uint32_t prefix_length = (uint32_t)strlen(prefix);
    uint32_t end_size = header.end_script_size;
    // The zero byte after the prefix is part of the text the shell receives.
    uint64_t length = (uint64_t)prefix_length + 1 + end_size;
    if (length > INT_MAX)
        return -1;
    byte_buffer text = allocate_bytes((size_t)length);
    if (!text)
        return -1;
    memcpy(text.get(), prefix, prefix_length + 1);
    if (read_exact(source, text.get() + prefix_length + 1, end_size) < 0)
        return -1;
    source.close();
    return run_script(reinterpret_cast<const char*>(text.get()), (int)length);
}
