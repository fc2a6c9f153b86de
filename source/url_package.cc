#include "source/url_package.h"

#include "source/envelope_source.h"
#include "source/http_source.h"

namespace {

struct url_package_state {
    bool compressed;
    bool required;
    bool decided;
    source_ops chosen;
};

url_package_state url = {};

// The first open decides, from the first bytes, which slots every pass reads
// through.
int decide(const char* path)
{
    const uint8_t* first = nullptr;
    int n = http_prime(path, &first);
    if (n < 0)
        return -1;
    bool sealed = url.required || is_envelope(first, (size_t)n);
    static const source_ops object = {open_http_source, close_http_source, read_http_source,
                                      finish_http_source, nullptr, open_scripts_http_source};
    static const source_ops gzip = {open_gzip_http_source, close_gzip_http_source,
                                    read_gzip_http_source, finish_gzip_http_source, nullptr,
                                    open_scripts_gzip_http_source};
    if (sealed)
        envelope_package_source(&object, url.required, url.compressed, &url.chosen);
    else
        url.chosen = url.compressed ? gzip : object;
    // The envelope's reader takes the object's own bytes, gunzip or not.
    http_primed_as(url.compressed && !sealed);
    url.decided = true;
    return 0;
}

int url_open(const char* path)
{
    if (!url.decided && decide(path) < 0)
        return -1;
    return url.chosen.open(path);
}

int url_open_scripts(const char* path)
{
    if (!url.decided && decide(path) < 0)
        return -1;
    return url.chosen.open_scripts(path);
}

int url_read(int handle, void* buffer, int length)
{
    return url.chosen.read(handle, buffer, length);
}

int url_close(int handle)
{
    return url.chosen.close(handle);
}

int url_finish(int handle)
{
    return url.chosen.finish != nullptr ? url.chosen.finish(handle) : 0;
}

}  // namespace

void url_package_source(bool compressed, bool required, source_ops* package)
{
    url = url_package_state{};
    url.compressed = compressed;
    url.required = required;
    *package = source_ops{};
    package->open = url_open;
    package->open_scripts = url_open_scripts;
    package->read = url_read;
    package->close = url_close;
    package->finish = url_finish;
}
