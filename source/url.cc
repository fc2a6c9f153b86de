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

int check_url(const char* url)
{
    if (!starts_with(url, "http://") && !url_is_https(url)) {
        puts("Package URL refused: only http:// and https:// are supported");
        return -1;
    }
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(url); *c != '\0'; ++c)
        if (*c <= ' ' || *c == 0x7f) {
            puts("Package URL refused: it holds a blank or a control character");
            return -1;
        }
    // The authority runs from after "//" to the first '/', '?' or '#'; an '@'
    // in it parts a user name (and password) from the host.
    const char* authority = strstr(url, "//") + 2;
    size_t length = strcspn(authority, "/?#");
    if (memchr(authority, '@', length) != nullptr) {
        puts("Package URL refused: a user name or password in it could be read by every user "
             "of the board; give credentials in the header file");
        return -1;
    }
    if (length == 0) {
        puts("Package URL refused: it names no server");
        return -1;
    }
    return 0;
}
