#include "source/url.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

bool starts_with(const char* text, const char* prefix)
{
    return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

bool scheme_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '+' || c == '-' || c == '.';
}

}  // namespace

bool looks_like_url(const char* argument)
{
    if (starts_with(argument, "file:"))
        return true;
    const char* c = argument;
    if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z')))
        return false;
    while (scheme_char(*c))
        ++c;
    return strncmp(c, "://", 3) == 0;
}

bool url_is_https(const char* url)
{
    return starts_with(url, "https://");
}

namespace {

enum url_fault { URL_FINE, URL_SCHEME, URL_BLANK, URL_CREDENTIALS, URL_NO_SERVER };

// The authority runs from after "//" to the first '/', '?' or '#'.
const char* authority_of(const char* url, size_t* length)
{
    const char* authority = strstr(url, "//") + 2;
    *length = strcspn(authority, "/?#");
    return authority;
}

url_fault judge(const char* url)
{
    if (!starts_with(url, "http://") && !url_is_https(url))
        return URL_SCHEME;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(url); *c != '\0'; ++c)
        if (*c <= ' ' || *c == 0x7f)
            return URL_BLANK;
    // An '@' in the authority parts a user name (and password) from the host.
    size_t length = 0;
    const char* authority = authority_of(url, &length);
    if (memchr(authority, '@', length) != nullptr)
        return URL_CREDENTIALS;
    return length == 0 ? URL_NO_SERVER : URL_FINE;
}

// The origin of a URL that judge() took, as "scheme://host:port" in small
// letters, into `out`.
void origin_of(const char* url, char (&out)[URL_MAX + 16])
{
    bool https = url_is_https(url);
    size_t length = 0;
    const char* authority = authority_of(url, &length);
    // The port follows the last ':' that is not inside an IPv6 literal's brackets.
    const char* bracket = static_cast<const char*>(memchr(authority, ']', length));
    const char* from = bracket != nullptr ? bracket : authority;
    const char* colon = static_cast<const char*>(
        memchr(from, ':', length - (size_t)(from - authority)));
    size_t host = colon != nullptr ? (size_t)(colon - authority) : length;
    const char* port = colon != nullptr ? colon + 1 : "";
    size_t port_length = colon != nullptr ? length - host - 1 : 0;
    if (port_length == 0) {
        port = https ? "443" : "80";
        port_length = strlen(port);
    }
    snprintf(out, sizeof out, "%s://%.*s:%.*s", https ? "https" : "http", (int)host, authority,
             (int)port_length, port);
    for (char* c = out; *c != '\0'; ++c)
        if (*c >= 'A' && *c <= 'Z')
            *c = (char)(*c - 'A' + 'a');
}

}  // namespace

int check_url(const char* url)
{
    switch (judge(url)) {
    case URL_SCHEME:
        puts("Package URL refused: only http:// and https:// are supported");
        return -1;
    case URL_BLANK:
        puts("Package URL refused: it holds a blank or a control character");
        return -1;
    case URL_CREDENTIALS:
        puts("Package URL refused: a user name or password in it could be read by every user "
             "of the board; give credentials in the header file");
        return -1;
    case URL_NO_SERVER:
        puts("Package URL refused: it names no server");
        return -1;
    case URL_FINE:
        break;
    }
    return 0;
}

bool url_acceptable(const char* url)
{
    return judge(url) == URL_FINE;
}

bool url_same_origin(const char* a, const char* b)
{
    if (!url_acceptable(a) || !url_acceptable(b))
        return false;
    char first[URL_MAX + 16];
    char second[URL_MAX + 16];
    origin_of(a, first);
    origin_of(b, second);
    return strcmp(first, second) == 0;
}

int url_resolve(const char* base, const char* reference, char* out, size_t size)
{
    // A reference with a scheme of its own stands alone.
    const char* c = reference;
    while (scheme_char(*c))
        ++c;
    bool scheme = c > reference && *c == ':' && ((*reference >= 'a' && *reference <= 'z') ||
                                                 (*reference >= 'A' && *reference <= 'Z'));
    int n;
    size_t length = 0;
    const char* authority = authority_of(base, &length);
    size_t scheme_length = (size_t)(authority - base);          // "http://"
    const char* path = authority + length;
    if (scheme) {
        n = snprintf(out, size, "%s", reference);
    } else if (strncmp(reference, "//", 2) == 0) {
        n = snprintf(out, size, "%.*s%s", (int)(scheme_length - 2), base, reference);
    } else if (reference[0] == '/') {
        n = snprintf(out, size, "%.*s%s", (int)(path - base), base, reference);
    } else {
        // Against the base's path: its query for a reference that is a query
        // alone, else its last '/' (the base's own name is replaced).
        size_t path_length = strcspn(path, "?#");
        if (reference[0] == '#' || reference[0] == '\0') {
            // The fragment is the client's own: the base as it is, query and all.
            size_t keep = path_length + strcspn(path + path_length, "#");
            n = snprintf(out, size, "%.*s", (int)(path - base + keep), base);
        } else if (reference[0] == '?') {
            n = snprintf(out, size, "%.*s%s", (int)(path - base + path_length), base, reference);
        } else {
            size_t directory = path_length;
            while (directory > 0 && path[directory - 1] != '/')
                --directory;
            n = snprintf(out, size, "%.*s%s%s", (int)(path - base + directory), base,
                         directory == 0 ? "/" : "", reference);
        }
    }
    return n >= 0 && (size_t)n < size ? 0 : -1;
}
